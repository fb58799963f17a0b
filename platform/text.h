#pragma once
// Text seams: the user's locale-aware case-insensitive ordering, and the Windows-1250 code
// page that configuration files, declaration files and PLC strings use for 8-bit text.
// Inside the program every text is UTF-8.
#include <memory>
#include <string>
#include <string_view>

namespace plat {

// <0, 0, >0 like the system's case-insensitive comparison of the user's default locale.
int compareTextLocale(std::string_view a, std::string_view b);
// Pins the comparison to a locale name ("cs_CZ", "en_US"); empty returns to the user's.
void setCollationLocale(const std::string& name);

// A text's key under compareTextLocale: two keys compare as their texts do, so that a long
// list is sorted or grouped with one conversion per text. Keys made under different
// collation locales do not compare.
class TextSortKey {
public:
    int compare(const TextSortKey& other) const;  // <0, 0, >0
    friend bool operator==(const TextSortKey& a, const TextSortKey& b) { return a.compare(b) == 0; }
    friend bool operator<(const TextSortKey& a, const TextSortKey& b) { return a.compare(b) < 0; }

private:
    struct Data;
    friend TextSortKey textSortKeyLocale(std::string_view text);
    std::shared_ptr<const Data> data_;
};
TextSortKey textSortKeyLocale(std::string_view text);

// Windows-1250 bytes to UTF-8. Bytes without a character in the code page become U+FFFD.
std::string cp1250ToUtf8(std::string_view bytes);
// UTF-8 to Windows-1250; a character the code page lacks, or a malformed sequence, gives '?'.
std::string utf8ToCp1250(std::string_view text);

std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

}  // namespace plat

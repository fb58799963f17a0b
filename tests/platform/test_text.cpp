#include "platform/sysdirs.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(CodePage, CzechLettersBothWays)
{
    // "Příliš žluťoučký kůň" in Windows-1250
    const std::string cp = "P\xF8\xED\x6Ci\x9A \x9Elu\x9Do\x75\xE8\x6B\xFD k\xF9\xF2";
    const std::string utf8 = "Příliš žluťoučký kůň";
    EXPECT_EQ(plat::cp1250ToUtf8(cp), utf8);
    EXPECT_EQ(plat::utf8ToCp1250(utf8), cp);
}

TEST(CodePage, EveryDefinedByteRoundTrips)
{
    for (int b = 1; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        const std::string utf8 = plat::cp1250ToUtf8(one);
        if (utf8 == "\xEF\xBF\xBD")  // undefined in the code page
            continue;
        EXPECT_EQ(plat::utf8ToCp1250(utf8), one) << b;
    }
}

TEST(CodePage, UnmappableAndMalformedBecomeQuestionMarks)
{
    EXPECT_EQ(plat::utf8ToCp1250("a\xE2\x82\xAC" "b"), "a\x80" "b");  // euro sign exists
    EXPECT_EQ(plat::utf8ToCp1250("\xE6\x97\xA5"), "?");                // CJK does not
    EXPECT_EQ(plat::utf8ToCp1250("x\xC3"), "x?");                      // truncated sequence
    EXPECT_EQ(plat::utf8ToCp1250("\xC0\xAF"), "??");                   // overlong form
    EXPECT_EQ(plat::cp1250ToUtf8("\x81"), "\xEF\xBF\xBD");
}

TEST(Utf16, SurrogatesAndBadHalves)
{
    const std::string utf8 = "a\xF0\x9F\x98\x80z";  // U+1F600
    const std::u16string w = plat::utf8ToUtf16(utf8);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[1], 0xD83D);
    EXPECT_EQ(plat::utf16ToUtf8(w), utf8);
    EXPECT_EQ(plat::utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Collation, CaseInsensitiveLocaleOrder)
{
    plat::setCollationLocale("cs_CZ");
    std::vector<std::string> names = {"b", "A", "c", "č", "Ch", "h"};
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return plat::compareTextLocale(a, b) < 0; });
    // Czech sorts č after c and the digraph ch after h.
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "c", "č", "h", "Ch"}));
    EXPECT_EQ(plat::compareTextLocale("abc", "ABC"), 0);
    plat::setCollationLocale("en_US");
    EXPECT_LT(plat::compareTextLocale("Ch", "h"), 0);
    plat::setCollationLocale("");
}

// Keys must agree with the comparison on every pair, also where the collator's order and
// Qt's own folding (the C locale) differ: accents, ignorable characters, surrogates, empty.
TEST(Collation, SortKeysCompareAsTheTexts)
{
    const std::vector<std::string> pieces = {"a", "A", "b", "B", "č", "Č", "c", "ch", "CH", "h", "ß", "SS", "ss",
                                             "\u00AD", "é", "E", "1", "10", ".", "_", "\U00010400", "\U00010428",
                                             "\U0001F600", "İ", "i", "ı", "\xFF"};
    std::mt19937 random(7);
    std::vector<std::string> texts = {"", "Temp", "TEMP", "temp", "\u00AD"};
    for (int n = 0; n < 120; ++n) {
        std::string t;
        const int length = static_cast<int>(random() % 4);
        for (int k = 0; k < length; ++k)
            t += pieces[random() % pieces.size()];
        texts.push_back(t);
    }
    for (const char* locale : {"en_US", "cs_CZ", "C"}) {
        plat::setCollationLocale(locale);
        std::vector<plat::TextSortKey> keys;
        for (const auto& t : texts)
            keys.push_back(plat::textSortKeyLocale(t));
        for (std::size_t i = 0; i < texts.size(); ++i)
            for (std::size_t j = 0; j < texts.size(); ++j)
                ASSERT_EQ(keys[i].compare(keys[j]), plat::compareTextLocale(texts[i], texts[j]))
                    << locale << " '" << texts[i] << "' '" << texts[j] << "'";
        EXPECT_TRUE(plat::textSortKeyLocale("Temp") == plat::textSortKeyLocale("tEMP")) << locale;
    }
    plat::setCollationLocale("");
}

TEST(SysDirs, ProgramDirAndFreeSpace)
{
    EXPECT_FALSE(plat::programDir().empty());
    EXPECT_GT(plat::freeDiskBytes("/"), 0);
    EXPECT_EQ(plat::freeDiskBytes("/no/such/dir/anywhere"), -1);
}

}  // namespace

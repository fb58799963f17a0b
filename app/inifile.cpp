#include "inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/savefile.h"
#include "platform/text.h"

namespace vos {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

bool IsAscii(std::string_view s)
{
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n;
        char32_t c;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            n = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 2;
            c = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 3;
            c = b & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size())
            return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto cb = static_cast<unsigned char>(s[i + k]);
            if ((cb & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (cb & 0x3F);
        }
        if ((n == 2 && c < 0x800) || (n == 3 && c < 0x10000) || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

// Cuts UTF-8 text after max characters.
std::string CutCharacters(std::string text, std::size_t max)
{
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (chars == max) {
            text.resize(i);
            break;
        }
        ++chars;
    }
    return text;
}

// The profile functions drop one outer pair of matching quotes from a value they read, so
// that a value written by hand as "/srv/plant configs/line 1.cfg" is the path itself.
std::string_view Unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// Stored bytes that read back as they are: a value with blanks at its ends, or with an outer
// pair of quotes of its own, goes in double quotes.
std::string QuoteForReading(std::string stored)
{
    if (Unquote(stored).size() != stored.size() || Trim(stored).size() != stored.size())
        return '"' + stored + '"';
    return stored;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

void CheckName(std::string_view name, bool isSection)
{
    const bool bad = name.empty() || HasLineBreak(name) || Trim(name) != name ||
                     (isSection ? name.find(']') != std::string_view::npos
                                : name.find('=') != std::string_view::npos || name[0] == '[' || name[0] == ';' ||
                                      name[0] == '#');
    if (bad)
        throw std::invalid_argument("INI " + std::string(isSection ? "section" : "key") + " name \"" +
                                    std::string(name) + "\" cannot be stored");
}

std::string SystemError(int err) { return std::system_category().message(err); }

}  // namespace

IniFile::IniFile(std::string fileName) : fileName_(std::move(fileName))
{
    if (fileName_.empty())
        return;
    auto fail = [this](const std::string& why) { return std::runtime_error("Cannot read " + fileName_ + ": " + why); };
    // Without blocking: opening a pipe would wait for a writer.
    const int fd = ::open(fileName_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A missing file, or a missing folder on its path, reads as empty.
        if (errno == ENOENT || errno == ENOTDIR)
            return;
        throw fail(SystemError(errno));
    }
    std::string data;
    try {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            throw fail(SystemError(errno));
        if (S_ISDIR(st.st_mode))
            throw fail("it is a directory");
        if (!S_ISREG(st.st_mode))
            throw fail("it is not a regular file");
        // One byte more than allowed tells a file that is too large, even one still growing.
        std::array<char, 65536> chunk;
        for (;;) {
            const ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw fail(SystemError(errno));
            if (n == 0)
                break;
            data.append(chunk.data(), static_cast<std::size_t>(n));
            if (data.size() > kMaxFileSize)
                throw fail("larger than " + std::to_string(kMaxFileSize) + " bytes, not a settings file");
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    existed_ = true;
    Load(data);
}

IniFile IniFile::FromBytes(std::string_view bytes, std::string fileName)
{
    if (bytes.size() > kMaxFileSize)
        throw std::runtime_error("Settings of " + std::to_string(bytes.size()) + " bytes, larger than " +
                                 std::to_string(kMaxFileSize) + ": not a settings file");
    IniFile ini({});
    ini.fileName_ = std::move(fileName);
    ini.Load(bytes);
    return ini;
}

void IniFile::Load(std::string_view data)
{
    lines_.clear();
    // Still parsed, so that what can be read is read; only writing is refused.
    text_ = LooksLikeText(data);
    utf8Bom_ = data.starts_with(kUtf8Bom);
    // A line ends with LF, CR LF or a lone CR (old Mac files, a stray CR): every byte after
    // a CR stays on a line of its own, so that rewriting the key before it loses nothing.
    std::size_t start = 0;
    while (start < data.size()) {
        const auto end = data.find_first_of("\r\n", start);
        Line line;
        if (end == std::string_view::npos) {
            line.text = data.substr(start);
            start = data.size();
        } else {
            line.text = data.substr(start, end - start);
            line.eol = data.compare(end, 2, "\r\n") == 0 ? "\r\n" : data.substr(end, 1);
            start = end + line.eol.size();
        }
        lines_.push_back(std::move(line));
    }
    if (!lines_.empty() && !lines_.front().eol.empty())
        eol_ = lines_.front().eol;
}

IniFile::Parsed IniFile::Parse(std::size_t index) const
{
    Parsed p;
    std::string_view text = lines_[index].text;
    const std::size_t off = index == 0 && utf8Bom_ ? kUtf8Bom.size() : 0;
    text.remove_prefix(off);
    const auto lead = text.find_first_not_of(kBlanks);
    if (lead == std::string_view::npos)
        return p;
    const char c = text[lead];
    if (c == '[') {
        const auto close = text.find(']', lead + 1);
        p.kind = Kind::Section;
        p.name = Trim(text.substr(lead + 1, close == std::string_view::npos ? close : close - lead - 1));
        return p;
    }
    if (c == ';' || c == '#')
        return p;
    const auto eq = text.find('=');
    if (eq == std::string_view::npos)
        return p;
    p.name = Trim(text.substr(0, eq));
    if (p.name.empty())
        return p;
    p.kind = Kind::Entry;
    const auto rest = text.substr(eq + 1);
    p.value = Trim(rest);
    const auto vlead = rest.find_first_not_of(kBlanks);
    // An empty value is replaced right after "=", not after blanks that trail the line.
    p.valuePos = off + eq + 1 + (vlead == std::string_view::npos ? 0 : vlead);
    return p;
}

std::size_t IniFile::FindSection(std::string_view section) const
{
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const auto p = Parse(i);
        if (p.kind == Kind::Section && SameName(p.name, section))
            return i;
    }
    return std::string::npos;
}

std::size_t IniFile::FindKey(std::size_t header, std::string_view key) const
{
    if (header == std::string::npos)
        return std::string::npos;
    for (std::size_t i = header + 1; i < lines_.size(); ++i) {
        const auto p = Parse(i);
        if (p.kind == Kind::Section)
            break;
        if (p.kind == Kind::Entry && SameName(p.name, key))
            return i;
    }
    return std::string::npos;
}

std::size_t IniFile::FindKey(std::string_view section, std::string_view key) const
{
    return FindKey(FindSection(section), key);
}

bool IniFile::SectionExists(std::string_view section) const { return FindSection(section) != std::string::npos; }

bool IniFile::ValueExists(std::string_view section, std::string_view key) const
{
    return FindKey(section, key) != std::string::npos;
}

std::optional<std::string> IniFile::ReadRaw(std::string_view section, std::string_view key) const
{
    const auto i = FindKey(section, key);
    if (i == std::string::npos)
        return std::nullopt;
    return std::string(Unquote(Parse(i).value));
}

std::vector<std::string> IniFile::ReadSection(std::string_view section) const
{
    std::vector<std::string> keys;
    const auto header = FindSection(section);
    if (header == std::string::npos)
        return keys;
    for (std::size_t i = header + 1; i < lines_.size(); ++i) {
        const auto p = Parse(i);
        if (p.kind == Kind::Section)
            break;
        if (p.kind == Kind::Entry)
            keys.emplace_back(p.name);
    }
    return keys;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, const std::string& def) const
{
    const auto raw = ReadRaw(section, key);
    if (!raw)
        return def;
    return CutCharacters(DecodeValue(*raw), kMaxStringLength);
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const
{
    const auto raw = ReadRaw(section, key);
    if (!raw)
        return def;
    return ParseInteger(*raw).value_or(def);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::InsertLine(std::size_t at, std::string text)
{
    if (at > 0 && lines_[at - 1].eol.empty())
        lines_[at - 1].eol = eol_;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), Line{std::move(text), eol_});
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    CheckName(section, true);
    CheckName(key, false);
    if (HasLineBreak(value))
        throw std::invalid_argument("INI value for " + std::string(key) + " holds a line break");
    const std::string encoded = EncodeValue(value);
    const std::string stored = QuoteForReading(encoded);

    const auto header = FindSection(section);
    if (header == std::string::npos) {
        if (!lines_.empty() && !Trim(lines_.back().text).empty())
            InsertLine(lines_.size(), "");
        InsertLine(lines_.size(), "[" + std::string(section) + "]");
        InsertLine(lines_.size(), std::string(key) + "=" + stored);
        modified_ = true;
        return;
    }
    const auto at = FindKey(header, key);
    if (at != std::string::npos) {
        // The same value leaves the line as it stands, blanks and quotes and all.
        const auto p = Parse(at);
        if (Unquote(p.value) != encoded) {
            lines_[at].text = lines_[at].text.substr(0, p.valuePos) + stored;
            modified_ = true;
        }
        return;
    }
    // After the section's last key, so that comments and blank lines before the next
    // section stay with it.
    std::size_t after = header;
    for (std::size_t i = header + 1; i < lines_.size(); ++i) {
        const auto kind = Parse(i).kind;
        if (kind == Kind::Section)
            break;
        if (kind == Kind::Entry)
            after = i;
    }
    InsertLine(after + 1, std::string(key) + "=" + stored);
    modified_ = true;
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void IniFile::DeleteKey(std::string_view section, std::string_view key)
{
    const auto at = FindKey(section, key);
    if (at == std::string::npos)
        return;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(at));
    modified_ = true;
}

std::string IniFile::Content() const
{
    std::string out;
    for (const auto& line : lines_) {
        out += line.text;
        out += line.eol;
    }
    return out;
}

bool IniFile::WriteProtected() const
{
    if (fileName_.empty())
        return false;
    struct stat st {};
    if (::stat(fileName_.c_str(), &st) != 0)
        return false;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return true;
    return ::faccessat(AT_FDCWD, fileName_.c_str(), W_OK, AT_EACCESS) != 0 &&
           (errno == EACCES || errno == EPERM || errno == EROFS);
}

void IniFile::UpdateFile()
{
    if (!modified_)
        return;
    if (fileName_.empty())
        throw std::runtime_error("Cannot write the settings: no file name");
    if (!text_)
        throw std::runtime_error("Cannot write " + fileName_ + ": it is not a text file; it is left as it is");
    // Replacing by rename needs only the folder's permission; the file's own says no.
    if (WriteProtected())
        throw std::runtime_error("Cannot write " + fileName_ + ": the file is write-protected; it is left as it is");
    // A settings file may sit in a program folder where only the file itself is writable.
    plat::SaveFile(fileName_, Content(), {.createFolders = true, .inPlaceWhenFolderRefuses = true});
    modified_ = false;
    existed_ = true;
}

std::string IniFile::DecodeValue(std::string_view bytes)
{
    if (IsAscii(bytes) || IsValidUtf8(bytes))
        return std::string(bytes);
    return plat::cp1250ToUtf8(bytes);
}

std::string IniFile::EncodeValue(std::string_view text) const
{
    if (IsAscii(text) || utf8Bom_)
        return std::string(text);
    const std::string cp = plat::utf8ToCp1250(text);
    // Bytes that would read back as UTF-8 are stored as UTF-8 in the first place.
    if (plat::cp1250ToUtf8(cp) != text || IsValidUtf8(cp))
        return std::string(text);
    return cp;
}

bool IniFile::LooksLikeText(std::string_view bytes)
{
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f' && c != 0x1A) || c == 0x7F)
            return false;
    }
    return true;
}

std::optional<std::int32_t> IniFile::ParseInteger(std::string_view text)
{
    auto digit = [](char c, int base) -> int {
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && LowerAscii(c) >= 'a' && LowerAscii(c) <= 'f')
            d = LowerAscii(c) - 'a' + 10;
        return d < base ? d : -1;
    };
    int base = 10;
    bool negative = false;
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    // Hexadecimal fills all 32 bits (0xFFFFFFFF is -1); decimal must fit the signed range.
    const std::int64_t limit = base == 16 ? 0xFFFFFFFFLL : (negative ? 0x80000000LL : 0x7FFFFFFFLL);
    std::int64_t value = 0;
    for (const char c : text) {
        const int d = digit(c, base);
        if (d < 0)
            return std::nullopt;
        value = value * base + d;
        if (value > limit)
            return std::nullopt;
    }
    if (base == 16)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace vos

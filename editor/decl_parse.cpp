// The declaration readers: conversion tables, the ".tdr" records and the ".pub" lines, on bytes
// in memory only.
#include <algorithm>
#include <cctype>
#include <limits>

#include "comm/vx_lang.h"
#include "decl_import.h"
#include "platform/text.h"

namespace vos {

namespace {

constexpr std::int32_t kVtI2 = 2, kVtI4 = 3, kVtR4 = 4, kVtR8 = 5, kVtDate = 7, kVtBstr = 8, kVtBool = 11,
                       kVtUi1 = 17, kVtUi2 = 18, kVtUi4 = 19, kVtArray = 0x2000;
constexpr std::size_t kTdrNameField = 16;
constexpr std::size_t kTdrNameMax = 15;
// The structure name with its "_" and the whole member name, in characters.
constexpr std::size_t kMemberPrefixMax = 16;
constexpr std::size_t kMemberNameMax = 31;

std::string Upper(std::string_view s)
{
    std::string r(s);
    for (auto& c : r)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

std::uint16_t U16(std::string_view b, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8);
}

std::int32_t I32(std::string_view b, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<std::uint8_t>(b[at + static_cast<std::size_t>(i)]);
    return static_cast<std::int32_t>(v);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A whole decimal text, optionally signed, that fits 32 bits.
std::optional<std::int32_t> ToInt32(std::string_view s)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        negative = s[i++] == '-';
    if (i == s.size())
        return std::nullopt;
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (!IsDigit(s[i]))
            return std::nullopt;
        v = v * 10 + (s[i] - '0');
        if (v > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1)
            return std::nullopt;
    }
    v = negative ? -v : v;
    if (v > std::numeric_limits<std::int32_t>::max() || v < std::numeric_limits<std::int32_t>::min())
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

// Blanks and control characters at both ends go, as the line reader of the environments trims.
std::string_view Trim(std::string_view s)
{
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

// The text before the first blank (empty when there is none), and the rest after it.
std::string_view Word(std::string_view& rest)
{
    const auto blank = rest.find(' ');
    if (blank == std::string_view::npos)
        return {};
    const auto word = rest.substr(0, blank);
    rest.remove_prefix(blank + 1);
    return word;
}

TPubLine Fail(std::string why)
{
    TPubLine r;
    r.What = TPubLine::Failed;
    r.Error = std::move(why);
    return r;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= n)
            return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (t & 0x3F);
        }
        if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += n + 1;
    }
    return true;
}

void ApplyDirectionAndType(std::string_view rest, TPubLine& r)
{
    if (rest.empty())
        return;
    const auto blank = rest.find(' ');
    const auto iec = blank == std::string_view::npos ? std::string_view{} : rest.substr(0, blank);
    const auto type = IecTypeNameToVarType(iec);
    if (type != kNoVarType)
        r.Var.VarType = type;
    if (blank != std::string_view::npos)
        rest.remove_prefix(blank + 1);
    const auto direction = rest.substr(0, rest.find(' '));
    const auto access = PubDirectionToAccess(direction);
    r.Var.Readable = access.Readable;
    r.Var.Writable = access.Writable;
}

}  // namespace

// --- Conversion tables ---

std::int32_t TdrTypeToVarType(std::uint8_t typeCode, std::uint8_t elementCode)
{
    switch (typeCode) {
    case 26:
        return kVtBool;
    case 27:
        return kVtUi1;
    case 28:
        return kVtUi2;
    case 30:
        return kVtUi4;
    case 31:
        return kVtR4;
    case 33:
        return kVtBstr;
    case kTdrTypeArray:
        switch (elementCode) {
        case 26:
        case 27:
        case 28:
        case 30:
        case 31:
        case 33:
            return kVtArray | TdrTypeToVarType(elementCode, 0);
        default:
            return kNoVarType;
        }
    default:
        return kNoVarType;
    }
}

std::int32_t TdrZoneToDataZone(std::uint8_t zoneCode)
{
    switch (zoneCode) {
    case 3:
    case 4:  // the environments' Y zone code is read as X
        return 0;
    case 5:
        return 3;
    case 6:
        return 2;
    default:
        return 3;
    }
}

std::int64_t TdrTypeByteSize(std::uint8_t typeCode, std::int64_t n)
{
    switch (typeCode) {
    case 26:
        return n / 8 + (n % 8 != 0 ? 1 : 0);
    case 27:
    case 33:
        return n;
    case 28:
        return 2 * n;
    case 30:
    case 31:
        return 4 * n;
    default:
        return 0;
    }
}

std::int32_t PubZoneLetterToDataZone(char letter)
{
    switch (std::toupper(static_cast<unsigned char>(letter))) {
    case 'X':
        return 0;
    case 'Y':
        return 1;
    case 'S':
        return 2;
    case 'R':
        return 3;
    case 'M':
        return 4;
    default:
        return 3;
    }
}

std::int32_t PubTypeLetterToVarType(std::string_view width, bool bitGiven)
{
    if (width.empty())
        return kNoVarType;
    switch (std::toupper(static_cast<unsigned char>(width[0]))) {
    case 'B':
        return bitGiven ? kVtBool : kVtUi1;
    case 'W':
        return kVtUi2;
    case 'L':
        return kVtUi4;
    case 'F':
        return kVtR4;
    default:
        return kNoVarType;
    }
}

std::int32_t IecTypeNameToVarType(std::string_view name)
{
    struct Entry {
        const char* name;
        std::int32_t type;
    };
    static constexpr Entry kTypes[] = {
        {"BOOL", kVtBool}, {"SINT", kVtUi1},  {"BYTE", kVtUi1},   {"USINT", kVtUi1}, {"INT", kVtI2},
        {"DINT", kVtI4},   {"UINT", kVtUi2},  {"WORD", kVtUi2},   {"UDINT", kVtUi4}, {"DWORD", kVtUi4},
        {"REAL", kVtR4},   {"LREAL", kVtR8},  {"DT", kVtDate},    {"DATE_AND_TIME", kVtDate},
    };
    const auto upper = Upper(name);
    for (const auto& e : kTypes)
        if (upper == e.name)
            return e.type;
    return kNoVarType;
}

TDeclAccess PubDirectionToAccess(std::string_view direction)
{
    const auto upper = Upper(direction);
    if (upper == "PUB_IN")
        return {true, false};
    if (upper == "PUB_OUT")
        return {false, true};
    if (upper == "PUB_INOUT")
        return {true, true};
    return {};
}

std::int32_t VarTypeByteSize(std::int32_t varType)
{
    switch (varType) {
    case kVtI2:
    case kVtUi2:
        return 2;
    case kVtI4:
    case kVtR4:
    case kVtUi4:
        return 4;
    case kVtR8:
    case kVtDate:
        return 8;
    default:
        return 1;
    }
}

// --- ".tdr" ---

std::optional<TTdrRecord> ReadTdrRecord(std::string_view bytes, std::size_t offset)
{
    if (offset > bytes.size() || bytes.size() - offset < kTdrRecordSize)
        return std::nullopt;
    const auto b = bytes.substr(offset, kTdrRecordSize);
    TTdrRecord r;
    // The length byte is not trusted: the name never reaches into the codes after its field.
    const std::size_t length = std::min<std::size_t>(static_cast<std::uint8_t>(b[0]), kTdrNameMax);
    r.Name.assign(b.substr(1, length));
    r.Type = static_cast<std::uint8_t>(b[kTdrNameField]);
    r.ElementType = static_cast<std::uint8_t>(b[17]);
    r.Class = static_cast<std::uint8_t>(b[18]);
    r.Zone = static_cast<std::uint8_t>(b[19]);
    r.Address = U16(b, 23);
    r.Bit = U16(b, 25);
    r.Count = U16(b, 27);
    r.MemberBase = U16(b, 29);
    r.Flags = static_cast<std::uint8_t>(b[31]);
    return r;
}

namespace {

TImportedVariable FromRecord(const TTdrRecord& rec, std::string name, std::int32_t type, std::int64_t address,
                             std::size_t source)
{
    TImportedVariable v;
    v.Name = plat::cp1250ToUtf8(name);
    v.ArrayLength = rec.Count;
    v.StringLength = rec.Count;
    v.Bit = rec.Bit;
    v.Address = static_cast<std::int32_t>(address);
    v.Zone = TdrZoneToDataZone(rec.Zone);
    v.VarType = type;
    v.Source = source;
    return v;
}

// A structure's members at their running addresses. A member that cannot be placed ends the
// structure: the members after it would land on guessed addresses.
void ExpandStructure(std::string_view bytes, const TTdrRecord& st, std::size_t source, TTdrParseResult& out)
{
    std::string prefix = st.Name + "_";
    if (prefix.size() > kMemberPrefixMax)
        prefix.resize(kMemberPrefixMax);
    std::int64_t address = st.Address;
    bool previousBoolean = false;
    std::int32_t lastBit = 0;
    const auto stop = [&](const std::string& why) {
        out.Result = kImportWrongFormat;
        out.Errors.push_back("structure '" + plat::cp1250ToUtf8(st.Name) + "': " + why);
    };
    for (std::size_t m = 1; m <= st.Count; ++m) {
        const std::size_t index = std::size_t{st.MemberBase} + m;
        const auto member = ReadTdrRecord(bytes, kTdrHeaderSize + kTdrRecordSize * index);
        if (!member) {
            stop("member record " + std::to_string(index) + " lies past the end of the file");
            return;
        }
        const auto type = TdrTypeToVarType(member->Type, member->ElementType);
        if (type == kNoVarType) {
            stop("member '" + plat::cp1250ToUtf8(member->Name) + "' has no size");
            return;
        }
        std::string name = prefix + member->Name;
        if (name.size() > kMemberNameMax)
            name.resize(kMemberNameMax);
        if (type == kVtBool) {
            if (previousBoolean && member->Bit <= lastBit)
                ++address;
            lastBit = member->Bit;
            if (address > std::numeric_limits<std::int32_t>::max()) {
                stop("member address beyond 32 bits");
                return;
            }
            out.Variables.push_back(FromRecord(*member, name, type, address, source));
            previousBoolean = true;
            continue;
        }
        if (previousBoolean)
            ++address;
        if (address > std::numeric_limits<std::int32_t>::max()) {
            stop("member address beyond 32 bits");
            return;
        }
        out.Variables.push_back(FromRecord(*member, name, type, address, source));
        if (type == (kVtArray | kVtBstr)) {
            // Its strings have no length of their own, so nothing after it has a known place.
            stop("member '" + plat::cp1250ToUtf8(member->Name) + "' is a string array");
            return;
        }
        address += member->Type == kTdrTypeArray ? TdrTypeByteSize(member->ElementType, member->Count)
                                                 : TdrTypeByteSize(member->Type, member->Count);
        previousBoolean = false;
        lastBit = 0;
    }
}

}  // namespace

TTdrParseResult ParseTdr(std::string_view bytes)
{
    TTdrParseResult out;
    if (bytes.size() < kTdrHeaderSize) {
        out.Result = kImportWrongFormat;
        out.Errors.push_back("file shorter than its header");
        return out;
    }
    const auto count = I32(bytes, 0);
    const auto format = I32(bytes, 4);
    if (format != kTdrFormat || count < 0) {
        out.Result = kImportWrongFormat;
        out.Errors.push_back("format " + std::to_string(format) + ", count " + std::to_string(count));
        return out;
    }
    out.RecordCount = static_cast<std::size_t>(count);
    const std::size_t held = (bytes.size() - kTdrHeaderSize) / kTdrRecordSize;
    if (held < out.RecordCount) {
        out.Result = kImportWrongFormat;
        out.Errors.push_back("count " + std::to_string(count) + " but " + std::to_string(held) + " records");
    }
    const std::size_t last = std::min(held, out.RecordCount);
    for (std::size_t r = kTdrFirstImported; r < last; ++r) {
        const auto rec = ReadTdrRecord(bytes, kTdrHeaderSize + kTdrRecordSize * r);
        if (!rec || rec->Class != kTdrClassVariable || !(rec->Flags & kTdrFlagExported) || rec->Name.empty())
            continue;
        const auto type = TdrTypeToVarType(rec->Type, rec->ElementType);
        if (type != kNoVarType)
            out.Variables.push_back(FromRecord(*rec, rec->Name, type, rec->Address, r));
        else if (rec->Type == kTdrTypeStructure && rec->Count > 0)
            ExpandStructure(bytes, *rec, r, out);
    }
    return out;
}

// --- ".pub" ---

TPubLine ParsePubLine(std::string_view line)
{
    TPubLine r;
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.find(' ') == std::string_view::npos)
        return r;
    if (const auto semicolon = line.find(';'); semicolon != std::string_view::npos) {
        r.Var.Comment.assign(line.substr(semicolon + 1));
        // Trimmed again: the blank before the comment must not become an empty last word.
        line = Trim(line.substr(0, semicolon));
    }
    std::string_view rest = line;
    const auto name = Word(rest);
    if (name.empty())
        return r;
    r.Var.Name.assign(name);

    if (rest.find('"') == std::string_view::npos) {
        const auto zone = Word(rest);
        if (zone.empty())
            return r;
        r.Var.Zone = PubZoneLetterToDataZone(zone.front());
        const auto width = Word(rest);
        if (width.empty())
            return r;
        std::size_t digits = 0;
        while (digits < rest.size() && IsDigit(rest[digits]))
            ++digits;
        if (digits == 0)
            return r;
        const auto address = ToInt32(rest.substr(0, digits));
        if (!address)
            return Fail("address " + std::string(rest.substr(0, digits)) + " does not fit 32 bits");
        r.Var.Address = *address;
        // The address word is ADDRESS or ADDRESS.BIT; a next word beginning with "." gives the
        // bit as well.
        const auto blank = rest.find(' ');
        std::string_view word = rest.substr(0, blank);
        rest = blank == std::string_view::npos ? std::string_view{} : rest.substr(blank + 1);
        std::string_view bitText;
        bool bitGiven = false;
        if (word.size() > digits && word[digits] == '.') {
            bitGiven = true;
            bitText = word.substr(digits + 1);
        } else if (word.size() == digits && !rest.empty() && rest.front() == '.') {
            bitGiven = true;
            const auto next = rest.find(' ');
            bitText = rest.substr(1, next == std::string_view::npos ? std::string_view::npos : next - 1);
            rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
        }
        if (bitGiven) {
            // One character, as the environments write it.
            if (bitText.empty() || !IsDigit(bitText.front()))
                return Fail("bit '" + std::string(bitText) + "' is not a number");
            r.Var.Bit = bitText.front() - '0';
        }
        r.Var.VarType = PubTypeLetterToVarType(width, bitGiven);
        if (rest.find(' ') == std::string_view::npos)
            rest = {};
        ApplyDirectionAndType(rest, r);
        if (std::toupper(static_cast<unsigned char>(zone.front())) == 'T')
            return TPubLine{};
        if (r.Var.VarType == kNoVarType)
            return Fail("no type for width '" + std::string(width) + "'");
        r.What = TPubLine::Declaration;
        return r;
    }

    rest.remove_prefix(rest.find('"') + 1);
    const auto close = rest.find('"');
    if (close == std::string_view::npos)
        return r;
    const auto inner = rest.substr(0, close);
    rest.remove_prefix(close + 1);
    if (const auto bracket = inner.find('['); bracket != std::string_view::npos) {
        r.Base.assign(inner.substr(0, bracket));
        auto after = inner.substr(bracket + 1);
        const auto end = after.find(']');
        const auto indexText = after.substr(0, end);
        const auto index = ToInt32(indexText);
        if (!index)
            return Fail("index '" + std::string(indexText) + "' is not a 32-bit number");
        r.Index = *index;
        after = end == std::string_view::npos ? std::string_view{} : after.substr(end + 1);
        if (const auto dot = after.find('.'); dot != std::string_view::npos) {
            const auto bitText = after.substr(dot + 1);
            if (bitText.empty())
                return TPubLine{};
            const auto bit = ToInt32(bitText);
            if (!bit)
                return Fail("bit '" + std::string(bitText) + "' is not a 32-bit number");
            r.AliasBit = *bit;
        }
    } else if (const auto dot = inner.find('.'); dot != std::string_view::npos) {
        r.Base.assign(inner.substr(0, dot));
        const auto bitText = inner.substr(dot + 1);
        if (bitText.empty())
            return TPubLine{};
        const auto bit = ToInt32(bitText);
        if (!bit)
            return Fail("bit '" + std::string(bitText) + "' is not a 32-bit number");
        r.AliasBit = *bit;
    } else {
        r.Base.assign(inner);
    }
    if (r.Base.empty())
        return TPubLine{};
    // The type comes from the base when the alias is applied, unless an IEC type word
    // replaces it; after the quote that word is normally empty and the next is the direction.
    r.Var.VarType = kNoVarType;
    ApplyDirectionAndType(rest, r);
    r.What = TPubLine::Alias;
    return r;
}

std::string DecodePubText(std::string_view bytes)
{
    auto body = bytes;
    if (body.starts_with("\xEF\xBB\xBF"))
        body.remove_prefix(3);
    if (IsValidUtf8(body))
        return std::string(body);
    return plat::cp1250ToUtf8(bytes);
}

std::vector<std::string_view> SplitPubLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// --- Messages ---

std::vector<TImportMessage> ImportMessages(int result, int importedNew, int importedChanged,
                                           const std::string& fileName)
{
    std::vector<TImportMessage> out;
    const auto wrongFormat = vx::FormatText(vx::GetLangText(kMsgImportWrongFormat), {fileName});
    if (importedNew != 0 || importedChanged != 0) {
        if (result != kImportDone)
            out.push_back({vx::GetLangText(kMsgImportPartlyFailed) + "\r\n" + wrongFormat, vx::mtWarning});
        out.push_back({vx::FormatText(vx::GetLangText(kMsgImportSummary),
                                      {std::int64_t{importedNew} + importedChanged, std::int64_t{importedNew},
                                       std::int64_t{importedChanged}}),
                       vx::mtInformation});
    } else if (result == kImportCannotOpen) {
        out.push_back({vx::FormatText(vx::GetLangText(kMsgImportCannotOpen), {fileName}), vx::mtError});
    } else if (result != kImportDone) {
        out.push_back({wrongFormat, vx::mtWarning});
    }
    return out;
}

}  // namespace vos

#include "vx_def.h"

#include <istream>
#include <ostream>
#include <stdexcept>

#include "vx_lang.h"
#include "vx_version.h"

namespace vx {

std::int32_t ServerAddress = 0;
std::int32_t ConnectRate = 0;
std::int32_t CommDelay = 0;
std::int32_t MaxPacketLen = 0;
std::int32_t MaxBadCommCount = 0;
std::int32_t MaxBadComToReset = 0;
bool DifferentPacketLen = false;
bool CheckTimestamp = false;
bool UseDTR = false;
bool UseRTS = false;
bool RequireDSR = false;
bool RequireCTS = false;
std::int32_t timBeforeDial = 0;
std::int32_t timSameCall = 0;
std::int32_t timTildeDelay = 0;
bool ComLogging = false;
std::int32_t NumOfComLines = 0;
bool ComLogToFile = false;
std::int32_t Language = 0;
std::int32_t VarTypesSigning = 0;
bool ShowMessages = false;
bool LogEvents = false;
std::int32_t NumOfEventLines = 0;
bool FlatListView = false;
std::string CfgFileName;
std::string IniFileName;
std::int32_t ArrWatchMaxLen = 0;
std::int32_t ArrWatchOffset = 0;
bool ShuttingDown = false;

void ResetSettings()
{
    ServerAddress = ConnectRate = CommDelay = MaxPacketLen = MaxBadCommCount = MaxBadComToReset = 0;
    DifferentPacketLen = CheckTimestamp = UseDTR = UseRTS = RequireDSR = RequireCTS = false;
    timBeforeDial = timSameCall = timTildeDelay = 0;
    ComLogging = ComLogToFile = false;
    NumOfComLines = 0;
    Language = VarTypesSigning = 0;
    ShowMessages = LogEvents = FlatListView = false;
    NumOfEventLines = 0;
    CfgFileName.clear();
    IniFileName.clear();
    ArrWatchMaxLen = ArrWatchOffset = 0;
    ShuttingDown = false;
}

void FinalizeDef()
{
    CfgFileName.clear();
    IniFileName.clear();
}

std::string ZoneName(std::int32_t code)
{
    if (code & 0x80)
        return "M";
    switch (code) {
    case 0: return "X";
    case 1: return "Y";
    case 2: return "S";
    case 3: return "R";
    default: return "?";
    }
}

std::string VarTypeName(std::uint16_t vt)
{
    std::string name;
    const bool known = VarTypesSigning == 0 || VarTypesSigning == 1;
    const bool s1 = VarTypesSigning == 1;
    switch (vt & 0xFFF) {
    case 11: name = "Bool"; break;
    case 17: name = "Byte"; break;
    case 18: name = "Word"; break;
    case 19: name = s1 ? "DWord" : "LongWord"; break;
    case 2: name = s1 ? "Int" : "SmallInt"; break;
    case 3: name = s1 ? "DInt" : "Integer"; break;
    case 4: name = s1 ? "Real" : "Float"; break;
    case 5: name = s1 ? "LReal" : "Double"; break;
    case 7: name = s1 ? "data_and_time" : "DateTime"; break;
    case 8: name = "String"; break;
    default: name = "?"; break;
    }
    if (!known && name != "?")
        name.clear();
    if (vt & 0x2000)
        name += "Array";
    return name;
}

std::string PlcFamilyName(std::int32_t index)
{
    switch (index) {
    case 0: return "Dravik";
    case 1: return "Selvin";
    case 2: return "Orbane";
    default: return "?";
    }
}

std::string QualityText(std::uint16_t quality)
{
    if ((quality & 0xD8) == 0xD8)
        return "Good, local override";
    std::string text;
    switch (quality & 0xC0) {
    case 0x00: text = "Bad"; break;
    case 0x40: text = "Uncertain"; break;
    case 0xC0: text = "Good, non-specific"; break;
    default: break;
    }
    switch (quality & 0x1C) {
    case 4: text += ", config error"; break;
    case 8: text += ", not connected"; break;
    case 12: text += ", device failure"; break;
    case 16: text += ", sensor failure"; break;
    case 20: text += ", last known"; break;
    case 24: text += ", comm failure"; break;
    case 28: text += ", out of service"; break;
    default: break;
    }
    return text;
}

std::int32_t SplitTrailingNumber(std::string& text)
{
    std::size_t start = text.size();
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9')
        --start;
    if (start == text.size())
        return -1;
    // Digits beyond what 32 bits hold saturate rather than wrap into a wrong name number.
    std::int64_t value = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX)
            value = INT32_MAX;
    }
    text.erase(start);
    return static_cast<std::int32_t>(value);
}

std::string CrLfToBlanks(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

void WriteStreamString(std::ostream& stream, const std::string& text)
{
    const auto len = static_cast<std::uint32_t>(text.size());
    const char bytes[4] = {static_cast<char>(len & 0xFF), static_cast<char>((len >> 8) & 0xFF),
                           static_cast<char>((len >> 16) & 0xFF), static_cast<char>((len >> 24) & 0xFF)};
    stream.write(bytes, 4);
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string ReadStreamString(std::istream& stream)
{
    unsigned char b[4];
    if (!stream.read(reinterpret_cast<char*>(b), 4))
        throw std::runtime_error("stream ends inside a string length");
    const auto len = static_cast<std::int32_t>(static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                                               static_cast<std::uint32_t>(b[2]) << 16 |
                                               static_cast<std::uint32_t>(b[3]) << 24);
    if (len < 1)
        return {};
    // Read in pieces so that a damaged length cannot make us allocate gigabytes up front.
    std::string out;
    std::int32_t left = len;
    char buf[4096];
    while (left > 0) {
        const std::int32_t n = left < static_cast<std::int32_t>(sizeof buf) ? left : static_cast<std::int32_t>(sizeof buf);
        if (!stream.read(buf, n))
            throw std::runtime_error("stream ends inside a string");
        out.append(buf, static_cast<std::size_t>(n));
        left -= n;
    }
    return out;
}

std::string GetVersionString()
{
    return std::to_string(VX_VERSION_MAJOR) + "." + std::to_string(VX_VERSION_MINOR) + "." +
           std::to_string(VX_VERSION_PATCH);
}

bool GetVersionNumbers(std::uint16_t& major, std::uint16_t& minor, std::uint16_t& build)
{
    major = VX_VERSION_MAJOR;
    minor = VX_VERSION_MINOR;
    build = VX_VERSION_TWEAK;
    return true;
}

std::string GetStatusText1000(std::int32_t n) { return GetLangText(1000 + n); }
std::string GetStatusText1100(std::int32_t n) { return GetLangText(1100 + n); }
std::string GetStatusText1120(std::int32_t n) { return GetLangText(1120 + n); }

std::int32_t MaxRequestLength()
{
    std::int32_t len = MaxPacketLen;
    if (DifferentPacketLen)
        len -= 4;
    if (CheckTimestamp)
        len -= 4;
    return len;
}

double MsToDateTime(std::int64_t milliseconds)
{
    const std::int64_t days = milliseconds / 86400000;
    const std::int64_t rest = milliseconds % 86400000;
    return static_cast<double>(days) + static_cast<double>(rest) / 86400000.0;
}

}  // namespace vx

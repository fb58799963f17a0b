#pragma once
// Process-wide settings of the program and small conversions shared by the editor, the
// runtime monitor and the OPC layer. The settings file fills the variables; before that
// they hold 0, false or the empty text.
#include <cstdint>
#include <iosfwd>
#include <string>

namespace vx {

extern std::int32_t ServerAddress;
extern std::int32_t ConnectRate;       // ms
extern std::int32_t CommDelay;         // ms
extern std::int32_t MaxPacketLen;      // bytes
extern std::int32_t MaxBadCommCount;
extern std::int32_t MaxBadComToReset;  // 0 never
extern bool DifferentPacketLen;
extern bool CheckTimestamp;
extern bool UseDTR;
extern bool UseRTS;
extern bool RequireDSR;
extern bool RequireCTS;
extern std::int32_t timBeforeDial;  // ms
extern std::int32_t timSameCall;    // ms
extern std::int32_t timTildeDelay;  // ms
extern bool ComLogging;
extern std::int32_t NumOfComLines;
extern bool ComLogToFile;
extern std::int32_t Language;  // 0 Czech, 1 English
extern std::int32_t VarTypesSigning;
extern bool ShowMessages;
extern bool LogEvents;
extern std::int32_t NumOfEventLines;
extern bool FlatListView;
extern std::string CfgFileName;
extern std::string IniFileName;
extern std::int32_t ArrWatchMaxLen;
extern std::int32_t ArrWatchOffset;
extern bool ShuttingDown;

// Puts every variable back to its value before reading (for tests and a second start).
void ResetSettings();
// Unit finalisation: empties the two file names.
void FinalizeDef();

std::string ZoneName(std::int32_t code);
std::string VarTypeName(std::uint16_t vt);
std::string PlcFamilyName(std::int32_t index);
std::string QualityText(std::uint16_t quality);
// Cuts the decimal digits off the end of text and returns them; -1 (text untouched) when none.
std::int32_t SplitTrailingNumber(std::string& text);
std::string CrLfToBlanks(const std::string& text);

// A stream string: 4-byte little-endian signed length, then the bytes.
void WriteStreamString(std::ostream& stream, const std::string& text);
// Throws std::runtime_error when the stream ends inside the string, so that a truncated
// file is reported instead of read as garbage.
std::string ReadStreamString(std::istream& stream);

std::string GetVersionString();
bool GetVersionNumbers(std::uint16_t& major, std::uint16_t& minor, std::uint16_t& build);

std::string GetStatusText1000(std::int32_t n);
std::string GetStatusText1100(std::int32_t n);
std::string GetStatusText1120(std::int32_t n);

std::int32_t MaxRequestLength();
double MsToDateTime(std::int64_t milliseconds);

}  // namespace vx

#pragma once
// One request telegram to one station: the frame, the variables whose bytes it carries and
// where their bytes lie in the expected answer. Building frames, coding values and decoding
// answer entries are functions of bytes and model objects only: no I/O here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vx_classes.h"
#include "vx_hook.h"
#include "vx_telegram_codes.h"
#include "vx_variable.h"

namespace vx {

enum TPacketKind : std::int32_t {
    pkConnect = 0,
    pkIdent = 1,
    pkSetTID = 2,
    pkReadN = 6,
    pkWriteN = 7,
    pkWriteB = 9,
};

// Room for the largest frame; frames never exceed the largest MaxPacketLen of 255.
inline constexpr std::size_t kFrameRoom = 256;
// No LE byte can describe a longer frame, whatever the settings say.
inline constexpr std::int32_t kLongestFrame = 255;

class TPacket : public TTreeObject {
public:
    TPacket(std::int32_t kind, TStation* station);
    // Runs the completion hook for every entry and lowers the pending counters.
    ~TPacket() override;

    // Places v, or its next part; false when nothing was added. For SetTID the value is
    // coded as the PLC clock and v becomes the packet's one entry.
    bool AddVariable(TVariable* v);
    // Lets v share the answer bytes of an entry at the same place and of the same size.
    bool JoinVariable(TVariable* v);
    // Completes the frame; false when it would exceed MaxPacketLen.
    bool BuildFrame();
    // Answer offset of v's first entry, -1 when the packet does not carry it.
    std::int32_t AnswerOffsetOf(const TVariable* v) const;
    // The entries count against WritePending (else against ReadPending).
    bool CountsAsWrite() const;

    std::int32_t Kind;
    std::int32_t Priority = 0;
    TStation* Station;  // not owned
    std::uint16_t FrameLength = 0;  // counts the checksum and end byte
    double SendTime = 0;
    std::array<std::uint8_t, kFrameRoom> Frame{};
    std::uint8_t FC = 0;
    std::uint8_t SC = 0;
    std::int32_t LastZone = -1;
    std::int32_t NextAddress = -1;
    double RequestTime = 0;
    std::int32_t LastItemData = 0;
    std::int32_t AnswerLength = 0;
    std::int32_t Retries = 0;
    // One entry per part carried; the four lists run in parallel.
    std::vector<TVariable*> Variables;  // not owned
    std::vector<std::int32_t> AnswerOffsets;
    std::vector<std::int32_t> PartLengths;
    std::vector<std::int32_t> PartOffsets;
    std::int32_t LogDirection = 0;  // 0 open, 1 built, 2 sent, 3 answered or failed

private:
    bool AddRead(TVariable* v);
    bool AddWriteN(TVariable* v);
    bool AddWriteB(TVariable* v);
    bool AddClock(TVariable* v);
    void AddEntry(TVariable* v, std::int32_t answerOffset, std::int32_t partOffset, std::int32_t partLength);
    void AppendByte(std::uint8_t b);
};

// True when SendTime plus the station's active Timeout is not later than now.
bool RequestTimedOut(const TPacket& packet, double now);

// Largest frame, answer and request under the current settings.
std::int32_t FrameLimit();
std::int32_t AnswerLimit();
std::int32_t RequestLimit();

// False when v's bytes do not lie within one zone of the PLC: an address outside 0..65535,
// a value running past address 65535, a zone code that does not fit its byte, a Boolean bit
// outside 0..7. An item for such a variable would address other memory, so it is never packed.
bool PlcLocationValid(const TVariable& v);

// Bytes of a whole value, and of one element, by CanonicalType.
std::int32_t VariableDataSize(const TVariable& v);
std::int32_t VariableElementSize(const TVariable& v);

// The coded bytes of v's whole Value (VariableDataSize bytes, little-endian). Throws
// EConvertError when Value cannot be taken as the variable's type.
std::vector<std::uint8_t> EncodeValue(const TVariable& v);
// Decodes the bytes of one part of v, starting at byte partOffset of its value, into Value.
// Throws EConvertError for bytes that make no value (a PLC clock with month 13); Value is
// then untouched.
void DecodeValuePart(TVariable& v, std::int32_t partOffset, const std::uint8_t* data, std::size_t length);

// The seven SetTID bytes of a date-time: year mod 100, month, day, hour, minute, second,
// day of week (Monday 1 .. Sunday 7). False when value is no date.
bool EncodeClock(const VARIANT& value, std::array<std::uint8_t, 7>& out);

// Takes entry `entry` of the packet out of an answer of `length` bytes into its variable,
// after the channel's checks passed. False, with nothing counted and the variable as it was,
// when the answer is too short for the entry or its bytes make no value; error says why.
bool DecodeAnswerEntry(TPacket& packet, std::size_t entry, const std::uint8_t* answer, std::size_t length,
                       std::string* error = nullptr);

// The time stamp of the station's previous answer as the check compares it: -1 before any.
std::int32_t TimeStampOf(const TVariable& v);

// The telegram checksum: the sum of the bytes modulo 256 (DA up to the last data byte).
std::uint8_t FrameChecksum(std::span<const std::uint8_t> bytes);

// Name of a packet kind as the log shows it.
std::string PacketKindName(std::int32_t kind);

}  // namespace vx

#pragma once
// One PLC variable, or a service variable bound to a station field.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/com/variant.h"
#include "vx_classes.h"

namespace vx {

// Service kinds (the variable's service code).
enum TVariableKind : std::int32_t {
    vkPlain = 0,
    vkDateTime = 1,  // "SYS_DateTime", the PLC clock
    vkDrwAddress = 10,
    vkDrwLength = 11,
    vkDrwControl = 12,
    vkDrwDataBuffer = 13,
    vkDrwStatus = 14,
    vkDrwZone = 16,
    vkPhoneNumber = 20,
    vkControlAlt = 21,
    vkDialState = 22,
    vkCallResult = 23,
    vkModemError = 25,
    vkDialStateText = 26,
    vkCallResultText = 27,
    vkModemErrorText = 28,
    vkModemNumber = 30,
    vkConControl = 40,
    vkStationField41 = 41,
    vkModStatus = 50,
    vkModStatusStr = 51,
    vkModModemType = 52,
    vkModControl = 53,
    vkTimeStamp = 101,  // "INT_TimeStamp"
};

// DRW_Status values of a block transfer.
enum TDrwStatus : std::int32_t {
    drwIdle = 0,
    drwReading = 1,
    drwReadDone = 2,
    drwReadFailed = 3,
    drwWriting = 11,
    drwWriteDone = 12,
    drwWriteFailed = 13,
};

// OPC quality words used by the core.
enum : std::uint16_t {
    qGood = 0xC0,
    qLocalOverride = 0xD8,
    qUncertain = 0x40,
    qConfigError = 0x04,
    qCommFailure = 0x18,
    qLastKnown = 0x14,
    qOutOfService = 0x1C,
};

// Bytes of one PLC zone: a value larger than this can never be read or written.
inline constexpr std::int64_t kZoneBytes = 65536;
// Zone M: the configuration's zone code, and the end of its linear addresses (the block
// number travels beside the 0x80 bit of the zone byte, so 128 blocks).
inline constexpr std::int32_t kConfigZoneM = 4;
inline constexpr std::int64_t kZoneMEnd = 0x80 * kZoneBytes;  // 8,388,608
// The zone code of a location that lies in no zone: past the zone byte, without the zone M
// bit, so that every request refuses it as a configuration error.
inline constexpr std::int32_t kZoneOutside = 0x100;
// A simulated array keeps up to this many elements even when it is larger than a zone.
inline constexpr std::int32_t kMaxForcedArrayElements = 65536;
// No array value holds more elements than a zone has bits (a Boolean array of a whole zone).
inline constexpr std::int32_t kMaxArrayElements = 8 * 65536;

// A text that cannot be converted to the asked type.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TStation;

class TVariable : public TTreeObject {
public:
    explicit TVariable(TTreeObject* owner);
    ~TVariable() override;

    TStation* GetStation() const;
    // Station, then the folders innermost first, then the name, joined by ".".
    std::string GetFullName() const;

    bool GetScaled() const;
    void SetScaled(bool on);
    void SetActive(bool on);
    void SetQuality(std::uint16_t quality);
    void SetForced(bool on);
    void SetKind(std::int32_t kind);
    // Never below 0; reaching 0 ends the request (part counters back to 0, block status).
    void SetReadPending(std::int32_t count);
    void SetWritePending(std::int32_t count);

    // Value and ClientValue back to their start; false when any step raised. A declared array
    // too large to hold (ArrayTooLarge) gets no value and quality 0x04 instead.
    bool InitValue();
    // Zone and Address from a linear zone M address; one outside zone M (negative, or from
    // kZoneMEnd on) gets kZoneOutside, never a lower block.
    void PlaceInZoneM(std::int64_t linearAddress);
    // Immediate read for a client. Done tells that the answer is already there; otherwise the
    // completion hook ends the request. A request that could not be queued is done and fails.
    HRESULT RequestRead(bool& done);
    // Client write of what the OPC layer has just stored in Value.
    HRESULT WriteValue(bool& done);

    bool ReadDue(double now) const;
    // One simulation step of a forced variable; true when it ran (the value changed).
    bool SimulationStep(double now);

    // What the OPC layer's change check reads for every item on every due update comes
    // first, close together: a plant has a hundred thousand variables.
    bool Scaled = false;
    bool Active = false;
    bool Forced = false;
    std::uint16_t Quality = qUncertain;
    com::Variant Value;
    double HiHiLimit = 0, HiLimit = 0, LoLimit = 0, LoLoLimit = 0;
    std::int32_t Kind = vkPlain;
    std::int32_t ReadPending = 0;
    std::int32_t WritePending = 0;
    std::int32_t Zone = 3;  // 0 X, 1 Y, 2 S, 3 R; zone M is (linear address div 65536) or 0x80
    std::int32_t Address = 0;
    std::int32_t BitNumber = 0;
    std::int32_t StringLength = 0;
    std::int32_t ArrayCount = 0;
    com::Variant ClientValue;
    VARTYPE RequestedType = VT_R4;
    VARTYPE CanonicalType = VT_UI2;
    bool Readable = true;
    bool Writable = true;
    double RawLow = 0, RawHigh = 0, EuLow = 0, EuHigh = 0;
    double LastUpdate = 0;
    std::string Units;
    std::string TrueText = "True";
    std::string FalseText = "False";
    std::uint32_t UpdatePeriod = 86400000;  // ms
    std::int32_t ReadOffset = 0;
    std::int32_t WriteOffset = 0;
    std::int32_t ReadParts = 0;
    std::int32_t ReadPartsDone = 0;
    std::int32_t WriteParts = 0;
    std::int32_t WritePartsDone = 0;
    // Set when every part of the current read was decoded and taken; a read that ends
    // without it (dropped or failed) is not a read done.
    bool ReadAnswered = false;
    std::int32_t SimFunction = 0;  // 0 none, 1 random walk, 2 ramp
    double SimLow = 0;
    double SimHigh = 0;
    std::int32_t SimPeriod = 1000;  // ms
    double SimStep = 1.0;
    std::string InitialValue;
    // OPC transactions waiting for this variable; they belong to the OPC layer, which also
    // empties the list, so the entries are opaque here.
    std::vector<void*> WaitingTransactions;
    // The first of the OPC items bound to this variable, linked through the items
    // themselves; opaque here, kept by the OPC layer.
    void* OpcItems = nullptr;
};

// Throws EConvertError when the text does not convert. Arrays take elements separated by ";"
// and have variable.ArrayCount elements.
void TextToVariant(const std::string& text, VARTYPE type, const TVariable& variable, com::Variant& result);

// True when v's declared array cannot be held: more bytes than one zone (it could never be
// read or written) unless v is forced and within kMaxForcedArrayElements, or more elements
// than kMaxArrayElements. Such a variable has no value and is neither read nor written.
bool ArrayTooLarge(const TVariable& v);

// The zero of a type: numbers 0, the empty text, false; arrays of count zero elements.
// An unsupported type, and an array of more than kMaxArrayElements, leave result empty.
void ZeroValue(VARTYPE type, std::int32_t count, com::Variant& result);

// Numbers and texts written into service variables, in the variable's own type when it
// takes them; a null variable is skipped.
void SetVariableNumber(TVariable* variable, std::int32_t value);
void SetVariableText(TVariable* variable, const std::string& text);
// The value as a number; fallback when there is no variable or it does not convert.
std::int32_t VariableNumber(const TVariable* variable, std::int32_t fallback = 0);

// The random source of the simulation, for repeatable tests.
void SeedSimulation(std::uint32_t seed);

}  // namespace vx

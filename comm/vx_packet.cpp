#include "vx_packet.h"

#include <algorithm>
#include <limits>
#include <bit>
#include <cmath>
#include <cstring>

#include "platform/clock.h"
#include "platform/com/safearray.h"
#include "platform/text.h"
#include "vx_def.h"
#include "vx_station.h"

namespace vx {

TVariableRequestDone OnVariableRequestDone;

namespace {

// Days from 30 December 1899 to 1 January 1970.
constexpr double kUnixEpochDate = 25569.0;
// The date range a VARIANT date can hold (years 100 to 9999).
constexpr double kFirstDate = -657434.0;
constexpr double kLastDateExclusive = 2958466.0;

bool isArray(VARTYPE t) { return (t & VT_ARRAY) != 0; }
// The type of an array's elements; any other flag stays, so that it matches no element type.
VARTYPE elementOf(VARTYPE arrayType) { return static_cast<VARTYPE>(arrayType & ~VT_ARRAY); }

// Bytes that hold count bits, eight to a byte.
std::int32_t bitBytes(std::int32_t count) { return count / 8 + (count % 8 ? 1 : 0); }

// Element bytes of the fixed-size element types; 0 for others.
std::int32_t fixedSize(VARTYPE element)
{
    switch (element) {
    case VT_I2:
    case VT_UI2:
        return 2;
    case VT_I4:
    case VT_R4:
    case VT_UI4:
        return 4;
    case VT_R8:
    case VT_DATE:
        return 8;
    case VT_BOOL:
    case VT_UI1:
        return 1;
    default:
        return 0;
    }
}

// A request item: zone, address (low byte first), and the byte count or, for WriteB, the bit.
std::array<std::uint8_t, 4> requestItem(std::int32_t zone, std::int32_t address, std::int32_t last)
{
    return {static_cast<std::uint8_t>(zone), static_cast<std::uint8_t>(address & 0xFF),
            static_cast<std::uint8_t>((address >> 8) & 0xFF), static_cast<std::uint8_t>(last)};
}

// The bytes of v from offset on that its next part carries: all that are left when they fit
// in room; else, for an array, the whole elements that cutRoom holds, but never past the end
// of the value, even where cutRoom would allow more; 0 when nothing goes.
std::int32_t nextPartLength(const TVariable& v, std::int32_t offset, std::int32_t room, std::int32_t cutRoom)
{
    std::int32_t count = VariableDataSize(v) - offset;
    if (count <= 0)
        return 0;
    if (count > room) {
        const std::int32_t element = VariableElementSize(v);
        if (!isArray(v.CanonicalType) || element > cutRoom)
            return 0;
        count = std::min(count, cutRoom / element * element);
    }
    return count;
}

// Counts a write part of v that takes its next `bytes` bytes; after the value's last byte the
// next part starts at byte 0 again.
void countWritePart(TVariable& v, std::int32_t bytes)
{
    v.WriteOffset += bytes;
    if (v.WriteOffset >= VariableDataSize(v))
        v.WriteOffset = 0;
    ++v.WriteParts;
    v.SetWritePending(v.WritePending + 1);
}

void putLE(std::uint8_t* out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t getLE(const std::uint8_t* in, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    return v;
}

com::Variant convertedTo(const VARIANT& value, VARTYPE type)
{
    com::Variant out;
    if (FAILED(VariantChangeType(out.put(), &value, 0, type)))
        throw EConvertError("the value cannot be taken as type " + std::to_string(type));
    return out;
}

bool dateInRange(double d) { return std::isfinite(d) && d >= kFirstDate && d < kLastDateExclusive; }

// Text of a PLC string: Windows-1250 bytes, padded with 0x00 or cut to length.
void encodeText(const VARIANT& value, std::int32_t length, std::uint8_t* out)
{
    com::Variant text = convertedTo(value, VT_BSTR);
    const std::string bytes = plat::utf8ToCp1250(text.toUtf8().value_or(std::string()));
    std::memset(out, 0, static_cast<std::size_t>(length));
    std::memcpy(out, bytes.data(), std::min(bytes.size(), static_cast<std::size_t>(length)));
}

// Date-time to the PLC clock bytes: ms, second, minute, hour, day of week, day, month, year mod 100.
void encodePlcClock(double date, std::uint8_t* out)
{
    if (!dateInRange(date))
        throw EConvertError("the value is no date");
    const plat::DateTimeFields f = plat::decodeDateTime(date);
    const std::uint8_t bytes[8] = {
        static_cast<std::uint8_t>(std::min(f.millisecond, 255)), static_cast<std::uint8_t>(f.second),
        static_cast<std::uint8_t>(f.minute), static_cast<std::uint8_t>(f.hour),
        static_cast<std::uint8_t>(f.dayOfWeek), static_cast<std::uint8_t>(f.day),
        static_cast<std::uint8_t>(f.month), static_cast<std::uint8_t>(f.year % 100)};
    std::memcpy(out, bytes, 8);
}

double decodePlcClock(const std::uint8_t* in)
{
    const plat::DateTimeFields today = plat::decodeDateTime(plat::clock().now());
    plat::DateTimeFields f;
    f.millisecond = in[0];
    f.second = in[1];
    f.minute = in[2];
    f.hour = in[3];
    f.day = in[5];
    f.month = in[6];
    if (in[7] > 99)
        throw EConvertError("the PLC clock's year byte is above 99");
    f.year = today.year / 100 * 100 + in[7];
    double date = 0;
    if (!plat::encodeDateTime(f, date))
        throw EConvertError("the PLC clock bytes make no date");
    return date;
}

void encodeScalar(const TVariable& v, std::uint8_t* out)
{
    const VARIANT& value = *v.Value.get();
    switch (v.CanonicalType) {
    case VT_I2:
        putLE(out, static_cast<std::uint16_t>(convertedTo(value, VT_I2).get()->iVal), 2);
        break;
    case VT_UI2:
        putLE(out, convertedTo(value, VT_UI2).get()->uiVal, 2);
        break;
    case VT_I4:
        putLE(out, static_cast<std::uint32_t>(convertedTo(value, VT_I4).get()->lVal), 4);
        break;
    case VT_UI4:
        putLE(out, convertedTo(value, VT_UI4).get()->ulVal, 4);
        break;
    case VT_R4:
        putLE(out, std::bit_cast<std::uint32_t>(convertedTo(value, VT_R4).get()->fltVal), 4);
        break;
    case VT_R8:
        putLE(out, std::bit_cast<std::uint64_t>(convertedTo(value, VT_R8).get()->dblVal), 8);
        break;
    case VT_UI1:
        out[0] = convertedTo(value, VT_UI1).get()->bVal;
        break;
    case VT_DATE: {
        const double date = convertedTo(value, VT_DATE).get()->date;
        if (v.Kind == vkDateTime) {
            encodePlcClock(date, out);
        } else {
            if (!dateInRange(date))
                throw EConvertError("the value is no date");
            putLE(out, std::bit_cast<std::uint64_t>((date - kUnixEpochDate) * 86400.0), 8);
        }
        break;
    }
    case VT_BSTR:
        encodeText(value, v.StringLength, out);
        break;
    case VT_BOOL: {
        const std::optional<bool> b = v.Value.toBool();
        if (!b)
            throw EConvertError("the value is no Boolean");
        out[0] = *b ? static_cast<std::uint8_t>(1u << (v.BitNumber & 7)) : 0;
        break;
    }
    default:
        break;
    }
}

// The array of Value as `count` elements of its element type; throws when it is no such array
// or holds fewer.
com::Variant arrayOf(const TVariable& v, VARTYPE element, std::int32_t count)
{
    if (!isArray(v.Value.vt()) || !v.Value.get()->parray)
        throw EConvertError("the value is no array");
    com::Variant arr = convertedTo(*v.Value.get(), VT_ARRAY | element);
    if (static_cast<std::int64_t>(arr.get()->parray->rgsabound[0].cElements) < count)
        throw EConvertError("the value holds fewer elements than the variable");
    return arr;
}

void encodeArray(const TVariable& v, std::uint8_t* out)
{
    const VARTYPE element = v.CanonicalType & VT_TYPEMASK;
    const std::int32_t count = std::max(v.ArrayCount, 0);
    com::Variant arr = arrayOf(v, element, count);
    SAFEARRAY* psa = arr.get()->parray;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(psa, &data)))
        throw EConvertError("the array cannot be read");
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    switch (element) {
    case VT_BSTR: {
        const auto* strings = static_cast<const BSTR*>(data);
        for (std::int32_t i = 0; i < count; ++i) {
            VARIANT s;
            VariantInit(&s);
            s.vt = VT_BSTR;
            s.bstrVal = strings[i];  // borrowed, not cleared
            try {
                encodeText(s, v.StringLength, out + static_cast<std::size_t>(i) * v.StringLength);
            } catch (...) {
                SafeArrayUnaccessData(psa);
                throw;
            }
        }
        break;
    }
    case VT_BOOL: {
        const auto* flags = static_cast<const VARIANT_BOOL*>(data);
        std::memset(out, 0, static_cast<std::size_t>(bitBytes(count)));
        for (std::int32_t k = 0; k < count; ++k)
            if (flags[k])
                out[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
        break;
    }
    default: {
        // Date arrays carry the date values themselves, so every fixed-size element is
        // its own bytes in little-endian order.
        const std::int32_t size = fixedSize(element);
        for (std::int32_t i = 0; i < count; ++i)
            putLE(out + static_cast<std::size_t>(i) * size, getLE(bytes + static_cast<std::size_t>(i) * size, size), size);
        break;
    }
    }
    SafeArrayUnaccessData(psa);
}

void decodeScalar(TVariable& v, const std::uint8_t* in, com::Variant& out)
{
    switch (v.CanonicalType) {
    case VT_I2: out.setI2(static_cast<SHORT>(getLE(in, 2))); break;
    case VT_UI2: out.setUI2(static_cast<USHORT>(getLE(in, 2))); break;
    case VT_I4: out.setI4(static_cast<LONG>(static_cast<std::uint32_t>(getLE(in, 4)))); break;
    case VT_UI4: out.setUI4(static_cast<ULONG>(getLE(in, 4))); break;
    case VT_R4: out.setR4(std::bit_cast<float>(static_cast<std::uint32_t>(getLE(in, 4)))); break;
    case VT_R8: out.setR8(std::bit_cast<double>(getLE(in, 8))); break;
    case VT_UI1: out.setUI1(in[0]); break;
    case VT_BOOL: out.setBool(((in[0] >> (v.BitNumber & 7)) & 1) != 0); break;
    case VT_DATE: {
        double date;
        if (v.Kind == vkDateTime) {
            date = decodePlcClock(in);
        } else {
            date = kUnixEpochDate + std::bit_cast<double>(getLE(in, 8)) / 86400.0;
            if (!dateInRange(date))
                throw EConvertError("the PLC date is out of range");
        }
        out.setDate(date);
        break;
    }
    case VT_BSTR:
        // Every byte is kept, padding included, as the PLC holds it.
        out.setString(plat::cp1250ToUtf8(
            std::string_view(reinterpret_cast<const char*>(in), static_cast<std::size_t>(v.StringLength))));
        break;
    default:
        throw EConvertError("the variable's type has no PLC coding");
    }
}

// Value as an array of the variable's element type with at least ArrayCount elements,
// keeping what it held.
com::Variant arrayForDecoding(const TVariable& v)
{
    const VARTYPE type = v.CanonicalType;
    const std::int32_t count = std::max(v.ArrayCount, 0);
    if (v.Value.vt() == type && v.Value.get()->parray &&
        static_cast<std::int64_t>(v.Value.get()->parray->rgsabound[0].cElements) >= count)
        return v.Value;
    com::Variant fresh;
    ZeroValue(type, count, fresh);
    if (!isArray(fresh.vt()))
        throw EConvertError("the variable's type has no PLC coding");
    if (v.Value.vt() == type && v.Value.get()->parray) {
        SAFEARRAY* from = v.Value.get()->parray;
        const LONG lb = from->rgsabound[0].lLbound;
        for (ULONG i = 0; i < from->rgsabound[0].cElements; ++i) {
            LONG src = lb + static_cast<LONG>(i), dst = static_cast<LONG>(i);
            com::Variant e;
            e.get()->vt = type & VT_TYPEMASK;
            if (SUCCEEDED(SafeArrayGetElement(from, &src, &e.get()->llVal)))
                SafeArrayPutElement(fresh.get()->parray, &dst,
                                    e.vt() == VT_BSTR ? static_cast<void*>(e.get()->bstrVal) : &e.get()->llVal);
        }
    }
    return fresh;
}

void decodeArrayPart(TVariable& v, std::int32_t partOffset, const std::uint8_t* in, std::size_t length,
                     com::Variant& arr)
{
    const VARTYPE element = v.CanonicalType & VT_TYPEMASK;
    SAFEARRAY* psa = arr.get()->parray;
    const auto elements = static_cast<std::int64_t>(psa->rgsabound[0].cElements);
    const LONG lb = psa->rgsabound[0].lLbound;
    if (element == VT_BSTR) {
        const std::int32_t size = v.StringLength;
        if (size <= 0)
            return;
        const std::int64_t first = partOffset / size;
        for (std::size_t i = 0; (i + 1) * static_cast<std::size_t>(size) <= length; ++i) {
            const std::int64_t k = first + static_cast<std::int64_t>(i);
            if (k >= elements)
                break;
            com::Bstr text(plat::cp1250ToUtf8(
                std::string_view(reinterpret_cast<const char*>(in + i * size), static_cast<std::size_t>(size))));
            LONG index = lb + static_cast<LONG>(k);
            if (FAILED(SafeArrayPutElement(psa, &index, text.get())))
                throw EConvertError("a text element cannot be stored");
        }
        return;
    }
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(psa, &data)))
        throw EConvertError("the array cannot be written");
    if (element == VT_BOOL) {
        auto* flags = static_cast<VARIANT_BOOL*>(data);
        const std::int64_t firstBit = 8 * static_cast<std::int64_t>(partOffset);
        const std::int64_t last = std::min<std::int64_t>({firstBit + 8 * static_cast<std::int64_t>(length),
                                                          v.ArrayCount, elements});
        for (std::int64_t k = firstBit; k < last; ++k)
            flags[k] = ((in[(k - firstBit) / 8] >> ((k - firstBit) % 8)) & 1) ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
        const std::int32_t size = fixedSize(element);
        auto* bytes = static_cast<std::uint8_t*>(data);
        const std::int64_t first = partOffset / size;
        for (std::size_t i = 0; (i + 1) * static_cast<std::size_t>(size) <= length; ++i) {
            const std::int64_t k = first + static_cast<std::int64_t>(i);
            if (k >= elements)
                break;
            putLE(bytes + k * size, getLE(in + i * size, size), size);
        }
    }
    SafeArrayUnaccessData(psa);
}

}  // namespace

std::int32_t FrameLimit() { return std::min(MaxPacketLen, kLongestFrame); }

std::int32_t AnswerLimit() { return FrameLimit() - (DifferentPacketLen ? 1 : 0); }

std::int32_t RequestLimit() { return FrameLimit() - (DifferentPacketLen ? 4 : 0) - (CheckTimestamp ? 4 : 0); }

std::int32_t VariableDataSize(const TVariable& v)
{
    // In 64 bits: a declared count from a damaged file must not wrap into a small size.
    const std::int64_t count = std::max(v.ArrayCount, 0);
    const std::int64_t length = std::max(v.StringLength, 0);
    std::int64_t size = 0;
    switch (v.CanonicalType) {
    case VT_BSTR:
        size = length;
        break;
    case VT_ARRAY | VT_BSTR:
        size = count * length;
        break;
    case VT_ARRAY | VT_BOOL:
        size = (count + 7) / 8;
        break;
    default:
        size = isArray(v.CanonicalType) ? count * fixedSize(elementOf(v.CanonicalType)) : fixedSize(v.CanonicalType);
        break;
    }
    return static_cast<std::int32_t>(std::min<std::int64_t>(size, std::numeric_limits<std::int32_t>::max()));
}

std::int32_t VariableElementSize(const TVariable& v)
{
    if (!isArray(v.CanonicalType))
        return 1;
    const VARTYPE element = elementOf(v.CanonicalType);
    return element == VT_BSTR ? std::max(v.StringLength, 1) : std::max(fixedSize(element), 1);
}

bool PlcLocationValid(const TVariable& v)
{
    constexpr std::int64_t kZoneBytes = 65536;
    if (v.Zone < 0 || v.Zone > 0xFF || v.Address < 0 || v.Address >= kZoneBytes)
        return false;
    if (v.CanonicalType == VT_BOOL && (v.BitNumber < 0 || v.BitNumber > 7))
        return false;
    return static_cast<std::int64_t>(v.Address) + VariableDataSize(v) <= kZoneBytes;
}

std::vector<std::uint8_t> EncodeValue(const TVariable& v)
{
    std::vector<std::uint8_t> out(static_cast<std::size_t>(VariableDataSize(v)), 0);
    if (out.empty())
        return out;
    if (isArray(v.CanonicalType))
        encodeArray(v, out.data());
    else
        encodeScalar(v, out.data());
    return out;
}

void DecodeValuePart(TVariable& v, std::int32_t partOffset, const std::uint8_t* data, std::size_t length)
{
    if (partOffset < 0)
        throw EConvertError("negative part offset");
    com::Variant next;
    if (isArray(v.CanonicalType)) {
        next = arrayForDecoding(v);
        decodeArrayPart(v, partOffset, data, length, next);
    } else {
        if (partOffset != 0 || length < static_cast<std::size_t>(VariableDataSize(v)))
            throw EConvertError("the answer holds less than the whole value");
        decodeScalar(v, data, next);
    }
    v.Value = std::move(next);
}

bool EncodeClock(const VARIANT& value, std::array<std::uint8_t, 7>& out)
{
    com::Variant date;
    if (FAILED(VariantChangeType(date.put(), &value, 0, VT_DATE)) || !dateInRange(date.get()->date))
        return false;
    const plat::DateTimeFields f = plat::decodeDateTime(date.get()->date);
    out = {static_cast<std::uint8_t>(f.year % 100), static_cast<std::uint8_t>(f.month),
           static_cast<std::uint8_t>(f.day),        static_cast<std::uint8_t>(f.hour),
           static_cast<std::uint8_t>(f.minute),     static_cast<std::uint8_t>(f.second),
           static_cast<std::uint8_t>(f.dayOfWeek)};
    return true;
}

bool DecodeAnswerEntry(TPacket& packet, std::size_t entry, const std::uint8_t* answer, std::size_t length,
                       std::string* error)
{
    auto fail = [error](std::string why) {
        if (error)
            *error = std::move(why);
        return false;
    };
    if (entry >= packet.Variables.size())
        return fail("the packet has no entry " + std::to_string(entry));
    TVariable& v = *packet.Variables[entry];
    const std::int32_t offset = packet.AnswerOffsets[entry];
    const std::int32_t part = packet.PartLengths[entry];
    if (offset < 0 || part < 0 || !answer || static_cast<std::size_t>(offset) + static_cast<std::size_t>(part) > length)
        return fail("the answer of " + std::to_string(length) + " bytes is too short for " + v.Name);
    if (v.WritePending == 0 && !v.Forced) {
        try {
            DecodeValuePart(v, packet.PartOffsets[entry], answer + offset, static_cast<std::size_t>(part));
        } catch (const std::exception& e) {
            return fail(v.Name + ": " + e.what());
        }
    }
    ++v.ReadPartsDone;
    if (v.ReadPartsDone >= v.ReadParts) {
        if (v.WritePending == 0 && !v.Forced) {
            v.LastUpdate = packet.RequestTime;
            v.SetQuality(qGood);
            v.ReadAnswered = true;
        }
        v.ReadParts = v.ReadPartsDone = 0;
    }
    return true;
}

std::int32_t TimeStampOf(const TVariable& v) { return v.Value.toI4().value_or(-1); }

std::uint8_t FrameChecksum(std::span<const std::uint8_t> bytes)
{
    unsigned sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    return static_cast<std::uint8_t>(sum);
}

std::string PacketKindName(std::int32_t kind)
{
    switch (kind) {
    case pkConnect: return "Connect";
    case pkIdent: return "Ident";
    case pkSetTID: return "SetTID";
    case pkReadN: return "ReadN";
    case pkWriteN: return "WriteN";
    case pkWriteB: return "WriteB";
    default: return std::string();
    }
}

TPacket::TPacket(std::int32_t kind, TStation* station) : TTreeObject(station), Kind(kind), Station(station)
{
    ObjectType = otPacket;
    Name = PacketKindName(kind);
    switch (kind) {
    case pkConnect:
        FC = fcConnect;
        AnswerLength = 6;
        RequestTime = plat::clock().now();
        break;
    case pkIdent:
        FC = fcIdent;
        AnswerLength = 20;
        RequestTime = plat::clock().now();
        break;
    case pkSetTID:
        ID = -1;
        FC = fcWrite;
        SC = scSetTID;
        FrameLength = 17;
        AnswerLength = 1;
        break;
    case pkReadN:
        FC = fcRead;
        SC = scReadN;
        FrameLength = 10;
        AnswerLength = 9;
        break;
    case pkWriteN:
    case pkWriteB:
        ID = -1;
        FC = fcWrite;
        SC = kind == pkWriteN ? scWriteN : scWriteB;
        FrameLength = 10;
        AnswerLength = 1;
        break;
    default:
        break;
    }
    if (kind == pkReadN && CheckTimestamp && station && station->TimeStampVariable)
        AddVariable(station->TimeStampVariable);
}

TPacket::~TPacket()
{
    const bool write = CountsAsWrite();
    for (TVariable* v : Variables) {
        if (OnVariableRequestDone) {
            try {
                OnVariableRequestDone(v);
            } catch (...) {
                // A destructor cannot pass it on, and the counters below must still balance.
            }
        }
        if (write)
            v->SetWritePending(v->WritePending - 1);
        else
            v->SetReadPending(v->ReadPending - 1);
    }
}

bool TPacket::CountsAsWrite() const { return Kind == pkWriteN || Kind == pkWriteB || Kind == pkSetTID; }

void TPacket::AddEntry(TVariable* v, std::int32_t answerOffset, std::int32_t partOffset, std::int32_t partLength)
{
    Variables.push_back(v);
    AnswerOffsets.push_back(answerOffset);
    PartOffsets.push_back(partOffset);
    PartLengths.push_back(partLength);
}

void TPacket::AppendByte(std::uint8_t b)
{
    // Items and data go in front of the checksum and end byte that FrameLength counts.
    const std::size_t at = static_cast<std::size_t>(FrameLength) - 2;
    if (at < Frame.size())
        Frame[at] = b;
    ++FrameLength;
}

bool TPacket::AddVariable(TVariable* v)
{
    if (!v || !Station || v->GetStation() != Station || LogDirection != 0)
        return false;
    if (Kind != pkSetTID && !PlcLocationValid(*v))
        return false;
    switch (Kind) {
    case pkReadN: return AddRead(v);
    case pkWriteN: return AddWriteN(v);
    case pkWriteB: return AddWriteB(v);
    case pkSetTID: return AddClock(v);
    default: return false;
    }
}

bool TPacket::AddRead(TVariable* v)
{
    const std::int32_t size = VariableDataSize(*v);
    const std::int32_t room = AnswerLimit() - AnswerLength;
    const std::int32_t count = nextPartLength(*v, v->ReadOffset, room, room);
    if (count == 0)
        return false;
    const std::int32_t address = v->Address + v->ReadOffset;
    if (v->Zone == LastZone && address == NextAddress) {
        Frame[FrameLength - 3] = static_cast<std::uint8_t>(Frame[FrameLength - 3] + count);
    } else {
        if (FrameLength + 4 > RequestLimit())
            return false;
        for (std::uint8_t b : requestItem(v->Zone, address, count))
            AppendByte(b);
    }
    if (v->ReadPending == 0)
        v->ReadAnswered = false;
    AddEntry(v, AnswerLength - 2, v->ReadOffset, count);
    AnswerLength += count;
    v->ReadOffset += count;
    NextAddress = v->Address + v->ReadOffset;
    if (v->ReadOffset >= size)
        v->ReadOffset = 0;
    ++v->ReadParts;
    LastZone = v->Zone;
    v->SetReadPending(v->ReadPending + 1);
    return true;
}

bool TPacket::AddWriteN(TVariable* v)
{
    // Beyond the request limit an array is cut by the frame limit.
    const std::int32_t count =
        nextPartLength(*v, v->WriteOffset, RequestLimit() - (FrameLength + 4), FrameLimit() - (FrameLength + 4));
    if (count == 0)
        return false;
    const std::vector<std::uint8_t> coded = EncodeValue(*v);  // may throw: the packet is still as it was
    const std::int32_t address = v->Address + v->WriteOffset;
    if (v->Zone == LastZone && address == NextAddress) {
        const std::size_t at = static_cast<std::size_t>(FrameLength - LastItemData - 3);
        Frame[at] = static_cast<std::uint8_t>(Frame[at] + count);
    } else {
        for (std::uint8_t b : requestItem(v->Zone, address, count))
            AppendByte(b);
        LastItemData = 0;
    }
    for (std::int32_t i = 0; i < count; ++i)
        AppendByte(coded[static_cast<std::size_t>(v->WriteOffset + i)]);
    LastItemData += count;
    AddEntry(v, -1, v->WriteOffset, count);
    NextAddress = address + count;
    countWritePart(*v, count);
    LastZone = v->Zone;
    return true;
}

bool TPacket::AddWriteB(TVariable* v)
{
    const std::int32_t frameLimit = FrameLimit();
    std::vector<std::uint8_t> bits;  // one 0/1 per item
    if (v->CanonicalType == VT_BOOL) {
        if (FrameLength + 4 > frameLimit)
            return false;
        const std::optional<bool> b = v->Value.toBool();
        if (!b)
            throw EConvertError("the value is no Boolean");
        bits.push_back(*b ? 1 : 0);
    } else if (v->CanonicalType == (VT_ARRAY | VT_BOOL)) {
        const std::int32_t left = v->ArrayCount - 8 * v->WriteOffset;
        std::int32_t count = left;
        if (count <= 0)
            return false;
        if (FrameLength + 4 * count > frameLimit) {
            if (FrameLength + 4 > frameLimit)
                return false;
            const std::int32_t n = (frameLimit - FrameLength - 3) / 4;
            count = n - n % 8;
            if (count <= 0)
                return false;  // not even one whole byte of bits fits
        }
        com::Variant arr = arrayOf(*v, VT_BOOL, v->ArrayCount);
        SAFEARRAY* psa = arr.get()->parray;
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(psa, &data)))
            throw EConvertError("the array cannot be read");
        const auto* flags = static_cast<const VARIANT_BOOL*>(data);
        for (std::int32_t j = 0; j < count; ++j)
            bits.push_back(flags[8 * v->WriteOffset + j] ? 1 : 0);
        SafeArrayUnaccessData(psa);
    } else {
        return false;
    }
    const auto count = static_cast<std::int32_t>(bits.size());
    for (std::int32_t j = 0; j < count; ++j) {
        const std::int32_t address = v->Address + v->WriteOffset + j / 8;
        const std::int32_t bit = v->CanonicalType == VT_BOOL ? v->BitNumber : j % 8;
        for (std::uint8_t b : requestItem(v->Zone, address, bits[static_cast<std::size_t>(j)] * 0x80 + bit))
            AppendByte(b);
    }
    AddEntry(v, -1, v->WriteOffset, count);
    countWritePart(*v, bitBytes(count));
    LastZone = v->Zone;
    return true;
}

bool TPacket::AddClock(TVariable* v)
{
    std::array<std::uint8_t, 7> clock{};
    if (!Variables.empty() || !EncodeClock(*v->Value.get(), clock))
        return false;
    std::copy(clock.begin(), clock.end(), Frame.begin() + 8);
    AddEntry(v, -1, 0, 7);
    ++v->WriteParts;
    v->SetWritePending(v->WritePending + 1);
    return true;
}

bool TPacket::JoinVariable(TVariable* v)
{
    if (!v || Kind != pkReadN || !Station || v->GetStation() != Station || !PlcLocationValid(*v))
        return false;
    const std::int32_t size = VariableDataSize(*v);
    if (size <= 0)
        return false;
    for (std::size_t i = 0; i < Variables.size(); ++i) {
        const TVariable* w = Variables[i];
        // Only an entry that carries a whole value of the same size has the bytes v needs.
        if (w == v || w->Zone != v->Zone || w->Address != v->Address || VariableDataSize(*w) != size ||
            PartOffsets[i] != 0 || PartLengths[i] != size)
            continue;
        if (v->ReadPending == 0)
            v->ReadAnswered = false;
        AddEntry(v, AnswerOffsets[i], v->ReadOffset, size);
        ++v->ReadParts;
        v->SetReadPending(v->ReadPending + 1);
        return true;
    }
    return false;
}

bool TPacket::BuildFrame()
{
    RequestTime = plat::clock().now();
    if (LogDirection != 0) {
        // A retry sends the same frame again.
        LogDirection = 1;
        if (Station)
            Station->LastAnswerLength = AnswerLength;
        return true;
    }
    if (!Station)
        return false;
    const std::int32_t frameLimit = FrameLimit();
    const auto da = static_cast<std::uint8_t>(Station->GetConnParams().BusAddress & 0xFF);
    const auto sa = static_cast<std::uint8_t>(ServerAddress & 0xFF);
    switch (Kind) {
    case pkConnect:
    case pkIdent: {
        const bool udp = Station->GetConnParams().ConnectionType == ctUdp;
        const std::int32_t length = udp ? 7 : 6;
        if (length > frameLimit)
            return false;
        Frame[0] = fdSD1;
        Frame[1] = da;
        Frame[2] = sa;
        Frame[3] = FC;
        Frame[4] = FrameChecksum(std::span<const std::uint8_t>(Frame.data() + 1, 3));
        Frame[5] = fdEnd;
        Frame[6] = 0x00;
        FrameLength = static_cast<std::uint16_t>(length);
        break;
    }
    case pkSetTID:
    case pkReadN:
    case pkWriteN:
    case pkWriteB: {
        // A request that carries nothing is never sent.
        if (Kind == pkSetTID ? Variables.empty() : FrameLength <= 10)
            return false;
        if (Kind == pkReadN && DifferentPacketLen && Station->LastAnswerLength == AnswerLength &&
            FrameLength + 4 <= frameLimit && AnswerLength + 1 <= frameLimit) {
            // A filler item whose answer byte belongs to no variable.
            for (std::uint8_t b : requestItem(3, 0, 1))
                AppendByte(b);
            AnswerLength += 1;
        }
        if (FrameLength > frameLimit)
            return false;
        const auto le = static_cast<std::uint8_t>(FrameLength - kSD2Overhead);
        Frame[0] = fdSD2;
        Frame[1] = le;
        Frame[2] = le;
        Frame[3] = fdSD2;
        Frame[4] = da;
        Frame[5] = sa;
        Frame[6] = FC;
        Frame[7] = SC;
        Frame[FrameLength - 2] = FrameChecksum(std::span<const std::uint8_t>(Frame.data() + 4, le));
        Frame[FrameLength - 1] = fdEnd;
        break;
    }
    default:
        return false;
    }
    LogDirection = 1;
    Station->LastAnswerLength = AnswerLength;
    return true;
}

std::int32_t TPacket::AnswerOffsetOf(const TVariable* v) const
{
    for (std::size_t i = 0; i < Variables.size(); ++i)
        if (Variables[i] == v)
            return AnswerOffsets[i];
    return -1;
}

bool RequestTimedOut(const TPacket& packet, double now)
{
    if (!packet.Station)
        return false;
    return packet.SendTime + MsToDateTime(packet.Station->GetConnParams().Timeout) <= now;
}

}  // namespace vx

#include "vx_variable.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "platform/clock.h"
#include "platform/com/locale.h"
#include "platform/com/safearray.h"
#include "vx_channel.h"
#include "vx_def.h"
#include "vx_lang.h"
#include "vx_modem.h"
#include "vx_packet.h"
#include "vx_packetlist.h"
#include "vx_station.h"

namespace vx {

namespace {

std::mt19937& simRandom()
{
    static std::mt19937 rng(std::random_device{}());
    return rng;
}

bool isScalableType(VARTYPE t)
{
    switch (t) {
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
        return true;
    default:
        return false;
    }
}

bool isGoodAtOnce(std::int32_t kind)
{
    switch (kind) {
    case vkDrwAddress:
    case vkDrwLength:
    case vkDrwControl:
    case vkDrwStatus:
    case vkDrwZone:
    case vkPhoneNumber:
    case vkControlAlt:
    case vkDialState:
    case vkCallResult:
    case vkModemError:
    case vkDialStateText:
    case vkCallResultText:
    case vkModemErrorText:
    case vkModemNumber:
    case vkConControl:
    case vkStationField41:
    case vkModStatus:
    case vkModStatusStr:
    case vkModModemType:
        return true;
    default:
        return false;
    }
}

[[noreturn]] void conversionFailed(const std::string& text, VARTYPE type)
{
    throw EConvertError("'" + text + "' is not a valid value of type " + std::to_string(type));
}

std::string trimBlanks(const std::string& s)
{
    std::size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t'))
        ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t'))
        --b;
    return s.substr(a, b - a);
}

// Decimal with an optional sign, or hexadecimal after "$" or "0x".
bool parseInteger(const std::string& raw, long long& out)
{
    const std::string s = trimBlanks(raw);
    if (s.empty())
        return false;
    std::size_t i = 0;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-')
        negative = s[i++] == '-';
    int base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size())
        return false;
    unsigned long long value = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        if (value > (0xFFFFFFFFFFFFFFFFull - static_cast<unsigned>(d)) / static_cast<unsigned>(base))
            return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (negative) {
        if (value > 0x8000000000000000ull)
            return false;
        out = static_cast<long long>(0 - value);
    } else {
        if (value > 0x7FFFFFFFFFFFFFFFull)
            return false;
        out = static_cast<long long>(value);
    }
    return true;
}

// One scalar from text; the element rule of arrays uses it as well.
void textToScalar(const std::string& text, VARTYPE type, const TVariable& variable, com::Variant& result)
{
    com::Variant out;
    switch (type) {
    case VT_I2:
    case VT_I4:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8: {
        long long n = 0;
        if (!parseInteger(text, n))
            conversionFailed(text, type);
        out.setI8(n);
        break;
    }
    case VT_R4:
    case VT_R8:
    case VT_DATE: {
        com::Variant s;
        s.setString(trimBlanks(text));
        if (FAILED(VariantChangeTypeEx(out.put(), s.get(), LOCALE_USER_DEFAULT, 0, type == VT_DATE ? VT_DATE : VT_R8)))
            conversionFailed(text, type);
        break;
    }
    case VT_BSTR:
        out.setString(text);
        break;
    case VT_BOOL:
        out.setBool(text == variable.TrueText);
        break;
    default:
        conversionFailed(text, type);
    }
    if (FAILED(out.changeType(type)))
        conversionFailed(text, type);
    result = std::move(out);
}

bool collectsCharacter(VARTYPE elementType, const std::string& text, std::size_t pos, bool nothingYet,
                       const std::string& decimalSeparator, std::size_t& length)
{
    const char c = text[pos];
    length = 1;
    const bool digit = c >= '0' && c <= '9';
    switch (elementType) {
    case VT_I2:
    case VT_I4:
        return digit || (c == '-' && nothingYet);
    case VT_R4:
    case VT_R8:
        if (!decimalSeparator.empty() && text.compare(pos, decimalSeparator.size(), decimalSeparator) == 0) {
            length = decimalSeparator.size();
            return true;
        }
        return digit || (c == '-' && nothingYet);
    case VT_DATE:
        return digit || c == '.';
    case VT_BSTR:
    case VT_BOOL:
        return true;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
        return digit;
    default:
        return false;
    }
}

void putElement(SAFEARRAY* psa, LONG index, const com::Variant& value)
{
    com::Variant v(value);
    LONG i = index;
    HRESULT hr;
    if (v.vt() == VT_BSTR)
        hr = SafeArrayPutElement(psa, &i, v.get()->bstrVal);
    else
        hr = SafeArrayPutElement(psa, &i, &v.get()->llVal);
    if (FAILED(hr))
        throw EConvertError("array element " + std::to_string(index) + " cannot be stored");
}

}  // namespace

TVariable::TVariable(TTreeObject* owner) : TTreeObject(owner)
{
    ObjectType = otVariable;
    Name = GetLangText(kMsgNewVariableName) + std::to_string(ID);
}

TVariable::~TVariable()
{
    // A station must not keep a binding to a variable that is gone.
    if (TStation* st = GetStation())
        st->UnbindServiceVariable(this);
}

TStation* TVariable::GetStation() const
{
    TTreeObject* node = FirstNonFolderAncestor(Owner);
    return node && node->ObjectType == otStation ? static_cast<TStation*>(node) : nullptr;
}

std::string TVariable::GetFullName() const
{
    std::string folders;
    TTreeObject* node = Owner;
    while (node && node->ObjectType == otFolder) {
        folders += node->Name + ".";
        node = node->Owner;
    }
    std::string name = node ? node->Name + "." : std::string();
    return name + folders + Name;
}

bool TVariable::GetScaled() const { return Scaled && isScalableType(CanonicalType); }

void TVariable::SetScaled(bool on) { Scaled = on && isScalableType(CanonicalType); }

void TVariable::SetActive(bool on)
{
    if (on == Active)
        return;
    Active = on;
    if (TStation* st = GetStation())
        st->RecountActive();
}

void TVariable::SetQuality(std::uint16_t quality)
{
    if (quality == Quality)
        return;
    TStation* st = GetStation();
    if (st && st->State == ssBlocked && quality == qCommFailure) {
        // a blocked station's values are not failures of the line
    } else if ((Quality == qGood || Quality == qLastKnown) && quality == qCommFailure) {
        Quality = qLastKnown;
    } else {
        Quality = quality;
    }
    if (Kind == vkDrwDataBuffer && (quality & 0xC0) == 0 && st && st->DRW_Status) {
        const std::int32_t status = VariableNumber(st->DRW_Status, drwIdle);
        if (status == drwReading)
            SetVariableNumber(st->DRW_Status, drwReadFailed);
        else if (status == drwWriting)
            SetVariableNumber(st->DRW_Status, drwWriteFailed);
    }
}

void TVariable::SetForced(bool on)
{
    Forced = on;
    SetQuality(on ? qLocalOverride : qUncertain);
}

void TVariable::SetKind(std::int32_t kind)
{
    if (kind == Kind)
        return;
    Kind = kind;
    if (isGoodAtOnce(kind))
        SetQuality(qGood);
}

void TVariable::SetReadPending(std::int32_t count)
{
    const std::int32_t before = ReadPending;
    ReadPending = count > 0 ? count : 0;
    if (ReadPending != 0)
        return;
    TStation* st = GetStation();
    if (before > 0 && st && st->DRW_DataBuffer == this && st->DRW_Status) {
        // "read done" only when this read was answered, never from an older good quality
        if (ReadAnswered)
            SetVariableNumber(st->DRW_Status, drwReadDone);
        else if (VariableNumber(st->DRW_Status, drwIdle) == drwReading)
            SetVariableNumber(st->DRW_Status, drwReadFailed);
    }
    ReadOffset = ReadParts = ReadPartsDone = 0;
}

void TVariable::SetWritePending(std::int32_t count)
{
    const std::int32_t before = WritePending;
    WritePending = count > 0 ? count : 0;
    if (WritePending != 0)
        return;
    TStation* st = GetStation();
    // The acknowledgement sets "write done" before the packet goes; a write that ends still
    // "writing" was dropped or failed.
    if (before > 0 && st && st->DRW_DataBuffer == this && st->DRW_Status &&
        VariableNumber(st->DRW_Status, drwIdle) == drwWriting)
        SetVariableNumber(st->DRW_Status, drwWriteFailed);
    WriteOffset = WriteParts = WritePartsDone = 0;
}

bool TVariable::InitValue()
{
    try {
        if (ArrayTooLarge(*this)) {
            // Never allocated: one typo in a declared count must not take gigabytes.
            Value.clear();
            ClientValue.clear();
            RequestedType = CanonicalType;
            SetQuality(qConfigError);
            return true;
        }
        ZeroValue(CanonicalType, ArrayCount, Value);
        if (GetScaled()) {
            ZeroValue(RequestedType, ArrayCount, ClientValue);
        } else {
            ClientValue = Value;
            RequestedType = CanonicalType;
        }
        // Station fields are published only into a station's own variables, and modem state
        // only by the modem that holds the variable directly.
        TStation* st = GetStation();
        switch (Kind) {
        case vkDialState:
        case vkDialStateText:
            if (st)
                st->SetDialState(st->DialState);
            break;
        case vkCallResult:
        case vkCallResultText:
            if (st)
                st->SetCallResult(st->CallResult);
            break;
        case vkModemError:
        case vkModemErrorText:
            if (st)
                st->SetModemError(st->ModemError);
            break;
        case vkModStatus:
        case vkModStatusStr:
            if (Owner && Owner->ObjectType == otModem)
                static_cast<TModem*>(Owner)->PublishState();
            break;
        case vkTimeStamp:
            // signed, so that the first time stamp after it always passes the check
            Value.setI4(-1);
            break;
        default:
            break;
        }
        if (!InitialValue.empty())
            TextToVariant(InitialValue, CanonicalType, *this, Value);
        return true;
    } catch (...) {
        return false;
    }
}

void TVariable::PlaceInZoneM(std::int64_t linearAddress)
{
    if (linearAddress < 0 || linearAddress >= kZoneMEnd) {
        Zone = kZoneOutside;
        Address = 0;
        return;
    }
    Zone = static_cast<std::int32_t>(linearAddress / kZoneBytes) | 0x80;
    Address = static_cast<std::int32_t>(linearAddress % kZoneBytes);
}

HRESULT TVariable::RequestRead(bool& done)
{
    done = true;
    try {
        TStation* st = GetStation();
        if (!st || !st->Channel)
            return E_FAIL;
        if (ArrayTooLarge(*this)) {
            SetQuality(qConfigError);
            return E_FAIL;
        }
        if (Forced)
            return S_OK;
        if (Kind != vkPlain && Kind != vkDateTime)
            return S_OK;
        const TQueueResult r = st->Channel->ReadQueue.AddVariableRead(this, Kind == vkPlain ? 5 : 6);
        if (r == TQueueResult::NotQueued)
            return E_FAIL;
        done = false;
        return S_OK;
    } catch (...) {
        done = true;
        return E_FAIL;
    }
}

HRESULT TVariable::WriteValue(bool& done)
{
    done = true;
    try {
        TStation* st = GetStation();
        if (!st)
            return E_FAIL;
        switch (Kind) {
        case vkDrwAddress:
            if (VariableNumber(this) < 0)
                SetVariableNumber(this, 0);
            break;
        case vkDrwLength: {
            std::int32_t length = VariableNumber(this);
            if (length < 0)
                length = 0;
            if (st->DRW_DataBuffer && (st->DRW_DataBuffer->Value.vt() & VT_ARRAY) && st->DRW_DataBuffer->Value.get()->parray) {
                const auto count = static_cast<std::int32_t>(st->DRW_DataBuffer->Value.get()->parray->rgsabound[0].cElements);
                if (length > count)
                    length = count;
            }
            if (length != VariableNumber(this))
                SetVariableNumber(this, length);
            break;
        }
        case vkDrwZone: {
            const std::int32_t zone = VariableNumber(this);
            if (zone < 0 || zone > 4)
                SetVariableNumber(this, zone < 0 ? 0 : 4);
            break;
        }
        case vkConControl:
            st->SetControl(VariableNumber(this, st->ConnectionControl));
            break;
        default:
            break;
        }

        const bool plcWrite = (Kind == vkPlain || Kind == vkDateTime) && !Forced;
        if (ArrayTooLarge(*this)) {
            // Nothing can take it; the value the client wrote is not kept either.
            Value.clear();
            SetQuality(qConfigError);
            return E_FAIL;
        }
        if (!st->Channel)
            return plcWrite ? E_FAIL : S_OK;  // a PLC write with no way to the PLC is not done

        if (plcWrite) {
            if (st->Channel->WriteQueue.AddVariableWrite(this, Kind == vkPlain ? 0 : 1) == TQueueResult::NotQueued)
                return E_FAIL;
            done = false;
            return S_OK;
        }

        if (Kind == vkDrwControl) {
            const auto control = static_cast<std::uint16_t>(VariableNumber(this));
            if (control == 0)
                SetVariableNumber(st->DRW_Status, drwIdle);
            if (control == st->LastDrwControl)
                return S_OK;
            TVariable* buffer = st->DRW_DataBuffer;
            if (buffer) {
                std::int32_t address = VariableNumber(st->DRW_Address);
                if (address < 0)
                    address = 0;
                const std::int32_t zone = VariableNumber(st->DRW_Zone);
                if (!st->DRW_Zone || zone == kConfigZoneM) {
                    buffer->PlaceInZoneM(address);
                } else {
                    buffer->Zone = zone;
                    buffer->Address = address;
                }
                if (st->DRW_Length) {
                    std::int32_t length = VariableNumber(st->DRW_Length);
                    if (length < 0)
                        length = 0;
                    if (buffer->CanonicalType & VT_ARRAY) {
                        // A buffer without an array value (one too large to hold) holds nothing.
                        const bool held = (buffer->Value.vt() & VT_ARRAY) && buffer->Value.get()->parray;
                        const auto count =
                            held ? static_cast<std::int32_t>(buffer->Value.get()->parray->rgsabound[0].cElements) : 0;
                        if (length > count) {
                            length = count;
                            SetVariableNumber(st->DRW_Length, length);
                        }
                    }
                    buffer->ArrayCount = length;
                }
            }
            if (control == 1) {
                SetVariableNumber(st->DRW_Status, drwReading);
                if (!buffer || st->Channel->ReadQueue.AddVariableRead(buffer, 0) != TQueueResult::Queued)
                    SetVariableNumber(st->DRW_Status, drwReadFailed);
            } else if (control == 2) {
                SetVariableNumber(st->DRW_Status, drwWriting);
                if (!buffer || st->Channel->WriteQueue.AddVariableWrite(buffer, 0) != TQueueResult::Queued)
                    SetVariableNumber(st->DRW_Status, drwWriteFailed);
            }
            st->LastDrwControl = control;
        }
        return S_OK;
    } catch (...) {
        done = true;
        return E_FAIL;
    }
}

bool TVariable::ReadDue(double now) const
{
    return Active && Readable && ReadPending == 0 && UpdatePeriod > 0 &&
           LastUpdate + MsToDateTime(UpdatePeriod) <= now && !ArrayTooLarge(*this);
}

bool TVariable::SimulationStep(double now)
{
    if (!Forced || SimFunction == 0 || !(LastUpdate + MsToDateTime(SimPeriod) < now))
        return false;
    const std::optional<double> current = Value.toR8();
    double x = current.value_or(0.0);
    if (SimFunction == 1) {
        // R from 0 to m inclusive, centred, so the walk goes up as often as down; a step
        // too small to round to a whole range still walks by SimStep either way.
        const double step = std::fabs(SimStep);
        double m = std::nearbyint(step * 2);  // the default rounding mode is half to even
        if (m < 1)
            m = 2;
        std::uniform_int_distribution<long long> draw(0, static_cast<long long>(m));
        const double r = static_cast<double>(draw(simRandom()));
        x += (r - m / 2) * (2 * step / m);
        if (x > SimHigh)
            x = SimHigh;
        if (x < SimLow)
            x = SimLow;
    } else if (SimFunction == 2) {
        x += SimStep;
        if (x > SimHigh)
            x = SimLow;
    }
    if (SimFunction == 1 || SimFunction == 2) {
        com::Variant next;
        next.setR8(x);
        if (SUCCEEDED(next.changeType(CanonicalType)))
            Value = std::move(next);
    }
    LastUpdate = now;
    return true;
}

void TextToVariant(const std::string& text, VARTYPE type, const TVariable& variable, com::Variant& result)
{
    if (!(type & VT_ARRAY)) {
        textToScalar(text, type, variable, result);
        return;
    }
    const VARTYPE elementType = type & VT_TYPEMASK;
    com::Variant array;
    ZeroValue(type, variable.ArrayCount, array);
    if (!(array.vt() & VT_ARRAY))
        conversionFailed(text, type);
    SAFEARRAY* psa = array.get()->parray;
    const auto count = static_cast<LONG>(psa->rgsabound[0].cElements);
    const std::string separator = com::processLocale().decimalSeparator;

    LONG index = 0;
    std::string collected;
    bool seen = false;  // characters since the last ";"
    auto storeElement = [&] {
        if (index < count) {
            com::Variant element;
            textToScalar(collected, elementType, variable, element);
            putElement(psa, index, element);
        }
        ++index;
        collected.clear();
        seen = false;
    };
    for (std::size_t pos = 0; pos < text.size() && index < count;) {
        if (text[pos] == ';') {
            storeElement();
            ++pos;
            continue;
        }
        seen = true;
        std::size_t length = 1;
        if (collectsCharacter(elementType, text, pos, collected.empty(), separator, length))
            collected.append(text, pos, length);
        pos += length;
    }
    if (seen && index < count)
        storeElement();
    result = std::move(array);
}

bool ArrayTooLarge(const TVariable& v)
{
    if (!(v.CanonicalType & VT_ARRAY))
        return false;
    const std::int64_t count = std::max(v.ArrayCount, 0);
    if (v.Forced && count <= kMaxForcedArrayElements)
        return false;
    if (count > kMaxArrayElements)
        return true;
    const std::int64_t bytes =
        v.CanonicalType == (VT_ARRAY | VT_BOOL) ? (count + 7) / 8 : count * VariableElementSize(v);
    return bytes > kZoneBytes;
}

void ZeroValue(VARTYPE type, std::int32_t count, com::Variant& result)
{
    com::Variant out;
    if ((type & VT_ARRAY) && count > kMaxArrayElements) {
        result = std::move(out);
        return;
    }
    if (type & VT_ARRAY) {
        SAFEARRAY* psa = SafeArrayCreateVector(type & VT_TYPEMASK, 0, count > 0 ? static_cast<ULONG>(count) : 0);
        if (psa)
            out.setArray(psa);
    } else {
        switch (type) {
        case VT_I2: out.setI2(0); break;
        case VT_I4: out.setI4(0); break;
        case VT_R4: out.setR4(0); break;
        case VT_R8: out.setR8(0); break;
        case VT_DATE: out.setDate(0); break;
        case VT_BSTR: out.setString(std::string_view()); break;
        case VT_BOOL: out.setBool(false); break;
        case VT_UI1: out.setUI1(0); break;
        case VT_UI2: out.setUI2(0); break;
        case VT_UI4: out.setUI4(0); break;
        default: break;
        }
    }
    result = std::move(out);
}

void SetVariableNumber(TVariable* variable, std::int32_t value)
{
    if (!variable)
        return;
    com::Variant v;
    v.setI4(value);
    const VARTYPE t = variable->CanonicalType;
    if (!(t & VT_ARRAY) && t != VT_I4 && t != VT_EMPTY)
        (void)v.changeType(t);  // a number the type cannot hold stays a 4-byte integer
    variable->Value = std::move(v);
}

void SetVariableText(TVariable* variable, const std::string& text)
{
    if (variable)
        variable->Value.setString(text);
}

std::int32_t VariableNumber(const TVariable* variable, std::int32_t fallback)
{
    if (!variable)
        return fallback;
    return variable->Value.toI4().value_or(fallback);
}

void SeedSimulation(std::uint32_t seed) { simRandom().seed(seed); }

}  // namespace vx

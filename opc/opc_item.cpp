#include "opc_item.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <optional>

#include "comm/vx_variable.h"
#include "opc_enums.h"
#include "opc_globals.h"
#include "opc_group.h"
#include "opc_props.h"
#include "opc_server.h"
#include "platform/clock.h"
#include "platform/com/safearray.h"
#include "platform/text.h"

namespace opc {

namespace {

bool isNumericType(VARTYPE vt) { return (vt >= VT_I2 && vt <= VT_R8) || (vt >= VT_I1 && vt <= VT_UINT); }

// A numeric scalar as a double, read straight from the variant: change detection runs for
// every active item on every due update.
std::optional<double> asDouble(const com::Variant& value)
{
    const VARIANT& v = *value.get();
    switch (v.vt) {
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_R4: return v.fltVal;
    case VT_R8: return v.dblVal;
    case VT_I1: return static_cast<signed char>(v.cVal);
    case VT_UI1: return v.bVal;
    case VT_UI2: return v.uiVal;
    case VT_UI4: return v.ulVal;
    case VT_I8: return static_cast<double>(v.llVal);
    case VT_UI8: return static_cast<double>(v.ullVal);
    case VT_INT: return v.intVal;
    case VT_UINT: return v.uintVal;
    default: return value.toR8();
    }
}

WORD limitBits(const vx::TVariable& v, const com::Variant& value)
{
    if (v.LoLimit == v.HiLimit)
        return OPC_LIMIT_OK;
    const auto x = asDouble(value);
    if (!x)
        return OPC_LIMIT_OK;
    WORD bits = OPC_LIMIT_OK;
    if (*x < v.LoLimit || *x < v.LoLoLimit)
        bits |= OPC_LIMIT_LOW;
    if (*x > v.HiLimit || *x > v.HiHiLimit)
        bits |= OPC_LIMIT_HIGH;
    return bits;
}

WORD withoutLimitBits(WORD quality) { return static_cast<WORD>(quality & ~OPC_LIMIT_MASK); }

// The element at index as an owned variant of the array's element type.
HRESULT readElement(SAFEARRAY* sa, LONG index, VARTYPE vt, com::Variant& out)
{
    VARIANT raw;
    VariantInit(&raw);
    void* slot = &raw.llVal;
    if (vt == VT_VARIANT)
        slot = &raw;
    else if (vt == VT_DECIMAL)
        slot = &raw.decVal;
    const HRESULT hr = SafeArrayGetElement(sa, &index, slot);
    if (FAILED(hr))
        return hr;
    if (vt != VT_VARIANT)
        raw.vt = vt;  // after a decimal, whose first word is vt
    out = com::Variant::attach(raw);
    return S_OK;
}

HRESULT writeElement(SAFEARRAY* sa, LONG index, VARTYPE vt, com::Variant& value)
{
    VARIANT& v = *value.get();
    void* data = &v.llVal;
    if (vt == VT_VARIANT)
        data = &v;
    else if (vt == VT_DECIMAL)
        data = &v.decVal;
    else if (vt == VT_BSTR)
        data = v.bstrVal;
    else if (vt == VT_UNKNOWN || vt == VT_DISPATCH)
        data = v.punkVal;
    return SafeArrayPutElement(sa, &index, data);
}

// Element by element into a new array of the same bounds; the first failing element ends it.
HRESULT convertArray(const com::Variant& source, VARTYPE requested, com::Variant& out)
{
    SAFEARRAY* sa = source.get()->parray;
    if (!sa || SafeArrayGetDim(sa) != 1)
        return DISP_E_TYPEMISMATCH;
    const SAFEARRAYBOUND bound = sa->rgsabound[0];
    if (bound.cElements == 0) {
        out = source;
        return S_OK;
    }
    const VARTYPE from = source.vt() & VT_TYPEMASK;
    const VARTYPE to = requested & VT_TYPEMASK;
    VARTYPE stored = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(sa, &stored)) || stored != from)
        return DISP_E_BADVARTYPE;
    SAFEARRAY* created = SafeArrayCreateVector(to, bound.lLbound, bound.cElements);
    if (!created)
        return E_OUTOFMEMORY;
    com::Variant result;
    result.setArray(created);
    for (ULONG i = 0; i < bound.cElements; ++i) {
        const LONG index = bound.lLbound + static_cast<LONG>(i);
        com::Variant element;
        HRESULT hr = readElement(sa, index, from, element);
        if (SUCCEEDED(hr) && to != VT_VARIANT) {
            com::Variant converted;
            hr = VariantChangeType(converted.get(), element.get(), 0, to);
            element = std::move(converted);
        }
        if (SUCCEEDED(hr))
            hr = writeElement(created, index, to, element);
        if (FAILED(hr))
            return hr;
    }
    out = std::move(result);
    return S_OK;
}

// source in the client's type; E_INVALIDARG becomes DISP_E_TYPEMISMATCH, any exception
// OPC_E_BADTYPE. out is empty on failure.
HRESULT convertForClient(const com::Variant& source, VARTYPE requested, VARTYPE canonical, com::Variant& out)
{
    out.clear();
    HRESULT hr = S_OK;
    try {
        if (requested == canonical || requested == VT_EMPTY) {
            out = source;
            return S_OK;
        }
        if ((source.vt() & VT_ARRAY) && (requested & VT_ARRAY)) {
            hr = convertArray(source, requested, out);
        } else {
            com::Variant converted;
            hr = VariantChangeType(converted.get(), source.get(), 0, requested);
            if (SUCCEEDED(hr))
                out = std::move(converted);
        }
    } catch (const std::exception&) {
        out.clear();
        return OPC_E_BADTYPE;
    }
    return hr == E_INVALIDARG ? DISP_E_TYPEMISMATCH : hr;
}

// A client's value in type vt, for a write, leaving the client's value alone: E_INVALIDARG
// becomes OPC_E_BADTYPE, other failing codes pass unchanged.
HRESULT convertForWrite(const VARIANT& value, VARTYPE vt, com::Variant& out)
{
    if (value.vt == vt) {
        out = com::Variant(value);
        return S_OK;
    }
    const HRESULT hr = VariantChangeType(out.get(), &value, 0, vt);
    return hr == E_INVALIDARG ? OPC_E_BADTYPE : hr;
}

bool sameText(BSTR a, BSTR b)
{
    const UINT n = SysStringLen(a);
    return n == SysStringLen(b) && (n == 0 || std::memcmp(a, b, n * sizeof(OLECHAR)) == 0);
}

// Two dates, texts or Booleans of the same type.
bool sameScalar(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt)
        return false;
    switch (a.vt) {
    case VT_DATE: return a.date == b.date;
    case VT_BOOL: return (a.boolVal != VARIANT_FALSE) == (b.boolVal != VARIANT_FALSE);
    case VT_BSTR: return sameText(a.bstrVal, b.bstrVal);
    default: return false;
    }
}

// Unlocks the data of an array accessed for reading.
class ArrayData {
public:
    explicit ArrayData(SAFEARRAY* sa) : sa_(sa)
    {
        if (FAILED(SafeArrayAccessData(sa, &data_)))
            data_ = nullptr;
    }
    ~ArrayData()
    {
        if (data_)
            SafeArrayUnaccessData(sa_);
    }
    ArrayData(const ArrayData&) = delete;
    ArrayData& operator=(const ArrayData&) = delete;
    const void* get() const { return data_; }

private:
    SAFEARRAY* sa_;
    void* data_ = nullptr;
};

// Arrays of other types or bounds count as changed; elements are compared only within them.
bool arraysDiffer(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt)
        return true;
    if (!(a.vt & VT_ARRAY))
        return false;
    SAFEARRAY* x = a.parray;
    SAFEARRAY* y = b.parray;
    if (!x || !y)
        return x != y;
    if (x->cDims != 1 || y->cDims != 1 || x->cbElements != y->cbElements ||
        x->rgsabound[0].lLbound != y->rgsabound[0].lLbound || x->rgsabound[0].cElements != y->rgsabound[0].cElements)
        return true;
    const std::size_t count = x->rgsabound[0].cElements;
    if (count == 0)
        return false;
    ArrayData dx(x);
    ArrayData dy(y);
    if (!dx.get() || !dy.get())
        return false;
    const VARTYPE element = a.vt & VT_TYPEMASK;
    // Values held in the element bytes themselves compare as memory.
    if (com::isPlainScalar(element))
        return std::memcmp(dx.get(), dy.get(), count * x->cbElements) != 0;
    if (element != VT_BSTR)
        return false;
    const auto* p = static_cast<const BSTR*>(dx.get());
    const auto* q = static_cast<const BSTR*>(dy.get());
    for (std::size_t i = 0; i < count; ++i)
        if (!sameText(p[i], q[i]))
            return true;
    return false;
}

// Whether a numeric value moved beyond the group's deadband from the value last reported.
bool beyondDeadband(const TOPCItem& item, const vx::TVariable& v, double current, double reported)
{
    const double deadband = item.Group ? item.Group->PercentDeadband : 0.0;
    bool changed = current != reported;
    if (deadband <= 0.0)
        return changed;
    // Percent computed as diff * 100 / span, so whole-number cases are exact.
    const double diff = std::fabs(current - reported) * 100.0;
    if (v.GetScaled()) {
        if (v.EuHigh != v.EuLow)
            changed = diff / std::fabs(v.EuHigh - v.EuLow) >= deadband;
    } else if (v.RawHigh != v.RawLow) {
        changed = diff / std::fabs(v.RawHigh - v.RawLow) >= deadband;
    } else if (reported != 0.0) {
        changed = diff / std::fabs(reported) >= deadband;
    }
    return changed;
}

// The value part of change detection for an item with a variable; may set limit bits.
bool valueChanged(TOPCItem& item, const vx::TVariable& v, const com::Variant& current)
{
    if (item.LastSeen.isEmpty())
        return true;
    const VARIANT& cur = *current.get();
    if (item.CanonicalType & VT_ARRAY)
        return arraysDiffer(cur, *item.LastSeen.get());
    if (!IsSupportedVarType(cur.vt) || !CanConvertVariant(cur, *item.LastSeen.get()))
        return true;
    if (isNumericType(cur.vt)) {
        item.Quality = static_cast<WORD>(withoutLimitBits(item.GetQuality()) | limitBits(v, current));
        // Against the value behind the last report, in its own type: a value shown to the
        // client as an integer or a text compares unrounded.
        const auto c = asDouble(current);
        const auto r = asDouble(item.ReportedSource);
        if (!c || !r)
            return true;
        return beyondDeadband(item, v, *c, *r);
    }
    switch (cur.vt) {
    case VT_DATE:
    case VT_BSTR:
    case VT_BOOL: return !sameScalar(cur, *item.LastSeen.get());
    default: return true;
    }
}

// Whether an unscaled value equals the one last seen in a type whose full check could only
// find it unchanged (numbers the deadband applies to, dates, Booleans; not NaN, which never
// equals itself). Then only the quality can have changed.
bool sameSimpleValue(const VARIANT& current, const VARIANT& lastSeen)
{
    if (current.vt != lastSeen.vt)
        return false;
    switch (current.vt) {
    case VT_I2: return current.iVal == lastSeen.iVal;
    case VT_I4: return current.lVal == lastSeen.lVal;
    case VT_R4: return current.fltVal == lastSeen.fltVal;
    case VT_R8: return current.dblVal == lastSeen.dblVal;
    case VT_DATE: return current.date == lastSeen.date;
    case VT_BOOL: return current.boolVal == lastSeen.boolVal;
    case VT_I1: return current.cVal == lastSeen.cVal;
    case VT_UI1: return current.bVal == lastSeen.bVal;
    case VT_UI2: return current.uiVal == lastSeen.uiVal;
    case VT_UI4: return current.ulVal == lastSeen.ulVal;
    default: return false;
    }
}

// The end of every change check, also when the value part threw.
bool settleCheck(TOPCItem& item, bool changed, com::Variant current)
{
    const vx::TVariable* v = item.GetVariable();
    if (v && v->Forced)
        item.Quality = OPC_QUALITY_LOCAL_OVERRIDE;
    const WORD quality = item.GetQuality();
    const bool report = changed || quality != item.LastQuality;
    item.LastQuality = quality;
    if (report) {
        item.ReportedSource = current;
        item.TimeStamp = plat::clock().now();
    }
    item.LastSeen = std::move(current);
    if (report)
        RaiseMonitorEvent(meItemReported, &item);
    return report;
}

}  // namespace

TOPCItem::TOPCItem() { LastQuality = GetQuality(); }

TOPCItem::~TOPCItem()
{
    RaiseMonitorEvent(meItemRemoved, this);
    SetVariable(nullptr);
}

void TOPCItem::SetVariable(vx::TVariable* variable)
{
    if (variable == variable_)
        return;
    if (variable_) {
        // Lists are short (the items of all clients using one variable).
        if (variable_->OpcItems == this) {
            variable_->OpcItems = nextBound_;
        } else {
            for (TOPCItem* p = FirstBound(variable_); p; p = p->nextBound_)
                if (p->nextBound_ == this) {
                    p->nextBound_ = nextBound_;
                    break;
                }
        }
        nextBound_ = nullptr;
    }
    variable_ = variable;
    if (variable_) {
        nextBound_ = static_cast<TOPCItem*>(variable_->OpcItems);
        variable_->OpcItems = this;
    }
}

TOPCItem* TOPCItem::FirstBound(const vx::TVariable* variable)
{
    return variable ? static_cast<TOPCItem*>(variable->OpcItems) : nullptr;
}

void TOPCItem::CopyFrom(const TOPCItem& source)
{
    LastSeen = source.LastSeen;
    Reported = source.Reported;
    ReportedSource = source.ReportedSource;
    ItemID = source.ItemID;
    Server = source.Server;
    Blob = source.Blob;
    AccessRights = source.AccessRights;
    ServerHandle = source.ServerHandle;
    ClientHandle = source.ClientHandle;
    CatalogueIndex = source.CatalogueIndex;
    PropertyID = source.PropertyID;
    Quality = source.GetQuality();
    LastQuality = source.LastQuality;
    RequestedType = source.RequestedType;
    CanonicalType = source.CanonicalType;
    Active = source.Active;
    SetVariable(source.GetVariable());
}

void TOPCItem::SetActive(bool active)
{
    Active = active;
    RaiseMonitorEvent(meItemActivated, this);
}

void TOPCItem::SetRequestedType(VARTYPE vt) { RequestedType = vt == VT_EMPTY ? CanonicalType : vt; }

com::Variant TOPCItem::GetPropertyValue() const
{
    if (!variable_)
        return Value;
    if (PropertyID == pidValue)
        return ReScale();
    com::Variant property;
    if (SUCCEEDED(GetVariablePropertyValue(*variable_, PropertyID, property)))
        return property;
    return Value;
}

WORD TOPCItem::GetQuality() const { return PropertyID == pidValue ? Quality : OPC_QUALITY_GOOD; }

void TOPCItem::UpdateQuality() { Quality = variable_ ? variable_->Quality : OPC_QUALITY_LAST_KNOWN; }

void TOPCItem::SetLimitBits()
{
    Quality = withoutLimitBits(GetQuality());
    if (variable_ && variable_->LoLimit != variable_->HiLimit)
        Quality = static_cast<WORD>(Quality | limitBits(*variable_, GetPropertyValue()));
}

HRESULT TOPCItem::GetValueConverted(com::Variant& out) const
{
    try {
        return convertForClient(GetPropertyValue(), RequestedType, CanonicalType, out);
    } catch (const std::exception&) {
        out.clear();
        return OPC_E_BADTYPE;
    }
}

com::Variant TOPCItem::ReScale() const
{
    if (!variable_)
        return Value;
    const vx::TVariable& v = *variable_;
    com::Variant result(v.Value);
    if (!v.GetScaled() || v.RawHigh == v.RawLow)
        return result;
    const auto raw = asDouble(result);
    if (!raw)
        return result;
    // The instrument low bound enters through the span only: configurations made for the
    // existing system rely on this mapping.
    const double k = (v.EuHigh - v.EuLow) / (v.RawHigh - v.RawLow);
    result.setR8(*raw * k + v.EuLow);
    if (RequestedType != VT_EMPTY)
        result.changeType(RequestedType);  // a failure keeps the double
    return result;
}

bool TOPCItem::UnReScale(com::Variant& value) const
{
    if (!variable_)
        return false;
    const vx::TVariable& v = *variable_;
    if (!v.GetScaled() || v.RawHigh == v.RawLow)
        return true;
    // An empty engineering range maps every raw value to one point: there is no inverse.
    if (v.EuHigh == v.EuLow)
        return false;
    const auto engineering = asDouble(value);
    if (!engineering)
        return false;
    com::Variant raw;
    raw.setR8((*engineering - v.EuLow) * (v.RawHigh - v.RawLow) / (v.EuHigh - v.EuLow));
    if (FAILED(raw.changeType(v.CanonicalType)))
        return false;
    value = std::move(raw);
    return true;
}

HRESULT TOPCItem::WriteValue(const VARIANT& value, bool& done)
{
    done = true;
    if (!(AccessRights & OPC_WRITEABLE))
        return OPC_E_BADRIGHTS;
    vx::TVariable* const v = variable_;
    if (!v)
        return OPC_E_UNKNOWNITEMID;
    if (value.vt == VT_EMPTY)
        return OPC_E_BADTYPE;
    if (value.vt & VT_ARRAY) {
        SAFEARRAY* sa = value.vt & VT_BYREF ? (value.pparray ? *value.pparray : nullptr) : value.parray;
        if (!sa || SafeArrayGetDim(sa) != 1 || v->ArrayCount < 0 ||
            sa->rgsabound[0].cElements != static_cast<ULONG>(v->ArrayCount))
            return OPC_E_BADTYPE;
    }
    com::Variant raw;
    try {
        HRESULT hr = convertForWrite(value, CanonicalType, raw);
        if (FAILED(hr))
            return hr;
        if (!UnReScale(raw))
            return OPC_E_BADTYPE;
        // The communication core encodes Value by the variable's own type.
        if (raw.vt() != v->CanonicalType) {
            com::Variant plc;
            hr = convertForWrite(*raw.get(), v->CanonicalType, plc);
            if (FAILED(hr))
                return hr;
            raw = std::move(plc);
        }
    } catch (const std::exception&) {
        return OPC_E_BADTYPE;
    }
    try {
        v->Value = std::move(raw);
        return v->WriteValue(done);
    } catch (const std::exception&) {
        return OPC_E_BADTYPE;
    }
}

bool TOPCItem::CheckChanged()
{
    vx::TVariable* const v = variable_;
    if (!v) {
        Quality = OPC_QUALITY_CONFIG_ERROR;
        return settleCheck(*this, false, GetPropertyValue());
    }
    // Every due update checks every active item, and most values stand still: an unscaled
    // value item whose value is the one last seen is settled without copying anything.
    if (PropertyID == pidValue && !v->GetScaled() && sameSimpleValue(*v->Value.get(), *LastSeen.get())) {
        UpdateQuality();
        if (isNumericType(v->Value.vt()))
            Quality = static_cast<WORD>(withoutLimitBits(Quality) | limitBits(*v, v->Value));
        if (v->Forced)
            Quality = OPC_QUALITY_LOCAL_OVERRIDE;
        const bool report = Quality != LastQuality;
        LastQuality = Quality;
        if (report) {
            ReportedSource = LastSeen;
            TimeStamp = plat::clock().now();
            RaiseMonitorEvent(meItemReported, this);
        }
        return report;
    }
    bool changed = false;
    com::Variant current;
    try {
        UpdateQuality();
        current = GetPropertyValue();
        changed = valueChanged(*this, *v, current);
    } catch (...) {
        settleCheck(*this, changed, GetPropertyValue());
        throw;
    }
    return settleCheck(*this, changed, std::move(current));
}

HRESULT TOPCItem::GetCallbackValue(OPCHANDLE& clientHandle, com::Variant& value, WORD& quality)
{
    clientHandle = ClientHandle;
    HRESULT hr = S_OK;
    try {
        com::Variant source = GetPropertyValue();
        hr = convertForClient(source, RequestedType, CanonicalType, value);
        Reported = value;
        ReportedSource = std::move(source);
    } catch (const std::exception&) {
        value.clear();
        hr = OPC_E_BADTYPE;
    }
    TimeStamp = plat::clock().now();
    UpdateQuality();
    quality = GetQuality();
    RaiseMonitorEvent(meItemReported, this);
    return hr;
}

void TOPCItem::SetSourceQuality(OPCDATASOURCE source)
{
    // A cache read of an item nobody keeps up to date says so; otherwise the variable's own
    // quality, so a station in communication failure does not read as good.
    if (source == OPC_DS_CACHE && (!Active || (Group && !Group->Active)))
        Quality = OPC_QUALITY_OUT_OF_SERVICE;
    else
        UpdateQuality();
}

HRESULT TOPCItem::ReadState(OPCDATASOURCE source, OPCITEMSTATE& state)
{
    SetSourceQuality(source);
    state.wQuality = GetQuality();
    state.hClient = ClientHandle;
    state.ftTimeStamp = Server ? DateTimeToFileTimeUTC(Server->LastUpdateTime) : FILETIME{};
    VariantInit(&state.vDataValue);
    if (!(AccessRights & OPC_READABLE))
        return OPC_E_BADRIGHTS;
    com::Variant value;
    const HRESULT hr = GetValueConverted(value);
    state.vDataValue = value.detach();
    return hr;
}

void TOPCItem::FillAttributes(TOPCItemAttributes& attributes) const
{
    attributes.AccessPath.clear();
    attributes.ItemID = plat::utf8ToUtf16(ItemID);
    attributes.Active = Active;
    attributes.ClientHandle = ClientHandle;
    attributes.ServerHandle = ServerHandle;
    attributes.AccessRights = AccessRights;
    attributes.RequestedDataType = RequestedType;
    attributes.CanonicalDataType = CanonicalType;
    attributes.EUType = OPC_NOENUM;
    attributes.EUInfo.setI4(0);
}

}  // namespace opc

#include "variant.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/text.h"
#include "safearray.h"

namespace com {

bool isValidVariantType(VARTYPE vt)
{
    if (vt & (VT_VECTOR | VT_RESERVED))
        return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    const VARTYPE flags = vt & (VT_ARRAY | VT_BYREF);
    if (base > VT_UINT || base == 15)
        return false;
    if (base == VT_EMPTY || base == VT_NULL)
        return flags == 0;
    // A VARIANT never holds a bare VARIANT, only a reference to one or an array of them.
    if (base == VT_VARIANT)
        return flags != 0;
    return true;
}

bool isPlainScalar(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
        return true;
    default:
        return false;
    }
}

}  // namespace com

void VariantInit(VARIANT* pvarg)
{
    if (pvarg)
        std::memset(pvarg, 0, sizeof(VARIANT));
}

HRESULT VariantClear(VARIANT* pvarg)
{
    if (!pvarg)
        return E_INVALIDARG;
    const VARTYPE vt = pvarg->vt;
    if (com::isPlainScalar(vt)) {
        std::memset(pvarg, 0, sizeof(VARIANT));
        return S_OK;
    }
    if (!com::isValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            if (pvarg->parray) {
                const HRESULT hr = SafeArrayDestroy(pvarg->parray);
                if (FAILED(hr))
                    return hr;
            }
        } else if (vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (pvarg->punkVal)
                pvarg->punkVal->Release();
        }
    }
    std::memset(pvarg, 0, sizeof(VARIANT));
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc)
{
    if (!pvargDest || !pvargSrc)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    const VARTYPE vt = pvargSrc->vt;
    if (com::isPlainScalar(vt) && com::isPlainScalar(pvargDest->vt)) {
        *pvargDest = *pvargSrc;
        return S_OK;
    }
    if (!com::isValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    VARIANT copy = *pvargSrc;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            if (pvargSrc->parray) {
                const HRESULT hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
                if (FAILED(hr))
                    return hr;
            }
        } else if (vt == VT_BSTR) {
            if (pvargSrc->bstrVal) {
                copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
                if (!copy.bstrVal)
                    return E_OUTOFMEMORY;
            }
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (copy.punkVal)
                copy.punkVal->AddRef();
        }
    }
    const HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}

namespace com {
namespace {

void throwFor(HRESULT hr)
{
    if (hr == E_OUTOFMEMORY)
        throw std::bad_alloc();
    throw std::invalid_argument("VARIANT operation failed");
}

template <class T>
std::optional<T> convertTo(const VARIANT& v, VARTYPE vt, T VARIANT::*field, USHORT flags = 0)
{
    VARIANT out;
    VariantInit(&out);
    if (FAILED(VariantChangeType(&out, &v, flags, vt)))
        return std::nullopt;
    T r = out.*field;
    VariantClear(&out);
    return r;
}

}  // namespace

Variant::Variant(const VARIANT& v)
{
    VariantInit(&v_);
    const HRESULT hr = VariantCopy(&v_, &v);
    if (FAILED(hr))
        throwFor(hr);
}

Variant::Variant(Variant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }

Variant& Variant::operator=(const Variant& o)
{
    if (this != &o) {
        Variant copy(o);
        std::swap(v_, copy.v_);
    }
    return *this;
}

Variant& Variant::operator=(Variant&& o) noexcept
{
    if (this != &o) {
        VariantClear(&v_);
        v_ = o.v_;
        VariantInit(&o.v_);
    }
    return *this;
}

Variant Variant::attach(const VARIANT& v)
{
    Variant r;
    r.v_ = v;
    return r;
}

VARIANT Variant::detach()
{
    VARIANT r = v_;
    VariantInit(&v_);
    return r;
}

VARIANT* Variant::put()
{
    clear();
    return &v_;
}

Variant& Variant::clear()
{
    const HRESULT hr = VariantClear(&v_);
    if (FAILED(hr))
        throwFor(hr);
    return *this;
}

Variant& Variant::setNull()
{
    clear();
    v_.vt = VT_NULL;
    return *this;
}

#define VX_SETTER(name, type, vtype, field) \
    Variant& Variant::name(type v)          \
    {                                       \
        clear();                            \
        v_.field = v;                       \
        v_.vt = vtype;                      \
        return *this;                       \
    }
VX_SETTER(setI1, char, VT_I1, cVal)
VX_SETTER(setUI1, BYTE, VT_UI1, bVal)
VX_SETTER(setI2, SHORT, VT_I2, iVal)
VX_SETTER(setUI2, USHORT, VT_UI2, uiVal)
VX_SETTER(setI4, LONG, VT_I4, lVal)
VX_SETTER(setUI4, ULONG, VT_UI4, ulVal)
VX_SETTER(setI8, LONGLONG, VT_I8, llVal)
VX_SETTER(setUI8, ULONGLONG, VT_UI8, ullVal)
VX_SETTER(setInt, INT, VT_INT, intVal)
VX_SETTER(setUInt, UINT, VT_UINT, uintVal)
VX_SETTER(setR4, FLOAT, VT_R4, fltVal)
VX_SETTER(setR8, DOUBLE, VT_R8, dblVal)
VX_SETTER(setDate, DATE, VT_DATE, date)
VX_SETTER(setCy, LONGLONG, VT_CY, cyVal.int64)
VX_SETTER(setError, SCODE, VT_ERROR, scode)
#undef VX_SETTER

Variant& Variant::setBool(bool v)
{
    clear();
    v_.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    v_.vt = VT_BOOL;
    return *this;
}

Variant& Variant::setString(std::u16string_view text) { return setString(Bstr(text)); }

Variant& Variant::setString(std::string_view utf8) { return setString(Bstr(utf8)); }

Variant& Variant::setString(Bstr&& text)
{
    clear();
    v_.bstrVal = text.detach();
    v_.vt = VT_BSTR;
    return *this;
}

Variant& Variant::setUnknown(IUnknown* p)
{
    // Held before clearing, which may release p's last other reference (or throw).
    ComPtr<IUnknown> held(p);
    clear();
    v_.punkVal = held.detach();
    v_.vt = VT_UNKNOWN;
    return *this;
}

Variant& Variant::setArray(SAFEARRAY* psa)
{
    VARTYPE element = VT_EMPTY;
    if (!psa || FAILED(SafeArrayGetVartype(psa, &element)))
        throw std::invalid_argument("not a SAFEARRAY of a known element type");
    clear();
    v_.parray = psa;
    v_.vt = VT_ARRAY | element;
    return *this;
}

std::optional<LONG> Variant::toI4() const { return convertTo(v_, VT_I4, &VARIANT::lVal); }

std::optional<LONGLONG> Variant::toI8() const { return convertTo(v_, VT_I8, &VARIANT::llVal); }

std::optional<DOUBLE> Variant::toR8() const { return convertTo(v_, VT_R8, &VARIANT::dblVal); }

std::optional<bool> Variant::toBool() const
{
    const auto b = convertTo(v_, VT_BOOL, &VARIANT::boolVal);
    return b ? std::optional<bool>(*b != VARIANT_FALSE) : std::nullopt;
}

std::optional<std::u16string> Variant::toU16(USHORT flags) const
{
    VARIANT out;
    VariantInit(&out);
    if (FAILED(VariantChangeType(&out, &v_, flags, VT_BSTR)))
        return std::nullopt;
    return Bstr::attach(out.bstrVal).toU16();
}

std::optional<std::string> Variant::toUtf8(USHORT flags) const
{
    const auto text = toU16(flags);
    return text ? std::optional<std::string>(plat::utf16ToUtf8(*text)) : std::nullopt;
}

HRESULT Variant::changeType(VARTYPE vt, USHORT flags) { return VariantChangeType(&v_, &v_, flags, vt); }

}  // namespace com

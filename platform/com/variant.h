#pragma once
// VARIANT with the Windows layout, its life cycle and type conversion, and an owning wrapper.
// The anonymous structs in the unions give the Windows field names (v.vt, v.lVal, v.decVal).
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "bstr.h"
#include "unknown.h"

struct SAFEARRAY;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_R4 = 4;
inline constexpr VARTYPE VT_R8 = 5;
inline constexpr VARTYPE VT_CY = 6;
inline constexpr VARTYPE VT_DATE = 7;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_DISPATCH = 9;
inline constexpr VARTYPE VT_ERROR = 10;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_VARIANT = 12;
inline constexpr VARTYPE VT_UNKNOWN = 13;
inline constexpr VARTYPE VT_DECIMAL = 14;
inline constexpr VARTYPE VT_I1 = 16;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_UI2 = 18;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARTYPE VT_I8 = 20;
inline constexpr VARTYPE VT_UI8 = 21;
inline constexpr VARTYPE VT_INT = 22;
inline constexpr VARTYPE VT_UINT = 23;
inline constexpr VARTYPE VT_CLSID = 72;
inline constexpr VARTYPE VT_VECTOR = 0x1000;
inline constexpr VARTYPE VT_ARRAY = 0x2000;
inline constexpr VARTYPE VT_BYREF = 0x4000;
inline constexpr VARTYPE VT_RESERVED = 0x8000;
inline constexpr VARTYPE VT_TYPEMASK = 0x0FFF;

// VariantChangeType(Ex) flags.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;     // Booleans as "True"/"False" instead of "-1"/"0"
inline constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;     // as VARIANT_ALPHABOOL: no translated names here

// Currency: a 64-bit integer scaled by 10,000.
union CY {
    struct {
        ULONG Lo;
        LONG Hi;
    };
    LONGLONG int64;
};
static_assert(sizeof(CY) == 8);

inline constexpr BYTE DECIMAL_NEG = 0x80;

// 96-bit integer with a power-of-ten scale 0..28 and a sign byte.
struct DECIMAL {
    USHORT wReserved;
    union {
        struct {
            BYTE scale;
            BYTE sign;
        };
        USHORT signscale;
    };
    ULONG Hi32;
    union {
        struct {
            ULONG Lo32;
            ULONG Mid32;
        };
        ULONGLONG Lo64;
    };
};
static_assert(sizeof(DECIMAL) == 16);

struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                FLOAT fltVal;
                DOUBLE dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IUnknown* pdispVal;  // no IDispatch in this layer; the pointer is the same
                SAFEARRAY* parray;
                BYTE* pbVal;
                SHORT* piVal;
                LONG* plVal;
                LONGLONG* pllVal;
                FLOAT* pfltVal;
                DOUBLE* pdblVal;
                VARIANT_BOOL* pboolVal;
                SCODE* pscode;
                CY* pcyVal;
                DATE* pdate;
                BSTR* pbstrVal;
                IUnknown** ppunkVal;
                IUnknown** ppdispVal;
                SAFEARRAY** pparray;
                VARIANT* pvarVal;
                void* byref;
                char cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                INT intVal;
                UINT uintVal;
                DECIMAL* pdecVal;
                char* pcVal;
                USHORT* puiVal;
                ULONG* pulVal;
                ULONGLONG* pullVal;
                INT* pintVal;
                UINT* puintVal;
                struct {
                    void* pvRecord;
                    void* pRecInfo;
                } brecVal;
            };
        };
        DECIMAL decVal;  // overlays the whole VARIANT; its wReserved is vt
    };
};
using VARIANTARG = VARIANT;
static_assert(sizeof(VARIANT) == 8 + 2 * sizeof(void*));
static_assert(offsetof(VARIANT, lVal) == 8);

void VariantInit(VARIANT* pvarg);
// Frees the string, releases the interface or destroys the array held. DISP_E_BADVARTYPE for
// an invalid type and DISP_E_ARRAYISLOCKED for a locked array leave the variant as it was.
HRESULT VariantClear(VARIANT* pvarg);
// Deep copy: strings and arrays are duplicated, interfaces AddRef'd; a by-reference variant
// is copied as the reference. On failure the destination is as it was.
HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);
HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt);
// Every LCID uses the process locale (com::setProcessLocale).
HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt);

namespace com {

// True for a type that a VARIANT may hold (VT_BYREF and VT_ARRAY combinations included).
bool isValidVariantType(VARTYPE vt);
// True for a type whose value lives entirely in the VARIANT (numbers, dates, Booleans, error
// codes, empty and null): copying and clearing it needs no more than its bytes.
bool isPlainScalar(VARTYPE vt);

// Owning VARIANT. Copies throw std::bad_alloc when memory runs out.
class Variant {
public:
    Variant() { VariantInit(&v_); }
    explicit Variant(const VARIANT& v);
    Variant(const Variant& o) : Variant(o.v_) {}
    Variant(Variant&& o) noexcept;
    ~Variant() { VariantClear(&v_); }
    Variant& operator=(const Variant& o);
    Variant& operator=(Variant&& o) noexcept;

    // Takes over a VARIANT the caller owns; the caller's copy must not be cleared.
    static Variant attach(const VARIANT& v);
    // Gives up the value to the caller, who must clear it.
    VARIANT detach();
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    // Clears and yields the VARIANT, for out parameters.
    VARIANT* put();

    VARTYPE vt() const { return v_.vt; }
    bool isEmpty() const { return v_.vt == VT_EMPTY; }

    Variant& clear();
    Variant& setNull();
    Variant& setI1(char v);
    Variant& setUI1(BYTE v);
    Variant& setI2(SHORT v);
    Variant& setUI2(USHORT v);
    Variant& setI4(LONG v);
    Variant& setUI4(ULONG v);
    Variant& setI8(LONGLONG v);
    Variant& setUI8(ULONGLONG v);
    Variant& setInt(INT v);
    Variant& setUInt(UINT v);
    Variant& setR4(FLOAT v);
    Variant& setR8(DOUBLE v);
    Variant& setBool(bool v);
    Variant& setDate(DATE v);
    Variant& setCy(LONGLONG scaledBy10000);
    Variant& setError(SCODE v);
    Variant& setString(std::u16string_view text);
    Variant& setString(std::string_view utf8);
    Variant& setString(Bstr&& text);
    Variant& setUnknown(IUnknown* p);  // AddRef'd
    Variant& setArray(SAFEARRAY* psa);  // takes ownership; VT_ARRAY with the array's element type

    // The value converted as VariantChangeType would; nullopt when it cannot be.
    std::optional<LONG> toI4() const;
    std::optional<LONGLONG> toI8() const;
    std::optional<DOUBLE> toR8() const;
    std::optional<bool> toBool() const;
    std::optional<std::u16string> toU16(USHORT flags = 0) const;
    std::optional<std::string> toUtf8(USHORT flags = 0) const;

    // Converts in place; on failure the value stays as it was.
    HRESULT changeType(VARTYPE vt, USHORT flags = 0);

private:
    VARIANT v_;
};

}  // namespace com

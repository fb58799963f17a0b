// VARIANTs on the bus: "(qv)", the exact VARTYPE and a value of the D-Bus type that matches it.
#include "dbus_variant.h"

#include <QDBusMetaType>
#include <QDBusVariant>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "dbus_wire.h"
#include "safearray.h"

namespace com::bus {

namespace {

// Stand-ins that tell Qt the signature of an array's elements (its beginArray takes a
// registered type, not a signature): decimals and variants inside a VARIANT array.
struct DecimalCarrier {};
struct VariantCarrier {};

QDBusArgument& operator<<(QDBusArgument& a, const DecimalCarrier&)
{
    a.beginStructure();
    a << uchar(0) << uchar(0) << uint(0) << qulonglong(0);
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, DecimalCarrier&)
{
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const VariantCarrier&)
{
    const VARIANT empty{};
    encodeVariant(a, empty);
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, VariantCarrier&)
{
    return a;
}

HRESULT toBstr(const QString& s, BSTR& out)
{
    out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.utf16()), static_cast<UINT>(s.size()));
    return out ? S_OK : E_OUTOFMEMORY;
}


// The D-Bus type of one value of a VARIANT's base type, alone or as an array element.
const char* scalarSignature(VARTYPE base)
{
    switch (base) {
    case VT_I1:
    case VT_I2:
        return "n";
    case VT_UI1:
        return "y";
    case VT_UI2:
        return "q";
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
        return "i";
    case VT_UI4:
    case VT_UINT:
        return "u";
    case VT_I8:
    case VT_CY:
        return "x";
    case VT_UI8:
        return "t";
    case VT_R4:
    case VT_R8:
    case VT_DATE:
        return "d";
    case VT_BOOL:
        return "b";
    case VT_BSTR:
        return "s";
    case VT_DECIMAL:
        return "(yyut)";
    case VT_VARIANT:
        return "(qv)";
    default:
        return nullptr;
    }
}

QMetaType scalarMetaType(VARTYPE base)
{
    switch (base) {
    case VT_I1:
    case VT_I2:
        return QMetaType::fromType<short>();
    case VT_UI1:
        return QMetaType::fromType<uchar>();
    case VT_UI2:
        return QMetaType::fromType<ushort>();
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
        return QMetaType::fromType<int>();
    case VT_UI4:
    case VT_UINT:
        return QMetaType::fromType<uint>();
    case VT_I8:
    case VT_CY:
        return QMetaType::fromType<qlonglong>();
    case VT_UI8:
        return QMetaType::fromType<qulonglong>();
    case VT_R4:
    case VT_R8:
    case VT_DATE:
        return QMetaType::fromType<double>();
    case VT_BOOL:
        return QMetaType::fromType<bool>();
    case VT_BSTR:
        return QMetaType::fromType<QString>();
    case VT_DECIMAL:
        return QMetaType::fromType<DecimalCarrier>();
    case VT_VARIANT:
        return QMetaType::fromType<VariantCarrier>();
    default:
        return {};
    }
}

void writeDecimal(QDBusArgument& a, const DECIMAL& d)
{
    a.beginStructure();
    a << uchar(d.scale) << uchar(d.sign) << uint(d.Hi32) << qulonglong(d.Lo64);
    a.endStructure();
}

void readDecimal(const QDBusArgument& a, DECIMAL& d)
{
    uchar scale = 0;
    uchar sign = 0;
    uint hi = 0;
    qulonglong lo = 0;
    a.beginStructure();
    a >> scale >> sign >> hi >> lo;
    a.endStructure();
    d.scale = scale;
    d.sign = sign;
    d.Hi32 = hi;
    d.Lo64 = lo;
}

// One array element of base type at p. Writes a complete element even when it fails.
HRESULT writeElement(QDBusArgument& a, VARTYPE base, const void* p)
{
    switch (base) {
    case VT_I1:
        a << short(*static_cast<const signed char*>(p));
        break;
    case VT_UI1:
        a << uchar(*static_cast<const BYTE*>(p));
        break;
    case VT_I2:
        a << short(*static_cast<const SHORT*>(p));
        break;
    case VT_UI2:
        a << ushort(*static_cast<const USHORT*>(p));
        break;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
        a << int(*static_cast<const LONG*>(p));
        break;
    case VT_UI4:
    case VT_UINT:
        a << uint(*static_cast<const ULONG*>(p));
        break;
    case VT_I8:
    case VT_CY:
        a << qlonglong(*static_cast<const LONGLONG*>(p));
        break;
    case VT_UI8:
        a << qulonglong(*static_cast<const ULONGLONG*>(p));
        break;
    case VT_R4:
        a << double(*static_cast<const FLOAT*>(p));
        break;
    case VT_R8:
    case VT_DATE:
        a << *static_cast<const DOUBLE*>(p);
        break;
    case VT_BOOL:
        a << (*static_cast<const VARIANT_BOOL*>(p) != 0);
        break;
    case VT_BSTR: {
        const BSTR s = *static_cast<const BSTR*>(p);
        a << QString::fromUtf16(s ? s : u"", static_cast<qsizetype>(SysStringLen(s)));
        break;
    }
    case VT_DECIMAL:
        writeDecimal(a, *static_cast<const DECIMAL*>(p));
        break;
    case VT_VARIANT: {
        const HRESULT hr = encodeVariant(a, *static_cast<const VARIANT*>(p));
        if (FAILED(hr)) {
            VARIANT empty{};
            encodeVariant(a, empty);
            return hr;
        }
        break;
    }
    default:
        return DISP_E_BADVARTYPE;
    }
    return S_OK;
}

// Reads one array element of base type into p (zero-filled). Types are known to match.
HRESULT readElement(const QDBusArgument& a, VARTYPE base, void* p)
{
    switch (base) {
    case VT_I1: {
        short s = 0;
        a >> s;
        if (s < -128 || s > 127)
            return E_INVALIDARG;
        *static_cast<signed char*>(p) = static_cast<signed char>(s);
        return S_OK;
    }
    case VT_UI1: {
        uchar b = 0;
        a >> b;
        *static_cast<BYTE*>(p) = b;
        return S_OK;
    }
    case VT_I2: {
        short s = 0;
        a >> s;
        *static_cast<SHORT*>(p) = s;
        return S_OK;
    }
    case VT_UI2: {
        ushort s = 0;
        a >> s;
        *static_cast<USHORT*>(p) = s;
        return S_OK;
    }
    case VT_I4:
    case VT_INT:
    case VT_ERROR: {
        int i = 0;
        a >> i;
        *static_cast<LONG*>(p) = i;
        return S_OK;
    }
    case VT_UI4:
    case VT_UINT: {
        uint u = 0;
        a >> u;
        *static_cast<ULONG*>(p) = u;
        return S_OK;
    }
    case VT_I8:
    case VT_CY: {
        qlonglong x = 0;
        a >> x;
        *static_cast<LONGLONG*>(p) = x;
        return S_OK;
    }
    case VT_UI8: {
        qulonglong x = 0;
        a >> x;
        *static_cast<ULONGLONG*>(p) = x;
        return S_OK;
    }
    case VT_R4: {
        double d = 0;
        a >> d;
        return floatOf(d, *static_cast<FLOAT*>(p));
    }
    case VT_R8:
    case VT_DATE: {
        double d = 0;
        a >> d;
        *static_cast<DOUBLE*>(p) = d;
        return S_OK;
    }
    case VT_BOOL: {
        bool b = false;
        a >> b;
        *static_cast<VARIANT_BOOL*>(p) = b ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    case VT_BSTR: {
        QString s;
        a >> s;
        return toBstr(s, *static_cast<BSTR*>(p));
    }
    case VT_DECIMAL:
        readDecimal(a, *static_cast<DECIMAL*>(p));
        return S_OK;
    case VT_VARIANT:
        return decodeVariant(a, *static_cast<VARIANT*>(p));
    default:
        return E_INVALIDARG;
    }
}

// Frees what one array element owns.
void clearElement(VARTYPE base, void* p)
{
    if (base == VT_BSTR) {
        SysFreeString(*static_cast<BSTR*>(p));
        *static_cast<BSTR*>(p) = nullptr;
    } else if (base == VT_VARIANT) {
        VariantClear(static_cast<VARIANT*>(p));
    }
}

// Bytes of one SAFEARRAY element of the base type; 0 for a type that cannot travel.
std::size_t arrayElementSize(VARTYPE base)
{
    // Interface pointers never travel inside an array.
    if (base == VT_UNKNOWN || base == VT_DISPATCH)
        return 0;
    return com::safeArrayElementSize(base);
}

// A one-dimensional SAFEARRAY as "(ia…)": lower bound and elements.
HRESULT arrayPayload(VARTYPE base, SAFEARRAY* psa, QVariant& out)
{
    registerVariantTypes();
    const QMetaType element = scalarMetaType(base);
    if (!psa || !element.isValid() || SafeArrayGetDim(psa) != 1 || psa->cbElements != arrayElementSize(base))
        return DISP_E_BADVARTYPE;
    const ULONG n = psa->rgsabound[0].cElements;
    const std::size_t size = psa->cbElements;
    QDBusArgument a;
    a.beginStructure();
    a << int(psa->rgsabound[0].lLbound);
    a.beginArray(element);
    HRESULT hr = S_OK;
    for (ULONG i = 0; i < n; ++i) {
        const HRESULT one = writeElement(a, base, static_cast<const std::byte*>(psa->pvData) + i * size);
        if (FAILED(one) && SUCCEEDED(hr))
            hr = one;
    }
    a.endArray();
    a.endStructure();
    if (FAILED(hr))
        return hr;
    out = QVariant::fromValue(a);
    return S_OK;
}


HRESULT arrayFromPayload(VARTYPE base, const QVariant& q, VARIANT& v)
{
    const char* element = scalarSignature(base);
    const std::size_t elemSize = arrayElementSize(base);
    if (!element || elemSize == 0 || q.metaType() != QMetaType::fromType<QDBusArgument>())
        return E_INVALIDARG;
    const QDBusArgument a = q.value<QDBusArgument>();
    if (a.currentSignature() != QLatin1String("(ia") + QLatin1String(element) + QLatin1Char(')'))
        return E_INVALIDARG;
    int lbound = 0;
    a.beginStructure();
    a >> lbound;
    // Elements go to a buffer first: the count is known only at the end.
    std::vector<std::byte> elements;
    std::size_t n = 0;
    HRESULT hr = S_OK;
    a.beginArray();
    while (!a.atEnd()) {
        if (n >= kMaxArrayCount) {
            hr = E_INVALIDARG;
            break;
        }
        elements.resize(elements.size() + elemSize);
        hr = readElement(a, base, elements.data() + n * elemSize);
        if (FAILED(hr))
            break;
        ++n;
    }
    // Closed in any case: Qt frees what it opened for the array only there.
    a.endArray();
    a.endStructure();
    auto clearAll = [&] {
        for (std::size_t i = 0; i < n; ++i)
            clearElement(base, elements.data() + i * elemSize);
    };
    if (FAILED(hr)) {
        clearAll();
        return hr;
    }
    if (n > 0 && static_cast<long long>(lbound) + static_cast<long long>(n) - 1 > INT32_MAX) {
        clearAll();
        return E_INVALIDARG;
    }
    SAFEARRAY* psa = SafeArrayCreateVector(base, lbound, static_cast<ULONG>(n));
    if (!psa) {
        clearAll();
        return E_OUTOFMEMORY;
    }
    // The elements' strings and variants move into the array as they are.
    if (n > 0)
        std::memcpy(psa->pvData, elements.data(), n * elemSize);
    v.vt = VT_ARRAY | base;
    v.parray = psa;
    return S_OK;
}



}  // namespace

HRESULT variantPayload(const VARIANT& v, QVariant& out)
{
    if (v.vt & VT_ARRAY) {
        if (v.vt & (VT_BYREF | VT_VECTOR | VT_RESERVED))
            return DISP_E_BADVARTYPE;
        return arrayPayload(v.vt & VT_TYPEMASK, v.parray, out);
    }
    switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
        out = QVariant::fromValue(uchar(0));
        return S_OK;
    case VT_I1:
        out = QVariant::fromValue(short(static_cast<signed char>(v.cVal)));
        return S_OK;
    case VT_UI1:
        out = QVariant::fromValue(uchar(v.bVal));
        return S_OK;
    case VT_I2:
        out = QVariant::fromValue(short(v.iVal));
        return S_OK;
    case VT_UI2:
        out = QVariant::fromValue(ushort(v.uiVal));
        return S_OK;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
        out = QVariant::fromValue(int(v.lVal));
        return S_OK;
    case VT_UI4:
    case VT_UINT:
        out = QVariant::fromValue(uint(v.ulVal));
        return S_OK;
    case VT_I8:
        out = QVariant::fromValue(qlonglong(v.llVal));
        return S_OK;
    case VT_CY:
        out = QVariant::fromValue(qlonglong(v.cyVal.int64));
        return S_OK;
    case VT_UI8:
        out = QVariant::fromValue(qulonglong(v.ullVal));
        return S_OK;
    case VT_R4:
        out = QVariant::fromValue(double(v.fltVal));
        return S_OK;
    case VT_R8:
        out = QVariant::fromValue(v.dblVal);
        return S_OK;
    case VT_DATE:
        out = QVariant::fromValue(v.date);
        return S_OK;
    case VT_BOOL:
        out = QVariant::fromValue(v.boolVal != 0);
        return S_OK;
    case VT_BSTR:
        out = QVariant::fromValue(QString::fromUtf16(v.bstrVal ? v.bstrVal : u"", static_cast<qsizetype>(SysStringLen(v.bstrVal))));
        return S_OK;
    case VT_DECIMAL: {
        QDBusArgument a;
        writeDecimal(a, v.decVal);
        out = QVariant::fromValue(a);
        return S_OK;
    }
    default:
        // Interfaces, references and the rest have no meaning in another process.
        return DISP_E_BADVARTYPE;
    }
}

HRESULT variantFromPayload(VARTYPE vt, const QVariant& q, VARIANT& v)
{
    if (vt & VT_ARRAY) {
        if (vt & (VT_BYREF | VT_VECTOR | VT_RESERVED))
            return E_INVALIDARG;
        return arrayFromPayload(vt & VT_TYPEMASK, q, v);
    }
    if (vt == VT_EMPTY || vt == VT_NULL) {
        v.vt = vt;
        return S_OK;
    }
    // A decimal arrives as its structure.
    const QMetaType want = vt == VT_DECIMAL ? QMetaType::fromType<QDBusArgument>() : scalarMetaType(vt);
    if (!want.isValid() || vt == VT_VARIANT || q.metaType() != want)
        return E_INVALIDARG;
    switch (vt) {
    case VT_I1: {
        const short s = q.value<short>();
        if (s < -128 || s > 127)
            return E_INVALIDARG;
        v.cVal = static_cast<char>(s);
        break;
    }
    case VT_UI1:
        v.bVal = q.value<uchar>();
        break;
    case VT_I2:
        v.iVal = q.value<short>();
        break;
    case VT_UI2:
        v.uiVal = q.value<ushort>();
        break;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
        v.lVal = q.value<int>();
        break;
    case VT_UI4:
    case VT_UINT:
        v.ulVal = q.value<uint>();
        break;
    case VT_I8:
    case VT_CY:
        v.llVal = q.value<qlonglong>();
        break;
    case VT_UI8:
        v.ullVal = q.value<qulonglong>();
        break;
    case VT_R4:
        if (const HRESULT hr = floatOf(q.value<double>(), v.fltVal); FAILED(hr))
            return hr;
        break;
    case VT_R8:
    case VT_DATE:
        v.dblVal = q.value<double>();
        break;
    case VT_BOOL:
        v.boolVal = q.value<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case VT_BSTR:
        if (const HRESULT hr = toBstr(q.value<QString>(), v.bstrVal); FAILED(hr))
            return hr;
        break;
    case VT_DECIMAL: {
        const QDBusArgument a = q.value<QDBusArgument>();
        if (a.currentSignature() != QLatin1String("(yyut)"))
            return E_INVALIDARG;
        DECIMAL d{};
        readDecimal(a, d);
        v.decVal = d;  // overwrites vt with the decimal's wReserved
        break;
    }
    default:
        return E_INVALIDARG;
    }
    v.vt = vt;
    return S_OK;
}

// Whether variantPayload can carry v: DISP_E_BADVARTYPE for what cannot travel.
HRESULT checkVariant(const VARIANT& v)
{
    if (v.vt & VT_ARRAY) {
        const VARTYPE base = v.vt & VT_TYPEMASK;
        SAFEARRAY* psa = v.parray;
        if ((v.vt & (VT_BYREF | VT_VECTOR | VT_RESERVED)) || !scalarMetaType(base).isValid() || !psa || SafeArrayGetDim(psa) != 1 ||
            psa->cbElements != arrayElementSize(base))
            return DISP_E_BADVARTYPE;
        if (base == VT_VARIANT)
            for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i)
                if (const HRESULT hr = checkVariant(static_cast<const VARIANT*>(psa->pvData)[i]); FAILED(hr))
                    return hr;
        return S_OK;
    }
    return v.vt == VT_EMPTY || v.vt == VT_NULL || (v.vt != VT_VARIANT && scalarMetaType(v.vt).isValid()) ? S_OK : DISP_E_BADVARTYPE;
}

void registerVariantTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qDBusRegisterMetaType<DecimalCarrier>();
        qDBusRegisterMetaType<VariantCarrier>();
    });
}

HRESULT floatOf(double d, FLOAT& out)
{
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX)
        return E_INVALIDARG;
    out = static_cast<FLOAT>(d);
    return S_OK;
}

HRESULT encodeVariant(QDBusArgument& out, const VARIANT& v)
{
    QVariant payload;
    if (const HRESULT hr = variantPayload(v, payload); FAILED(hr))
        return hr;
    out.beginStructure();
    out << ushort(v.vt) << QDBusVariant(payload);
    out.endStructure();
    return S_OK;
}

HRESULT decodeVariant(const QDBusArgument& in, VARIANT& v)
{
    ushort vt = 0;
    QDBusVariant payload;
    in.beginStructure();
    in >> vt >> payload;
    in.endStructure();
    VariantInit(&v);
    const HRESULT hr = variantFromPayload(vt, payload.variant(), v);
    if (FAILED(hr))
        VariantInit(&v);
    return hr;
}

}  // namespace com::bus

#include "dbus_wire.h"

#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <mutex>

#include "alloc.h"
#include "dbus_variant.h"
#include "enums.h"
#include "safearray.h"

namespace com::bus {

namespace {

// Stand-ins whose only use is to tell Qt the signature of an array's elements: Qt's
// beginArray takes a registered type, not a signature.
template <WireType T>
struct Carrier {};

template <WireType T>
QDBusArgument& operator<<(QDBusArgument& a, const Carrier<T>&)
{
    alignas(16) std::byte zero[128] = {};
    static_assert(sizeof(OPCITEMATTRIBUTES) <= sizeof(zero));
    WireContext ctx;
    encode(a, T, zero, ctx);
    return a;
}
template <WireType T>
const QDBusArgument& operator>>(const QDBusArgument& a, Carrier<T>&)
{
    return a;
}
QMetaType elementMetaType(WireType t)
{
    switch (t) {
    case WireType::U32:
        return QMetaType::fromType<uint>();
    case WireType::I32:
        return QMetaType::fromType<int>();
    case WireType::U16:
        return QMetaType::fromType<ushort>();
    case WireType::F32:
        return QMetaType::fromType<double>();
    case WireType::Str:
    case WireType::Iid:
        return QMetaType::fromType<QString>();
    case WireType::FileTime:
        return QMetaType::fromType<qulonglong>();
    case WireType::Variant:
        return QMetaType::fromType<Carrier<WireType::Variant>>();
    case WireType::Itf:
        return QMetaType::fromType<Carrier<WireType::Itf>>();
    case WireType::ItemDef:
        return QMetaType::fromType<Carrier<WireType::ItemDef>>();
    case WireType::ItemResult:
        return QMetaType::fromType<Carrier<WireType::ItemResult>>();
    case WireType::ItemState:
        return QMetaType::fromType<Carrier<WireType::ItemState>>();
    case WireType::ItemAttributes:
        return QMetaType::fromType<Carrier<WireType::ItemAttributes>>();
    case WireType::ServerStatus:
        return QMetaType::fromType<Carrier<WireType::ServerStatus>>();
    case WireType::ConnectData:
        return QMetaType::fromType<Carrier<WireType::ConnectData>>();
    }
    return {};
}

// An array written straight into the message when Qt assembles it, instead of into an
// argument of its own that Qt would then copy value by value. Its elements are checked
// before (checkElement), so that writing them cannot fail.
template <WireType T>
struct LazyArray {
    const void* first = nullptr;
    std::size_t count = 0;
};

template <WireType T>
QDBusArgument& operator<<(QDBusArgument& a, const LazyArray<T>& v)
{
    a.beginArray(elementMetaType(T));
    WireContext none;
    const std::size_t size = elementSize(T);
    for (std::size_t i = 0; i < v.count; ++i)
        encode(a, T, static_cast<const std::byte*>(v.first) + i * size, none);
    a.endArray();
    return a;
}
template <WireType T>
const QDBusArgument& operator>>(const QDBusArgument& a, LazyArray<T>&)
{
    return a;
}

template <WireType T>
QVariant lazy(const void* first, std::size_t count)
{
    return QVariant::fromValue(LazyArray<T>{first, count});
}

// The lazy array of t, or an invalid QVariant for the types that hold interfaces: those are
// exported while they are written, which must happen before the message goes.
QVariant lazyArray(WireType t, const void* first, std::size_t count)
{
    switch (t) {
    case WireType::U32:
        return lazy<WireType::U32>(first, count);
    case WireType::I32:
        return lazy<WireType::I32>(first, count);
    case WireType::U16:
        return lazy<WireType::U16>(first, count);
    case WireType::F32:
        return lazy<WireType::F32>(first, count);
    case WireType::FileTime:
        return lazy<WireType::FileTime>(first, count);
    case WireType::Variant:
        return lazy<WireType::Variant>(first, count);
    case WireType::ItemDef:
        return lazy<WireType::ItemDef>(first, count);
    case WireType::ItemResult:
        return lazy<WireType::ItemResult>(first, count);
    case WireType::ItemState:
        return lazy<WireType::ItemState>(first, count);
    case WireType::ItemAttributes:
        return lazy<WireType::ItemAttributes>(first, count);
    case WireType::ServerStatus:
        return lazy<WireType::ServerStatus>(first, count);
    case WireType::Str:
    case WireType::Iid:  // Qt keeps "as" for its string lists
    case WireType::Itf:
    case WireType::ConnectData:
        break;
    }
    return {};
}

// --- strings, blobs, file times

QString fromWide(const OLECHAR* s)
{
    return s ? QString::fromUtf16(s) : QString();
}

HRESULT toTaskString(const QString& s, LPWSTR& out)
{
    out = taskString(std::u16string_view(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size())));
    return out ? S_OK : E_OUTOFMEMORY;
}

QByteArray blobBytes(const BYTE* blob, DWORD size)
{
    if (!blob || size == 0)
        return {};
    return QByteArray(reinterpret_cast<const char*>(blob), static_cast<qsizetype>(size));
}

HRESULT checkBlob(const BYTE* blob, DWORD size)
{
    return blob && size > kMaxBlobSize ? E_INVALIDARG : S_OK;
}

HRESULT toTaskBlob(const QByteArray& bytes, BYTE*& blob, DWORD& size)
{
    blob = nullptr;
    size = 0;
    if (bytes.isEmpty())
        return S_OK;
    if (static_cast<std::size_t>(bytes.size()) > kMaxBlobSize)
        return E_INVALIDARG;
    blob = static_cast<BYTE*>(CoTaskMemAlloc(static_cast<std::size_t>(bytes.size())));
    if (!blob)
        return E_OUTOFMEMORY;
    std::memcpy(blob, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    size = static_cast<DWORD>(bytes.size());
    return S_OK;
}

qulonglong fileTimeBits(const FILETIME& ft)
{
    return (qulonglong(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME fileTimeOf(qulonglong bits)
{
    return FILETIME{static_cast<DWORD>(bits), static_cast<DWORD>(bits >> 32)};
}

// Whether encode can write the element without failing.
HRESULT checkElement(WireType t, const void* e)
{
    switch (t) {
    case WireType::Variant:
        return checkVariant(*static_cast<const VARIANT*>(e));
    case WireType::ItemState:
        return checkVariant(static_cast<const OPCITEMSTATE*>(e)->vDataValue);
    case WireType::ItemAttributes: {
        const auto* r = static_cast<const OPCITEMATTRIBUTES*>(e);
        const HRESULT hr = checkVariant(r->vEUInfo);
        return FAILED(hr) ? hr : checkBlob(r->pBlob, r->dwBlobSize);
    }
    case WireType::ItemDef: {
        const auto* d = static_cast<const OPCITEMDEF*>(e);
        return checkBlob(d->pBlob, d->dwBlobSize);
    }
    case WireType::ItemResult: {
        const auto* r = static_cast<const OPCITEMRESULT*>(e);
        return checkBlob(r->pBlob, r->dwBlobSize);
    }
    default:
        return S_OK;
    }
}

// --- interface references

void writeRef(QDBusArgument& a, const InterfaceRef& ref)
{
    a.beginStructure();
    a << ref.owner << QDBusObjectPath(ref.path) << qulonglong(ref.interfaces);
    a.endStructure();
}

InterfaceRef readRef(const QDBusArgument& a)
{
    InterfaceRef ref;
    QDBusObjectPath path;
    qulonglong mask = 0;
    a.beginStructure();
    a >> ref.owner >> path >> mask;
    a.endStructure();
    ref.path = path.path();
    ref.interfaces = mask;
    return ref;
}

HRESULT refOf(IUnknown* p, InterfaceRef& ref, WireContext& ctx)
{
    if (!p) {
        ref = InterfaceRef();
        return S_OK;
    }
    if (!ctx.marshaller)
        return E_UNEXPECTED;
    return ctx.marshaller->marshal(p, ref);
}

HRESULT pointerOf(const InterfaceRef& ref, REFIID iid, void** out, WireContext& ctx)
{
    *out = nullptr;
    if (ref.isNull())
        return S_OK;
    if (!ctx.marshaller)
        return E_UNEXPECTED;
    return ctx.marshaller->unmarshal(ref, iid, out);
}

template <class T>
const T& as(const void* p)
{
    return *static_cast<const T*>(p);
}
template <class T>
T& as(void* p)
{
    return *static_cast<T*>(p);
}

}  // namespace

void registerWireTypes()
{
    registerVariantTypes();
    static std::once_flag once;
    std::call_once(once, [] {
        qDBusRegisterMetaType<Carrier<WireType::Variant>>();
        qDBusRegisterMetaType<Carrier<WireType::Itf>>();
        qDBusRegisterMetaType<Carrier<WireType::ItemDef>>();
        qDBusRegisterMetaType<Carrier<WireType::ItemResult>>();
        qDBusRegisterMetaType<Carrier<WireType::ItemState>>();
        qDBusRegisterMetaType<Carrier<WireType::ItemAttributes>>();
        qDBusRegisterMetaType<Carrier<WireType::ServerStatus>>();
        qDBusRegisterMetaType<Carrier<WireType::ConnectData>>();
        qDBusRegisterMetaType<LazyArray<WireType::U32>>();
        qDBusRegisterMetaType<LazyArray<WireType::I32>>();
        qDBusRegisterMetaType<LazyArray<WireType::U16>>();
        qDBusRegisterMetaType<LazyArray<WireType::F32>>();
        qDBusRegisterMetaType<LazyArray<WireType::FileTime>>();
        qDBusRegisterMetaType<LazyArray<WireType::Variant>>();
        qDBusRegisterMetaType<LazyArray<WireType::ItemDef>>();
        qDBusRegisterMetaType<LazyArray<WireType::ItemResult>>();
        qDBusRegisterMetaType<LazyArray<WireType::ItemState>>();
        qDBusRegisterMetaType<LazyArray<WireType::ItemAttributes>>();
        qDBusRegisterMetaType<LazyArray<WireType::ServerStatus>>();
    });
}

std::size_t elementSize(WireType t)
{
    switch (t) {
    case WireType::U32:
    case WireType::I32:
    case WireType::F32:
        return 4;
    case WireType::U16:
        return 2;
    case WireType::Str:
    case WireType::Itf:
        return sizeof(void*);
    case WireType::Iid:
        return sizeof(GUID);
    case WireType::FileTime:
        return sizeof(FILETIME);
    case WireType::Variant:
        return sizeof(VARIANT);
    case WireType::ItemDef:
        return sizeof(OPCITEMDEF);
    case WireType::ItemResult:
        return sizeof(OPCITEMRESULT);
    case WireType::ItemState:
        return sizeof(OPCITEMSTATE);
    case WireType::ItemAttributes:
        return sizeof(OPCITEMATTRIBUTES);
    case WireType::ServerStatus:
        return sizeof(OPCSERVERSTATUS);
    case WireType::ConnectData:
        return sizeof(CONNECTDATA);
    }
    return 0;
}

const char* signatureOf(WireType t)
{
    switch (t) {
    case WireType::U32:
        return "u";
    case WireType::I32:
        return "i";
    case WireType::U16:
        return "q";
    case WireType::F32:
        return "d";
    case WireType::Str:
    case WireType::Iid:
        return "s";
    case WireType::FileTime:
        return "t";
    case WireType::Variant:
        return "(qv)";
    case WireType::Itf:
        return "(sot)";
    case WireType::ItemDef:
        return "(ssiuayqq)";
    case WireType::ItemResult:
        return "(uqquay)";
    case WireType::ItemState:
        return "(utqq(qv))";
    case WireType::ItemAttributes:
        return "(ssiuuuayqqi(qv))";
    case WireType::ServerStatus:
        return "(tttiuuqqqqs)";
    case WireType::ConnectData:
        return "((sot)u)";
    }
    return "";
}

bool isBasic(WireType t)
{
    switch (t) {
    case WireType::U32:
    case WireType::I32:
    case WireType::U16:
    case WireType::F32:
    case WireType::Str:
    case WireType::Iid:
    case WireType::FileTime:
        return true;
    default:
        return false;
    }
}

HRESULT encode(QDBusArgument& a, WireType t, const void* e, WireContext& ctx)
{
    switch (t) {
    case WireType::U32:
        a << uint(as<std::uint32_t>(e));
        return S_OK;
    case WireType::I32:
        a << int(as<std::int32_t>(e));
        return S_OK;
    case WireType::U16:
        a << ushort(as<std::uint16_t>(e));
        return S_OK;
    case WireType::F32:
        a << double(as<FLOAT>(e));
        return S_OK;
    case WireType::Str:
        a << fromWide(as<const OLECHAR*>(e));
        return S_OK;
    case WireType::Iid:
        a << QString::fromLatin1(guidToString(as<GUID>(e)));
        return S_OK;
    case WireType::FileTime:
        a << fileTimeBits(as<FILETIME>(e));
        return S_OK;
    case WireType::Variant:
        return encodeVariant(a, as<VARIANT>(e));
    case WireType::Itf: {
        InterfaceRef ref;
        if (const HRESULT hr = refOf(as<IUnknown*>(e), ref, ctx); FAILED(hr))
            return hr;
        writeRef(a, ref);
        return S_OK;
    }
    case WireType::ItemDef: {
        const auto& d = as<OPCITEMDEF>(e);
        if (const HRESULT hr = checkBlob(d.pBlob, d.dwBlobSize); FAILED(hr))
            return hr;
        a.beginStructure();
        a << fromWide(d.szAccessPath) << fromWide(d.szItemID) << int(d.bActive) << uint(d.hClient)
          << blobBytes(d.pBlob, d.dwBlobSize) << ushort(d.vtRequestedDataType) << ushort(d.wReserved);
        a.endStructure();
        return S_OK;
    }
    case WireType::ItemResult: {
        const auto& r = as<OPCITEMRESULT>(e);
        if (const HRESULT hr = checkBlob(r.pBlob, r.dwBlobSize); FAILED(hr))
            return hr;
        a.beginStructure();
        a << uint(r.hServer) << ushort(r.vtCanonicalDataType) << ushort(r.wReserved) << uint(r.dwAccessRights)
          << blobBytes(r.pBlob, r.dwBlobSize);
        a.endStructure();
        return S_OK;
    }
    case WireType::ItemState: {
        const auto& s = as<OPCITEMSTATE>(e);
        QVariant payload;
        if (const HRESULT hr = variantPayload(s.vDataValue, payload); FAILED(hr))
            return hr;
        a.beginStructure();
        a << uint(s.hClient) << fileTimeBits(s.ftTimeStamp) << ushort(s.wQuality) << ushort(s.wReserved);
        a.beginStructure();
        a << ushort(s.vDataValue.vt) << QDBusVariant(payload);
        a.endStructure();
        a.endStructure();
        return S_OK;
    }
    case WireType::ItemAttributes: {
        const auto& r = as<OPCITEMATTRIBUTES>(e);
        QVariant payload;
        if (const HRESULT hr = variantPayload(r.vEUInfo, payload); FAILED(hr))
            return hr;
        if (const HRESULT hr = checkBlob(r.pBlob, r.dwBlobSize); FAILED(hr))
            return hr;
        a.beginStructure();
        a << fromWide(r.szAccessPath) << fromWide(r.szItemID) << int(r.bActive) << uint(r.hClient) << uint(r.hServer)
          << uint(r.dwAccessRights) << blobBytes(r.pBlob, r.dwBlobSize) << ushort(r.vtRequestedDataType)
          << ushort(r.vtCanonicalDataType) << int(r.dwEUType);
        a.beginStructure();
        a << ushort(r.vEUInfo.vt) << QDBusVariant(payload);
        a.endStructure();
        a.endStructure();
        return S_OK;
    }
    case WireType::ServerStatus: {
        const auto& s = as<OPCSERVERSTATUS>(e);
        a.beginStructure();
        a << fileTimeBits(s.ftStartTime) << fileTimeBits(s.ftCurrentTime) << fileTimeBits(s.ftLastUpdateTime)
          << int(s.dwServerState) << uint(s.dwGroupCount) << uint(s.dwBandWidth) << ushort(s.wMajorVersion)
          << ushort(s.wMinorVersion) << ushort(s.wBuildNumber) << ushort(s.wReserved) << fromWide(s.szVendorInfo);
        a.endStructure();
        return S_OK;
    }
    case WireType::ConnectData: {
        const auto& c = as<CONNECTDATA>(e);
        InterfaceRef ref;
        if (const HRESULT hr = refOf(c.pUnk, ref, ctx); FAILED(hr))
            return hr;
        a.beginStructure();
        writeRef(a, ref);
        a << uint(c.dwCookie);
        a.endStructure();
        return S_OK;
    }
    }
    return E_UNEXPECTED;
}

HRESULT decode(const QDBusArgument& a, WireType t, void* e, WireContext& ctx)
{
    HRESULT hr = S_OK;
    switch (t) {
    case WireType::U32: {
        uint u = 0;
        a >> u;
        as<std::uint32_t>(e) = u;
        return S_OK;
    }
    case WireType::I32: {
        int i = 0;
        a >> i;
        as<std::int32_t>(e) = i;
        return S_OK;
    }
    case WireType::U16: {
        ushort u = 0;
        a >> u;
        as<std::uint16_t>(e) = u;
        return S_OK;
    }
    case WireType::F32: {
        double d = 0;
        a >> d;
        return floatOf(d, as<FLOAT>(e));
    }
    case WireType::Str: {
        QString s;
        a >> s;
        return toTaskString(s, as<LPWSTR>(e));
    }
    case WireType::Iid: {
        QString s;
        a >> s;
        const auto g = guidFromString(s.toStdString());
        if (!g)
            return E_INVALIDARG;
        as<GUID>(e) = *g;
        return S_OK;
    }
    case WireType::FileTime: {
        qulonglong bits = 0;
        a >> bits;
        as<FILETIME>(e) = fileTimeOf(bits);
        return S_OK;
    }
    case WireType::Variant:
        return decodeVariant(a, as<VARIANT>(e));
    case WireType::Itf:
        return pointerOf(readRef(a), *ctx.iid, static_cast<void**>(e), ctx);
    case WireType::ItemDef: {
        auto& d = as<OPCITEMDEF>(e);
        QString path, id;
        int active = 0;
        uint client = 0;
        QByteArray blob;
        ushort requested = 0, reserved = 0;
        a.beginStructure();
        a >> path >> id >> active >> client >> blob >> requested >> reserved;
        a.endStructure();
        d.bActive = active;
        d.hClient = client;
        d.vtRequestedDataType = requested;
        d.wReserved = reserved;
        if (SUCCEEDED(hr = toTaskString(path, d.szAccessPath)) && SUCCEEDED(hr = toTaskString(id, d.szItemID)))
            hr = toTaskBlob(blob, d.pBlob, d.dwBlobSize);
        break;
    }
    case WireType::ItemResult: {
        auto& r = as<OPCITEMRESULT>(e);
        uint server = 0, rights = 0;
        ushort canonical = 0, reserved = 0;
        QByteArray blob;
        a.beginStructure();
        a >> server >> canonical >> reserved >> rights >> blob;
        a.endStructure();
        r.hServer = server;
        r.vtCanonicalDataType = canonical;
        r.wReserved = reserved;
        r.dwAccessRights = rights;
        hr = toTaskBlob(blob, r.pBlob, r.dwBlobSize);
        break;
    }
    case WireType::ItemState: {
        auto& s = as<OPCITEMSTATE>(e);
        uint client = 0;
        qulonglong time = 0;
        ushort quality = 0, reserved = 0;
        a.beginStructure();
        a >> client >> time >> quality >> reserved;
        hr = decodeVariant(a, s.vDataValue);
        a.endStructure();
        s.hClient = client;
        s.ftTimeStamp = fileTimeOf(time);
        s.wQuality = quality;
        s.wReserved = reserved;
        break;
    }
    case WireType::ItemAttributes: {
        auto& r = as<OPCITEMATTRIBUTES>(e);
        QString path, id;
        int active = 0, euType = 0;
        uint client = 0, server = 0, rights = 0;
        QByteArray blob;
        ushort requested = 0, canonical = 0;
        a.beginStructure();
        a >> path >> id >> active >> client >> server >> rights >> blob >> requested >> canonical >> euType;
        const HRESULT vhr = decodeVariant(a, r.vEUInfo);
        a.endStructure();
        r.bActive = active;
        r.hClient = client;
        r.hServer = server;
        r.dwAccessRights = rights;
        r.vtRequestedDataType = requested;
        r.vtCanonicalDataType = canonical;
        r.dwEUType = static_cast<OPCEUTYPE>(euType);
        hr = vhr;
        if (SUCCEEDED(hr) && SUCCEEDED(hr = toTaskString(path, r.szAccessPath)) && SUCCEEDED(hr = toTaskString(id, r.szItemID)))
            hr = toTaskBlob(blob, r.pBlob, r.dwBlobSize);
        break;
    }
    case WireType::ServerStatus: {
        auto& s = as<OPCSERVERSTATUS>(e);
        qulonglong start = 0, current = 0, last = 0;
        int state = 0;
        uint groups = 0, bandwidth = 0;
        ushort major = 0, minor = 0, build = 0, reserved = 0;
        QString vendor;
        a.beginStructure();
        a >> start >> current >> last >> state >> groups >> bandwidth >> major >> minor >> build >> reserved >> vendor;
        a.endStructure();
        s.ftStartTime = fileTimeOf(start);
        s.ftCurrentTime = fileTimeOf(current);
        s.ftLastUpdateTime = fileTimeOf(last);
        s.dwServerState = static_cast<OPCSERVERSTATE>(state);
        s.dwGroupCount = groups;
        s.dwBandWidth = bandwidth;
        s.wMajorVersion = major;
        s.wMinorVersion = minor;
        s.wBuildNumber = build;
        s.wReserved = reserved;
        hr = toTaskString(vendor, s.szVendorInfo);
        break;
    }
    case WireType::ConnectData: {
        auto& c = as<CONNECTDATA>(e);
        uint cookie = 0;
        a.beginStructure();
        const InterfaceRef ref = readRef(a);
        a >> cookie;
        a.endStructure();
        c.dwCookie = cookie;
        const IID* iid = ctx.iid;
        ctx.iid = &IID_IUnknown;
        hr = pointerOf(ref, IID_IUnknown, reinterpret_cast<void**>(&c.pUnk), ctx);
        ctx.iid = iid;
        break;
    }
    }
    if (FAILED(hr))
        release(t, e);
    return hr;
}

void release(WireType t, void* e)
{
    switch (t) {
    case WireType::Str:
        CoTaskMemFree(as<LPWSTR>(e));
        break;
    case WireType::Variant:
        VariantClear(&as<VARIANT>(e));
        break;
    case WireType::Itf:
        if (IUnknown* p = as<IUnknown*>(e))
            p->Release();
        break;
    case WireType::ItemDef: {
        auto& d = as<OPCITEMDEF>(e);
        CoTaskMemFree(d.szAccessPath);
        CoTaskMemFree(d.szItemID);
        CoTaskMemFree(d.pBlob);
        break;
    }
    case WireType::ItemResult: {
        // A blob of size 0 is not the callee's to hand over (the server passes a client's pointer back).
        auto& r = as<OPCITEMRESULT>(e);
        if (r.dwBlobSize > 0)
            CoTaskMemFree(r.pBlob);
        break;
    }
    case WireType::ItemState:
        VariantClear(&as<OPCITEMSTATE>(e).vDataValue);
        break;
    case WireType::ItemAttributes: {
        auto& r = as<OPCITEMATTRIBUTES>(e);
        CoTaskMemFree(r.szAccessPath);
        CoTaskMemFree(r.szItemID);
        if (r.dwBlobSize > 0)
            CoTaskMemFree(r.pBlob);
        VariantClear(&r.vEUInfo);
        break;
    }
    case WireType::ServerStatus:
        CoTaskMemFree(as<OPCSERVERSTATUS>(e).szVendorInfo);
        break;
    case WireType::ConnectData:
        if (IUnknown* p = as<CONNECTDATA>(e).pUnk)
            p->Release();
        break;
    default:
        break;
    }
    std::memset(e, 0, elementSize(t));
}

void releaseArray(WireType t, void* first, std::size_t count)
{
    const std::size_t size = elementSize(t);
    for (std::size_t i = 0; i < count; ++i)
        release(t, static_cast<std::byte*>(first) + i * size);
}

HRESULT encodeArg(QVariantList& args, WireType t, const void* e, WireContext& ctx)
{
    switch (t) {
    case WireType::U32:
        args << QVariant::fromValue(uint(as<std::uint32_t>(e)));
        return S_OK;
    case WireType::I32:
        args << QVariant::fromValue(int(as<std::int32_t>(e)));
        return S_OK;
    case WireType::U16:
        args << QVariant::fromValue(ushort(as<std::uint16_t>(e)));
        return S_OK;
    case WireType::F32:
        args << QVariant::fromValue(double(as<FLOAT>(e)));
        return S_OK;
    case WireType::Str:
        args << QVariant::fromValue(fromWide(as<const OLECHAR*>(e)));
        return S_OK;
    case WireType::Iid:
        args << QVariant::fromValue(QString::fromLatin1(guidToString(as<GUID>(e))));
        return S_OK;
    case WireType::FileTime:
        args << QVariant::fromValue(fileTimeBits(as<FILETIME>(e)));
        return S_OK;
    default: {
        QDBusArgument a;
        if (const HRESULT hr = encode(a, t, e, ctx); FAILED(hr))
            return hr;
        args << QVariant::fromValue(a);
        return S_OK;
    }
    }
}

HRESULT decodeArg(const QVariant& arg, WireType t, void* e, WireContext& ctx)
{
    switch (t) {
    case WireType::U32:
        as<std::uint32_t>(e) = arg.value<uint>();
        return S_OK;
    case WireType::I32:
        as<std::int32_t>(e) = arg.value<int>();
        return S_OK;
    case WireType::U16:
        as<std::uint16_t>(e) = arg.value<ushort>();
        return S_OK;
    case WireType::F32:
        return floatOf(arg.value<double>(), as<FLOAT>(e));
    case WireType::Str:
        return toTaskString(arg.value<QString>(), as<LPWSTR>(e));
    case WireType::Iid: {
        const auto g = guidFromString(arg.value<QString>().toStdString());
        if (!g)
            return E_INVALIDARG;
        as<GUID>(e) = *g;
        return S_OK;
    }
    case WireType::FileTime:
        as<FILETIME>(e) = fileTimeOf(arg.value<qulonglong>());
        return S_OK;
    default:
        if (arg.metaType() != QMetaType::fromType<QDBusArgument>())
            return E_INVALIDARG;
        return decode(arg.value<QDBusArgument>(), t, e, ctx);
    }
}

HRESULT encodeArrayArg(QVariantList& args, WireType t, const void* first, std::size_t count, WireContext& ctx)
{
    registerWireTypes();
    const std::size_t size = elementSize(t);
    if (t == WireType::Str || t == WireType::Iid) {
        QStringList list;
        list.reserve(static_cast<qsizetype>(count));
        for (std::size_t i = 0; i < count; ++i) {
            const void* e = static_cast<const std::byte*>(first) + i * size;
            list << (t == WireType::Str ? fromWide(as<const OLECHAR*>(e)) : QString::fromLatin1(guidToString(as<GUID>(e))));
        }
        args << QVariant::fromValue(list);
        return S_OK;
    }
    QVariant deferred = lazyArray(t, first, count);
    if (deferred.isValid()) {
        for (std::size_t i = 0; i < count; ++i)
            if (const HRESULT hr = checkElement(t, static_cast<const std::byte*>(first) + i * size); FAILED(hr))
                return hr;
        args << std::move(deferred);
        return S_OK;
    }
    QDBusArgument a;
    a.beginArray(elementMetaType(t));
    HRESULT hr = S_OK;
    alignas(16) std::byte zero[sizeof(OPCITEMATTRIBUTES)] = {};
    for (std::size_t i = 0; i < count; ++i) {
        const HRESULT one = encode(a, t, static_cast<const std::byte*>(first) + i * size, ctx);
        if (FAILED(one)) {
            // Keeps the array well formed; the message is dropped anyway.
            if (SUCCEEDED(hr))
                hr = one;
            WireContext none;
            encode(a, t, zero, none);
        }
    }
    a.endArray();
    if (FAILED(hr))
        return hr;
    args << QVariant::fromValue(a);
    return S_OK;
}

HRESULT decodeArrayArg(const QVariant& arg, WireType t, std::size_t maxCount, std::vector<std::byte>& out, std::size_t& count,
                       WireContext& ctx)
{
    const std::size_t size = elementSize(t);
    const std::size_t before = out.size();
    count = 0;
    HRESULT hr = S_OK;
    auto next = [&]() -> void* {
        if (count >= maxCount) {
            hr = E_INVALIDARG;
            return nullptr;
        }
        out.resize(out.size() + size);
        return out.data() + before + count * size;
    };
    if (arg.metaType() == QMetaType::fromType<QStringList>()) {
        // Qt hands a top-level "as" over as a string list.
        const QStringList list = arg.value<QStringList>();
        for (const QString& s : list) {
            void* e = next();
            if (!e)
                break;
            if (t == WireType::Str)
                hr = toTaskString(s, as<LPWSTR>(e));
            else if (t == WireType::Iid) {
                const auto g = guidFromString(s.toStdString());
                hr = g ? S_OK : E_INVALIDARG;
                if (g)
                    as<GUID>(e) = *g;
            } else {
                hr = E_INVALIDARG;
            }
            if (FAILED(hr))
                break;
            ++count;
        }
    } else if (arg.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument a = arg.value<QDBusArgument>();
        a.beginArray();
        while (!a.atEnd()) {
            void* e = next();
            if (!e)
                break;
            hr = decode(a, t, e, ctx);
            if (FAILED(hr))
                break;
            ++count;
        }
        // Closed in any case: Qt frees what it opened for the array only there.
        a.endArray();
    } else {
        hr = E_INVALIDARG;
    }
    if (FAILED(hr)) {
        releaseArray(t, out.data() + before, count);
        out.resize(before);
        count = 0;
    }
    return hr;
}

}  // namespace com::bus

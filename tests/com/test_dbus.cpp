// The COM layer between processes: two bus connections in this test program stand for a
// server process and a client process (a connection calling itself would not go through the
// bus), a third, hand-written one for a client that sends what it likes.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "alloc_balance.h"
#include "platform/com/connpoint.h"
#include "platform/com/dbus_names.h"
#include "platform/com/dbus_transport.h"
#include "platform/com/enums.h"
#include "platform/com/opcda.h"
#include "platform/com/persist.h"
#include "platform/com/registry.h"
#include "platform/com/runtime.h"
#include "platform/com/safearray.h"
#include "test_dbus_bus.h"

namespace {

using comtest::RawPeer;
using comtest::RawVariant;
using comtest::Ref;
using comtest::refArg;

constexpr CLSID CLSID_BusWidget = {0x7B2D4E61, 0x3C1A, 0x4F5B, {0x8D, 0x60, 0x1E, 0x8F, 0x55, 0x3B, 0xA2, 0x4C}};

// --- the server's object: a file name, a store of values, names to browse, and a point where
// shutdown sinks connect

class BusWidget : public com::ComObject<IPersistFile, IOPCSyncIO, IOPCBrowseServerAddressSpace, com::ConnectionPointContainer> {
public:
    static inline int alive = 0;

    BusWidget() : shutdown_(addConnectionPoint(IID_IOPCShutdown, com::ConnectionLimit::multiple)) { ++alive; }
    ~BusWidget() override { --alive; }

    std::u16string file = u"plant.cfg";
    std::vector<com::Variant> store = std::vector<com::Variant>(64);
    // What Save heard from the connected sinks while it ran.
    std::vector<std::u16string> heard;

    // Each connected sink's ShutdownRequest.
    void fire(const char16_t* reason)
    {
        for (const auto& sink : shutdown_.sinks()) {
            com::ComPtr<IOPCShutdown> s;
            if (SUCCEEDED(sink.as(s)))
                s->ShutdownRequest(reason);
        }
    }

    HRESULT GetClassID(CLSID* clsid) override
    {
        if (!clsid)
            return E_POINTER;
        *clsid = CLSID_BusWidget;
        return S_OK;
    }
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(LPCOLESTR name, DWORD) override
    {
        if (!name)
            return E_POINTER;
        file = name;
        return S_OK;
    }
    // Asks every connected sink that is also a string enumerator for its next name: a call
    // back into the client while the client waits for this one.
    HRESULT Save(LPCOLESTR, BOOL) override
    {
        for (const auto& sink : shutdown_.sinks()) {
            com::ComPtr<IEnumString> names;
            if (FAILED(sink.as(names)))
                continue;
            LPOLESTR s = nullptr;
            const HRESULT hr = names->Next(1, &s, nullptr);
            if (hr != S_OK)
                return hr;
            heard.emplace_back(s);
            CoTaskMemFree(s);
        }
        return S_OK;
    }
    HRESULT SaveCompleted(LPCOLESTR) override { return S_OK; }
    HRESULT GetCurFile(LPOLESTR* name) override
    {
        if (!name)
            return E_POINTER;
        *name = com::taskString(file);
        return *name ? S_OK : E_OUTOFMEMORY;
    }

    // Read and Write keep values by handle, 0..63.
    HRESULT Read(OPCDATASOURCE, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states, HRESULT** errors) override
    {
        if (!states || !errors)
            return E_POINTER;
        *states = nullptr;
        *errors = nullptr;
        if (count == 0 || !handles)
            return E_INVALIDARG;
        auto* s = static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(count * sizeof(OPCITEMSTATE)));
        auto* e = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
        if (!s || !e) {
            CoTaskMemFree(s);
            CoTaskMemFree(e);
            return E_OUTOFMEMORY;
        }
        std::memset(s, 0, count * sizeof(OPCITEMSTATE));
        HRESULT result = S_OK;
        for (DWORD i = 0; i < count; ++i) {
            s[i].hClient = handles[i] + 1000;
            s[i].ftTimeStamp = FILETIME{0x89ABCDEF, 0x01D2A3B4};
            s[i].wQuality = OPC_QUALITY_GOOD;
            e[i] = handles[i] < store.size() ? VariantCopy(&s[i].vDataValue, store[handles[i]].get()) : OPC_E_INVALIDHANDLE;
            if (e[i] != S_OK)
                result = S_FALSE;
            if (e[i] == E_OUTOFMEMORY) {
                for (DWORD k = 0; k < i; ++k)
                    VariantClear(&s[k].vDataValue);
                CoTaskMemFree(s);
                CoTaskMemFree(e);
                return E_OUTOFMEMORY;
            }
        }
        *states = s;
        *errors = e;
        return result;
    }
    HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override
    {
        if (!errors)
            return E_POINTER;
        *errors = nullptr;
        if (count == 0 || !handles || !values)
            return E_INVALIDARG;
        auto* e = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
        if (!e)
            return E_OUTOFMEMORY;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < count; ++i) {
            e[i] = handles[i] < store.size() ? VariantCopy(store[handles[i]].get(), &values[i]) : OPC_E_INVALIDHANDLE;
            if (e[i] != S_OK)
                result = S_FALSE;
        }
        *errors = e;
        return result;
    }

    HRESULT QueryOrganization(OPCNAMESPACETYPE* type) override
    {
        *type = OPC_NS_FLAT;
        return S_OK;
    }
    HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD, IEnumString** e) override
    {
        if (!e)
            return E_POINTER;
        *e = com::makeCom<com::StringEnumerator>(std::vector<std::u16string>{u"a", u"b", u"c", u"d", u"e"}).detach();
        return S_OK;
    }
    HRESULT GetItemID(LPWSTR, LPWSTR*) override { return E_NOTIMPL; }
    HRESULT BrowseAccessPaths(LPCWSTR, IEnumString**) override { return E_NOTIMPL; }

protected:
    void* queryBase(REFIID riid) override { return riid == IID_IPersist ? static_cast<IPersist*>(this) : nullptr; }

private:
    com::ConnectionPoint& shutdown_;
};

// Makes widgets and remembers them (not owned), so that a test can act as the server.
class WidgetFactory : public com::ComObject<IClassFactory> {
public:
    WidgetFactory() : ComObject(com::notCounted) {}
    std::vector<BusWidget*> made;
    int locks = 0;

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto widget = com::makeCom<BusWidget>();
        made.push_back(widget.get());
        return widget->QueryInterface(riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override
    {
        locks += lock ? 1 : -1;
        return S_OK;
    }
};

// --- the client's sink: shutdown requests, and names for Save to ask for

class Sink : public com::ComObject<IOPCShutdown, IEnumString> {
public:
    static inline int alive = 0;
    Sink() { ++alive; }
    ~Sink() override { --alive; }
    std::vector<std::u16string> reasons;
    int nextCalls = 0;

    HRESULT ShutdownRequest(LPCWSTR reason) override
    {
        reasons.emplace_back(reason ? reason : u"(null)");
        return S_OK;
    }
    HRESULT Next(ULONG celt, LPOLESTR* out, ULONG* fetched) override
    {
        ++nextCalls;
        if (celt != 1 || fetched)
            return E_INVALIDARG;
        out[0] = com::taskString(u"from the client");
        return S_OK;
    }
    HRESULT Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT Reset() override { return E_NOTIMPL; }
    HRESULT Clone(IEnumString**) override { return E_NOTIMPL; }
};

// --- fixture: a server and a client transport on the test program's bus

class BusTransport : public comtest::TaskAllocBalance {
protected:
    void SetUp() override
    {
        comtest::TaskAllocBalance::SetUp();
        if (comtest::privateBus().address().isEmpty())
            GTEST_SKIP() << "no private bus: " << comtest::privateBus().error();
        ASSERT_TRUE(SUCCEEDED(apartment_.result()));
        server = std::make_unique<com::DBusTransport>(comtest::privateBus().address());
        client = std::make_unique<com::DBusTransport>(comtest::privateBus().address());
        ASSERT_TRUE(server->connected()) << server->lastError().toStdString();
        ASSERT_TRUE(client->connected()) << client->lastError().toStdString();
        factory = com::makeCom<WidgetFactory>();
        ASSERT_EQ(server->registerClassObject(CLSID_BusWidget, factory.get()), S_OK);
        registryKey = u"CLSID\\" + com::guidToWString(CLSID_BusWidget) + u"\\LocalServer32";
        com::classesRoot().setValue(registryKey, com::kBusNameValue, plainBusName());
        com::setProcessTransport(client.get());
    }
    void TearDown() override
    {
        com::setProcessTransport(nullptr);
        if (server) {
            com::classesRoot().deleteTree(u"CLSID\\" + com::guidToWString(CLSID_BusWidget));
            client.reset();
            server.reset();
            factory = nullptr;
            EXPECT_EQ(BusWidget::alive, 0) << "a server object outlived its clients";
            EXPECT_EQ(Sink::alive, 0) << "a client sink outlived the server's references";
        }
        comtest::TaskAllocBalance::TearDown();
    }

    static std::u16string plainBusName()
    {
        const std::string n = com::busNameForClass(CLSID_BusWidget);
        return std::u16string(n.begin(), n.end());
    }
    QString busName() const { return QString::fromStdString(com::busNameForClass(CLSID_BusWidget)); }

    template <class I>
    com::ComPtr<I> create()
    {
        com::ComPtr<I> p;
        EXPECT_EQ(CoCreateInstance(CLSID_BusWidget, nullptr, CLSCTX_LOCAL_SERVER, uuidof<I>(), p.putVoid()), S_OK);
        return p;
    }
    com::ApartmentScope apartment_;
    std::unique_ptr<com::DBusTransport> server;
    std::unique_ptr<com::DBusTransport> client;
    com::ComPtr<WidgetFactory> factory;
    std::u16string registryKey;
};

TEST(DBusNames, BusNameAndObjectPathOfAClass)
{
    constexpr CLSID clsid = {0x499F44E9, 0xF6DA, 0x49C7, {0xAF, 0x70, 0x68, 0x8F, 0x79, 0x46, 0x03, 0xCE}};
    EXPECT_EQ(com::busNameForClass(clsid), "org.vorn.Com.C499F44E9F6DA49C7AF70688F794603CE");
    EXPECT_EQ(com::classObjectPath(clsid), "/class/499F44E9F6DA49C7AF70688F794603CE");
}

// --- activation

TEST_F(BusTransport, CreateInstanceReachesTheServerThroughTheRegisteredBusName)
{
    auto file = create<IPersistFile>();
    ASSERT_TRUE(file);
    EXPECT_EQ(BusWidget::alive, 1);
    LPOLESTR name = nullptr;
    ASSERT_EQ(file->GetCurFile(&name), S_OK);
    EXPECT_EQ(std::u16string(name), u"plant.cfg");
    CoTaskMemFree(name);
    ASSERT_EQ(file->Load(u"other.cfg", 0), S_OK);
    CLSID clsid{};
    ASSERT_EQ(file->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_BusWidget);

    // The last release reaches the server, whose object goes.
    file = nullptr;
    EXPECT_TRUE(comtest::waitFor([&] { return BusWidget::alive == 0; }));
    EXPECT_EQ(server->exportedObjects(), 0u);
    EXPECT_EQ(client->proxyCount(), 0u);
}

TEST_F(BusTransport, ActivationFailures)
{
    constexpr CLSID unknownClass = {0x7B2D4E62, 0x3C1A, 0x4F5B, {0x8D, 0x60, 0x1E, 0x8F, 0x55, 0x3B, 0xA2, 0x4C}};
    const std::u16string key = u"CLSID\\" + com::guidToWString(unknownClass) + u"\\LocalServer32";
    com::ComPtr<IUnknown> p;
    // No bus name in the registration: not a class of another program.
    EXPECT_EQ(CoCreateInstance(unknownClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, p.putVoid()), REGDB_E_CLASSNOTREG);
    // A bus name nobody owns and no service file starts: the server cannot be started.
    const std::string name = com::busNameForClass(unknownClass);
    com::classesRoot().setValue(key, com::kBusNameValue, std::u16string(name.begin(), name.end()));
    EXPECT_EQ(CoCreateInstance(unknownClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, p.putVoid()), CO_E_SERVER_EXEC_FAILURE);
    // A service file whose program fails.
    const QString dir = comtest::privateBus().serviceDir();
    if (!dir.isEmpty()) {
        QFile service(dir + QLatin1Char('/') + QString::fromStdString(name) + QStringLiteral(".service"));
        ASSERT_TRUE(service.open(QIODevice::WriteOnly));
        service.write(QStringLiteral("[D-BUS Service]\nName=%1\nExec=/bin/false -Embedding\n").arg(QString::fromStdString(name)).toUtf8());
        service.close();
        EXPECT_EQ(CoCreateInstance(unknownClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, p.putVoid()), CO_E_SERVER_EXEC_FAILURE);
        service.remove();
    }
    // The in-process context never goes over the bus.
    EXPECT_EQ(CoCreateInstance(CLSID_BusWidget, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, p.putVoid()), REGDB_E_CLASSNOTREG);
    com::classesRoot().deleteTree(u"CLSID\\" + com::guidToWString(unknownClass));
    EXPECT_FALSE(p);
}

TEST_F(BusTransport, AClassRegisteredInThisProcessResolvesHere)
{
    DWORD cookie = 0;
    auto local = com::makeCom<com::ClassFactory<BusWidget>>();
    ASSERT_EQ(CoRegisterClassObject(CLSID_BusWidget, local.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    {
        auto file = create<IPersistFile>();
        ASSERT_TRUE(file);
        // The object itself, not a proxy: the client transport holds none.
        EXPECT_EQ(client->proxyCount(), 0u);
        EXPECT_EQ(server->exportedObjects(), 0u);
    }
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

// --- identity and references

TEST_F(BusTransport, QueryInterfaceAnswersFromTheExportAndKeepsTheIdentity)
{
    auto file = create<IPersistFile>();
    ASSERT_TRUE(file);
    com::ComPtr<IUnknown> a, b;
    ASSERT_EQ(file->QueryInterface(IID_IUnknown, a.putVoid()), S_OK);
    com::ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(file.as(sync), S_OK);
    ASSERT_EQ(sync->QueryInterface(IID_IUnknown, b.putVoid()), S_OK);
    EXPECT_EQ(a.get(), b.get());
    com::ComPtr<IPersist> persist;
    EXPECT_EQ(file.as(persist), S_OK);
    // What the object does not offer, and what no table describes.
    com::ComPtr<IOPCServer> none;
    EXPECT_EQ(file.as(none), E_NOINTERFACE);
    com::ComPtr<IDispatch> dispatch;
    EXPECT_EQ(file.as(dispatch), E_NOINTERFACE);

    // The container comes back from its own connection point as the same proxy.
    com::ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(file.as(cpc), S_OK);
    com::ComPtr<IConnectionPoint> point, again;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, again.put()), S_OK);
    EXPECT_EQ(point.get(), again.get());
    com::ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(point->GetConnectionPointContainer(back.put()), S_OK);
    com::ComPtr<IUnknown> backUnknown;
    ASSERT_EQ(back.as(backUnknown), S_OK);
    EXPECT_EQ(backUnknown.get(), a.get());
    IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, IID_IOPCShutdown);
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, nullptr), E_POINTER);

    // Two objects, the widget and its point, each handed out twice: the client's proxy of each
    // keeps both references and gives them back together.
    EXPECT_EQ(server->exportedObjects(), 2u);
    EXPECT_EQ(server->referencesHeldBy(client->uniqueName()), 4u);
    point = again = nullptr;
    back = nullptr;
    backUnknown = nullptr;
    EXPECT_TRUE(comtest::waitFor([&] { return server->exportedObjects() == 1; }));
    file = nullptr;
    sync = nullptr;
    persist = nullptr;
    cpc = nullptr;
    a = b = nullptr;
    EXPECT_TRUE(comtest::waitFor([&] { return BusWidget::alive == 0; }));
}

TEST_F(BusTransport, AClientLeavingTheBusReleasesEverythingItHeld)
{
    auto file = create<IPersistFile>();
    com::ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(file.as(cpc), S_OK);
    com::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
    ASSERT_GT(server->referencesHeldBy(client->uniqueName()), 0u);
    const QString gone = client->uniqueName();

    client.reset();  // the client process ends without releasing
    EXPECT_TRUE(comtest::waitFor([&] { return BusWidget::alive == 0; }));
    EXPECT_EQ(server->referencesHeldBy(gone), 0u);
    EXPECT_EQ(server->exportedObjects(), 0u);
    // What the client still holds fails cleanly.
    LPOLESTR name = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(file->GetCurFile(&name), RPC_E_DISCONNECTED);
    EXPECT_EQ(name, nullptr);
}

TEST_F(BusTransport, CoDisconnectObjectCutsTheClientsOff)
{
    auto file = create<IPersistFile>();
    ASSERT_EQ(factory->made.size(), 1u);
    ASSERT_EQ(CoDisconnectObject(factory->made[0]->unknown(), 0), S_OK);
    // The server held the only reference.
    EXPECT_EQ(BusWidget::alive, 0);
    EXPECT_TRUE(comtest::waitFor([&] { return server->exportedObjects() == 0; }));
    LPOLESTR name = nullptr;
    EXPECT_EQ(file->GetCurFile(&name), RPC_E_DISCONNECTED);
    file = nullptr;  // its release goes to a path that is no more
    EXPECT_TRUE(comtest::waitFor([&] { return client->proxyCount() == 0; }));
}

TEST_F(BusTransport, ClassObjectLocksOfAClientEndWithIt)
{
    com::ComPtr<IClassFactory> cf;
    ASSERT_EQ(CoGetClassObject(CLSID_BusWidget, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, cf.putVoid()), S_OK);
    ASSERT_EQ(cf->LockServer(TRUE), S_OK);
    ASSERT_EQ(cf->LockServer(TRUE), S_OK);
    ASSERT_EQ(cf->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->locks, 1);
    com::ComPtr<IUnknown> outer;
    ASSERT_EQ(cf.as(outer), S_OK);
    com::ComPtr<IUnknown> p;
    EXPECT_EQ(cf->CreateInstance(outer.get(), IID_IUnknown, p.putVoid()), CLASS_E_NOAGGREGATION);

    // Another process cannot undo this client's lock.
    RawPeer raw(comtest::privateBus().address());
    const QDBusMessage got = raw.call(busName(), QString::fromStdString(com::classObjectPath(CLSID_BusWidget)), QStringLiteral("IUnknown"),
                                      QStringLiteral("GetClassObject"),
                                      {QString::fromStdString(com::guidToString(IID_IClassFactory))});
    ASSERT_EQ(RawPeer::result(got), S_OK);
    const Ref f = RawPeer::ref(got, 1);
    EXPECT_EQ(RawPeer::result(raw.call(f.owner, f.path, QStringLiteral("IClassFactory"), QStringLiteral("LockServer"),
                                       {QVariant::fromValue(uint(0)), QVariant::fromValue(int(FALSE))})),
              S_OK);
    EXPECT_EQ(factory->locks, 1);

    client.reset();  // leaves with its lock held
    EXPECT_TRUE(comtest::waitFor([&] { return factory->locks == 0; }));
    cf = nullptr;
    outer = nullptr;
}

// --- values

struct VariantCase {
    const char* name;
    std::function<void(com::Variant&)> make;
};

SAFEARRAY* safeArray(VARTYPE vt, LONG lbound, std::initializer_list<const void*> values, std::size_t size)
{
    SAFEARRAY* psa = SafeArrayCreateVector(vt, lbound, static_cast<ULONG>(values.size()));
    std::size_t i = 0;
    for (const void* v : values)
        std::memcpy(static_cast<std::byte*>(psa->pvData) + size * i++, v, size);
    return psa;
}

bool sameVariant(const VARIANT& a, const VARIANT& b);

bool sameArray(VARTYPE vt, SAFEARRAY* a, SAFEARRAY* b)
{
    if (!a || !b || a->rgsabound[0].cElements != b->rgsabound[0].cElements || a->rgsabound[0].lLbound != b->rgsabound[0].lLbound ||
        a->cbElements != b->cbElements)
        return false;
    for (ULONG i = 0; i < a->rgsabound[0].cElements; ++i) {
        const void* x = static_cast<const std::byte*>(a->pvData) + i * a->cbElements;
        const void* y = static_cast<const std::byte*>(b->pvData) + i * b->cbElements;
        if (vt == VT_BSTR) {
            if (com::Bstr::copyOf(*static_cast<const BSTR*>(x)) != com::Bstr::copyOf(*static_cast<const BSTR*>(y)))
                return false;
        } else if (vt == VT_VARIANT) {
            if (!sameVariant(*static_cast<const VARIANT*>(x), *static_cast<const VARIANT*>(y)))
                return false;
        } else if (std::memcmp(x, y, a->cbElements) != 0) {
            return false;
        }
    }
    return true;
}

bool sameVariant(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt)
        return false;
    if (a.vt & VT_ARRAY)
        return sameArray(a.vt & VT_TYPEMASK, a.parray, b.parray);
    if (a.vt == VT_BSTR)
        return com::Bstr::copyOf(a.bstrVal) == com::Bstr::copyOf(b.bstrVal);
    if (a.vt == VT_DECIMAL)
        return a.decVal.scale == b.decVal.scale && a.decVal.sign == b.decVal.sign && a.decVal.Hi32 == b.decVal.Hi32 &&
               a.decVal.Lo64 == b.decVal.Lo64;
    return std::memcmp(&a.llVal, &b.llVal, 8) == 0 || (a.vt == VT_EMPTY || a.vt == VT_NULL);
}

TEST_F(BusTransport, VariantsKeepTheirTypeAndValueBothWays)
{
    const std::vector<VariantCase> cases = {
        {"empty", [](com::Variant&) {}},
        {"null", [](com::Variant& v) { v.setNull(); }},
        {"I1", [](com::Variant& v) { v.setI1(-5); }},
        {"UI1", [](com::Variant& v) { v.setUI1(200); }},
        {"I2", [](com::Variant& v) { v.setI2(-30000); }},
        {"UI2", [](com::Variant& v) { v.setUI2(60000); }},
        {"I4", [](com::Variant& v) { v.setI4(-2000000000); }},
        {"UI4", [](com::Variant& v) { v.setUI4(4000000000u); }},
        {"INT", [](com::Variant& v) { v.setInt(-7); }},
        {"UINT", [](com::Variant& v) { v.setUInt(7); }},
        {"I8", [](com::Variant& v) { v.setI8(-9000000000000000000LL); }},
        {"UI8", [](com::Variant& v) { v.setUI8(18000000000000000000ULL); }},
        {"R4", [](com::Variant& v) { v.setR4(1.1f); }},
        {"R8", [](com::Variant& v) { v.setR8(-0.1); }},
        {"DATE", [](com::Variant& v) { v.setDate(46365.75); }},
        {"CY", [](com::Variant& v) { v.setCy(-123456789); }},
        {"ERROR", [](com::Variant& v) { v.setError(OPC_E_BADRIGHTS); }},
        {"BOOL true", [](com::Variant& v) { v.setBool(true); }},
        {"BOOL false", [](com::Variant& v) { v.setBool(false); }},
        {"BSTR", [](com::Variant& v) { v.setString(std::u16string_view(u"Grüße, Ωhm ✓")); }},
        {"empty BSTR", [](com::Variant& v) { v.setString(std::u16string_view(u"")); }},
        {"DECIMAL",
         [](com::Variant& v) {
             VARIANT* p = v.put();
             p->decVal.scale = 4;
             p->decVal.sign = DECIMAL_NEG;
             p->decVal.Hi32 = 7;
             p->decVal.Lo64 = 123456789012345ULL;
             p->vt = VT_DECIMAL;
         }},
        {"I4 array from 3",
         [](com::Variant& v) {
             const LONG a = 1, b = -2, c = 3;
             v.setArray(safeArray(VT_I4, 3, {&a, &b, &c}, 4));
         }},
        {"empty R8 array", [](com::Variant& v) { v.setArray(SafeArrayCreateVector(VT_R8, 0, 0)); }},
        {"BOOL array",
         [](com::Variant& v) {
             const VARIANT_BOOL t = VARIANT_TRUE, f = VARIANT_FALSE;
             v.setArray(safeArray(VT_BOOL, 0, {&t, &f}, 2));
         }},
        {"BSTR array",
         [](com::Variant& v) {
             SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, -1, 2);
             LONG i = -1;
             BSTR one = SysAllocString(u"one");
             SafeArrayPutElement(psa, &i, one);
             SysFreeString(one);
             v.setArray(psa);
         }},
        {"VARIANT array with an array inside",
         [](com::Variant& v) {
             SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 3);
             com::Variant a, b, c;
             a.setString(std::u16string_view(u"x"));
             b.setDate(1.5);
             const BYTE x = 1, y = 255;
             c.setArray(safeArray(VT_UI1, 0, {&x, &y}, 1));
             LONG i = 0;
             SafeArrayPutElement(psa, &i, a.get());
             i = 1;
             SafeArrayPutElement(psa, &i, b.get());
             i = 2;
             SafeArrayPutElement(psa, &i, c.get());
             v.setArray(psa);
         }},
    };
    auto file = create<IPersistFile>();
    com::ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(file.as(sync), S_OK);
    std::vector<OPCHANDLE> handles;
    std::vector<com::Variant> values(cases.size());
    std::vector<VARIANT> raw;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i].make(values[i]);
        handles.push_back(static_cast<OPCHANDLE>(i));
        raw.push_back(*values[i].get());
    }
    const auto n = static_cast<DWORD>(cases.size());
    HRESULT* errors = nullptr;
    ASSERT_EQ(sync->Write(n, handles.data(), raw.data(), &errors), S_OK);
    CoTaskMemFree(errors);

    OPCITEMSTATE* states = nullptr;
    errors = nullptr;
    ASSERT_EQ(sync->Read(OPC_DS_CACHE, n, handles.data(), &states, &errors), S_OK);
    ASSERT_NE(states, nullptr);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(sameVariant(states[i].vDataValue, *values[i].get())) << cases[i].name;
        EXPECT_EQ(states[i].hClient, handles[i] + 1000);
        EXPECT_EQ(states[i].ftTimeStamp.dwHighDateTime, 0x01D2A3B4u);
        EXPECT_EQ(states[i].ftTimeStamp.dwLowDateTime, 0x89ABCDEFu);
        EXPECT_EQ(errors[i], S_OK);
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // A handle the server does not know: its error, per item, as in-process.
    OPCHANDLE bad[] = {1, 999};
    ASSERT_EQ(sync->Read(OPC_DS_CACHE, 2, bad, &states, &errors), S_FALSE);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
}

TEST_F(BusTransport, ValuesThatCannotTravelFailBeforeAnythingIsSent)
{
    auto file = create<IPersistFile>();
    com::ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(file.as(sync), S_OK);
    OPCHANDLE handle = 0;
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    com::Variant unknown;
    unknown.setUnknown(file.get());
    EXPECT_EQ(sync->Write(1, &handle, unknown.get(), &errors), DISP_E_BADVARTYPE);
    EXPECT_EQ(errors, nullptr);
    VARIANT byRef{};
    LONG target = 5;
    byRef.vt = VT_I4 | VT_BYREF;
    byRef.plVal = &target;
    EXPECT_EQ(sync->Write(1, &handle, &byRef, &errors), DISP_E_BADVARTYPE);
    // Counts beyond what the transport carries are refused before the caller's array is read.
    EXPECT_EQ(sync->Write(0xFFFFFFFF, &handle, &byRef, &errors), E_INVALIDARG);
    // Null pointers reach the server as null, which gives its own answer.
    EXPECT_EQ(sync->Write(1, nullptr, nullptr, &errors), E_INVALIDARG);
    com::Variant four;
    four.setI4(4);
    EXPECT_EQ(sync->Write(1, &handle, four.get(), nullptr), E_POINTER);
}

// --- enumerators, connection points and calls back

TEST_F(BusTransport, StringEnumeratorOverTheBus)
{
    auto file = create<IPersistFile>();
    com::ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(file.as(browse), S_OK);
    com::ComPtr<IEnumString> e;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, u"", VT_EMPTY, 0, e.put()), S_OK);
    ASSERT_TRUE(e);
    auto next = [&](IEnumString* en, ULONG celt, HRESULT want) {
        std::vector<LPOLESTR> out(celt + 1, nullptr);
        ULONG fetched = 99;
        EXPECT_EQ(en->Next(celt, out.data(), &fetched), want);
        std::u16string joined;
        for (ULONG i = 0; i < fetched && i < celt; ++i) {
            joined += out[i];
            CoTaskMemFree(out[i]);
        }
        EXPECT_EQ(out[celt], nullptr);
        return joined;
    };
    EXPECT_EQ(next(e.get(), 2, S_OK), u"ab");
    com::ComPtr<IEnumString> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);
    EXPECT_EQ(next(e.get(), 10, S_FALSE), u"de");
    EXPECT_EQ(next(clone.get(), 1, S_OK), u"c");
    EXPECT_EQ(e->Reset(), S_OK);
    LPOLESTR one = nullptr;
    EXPECT_EQ(e->Next(1, &one, nullptr), S_OK);
    EXPECT_EQ(std::u16string(one), u"a");
    CoTaskMemFree(one);
    LPOLESTR two[2] = {};
    EXPECT_EQ(e->Next(2, two, nullptr), E_INVALIDARG);
    EXPECT_EQ(e->Next(0xFFFFFFFF, two, reinterpret_cast<ULONG*>(&one)), E_INVALIDARG);
}

TEST_F(BusTransport, SinksConnectFromTheClientAndCallbacksReachIt)
{
    auto file = create<IPersistFile>();
    com::ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(file.as(cpc), S_OK);
    com::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
    auto sink = com::makeCom<Sink>();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink->unknown(), &cookie), S_OK);
    EXPECT_EQ(client->exportedObjects(), 1u);

    {
        com::ComPtr<IEnumConnections> e;
        ASSERT_EQ(point->EnumConnections(e.put()), S_OK);
        CONNECTDATA cd[2] = {};
        ULONG fetched = 0;
        ASSERT_EQ(e->Next(2, cd, &fetched), S_FALSE);
        ASSERT_EQ(fetched, 1u);
        EXPECT_EQ(cd[0].dwCookie, cookie);
        // Our own sink comes back as itself, not as a proxy of a proxy.
        com::ComPtr<IUnknown> mine;
        sink.as(mine);
        EXPECT_EQ(cd[0].pUnk, mine.get());
        cd[0].pUnk->Release();
    }
    // The server's call reaches the client's own object.
    ASSERT_EQ(factory->made.size(), 1u);
    factory->made[0]->fire(u"closing");
    EXPECT_TRUE(comtest::waitFor([&] { return sink->reasons.size() == 1; }));
    EXPECT_EQ(sink->reasons[0], u"closing");

    // Calls back while the client waits: Save asks the sink for a name.
    ASSERT_EQ(file->Save(nullptr, FALSE), S_OK);
    EXPECT_EQ(sink->nextCalls, 1);

    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_TRUE(comtest::waitFor([&] { return client->exportedObjects() == 0; }));
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

// --- a hand-written client: callbacks it does not answer, calls that are malformed

// What the raw peer holds after connecting like a client: the factory, a widget, its shutdown
// point, a string enumerator.
struct RawSession {
    Ref factory, widget, point, names;
};

RawSession connectRaw(RawPeer& raw, const QString& busName)
{
    RawSession s;
    const QDBusMessage got = raw.call(busName, QString::fromStdString(com::classObjectPath(CLSID_BusWidget)), QStringLiteral("IUnknown"),
                                      QStringLiteral("GetClassObject"), {QString::fromStdString(com::guidToString(IID_IClassFactory))});
    EXPECT_EQ(RawPeer::result(got), S_OK);
    s.factory = RawPeer::ref(got, 1);
    const QDBusMessage made = raw.call(s.factory.owner, s.factory.path, QStringLiteral("IClassFactory"), QStringLiteral("CreateInstance"),
                                       {QVariant::fromValue(uint(1)), refArg(QString(), QStringLiteral("/"), 0),
                                        QString::fromStdString(com::guidToString(IID_IConnectionPointContainer))});
    EXPECT_EQ(RawPeer::result(made), S_OK);
    s.widget = RawPeer::ref(made, 2);
    const QDBusMessage point =
        raw.call(s.widget.owner, s.widget.path, QStringLiteral("IConnectionPointContainer"), QStringLiteral("FindConnectionPoint"),
                 {QVariant::fromValue(uint(0)), QString::fromStdString(com::guidToString(IID_IOPCShutdown))});
    EXPECT_EQ(RawPeer::result(point), S_OK);
    s.point = RawPeer::ref(point, 2);
    const QDBusMessage names =
        raw.call(s.widget.owner, s.widget.path, QStringLiteral("IOPCBrowseServerAddressSpace"), QStringLiteral("BrowseOPCItemIDs"),
                 {QVariant::fromValue(uint(0)), QVariant::fromValue(int(OPC_FLAT)), QString(), QVariant::fromValue(ushort(0)),
                  QVariant::fromValue(uint(0))});
    EXPECT_EQ(RawPeer::result(names), S_OK);
    s.names = RawPeer::ref(names, 2);
    return s;
}

// The bit of IOPCShutdown in the mask a reference carries.
constexpr qulonglong kShutdownBit = qulonglong(1) << 26;

TEST_F(BusTransport, AClientThatDoesNotAnswerCallbacksGetsNoneUntilItAnswersAgain)
{
    server->setCallbackTimeout(150);
    auto file = create<IPersistFile>();
    com::ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(file.as(cpc), S_OK);
    com::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
    auto sink = com::makeCom<Sink>();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink->unknown(), &cookie), S_OK);
    BusWidget* mine = factory->made.at(0);

    auto raw = std::make_unique<RawPeer>(comtest::privateBus().address());
    const RawSession s = connectRaw(*raw, busName());
    const QDBusMessage advised = raw->call(s.point.owner, s.point.path, QStringLiteral("IConnectionPoint"), QStringLiteral("Advise"),
                                           {QVariant::fromValue(uint(0)), refArg(raw->uniqueName(), QStringLiteral("/sink"), kShutdownBit)});
    ASSERT_EQ(RawPeer::result(advised), S_OK);
    BusWidget* its = factory->made.at(1);

    raw->answer = false;  // blocked inside its callback
    its->fire(u"one");
    EXPECT_TRUE(comtest::waitFor([&] { return server->callbacksSuspended(raw->uniqueName()); }));
    // The rest goes on: the other client still gets its callbacks.
    mine->fire(u"other");
    EXPECT_TRUE(comtest::waitFor([&] { return sink->reasons.size() == 1; }));
    its->fire(u"two");
    EXPECT_EQ(raw->count(QStringLiteral("ShutdownRequest")), 1u);

    // Once it answers again (the server asks it with a ping), callbacks resume.
    raw->answer = true;
    EXPECT_TRUE(comtest::waitFor([&] {
        its->fire(u"knock");
        return !server->callbacksSuspended(raw->uniqueName());
    }));
    EXPECT_GE(raw->count(QStringLiteral("Ping")), 1u);
    const std::size_t before = raw->count(QStringLiteral("ShutdownRequest"));
    its->fire(u"three");
    EXPECT_TRUE(comtest::waitFor([&] { return raw->count(QStringLiteral("ShutdownRequest")) > before; }));
    EXPECT_EQ(raw->received.back().arguments().value(1).toString(), QStringLiteral("three"));

    raw.reset();
    EXPECT_TRUE(comtest::waitFor([&] { return BusWidget::alive == 1; }));
    ASSERT_EQ(point->Unadvise(cookie), S_OK);
}

TEST_F(BusTransport, MalformedCallsGetTheirResultCodesAndTheServerServesOn)
{
    qDBusRegisterMetaType<RawVariant>();
    qDBusRegisterMetaType<QList<RawVariant>>();
    auto file = create<IPersistFile>();  // the well-behaved client: factory /obj/1, widget /obj/2
    ASSERT_TRUE(file);
    RawPeer raw(comtest::privateBus().address());
    const RawSession s = connectRaw(raw, busName());
    const QString foreign = QStringLiteral("/obj/2");
    ASSERT_NE(s.widget.path, foreign);
    const QString serverName = server->uniqueName();

    auto variants = [](std::vector<RawVariant> v) { return QVariant::fromValue(QList<RawVariant>(v.begin(), v.end())); };
    auto one = [&](ushort vt, QVariant value) { return variants({RawVariant{vt, QDBusVariant(value)}}); };
    auto u = [](uint v) { return QVariant::fromValue(v); };
    auto handles = [](std::initializer_list<uint> h) { return QVariant::fromValue(QList<uint>(h)); };
    struct Case {
        const char* what;
        QString path;
        const char* itf;
        const char* member;
        QVariantList args;
        HRESULT expected;
    };
    const std::vector<Case> cases = {
        {"wrong signature", s.widget.path, "IPersistFile", "Load", {u(0), QVariant::fromValue(int(5))}, E_INVALIDARG},
        {"no null mask", s.widget.path, "IPersistFile", "Load", {QStringLiteral("x"), u(0)}, E_INVALIDARG},
        {"null where a name is needed", s.widget.path, "IPersistFile", "Load", {u(1), QString(), u(0)}, E_POINTER},
        {"count below the handles", s.widget.path, "IOPCSyncIO", "Read",
         {u(0), QVariant::fromValue(int(OPC_DS_CACHE)), u(1), handles({1, 2, 3})}, E_INVALIDARG},
        {"count above the values", s.widget.path, "IOPCSyncIO", "Write",
         {u(0), u(2), handles({1, 2}), one(VT_I4, QVariant::fromValue(int(1)))}, E_INVALIDARG},
        {"a type that says I4 over a string", s.widget.path, "IOPCSyncIO", "Write",
         {u(0), u(1), handles({1}), one(VT_I4, QStringLiteral("x"))}, E_INVALIDARG},
        {"an I1 out of range", s.widget.path, "IOPCSyncIO", "Write", {u(0), u(1), handles({1}), one(VT_I1, QVariant::fromValue(short(300)))},
         E_INVALIDARG},
        {"no such VARTYPE", s.widget.path, "IOPCSyncIO", "Write", {u(0), u(1), handles({1}), one(0x77, QVariant::fromValue(int(1)))},
         E_INVALIDARG},
        {"an array without its lower bound", s.widget.path, "IOPCSyncIO", "Write",
         {u(0), u(1), handles({1}), one(VT_ARRAY | VT_I4, QVariant::fromValue(QList<int>{1, 2}))}, E_INVALIDARG},
        {"a buffer of four billion", s.names.path, "IEnumString", "Next", {u(0), u(0xFFFFFFFF)}, E_INVALIDARG},
        {"an IID that is none", s.widget.path, "IConnectionPointContainer", "FindConnectionPoint", {u(0), QStringLiteral("nonsense")},
         E_INVALIDARG},
        {"a sink of a third process", s.point.path, "IConnectionPoint", "Advise",
         {u(0), refArg(client->uniqueName(), QStringLiteral("/obj/1"), kShutdownBit)}, E_INVALIDARG},
        {"another client's object as a sink", s.point.path, "IConnectionPoint", "Advise",
         {u(0), refArg(serverName, foreign, kShutdownBit)}, E_INVALIDARG},
        {"no such method", s.widget.path, "IPersistFile", "Explode", {u(0)}, RPC_E_INVALIDMETHOD},
        {"no such interface", s.widget.path, "INothing", "Load", {u(0)}, E_NOINTERFACE},
        {"an interface the object lacks", s.widget.path, "IOPCServer", "GetStatus", {u(0)}, E_NOINTERFACE},
        {"no such object", QStringLiteral("/obj/987654"), "IPersistFile", "IsDirty", {u(0)}, RPC_E_DISCONNECTED},
        {"not an object path of ours", QStringLiteral("/elsewhere"), "IPersistFile", "IsDirty", {u(0)}, RPC_E_DISCONNECTED},
        {"another client's object", foreign, "IPersistFile", "IsDirty", {u(0)}, RPC_E_DISCONNECTED},
    };
    for (const Case& c : cases) {
        const QDBusMessage reply = raw.call(serverName, c.path, QLatin1String(c.itf), QLatin1String(c.member), c.args);
        EXPECT_EQ(RawPeer::result(reply), c.expected) << c.what;
    }
    EXPECT_EQ(factory->made.at(0)->file, u"plant.cfg") << "another client's object was touched";

    // Giving back more than it holds frees only its own references.
    QDBusMessage release = QDBusMessage::createMethodCall(serverName, foreign, QLatin1String(com::kInterfacePrefix) + QLatin1String("IUnknown"),
                                                          QStringLiteral("Release"));
    release << uint(1000);
    raw.send(release);
    EXPECT_EQ(RawPeer::result(raw.call(serverName, s.widget.path, QStringLiteral("IUnknown"), QStringLiteral("Release"), {u(1000)})), S_OK);
    EXPECT_EQ(RawPeer::result(raw.call(serverName, s.widget.path, QStringLiteral("IPersistFile"), QStringLiteral("IsDirty"), {u(0)})),
              RPC_E_DISCONNECTED);

    // The well-behaved client is served as before.
    LPOLESTR name = nullptr;
    ASSERT_EQ(file->GetCurFile(&name), S_OK);
    EXPECT_EQ(std::u16string(name), u"plant.cfg");
    CoTaskMemFree(name);
}

TEST_F(BusTransport, RunningOutOfTaskMemoryAnywhereLosesNothing)
{
    auto file = create<IPersistFile>();
    com::ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(file.as(sync), S_OK);
    std::vector<com::Variant> values(3);
    values[0].setString(std::u16string_view(u"first"));
    values[1].setString(std::u16string_view(u"second"));
    const LONG a = 1, b = 2;
    values[2].setArray(safeArray(VT_I4, 0, {&a, &b}, 4));
    OPCHANDLE handles[] = {0, 1, 2};
    VARIANT raw[] = {*values[0].get(), *values[1].get(), *values[2].get()};
    HRESULT* errors = nullptr;
    ASSERT_EQ(sync->Write(3, handles, raw, &errors), S_OK);
    CoTaskMemFree(errors);
    int failures = 0;
    for (std::size_t n = 0; n < 20; ++n) {
        com::failTaskAllocAfter(n);
        OPCITEMSTATE* states = nullptr;
        errors = nullptr;
        const HRESULT hr = sync->Read(OPC_DS_CACHE, 3, handles, &states, &errors);
        com::clearTaskAllocFailure();

        if (hr == E_OUTOFMEMORY) {
            ++failures;
            EXPECT_EQ(states, nullptr);
            EXPECT_EQ(errors, nullptr);
            continue;
        }
        ASSERT_EQ(hr, S_OK) << n;
        for (int i = 0; i < 3; ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    EXPECT_GT(failures, 0);
}

}  // namespace

// The OPC server used from another process: the test program's own bus, the server's class
// object on one connection, clients on others. The clients use the same typed wrappers as the
// in-process tests, on the proxies CoCreateInstance gives.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "opc/opc_globals.h"
#include "opc/opc_group.h"
#include "opc/opc_register.h"
#include "opc/opc_server.h"
#include "opc/opc_typelib.h"
#include "opc_client.h"
#include "opc_fixture.h"
#include "platform/com/dbus_names.h"
#include "platform/com/dbus_transport.h"
#include "platform/com/registry.h"
#include "platform/com/runtime.h"
#include "tests/com/test_dbus_bus.h"

namespace opctest {
namespace {

using comtest::RawPeer;
using comtest::waitFor;

LONG number(const com::Variant& v) { return v.toI4().value_or(-99999); }

com::Variant i2(SHORT v)
{
    com::Variant x;
    x.setI2(v);
    return x;
}

// A client process: its own connection, and the server object it created over the bus.
struct BusClient {
    std::unique_ptr<com::DBusTransport> transport;
    std::unique_ptr<TestClient> opc;
    com::ComPtr<RecordingSink> sink = com::makeCom<RecordingSink>();

    QString name() const { return transport->uniqueName(); }
    void leave()
    {
        opc.reset();
        transport.reset();
    }
};

// --- the same calls in-process and over the bus

std::string hx(HRESULT hr)
{
    char b[16];
    std::snprintf(b, sizeof b, "%08X", static_cast<unsigned>(hr));
    return b;
}
std::string text(LPCWSTR s) { return s ? plat::utf16ToUtf8(s) : std::string("(null)"); }
std::string value(const VARIANT& v)
{
    return std::to_string(v.vt) + ":" + com::Variant(v).toUtf8().value_or("?");
}

// Calls every method of every interface a server object and its group offer, with good and
// with bad arguments, and writes down what each call gave (but item server handles, which
// count on across server objects). Frees all it is given.
std::vector<std::string> everyMethod(IUnknown* unk)
{
    std::vector<std::string> out;
    auto rec = [&](const std::string& what, HRESULT hr, const std::string& detail = {}) {
        out.push_back(what + " " + hx(hr) + (detail.empty() ? "" : " " + detail));
    };
    com::ComPtr<IOPCServer> server;
    com::ComPtr<IOPCCommon> common;
    com::ComPtr<IOPCBrowseServerAddressSpace> browse;
    com::ComPtr<IOPCItemProperties> props;
    com::ComPtr<IPersistFile> file;
    com::ComPtr<IConnectionPointContainer> cpc;
    com::ComPtr<IUnknown> u(unk);
    rec("interfaces", u.as(server) | u.as(common) | u.as(browse) | u.as(props) | u.as(file) | u.as(cpc));
    LPWSTR s = nullptr;
    HRESULT hr = S_OK;

    rec("SetLocaleID", common->SetLocaleID(0x409));
    LCID lcid = 0;
    hr = common->GetLocaleID(&lcid);
    rec("GetLocaleID", hr, std::to_string(lcid));
    rec("GetLocaleID null", common->GetLocaleID(nullptr));
    DWORD count = 0;
    LCID* lcids = nullptr;
    hr = common->QueryAvailableLocaleIDs(&count, &lcids);
    rec("QueryAvailableLocaleIDs", hr, std::to_string(count) + " " + (lcids ? std::to_string(lcids[0]) : "-"));
    CoTaskMemFree(lcids);
    for (const HRESULT code : {OPC_E_INVALIDHANDLE, MAKE_HR(0x12345678)}) {
        hr = common->GetErrorString(code, &s);
        rec("GetErrorString", hr, text(s));
        CoTaskMemFree(s);
    }
    rec("SetClientName null", common->SetClientName(nullptr));
    hr = server->GetErrorString(E_FAIL, 0x409, &s);
    rec("server GetErrorString", hr, text(s));
    CoTaskMemFree(s);

    OPCHANDLE hg = 0;
    DWORD revised = 0;
    com::ComPtr<IUnknown> g;
    LONG bias = 60;
    FLOAT deadband = 1.5f;
    hr = server->AddGroup(u"G1", TRUE, 250, 5, &bias, &deadband, 0x409, &hg, &revised, IID_IOPCItemMgt, g.put());
    rec("AddGroup", hr, std::to_string(hg) + " " + std::to_string(revised));
    com::ComPtr<IUnknown> other;
    rec("AddGroup same name", server->AddGroup(u"G1", TRUE, 250, 5, nullptr, nullptr, 0, &hg, &revised, IID_IOPCItemMgt, other.put()));
    rec("AddGroup no such interface", server->AddGroup(u"", TRUE, 1, 5, nullptr, nullptr, 0, &hg, &revised, IID_IDataObject, other.put()));
    hr = server->GetGroupByName(u"G1", IID_IOPCGroupStateMgt, other.put());
    rec("GetGroupByName", hr, other ? "found" : "none");
    rec("GetGroupByName unknown", server->GetGroupByName(u"nope", IID_IOPCGroupStateMgt, other.put()));
    rec("GetGroupByName null", server->GetGroupByName(nullptr, IID_IOPCGroupStateMgt, other.put()));
    other = nullptr;
    rec("RemoveGroup 0", server->RemoveGroup(0, FALSE));
    rec("RemoveGroup unknown", server->RemoveGroup(123456, FALSE));

    OPCNAMESPACETYPE ns{};
    hr = browse->QueryOrganization(&ns);
    rec("QueryOrganization", hr, std::to_string(ns));
    rec("ChangeBrowsePosition down", browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"St"));
    {
        com::ComPtr<IEnumString> e;
        hr = browse->BrowseOPCItemIDs(OPC_LEAF, u"", VT_EMPTY, 0, e.put());
        std::string names;
        LPOLESTR n[8] = {};
        ULONG fetched = 0;
        if (e && SUCCEEDED(e->Next(8, n, &fetched)))
            for (ULONG i = 0; i < fetched; ++i) {
                names += text(n[i]) + ",";
                CoTaskMemFree(n[i]);
            }
        rec("BrowseOPCItemIDs", hr, names);
    }
    rec("ChangeBrowsePosition up", browse->ChangeBrowsePosition(OPC_BROWSE_UP, u""));
    rec("ChangeBrowsePosition unknown", browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"Nope"));
    hr = browse->GetItemID(const_cast<LPWSTR>(u"St.A"), &s);
    rec("GetItemID", hr, text(s));
    CoTaskMemFree(s);
    rec("GetItemID null", browse->GetItemID(nullptr, &s));
    {
        com::ComPtr<IEnumString> e;
        hr = browse->BrowseAccessPaths(u"St.A", e.put());
        rec("BrowseAccessPaths", hr, e ? "enum" : "none");
    }

    {
        DWORD n = 0;
        DWORD* ids = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* types = nullptr;
        hr = props->QueryAvailableProperties(const_cast<LPWSTR>(u"St.A"), &n, &ids, &descriptions, &types);
        std::string all;
        for (DWORD i = 0; i < n; ++i) {
            all += std::to_string(ids[i]) + "/" + std::to_string(types[i]) + "/" + text(descriptions[i]) + ";";
            CoTaskMemFree(descriptions[i]);
        }
        CoTaskMemFree(ids);
        CoTaskMemFree(descriptions);
        CoTaskMemFree(types);
        rec("QueryAvailableProperties", hr, all);
        rec("QueryAvailableProperties unknown", props->QueryAvailableProperties(const_cast<LPWSTR>(u"St.Nope"), &n, &ids, &descriptions, &types));
        DWORD wanted[] = {1, 2, 3, 5, 9999};
        VARIANT* data = nullptr;
        HRESULT* errors = nullptr;
        hr = props->GetItemProperties(const_cast<LPWSTR>(u"St.A"), 5, wanted, &data, &errors);
        all.clear();
        for (DWORD i = 0; data && i < 5; ++i) {
            all += value(data[i]) + "/" + hx(errors[i]) + ";";
            VariantClear(&data[i]);
        }
        CoTaskMemFree(data);
        CoTaskMemFree(errors);
        rec("GetItemProperties", hr, all);
        LPWSTR* newIDs = nullptr;
        hr = props->LookupItemIDs(const_cast<LPWSTR>(u"St.A"), 5, wanted, &newIDs, &errors);
        all.clear();
        for (DWORD i = 0; newIDs && i < 5; ++i) {
            all += text(newIDs[i]) + "/" + hx(errors[i]) + ";";
            CoTaskMemFree(newIDs[i]);
        }
        CoTaskMemFree(newIDs);
        CoTaskMemFree(errors);
        rec("LookupItemIDs", hr, all);
        rec("GetItemProperties no count", props->GetItemProperties(const_cast<LPWSTR>(u"St.A"), 0, wanted, &data, &errors));
    }

    TestGroup group(g.get());
    AddResult v = group.validateItems({{"St.A", 1, true}, {"St.Nope", 2, true}, {"St.B", 3, true, VT_BSTR}});
    std::string all;
    for (std::size_t i = 0; i < v.errors.size(); ++i)
        all += hx(v.errors[i]) + "/" + std::to_string(v.results[i].vtCanonicalDataType) + "/" + std::to_string(v.results[i].dwAccessRights) + ";";
    rec("ValidateItems", v.hr, all);
    AddResult a = group.addItems({{"St.A", 11, true}, {"St.B", 12, false}});
    rec("AddItems", a.hr, std::to_string(a.errors.size()));
    const std::vector<OPCHANDLE> h = {a.handle(0), a.handle(1), 0x7FFFFFF0};
    auto errs = [](const ErrorsResult& r) {
        std::string x;
        for (HRESULT e : r.errors)
            x += hx(e) + ";";
        return x;
    };
    ErrorsResult e1 = group.setActive(h, true);
    rec("SetActiveState", e1.hr, errs(e1));
    ErrorsResult e2 = group.setClientHandles(h, {21, 22, 23});
    rec("SetClientHandles", e2.hr, errs(e2));
    ErrorsResult e3 = group.setDatatypes(h, {VT_R8, 0x7777, VT_I4});
    rec("SetDatatypes", e3.hr, errs(e3));
    ReadResult r = group.read(OPC_DS_CACHE, h);
    all.clear();
    for (std::size_t i = 0; i < r.states.size(); ++i)
        all += value(*r.states[i].value.get()) + "/" + std::to_string(r.states[i].client) + "/" + std::to_string(r.states[i].quality) + "/" +
               hx(r.errors[i]) + ";";
    rec("Read", r.hr, all);
    ErrorsResult w = group.write({0x7FFFFFF0}, {com::Variant()});
    rec("Write unknown", w.hr, errs(w));
    {
        com::ComPtr<IUnknown> eu;
        rec("CreateEnumerator", group.mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, eu.put()));
        com::ComPtr<IEnumOPCItemAttributes> items;
        eu.as(items);
        rec("Skip", items->Skip(1));
        com::ComPtr<IEnumOPCItemAttributes> clone;
        rec("Clone", items->Clone(clone.put()));
        rec("Reset", items->Reset());
        OPCITEMATTRIBUTES* attrs = nullptr;
        ULONG fetched = 0;
        for (IEnumOPCItemAttributes* en : {clone.get(), items.get()}) {
            hr = en->Next(10, &attrs, &fetched);
            all.clear();
            for (ULONG i = 0; i < fetched; ++i) {
                all += text(attrs[i].szItemID) + "/" + std::to_string(attrs[i].hClient) + "/" + std::to_string(attrs[i].vtRequestedDataType) +
                       "/" + std::to_string(attrs[i].bActive) + ";";
                CoTaskMemFree(attrs[i].szAccessPath);
                CoTaskMemFree(attrs[i].szItemID);
                VariantClear(&attrs[i].vEUInfo);
            }
            CoTaskMemFree(attrs);
            rec("Next", hr, std::to_string(fetched) + " " + all);
        }
        rec("CreateEnumerator no such interface", group.mgt->CreateEnumerator(IID_IEnumString, eu.put()));
    }
    ErrorsResult removed = group.removeItems({0x7FFFFFF0});
    rec("RemoveItems unknown", removed.hr, errs(removed));

    rec("SetName", group.state->SetName(u"G2"));
    rec("SetName null", group.state->SetName(nullptr));
    DWORD rate = 0, lcidOut = 0;
    BOOL active = FALSE;
    LONG biasOut = 0;
    FLOAT deadbandOut = 0;
    OPCHANDLE client = 0, srvHandle = 0;
    hr = group.state->GetState(&rate, &active, &s, &biasOut, &deadbandOut, &lcidOut, &client, &srvHandle);
    rec("GetState", hr,
        std::to_string(rate) + " " + std::to_string(active) + " " + text(s) + " " + std::to_string(biasOut) + " " + std::to_string(deadbandOut) +
            " " + std::to_string(lcidOut) + " " + std::to_string(client) + " " + std::to_string(srvHandle));
    CoTaskMemFree(s);
    DWORD requested = 1;
    BOOL inactive = FALSE;
    hr = group.state->SetState(&requested, &revised, &inactive, nullptr, nullptr, nullptr, nullptr);
    rec("SetState", hr, std::to_string(revised));
    {
        com::ComPtr<IUnknown> clone;
        hr = group.state->CloneGroup(u"C1", IID_IOPCSyncIO, clone.put());
        rec("CloneGroup", hr, clone ? "clone" : "none");
        rec("CloneGroup same name", group.state->CloneGroup(u"G2", IID_IOPCSyncIO, clone.put()));
    }

    BOOL enabled = FALSE;
    hr = group.async->GetEnable(&enabled);
    rec("GetEnable", hr, std::to_string(enabled));
    rec("SetEnable", group.async->SetEnable(FALSE));
    hr = group.async->GetEnable(&enabled);
    rec("GetEnable after", hr, std::to_string(enabled));
    rec("Cancel2 unknown", group.async->Cancel2(999));
    AsyncResult ar = group.asyncRead({h[0]}, 3);
    rec("async Read without a sink", ar.hr);
    rec("Refresh2 without a sink", group.refresh(OPC_DS_CACHE, 4).hr);

    {
        com::ComPtr<IEnumConnectionPoints> points;
        rec("EnumConnectionPoints", cpc->EnumConnectionPoints(points.put()));
        IConnectionPoint* cp[4] = {};
        ULONG fetched = 0;
        hr = points->Next(4, cp, &fetched);
        IID iid{};
        if (fetched > 0)
            cp[0]->GetConnectionInterface(&iid);
        for (ULONG i = 0; i < fetched; ++i)
            cp[i]->Release();
        rec("Next points", hr, std::to_string(fetched) + " " + com::guidToString(iid));
        com::ComPtr<IConnectionPoint> none;
        rec("FindConnectionPoint unknown", cpc->FindConnectionPoint(IID_IOPCDataCallback, none.put()));
        com::ComPtr<IConnectionPoint> data;
        group.cpc->FindConnectionPoint(IID_IOPCDataCallback, data.put());
        com::ComPtr<IEnumConnections> conns;
        rec("EnumConnections", data->EnumConnections(conns.put()));
        CONNECTDATA cd{};
        hr = conns->Next(1, &cd, &fetched);
        rec("Next connections", hr, std::to_string(fetched));
    }

    CLSID clsid{};
    hr = file->GetClassID(&clsid);
    rec("GetClassID", hr, com::guidToString(clsid));
    rec("IsDirty", file->IsDirty());
    rec("Load", file->Load(u"x", 0));
    rec("Save", file->Save(nullptr, TRUE));
    rec("SaveCompleted", file->SaveCompleted(u"x"));
    s = reinterpret_cast<LPWSTR>(1);
    hr = file->GetCurFile(&s);
    rec("GetCurFile", hr, text(s));

    group.release();
    g = nullptr;
    rec("RemoveGroup", server->RemoveGroup(hg, TRUE));
    return out;
}

struct OpcOverBus : OpcFixture {
    vx::TVariable* a = nullptr;
    vx::TVariable* b = nullptr;
    vx::TVariable* s = nullptr;
    std::unique_ptr<com::DBusTransport> server;
    std::vector<std::unique_ptr<BusClient>> clients;
    com::ApartmentScope apartment;
    std::u16string classKey;

    void SetUp() override
    {
        OpcFixture::SetUp();
        if (comtest::privateBus().address().isEmpty())
            GTEST_SKIP() << "no private bus: " << comtest::privateBus().error();
        a = var("A", VT_I2, 0);
        b = var("B", VT_I2, 1);
        s = var("S", VT_BSTR, 10);
        buildCatalogue();
        server = std::make_unique<com::DBusTransport>(comtest::privateBus().address());
        ASSERT_TRUE(server->connected());
        com::ComPtr<IClassFactory> factory;
        for (const auto& f : opc::ClassFactories())
            if (f.ClassID == CLSID_DA2)
                factory = f.Factory;
        ASSERT_TRUE(factory);
        ASSERT_EQ(server->registerClassObject(CLSID_DA2, factory.get()), S_OK);
        classKey = u"CLSID\\" + com::guidToWString(CLSID_DA2);
        const std::string name = com::busNameForClass(CLSID_DA2);
        com::classesRoot().setValue(classKey + u"\\LocalServer32", com::kBusNameValue, std::u16string(name.begin(), name.end()));
    }
    void TearDown() override
    {
        com::setProcessTransport(nullptr);
        for (auto& c : clients)
            c->leave();
        clients.clear();
        if (server) {
            // What the clients left behind goes when their leaving reaches the server.
            waitFor([&] { return server->exportedObjects() <= 1; });
            server.reset();
            com::classesRoot().deleteTree(classKey);
        }
        OpcFixture::TearDown();
    }

    // A client process that created the server object by its class.
    BusClient& connect()
    {
        auto c = std::make_unique<BusClient>();
        c->transport = std::make_unique<com::DBusTransport>(comtest::privateBus().address());
        EXPECT_TRUE(c->transport->connected());
        com::setProcessTransport(c->transport.get());
        com::ComPtr<IUnknown> unk;
        EXPECT_EQ(CoCreateInstance(CLSID_DA2, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, unk.putVoid()), S_OK);
        com::setProcessTransport(nullptr);
        c->opc = std::make_unique<TestClient>();
        c->opc->release();  // the in-process object it made goes; the proxies take its place
        unk.as(c->opc->server);
        unk.as(c->opc->common);
        unk.as(c->opc->browse);
        unk.as(c->opc->props);
        unk.as(c->opc->cpc);
        clients.push_back(std::move(c));
        events.clear();
        return *clients.back();
    }
    std::size_t servers() const { return registry->Servers.size(); }
};

TEST_F(OpcOverBus, AClientUsesTheServerAsInProcess)
{
    BusClient& c = connect();
    ASSERT_TRUE(c.opc->server);
    EXPECT_EQ(servers(), 1u);

    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(c.opc->server->GetStatus(&status), S_OK);
    EXPECT_EQ(std::u16string(status->szVendorInfo), opc::kVendorInfo);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    EXPECT_EQ(c.opc->common->SetClientName(u"bus client"), S_OK);
    EXPECT_EQ(c.opc->browseIDs("St.?"), (std::vector<std::string>{"St.A", "St.B", "St.S"}));

    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(c.opc->props->QueryAvailableProperties(const_cast<LPWSTR>(u"St.A"), &count, &ids, &descriptions, &types), S_OK);
    ASSERT_GT(count, 0u);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(types[0], VT_I2);  // the canonical type property
    for (DWORD i = 0; i < count; ++i)
        CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);

    TestGroup g = c.opc->addGroup("G", true, 100, 77);
    ASSERT_TRUE(g);
    EXPECT_EQ(g.revisedRate, 100u);
    AddResult added = g.addItems({{"St.A", 11, true}, {"St.B", 12, true}, {"St.Nope", 13, true}});
    EXPECT_EQ(added.hr, S_FALSE);
    EXPECT_EQ(added.errors, (std::vector<HRESULT>{S_OK, S_OK, OPC_E_UNKNOWNITEMID}));
    const std::vector<OPCHANDLE> h = {added.handle(0), added.handle(1)};

    a->Value.setI2(5);
    ReadResult read = g.read(OPC_DS_CACHE, h);
    ASSERT_EQ(read.hr, S_OK);
    EXPECT_EQ(read.states[0].client, 11u);
    EXPECT_EQ(read.states[0].value.vt(), VT_I2);
    EXPECT_EQ(number(read.states[0].value), 5);
    EXPECT_EQ(read.states[0].quality, OPC_QUALITY_GOOD);

    ErrorsResult written = g.write({h[1]}, {i2(9)});
    EXPECT_EQ(written.hr, S_OK);
    EXPECT_FALSE(channel->WriteQueue.empty()) << "the write goes to the PLC";

    // Group state both ways, with the optional pointers left out or given.
    DWORD rate = 0;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = -1;
    DWORD lcid = 0;
    OPCHANDLE clientGroup = 0, serverGroup = 0;
    ASSERT_EQ(g.state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &clientGroup, &serverGroup), S_OK);
    EXPECT_EQ(std::u16string(name), u"G");
    CoTaskMemFree(name);
    EXPECT_EQ(clientGroup, 77u);
    EXPECT_EQ(serverGroup, g.serverHandle);
    EXPECT_EQ(deadband, 0.0f);
    DWORD requested = 500, revised = 0;
    FLOAT newDeadband = 2.5f;
    ASSERT_EQ(g.state->SetState(&requested, &revised, nullptr, nullptr, &newDeadband, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 500u);
    ASSERT_EQ(g.state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &clientGroup, &serverGroup), S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(rate, 500u);
    EXPECT_EQ(deadband, 2.5f);
    EXPECT_EQ(g.state->GetState(nullptr, &active, &name, &bias, &deadband, &lcid, &clientGroup, &serverGroup), E_POINTER);

    // The item enumerator hands out records with strings and variants.
    com::ComPtr<IUnknown> unk;
    ASSERT_EQ(g.mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, unk.put()), S_OK);
    com::ComPtr<IEnumOPCItemAttributes> items;
    ASSERT_EQ(unk.as(items), S_OK);
    OPCITEMATTRIBUTES* attrs = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(items->Next(5, &attrs, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(std::u16string(attrs[1].szItemID), u"St.B");
    EXPECT_EQ(attrs[1].hServer, h[1]);
    EXPECT_EQ(attrs[1].vtCanonicalDataType, VT_I2);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(attrs[i].szAccessPath);
        CoTaskMemFree(attrs[i].szItemID);
        VariantClear(&attrs[i].vEUInfo);
    }
    CoTaskMemFree(attrs);

    // The group enumerator hands out the group itself, as a proxy of the same identity.
    com::ComPtr<IUnknown> groups;
    ASSERT_EQ(c.opc->server->CreateGroupEnumerator(OPC_ENUM_ALL_CONNECTIONS, IID_IEnumUnknown, groups.put()), S_OK);
    com::ComPtr<IEnumUnknown> eg;
    ASSERT_EQ(groups.as(eg), S_OK);
    IUnknown* first = nullptr;
    ULONG one = 0;
    EXPECT_EQ(eg->Next(1, &first, nullptr), E_INVALIDARG) << "the server wants the count, in-process too";
    ASSERT_EQ(eg->Next(1, &first, &one), S_OK);
    com::ComPtr<IUnknown> firstIdentity, groupIdentity;
    first->QueryInterface(IID_IUnknown, firstIdentity.putVoid());
    g.mgt.as(groupIdentity);
    EXPECT_EQ(firstIdentity.get(), groupIdentity.get());
    first->Release();

    EXPECT_EQ(g.removeItems(h).hr, S_OK);
    // The enumerators hold the group, as in-process; once they are gone the client's reference
    // is the only one (the server counts one per process, not one per interface pointer).
    EXPECT_EQ(c.opc->server->RemoveGroup(g.serverHandle, FALSE), OPC_S_INUSE);
    eg = nullptr;
    groups = nullptr;
    items = nullptr;
    unk = nullptr;
    ASSERT_TRUE(waitFor([&] { return server->exportedObjects() == 2; }));  // the server object and the group
    EXPECT_EQ(c.opc->server->RemoveGroup(g.serverHandle, FALSE), S_OK);
}

TEST_F(OpcOverBus, EveryMethodAnswersAsInProcess)
{
    std::vector<std::string> local;
    {
        auto object = com::makeCom<opc::TDA2>();
        local = everyMethod(object->unknown());
    }
    BusClient& c = connect();
    com::ComPtr<IUnknown> unk;
    ASSERT_EQ(c.opc->server.as(unk), S_OK);
    const std::vector<std::string> remote = everyMethod(unk.get());
    ASSERT_EQ(remote.size(), local.size());
    for (std::size_t i = 0; i < local.size(); ++i)
        EXPECT_EQ(remote[i], local[i]);
}

TEST_F(OpcOverBus, CallbacksReachTheClientsSink)
{
    BusClient& c = connect();
    TestGroup g = c.opc->addGroup("G", true, 100, 77);
    AddResult added = g.addItems({{"St.A", 11, true}, {"St.S", 12, true}});
    ASSERT_EQ(added.hr, S_OK);
    const std::vector<OPCHANDLE> h = {added.handle(0), added.handle(1)};
    tick(1000);
    tick(1000);
    // Connecting sends every item once, before Advise returns.
    ASSERT_NE(g.advise(c.sink->unknown()), 0u);
    ASSERT_EQ(c.sink->count(Callback::DataChange), 1u);
    EXPECT_EQ(c.sink->calls[0].count, 2u);

    a->Value.setI2(321);
    s->Value.setString(std::string("hello ✓"));
    tick(1000);
    ASSERT_TRUE(waitFor([&] { return c.sink->count(Callback::DataChange) == 2; }));
    const Callback& change = *c.sink->last(Callback::DataChange);
    EXPECT_EQ(change.group, 77u);
    ASSERT_EQ(change.count, 2u);
    EXPECT_EQ(number(change.entries[0].value), 321);
    EXPECT_EQ(change.entries[1].value.vt(), VT_BSTR);
    EXPECT_EQ(change.entries[1].value.toUtf8().value_or(""), "hello ✓");
    EXPECT_EQ(change.entries[0].quality, OPC_QUALITY_GOOD);

    // A refresh answers before Refresh2 returns, as in-process: the client serves the
    // callback while it waits.
    c.sink->calls.clear();
    AsyncResult r = g.refresh(OPC_DS_CACHE, 5);
    ASSERT_EQ(r.hr, S_OK);
    ASSERT_EQ(c.sink->calls.size(), 1u);
    EXPECT_EQ(c.sink->calls[0].transactionID, 5u);

    // An asynchronous read completes on a tick after the PLC answered.
    c.sink->calls.clear();
    r = g.asyncRead({h[0]}, 7);
    ASSERT_EQ(r.hr, S_OK);
    completeRequests();
    tick(1000);
    ASSERT_TRUE(waitFor([&] { return c.sink->count(Callback::ReadComplete) == 1; }));
    EXPECT_EQ(c.sink->last(Callback::ReadComplete)->transactionID, 7u);
    r = g.asyncWrite({h[0]}, {i2(4)}, 8);
    ASSERT_EQ(r.hr, S_OK);
    completeRequests();
    tick(1000);
    ASSERT_TRUE(waitFor([&] { return c.sink->count(Callback::WriteComplete) == 1; }));
    EXPECT_EQ(c.sink->last(Callback::WriteComplete)->entries.at(0).client, 11u);

    // The shutdown request reaches the client's IOPCShutdown.
    ASSERT_NE(c.opc->adviseShutdown(c.sink->unknown()), 0u);
    registry->ShutdownClients();
    ASSERT_TRUE(waitFor([&] { return c.sink->shutdownReasons.size() == 1; }));
    EXPECT_NE(c.sink->shutdownReasons[0].find(u"IOPCShutdown"), std::u16string::npos);
}

TEST_F(OpcOverBus, AClientLeavingMidSubscriptionFreesItsObjects)
{
    BusClient& stays = connect();
    BusClient& leaves = connect();
    TestGroup kept = stays.opc->addGroup("Kept", true, 100, 1);
    ASSERT_EQ(kept.addItems({{"St.A", 1, true}}).hr, S_OK);
    ASSERT_NE(kept.advise(stays.sink->unknown()), 0u);
    TestGroup g = leaves.opc->addGroup("G", true, 100, 1);
    ASSERT_EQ(g.addItems({{"St.A", 1, true}, {"St.B", 2, true}}).hr, S_OK);
    ASSERT_NE(g.advise(leaves.sink->unknown()), 0u);
    tick(1000);
    ASSERT_EQ(servers(), 2u);
    events.clear();

    g = TestGroup();  // the wrapper's proxies die with the process anyway
    leaves.leave();
    ASSERT_TRUE(waitFor([&] { return servers() == 1; }));
    // As if it had released everything: its items, its group and its server object went.
    EXPECT_EQ(countEvents(opc::meItemRemoved), 2);
    EXPECT_EQ(countEvents(opc::meGroupRemoved), 1);
    EXPECT_EQ(countEvents(opc::meServerDestroyed), 1);
    // The other client is served on.
    a->Value.setI2(77);
    stays.sink->calls.clear();
    tick(1000);
    ASSERT_TRUE(waitFor([&] { return stays.sink->count(Callback::DataChange) == 1; }));
}

TEST_F(OpcOverBus, ForeignHandlesAndLyingCountsGetTheInProcessAnswers)
{
    BusClient& one = connect();
    BusClient& other = connect();
    TestGroup mine = one.opc->addGroup("Mine", true, 100, 1);
    AddResult own = mine.addItems({{"St.A", 1, true}});
    TestGroup theirs = other.opc->addGroup("Theirs", true, 100, 1);
    AddResult foreign = theirs.addItems({{"St.B", 2, true}});
    ASSERT_EQ(own.hr, S_OK);
    ASSERT_EQ(foreign.hr, S_OK);

    // Another client's item handles are not this group's.
    ReadResult read = mine.read(OPC_DS_CACHE, {foreign.handle(0), own.handle(0)});
    EXPECT_EQ(read.hr, S_FALSE);
    EXPECT_EQ(read.errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(mine.removeItems({foreign.handle(0)}).errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(theirs.read(OPC_DS_CACHE, {foreign.handle(0)}).hr, S_OK) << "the other group is untouched";

    // A hand-written client that lies about its counts.
    RawPeer raw(comtest::privateBus().address());
    const QString busName = QString::fromStdString(com::busNameForClass(CLSID_DA2));
    const QDBusMessage cf = raw.call(busName, QString::fromStdString(com::classObjectPath(CLSID_DA2)), QStringLiteral("IUnknown"),
                                     QStringLiteral("GetClassObject"), {QString::fromStdString(com::guidToString(IID_IClassFactory))});
    ASSERT_EQ(RawPeer::result(cf), S_OK);
    const comtest::Ref factory = RawPeer::ref(cf, 1);
    const QDBusMessage made = raw.call(factory.owner, factory.path, QStringLiteral("IClassFactory"), QStringLiteral("CreateInstance"),
                                       {QVariant::fromValue(uint(1)), comtest::refArg(QString(), QStringLiteral("/"), 0),
                                        QString::fromStdString(com::guidToString(IID_IOPCServer))});
    ASSERT_EQ(RawPeer::result(made), S_OK);
    const comtest::Ref srv = RawPeer::ref(made, 2);
    const QDBusMessage grp =
        raw.call(srv.owner, srv.path, QStringLiteral("IOPCServer"), QStringLiteral("AddGroup"),
                 {QVariant::fromValue(uint(0x30)), QStringLiteral("Raw"), QVariant::fromValue(int(TRUE)), QVariant::fromValue(uint(100)),
                  QVariant::fromValue(uint(1)), QVariant::fromValue(int(0)), QVariant::fromValue(0.0), QVariant::fromValue(uint(0)),
                  QString::fromStdString(com::guidToString(IID_IOPCItemMgt))});
    ASSERT_EQ(RawPeer::result(grp), S_OK) << "optional bias and deadband left out";
    const comtest::Ref rg = RawPeer::ref(grp, 4);
    auto u = [](uint v) { return QVariant::fromValue(v); };
    auto handles = [](QList<uint> h) { return QVariant::fromValue(h); };
    // Read's count says 2, its array holds 1; then a count far above what may be allocated.
    EXPECT_EQ(RawPeer::result(raw.call(rg.owner, rg.path, QStringLiteral("IOPCSyncIO"), QStringLiteral("Read"),
                                       {u(0), QVariant::fromValue(int(OPC_DS_CACHE)), u(2), handles({own.handle(0)})})),
              E_INVALIDARG);
    EXPECT_EQ(RawPeer::result(raw.call(rg.owner, rg.path, QStringLiteral("IOPCItemMgt"), QStringLiteral("RemoveItems"),
                                       {u(0), u(0x7FFFFFFF), handles({})})),
              E_INVALIDARG);
    // A null array where the interface needs one, with a count: the core's own answer.
    EXPECT_EQ(RawPeer::result(raw.call(rg.owner, rg.path, QStringLiteral("IOPCItemMgt"), QStringLiteral("RemoveItems"),
                                       {u(2), u(1), handles({})})),
              E_INVALIDARG);
    // Handles of another client through the raw group: per item, as in-process.
    const QDBusMessage removed = raw.call(rg.owner, rg.path, QStringLiteral("IOPCItemMgt"), QStringLiteral("RemoveItems"),
                                          {u(0), u(1), handles({own.handle(0)})});
    EXPECT_EQ(RawPeer::result(removed), S_FALSE);
    EXPECT_EQ(removed.arguments().value(2).value<QDBusArgument>().currentSignature(), QStringLiteral("ai"));

    // The well-behaved clients are served as before.
    read = mine.read(OPC_DS_CACHE, {own.handle(0)});
    EXPECT_EQ(read.hr, S_OK);
    EXPECT_EQ(theirs.read(OPC_DS_CACHE, {foreign.handle(0)}).hr, S_OK);
}

}  // namespace
}  // namespace opctest

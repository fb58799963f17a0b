// The server object: groups by name and handle, enumerators, browsing, status, locale, its
// end while the client still holds groups, and the shutdown sink.
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "comm/vx_def.h"
#include "opc_client.h"
#include "opc_fixture.h"
#include "platform/com/filetime.h"

namespace opctest {
namespace {

// What AddGroup hands out, holding exactly one reference to the group.
struct RawGroup {
    HRESULT hr = E_FAIL;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    com::ComPtr<IUnknown> unk;
    opc::TOPCGroup* object() const
    {
        com::ComPtr<IOPCItemMgt> mgt;
        unk.as(mgt);
        return static_cast<opc::TOPCGroup*>(mgt.get());
    }
};

RawGroup rawAdd(IOPCServer* server, const std::u16string& name, DWORD rate = 100, REFIID riid = IID_IUnknown)
{
    RawGroup g;
    IUnknown* unk = nullptr;
    g.hr = server->AddGroup(name.c_str(), TRUE, rate, 7, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &g.handle, &g.revised, riid, &unk);
    g.unk = com::ComPtr<IUnknown>::attach(unk);
    return g;
}

std::string takeString(LPWSTR s)
{
    std::string out = s ? plat::utf16ToUtf8(s) : std::string();
    CoTaskMemFree(s);
    return out;
}

std::vector<std::string> drain(IEnumString* e)
{
    std::vector<std::string> out;
    LPOLESTR s = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &s, &fetched) == S_OK && fetched == 1)
        out.push_back(takeString(s));
    return out;
}

bool sameFileTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

struct ServerTest : OpcFixture {
    int groupEvents(int code, const opc::TOPCGroup* g) const
    {
        int n = 0;
        for (const auto& e : events)
            if (e.code == code && std::holds_alternative<opc::TOPCGroup*>(e.obj) && std::get<opc::TOPCGroup*>(e.obj) == g)
                ++n;
        return n;
    }
    int serverEvents(int code, const opc::TDA2* s) const
    {
        int n = 0;
        for (const auto& e : events)
            if (e.code == code && std::holds_alternative<opc::TDA2*>(e.obj) && std::get<opc::TDA2*>(e.obj) == s)
                ++n;
        return n;
    }
};

// --- creation

using ServerCreation = ServerTest;

TEST_F(ServerCreation, RegistersItselfAndStartsFresh)
{
    TestClient c;
    opc::TDA2* s = c.object();
    ASSERT_EQ(registry->Servers.size(), 1u);
    EXPECT_EQ(registry->Servers[0], s);
    EXPECT_EQ(s->RegistryIndex(), 0);
    EXPECT_EQ(serverEvents(opc::meServerCreated, s), 1);
    EXPECT_EQ(s->StartTime, clock.now());
    EXPECT_EQ(s->LastUpdateTime, 0.0);
    EXPECT_EQ(s->LastGroupHandle, 1u);
    LCID lcid = 0;
    EXPECT_EQ(c.common->GetLocaleID(&lcid), S_OK);
    EXPECT_EQ(lcid, LOCALE_SYSTEM_DEFAULT);

    TestClient second;
    EXPECT_EQ(second.object()->RegistryIndex(), 1);
    c.release();
    EXPECT_EQ(second.object()->RegistryIndex(), 0);
}

// --- AddGroup

using ServerAddGroup = ServerTest;

TEST_F(ServerAddGroup, UnnamedGroupsAreNumberedSkippingTakenNames)
{
    TestClient c;
    struct Step {
        std::string requested;
        std::string name;
        OPCHANDLE handle;
    };
    // N starts at the group count + 2 and steps over names already taken.
    const Step steps[] = {
        {"", "Group_2", 2},
        {"Group_4", "Group_4", 3},
        {"", "Group_5", 4},
        {"", "Group_6", 5},
        {"", "Group_7", 6},
    };
    std::vector<RawGroup> held;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        held.push_back(rawAdd(c.server.get(), u16(s.requested)));
        EXPECT_EQ(held.back().hr, S_OK);
        EXPECT_EQ(held.back().handle, s.handle);
        ASSERT_TRUE(held.back().unk);
        EXPECT_EQ(held.back().object()->Name, s.name);
        EXPECT_EQ(held.back().object()->ServerHandle, s.handle);
    }
    EXPECT_EQ(c.object()->Groups.size(), std::size(steps));
}

TEST_F(ServerAddGroup, TakenNamesAreRefusedWithoutTrace)
{
    TestClient c;
    RawGroup a = rawAdd(c.server.get(), u"A");
    RawGroup g2 = rawAdd(c.server.get(), u"Group_3");
    ASSERT_EQ(a.hr, S_OK);
    const auto before = events.size();

    for (const std::u16string& name : {std::u16string(u"A"), std::u16string(u"Group_3")}) {
        IUnknown* unk = reinterpret_cast<IUnknown*>(0x1);
        OPCHANDLE handle = 99;
        DWORD revised = 0;
        EXPECT_EQ(c.server->AddGroup(name.c_str(), TRUE, 100, 1, nullptr, nullptr, 0, &handle, &revised, IID_IUnknown, &unk),
                  OPC_E_DUPLICATENAME);
        EXPECT_EQ(handle, 0u);
        EXPECT_EQ(unk, nullptr);
    }
    EXPECT_EQ(events.size(), before);
    EXPECT_EQ(c.object()->Groups.size(), 2u);
    EXPECT_EQ(c.object()->LastGroupHandle, 3u);

    // Names compare case-sensitively.
    RawGroup lower = rawAdd(c.server.get(), u"a");
    EXPECT_EQ(lower.hr, S_OK);
    // Three groups: N starts at 5.
    RawGroup unnamed = rawAdd(c.server.get(), u"");
    EXPECT_EQ(unnamed.object()->Name, "Group_5");
}

TEST_F(ServerAddGroup, RatesBelowTheMinimumAreRevised)
{
    TestClient c;
    struct Case {
        DWORD requested;
        DWORD revised;
        HRESULT hr;
    };
    const Case cases[] = {{0, 2, OPC_S_UNSUPPORTEDRATE}, {1, 2, OPC_S_UNSUPPORTEDRATE}, {2, 2, S_OK}, {3, 3, S_OK}, {1000, 1000, S_OK}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.requested);
        RawGroup g = rawAdd(c.server.get(), u"", k.requested);
        EXPECT_EQ(g.hr, k.hr);
        EXPECT_EQ(g.revised, k.revised);
        ASSERT_TRUE(g.unk);
        EXPECT_EQ(g.object()->UpdateRate, k.revised);
    }
}

TEST_F(ServerAddGroup, StoresTheClientsStateAndAnnouncesTheGroup)
{
    TestClient c;
    LONG bias = -60;
    FLOAT deadband = 12.5f;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    ASSERT_EQ(c.server->AddGroup(u"G", FALSE, 250, 42, &bias, &deadband, LOCALE_USER_DEFAULT, &handle, &revised, IID_IOPCGroupStateMgt,
                                 &unk),
              S_OK);
    TestGroup g(unk);
    unk->Release();
    opc::TOPCGroup* group = g.object();
    EXPECT_EQ(group->Name, "G");
    EXPECT_FALSE(group->Active);
    EXPECT_EQ(group->ClientHandle, 42u);
    EXPECT_EQ(group->ServerHandle, handle);
    EXPECT_EQ(group->TimeBias, -60);
    EXPECT_EQ(group->PercentDeadband, 12.5f);
    EXPECT_EQ(group->LocaleID, LOCALE_USER_DEFAULT);
    EXPECT_EQ(group->Server, c.object());
    EXPECT_TRUE(group->Announced);
    EXPECT_EQ(groupEvents(opc::meGroupAdded, group), 1);

    // Without a deadband pointer the deadband is 0.
    RawGroup plain = rawAdd(c.server.get(), u"H");
    EXPECT_EQ(plain.object()->PercentDeadband, 0.0f);
}

TEST_F(ServerAddGroup, RefusedInterfaceLeavesNoGroupHandleOrEvent)
{
    TestClient c;
    const auto before = events.size();
    RawGroup bad = rawAdd(c.server.get(), u"", 100, IID_IOPCServer);
    EXPECT_EQ(bad.hr, E_NOINTERFACE);
    EXPECT_EQ(bad.handle, 0u);
    EXPECT_FALSE(bad.unk);
    EXPECT_TRUE(c.object()->Groups.empty());
    EXPECT_EQ(c.object()->LastGroupHandle, 1u);
    EXPECT_EQ(events.size(), before);

    // The next group is the first one as far as the client can tell.
    RawGroup good = rawAdd(c.server.get(), u"", 100, IID_IOPCItemMgt);
    EXPECT_EQ(good.hr, S_OK);
    EXPECT_EQ(good.handle, 2u);
    EXPECT_EQ(good.object()->Name, "Group_2");
}

TEST_F(ServerAddGroup, HandsOutTheInterfaceAskedFor)
{
    TestClient c;
    RawGroup g = rawAdd(c.server.get(), u"", 100, IID_IOPCSyncIO);
    ASSERT_TRUE(g.unk);
    com::ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(g.unk.as(sync), S_OK);
    EXPECT_EQ(static_cast<void*>(sync.get()), static_cast<void*>(g.unk.get()));
}

TEST_F(ServerAddGroup, MissingOutPointersCreateNothing)
{
    TestClient c;
    const auto before = events.size();
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    IUnknown* unk = reinterpret_cast<IUnknown*>(0x1);
    struct Case {
        const char* name;
        OPCHANDLE* handle;
        DWORD* revised;
        IUnknown** unk;
    };
    const Case cases[] = {
        {"no handle", nullptr, &revised, &unk},
        {"no revised rate", &handle, nullptr, &unk},
        {"no interface", &handle, &revised, nullptr},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        unk = reinterpret_cast<IUnknown*>(0x1);
        EXPECT_EQ(c.server->AddGroup(u"", TRUE, 100, 1, nullptr, nullptr, 0, k.handle, k.revised, IID_IUnknown, k.unk),
                  E_INVALIDARG);
        if (k.unk) {
            EXPECT_EQ(unk, nullptr);
        }
    }
    EXPECT_TRUE(c.object()->Groups.empty());
    EXPECT_EQ(c.object()->LastGroupHandle, 1u);
    EXPECT_EQ(events.size(), before);
}

// --- GetGroupByName

using ServerGroupByName = ServerTest;

TEST_F(ServerGroupByName, FindsByExactName)
{
    TestClient c;
    RawGroup g = rawAdd(c.server.get(), u"Pumps");
    struct Case {
        const char* name;
        IID riid;
        HRESULT hr;
    };
    const Case cases[] = {
        {"Pumps", IID_IOPCGroupStateMgt, S_OK},
        {"pumps", IID_IOPCGroupStateMgt, E_INVALIDARG},
        {"Valves", IID_IUnknown, E_INVALIDARG},
        {"", IID_IUnknown, E_INVALIDARG},
        {"Pumps", IID_IOPCServer, E_NOINTERFACE},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        IUnknown* unk = reinterpret_cast<IUnknown*>(0x1);
        const std::u16string name = u16(k.name);
        EXPECT_EQ(c.server->GetGroupByName(name.c_str(), k.riid, &unk), k.hr);
        if (k.hr == S_OK) {
            ASSERT_NE(unk, nullptr);
            com::ComPtr<IUnknown> got = com::ComPtr<IUnknown>::attach(unk);
            com::ComPtr<IUnknown> a, b;
            got.as(a);
            g.unk.as(b);
            EXPECT_EQ(a.get(), b.get());
        } else {
            EXPECT_EQ(unk, nullptr);
        }
    }
    EXPECT_EQ(c.server->GetGroupByName(u"Pumps", IID_IUnknown, nullptr), E_INVALIDARG);
}

// --- RemoveGroup

using ServerRemoveGroup = ServerTest;

TEST_F(ServerRemoveGroup, InUseOnlyWhileTheClientHoldsMoreThanItWasGiven)
{
    struct Case {
        const char* name;
        int extraReferences;
        BOOL force;
        HRESULT hr;
        bool listed;
    };
    const Case cases[] = {
        {"held once", 0, FALSE, S_OK, false},
        {"held twice", 1, FALSE, OPC_S_INUSE, true},
        {"held twice, forced", 1, TRUE, S_OK, false},
        {"held once, forced", 0, TRUE, S_OK, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        TestClient c;
        RawGroup g = rawAdd(c.server.get(), u"G");
        opc::TOPCGroup* group = g.object();
        std::vector<com::ComPtr<IUnknown>> extra(static_cast<std::size_t>(k.extraReferences), g.unk);
        EXPECT_EQ(c.server->RemoveGroup(g.handle, k.force), k.hr);
        EXPECT_EQ(opc::TDA2::FindGroupIndex(c.object()->Groups, g.handle) >= 0, k.listed);
        EXPECT_EQ(group->Listed(), k.listed);
        EXPECT_EQ(group->PendingRemoval, k.hr == OPC_S_INUSE);
        // A removed group is gone for the server: no pulse, no lookup by name.
        IUnknown* found = nullptr;
        EXPECT_EQ(c.server->GetGroupByName(u"G", IID_IUnknown, &found), k.listed ? S_OK : E_INVALIDARG);
        if (found)
            found->Release();
        extra.clear();
        const int removedBefore = groupEvents(opc::meGroupRemoved, group);
        g.unk = nullptr;
        // Event 1 once in the group's life, whenever it ends.
        EXPECT_EQ(removedBefore + (k.listed ? 1 : 0), 1);
        EXPECT_EQ(countEvents(opc::meGroupRemoved), 1);
        events.clear();
    }
}

TEST_F(ServerRemoveGroup, UnknownHandles)
{
    TestClient c;
    RawGroup g = rawAdd(c.server.get(), u"");
    RawGroup h = rawAdd(c.server.get(), u"");
    ASSERT_EQ(h.handle, 3u);
    ASSERT_EQ(c.server->RemoveGroup(g.handle, FALSE), S_OK);
    struct Case {
        OPCHANDLE handle;
        HRESULT hr;
    };
    // Handles given out before are taken as already removed.
    const Case cases[] = {{0, E_INVALIDARG}, {1, S_OK}, {2, S_OK}, {4, E_INVALIDARG}, {0xFFFFFFFF, E_INVALIDARG}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.handle);
        EXPECT_EQ(c.server->RemoveGroup(k.handle, FALSE), k.hr);
    }
    EXPECT_EQ(c.object()->Groups.size(), 1u);
}

TEST_F(ServerRemoveGroup, RemovedGroupStopsAtOnceAndItsReleaseIsSafe)
{
    vx::TVariable* a = var("A", VT_I2);
    buildCatalogue();
    TestClient c;
    RawGroup raw = rawAdd(c.server.get(), u"G", 100);
    auto sink = com::makeCom<RecordingSink>();
    {
        TestGroup g(raw.unk.get());
        ASSERT_EQ(g.addItems({{"St.A", 1}}).hr, S_OK);
        ASSERT_NE(g.advise(sink->unknown()), 0u);
    }
    tick(100);
    const auto delivered = sink->count(Callback::DataChange);
    EXPECT_GE(delivered, 1u);

    ASSERT_EQ(c.server->RemoveGroup(raw.handle, FALSE), S_OK);
    a->Quality = vx::qCommFailure;
    tick(100);
    tick(100);
    EXPECT_EQ(sink->count(Callback::DataChange), delivered);
    // Its methods fail; the client's release then ends it without a second event 1.
    com::ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(raw.unk.as(state), S_OK);
    DWORD rate = 0;
    EXPECT_EQ(state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    state = nullptr;
    raw.unk = nullptr;
    EXPECT_EQ(countEvents(opc::meGroupRemoved), 1);
}

TEST_F(ServerRemoveGroup, RemovedGroupMayOutliveTheServerObject)
{
    var("A", VT_I2);
    buildCatalogue();
    std::optional<TestClient> c;
    c.emplace();
    RawGroup raw = rawAdd(c->server.get(), u"G");
    {
        TestGroup g(raw.unk.get());
        ASSERT_EQ(g.addItems({{"St.A", 1}}).hr, S_OK);
    }
    ASSERT_EQ(c->server->RemoveGroup(raw.handle, FALSE), S_OK);
    c.reset();
    EXPECT_TRUE(registry->Servers.empty());
    // Nothing of the group may reach the server object that went first.
    raw.unk = nullptr;
    EXPECT_EQ(countEvents(opc::meGroupRemoved), 1);
    EXPECT_EQ(countEvents(opc::meItemRemoved), 1);
}

// --- CreateGroupEnumerator

using ServerGroupEnumerator = ServerTest;

TEST_F(ServerGroupEnumerator, ScopesAndInterfaces)
{
    TestClient c;
    RawGroup a = rawAdd(c.server.get(), u"A");
    RawGroup b = rawAdd(c.server.get(), u"B");
    struct Case {
        OPCENUMSCOPE scope;
        bool own;
    };
    const Case cases[] = {
        {OPC_ENUM_PRIVATE_CONNECTIONS, true}, {OPC_ENUM_PUBLIC_CONNECTIONS, false}, {OPC_ENUM_ALL_CONNECTIONS, true},
        {OPC_ENUM_PRIVATE, true},             {OPC_ENUM_PUBLIC, false},             {OPC_ENUM_ALL, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(static_cast<int>(k.scope));
        IUnknown* unk = nullptr;
        // Names: an enumerator always, S_FALSE when it is empty.
        EXPECT_EQ(c.server->CreateGroupEnumerator(k.scope, IID_IEnumString, &unk), k.own ? S_OK : S_FALSE);
        ASSERT_NE(unk, nullptr);
        com::ComPtr<IEnumString> names;
        ASSERT_EQ(com::ComPtr<IUnknown>::attach(unk).as(names), S_OK);
        const std::vector<std::string> expected = k.own ? std::vector<std::string>{"A", "B"} : std::vector<std::string>{};
        EXPECT_EQ(drain(names.get()), expected);

        // Objects: no enumerator at all when there is none.
        unk = nullptr;
        EXPECT_EQ(c.server->CreateGroupEnumerator(k.scope, IID_IEnumUnknown, &unk), k.own ? S_OK : S_FALSE);
        if (!k.own) {
            EXPECT_EQ(unk, nullptr);
            continue;
        }
        ASSERT_NE(unk, nullptr);
        com::ComPtr<IEnumUnknown> objects;
        ASSERT_EQ(com::ComPtr<IUnknown>::attach(unk).as(objects), S_OK);
        IUnknown* got[3] = {};
        ULONG fetched = 0;
        EXPECT_EQ(objects->Next(3, got, &fetched), S_FALSE);
        ASSERT_EQ(fetched, 2u);
        EXPECT_EQ(got[0], a.object()->unknown());
        EXPECT_EQ(got[1], b.object()->unknown());
        got[0]->Release();
        got[1]->Release();
    }
}

TEST_F(ServerGroupEnumerator, RefusedRequests)
{
    TestClient c;
    IUnknown* unk = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IOPCServer, &unk), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IUnknown, &unk), E_NOINTERFACE);
    for (const auto scope : {0, 7}) {
        unk = reinterpret_cast<IUnknown*>(0x1);
        EXPECT_EQ(c.server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(scope), IID_IEnumString, &unk), E_INVALIDARG);
        EXPECT_EQ(unk, nullptr);
    }
    EXPECT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, nullptr), E_POINTER);
}

TEST_F(ServerGroupEnumerator, WithoutGroups)
{
    TestClient c;
    IUnknown* unk = nullptr;
    EXPECT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, &unk), S_FALSE);
    ASSERT_NE(unk, nullptr);
    com::ComPtr<IEnumString> names;
    ASSERT_EQ(com::ComPtr<IUnknown>::attach(unk).as(names), S_OK);
    EXPECT_TRUE(drain(names.get()).empty());
    unk = nullptr;
    EXPECT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &unk), S_FALSE);
    EXPECT_EQ(unk, nullptr);
}

TEST_F(ServerGroupEnumerator, ObjectsOutliveTheClientsReferences)
{
    TestClient c;
    RawGroup a = rawAdd(c.server.get(), u"A");
    IUnknown* unk = nullptr;
    ASSERT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &unk), S_OK);
    com::ComPtr<IEnumUnknown> objects;
    ASSERT_EQ(com::ComPtr<IUnknown>::attach(unk).as(objects), S_OK);
    opc::TOPCGroup* group = a.object();
    a.unk = nullptr;  // the enumerator's reference keeps the group
    EXPECT_EQ(groupEvents(opc::meGroupRemoved, group), 0);
    IUnknown* got = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(objects->Next(1, &got, &fetched), S_OK);
    com::ComPtr<IOPCGroupStateMgt> state;
    EXPECT_EQ(com::ComPtr<IUnknown>::attach(got).as(state), S_OK);
    state = nullptr;
    objects = nullptr;
    EXPECT_EQ(groupEvents(opc::meGroupRemoved, group), 1);
}

// --- CloneGroup's half on the server

using ServerCloneGroup = ServerTest;

TEST_F(ServerCloneGroup, CloneIsListedWithANewHandle)
{
    TestClient c;
    RawGroup a = rawAdd(c.server.get(), u"A");
    com::ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(a.unk.as(state), S_OK);
    IUnknown* unk = nullptr;
    ASSERT_EQ(state->CloneGroup(u"B", IID_IOPCGroupStateMgt, &unk), S_OK);
    com::ComPtr<IUnknown> clone = com::ComPtr<IUnknown>::attach(unk);
    ASSERT_EQ(c.object()->Groups.size(), 2u);
    opc::TOPCGroup* b = c.object()->Groups[1];
    EXPECT_EQ(b->Name, "B");
    EXPECT_EQ(b->ServerHandle, 3u);
    EXPECT_EQ(b->refCount(), 1u);

    // An interface the group refuses leaves no clone behind.
    unk = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(c.object()->CreateClonedGroup("C", *a.object(), IID_IOPCServer, &unk), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(c.object()->Groups.size(), 2u);
    EXPECT_EQ(c.object()->LastGroupHandle, 3u);
}

// --- browsing

TEST(ServerBrowseFilter, Parsing)
{
    struct Case {
        std::string filter;
        std::string pattern;
        bool matchAll, hasStar;
        std::int32_t prefix;
        std::vector<std::int32_t> questions, hashes;
    };
    const Case cases[] = {
        {"", "", true, false, -1, {}, {}},
        {" \t ", "", true, false, -1, {}, {}},
        {"*", "*", true, false, -1, {}, {}},
        {"*Var", "*Var", true, false, -1, {}, {}},
        {"St*", "St", false, true, 2, {}, {}},
        {"  St*?#  ", "St", false, true, 2, {}, {}},
        {"?ar#1?", "?ar#1?", false, false, -1, {1, 6}, {4}},
        {"S?*x#", "S?", false, true, 2, {2}, {}},
        // Positions count characters, not bytes.
        {"Čer?", "Čer?", false, false, -1, {4}, {}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.filter);
        const opc::TSelectionFilter f = opc::ParseBrowseFilter(k.filter);
        EXPECT_EQ(f.Pattern, k.pattern);
        EXPECT_EQ(f.MatchAll, k.matchAll);
        EXPECT_EQ(f.HasStar, k.hasStar);
        EXPECT_EQ(f.PrefixLength, k.prefix);
        EXPECT_EQ(f.QuestionPositions, k.questions);
        EXPECT_EQ(f.HasQuestion, !k.questions.empty());
        EXPECT_EQ(f.HashPositions, k.hashes);
        EXPECT_EQ(f.HasHash, !k.hashes.empty());
    }
}

using ServerBrowse = ServerTest;

TEST_F(ServerBrowse, FilterTable)
{
    var("Var1", VT_I2);
    var("Var12", VT_I2, 2);
    var("VarX", VT_R8, 4);
    var("Bar1", VT_I2, 12);
    var("Text", VT_BSTR, 14)->Writable = false;
    var("Arr", VT_ARRAY | VT_I2, 40, 4);
    var("Čerpadlo1", VT_I2, 60);
    vx::TStation* other = addStation("Other", 2);
    var(other, "Var1", VT_I4);
    var(other, "Out", VT_I2, 2)->Readable = false;
    buildCatalogue();
    TestClient c;

    using V = std::vector<std::string>;
    // Every station has its own time-stamp variable.
    const V all = {"Other.INT_TimeStamp", "Other.Out", "Other.Var1", "St.Arr",    "St.Bar1", "St.Čerpadlo1",
                   "St.INT_TimeStamp",    "St.Text",   "St.Var1",    "St.Var12", "St.VarX"};
    struct Case {
        std::string filter;
        VARTYPE type;
        DWORD rights;
        V ids;
    };
    const Case cases[] = {
        {"", 0, 0, all},
        {"*", 0, 0, all},
        {"   ", 0, 0, all},
        {"*Var1", 0, 0, all},  // a leading star matches everything
        {"St*", 0, 0, {"St.Arr", "St.Bar1", "St.Čerpadlo1", "St.INT_TimeStamp", "St.Text", "St.Var1", "St.Var12", "St.VarX"}},
        {"sT.v*", 0, 0, {"St.Var1", "St.Var12", "St.VarX"}},
        {"St.Var#", 0, 0, {"St.Var1"}},
        {"St.Var##", 0, 0, {"St.Var12"}},
        {"St.?ar1", 0, 0, {"St.Bar1", "St.Var1"}},
        {"St.Var1*ignored", 0, 0, {"St.Var1", "St.Var12"}},
        {"St.var1", 0, 0, {"St.Var1"}},
        {"St.?erpadlo#", 0, 0, {"St.Čerpadlo1"}},
        {"?????", 0, 0, {}},
        {"Nothing", 0, 0, {}},
        {"", VT_I2, 0, {"Other.Out", "St.Bar1", "St.Čerpadlo1", "St.Var1", "St.Var12"}},
        {"", VT_ARRAY | VT_I2, 0, {"St.Arr"}},
        {"St*", VT_R8, 0, {"St.VarX"}},
        {"", 0, OPC_WRITEABLE,
         {"Other.INT_TimeStamp", "Other.Out", "Other.Var1", "St.Arr", "St.Bar1", "St.Čerpadlo1", "St.INT_TimeStamp", "St.Var1",
          "St.Var12", "St.VarX"}},
        {"", 0, OPC_READABLE,
         {"Other.INT_TimeStamp", "Other.Var1", "St.Arr", "St.Bar1", "St.Čerpadlo1", "St.INT_TimeStamp", "St.Text", "St.Var1",
          "St.Var12", "St.VarX"}},
        {"Other*", VT_I4, OPC_READABLE | OPC_WRITEABLE, {"Other.Var1"}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE("filter '" + k.filter + "' type " + std::to_string(k.type) + " rights " + std::to_string(k.rights));
        HRESULT hr = E_FAIL;
        EXPECT_EQ(c.browseIDs(k.filter, k.type, k.rights, &hr), k.ids);
        EXPECT_EQ(hr, k.ids.empty() ? S_FALSE : S_OK);
    }
}

TEST_F(ServerBrowse, NullArgumentsAndNoRegistry)
{
    var("A", VT_I2);
    buildCatalogue();
    TestClient c;
    EXPECT_EQ(c.browse->BrowseOPCItemIDs(OPC_FLAT, u"", 0, 0, nullptr), E_POINTER);
    // A null filter is an empty one.
    com::ComPtr<IEnumString> e;
    EXPECT_EQ(c.browse->BrowseOPCItemIDs(OPC_FLAT, nullptr, 0, 0, e.put()), S_OK);
    EXPECT_EQ(drain(e.get()), (std::vector<std::string>{"St.A", "St.INT_TimeStamp"}));

    opc::OPCRegistry = nullptr;
    HRESULT hr = E_FAIL;
    EXPECT_TRUE(c.browseIDs("", 0, 0, &hr).empty());
    EXPECT_EQ(hr, S_FALSE);
    opc::OPCRegistry = registry.get();
}

TEST_F(ServerBrowse, FixedAnswers)
{
    TestClient c;
    OPCNAMESPACETYPE type = OPC_NS_HIERARCHIAL;
    EXPECT_EQ(c.browse->QueryOrganization(&type), S_OK);
    EXPECT_EQ(type, OPC_NS_FLAT);
    EXPECT_EQ(c.browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"St"), E_FAIL);
    IEnumString* e = reinterpret_cast<IEnumString*>(0x1);
    EXPECT_EQ(c.browse->BrowseAccessPaths(u"St.A", &e), E_NOTIMPL);
    EXPECT_EQ(e, nullptr);
}

TEST_F(ServerBrowse, GetItemIDHandsOutACopy)
{
    var("A", VT_I2);
    buildCatalogue();
    TestClient c;
    struct Case {
        std::u16string id;
        HRESULT hr;
    };
    const Case cases[] = {
        {u"St.A", S_OK},
        {u"st.a", S_OK},
        {u"St.A.HiEU", S_OK},
        {u"", S_OK},
        {u"St.B", OPC_E_UNKNOWNITEMID},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(plat::utf16ToUtf8(k.id));
        std::u16string given = k.id;
        LPWSTR out = reinterpret_cast<LPWSTR>(0x1);
        EXPECT_EQ(c.browse->GetItemID(given.data(), &out), k.hr);
        if (k.hr != S_OK) {
            EXPECT_EQ(out, nullptr);
            continue;
        }
        ASSERT_NE(out, nullptr);
        EXPECT_NE(out, given.data());
        EXPECT_EQ(std::u16string(out), k.id);
        CoTaskMemFree(out);
    }
    LPWSTR out = nullptr;
    EXPECT_EQ(c.browse->GetItemID(nullptr, &out), E_INVALIDARG);
    std::u16string id = u"St.A";
    EXPECT_EQ(c.browse->GetItemID(id.data(), nullptr), E_POINTER);
    com::failTaskAllocAfter(0);
    EXPECT_EQ(c.browse->GetItemID(id.data(), &out), E_OUTOFMEMORY);
    com::clearTaskAllocFailure();
    EXPECT_EQ(out, nullptr);
}

// --- status

using ServerStatus = ServerTest;

TEST_F(ServerStatus, Fields)
{
    TestClient c;
    const double start = clock.now();
    RawGroup a = rawAdd(c.server.get(), u"A");
    RawGroup b = rawAdd(c.server.get(), u"B");
    tick(250);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(c.server->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    FILETIME now{};
    CoFileTimeNow(&now);
    EXPECT_TRUE(sameFileTime(status->ftStartTime, opc::DateTimeToFileTimeUTC(start)));
    EXPECT_TRUE(sameFileTime(status->ftLastUpdateTime, opc::DateTimeToFileTimeUTC(clock.now())));
    EXPECT_TRUE(sameFileTime(status->ftCurrentTime, now));
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->dwGroupCount, 2u);
    EXPECT_EQ(status->dwBandWidth, 100u);
    std::uint16_t major = 0, minor = 0, build = 0;
    ASSERT_TRUE(vx::GetVersionNumbers(major, minor, build));
    EXPECT_EQ(status->wMajorVersion, major);
    EXPECT_EQ(status->wMinorVersion, minor);
    EXPECT_EQ(status->wBuildNumber, build);
    EXPECT_EQ(status->wReserved, 0);
    EXPECT_EQ(std::u16string(status->szVendorInfo), opc::kVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST_F(ServerStatus, BeforeAnyPulseTheLastUpdateIsTimeZero)
{
    TestClient c;
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(c.server->GetStatus(&status), S_OK);
    EXPECT_TRUE(sameFileTime(status->ftLastUpdateTime, opc::DateTimeToFileTimeUTC(0)));
    EXPECT_EQ(status->dwGroupCount, 0u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST_F(ServerStatus, AllocationFailureLeavesNothing)
{
    TestClient c;
    // The record itself, then the vendor text.
    for (std::size_t n : {0u, 1u}) {
        SCOPED_TRACE(n);
        OPCSERVERSTATUS* status = reinterpret_cast<OPCSERVERSTATUS*>(0x1);
        com::failTaskAllocAfter(n);
        EXPECT_EQ(c.server->GetStatus(&status), E_OUTOFMEMORY);
        com::clearTaskAllocFailure();
        EXPECT_EQ(status, nullptr);
    }
    EXPECT_EQ(c.server->GetStatus(nullptr), E_INVALIDARG);
}

// --- IOPCCommon

using ServerCommon = ServerTest;

TEST_F(ServerCommon, LocaleIDs)
{
    TestClient c;
    struct Case {
        LCID lcid;
        HRESULT hr;
        LCID after;
    };
    const Case cases[] = {
        {LOCALE_USER_DEFAULT, S_OK, LOCALE_USER_DEFAULT},
        {1029, E_INVALIDARG, LOCALE_USER_DEFAULT},
        {0, E_INVALIDARG, LOCALE_USER_DEFAULT},
        {LOCALE_SYSTEM_DEFAULT, S_OK, LOCALE_SYSTEM_DEFAULT},
        {1033, E_INVALIDARG, LOCALE_SYSTEM_DEFAULT},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.lcid);
        EXPECT_EQ(c.common->SetLocaleID(k.lcid), k.hr);
        LCID now = 0;
        EXPECT_EQ(c.common->GetLocaleID(&now), S_OK);
        EXPECT_EQ(now, k.after);
    }
    EXPECT_EQ(c.common->GetLocaleID(nullptr), E_POINTER);

    DWORD count = 0;
    LCID* ids = nullptr;
    ASSERT_EQ(c.common->QueryAvailableLocaleIDs(&count, &ids), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(ids[0], LOCALE_SYSTEM_DEFAULT);
    EXPECT_EQ(ids[1], LOCALE_USER_DEFAULT);
    CoTaskMemFree(ids);

    com::failTaskAllocAfter(0);
    EXPECT_EQ(c.common->QueryAvailableLocaleIDs(&count, &ids), E_OUTOFMEMORY);
    com::clearTaskAllocFailure();
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(c.common->QueryAvailableLocaleIDs(nullptr, &ids), E_POINTER);
}

TEST_F(ServerCommon, ClientName)
{
    TestClient c;
    EXPECT_EQ(c.common->SetClientName(u"Plant HMI"), S_OK);
    EXPECT_EQ(c.object()->ClientName, "Plant HMI");
    EXPECT_EQ(serverEvents(opc::meClientName, c.object()), 1);
    EXPECT_EQ(c.common->SetClientName(nullptr), S_OK);
    EXPECT_EQ(c.object()->ClientName, "");
    EXPECT_EQ(serverEvents(opc::meClientName, c.object()), 2);
}

TEST_F(ServerCommon, NothingToPersist)
{
    TestClient c;
    com::ComPtr<IPersistFile> file;
    ASSERT_EQ(c.server.as(file), S_OK);
    com::ComPtr<IPersist> persist;
    EXPECT_EQ(c.server.as(persist), S_OK);
    CLSID clsid{};
    EXPECT_EQ(file->GetClassID(&clsid), S_FALSE);
    EXPECT_EQ(file->IsDirty(), S_FALSE);
    EXPECT_EQ(file->Load(u"x.cfg", 0), S_FALSE);
    EXPECT_EQ(file->Save(u"x.cfg", TRUE), S_FALSE);
    EXPECT_EQ(file->SaveCompleted(u"x.cfg"), S_FALSE);
    LPOLESTR name = reinterpret_cast<LPOLESTR>(0x1);
    EXPECT_EQ(file->GetCurFile(&name), S_FALSE);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(file->GetCurFile(nullptr), S_FALSE);
}

// --- the server object's end, and callbacks that change things

using ServerLifetime = ServerTest;

TEST_F(ServerLifetime, ReleasedWhileTheClientHoldsAGroup)
{
    var("A", VT_I2);
    var("B", VT_I2, 2);
    buildCatalogue();
    auto sink = com::makeCom<RecordingSink>();
    TestGroup g;
    opc::TOPCGroup* group = nullptr;
    opc::TDA2* server = nullptr;
    {
        TestClient c;
        server = c.object();
        g = c.addGroup("G", true, 100);
        ASSERT_TRUE(g);
        group = g.object();
        ASSERT_EQ(g.addItems({{"St.A", 1}, {"St.B", 2}}).hr, S_OK);
        ASSERT_NE(g.advise(sink->unknown()), 0u);
        tick(100);
        events.clear();
    }
    // The server object is gone; the group lives on, empty.
    EXPECT_TRUE(registry->Servers.empty());
    EXPECT_TRUE(opc::PulseEnabled);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0].code, opc::meServerDestroyed);
    EXPECT_EQ(std::get<opc::TDA2*>(events[0].obj), server);
    EXPECT_EQ(events[1].code, opc::meGroupRemoved);
    EXPECT_EQ(std::get<opc::TOPCGroup*>(events[1].obj), group);
    EXPECT_EQ(countEvents(opc::meItemRemoved), 2);
    EXPECT_TRUE(group->TornDown());
    EXPECT_TRUE(group->Items.empty());
    EXPECT_FALSE(group->DataCallback);

    // Every method fails; nothing reaches the freed server object.
    DWORD rate = 0;
    EXPECT_EQ(g.state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(g.addItems({{"St.A", 1}}).hr, E_FAIL);
    EXPECT_EQ(g.state->SetName(u"H"), E_FAIL);
    IUnknown* clone = nullptr;
    EXPECT_EQ(g.state->CloneGroup(u"H", IID_IUnknown, &clone), E_FAIL);
    EXPECT_EQ(clone, nullptr);
    tick(100);

    const auto before = events.size();
    g.release();
    EXPECT_EQ(events.size(), before);  // torn down once only
}

TEST_F(ServerLifetime, AtProgramEndItStillLeavesTheRegistry)
{
    TestClient c;
    TestGroup g = c.addGroup("G", true, 100);
    opc::TOPCGroup* group = g.object();
    vx::ShuttingDown = true;
    events.clear();
    c.release();
    EXPECT_TRUE(registry->Servers.empty());
    EXPECT_EQ(countEvents(opc::meServerDestroyed), 0);
    EXPECT_TRUE(group->TornDown());
    g.release();
}

TEST_F(ServerLifetime, PulseReachesListedGroupsAndStampsTheServer)
{
    vx::TVariable* a = var("A", VT_I2);
    buildCatalogue();
    TestClient c;
    TestGroup g = c.addGroup("G", true, 100);
    auto sink = com::makeCom<RecordingSink>();
    ASSERT_EQ(g.addItems({{"St.A", 1}}).hr, S_OK);
    ASSERT_NE(g.advise(sink->unknown()), 0u);
    const auto connected = sink->count(Callback::DataChange);
    a->Quality = vx::qCommFailure;
    tick(100);
    EXPECT_EQ(c.object()->LastUpdateTime, clock.now());
    EXPECT_EQ(sink->count(Callback::DataChange), connected + 1);
}

// Two groups of one client on one sink, each with the same item, both due on the next tick.
struct ServerCallbackChanges : ServerTest {
    vx::TVariable* a = nullptr;
    com::ComPtr<RecordingSink> sink = com::makeCom<RecordingSink>();
    std::optional<TestClient> c;
    TestGroup first, second;
    std::size_t connected = 0;

    void SetUp() override
    {
        ServerTest::SetUp();
        a = var("A", VT_I2);
        buildCatalogue();
        c.emplace();
        first = c->addGroup("First", true, 100, 1);
        second = c->addGroup("Second", true, 100, 2);
        for (TestGroup* g : {&first, &second}) {
            ASSERT_EQ(g->addItems({{"St.A", 1}}).hr, S_OK);
            ASSERT_NE(g->advise(sink->unknown()), 0u);
        }
        connected = sink->count(Callback::DataChange);
        a->Quality = vx::qCommFailure;
    }
    void TearDown() override
    {
        sink->onCall = nullptr;
        first.release();
        second.release();
        c.reset();
        ServerTest::TearDown();
    }
};

TEST_F(ServerCallbackChanges, BothGroupsReport)
{
    tick(100);
    EXPECT_EQ(sink->count(Callback::DataChange), connected + 2);
}

TEST_F(ServerCallbackChanges, GroupRemovedInsideACallbackGetsNoFurtherCallback)
{
    const OPCHANDLE secondHandle = second.serverHandle;
    sink->onCall = [&](const Callback& cb) {
        if (cb.kind == Callback::DataChange && cb.group == 1)
            c->server->RemoveGroup(secondHandle, TRUE);
    };
    tick(100);
    ASSERT_EQ(sink->count(Callback::DataChange), connected + 1);
    EXPECT_EQ(sink->last(Callback::DataChange)->group, 1u);
    EXPECT_EQ(c->object()->Groups.size(), 1u);
}

TEST_F(ServerCallbackChanges, ClientReleasingEverythingInsideACallback)
{
    // The first callback drops the server object and both groups: the tick must not touch
    // freed memory, and no further callback comes.
    sink->onCall = [&](const Callback&) {
        first.release();
        second.release();
        c.reset();
    };
    tick(100);
    EXPECT_EQ(sink->count(Callback::DataChange), connected + 1);
    EXPECT_TRUE(registry->Servers.empty());
    EXPECT_EQ(countEvents(opc::meGroupRemoved), 2);
    EXPECT_EQ(countEvents(opc::meServerDestroyed), 1);
    sink->onCall = nullptr;
    a->Quality = vx::qGood;
    tick(100);
    EXPECT_EQ(sink->count(Callback::DataChange), connected + 1);
}

// --- shutdown sink

using ServerShutdownSink = ServerTest;

TEST_F(ServerShutdownSink, ConnectAndDisconnect)
{
    TestClient c;
    auto sink = com::makeCom<RecordingSink>();
    auto other = com::makeCom<RecordingSink>();
    const DWORD cookie = c.adviseShutdown(sink->unknown());
    ASSERT_NE(cookie, 0u);
    ASSERT_TRUE(c.object()->ShutdownSink);
    com::ComPtr<IUnknown> a, b;
    c.object()->ShutdownSink.as(a);
    sink->QueryInterface(IID_IUnknown, b.putVoid());
    EXPECT_EQ(a.get(), b.get());
    // One sink at a time.
    EXPECT_EQ(c.adviseShutdown(other->unknown()), 0u);

    registry->ShutdownClients();
    ASSERT_EQ(sink->shutdownReasons.size(), 1u);
    EXPECT_TRUE(other->shutdownReasons.empty());

    com::ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(c.cpc->FindConnectionPoint(IID_IOPCShutdown, cp.put()), S_OK);
    EXPECT_EQ(cp->Unadvise(cookie), S_OK);
    EXPECT_FALSE(c.object()->ShutdownSink);
    EXPECT_NE(c.adviseShutdown(other->unknown()), 0u);
    EXPECT_TRUE(c.object()->ShutdownSink);
}

}  // namespace
}  // namespace opctest

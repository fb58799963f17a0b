// The OPC registry: catalogue order and lookup, item-ID syntax, variant-type checks, the
// pulse period, the completion hook, the OPC call log, re-rating and re-binding of items, and
// the pulse broadcast.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>

#include "comm/vx_classes.h"
#include "opc/opc_async.h"
#include "opc/opc_group.h"
#include "opc/opc_item.h"
#include "opc/opc_server.h"
#include "opc_client.h"
#include "opc_fixture.h"
#include "platform/com/runtime.h"
#include "platform/sysdirs.h"

namespace opctest {
namespace {

using opc::TServer;

std::vector<std::string> catalogueIDs(const TServer& r)
{
    std::vector<std::string> out;
    for (const auto& e : r.Items)
        out.push_back(e.ItemID);
    return out;
}

std::vector<std::int32_t> catalogueHandles(const TServer& r)
{
    std::vector<std::int32_t> out;
    for (const auto& e : r.Items)
        out.push_back(e.Handle);
    return out;
}

// ---------------------------------------------------------------------------------------
// Catalogue

struct GlobalsCatalogue : OpcFixture {
    void add(const std::string& id, vx::TVariable* v = nullptr) { registry->AddItem({id, VT_I2, true, false, v}); }
};

TEST_F(GlobalsCatalogue, HandlesFollowAppendThenSortedPosition)
{
    for (const char* id : {"b", "A", "c"})
        add(id);
    EXPECT_EQ(catalogueHandles(*registry), (std::vector<std::int32_t>{5000, 5001, 5002}));
    registry->SortItems();
    EXPECT_EQ(catalogueIDs(*registry), (std::vector<std::string>{"A", "b", "c"}));
    EXPECT_EQ(catalogueHandles(*registry), (std::vector<std::int32_t>{5000, 5001, 5002}));
    registry->ClearItems();
    EXPECT_TRUE(registry->Items.empty());
}

TEST_F(GlobalsCatalogue, FindIsCaseInsensitiveAndGivesTheInsertionPosition)
{
    for (const char* id : {"Station.Var", "A", "b", "c"})
        add(id);
    registry->SortItems();  // A b c Station.Var
    struct Case {
        const char* key;
        const char* found;  // nullptr: absent
        std::int32_t index;
    } cases[] = {
        {"STATION.VAR", "Station.Var", 3}, {"station.var", "Station.Var", 3}, {"a", "A", 0}, {"B", "b", 1},
        {"C", "c", 2},  {"0", nullptr, 0}, {"bb", nullptr, 2}, {"Station", nullptr, 3}, {"z", nullptr, 4},
        {"", nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::int32_t index = -1;
        const opc::Titem* e = registry->FindItem(c.key, index);
        EXPECT_EQ(index, c.index);
        if (!c.found) {
            EXPECT_EQ(e, nullptr);
            continue;
        }
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->ItemID, c.found);
        EXPECT_EQ(e->Handle, 5000 + index);
    }

    registry->ClearItems();
    std::int32_t index = -1;
    EXPECT_EQ(registry->FindItem("A", index), nullptr);
    EXPECT_EQ(index, 0);
}

// Sort and search must agree on one order, or entries are missed: every ID of a large
// shuffled catalogue is found in another case, under two collations.
TEST_F(GlobalsCatalogue, EveryEntryIsFoundAfterSorting)
{
    std::vector<std::string> ids;
    for (int i = 0; i < 600; ++i)
        ids.push_back("St.V" + std::to_string(i * 7 % 1000));
    for (const char* id : {"St.Ch1", "St.H1", "St.C1", "St.D1", "St.I1", "St._x", "St.x_", "St.Zz"})
        ids.push_back(id);
    std::mt19937 rng(1);
    for (const char* locale : {"en_US", "cs_CZ"}) {
        SCOPED_TRACE(locale);
        plat::setCollationLocale(locale);
        std::shuffle(ids.begin(), ids.end(), rng);
        registry->ClearItems();
        for (const auto& id : ids)
            add(id);
        registry->SortItems();
        for (std::size_t i = 1; i < registry->Items.size(); ++i)
            ASSERT_LE(plat::compareTextLocale(registry->Items[i - 1].ItemID, registry->Items[i].ItemID), 0);
        for (const auto& id : ids) {
            std::string upper = id;
            std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
            std::int32_t index = -1;
            const opc::Titem* e = registry->FindItem(upper, index);
            ASSERT_NE(e, nullptr) << upper;
            EXPECT_EQ(e->ItemID, id);
            EXPECT_EQ(e->Handle, 5000 + index);
            EXPECT_EQ(&registry->Items[static_cast<std::size_t>(index)], e);
        }
    }
}

TEST_F(GlobalsCatalogue, FindItemByIDCutsThePropertyKeywordOffACopy)
{
    vx::TVariable* a = var("A", VT_I2);
    buildCatalogue();
    struct Case {
        std::string id;
        vx::TVariable* variable;
        std::int32_t property;
    } cases[] = {
        {"St.A", a, 2},          {"st.a", a, 2},         {"St.A.HiEU", a, 102}, {"ST.A.Units", a, 100},
        {"St.A.Value", nullptr, 2},  // looked up whole
        {"St.A.hieu", nullptr, 2},   {"", nullptr, 0},   {"St.B", nullptr, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const std::string before = c.id;
        std::int32_t property = -1;
        const opc::Titem* e = opc::FindItemByID(c.id, property);
        EXPECT_EQ(property, c.property);
        EXPECT_EQ(c.id, before);
        EXPECT_EQ(e ? e->Variable : nullptr, c.variable);
    }

    std::int32_t property = -1;
    opc::OPCRegistry = nullptr;
    EXPECT_EQ(opc::FindItemByID("St.A.Units", property), nullptr);
    EXPECT_EQ(property, 100);
    opc::OPCRegistry = registry.get();
    registry->ClearItems();
    EXPECT_EQ(opc::FindItemByID("St.A", property), nullptr);
}

// ---------------------------------------------------------------------------------------
// Item-ID syntax and the property table

TEST(GlobalsItemID, ParseItemID)
{
    struct Case {
        std::string id;
        std::int32_t property;
        std::string rest;
    } cases[] = {
        {"Station.Var.HiEU", 102, "Station.Var"},
        {"Station.Var.hieu", 2, "Station.Var.hieu"},
        {"Station.Var.Value", 2, "Station.Var.Value"},
        {"", 0, ""},
        {"Station.Var", 2, "Station.Var"},
        {"Station.F.Var.LoLoLimit", 310, "Station.F.Var"},
        {"Units", 100, ""},
        {"A..Units", 100, "A."},
        {"A.B.Units.", 100, "A.B"},  // a trailing dot adds no part
        {"A.Units.B", 2, "A.Units.B"},
        {"A.Units ", 2, "A.Units "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        std::string id = c.id;
        EXPECT_EQ(opc::ParseItemID(id), c.property);
        EXPECT_EQ(id, c.rest);
    }
    // Every keyword but Value names its property.
    for (const auto& p : opc::ItemPropertyNames) {
        SCOPED_TRACE(p.Keyword);
        std::string id = std::string("St.V.") + p.Keyword;
        EXPECT_EQ(opc::ParseItemID(id), p.ID);
        EXPECT_EQ(id, p.ID == 2 ? std::string("St.V.Value") : std::string("St.V"));
    }
}

TEST(GlobalsItemID, SplitString)
{
    struct Case {
        std::string s;
        std::string delimiter;
        std::vector<std::string> parts;
    } cases[] = {
        {"A.B.", ".", {"A", "B"}},
        {".A", ".", {"", "A"}},
        {"A..B", ".", {"A", "", "B"}},
        {"", ".", {}},
        {".", ".", {""}},
        {"A", ".", {"A"}},
        {"A::B::", "::", {"A", "B"}},
        {"A.B", "", {"A.B"}},  // no delimiter to cut at
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.s + " / " + c.delimiter);
        std::vector<std::string> list{"kept"};
        EXPECT_EQ(opc::SplitString(c.s, c.delimiter, list), static_cast<std::int32_t>(c.parts.size()));
        std::vector<std::string> expected{"kept"};
        expected.insert(expected.end(), c.parts.begin(), c.parts.end());
        EXPECT_EQ(list, expected);
    }
}

TEST(GlobalsItemID, ReservedNamesAreTheKeywordsExactly)
{
    for (const char* name : {"Units", "Value", "DataType", "LoLoLimit", "Description"})
        EXPECT_TRUE(opc::IsReservedItemName(name)) << name;
    for (const char* name : {"units", "UNITS", "Unit", "Units ", "", "Val"})
        EXPECT_FALSE(opc::IsReservedItemName(name)) << name;
}

TEST(GlobalsItemID, PropertyTable)
{
    struct Case {
        std::int32_t id;
        const char* keyword;
        VARTYPE type;
        const char* description;  // nullptr: not in the table
    } cases[] = {
        {1, "DataType", VT_I2, "Cannonical DataType"},
        {2, "Value", VT_EMPTY, "Value"},
        {4, "TimeStamp", VT_DATE, "Timestamp"},
        {5, "Rights", VT_I4, "Access Rights"},
        {6, "ScanRate", VT_R4, "Scan Rate"},
        {101, "Description", VT_BSTR, "Item Description"},
        {104, "HiRange", VT_R8, "High Instrument Range"},
        {107, "OpenLabel", VT_BSTR, "Contact Open Label"},
        {307, "HiHiLimit", VT_R8, "HiHi Limit"},
        {0, "", VT_EMPTY, nullptr},
        {7, "", VT_EMPTY, nullptr},
        {311, "", VT_EMPTY, nullptr},
        {-1, "", VT_EMPTY, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(opc::GetItemPropertyName(c.id), c.keyword);
        EXPECT_EQ(opc::GetItemPropertyVarType(c.id), c.type);
        const opc::TItemPropertyInfo* p = opc::FindItemProperty(c.id);
        if (!c.description) {
            EXPECT_EQ(p, nullptr);
            continue;
        }
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p->Description, c.description);
    }
    // Clients see the properties in ascending ID order.
    EXPECT_TRUE(std::is_sorted(std::begin(opc::ItemPropertyNames), std::end(opc::ItemPropertyNames),
                               [](const auto& a, const auto& b) { return a.ID < b.ID; }));
}

TEST(GlobalsItemID, AccessRights)
{
    auto rights = [](bool r, bool w) { return opc::GetAccessRights({"X", VT_I2, r, w, nullptr}); };
    EXPECT_EQ(rights(false, false), 0u);
    EXPECT_EQ(rights(true, false), 1u);
    EXPECT_EQ(rights(false, true), 2u);
    EXPECT_EQ(rights(true, true), 3u);
}

// ---------------------------------------------------------------------------------------
// Variant types

TEST(GlobalsVarTypes, SupportedTypes)
{
    struct Case {
        VARTYPE vt;
        bool supported;
    } cases[] = {
        {0, true},        {12, true},          {0x2005, true},  {VT_BYREF | VT_I4, true}, {13, false},
        {14, false},      {15, false},         {16, true},      {19, true},               {20, false},
        {21, false},      {71, false},         {72, true},      {73, false},              {256, true},
        {257, false},     {0x2000 | 14, false}, {0x2000 | 256, true}, {0xFFFF, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(opc::IsSupportedVarType(c.vt), c.supported) << std::hex << c.vt;
}

TEST(GlobalsVarTypes, Compatibility)
{
    struct Case {
        VARTYPE canonical, requested;
        bool compatible;
    } cases[] = {
        {0x2008, 0x2003, false},  // strings stay strings
        {0x2008, 0x2008, true},   {0x2008, 8, false},        {0x2008, 0, true},
        {0x2002, 5, false},       // array flags differ
        {5, 0x2005, false},       {0x2002, 0x2005, true},    {3, 0, true},
        {3, 8, true},             {8, 3, true},              {3, 14, false},
        {3, 13, false},           {0x2003, 0x2000 | 14, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(opc::IsVarTypeCompatible(c.canonical, c.requested), c.compatible)
            << std::hex << c.canonical << " " << c.requested;
}

TEST(GlobalsVarTypes, CanConvertVariant)
{
    struct Case {
        VARTYPE a, b;
        bool convertible;
    } cases[] = {
        {VT_I4, VT_I4, true},    {VT_I2, VT_R8, true},   {VT_UI8, VT_I1, true},  {VT_UINT, VT_R4, true},
        {VT_BSTR, VT_BSTR, true}, {VT_EMPTY, VT_EMPTY, true}, {VT_BSTR, VT_I4, false}, {VT_BOOL, VT_I2, false},
        {VT_EMPTY, VT_I2, false}, {VT_DATE, VT_R8, false}, {VT_CY, VT_I4, false},
        {VT_ARRAY | VT_I4, VT_ARRAY | VT_I4, true}, {VT_ARRAY | VT_I4, VT_I4, false},
        {VT_ARRAY | VT_I4, VT_ARRAY | VT_R8, false},
    };
    for (const auto& c : cases) {
        VARIANT a{}, b{};  // only the types are looked at
        a.vt = c.a;
        b.vt = c.b;
        EXPECT_EQ(opc::CanConvertVariant(a, b), c.convertible) << c.a << " " << c.b;
        EXPECT_EQ(opc::CanConvertVariant(b, a), c.convertible) << c.b << " " << c.a;
    }
}

// ---------------------------------------------------------------------------------------
// Pulse period

struct GlobalsPulse : OpcFixture {
    com::ComPtr<opc::TDA2> server;
    bool listedByHand = false;
    std::vector<com::ComPtr<opc::TOPCGroup>> groups;

    void SetUp() override
    {
        OpcFixture::SetUp();
        server = com::makeCom<opc::TDA2>();
        if (!registry->HasServer(server.get())) {
            registry->Servers.push_back(server.get());
            listedByHand = true;
        }
        opc::ResetOPCGlobals();  // creating the server object may have recomputed already
    }
    void TearDown() override
    {
        server->Groups.clear();
        groups.clear();
        if (listedByHand)
            std::erase(registry->Servers, server.get());
        server = nullptr;
        OpcFixture::TearDown();
    }

    // A group that is in the server object's list and nothing else.
    void addRate(DWORD rate)
    {
        auto g = com::makeCom<opc::TOPCGroup>(nullptr, nullptr);
        g->UpdateRate = rate;
        server->Groups.push_back(g.get());
        groups.push_back(g);
    }
    void recalcNow()
    {
        opc::PulseRecalcCounter = opc::PulseRecalcLimit;
        opc::UpdateFastestUpdateInterval();
    }
};

TEST_F(GlobalsPulse, RecomputedOnlyEveryLimitCalls)
{
    for (int i = 1; i < 50; ++i)
        opc::UpdateFastestUpdateInterval();
    EXPECT_EQ(opc::FastestUpdateInterval, 200u);
    EXPECT_EQ(opc::PulseRecalcCounter, 49);
    opc::UpdateFastestUpdateInterval();  // the 50th: no group anywhere
    EXPECT_EQ(opc::FastestUpdateInterval, 10u);
    EXPECT_EQ(opc::PulseRecalcLimit, 1000);
    EXPECT_EQ(opc::PulseRecalcCounter, 0);
}

TEST_F(GlobalsPulse, PeriodFromTheGroupRates)
{
    struct Case {
        std::vector<DWORD> rates;
        std::uint32_t period;
        std::int32_t limit;
    } cases[] = {
        {{}, 10, 1000},   {{5}, 5, 2000},         {{2}, 2, 5000},          {{1}, 2, 5000},
        {{3}, 3, 3333},   {{500, 7, 9}, 7, 1429}, {{9}, 9, 1111},          {{100, 0}, 2, 5000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.rates));
        server->Groups.clear();
        groups.clear();
        for (DWORD r : c.rates)
            addRate(r);
        opc::FastestUpdateInterval = 200;
        recalcNow();
        EXPECT_EQ(opc::FastestUpdateInterval, c.period);
        EXPECT_EQ(opc::PulseRecalcLimit, c.limit);
        EXPECT_EQ(opc::PulseRecalcCounter, 0);
    }
}

TEST_F(GlobalsPulse, SlowGroupsLeaveThePeriodAndRecomputeEveryCall)
{
    addRate(100);
    addRate(500);
    recalcNow();
    EXPECT_EQ(opc::FastestUpdateInterval, 200u);
    EXPECT_EQ(opc::PulseRecalcLimit, 50);
    EXPECT_EQ(opc::PulseRecalcCounter, 51);  // not reset: the next call recomputes again

    // Months of pulses with nothing stored must not wrap the counter.
    opc::PulseRecalcCounter = std::numeric_limits<std::int32_t>::max();
    opc::UpdateFastestUpdateInterval();
    EXPECT_GE(opc::PulseRecalcCounter, opc::PulseRecalcLimit);
    addRate(4);
    opc::UpdateFastestUpdateInterval();
    EXPECT_EQ(opc::FastestUpdateInterval, 4u);
    EXPECT_EQ(opc::PulseRecalcLimit, 2500);
}

TEST_F(GlobalsPulse, NothingStoredWithoutRegistry)
{
    opc::OPCRegistry = nullptr;
    for (int i = 0; i < 120; ++i)
        opc::UpdateFastestUpdateInterval();
    EXPECT_EQ(opc::FastestUpdateInterval, 200u);
    opc::OPCRegistry = registry.get();
}

TEST_F(GlobalsPulse, MonitorEventRecomputesAtOnce)
{
    addRate(5);
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        registry->NotifyMonitor(opc::meClientName, server.get());
    }
    EXPECT_EQ(opc::FastestUpdateInterval, 5u);
    EXPECT_EQ(opc::PulseRecalcLimit, 2000);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().code, opc::meClientName);
    EXPECT_EQ(std::get<opc::TDA2*>(events.back().obj), server.get());

    registry->OnMonitorEvent = nullptr;  // no sink: still recomputed
    server->Groups.clear();
    registry->NotifyMonitor(opc::meGroupRemoved, static_cast<opc::TOPCGroup*>(nullptr));
    EXPECT_EQ(opc::FastestUpdateInterval, 10u);
}

TEST_F(GlobalsPulse, GroupCountLooksAtOwnListsOnly)
{
    addRate(100);
    addRate(200);
    auto pub = com::makeCom<opc::TOPCGroup>(nullptr, nullptr);
    pub->UpdateRate = 3;
    server->PublicGroups.push_back(pub.get());
    EXPECT_EQ(registry->TotalGroupCount(), 2);
    recalcNow();
    EXPECT_EQ(opc::FastestUpdateInterval, 200u);  // the public group's 3 ms is not looked at
    server->PublicGroups.clear();
}

// ---------------------------------------------------------------------------------------
// The completion hook and the registry's lifetime

struct GlobalsHook : OpcFixture {};

TEST_F(GlobalsHook, EndsEveryWaitingTransactionOnce)
{
    vx::TVariable* v = var("V", VT_I2);
    vx::TVariable* w = var("W", VT_I2);
    opc::TAsyncIO2 t1(nullptr, OPC_DS_DEVICE, 2, 7, opc::akRead);
    opc::TAsyncIO2 t2(nullptr, OPC_DS_DEVICE, 1, 8, opc::akRead);
    // t1 waits twice on v (two requests) and once on w; t2 once on v.
    v->WaitingTransactions = {&t1, &t2, &t1};
    w->WaitingTransactions = {&t1};
    t1.WaitVariables = {v, w, v};
    t2.WaitVariables = {v};

    ASSERT_TRUE(vx::OnVariableRequestDone);
    vx::OnVariableRequestDone(v);
    EXPECT_TRUE(v->WaitingTransactions.empty());
    EXPECT_EQ(t1.WaitVariables, (std::vector<vx::TVariable*>{w}));
    EXPECT_TRUE(t2.WaitVariables.empty());
    EXPECT_EQ(w->WaitingTransactions.size(), 1u);

    registry->VariableRequestDone(w);
    EXPECT_TRUE(t1.WaitVariables.empty());
    EXPECT_TRUE(w->WaitingTransactions.empty());

    registry->VariableRequestDone(nullptr);
    registry->VariableRequestDone(v);  // nothing waiting: nothing happens
}

TEST_F(GlobalsHook, DestroyedRegistryLeavesNoHookAndDisconnectsServersLastFirst)
{
    std::vector<com::ComPtr<opc::TDA2>> servers{com::makeCom<opc::TDA2>(), com::makeCom<opc::TDA2>()};
    for (const auto& s : servers)
        if (!registry->HasServer(s.get()))
            registry->Servers.push_back(s.get());
    std::vector<IUnknown*> disconnected;
    com::setDisconnectHook([&](IUnknown* u) { disconnected.push_back(u); });
    var("A", VT_I2);
    buildCatalogue();

    registry.reset();
    com::setDisconnectHook({});
    EXPECT_EQ(opc::OPCRegistry, nullptr);
    EXPECT_FALSE(vx::OnVariableRequestDone);
    EXPECT_EQ(disconnected, (std::vector<IUnknown*>{servers[1]->unknown(), servers[0]->unknown()}));

    // A request finishing afterwards reaches nothing.
    vx::TVariable* v = var("V", VT_I2);
    bool done = true;
    ASSERT_EQ(v->RequestRead(done), S_OK);
    EXPECT_FALSE(done);
    completeRequests();
    servers.clear();
}

// ---------------------------------------------------------------------------------------
// OPC call log

struct GlobalsLog : OpcFixture {
    void TearDown() override
    {
        for (const auto& f : written)
            std::filesystem::remove(f);
        OpcFixture::TearDown();
    }
    std::vector<std::string> written;
};

TEST_F(GlobalsLog, EventNames)
{
    const std::pair<int, const char*> cases[] = {
        {10, "Async Read"},           {11, "Async Write"},           {12, "Async Cancel"},
        {13, "Async Refresh"},        {14, "Async SetEnable"},       {15, "Async GetEnable"},
        {20, "CallBack ReadComplete"}, {21, "CallBack WriteComplete"}, {22, "CallBack CancelComplete"},
        {23, "CallBack DataChange"},  {16, "?"},                     {19, "?"},
        {24, "?"},                    {0, "?"},                      {-10, "?"},
    };
    for (const auto& [code, name] : cases)
        EXPECT_EQ(opc::GetOPCLogEventName(code), name) << code;
}

TEST_F(GlobalsLog, MemoryLogKeepsTheNewestLines)
{
    opc::OPCNumLogLines = 3;
    opc::LogOPCCall(opc::leAsyncRead, "C.G", "ItemCount=1");
    EXPECT_TRUE(opc::OPCLog.empty());  // logging off

    opc::OPCLogging = true;
    const int codes[] = {opc::leAsyncRead, opc::leAsyncWrite, opc::leAsyncCancel, opc::leDataChange};
    for (int code : codes) {
        clock.advanceMs(1000);
        opc::LogOPCCall(code, "C.G", "");
    }
    // The fourth call removed the oldest of three before appending.
    EXPECT_EQ(opc::OPCLog, (std::deque<std::string>{"Async Write\r12:00:02 PM", "Async Cancel\r12:00:03 PM",
                                                     "CallBack DataChange\r12:00:04 PM"}));

    // A lowered limit trims to it; a limit of 0 or below keeps only the new line.
    opc::OPCNumLogLines = 2;
    opc::LogOPCCall(opc::leAsyncRefresh, "C.G", "");
    EXPECT_EQ(opc::OPCLog.size(), 2u);
    EXPECT_EQ(opc::OPCLog.front(), "CallBack DataChange\r12:00:04 PM");
    for (std::int32_t limit : {0, -5}) {
        opc::OPCNumLogLines = limit;
        opc::LogOPCCall(opc::leAsyncGetEnable, "C.G", "");
        EXPECT_EQ(opc::OPCLog, (std::deque<std::string>{"Async GetEnable\r12:00:04 PM"}));
    }
}

TEST_F(GlobalsLog, FileNameUsesTheShortDateWithoutSlashes)
{
    com::ProcessLocale slashed = com::ProcessLocale::english();
    slashed.dateFormat = "yyyy/MM/dd";
    com::ProcessLocale twoDigits = com::ProcessLocale::english();
    twoDigits.dateFormat = "d/M/yy";
    struct Case {
        com::ProcessLocale locale;
        double now;
        const char* name;
    } cases[] = {
        {com::ProcessLocale::english(), 46365.5, "/d/OPC_12-9-2026.log"},
        {com::ProcessLocale::english(), 46365.0, "/d/OPC_12-9-2026.log"},
        {com::ProcessLocale::english(), 46365.9999999, "/d/OPC_12-9-2026.log"},
        {com::ProcessLocale::czech(), 46365.25, "/d/OPC_09.12.2026.log"},
        {slashed, 46365.5, "/d/OPC_2026-12-09.log"},
        {twoDigits, 46366.5, "/d/OPC_10-12-26.log"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(com::setProcessLocale(c.locale));
        EXPECT_EQ(opc::OPCLogFileName("/d", c.now), c.name);
    }
}

TEST_F(GlobalsLog, FileGetsTimeMillisecondsSourceAndDetailInCrLfLines)
{
    const std::string dir = plat::programDir();
    const std::string name = opc::OPCLogFileName(dir, clock.now());
    std::filesystem::remove(name);
    written.push_back(name);
    opc::OPCLogging = true;
    opc::OPCNumLogLines = 10;
    opc::OPCLogToFile = true;

    clock.advanceMs(1234);
    opc::LogOPCCall(opc::leAsyncRead, "Client.Group", "ItemCount=2");
    clock.advanceMs(1005);
    opc::LogOPCCall(opc::leWriteComplete, ".G", "");

    const std::int64_t free = plat::freeDiskBytes(dir);
    std::ifstream in(name, std::ios::binary);
    if (free >= 0 && free < 500'000'000) {
        EXPECT_FALSE(in.good());  // too little room: nothing written
        return;
    }
    ASSERT_TRUE(in.good());
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "12:00:01 PM:234 Client.Group Async Read\r\nItemCount=2\r\n"
              "12:00:02 PM:239 .G CallBack WriteComplete\r\n");
    EXPECT_EQ(opc::OPCLog.size(), 2u);
    EXPECT_TRUE(opc::WriteOPCLogFile("x", ""));
}

// ---------------------------------------------------------------------------------------
// Re-rating, re-binding and the pulse broadcast, through real clients

constexpr std::uint32_t kNoRate = 0xFFFFFFFFu;

opc::TOPCItem* itemOf(const TestGroup& g, OPCHANDLE serverHandle)
{
    for (const auto& item : g.object()->Items)
        if (item->ServerHandle == serverHandle)
            return item.get();
    return nullptr;
}

struct GlobalsRerate : OpcFixture {};

TEST_F(GlobalsRerate, UnusedVariableStopsPolling)
{
    vx::TVariable* v = var("V", VT_I2);
    v->Active = true;
    v->UpdatePeriod = 100;
    registry->SetStateAndFastestUpdateInterval(v);
    EXPECT_FALSE(v->Active);
    EXPECT_EQ(v->UpdatePeriod, kNoRate);
    v->Active = true;
    registry->RerateVariable(v);
    EXPECT_FALSE(v->Active);
    registry->SetStateAndFastestUpdateInterval(nullptr);
    registry->RerateVariable(nullptr);
}

TEST_F(GlobalsRerate, ActiveWhenAnyActiveItemOfAnActiveGroupUsesIt)
{
    vx::TVariable* v = var("V", VT_I2);
    buildCatalogue();
    TestClient c1, c2;
    TestGroup g1 = c1.addGroup("G1", true, 500);
    TestGroup g2 = c2.addGroup("G2", true, 100);
    ASSERT_TRUE(g1 && g2);

    const AddResult a1 = g1.addItems({{"St.V", 1, true}});
    ASSERT_EQ(a1.hr, S_OK);
    EXPECT_TRUE(v->Active);
    EXPECT_EQ(v->UpdatePeriod, 500u);

    // Another client's inactive item, in another letter case, keeps polling on (fault 2)
    // but lends its faster rate.
    const AddResult a2 = g2.addItems({{"st.v", 2, false}});
    ASSERT_EQ(a2.hr, S_OK);
    EXPECT_TRUE(v->Active);
    EXPECT_EQ(v->UpdatePeriod, 100u);

    g1.setActive({a1.handle(0)}, false);
    EXPECT_FALSE(v->Active);
    // Activating the item added inactive starts polling (fault 1).
    g2.setActive({a2.handle(0)}, true);
    EXPECT_TRUE(v->Active);

    // An inactive group's items do not count.
    BOOL off = FALSE;
    DWORD revised = 0;
    ASSERT_TRUE(SUCCEEDED(g2.state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr)));
    EXPECT_FALSE(v->Active);
    BOOL on = TRUE;
    ASSERT_TRUE(SUCCEEDED(g2.state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr)));
    EXPECT_TRUE(v->Active);

    g2.removeItems({a2.handle(0)});
    EXPECT_FALSE(v->Active);
    EXPECT_EQ(v->UpdatePeriod, 500u);
    g1.removeItems({a1.handle(0)});
    EXPECT_FALSE(v->Active);
    EXPECT_EQ(v->UpdatePeriod, kNoRate);
}

// Several items of one group on the same variable, in any letter case, all count (fault 3).
TEST_F(GlobalsRerate, EveryItemOfAGroupCounts)
{
    vx::TVariable* v = var("V", VT_I2);
    buildCatalogue();
    TestClient c;
    TestGroup g = c.addGroup("G", true, 50);
    ASSERT_TRUE(g);
    const AddResult a = g.addItems({{"St.V", 1, false}, {"ST.V", 2, true}, {"st.V", 3, false}});
    ASSERT_EQ(a.hr, S_OK);
    EXPECT_TRUE(v->Active);
    g.removeItems({a.handle(1)});
    EXPECT_FALSE(v->Active);
    g.setActive({a.handle(2)}, true);
    EXPECT_TRUE(v->Active);
    g.removeItems({a.handle(2)});
    EXPECT_FALSE(v->Active);
    EXPECT_EQ(v->UpdatePeriod, 50u);
}

TEST_F(GlobalsRerate, PropertyItemsNeitherPollNorChangeTheirRights)
{
    vx::TVariable* v = var("V", VT_I2);
    buildCatalogue();
    TestClient c;
    TestGroup g = c.addGroup("G", true, 50);
    ASSERT_TRUE(g);
    const AddResult p = g.addItems({{"St.V.HiEU", 1, true}});
    ASSERT_EQ(p.hr, S_OK);
    registry->RerateVariable(v);
    EXPECT_FALSE(v->Active);
    EXPECT_EQ(v->UpdatePeriod, kNoRate);

    const AddResult a = g.addItems({{"St.V", 2, true}});
    ASSERT_EQ(a.hr, S_OK);
    opc::TOPCItem* property = itemOf(g, p.handle(0));
    opc::TOPCItem* value = itemOf(g, a.handle(0));
    ASSERT_TRUE(property && value);
    EXPECT_EQ(property->PropertyID, 102);

    // Re-rating for a client's activation keeps what the items saw...
    value->LastSeen.setI2(7);
    value->Value.setI2(7);
    registry->RerateVariable(v);
    EXPECT_EQ(value->LastSeen.vt(), VT_I2);
    EXPECT_EQ(value->Value.vt(), VT_I2);
    // ...the full one empties it and takes the variable's write right again.
    v->Writable = false;
    property->LastSeen.setI2(7);
    registry->SetStateAndFastestUpdateInterval(v);
    EXPECT_TRUE(value->LastSeen.isEmpty());
    EXPECT_TRUE(value->Value.isEmpty());
    EXPECT_EQ(value->AccessRights, OPC_READABLE);
    EXPECT_EQ(property->AccessRights, OPC_READABLE);
    EXPECT_EQ(property->LastSeen.vt(), VT_I2);
    v->Writable = true;
    registry->SetStateAndFastestUpdateInterval(v);
    EXPECT_EQ(value->AccessRights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_EQ(property->AccessRights, OPC_READABLE);
    EXPECT_TRUE(v->Active);
    EXPECT_EQ(v->UpdatePeriod, 50u);
}

struct GlobalsRelink : OpcFixture {
    // What registering a configuration does around the rebuild: the variables are freed and
    // made again under the same names.
    vx::TVariable* rebuild(vx::TVariable* old, const std::string& name)
    {
        vx::RemoveVariable(st, old);
        return name.empty() ? nullptr : var(name, VT_I2);
    }
};

TEST_F(GlobalsRelink, SurvivingItemsAreBoundToTheNewVariables)
{
    vx::TVariable* a = var("A", VT_I2);
    vx::TVariable* b = var("B", VT_I2);
    vx::TVariable* gone = var("Gone", VT_I2);
    buildCatalogue();
    TestClient c;
    TestGroup g = c.addGroup("G", true, 250);
    ASSERT_TRUE(g);
    const AddResult r = g.addItems({{"St.A", 1, true}, {"st.b", 2, false}, {"St.A.Units", 3, true}, {"St.Gone", 4, true}});
    ASSERT_EQ(r.hr, S_OK);
    opc::TOPCItem* items[4];
    for (int i = 0; i < 4; ++i)
        ASSERT_NE(items[i] = itemOf(g, r.handle(i)), nullptr);

    {
        opc::OPCLockGuard lock(opc::OPCLock);
        registry->DetachItemVariables();
    }
    for (auto* item : items)
        EXPECT_EQ(item->GetVariable(), nullptr);
    completeRequests();  // communication is stopped before the model is rebuilt
    a = rebuild(a, "A");
    b = rebuild(b, "B");
    rebuild(gone, "");
    vx::TVariable* extra = var("Extra", VT_I2);
    extra->Active = true;
    buildCatalogue();
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        registry->RelinkItems();
    }

    EXPECT_EQ(items[0]->GetVariable(), a);
    EXPECT_EQ(items[1]->GetVariable(), b);
    EXPECT_EQ(items[2]->GetVariable(), a);  // a property item is bound again too
    EXPECT_EQ(items[2]->PropertyID, 100);
    EXPECT_EQ(items[3]->GetVariable(), nullptr);
    EXPECT_EQ(items[0]->PropertyID, 2);
    EXPECT_TRUE(a->Active);
    EXPECT_EQ(a->UpdatePeriod, 250u);
    EXPECT_FALSE(b->Active);  // bound, but by an inactive item only
    EXPECT_EQ(b->UpdatePeriod, 250u);
    EXPECT_TRUE(extra->Active);  // used by no item: left as the builder made it

    // The items stay usable: removing them re-rates the new variables.
    const ErrorsResult removed = g.removeItems({r.handle(0), r.handle(3)});
    EXPECT_EQ(removed.errors, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_FALSE(a->Active);
    EXPECT_EQ(registry->ResolveItemVariable("ST.A"), a);
    EXPECT_EQ(registry->ResolveItemVariable("St.Gone"), nullptr);
    EXPECT_EQ(registry->ResolveItemVariable("St.A.Units"), nullptr);  // looked up unchanged
}

struct GlobalsPulseAll : OpcFixture {
    // A client with one active group of one item, and a sink connected to it.
    struct Client {
        TestClient client;
        TestGroup group;
        OPCHANDLE item = 0;
        com::ComPtr<RecordingSink> sink = com::makeCom<RecordingSink>();
        void release()
        {
            group.release();
            client.release();
        }
    };
    void connect(Client& c, const std::string& name)
    {
        c.group = c.client.addGroup(name, true, 10);
        ASSERT_TRUE(c.group);
        const AddResult added = c.group.addItems({{"St.V", 1, true}});
        ASSERT_EQ(added.hr, S_OK);
        c.item = added.handle(0);
        ASSERT_NE(c.group.advise(c.sink->unknown()), 0u);
    }
};

TEST_F(GlobalsPulseAll, LastServerFirst)
{
    vx::TVariable* v = var("V", VT_I2);
    buildCatalogue();
    Client c1, c2;
    connect(c1, "G1");
    connect(c2, "G2");
    std::vector<int> order;
    c1.sink->onCall = [&](const Callback&) { order.push_back(1); };
    c2.sink->onCall = [&](const Callback&) { order.push_back(2); };
    v->Value.setI2(5);
    clock.advanceMs(100);
    opc::PulseAllServers(true, clock.now());
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    EXPECT_EQ(c1.client.object()->LastUpdateTime, clock.now());
}

// A client that lets go of another server object from inside a callback must not pull it
// out from under the broadcast (fault 7).
TEST_F(GlobalsPulseAll, ServerReleasedInsideACallback)
{
    vx::TVariable* v = var("V", VT_I2);
    buildCatalogue();
    Client c1, c2;
    connect(c1, "G1");
    connect(c2, "G2");
    const std::size_t before = c1.sink->count(Callback::DataChange);
    const std::size_t before2 = c2.sink->count(Callback::DataChange);
    std::size_t serversInCallback = 0;
    c2.sink->onCall = [&](const Callback&) {
        c1.release();
        serversInCallback = registry->Servers.size();
    };
    v->Value.setI2(5);
    clock.advanceMs(100);
    opc::PulseAllServers(true, clock.now());
    EXPECT_EQ(c2.sink->count(Callback::DataChange), before2 + 1);
    EXPECT_EQ(serversInCallback, 2u);  // the broadcast still held it
    EXPECT_EQ(c1.sink->count(Callback::DataChange), before);  // its group went before its turn
    EXPECT_EQ(registry->Servers.size(), 1u);                  // and its server object after the pulse
    c2.sink->onCall = nullptr;

    // The surviving client goes on being served.
    v->Value.setI2(6);
    tick(100);
    EXPECT_EQ(c2.sink->count(Callback::DataChange), before2 + 2);
}

TEST_F(GlobalsPulseAll, AsyncReadEndsThroughTheCompletionHook)
{
    vx::TVariable* v = var("V", VT_I2);
    buildCatalogue();
    Client c;
    connect(c, "G");
    const AsyncResult r = c.group.asyncRead({c.item}, 42);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(v->WaitingTransactions.size(), 1u);
    tick();
    EXPECT_EQ(c.sink->count(Callback::ReadComplete), 0u);  // still waiting for the PLC
    completeRequests();
    EXPECT_TRUE(v->WaitingTransactions.empty());
    tick();
    const Callback* done = c.sink->last(Callback::ReadComplete);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(done->transactionID, 42u);
}

TEST_F(GlobalsPulseAll, ShutdownRequestToEveryConnectedClient)
{
    TestClient c1, c2, c3;
    auto s1 = com::makeCom<RecordingSink>();
    auto s3 = com::makeCom<RecordingSink>();
    ASSERT_NE(c1.adviseShutdown(s1->unknown()), 0u);
    ASSERT_NE(c3.adviseShutdown(s3->unknown()), 0u);
    registry->ShutdownClients();
    EXPECT_EQ(s1->shutdownReasons, (std::vector<std::u16string>{u"Vorn OPC server IOPCShutdown request"}));
    EXPECT_EQ(s3->shutdownReasons, s1->shutdownReasons);
}

}  // namespace
}  // namespace opctest

// The group's update with its data changes, and its synchronous and asynchronous I/O, seen
// from an in-process client: pulse ticks at chosen times, PLC requests completed by hand.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opc/opc_globals.h"
#include "opc/opc_group.h"
#include "opc/opc_server.h"
#include "opc_client.h"
#include "opc_fixture.h"
#include "platform/com/bstr.h"
#include "platform/sysdirs.h"

namespace opctest {
namespace {

std::uint64_t ft(const FILETIME& f) { return (static_cast<std::uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; }
std::uint64_t stamp(double dateTime) { return ft(opc::DateTimeToFileTimeUTC(dateTime)); }

com::Variant i2(SHORT v)
{
    com::Variant x;
    x.setI2(v);
    return x;
}
com::Variant text(const std::string& s)
{
    com::Variant x;
    x.setString(s);
    return x;
}
LONG number(const com::Variant& v) { return v.toI4().value_or(-99999); }

constexpr OPCHANDLE kGroupClient = 77;
constexpr OPCHANDLE kClientA = 11;
constexpr OPCHANDLE kClientB = 12;
constexpr OPCHANDLE kUnknownHandle = 0x7FFFFFF0;

// A client with one group "G" holding St.A and St.B, and a recording sink.
struct GroupIO : OpcFixture {
    vx::TVariable* a = nullptr;
    vx::TVariable* b = nullptr;
    vx::TVariable* readOnly = nullptr;
    vx::TVariable* writeOnly = nullptr;
    vx::TVariable* c = nullptr;
    vx::TVariable* str = nullptr;
    std::unique_ptr<TestClient> client;
    TestGroup group;
    com::ComPtr<RecordingSink> sink;
    std::vector<OPCHANDLE> h;

    void SetUp() override
    {
        OpcFixture::SetUp();
        a = var("A", VT_I2, 0);
        b = var("B", VT_I2, 1);
        readOnly = var("RO", VT_I2, 2);
        readOnly->Writable = false;
        writeOnly = var("WO", VT_I2, 3);
        writeOnly->Readable = false;
        c = var("C", VT_I2, 4);
        str = var("S", VT_BSTR, 10);
        buildCatalogue();
        client = std::make_unique<TestClient>();
        sink = com::makeCom<RecordingSink>();
    }
    void TearDown() override
    {
        sink->onCall = nullptr;
        group.release();
        client.reset();
        sink = nullptr;
        opc::OPCLogging = false;
        opc::OPCLogToFile = false;
        opc::OPCLog.clear();
        OpcFixture::TearDown();
    }

    void makeGroup(bool active = true, DWORD rate = 100, float deadband = 0.0f, bool activeB = true)
    {
        group = client->addGroup("G", active, rate, kGroupClient, deadband);
        ASSERT_TRUE(group);
        AddResult r = group.addItems({{"St.A", kClientA, true}, {"St.B", kClientB, activeB}});
        ASSERT_EQ(r.hr, S_OK);
        h = {r.handle(0), r.handle(1)};
    }
    OPCHANDLE addItem(const std::string& id, OPCHANDLE clientHandle)
    {
        AddResult r = group.addItems({{id, clientHandle, true}});
        EXPECT_EQ(r.hr, S_OK);
        return r.results.empty() ? 0 : r.handle(0);
    }
    // A fresh fixture for the next case of a table.
    void restart()
    {
        TearDown();
        SetUp();
    }
    void connect() { ASSERT_NE(group.advise(sink->unknown()), 0u); }
    // One due update so that the items have seen their values; the callbacks are forgotten.
    void settle()
    {
        tick(1000);
        sink->calls.clear();
    }
    opc::TOPCGroup& object() { return *group.object(); }
    // A forced update through the client's interface, as SetState gives it.
    void forceUpdate()
    {
        ASSERT_TRUE(SUCCEEDED(group.state->SetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)));
    }
};

// --- update and data changes

using GroupIOUpdate = GroupIO;

TEST_F(GroupIOUpdate, RateGatesDataChangesAndAForcedUpdateRestartsThePeriod)
{
    makeGroup(true, 1000);
    connect();
    settle();
    // Every 10 ms a new value: the rate lets one data change through per second.
    std::vector<double> sentAt;
    for (int k = 1; k <= 250; ++k) {
        a->Value.setI2(static_cast<SHORT>(k));
        tick(10);
        if (sink->calls.size() > sentAt.size())
            sentAt.push_back(clock.now());
    }
    ASSERT_EQ(sink->count(Callback::DataChange), 2u);
    EXPECT_EQ(number(sink->calls[0].entries.at(0).value), 100);
    EXPECT_EQ(number(sink->calls[1].entries.at(0).value), 200);
    EXPECT_EQ(ft(sink->calls[1].entries.at(0).timeStamp), stamp(sentAt[1]));

    // Forced: sent at once, and the next due update is a full period later.
    sink->calls.clear();
    a->Value.setI2(-1);
    forceUpdate();
    ASSERT_EQ(sink->count(Callback::DataChange), 1u);
    EXPECT_EQ(ft(sink->calls[0].entries.at(0).timeStamp), stamp(clock.now()));
    for (int k = 1; k <= 99; ++k) {
        a->Value.setI2(static_cast<SHORT>(1000 + k));
        tick(10);
    }
    EXPECT_EQ(sink->calls.size(), 1u);
    tick(10);
    EXPECT_EQ(sink->calls.size(), 2u);
}

TEST_F(GroupIOUpdate, NothingChangedSendsNothingButRecordsTheUpdate)
{
    makeGroup();
    connect();
    settle();
    const std::int64_t before = object().LastUpdate;
    tick(1000);
    EXPECT_TRUE(sink->calls.empty());
    EXPECT_EQ(object().LastUpdate, before + 1000);
}

TEST_F(GroupIOUpdate, InactiveGroupSendsNoDataChangeButDeliversFinishedTransactions)
{
    makeGroup(false);
    connect();
    sink->calls.clear();
    a->Value.setI2(5);
    AsyncResult r = group.asyncRead({h[0]}, 1);
    AsyncResult w = group.asyncWrite({h[1]}, {i2(6)}, 2);
    ASSERT_EQ(r.hr, S_OK);
    ASSERT_EQ(w.hr, S_OK);
    tick(1000);
    EXPECT_TRUE(sink->calls.empty()) << "nothing is sent while the PLC requests wait";
    completeRequests();
    EXPECT_TRUE(sink->calls.empty()) << "finished transactions wait for the next tick";
    tick(1000);
    // Finished transactions reach the client in reverse order of waiting.
    ASSERT_EQ(sink->calls.size(), 2u);
    EXPECT_EQ(sink->calls[0].kind, Callback::WriteComplete);
    EXPECT_EQ(sink->calls[0].transactionID, 2u);
    EXPECT_EQ(sink->calls[1].kind, Callback::ReadComplete);
    EXPECT_EQ(sink->calls[1].transactionID, 1u);
    EXPECT_EQ(sink->calls[1].group, kGroupClient);
    EXPECT_EQ(number(sink->calls[1].entries.at(0).value), 5);
    EXPECT_EQ(ft(sink->calls[1].entries.at(0).timeStamp), stamp(clock.now()));
    EXPECT_TRUE(object().WaitingList.empty());
    EXPECT_TRUE(object().ReadyList.empty());
}

TEST_F(GroupIOUpdate, DisabledCallbacksDropTheChangesSeenMeanwhile)
{
    makeGroup();
    connect();
    settle();
    ASSERT_EQ(group.async->SetEnable(FALSE), S_OK);
    BOOL enabled = TRUE;
    ASSERT_EQ(group.async->GetEnable(&enabled), S_OK);
    EXPECT_FALSE(enabled);
    a->Value.setI2(7);
    tick(1000);
    ASSERT_EQ(group.async->SetEnable(TRUE), S_OK);
    tick(1000);
    EXPECT_TRUE(sink->calls.empty());
    a->Value.setI2(8);
    tick(1000);
    ASSERT_EQ(sink->count(Callback::DataChange), 1u);
    EXPECT_EQ(number(sink->calls[0].entries.at(0).value), 8);
}

TEST_F(GroupIOUpdate, ConnectingSendsEveryItemOnce)
{
    makeGroup(true, 100, 0.0f, false);
    a->Value.setI2(3);
    tick(1000);
    tick(1000);
    connect();
    ASSERT_EQ(sink->calls.size(), 1u);
    const Callback& c = sink->calls[0];
    EXPECT_EQ(c.kind, Callback::DataChange);
    EXPECT_EQ(c.transactionID, 0u);
    EXPECT_EQ(c.group, kGroupClient);
    ASSERT_EQ(c.count, 2u) << "the inactive item too";
    std::vector<OPCHANDLE> clients{c.entries[0].client, c.entries[1].client};
    std::sort(clients.begin(), clients.end());
    EXPECT_EQ(clients, (std::vector<OPCHANDLE>{kClientA, kClientB}));
    for (const auto& e : c.entries)
        EXPECT_EQ(ft(e.timeStamp), stamp(clock.now()));
    tick(1000);
    tick(1000);
    EXPECT_EQ(sink->calls.size(), 1u);
}

TEST_F(GroupIOUpdate, ConnectingWhileDisabledSendsNothing)
{
    makeGroup();
    object().Enabled = false;
    connect();
    EXPECT_TRUE(sink->calls.empty());
}

TEST_F(GroupIOUpdate, MasterQualityFollowsTheWorstItem)
{
    struct Case {
        WORD qa, qb;
        HRESULT masterQuality;
    };
    const Case cases[] = {
        {0xC0, 0xC0, S_OK},
        {0x18, 0xC0, S_FALSE},  // communication failure
        {0xC0, 0x40, S_FALSE},  // uncertain
        {0xD8, 0xC0, S_OK},     // local override is good
    };
    makeGroup();
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << k.qa << " " << k.qb);
        sink->calls.clear();
        a->Quality = k.qa;
        b->Quality = k.qb;
        const DWORD cookie = group.advise(sink->unknown());
        ASSERT_EQ(sink->calls.size(), 1u);
        EXPECT_EQ(sink->calls[0].masterQuality, k.masterQuality);
        EXPECT_EQ(sink->calls[0].masterError, S_OK);
        for (const auto& e : sink->calls[0].entries)
            EXPECT_EQ(e.quality, e.client == kClientA ? k.qa : k.qb);
        ASSERT_EQ(group.unadvise(cookie), S_OK);
    }
}

TEST_F(GroupIOUpdate, DeadbandComparesWithTheLastReportedValue)
{
    a->RawLow = 0;
    a->RawHigh = 200;
    makeGroup(true, 100, 10.0f);
    a->Value.setI2(100);
    connect();
    settle();
    struct Step {
        SHORT value;
        bool sent;
    };
    // 110 is 5 % from 100; 120 is 10 % from the reported 100 but 5 % from the 110 last seen.
    const Step steps[] = {{110, false}, {120, true}, {129, false}, {140, true}, {131, false}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.value);
        sink->calls.clear();
        a->Value.setI2(s.value);
        tick(1000);
        ASSERT_EQ(sink->calls.size(), s.sent ? 1u : 0u);
        if (s.sent) {
            EXPECT_EQ(number(sink->calls[0].entries.at(0).value), s.value);
        }
    }
}

TEST_F(GroupIOUpdate, AQualityChangeAloneIsSent)
{
    makeGroup();
    connect();
    settle();
    a->Quality = vx::qCommFailure;
    tick(1000);
    ASSERT_EQ(sink->calls.size(), 1u);
    ASSERT_EQ(sink->calls[0].count, 1u);
    EXPECT_EQ(sink->calls[0].entries[0].client, kClientA);
    EXPECT_EQ(sink->calls[0].entries[0].quality, vx::qCommFailure);
    EXPECT_EQ(sink->calls[0].masterQuality, S_FALSE);
}

TEST_F(GroupIOUpdate, DataChangeCountsOnlyTheEntriesFilled)
{
    makeGroup();
    connect();
    sink->calls.clear();
    // A position left over from items that are gone is skipped, and not counted.
    const std::vector<std::int32_t> positions{1, 7, 0};
    object().SendDataChange(positions, clock.now());
    ASSERT_EQ(sink->calls.size(), 1u);
    EXPECT_EQ(sink->calls[0].count, 2u);
    EXPECT_EQ(sink->calls[0].masterError, S_OK);
}

TEST_F(GroupIOUpdate, CancelIDsRiseAcrossTransactionsAndDataChanges)
{
    makeGroup();
    connect();
    settle();
    const AsyncResult first = group.asyncRead({h[0]}, 1);
    a->Value.setI2(9);
    tick(1000);  // one data change takes an ID too
    const AsyncResult second = group.asyncRead({h[0]}, 2);
    EXPECT_GE(first.cancelID, 2u);
    EXPECT_GT(second.cancelID, first.cancelID + 1);
}

// --- the data-callback connection

using GroupIOConnect = GroupIO;

TEST_F(GroupIOConnect, DisconnectingAnotherSinkKeepsTheServedOne)
{
    makeGroup();
    auto first = com::makeCom<RecordingSink>();
    const DWORD firstCookie = group.advise(first->unknown());
    const DWORD cookie = group.advise(sink->unknown());  // replaces the first as the one served
    ASSERT_NE(firstCookie, 0u);
    ASSERT_NE(cookie, 0u);
    settle();
    first->calls.clear();
    ASSERT_EQ(group.unadvise(firstCookie), S_OK);
    a->Value.setI2(4);
    tick(1000);
    EXPECT_EQ(sink->count(Callback::DataChange), 1u);
    EXPECT_TRUE(first->calls.empty());

    // The served sink going ends the service.
    ASSERT_EQ(group.unadvise(cookie), S_OK);
    EXPECT_EQ(group.async->SetEnable(TRUE), CONNECT_E_NOCONNECTION);
    a->Value.setI2(5);
    tick(1000);
    EXPECT_EQ(sink->count(Callback::DataChange), 1u);
}

TEST_F(GroupIOConnect, TheSameSinkConnectedTwiceStaysServedUntilBothGo)
{
    makeGroup();
    const DWORD one = group.advise(sink->unknown());
    const DWORD two = group.advise(sink->unknown());
    ASSERT_EQ(group.unadvise(one), S_OK);
    EXPECT_EQ(group.async->SetEnable(TRUE), S_OK);
    ASSERT_EQ(group.unadvise(two), S_OK);
    EXPECT_EQ(group.async->SetEnable(TRUE), CONNECT_E_NOCONNECTION);
}

TEST_F(GroupIOConnect, AsyncMethodsNeedASink)
{
    makeGroup();
    DWORD cancelID = 5;
    HRESULT* errors = nullptr;
    OPCHANDLE handles[] = {h[0]};
    VARIANT values[1];
    VariantInit(&values[0]);
    BOOL enabled = FALSE;
    EXPECT_EQ(group.async->Read(1, handles, 1, &cancelID, &errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(cancelID, 0u);
    EXPECT_EQ(group.async->Write(1, handles, values, 1, &cancelID, &errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &cancelID), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.async->SetEnable(TRUE), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.async->GetEnable(&enabled), CONNECT_E_NOCONNECTION);
    EXPECT_TRUE(object().WaitingList.empty());
    EXPECT_TRUE(channel->ReadQueue.empty());
}

// --- synchronous I/O

using GroupIOSync = GroupIO;

TEST_F(GroupIOSync, ReadReportsTheVariablesQuality)
{
    struct Case {
        const char* name;
        OPCDATASOURCE source;
        bool groupActive;
        bool itemActive;
        bool stationFailed;
        WORD quality;
        bool queuesRead;
    };
    const Case cases[] = {
        {"cache", OPC_DS_CACHE, true, true, false, vx::qGood, false},
        {"cache, inactive item", OPC_DS_CACHE, true, false, false, vx::qOutOfService, false},
        {"cache, inactive group", OPC_DS_CACHE, false, true, false, vx::qOutOfService, false},
        {"device, inactive group", OPC_DS_DEVICE, false, true, false, vx::qGood, true},
        {"cache, station failed", OPC_DS_CACHE, true, true, true, vx::qLastKnown, false},
        {"device, station failed", OPC_DS_DEVICE, true, true, true, vx::qLastKnown, true},
        {"no valid source, inactive group", static_cast<OPCDATASOURCE>(0), false, true, false, vx::qOutOfService, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        group = client->addGroup("G", k.groupActive, 100, kGroupClient);
        AddResult added = group.addItems({{"St.B", kClientB, k.itemActive}});
        ASSERT_EQ(added.hr, S_OK);
        b->Value.setI2(321);
        if (k.stationFailed)
            st->SetState(vx::ssFailed);
        ReadResult r = group.read(k.source, {added.handle(0)});
        EXPECT_EQ(r.hr, S_OK);
        ASSERT_EQ(r.states.size(), 1u);
        EXPECT_EQ(r.errors.at(0), S_OK);
        EXPECT_EQ(r.states[0].client, kClientB);
        EXPECT_EQ(r.states[0].quality, k.quality);
        EXPECT_EQ(number(r.states[0].value), 321) << "the cached value, also for a device read";
        EXPECT_EQ(channel->ReadQueue.size(), k.queuesRead ? 1u : 0u);
        restart();
    }
}

TEST_F(GroupIOSync, ReadMixesGoodAndUnknownHandles)
{
    makeGroup();
    a->Value.setI2(1);
    b->Value.setI2(2);
    ReadResult r = group.read(OPC_DS_CACHE, {h[1], kUnknownHandle, h[0]});
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
    ASSERT_EQ(r.states.size(), 3u);
    EXPECT_EQ(number(r.states[0].value), 2);
    EXPECT_TRUE(r.states[1].value.isEmpty());
    EXPECT_EQ(number(r.states[2].value), 1);
}

TEST_F(GroupIOSync, DeviceReadOfADetachedItemQueuesNothing)
{
    makeGroup();
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        registry->DetachItemVariables();
    }
    ReadResult r = group.read(OPC_DS_DEVICE, {h[0]});
    ASSERT_EQ(r.states.size(), 1u);
    EXPECT_NE(r.states[0].quality & vx::qGood, vx::qGood);
    EXPECT_TRUE(channel->ReadQueue.empty());
}

TEST_F(GroupIOSync, WriteConvertsACopyAndQueuesThePlcWrite)
{
    makeGroup();
    const OPCHANDLE ro = addItem("St.RO", 30);
    VARIANT in[3];
    for (auto& v : in) {
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(u"7");
    }
    OPCHANDLE handles[] = {h[0], ro, kUnknownHandle};
    HRESULT* errors = nullptr;
    EXPECT_EQ(group.sync->Write(3, handles, in, &errors), S_FALSE);
    const std::vector<HRESULT> e = takeErrors(errors, 3);
    EXPECT_EQ(e, (std::vector<HRESULT>{S_OK, OPC_E_BADRIGHTS, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(number(a->Value), 7);
    EXPECT_EQ(a->Value.vt(), VT_I2);
    EXPECT_EQ(channel->WriteQueue.size(), 1u);
    // The client's value is its own.
    EXPECT_EQ(in[0].vt, VT_BSTR);
    EXPECT_EQ(std::u16string(in[0].bstrVal), u"7");
    for (auto& v : in)
        VariantClear(&v);
}

// --- asynchronous I/O

using GroupIOAsync = GroupIO;

TEST_F(GroupIOAsync, ReadCompletesThroughTheHookOnTheNextTick)
{
    makeGroup();
    connect();
    settle();
    a->Value.setI2(41);
    b->Value.setI2(42);
    AsyncResult r = group.asyncRead({h[1], h[0]}, 7);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_NE(r.cancelID, 0u);
    EXPECT_FALSE(channel->ReadQueue.empty());
    tick(1000);
    EXPECT_EQ(sink->count(Callback::ReadComplete), 0u);
    completeRequests();
    EXPECT_TRUE(a->WaitingTransactions.empty());
    tick(1000);
    ASSERT_EQ(sink->count(Callback::ReadComplete), 1u);
    const Callback& c = *sink->last(Callback::ReadComplete);
    EXPECT_EQ(c.transactionID, 7u);
    EXPECT_EQ(c.group, kGroupClient);
    EXPECT_EQ(c.masterError, S_OK);
    EXPECT_EQ(c.masterQuality, S_OK);
    ASSERT_EQ(c.count, 2u);
    EXPECT_EQ(c.entries[0].client, kClientB);
    EXPECT_EQ(number(c.entries[0].value), 42);
    EXPECT_EQ(c.entries[1].client, kClientA);
    EXPECT_EQ(number(c.entries[1].value), 41);
    for (const auto& e : c.entries) {
        EXPECT_EQ(e.quality, vx::qGood);
        EXPECT_EQ(ft(e.timeStamp), stamp(clock.now()));
    }
}

TEST_F(GroupIOAsync, ReadResultsPerItem)
{
    struct Case {
        const char* name;
        std::function<void(GroupIO&, OPCHANDLE)> before;  // after the read, before it completes
        const char* id;
        HRESULT error;
        bool clientHandle;
        WORD quality;
        HRESULT masterError, masterQuality;
    };
    const Case cases[] = {
        {"good", {}, "St.A", S_OK, true, vx::qGood, S_OK, S_OK},
        {"bad quality is sent as 0", [](GroupIO& f, OPCHANDLE) { f.a->Quality = vx::qCommFailure; }, "St.A", S_OK, true, 0,
         S_OK, S_FALSE},
        {"no read right", {}, "St.WO", OPC_E_BADRIGHTS, false, 0, S_FALSE, S_FALSE},
        {"removed while waiting", [](GroupIO& f, OPCHANDLE item) { f.group.removeItems({item}); }, "St.A",
         OPC_E_INVALIDITEMID, false, 0, S_FALSE, S_FALSE},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        makeGroup();
        const OPCHANDLE item = addItem(k.id, 50);
        connect();
        settle();
        // One more item in the same read, unaffected, after the one looked at.
        AsyncResult r = group.asyncRead({item, h[1]}, 3);
        ASSERT_EQ(r.hr, S_OK);
        if (k.before)
            k.before(*this, item);
        completeRequests();
        tick(1000);
        const Callback* c = sink->last(Callback::ReadComplete);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(c->count, 2u);
        EXPECT_EQ(c->entries[0].error, k.error);
        EXPECT_EQ(c->entries[0].client, k.clientHandle ? 50u : 0u);
        EXPECT_EQ(c->entries[0].quality, k.quality);
        EXPECT_EQ(c->masterError, k.masterError);
        EXPECT_EQ(c->masterQuality, k.masterQuality);
        EXPECT_EQ(c->entries[1].client, kClientB) << "a removal does not shift the other entries";
        EXPECT_EQ(c->entries[1].error, S_OK);
        restart();
    }
}

TEST_F(GroupIOAsync, ReadOfAForcedVariableNeedsNoPlc)
{
    makeGroup();
    connect();
    settle();
    a->SetForced(true);
    a->Value.setI2(12);
    AsyncResult r = group.asyncRead({h[0]}, 4);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_TRUE(channel->ReadQueue.empty());
    EXPECT_TRUE(a->WaitingTransactions.empty());
    tick(10);
    const Callback* c = sink->last(Callback::ReadComplete);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->transactionID, 4u);
    EXPECT_EQ(number(c->entries.at(0).value), 12);
    EXPECT_EQ(c->entries.at(0).quality, vx::qLocalOverride);
}

TEST_F(GroupIOAsync, ReadOfADetachedItemFails)
{
    makeGroup();
    connect();
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        registry->DetachItemVariables();
    }
    AsyncResult r = group.asyncRead({h[0], kUnknownHandle}, 4);
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{E_FAIL, OPC_E_INVALIDHANDLE}));
    EXPECT_TRUE(object().WaitingList.empty());
    EXPECT_TRUE(channel->ReadQueue.empty());
}

TEST_F(GroupIOAsync, WriteWithAnUnknownHandleAnswersTheGoodItem)
{
    makeGroup();
    connect();
    settle();
    AsyncResult w = group.asyncWrite({kUnknownHandle, h[0]}, {i2(5), i2(6)}, 9);
    EXPECT_EQ(w.hr, S_FALSE);
    EXPECT_EQ(w.errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_NE(w.cancelID, 0u);
    EXPECT_EQ(number(a->Value), 6) << "the cache shows the value at once";
    tick(1000);
    EXPECT_EQ(sink->count(Callback::WriteComplete), 0u);
    completeRequests();
    tick(1000);
    const Callback* c = sink->last(Callback::WriteComplete);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->transactionID, 9u);
    EXPECT_EQ(c->group, kGroupClient);
    EXPECT_EQ(c->masterError, S_OK);
    ASSERT_EQ(c->count, 1u);
    EXPECT_EQ(c->entries[0].client, kClientA);
    EXPECT_EQ(c->entries[0].error, S_OK);
}

TEST_F(GroupIOAsync, WriteWhoseOnlyItemFailsNeverCallsBack)
{
    struct Case {
        const char* name;
        std::function<com::Variant()> value;
        const char* id;
        HRESULT error;
    };
    const Case cases[] = {
        {"empty value", [] { return com::Variant(); }, "St.A", OPC_E_BADTYPE},
        {"text that is no number", [] { return text("abc"); }, "St.A", DISP_E_TYPEMISMATCH},
        {"no write right", [] { return i2(1); }, "St.RO", OPC_E_BADRIGHTS},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        makeGroup();
        const OPCHANDLE item = addItem(k.id, 50);
        connect();
        settle();
        AsyncResult w = group.asyncWrite({item}, {k.value()}, 9);
        EXPECT_EQ(w.hr, S_FALSE);
        EXPECT_EQ(w.errors, (std::vector<HRESULT>{k.error}));
        EXPECT_TRUE(object().WaitingList.empty());
        EXPECT_TRUE(channel->WriteQueue.empty());
        completeRequests();
        tick(1000);
        EXPECT_EQ(sink->count(Callback::WriteComplete), 0u);
        restart();
    }
}

TEST_F(GroupIOAsync, WriteResultOfAnItemRemovedWhileWaiting)
{
    makeGroup();
    connect();
    settle();
    AsyncResult w = group.asyncWrite({h[0], h[1]}, {i2(1), i2(2)}, 9);
    ASSERT_EQ(w.hr, S_OK);
    ASSERT_EQ(group.removeItems({h[0]}).hr, S_OK);
    completeRequests();
    tick(1000);
    const Callback* c = sink->last(Callback::WriteComplete);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->count, 2u);
    EXPECT_EQ(c->masterError, S_FALSE);
    EXPECT_EQ(c->entries[0].error, OPC_E_INVALIDITEMID);
    EXPECT_EQ(c->entries[0].client, 0u);
    EXPECT_EQ(c->entries[1].error, S_OK);
    EXPECT_EQ(c->entries[1].client, kClientB);
}

TEST_F(GroupIOAsync, WriteLeavesTheClientsValueAlone)
{
    makeGroup();
    connect();
    VARIANT in;
    VariantInit(&in);
    in.vt = VT_BSTR;
    in.bstrVal = SysAllocString(u"12");
    OPCHANDLE handle = h[0];
    DWORD cancelID = 0;
    HRESULT* errors = nullptr;
    EXPECT_EQ(group.async->Write(1, &handle, &in, 1, &cancelID, &errors), S_OK);
    takeErrors(errors, 1);
    EXPECT_EQ(in.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(in.bstrVal), u"12");
    EXPECT_EQ(number(a->Value), 12);
    VariantClear(&in);
}

TEST_F(GroupIOAsync, CancelSilencesATransactionWaitingOrReady)
{
    makeGroup();
    connect();
    settle();
    // Waiting for the PLC.
    AsyncResult waiting = group.asyncRead({h[0]}, 1);
    EXPECT_EQ(group.async->Cancel2(waiting.cancelID), S_OK);
    // Finished, not yet sent.
    AsyncResult ready = group.asyncWrite({h[1]}, {i2(3)}, 2);
    completeRequests();
    object().MoveCompletedTransactions();
    EXPECT_EQ(object().ReadyList.size(), 2u);
    EXPECT_EQ(group.async->Cancel2(ready.cancelID), S_OK);
    tick(1000);
    EXPECT_EQ(sink->count(Callback::ReadComplete), 0u);
    EXPECT_EQ(sink->count(Callback::WriteComplete), 0u);
    EXPECT_TRUE(object().ReadyList.empty());
    EXPECT_TRUE(object().WaitingList.empty());
}

TEST_F(GroupIOAsync, CancelOfAnUnknownOrAnsweredTransactionFails)
{
    makeGroup();
    connect();
    settle();
    AsyncResult r = group.asyncRead({h[0]}, 1);
    completeRequests();
    tick(1000);
    ASSERT_EQ(sink->count(Callback::ReadComplete), 1u);
    EXPECT_EQ(group.async->Cancel2(r.cancelID), E_FAIL);
    EXPECT_EQ(group.async->Cancel2(0), E_FAIL);
    EXPECT_EQ(group.async->Cancel2(r.cancelID + 1000), E_FAIL);
    EXPECT_EQ(sink->count(Callback::CancelComplete), 0u);
}

TEST_F(GroupIOAsync, RefreshAnswersBeforeItReturns)
{
    struct Case {
        OPCDATASOURCE source;
        DWORD transactionID;
        // A device refresh runs the change detection itself, so a text seen there is not
        // sent again; a cache refresh, or one with transaction ID 0, leaves it to the update.
        std::size_t sentByTheNextTick;
    };
    const Case cases[] = {{OPC_DS_CACHE, 5, 1}, {OPC_DS_DEVICE, 5, 0}, {OPC_DS_DEVICE, 0, 1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.source << " " << k.transactionID);
        makeGroup(true, 100, 0.0f, false);
        const OPCHANDLE s = addItem("St.S", 40);
        connect();
        settle();
        str->Value.setString(std::string("new"));
        AsyncResult r = group.refresh(k.source, k.transactionID);
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_NE(r.cancelID, 0u);
        ASSERT_EQ(sink->calls.size(), 1u);
        const Callback& cb = sink->calls[0];
        EXPECT_EQ(cb.kind, Callback::DataChange);
        EXPECT_EQ(cb.transactionID, k.transactionID);
        ASSERT_EQ(cb.count, 2u) << "active items only";
        EXPECT_EQ(cb.entries[0].client, kClientA);
        EXPECT_EQ(cb.entries[1].client, 40u);
        EXPECT_EQ(cb.entries[1].value.toUtf8().value_or(""), "new");
        EXPECT_EQ(ft(cb.entries[0].timeStamp), stamp(clock.now()));
        EXPECT_TRUE(channel->ReadQueue.empty()) << "no PLC read";
        sink->calls.clear();
        tick(1000);
        EXPECT_EQ(sink->calls.size(), k.sentByTheNextTick);
        EXPECT_EQ(group.removeItems({s}).hr, S_OK);
        restart();
    }
}

TEST_F(GroupIOAsync, RefreshNeedsAnActiveGroupWithActiveItems)
{
    group = client->addGroup("G", false, 100, kGroupClient);
    const OPCHANDLE item = addItem("St.A", kClientA);
    connect();
    sink->calls.clear();
    EXPECT_EQ(group.refresh(OPC_DS_CACHE, 1).hr, E_FAIL);
    BOOL active = TRUE;
    ASSERT_TRUE(SUCCEEDED(group.state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr)));
    ASSERT_EQ(group.setActive({item}, false).hr, S_OK);
    EXPECT_EQ(group.refresh(OPC_DS_CACHE, 1).hr, E_FAIL);
    for (const auto& c : sink->calls)
        EXPECT_NE(c.transactionID, 1u);
    EXPECT_TRUE(object().ReadyList.empty());
}

// --- the client's arrays and pointers

using GroupIOArgs = GroupIO;

TEST_F(GroupIOArgs, BadArraysAndPointersAreRefused)
{
    makeGroup();
    connect();
    OPCHANDLE handles[] = {h[0]};
    VARIANT values[1];
    VariantInit(&values[0]);
    auto* const junkErrors = reinterpret_cast<HRESULT*>(0x10);
    auto* const junkStates = reinterpret_cast<OPCITEMSTATE*>(0x10);
    struct Case {
        const char* name;
        std::function<HRESULT(HRESULT**, OPCITEMSTATE**, DWORD*)> call;
        HRESULT expected;
    };
    IOPCSyncIO* sync = group.sync.get();
    IOPCAsyncIO2* async = group.async.get();
    const DWORD huge = opc::kMaxClientCount + 1;
    const Case cases[] = {
        {"sync read, count 0", [&](HRESULT** e, OPCITEMSTATE** s, DWORD*) { return sync->Read(OPC_DS_CACHE, 0, handles, s, e); },
         E_INVALIDARG},
        {"sync read, huge count",
         [&](HRESULT** e, OPCITEMSTATE** s, DWORD*) { return sync->Read(OPC_DS_CACHE, huge, handles, s, e); }, E_INVALIDARG},
        {"sync read, no handles",
         [&](HRESULT** e, OPCITEMSTATE** s, DWORD*) { return sync->Read(OPC_DS_CACHE, 1, nullptr, s, e); }, E_INVALIDARG},
        {"sync read, no errors out",
         [&](HRESULT**, OPCITEMSTATE** s, DWORD*) { return sync->Read(OPC_DS_CACHE, 1, handles, s, nullptr); }, E_POINTER},
        {"sync read, no states out",
         [&](HRESULT** e, OPCITEMSTATE**, DWORD*) { return sync->Read(OPC_DS_CACHE, 1, handles, nullptr, e); }, E_POINTER},
        {"sync write, count 0", [&](HRESULT** e, OPCITEMSTATE**, DWORD*) { return sync->Write(0, handles, values, e); },
         E_INVALIDARG},
        {"sync write, huge count", [&](HRESULT** e, OPCITEMSTATE**, DWORD*) { return sync->Write(huge, handles, values, e); },
         E_INVALIDARG},
        {"sync write, no handles", [&](HRESULT** e, OPCITEMSTATE**, DWORD*) { return sync->Write(1, nullptr, values, e); },
         E_INVALIDARG},
        {"sync write, no values", [&](HRESULT** e, OPCITEMSTATE**, DWORD*) { return sync->Write(1, handles, nullptr, e); },
         E_INVALIDARG},
        {"sync write, no errors out",
         [&](HRESULT**, OPCITEMSTATE**, DWORD*) { return sync->Write(1, handles, values, nullptr); }, E_POINTER},
        {"async read, count 0", [&](HRESULT** e, OPCITEMSTATE**, DWORD* cid) { return async->Read(0, handles, 1, cid, e); },
         E_INVALIDARG},
        {"async read, huge count", [&](HRESULT** e, OPCITEMSTATE**, DWORD* cid) { return async->Read(huge, handles, 1, cid, e); },
         E_INVALIDARG},
        {"async read, no handles", [&](HRESULT** e, OPCITEMSTATE**, DWORD* cid) { return async->Read(1, nullptr, 1, cid, e); },
         E_INVALIDARG},
        {"async read, no errors out",
         [&](HRESULT**, OPCITEMSTATE**, DWORD* cid) { return async->Read(1, handles, 1, cid, nullptr); }, E_POINTER},
        {"async read, no cancel ID out",
         [&](HRESULT** e, OPCITEMSTATE**, DWORD*) { return async->Read(1, handles, 1, nullptr, e); }, E_POINTER},
        {"async write, count 0",
         [&](HRESULT** e, OPCITEMSTATE**, DWORD* cid) { return async->Write(0, handles, values, 1, cid, e); }, E_INVALIDARG},
        {"async write, huge count",
         [&](HRESULT** e, OPCITEMSTATE**, DWORD* cid) { return async->Write(huge, handles, values, 1, cid, e); }, E_INVALIDARG},
        {"async write, no handles",
         [&](HRESULT** e, OPCITEMSTATE**, DWORD* cid) { return async->Write(1, nullptr, values, 1, cid, e); }, E_INVALIDARG},
        {"async write, no values",
         [&](HRESULT** e, OPCITEMSTATE**, DWORD* cid) { return async->Write(1, handles, nullptr, 1, cid, e); }, E_INVALIDARG},
        {"async write, no errors out",
         [&](HRESULT**, OPCITEMSTATE**, DWORD* cid) { return async->Write(1, handles, values, 1, cid, nullptr); }, E_POINTER},
        {"async write, no cancel ID out",
         [&](HRESULT** e, OPCITEMSTATE**, DWORD*) { return async->Write(1, handles, values, 1, nullptr, e); }, E_POINTER},
        {"refresh, no cancel ID out",
         [&](HRESULT**, OPCITEMSTATE**, DWORD*) { return async->Refresh2(OPC_DS_CACHE, 1, nullptr); }, E_POINTER},
        {"get enable, no out", [&](HRESULT**, OPCITEMSTATE**, DWORD*) { return async->GetEnable(nullptr); }, E_POINTER},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        HRESULT* errors = junkErrors;
        OPCITEMSTATE* states = junkStates;
        DWORD cancelID = 99;
        EXPECT_EQ(k.call(&errors, &states, &cancelID), k.expected);
        // Out pointers the call was given are cleared, whatever else was wrong.
        EXPECT_TRUE(errors == junkErrors || errors == nullptr);
        EXPECT_TRUE(states == junkStates || states == nullptr);
        EXPECT_TRUE(cancelID == 99 || cancelID == 0);
    }
    EXPECT_TRUE(object().WaitingList.empty());
    EXPECT_TRUE(object().ReadyList.empty());
    EXPECT_TRUE(channel->ReadQueue.empty());
    EXPECT_TRUE(channel->WriteQueue.empty());
}

TEST_F(GroupIOArgs, OutPointersAreClearedBeforeACountIsRefused)
{
    makeGroup();
    connect();
    OPCHANDLE handles[] = {h[0]};
    HRESULT* errors = reinterpret_cast<HRESULT*>(0x10);
    OPCITEMSTATE* states = reinterpret_cast<OPCITEMSTATE*>(0x10);
    DWORD cancelID = 99;
    EXPECT_EQ(group.sync->Read(OPC_DS_CACHE, 0, handles, &states, &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(states, nullptr);
    errors = reinterpret_cast<HRESULT*>(0x10);
    EXPECT_EQ(group.async->Read(0, handles, 1, &cancelID, &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(cancelID, 0u);
}

// Runs call with the n-th task allocation failing, for n = 0, 1, ... until it succeeds; each
// failure must be E_OUTOFMEMORY and check() must hold after it.
void throughEveryAllocationFailure(const std::function<HRESULT()>& call, const std::function<void()>& check)
{
    for (std::size_t n = 0; n < 32; ++n) {
        com::failTaskAllocAfter(n);
        const HRESULT hr = call();
        com::clearTaskAllocFailure();
        if (hr != E_OUTOFMEMORY) {
            EXPECT_TRUE(SUCCEEDED(hr)) << n;
            EXPECT_GT(n, 0u);
            return;
        }
        check();
    }
    ADD_FAILURE() << "never succeeded";
}

TEST_F(GroupIOArgs, AFailedAllocationLeavesNothing)
{
    makeGroup();
    connect();
    settle();
    {
        SCOPED_TRACE("sync read");
        ReadResult r;
        throughEveryAllocationFailure([&] { return (r = group.read(OPC_DS_CACHE, {h[0], h[1]})).hr; },
                                      [&] { EXPECT_TRUE(r.states.empty() && r.errors.empty()); });
    }
    // Text values, made before the failures start: converting them takes task memory too.
    com::Variant one = text("1");
    com::Variant two = text("2");
    VARIANT values[] = {*one.get(), *two.get()};
    OPCHANDLE handles[] = {h[0], h[1]};
    {
        SCOPED_TRACE("sync write");
        HRESULT* errors = nullptr;
        throughEveryAllocationFailure(
            [&] {
                CoTaskMemFree(errors);
                return group.sync->Write(2, handles, values, &errors);
            },
            [&] { EXPECT_EQ(errors, nullptr); });
        CoTaskMemFree(errors);
    }
    {
        SCOPED_TRACE("async read");
        AsyncResult r;
        throughEveryAllocationFailure([&] { return (r = group.asyncRead({h[0], h[1]}, 1)).hr; }, [&] {
            EXPECT_TRUE(r.errors.empty());
            EXPECT_EQ(r.cancelID, 0u);
            EXPECT_TRUE(object().WaitingList.empty());
        });
    }
    {
        SCOPED_TRACE("async write");
        object().WaitingList.clear();
        HRESULT* errors = nullptr;
        DWORD cancelID = 0;
        throughEveryAllocationFailure(
            [&] {
                CoTaskMemFree(errors);
                return group.async->Write(2, handles, values, 1, &cancelID, &errors);
            },
            [&] {
                EXPECT_EQ(errors, nullptr);
                EXPECT_EQ(cancelID, 0u);
                EXPECT_TRUE(object().WaitingList.empty());
            });
        CoTaskMemFree(errors);
    }
    EXPECT_EQ(std::u16string(values[0].bstrVal), u"1");
}

TEST_F(GroupIOArgs, ACallbackThatCannotBeAllocatedIsDropped)
{
    makeGroup();
    connect();
    settle();
    ASSERT_EQ(group.asyncRead({h[0]}, 1).hr, S_OK);
    completeRequests();
    a->Value.setI2(3);
    com::failTaskAllocAfter(0);
    tick(1000);
    com::clearTaskAllocFailure();
    EXPECT_TRUE(sink->calls.empty());
    EXPECT_TRUE(object().ReadyList.empty());
    EXPECT_TRUE(object().WaitingList.empty());
}

// --- groups whose server object went

using GroupIOTornDown = GroupIO;

TEST_F(GroupIOTornDown, EveryMethodFailsAndWaitingTransactionsAreGone)
{
    makeGroup();
    connect();
    ASSERT_EQ(group.asyncRead({h[0]}, 1).hr, S_OK);
    ASSERT_EQ(a->WaitingTransactions.size(), 1u);
    client->release();  // the group lives on, torn down
    EXPECT_TRUE(a->WaitingTransactions.empty());
    completeRequests();
    OPCHANDLE handles[] = {h[0]};
    VARIANT values[1];
    VariantInit(&values[0]);
    HRESULT* errors = nullptr;
    OPCITEMSTATE* states = nullptr;
    DWORD cancelID = 0;
    BOOL enabled = FALSE;
    EXPECT_EQ(group.sync->Read(OPC_DS_CACHE, 1, handles, &states, &errors), E_FAIL);
    EXPECT_EQ(group.sync->Write(1, handles, values, &errors), E_FAIL);
    EXPECT_EQ(group.async->Read(1, handles, 1, &cancelID, &errors), E_FAIL);
    EXPECT_EQ(group.async->Write(1, handles, values, 1, &cancelID, &errors), E_FAIL);
    EXPECT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &cancelID), E_FAIL);
    EXPECT_EQ(group.async->Cancel2(2), E_FAIL);
    EXPECT_EQ(group.async->SetEnable(TRUE), E_FAIL);
    EXPECT_EQ(group.async->GetEnable(&enabled), E_FAIL);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(states, nullptr);
    sink->calls.clear();
    tick(1000);
    EXPECT_TRUE(sink->calls.empty());
}

TEST_F(GroupIOTornDown, AGroupReleasedWhileItsTransactionsWait)
{
    makeGroup();
    connect();
    ASSERT_EQ(group.asyncRead({h[0], h[1]}, 1).hr, S_OK);
    ASSERT_EQ(group.asyncWrite({h[0]}, {i2(2)}, 2).hr, S_OK);
    ASSERT_EQ(a->WaitingTransactions.size(), 2u);
    ASSERT_TRUE(SUCCEEDED(client->server->RemoveGroup(group.serverHandle, TRUE)));
    group.release();
    EXPECT_TRUE(a->WaitingTransactions.empty());
    EXPECT_TRUE(b->WaitingTransactions.empty());
    // The requests end after the transactions went: nothing may reach them.
    completeRequests();
    tick(1000);
    EXPECT_EQ(sink->count(Callback::ReadComplete), 0u);
}

// --- clients doing things inside their callbacks

using GroupIOReentry = GroupIO;

TEST_F(GroupIOReentry, ClientActsInsideACallback)
{
    enum Action { RemoveItems, CancelOther, Unadvise, RemoveGroup, ReleaseServer, ReleaseGroup, RemoveAndRelease, Refresh };
    struct Case {
        const char* name;
        Action action;
        Callback::Kind trigger;
        int callsAfter;  // -1: not looked at
    };
    // Two finished reads (sent in reverse order: tid 2 first), then a data change of St.C.
    const Case cases[] = {
        {"remove items in a read", RemoveItems, Callback::ReadComplete, 3},
        {"cancel the other read", CancelOther, Callback::ReadComplete, 2},
        {"unadvise in a read", Unadvise, Callback::ReadComplete, 1},
        {"remove the group in a read", RemoveGroup, Callback::ReadComplete, 1},
        {"release the server in a read", ReleaseServer, Callback::ReadComplete, -1},
        {"release the group in a read", ReleaseGroup, Callback::ReadComplete, -1},
        {"remove and release the group in a read", RemoveAndRelease, Callback::ReadComplete, -1},
        {"refresh in a read", Refresh, Callback::ReadComplete, 3},
        {"remove items in a data change", RemoveItems, Callback::DataChange, 3},
        {"remove the group in a data change", RemoveGroup, Callback::DataChange, 3},
        {"release the server in a data change", ReleaseServer, Callback::DataChange, 3},
        {"unadvise in a data change", Unadvise, Callback::DataChange, 3},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        makeGroup();
        addItem("St.C", 13);
        const DWORD cookie = group.advise(sink->unknown());
        settle();
        ASSERT_EQ(group.asyncRead({h[0]}, 1).hr, S_OK);
        const AsyncResult second = group.asyncRead({h[1]}, 2);
        ASSERT_EQ(second.hr, S_OK);
        const DWORD firstCancelID = second.cancelID - 1;
        completeRequests();
        c->Value.setI2(77);
        bool done = false;
        sink->onCall = [&](const Callback& call) {
            if (done || call.kind != k.trigger)
                return;
            done = true;
            switch (k.action) {
            case RemoveItems:
                group.removeItems({h[0], h[1]});
                break;
            case CancelOther:
                EXPECT_EQ(group.async->Cancel2(firstCancelID), S_OK);
                break;
            case Unadvise:
                EXPECT_EQ(group.unadvise(cookie), S_OK);
                break;
            case RemoveGroup:
                client->server->RemoveGroup(group.serverHandle, TRUE);
                break;
            case ReleaseServer:
                group.release();
                client->release();
                break;
            case ReleaseGroup:
                group.release();
                break;
            case RemoveAndRelease:
                client->server->RemoveGroup(group.serverHandle, FALSE);
                group.release();
                break;
            case Refresh:
                // Runs the other finished read first, then the refresh itself.
                EXPECT_EQ(group.refresh(OPC_DS_CACHE, 9).hr, S_OK);
                EXPECT_EQ(sink->calls.size(), 3u);
                break;
            }
        };
        tick(1000);
        EXPECT_TRUE(done);
        if (k.callsAfter >= 0) {
            EXPECT_EQ(sink->calls.size(), static_cast<std::size_t>(k.callsAfter));
        }
        if (k.action == RemoveItems && k.trigger == Callback::ReadComplete) {
            const Callback* read = sink->last(Callback::ReadComplete);
            ASSERT_NE(read, nullptr);
            EXPECT_EQ(read->transactionID, 1u);
            EXPECT_EQ(read->entries.at(0).error, OPC_E_INVALIDITEMID);
        }
        // Whatever is left goes on working, or stays quiet.
        sink->onCall = nullptr;
        c->Value.setI2(78);
        tick(1000);
        completeRequests();
        tick(1000);
        restart();
    }
}

// --- the OPC call log

using GroupIOLog = GroupIO;

std::vector<std::string> fileLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

TEST_F(GroupIOLog, AsyncCallsAndTheirResultsAreLogged)
{
    opc::OPCLogging = true;
    opc::OPCNumLogLines = 100;
    opc::OPCLogToFile = true;
    const std::string path = opc::OPCLogFileName(plat::programDir(), clock.now());
    std::remove(path.c_str());
    ASSERT_EQ(client->common->SetClientName(u"Cli"), S_OK);
    makeGroup();
    // Logged on entry, before any check.
    EXPECT_EQ(group.asyncRead({h[0]}, 1).hr, CONNECT_E_NOCONNECTION);
    connect();
    settle();
    b->Quality = vx::qCommFailure;
    const AsyncResult r = group.asyncRead({h[0], h[1]}, 1);
    ASSERT_EQ(group.asyncWrite({h[0]}, {i2(1)}, 2).hr, S_OK);
    EXPECT_EQ(group.async->Cancel2(r.cancelID + 1000), E_FAIL);
    ASSERT_EQ(group.refresh(OPC_DS_CACHE, 3).hr, S_OK);
    ASSERT_EQ(group.async->SetEnable(TRUE), S_OK);
    BOOL enabled = FALSE;
    ASSERT_EQ(group.async->GetEnable(&enabled), S_OK);
    group.read(OPC_DS_CACHE, {h[0]});  // synchronous calls are not logged
    group.write({h[0]}, {i2(2)});
    completeRequests();
    tick(1000);

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Async Read", "ItemCount=1"},
        {"Async Read", "ItemCount=2"},
        {"Async Write", "ItemCount=1"},
        {"Async Cancel", ""},
        {"Async Refresh", ""},
        {"Async SetEnable", ""},
        {"Async GetEnable", ""},
        {"CallBack WriteComplete", "ItemCount=1, MasterResult=0"},
        {"CallBack ReadComplete", "ItemCount=2, MasterResult=0, MasterQuality=1"},
    };
    ASSERT_EQ(opc::OPCLog.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(opc::OPCLog[i].substr(0, opc::OPCLog[i].find('\r')), expected[i].first) << i;

    const std::vector<std::string> lines = fileLines(path);
    std::remove(path.c_str());
    std::size_t at = 0;
    for (const auto& [event, detail] : expected) {
        SCOPED_TRACE(event);
        ASSERT_LT(at, lines.size());
        const std::string tail = " Cli.G " + event;
        EXPECT_GE(lines[at].size(), tail.size());
        EXPECT_EQ(lines[at].substr(lines[at].size() - std::min(tail.size(), lines[at].size())), tail);
        ++at;
        if (!detail.empty()) {
            ASSERT_LT(at, lines.size());
            EXPECT_EQ(lines[at++], detail);
        }
    }
    EXPECT_EQ(at, lines.size());
}

}  // namespace
}  // namespace opctest

// The development-environment channel on the manual clock, against a stand-in service backed
// by the PLC simulator (lunaro_standin.h): the calls it makes and their arguments, the
// answer placement and check, failures of the service and of its classes, Stop and
// destruction, and calls that re-enter the program while the service works.
#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QString>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "comm/vx_lunaro.h"
#include "comm/vx_lunaro_com.h"
#include "fake_port.h"
#include "lunaro_standin.h"
#include "platform/com/alloc.h"
#include "platform/com/bstr.h"
#include "platform/com/runtime.h"

namespace {

using chantest::Bytes;
using chantest::ChannelTest;
using lunarotest::CallScript;
using lunarotest::LunaroStandIn;
using lunarotest::RequestCall;
using vx::TStation;
using vx::TVariable;

// The byte the service takes: the service code, or the function code of Connect and Ident.
constexpr int kScConnect = plcsim::fcConnect;
constexpr int kScIdent = plcsim::fcIdent;
constexpr int kScSetTID = plcsim::scSetTID;
constexpr int kScReadN = plcsim::scReadN;
constexpr int kScWriteN = plcsim::scWriteN;
constexpr int kScWriteB = plcsim::scWriteB;

Bytes le16(std::uint16_t v) { return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)}; }

// Vtable position of a virtual method (the Itanium C++ ABI keeps 1 + its byte offset in the
// vtable in a member pointer), so that the declarations are checked against the positions
// the foreign objects have.
template <class Method>
std::size_t vtableSlot(Method method)
{
    static_assert(sizeof(Method) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t raw[2];
    std::memcpy(raw, &method, sizeof raw);
    EXPECT_EQ(raw[0] % sizeof(void*), 1u) << "not a virtual method";
    return (raw[0] - 1) / sizeof(void*);
}

// The program's log lines of the channel's category.
std::vector<std::string>* programLog = nullptr;
QtMessageHandler previousHandler = nullptr;

void captureProgramLog(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (programLog && context.category && std::string_view(context.category) == "vx.comm.lunaro")
        programLog->push_back(message.toStdString());
    else if (previousHandler)
        previousHandler(type, context, message);
}

TEST(LunaroClasses, MethodsSitAtTheirVtablePositions)
{
    EXPECT_EQ(vtableSlot(&IConnectedPlc::Request), 6u);
    EXPECT_EQ(vtableSlot(&IConnectedPlc::ErrorText), 7u);
    EXPECT_EQ(vtableSlot(&IWexaApp::Close), 10u);
    EXPECT_EQ(vtableSlot(&IWexaApp::Unused9), 9u);
}

TEST(LunaroClasses, CreationFailsUnlessSomethingRegisteredTheClasses)
{
    const com::ApartmentScope apartment;
    plcsim::Simulator sim;
    com::ComPtr<IWexaApp> app;
    com::ComPtr<IConnectedPlc> plc;
    EXPECT_EQ(CoCreateInstance(CLSID_CoLunaroApp, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IWexaApp,
                               app.putVoid()),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_CoLunaroPlcCommunicationServices, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                               IID_IConnectedPlc, plc.putVoid()),
              REGDB_E_CLASSNOTREG);
    {
        LunaroStandIn service(sim);
        EXPECT_EQ(CoCreateInstance(CLSID_CoLunaroApp, nullptr, CLSCTX_INPROC_SERVER, IID_IWexaApp, app.putVoid()), S_OK);
        EXPECT_EQ(CoCreateInstance(CLSID_CoLunaroPlcCommunicationServices, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IConnectedPlc, plc.putVoid()),
                  S_OK);
        EXPECT_EQ(service.liveApps, 1);
        app = nullptr;
        plc = nullptr;
        EXPECT_EQ(service.liveApps + service.livePlcs, 0);
        service.setRegistered(true, false);
        EXPECT_EQ(CoCreateInstance(CLSID_CoLunaroPlcCommunicationServices, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IConnectedPlc, plc.putVoid()),
                  REGDB_E_CLASSNOTREG);
    }
    EXPECT_EQ(CoCreateInstance(CLSID_CoLunaroApp, nullptr, CLSCTX_INPROC_SERVER, IID_IWexaApp, app.putVoid()),
              REGDB_E_CLASSNOTREG)
        << "gone with the stand-in";
}

// Stations of connection type 3 on the channel, the stand-in registered, the communication
// log on, the program's log of the channel recorded.
struct LunaroTest : ChannelTest {
    com::ApartmentScope apartment;
    LunaroStandIn service{sim};
    std::vector<std::string> logged;

    void SetUp() override
    {
        ChannelTest::SetUp();
        vx::ComLogging = true;
        vx::NumOfComLines = 1000;
        logged.clear();
        programLog = &logged;
        previousHandler = qInstallMessageHandler(captureProgramLog);
    }
    void TearDown() override
    {
        qInstallMessageHandler(previousHandler);
        programLog = nullptr;
        ChannelTest::TearDown();
    }
    // Forgets what the stand-in recorded and was told.
    void resetService()
    {
        service.setRegistered(true, true);
        service.scripts.clear();
        service.requests.clear();
        service.errorTextCalls.clear();
        service.events.clear();
        service.maxDepth = 0;
    }

    // A station served through the development environment, backed by the simulator's PLC at
    // the low byte of bus.
    TStation* lunaroStation(std::int32_t bus, std::int32_t timeout = 500, TStation* st = nullptr)
    {
        if (!st)
            st = vx::StationList->AddStation();
        st->Name = "L" + std::to_string(bus);
        st->Primary->ConnectionType = vx::ctLunaro;
        st->Primary->BusAddress = bus;
        st->Primary->Timeout = timeout;
        if (!sim.station(static_cast<std::uint8_t>(bus & 0xFF)))
            sim.addStation(static_cast<std::uint8_t>(bus & 0xFF)).setIdentity("HLX-7R  V2.31");
        vx::LunaroChannel->AddStation(st);
        return st;
    }
    static vx::TLunaro& ch() { return *vx::LunaroChannel; }
    static int logLines(const std::string& part)
    {
        return static_cast<int>(std::count_if(ch().ComLog.begin(), ch().ComLog.end(),
                                              [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
    int eventCount(const std::string& event) const
    {
        return static_cast<int>(std::count(service.events.begin(), service.events.end(), event));
    }
    // Advances until the stand-in has seen n calls with the service code.
    bool untilCalls(int serviceCode, std::size_t n, std::int64_t bound = 5000)
    {
        return advanceUntil([&] { return service.calls(serviceCode).size() >= n; }, bound);
    }
};

TEST_F(LunaroTest, ConnectIdentReadsAndWritesGoThroughTheServiceWithThePartsArguments)
{
    TStation* st = lunaroStation(258, 700);
    TVariable* a = variable(st, VT_UI2, 3, 10);
    TVariable* b = variable(st, VT_I4, 3, 12);
    TVariable* w = variable(st, VT_UI2, 3, 40, 0);
    TVariable* bit = variable(st, VT_BOOL, 3, 50, 0, 3);
    plc(st).poke(3, 10, le16(0x1234));
    plc(st).poke(3, 12, Bytes{0xFB, 0xFF, 0xFF, 0xFF});
    start();
    ASSERT_TRUE(advanceUntil([&] { return a->Quality == vx::qGood; }, 1000));

    EXPECT_EQ(st->State, vx::ssConnected);
    EXPECT_EQ(st->Identity, "HLX-7R ");
    EXPECT_EQ(st->CpuClass, 5);
    EXPECT_EQ(a->Value.toI4(), 0x1234);
    EXPECT_EQ(b->Value.toI4(), -5);
    EXPECT_EQ(b->Quality, vx::qGood);
    EXPECT_DOUBLE_EQ(a->LastUpdate, clock.now()) << "stamped when the answer was taken up";
    EXPECT_EQ(ch().GoodAnswers, 3);
    EXPECT_EQ(ch().Port, nullptr) << "it owns no serial port";

    ASSERT_EQ(service.requests.size(), 3u);
    struct Expected {
        int service;
        Bytes data;
    } expected[] = {{kScConnect, {}}, {kScIdent, {}}, {kScReadN, {3, 10, 0, 6}}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const RequestCall& c = service.requests[i];
        EXPECT_EQ(c.mode, 3);
        EXPECT_EQ(c.busAddress, 2) << "the low byte of 258";
        EXPECT_EQ(c.serviceCode, expected[i].service);
        EXPECT_EQ(c.dataLength, static_cast<LONG>(expected[i].data.size()));
        EXPECT_EQ(c.data, expected[i].data);
        EXPECT_EQ(c.answerRoom, 300);
        EXPECT_EQ(c.answerBuffer, ch().RxBuffer.data());
        EXPECT_EQ(c.timeoutMs, 700);
    }

    // Writes reach the PLC's memory; the service answers them with no bytes.
    w->Value.setUI2(0xBEEF);
    bit->Value.setBool(true);
    bool finished = true;
    ASSERT_EQ(w->WriteValue(finished), S_OK);
    ASSERT_FALSE(finished);
    ASSERT_EQ(bit->WriteValue(finished), S_OK);
    ASSERT_TRUE(advanceUntil([&] { return done[w] == 1 && done[bit] == 1; }, 1000));
    EXPECT_EQ(plc(st).peek(3, 40, 2), (Bytes{0xEF, 0xBE}));
    EXPECT_EQ(plc(st).peek(3, 50, 1)[0] & 0x08, 0x08);
    const auto writes = service.calls(kScWriteN);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data, (Bytes{3, 40, 0, 2, 0xEF, 0xBE}));
    EXPECT_EQ(writes[0].answerLength, 0) << "acknowledged with nothing";
    const auto bits = service.calls(kScWriteB);
    ASSERT_EQ(bits.size(), 1u);
    EXPECT_EQ(bits[0].data, (Bytes{3, 50, 0, 0x83}));
    EXPECT_EQ(w->WritePending + bit->WritePending, 0);
    EXPECT_EQ(st->State, vx::ssConnected);
    EXPECT_EQ(ch().BadAnswers + ch().Timeouts, 0) << "a write answered with zero bytes succeeds";
    EXPECT_EQ(service.placeholderCalls, 0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(LunaroTest, ReadDataStandWhereALongFrameCarriesThem)
{
    TStation* st = lunaroStation(2);
    TVariable* word = variable(st, VT_I4, 3, 20);
    TVariable* byte = variable(st, VT_UI1, 3, 24);
    plc(st).poke(3, 20, Bytes{1, 2, 3, 4, 5});
    start();
    ASSERT_TRUE(untilCalls(kScReadN, 1));
    EXPECT_EQ(service.calls(kScReadN)[0].answerLength, 5);
    EXPECT_EQ(ch().RxCount, 12);
    EXPECT_EQ(Bytes(ch().RxBuffer.begin(), ch().RxBuffer.begin() + 7), Bytes(7, 0));
    EXPECT_EQ(Bytes(ch().RxBuffer.begin() + 7, ch().RxBuffer.begin() + 12), (Bytes{1, 2, 3, 4, 5}));
    ASSERT_TRUE(advanceUntil([&] { return byte->Quality == vx::qGood; }, 200));
    EXPECT_EQ(word->Value.toI4(), 0x04030201);
    EXPECT_EQ(byte->Value.toI4(), 5);
}

TEST_F(LunaroTest, AClientReadOfAStationNotConnectedIsDropped)
{
    TStation* st = lunaroStation(2);
    TVariable* r = variable(st, VT_UI2, 3, 10, 0);  // read on request only
    plc(st).poke(3, 10, le16(77));
    start();
    ASSERT_EQ(st->State, vx::ssConnectSent);
    bool finished = true;
    ASSERT_EQ(r->RequestRead(finished), S_OK);
    ASSERT_FALSE(finished);
    advance(100);
    EXPECT_EQ(done[r], 1) << "dropped, its request ended";
    EXPECT_EQ(r->ReadPending, 0);
    EXPECT_TRUE(service.calls(kScReadN).empty());
    EXPECT_EQ(service.calls(kScConnect).size(), 1u) << "the Connect behind it went";

    ASSERT_TRUE(connect(st));
    ASSERT_EQ(r->RequestRead(finished), S_OK);
    ASSERT_TRUE(advanceUntil([&] { return done[r] == 2; }, 500));
    EXPECT_EQ(service.calls(kScReadN).size(), 1u) << "a connected station's client read goes";
    EXPECT_EQ(r->Value.toI4(), 77);
}

TEST_F(LunaroTest, AFailedCallFetchesTheErrorTextFreesItAndFailsTheStation)
{
    constexpr HRESULT kStopped = MAKE_HR(0x80041001);
    TStation* st = lunaroStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    const std::size_t reads = service.calls(kScReadN).size();
    service.scripts.push_back(lunarotest::failCall(kScReadN, kStopped, u"PLC program stopped"));
    const std::size_t blocks = com::taskAllocStats().liveBlocks;
    ASSERT_TRUE(untilCalls(kScReadN, reads + 1));

    ASSERT_EQ(service.errorTextCalls, std::vector<HRESULT>{kStopped});
    EXPECT_EQ(com::taskAllocStats().liveBlocks, blocks) << "the text was freed";
    EXPECT_EQ(logLines("PLC program stopped"), 1);
    EXPECT_EQ(st->State, vx::ssFailed);
    EXPECT_EQ(ch().RxCount, 0);
    advance(100);
    EXPECT_EQ(ch().Timeouts, 1);
    EXPECT_EQ(st->TimeoutCount, 1);
    EXPECT_EQ(v->Quality, vx::qLastKnown);
    EXPECT_EQ(service.calls(kScReadN).size(), reads + 1) << "a failed station's request is not sent again";
    EXPECT_TRUE(messages.empty()) << "nothing is shown";
    EXPECT_TRUE(logged.empty());

    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 3000)) << "reconnected once ConnectRate passed";
}

TEST_F(LunaroTest, AnUnregisteredServiceClassFailsEachRequest)
{
    service.setRegistered(true, false);
    TStation* st = lunaroStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    start();
    advance(2350);
    EXPECT_TRUE(service.requests.empty());
    EXPECT_EQ(service.livePlcs, 0);
    EXPECT_EQ(ch().Timeouts, 3) << "each Connect, one per ConnectRate, timed out";
    EXPECT_EQ(st->TimeoutCount, 3);
    EXPECT_EQ(st->State, vx::ssFailed);
    EXPECT_EQ(logLines("communication service cannot be created"), 3);
    EXPECT_NE(v->Quality, vx::qGood);
    EXPECT_TRUE(ch().Polling) << "the application object exists; the channel goes on";

    service.setRegistered(true, true);
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 2000));
    EXPECT_EQ(service.livePlcs, 1);
}

TEST_F(LunaroTest, AnUnregisteredApplicationClassFailsTheStationsAndSettlesTheirRequests)
{
    service.setRegistered(false, true);
    TStation* st = lunaroStation(2);
    TStation* blocked = lunaroStation(3);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TVariable* r = variable(st, VT_UI2, 3, 12, 0);
    TVariable* w = variable(st, VT_UI2, 3, 40, 0);
    variable(blocked, VT_UI2, 3, 10);
    blocked->SetControl(0);
    ASSERT_EQ(blocked->State, vx::ssBlocked);
    start();

    EXPECT_FALSE(ch().Polling);
    EXPECT_TRUE(ch().Unavailable());
    EXPECT_EQ(st->State, vx::ssFailed);
    EXPECT_EQ(v->Quality, vx::qCommFailure) << "its values turn bad";
    EXPECT_EQ(blocked->State, vx::ssBlocked);
    EXPECT_EQ(logLines("cannot be started"), 1);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("0x80040154"), std::string::npos) << logged[0];

    bool finished = true;
    ASSERT_EQ(r->RequestRead(finished), S_OK);
    ASSERT_FALSE(finished);
    w->Value.setUI2(5);
    ASSERT_EQ(w->WriteValue(finished), S_OK);
    ASSERT_FALSE(finished);
    advance(100);
    EXPECT_EQ(done[r], 1);
    EXPECT_EQ(done[w], 1);
    EXPECT_EQ(r->ReadPending + w->WritePending, 0);
    EXPECT_TRUE(ch().ReadQueue.empty());
    EXPECT_TRUE(ch().WriteQueue.empty());
    EXPECT_TRUE(service.requests.empty());

    // Each start tries again; the reason is noted once.
    start();
    advance(1000);
    EXPECT_FALSE(ch().Polling);
    EXPECT_EQ(logLines("cannot be started"), 1);
    EXPECT_EQ(logged.size(), 1u);

    service.setRegistered(true, true);
    start();
    EXPECT_TRUE(ch().Polling);
    EXPECT_FALSE(ch().Unavailable());
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 3000));
    EXPECT_EQ(blocked->State, vx::ssBlocked) << "a start leaves a blocked station as it is";
    for (const RequestCall& c : service.requests)
        EXPECT_EQ(c.busAddress, 2);

    // Stopped by StopCommunication, nothing is settled behind the program's back.
    ASSERT_TRUE(vx::CommServer->StopCommunication());
    EXPECT_FALSE(ch().Unavailable());
}

TEST_F(LunaroTest, AnswerLengthsOutsideTheBufferFailTheRequest)
{
    struct Case {
        LONG reported;
        bool accepted;
    } cases[] = {{301, false}, {100000, false}, {-1, false}, {300, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        TearDown();
        SetUp();
        resetService();
        TStation* st = lunaroStation(2);
        TVariable* v = variable(st, VT_UI2, 3, 10);
        plc(st).poke(3, 10, le16(0x0102));
        service.scripts.push_back(lunarotest::reportLength(kScReadN, c.reported));
        start();
        ASSERT_TRUE(untilCalls(kScReadN, 1));
        advance(100);
        EXPECT_TRUE(service.errorTextCalls.empty());
        if (c.accepted) {
            EXPECT_EQ(v->Quality, vx::qGood);
            EXPECT_EQ(v->Value.toI4(), 0x0102);
            EXPECT_EQ(st->State, vx::ssConnected);
        } else {
            EXPECT_EQ(st->State, vx::ssFailed);
            EXPECT_EQ(v->Quality, vx::qCommFailure);
            EXPECT_EQ(ch().Timeouts, 1);
            EXPECT_EQ(logLines("returned " + std::to_string(c.reported) + " answer bytes"), 1);
        }
    }
}

TEST_F(LunaroTest, DataShorterThanTheRequestIsABadAnswerAndSentAgain)
{
    struct Case {
        const char* name;
        int service;
        std::size_t drop;
        bool bad;
    } cases[] = {
        {"ReadN one byte short", kScReadN, 1, true},
        {"Ident below its answer length", kScIdent, 6, true},
        {"Ident of its answer length", kScIdent, 5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        resetService();
        TStation* st = lunaroStation(2);
        TVariable* v = variable(st, VT_UI2, 3, 10);
        plc(st).poke(3, 10, le16(0x0A0B));
        service.scripts.push_back(lunarotest::dropBytes(c.service, c.drop));
        start();
        ASSERT_TRUE(untilCalls(c.service, 1));
        advance(100);
        if (!c.bad) {
            EXPECT_EQ(ch().BadAnswers, 0);
            EXPECT_EQ(st->Identity, "HLX-7R ");
            EXPECT_EQ(service.calls(c.service).size(), 1u);
            continue;
        }
        EXPECT_EQ(ch().BadAnswers, 1);
        EXPECT_EQ(st->ErrorCount, 1);
        EXPECT_EQ(st->State, vx::ssConnected) << "retried, not failed";
        EXPECT_NE(v->Quality, vx::qGood) << "nothing decoded from missing bytes";
        const auto sent = service.calls(c.service);
        ASSERT_EQ(sent.size(), 2u) << "the same request again";
        EXPECT_EQ(sent[1].data, sent[0].data);
        ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 1000));
        EXPECT_EQ(v->Value.toI4(), 0x0A0B);
        EXPECT_EQ(st->Identity, "HLX-7R ");
    }
}

TEST_F(LunaroTest, AFrameThatCannotBeBuiltIsNotHandedToTheService)
{
    vx::MaxPacketLen = 16;  // a clock write needs 17 bytes
    TStation* st = lunaroStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TVariable* clk = st->AddVariable();
    clk->CanonicalType = VT_DATE;
    clk->SetKind(vx::vkDateTime);
    clk->InitValue();
    start();
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    clk->Value.setDate(46365.25);
    bool finished = true;
    ASSERT_EQ(clk->WriteValue(finished), S_OK);
    ASSERT_FALSE(finished);
    const std::int32_t errors = st->ErrorCount;
    advance(150);
    EXPECT_TRUE(service.calls(kScSetTID).empty());
    EXPECT_EQ(done[clk], 1);
    EXPECT_EQ(clk->WritePending, 0);
    EXPECT_EQ(st->ErrorCount, errors + 1);
    EXPECT_EQ(st->State, vx::ssFailed);
}

TEST_F(LunaroTest, StartCreatesOneApplicationObjectAndStopClosesItBeforeReleasing)
{
    start();
    EXPECT_EQ(eventCount("app created"), 0) << "nothing to serve, nothing created";
    EXPECT_FALSE(ch().Polling);

    TStation* st = lunaroStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    start();
    start();
    ch().Start();
    EXPECT_EQ(eventCount("app created"), 1) << "a started channel creates nothing";
    EXPECT_EQ(service.liveApps, 1);
    EXPECT_EQ(service.livePlcs, 0) << "the service comes with the first request";
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    EXPECT_EQ(service.livePlcs, 1);

    service.events.clear();
    ASSERT_TRUE(vx::CommServer->StopCommunication());
    EXPECT_EQ(service.events, (std::vector<std::string>{"plc freed", "app close", "app freed"}));
    EXPECT_EQ(service.liveApps + service.livePlcs, 0);
    EXPECT_EQ(ch().App, nullptr);
    EXPECT_EQ(ch().Plc, nullptr);
    EXPECT_EQ(ch().Spare, nullptr);

    // The stations keep their states over a stop and start: no new Connect.
    const std::size_t connects = service.calls(kScConnect).size();
    start();
    ASSERT_EQ(st->State, vx::ssConnected);
    const std::size_t reads = service.calls(kScReadN).size();
    ASSERT_TRUE(untilCalls(kScReadN, reads + 1));
    EXPECT_EQ(service.calls(kScConnect).size(), connects);

    service.events.clear();
    vx::FinalizeComm();
    EXPECT_EQ(service.events, (std::vector<std::string>{"plc freed", "app close", "app freed"}));
    EXPECT_EQ(service.liveApps + service.livePlcs, 0) << "no reference left after destruction";
    EXPECT_EQ(service.placeholderCalls, 0);
}

TEST_F(LunaroTest, ARestartReleasesTheOldObjectsAndCountsAgainFromZero)
{
    vx::MaxBadComToReset = 2;
    TStation* st = lunaroStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    service.events.clear();
    // Three failed calls in a row (the read, then two Connects): the second restarts the
    // channel, the third, counted from 0 after the restart, does not.
    for (int i = 0; i < 3; ++i)
        service.scripts.push_back(lunarotest::failCall(-1, E_FAIL));
    ASSERT_TRUE(advanceUntil([&] { return service.scripts.empty(); }, 5000));
    advance(100);
    EXPECT_EQ(eventCount("app close"), 1);
    EXPECT_EQ(eventCount("app created"), 1);
    EXPECT_EQ(service.liveApps, 1) << "the old application object released, the new one held";
    EXPECT_EQ(ch().FailCount, 1);
    EXPECT_EQ(st->State, vx::ssFailed);
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 3000));
    EXPECT_EQ(service.liveApps, 1);
    EXPECT_EQ(service.livePlcs, 1);
}

TEST_F(LunaroTest, ANestedCallThatStopsCommunicationLeavesNothingDangling)
{
    struct Case {
        const char* name;
        bool restart;
        bool loopRuns;  // the event loop runs inside the call, as it does while a caller waits
    } cases[] = {{"stop", false, false}, {"stop and start", true, false}, {"stop, start and ticks", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        resetService();
        TStation* st = lunaroStation(2);
        TVariable* v = variable(st, VT_UI2, 3, 10);
        plc(st).poke(3, 10, le16(1));
        start();
        ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
        const int vDone = done[v];
        service.scripts.push_back(lunarotest::runInside(kScReadN, [&] {
            ASSERT_TRUE(vx::CommServer->StopCommunication());
            if (c.restart)
                start();
            if (c.loopRuns)
                advance(350);
        }));
        const std::size_t reads = service.calls(kScReadN).size();
        ASSERT_TRUE(untilCalls(kScReadN, reads + 1));

        EXPECT_GE(done[v], vDone + 1) << "the request freed by the stop ended";
        EXPECT_EQ(service.maxDepth, 1) << "no request inside the request";
        EXPECT_EQ(ch().Polling, c.restart);
        if (!c.restart) {
            EXPECT_EQ(ch().CurrentPacket, nullptr);
            EXPECT_EQ(v->ReadPending, 0);
            EXPECT_EQ(service.livePlcs, 0) << "the service the stop released goes after its call";
            EXPECT_EQ(service.liveApps, 0);
            continue;
        }
        EXPECT_EQ(service.liveApps, 1);
        EXPECT_LE(service.livePlcs, 1) << "the service the stop released went after its call";
        plc(st).poke(3, 10, le16(2));
        ASSERT_TRUE(advanceUntil([&] { return v->Value.toI4() == 2; }, 1000));
        EXPECT_EQ(ch().BadAnswers + ch().Timeouts, 0);
    }
}

TEST_F(LunaroTest, ANestedCallThatFreesTheStationLeavesNothingDangling)
{
    auto owned = std::make_unique<TStation>(vx::CommServer);
    TStation* st = lunaroStation(2, 500, owned.get());
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TStation* other = lunaroStation(3);
    TVariable* o = variable(other, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood && o->Quality == vx::qGood; }));
    service.scripts.push_back(lunarotest::runInside(kScReadN, [&] { owned.reset(); }));
    const std::size_t reads = service.calls(kScReadN).size();
    ASSERT_TRUE(untilCalls(kScReadN, reads + 1));
    ASSERT_EQ(owned, nullptr);

    if (ch().CurrentPacket) {
        EXPECT_EQ(ch().CurrentPacket->Station, other) << "the other station's read went next";
    }
    EXPECT_EQ(ch().Stations, std::vector<TStation*>{other});
    EXPECT_TRUE(ch().Polling);
    const std::size_t calls = service.requests.size();
    plc(other).poke(3, 10, le16(9));
    ASSERT_TRUE(advanceUntil([&] { return o->Value.toI4() == 9; }, 1000));
    for (std::size_t i = calls; i < service.requests.size(); ++i)
        EXPECT_EQ(service.requests[i].busAddress, 3);
}

}  // namespace

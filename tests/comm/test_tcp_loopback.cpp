// TCP channels end to end, in real time: the port layer's TCP client against the PLC
// simulator listening on loopback addresses, one simulated PLC address per 127.0.0.x. Waits
// are on events with a generous bound, never fixed sleeps.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_notify.h"
#include "comm/vx_socket.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "platform/clock.h"
#include "tools/plcsim/simulator.h"
#include "tools/plcsim/transports.h"

#include "realtime_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using realtimetest::RealTimeTest;
using realtimetest::waitUntil;
using vx::TStation;
using vx::TVariable;
using vx::TWsSocket;

struct TcpLoopback : RealTimeTest {
    // The PLCs behind one loopback address.
    struct Plc {
        plcsim::Simulator sim;
        plcsim::TcpTransport tcp{sim};
    };
    std::map<std::string, std::unique_ptr<Plc>> plcs;
    std::map<TVariable*, std::int64_t> doneUs;  // plcsim::steadyMicros() of the last hook

    void SetUp() override
    {
        vx::Language = 1;
        vx::InitializeComm();
        vx::ServerAddress = 126;
        vx::MaxPacketLen = 255;
        vx::MaxBadCommCount = 3;
        vx::ConnectRate = 1000;
        vx::CommDelay = 0;
        vx::MaxBadComToReset = 0;
        vx::CheckTimestamp = true;
        vx::OnVariableRequestDone = [this](TVariable* v) {
            ++done[v];
            doneUs[v] = plcsim::steadyMicros();
        };
        vx::SetMessageNotifier([this](vx::TMessageKind, const std::string& text) { messages.push_back(text); });
    }
    void TearDown() override
    {
        vx::CommServer->StopCommunication();
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::ResetSettings();
        vx::SetMessageNotifier(nullptr);
        plcs.clear();
    }

    Plc& plcAt(const std::string& address)
    {
        auto& p = plcs[address];
        if (!p) {
            p = std::make_unique<Plc>();
            p->tcp.listen(0, address);
        }
        return *p;
    }
    // A TCP station whose address text is `text`, served at the loopback address `at`
    // (the text itself when empty).
    TStation* station(std::int32_t bus, const std::string& text, std::string at = "", std::int32_t timeout = 500)
    {
        if (at.empty())
            at = text;
        Plc& p = plcAt(at);
        if (!p.sim.station(static_cast<std::uint8_t>(bus)))
            p.sim.addStation(static_cast<std::uint8_t>(bus)).setIdentity("HLX-7R  V2.31");
        TStation* st = vx::StationList->AddStation();
        st->Name = "PLC" + std::to_string(bus) + "@" + text;
        st->Primary->ConnectionType = vx::ctTcp;
        st->Primary->IPAddress = text;
        st->Primary->PortNumber = p.tcp.port();
        st->Primary->BusAddress = bus;
        st->Primary->Timeout = timeout;
        vx::SocketList->AssignStation(st);
        return st;
    }
    plcsim::Station& plc(const std::string& at, std::int32_t bus)
    {
        return *plcAt(at).sim.station(static_cast<std::uint8_t>(bus));
    }
    static TWsSocket* tcp(TStation* st) { return dynamic_cast<TWsSocket*>(st->Channel); }

    static bool allGood(const std::vector<TVariable*>& vars)
    {
        for (TVariable* v : vars)
            if (v->Quality != vx::qGood)
                return false;
        return true;
    }
};

TEST_F(TcpLoopback, StationsAreConnectedReadAndWrittenOverOneConnectionPerAddress)
{
    TStation* a = station(2, "127.0.0.2");
    TStation* b = station(3, "127.0.0.2");
    TStation* c = station(4, "127.0.0.3");
    plc("127.0.0.2", 2).poke(3, 10, Bytes{0x34, 0x12, 0xFB, 0xFF, 0xFF, 0xFF});
    plc("127.0.0.2", 3).poke(3, 10, Bytes{0xE8, 0x03});
    plc("127.0.0.3", 4).poke(3, 10, Bytes{0x00, 0x00, 0xC0, 0x3F});
    TVariable* a1 = variable(a, VT_UI2, 10);
    TVariable* a2 = variable(a, VT_I4, 12);
    TVariable* b1 = variable(b, VT_UI2, 10);
    TVariable* c1 = variable(c, VT_R4, 10);
    const std::vector<TVariable*> read = {a1, a2, b1, c1};
    const double started = plat::clock().now();
    vx::CommServer->StartCommunication();
    ASSERT_EQ(a->Channel, b->Channel);
    ASSERT_NE(a->Channel, c->Channel);

    ASSERT_TRUE(waitUntil([&] { return allGood(read); }));
    EXPECT_EQ(a1->Value.toI4(), 0x1234);
    EXPECT_EQ(a2->Value.toI4(), -5);
    EXPECT_EQ(b1->Value.toI4(), 1000);
    EXPECT_EQ(c1->Value.toR8(), 1.5);
    for (TStation* s : {a, b, c}) {
        EXPECT_EQ(s->State, vx::ssConnected);
        EXPECT_EQ(s->Identity, "HLX-7R ");
        EXPECT_EQ(s->TimeStampVariable->Quality, vx::qGood) << "the PLC time stamp came with every read";
    }
    for (TVariable* v : read)
        EXPECT_GE(v->LastUpdate, started);

    // Cyclic, and written.
    plc("127.0.0.2", 3).poke(3, 10, Bytes{0x0F, 0x27});
    ASSERT_TRUE(waitUntil([&] { return b1->Value.toI4() == 9999; }));
    TVariable* w = variable(c, VT_I4, 40, 0);
    ASSERT_TRUE(write(w, [](com::Variant& value) { value.setI4(-123456); }));
    EXPECT_EQ(plc("127.0.0.3", 4).peek(3, 40, 4), (Bytes{0xC0, 0x1D, 0xFE, 0xFF}));
    plc("127.0.0.2", 2).poke(3, 50, Bytes{0x41});
    TVariable* bit3 = variable(a, VT_BOOL, 50, 0, 3);
    ASSERT_TRUE(write(bit3, [](com::Variant& value) { value.setBool(true); }));
    EXPECT_EQ(plc("127.0.0.2", 2).peek(3, 50, 1), (Bytes{0x49}));

    // One connection per address, one request at a time on it.
    for (const char* at : {"127.0.0.2", "127.0.0.3"}) {
        SCOPED_TRACE(at);
        const plcsim::TcpTransport& t = plcAt(at).tcp;
        EXPECT_EQ(t.connectionsAccepted(), 1);
        const auto& seen = t.received();
        ASSERT_GE(seen.size(), 4u);
        for (std::size_t i = 1; i < seen.size(); ++i) {
            EXPECT_GE(seen[i].receivedUs, seen[i - 1].answeredUs)
                << "request " << i << " came before the answer to the last";
            EXPECT_TRUE(seen[i].refused.empty()) << seen[i].refused;
        }
    }
    for (TStation* s : {a, c}) {
        EXPECT_EQ(s->Channel->BadAnswers, 0);
        EXPECT_EQ(s->Channel->Timeouts, 0);
    }
}

TEST_F(TcpLoopback, AnAnswerInTwoSegmentsCompletesWithTheSecondAndAStrayByteLeavesItToTheTimeOut)
{
    TStation* st = station(2, "127.0.0.2", "", 600);
    TVariable* v = variable(st, VT_UI2, 10, 100);
    vx::CommServer->StartCommunication();
    ASSERT_TRUE(waitUntil([&] { return v->Quality == vx::qGood; }));
    plcsim::TcpTransport& t = plcAt("127.0.0.2").tcp;
    vx::TCOM* ch = st->Channel;

    struct Case {
        plcsim::StreamFault fault;
        std::int64_t atLeastMs;  // from the request's arrival to the end of the request
        std::int32_t bad;
    } cases[] = {
        {plcsim::StreamFault::Split, 200, 0},
        {plcsim::StreamFault::Stray, 600, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        const std::int32_t good = ch->GoodAnswers, bad = ch->BadAnswers;
        const int before = done[v];
        t.addFault(c.fault, 1, {.ms = 200, .station = 2});
        ASSERT_TRUE(waitUntil([&] { return t.pendingFaults() == 0; }));
        const std::int64_t arrived = t.received().back().receivedUs;
        ASSERT_TRUE(waitUntil([&] { return ch->GoodAnswers + ch->BadAnswers > good + bad; }));
        EXPECT_EQ(ch->BadAnswers, bad + c.bad);
        ASSERT_TRUE(waitUntil([&] { return done[v] > before; }));
        EXPECT_GE(doneUs[v] - arrived, (c.atLeastMs - 20) * 1000) << "not complete before";
        EXPECT_EQ(v->Quality, vx::qGood);
        EXPECT_EQ(ch->Timeouts, 0);
    }
}

TEST_F(TcpLoopback, AStationWhoseConnectionWasRefusedOrClosedIsConnectedAgainWithinTwoConnectRates)
{
    TStation* st = station(2, "127.0.0.2");
    TVariable* v = variable(st, VT_UI2, 10);
    plcsim::TcpTransport& t = plcAt("127.0.0.2").tcp;
    t.refuseConnections();
    vx::CommServer->StartCommunication();
    ASSERT_TRUE(waitUntil([&] { return st->ErrorCount > 0; }, 3000));
    EXPECT_EQ(st->State, vx::ssFailed) << "failed at once";
    EXPECT_EQ(v->Quality, vx::qCommFailure);
    EXPECT_EQ(t.requestsReceived(), 0u);
    EXPECT_TRUE(messages.empty());

    QElapsedTimer listening;
    t.listenAgain();
    listening.start();
    ASSERT_TRUE(waitUntil([&] { return st->State == vx::ssConnected && v->Quality == vx::qGood; }));
    // Two periods plus the poll ticks that find each Connect due.
    EXPECT_LE(listening.elapsed(), 2 * vx::ConnectRate + 400);

    // The PLC closes the connection behind its next answer.
    const std::int32_t errors = st->ErrorCount;
    t.closeAfter(1);
    ASSERT_TRUE(waitUntil([&] { return st->ErrorCount > errors; }, 3000));
    QElapsedTimer lost;
    lost.start();
    ASSERT_TRUE(waitUntil([&] { return st->State == vx::ssConnected; }));
    EXPECT_LE(lost.elapsed(), 2 * vx::ConnectRate + 400);
    ASSERT_TRUE(waitUntil([&] { return t.connectionsAccepted() == 2 && v->Quality == vx::qGood; }));
}

TEST_F(TcpLoopback, TheAddressTextChoosesTheChannelAndANameNeverConnects)
{
    TStation* a = station(2, "127.0.0.1");
    TStation* b = station(3, "127.0.0.1");
    TStation* c = station(4, "127.000.000.001", "127.0.0.1");
    TStation* d = station(5, "localhost", "127.0.0.1");
    std::vector<TVariable*> served;
    for (TStation* s : {a, b, c})
        served.push_back(variable(s, VT_UI2, 10));
    TVariable* unserved = variable(d, VT_UI2, 10);
    vx::ShowMessages = true;
    vx::CommServer->StartCommunication();
    ASSERT_EQ(vx::SocketList->size(), 3u);
    EXPECT_EQ(a->Channel, b->Channel);
    EXPECT_EQ(a->Channel->Name, "TCPSocket0");
    EXPECT_EQ(c->Channel->Name, "TCPSocket1");
    EXPECT_EQ(d->Channel->Name, "TCPSocket2");
    EXPECT_EQ(messages, std::vector<std::string>{"Unable to open TCPIP socket"}) << "the name cannot be opened";

    ASSERT_TRUE(waitUntil([&] { return allGood(served) && d->ErrorCount >= 2; }));
    EXPECT_EQ(d->State, vx::ssFailed);
    EXPECT_EQ(unserved->Quality, vx::qCommFailure);
    EXPECT_FALSE(tcp(d)->Connected);
    EXPECT_EQ(plcAt("127.0.0.1").tcp.connectionsAccepted(), 2) << "one per channel that has an address";
    EXPECT_EQ(plc("127.0.0.1", 5).served(plcsim::Service::Connect), 0);
    EXPECT_TRUE(d->Channel->Polling);
    const std::int32_t good = a->Channel->GoodAnswers;
    ASSERT_TRUE(waitUntil([&] { return a->Channel->GoodAnswers > good + 5; })) << "the others keep polling";
}

TEST_F(TcpLoopback, AStationSwitchedToItsTcpStandbyJoinsTheChannelOfItsAddress)
{
    TStation* moving = station(2, "127.0.0.2");
    TStation* there = station(3, "127.0.0.3");
    TStation* elsewhere = station(4, "127.0.0.4");
    plcAt("127.0.0.3").sim.addStation(6).setIdentity("HLX-8W  V1.00");
    plc("127.0.0.3", 6).poke(3, 10, Bytes{0x37, 0x00});
    moving->Standby->ConnectionType = vx::ctTcp;
    moving->Standby->IPAddress = "127.0.0.3";
    moving->Standby->PortNumber = plcAt("127.0.0.3").tcp.port();
    moving->Standby->BusAddress = 6;
    moving->Standby->Timeout = 500;
    TVariable* m = variable(moving, VT_UI2, 10);
    const std::vector<TVariable*> others = {variable(there, VT_UI2, 10), variable(elsewhere, VT_UI2, 10)};
    vx::CommServer->StartCommunication();
    ASSERT_TRUE(waitUntil([&] { return allGood(others) && m->Quality == vx::qGood; }));
    vx::TCOM* before = moving->Channel;

    moving->SetControl(vx::ccEnabled | vx::ccUseStandby);
    EXPECT_EQ(moving->Channel, there->Channel);
    EXPECT_NE(moving->Channel, before);
    ASSERT_TRUE(waitUntil([&] { return m->Value.toI4() == 0x37 && moving->State == vx::ssConnected; }));
    EXPECT_EQ(plc("127.0.0.3", 6).served(plcsim::Service::Connect), 1) << "a Connect first on the new path";
    EXPECT_EQ(plc("127.0.0.3", 3).served(plcsim::Service::Connect), 1) << "the others kept their states";
    EXPECT_EQ(plc("127.0.0.4", 4).served(plcsim::Service::Connect), 1);
    EXPECT_EQ(there->State, vx::ssConnected);
    EXPECT_EQ(elsewhere->State, vx::ssConnected);
    EXPECT_EQ(plcAt("127.0.0.3").tcp.connectionsAccepted(), 1);
}

TEST_F(TcpLoopback, NoEventReachesAFreedChannel)
{
    plcAt("127.0.0.2").tcp.setLatencyMs(3);
    // Freed at many different moments of its work, connection open and timer running,
    // without a stop first: the sanitizer build sees any event that still reaches it.
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE(round);
        TStation* st = station(2, "127.0.0.2");
        TVariable* v = variable(st, VT_UI2, 10, 10);
        vx::CommServer->StartCommunication();
        vx::TSocket* ch = tcp(st);
        ASSERT_TRUE(waitUntil([&] { return ch->GoodAnswers >= 1 + round % 7; }));
        const int before = done[v];
        const bool inFlight = !ch->SentPackets.empty();
        vx::SocketList->Clear();
        EXPECT_EQ(st->Channel, nullptr);
        EXPECT_EQ(done[v], before + (inFlight ? 1 : 0)) << "the request in flight ended with it";
        const plcsim::TcpTransport& t = plcAt("127.0.0.2").tcp;
        ASSERT_TRUE(waitUntil([&] { return t.openConnections() == 0; }));
        vx::CommServer->StopCommunication();
        vx::StationList->Clear();
        done.clear();
    }
}

}  // namespace

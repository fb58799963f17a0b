// The TCP channel on the manual clock: one channel per address text, the connection's life,
// bare telegrams out of a byte stream, requests in flight across stops, restarts and the
// stations' own changes. The PLCs are the simulator behind a scripted TCP client (fake_port.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "comm/vx_socket.h"
#include "fake_port.h"

namespace {

using chantest::Bytes;
using chantest::ChannelTest;
using chantest::destinationOf;
using chantest::FakePort;
using chantest::serviceOf;
using vx::TStation;
using vx::TVariable;
using vx::TWsSocket;

Bytes le16(std::uint16_t v) { return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)}; }

struct Tcp : ChannelTest {
    // A TCP station at the address text, served by the simulator's PLC at the low byte of bus.
    TStation* tcpStation(std::int32_t bus, const std::string& ip = "127.0.0.2", std::int32_t timeout = 200,
                         std::int32_t tcpPort = 502)
    {
        TStation* st = vx::StationList->AddStation();
        st->Name = "PLC" + std::to_string(bus);
        st->Primary->ConnectionType = vx::ctTcp;
        st->Primary->IPAddress = ip;
        st->Primary->PortNumber = tcpPort;
        st->Primary->BusAddress = bus;
        st->Primary->Timeout = timeout;
        if (!sim.station(static_cast<std::uint8_t>(bus & 0xFF)))
            sim.addStation(static_cast<std::uint8_t>(bus & 0xFF)).setIdentity("HLX-7R  V2.31");
        FakePort& line = port(vx::SocketList->AssignStation(st));
        line.responder = [this](const Bytes& f) { return silent.count(destinationOf(f)) ? Bytes() : sim.answer(f); };
        return st;
    }
    static TWsSocket* tcp(TStation* st) { return dynamic_cast<TWsSocket*>(st->Channel); }
    // Writes through the variable as a client would and waits until the request ends.
    bool write(TVariable* v, const std::function<void(com::Variant&)>& set)
    {
        const int before = done[v];
        set(v->Value);
        bool finished = true;
        if (v->WriteValue(finished) != S_OK || finished)
            return false;
        return advanceUntil([&] { return done[v] > before; }, 2000);
    }
    // The PLC falls silent; true once a request of the channel went out unanswered.
    bool silenceUntilARequestWaits(TStation* st)
    {
        silent.insert(st->GetConnParams().BusAddress & 0xFF);
        auto* ch = tcp(st);
        const std::size_t n = port(ch).sent.size();
        return advanceUntil([&] { return port(ch).sent.size() > n && !ch->SentPackets.empty(); }, 2000);
    }
    // The next request of the station leaves unanswered; its answer comes as the segments
    // (delay after the request in ms, bytes) that shape makes of it.
    void shapeNextAnswer(TStation* st, std::function<std::vector<std::pair<int, Bytes>>(const Bytes&)> shape)
    {
        FakePort& line = port(st->Channel);
        line.responder = [this, &line, shape, shaped = false](const Bytes& f) mutable {
            if (shaped)
                return sim.answer(f);
            shaped = true;
            for (auto& [ms, bytes] : shape(sim.answer(f)))
                line.arriveLater(bytes, ms);
            return Bytes();
        };
    }
};

TEST(TcpAddress, OnlyFourDecimalNumbersMakeAnAddress)
{
    struct Case {
        const char* text;
        bool valid;
        vx::TIpAddress ip;
    } cases[] = {
        {"192.168.0.5", true, {192, 168, 0, 5}},
        {"192.168.000.005", true, {192, 168, 0, 5}},
        {"010.0.0.1", true, {10, 0, 0, 1}},  // decimal, never octal
        {" 127.0.0.1\t", true, {127, 0, 0, 1}},
        {"255.255.255.255", true, {255, 255, 255, 255}},
        {"localhost", false, {}},
        {"", false, {}},
        {"1.2.3", false, {}},
        {"1.2.3.4.5", false, {}},
        {"1.2.3.256", false, {}},
        {"1.2.3.0004", false, {}},
        {"1.2..4", false, {}},
        {"1.2.3.-4", false, {}},
        {"+1.2.3.4", false, {}},
        {"1.2.3.4 x", false, {}},
        {"1. 2.3.4", false, {}},
        {"0x7f.0.0.1", false, {}},
    };
    for (const Case& c : cases) {
        const auto ip = vx::ParseTcpAddress(c.text);
        EXPECT_EQ(ip.has_value(), c.valid) << '"' << c.text << '"';
        if (ip && c.valid) {
            EXPECT_EQ(*ip, c.ip) << c.text;
        }
    }
}

TEST_F(Tcp, OneChannelPerAddressTextNamedByItsPlaceInTheList)
{
    TStation* a = tcpStation(2, "127.0.0.1", 200, 502);
    TStation* b = tcpStation(3, "127.0.0.1", 200, 600);
    TStation* c = tcpStation(4, "127.000.000.001");
    ASSERT_EQ(vx::SocketList->size(), 2u);
    EXPECT_EQ(a->Channel, b->Channel);
    EXPECT_NE(c->Channel, a->Channel) << "the text is compared, not the address";
    EXPECT_EQ(a->Channel->Name, "TCPSocket0");
    EXPECT_EQ(c->Channel->Name, "TCPSocket1");
    EXPECT_EQ(a->Channel->ObjectType, vx::otEthChannel);
    EXPECT_EQ(a->Channel->Owner, vx::CommServer);
    EXPECT_EQ(a->Channel->Stations, (std::vector<TStation*>{a, b}));

    // The port number of its first station, kept by the port as decimal text.
    TWsSocket* ch = tcp(a);
    EXPECT_EQ(ch->GetPortNumber(), 502);
    EXPECT_EQ(port(ch).wsPort, "502");
    EXPECT_EQ(ch->GetAddress(), "127.0.0.1");
    EXPECT_EQ(port(ch).inSize, vx::kTcpBufferSize);
    EXPECT_EQ(vx::kTcpBufferSize, 4092u);
    ch->SetPortNumber(61682);
    EXPECT_EQ(port(ch).wsPort, "61682");
    EXPECT_EQ(ch->GetPortNumber(), 61682);
    port(ch).wsPort = "http";
    EXPECT_EQ(ch->GetPortNumber(), 0);
    EXPECT_FALSE(ch->Connected);

    // Clearing frees them all; the numbering starts again.
    vx::SocketList->Clear();
    EXPECT_EQ(vx::SocketList->size(), 0u);
    EXPECT_EQ(a->Channel, nullptr);
    EXPECT_EQ(tcp(tcpStation(5, "127.0.0.9"))->Name, "TCPSocket0");
}

TEST_F(Tcp, StartConnectsOnlyWhileCommunicationRuns)
{
    TStation* st = tcpStation(2);
    TWsSocket* ch = tcp(st);
    ch->Start();
    EXPECT_TRUE(ch->Polling);
    EXPECT_EQ(port(ch).opens, 0) << "nothing would go out: no connection yet";
    ch->Stop();

    start();
    EXPECT_EQ(port(ch).opens, 1);
    EXPECT_FALSE(ch->Connected);
    advance(1);
    EXPECT_TRUE(ch->Connected) << "the port's connect event";
    ch->Start();
    EXPECT_EQ(port(ch).opens, 1) << "started and connected: nothing to do";

    ch->Stop();
    EXPECT_FALSE(ch->Connected);
    EXPECT_FALSE(port(ch).Open());
    EXPECT_FALSE(ch->Polling);
}

TEST_F(Tcp, AnAddressThatIsNoDottedAddressNeverConnectsAndSaysSoWhenAsked)
{
    struct Case {
        bool show;
        std::int32_t language;
        std::vector<std::string> expected;
    } cases[] = {
        {true, 1, {"Unable to open TCPIP socket"}},
        {true, 0, {"Nepodařilo se otevřít TCPIP socket (TCPSocket0)"}},
        {false, 1, {}},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        vx::ShowMessages = c.show;
        vx::Language = c.language;
        TStation* st = tcpStation(2, "localhost");
        variable(st, VT_UI2, 3, 10);
        start();
        EXPECT_EQ(messages, c.expected);
        TWsSocket* ch = tcp(st);
        EXPECT_EQ(port(ch).opens, 0);
        EXPECT_TRUE(ch->Polling) << "the channel goes on polling";
        advance(500);
        EXPECT_EQ(st->State, vx::ssFailed);
        EXPECT_TRUE(port(ch).sent.empty());
        EXPECT_EQ(port(ch).opens, 0);
        EXPECT_EQ(messages.size(), c.expected.size()) << "said once, at the start";
    }
}

TEST_F(Tcp, AStationIsServedWithBareTelegramsOneRequestAtATime)
{
    vx::ComLogging = true;
    vx::NumOfComLines = 1000;
    TStation* st = tcpStation(2);
    TVariable* a = variable(st, VT_UI2, 3, 10);
    TVariable* w = variable(st, VT_I4, 3, 40, 0);
    TVariable* bit = variable(st, VT_BOOL, 3, 50, 0, 3);
    plc(st).poke(3, 10, le16(0x1234));
    plc(st).poke(3, 50, Bytes{0xF0});
    start();
    TWsSocket* ch = tcp(st);
    std::size_t mostInFlight = 0;
    ASSERT_TRUE(advanceUntil([&] {
        mostInFlight = std::max(mostInFlight, ch->SentPackets.size());
        return a->Quality == vx::qGood;
    }));
    const auto& sent = port(ch).sent;
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].atMs, 100) << "the first tick, over the connection the start opened";
    EXPECT_EQ(port(ch).opens, 1);
    EXPECT_EQ(sent[0].frame, (Bytes{0x10, 0x02, 0x7E, 0x69, 0xE9, 0x16})) << "a bare telegram, no envelope";
    EXPECT_EQ(serviceOf(sent[1].frame), chantest::kIdent);
    EXPECT_EQ(serviceOf(sent[2].frame), chantest::kReadN);
    EXPECT_EQ(sent[2].atMs, 102) << "each answer completes at once and the next request follows";
    EXPECT_EQ(a->Value.toI4(), 0x1234);
    EXPECT_DOUBLE_EQ(a->LastUpdate, clock.now());
    EXPECT_EQ(st->Identity, "HLX-7R ");
    EXPECT_EQ(ch->GoodAnswers, 3);
    EXPECT_EQ(mostInFlight, 1u);
    EXPECT_TRUE(ch->SentPackets.empty());
    EXPECT_FALSE(st->BusyInDatagram);
    EXPECT_EQ(ch->LastSentId, vx::TEthPacket::LastId());

    ASSERT_TRUE(write(w, [](com::Variant& v) { v.setI4(-2); }));
    EXPECT_EQ(plc(st).peek(3, 40, 4), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(write(bit, [](com::Variant& v) { v.setBool(true); }));
    EXPECT_EQ(plc(st).peek(3, 50, 1), Bytes{0xF8}) << "one bit set, its neighbours kept";

    // Each unit is logged as it leaves and as its answer is judged, its telegram with it.
    ASSERT_GE(ch->DatagramLog.size(), 2u);
    EXPECT_EQ(ch->DatagramLog[0].substr(0, 2), ">\r");
    EXPECT_NE(ch->DatagramLog[0].find("\rPLC2\r6\r"), std::string::npos) << ch->DatagramLog[0];
    EXPECT_EQ(ch->DatagramLog[1].substr(0, 2), "<\r");
    EXPECT_EQ(ch->ComLog[0].substr(0, 10), ">\rConnect\r");
    EXPECT_EQ(ch->ComLog[1].substr(0, 10), "<\rConnect\r");
}

TEST_F(Tcp, ATelegramCompletesOnlyWhenTheBufferHoldsExactlyOne)
{
    struct Case {
        const char* name;
        std::function<std::vector<std::pair<int, Bytes>>(const Bytes&)> shape;
        int judgedAfterMs;  // the request was sent at 0
        bool good;
    } cases[] = {
        {"in two segments",
         [](const Bytes& a) {
             return std::vector<std::pair<int, Bytes>>{{1, Bytes(a.begin(), a.begin() + 5)},
                                                       {50, Bytes(a.begin() + 5, a.end())}};
         },
         50, true},
        {"one byte at a time, the last 11 ms after the request",
         [](const Bytes& a) {
             std::vector<std::pair<int, Bytes>> out;
             for (std::size_t i = 0; i < a.size(); ++i)
                 out.push_back({static_cast<int>(i + 12 - a.size()), Bytes{a[i]}});
             return out;
         },
         11, true},
        {"a stray byte before it: no telegram, judged at the time-out",
         [](const Bytes& a) {
             Bytes b{0x00};
             b.insert(b.end(), a.begin(), a.end());
             return std::vector<std::pair<int, Bytes>>{{1, b}};
         },
         200, false},
        {"a byte behind it in the same segment: judged at the time-out",
         [](const Bytes& a) {
             Bytes b = a;
             b.push_back(0xE5);
             return std::vector<std::pair<int, Bytes>>{{1, b}};
         },
         200, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        TStation* st = tcpStation(2, "127.0.0.2", 200);
        TVariable* v = variable(st, VT_UI2, 3, 10, 1000);
        plc(st).poke(3, 10, le16(0));
        start();
        ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
        TWsSocket* ch = tcp(st);
        plc(st).poke(3, 10, le16(77));
        shapeNextAnswer(st, c.shape);
        const std::size_t before = port(ch).sent.size();
        ASSERT_TRUE(advanceUntil([&] { return port(ch).sent.size() > before; }, 2000));
        const std::int32_t good = ch->GoodAnswers, bad = ch->BadAnswers;
        advance(c.judgedAfterMs - 1);
        EXPECT_EQ(ch->GoodAnswers + ch->BadAnswers, good + bad) << "not complete yet";
        EXPECT_GT(ch->TcpCount, 0);
        ASSERT_EQ(port(ch).sent.size(), before + 1) << "the request and no other";
        advance(1);
        EXPECT_EQ(ch->GoodAnswers, good + (c.good ? 1 : 0));
        EXPECT_EQ(ch->BadAnswers, bad + (c.good ? 0 : 1));
        EXPECT_EQ(ch->Timeouts, 0);
        EXPECT_EQ(ch->TcpCount, 0);
        EXPECT_EQ(v->Value.toI4() == 77, c.good);
        if (!c.good) {
            ASSERT_TRUE(advanceUntil([&] { return v->Value.toI4() == 77; }, 500)) << "retried and answered";
        }
    }
}

TEST_F(Tcp, BytesThatWouldOverflowTheBufferEmptyIt)
{
    TStation* st = tcpStation(2, "127.0.0.2", 500);
    TVariable* v = variable(st, VT_UI2, 3, 10, 1000);
    start();
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    TWsSocket* ch = tcp(st);
    FakePort& line = port(ch);
    plc(st).poke(3, 10, le16(5));
    Bytes answer;
    line.responder = [&](const Bytes& f) {
        answer = sim.answer(f);
        return Bytes();
    };
    ASSERT_TRUE(advanceUntil([&] { return !answer.empty(); }, 2000));
    line.arrive(Bytes(4000, 0x68));
    EXPECT_EQ(ch->TcpCount, 4000);
    line.arrive(Bytes(92, 0x00));
    EXPECT_EQ(ch->TcpCount, 4092) << "still fits";
    line.arrive(Bytes{0x00});
    EXPECT_EQ(ch->TcpCount, 0) << "would not fit: emptied, the bytes dropped";
    EXPECT_TRUE(line.rx.empty()) << "every byte announced was taken";
    line.arrive(answer);
    EXPECT_EQ(v->Value.toI4(), 5) << "what comes next is a telegram again";
}

TEST_F(Tcp, WithoutAConnectionARequestFailsItsStationAtOnceAndStartsAFreshOne)
{
    vx::ShowMessages = true;
    vx::ComLogging = true;
    TStation* st = tcpStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TWsSocket* ch = tcp(st);
    FakePort& line = port(ch);
    line.refuse = true;
    start();
    advance(100);
    EXPECT_FALSE(ch->Connected);
    EXPECT_EQ(line.opens, 2) << "the start's attempt, and a fresh one for the request";
    EXPECT_TRUE(line.sent.empty()) << "nothing put out";
    EXPECT_EQ(st->State, vx::ssFailed);
    EXPECT_EQ(st->TimeoutCount, 1);
    EXPECT_EQ(ch->Timeouts, 1);
    EXPECT_TRUE(ch->SentPackets.empty());
    EXPECT_TRUE(ch->DatagramLog.empty()) << "not logged as sent";
    for (const std::string& line : ch->ComLog)
        EXPECT_NE(line.substr(0, 2), ">\r") << line;
    EXPECT_TRUE(messages.empty()) << "socket errors are not shown";

    // The PLC listens again: the attempt the failed request started is the one the next uses.
    line.refuse = false;
    advance(1);
    EXPECT_TRUE(ch->Connected);
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 2 * vx::ConnectRate));
    EXPECT_EQ(line.opens, 2);

    // Lost by the PLC: the same again.
    line.dropConnection();
    advance(1);
    EXPECT_FALSE(ch->Connected);
    ASSERT_TRUE(advanceUntil([&] { return st->State == vx::ssFailed; }, 500));
    ASSERT_TRUE(advanceUntil([&] { return st->State == vx::ssConnected; }, 2 * vx::ConnectRate));
}

TEST_F(Tcp, ARequestThePortRefusesToSendFailsItsStationAndIsNotLoggedAsSent)
{
    vx::ComLogging = true;
    TStation* st = tcpStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    TWsSocket* ch = tcp(st);
    port(ch).failPut = true;
    const std::size_t logged = ch->DatagramLog.size();
    const int before = done[v];
    ASSERT_TRUE(advanceUntil([&] { return done[v] > before; }));
    EXPECT_EQ(st->State, vx::ssFailed);
    EXPECT_EQ(v->Quality & 0xC0, 0) << "bad";
    EXPECT_EQ(ch->Timeouts, 1) << "settled as a time-out";
    EXPECT_TRUE(ch->SentPackets.empty());
    EXPECT_FALSE(st->BusyInDatagram);
    EXPECT_EQ(ch->DatagramLog.size(), logged);
    port(ch).failPut = false;
    ASSERT_TRUE(connect(st));
}

TEST_F(Tcp, WithMaxBadComToResetARequestGoesOutWhileTheConnectionIsStillComing)
{
    vx::MaxBadComToReset = 5;
    TStation* st = tcpStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TWsSocket* ch = tcp(st);
    FakePort& line = port(ch);
    line.connectMs = 150;  // longer than the start's wait for the first tick
    start();
    advance(100);
    ASSERT_EQ(line.sent.size(), 1u) << "put out unconnected";
    EXPECT_FALSE(ch->Connected);
    EXPECT_EQ(ch->SentPackets.size(), 1u);
    EXPECT_TRUE(st->BusyInDatagram);
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 500)) << "answered once connected";
    EXPECT_EQ(ch->Timeouts, 0);
}

TEST_F(Tcp, CommDelayHoldsTheNextRequest)
{
    for (std::int32_t delay : {0, 20}) {
        SCOPED_TRACE(delay);
        TearDown();
        SetUp();
        vx::CommDelay = delay;
        TStation* st = tcpStation(2);
        variable(st, VT_UI2, 3, 10);
        start();
        ASSERT_TRUE(connect(st));
        const auto& sent = port(st->Channel).sent;
        ASSERT_GE(sent.size(), 2u);
        // The Connect is answered 1 ms after it left; the Ident follows.
        EXPECT_EQ(sent[1].atMs - sent[0].atMs, 1 + delay);
    }
}

TEST_F(Tcp, StopKeepsTheRequestInFlightForTheNextStart)
{
    TStation* st = tcpStation(2, "127.0.0.2", 300);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TVariable* w = variable(st, VT_UI2, 3, 40, 0);
    start();
    ASSERT_TRUE(connect(st));
    TWsSocket* ch = tcp(st);
    ASSERT_TRUE(silenceUntilARequestWaits(st));
    w->Value.setUI2(3);
    bool finished = true;
    ASSERT_EQ(w->WriteValue(finished), S_OK);
    const int vDone = done[v];

    ch->Stop();
    EXPECT_EQ(ch->SentPackets.size(), 1u) << "kept";
    EXPECT_EQ(done[v], vDone);
    EXPECT_EQ(done[w], 1) << "the queued write went with the queues";
    EXPECT_FALSE(port(ch).Open());
    EXPECT_FALSE(ch->Connected);
    EXPECT_EQ(ch->Timeouts, 0);

    // Restarted with the states kept: the first tick judges it (no answer: a time-out), and
    // the read goes out again on the new connection.
    silent.clear();
    ch->Restart(true);
    const std::size_t before = port(ch).sent.size();
    ASSERT_TRUE(advanceUntil([&] { return ch->Timeouts == 1; }, 300));
    EXPECT_EQ(done[v], vDone) << "put back for another try";
    ASSERT_TRUE(advanceUntil([&] { return done[v] > vDone; }, 500));
    EXPECT_GT(port(ch).sent.size(), before);
    EXPECT_EQ(st->State, vx::ssConnected);
    EXPECT_EQ(v->Quality, vx::qGood);
}

TEST_F(Tcp, ClearingTheListDropsEveryRequestCountingNothingAndRestartingNothing)
{
    vx::MaxBadComToReset = 1;
    TStation* st = tcpStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TVariable* w = variable(st, VT_UI2, 3, 40, 0);
    start();
    ASSERT_TRUE(connect(st));
    ASSERT_TRUE(silenceUntilARequestWaits(st));
    w->Value.setUI2(3);
    bool finished = true;
    ASSERT_EQ(w->WriteValue(finished), S_OK);
    const int vDone = done[v];
    const std::int32_t errors = st->ErrorCount, timeouts = st->TimeoutCount;

    vx::SocketList->Clear();
    EXPECT_EQ(done[v], vDone + 1) << "the read in flight ended once";
    EXPECT_EQ(done[w], 1) << "and so did the queued write";
    EXPECT_EQ(v->ReadPending + w->WritePending, 0);
    EXPECT_FALSE(st->BusyInDatagram);
    EXPECT_EQ(st->ErrorCount, errors) << "nothing counted";
    EXPECT_EQ(st->TimeoutCount, timeouts);
    EXPECT_EQ(st->State, vx::ssConnected);
    EXPECT_EQ(st->Channel, nullptr);
    advance(1000);  // nothing left that could fire
    EXPECT_EQ(done[v], vDone + 1);
}

TEST_F(Tcp, AnExpiryThatAsksForARestartRunsItAfterTheScanAndBeforeTheNextRequest)
{
    vx::MaxBadComToReset = 1;
    TStation* st = tcpStation(2, "127.0.0.2", 200);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(connect(st));
    TWsSocket* ch = tcp(st);
    FakePort& line = port(ch);
    ASSERT_TRUE(silenceUntilARequestWaits(st));
    const int vDone = done[v];
    const int opens = line.opens;
    const std::size_t sent = line.sent.size();
    advance(200);
    EXPECT_EQ(ch->Timeouts, 1);
    EXPECT_EQ(line.opens, opens + 1) << "restarted once, connecting anew";
    EXPECT_EQ(line.sent.size(), sent) << "nothing went out before the restart";
    EXPECT_TRUE(ch->SentPackets.empty());
    EXPECT_EQ(done[v], vDone + 1) << "the retry went with the restart's stop";
    EXPECT_EQ(st->State, vx::ssConnected) << "the states are kept";
    EXPECT_TRUE(ch->Polling);
    silent.clear();
    ASSERT_TRUE(advanceUntil([&] { return done[v] > vDone + 1 && v->Quality == vx::qGood; }, 1000));
    EXPECT_EQ(line.opens, opens + 1);
}

TEST_F(Tcp, AStationLeavingWithARequestInFlightTakesItAlong)
{
    for (const bool freed : {false, true}) {
        SCOPED_TRACE(freed ? "freed" : "switched to its standby");
        TearDown();
        SetUp();
        TStation* a = tcpStation(2, "127.0.0.2", 300);
        TStation* b = tcpStation(3, "127.0.0.2", 300);
        a->Standby->ConnectionType = vx::ctTcp;
        a->Standby->IPAddress = "127.0.0.7";
        a->Standby->PortNumber = 502;
        a->Standby->BusAddress = 2;
        a->Standby->Timeout = 300;
        TVariable* va = variable(a, VT_UI2, 3, 10);
        TVariable* vb = variable(b, VT_UI2, 3, 10);
        start();
        ASSERT_TRUE(connect(a));
        ASSERT_TRUE(connect(b));
        TWsSocket* ch = tcp(a);
        FakePort& line = port(ch);
        line.latencyMs = 100;
        ASSERT_TRUE(advanceUntil([&] {
            return !ch->SentPackets.empty() && ch->SentPackets[0]->FirstStation() == a;
        }));
        const int aDone = done[va];
        if (freed) {
            vx::StationList->Clear();
        } else {
            a->SetControl(vx::ccEnabled | vx::ccUseStandby);
            ASSERT_NE(a->Channel, ch);
        }
        EXPECT_EQ(done[va], aDone + 1) << "its hook ran once";
        ASSERT_EQ(ch->SentPackets.size(), 1u) << "the unit keeps its place";
        EXPECT_EQ(ch->SentPackets[0]->FirstFrame(), nullptr);
        if (!freed) {
            EXPECT_FALSE(a->BusyInDatagram);
            // Its late answer belongs to nothing; the other station goes on.
            const std::int32_t good = ch->GoodAnswers, bad = ch->BadAnswers;
            ASSERT_TRUE(advanceUntil([&] { return done[vb] > 2 && ch->GoodAnswers > good + 1; }, 3000));
            EXPECT_EQ(ch->BadAnswers, bad);
            EXPECT_EQ(b->State, vx::ssConnected);
            EXPECT_EQ(vb->Quality, vx::qGood);
            EXPECT_EQ(done[va], aDone + 1) << "nothing settles it twice";
        } else {
            advance(1000);
        }
    }
}

TEST_F(Tcp, AFrameThatCannotBeBuiltIsNeverPutOut)
{
    vx::MaxPacketLen = 16;  // a clock write needs 17 bytes
    TStation* st = tcpStation(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TVariable* clk = st->AddVariable();
    clk->CanonicalType = VT_DATE;
    clk->SetKind(vx::vkDateTime);
    clk->InitValue();
    start();
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    TWsSocket* ch = tcp(st);
    clk->Value.setDate(46365.25);
    bool finished = true;
    ASSERT_EQ(clk->WriteValue(finished), S_OK);
    const std::int32_t errors = st->ErrorCount;
    advance(150);
    for (const auto& s : port(ch).sent)
        EXPECT_NE(serviceOf(s.frame), chantest::kSetTID);
    EXPECT_EQ(done[clk], 1);
    EXPECT_EQ(st->ErrorCount, errors + 1);
    EXPECT_EQ(ch->Timeouts, 0) << "failed unsent, not timed out";
    EXPECT_EQ(st->State, vx::ssFailed);
    ASSERT_TRUE(connect(st));
}

TEST_F(Tcp, AStationSwitchedOntoAStartedChannelConnectsWhileTheOthersKeepTheirStates)
{
    TStation* x = tcpStation(2, "127.0.0.2");
    TStation* y = tcpStation(3, "127.0.0.3");
    TStation* blocked = tcpStation(4, "127.0.0.3");
    TStation* z = station(5, 1);  // serial, with its standby at y's address
    z->Standby->ConnectionType = vx::ctTcp;
    z->Standby->IPAddress = "127.0.0.3";
    z->Standby->BusAddress = 5;
    z->Standby->Timeout = 200;
    for (TStation* s : {x, y, blocked, z})
        variable(s, VT_UI2, 3, 10);
    blocked->SetControl(0);
    start();
    for (TStation* s : {x, y, z})
        ASSERT_TRUE(connect(s));
    EXPECT_EQ(blocked->State, vx::ssBlocked) << "a start leaves a blocked station blocked";
    TWsSocket* yc = tcp(y);
    const int xConnects = plc(x).served(plcsim::Service::Connect);
    const int yConnects = plc(y).served(plcsim::Service::Connect);
    const std::size_t ySent = port(yc).sent.size();

    z->SetControl(vx::ccEnabled | vx::ccUseStandby);
    EXPECT_EQ(z->Channel, yc);
    EXPECT_EQ(vx::SocketList->size(), 2u);
    EXPECT_EQ(x->State, vx::ssConnected);
    EXPECT_EQ(y->State, vx::ssConnected);
    EXPECT_EQ(blocked->State, vx::ssBlocked);
    // One simulator plays the PLC on both paths: its second Connect came over TCP.
    ASSERT_TRUE(advanceUntil(
        [&] { return z->State == vx::ssConnected && plc(z).served(plcsim::Service::Connect) == 2; }, 2000));
    const auto& sent = port(yc).sent;
    std::vector<int> toZ;
    for (std::size_t i = ySent; i < sent.size(); ++i)
        if (destinationOf(sent[i].frame) == 5)
            toZ.push_back(serviceOf(sent[i].frame));
    ASSERT_FALSE(toZ.empty());
    EXPECT_EQ(toZ[0], chantest::kConnect) << "a Connect first on the new path";
    advance(1000);
    EXPECT_EQ(plc(x).served(plcsim::Service::Connect), xConnects) << "the others were not set back";
    EXPECT_EQ(plc(y).served(plcsim::Service::Connect), yConnects);
    EXPECT_EQ(blocked->State, vx::ssBlocked);
}

}  // namespace

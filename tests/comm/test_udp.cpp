// The UDP channel on the manual clock with a scripted socket: cycles of datagrams, expiry,
// answers that are lost, foreign, short or cut, one station in flight at a time, the delay
// between datagrams, activation failure, and what becomes of telegrams held in datagrams
// when the channel stops or restarts, or a station fails, switches or goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comm/vx_packet.h"
#include "comm/vx_udp.h"
#include "fake_udp.h"

namespace {

using udptest::Bytes;
using udptest::UdpTest;
using vx::TStation;
using vx::TVariable;

Bytes le16(std::uint16_t v) { return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)}; }

// A ReadN of one two-byte value is answered in 9 + 2 bytes; its checksum is the 10th.
constexpr std::size_t kWordAnswer = 11;
constexpr std::size_t kChecksumAt = 9;

bool allReadN(const Bytes& datagram, std::size_t count)
{
    const auto t = udptest::telegramsOf(datagram);
    return t.size() == count &&
           std::all_of(t.begin(), t.end(), [](const Bytes& x) { return udptest::serviceOf(x) == udptest::kReadN; });
}

// The bus addresses a datagram's telegrams go to, in order.
std::vector<int> destinations(const Bytes& datagram)
{
    std::vector<int> out;
    for (const Bytes& t : udptest::telegramsOf(datagram))
        out.push_back(udptest::destinationOf(t));
    return out;
}

TEST_F(UdpTest, StationsAreConnectedIdentifiedAndReadInDatagramsPerAddress)
{
    TStation* a = station(2, "127.0.0.2");
    TStation* b = station(3, "127.0.0.2");
    TStation* c = station(4, "127.0.0.3");
    TVariable* va = variable(a, VT_UI2, 3, 10);
    TVariable* vb = variable(b, VT_I4, 3, 20);
    TVariable* vc = variable(c, VT_UI2, 3, 30);
    plc(a).poke(3, 10, le16(0x1234));
    plc(b).poke(3, 20, Bytes{0xFB, 0xFF, 0xFF, 0xFF});
    plc(c).poke(3, 30, le16(77));
    start();
    EXPECT_EQ(udp->activations, 1);
    EXPECT_EQ(vx::UdpSocket->GetPortNumber(), 61682);
    EXPECT_EQ(udp->Port(), 0xF2F0) << "kept in network byte order";

    ASSERT_TRUE(advanceUntil([&] { return va->Quality == vx::qGood && vb->Quality == vx::qGood && vc->Quality == vx::qGood; }));
    EXPECT_EQ(va->Value.toI4(), 0x1234);
    EXPECT_EQ(vb->Value.toI4(), -5);
    EXPECT_EQ(vc->Value.toI4(), 77);
    EXPECT_DOUBLE_EQ(va->LastUpdate, clock.now()) << "stamped when the answer was taken up";
    EXPECT_EQ(a->Identity, "HLX-7R ");

    // Connect and ReadN go as one datagram per address, both stations of the first address
    // together; an Ident travels alone.
    struct Expected {
        int service;
        std::vector<int> buses;
        std::uint8_t host;
    } expected[] = {
        {udptest::kConnect, {2, 3}, 2}, {udptest::kConnect, {4}, 3}, {udptest::kIdent, {2}, 2},
        {udptest::kIdent, {3}, 2},      {udptest::kIdent, {4}, 3},   {udptest::kReadN, {2, 3}, 2},
        {udptest::kReadN, {4}, 3},
    };
    ASSERT_EQ(udp->sent.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const auto telegrams = udptest::telegramsOf(udp->sent[i].data);
        EXPECT_EQ(destinations(udp->sent[i].data), expected[i].buses);
        for (const Bytes& t : telegrams)
            EXPECT_EQ(udptest::serviceOf(t), expected[i].service);
        EXPECT_EQ(udp->sent[i].ip, (vx::TIpAddress{127, 0, 0, expected[i].host}));
    }
    EXPECT_EQ(vx::UdpSocket->GoodAnswers, 9);
    EXPECT_EQ(vx::UdpSocket->RxCount, 0);
    EXPECT_TRUE(vx::UdpSocket->SentPackets.empty());

    // And round again one period later.
    plc(a).poke(3, 10, le16(0x4321));
    ASSERT_TRUE(advanceUntil([&] { return va->Value.toI4() == 0x4321; }, 300));
}

TEST_F(UdpTest, ALostDatagramExpiresAfterItsFirstStationsTimeoutAndEachTelegramCountsATimeOut)
{
    TStation* a = station(2, "127.0.0.2", 200);
    TStation* b = station(3, "127.0.0.2", 600);
    TStation* c = station(4, "127.0.0.2", 600);
    for (TStation* s : {a, b, c})
        variable(s, VT_UI2, 3, 10, 1000);
    start();
    ASSERT_TRUE(connect({a, b, c}));
    ASSERT_TRUE(advanceUntil([&] { return vx::UdpSocket->GoodAnswers == 9; }));

    filter = [](const Bytes&, Bytes) { return std::optional<Bytes>(); };  // every answer lost
    const std::size_t from = udp->sent.size();
    ASSERT_TRUE(advanceUntil([&] { return udp->sent.size() > from; }, 1500));
    const std::int64_t sentAt = udp->sent.back().atMs;
    ASSERT_TRUE(allReadN(udp->sent.back().data, 3));
    ASSERT_TRUE(advanceUntil([&] { return vx::UdpSocket->Timeouts > 0; }, 1000));
    const std::int64_t expiredAt = clock.monotonicMs();
    EXPECT_GE(expiredAt - sentAt, 200) << "the first station's Timeout";
    EXPECT_LT(expiredAt - sentAt, 300) << "found by the next poll tick";
    EXPECT_EQ(vx::UdpSocket->Timeouts, 3) << "each telegram";
    for (TStation* s : {a, b, c}) {
        EXPECT_EQ(s->TimeoutCount, 1) << s->Name;
        EXPECT_EQ(s->ErrorCount, 1) << s->Name;
        EXPECT_EQ(s->State, vx::ssConnected) << "retried, not yet failed";
        EXPECT_TRUE(s->BusyInDatagram) << "again: the retry went out at once";
    }
    // The three go again at once, in one datagram.
    ASSERT_EQ(udp->sent.size(), from + 2);
    EXPECT_EQ(udp->sent.back().data.size(), udp->sent[from].data.size());
    EXPECT_EQ(destinations(udp->sent.back().data), (std::vector<int>{2, 3, 4}));
}

TEST_F(UdpTest, AnAnswerWithAnUnknownIdIsDroppedAndTheRequestExpires)
{
    TStation* a = station(2);
    TVariable* v = variable(a, VT_UI2, 3, 10, 1000);
    start();
    ASSERT_TRUE(connect({a}));
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    const int good = vx::UdpSocket->GoodAnswers;
    plc(a).poke(3, 10, le16(99));
    filter = [](const Bytes&, Bytes answer) {
        answer[1] ^= 0x80;
        return std::optional<Bytes>(answer);
    };
    ASSERT_TRUE(advanceUntil([&] { return vx::UdpSocket->Timeouts == 1; }, 1500));
    EXPECT_EQ(vx::UdpSocket->GoodAnswers, good);
    EXPECT_EQ(vx::UdpSocket->BadAnswers, 0);
    EXPECT_NE(v->Value.toI4(), 99);
    EXPECT_TRUE(std::any_of(vx::UdpSocket->ComLog.begin(), vx::UdpSocket->ComLog.end(),
                            [](const std::string& line) { return line.find("matches no datagram") != std::string::npos; }));
}

TEST_F(UdpTest, DatagramsUnderTheHeaderAreDroppedOnReceipt)
{
    TStation* a = station(2);
    TVariable* v = variable(a, VT_UI2, 3, 10, 1000);
    start();
    ASSERT_TRUE(connect({a}));
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    std::optional<Bytes> held;
    filter = [&](const Bytes&, Bytes answer) {
        held = std::move(answer);
        return std::optional<Bytes>();
    };
    plc(a).poke(3, 10, le16(4321));
    ASSERT_TRUE(advanceUntil([&] { return held.has_value(); }, 1500));
    const int good = vx::UdpSocket->GoodAnswers;
    for (std::size_t n : {0u, 1u, 5u}) {
        SCOPED_TRACE(n);
        udp->arrive(Bytes(n, 0x12));
        EXPECT_EQ(vx::UdpSocket->RxCount, 0);
        EXPECT_EQ(vx::UdpSocket->SentPackets.size(), 1u) << "still awaits its answer";
    }
    udp->arrive(*held);
    EXPECT_EQ(vx::UdpSocket->GoodAnswers, good + 1);
    EXPECT_EQ(v->Value.toI4(), 4321);
    EXPECT_EQ(vx::UdpSocket->Timeouts + vx::UdpSocket->BadAnswers, 0);
}

TEST_F(UdpTest, ACutAnswerIsJudgedOnTheBytesThatCame)
{
    struct Case {
        const char* name;
        std::size_t keep;  // bytes of the answer datagram that arrive
        int good, bad, timeouts;
    } cases[] = {
        {"second cut, third missing", 6 + kWordAnswer + 5, 1, 1, 1},
        {"only the header", 6, 0, 0, 3},
        {"all but the last byte", 6 + 3 * kWordAnswer - 1, 2, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        TStation* s[] = {station(2), station(3), station(4)};
        TVariable* v[3];
        for (int i = 0; i < 3; ++i) {
            v[i] = variable(s[i], VT_UI2, 3, 10, 1000);
            plc(s[i]).poke(3, 10, le16(static_cast<std::uint16_t>(100 + i)));
        }
        start();
        ASSERT_TRUE(connect({s[0], s[1], s[2]}));
        ASSERT_TRUE(advanceUntil([&] { return vx::UdpSocket->GoodAnswers == 9; }));
        for (int i = 0; i < 3; ++i)
            plc(s[i]).poke(3, 10, le16(static_cast<std::uint16_t>(200 + i)));
        bool cut = false;
        filter = [&](const Bytes& request, Bytes answer) {
            if (!cut && allReadN(request, 3)) {
                cut = true;
                answer.resize(c.keep);  // the length field still counts every byte
            }
            return std::optional<Bytes>(answer);
        };
        ASSERT_TRUE(advanceUntil([&] {
            return vx::UdpSocket->GoodAnswers - 9 + vx::UdpSocket->BadAnswers + vx::UdpSocket->Timeouts == 3;
        }, 1500));
        ASSERT_TRUE(cut);
        EXPECT_EQ(vx::UdpSocket->GoodAnswers - 9, c.good);
        EXPECT_EQ(vx::UdpSocket->BadAnswers, c.bad);
        EXPECT_EQ(vx::UdpSocket->Timeouts, c.timeouts);
        EXPECT_GE(vx::UdpSocket->RxCount, 0);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(v[i]->Value.toI4(), i < c.good ? 200 + i : 100 + i) << i;
        // What failed goes again and is answered in full.
        ASSERT_TRUE(advanceUntil([&] { return v[2]->Value.toI4() == 202 && v[1]->Value.toI4() == 201; }, 500));
    }
}

TEST_F(UdpTest, OnlyTheBadTelegramAmongFiveIsCountedBadAndSentAgain)
{
    for (std::size_t bad : {1u, 4u}) {
        SCOPED_TRACE(bad);
        restart();
        std::vector<TStation*> s;
        std::vector<TVariable*> v;
        for (int bus = 2; bus <= 6; ++bus) {
            s.push_back(station(bus));
            v.push_back(variable(s.back(), VT_UI2, 3, 10, 1000));
        }
        start();
        ASSERT_TRUE(connect(s));
        ASSERT_TRUE(advanceUntil([&] { return vx::UdpSocket->GoodAnswers == 15; }));
        for (std::size_t i = 0; i < 5; ++i)
            plc(s[i]).poke(3, 10, le16(static_cast<std::uint16_t>(500 + i)));
        std::optional<Bytes> request;
        filter = [&](const Bytes& req, Bytes answer) {
            if (!request && allReadN(req, 5)) {
                request = req;
                answer[6 + bad * kWordAnswer + kChecksumAt] ^= 0xFF;
            }
            return std::optional<Bytes>(answer);
        };
        const std::size_t from = udp->sent.size();
        ASSERT_TRUE(advanceUntil([&] { return vx::UdpSocket->BadAnswers > 0; }, 1500));
        EXPECT_EQ(vx::UdpSocket->BadAnswers, 1);
        EXPECT_EQ(vx::UdpSocket->GoodAnswers, 15 + 4);
        for (std::size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(s[i]->ErrorCount, i == bad ? 1 : 0) << i;
            EXPECT_EQ(v[i]->Value.toI4(), i == bad ? 0 : static_cast<int>(500 + i)) << i;
        }
        // Sent again at once, alone, the very same telegram.
        const auto sent = sentSince(from);
        ASSERT_EQ(sent.size(), 2u);
        ASSERT_EQ(udptest::telegramsOf(sent[1].data).size(), 1u);
        EXPECT_EQ(udptest::telegramsOf(sent[1].data)[0], udptest::telegramsOf(*request)[bad]);
        advance(5);
        EXPECT_EQ(v[bad]->Value.toI4(), static_cast<int>(500 + bad));
    }
}

// Stations 2 and 3 at one address with variables read only when asked, their answers 150 ms
// late (Timeout 200), so that a datagram is in flight across poll ticks.
struct UdpInFlight : UdpTest {
    TStation* a = nullptr;
    TStation* b = nullptr;
    TVariable* va = nullptr;
    TVariable* va2 = nullptr;
    TVariable* aw = nullptr;
    TVariable* vb = nullptr;

    // Station 2 held here rather than in the station list, so that a test can free it.
    bool ownA = false;
    std::unique_ptr<TStation> own;

    void SetUp() override
    {
        UdpTest::SetUp();
        if (ownA) {
            own = std::make_unique<TStation>(vx::CommServer);
            a = own.get();
            setUp(a, 2, "127.0.0.2", 200);
            vx::UdpSocket->AddStation(a);
        } else {
            a = station(2);
        }
        b = station(3);
        va = variable(a, VT_UI2, 3, 10, 0);
        va2 = variable(a, VT_UI2, 3, 400, 0);
        aw = variable(a, VT_UI2, 3, 40, 0);
        vb = variable(b, VT_UI2, 3, 10, 0);
        plc(a).poke(3, 10, le16(11));
        plc(a).poke(3, 400, le16(12));
        plc(b).poke(3, 10, le16(21));
    }
    void TearDown() override
    {
        own.reset();
        UdpTest::TearDown();
    }
    void connectBoth()
    {
        start();
        ASSERT_TRUE(connect({a, b}));
        udp->latencyMs = 150;
    }
    static void read(TVariable* v)
    {
        bool finished = true;
        ASSERT_EQ(v->RequestRead(finished), S_OK);
        ASSERT_FALSE(finished);
    }
    static void write(TVariable* v, std::uint16_t value)
    {
        v->Value.setUI2(value);
        bool finished = true;
        ASSERT_EQ(v->WriteValue(finished), S_OK);
        ASSERT_FALSE(finished);
    }
    // Advances until a datagram leaves; false when none did within bound.
    bool nextSent(std::int64_t bound = 200)
    {
        const std::size_t n = udp->sent.size();
        return advanceUntil([&] { return udp->sent.size() > n; }, bound);
    }
};

TEST_F(UdpInFlight, ADatagramWaitsWhileAnyOfItsStationsIsBusy)
{
    connectBoth();
    read(va);
    ASSERT_TRUE(nextSent());
    const std::int64_t firstAt = udp->sent.back().atMs;
    read(vb);
    read(va2);
    ASSERT_TRUE(advanceUntil([] { return vx::UdpSocket->Outgoing.size() == 1; }, 100));
    ASSERT_EQ(vx::UdpSocket->Outgoing[0]->FrameCount(), 2u) << "one datagram to the address, led by the idle station";
    EXPECT_EQ(vx::UdpSocket->Outgoing[0]->FirstStation(), b);

    ASSERT_TRUE(nextSent(200));
    EXPECT_EQ(udp->sent.back().atMs, firstAt + 150) << "it left as the busy station's answer came";
    EXPECT_EQ(destinations(udp->sent.back().data), (std::vector<int>{3, 2}));
    EXPECT_EQ(va->Value.toI4(), 11);
    advance(151);
    EXPECT_EQ(vb->Value.toI4(), 21);
    EXPECT_EQ(va2->Value.toI4(), 12);
}

TEST_F(UdpInFlight, CommDelayHoldsTheNextDatagramBack)
{
    for (int delay : {0, 20}) {
        SCOPED_TRACE(delay);
        restart();
        vx::CommDelay = delay;
        connectBoth();
        read(va);
        ASSERT_TRUE(nextSent());
        const std::int64_t firstAt = udp->sent.back().atMs;
        read(va2);
        advance(100);  // packed by a tick meanwhile; the station is busy
        ASSERT_EQ(vx::UdpSocket->Outgoing.size(), 1u);
        ASSERT_TRUE(nextSent(200));
        EXPECT_EQ(udp->sent.back().atMs, firstAt + 150 + delay);
    }
}

TEST_F(UdpTest, ActivationFailureShowsText380OnlyWhenAskedAndRequestsFailAsSendErrors)
{
    for (bool show : {true, false}) {
        SCOPED_TRACE(show);
        restart();
        vx::ShowMessages = show;
        udp->failActivate = true;
        TStation* a = station(2);
        variable(a, VT_UI2, 3, 10);
        start();
        EXPECT_EQ(messages, show ? std::vector<std::string>{"Cannot activate UDP socket"} : std::vector<std::string>{});
        EXPECT_TRUE(vx::UdpSocket->Polling) << "the channel stays polling";
        advance(150);
        EXPECT_TRUE(udp->sent.empty());
        EXPECT_EQ(a->State, vx::ssFailed);
        EXPECT_EQ(vx::UdpSocket->BadAnswers, 1) << "its Connect, finished as a bad answer";
        EXPECT_TRUE(vx::UdpSocket->SentPackets.empty());
        EXPECT_EQ(messages.size(), show ? 1u : 0u) << "said once, at the start";
    }
}

TEST_F(UdpTest, NoStationsNoSocket)
{
    start();
    EXPECT_TRUE(vx::UdpSocket->Polling);
    EXPECT_FALSE(udp->Active());
}

TEST_F(UdpInFlight, StopAndDestructionSettleEveryTelegramOnceCountNothingAndRestartNothing)
{
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy);
        restart();
        vx::MaxBadComToReset = 1;
        connectBoth();
        read(va);
        ASSERT_TRUE(nextSent());
        read(vb);
        read(va2);
        write(aw, 7);
        advance(100);
        ASSERT_EQ(vx::UdpSocket->SentPackets.size(), 1u);
        ASSERT_EQ(vx::UdpSocket->Outgoing.size(), 2u) << "a write and a read datagram wait";
        const int good = vx::UdpSocket->GoodAnswers;
        const int errors = a->ErrorCount + b->ErrorCount;
        const int activations = udp->activations;
        const std::size_t sent = udp->sent.size();
        done.clear();

        if (destroy) {
            vx::FinalizeComm();
        } else {
            vx::CommServer->StopCommunication();
            EXPECT_FALSE(vx::UdpSocket->Polling);
            EXPECT_FALSE(udp->Active());
            EXPECT_EQ(udp->activations, activations) << "nothing restarted";
            EXPECT_TRUE(vx::UdpSocket->SentPackets.empty());
            EXPECT_TRUE(vx::UdpSocket->Outgoing.empty());
            EXPECT_EQ(vx::UdpSocket->GoodAnswers, good);
            EXPECT_EQ(vx::UdpSocket->BadAnswers + vx::UdpSocket->Timeouts, 0);
            EXPECT_EQ(a->ErrorCount + b->ErrorCount, errors);
            EXPECT_FALSE(a->BusyInDatagram || b->BusyInDatagram);
            for (TVariable* v : {va, va2, vb, aw})
                EXPECT_EQ(v->ReadPending + v->WritePending, 0) << v->Name;
            advance(1000);
            EXPECT_EQ(udp->sent.size(), sent);
        }
        for (TVariable* v : {va, va2, vb, aw})
            EXPECT_EQ(done[v], 1) << "once";
    }
}

TEST_F(UdpTest, ARestartThatAnExpiryAsksForRunsOnceTheScanIsDone)
{
    vx::MaxBadComToReset = 1;
    TStation* a = station(2, "127.0.0.2");
    TStation* b = station(3, "127.0.0.3");
    TVariable* va = variable(a, VT_UI2, 3, 10, 0);
    TVariable* vb = variable(b, VT_UI2, 3, 10, 0);
    start();
    ASSERT_TRUE(connect({a, b}));
    filter = [](const Bytes&, Bytes) { return std::optional<Bytes>(); };
    bool finished = true;
    ASSERT_EQ(va->RequestRead(finished), S_OK);
    ASSERT_EQ(vb->RequestRead(finished), S_OK);
    ASSERT_TRUE(advanceUntil([] { return vx::UdpSocket->SentPackets.size() == 2; }, 200));
    const int activations = udp->activations;
    done.clear();

    ASSERT_TRUE(advanceUntil([] { return vx::UdpSocket->Timeouts > 0; }, 400));
    EXPECT_EQ(vx::UdpSocket->Timeouts, 2) << "both datagrams expired in the same scan, and both counted";
    EXPECT_EQ(a->TimeoutCount + b->TimeoutCount, 2);
    EXPECT_EQ(udp->activations, activations + 1) << "then the channel restarted, once";
    EXPECT_TRUE(vx::UdpSocket->Polling);
    EXPECT_EQ(vx::UdpSocket->FailCount, 0);
    EXPECT_EQ(a->State, vx::ssConnected) << "the stations keep their states across a restart";
    EXPECT_EQ(done[va], 1);
    EXPECT_EQ(done[vb], 1);
    EXPECT_TRUE(vx::UdpSocket->SentPackets.empty());
}

TEST_F(UdpInFlight, AStationThatSwitchesOrIsFreedTakesItsTelegramsOutOfEveryDatagram)
{
    for (bool freed : {false, true}) {
        SCOPED_TRACE(freed ? "freed" : "switched");
        ownA = freed;
        restart();
        a->Standby->ConnectionType = vx::ctLunaro;
        connectBoth();
        read(va);
        read(vb);
        ASSERT_TRUE(nextSent());
        ASSERT_EQ(destinations(udp->sent.back().data), (std::vector<int>{2, 3}));
        write(aw, 5);
        read(va2);
        advance(100);
        ASSERT_EQ(vx::UdpSocket->Outgoing.size(), 2u);
        const std::size_t sent = udp->sent.size();
        const int good = vx::UdpSocket->GoodAnswers;
        done.clear();

        if (freed) {
            own.reset();
            a = nullptr;
        } else {
            a->SetUseBackup(true);
            EXPECT_FALSE(a->BusyInDatagram);
            EXPECT_EQ(va->ReadPending + va2->ReadPending + aw->WritePending, 0);
        }
        EXPECT_TRUE(vx::UdpSocket->Outgoing.empty());
        EXPECT_EQ(vx::UdpSocket->SentPackets.size(), 1u) << "the datagram in flight stays for the other station";
        EXPECT_EQ(vx::UdpSocket->SentPackets[0]->FrameCount(), 1u);
        EXPECT_TRUE(b->BusyInDatagram) << "its answer is still awaited";
        advance(60);
        EXPECT_EQ(vb->Value.toI4(), 21) << "the other station's answer is found behind the skipped bytes";
        EXPECT_EQ(vb->Quality, vx::qGood);
        EXPECT_EQ(vx::UdpSocket->GoodAnswers, good + 1);
        EXPECT_EQ(vx::UdpSocket->BadAnswers + vx::UdpSocket->Timeouts, 0);
        for (TVariable* v : {va, va2, aw})
            EXPECT_EQ(done[v], 1) << "once";
        advance(500);
        for (std::size_t i = sent; i < udp->sent.size(); ++i)
            for (int bus : destinations(udp->sent[i].data))
                EXPECT_EQ(bus, 3) << "nothing more goes to the station that left";
    }
}

TEST_F(UdpInFlight, AFailedStationsTelegramsWaitingInDatagramsAreDroppedWithIt)
{
    vx::MaxBadCommCount = 1;
    connectBoth();
    read(va);
    read(vb);
    ASSERT_TRUE(nextSent());
    write(aw, 5);
    advance(100);
    ASSERT_EQ(vx::UdpSocket->Outgoing.size(), 1u);
    done.clear();
    // Station 2's answer comes bad, before the good one the PLC has on its way.
    const std::uint32_t id = vx::UdpSocket->SentPackets[0]->Id;
    const std::size_t sent = udp->sent.size();
    Bytes answer = plcs["127.0.0.2"]->answerDatagram(udp->sent.back().data);
    answer[6 + kChecksumAt] ^= 0xFF;
    ASSERT_EQ(answer[0] | answer[1] << 8, static_cast<int>(id));
    udp->arrive(answer);

    EXPECT_EQ(a->State, vx::ssFailed);
    EXPECT_EQ(done[aw], 1) << "the waiting write went with the station";
    EXPECT_EQ(aw->WritePending, 0);
    EXPECT_EQ(vb->Value.toI4(), 21);
    EXPECT_TRUE(vx::UdpSocket->Outgoing.empty());
    advance(500);
    for (std::size_t i = sent; i < udp->sent.size(); ++i)
        for (const Bytes& t : udptest::telegramsOf(udp->sent[i].data))
            EXPECT_NE(udptest::serviceOf(t), udptest::kWriteN) << "the write never goes out";
}

TEST_F(UdpTest, RequestsThatCannotGoFailTheirStationAndSendNothing)
{
    // A host name: UDP takes dotted addresses only.
    TStation* named = station(2, "plc.example.com");
    TStation* other = station(3);
    variable(named, VT_UI2, 3, 10);
    variable(other, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(connect({other}));
    EXPECT_EQ(named->State, vx::ssFailed);
    EXPECT_GE(named->ErrorCount, 1);
    for (const auto& s : udp->sent)
        EXPECT_EQ(destinations(s.data), std::vector<int>{3});

    // A telegram whose frame cannot be built (a read that carries nothing).
    const std::size_t from = udp->sent.size();
    const int errors = other->ErrorCount;
    vx::UdpSocket->ReadQueue.AddPacket(std::make_unique<vx::TPacket>(vx::pkReadN, other), false);
    ASSERT_TRUE(advanceUntil([&] { return other->State == vx::ssFailed; }, 200));
    EXPECT_EQ(other->ErrorCount, errors + 1);
    for (std::size_t i = from; i < udp->sent.size(); ++i)
        for (const Bytes& t : udptest::telegramsOf(udp->sent[i].data))
            EXPECT_NE(udptest::serviceOf(t), udptest::kReadN) << "no empty read goes out";
}

TEST_F(UdpInFlight, ADatagramThatCannotBeSentFailsItsStationsAndIsSettledOnce)
{
    connectBoth();
    udp->failSend = true;
    done.clear();
    read(va);
    read(vb);
    advance(100);
    EXPECT_EQ(a->State, vx::ssFailed);
    EXPECT_EQ(b->State, vx::ssFailed);
    EXPECT_EQ(vx::UdpSocket->BadAnswers, 2) << "its telegrams finished as bad answers";
    EXPECT_EQ(done[va], 1);
    EXPECT_EQ(done[vb], 1);
    EXPECT_TRUE(vx::UdpSocket->SentPackets.empty());
    EXPECT_TRUE(vx::UdpSocket->Outgoing.empty());
    EXPECT_FALSE(a->BusyInDatagram || b->BusyInDatagram);
}

TEST_F(UdpInFlight, StartLeavesABlockedStationBlockedAndSendsTheOthersConnectAgain)
{
    connectBoth();
    a->SetControl(0);
    ASSERT_EQ(a->State, vx::ssBlocked);
    vx::UdpSocket->Start();  // as a station switching to UDP starts it
    EXPECT_EQ(a->State, vx::ssBlocked);
    EXPECT_NE(b->State, vx::ssConnected) << "sends its Connect first";
    udp->latencyMs = 1;
    ASSERT_TRUE(connect({b}));
    EXPECT_EQ(a->State, vx::ssBlocked);
}

}  // namespace

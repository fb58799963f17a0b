// The serial channel on the manual clock: scheduling, polling, retries and station failure,
// restarts, the start failure, and the faults it must not have. The PLCs are the simulator
// behind a scripted line (fake_port.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "comm/vx_lunaro.h"
#include "comm/vx_modem.h"
#include "comm/vx_socket.h"
#include "fake_port.h"

namespace {

using chantest::Bytes;
using chantest::ChannelTest;
using chantest::destinationOf;
using chantest::FakePort;
using chantest::serviceOf;
using vx::TCOM;
using vx::TPacket;
using vx::TStation;
using vx::TVariable;

Bytes le16(std::uint16_t v) { return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)}; }

// The frames of a line that went to one bus address.
std::vector<FakePort::Sent> framesTo(const std::vector<FakePort::Sent>& sent, int bus)
{
    std::vector<FakePort::Sent> out;
    for (const auto& s : sent)
        if (destinationOf(s.frame) == bus)
            out.push_back(s);
    return out;
}

TEST_F(ChannelTest, AStationIsConnectedIdentifiedAndReadInCycles)
{
    TStation* st = station(2);
    TVariable* a = variable(st, VT_UI2, 3, 10);
    TVariable* b = variable(st, VT_I4, 3, 12);
    plc(st).poke(3, 10, le16(0x1234));
    plc(st).poke(3, 12, Bytes{0xFB, 0xFF, 0xFF, 0xFF});
    start();
    TCOM* ch = st->Channel;

    ASSERT_TRUE(advanceUntil([&] { return a->Quality == vx::qGood; }, 1000));
    const auto& sent = port(ch).sent;
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(serviceOf(sent[0].frame), chantest::kConnect);
    EXPECT_EQ(sent[0].atMs, 100) << "the first poll tick after the start";
    EXPECT_EQ(serviceOf(sent[1].frame), chantest::kIdent);
    EXPECT_EQ(serviceOf(sent[2].frame), chantest::kReadN);
    EXPECT_EQ(sent[2].frame, (Bytes{0x68, 0x08, 0x08, 0x68, 0x02, 0x7E, 0x6C, 0x0B, 0x03, 0x0A, 0x00, 0x06, 0x0A, 0x16}))
        << "one item for both neighbours";
    EXPECT_EQ(st->State, vx::ssConnected);
    EXPECT_EQ(st->Identity, "HLX-7R ");
    EXPECT_EQ(st->CpuClass, 5);
    EXPECT_EQ(a->Value.toI4(), 0x1234);
    EXPECT_EQ(b->Value.toI4(), -5);
    EXPECT_EQ(b->Quality, vx::qGood);
    EXPECT_DOUBLE_EQ(a->LastUpdate, clock.now()) << "stamped when the answer was taken up";
    EXPECT_EQ(ch->GoodAnswers, 3);
    EXPECT_EQ(st->GoodCount, 3);

    // The next cycle comes one UpdatePeriod (plus at most one idle tick) later.
    const std::int64_t answered = clock.monotonicMs();
    plc(st).poke(3, 10, le16(0x4321));
    ASSERT_TRUE(advanceUntil([&] { return a->Value.toI4() == 0x4321; }, 1000));
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(serviceOf(sent[3].frame), chantest::kReadN);
    EXPECT_GE(sent[3].atMs - answered, 100);
    EXPECT_LE(sent[3].atMs - answered, 200);
}

TEST_F(ChannelTest, AReadNeverAnsweredIsSentMaxBadCommCountTimesThenTheStationFails)
{
    TStation* a = station(2);
    TStation* b = station(3);
    TVariable* a1 = variable(a, VT_UI2, 3, 10, 1000);
    TVariable* a2 = variable(a, VT_UI2, 3, 500, 0);  // read only on request
    TVariable* b1 = variable(b, VT_UI2, 3, 10, 1000);
    start();
    TCOM* ch = a->Channel;
    ASSERT_EQ(b->Channel, ch);
    ASSERT_TRUE(advanceUntil([&] { return a1->Quality == vx::qGood && b1->Quality == vx::qGood; }));

    silent.insert(2);
    const std::size_t from = port(ch).sent.size();
    ASSERT_TRUE(advanceUntil([&] { return ch->CurrentPacket && ch->CurrentPacket->Station == a; }));
    const std::int64_t first = clock.monotonicMs();
    bool requestDone = true;
    ASSERT_EQ(a2->RequestRead(requestDone), S_OK);  // another packet of the station waits
    ASSERT_FALSE(requestDone);
    const int a1Done = done[a1];

    advance(599);
    EXPECT_EQ(done[a1], a1Done) << "a packet being retried keeps its requests waiting";
    EXPECT_EQ(a->State, vx::ssConnected);
    advance(1);

    const auto sent = sentSince(ch, from);
    ASSERT_GE(sent.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(destinationOf(sent[i].frame), 2) << i;
        EXPECT_EQ(sent[i].frame, sent[0].frame) << "the same request again, at the front of the queue";
        EXPECT_EQ(sent[i].atMs, first + 200 * i) << "one time-out apart";
    }
    EXPECT_EQ(destinationOf(sent[3].frame), 3) << "the next station's packets follow at once";
    EXPECT_EQ(sent[3].atMs, first + 600);

    EXPECT_EQ(a->State, vx::ssConnectSent) << "failed, and a new Connect is queued at once (ConnectRate passed)";
    EXPECT_EQ(a->TimeoutCount, 3);
    EXPECT_EQ(a->ErrorCount, 3);
    EXPECT_EQ(ch->Timeouts, 3);
    EXPECT_EQ(a1->Quality, vx::qLastKnown) << "bad; the last value was good";
    EXPECT_EQ(done[a1], a1Done + 1);
    EXPECT_EQ(done[a2], 1) << "the station's waiting read was dropped with its hook";
    EXPECT_EQ(a2->ReadPending, 0);
    EXPECT_EQ(a2->Quality, vx::qCommFailure);
    EXPECT_EQ(b->State, vx::ssConnected);
}

TEST_F(ChannelTest, AConnectWithoutAnswerIsNotRetriedAndTheNextComesConnectRateLater)
{
    silent.insert(2);
    TStation* st = station(2);
    variable(st, VT_UI2, 3, 10);
    start();
    TCOM* ch = st->Channel;
    advance(350);
    ASSERT_EQ(port(ch).sent.size(), 1u);
    EXPECT_EQ(port(ch).sent[0].atMs, 100);
    EXPECT_EQ(st->State, vx::ssFailed);
    EXPECT_EQ(st->TimeoutCount, 1);
    EXPECT_EQ(ch->Timeouts, 1);

    advance(1000);
    const auto& sent = port(ch).sent;
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(serviceOf(sent[1].frame), chantest::kConnect);
    // ConnectRate counts from when the last Connect was queued, at the start (0 ms).
    EXPECT_GE(sent[1].atMs, 1000);
    EXPECT_LE(sent[1].atMs, 1100);
}

TEST_F(ChannelTest, CommDelayHoldsTheNextRequest)
{
    for (const int delay : {0, 20}) {
        SCOPED_TRACE(delay);
        TearDown();
        SetUp();
        vx::CommDelay = delay;
        TStation* st = station(2);
        variable(st, VT_UI2, 3, 10);
        const std::int64_t t0 = clock.monotonicMs();
        start();
        ASSERT_TRUE(connect(st));
        const auto& sent = port(st->Channel).sent;
        ASSERT_GE(sent.size(), 2u);
        EXPECT_EQ(sent[0].atMs, t0 + 100);
        // The Connect answer arrives 1 ms later.
        EXPECT_EQ(sent[1].atMs, t0 + 101 + delay);
    }
}

TEST_F(ChannelTest, BadAnswersAreCountedLoggedAndRetriedWithoutTouchingValues)
{
    struct Case {
        const char* name;
        plcsim::Fault fault;
        bool bad;
    } cases[] = {
        {"bad checksum", plcsim::Fault::BadChecksum, true},
        {"wrong address", plcsim::Fault::WrongAddress, true},
        {"wrong length", plcsim::Fault::WrongLength, true},
        {"stale time stamp", plcsim::Fault::StaleTimeStamp, true},
        {"noise before the telegram", plcsim::Fault::Noise, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        vx::CheckTimestamp = true;
        vx::ComLogging = true;
        vx::NumOfComLines = 100;
        TStation* st = station(2);
        TVariable* v = variable(st, VT_UI2, 3, 10, 1000);
        plc(st).poke(3, 10, le16(0x0102));
        start();
        TCOM* ch = st->Channel;
        ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));

        plc(st).poke(3, 10, le16(0x0304));
        sim.addFault(c.fault);
        const std::int32_t good = ch->GoodAnswers;
        const std::int32_t errors = st->ErrorCount;
        const std::size_t from = port(ch).sent.size();
        ASSERT_TRUE(advanceUntil([&] { return ch->GoodAnswers > good || ch->BadAnswers > 0; }, 2000));
        if (!c.bad) {
            EXPECT_EQ(ch->BadAnswers, 0);
            EXPECT_EQ(v->Value.toI4(), 0x0304);
            continue;
        }
        EXPECT_EQ(ch->BadAnswers, 1);
        EXPECT_EQ(st->ErrorCount, errors + 1);
        EXPECT_EQ(v->Value.toI4(), 0x0102) << "a bad answer changes no value";
        EXPECT_EQ(v->Quality, vx::qGood);
        const auto sent = sentSince(ch, from);
        ASSERT_EQ(sent.size(), 2u) << "retried at once";
        EXPECT_EQ(sent[1].frame, sent[0].frame);
        ASSERT_GE(ch->ComLog.size(), 3u);
        const std::size_t n = ch->ComLog.size();
        EXPECT_EQ(ch->ComLog[n - 3].rfind("<\rReadN\rPLC2\r", 0), 0u) << "the answer as checked";
        EXPECT_EQ(ch->ComLog[n - 2].rfind("<\rReadN\rPLC2\r", 0), 0u) << "and once more as failed";
        EXPECT_EQ(ch->ComLog[n - 1].rfind(">\rReadN\rPLC2\r", 0), 0u) << "the retry";

        advance(5);
        EXPECT_EQ(v->Value.toI4(), 0x0304);
        EXPECT_EQ(ch->GoodAnswers, good + 1);
        EXPECT_EQ(st->State, vx::ssConnected);
    }
}

TEST_F(ChannelTest, TheCommunicationLogKeepsNumOfComLinesLines)
{
    vx::ComLogging = true;
    vx::NumOfComLines = 4;
    TStation* st = station(2);
    variable(st, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(connect(st));
    advance(500);
    TCOM* ch = st->Channel;
    EXPECT_EQ(ch->ComLog.size(), 4u);
    vx::NumOfComLines = 0;
    ch->LogNote("x");
    ASSERT_EQ(ch->ComLog.size(), 1u) << "0 keeps only the newest line";
    EXPECT_EQ(ch->ComLog.back(), "x");
}

TEST_F(ChannelTest, ARestartAfterMaxBadComToResetFailuresKeepsTheStationsStates)
{
    vx::MaxBadComToReset = 2;
    vx::MaxBadCommCount = 5;
    TStation* a = station(2);
    TStation* b = station(3);
    TVariable* a1 = variable(a, VT_UI2, 3, 10);
    TVariable* b1 = variable(b, VT_UI2, 3, 10, 100000);
    start();
    TCOM* ch = a->Channel;
    ASSERT_TRUE(advanceUntil([&] { return a1->Quality == vx::qGood && b1->Quality == vx::qGood; }));

    silent.insert(2);
    const int releases = port(ch).releases;
    const std::size_t from = port(ch).sent.size();
    const int a1Done = done[a1];
    ASSERT_TRUE(advanceUntil([&] { return ch->Timeouts == 2; }));

    EXPECT_EQ(port(ch).releases, releases + 1) << "stopped: the port was closed and released";
    EXPECT_TRUE(ch->Polling) << "and started again";
    EXPECT_EQ(ch->FailCount, 0);
    EXPECT_FALSE(ch->Restarting);
    EXPECT_EQ(a->State, vx::ssConnected) << "states kept across the restart";
    EXPECT_EQ(b->State, vx::ssConnected);
    EXPECT_EQ(done[a1], a1Done + 1) << "the retried packet was freed once, by the restart";
    advance(300);
    for (const auto& s : sentSince(ch, from))
        EXPECT_NE(serviceOf(s.frame), chantest::kConnect) << "no station was reset to reconnect";
}

TEST_F(ChannelTest, ARestartInsideFinishPacketFreesThePacketOnce)
{
    struct Case {
        const char* name;
        std::int32_t maxBadCommCount;
    } cases[] = {
        {"the packet was put back for a retry", 5},
        {"the station failed", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        vx::MaxBadComToReset = 1;
        vx::MaxBadCommCount = c.maxBadCommCount;
        TStation* st = station(2);
        TVariable* v = variable(st, VT_UI2, 3, 10);
        start();
        TCOM* ch = st->Channel;
        ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
        silent.insert(2);
        ASSERT_TRUE(advanceUntil([&] { return ch->CurrentPacket != nullptr; }));
        const int before = done[v];
        ASSERT_TRUE(advanceUntil([&] { return ch->Timeouts == 1; }));
        EXPECT_EQ(done[v], before + 1);
        EXPECT_TRUE(ch->Polling);
        advance(1000);  // goes on working (under the sanitizer: on nothing freed)
        EXPECT_GE(ch->Timeouts, 2);
    }
}

TEST_F(ChannelTest, AFrameThatCannotBeBuiltNeverGoesOnTheLine)
{
    // A clock write needs a 17-byte frame.
    {
        vx::MaxPacketLen = 16;
        TStation* st = station(2);
        TVariable* v = variable(st, VT_UI2, 3, 10);
        TVariable* clk = st->AddVariable();
        clk->CanonicalType = VT_DATE;
        clk->SetKind(vx::vkDateTime);
        clk->InitValue();
        start();
        TCOM* ch = st->Channel;
        ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
        clk->Value.setDate(46365.25);
        bool finished = true;
        ASSERT_EQ(clk->WriteValue(finished), S_OK);
        ASSERT_FALSE(finished);
        const std::int32_t errors = st->ErrorCount;
        advance(150);
        for (const auto& s : port(ch).sent)
            EXPECT_NE(serviceOf(s.frame), chantest::kSetTID);
        EXPECT_EQ(done[clk], 1) << "finished: the write does not wait for ever";
        EXPECT_EQ(clk->WritePending, 0);
        EXPECT_EQ(st->ErrorCount, errors + 1);
        EXPECT_EQ(st->State, vx::ssFailed);
        ASSERT_TRUE(connect(st));
    }
    // Not even a Connect fits.
    TearDown();
    SetUp();
    vx::MaxPacketLen = 5;
    TStation* st = station(2);
    variable(st, VT_UI2, 3, 10);
    start();
    advance(2500);
    EXPECT_TRUE(port(st->Channel).sent.empty());
    EXPECT_EQ(st->State, vx::ssFailed);
    EXPECT_EQ(st->ErrorCount, 3) << "one attempt per ConnectRate";
}

TEST_F(ChannelTest, AStationAboveBusAddress255IsAnsweredToItsLowByte)
{
    TStation* st = station(258);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    plc(st).poke(3, 10, le16(77));
    start();
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }));
    EXPECT_EQ(v->Value.toI4(), 77);
    EXPECT_EQ(st->Channel->BadAnswers, 0);
    for (const auto& s : port(st->Channel).sent)
        EXPECT_EQ(destinationOf(s.frame), 2);
}

TEST_F(ChannelTest, ForcedVariablesThatCannotBeSimulatedStarveNothing)
{
    TStation* st = station(2);
    TVariable* text = variable(st, VT_BSTR, 3, 100);
    text->StringLength = 8;
    text->SimFunction = 1;
    text->SimPeriod = 10;
    text->SetForced(true);
    TVariable* array = variable(st, VT_ARRAY | VT_I4, 3, 200);
    array->ArrayCount = 3;
    array->InitValue();
    array->SimFunction = 2;
    array->SimPeriod = 10;
    array->SetForced(true);
    TVariable* plain = variable(st, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(advanceUntil([&] { return plain->Quality == vx::qGood; }));
    const double first = plain->LastUpdate;
    ASSERT_TRUE(advanceUntil([&] { return plain->LastUpdate > first; }, 500)) << "read again on its next cycle";
    EXPECT_EQ(text->Quality, vx::qLocalOverride);
}

TEST_F(ChannelTest, AStationSwitchingToStandbyTakesItsPacketsAlong)
{
    TStation* st = station(2);
    st->Standby->ConnectionType = vx::ctSerial;
    st->Standby->PortNumber = 2;
    st->Standby->BaudRate = 19200;
    st->Standby->Parity = 2;
    st->Standby->BusAddress = 5;
    st->Standby->Timeout = 200;
    sim.addStation(5).setIdentity("HLX-8W  V1.00");
    plc(st).poke(3, 10, le16(11));
    sim.station(5)->poke(3, 10, le16(55));
    TVariable* r = variable(st, VT_UI2, 3, 10);
    TVariable* w = variable(st, VT_UI2, 3, 40, 0);
    start();
    TCOM* old = st->Channel;
    ASSERT_TRUE(advanceUntil([&] { return r->Quality == vx::qGood; }));

    // A read in flight (its answer slow) and a client write waiting on the old line.
    port(old).latencyMs = 50;
    ASSERT_TRUE(advanceUntil([&] { return old->CurrentPacket && old->CurrentPacket->Station == st; }));
    w->Value.setUI2(9);
    bool finished = true;
    ASSERT_EQ(w->WriteValue(finished), S_OK);
    ASSERT_EQ(old->WriteQueue.size(), 1u);
    const int rDone = done[r];
    const std::size_t oldSent = port(old).sent.size();

    st->SetControl(vx::ccEnabled | vx::ccUseStandby);
    ASSERT_TRUE(st->UseBackup);
    ASSERT_NE(st->Channel, old);
    TCOM* standby = st->Channel;
    port(standby).responder = [this](const Bytes& f) { return sim.answer(f); };
    EXPECT_EQ(old->CurrentPacket, nullptr);
    EXPECT_TRUE(old->WriteQueue.empty());
    EXPECT_TRUE(old->ReadQueue.empty());
    EXPECT_EQ(done[w], 1) << "the waiting write ended with its hook";
    EXPECT_EQ(w->WritePending, 0);
    EXPECT_EQ(done[r], rDone + 1) << "and so did the read in flight";

    ASSERT_TRUE(advanceUntil([&] { return r->Value.toI4() == 55; }, 3000));
    EXPECT_EQ(port(old).sent.size(), oldSent) << "nothing more goes out on the old line";
    EXPECT_EQ(old->GoodAnswers + old->BadAnswers, 3 + 0) << "the late answer on the old line belongs to nothing";
    const auto& sent = port(standby).sent;
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(serviceOf(sent[0].frame), chantest::kConnect);
    for (const auto& s : sent)
        EXPECT_EQ(destinationOf(s.frame), 5);
}

// A channel without a serial line (the development environment, whose service does not exist
// here): what is queued on it must never go out on a serial line, and must still end.
TEST_F(ChannelTest, AChannelWithoutATransportPutsNothingOnASerialLine)
{
    TCOM* target = vx::LunaroChannel;
    TStation* st = station(2);
    TVariable* r = variable(st, VT_UI2, 3, 10);
    TVariable* w = variable(st, VT_UI2, 3, 40, 0);
    st->Channel->RemoveStation(st);
    target->AddStation(st);
    start();
    target->Start();
    advance(50);
    bool finished = true;
    EXPECT_EQ(r->RequestRead(finished), S_OK);
    EXPECT_EQ(w->WriteValue(finished), S_OK);
    advance(3000);
    EXPECT_EQ(target->Port, nullptr) << "it owns no serial port";
    EXPECT_EQ(target->CurrentPacket, nullptr);
    EXPECT_TRUE(target->ReadQueue.empty());
    EXPECT_TRUE(target->WriteQueue.empty());
    EXPECT_EQ(r->ReadPending + w->WritePending, 0);
    EXPECT_GE(done[r], 1);
    EXPECT_EQ(done[w], 1);
    EXPECT_EQ(st->State, vx::ssFailed);
    EXPECT_GT(st->ErrorCount, 0);
}

TEST_F(ChannelTest, StartLeavesABlockedStationBlocked)
{
    TStation* blocked = station(2);
    TStation* other = station(3);
    variable(blocked, VT_UI2, 3, 10);
    variable(other, VT_UI2, 3, 10);
    blocked->SetControl(0);
    ASSERT_EQ(blocked->State, vx::ssBlocked);
    start();
    ASSERT_TRUE(connect(other));
    advance(2000);
    EXPECT_EQ(blocked->State, vx::ssBlocked);
    EXPECT_TRUE(framesTo(port(blocked->Channel).sent, 2).empty());

    // A blocked modem station is not called either.
    vx::TModem* modem = vx::ModemList->AddModem();
    TStation* dialled = vx::StationList->AddStation();
    dialled->Primary->ConnectionType = vx::ctModem;
    dialled->Primary->PhoneNumber = "555 0100";
    modem->AddStation(dialled);
    dialled->State = vx::ssBlocked;
    modem->Start();
    EXPECT_EQ(dialled->State, vx::ssBlocked);
    EXPECT_TRUE(modem->Queue.empty()) << "no call requested";
    EXPECT_EQ(dialled->CallResult, -1);
    modem->Stop();
}

TEST_F(ChannelTest, WhileCommunicationIsStoppedNothingMoves)
{
    TStation* st = station(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TVariable* ramp = variable(st, VT_R8, 3, 20);
    ramp->SimFunction = 2;
    ramp->SimHigh = 1000;
    ramp->SimPeriod = 10;
    ramp->SetForced(true);
    TCOM* ch = st->Channel;
    ch->Start();  // polling, but communication is not running
    ASSERT_TRUE(ch->Polling);
    const auto simulated = ramp->Value.toR8();
    advance(1000);
    EXPECT_TRUE(port(ch).sent.empty());
    EXPECT_EQ(ch->State, vx::chIdle) << "the tick did not even look";
    EXPECT_EQ(ramp->Value.toR8(), simulated) << "nor simulate";
    EXPECT_FALSE(ch->SendWrite());

    port(ch).arrive(plcsim::shortFrame(126, 2, 0x08));
    EXPECT_TRUE(port(ch).rx.empty()) << "dropped, not left for a later request";
    EXPECT_EQ(ch->RxCount, 0);

    // A packet handed over while stopped is freed, not lost: its hooks run.
    auto p = std::make_unique<TPacket>(vx::pkReadN, st);
    ASSERT_TRUE(p->AddVariable(v));
    ch->SendPacket(std::move(p));
    EXPECT_TRUE(port(ch).sent.empty());
    EXPECT_EQ(ch->CurrentPacket, nullptr);
    EXPECT_EQ(done[v], 1);
    EXPECT_EQ(v->ReadPending, 0);

    // Communication stops while an answer is on its way (Running goes before the channels
    // stop): the answer is not taken up.
    port(ch).responder = nullptr;
    start();
    ASSERT_TRUE(advanceUntil([&] { return ch->CurrentPacket != nullptr; }));
    vx::CommServer->Running = false;
    port(ch).arrive(plcsim::shortFrame(126, 2, 0x08));
    EXPECT_EQ(ch->GoodAnswers, 0);
    EXPECT_EQ(ch->RxCount, 0);
    EXPECT_EQ(st->State, vx::ssConnectSent);
    EXPECT_TRUE(port(ch).rx.empty());
}

TEST_F(ChannelTest, APortIsOpenedOnlyWhenSomethingIsQueued)
{
    TStation* st = station(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    v->SetActive(false);  // the station is not enabled: nothing to ask it
    start();
    advance(1000);
    EXPECT_EQ(port(st->Channel).opens, 0);
    EXPECT_TRUE(port(st->Channel).sent.empty());
}

TEST_F(ChannelTest, APortThatCannotBeOpenedStopsItsChannelAndSaysSoWhenAsked)
{
    struct Case {
        std::int32_t language;
        bool show;
        std::vector<std::string> expected;
    } cases[] = {
        {1, true, {"Port COM4 was not found, or port is busy!"}},
        {0, true, {"Po\xC5\xBE" "adovan\xC3\xBD port COM4 nebyl nalezen, nebo je vyu\xC5\xBE\xC3\xADv\xC3\xA1n jinou aplikac\xC3\xAD!"}},
        {1, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.language) + (c.show ? " shown" : " not shown"));
        TearDown();
        SetUp();
        vx::Language = c.language;
        vx::ShowMessages = c.show;
        TStation* st = station(2, 4);
        variable(st, VT_UI2, 3, 10);
        TCOM* ch = st->Channel;
        port(ch).failOpen = true;
        start();
        EXPECT_EQ(messages, c.expected);
        EXPECT_FALSE(ch->Polling);
        EXPECT_TRUE(ch->ReadQueue.empty());
        advance(1000);
        EXPECT_TRUE(port(ch).sent.empty());
        EXPECT_EQ(messages.size(), c.expected.size()) << "said once";
    }
}

TEST_F(ChannelTest, TheListKeepsOneChannelPerComPort)
{
    EXPECT_FALSE(vx::ComList->StartAll()) << "empty";
    TStation* a = station(2, 3);
    a->Primary->BaudRate = 9600;
    TStation* b = station(3, 3);
    TStation* c = station(4, 5);
    ASSERT_EQ(a->Channel, b->Channel);
    ASSERT_NE(a->Channel, c->Channel);
    EXPECT_EQ(a->Channel->Name, "COM3");
    EXPECT_EQ(vx::ComList->FindByPort(5), c->Channel);
    EXPECT_EQ(vx::ComList->FindByPort(6), nullptr);
    EXPECT_EQ(vx::ComList->size(), 2u);


    // A new channel takes the line settings of the station it is made for.
    TStation* d = vx::StationList->AddStation();
    d->Primary->PortNumber = 7;
    d->Primary->BaudRate = 4800;
    d->Primary->Parity = 0;
    TCOM* seven = vx::ComList->GetChannelForStation(d);
    EXPECT_EQ(port(seven).Baud(), 4800);
    EXPECT_EQ(port(seven).Parity(), 0);
    EXPECT_EQ(port(seven).StopBits(), 2) << "two stop bits without parity";

    variable(a, VT_UI2, 3, 10);
    start();
    ASSERT_TRUE(advanceUntil([&] { return a->Channel->CurrentPacket != nullptr; }));
    EXPECT_EQ(port(a->Channel).Baud(), 9600) << "each request goes at its station's rate";
    clock.setNow(clock.now() + 1.0);  // the system time jumps a day
    vx::ComList->RestartTimeouts();
    EXPECT_DOUBLE_EQ(a->Channel->CurrentPacket->SendTime, clock.now());

    EXPECT_TRUE(vx::ComList->StopAll());
    for (const auto& ch : *vx::ComList)
        EXPECT_FALSE(ch->Polling);
    vx::ComList->Clear();
    EXPECT_EQ(vx::ComList->size(), 0u);
    EXPECT_EQ(a->Channel, nullptr);
}

TEST_F(ChannelTest, HandshakeOptionsComeFromTheSettings)
{
    struct Case {
        bool dtr, rts, dsr, cts;
        unsigned bits;
    } cases[] = {
        {false, false, false, false, 0}, {true, false, false, false, 1}, {false, true, false, false, 2},
        {false, false, true, false, 4},  {false, false, false, true, 8}, {true, true, true, true, 15},
    };
    int com = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        vx::UseDTR = c.dtr;
        vx::UseRTS = c.rts;
        vx::RequireDSR = c.dsr;
        vx::RequireCTS = c.cts;
        TStation* st = station(2, com++);
        EXPECT_EQ(port(st->Channel).HWFlowOptions(), c.bits);
        EXPECT_EQ(port(st->Channel).RS485Mode(), c.rts) << "RTS handshake means RS-485 direction control";
    }
}

}  // namespace

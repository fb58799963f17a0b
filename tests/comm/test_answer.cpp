// Answer reception: the telegram assembled from the bytes the port delivers, the four
// checks as byte tables, and what a good answer does to the station and its variables.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fake_port.h"
#include "frame_check.h"

namespace {

using chantest::Bytes;
using chantest::ChannelTest;
using chantest::serviceOf;
using vx::TCOM;
using vx::TPacket;
using vx::TStation;
using vx::TVariable;

// One station at bus address 2 on a started channel; the tests play the PLC themselves.
struct Answers : ChannelTest {
    TStation* st = nullptr;
    TCOM* ch = nullptr;

    void SetUp() override
    {
        ChannelTest::SetUp();
        st = station(2);
        ch = st->Channel;
        port(ch).responder = nullptr;
        start();  // nothing is due: the station has no active variable yet
    }
    // Puts the packet's request on the line; the answer is what the test feeds.
    TPacket* send(std::unique_ptr<TPacket> p)
    {
        TPacket* raw = p.get();
        ch->SendPacket(std::move(p));
        EXPECT_EQ(ch->CurrentPacket, raw);
        EXPECT_EQ(ch->State, vx::chWaiting);
        return raw;
    }
    TPacket* connectInFlight() { return send(std::make_unique<TPacket>(vx::pkConnect, st)); }
    void feed(const std::vector<Bytes>& events)
    {
        for (const Bytes& e : events)
            port(ch).arrive(e);
    }
};

const Bytes kConnectAnswer = {0x10, 0x7E, 0x02, 0x08, 0x88, 0x16};

TEST_F(Answers, TheFourChecks)
{
    TVariable* v = variable(st, VT_UI2, 3, 10);
    auto read = std::make_unique<TPacket>(vx::pkReadN, st);
    ASSERT_TRUE(read->AddVariable(v));
    ASSERT_EQ(read->AnswerLength, 11);
    TPacket connect(vx::pkConnect, st);
    TPacket ident(vx::pkIdent, st);
    TPacket writeN(vx::pkWriteN, st);
    TPacket writeB(vx::pkWriteB, st);
    TPacket setTid(vx::pkSetTID, st);
    Bytes identBody(4, 0x00);
    for (char c : std::string("HLX-7R  V2.31 "))
        identBody.push_back(static_cast<std::uint8_t>(c));

    struct Case {
        const char* name;
        const TPacket* packet;
        std::int32_t bus;
        Bytes answer;
        bool crc, address, length;
    } cases[] = {
        {"Connect answered", &connect, 2, kConnectAnswer, true, true, true},
        {"from bus address 200", &connect, 200, {0x10, 0x7E, 0xC8, 0x08, 0x4E, 0x16}, true, true, true},
        {"from bus address 258, by its low byte", &connect, 258, kConnectAnswer, true, true, true},
        {"to another master", &connect, 2, {0x10, 0x7D, 0x02, 0x08, 0x87, 0x16}, true, false, true},
        {"from another PLC", &connect, 2, {0x10, 0x7E, 0x03, 0x08, 0x89, 0x16}, true, false, true},
        {"checksum wrong", &connect, 2, {0x10, 0x7E, 0x02, 0x08, 0x89, 0x16}, false, true, true},
        {"no end byte", &connect, 2, {0x10, 0x7E, 0x02, 0x08, 0x88, 0x17}, true, true, false},
        {"acknowledgement to a Connect", &connect, 2, {0xE5}, false, true, false},
        {"not a start byte", &connect, 2, {0x00}, false, false, false},
        {"acknowledgement to WriteN", &writeN, 2, {0xE5}, true, true, true},
        {"acknowledgement to WriteB", &writeB, 2, {0xE5}, true, true, true},
        {"acknowledgement to SetTID", &setTid, 2, {0xE5}, true, true, true},
        {"acknowledgement to ReadN", read.get(), 2, {0xE5}, false, true, false},
        {"short frame to Ident", &ident, 2, kConnectAnswer, false, true, false},
        {"ReadN answered", read.get(), 2, {0x68, 0x05, 0x05, 0x68, 0x7E, 0x02, 0x08, 0x34, 0x12, 0xCE, 0x16}, true, true, true},
        {"length bytes differ", read.get(), 2, {0x68, 0x05, 0x06, 0x68, 0x7E, 0x02, 0x08, 0x34, 0x12, 0xCE, 0x16}, false, true, true},
        {"one data byte short", read.get(), 2, {0x68, 0x04, 0x04, 0x68, 0x7E, 0x02, 0x08, 0x34, 0xBC, 0x16}, true, true, false},
        {"one data byte more", read.get(), 2, {0x68, 0x06, 0x06, 0x68, 0x7E, 0x02, 0x08, 0x34, 0x12, 0x00, 0xCE, 0x16}, true, true, false},
        {"cut before its checksum", read.get(), 2, {0x68, 0x05, 0x05, 0x68, 0x7E, 0x02, 0x08, 0x34, 0x12}, false, true, false},
        {"long frame from another PLC", read.get(), 2, {0x68, 0x05, 0x05, 0x68, 0x7E, 0x03, 0x08, 0x34, 0x12, 0xCF, 0x16}, true, false, true},
        {"Ident answered", &ident, 2, plcsim::longFrame(0x7E, 0x02, 0x08, identBody), true, true, true},
        {"Ident of 19 bytes", &ident, 2, plcsim::longFrame(0x7E, 0x02, 0x08, Bytes(10, 0x41)), true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        st->Primary->BusAddress = c.bus;
        EXPECT_EQ(TCOM::CheckCRC(c.answer, *c.packet), c.crc);
        EXPECT_EQ(TCOM::CheckAddress(c.answer, *c.packet), c.address);
        EXPECT_EQ(TCOM::CheckLength(c.answer, *c.packet), c.length);
    }
}

TEST_F(Answers, TheTimeStampCheck)
{
    vx::CheckTimestamp = true;
    TVariable* v = variable(st, VT_UI2, 3, 10);
    TPacket read(vx::pkReadN, st);
    ASSERT_TRUE(read.AddVariable(v));
    ASSERT_EQ(read.AnswerOffsetOf(st->TimeStampVariable), 7) << "the time stamp comes first";
    vx::CheckTimestamp = false;
    TPacket later(vx::pkReadN, st);
    ASSERT_TRUE(later.AddVariable(v));
    vx::CheckTimestamp = true;

    struct Case {
        std::int32_t previous;  // the variable's value: the last answer's stamp, -1 for none
        std::uint16_t stamp;
        bool passes;
    } cases[] = {
        {100, 101, true}, {100, 100, true}, {100, 90, false}, {65530, 3, true} /* the counter wrapped */,
        {40000, 7000, true} /* 33000 back: wrapped */, {40000, 10000, false} /* 30000 back: old */,
        {3, 65530, true}, {-1, 0, true} /* first after a reconnect */,
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.previous) + " then " + std::to_string(c.stamp));
        st->TimeStampVariable->Value.setI4(c.previous);
        const Bytes answer = plcsim::longFrame(
            0x7E, 0x02, 0x08, Bytes{static_cast<std::uint8_t>(c.stamp & 0xFF), static_cast<std::uint8_t>(c.stamp >> 8), 0, 0});
        EXPECT_EQ(TCOM::CheckTimeStamp(answer, read), c.passes);
        EXPECT_TRUE(TCOM::CheckTimeStamp(answer, later)) << "a read without the stamp is not checked";
    }
    EXPECT_FALSE(TCOM::CheckTimeStamp(Bytes{0x68, 0x05, 0x05, 0x68, 0x7E, 0x02, 0x08}, read)) << "the stamp has not come";
    vx::CheckTimestamp = false;
    st->TimeStampVariable->Value.setI4(100);
    EXPECT_TRUE(TCOM::CheckTimeStamp(plcsim::longFrame(0x7E, 0x02, 0x08, Bytes{90, 0, 0, 0}), read)) << "switched off";
}

TEST_F(Answers, ATelegramIsAssembledFromWhatTheEventsBring)
{
    struct Case {
        const char* name;
        std::vector<Bytes> events;
        bool judged;
        std::int32_t rxCount;  // held afterwards, when not judged
    } cases[] = {
        {"noise before the telegram", {{0x00, 0x10, 0x7E, 0x02, 0x08, 0x88, 0x16}}, true, 0},
        {"in three events", {{0x10, 0x7E}, {0x02, 0x08}, {0x88, 0x16}}, true, 0},
        {"noise only", {{0x00, 0xFF, 0x3C, 0x16}}, false, 0},
        {"the start of a telegram", {{0xFF, 0x10, 0x7E, 0x02}}, false, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        connectInFlight();
        feed(c.events);
        EXPECT_EQ(ch->GoodAnswers, c.judged ? 1 : 0);
        EXPECT_EQ(ch->BadAnswers, 0);
        if (c.judged) {
            EXPECT_EQ(st->State, vx::ssIdentToRead);
            EXPECT_EQ(ch->CurrentPacket, nullptr);
        } else {
            EXPECT_EQ(ch->State, vx::chWaiting);
            EXPECT_EQ(ch->RxCount, c.rxCount);
        }
    }
}

TEST_F(Answers, ATelegramCutShortIsJudgedBadAtTheTimeOut)
{
    connectInFlight();
    feed({{0x10, 0x7E, 0x02}});
    advance(199);
    EXPECT_EQ(ch->BadAnswers, 0);
    advance(1);
    EXPECT_EQ(ch->BadAnswers, 1);
    EXPECT_EQ(ch->Timeouts, 0);
    EXPECT_EQ(st->State, vx::ssFailed) << "a Connect is not retried";
}

TEST_F(Answers, BytesBehindATelegramAreNoAnswerToTheRequestItsTickSent)
{
    variable(st, VT_UI2, 3, 10);  // enabled: the Ident follows in the same tick
    advance(100);
    ASSERT_EQ(port(ch).sent.size(), 1u);
    Bytes identBody(4, 0x00);
    for (char c : std::string("HLX-7R  V2.31 "))
        identBody.push_back(static_cast<std::uint8_t>(c));
    const Bytes identAnswer = plcsim::longFrame(0x7E, 0x02, 0x08, identBody);
    Bytes event = kConnectAnswer;
    event.insert(event.end(), identAnswer.begin(), identAnswer.end());

    port(ch).arrive(event);
    ASSERT_EQ(port(ch).sent.size(), 2u);
    EXPECT_EQ(serviceOf(port(ch).sent[1].frame), chantest::kIdent);
    ASSERT_NE(ch->CurrentPacket, nullptr);
    EXPECT_EQ(ch->CurrentPacket->Kind, vx::pkIdent) << "still waiting for its own answer";
    EXPECT_EQ(ch->RxCount, 0);
    EXPECT_TRUE(st->Identity.empty());
    EXPECT_TRUE(port(ch).rx.empty());

    port(ch).arrive(identAnswer);
    EXPECT_EQ(st->Identity, "HLX-7R ");
}

TEST_F(Answers, AFloodBehindATelegramNeverWritesPastTheBuffer)
{
    st->Identity = "HLX-7R ";  // nothing follows the Connect
    connectInFlight();
    Bytes event = kConnectAnswer;
    event.resize(event.size() + vx::kRxBufferSize + 5000, 0x00);
    port(ch).arrive(event);
    EXPECT_EQ(ch->GoodAnswers, 1);
    EXPECT_EQ(st->State, vx::ssConnected);
    EXPECT_LE(ch->RxCount, 6);
    EXPECT_TRUE(port(ch).rx.empty());

    // And nothing awaited: whatever comes is dropped.
    const int flushes = port(ch).flushes;
    port(ch).arrive(kConnectAnswer);
    EXPECT_EQ(port(ch).flushes, flushes + 1);
    EXPECT_TRUE(port(ch).rx.empty());
    EXPECT_EQ(ch->GoodAnswers, 1);
}

TEST_F(Answers, AGoodReadGivesEveryVariableItsValueAndTheTimeItWasTakenUp)
{
    st->Primary->Timeout = 5000;
    st->State = vx::ssConnected;
    plc(st).poke(3, 10, Bytes{0x34, 0x12, 0xFE, 0xFF, 0x00, 0x00, 0xC0, 0x3F, 0x09, 'A', 'B', 'C', 'D'});
    plc(st).poke(3, 30, Bytes{0x11, 0x11, 0x22, 0x22});
    TVariable* u = variable(st, VT_UI2, 3, 10);
    TVariable* s = variable(st, VT_I2, 3, 12);
    TVariable* f = variable(st, VT_R4, 3, 14);
    TVariable* bit3 = variable(st, VT_BOOL, 3, 18, 100, 3);
    TVariable* bit1 = variable(st, VT_BOOL, 3, 18, 100, 1);
    TVariable* text = variable(st, VT_BSTR, 3, 19);
    text->StringLength = 4;
    TVariable* forced = variable(st, VT_UI2, 3, 30);
    forced->SetForced(true);
    TVariable* writing = variable(st, VT_UI2, 3, 32);
    auto p = std::make_unique<TPacket>(vx::pkReadN, st);
    for (TVariable* v : {u, s, f, bit3, bit1, text, forced, writing})
        ASSERT_TRUE(p->AddVariable(v)) << v->Name;
    writing->WritePending = 1;  // a client's write has not gone yet

    port(ch).responder = [this](const Bytes& req) { return sim.answer(req); };
    port(ch).latencyMs = 1234;
    send(std::move(p));
    advance(1233);
    EXPECT_EQ(u->Quality, vx::qUncertain);
    advance(1);
    const double answered = clock.now();

    EXPECT_EQ(u->Value.toI4(), 0x1234);
    EXPECT_EQ(s->Value.toI4(), -2);
    EXPECT_EQ(f->Value.toR8(), 1.5);
    EXPECT_EQ(bit3->Value.toBool(), true);
    EXPECT_EQ(bit1->Value.toBool(), false);
    EXPECT_EQ(text->Value.toUtf8(), "ABCD");
    for (TVariable* v : {u, s, f, bit3, bit1, text}) {
        EXPECT_EQ(v->Quality, vx::qGood) << v->Name;
        EXPECT_DOUBLE_EQ(v->LastUpdate, answered) << v->Name;
    }
    EXPECT_EQ(forced->Value.toI4(), 0) << "a forced value stays";
    EXPECT_EQ(forced->Quality, vx::qLocalOverride);
    EXPECT_EQ(writing->Value.toI4(), 0) << "so does one about to be written";
    EXPECT_NE(writing->Quality, vx::qGood);
    EXPECT_EQ(st->ResponseTime, 234) << "the milliseconds of 1.234 s";
    EXPECT_EQ(done[u], 1);
    writing->WritePending = 0;
}

TEST_F(Answers, AConnectAnswerAsksTheIdentityOnlyWhenItIsNotKnown)
{
    struct Case {
        const char* known;
        bool identSent;
    } cases[] = {{"", true}, {"HLX-7Q ", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.known);
        TearDown();
        SetUp();
        st->Identity = c.known;
        port(ch).responder = [this](const Bytes& req) { return sim.answer(req); };
        TVariable* v = variable(st, VT_UI2, 3, 10);
        ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 1000));
        const auto& sent = port(ch).sent;
        bool ident = false;
        for (const auto& x : sent)
            ident |= serviceOf(x.frame) == chantest::kIdent;
        EXPECT_EQ(ident, c.identSent);
        EXPECT_EQ(st->Identity, c.identSent ? "HLX-7R " : c.known);
    }
}

TEST_F(Answers, AnAcknowledgedWriteIsDone)
{
    st->State = vx::ssConnected;
    port(ch).responder = [this](const Bytes& req) { return sim.answer(req); };
    TVariable* w = variable(st, VT_UI2, 3, 40, 0);
    TVariable* buffer = st->AddVariable();
    buffer->SetKind(vx::vkDrwDataBuffer);
    buffer->CanonicalType = VT_ARRAY | VT_UI1;
    buffer->ArrayCount = 2;
    buffer->Zone = 3;
    buffer->Address = 50;
    buffer->InitValue();
    st->BindServiceVariable(buffer);
    TVariable* status = st->AddVariable();
    status->SetKind(vx::vkDrwStatus);
    status->CanonicalType = VT_I4;
    status->InitValue();
    st->BindServiceVariable(status);
    vx::SetVariableNumber(status, vx::drwWriting);

    w->Value.setUI2(0x0A0B);
    auto p = std::make_unique<TPacket>(vx::pkWriteN, st);
    ASSERT_TRUE(p->AddVariable(w));
    ASSERT_TRUE(p->AddVariable(buffer));
    send(std::move(p));
    advance(1);
    EXPECT_EQ(ch->GoodAnswers, 1);
    EXPECT_EQ(plc(st).peek(3, 40, 2), (Bytes{0x0B, 0x0A}));
    EXPECT_DOUBLE_EQ(w->LastUpdate, clock.now());
    EXPECT_EQ(vx::VariableNumber(status), vx::drwWriteDone);
    EXPECT_EQ(done[w], 1);
    EXPECT_EQ(done[buffer], 1);
    EXPECT_EQ(w->WritePending, 0);
}

// Judging and applying are functions of the answer bytes, the request and the rules given:
// no channel runs, and the program's settings say otherwise than the rules.
TEST_F(ChannelTest, AnAnswerIsJudgedAndAppliedWithoutAChannel)
{
    TStation* st = station(2);
    TVariable* v = variable(st, VT_UI2, 3, 10);
    vx::CheckTimestamp = true;  // the request carries the PLC's time stamp first
    TPacket read(vx::pkReadN, st);
    ASSERT_TRUE(read.AddVariable(v));
    vx::CheckTimestamp = false;
    vx::ServerAddress = 0;
    ASSERT_FALSE(vx::CommServer->Running);
    st->TimeStampVariable->Value.setI4(100);
    const Bytes good = plcsim::longFrame(0x7E, 0x02, 0x08, Bytes{101, 0, 0x34, 0x12});
    Bytes badSum = good;
    badSum[badSum.size() - 2] ^= 1;

    using vx::TAnswerFault;
    struct Case {
        const char* name;
        Bytes answer;
        vx::TAnswerRules rules;
        TAnswerFault fault;
    } cases[] = {
        {"good", good, {126, true}, TAnswerFault::None},
        {"to another master", good, {125, true}, TAnswerFault::Address},
        {"by the low byte of ours", good, {126 + 256, true}, TAnswerFault::None},
        {"an old stamp", plcsim::longFrame(0x7E, 0x02, 0x08, Bytes{90, 0, 0x34, 0x12}), {126, true}, TAnswerFault::TimeStamp},
        {"an old stamp, not checked", plcsim::longFrame(0x7E, 0x02, 0x08, Bytes{90, 0, 0x34, 0x12}), {126, false},
         TAnswerFault::None},
        {"checksum wrong", badSum, {126, true}, TAnswerFault::StartOrChecksum},
        {"one byte short", plcsim::longFrame(0x7E, 0x02, 0x08, Bytes{101, 0, 0x34}), {126, true}, TAnswerFault::Length},
        {"nothing", {}, {126, true}, TAnswerFault::StartOrChecksum},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vx::JudgeAnswer(c.answer, read, c.rules), c.fault) << c.name;

    std::vector<std::string> notes;
    const auto note = [&](const std::string& text) { notes.push_back(text); };
    // Cut short: the variable stays as it was, and the note says why.
    vx::ApplyAnswer(read, Bytes(good.begin(), good.begin() + 10), 46365.75, note);
    EXPECT_EQ(v->Value.toI4(), 0);
    EXPECT_NE(v->Quality, vx::qGood);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("too short for " + v->Name), std::string::npos) << notes[0];

    notes.clear();
    vx::ApplyAnswer(read, good, 46365.75, note);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(v->Value.toI4(), 0x1234);
    EXPECT_EQ(v->Quality, vx::qGood);
    EXPECT_EQ(v->LastUpdate, 46365.75);
    EXPECT_EQ(st->TimeStampVariable->Value.toI4(), 101);
    EXPECT_EQ(st->State, vx::ssConnected);
}

// --- random answers and layouts -----------------------------------------------------------

// A fixed seed and a bounded number of rounds: random variable layouts and settings, client
// reads and writes, switches and restarts, and answers that are right, missing, cut, flipped,
// padded, replayed or noise. Whatever the line brings: nothing crashes, every frame that goes
// out is well formed and addresses no byte past 65535, every completion hook finds its entry
// pending, and once the line answers properly again every request ends with its counters at 0.
TEST_F(ChannelTest, RandomAnswersAndLayoutsEndEveryRequest)
{
    constexpr int kRounds = 100;
    constexpr int kSteps = 400;
    std::mt19937 rng(0x5EED1);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto chance = [&pick](int percent) { return pick(0, 99) < percent; };
    const VARTYPE scalarTypes[] = {VT_I2, VT_I4, VT_R4, VT_R8, VT_DATE, VT_BSTR, VT_BOOL, VT_UI1, VT_UI2, VT_UI4};

    int hooksWithoutEntry = 0;
    std::vector<std::string> badFrames;
    long long framesSent = 0, hooksCalled = 0;

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TearDown();
        SetUp();
        vx::OnVariableRequestDone = [&](TVariable* v) {
            ++done[v];
            ++hooksCalled;
            if (v->ReadPending + v->WritePending < 1)
                ++hooksWithoutEntry;
        };
        vx::CheckTimestamp = chance(50);
        vx::DifferentPacketLen = chance(50);
        vx::MaxPacketLen = chance(30) ? pick(12, 60) : pick(200, 255);
        vx::CommDelay = chance(30) ? pick(1, 20) : 0;
        vx::MaxBadCommCount = pick(1, 3);
        vx::MaxBadComToReset = chance(30) ? pick(1, 4) : 0;

        std::vector<TStation*> stations = {station(2, 1), station(3, 1), station(4, 2)};
        // The first station's standby line is COM 2.
        stations[0]->Standby->ConnectionType = vx::ctSerial;
        stations[0]->Standby->PortNumber = 2;
        stations[0]->Standby->BaudRate = 19200;
        stations[0]->Standby->Parity = 2;
        stations[0]->Standby->BusAddress = 2;
        stations[0]->Standby->Timeout = 150;
        stations[0]->ConnectionControl = vx::ccEnabled;

        // The line: right answers, or what a bad line makes of them.
        Bytes lastAnswer;
        bool chaos = true;
        auto respond = [&](const Bytes& request) -> Bytes {
            ++framesSent;
            if (request.empty() || request[0] == 0x68) {
                const std::string error = framecheck::sd2Error(request);
                if (!error.empty())
                    badFrames.push_back(error);
                if (request.size() > static_cast<std::size_t>(std::min(vx::MaxPacketLen, 255)))
                    badFrames.push_back("longer than MaxPacketLen");
                // Items: zone, address low, address high, count (or the bit of a WriteB).
                const bool writeB = request.size() > 7 && request[7] == 16;
                const bool writeN = request.size() > 7 && request[7] == 12;
                const bool readN = request.size() > 7 && request[7] == 11;
                for (std::size_t i = 8; (readN || writeN || writeB) && i + 4 <= request.size() - 2;) {
                    const unsigned address = request[i + 1] | request[i + 2] << 8;
                    const unsigned count = writeB ? 1 : request[i + 3];
                    if (address + count > 65536)
                        badFrames.push_back("an item runs past address 65535");
                    i += 4 + (writeN ? count : 0);
                }
            }
            if (!chaos)
                return sim.answer(request);
            Bytes right = sim.answer(request);
            Bytes out = right;
            switch (pick(0, 15)) {
            case 0: out.clear(); break;  // silence
            case 1:
                if (!out.empty())
                    out[static_cast<std::size_t>(pick(0, static_cast<int>(out.size()) - 1))] ^=
                        static_cast<std::uint8_t>(1 << pick(0, 7));
                break;
            case 2: out.resize(static_cast<std::size_t>(pick(0, static_cast<int>(out.size())))); break;
            case 3:
                for (int k = pick(1, 20); k > 0; --k)
                    out.push_back(static_cast<std::uint8_t>(pick(0, 255)));
                break;
            case 4: {
                out.assign(static_cast<std::size_t>(pick(1, 300)), 0);
                for (auto& b : out)
                    b = static_cast<std::uint8_t>(pick(0, 255));
                const std::uint8_t starts[] = {0x10, 0x68, 0xE5};
                out[0] = starts[pick(0, 2)];
                break;
            }
            case 5: out = {0xE5}; break;
            case 6: out.insert(out.begin(), {0x00, 0xFF, 0x3C}); break;
            case 7: out = lastAnswer; break;  // an answer to an earlier request
            case 8:
                // A long frame whose length bytes lie but whose checksum is right.
                if (out.size() > 8 && out[0] == 0x68) {
                    Bytes body(out.begin() + 4, out.end() - 2);
                    body.resize(static_cast<std::size_t>(std::max(3, static_cast<int>(body.size()) + pick(-4, 4))));
                    out = framecheck::sd2(body);
                }
                break;
            default: break;  // right
            }
            if (!right.empty())
                lastAnswer = right;
            return out;
        };
        for (TCOM* ch : {stations[0]->Channel, stations[2]->Channel})
            port(ch).responder = respond;

        // Random layouts, mostly where the simulated memory is, some at the end of a zone.
        std::vector<TVariable*> vars;
        for (int i = pick(1, 14); i > 0; --i) {
            TStation* st = stations[static_cast<std::size_t>(pick(0, 2))];
            VARTYPE type = scalarTypes[pick(0, 9)];
            const bool array = chance(35);
            if (array)
                type = static_cast<VARTYPE>(type | VT_ARRAY);
            const int zones[] = {0, 1, 2, 3, 3, 3, 0x80, 0x81};
            const int zone = zones[pick(0, 7)];
            const int address = chance(75) ? pick(0, 400) : (chance(50) ? pick(65000, 65535) : pick(0, 70000));
            TVariable* v = variable(st, type, zone, address, static_cast<std::uint32_t>(pick(0, 300)), pick(0, 8));
            v->ArrayCount = array ? pick(0, 300) : 0;
            v->StringLength = type == VT_BSTR || type == (VT_ARRAY | VT_BSTR) ? pick(0, 40) : 0;
            if (type == VT_DATE && chance(40))
                v->Kind = vx::vkDateTime;
            v->InitValue();
            v->SetActive(chance(80));
            vars.push_back(v);
        }
        // A block transfer on the second station, placed anywhere, even past its zone.
        auto service = [&](std::int32_t kind, VARTYPE type, std::int32_t count) {
            TVariable* v = stations[1]->AddVariable();
            v->CanonicalType = type;
            v->ArrayCount = count;
            v->SetKind(kind);
            v->InitValue();
            stations[1]->BindServiceVariable(v);
            return v;
        };
        TVariable* drwAddress = service(vx::vkDrwAddress, VT_I4, 0);
        TVariable* drwLength = service(vx::vkDrwLength, VT_I4, 0);
        TVariable* drwControl = service(vx::vkDrwControl, VT_I4, 0);
        TVariable* drwStatus = service(vx::vkDrwStatus, VT_I4, 0);
        TVariable* drwZone = service(vx::vkDrwZone, VT_I4, 0);
        service(vx::vkDrwDataBuffer, VT_ARRAY | VT_UI1, 64);
        start();

        for (int step = 0; step < kSteps; ++step) {
            advance(pick(1, 60));
            if (chance(10)) {
                bool isDone = false;
                drwAddress->Value.setI4(chance(50) ? pick(0, 300) : pick(-5, 140000));
                drwAddress->WriteValue(isDone);
                drwLength->Value.setI4(pick(-2, 80));
                drwLength->WriteValue(isDone);
                drwZone->Value.setI4(pick(-1, 5));
                drwZone->WriteValue(isDone);
                drwControl->Value.setI4(pick(0, 2));
                drwControl->WriteValue(isDone);
            }
            TVariable* v = vars[static_cast<std::size_t>(pick(0, static_cast<int>(vars.size()) - 1))];
            bool isDone = false;
            switch (pick(0, 19)) {
            case 0:
            case 1:
            case 2: v->RequestRead(isDone); break;
            case 3:
            case 4:
            case 5:
                if (chance(10))
                    v->Value.setString("no value");  // a write that cannot be coded
                v->WriteValue(isDone);
                v->InitValue();
                break;
            case 6: v->SetActive(!v->Active); break;
            case 7:
                if (chance(20))
                    v->SetForced(!v->Forced);
                break;
            case 8:
                if (chance(25))
                    stations[0]->SetControl(chance(50) ? (vx::ccEnabled | vx::ccUseStandby) : vx::ccEnabled);
                break;
            case 9:
                if (chance(10))
                    stations[1]->SetControl(chance(50) ? 0 : vx::ccEnabled);  // blocked and back
                break;
            case 10:
                if (chance(10)) {
                    vx::CommServer->StopCommunication();
                    vx::CommServer->StartCommunication();
                }
                break;
            case 11:
                if (chance(10))
                    vx::ComList->RestartTimeouts();
                break;
            default: break;
            }
        }

        // The line heals: everything still queued or in flight must end.
        chaos = false;
        for (TVariable* v : vars) {
            v->SetActive(false);
            if (v->Forced)
                v->SetForced(false);
        }
        auto settled = [&] {
            for (TCOM* ch : {stations[0]->Channel, stations[1]->Channel, stations[2]->Channel})
                if (ch && (ch->CurrentPacket || !ch->ReadQueue.empty() || !ch->WriteQueue.empty()))
                    return false;
            for (const auto& ch : *vx::ComList)
                if (ch->CurrentPacket || !ch->ReadQueue.empty() || !ch->WriteQueue.empty())
                    return false;
            for (TStation* st : stations)
                for (TVariable* v : *st->Variables)
                    if (v->ReadPending || v->WritePending)
                        return false;
            return true;
        };
        EXPECT_TRUE(advanceUntil(settled, 60000)) << "a request never ended";
        const std::int32_t blockStatus = vx::VariableNumber(drwStatus);
        EXPECT_TRUE(blockStatus != vx::drwReading && blockStatus != vx::drwWriting) << "a block transfer never ended";

        // Over a good line every value read is the PLC's bytes, whatever its layout.
        const int badBefore = stations[0]->Channel->BadAnswers + stations[2]->Channel->BadAnswers;
        std::vector<std::pair<TVariable*, Bytes>> expected;
        for (TVariable* v : vars) {
            const VARTYPE element = v->CanonicalType & VT_TYPEMASK;
            const bool integer = element == VT_I2 || element == VT_I4 || element == VT_UI1 || element == VT_UI2 ||
                                 element == VT_UI4;
            const std::int32_t size = vx::VariableDataSize(*v);
            plcsim::Station& mem = plc(v->GetStation());
            // The system zone holds the clock and the time stamp, which move by themselves.
            if (!integer || v->Kind != vx::vkPlain || v->Zone == 2 || size <= 0 || !vx::PlcLocationValid(*v) ||
                !mem.inRange(static_cast<std::uint8_t>(v->Zone), static_cast<std::uint16_t>(v->Address),
                             static_cast<std::size_t>(size)))
                continue;
            Bytes bytes(static_cast<std::size_t>(size));
            for (auto& b : bytes)
                b = static_cast<std::uint8_t>(pick(0, 255));
            mem.poke(static_cast<std::uint8_t>(v->Zone), static_cast<std::uint16_t>(v->Address), bytes);
            expected.emplace_back(v, std::move(bytes));
        }
        // A variable too large for any packet under these settings is refused; the others go.
        std::erase_if(expected, [](const auto& e) {
            bool isDone = false;
            return e.first->RequestRead(isDone) != S_OK;
        });
        EXPECT_TRUE(advanceUntil(settled, 60000)) << "a read over a good line never ended";
        for (auto& [v, bytes] : expected) {
            // Variables that overlap read the memory as the last poke left it.
            plcsim::Station& mem = plc(v->GetStation());
            const Bytes now = mem.peek(static_cast<std::uint8_t>(v->Zone), static_cast<std::uint16_t>(v->Address), bytes.size());
            EXPECT_EQ(vx::EncodeValue(*v), now) << v->Name << " type " << v->CanonicalType << " count " << v->ArrayCount;
            EXPECT_EQ(v->Quality, vx::qGood) << v->Name;
        }
        if (!vx::CheckTimestamp) {
            EXPECT_EQ(stations[0]->Channel->BadAnswers + stations[2]->Channel->BadAnswers, badBefore)
                << "a right answer was judged bad";
        }
        vx::CommServer->StopCommunication();
        for (TStation* st : stations)
            for (TVariable* v : *st->Variables) {
                EXPECT_EQ(v->ReadPending, 0) << v->Name;
                EXPECT_EQ(v->WritePending, 0) << v->Name;
                EXPECT_EQ(v->ReadOffset + v->WriteOffset + v->ReadParts + v->WriteParts + v->WritePartsDone, 0)
                    << v->Name;
            }

        // The checks and the decoding straight on random bytes of any length.
        for (int k = 0; k < 20; ++k) {
            TStation* st = stations[static_cast<std::size_t>(pick(0, 2))];
            auto p = std::make_unique<TPacket>(chance(70) ? vx::pkReadN : vx::pkConnect, st);
            for (TVariable* v : vars)
                if (chance(50) && !p->AddVariable(v))
                    p->JoinVariable(v);
            Bytes answer(static_cast<std::size_t>(pick(0, 300)));
            for (auto& b : answer)
                b = static_cast<std::uint8_t>(pick(0, 255));
            if (!answer.empty() && chance(80))
                answer[0] = chance(50) ? 0x68 : 0x10;
            if (answer.size() > 2 && chance(50))
                answer[1] = answer[2] = static_cast<std::uint8_t>(answer.size() - 6);
            (void)TCOM::CheckCRC(answer, *p);
            (void)TCOM::CheckAddress(answer, *p);
            (void)TCOM::CheckLength(answer, *p);
            (void)TCOM::CheckTimeStamp(answer, *p);
            const std::size_t length = static_cast<std::size_t>(pick(0, static_cast<int>(answer.size())));
            for (std::size_t e = 0; e < p->Variables.size(); ++e)
                (void)vx::DecodeAnswerEntry(*p, e, answer.data(), length);
        }
        for (TStation* st : stations)
            for (TVariable* v : *st->Variables)
                EXPECT_EQ(v->ReadPending + v->WritePending, 0) << v->Name;
    }
    EXPECT_EQ(hooksWithoutEntry, 0);
    EXPECT_TRUE(badFrames.empty()) << badFrames.size() << " bad frames, the first: " << badFrames.front();
    EXPECT_GT(framesSent, 1000);
    EXPECT_GT(hooksCalled, 1000);
}

}  // namespace

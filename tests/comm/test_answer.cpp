// Answer reception: the telegram assembled from the bytes the port delivers, the four
// checks as byte tables, and what a good answer does to the station and its variables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_port.h"

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

}  // namespace

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <functional>
#include <string>

#include "tools/plcsim/commands.h"
#include "tools/plcsim/simulator.h"
#include "tools/plcsim/transports.h"
#include "tests/wait_until.h"

namespace {

using plcsim::Bytes;
using plcsim::Fault;

constexpr std::uint8_t kServer = 0x7E;  // the server's own bus address, 126
constexpr std::uint8_t kPlc = 2;

// Sum modulo 256, written here again so that the simulator's own cannot hide a mistake.
std::uint8_t sum8(const Bytes& b, std::size_t from, std::size_t count)
{
    unsigned s = 0;
    for (std::size_t i = from; i < from + count; ++i)
        s += b[i];
    return static_cast<std::uint8_t>(s % 256);
}

// 68 LE LE 68 DA SA FC SC tail FCS 16, with LE counting DA up to the last tail byte.
Bytes request68(std::uint8_t fc, std::uint8_t sc, const Bytes& tail, std::uint8_t da = kPlc)
{
    const auto le = static_cast<std::uint8_t>(4 + tail.size());
    Bytes f{0x68, le, le, 0x68, da, kServer, fc, sc};
    f.insert(f.end(), tail.begin(), tail.end());
    f.push_back(sum8(f, 4, le));
    f.push_back(0x16);
    return f;
}

Bytes readN(const Bytes& items, std::uint8_t da = kPlc) { return request68(0x6C, 11, items, da); }
Bytes writeN(const Bytes& itemsAndData) { return request68(0x63, 12, itemsAndData); }
Bytes writeB(const Bytes& items) { return request68(0x63, 16, items); }
Bytes setTID(const Bytes& fields) { return request68(0x63, 8, fields); }

const Bytes connectRq{0x10, 0x02, 0x7E, 0x69, 0xE9, 0x16};
const Bytes connectAns{0x10, 0x7E, 0x02, 0x08, 0x88, 0x16};
const Bytes identRq{0x10, 0x02, 0x7E, 0x6E, 0xEE, 0x16};
const Bytes ack{0xE5};

// The data of an SD2 answer after checking its frame as the server does: start, repeated
// length, addresses to the server from the PLC, checksum, end byte at LE + 6.
Bytes dataOf(const Bytes& a)
{
    EXPECT_GE(a.size(), 9u);
    if (a.size() < 9)
        return {};
    EXPECT_EQ(a[0], 0x68);
    EXPECT_EQ(a[1], a[2]);
    EXPECT_EQ(a[3], 0x68);
    EXPECT_EQ(a.size(), std::size_t{a[1]} + 6);
    EXPECT_EQ(a[4], kServer);
    EXPECT_EQ(a[5], kPlc);
    EXPECT_EQ(a[a.size() - 2], sum8(a, 4, a[1]));
    EXPECT_EQ(a.back(), 0x16);
    return Bytes(a.begin() + 7, a.end() - 2);
}

std::uint16_t timeStampOf(const Bytes& answer)
{
    const Bytes d = dataOf(answer);
    return static_cast<std::uint16_t>(d.at(0) | d.at(1) << 8);
}

std::int64_t localMs(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s)).toMSecsSinceEpoch();
}

struct Sim : ::testing::Test {
    plcsim::Simulator sim;
    plcsim::Station& plc = sim.addStation(kPlc);
    std::int64_t now = localMs(2026, 12, 9, 14, 5, 30);  // a Wednesday

    Sim() { sim.nowMs = [this] { return now; }; }
};

// --- services ------------------------------------------------------------------------

TEST_F(Sim, ConnectIsAnsweredWithAShortFrameFromThePlc)
{
    EXPECT_EQ(sim.answer(connectRq), connectAns);
    // The UDP form carries a seventh byte 0x00; the answer is the same six bytes.
    Bytes udp = connectRq;
    udp.push_back(0x00);
    EXPECT_EQ(sim.answer(udp), connectAns);
    EXPECT_EQ(plc.served(plcsim::Service::Connect), 2);

    plcsim::Station& other = sim.addStation(200);
    (void)other;
    const Bytes rq{0x10, 200, 0x7E, 0x69, static_cast<std::uint8_t>((200 + 0x7E + 0x69) % 256), 0x16};
    EXPECT_EQ(sim.answer(rq), (Bytes{0x10, 0x7E, 200, 0x08, 0x4E, 0x16}));
}

TEST_F(Sim, IdentCarriesTheIdentityFromByteEleven)
{
    plc.setIdentity("HLX-7U  V2.01");  // padded to 14
    const Bytes a = sim.answer(identRq);
    ASSERT_EQ(a.size(), 27u);
    EXPECT_EQ((Bytes(a.begin(), a.begin() + 7)), (Bytes{0x68, 21, 21, 0x68, 0x7E, 0x02, 0x08}));
    dataOf(a);
    EXPECT_EQ(std::string(a.begin() + 11, a.begin() + 25), "HLX-7U  V2.01 ");
    EXPECT_GE(a.size(), 20u);  // what the server asks at least
}

TEST_F(Sim, ReadNAnswersTheItemsInOrder)
{
    const Bytes r{1, 2, 3, 4};
    plc.poke(3, 10, r);
    plc.poke(0, 0, Bytes{0x55});
    plc.poke(1, 7, Bytes{0x66, 0x77});
    plc.poke(0x81, 0x0010, Bytes{0x99});  // M at linear 65552

    const Bytes one = sim.answer(readN({3, 10, 0, 4}));
    EXPECT_EQ(one, (Bytes{0x68, 7, 7, 0x68, 0x7E, 0x02, 0x08, 1, 2, 3, 4, 0x92, 0x16}));

    const Bytes many = sim.answer(readN({0, 0, 0, 1, 1, 7, 0, 2, 0x81, 0x10, 0x00, 1, 3, 12, 0, 2}));
    EXPECT_EQ(dataOf(many), (Bytes{0x55, 0x66, 0x77, 0x99, 3, 4}));
    EXPECT_EQ(many.size(), 9u + 6u);

    // An empty read is a frame without data.
    EXPECT_EQ(dataOf(sim.answer(readN({}))), Bytes{});
}

TEST_F(Sim, TheTimeStampAdvancesWithEveryAnswer)
{
    plc.timeStamp = 65533;
    plc.timeStampStep = 2;
    const Bytes tsItem{2, 14, 0, 2};
    EXPECT_EQ(timeStampOf(sim.answer(readN(tsItem))), 65535);
    sim.answer(connectRq);
    EXPECT_EQ(timeStampOf(sim.answer(readN(tsItem))), 3);  // wrapped, as the server allows
    EXPECT_EQ(plc.timeStamp, 3);
}

TEST_F(Sim, TheClockReadsAsTheServerDecodesIt)
{
    // ms, second, minute, hour, day of week, day, month, year mod 100.
    EXPECT_EQ(dataOf(sim.answer(readN({2, 5, 0, 8}))), (Bytes{0, 30, 5, 14, 3, 9, 12, 26}));

    // Set to Saturday 2 January 2027 03:04:05; two seconds later it reads 03:04:07.
    EXPECT_EQ(sim.answer(setTID({27, 1, 2, 3, 4, 5, 6})), ack);
    now += 2000;
    EXPECT_EQ(dataOf(sim.answer(readN({2, 5, 0, 8}))), (Bytes{0, 7, 4, 3, 6, 2, 1, 27}));
    EXPECT_EQ(plc.served(plcsim::Service::SetTID), 1);
}

TEST_F(Sim, WriteNChangesMemory)
{
    // Two items, the second right after the first one's data; the second in zone M.
    EXPECT_EQ(sim.answer(writeN({3, 20, 0, 3, 0xAA, 0xBB, 0xCC, 0x81, 0x34, 0x12, 2, 0x01, 0x02})), ack);
    EXPECT_EQ(plc.peek(3, 19, 5), (Bytes{0, 0xAA, 0xBB, 0xCC, 0}));
    EXPECT_EQ(plc.peek(0x81, 0x1234, 2), (Bytes{0x01, 0x02}));
    // What was written reads back.
    EXPECT_EQ(dataOf(sim.answer(readN({3, 20, 0, 3}))), (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(plc.served(plcsim::Service::WriteN), 1);
}

TEST_F(Sim, WriteBSetsAndClearsOneBit)
{
    plc.poke(3, 30, Bytes{0x41});
    EXPECT_EQ(sim.answer(writeB({3, 30, 0, 0x83})), ack);  // bit 3 := 1
    EXPECT_EQ(plc.peek(3, 30, 1), Bytes{0x49});
    EXPECT_EQ(sim.answer(writeB({3, 30, 0, 0x06})), ack);  // bit 6 := 0
    EXPECT_EQ(plc.peek(3, 30, 1), Bytes{0x09});
    // A Boolean array: one item per bit, here bits 7 of byte 30 and 0 of byte 31.
    EXPECT_EQ(sim.answer(writeB({3, 30, 0, 0x87, 3, 31, 0, 0x80})), ack);
    EXPECT_EQ(plc.peek(3, 30, 2), (Bytes{0x89, 0x01}));
}

// --- requests the PLC leaves unanswered ------------------------------------------------

TEST_F(Sim, BadRequestsGetNoAnswerAndChangeNothing)
{
    plc.poke(3, 0, Bytes{0x11});
    plcsim::Station& small = sim.addStation(5, plcsim::MemorySizes{16, 16, 16, 16, 0});
    small.hasMZone = false;

    auto corrupt = [](Bytes b, std::size_t at, std::uint8_t v) {
        b[at] = v;
        return b;
    };
    struct Case {
        const char* name;
        Bytes request;
        const char* reason;
    };
    const Case cases[] = {
        {"SD1 checksum", corrupt(connectRq, 4, 0xEA), "bad checksum"},
        {"SD1 end byte", corrupt(connectRq, 5, 0x17), "end byte"},
        {"SD1 function", Bytes{0x10, 2, 0x7E, 0x70, 0xF0, 0x16}, "unknown function"},
        {"SD2 checksum", corrupt(writeN({3, 0, 0, 1, 0x22}), 13, 0), "bad checksum"},
        {"SD2 length bytes differ", corrupt(readN({3, 0, 0, 1}), 2, 9), "inconsistent length"},
        {"SD2 service", request68(0x63, 13, {3, 0, 0, 1, 0x22}), "unknown function"},
        {"nobody at the address", readN({3, 0, 0, 1}, 9), "no station at bus address 9"},
        {"not a request", Bytes{0x33, 0x16}, "not a request"},
        {"read outside the zone", readN({3, 0xFF, 0xFF, 2}), "outside the memory"},
        {"unknown zone", readN({5, 0, 0, 1}), "outside the memory"},
        {"read of length 0", readN({3, 0, 0, 0}), "length 0"},
        {"answer over one frame", readN({3, 0, 0, 200, 3, 200, 0, 100}), "does not fit"},
        {"write partly outside", writeN({3, 0, 0, 1, 0x22, 3, 0xFF, 0xFF, 2, 1, 2}), "outside the memory"},
        {"write data short", writeN({3, 0, 0, 3, 0x22}), "less data"},
        {"write without items", writeN({}), "without items"},
        {"bit 9", writeB({3, 0, 0, 0x89}), "bit 9"},
        {"bit item cut", writeB({3, 0, 0}), "4 bytes"},
        {"M zone without one", request68(0x6C, 11, {0x80, 0, 0, 1}, 5), "outside the memory"},
        {"clock month 13", setTID({26, 13, 1, 0, 0, 0, 1}), "invalid date"},
        {"clock day of week 0", setTID({26, 12, 9, 14, 5, 30, 0}), "invalid date"},
        {"clock fields short", setTID({26, 12, 9}), "not 7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint16_t ts = plc.timeStamp;
        EXPECT_TRUE(sim.answer(c.request).empty());
        EXPECT_NE(sim.lastReason().find(c.reason), std::string::npos) << sim.lastReason();
        EXPECT_EQ(plc.timeStamp, ts);
    }
    EXPECT_EQ(plc.peek(3, 0, 1), Bytes{0x11});
    EXPECT_EQ(plc.clockOffsetMs, 0);
    EXPECT_EQ(plc.served(plcsim::Service::WriteN), 0);
    EXPECT_EQ(plc.served(plcsim::Service::ReadN), 0);

    // A good request afterwards is answered and clears the reason.
    EXPECT_EQ(sim.answer(connectRq), connectAns);
    EXPECT_EQ(sim.lastReason(), "");
}

// --- scripted faults -------------------------------------------------------------------

TEST_F(Sim, EachFaultSpoilsOneAnswerTheWayTheServerChecks)
{
    plc.poke(3, 10, Bytes{1, 2, 3, 4});
    const Bytes readRq = readN({3, 10, 0, 4});
    const Bytes readAns = sim.answer(readRq);
    ASSERT_EQ(readAns.size(), 13u);

    struct Case {
        const char* name;
        Fault fault;
        const Bytes& request;
        std::function<void(const Bytes& got, const Bytes& good)> check;
    };
    const Case cases[] = {
        {"drop", Fault::Drop, connectRq, [](const Bytes& got, const Bytes&) { EXPECT_TRUE(got.empty()); }},
        {"checksum of a short frame", Fault::BadChecksum, connectRq,
         [](const Bytes& got, const Bytes& good) {
             ASSERT_EQ(got.size(), 6u);
             EXPECT_NE(got[4], sum8(got, 1, 3));
             EXPECT_EQ((Bytes{got[0], got[1], got[2], got[3], got[5]}),
                       (Bytes{good[0], good[1], good[2], good[3], good[5]}));
         }},
        {"checksum of a long frame", Fault::BadChecksum, readRq,
         [](const Bytes& got, const Bytes&) {
             ASSERT_EQ(got.size(), 13u);
             EXPECT_NE(got[11], sum8(got, 4, got[1]));
         }},
        {"address", Fault::WrongAddress, readRq,
         [](const Bytes& got, const Bytes&) {
             ASSERT_EQ(got.size(), 13u);
             EXPECT_EQ(got[4], kServer);
             EXPECT_EQ(got[5], kPlc + 1);
             EXPECT_EQ(got[11], sum8(got, 4, got[1]));  // only the address check fails
         }},
        {"length of a long frame", Fault::WrongLength, readRq,
         [](const Bytes& got, const Bytes& good) {
             ASSERT_EQ(got.size(), good.size() - 1);
             EXPECT_EQ(got[1], good[1] - 1);
             EXPECT_EQ(got[2], got[1]);
             EXPECT_EQ(got[got.size() - 2], sum8(got, 4, got[1]));
             EXPECT_EQ(got.back(), 0x16);
         }},
        {"length of a short frame", Fault::WrongLength, connectRq,
         [](const Bytes& got, const Bytes& good) { EXPECT_EQ(got, Bytes(good.begin(), good.end() - 1)); }},
        {"noise", Fault::Noise, connectRq,
         [this](const Bytes& got, const Bytes& good) {
             ASSERT_EQ(got.size(), sim.noise.size() + good.size());
             EXPECT_EQ(Bytes(got.begin() + static_cast<std::ptrdiff_t>(sim.noise.size()), got.end()), good);
             for (std::uint8_t b : sim.noise)  // the server must be able to skip it
                 EXPECT_TRUE(b != 0x10 && b != 0x68 && b != 0xE5);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim.addFault(c.fault);
        EXPECT_EQ(sim.pendingFaults(), 1u);
        const Bytes good = c.request == connectRq ? connectAns : readAns;
        c.check(sim.answer(c.request), good);
        EXPECT_EQ(sim.pendingFaults(), 0u);
        EXPECT_EQ(sim.answer(c.request), good);  // only the one answer
    }
}

TEST_F(Sim, AStaleTimeStampIsOlderThanTheLastOne)
{
    const Bytes tsRead = readN({2, 14, 0, 2, 3, 0, 0, 1});
    const std::uint16_t t1 = timeStampOf(sim.answer(tsRead));
    sim.addFault(Fault::StaleTimeStamp);
    // Answers that do not carry the time stamp leave the fault waiting.
    EXPECT_EQ(sim.answer(connectRq), connectAns);
    EXPECT_EQ(sim.answer(readN({3, 0, 0, 2})).size(), 11u);
    EXPECT_EQ(sim.pendingFaults(), 1u);
    const std::uint16_t stale = timeStampOf(sim.answer(tsRead));
    EXPECT_LT(stale, t1);
    EXPECT_EQ(sim.pendingFaults(), 0u);
    EXPECT_GT(timeStampOf(sim.answer(tsRead)), t1);
}

TEST_F(Sim, FaultsQueueAndWaitForAnAnswerTheyFit)
{
    sim.addFault(Fault::Drop, 2);
    sim.addFault(Fault::BadChecksum);
    EXPECT_EQ(sim.pendingFaults(), 3u);

    // A dropped write was still carried out: only its acknowledgement is lost.
    EXPECT_TRUE(sim.answer(writeN({3, 40, 0, 1, 0x5A})).empty());
    EXPECT_EQ(plc.peek(3, 40, 1), Bytes{0x5A});
    EXPECT_TRUE(sim.answer(connectRq).empty());
    // An acknowledgement has no checksum to spoil: it goes out whole and the fault waits.
    EXPECT_EQ(sim.answer(writeN({3, 40, 0, 1, 0x5B})), ack);
    EXPECT_EQ(sim.pendingFaults(), 1u);
    const Bytes spoilt = sim.answer(connectRq);
    ASSERT_EQ(spoilt.size(), 6u);
    EXPECT_NE(spoilt[4], connectAns[4]);
    EXPECT_EQ(sim.answer(connectRq), connectAns);

    sim.addFault(Fault::Noise, 3);
    sim.clearFaults();
    EXPECT_EQ(sim.answer(connectRq), connectAns);
}

// --- telegrams in a byte stream and in datagrams ----------------------------------------

TEST(FrameExtractor, FindsTelegramsInAStreamSkippingNoise)
{
    const Bytes read = readN({3, 10, 0, 4});
    struct Case {
        const char* name;
        std::vector<Bytes> chunks;
        std::vector<Bytes> telegrams;
    };
    const Case cases[] = {
        {"noise before", {{0x00, 0xFF, 0x3C}, connectRq}, {connectRq}},
        {"split over reads", {Bytes(read.begin(), read.begin() + 3), Bytes(read.begin() + 3, read.end())}, {read}},
        {"back to back", {[&] {
                              Bytes b = connectRq;
                              b.insert(b.end(), read.begin(), read.end());
                              b.push_back(0xE5);
                              return b;
                          }()},
         {connectRq, read, ack}},
        {"stray 0x68 before a frame", {[&] {
                                          Bytes b{0x68, 0x02};
                                          b.insert(b.end(), read.begin(), read.end());
                                          return b;
                                      }()},
         {read}},
        {"short frame without its end byte", {[&] {
                                                 Bytes b{0x10, 2, 0x7E, 0x69, 0xE9, 0x00};
                                                 b.insert(b.end(), connectRq.begin(), connectRq.end());
                                                 return b;
                                             }()},
         {connectRq}},
        {"a partial frame waits", {Bytes(read.begin(), read.end() - 1)}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plcsim::FrameExtractor x;
        std::vector<Bytes> got;
        for (const Bytes& chunk : c.chunks) {
            x.feed(chunk);
            while (auto t = x.next())
                got.push_back(*t);
        }
        EXPECT_EQ(got, c.telegrams);
    }
}

TEST(FrameExtractor, ResetDropsAPartialTelegram)
{
    plcsim::FrameExtractor x;
    x.feed(Bytes{0x68, 0x05, 0x05, 0x68, 0x02});
    EXPECT_FALSE(x.next());
    EXPECT_EQ(x.pending(), 5u);
    x.reset();
    x.feed(connectRq);
    EXPECT_EQ(x.next(), connectRq);
}

TEST_F(Sim, ADatagramIsAnsweredTelegramByTelegramUnderItsId)
{
    plc.poke(3, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    const Bytes r1 = readN({3, 0, 0, 3});
    const Bytes r2 = readN({3, 3, 0, 2});
    const Bytes r3 = readN({3, 5, 0, 1});
    Bytes dg{0x34, 0x12, 0x02, 0x00, 0x00, 42};  // three telegrams of 14 bytes
    for (const Bytes* r : {&r1, &r2, &r3})
        dg.insert(dg.end(), r->begin(), r->end());

    const Bytes a = sim.answerDatagram(dg);
    // Answers of 12, 11 and 10 bytes and one pad byte.
    ASSERT_EQ(a.size(), 6u + 33u + 1u);
    EXPECT_EQ((Bytes(a.begin(), a.begin() + 6)), (Bytes{0x34, 0x12, 0x02, 0x00, 0x00, 34}));
    EXPECT_EQ(dataOf(Bytes(a.begin() + 6, a.begin() + 18)), (Bytes{1, 2, 3}));
    EXPECT_EQ(dataOf(Bytes(a.begin() + 18, a.begin() + 29)), (Bytes{4, 5}));
    EXPECT_EQ(dataOf(Bytes(a.begin() + 29, a.begin() + 39)), (Bytes{6}));

    // The UDP connect with its seventh byte, padded to an even length.
    Bytes c{0x02, 0x00, 0x02, 0x00, 0x00, 0x08};
    c.insert(c.end(), connectRq.begin(), connectRq.end());
    c.push_back(0x00);
    c.push_back(0x00);
    EXPECT_EQ(sim.answerDatagram(c), (Bytes{0x02, 0x00, 0x02, 0x00, 0x00, 0x06, 0x10, 0x7E, 0x02, 0x08, 0x88, 0x16}));
}

TEST_F(Sim, MalformedOrPartlyUnansweredDatagramsGetNoAnswer)
{
    auto envelope = [](std::uint8_t b2, std::size_t lengthField, const Bytes& body) {
        Bytes d{0x01, 0x00, b2, 0x00, static_cast<std::uint8_t>(lengthField >> 8),
                static_cast<std::uint8_t>(lengthField & 0xFF)};
        d.insert(d.end(), body.begin(), body.end());
        return d;
    };
    Bytes two = connectRq;
    two.insert(two.end(), connectRq.begin(), connectRq.end());
    two[7] = 9;  // the second Connect goes to a bus address nobody has
    two[10] = static_cast<std::uint8_t>(9 + 0x7E + 0x69);
    struct Case {
        const char* name;
        Bytes datagram;
        const char* reason;
    };
    const Case cases[] = {
        {"too short", Bytes{0x01, 0x00, 0x02}, "malformed"},
        {"third byte not 2", envelope(3, 6, connectRq), "malformed"},
        {"length field wrong", envelope(2, 8, connectRq), "malformed"},
        {"odd length", envelope(2, 7, Bytes{0x10, 2, 0x7E, 0x69, 0xE9, 0x16, 0x00}), "malformed"},
        {"telegram cut", envelope(2, 4, Bytes(connectRq.begin(), connectRq.begin() + 4)), "malformed"},
        {"empty", envelope(2, 0, {}), "without telegrams"},
        {"second telegram unanswered", envelope(2, 12, two), "telegram 2: no station"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(sim.answerDatagram(c.datagram).empty());
        EXPECT_NE(sim.lastReason().find(c.reason), std::string::npos) << sim.lastReason();
    }
}

// --- commands ----------------------------------------------------------------------------

TEST_F(Sim, CommandsScriptFaultsAndReachMemory)
{
    int latency = -1;
    auto run = [&](const std::string& line) { return plcsim::runCommand(sim, line, [&](int ms) { latency = ms; }); };
    EXPECT_EQ(run("poke 2 R 10 1 2 0x0A"), "ok: 3 bytes");
    EXPECT_EQ(run("peek 2 R 10 3"), "01 02 0A");
    EXPECT_EQ(run("poke 2 M 65552 0xFF"), "ok: 1 bytes");
    EXPECT_EQ(plc.peek(0x81, 0x0010, 1), Bytes{0xFF});
    EXPECT_EQ(run("drop 2"), "ok: drop x2, 2 pending");
    EXPECT_EQ(run("noise"), "ok: noise x1, 3 pending");
    EXPECT_EQ(run("latency 250"), "ok: latency 250 ms");
    EXPECT_EQ(latency, 250);
    EXPECT_EQ(run("identity 2 KZ91   X"), "ok: identity 'KZ91   X      '");
    EXPECT_EQ(run("clear"), "ok: no faults pending");

    const char* const bad[] = {"poke 2 Q 1 1",     "peek 9 R 0 1", "poke 2 R 65535 1 2", "poke 2 R 0 256",
                               "drop x",           "drop 0",       "drop 1 2",           "latency -5",
                               "peek 2 R 0 0",     "bogus"};
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        EXPECT_EQ(run(line).rfind("error: ", 0), 0u) << run(line);
    }
    EXPECT_EQ(plc.peek(3, 65535, 1), Bytes{0});
    EXPECT_EQ(sim.pendingFaults(), 0u);
    EXPECT_EQ(plcsim::runCommand(sim, "latency 5", {}).rfind("error: ", 0), 0u);
}

// --- over real transports ----------------------------------------------------------------

using vxtest::waitUntil;

// The server's end of the line, opened the way a serial port is: raw, no controlling tty.
struct Line {
    int fd = -1;
    Bytes got;
    explicit Line(const std::string& path)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    ~Line()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void send(const Bytes& b) { ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    bool waitFor(std::size_t n)
    {
        return waitUntil([&] {
            std::uint8_t buf[256];
            ssize_t k;
            while ((k = ::read(fd, buf, sizeof buf)) > 0)
                got.insert(got.end(), buf, buf + k);
            return got.size() >= n;
        });
    }
};

TEST_F(Sim, ServesOverAPseudoTerminal)
{
    plcsim::PtyTransport pty(sim);
    pty.open();
    ASSERT_EQ(pty.slavePath().rfind("/dev/pts/", 0), 0u);
    Line line(pty.slavePath());
    ASSERT_GE(line.fd, 0);

    // Noise, then a request in two pieces.
    line.send({0x00, 0x33});
    line.send(Bytes(connectRq.begin(), connectRq.begin() + 2));
    line.send(Bytes(connectRq.begin() + 2, connectRq.end()));
    ASSERT_TRUE(line.waitFor(6));
    EXPECT_EQ(line.got, connectAns);

    // A write, then a read of what it wrote, with the scripted latency and a noise fault.
    line.got.clear();
    pty.setLatencyMs(80);
    sim.addFault(Fault::Noise);
    line.send(writeN({3, 8, 0, 2, 0xCA, 0xFE}));
    ASSERT_TRUE(line.waitFor(1));
    EXPECT_EQ(line.got, (Bytes{0x00, 0xFF, 0x3C, 0xE5}));
    line.got.clear();
    QElapsedTimer took;
    took.start();
    line.send(readN({3, 8, 0, 2}));
    ASSERT_TRUE(line.waitFor(11));
    EXPECT_GE(took.elapsed(), 80);
    EXPECT_EQ(dataOf(line.got), (Bytes{0xCA, 0xFE}));
    EXPECT_EQ(pty.requestsSeen(), 3u);
    EXPECT_EQ(pty.answersSent(), 3u);
}

TEST_F(Sim, ServesUdpDatagramsOnLoopback)
{
    plcsim::UdpTransport udp(sim);
    udp.listen(0);
    ASSERT_NE(udp.port(), 0);
    QUdpSocket client;
    ASSERT_TRUE(client.bind(QHostAddress::LocalHost, 0));
    Bytes dg{0xFF, 0xFF, 0x02, 0x00, 0x00, 0x08};
    dg.insert(dg.end(), connectRq.begin(), connectRq.end());
    dg.push_back(0x00);
    dg.push_back(0x00);
    client.writeDatagram(reinterpret_cast<const char*>(dg.data()), static_cast<qint64>(dg.size()),
                         QHostAddress::LocalHost, udp.port());
    ASSERT_TRUE(waitUntil([&] { return client.hasPendingDatagrams(); }));
    const QByteArray a = client.receiveDatagram().data();
    EXPECT_EQ(Bytes(a.begin(), a.end()), (Bytes{0xFF, 0xFF, 0x02, 0x00, 0x00, 0x06, 0x10, 0x7E, 0x02, 0x08, 0x88, 0x16}));
}

TEST_F(Sim, ServesBareTelegramsOverTcp)
{
    plcsim::TcpTransport tcp(sim);
    tcp.listen(0);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, tcp.port());
    ASSERT_TRUE(waitUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }));
    const Bytes rq = identRq;
    client.write(reinterpret_cast<const char*>(rq.data()), 3);
    ASSERT_TRUE(waitUntil([&] { return client.bytesToWrite() == 0; }));
    client.write(reinterpret_cast<const char*>(rq.data()) + 3, 3);
    ASSERT_TRUE(waitUntil([&] { return client.bytesAvailable() >= 27; }));
    const QByteArray a = client.readAll();
    EXPECT_EQ(dataOf(Bytes(a.begin(), a.end())).size(), 18u);

    tcp.dropConnections();
    ASSERT_TRUE(waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
}

}  // namespace

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
#include <optional>
#include <string>
#include <vector>

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
        {"fourth byte not 0", [&] {
             Bytes d = envelope(2, 6, connectRq);
             d[3] = 1;
             return d;
         }(),
         "malformed"},
        {"a byte that starts no telegram", envelope(2, 8, Bytes{0x33, 0x33, 0x10, 2, 0x7E, 0x69, 0xE9, 0x16}),
         "starts no telegram"},
        {"six telegrams", [&] {
             Bytes six;
             for (int i = 0; i < 6; ++i)
                 six.insert(six.end(), connectRq.begin(), connectRq.end());
             return envelope(2, six.size(), six);
         }(),
         "6 telegrams, more than 5"},
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


// --- datagrams, faults, records and several PLC addresses --------------------------------

// A request datagram built here from the description, not with the simulator's helper.
Bytes datagram(std::uint16_t id, const std::vector<Bytes>& telegrams, std::uint8_t pad = 0x00)
{
    Bytes body;
    for (const Bytes& t : telegrams)
        body.insert(body.end(), t.begin(), t.end());
    if (body.size() % 2 != 0)
        body.push_back(pad);
    const std::uint8_t head[] = {static_cast<std::uint8_t>(id & 0xFF), static_cast<std::uint8_t>(id >> 8), 2, 0,
                                 static_cast<std::uint8_t>(body.size() >> 8),
                                 static_cast<std::uint8_t>(body.size() & 0xFF)};
    body.insert(body.begin(), std::begin(head), std::end(head));
    return body;
}

Bytes udpConnect(std::uint8_t da = kPlc)
{
    return {0x10, da, kServer, 0x69, static_cast<std::uint8_t>((da + kServer + 0x69) % 256), 0x16, 0x00};
}

Bytes connectAnswer(std::uint8_t from = kPlc)
{
    return {0x10, kServer, from, 0x08, static_cast<std::uint8_t>((kServer + from + 0x08) % 256), 0x16};
}

// The Part's datagram: three ReadN of 4, 4 and 2 bytes; their answers are 13, 13 and 11 bytes.
const std::vector<Bytes> threeReads{readN({3, 0, 0, 4}), readN({3, 4, 0, 4}), readN({3, 8, 0, 2})};
const Bytes threeReadsAnswer{0x34, 0x12, 0x02, 0x00, 0x00, 0x26,                                       //
                             0x68, 7, 7, 0x68, 0x7E, 0x02, 0x08, 0x01, 0x02, 0x03, 0x04, 0x92, 0x16,  //
                             0x68, 7, 7, 0x68, 0x7E, 0x02, 0x08, 0x05, 0x06, 0x07, 0x08, 0xA2, 0x16,  //
                             0x68, 5, 5, 0x68, 0x7E, 0x02, 0x08, 0x09, 0x0A, 0x9B, 0x16,              //
                             0x00};

using PlcSimDatagram = Sim;

TEST_F(PlcSimDatagram, ThreeReadsAreAnsweredInOneDatagramOf44Bytes)
{
    plc.poke(3, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    const Bytes rq = datagram(0x1234, threeReads);
    ASSERT_EQ((Bytes(rq.begin(), rq.begin() + 6)), (Bytes{0x34, 0x12, 0x02, 0x00, 0x00, 0x2A}));
    const Bytes a = sim.answerDatagram(rq);
    EXPECT_EQ(a.size(), 44u);
    EXPECT_EQ(a, threeReadsAnswer);

    // Five telegrams are the most a datagram carries; a pad byte of any value is skipped.
    std::vector<Bytes> five(5, udpConnect());
    five.pop_back();
    five.push_back(connectRq);  // 4 x 7 + 6: odd, so padded
    const Bytes a5 = sim.answerDatagram(datagram(7, five, 0x10));
    ASSERT_EQ(a5.size(), 6u + 5 * 6u);
    EXPECT_EQ((Bytes(a5.begin(), a5.begin() + 6)), (Bytes{7, 0, 2, 0, 0, 30}));
    EXPECT_EQ(plc.served(plcsim::Service::Connect), 5);
}

TEST_F(PlcSimDatagram, TelegramFaultsHitOneTelegramOfADatagram)
{
    plc.poke(3, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    const Bytes rq = datagram(0x1234, threeReads);

    // A dropped answer leaves that telegram out; the others keep their order.
    sim.addFault(Fault::Drop);
    Bytes a = sim.answerDatagram(rq);
    ASSERT_EQ(a.size(), 6u + 13u + 11u);
    EXPECT_EQ((Bytes(a.begin(), a.begin() + 6)), (Bytes{0x34, 0x12, 2, 0, 0, 24}));
    EXPECT_EQ((Bytes(a.begin() + 6, a.end())), (Bytes(threeReadsAnswer.begin() + 19, threeReadsAnswer.end() - 1)));

    // A spoilt checksum spoils the first answer only.
    sim.addFault(Fault::BadChecksum);
    a = sim.answerDatagram(rq);
    ASSERT_EQ(a.size(), threeReadsAnswer.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_EQ(a[i] != threeReadsAnswer[i], i == 6 + 11) << "byte " << i;

    // Every answer dropped: no datagram at all.
    sim.addFault(Fault::Drop, 3);
    EXPECT_TRUE(sim.answerDatagram(rq).empty());
    EXPECT_NE(sim.lastReason().find("dropped"), std::string::npos);
    EXPECT_EQ(sim.answerDatagram(rq), threeReadsAnswer);
}

TEST(PlcSimFaultScript, QueuedFaultsWaitForARequestTheyFitAndRatesAreSeeded)
{
    enum class F { A, B };
    plcsim::FaultScript<F> script;
    auto any = [](F) { return true; };
    const std::vector<int> to2{2}, to3{3}, to23{2, 3};

    script.add(F::A, 2, {.station = 3});
    script.add(F::B, 1, {.ms = 7});
    EXPECT_EQ(script.pending(), 3u);
    EXPECT_FALSE(script.take(to2, any)) << "meant for station 3";
    EXPECT_EQ(script.take(to3, any)->fault, F::A);
    EXPECT_FALSE(script.take(to23, [](F f) { return f != F::A; })) << "does not fit: waits";
    EXPECT_EQ(script.take(to23, any)->fault, F::A);
    const auto b = script.take(to2, any);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->fault, F::B);
    EXPECT_EQ(b->params.ms, 7);
    EXPECT_EQ(script.pending(), 0u);
    EXPECT_FALSE(script.take(to2, any));

    // A rate strikes about its share of the requests, the same ones again after the same seed.
    auto run = [](plcsim::FaultScript<F>& s, std::uint32_t seed) {
        s.seed(seed);
        std::vector<bool> hits;
        for (int i = 0; i < 4000; ++i)
            hits.push_back(s.take(std::vector<int>{2}, [](F) { return true; }).has_value());
        return hits;
    };
    script.setRate(F::B, 0.25, {});
    const std::vector<bool> first = run(script, 9);
    const auto count = std::count(first.begin(), first.end(), true);
    EXPECT_GT(count, 800);
    EXPECT_LT(count, 1200);
    EXPECT_EQ(run(script, 9), first);
    EXPECT_NE(run(script, 10), first);

    // A queued fault goes first; rate 0 takes the rate away.
    script.add(F::A, 1, {});
    script.setRate(F::B, 1.0, {});
    EXPECT_EQ(script.take(to2, any)->fault, F::A);
    EXPECT_EQ(script.take(to2, any)->fault, F::B);
    script.setRate(F::B, 0, {});
    EXPECT_FALSE(script.take(to2, any));
}

// A raw client on 127.0.0.1, as the server's channel is.
struct UdpClient {
    QUdpSocket socket;
    UdpClient() { EXPECT_TRUE(socket.bind(QHostAddress("127.0.0.1"), 0)); }
    void send(const Bytes& d, const std::string& to, std::uint16_t port)
    {
        socket.writeDatagram(reinterpret_cast<const char*>(d.data()), static_cast<qint64>(d.size()),
                             QHostAddress(QString::fromStdString(to)), port);
    }
    std::optional<QNetworkDatagram> next()
    {
        if (!waitUntil([&] { return socket.hasPendingDatagrams(); }))
            return std::nullopt;
        return socket.receiveDatagram();
    }
    Bytes nextBytes()
    {
        const auto d = next();
        if (!d)
            return {};
        const QByteArray b = d->data();
        return Bytes(b.begin(), b.end());
    }
};

// Two PLC addresses on one port, each with its own stations: 2 and 3 at 127.0.0.2, 4 at
// 127.0.0.3.
struct PlcSimUdp : ::testing::Test {
    plcsim::Simulator simA, simB;
    plcsim::UdpTransport udpA{simA}, udpB{simB};
    UdpClient client;
    std::vector<std::string> log;

    PlcSimUdp()
    {
        simA.addStation(2).poke(3, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
        simA.addStation(3);
        simB.addStation(4);
        simA.onLog = [this](const std::string& line) { log.push_back(line); };
        udpA.listen(0, "127.0.0.2");
        udpB.listen(udpA.port(), "127.0.0.3");
    }
    Bytes ask(const Bytes& d, const std::string& to = "127.0.0.2")
    {
        client.send(d, to, udpA.port());
        return client.nextBytes();
    }
};

TEST_F(PlcSimUdp, SeveralAddressesShareOnePortEachWithItsStations)
{
    EXPECT_EQ(udpA.address(), "127.0.0.2");
    EXPECT_EQ(udpB.port(), udpA.port());

    client.send(datagram(0x1234, threeReads), "127.0.0.2", udpA.port());
    const auto a = client.next();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->senderAddress(), QHostAddress("127.0.0.2"));
    EXPECT_EQ(a->senderPort(), udpA.port());  // the same number at both ends
    const QByteArray aData = a->data();
    EXPECT_EQ(Bytes(aData.begin(), aData.end()), threeReadsAnswer);

    client.send(datagram(3, {udpConnect(4)}), "127.0.0.3", udpA.port());
    const auto b = client.next();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->senderAddress(), QHostAddress("127.0.0.3"));
    const QByteArray bData = b->data();
    ASSERT_EQ(bData.size(), 12);
    EXPECT_EQ(Bytes(bData.begin() + 6, bData.end()), connectAnswer(4));

    // Station 4 lives at 127.0.0.3 only, and 2 at 127.0.0.2 only.
    client.send(datagram(4, {udpConnect(4)}), "127.0.0.2", udpA.port());
    EXPECT_EQ(ask(datagram(5, {udpConnect(2)})).at(0), 5);
    ASSERT_EQ(udpA.received().size(), 3u);
    EXPECT_NE(udpA.received()[1].refused.find("no station at bus address 4"), std::string::npos);
    EXPECT_EQ(udpB.datagramsReceived(), 1u);
    EXPECT_EQ(simB.station(4)->served(plcsim::Service::Connect), 1);

    plcsim::Simulator other;
    plcsim::UdpTransport again{other};
    EXPECT_THROW(again.listen(udpA.port(), "127.0.0.2"), std::runtime_error) << "not shared";
    EXPECT_THROW(again.listen(0, "192.168.1.10"), std::invalid_argument);
    EXPECT_THROW(again.listen(0, "0.0.0.0"), std::invalid_argument);
    EXPECT_THROW(again.listen(0, "localhost"), std::invalid_argument);
}

TEST_F(PlcSimUdp, RefusedDatagramsGetNoAnswerAndTheReasonIsLogged)
{
    std::vector<Bytes> six(6, udpConnect());
    Bytes badHeader = datagram(9, {udpConnect()});
    badHeader[2] = 3;
    Bytes badLength = datagram(10, {udpConnect()});
    badLength[5] += 2;
    const struct {
        const char* name;
        Bytes datagram;
        const char* reason;
    } cases[] = {
        {"six telegrams", datagram(8, six), "6 telegrams, more than 5"},
        {"third byte 3", badHeader, "header bytes 2 and 3"},
        {"length field off", badLength, "length field"},
        {"under six bytes", Bytes{1, 0, 2, 0}, "shorter than its header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        client.send(c.datagram, "127.0.0.2", udpA.port());
        // Answers go in order: the next good datagram's answer comes first, so none came.
        EXPECT_EQ(ask(datagram(0x0777, {udpConnect()})).at(0), 0x77);
        const plcsim::DatagramSeen& seen = udpA.received().at(udpA.received().size() - 2);
        EXPECT_NE(seen.refused.find(c.reason), std::string::npos) << seen.refused;
        EXPECT_EQ(seen.answers, 0);
        ASSERT_FALSE(log.empty());
        EXPECT_NE(log.front().find(c.reason), std::string::npos) << log.front();
    }
    EXPECT_EQ(udpA.datagramsRefused(), 4u);
    EXPECT_EQ(simA.station(2)->served(plcsim::Service::Connect), 4) << "the six were not served";
}

TEST_F(PlcSimUdp, EachDatagramFaultSpoilsOneAnswer)
{
    const Bytes rq = datagram(0x1234, threeReads);
    auto first = [](std::size_t n) {
        return Bytes(threeReadsAnswer.begin(), threeReadsAnswer.begin() + static_cast<std::ptrdiff_t>(n));
    };
    const struct {
        const char* name;
        plcsim::DatagramFault fault;
        plcsim::FaultParams params;
        Bytes expected;
    } cases[] = {
        {"wrong Id", plcsim::DatagramFault::WrongId, {}, [] {
             Bytes b = threeReadsAnswer;
             b[1] ^= 0x80;
             return b;
         }()},
        {"chosen wrong Id", plcsim::DatagramFault::WrongId, {.value = 0xBEEF}, [] {
             Bytes b = threeReadsAnswer;
             b[0] = 0xEF;
             b[1] = 0xBE;
             return b;
         }()},
        {"cut by 5 bytes", plcsim::DatagramFault::Cut, {.bytes = 5}, first(threeReadsAnswer.size() - 5)},
        {"cut by half", plcsim::DatagramFault::Cut, {}, first(6 + 19)},
        {"cut past the header", plcsim::DatagramFault::Cut, {.bytes = 500}, first(6)},
        {"under six bytes", plcsim::DatagramFault::Short, {}, first(4)},
        {"one byte", plcsim::DatagramFault::Short, {.bytes = 1}, Bytes{0x34}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        udpA.addFault(c.fault, 1, c.params);
        EXPECT_EQ(ask(rq), c.expected);
        EXPECT_EQ(udpA.received().back().fault, c.fault);
        EXPECT_EQ(ask(rq), threeReadsAnswer) << "only the one answer";
    }

    // Dropped: the request is served, and the next datagram's answer is the first to come.
    udpA.addFault(plcsim::DatagramFault::Drop);
    client.send(datagram(0x0101, {writeN({3, 40, 0, 1, 0x5A})}), "127.0.0.2", udpA.port());
    EXPECT_EQ(ask(datagram(0x0202, {udpConnect()})).at(0), 0x02);
    EXPECT_EQ(simA.station(2)->peek(3, 40, 1), Bytes{0x5A});
    EXPECT_EQ(udpA.received().at(udpA.received().size() - 2).answers, 0);

    // Twice: the copy, byte for byte, after the first.
    udpA.addFault(plcsim::DatagramFault::Duplicate, 1, {.ms = 20});
    EXPECT_EQ(ask(rq), threeReadsAnswer);
    EXPECT_EQ(client.nextBytes(), threeReadsAnswer);
    EXPECT_EQ(udpA.received().back().answers, 2);

    // Late: the answer leaves after the given time; one for another station meanwhile does not wait.
    udpA.addFault(plcsim::DatagramFault::Late, 1, {.ms = 300, .station = 2});
    QElapsedTimer took;
    took.start();
    client.send(rq, "127.0.0.2", udpA.port());
    EXPECT_EQ(ask(datagram(0x0303, {udpConnect(3)})).at(0), 0x03);
    EXPECT_EQ(client.nextBytes(), threeReadsAnswer);
    EXPECT_GE(took.elapsed(), 300);
    const plcsim::DatagramSeen& late = udpA.received().at(udpA.received().size() - 2);
    EXPECT_GE(late.answeredUs - late.receivedUs, 300'000);
    EXPECT_EQ(udpA.pendingFaults(), 0u);
}

TEST_F(PlcSimUdp, AFaultRateStrikesOnlyItsStation)
{
    udpA.setFaultRate(plcsim::DatagramFault::Drop, 1.0, {.station = 3});
    for (int i = 0; i < 5; ++i)
        client.send(datagram(static_cast<std::uint16_t>(0x100 + i), {udpConnect(3)}), "127.0.0.2", udpA.port());
    EXPECT_EQ(ask(datagram(0x0200, {udpConnect(2)})).at(1), 0x02);
    EXPECT_EQ(udpA.answersSent(), 1u);
    EXPECT_EQ(simA.station(3)->served(plcsim::Service::Connect), 5);
    udpA.clearFaults();
    EXPECT_EQ(ask(datagram(0x0300, {udpConnect(3)})).at(1), 0x03);
}

TEST_F(PlcSimUdp, TheRecordTellsWhatCameInAndWhatWasInFlight)
{
    // A datagram of two stations' reads and one of Connects; answers held back 150 ms.
    udpA.setLatencyMs(150);
    const Bytes readsOf2and3 = datagram(0x0010, {readN({3, 0, 0, 2}), readN({3, 0, 0, 2}, 3)});
    const Bytes connectOf2 = datagram(0x0011, {udpConnect(2)});
    const Bytes connectOf3 = datagram(0x0012, {udpConnect(3)});
    const std::int64_t before = plcsim::steadyMicros();
    client.send(readsOf2and3, "127.0.0.2", udpA.port());
    client.send(connectOf3, "127.0.0.2", udpA.port());  // station 3 again, its first answer not out
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(client.nextBytes().empty());

    const auto& r = udpA.received();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].id, 0x0010);
    EXPECT_EQ(r[0].bytes, readsOf2and3.size());
    ASSERT_EQ(r[0].telegrams.size(), 2u);
    EXPECT_EQ(r[0].telegrams[0].service, plcsim::Service::ReadN);
    EXPECT_EQ(r[0].telegrams[1].station, 3);
    EXPECT_TRUE(r[0].oneKind());
    EXPECT_EQ(r[0].stations(), (std::set<int>{2, 3}));
    EXPECT_TRUE(r[1].carries(3));
    EXPECT_FALSE(r[1].carries(2));
    EXPECT_GE(r[0].receivedUs, before);
    EXPECT_LE(r[0].receivedUs, r[1].receivedUs);
    EXPECT_GE(r[0].answeredUs - r[0].receivedUs, 150'000);
    EXPECT_EQ(r[1].answers, 1);
    EXPECT_EQ(udpA.peakInFlight(3), 2u);
    EXPECT_EQ(udpA.peakInFlight(2), 1u);
    EXPECT_EQ(udpA.peakInFlight(), 2u);

    // One datagram per station at a time: the peak stays at 1.
    udpA.clearRecord();
    client.send(connectOf2, "127.0.0.2", udpA.port());
    client.send(connectOf3, "127.0.0.2", udpA.port());
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(client.nextBytes().empty());
    EXPECT_EQ(udpA.peakInFlight(), 1u);
    EXPECT_EQ(udpA.received().size(), 2u);
    EXPECT_EQ(udpA.datagramsReceived(), 4u);

    // A mixed datagram is answered but shows in the record; the record keeps the newest.
    udpA.setLatencyMs(0);
    udpA.setRecordLimit(1);
    EXPECT_FALSE(ask(datagram(0x0020, {udpConnect(2), readN({3, 0, 0, 2})})).empty());
    ASSERT_EQ(udpA.received().size(), 1u);
    EXPECT_EQ(udpA.received().back().id, 0x0020);
    EXPECT_FALSE(udpA.received().back().oneKind());
}

TEST_F(PlcSimUdp, AFloodIsReadInBatchesAndEveryDatagramIsAnswered)
{
    // More than one read batch waits at once (and less than the socket buffers hold, since
    // client and simulator share this thread): what a batch leaves must bring the next.
    constexpr int flood = 150;
    for (int i = 0; i < flood; ++i)
        client.send(datagram(static_cast<std::uint16_t>(i), {udpConnect(2 + i % 2)}), "127.0.0.2", udpA.port());
    int answered = 0;
    ASSERT_TRUE(waitUntil([&] {
        while (client.socket.hasPendingDatagrams()) {
            client.socket.receiveDatagram();
            ++answered;
        }
        return answered == flood;
    })) << answered;
    EXPECT_EQ(udpA.datagramsReceived(), static_cast<std::size_t>(flood));
    // Answered at once, each before the next was read.
    EXPECT_EQ(udpA.peakInFlight(), 1u);
    // And the socket still hears the next ones.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(ask(datagram(static_cast<std::uint16_t>(0x1000 + i), {udpConnect()})).size(), 12u) << i;
}

// --- TCP ---------------------------------------------------------------------------------

struct TcpClient {
    QTcpSocket socket;
    Bytes got;
    bool connectTo(const std::string& address, std::uint16_t port)
    {
        socket.connectToHost(QHostAddress(QString::fromStdString(address)), port);
        return waitUntil([&] {
            const auto st = socket.state();
            return st == QAbstractSocket::ConnectedState || st == QAbstractSocket::UnconnectedState;
        }) && socket.state() == QAbstractSocket::ConnectedState;
    }
    void send(const Bytes& b) { socket.write(reinterpret_cast<const char*>(b.data()), static_cast<qint64>(b.size())); }
    // Reads until n bytes have come; one read's worth is appended to chunks.
    bool waitFor(std::size_t n, std::vector<std::size_t>* chunks = nullptr)
    {
        return waitUntil([&] {
            const QByteArray b = socket.readAll();
            if (!b.isEmpty()) {
                got.insert(got.end(), b.begin(), b.end());
                if (chunks)
                    chunks->push_back(static_cast<std::size_t>(b.size()));
            }
            return got.size() >= n;
        });
    }
};

struct PlcSimTcp : ::testing::Test {
    plcsim::Simulator simA, simB;
    plcsim::TcpTransport tcpA{simA}, tcpB{simB};

    PlcSimTcp()
    {
        simA.addStation(2).poke(3, 0, Bytes{1, 2, 3, 4});
        simB.addStation(4);
        tcpA.listen(0, "127.0.0.2");
        tcpB.listen(tcpA.port(), "127.0.0.3");
    }
};

TEST_F(PlcSimTcp, SeveralAddressesShareOnePortEachWithItsStations)
{
    TcpClient a, b;
    ASSERT_TRUE(a.connectTo("127.0.0.2", tcpA.port()));
    ASSERT_TRUE(b.connectTo("127.0.0.3", tcpA.port()));
    a.send(connectRq);
    Bytes connect4 = udpConnect(4);
    connect4.pop_back();  // no seventh byte on TCP
    b.send(connect4);
    ASSERT_TRUE(a.waitFor(6));
    ASSERT_TRUE(b.waitFor(6));
    EXPECT_EQ(a.got, connectAnswer(2));
    EXPECT_EQ(b.got, connectAnswer(4));
    EXPECT_EQ(tcpB.received().at(0).telegram.station, 4);
    EXPECT_THROW(tcpA.listen(0, "10.1.2.3"), std::invalid_argument);
    EXPECT_TRUE(tcpA.listening()) << "a refused address changes nothing";
}

TEST_F(PlcSimTcp, ASplitAnswerArrivesInTwoReads)
{
    TcpClient c;
    ASSERT_TRUE(c.connectTo("127.0.0.2", tcpA.port()));
    tcpA.addFault(plcsim::StreamFault::Split, 1, {.ms = 200, .bytes = 5});
    c.send(readN({3, 0, 0, 4}));
    std::vector<std::size_t> chunks;
    ASSERT_TRUE(c.waitFor(13, &chunks));
    EXPECT_EQ(chunks, (std::vector<std::size_t>{5, 8}));
    EXPECT_EQ(dataOf(c.got), (Bytes{1, 2, 3, 4}));
    const plcsim::RequestSeen& r = tcpA.received().back();
    EXPECT_EQ(r.fault, plcsim::StreamFault::Split);
    EXPECT_GE(r.answeredUs - r.receivedUs, 200'000);

    // An acknowledgement cannot be split: the fault waits for the next longer answer.
    tcpA.addFault(plcsim::StreamFault::Split, 1, {.ms = 100});
    c.got.clear();
    c.send(writeN({3, 9, 0, 1, 0x42}));
    ASSERT_TRUE(c.waitFor(1));
    EXPECT_EQ(c.got, ack);
    EXPECT_EQ(tcpA.pendingFaults(), 1u);
    c.got.clear();
    chunks.clear();
    c.send(connectRq);
    ASSERT_TRUE(c.waitFor(6, &chunks));
    EXPECT_EQ(chunks, (std::vector<std::size_t>{3, 3}));
}

TEST_F(PlcSimTcp, AStrayByteGoesBeforeTheAnswer)
{
    TcpClient c;
    ASSERT_TRUE(c.connectTo("127.0.0.2", tcpA.port()));
    tcpA.addFault(plcsim::StreamFault::Stray);
    tcpA.addFault(plcsim::StreamFault::Stray, 1, {.value = 0xE5});
    c.send(connectRq);
    ASSERT_TRUE(c.waitFor(7));
    c.send(connectRq);
    ASSERT_TRUE(c.waitFor(14));
    Bytes expected{0x00};
    expected.insert(expected.end(), connectAns.begin(), connectAns.end());
    expected.push_back(0xE5);
    expected.insert(expected.end(), connectAns.begin(), connectAns.end());
    EXPECT_EQ(c.got, expected);
}

TEST_F(PlcSimTcp, TheConnectionClosesAfterNRequests)
{
    TcpClient c;
    ASSERT_TRUE(c.connectTo("127.0.0.2", tcpA.port()));
    tcpA.closeAfter(2);
    c.send(connectRq);
    ASSERT_TRUE(c.waitFor(6));
    c.send(identRq);
    ASSERT_TRUE(c.waitFor(6 + 27)) << "the last request is answered before the close";
    ASSERT_TRUE(waitUntil([&] { return c.socket.state() == QAbstractSocket::UnconnectedState; }));
    ASSERT_TRUE(waitUntil([&] { return tcpA.openConnections() == 0; }));
    ASSERT_EQ(tcpA.received().size(), 2u);
    EXPECT_FALSE(tcpA.received()[0].closedAfter);
    EXPECT_TRUE(tcpA.received()[1].closedAfter);
    EXPECT_EQ(tcpA.received()[1].telegram.service, plcsim::Service::Ident);

    // A new connection is served and stays open.
    TcpClient d;
    ASSERT_TRUE(d.connectTo("127.0.0.2", tcpA.port()));
    for (int i = 1; i <= 3; ++i) {
        d.send(connectRq);
        ASSERT_TRUE(d.waitFor(6u * static_cast<std::size_t>(i)));
    }
    EXPECT_EQ(d.socket.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(tcpA.received().back().connection, 1);
    EXPECT_EQ(tcpA.connectionsAccepted(), 2);
}

TEST_F(PlcSimTcp, ConnectionsAreRefusedUntilItListensAgain)
{
    TcpClient open;
    ASSERT_TRUE(open.connectTo("127.0.0.2", tcpA.port()));
    ASSERT_TRUE(waitUntil([&] { return tcpA.openConnections() == 1; }));
    tcpA.refuseConnections();
    EXPECT_FALSE(tcpA.listening());
    ASSERT_TRUE(waitUntil([&] { return open.socket.state() == QAbstractSocket::UnconnectedState; }));

    TcpClient refused;
    EXPECT_FALSE(refused.connectTo("127.0.0.2", tcpA.port()));
    EXPECT_EQ(refused.socket.error(), QAbstractSocket::ConnectionRefusedError);
    TcpClient other;  // the other address still listens
    EXPECT_TRUE(other.connectTo("127.0.0.3", tcpA.port()));

    tcpA.listenAgain();
    EXPECT_TRUE(tcpA.listening());
    TcpClient back;
    ASSERT_TRUE(back.connectTo("127.0.0.2", tcpA.port()));
    back.send(connectRq);
    ASSERT_TRUE(back.waitFor(6));
    EXPECT_EQ(back.got, connectAns);

    // Refusing new ones can keep the open ones.
    tcpA.refuseConnections(true);
    back.got.clear();
    back.send(connectRq);
    ASSERT_TRUE(back.waitFor(6));
    EXPECT_EQ(tcpA.openConnections(), 1u);
}

// --- commands for several addresses ------------------------------------------------------

TEST(PlcSimCommands, TheAddressPrefixPicksThePlcAndItsTransports)
{
    plcsim::Simulator simA, simB;
    simA.addStation(2);
    simB.addStation(2);
    plcsim::UdpTransport udpA{simA};
    plcsim::TcpTransport tcpB{simB};
    tcpB.listen(0, "127.0.0.3");
    int latency = -1;
    const std::vector<plcsim::Target> targets{
        {"127.0.0.2", &simA, &udpA, nullptr, [&](int ms) { latency = ms; }},
        {"127.0.0.3", &simB, nullptr, &tcpB, {}},
    };
    auto run = [&](const std::string& line) { return plcsim::runCommand(targets, line); };

    EXPECT_EQ(run("poke 2 R 0 7"), "ok: 1 bytes");
    EXPECT_EQ(run("@127.0.0.3 poke 2 R 0 9"), "ok: 1 bytes");
    EXPECT_EQ(simA.station(2)->peek(3, 0, 1), Bytes{7});
    EXPECT_EQ(simB.station(2)->peek(3, 0, 1), Bytes{9});
    EXPECT_EQ(run("@127.0.0.3 identity 2 AB CD"), "ok: identity 'AB CD         '");
    EXPECT_EQ(run("latency 40"), "ok: latency 40 ms");
    EXPECT_EQ(latency, 40);

    EXPECT_EQ(run("udp late 2 ms=300 station=3"), "ok: udp late x2, 2 pending");
    EXPECT_EQ(run("udp cut bytes=4"), "ok: udp cut x1, 3 pending");
    EXPECT_EQ(run("udp rate drop 0.25"), "ok: udp drop at rate 0.25");
    EXPECT_EQ(run("udp record"), "datagrams 0, unanswered 0, answers sent 0, most in flight for one station 0");
    EXPECT_EQ(run("udp clear"), "ok: no datagram faults");
    EXPECT_EQ(udpA.pendingFaults(), 0u);
    EXPECT_EQ(run("@127.0.0.3 tcp split ms=80 bytes=3"), "ok: tcp split x1, 1 pending");
    EXPECT_EQ(run("@127.0.0.3 tcp close 3"), "ok: closing after 3 requests");
    EXPECT_EQ(run("@127.0.0.3 tcp refuse"), "ok: refusing connections");
    EXPECT_FALSE(tcpB.listening());
    EXPECT_EQ(run("@127.0.0.3 tcp record"), "requests 0, answers sent 0, connections 0 (0 open), refusing");
    EXPECT_EQ(run("@127.0.0.3 tcp listen"), "ok: listening on 127.0.0.3:" + std::to_string(tcpB.port()));
    EXPECT_TRUE(tcpB.listening());

    const char* const bad[] = {"@127.0.0.9 drop",       "@127.0.0.3",        "tcp refuse",        "@127.0.0.3 udp drop",
                               "udp rate drop 1.5",     "udp rate bogus 0.1", "udp late ms=x",     "udp late 2 3",
                               "udp late color=red",    "udp drop 0",        "@127.0.0.3 tcp close", "udp"};
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        EXPECT_EQ(run(line).rfind("error: ", 0), 0u) << run(line);
    }
    EXPECT_EQ(udpA.pendingFaults(), 0u);
    EXPECT_EQ(tcpB.pendingFaults(), 1u);
}

}  // namespace

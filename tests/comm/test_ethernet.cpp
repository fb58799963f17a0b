// The datagram unit and its lists as bytes and values: the datagram layout, the Id counter,
// address parsing, and how queued requests are packed into datagrams.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "comm/vx_ethernet.h"
#include "comm/vx_udp.h"
#include "fake_udp.h"
#include "platform/port/udp.h"

namespace {

using udptest::Bytes;
using udptest::UdpTest;
using vx::TEthPacket;
using vx::TPacket;
using vx::TStation;

// A request whose frame is already built: `length` bytes counting up from `first`.
std::unique_ptr<TPacket> builtFrame(TStation* st, int length, std::uint8_t first, int answerLength = 9)
{
    auto p = std::make_unique<TPacket>(vx::pkReadN, st);
    for (int i = 0; i < length; ++i)
        p->Frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(first + i);
    p->FrameLength = static_cast<std::uint16_t>(length);
    p->AnswerLength = answerLength;
    p->LogDirection = 1;
    return p;
}

using EthernetBytes = UdpTest;

TEST_F(EthernetBytes, ThreeTelegramsMakeOneDatagramWithHeaderAndPad)
{
    TStation* st = station(2);
    TEthPacket::SetLastId(0x1233);
    TEthPacket unit(vx::UdpSocket);
    ASSERT_EQ(unit.Id, 0x1234u);
    unit.AddFrame(builtFrame(st, 13, 0x10));
    unit.AddFrame(builtFrame(st, 13, 0x40));
    unit.AddFrame(builtFrame(st, 11, 0x80));
    ASSERT_TRUE(unit.BuildDatagram());

    Bytes expected{0x34, 0x12, 0x02, 0x00, 0x00, 0x26};
    for (auto [n, first] : {std::pair{13, 0x10}, {13, 0x40}, {11, 0x80}})
        for (int i = 0; i < n; ++i)
            expected.push_back(static_cast<std::uint8_t>(first + i));
    expected.push_back(0x00);  // pad
    EXPECT_EQ(unit.Length, 44);
    EXPECT_EQ(Bytes(unit.Data().begin(), unit.Data().end()), expected);
    EXPECT_EQ(unit.Status, TEthPacket::stBuilt);
    EXPECT_EQ(unit.ExpectedAnswerLength(), 3 * 9 + 7);
}

TEST_F(EthernetBytes, AnEvenTotalGetsNoPadAndARawUnitIsItsBareFrame)
{
    TStation* st = station(2);
    TEthPacket even(vx::UdpSocket);
    even.AddFrame(builtFrame(st, 14, 0x20));
    ASSERT_TRUE(even.BuildDatagram());
    EXPECT_EQ(even.Length, 20);
    EXPECT_EQ(even.Bytes[4], 0x00);
    EXPECT_EQ(even.Bytes[5], 14);

    TEthPacket raw(vx::UdpSocket, true);
    raw.AddFrame(builtFrame(st, 13, 0x30));
    ASSERT_TRUE(raw.BuildDatagram());
    Bytes frame(13);
    std::iota(frame.begin(), frame.end(), std::uint8_t{0x30});
    EXPECT_EQ(Bytes(raw.Data().begin(), raw.Data().end()), frame);
    EXPECT_EQ(raw.Length, 13);
}

TEST_F(EthernetBytes, RealTelegramsAreReadBackByThePlcSide)
{
    TStation* st = station(2);
    TStation* other = station(3);
    TEthPacket unit(vx::UdpSocket);
    unit.AddFrame(std::make_unique<TPacket>(vx::pkConnect, st));
    unit.AddFrame(std::make_unique<TPacket>(vx::pkConnect, other));
    ASSERT_TRUE(unit.BuildDatagram());
    const auto telegrams = udptest::telegramsOf(unit.Bytes);
    ASSERT_EQ(telegrams.size(), 2u);
    EXPECT_EQ(telegrams[0], (Bytes{0x10, 0x02, 0x7E, 0x69, 0xE9, 0x16, 0x00})) << "a UDP Connect carries a pad byte";
    EXPECT_EQ(udptest::destinationOf(telegrams[1]), 3);
}

TEST_F(EthernetBytes, IdsCountFromTwoWrapAfter65535AndSkipThoseAwaitingAnAnswer)
{
    TEthPacket::SetLastId(1);
    EXPECT_EQ(TEthPacket(nullptr).Id, 2u) << "the first Id";
    TEthPacket::SetLastId(65534);
    EXPECT_EQ(TEthPacket(nullptr).Id, 65535u);
    EXPECT_EQ(TEthPacket(nullptr).Id, 0u);
    EXPECT_EQ(TEthPacket(nullptr).Id, 1u);

    // Ids 7 and 8 still await their answers on the channel.
    TStation* st = station(2);
    TEthPacket::SetLastId(6);
    for (int i = 0; i < 2; ++i) {
        auto inFlight = std::make_unique<TEthPacket>(vx::UdpSocket);
        inFlight->AddFrame(builtFrame(st, 14, 0x20));
        vx::UdpSocket->SentPackets.AddSent(std::move(inFlight));
    }
    TEthPacket::SetLastId(6);
    EXPECT_EQ(TEthPacket(vx::UdpSocket).Id, 9u);

    // A unit that took its Id before an equal one went out takes a fresh one when built.
    TEthPacket::SetLastId(9);
    TEthPacket late(vx::UdpSocket);
    ASSERT_EQ(late.Id, 10u);
    auto same = std::make_unique<TEthPacket>(vx::UdpSocket);
    same->Id = 10;
    same->AddFrame(builtFrame(st, 14, 0x20));
    vx::UdpSocket->SentPackets.AddSent(std::move(same));
    late.AddFrame(builtFrame(st, 14, 0x20));
    ASSERT_TRUE(late.BuildDatagram());
    EXPECT_NE(late.Id, 10u);
    EXPECT_EQ(late.Bytes[0] | late.Bytes[1] << 8, static_cast<int>(late.Id));
}

TEST(StrToIP, ReadsFourDecimalFields)
{
    struct Case {
        const char* text;
        bool ok;
        vx::TIpAddress ip;
    } cases[] = {
        {"192.168.1.10", true, {192, 168, 1, 10}},
        {"192.168.1", false, {}},
        {"10.0.0.300", true, {10, 0, 0, 44}},
        {"1.2.3.4.5", true, {1, 2, 3, 4}},
        {"1.2.3.4.plc", true, {1, 2, 3, 4}},
        {"  10.1.2.3 ", true, {10, 1, 2, 3}},
        {"-1.+2.3.4", true, {255, 2, 3, 4}},
        {"2147483647.0.0.1", true, {255, 0, 0, 1}},
        {"1.2.3.4294967296", false, {}},
        {"2147483648.0.0.1", false, {}},
        {"plc.example.com", false, {}},
        {"localhost", false, {}},
        {"1..2.3", false, {}},
        {"1.2.3.", false, {}},
        {"1.2 .3.4", false, {}},
        {"0x10.1.1.1", false, {}},
        {"", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        vx::TIpAddress ip{9, 9, 9, 9};
        EXPECT_EQ(plat::mxUDPSocket::StrToIP(c.text, ip), c.ok);
        const vx::TIpAddress untouched{9, 9, 9, 9};
        EXPECT_EQ(ip, c.ok ? c.ip : untouched) << "untouched on failure";
    }
}

// Packing, seen from the PLC side: the datagrams that reach each address.
struct Packing : UdpTest {
    void SetUp() override
    {
        UdpTest::SetUp();
        vx::CommServer->Running = true;
        vx::UdpSocket->Udp->SetActive(true);
    }
    std::unique_ptr<TPacket> read(TStation* st, int address)
    {
        auto p = std::make_unique<TPacket>(vx::pkReadN, st);
        EXPECT_TRUE(p->AddVariable(variable(st, VT_UI2, 3, address)));
        return p;
    }
    std::vector<std::vector<int>> kindsSent() const
    {
        std::vector<std::vector<int>> out;
        for (const auto& s : udp->sent) {
            std::vector<int> kinds;
            for (const Bytes& t : udptest::telegramsOf(s.data))
                kinds.push_back(udptest::serviceOf(t));
            out.push_back(kinds);
        }
        return out;
    }
};

TEST_F(Packing, FiveTelegramsOfOneKindToOneAddressPerDatagram)
{
    TStation* a = station(2);
    TStation* b = station(3);
    a->SetState(vx::ssConnected);
    b->SetState(vx::ssConnected);
    auto& q = vx::UdpSocket->ReadQueue;
    for (int i = 0; i < 3; ++i)
        q.AddPacket(read(a, 10 * i), false);
    for (int i = 0; i < 3; ++i)
        q.AddPacket(read(b, 10 * i), false);
    EXPECT_TRUE(vx::UdpSocket->SendQueue(q));
    EXPECT_TRUE(q.empty()) << "every packet is packed in one go";
    ASSERT_EQ(udp->sent.size(), 1u) << "the sixth telegram starts a datagram that waits: both stations are busy";
    EXPECT_EQ(udptest::telegramsOf(udp->sent[0].data).size(), 5u);
    ASSERT_EQ(vx::UdpSocket->Outgoing.size(), 1u);
    EXPECT_EQ(vx::UdpSocket->Outgoing[0]->FrameCount(), 1u);
    EXPECT_TRUE(a->BusyInDatagram);
    EXPECT_TRUE(b->BusyInDatagram);
}

TEST_F(Packing, KindsAndAddressesGoApart)
{
    TStation* a = station(2, "127.0.0.2");
    TStation* b = station(3, "127.0.0.3");
    TStation* c = station(4, "127.0.0.2");
    a->SetState(vx::ssConnected);
    b->SetState(vx::ssConnected);
    auto& q = vx::UdpSocket->ReadQueue;
    q.AddPacket(std::make_unique<TPacket>(vx::pkConnect, c), false);
    q.AddPacket(read(a, 10), false);
    q.AddPacket(read(b, 10), false);
    EXPECT_TRUE(vx::UdpSocket->SendQueue(q));
    ASSERT_EQ(udp->sent.size(), 3u);
    EXPECT_EQ(kindsSent(), (std::vector<std::vector<int>>{{udptest::kConnect}, {udptest::kReadN}, {udptest::kReadN}}));
    EXPECT_EQ(udp->sent[0].ip, (vx::TIpAddress{127, 0, 0, 2}));
    EXPECT_EQ(udp->sent[1].ip, (vx::TIpAddress{127, 0, 0, 2}));
    EXPECT_EQ(udp->sent[2].ip, (vx::TIpAddress{127, 0, 0, 3}));
    EXPECT_EQ(vx::UdpSocket->SentPackets.size(), 3u);
    EXPECT_TRUE(vx::UdpSocket->Outgoing.empty());
}

TEST_F(Packing, ADatagramLogLineAndEachTelegramWhenSent)
{
    TStation* a = station(2);
    a->SetState(vx::ssConnected);
    TEthPacket::SetLastId(40);
    auto& q = vx::UdpSocket->ReadQueue;
    q.AddPacket(read(a, 10), false);
    q.AddPacket(read(a, 20), false);
    vx::UdpSocket->SendQueue(q);
    ASSERT_EQ(vx::UdpSocket->DatagramLog.size(), 1u);
    const std::string& line = vx::UdpSocket->DatagramLog[0];
    EXPECT_EQ(line.substr(0, line.rfind('\r')), ">\rPacket41\rPLC2\r34\r" + std::to_string(2 * 11 + 7));
    EXPECT_EQ(vx::UdpSocket->LastSentId, 41);
    ASSERT_EQ(vx::UdpSocket->ComLog.size(), 2u);
    EXPECT_EQ(vx::UdpSocket->ComLog[0].substr(0, 8), ">\rReadN\r");
}

}  // namespace

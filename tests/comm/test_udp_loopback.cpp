// The UDP channel end to end, in real time: the channel's own socket on 127.0.0.1 and the PLC
// simulator at two more loopback addresses, all on one port number. Waits are on events
// with a generous bound, never fixed sleeps.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QtEndian>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_notify.h"
#include "comm/vx_station.h"
#include "comm/vx_udp.h"
#include "comm/vx_variable.h"
#include "platform/clock.h"
#include "platform/port/udp.h"
#include "tools/plcsim/simulator.h"
#include "tools/plcsim/transports.h"

#include "realtime_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using realtimetest::RealTimeTest;
using realtimetest::waitUntil;
using vx::TStation;
using vx::TVariable;

struct UdpLoopback : RealTimeTest {
    plcsim::Simulator first;   // 127.0.0.2: stations 2 and 3
    plcsim::Simulator second;  // 127.0.0.3: station 4
    std::unique_ptr<plcsim::UdpTransport> atFirst;
    std::unique_ptr<plcsim::UdpTransport> atSecond;
    std::uint16_t port = 0;

    void SetUp() override
    {
        for (std::uint8_t bus : {2, 3})
            first.addStation(bus).setIdentity("HLX-7R  V2.31");
        second.addStation(4).setIdentity("HLX-8W  V1.00");
        // One free port number for all three addresses.
        for (int attempt = 0; attempt < 10 && port == 0; ++attempt) {
            atFirst = std::make_unique<plcsim::UdpTransport>(first);
            atSecond = std::make_unique<plcsim::UdpTransport>(second);
            atFirst->listen(0, "127.0.0.2");
            try {
                atSecond->listen(atFirst->port(), "127.0.0.3");
                port = atFirst->port();
            } catch (const std::runtime_error&) {
            }
        }
        ASSERT_NE(port, 0);
        // Answers a little late, so that a second datagram to a busy station would show.
        atFirst->setLatencyMs(2);
        atSecond->setLatencyMs(2);

        plat::mxUDPSocket::SetBindAddress("127.0.0.1");
        vx::Language = 1;
        vx::InitializeComm();
        vx::UdpSocket->SetPortNumber(port);
        vx::ServerAddress = 126;
        // One item per read telegram, so that a station's reads fill datagrams.
        vx::MaxPacketLen = 16;
        vx::MaxBadCommCount = 3;
        vx::ConnectRate = 500;
        vx::CommDelay = 0;
        vx::OnVariableRequestDone = [this](TVariable* v) { ++done[v]; };
        vx::SetMessageNotifier([this](vx::TMessageKind, const std::string& text) { messages.push_back(text); });
    }
    void TearDown() override
    {
        if (vx::CommServer)
            vx::CommServer->StopCommunication();
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::ResetSettings();
        vx::SetMessageNotifier(nullptr);
        plat::mxUDPSocket::SetBindAddress("");
    }

    TStation* station(std::int32_t bus, const std::string& ip)
    {
        TStation* st = vx::StationList->AddStation();
        st->Name = "PLC" + std::to_string(bus);
        st->Primary->ConnectionType = vx::ctUdp;
        st->Primary->IPAddress = ip;
        st->Primary->BusAddress = bus;
        st->Primary->Timeout = 500;
        vx::UdpSocket->AddStation(st);
        return st;
    }
};

TEST_F(UdpLoopback, ThreeStationsAtTwoAddressesAreReadAndWritten)
{
    TStation* a = station(2, "127.0.0.2");
    TStation* b = station(3, "127.0.0.2");
    TStation* c = station(4, "127.0.0.3");
    plcsim::Station& pa = *first.station(2);
    plcsim::Station& pb = *first.station(3);
    plcsim::Station& pc = *second.station(4);
    std::vector<TVariable*> read;
    std::map<TVariable*, int> expected;
    // Six separate words of station 2: six telegrams a cycle, more than one datagram holds.
    for (int i = 0; i < 6; ++i) {
        TVariable* v = variable(a, VT_UI2, 10 + 10 * i);
        pa.poke(3, static_cast<std::uint16_t>(10 + 10 * i), Bytes{static_cast<std::uint8_t>(i + 1), 0x10});
        expected[v] = 0x1001 + i;
        read.push_back(v);
    }
    TVariable* b1 = variable(b, VT_I4, 100);
    pb.poke(3, 100, Bytes{0xFB, 0xFF, 0xFF, 0xFF});
    expected[b1] = -5;
    TVariable* b2 = variable(b, VT_BOOL, 110, 50, 2);
    pb.poke(3, 110, Bytes{0x04});
    expected[b2] = -1;
    TVariable* c1 = variable(c, VT_UI2, 10);
    pc.poke(3, 10, Bytes{0x2A, 0x00});
    expected[c1] = 42;
    read.insert(read.end(), {b1, b2, c1});
    TVariable* word = variable(a, VT_UI2, 200, 0);
    TVariable* bit = variable(b, VT_BOOL, 120, 0, 3);
    pb.poke(3, 120, Bytes{0xF0});

    const double started = plat::clock().now();
    vx::CommServer->StartCommunication();
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(read.begin(), read.end(), [](const TVariable* v) { return v->Quality == vx::qGood; });
    }));
    EXPECT_EQ(a->Identity, "HLX-7R ");
    EXPECT_EQ(c->Identity, "HLX-8W ");
    for (TVariable* v : read) {
        SCOPED_TRACE(v->GetFullName());
        EXPECT_EQ(v->Value.toI4(), expected[v]);
        EXPECT_GE(v->LastUpdate, started) << "the time its answer was taken up";
        EXPECT_LE(v->LastUpdate, plat::clock().now());
    }

    // Values change in the PLC and arrive with the next cycles.
    pa.poke(3, 10, Bytes{0x99, 0x00});
    pc.poke(3, 10, Bytes{0x07, 0x00});
    ASSERT_TRUE(waitUntil([&] { return read[0]->Value.toI4() == 0x99 && c1->Value.toI4() == 7; }));

    ASSERT_TRUE(write(word, [](com::Variant& v) { v.setUI2(0xBEEF); }));
    EXPECT_EQ(pa.peek(3, 200, 2), (Bytes{0xEF, 0xBE}));
    ASSERT_TRUE(write(bit, [](com::Variant& v) { v.setBool(true); }));
    EXPECT_EQ(pb.peek(3, 120, 1), Bytes{0xF8}) << "one bit set, the others as they were";
    EXPECT_EQ(vx::UdpSocket->BadAnswers + vx::UdpSocket->Timeouts, 0);

    // What the PLCs saw.
    std::size_t fullest = 0;
    for (const auto* transport : {atFirst.get(), atSecond.get()}) {
        for (const plcsim::DatagramSeen& d : transport->received()) {
            EXPECT_TRUE(d.refused.empty()) << d.refused;
            EXPECT_LE(d.telegrams.size(), 5u);
            EXPECT_TRUE(d.oneKind());
            fullest = std::max(fullest, d.telegrams.size());
        }
    }
    EXPECT_EQ(fullest, 5u) << "full datagrams of five telegrams went";
    for (const auto* transport : {atFirst.get(), atSecond.get()})
        for (const plcsim::DatagramSeen& d : transport->received())
            for (int s : d.stations())
                EXPECT_EQ(transport == atFirst.get() ? (s == 2 || s == 3) : s == 4, true) << "station " << s;
    for (int s : {2, 3})
        EXPECT_EQ(atFirst->peakInFlight(s), 1u) << "never two datagrams in flight for station " << s;
    EXPECT_EQ(atSecond->peakInFlight(4), 1u);
}

TEST_F(UdpLoopback, ASecondSocketOnTheSamePortCannotActivateAndSaysSo)
{
    plat::mxUDPSocket holder;
    holder.SetPort(qToBigEndian(port));
    holder.SetActive(true);
    vx::ShowMessages = true;
    TStation* a = station(2, "127.0.0.2");
    variable(a, VT_UI2, 10);
    vx::CommServer->StartCommunication();
    EXPECT_EQ(messages, std::vector<std::string>{"Cannot activate UDP socket"});
    EXPECT_TRUE(vx::UdpSocket->Polling);
    ASSERT_TRUE(waitUntil([&] { return a->State == vx::ssFailed; }));
    EXPECT_EQ(atFirst->datagramsReceived(), 0u);

    holder.SetActive(false);
    ASSERT_TRUE(waitUntil([&] { return a->State == vx::ssConnected; })) << "a later send activates it";
}

}  // namespace

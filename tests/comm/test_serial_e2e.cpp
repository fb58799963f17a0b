// A serial line end to end, in real time: the channel with the port layer's serial port on a
// pseudo-terminal, the PLC simulator on its master side. Waits are on events with a generous
// bound, never fixed sleeps.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_notify.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "platform/clock.h"
#include "platform/port/comports.h"
#include "tools/plcsim/simulator.h"
#include "tools/plcsim/transports.h"

#include "realtime_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using realtimetest::RealTimeTest;
using realtimetest::waitUntil;
using vx::TStation;
using vx::TVariable;

constexpr int kCom = 9;

struct SerialLine : RealTimeTest {
    plcsim::Simulator sim;
    plcsim::PtyTransport pty{sim};
    std::map<TVariable*, double> doneAt;

    void SetUp() override
    {
        pty.open();
        plat::setComPortDevice(kCom, pty.slavePath());
        vx::Language = 1;
        vx::InitializeComm();
        vx::ServerAddress = 126;
        vx::MaxPacketLen = 255;
        vx::MaxBadCommCount = 3;
        vx::ConnectRate = 500;
        vx::CommDelay = 0;
        vx::CheckTimestamp = true;
        vx::OnVariableRequestDone = [this](TVariable* v) {
            ++done[v];
            doneAt[v] = plat::clock().now();
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
        plat::clearComPortDevices();
    }

    TStation* station(std::int32_t bus, int com = kCom)
    {
        TStation* st = vx::StationList->AddStation();
        st->Name = "PLC" + std::to_string(bus);
        st->Primary->ConnectionType = vx::ctSerial;
        st->Primary->PortNumber = com;
        st->Primary->BaudRate = 19200;
        st->Primary->Parity = 2;
        st->Primary->BusAddress = bus;
        st->Primary->Timeout = 500;
        if (!sim.station(static_cast<std::uint8_t>(bus & 0xFF)))
            sim.addStation(static_cast<std::uint8_t>(bus & 0xFF)).setIdentity("HLX-7R  V2.31");
        vx::ComList->GetChannelForStation(st);
        return st;
    }
    plcsim::Station& plc(std::int32_t bus) { return *sim.station(static_cast<std::uint8_t>(bus & 0xFF)); }
};

TEST_F(SerialLine, TwoStationsOnOneLineAreReadAndWritten)
{
    TStation* a = station(2);
    TStation* b = station(259);  // bus address above 255: its low byte, 3, is on the line
    plc(2).poke(3, 10, Bytes{0x34, 0x12, 0xFB, 0xFF, 0xFF, 0xFF});
    plc(2).poke(3, 20, Bytes{0x00, 0x00, 0xC0, 0x3F, 0x04});
    plc(3).poke(3, 100, Bytes{0xE8, 0x03, 'V', 'o', 'r', 'n', 0x00, 0x00});
    TVariable* a1 = variable(a, VT_UI2, 10);
    TVariable* a2 = variable(a, VT_I4, 12);
    TVariable* a3 = variable(a, VT_R4, 20);
    TVariable* a4 = variable(a, VT_BOOL, 24, 50, 2);
    TVariable* b1 = variable(b, VT_UI2, 100);
    TVariable* b2 = variable(b, VT_BSTR, 102);
    b2->StringLength = 6;
    const std::vector<TVariable*> read = {a1, a2, a3, a4, b1, b2};
    const double started = plat::clock().now();
    vx::CommServer->StartCommunication();
    vx::TCOM* ch = a->Channel;
    ASSERT_EQ(b->Channel, ch) << "one channel for the line";

    ASSERT_TRUE(waitUntil([&] {
        for (TVariable* v : read)
            if (v->Quality != vx::qGood)
                return false;
        return true;
    })) << "good answers " << ch->GoodAnswers << ", bad " << ch->BadAnswers << ", time-outs " << ch->Timeouts;
    EXPECT_EQ(a->State, vx::ssConnected);
    EXPECT_EQ(b->State, vx::ssConnected);
    EXPECT_EQ(a->Identity, "HLX-7R ");
    EXPECT_EQ(b->CpuClass, 5);
    EXPECT_EQ(a1->Value.toI4(), 0x1234);
    EXPECT_EQ(a2->Value.toI4(), -5);
    EXPECT_EQ(a3->Value.toR8(), 1.5);
    EXPECT_EQ(a4->Value.toBool(), true);
    EXPECT_EQ(b1->Value.toI4(), 1000);
    EXPECT_EQ(b2->Value.toUtf8(), std::string("Vorn\0\0", 6));
    for (TVariable* v : read) {
        SCOPED_TRACE(v->GetFullName());
        // Stamped when the answer was taken up, just before the request ended.
        EXPECT_GE(v->LastUpdate, started);
        EXPECT_LE(v->LastUpdate, doneAt[v]);
        EXPECT_LT((doneAt[v] - v->LastUpdate) * 86400000.0, 50.0);
    }
    EXPECT_EQ(a->TimeStampVariable->Quality, vx::qGood) << "the PLC time stamp came with every read";
    EXPECT_EQ(ch->BadAnswers, 0);
    EXPECT_EQ(ch->Timeouts, 0);

    // Cyclic: new values arrive without being asked for.
    const double first = a1->LastUpdate;
    plc(2).poke(3, 10, Bytes{0x78, 0x56});
    plc(3).poke(3, 100, Bytes{0x0F, 0x27});
    ASSERT_TRUE(waitUntil([&] { return a1->Value.toI4() == 0x5678 && b1->Value.toI4() == 9999; }));
    EXPECT_GT(a1->LastUpdate, first);

    // Writes reach the PLC's memory.
    TVariable* w = variable(a, VT_I4, 40, 0);
    ASSERT_TRUE(write(w, [](com::Variant& value) { value.setI4(-123456); }));
    EXPECT_EQ(plc(2).peek(3, 40, 4), (Bytes{0xC0, 0x1D, 0xFE, 0xFF}));
    TVariable* wb = variable(b, VT_UI2, 120, 0);
    ASSERT_TRUE(write(wb, [](com::Variant& value) { value.setUI2(0xBEEF); }));
    EXPECT_EQ(plc(3).peek(3, 120, 2), (Bytes{0xEF, 0xBE}));

    // A Boolean write sets its one bit and leaves the others of the byte.
    plc(2).poke(3, 50, Bytes{0x41});
    TVariable* bit3 = variable(a, VT_BOOL, 50, 0, 3);
    ASSERT_TRUE(write(bit3, [](com::Variant& value) { value.setBool(true); }));
    EXPECT_EQ(plc(2).peek(3, 50, 1), (Bytes{0x49}));
    TVariable* bit6 = variable(a, VT_BOOL, 50, 0, 6);
    ASSERT_TRUE(write(bit6, [](com::Variant& value) { value.setBool(false); }));
    EXPECT_EQ(plc(2).peek(3, 50, 1), (Bytes{0x09}));
    EXPECT_EQ(plc(2).served(plcsim::Service::WriteB), 2);

    EXPECT_EQ(ch->BadAnswers, 0);
    EXPECT_EQ(ch->Timeouts, 0);
}

TEST_F(SerialLine, AMissingDeviceGivesTheStartFailureTextOnlyWhenMessagesAreShown)
{
    // A path of this test's own: the serial library locks by device name across processes.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    plat::setComPortDevice(11, dir.filePath("no-such-tty").toStdString());
    for (const bool show : {true, false}) {
        SCOPED_TRACE(show);
        messages.clear();
        vx::ShowMessages = show;
        TStation* st = station(2, 11);
        variable(st, VT_UI2, 10);
        vx::CommServer->StartCommunication();
        if (show)
            EXPECT_EQ(messages, std::vector<std::string>{"Port COM11 was not found, or port is busy!"});
        else
            EXPECT_TRUE(messages.empty());
        EXPECT_FALSE(st->Channel->Polling);
        vx::CommServer->StopCommunication();
        vx::ComList->Clear();
        vx::StationList->Clear();
    }
}

TEST_F(SerialLine, NoEventReachesAFreedChannel)
{
    pty.setLatencyMs(3);
    // Freed at many different moments of its work, port open and timer running, without a
    // stop first: the sanitizer build sees any event that still reaches it.
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE(round);
        TStation* st = station(2);
        TVariable* v = variable(st, VT_UI2, 10, 10);
        vx::CommServer->StartCommunication();
        vx::TCOM* ch = st->Channel;
        ASSERT_TRUE(waitUntil([&] { return ch->GoodAnswers >= 1 + round % 7; }));
        bool ran = false;
        QMetaObject::invokeMethod(qApp, [&ran] { ran = true; }, Qt::QueuedConnection);
        const int before = done[v];
        const bool inFlight = ch->CurrentPacket != nullptr;
        vx::ComList->items().pop_back();
        EXPECT_FALSE(ran) << "the destructor ran no events";
        EXPECT_EQ(st->Channel, nullptr);
        EXPECT_EQ(done[v], before + (inFlight ? 1 : 0)) << "the request in flight ended with it";
        // Whatever was on its way arrives at a line nobody listens to.
        ASSERT_TRUE(waitUntil([&] { return ran && pty.answersSent() == pty.requestsSeen(); }));
        vx::CommServer->StopCommunication();
        vx::StationList->Clear();
        done.clear();
    }
}

}  // namespace

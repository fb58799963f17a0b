// The modem channel end to end, in real time: the port layer's serial port on a
// pseudo-terminal, a dial-up modem stand-in on its master side with the PLC simulator behind
// the connected line. Waits are on events with a generous bound, never fixed sleeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_modem.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "platform/port/comports.h"
#include "tests/wait_until.h"
#include "tools/plcsim/modem_sim.h"
#include "tools/plcsim/simulator.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using vx::TModem;
using vx::TStation;
using vx::TVariable;

constexpr int kCom = 11;

bool waitUntil(const std::function<bool()>& done, int boundMs = 15000) { return vxtest::waitUntil(done, boundMs); }

struct ModemLine : ::testing::Test {
    plcsim::Simulator sim;
    plcsim::ModemPty pty{sim};
    TModem* modem = nullptr;

    void SetUp() override
    {
        pty.open();
        plat::setComPortDevice(kCom, pty.slavePath());
        vx::Language = 1;
        vx::InitializeComm();
        vx::ServerAddress = 126;
        vx::MaxPacketLen = 255;
        vx::ConnectRate = 500;
        vx::CommDelay = 0;
        vx::ComLogging = true;
        vx::NumOfComLines = 1000;
        vx::timBeforeDial = 200;
        vx::timSameCall = 1000;
        modem = vx::ModemList->AddModem();
        modem->Name = "MODEM1";
        modem->SetPortNumber(kCom);
    }
    void TearDown() override
    {
        vx::CommServer->StopCommunication();
        vx::FinalizeComm();
        vx::ResetSettings();
        plat::clearComPortDevices();
    }
    TStation* station(std::int32_t bus, const std::string& phone, bool readOnce)
    {
        TStation* st = vx::StationList->AddStation();
        st->Name = "PLC" + std::to_string(bus);
        st->Primary->ConnectionType = vx::ctModem;
        st->Primary->PhoneNumber = phone;
        st->Primary->BusAddress = bus;
        st->Primary->Timeout = 500;
        st->Primary->MaxRedials = 2;
        if (readOnce)
            st->ConnectionControl |= vx::ccReadOnce;
        sim.addStation(static_cast<std::uint8_t>(bus)).setIdentity("HLX-7R  V2.31");
        return st;
    }
    TVariable* variable(TStation* st, std::int32_t address)
    {
        TVariable* v = st->AddVariable();
        v->Name = "R" + std::to_string(address);
        v->CanonicalType = VT_UI2;
        v->RequestedType = VT_UI2;
        v->Zone = 3;
        v->Address = address;
        v->UpdatePeriod = 50;
        v->InitValue();
        v->SetActive(true);
        return v;
    }
    long count(const std::string& command) const
    {
        return std::count(pty.commands().begin(), pty.commands().end(), command);
    }
};

TEST_F(ModemLine, ACallReadsAndWritesThroughTheModemAndHangsUpByEscape)
{
    TStation* st = station(2, "0123456", false);
    sim.station(2)->poke(3, 10, Bytes{0x34, 0x12});
    TVariable* v = variable(st, 10);
    vx::CommServer->StartCommunication();
    st->RequestCall();
    ASSERT_TRUE(waitUntil([&] { return v->Quality == vx::qGood; }));
    EXPECT_EQ(pty.commands().front(), "ATD0123456");
    EXPECT_EQ(v->Value.toI4(), 0x1234);
    EXPECT_EQ(st->Identity, "HLX-7R ");

    v->Value.setUI2(0x0707);
    bool finished = true;
    ASSERT_EQ(v->WriteValue(finished), S_OK);
    ASSERT_TRUE(waitUntil([&] { return sim.station(2)->peek(3, 10, 2) == Bytes{0x07, 0x07}; }));

    modem->StartHangUp();
    ASSERT_TRUE(waitUntil([&] { return modem->State == TModem::msQuiet; }));
    EXPECT_EQ(count("+++"), 1);
    EXPECT_EQ(count("ATH"), 1);
    EXPECT_FALSE(pty.dataMode());
}

TEST_F(ModemLine, BusyAndALostCarrierEndTheCallAndTheStationIsRedialled)
{
    TStation* st = station(2, "555", false);
    pty.setReply("ATD", {100, "BUSY"});
    vx::CommServer->StartCommunication();
    st->RequestCall();
    ASSERT_TRUE(waitUntil([&] { return st->ModemError == 8; }));
    ASSERT_TRUE(waitUntil([&] { return modem->State == TModem::msQuiet; }));

    pty.setReply("ATD", {100, "CONNECT 9600"});
    ASSERT_TRUE(waitUntil([&] { return modem->State == TModem::msConnected; }));
    pty.dropCarrier();
    ASSERT_TRUE(waitUntil([&] { return st->ModemError == 5; }));
    ASSERT_TRUE(waitUntil([&] { return count("ATD555") == 3 && modem->State == TModem::msConnected; }))
        << "redialled once timSameCall has passed";
}

}  // namespace

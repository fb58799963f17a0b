#include "comm/vx_station.h"

#include <gtest/gtest.h>

#include "comm/vx_modem.h"
#include "comm/vx_socket.h"
#include "model_fixture.h"

namespace {

using vx::TStation;
using vx::TVariable;

struct Stations : modeltest::ModelFixture {
    void makeModemStation(const std::string& phone)
    {
        if (st->Channel)
            st->Channel->RemoveStation(st);
        st->Primary->ConnectionType = vx::ctModem;
        st->Primary->PhoneNumber = phone;
    }
};

TEST_F(Stations, ANewStation)
{
    EXPECT_EQ(st->Name, "Device0");
    EXPECT_EQ(st->ObjectType, vx::otStation);
    EXPECT_EQ(st->CpuClass, 255);
    EXPECT_EQ(st->CallResult, -1);
    EXPECT_EQ(st->State, vx::ssDisconnected);
    EXPECT_EQ(&st->GetConnParams(), st->Primary.get());

    TVariable* ts = st->TimeStampVariable;
    ASSERT_NE(ts, nullptr);
    EXPECT_EQ(ts->Name, "INT_TimeStamp");
    EXPECT_EQ(ts->GetFullName(), "Device0.INT_TimeStamp");
    EXPECT_EQ(ts->ID, -1);
    EXPECT_EQ(ts->CanonicalType, VT_UI2);
    EXPECT_EQ(ts->Kind, vx::vkTimeStamp);
    EXPECT_EQ(ts->Zone, 2);
    EXPECT_EQ(ts->Address, 14);
    EXPECT_TRUE(st->Variables->contains(ts));
    EXPECT_EQ(vx::TimeStampOf(*ts), -1);
}

TEST_F(Stations, StateTransitions)
{
    struct Case {
        std::int32_t from;
        std::int32_t to;
        std::int32_t expected;
    } cases[] = {
        {0, 2, 2}, {2, 3, 3}, {3, 1, 1}, {1, 4, 4}, {4, 2, 2}, {1, 5, 5},
        {5, 2, 5},  // a blocked station stays blocked
        {5, 1, 5}, {5, 4, 5}, {5, 0, 0},
    };
    for (const Case& c : cases) {
        st->State = c.from;
        st->SetState(c.to);
        EXPECT_EQ(st->State, c.expected) << c.from << " -> " << c.to;
    }
}

TEST_F(Stations, AFailedStationMarksItsPlcValuesBad)
{
    TVariable* good = var(VT_UI2);
    good->SetQuality(vx::qGood);
    TVariable* fresh = var(VT_UI2);
    TVariable* forced = var(VT_UI2);
    forced->SetForced(true);
    TVariable* clk = service(vx::vkDateTime, VT_DATE);
    TVariable* status = service(vx::vkDrwStatus, VT_I4);
    st->State = vx::ssConnected;
    st->SetState(vx::ssFailed);
    EXPECT_EQ(good->Quality, vx::qLastKnown);
    EXPECT_EQ(fresh->Quality, vx::qCommFailure);
    EXPECT_EQ(forced->Quality, vx::qLocalOverride);
    EXPECT_EQ(clk->Quality, vx::qCommFailure);
    EXPECT_EQ(status->Quality, vx::qGood);
}

TEST_F(Stations, TheTimeStampSentinelStaysSignedAcrossReconnects)
{
    TVariable* ts = st->TimeStampVariable;
    const framecheck::Bytes stamp = framecheck::le16(50000);
    for (std::int32_t leaving : {vx::ssFailed, vx::ssDisconnected, vx::ssBlocked}) {
        st->State = vx::ssConnected;
        vx::DecodeValuePart(*ts, 0, stamp.data(), stamp.size());
        ASSERT_EQ(vx::TimeStampOf(*ts), 50000);
        st->SetState(leaving);
        EXPECT_EQ(vx::TimeStampOf(*ts), -1) << leaving;
        EXPECT_EQ(ts->Value.toI4(), -1);
        EXPECT_NE(ts->Value.vt(), VT_UI2);  // never 65535
        st->State = vx::ssDisconnected;
    }
    // connecting keeps the stamp the last answer brought
    vx::DecodeValuePart(*ts, 0, stamp.data(), stamp.size());
    st->State = vx::ssIdentToRead;
    st->SetState(vx::ssConnected);
    EXPECT_EQ(vx::TimeStampOf(*ts), 50000);
}

TEST_F(Stations, TheIdentityGivesTheCpuClass)
{
    TVariable* control = service(vx::vkDrwControl, VT_I4);
    TVariable* buffer = service(vx::vkDrwDataBuffer, VT_ARRAY | VT_UI1);
    struct Case {
        const char* identity;
        std::int32_t cpuClass;
        const char* kept;
        std::uint16_t blockQuality;
    } cases[] = {
        {"HLX-7U 1.23 build", 2, "HLX-7U ", 0x1C},
        {"HLX-8W ", 4, "HLX-8W ", 0xC0},
        {"KZ91   x", 8, "KZ91   ", 0x1C},
        {"KY26   ", 9, "KY26   ", 0x1C},
        {"HLX-7R 2", 5, "HLX-7R ", 0xC0},
        {"HLX-7Q ", 6, "HLX-7Q ", 0xC0},
        {"OTHER12345", 6, "OTHER12", 0xC0},  // unknown: the class stays
        {"HLX-7P ", 0, "HLX-7P ", 0x1C},
        {"HLX-7T ", 1, "HLX-7T ", 0x1C},
        {"HLX-7W ", 3, "HLX-7W ", 0x1C},
    };
    for (const Case& c : cases) {
        st->SetIdentity(c.identity);
        EXPECT_EQ(st->CpuClass, c.cpuClass) << c.identity;
        EXPECT_EQ(st->Identity, c.kept);
        EXPECT_EQ(control->Quality, c.blockQuality) << c.identity;
        EXPECT_EQ(buffer->Quality, c.blockQuality) << c.identity;
    }
}

TEST_F(Stations, TheControlWordBlocksAndSwitchesConnections)
{
    st->Standby->ConnectionType = vx::ctSerial;
    st->Standby->PortNumber = 7;
    TVariable* control = service(vx::vkConControl, VT_I4);
    st->LastConnectTry = clock.now();
    vx::TCOM* primary = st->Channel;

    st->SetControl(5);  // enabled, standby
    EXPECT_TRUE(st->UseBackup);
    ASSERT_NE(st->Channel, nullptr);
    EXPECT_EQ(st->Channel->GetPortNumber(), 7);
    EXPECT_EQ(st->Channel->Name, "COM7");
    EXPECT_TRUE(st->Channel->Polling);
    EXPECT_TRUE(primary->Stations.empty());
    EXPECT_EQ(st->LastConnectTry, 0);
    EXPECT_EQ(control->Value.toI4(), 5);

    st->SetControl(4);
    EXPECT_EQ(st->State, vx::ssBlocked);
    st->SetControl(1);
    EXPECT_EQ(st->State, vx::ssDisconnected);
    EXPECT_FALSE(st->UseBackup);
    EXPECT_EQ(st->Channel, primary);

    st->Standby->ConnectionType = vx::ctUdp;
    st->SetControl(5);
    EXPECT_EQ(st->Channel, static_cast<vx::TCOM*>(vx::UdpSocket));

    // TCP: the channel of the standby address, found or created, and started
    st->SetControl(1);
    st->Standby->ConnectionType = vx::ctTcp;
    st->Standby->IPAddress = "10.0.0.9";
    st->SetControl(5);
    ASSERT_EQ(vx::SocketList->size(), 1u);
    EXPECT_EQ(st->Channel, static_cast<vx::TCOM*>(vx::SocketList->FindByAddress("10.0.0.9")));
    EXPECT_TRUE(st->Channel->Polling);
}

TEST_F(Stations, TheReadOnceMarkCountsOnlyWithItsBit)
{
    st->SetPollSuspended(true);
    EXPECT_FALSE(st->GetPollSuspended());
    st->ConnectionControl = vx::ccEnabled | vx::ccReadOnce;
    EXPECT_FALSE(st->GetPollSuspended());
    st->SetPollSuspended(true);
    EXPECT_TRUE(st->GetPollSuspended());
    st->ConnectionControl = vx::ccEnabled;
    EXPECT_FALSE(st->GetPollSuspended());
}

TEST_F(Stations, ReconnectDueAfterTheConnectRate)
{
    vx::ConnectRate = 5000;
    st->LastConnectTry = clock.now();
    clock.advanceMs(5000);
    EXPECT_FALSE(st->ReconnectDue(clock.now()));
    clock.advanceMs(1);
    EXPECT_TRUE(st->ReconnectDue(clock.now()));
}

TEST_F(Stations, CallTextsComeFromTheCatalogue)
{
    TVariable* dial = service(vx::vkDialState, VT_I4);
    TVariable* dialText = service(vx::vkDialStateText, VT_BSTR);
    TVariable* resultText = service(vx::vkCallResultText, VT_BSTR);
    TVariable* errorNumber = service(vx::vkModemError, VT_UI1);
    TVariable* errorText = service(vx::vkModemErrorText, VT_BSTR);
    st->SetDialState(2);
    st->SetCallResult(1);
    st->SetModemError(8);
    EXPECT_EQ(dial->Value.toI4(), 2);
    EXPECT_EQ(dialText->Value.toUtf8(), "Calling");
    EXPECT_EQ(st->DialStateText, "Calling");
    EXPECT_EQ(resultText->Value.toUtf8(), "Failed");
    EXPECT_EQ(errorNumber->Value.vt(), VT_UI1);  // in the variable's own type
    EXPECT_EQ(errorText->Value.toUtf8(), "dial number is missing");

    vx::Language = 0;
    st->SetCallResult(0);
    EXPECT_EQ(resultText->Value.toUtf8(), "Spojení bez chyb");

    // a variable that joins later is filled from the station
    TVariable* late = st->AddVariable();
    late->CanonicalType = VT_BSTR;
    late->SetKind(vx::vkModemErrorText);
    st->BindServiceVariable(late);
    late->InitValue();
    EXPECT_EQ(late->Value.toUtf8(), "chybí telefonní číslo");
}

TEST_F(Stations, AModemStationAsksForACall)
{
    struct Case {
        const char* phone;
        bool modem;
        std::int32_t result;
        std::int32_t error;
        std::int32_t state;
    } cases[] = {
        {"", true, 1, 8, vx::ssBlocked},      // no number
        {"123", false, 2, 50, vx::ssBlocked}, // no modem to call it
        {"123", true, 0, 0, vx::ssDisconnected},
    };
    for (const Case& c : cases) {
        restart();
        makeModemStation(c.phone);
        vx::TModem* modem = c.modem ? vx::ModemList->AddModem() : nullptr;
        EXPECT_EQ(st->RequestCall(), c.result) << c.phone;
        EXPECT_EQ(st->ModemError, c.error);
        EXPECT_EQ(st->State, c.state);
        if (c.result != 0) {
            EXPECT_EQ(st->CallResult, 1);
            EXPECT_EQ(st->CallResultText, "Failed");
        } else {
            EXPECT_TRUE(modem->IsQueued(st));
            EXPECT_EQ(st->Channel, modem);
        }
    }
    EXPECT_EQ(vx::GetStatusText1000(50), "");

    // the phone-number variable takes the place of the connection's number
    TVariable* phone = service(vx::vkPhoneNumber, VT_BSTR);
    st->SetPhoneNumber("555");
    EXPECT_EQ(st->Primary->PhoneNumber, "555");
    EXPECT_EQ(phone->Value.toUtf8(), "555");
    phone->Value.setString("777");
    EXPECT_EQ(st->GetPhoneNumber(), "777");
    TVariable* number = service(vx::vkModemNumber, VT_I4);
    number->Value.setI4(3);
    EXPECT_EQ(st->GetModemNumber(), 3);
}

TEST_F(Stations, EnteringStateZeroCallsAndDialStateZeroBlocks)
{
    makeModemStation("");
    st->State = vx::ssBlocked;
    st->SetState(vx::ssDisconnected);  // the call cannot be made
    EXPECT_EQ(st->State, vx::ssBlocked);
    EXPECT_EQ(st->ModemError, 8);

    makeModemStation("42");
    vx::TModem* modem = vx::ModemList->AddModem();
    st->SetState(vx::ssDisconnected);
    EXPECT_TRUE(modem->IsQueued(st));
    st->StartCall();
    EXPECT_EQ(st->DialState, 2);
    EXPECT_EQ(st->ModemError, 0);
    EXPECT_EQ(st->CallTime, clock.now());
    st->SetDialState(0);
    EXPECT_EQ(st->State, vx::ssBlocked);
    EXPECT_FALSE(modem->IsQueued(st));  // blocking released the line
}

TEST_F(Stations, TheLastInactiveVariableOfAModemStationReleasesItsLine)
{
    TVariable* a = var(VT_UI2);
    TVariable* b = var(VT_UI2);
    a->SetActive(true);
    b->SetActive(true);
    EXPECT_TRUE(st->Enabled);
    makeModemStation("42");
    vx::TModem* modem = vx::ModemList->AddModem();
    st->RequestCall();
    ASSERT_EQ(st->Channel, modem);
    ASSERT_EQ(modem->ReadQueue.AddVariableRead(a, 0), vx::TQueueResult::Queued);
    ASSERT_EQ(modem->WriteQueue.AddVariableWrite(b, 0), vx::TQueueResult::Queued);

    a->SetActive(false);
    EXPECT_TRUE(st->Enabled);
    EXPECT_EQ(modem->ReadQueue.size(), 1u);
    b->SetActive(false);
    EXPECT_FALSE(st->Enabled);
    EXPECT_TRUE(modem->ReadQueue.empty());
    EXPECT_TRUE(modem->WriteQueue.empty());
    EXPECT_EQ(hooks[a], 1);
    EXPECT_EQ(hooks[b], 1);
    EXPECT_EQ(a->ReadPending + b->WritePending, 0);
    EXPECT_FALSE(modem->IsQueued(st));
    EXPECT_EQ(st->Channel, nullptr);
}

TEST_F(Stations, BindingsFollowTheKindAndEndWithTheVariable)
{
    TVariable* buffer = service(vx::vkDrwDataBuffer, VT_ARRAY | VT_UI1);
    TVariable* first = service(vx::vkControlAlt, VT_I4);
    EXPECT_EQ(st->ControlVariable, first);
    TVariable* second = service(vx::vkConControl, VT_I4);
    EXPECT_EQ(st->ControlVariable, second);  // a later binding replaces an earlier one
    EXPECT_EQ(st->DRW_DataBuffer, buffer);
    vx::RemoveVariable(st, buffer);
    EXPECT_EQ(st->DRW_DataBuffer, nullptr);
    // Only a station kind, and only for a variable of this station.
    TVariable* plain = service(vx::vkModStatus, VT_I4);
    EXPECT_FALSE(st->BindServiceVariable(plain));
    vx::TStation* other = addStation(2);
    TVariable* foreign = var(other, VT_I4, 3, 0);
    foreign->SetKind(vx::vkConControl);
    EXPECT_FALSE(st->BindServiceVariable(foreign));
    EXPECT_EQ(st->ControlVariable, second);
    vx::RemoveVariable(st, st->TimeStampVariable);
    EXPECT_EQ(st->TimeStampVariable, nullptr);
    st->SetState(vx::ssFailed);  // no stamp to reset, nothing breaks
}

TEST_F(Stations, InternalVariables)
{
    TVariable* v = st->AddInternalVariable("INT_X", VT_I4, vx::vkDrwStatus);
    EXPECT_EQ(v->ID, -1);
    EXPECT_EQ(v->Name, "INT_X");
    EXPECT_EQ(v->CanonicalType, VT_I4);
    EXPECT_EQ(v->RequestedType, VT_I4);
    EXPECT_EQ(v->Quality, vx::qGood);
    EXPECT_EQ(v->Value.vt(), VT_I4);
}

}  // namespace

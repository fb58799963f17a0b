// The modem channel on the manual clock against a scripted dial-up modem: the call from Quiet
// to Quiet, each result of the modem, the shared call, redials, and the faults it must not have.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "comm/vx_comlog.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_modem.h"
#include "fake_port.h"

namespace {

using chantest::Bytes;
using chantest::ChannelTest;
using vx::TModem;
using vx::TStation;
using vx::TVariable;

// A dial-up modem behind the serial line: answers each command line per a script, after
// CONNECT hands telegrams to the PLC simulator, and records every command.
class ScriptedModem final : public vx::TComPort {
public:
    struct Reply {
        std::int64_t delayMs = 0;
        std::string text;  // without framing; empty: silence
    };

    ScriptedModem() : timer_(plat::timers().createTimer())
    {
        timer_->onTimer = [this] { deliverDue(); };
    }

    int ComNumber() const override { return com_; }
    void SetComNumber(int n) override { com_ = n; }
    int Baud() const override { return baud_; }
    void SetBaud(int baud) override { baud_ = baud; }
    int Parity() const override { return parity_; }
    void SetParity(int parity) override { parity_ = parity; }
    int StopBits() const override { return 1; }
    void SetStopBits(int) override {}
    unsigned HWFlowOptions() const override { return 0; }
    void SetHWFlowOptions(unsigned) override {}
    bool RS485Mode() const override { return false; }
    void SetRS485Mode(bool) override {}
    bool Open() const override { return open_; }
    void SetOpen(bool on) override
    {
        if (on && missing)
            throw plat::PortError(plat::PortFault::NotFound, "no such port");
        open_ = on;
        if (!on) {
            dataMode = false;
            pending_.clear();
        }
    }
    void ReleaseDevice() override { open_ = false; }
    void PutBlock(const void* data, std::size_t count) override
    {
        const std::string s(static_cast<const char*>(data), count);
        if (dataMode) {
            if (s == "+++") {
                commands.push_back(s);
                dataMode = false;
                reply(script.count("+++") ? script["+++"] : Reply{0, "OK"});
                return;
            }
            ++telegrams;
            if (responder)
                push(5, responder(Bytes(s.begin(), s.end())));
            return;
        }
        if (s == "+++") {
            // Framed by guard silence in command mode: nothing to answer.
            commands.push_back(s);
            return;
        }
        cmd_ += s;
        for (std::size_t cr; (cr = cmd_.find('\r')) != std::string::npos;) {
            const std::string line = cmd_.substr(0, cr);
            cmd_.erase(0, cr + 1);
            commands.push_back(line);
            const std::string key = line.substr(0, 3);
            if (script.count(key))
                reply(script[key]);
        }
    }
    std::uint8_t GetChar() override
    {
        const std::uint8_t b = in_.front();
        in_.erase(in_.begin());
        return b;
    }
    void FlushInBuffer() override { in_.clear(); }
    bool DTR() const override { return dtr; }
    void SetDTR(bool on) override { dtr = on; }
    void ProcessCommunications() override { ++processTurns; }

    void dropCarrier()
    {
        dataMode = false;
        reply({0, "NO CARRIER"});
    }

    std::map<std::string, Reply> script{{"ATD", {500, "CONNECT 9600"}}, {"ATH", {50, "OK"}}};
    std::vector<std::string> commands;
    std::function<Bytes(const Bytes&)> responder;
    bool dataMode = false;
    bool missing = false;
    int telegrams = 0;
    bool dtr = false;
    int processTurns = 0;  // ProcessCommunications calls

private:
    void reply(const Reply& r)
    {
        if (r.text.empty())
            return;
        const std::string framed = "\r\n" + r.text + "\r\n";
        push(r.delayMs, Bytes(framed.begin(), framed.end()), r.text.rfind("CONNECT", 0) == 0);
    }
    void push(std::int64_t delay, Bytes bytes, bool connect = false)
    {
        pending_.push_back({plat::clock().monotonicMs() + delay, std::move(bytes), connect});
        arm();
    }
    void arm()
    {
        timer_->setEnabled(false);
        if (pending_.empty())
            return;
        const std::int64_t wait = std::max<std::int64_t>(pending_.front().at - plat::clock().monotonicMs(), 1);
        timer_->setInterval(static_cast<int>(wait));
        timer_->setEnabled(true);
    }
    void deliverDue()
    {
        while (!pending_.empty() && pending_.front().at <= plat::clock().monotonicMs()) {
            Pending p = std::move(pending_.front());
            pending_.erase(pending_.begin());
            if (p.connect)
                dataMode = true;
            in_.insert(in_.end(), p.bytes.begin(), p.bytes.end());
            if (OnTriggerAvail && !in_.empty())
                OnTriggerAvail(in_.size());
        }
        arm();
    }
    struct Pending {
        std::int64_t at;
        Bytes bytes;
        bool connect;
    };
    std::unique_ptr<plat::Timer> timer_;
    std::vector<Pending> pending_;
    Bytes in_;
    std::string cmd_;
    int com_ = 1, baud_ = 19200, parity_ = 2;
    bool open_ = false;
};

struct ModemTest : ChannelTest {
    TModem* modem = nullptr;
    TVariable* status = nullptr;
    std::vector<std::pair<std::int64_t, int>> states;  // (ms, state) at each change

    void SetUp() override
    {
        ChannelTest::SetUp();
        vx::SetComPortFactory([] { return std::make_unique<ScriptedModem>(); });
        vx::ComLogging = true;
        vx::NumOfComLines = 1000;
        vx::timSameCall = 60000;
        vx::timBeforeDial = 20000;
        modem = addModem("MODEM1");
    }
    TModem* addModem(const std::string& name)
    {
        TModem* m = vx::ModemList->AddModem();
        m->Name = name;
        line(m).responder = [this](const Bytes& f) { return sim.answer(f); };
        return m;
    }
    static ScriptedModem& line(TModem* m) { return dynamic_cast<ScriptedModem&>(m->Line().Inner()); }
    // A modem station at bus address `bus`, read once per call when readOnce.
    TStation* modemStation(std::int32_t bus, const std::string& phone, bool readOnce = true)
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
        if (!sim.station(static_cast<std::uint8_t>(bus)))
            sim.addStation(static_cast<std::uint8_t>(bus)).setIdentity("HLX-7R  V2.31");
        return st;
    }
    // Takes a station out of the modem's sight for the next case.
    void retire(TStation* st)
    {
        modem->ForgetStation(st);
        st->Channel = nullptr;
        st->Primary->PhoneNumber.clear();
    }
    // Advances until the modem's state is s; the time it took, or -1.
    std::int64_t until(int s, std::int64_t bound = 120000)
    {
        const std::int64_t from = clock.monotonicMs();
        for (std::int64_t t = 0; t < bound; ++t) {
            if (modem->State == s)
                return clock.monotonicMs() - from;
            advance(1);
        }
        return modem->State == s ? clock.monotonicMs() - from : -1;
    }
    // The text field of each modem line in the list.
    std::vector<std::string> modemLines() const
    {
        std::vector<std::string> out;
        for (const auto& l : modem->ComLog)
            if (l.size() > 2 && l[0] == '>' && l.find("\r \r \r \r") != std::string::npos)
                out.push_back(l.substr(2, l.find('\r', 2) - 2));
        return out;
    }
};

TEST_F(ModemTest, AWholeCallFromQuietToQuiet)
{
    status = vx::StationList->AddStation()->AddVariable();
    modem->StatusVariable = status;
    TStation* st = modemStation(2, "5551234");
    TVariable* v = variable(st, VT_UI2, 3, 10);
    plc(st).poke(3, 10, Bytes{0x34, 0x12});
    start();
    st->RequestCall();
    ASSERT_TRUE(modem->IsQueued(st));
    EXPECT_EQ(st->DialState, 1);

    EXPECT_GE(until(TModem::msStart), 0);
    EXPECT_GE(until(TModem::msInit1), 0);
    EXPECT_EQ(until(TModem::msInit2), 100) << "Init1 passes on at the next tick";
    EXPECT_FALSE(line(modem).DTR()) << "DTR is raised by the dial step, not before";
    const std::int64_t init2 = until(TModem::msDial);
    EXPECT_GE(init2, 1000);
    EXPECT_LE(init2, 1100);
    EXPECT_GE(until(TModem::msDialing), 1000);
    EXPECT_EQ(line(modem).commands, (std::vector<std::string>{"ATD5551234"}));
    EXPECT_EQ(line(modem).Baud(), 9600);
    EXPECT_EQ(line(modem).Parity(), 0);
    EXPECT_TRUE(line(modem).DTR());
    EXPECT_EQ(st->DialState, 2);

    EXPECT_EQ(until(TModem::msConnecting), 500);
    EXPECT_GE(until(TModem::msConnected), 100);
    EXPECT_EQ(st->DialState, 3);
    ASSERT_TRUE(advanceUntil([&] { return v->Quality == vx::qGood; }, 5000));
    EXPECT_EQ(v->Value.toI4(), 0x1234);

    // Read once: released after the pass, and with it the call ends.
    EXPECT_GE(until(TModem::msHangingUp, 5000), 0);
    EXPECT_GE(until(TModem::msQuiet, 5000), 0);
    EXPECT_EQ(st->CallResult, 0);
    EXPECT_EQ(st->DialState, 0);
    EXPECT_EQ(st->Channel, nullptr);
    EXPECT_EQ(line(modem).commands, (std::vector<std::string>{"ATD5551234", "+++", "ATH"}));
    EXPECT_EQ(modemLines(), (std::vector<std::string>{"Dialing 5551234", "Connected", "HangingUp", "Quiet",
                                                       "********************"}));
    EXPECT_EQ(status->Value.toI4(), 0);

    // Asked again, it is not called before timBeforeDial.
    st->SetState(vx::ssDisconnected);
    ASSERT_TRUE(modem->IsQueued(st));
    const std::int64_t next = until(TModem::msStart, 120000);
    EXPECT_GE(next, 19000);
}

TEST_F(ModemTest, EachFailedCallEndsWithItsErrorAndRedialsWhereItShould)
{
    struct Case {
        const char* name;
        const char* reply;
        std::int32_t error;
        bool redial;
    };
    for (const Case c : {Case{"busy", "BUSY", 8, true}, Case{"no dial tone", "NO DIALTONE", 6, false},
                         Case{"no dial tone, two words", "NO DIAL TONE", 6, false}, Case{"error", "ERROR", 4, true},
                         Case{"no carrier", "NO CARRIER", 5, true}, Case{"silence", "", 5, true}}) {
        SCOPED_TRACE(c.name);
        TStation* st = modemStation(2, "555");
        line(modem).script["ATD"] = {300, c.reply};
        line(modem).commands.clear();
        modem->ComLog.clear();
        if (!vx::CommServer->Running)
            start();
        st->RequestCall();
        ASSERT_TRUE(modem->IsQueued(st));
        ASSERT_GE(until(TModem::msDialing), 0);
        ASSERT_GE(until(TModem::msHangUp, 70000), 0);
        ASSERT_GE(until(TModem::msQuiet), 0);
        EXPECT_EQ(st->ModemError, c.error);
        EXPECT_EQ(st->CallResult, 1);
        EXPECT_EQ(modemLines().at(1), TModem::ErrorText(c.error));
        EXPECT_EQ(modemLines().at(2), "Quiet");
        EXPECT_EQ(modemLines().at(3), "********************");
        EXPECT_EQ(modem->IsQueued(st), c.redial);
        EXPECT_EQ(st->RedialCount, c.redial ? 1 : 0);
        EXPECT_EQ(std::count(line(modem).commands.begin(), line(modem).commands.end(), "ATD555"), 1);
        // Codes 7 and up are shown with the catalogue's own rows.
        if (c.error == 8)
            EXPECT_EQ(st->ModemErrorText, vx::GetLangText(1009));
        else
            EXPECT_EQ(st->ModemErrorText, vx::GetStatusText1000(c.error));
        retire(st);
    }
}

TEST_F(ModemTest, NumbersThatWouldSmuggleCommandsAreNotDialled)
{
    for (const char* number : {"555\r\nATZ", "555;ATH", "5\x01" "5"}) {
        TStation* st = modemStation(2, number);
        line(modem).commands.clear();
        if (!vx::CommServer->Running)
            start();
        st->RequestCall();
        ASSERT_GE(until(TModem::msHangUp), 0);
        ASSERT_GE(until(TModem::msQuiet), 0);
        EXPECT_TRUE(line(modem).commands.empty());
        EXPECT_EQ(st->ModemError, 7);
        EXPECT_EQ(st->ModemErrorText, vx::GetLangText(1008)) << "the row of a missing number";
        EXPECT_FALSE(modem->IsQueued(st)) << "error 7 is not redialled";
        retire(st);
    }
}

TEST_F(ModemTest, StationsWithOneNumberShareTheCallAndALateOneJoinsIt)
{
    TStation* a = modemStation(2, "777", false);
    TStation* b = modemStation(3, "777", false);
    TStation* other = modemStation(4, "888", false);
    start();
    a->RequestCall();
    b->RequestCall();
    other->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    EXPECT_EQ(modem->Stations, (std::vector<TStation*>{a, b}));
    TStation* c = modemStation(5, "777", false);
    c->RequestCall();
    EXPECT_EQ(modem->Stations.back(), c);
    EXPECT_EQ(c->DialState, 3) << "joins with the call's dial state";
    EXPECT_EQ(std::count(line(modem).commands.begin(), line(modem).commands.end(), "ATD777"), 1);
    EXPECT_EQ(other->DialState, 1);
}

TEST_F(ModemTest, AStationAskingAgainMovesToSecondPlaceAndTheFirstStaysFirst)
{
    TStation* a = modemStation(2, "1");
    TStation* b = modemStation(3, "2");
    TStation* c = modemStation(4, "3");
    for (TStation* s : {a, b, c})
        EXPECT_EQ(modem->QueueStation(s), 0);
    EXPECT_EQ(modem->QueueStation(c), 1);
    EXPECT_EQ(modem->Queue, (std::vector<TStation*>{a, c, b}));
    EXPECT_EQ(modem->QueueStation(a), 1);
    EXPECT_EQ(modem->Queue, (std::vector<TStation*>{a, c, b}));
}

TEST_F(ModemTest, ModemType600NeverDials)
{
    TStation* st = modemStation(2, "600", false);
    TVariable* type = vx::StationList->AddStation()->AddVariable();
    type->Value.setI4(600);
    modem->ModemTypeVariable = type;
    st->Primary->ModemNumber = 600;
    start();
    st->RequestCall();
    ASSERT_TRUE(modem->IsQueued(st));
    ASSERT_GE(until(TModem::msConnected), 0);
    EXPECT_TRUE(line(modem).commands.empty());
}

TEST_F(ModemTest, AMissingPortBlocksTheModemAndHandsItsQueueToTheOther)
{
    TModem* second = addModem("MODEM2");
    line(modem).missing = true;
    TStation* a = modemStation(2, "1");
    TStation* b = modemStation(3, "2");
    EXPECT_EQ(modem->QueueStation(a), 0);
    EXPECT_EQ(modem->QueueStation(b), 0);
    start();
    ASSERT_TRUE(advanceUntil([&] { return modem->Blocked; }, 1000));
    EXPECT_EQ(modem->StateName(), "Blocked");
    EXPECT_EQ(modemLines().at(0), "Start - Err");
    EXPECT_TRUE(modem->Queue.empty());
    EXPECT_TRUE(second->IsQueued(a));
    EXPECT_TRUE(second->IsQueued(b));
    EXPECT_EQ(modem->QueueStation(a), 2);
    EXPECT_EQ(vx::ModemList->FindModemFor(a), second);
}

TEST_F(ModemTest, ThreeUnansweredHangUpsEndTheCall)
{
    TStation* st = modemStation(2, "555", false);
    line(modem).script["ATH"] = {0, ""};
    line(modem).script["+++"] = {0, ""};
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    modem->StartHangUp();
    ASSERT_GE(until(TModem::msQuiet, 100000), 0);
    EXPECT_EQ(std::count(line(modem).commands.begin(), line(modem).commands.end(), "ATH"), 3)
        << ::testing::PrintToString(line(modem).commands) << ::testing::PrintToString(modemLines());
    EXPECT_FALSE(modem->Connected);
    EXPECT_EQ(std::count(line(modem).commands.begin(), line(modem).commands.end(), "ATD555"), 1)
        << "no dial on a line that may still be up";
}

TEST_F(ModemTest, OnlyTheHangUpAtShutDownGetsAProcessingTurn)
{
    TStation* st = modemStation(2, "555", false);
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    modem->StartHangUp();
    ASSERT_GE(until(TModem::msQuiet, 30000), 0);
    EXPECT_EQ(line(modem).processTurns, 0) << "the state machine's hang-up needs none";

    st->SetState(vx::ssDisconnected);
    ASSERT_GE(until(TModem::msConnected), 0);
    const std::size_t lines = modemLines().size();
    vx::ShuttingDown = true;  // as the destruction of the root sets it
    modem->StartHangUp();
    EXPECT_EQ(line(modem).processTurns, 1);
    // The hang-up step ran at once: its line carries the state it ran in.
    ASSERT_EQ(modemLines().size(), lines + 1);
    EXPECT_EQ(modemLines().back(), "Connected");
}

TEST_F(ModemTest, NoCallWhileCommunicationIsStoppedAndAStopHangsUp)
{
    TStation* st = modemStation(2, "555", false);
    EXPECT_EQ(modem->QueueStation(st), 0);
    advance(30000);
    EXPECT_EQ(modem->State, TModem::msQuiet);
    start();
    ASSERT_GE(until(TModem::msConnected), 0);
    vx::CommServer->StopCommunication();
    ASSERT_GE(until(TModem::msQuiet, 30000), 0);
    EXPECT_EQ(line(modem).commands.back(), "ATH");
    advance(60000);
    EXPECT_EQ(modem->State, TModem::msQuiet);
}

TEST_F(ModemTest, ACarrierLostInMidCallIsRedialledOnceTimSameCallHasPassed)
{
    vx::timSameCall = 5000;
    vx::timBeforeDial = 1000;
    TStation* st = modemStation(2, "555", false);
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    line(modem).dropCarrier();
    ASSERT_GE(until(TModem::msQuiet), 0);
    EXPECT_EQ(st->ModemError, 5);
    EXPECT_EQ(std::count(modem->Queue.begin(), modem->Queue.end(), st), 1) << "queued once";
    for (const auto& m : *vx::ModemList) {
        if (m.get() != modem) {
            EXPECT_FALSE(m->IsQueued(st));
        }
    }
    const std::int64_t wait = until(TModem::msStart, 20000);
    EXPECT_GE(wait, 4000);
    ASSERT_GE(until(TModem::msConnected), 0);
}

TEST_F(ModemTest, AStationAskingDuringTheHangUpWaitsForTheNextCall)
{
    TStation* a = modemStation(2, "555", false);
    TStation* b = modemStation(3, "555", false);
    start();
    a->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    modem->StartHangUp();
    ASSERT_GE(until(TModem::msHangingUp), 0);
    b->RequestCall();
    EXPECT_FALSE(modem->IsAttached(b));
    EXPECT_EQ(b->DialState, 1);
    ASSERT_GE(until(TModem::msQuiet), 0);
    EXPECT_TRUE(modem->IsQueued(b));
    EXPECT_EQ(b->Channel, modem);
}

TEST_F(ModemTest, WaitsHoldAcrossTheWrapOfA32BitTickCount)
{
    clock.advanceMs((std::int64_t{1} << 32) - 30000);
    TStation* st = modemStation(2, "555");
    line(modem).script["ATD"] = {0, ""};
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msDialing), 0);
    const std::int64_t dialing = until(TModem::msStartHangingUp, 70000);
    EXPECT_GE(dialing, 60000) << "the 60-second dial wait runs its full time";
}

TEST_F(ModemTest, AReleaseBeforeTheCallReportsNoCall)
{
    TStation* st = modemStation(2, "555");
    st->CallTime = 123.0;
    EXPECT_EQ(modem->QueueStation(st), 0);
    const std::int32_t result = st->CallResult;
    modem->ReleaseStation(st);
    EXPECT_FALSE(modem->IsQueued(st));
    EXPECT_EQ(st->CallResult, result);
    EXPECT_EQ(st->CallTime, 123.0);
}

TEST_F(ModemTest, AReadOnceStationStaysWhileAWriteOfItWaits)
{
    TStation* st = modemStation(2, "555");
    TVariable* v = variable(st, VT_UI2, 3, 10);
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    ASSERT_TRUE(advanceUntil([&] { return st->GetPollSuspended(); }, 5000));
    v->Value.setUI2(0x0909);
    bool finished = true;
    ASSERT_EQ(v->WriteValue(finished), S_OK);
    ASSERT_FALSE(modem->WriteQueue.empty());
    ASSERT_GE(until(TModem::msQuiet, 30000), 0);
    EXPECT_EQ(plc(st).peek(3, 10, 2), (Bytes{0x09, 0x09})) << "the write went out before the release";
    EXPECT_EQ(v->WritePending, 0);
}

TEST_F(ModemTest, AGsmModemHangsUpThroughGSMSetCommandMode)
{
    TVariable* type = vx::StationList->AddStation()->AddVariable();
    type->Value.setI4(0x8001);
    modem->ModemTypeVariable = type;
    TStation* st = modemStation(2, "555", false);
    st->Primary->ModemNumber = 0x8001;
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    modem->StartHangUp();
    EXPECT_GE(until(TModem::msGSMSetCommandMode), 0);
    EXPECT_GE(until(TModem::msHangingUp), 0);
    EXPECT_GE(until(TModem::msQuiet), 0);
    EXPECT_EQ(line(modem).commands.back(), "ATH");
}

TEST_F(ModemTest, ACommandTimeOutKeepsTheErrorAlreadySet)
{
    TStation* st = modemStation(2, "555", false);
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    modem->SetError(8);
    modem->State = TModem::msDialing;  // a time-out of a state that would set its own error
    modem->Modem->OnCmdTimedOut();
    EXPECT_EQ(modem->State, TModem::msHangUp);
    EXPECT_EQ(modem->ErrorCode, 8);
    EXPECT_EQ(st->ModemError, 8);
}

TEST_F(ModemTest, ModemLinesHaveTheSixFieldsAndNeverReachTheFile)
{
    TStation* st = modemStation(2, "555");
    line(modem).script["ATD"] = {100, "BUSY"};
    vx::ComLogToFile = true;
    const std::string dir = ::testing::TempDir() + "modemlog";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    vx::SetComLogEnv({[dir] { return dir; }, [](const std::string&) { return true; }, nullptr, nullptr});
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msHangUp), 0);
    ASSERT_GE(until(TModem::msQuiet), 0);
    const std::string first = modem->ComLog.front();
    EXPECT_EQ(first.substr(0, first.rfind('\r') + 1), ">\rDialing 555\r \r \r \r");
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    vx::SetComLogEnv({});
    std::filesystem::remove_all(dir);
}

TEST_F(ModemTest, ALineLostWhenTheTypeLeaves600IsALineErrorAndTheStatusTextFollows)
{
    TVariable* type = vx::StationList->AddStation()->AddVariable();
    TVariable* text = vx::StationList->AddStation()->AddVariable();
    type->Value.setI4(600);
    modem->ModemTypeVariable = type;
    modem->StatusTextVariable = text;
    TStation* st = modemStation(2, "600", false);
    st->Primary->ModemNumber = 600;
    st->Primary->MaxRedials = 0;  // a redial would find no modem of its type
    start();
    st->RequestCall();
    ASSERT_GE(until(TModem::msConnected), 0);
    EXPECT_EQ(text->Value.toUtf8().value_or(""), "Connected");
    type->Value.setI4(0);
    ASSERT_GE(until(TModem::msQuiet), 0);
    EXPECT_EQ(st->ModemError, 9);
    EXPECT_EQ(st->ModemErrorText, vx::GetLangText(1011));
    EXPECT_EQ(text->Value.toUtf8().value_or(""), "Quiet");
}

TEST_F(ModemTest, ATildeInTheNumberPausesTheDialCommand)
{
    vx::timTildeDelay = 40;
    TModem* m = addModem("MODEM2");
    EXPECT_EQ(m->Modem->TildeDelay, 40) << "read at creation";
    ScriptedModem& l = line(m);
    m->Modem->Dial("0~123");
    EXPECT_TRUE(l.commands.empty()) << "ATD0 went, the rest waits";
    advance(39);
    EXPECT_TRUE(l.commands.empty());
    advance(1);
    EXPECT_EQ(l.commands, (std::vector<std::string>{"ATD0123"}));
}

}  // namespace

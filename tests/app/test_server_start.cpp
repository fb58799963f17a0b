// The server's start on its configuration: the demo as the README runs it, the untitled and
// the damaged configuration, the first item starting communication, the pulse, and the order
// of the shut-down.
#include "app/server_start.h"

#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/inifile.h"
#include "app/settings.h"
#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_msgdlg.h"
#include "comm/vx_notify.h"
#include "comm/vx_socket.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "opc/opc_globals.h"
#include "platform/clock.h"
#include "platform/com/catmgr.h"
#include "platform/com/locale.h"
#include "platform/com/registry.h"
#include "platform/com/runtime.h"
#include "platform/port/comports.h"
#include "platform/text.h"
#include "platform/timers.h"
#include "tests/com/alloc_balance.h"
#include "tests/comm/quiet_port.h"
#include "tests/opc/opc_client.h"
#include "tools/cfggen/cfggen.h"

namespace {

namespace fs = std::filesystem;
using opctest::Callback;
using opctest::RecordingSink;
using opctest::TestClient;
using opctest::TestGroup;

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Put(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The start-up's own lines are kept for the tests; the editor's stay off the output.
std::vector<std::string>* startLog = nullptr;
QtMessageHandler previousHandler = nullptr;
void KeepStartLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const std::string category = context.category ? context.category : "";
    if (category == "vx.app.start" && startLog) {
        startLog->push_back(text.toStdString());
        return;
    }
    if (category.starts_with("vx.editor.") || category == "vx.msgdlg")
        return;
    if (previousHandler)
        previousHandler(type, context, text);
}

// Answers the file dialogs of the editor's commands: every dialog is cancelled and recorded.
class CancellingUi final : public vos::TConfigFileUi {
public:
    std::optional<std::string> SaveFileDialog(const vos::TFileDialogRequest& request) override
    {
        saveRequests.push_back(request);
        return std::nullopt;
    }
    std::vector<vos::TFileDialogRequest> saveRequests;
};

class StartFixture : public comtest::TaskAllocBalance {
protected:
    StartFixture() : clock(46365.5), scheduler(clock) {}

    void SetUp() override
    {
        comtest::TaskAllocBalance::SetUp();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(SUCCEEDED(apartment.result()));
        startLog = &log;
        previousHandler = qInstallMessageHandler(KeepStartLog);
        plat::setClock(&clock);
        plat::setTimerFactory(&scheduler);
        vx::SetComPortFactory([this] { return std::make_unique<chantest::QuietPort>(&portOpens); });
        vx::ResetSettings();
        vos::ResetAppSettings();
        opc::ResetOPCGlobals();
        plat::setCollationLocale("en_US");
        com::classesRoot().deleteTree(u"");
        ASSERT_EQ(com::registerComponentCategoriesManager(&managerCookie), S_OK);
        vx::SetMessageDlgAnswer([this](const std::string& text, vx::TMsgDlgType, vx::TMsgDlgButtons) {
            dialogs.push_back(text);
            return int(vx::mrOk);
        });
        vx::SetMessageNotifier([this](vx::TMessageKind, const std::string& text) { messages.push_back(text); });
        vos::SetSettingsNotifier([](vos::Note, const std::string&) {});
        vx::InitializeComm();
    }

    void TearDown() override
    {
        if (sink)
            sink->onCall = nullptr;
        group.release();
        client.reset();
        sink = nullptr;
        server.reset();
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::SetComPortFactory(nullptr);
        vx::SetMessageNotifier({});
        vx::SetMessageDlgAnswer({});
        vos::SetSettingsNotifier({});
        vos::AttachConfigFileNames(nullptr);
        if (managerCookie)
            CoRevokeClassObject(managerCookie);
        com::classesRoot().deleteTree(u"");
        vx::ResetSettings();
        vos::ResetAppSettings();
        opc::ResetOPCGlobals();
        com::setProcessLocale(com::ProcessLocale::english());
        plat::setCollationLocale("");
        plat::setTimerFactory(nullptr);
        plat::setClock(nullptr);
        qInstallMessageHandler(previousHandler);
        startLog = nullptr;
        comtest::TaskAllocBalance::TearDown();
    }

    std::string PathOf(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }

    // Reads the settings file as the program does, then starts on it.
    void StartOn(const std::string& settingsFile)
    {
        vx::IniFileName = settingsFile;
        vos::ReadSettings();
        server = std::make_unique<vos::TServerStart>();
        server->Start();
    }
    void StartWithSettings(const std::string& ini)
    {
        Put(PathOf("VornOPCServer.ini"), ini);
        StartOn(PathOf("VornOPCServer.ini"));
    }
    // The demo as the build lays it out: Demo.cfg written by the generator from its
    // description, the shipped Demo.ini beside it.
    void StartOnDemo()
    {
        Put(PathOf("Demo.cfg"), cfggen::fromDescription(Slurp(VX_DEMO_DESCRIPTION)));
        Put(PathOf("Demo.ini"), Slurp(VX_DEMO_SETTINGS));
        StartOn(PathOf("Demo.ini"));
    }

    // A client with one active group at rate ms holding the items, its data changes in sink.
    std::vector<OPCHANDLE> Connect(const std::vector<std::string>& ids, DWORD rate = 100)
    {
        client = std::make_unique<TestClient>();
        sink = com::makeCom<RecordingSink>();
        group = client->addGroup("G", true, rate);
        EXPECT_TRUE(group);
        EXPECT_NE(group.advise(sink->unknown()), 0u);
        std::vector<opctest::ItemDef> defs;
        for (std::size_t i = 0; i < ids.size(); ++i)
            defs.push_back({ids[i], static_cast<OPCHANDLE>(100 + i), true});
        const opctest::AddResult r = group.addItems(defs);
        EXPECT_EQ(r.hr, S_OK);
        std::vector<OPCHANDLE> handles;
        for (std::size_t i = 0; i < r.results.size(); ++i)
            handles.push_back(r.handle(i));
        return handles;
    }
    // Every value and quality the data changes gave the item of this client handle.
    std::vector<std::pair<double, WORD>> Reported(OPCHANDLE clientHandle) const
    {
        std::vector<std::pair<double, WORD>> out;
        for (const auto& call : sink->calls)
            if (call.kind == Callback::DataChange)
                for (const auto& e : call.entries)
                    if (e.client == clientHandle)
                        out.emplace_back(e.value.toR8().value_or(-1e300), e.quality);
        return out;
    }
    bool Logged(const std::string& part) const
    {
        return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
    static vx::TStation* Station(const std::string& name)
    {
        for (const auto& s : *vx::StationList)
            if (s->Name == name)
                return s.get();
        return nullptr;
    }
    static int CountKind(const vos::TConfigTree& tree, vos::TConfigNodeKind kind)
    {
        return static_cast<int>(
            std::count_if(tree.begin(), tree.end(), [kind](const vos::TConfigNode* n) { return n->Rec().Kind == kind; }));
    }
    static std::string IniValue(const std::string& file, const char* key)
    {
        return vos::IniFile(file).ReadString("Main", key, "<absent>");
    }

    plat::ManualClock clock;
    plat::ManualScheduler scheduler;
    QTemporaryDir dir;
    com::ApartmentScope apartment;
    DWORD managerCookie = 0;
    int portOpens = 0;
    std::vector<std::string> dialogs;
    std::vector<std::string> messages;
    std::vector<std::string> log;
    std::vector<int> events;  // what the runtime monitor's hook heard
    std::unique_ptr<vos::TServerStart> server;

    std::unique_ptr<TestClient> client;
    com::ComPtr<RecordingSink> sink;
    TestGroup group;
};

class StartDemo : public StartFixture {};

TEST_F(StartDemo, LoadsAndRegistersTheDemo)
{
    StartOnDemo();
    ASSERT_EQ(server->LoadResult(), vos::TLoadResult::Loaded);
    // Demo.ini names Demo.cfg relative to itself.
    EXPECT_EQ(vx::CfgFileName, PathOf("Demo.cfg"));
    EXPECT_EQ(IniValue(PathOf("Demo.ini"), "CfgFileName"), PathOf("Demo.cfg")) << "registering remembers the file";
    EXPECT_EQ(plat::comPortDevice(1), "/tmp/vorn-demo-plc");
    EXPECT_FALSE(server->Editor().Modified());
    EXPECT_FALSE(server->Editor().RegisterPending());

    // Every variable of the configuration, and each station's own time stamp, in the
    // catalogue by item ID from handle 5000.
    const auto& tree = server->Editor().Tree();
    const auto& items = server->Registry()->Items;
    ASSERT_EQ(opc::OPCRegistry, server->Registry());
    EXPECT_EQ(CountKind(tree, vos::nkStation), 3);
    EXPECT_EQ(items.size(), std::size_t(CountKind(tree, vos::nkVariable) + 3));
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].Handle, opc::kFirstCatalogueHandle + static_cast<std::int32_t>(i));
        if (i > 0) {
            EXPECT_LT(plat::compareTextLocale(items[i - 1].ItemID, items[i].ItemID), 0) << items[i].ItemID;
        }
    }
    for (const char* id : {"PLC1.Registers.Level", "PLC1.Databox.Archive", "PLC2.Conveyor.Line.Loads",
                           "Simulation.Ramps.Level", "Simulation.User.Mode", "Simulation.INT_TimeStamp"}) {
        std::int32_t index = 0;
        EXPECT_NE(server->Registry()->FindItem(id, index), nullptr) << id;
    }
    EXPECT_TRUE(Logged("Configuration loaded from " + PathOf("Demo.cfg") + ": 3 stations, 0 modems, "));
    EXPECT_TRUE(Logged("Configuration registered: 3 stations, " + std::to_string(items.size()) + " items"));

    // One serial channel serves PLC1 and PLC2; "Simulation" is on the UDP channel. Nothing
    // communicates before a client asks.
    ASSERT_NE(Station("PLC1"), nullptr);
    EXPECT_EQ(Station("PLC1")->Channel, Station("PLC2")->Channel);
    EXPECT_EQ(vx::ComList->size(), 1u);
    EXPECT_EQ(Station("Simulation")->Channel, vx::UdpSocket);
    EXPECT_FALSE(vx::CommServer->Running);
    EXPECT_EQ(portOpens, 0);

    // The first start registers the server and says so; the pulse runs.
    EXPECT_TRUE(vos::IsRegistered);
    EXPECT_TRUE(com::classesRoot().keyExists(u"Vorn OPC Server\\Clsid"));
    EXPECT_EQ(dialogs, std::vector<std::string>{"Server was succefully registered."});
    EXPECT_TRUE(messages.empty());
    ASSERT_NE(server->PulseTimer(), nullptr);
    EXPECT_TRUE(server->PulseTimer()->enabled());
    EXPECT_EQ(server->PulseTimer()->interval(), 200);
    EXPECT_TRUE(opc::PulseEnabled);
}

TEST_F(StartDemo, ARegisteredServerIsNotRegisteredAgain)
{
    Put(PathOf("Demo.cfg"), cfggen::fromDescription(Slurp(VX_DEMO_DESCRIPTION)));
    std::string ini = Slurp(VX_DEMO_SETTINGS);
    ini.replace(ini.find("[Main]\n"), 7, "[Main]\nIsRegistered=1\n");
    Put(PathOf("Demo.ini"), ini);
    StartOn(PathOf("Demo.ini"));
    EXPECT_TRUE(dialogs.empty());
    EXPECT_FALSE(com::classesRoot().keyExists(u"Vorn OPC Server"));
}

// The demo serves changing values with no PLC: the first item starts communication, the
// UDP channel's poll ticks run the simulation, and the pulse sends the data changes.
TEST_F(StartDemo, AClientSeesSimulatedValuesChange)
{
    StartOnDemo();
    server->SetMonitorHook([this](int code, opc::TMonitorObject) { events.push_back(code); });

    const auto handles = Connect({"Simulation.Ramps.Level", "Simulation.Random.Temperature"});
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_TRUE(vx::CommServer->Running);
    EXPECT_FALSE(vx::CommServer->WasRunning) << "the second item of the call started it again";
    EXPECT_EQ(std::count(events.begin(), events.end(), opc::meItemAdded), 2);

    // A ramp and a random walk, each seen with the quality of a simulated value.
    scheduler.advance(10000);
    for (const auto& [h, changes] : {std::pair{OPCHANDLE{100}, 10u}, std::pair{OPCHANDLE{101}, 2u}}) {
        std::set<double> values;
        for (const auto& [value, quality] : Reported(h)) {
            EXPECT_EQ(quality, vx::qLocalOverride) << "client handle " << h;
            values.insert(value);
        }
        EXPECT_GE(values.size(), changes) << "client handle " << h << ": the value changes";
    }
    EXPECT_EQ(portOpens, 0) << "no item of PLC1 or PLC2 is active";

    // A further item does not start communication again; one of PLC1 opens its line.
    EXPECT_EQ(group.addItems({{"PLC1.Registers.Counter", 102, true}}).hr, S_OK);
    EXPECT_FALSE(vx::CommServer->WasRunning);
    scheduler.advance(1000);
    EXPECT_EQ(portOpens, 1);
}

TEST_F(StartDemo, PulseIsOffWhileItRunsAndIdleWhilePulseEnabledIsOff)
{
    StartOnDemo();
    Connect({"Simulation.Ramps.Level"});
    std::vector<bool> enabledInCallback;
    sink->onCall = [&](const Callback&) { enabledInCallback.push_back(server->PulseTimer()->enabled()); };

    scheduler.advance(2000);
    ASSERT_FALSE(enabledInCallback.empty());
    EXPECT_EQ(std::count(enabledInCallback.begin(), enabledInCallback.end(), true), 0);

    // A server object tearing down its groups switches the pulse off meanwhile.
    opc::PulseEnabled = false;
    const std::size_t before = sink->calls.size();
    scheduler.advance(2000);
    EXPECT_EQ(sink->calls.size(), before);
    EXPECT_TRUE(server->PulseTimer()->enabled()) << "the timer keeps ticking";

    opc::PulseEnabled = true;
    scheduler.advance(2000);
    EXPECT_GT(sink->calls.size(), before);
}

class StartPulse : public StartFixture {};

TEST_F(StartPulse, IntervalFollowsTheFastestUpdateRate)
{
    StartWithSettings("[Main]\nLanguage=1\nIsRegistered=1\n");
    plat::Timer& pulse = *server->PulseTimer();
    scheduler.advance(200);
    EXPECT_EQ(pulse.interval(), 200);
    // Recomputed after round(10000 / 200) ticks: no group, 10 ms.
    scheduler.advance(49 * 200);
    EXPECT_EQ(pulse.interval(), 10);

    // A monitor event recomputes at once; the next tick takes the group's rate.
    client = std::make_unique<TestClient>();
    group = client->addGroup("Fast", true, 4);
    ASSERT_TRUE(group);
    ASSERT_EQ(group.revisedRate, 4u);
    EXPECT_EQ(opc::FastestUpdateInterval, 4u);
    scheduler.advance(10);
    EXPECT_EQ(pulse.interval(), 4);
}

struct UntitledCase {
    const char* name;
    const char* cfgLine;  // nullptr: no CfgFileName key
};

class StartUntitled : public StartFixture, public ::testing::WithParamInterface<UntitledCase> {};

TEST_P(StartUntitled, HoldsTheEmptyUntitledConfiguration)
{
    std::string ini = "[Main]\nLanguage=1\nIsRegistered=1\n";
    if (GetParam().cfgLine)
        ini += std::string("CfgFileName=") + GetParam().cfgLine + "\n";
    StartWithSettings(ini);

    EXPECT_EQ(server->LoadResult(), vos::TLoadResult::NewFile);
    EXPECT_EQ(vx::CfgFileName, "Untitled.cfg");
    EXPECT_TRUE(vos::IsUntitledConfig());
    const auto& tree = server->Editor().Tree();
    ASSERT_EQ(tree.Root()->ChildCount(), 1);
    EXPECT_EQ(tree.Root()->Child(0)->Rec().Kind, vos::nkServer);
    EXPECT_EQ(tree.Root()->Child(0)->ChildCount(), 0);
    EXPECT_FALSE(server->Editor().Modified());
    EXPECT_TRUE(server->Registry()->Items.empty());
    EXPECT_EQ(vx::StationList->size(), 0u);
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_TRUE(Logged("an empty untitled configuration (Untitled.cfg)"));
    // Registering at start writes the name, so the settings file names the untitled one.
    EXPECT_EQ(IniValue(PathOf("VornOPCServer.ini"), "CfgFileName"), "Untitled.cfg");
    EXPECT_TRUE(server->PulseTimer()->enabled());
}

INSTANTIATE_TEST_SUITE_P(Cases, StartUntitled,
                         ::testing::Values(UntitledCase{"NoKey", nullptr}, UntitledCase{"RelativeGone", "gone.cfg"},
                                           UntitledCase{"AbsoluteGone", "/nonexistent/vorn/gone.cfg"}),
                         [](const auto& info) { return std::string(info.param.name); });

class StartDamaged : public StartFixture {};

// A file that cannot be loaded stays named, so the next start reports it again, and the save
// that registering asks for goes through the file dialog instead of over the damaged file.
TEST_F(StartDamaged, KeepsTheNameAndTheNextSaveAsksForOne)
{
    std::string bytes = cfggen::fromDescription("server\n  station Name=A\n    variable Name=V\n");
    cfggen::cut(bytes, bytes.size() / 2);
    Put(PathOf("Plant.cfg"), bytes);
    StartWithSettings("[Main]\nLanguage=1\nIsRegistered=1\nCfgFileName=Plant.cfg\n");

    EXPECT_EQ(server->LoadResult(), vos::TLoadResult::Failed);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find(PathOf("Plant.cfg")), std::string::npos) << messages[0];
    EXPECT_EQ(vx::CfgFileName, PathOf("Plant.cfg"));
    EXPECT_EQ(IniValue(PathOf("VornOPCServer.ini"), "CfgFileName"), PathOf("Plant.cfg"));
    EXPECT_EQ(server->Editor().Tree().Root()->ChildCount(), 1);
    EXPECT_TRUE(server->Registry()->Items.empty());

    CancellingUi ui;
    server->FileCommands().SetUi(&ui);
    vos::TConfigNode* top = server->Editor().Tree().Root()->Child(0);
    ASSERT_NE(server->Editor().NewObjectExecute(vos::ntStation, top), nullptr);
    ASSERT_TRUE(server->Editor().Modified());
    server->Registrar().RefreshExecute();
    ASSERT_EQ(ui.saveRequests.size(), 1u);
    EXPECT_EQ(ui.saveRequests[0].FileName, PathOf("Plant.cfg"));
    EXPECT_EQ(Slurp(PathOf("Plant.cfg")), bytes);
    // A cancelled save does not stop registering.
    EXPECT_EQ(vx::StationList->size(), 1u);
    server->FileCommands().SetUi(nullptr);
}

class StartShutdown : public StartFixture {};

TEST_F(StartShutdown, StopsThePulseAndCommunicationThenCutsClientsOff)
{
    StartOnDemo();
    const auto handles = Connect({"Simulation.Ramps.Level"});
    ASSERT_TRUE(vx::CommServer->Running);
    scheduler.advance(500);

    server->Shutdown();
    EXPECT_EQ(server->PulseTimer(), nullptr);
    EXPECT_FALSE(vx::CommServer->Running);
    EXPECT_EQ(server->Registry(), nullptr);
    EXPECT_EQ(opc::OPCRegistry, nullptr);
    EXPECT_EQ(scheduler.activeTimers(), 0) << "no pulse and no poll tick after the shut-down";

    server->Shutdown();  // a second time does nothing

    // The run-time model goes next, as at the program's end. The client still holds its
    // objects: they serve nothing more and reach nothing freed (the sanitizers watch).
    vx::FinalizeComm();
    const auto read = group.read(OPC_DS_CACHE, handles);
    ASSERT_EQ(read.states.size(), 1u);
    EXPECT_NE(read.states[0].quality & 0xC0, 0xC0) << "no good value without a variable";
    const std::size_t calls = sink->calls.size();
    scheduler.advance(1000);
    EXPECT_EQ(sink->calls.size(), calls);
    sink->onCall = nullptr;
    group.release();
    client.reset();
}

// Codes outside the table reach nobody; the others go to the runtime monitor's hook.
TEST_F(StartShutdown, MonitorEventsOutsideTheTableAreIgnored)
{
    StartWithSettings("[Main]\nLanguage=1\nIsRegistered=1\n");
    server->SetMonitorHook([this](int code, opc::TMonitorObject) { events.push_back(code); });
    server->OnMonitorEvent(-1, static_cast<opc::TOPCItem*>(nullptr));
    server->OnMonitorEvent(10, static_cast<opc::TOPCItem*>(nullptr));
    server->OnMonitorEvent(opc::meGroupState, static_cast<opc::TOPCGroup*>(nullptr));
    EXPECT_EQ(events, std::vector<int>{opc::meGroupState});
    EXPECT_FALSE(vx::CommServer->Running);
}

}  // namespace

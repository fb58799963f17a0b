// The server's start on its configuration: the demo as the README runs it, the untitled and
// the damaged configuration, the first item starting communication, the pulse, and the order
// of the shut-down.
#include "app/server_start.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "comm/vx_socket.h"
#include "comm/vx_variable.h"
#include "platform/port/comports.h"
#include "tests/app/main_fixture.h"

namespace {

using apptest::Put;
using apptest::Slurp;
using opctest::Callback;

class StartFixture : public apptest::MainFixture {
protected:
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
    EXPECT_TRUE(window->PulseTimer().enabled());
    EXPECT_EQ(window->PulseTimer().interval(), 200);
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

    const auto handles = Connect({"Simulation.Ramps.Level", "Simulation.Random.Temperature"});
    ASSERT_EQ(handles.size(), 2u);
    LoopBack();
    EXPECT_TRUE(vx::CommServer->Running);
    EXPECT_EQ(LoggedCount("communication started"), 1u);

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
    LoopBack();
    EXPECT_EQ(LoggedCount("communication started"), 1u);
    scheduler.advance(1000);
    EXPECT_EQ(portOpens, 1);
}

class StartPulse : public StartFixture {};

TEST_F(StartPulse, IntervalFollowsTheFastestUpdateRate)
{
    StartWithSettings("[Main]\nLanguage=1\nIsRegistered=1\n");
    plat::Timer& pulse = window->PulseTimer();
    scheduler.advance(200);
    EXPECT_EQ(pulse.interval(), 200);
    // Recomputed after round(10000 / 200) ticks: no group, 10 ms.
    scheduler.advance(49 * 200);
    EXPECT_EQ(pulse.interval(), 10);

    // A monitor event recomputes at once; the next tick takes the group's rate.
    client = std::make_unique<opctest::TestClient>();
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
    EXPECT_TRUE(dialogs.empty()) << dialogs.front();
    EXPECT_TRUE(Logged("an empty untitled configuration (Untitled.cfg)"));
    // Registering at start writes the name, so the settings file names the untitled one.
    EXPECT_EQ(IniValue(PathOf("VornOPCServer.ini"), "CfgFileName"), "Untitled.cfg");
    EXPECT_TRUE(window->PulseTimer().enabled());
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
    ASSERT_EQ(dialogs.size(), 1u) << "message 101 in the message dialog";
    EXPECT_NE(dialogs[0].find(PathOf("Plant.cfg")), std::string::npos) << dialogs[0];
    EXPECT_EQ(vx::CfgFileName, PathOf("Plant.cfg"));
    EXPECT_EQ(IniValue(PathOf("VornOPCServer.ini"), "CfgFileName"), PathOf("Plant.cfg"));
    EXPECT_EQ(server->Editor().Tree().Root()->ChildCount(), 1);
    EXPECT_TRUE(server->Registry()->Items.empty());

    apptest::FileDialogAnswer ui;
    server->FileCommands().SetUi(&ui);
    vos::TConfigNode* top = server->Editor().Tree().Root()->Child(0);
    ASSERT_NE(server->Editor().NewObjectExecute(vos::ntStation, top), nullptr);
    ASSERT_TRUE(server->Editor().Modified());
    server->Registrar().RefreshExecute();
    ASSERT_EQ(ui.requests.size(), 1u);
    EXPECT_EQ(ui.requests[0].FileName, PathOf("Plant.cfg"));
    EXPECT_EQ(Slurp(PathOf("Plant.cfg")), bytes);
    // A cancelled save does not stop registering.
    EXPECT_EQ(vx::StationList->size(), 1u);
    server->FileCommands().SetUi(nullptr);
}

class StartShutdown : public StartFixture {};

// The program's end: the window's destruction stops the pulse and communication, then the
// registry's end cuts the clients off before the singletons go.
TEST_F(StartShutdown, StopsThePulseAndCommunicationThenCutsClientsOff)
{
    StartOnDemo();
    const auto handles = Connect({"Simulation.Ramps.Level"});
    LoopBack();
    ASSERT_TRUE(vx::CommServer->Running);
    scheduler.advance(500);

    window->FormDestroy();
    EXPECT_FALSE(window->PulseTimer().enabled());
    EXPECT_FALSE(vx::CommServer->Running);
    EXPECT_EQ(server->Registry(), opc::OPCRegistry) << "the registry outlives the window";
    window.reset();
    server->EndRegistry();
    EXPECT_EQ(server->Registry(), nullptr);
    EXPECT_EQ(opc::OPCRegistry, nullptr);
    EXPECT_EQ(scheduler.activeTimers(), 0) << "no pulse and no poll tick after the shut-down";

    server->EndRegistry();  // a second time does nothing

    // The run-time model goes next, as at the program's end. The client still holds its
    // objects: they serve nothing more and reach nothing freed (the sanitizers watch).
    vx::FinalizeComm();
    const auto read = group.read(OPC_DS_CACHE, handles);
    ASSERT_EQ(read.states.size(), 1u);
    EXPECT_NE(read.states[0].quality & 0xC0, 0xC0) << "no good value without a variable";
    const std::size_t calls = sink->calls.size();
    scheduler.advance(1000);
    EXPECT_EQ(sink->calls.size(), calls);
    Disconnect();
}

}  // namespace

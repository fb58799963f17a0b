#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "comm/vx_lang.h"
#include "editor_fixture.h"

namespace {

using editor_test::EditorFixture;
using vos::TConfigNode;
using vos::TConfigNodeRec;

using ConfigCreate = EditorFixture;

TEST(ConfigNodeRec, CreationDefaultsPerKind)
{
    struct Case {
        vos::TConfigNodeKind kind;
        const char* name;
        int ordinal;
        int saved;
        int editable;
    };
    const Case cases[] = {
        {vos::nkServer, "Server", 1, 1, 0},    {vos::nkStation, "", 0, 0, 1}, {vos::nkVariable, "", 0, 0, 1},
        {vos::nkFolder, "", 0, 0, 1},          {vos::nkModem, "", 0, 0, 1},
    };
    for (const auto& k : cases) {
        const auto r = TConfigNodeRec::WithDefaults(k.kind);
        SCOPED_TRACE(static_cast<int>(k.kind));
        EXPECT_EQ(r.Kind, k.kind);
        EXPECT_EQ(r.Name, k.name);
        EXPECT_EQ(r.Ordinal, k.ordinal);
        EXPECT_EQ(r.Saved, k.saved);
        EXPECT_EQ(r.Editable, k.editable);
        // The same for every kind.
        EXPECT_EQ(r.Valid, 1);
        EXPECT_EQ(r.Comment, "");
        EXPECT_EQ(r.ComPort, 1);
        EXPECT_EQ(r.BaudRate, 19200);
        EXPECT_EQ(r.Parity, 2);
        EXPECT_EQ(r.ConnectionType, 0);
        EXPECT_EQ(r.Reserved, 0);
        EXPECT_EQ(r.BusAddress, 0);
        EXPECT_EQ(r.StationType, 0);
        EXPECT_EQ(r.Timeout, 2000);
        EXPECT_EQ(r.Marker, 1);
        EXPECT_EQ(r.Zone, 0);
        EXPECT_EQ(r.Address, 0);
        EXPECT_EQ(r.BitNumber, 0);
        EXPECT_EQ(r.VarType, 18);
        EXPECT_EQ(r.StringLength, 0);
        EXPECT_EQ(r.ArrayLength, 0);
        EXPECT_EQ(r.Readable, 1);
        EXPECT_EQ(r.Writable, 1);
        EXPECT_EQ(r.Units, "");
        EXPECT_EQ(r.Scaled, 0);
        EXPECT_EQ(r.ScaledHigh + r.ScaledLow + r.InstrumentHigh + r.InstrumentLow, 0.0);
        EXPECT_EQ(r.CloseLabel, "True");
        EXPECT_EQ(r.OpenLabel, "False");
        EXPECT_EQ(r.HiHiLimit + r.HiLimit + r.LoLimit + r.LoLoLimit, 0.0);
        EXPECT_EQ(r.ScaledVarType, 4);
        EXPECT_EQ(r.Simulated, 0);
        EXPECT_EQ(r.SimulationType, 0);
        EXPECT_EQ(r.SimulationMin, 0.0);
        EXPECT_EQ(r.SimulationMax, 1000.0);
        EXPECT_EQ(r.SimulationGain, 10.0);
        EXPECT_EQ(r.SimulationPeriod, 1000);
        EXPECT_EQ(r.ServiceCode, 0);
        EXPECT_EQ(r.ReservedDoubles, (std::array<double, 10>{}));
        EXPECT_EQ(r.ReservedInts, (std::array<std::int32_t, 10>{}));
        EXPECT_EQ(r.ReservedBytes, (std::array<std::uint8_t, 10>{}));
        EXPECT_EQ(r.InitialValue, "");
        EXPECT_EQ(r.IpAddress, "127.0.0.1");
        EXPECT_EQ(r.ReservedText, "");
        EXPECT_EQ(r.StandbyComPort, 1);
        EXPECT_EQ(r.StandbyBaudRate, 19200);
        EXPECT_EQ(r.StandbyParity, 2);
        EXPECT_EQ(r.StandbyConnectionType, -1);
        EXPECT_EQ(r.StandbyBusAddress, 0);
        EXPECT_EQ(r.StandbyTimeout, 2000);
        EXPECT_EQ(r.StandbyIpAddress, "127.0.0.2");
    }
}

TEST_F(ConfigCreate, DefaultNamesCountPerKindInTheCurrentLanguage)
{
    auto* station = Create(vos::nkStation, server);
    struct Case {
        vos::TConfigNodeKind kind;
        std::int32_t language;
        std::int32_t* counter;
        std::int32_t before;
        const char* name;
    };
    const Case cases[] = {
        {vos::nkStation, 1, &vos::StationCounter, 0, "Device1"},
        {vos::nkVariable, 1, &vos::VariableCounter, 0, "Item1"},
        {vos::nkFolder, 1, &vos::FolderCounter, 0, "Branch1"},
        {vos::nkModem, 1, &vos::ModemCounter, 0, "Modem1"},
        {vos::nkStation, 0, &vos::StationCounter, 0, "Stanice1"},
        {vos::nkVariable, 0, &vos::VariableCounter, 0, "Promenna1"},
        {vos::nkFolder, 0, &vos::FolderCounter, 0, "Slozka1"},
        // A loaded file raised the counter: numbering goes on above it.
        {vos::nkStation, 1, &vos::StationCounter, 6, "Device7"},
        {vos::nkVariable, 1, &vos::VariableCounter, 41, "Item42"},
        // The largest number there is stays; validation repairs the name.
        {vos::nkFolder, 1, &vos::FolderCounter, std::numeric_limits<std::int32_t>::max(), "Branch2147483647"},
    };
    for (const auto& k : cases) {
        vx::Language = k.language;
        *k.counter = k.before;
        auto* node = editor.CreateNode(k.kind, station);
        ASSERT_NE(node, nullptr) << k.name;
        EXPECT_EQ(node->Rec().Name, k.name);
        EXPECT_EQ(node->Rec().Ordinal, *k.counter) << k.name;
        EXPECT_EQ(*k.counter, k.before == std::numeric_limits<std::int32_t>::max() ? k.before : k.before + 1);
        EXPECT_EQ(node->Rec().TreeNode, node);
        EXPECT_EQ(node->Rec().Editable, 1);
    }
    EXPECT_EQ(server->Rec().Name, "Server");
    EXPECT_EQ(server->Parent(), editor.Tree().Root());
    // Creating nodes alone is not an edit of the configuration.
    EXPECT_FALSE(editor.Modified());
    EXPECT_EQ(editor.UpdateLock(), 0);
}

struct ServiceRow {
    const char* name;
    int code;
    int zone;
    int address;
    int varType;
    const char* initial;
    int commentId;
};

// A station's "Service" folder, in creation order.
const ServiceRow kStationService[] = {
    {"SYS_DateTime", 1, 2, 5, 7, "", 300},          {"DRW_Zone", 16, 0, 0, 3, "", 306},
    {"DRW_Address", 10, 0, 0, 3, "", 301},          {"DRW_Length", 11, 0, 0, 3, "", 302},
    {"DRW_Control", 12, 0, 0, 3, "", 303},          {"DRW_Status", 14, 0, 0, 3, "", 304},
    {"DRW_DataBuffer", 13, 0, 0, 0x2011, "", 305},  {"CON_Control", 40, 0, 0, 3, "1", 311},
    {"REM_DialNum", 20, 0, 0, 8, "", 310},          {"REM_Status", 22, 0, 0, 3, "", 312},
    {"REM_StatusStr", 26, 0, 0, 8, "", 313},        {"REM_LastStatus", 23, 0, 0, 3, "", 314},
    {"REM_LastStatusStr", 27, 0, 0, 8, "", 315},    {"REM_LastExtStatus", 25, 0, 0, 3, "", 316},
    {"REM_LastExtStatusStr", 28, 0, 0, 8, "", 317}, {"REM_ModemType", 30, 0, 0, 3, "", 319},
};

void ExpectServiceItems(const TConfigNode* parent, const ServiceRow* rows, int count)
{
    ASSERT_EQ(parent->ChildCount(), count);
    for (int i = 0; i < count; ++i) {
        const auto& row = rows[i];
        const auto& r = parent->Child(i)->Rec();
        SCOPED_TRACE(row.name);
        EXPECT_EQ(r.Name, row.name);
        EXPECT_EQ(r.Kind, vos::nkVariable);
        EXPECT_EQ(r.ServiceCode, row.code);
        EXPECT_EQ(r.Zone, row.zone);
        EXPECT_EQ(r.Address, row.address);
        EXPECT_EQ(r.VarType, row.varType);
        EXPECT_EQ(r.InitialValue, row.initial);
        EXPECT_EQ(r.Comment, vx::GetLangText(row.commentId));
        EXPECT_FALSE(r.Comment.empty());
        EXPECT_EQ(r.Editable, 0);
        // What the items' creation does not apply.
        EXPECT_EQ(r.Readable, 1);
        EXPECT_EQ(r.Writable, 1);
        EXPECT_EQ(r.StringLength, 0);
        EXPECT_EQ(r.BitNumber, 0);
        EXPECT_EQ(r.ArrayLength, 0);
    }
}

TEST_F(ConfigCreate, NewStationInAnEmptyServerGetsItsServiceFolder)
{
    for (const std::int32_t language : {1, 0}) {
        SCOPED_TRACE(language);
        editor.ClearConfiguration();
        vx::Language = language;
        server = editor.CreateNode(vos::nkServer, nullptr);
        editor.SetModified(false);
        editor.SetRegisterEnabled(false);
        registerHook.clear();
        saveHook.clear();

        auto* station = editor.NewObjectExecute(vos::ntStation, server);
        ASSERT_NE(station, nullptr);
        EXPECT_EQ(station->Rec().Name, vx::GetLangText(0) + "1");
        EXPECT_EQ(station->Parent(), server);
        EXPECT_EQ(station->Rec().IpAddress, "127.0.0.1");
        EXPECT_EQ(station->Rec().StandbyIpAddress, "127.0.0.2");
        ASSERT_EQ(station->ChildCount(), 1);
        const auto* folder = station->Child(0);
        EXPECT_EQ(folder->Rec().Kind, vos::nkFolder);
        EXPECT_EQ(folder->Rec().Name, vx::GetLangText(20));
        EXPECT_EQ(folder->Rec().Editable, 0);
        ExpectServiceItems(folder, kStationService, 16);
        EXPECT_EQ(vos::StationCounter, 1);
        EXPECT_EQ(vos::FolderCounter, 1);
        EXPECT_EQ(vos::VariableCounter, 16);
        EXPECT_EQ(editor.Tree().NodeCount(), 19u);
        EXPECT_TRUE(editor.Modified());
        EXPECT_TRUE(editor.RegisterPending());
        EXPECT_EQ(registerHook, std::vector<bool>{true});
        EXPECT_EQ(saveHook, std::vector<bool>{true});
    }
    EXPECT_EQ(vx::GetLangText(20), "Sluzebni");
}

TEST_F(ConfigCreate, NewModemGetsItsTwoStatusItems)
{
    auto* modem = editor.NewObjectExecute(vos::ntModem, server);
    ASSERT_NE(modem, nullptr);
    EXPECT_EQ(modem->Rec().Name, "Modem1");
    const ServiceRow rows[] = {{"Status", 50, 0, 0, 3, "", 312}, {"ModemType", 52, 0, 0, 3, "", 319}};
    ExpectServiceItems(modem, rows, 2);
    EXPECT_EQ(vos::VariableCounter, 2);
}

TEST_F(ConfigCreate, NewObjectGoesToTheValidParent)
{
    auto* station = Create(vos::nkStation, server, "St");
    auto* folder = Create(vos::nkFolder, station, "F");
    auto* inFolder = Create(vos::nkVariable, folder, "V");
    auto* inStation = Create(vos::nkVariable, station, "W");
    auto* modem = Create(vos::nkModem, server, "M");
    struct Case {
        int tag;
        TConfigNode* target;
        TConfigNode* parent;  // nullptr: nothing created
    };
    const Case cases[] = {
        {vos::ntVariable, inFolder, folder},  {vos::ntVariable, inStation, station}, {vos::ntVariable, station, station},
        {vos::ntFolder, inFolder, folder},    {vos::ntFolder, folder, folder},       {vos::ntVariable, server, nullptr},
        {vos::ntFolder, server, nullptr},     {vos::ntStation, inFolder, server},    {vos::ntModem, folder, server},
        {vos::ntVariable, modem, modem},      {99, station, nullptr},                {vos::ntVariable, nullptr, nullptr},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.tag) + " at " + (k.target ? k.target->Rec().Name : "none"));
        const auto before = editor.Tree().NodeCount();
        editor.SetModified(false);
        auto* node = editor.NewObjectExecute(k.tag, k.target);
        if (!k.parent) {
            EXPECT_EQ(node, nullptr);
            EXPECT_EQ(editor.Tree().NodeCount(), before);
            EXPECT_FALSE(editor.Modified());
            continue;
        }
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->Parent(), k.parent);
        EXPECT_EQ(node, k.parent->LastChild());
        EXPECT_TRUE(editor.Modified());
    }
}

TEST_F(ConfigCreate, ValidateParentNodeTable)
{
    auto* station = Create(vos::nkStation, server, "St");
    auto* folder = Create(vos::nkFolder, station, "F");
    auto* var = Create(vos::nkVariable, folder, "V");
    // A variable under a variable, as a paste can leave it.
    auto* nested = editor.Tree().AddChild(var, TConfigNodeRec::WithDefaults(vos::nkVariable));
    auto* modem = Create(vos::nkModem, server, "M");
    auto* root = editor.Tree().Root();
    vos::TConfigTree other;
    auto* foreign = other.AddChild(other.Root(), TConfigNodeRec::WithDefaults(vos::nkStation));
    struct Case {
        int kind;
        TConfigNode* proposed;
        TConfigNode* expected;
    };
    const Case cases[] = {
        {vos::nkServer, nullptr, root},     {vos::nkServer, var, root},          {vos::nkStation, nullptr, server},
        {vos::nkStation, var, server},      {vos::nkModem, folder, server},      {vos::nkVariable, var, folder},
        {vos::nkVariable, nested, folder},  {vos::nkFolder, var, folder},        {vos::nkVariable, station, station},
        {vos::nkVariable, modem, modem},    {vos::nkVariable, server, nullptr},  {vos::nkFolder, server, nullptr},
        {vos::nkVariable, root, nullptr},   {vos::nkVariable, nullptr, nullptr}, {vos::nkVariable, foreign, nullptr},
        {7, station, station},              {7, nullptr, nullptr},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.kind) + " at " + (k.proposed ? k.proposed->Rec().Name : "none"));
        EXPECT_EQ(editor.ValidateParentNode(static_cast<vos::TConfigNodeKind>(k.kind), k.proposed), k.expected);
    }

    // Without a server node, stations and modems have nowhere to go.
    editor.ClearConfiguration();
    EXPECT_EQ(editor.ValidateParentNode(vos::nkStation, nullptr), nullptr);
    EXPECT_EQ(editor.CreateNode(vos::nkModem, nullptr), nullptr);
    EXPECT_EQ(vos::ModemCounter, 0);
}

// Records what validation was asked and repairs by renaming.
class FakeValidator : public vos::TConfigValidator {
public:
    int ValidateNode(TConfigNode& node, bool repair) override
    {
        calls.push_back(node.Rec().Name + (repair ? " repair" : ""));
        if (repair && node.Rec().Name == clash)
            node.Rec().Name = clash + "x";
        return 0;
    }
    bool ValidateChangeList() override
    {
        ++listChecks;
        return listPasses;
    }
    std::vector<std::string> calls;
    std::string clash;
    int listChecks = 0;
    bool listPasses = true;
};

TEST_F(ConfigCreate, EveryNewNodeIsRepairedThroughTheValidator)
{
    FakeValidator validator;
    editor.SetValidator(&validator);
    validator.clash = "Modem1";
    auto* modem = editor.NewObjectExecute(vos::ntModem, server);
    ASSERT_NE(modem, nullptr);
    EXPECT_EQ(modem->Rec().Name, "Modem1x");
    // Each service item is validated with its default name, then takes its fixed name.
    EXPECT_EQ(validator.calls, (std::vector<std::string>{"Modem1 repair", "Item1 repair", "Item2 repair"}));
    EXPECT_EQ(modem->Child(0)->Rec().Name, "Status");
    EXPECT_EQ(validator.listChecks, 1);

    // Edits in conflict stop the command before anything is made.
    validator.listPasses = false;
    validator.calls.clear();
    editor.SetModified(false);
    EXPECT_EQ(editor.NewObjectExecute(vos::ntStation, server), nullptr);
    EXPECT_TRUE(validator.calls.empty());
    EXPECT_EQ(vos::StationCounter, 0);
    EXPECT_FALSE(editor.Modified());
    editor.SetValidator(nullptr);
}

TEST_F(ConfigCreate, NeverBuildsBelowTheDeepestLevel)
{
    auto* deepest = Create(vos::nkStation, server);
    while (deepest->Depth() < vos::kMaxTreeDepth) {
        deepest = editor.CreateNode(vos::nkFolder, deepest);
        ASSERT_NE(deepest, nullptr);
    }
    const auto folders = vos::FolderCounter;
    EXPECT_EQ(editor.CreateNode(vos::nkFolder, deepest), nullptr);
    EXPECT_EQ(editor.CreateNode(vos::nkVariable, deepest), nullptr);
    EXPECT_EQ(vos::FolderCounter, folders);
    EXPECT_EQ(vos::VariableCounter, 0);
    // A variable at the last level goes beside itself, which is still allowed.
    auto* last = editor.CreateNode(vos::nkVariable, deepest->Parent());
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->Depth(), vos::kMaxTreeDepth);
    EXPECT_NE(editor.CreateNode(vos::nkVariable, last), nullptr);
    EXPECT_EQ(editor.UpdateLock(), 0);
}

}  // namespace

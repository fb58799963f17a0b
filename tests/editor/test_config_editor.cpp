#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "comm/vx_msgdlg.h"
#include "editor_fixture.h"

namespace {

using editor_test::EditorFixture;
using vos::TConfigEditor;
using vos::TConfigNode;
using vos::TConfigNodeRec;

std::string NameOf(const TConfigNode* n) { return n ? n->Rec().Name : "-"; }

std::string Children(const TConfigNode* parent)
{
    std::string out;
    for (int i = 0; i < parent->ChildCount(); ++i)
        out += (i ? " " : "") + parent->Child(i)->Rec().Name;
    return out;
}

// --- Deleting ---

class ConfigDelete : public EditorFixture {
protected:
    void SetUp() override
    {
        EditorFixture::SetUp();
        station = editor.NewObjectExecute(vos::ntStation, server);
        service = station->Child(0);
        first = Create(vos::nkVariable, station, "Alpha");
        last = Create(vos::nkVariable, station, "Zeta");
        editor.SortTreeByName();  // Alpha, Service, Zeta
        editor.SetModified(false);
    }
    TConfigNode* station = nullptr;
    TConfigNode* service = nullptr;
    TConfigNode* first = nullptr;
    TConfigNode* last = nullptr;
};

TEST_F(ConfigDelete, SelectionStopsAtTheServiceFolder)
{
    ASSERT_EQ(Children(station), "Alpha Service Zeta");
    // The view hands its selection in any order; the nodes go in tree order.
    const auto result = editor.DeleteExecute({last, service, first}, vx::mrYes);
    EXPECT_EQ(result.Deleted, 1);
    EXPECT_TRUE(result.Stopped);
    EXPECT_EQ(Children(station), "Service Zeta");
    EXPECT_EQ(result.SelectNode, last);  // the next sibling of the node it stopped at
    EXPECT_EQ(result.Parent, station);
    EXPECT_TRUE(editor.Modified());
    EXPECT_TRUE(editor.RegisterPending());
    EXPECT_EQ(editor.UpdateLock(), 0);
    EXPECT_EQ(editor.Tree().UpdateCount(), 0);
}

TEST_F(ConfigDelete, OnlyYesDeletes)
{
    for (const int answer : {int{vx::mrNo}, int{vx::mrCancel}, int{vx::mrOk}, 0}) {
        const auto result = editor.DeleteExecute({first}, answer);
        EXPECT_EQ(result.Deleted, 0) << answer;
        EXPECT_EQ(result.SelectNode, nullptr);
    }
    EXPECT_EQ(Children(station), "Alpha Service Zeta");
    EXPECT_FALSE(editor.Modified());
    // Nothing selected (or only what is not a node of the tree): nothing at all.
    vos::TConfigTree other;
    auto* foreign = other.AddChild(other.Root(), TConfigNodeRec::WithDefaults(vos::nkStation));
    EXPECT_EQ(editor.DeleteExecute({}, vx::mrYes).Deleted, 0);
    EXPECT_EQ(editor.DeleteExecute({nullptr, foreign, editor.Tree().Root()}, vx::mrYes).Deleted, 0);
    EXPECT_FALSE(editor.Modified());
    EXPECT_EQ(other.NodeCount(), 1u);
}

TEST_F(ConfigDelete, NodeToSelectAfterwards)
{
    auto* second = editor.NewObjectExecute(vos::ntStation, server);  // Device2
    auto* lone = Create(vos::nkFolder, second, "Lone");
    auto* inner = Create(vos::nkVariable, lone, "Inner");
    const auto run = [&](const std::vector<TConfigNode*>& selection) { return editor.DeleteExecute(selection, vx::mrYes); };

    // The only child: the node before it in tree order.
    auto r = run({inner});
    EXPECT_EQ(r.Deleted, 1);
    EXPECT_EQ(r.SelectNode, lone);
    // The last child: its previous sibling.
    r = run({last});
    EXPECT_EQ(r.SelectNode, service);
    // A station with its own selected item: the item goes with it, counted once.
    r = run({second->Child(0)->Child(3), second, first});
    EXPECT_EQ(r.Deleted, 2);
    EXPECT_EQ(r.SelectNode, station);  // Device2 was last: its previous sibling
    EXPECT_EQ(r.Parent, server);
    EXPECT_EQ(Children(server), "Device1");
    EXPECT_EQ(Children(station), "Service");
    EXPECT_EQ(editor.Tree().NodeCount(), 19u);
}

TEST_F(ConfigDelete, DeletingPurgesTheSubtreeFromChangeListAndClipboard)
{
    auto* folder = Create(vos::nkFolder, station, "F");
    auto* inFolder = Create(vos::nkVariable, folder, "InF");
    auto* deeper = Create(vos::nkFolder, folder, "G");
    auto* deepest = Create(vos::nkVariable, deeper, "InG");
    for (auto* n : {deepest, first, folder, inFolder, last})
        editor.AddToChangeList(n);
    editor.SetClipboardNode(deepest);

    EXPECT_EQ(editor.DeleteExecute({folder}, vx::mrYes).Deleted, 1);
    ASSERT_EQ(editor.ChangeList(), (std::vector<TConfigNode*>{first, last}));
    EXPECT_EQ(editor.ClipboardNode(), nullptr);
    for (auto* n : editor.ChangeList())  // under the sanitizers a freed node shows here
        EXPECT_FALSE(n->Rec().Name.empty());

    // Whatever deletes nodes purges them, not only the command: a cut, a load.
    editor.SetClipboardNode(last);
    ASSERT_TRUE(editor.Tree().DeleteNode(station));
    EXPECT_TRUE(editor.ChangeList().empty());
    EXPECT_EQ(editor.ClipboardNode(), nullptr);
}

TEST_F(ConfigDelete, ClearingEmptiesEverything)
{
    editor.AddToChangeList(first);
    editor.AddToChangeList(station);
    editor.SetClipboardNode(service->Child(2));
    vos::CfgHeader = {128, "Vorn OPC Server", 20, 31};
    editor.ClearConfiguration();
    EXPECT_TRUE(editor.ChangeList().empty());
    EXPECT_EQ(editor.ClipboardNode(), nullptr);
    EXPECT_EQ(editor.Tree().NodeCount(), 0u);
    EXPECT_EQ(vos::StationCounter + vos::VariableCounter + vos::FolderCounter + vos::ModemCounter, 0);
    EXPECT_EQ(vos::CfgHeader.Version, 0u);
    EXPECT_EQ(vos::CfgHeader.Signature, "");
    EXPECT_EQ(vos::CfgHeader.NodeCount + vos::CfgHeader.DataOffset, 0u);
    // Once cleared, a new station starts at 1 again.
    server = editor.CreateNode(vos::nkServer, nullptr);
    EXPECT_EQ(NameOf(editor.NewObjectExecute(vos::ntStation, server)), "Device1");
}

// --- State ---

using ConfigState = EditorFixture;

TEST_F(ConfigState, ChangeListKeepsTheOrderOfFirstEdits)
{
    auto* a = Create(vos::nkStation, server, "A");
    auto* b = Create(vos::nkStation, server, "B");
    auto* c = Create(vos::nkModem, server, "C");
    for (auto* n : {b, a, b, c, a})
        editor.AddToChangeList(n);
    editor.AddToChangeList(nullptr);
    editor.AddToChangeList(editor.Tree().Root());
    EXPECT_EQ(editor.ChangeList(), (std::vector<TConfigNode*>{b, a, c}));
    EXPECT_TRUE(editor.Modified());
    EXPECT_TRUE(editor.RegisterPending());

    EXPECT_TRUE(editor.RemoveFromChangeList(c));
    EXPECT_FALSE(editor.RemoveFromChangeList(c));
    EXPECT_TRUE(editor.RemoveFromChangeList(b));
    editor.AddToChangeList(b);  // back in: at the end
    EXPECT_EQ(editor.ChangeList(), (std::vector<TConfigNode*>{a, b}));
}

TEST_F(ConfigState, FlagsAndTheirHooks)
{
    editor.SetChanged(false);  // the argument does not matter
    EXPECT_TRUE(editor.Modified());
    EXPECT_TRUE(editor.RegisterPending());
    editor.SetModified(false);
    editor.SetRegisterEnabled(false);
    EXPECT_FALSE(editor.Modified());
    EXPECT_FALSE(editor.RegisterPending());
    EXPECT_EQ(saveHook, (std::vector<bool>{true, false}));
    EXPECT_EQ(registerHook, (std::vector<bool>{true, false}));
    {
        vos::TUpdateLockScope outer(editor);
        vos::TUpdateLockScope inner(editor);
        EXPECT_EQ(editor.UpdateLock(), 2);
    }
    editor.LowerUpdateLock();
    EXPECT_EQ(editor.UpdateLock(), 0);
}

// --- Commands, images, lookups ---

class ConfigCommands : public EditorFixture {};

TEST_F(ConfigCommands, EnabledByFocusedNodeAndClipboard)
{
    auto* station = editor.NewObjectExecute(vos::ntStation, server);
    auto* service = station->Child(0);
    auto* folder = Create(vos::nkFolder, station, "F");
    auto* var = Create(vos::nkVariable, folder, "V");
    auto* modem = editor.NewObjectExecute(vos::ntModem, server);
    auto* modemStatus = modem->Child(0);  // code 50
    auto* modemType = modem->Child(1);    // code 52
    auto* station2 = Create(vos::nkStation, server, "S2");
    auto* codeFifty1 = Create(vos::nkVariable, folder, "Text");
    codeFifty1->Rec().ServiceCode = 51;  // not one of the two that close the commands
    struct Case {
        const char* what;
        TConfigNode* focus;
        TConfigNode* clip;
        bool newItems;  // new variable, new folder, import
        bool edit;      // copy, cut, duplicate, delete
        bool paste;
    };
    const Case cases[] = {
        {"server", server, nullptr, false, false, false},
        {"server, station held", server, station2, false, false, true},
        {"server, modem held", server, modem, false, false, true},
        {"server, variable held", server, var, false, false, false},
        {"station, variable held", station, var, true, true, true},
        {"station, folder held", station, folder, true, true, true},
        {"station, station held", station, station2, true, true, false},
        {"folder, station held", folder, station2, true, true, false},
        {"folder, folder held", folder, folder, true, true, true},
        {"variable, variable held", var, var, true, true, true},
        {"service folder", service, nullptr, true, false, false},
        {"service item", service->Child(0), var, true, false, true},
        {"modem, variable held", modem, var, false, true, false},
        {"modem status", modemStatus, nullptr, false, false, false},
        {"modem type", modemType, var, false, false, true},
        {"code 51", codeFifty1, nullptr, true, true, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        editor.SetClipboardNode(k.clip);
        const auto commands = editor.EnableCommands(k.focus);
        ASSERT_TRUE(commands.has_value());
        vos::TEditorCommands expected;
        expected.NewVariable = expected.NewFolder = expected.Import = k.newItems;
        expected.Copy = expected.Cut = expected.Duplicate = expected.Delete = k.edit;
        expected.Paste = k.paste;
        expected.NewStation = true;
        EXPECT_EQ(*commands, expected);
    }
    EXPECT_FALSE(editor.EnableCommands(nullptr).has_value());
}

TEST(ConfigImages, IndexByKindTypeAndFamily)
{
    struct Case {
        int kind;
        int stationType;
        int editable;
        int varType;
        int image;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0},       {1, 0, 1, 0, 3},       {1, 1, 1, 0, 4},       {1, 2, 1, 0, 5},       {1, 3, 1, 0, 27},
        {1, -1, 1, 0, 27},     {3, 0, 1, 0, 1},       {3, 0, 0, 0, 25},      {10, 0, 1, 0, 8},      {2, 0, 1, 2, 13},
        {2, 0, 1, 3, 14},      {2, 0, 1, 4, 15},      {2, 0, 1, 5, 34},      {2, 0, 1, 7, 32},      {2, 0, 1, 8, 16},
        {2, 0, 1, 11, 9},      {2, 0, 1, 17, 10},     {2, 0, 1, 18, 11},     {2, 0, 1, 19, 12},     {2, 0, 1, 0x2002, 21},
        {2, 0, 1, 0x2003, 22}, {2, 0, 1, 0x2004, 23}, {2, 0, 1, 0x2005, 35}, {2, 0, 1, 0x2007, 33}, {2, 0, 1, 0x2008, 24},
        {2, 0, 1, 0x200B, 17}, {2, 0, 1, 0x2011, 18}, {2, 0, 1, 0x2012, 19}, {2, 0, 1, 0x2013, 20}, {2, 0, 1, 20, 27},
        {2, 0, 1, 0x2014, 27}, {2, 0, 1, 16, 27},     {6, 0, 1, 0, 27},
    };
    for (const auto& k : cases) {
        TConfigNodeRec r;
        r.Kind = static_cast<vos::TConfigNodeKind>(k.kind);
        r.StationType = k.stationType;
        r.Editable = static_cast<std::uint8_t>(k.editable);
        r.VarType = k.varType;
        EXPECT_EQ(TConfigEditor::GetNodeImageIndex(r), k.image) << k.kind << " " << k.stationType << " " << k.varType;
    }
}

TEST(ConfigCombos, IndexesInTheirTables)
{
    const std::pair<std::int32_t, int> rates[] = {{300, 0},  {600, 1},   {1200, 2},  {2400, 3},  {4800, 4},     {9600, 5},
                                                  {19200, 6}, {38400, 7}, {57600, 8}, {115200, 0}, {0, 0}, {-1, 0}};
    for (const auto& [rate, index] : rates)
        EXPECT_EQ(TConfigEditor::BaudRateIndex(rate), index) << rate;
    EXPECT_EQ(TConfigEditor::VarTypeIndex(11), 0);
    EXPECT_EQ(TConfigEditor::VarTypeIndex(0x2008), 19);
    EXPECT_EQ(TConfigEditor::VarTypeIndex(0x2011), 11);
    EXPECT_EQ(TConfigEditor::VarTypeIndex(99), 19);
    EXPECT_EQ(TConfigEditor::ScaledTypeIndex(17), 0);
    EXPECT_EQ(TConfigEditor::ScaledTypeIndex(5), 6);
    EXPECT_EQ(TConfigEditor::ScaledTypeIndex(11), 6);
}

class ConfigLookup : public EditorFixture {
protected:
    // Server( D1( Service(...) F1( A ) ) D2( X( B ) B ) Modem1( Status ModemType ) )
    void SetUp() override
    {
        EditorFixture::SetUp();
        d1 = editor.NewObjectExecute(vos::ntStation, server);
        f1 = Create(vos::nkFolder, d1, "F1");
        a = Create(vos::nkVariable, f1, "A");
        d2 = Create(vos::nkStation, server, "D2");
        x = Create(vos::nkFolder, d2, "X");
        xb = Create(vos::nkVariable, x, "B");
        b = Create(vos::nkVariable, d2, "B");
        modem = editor.NewObjectExecute(vos::ntModem, server);
    }
    TConfigNode *d1 = nullptr, *f1 = nullptr, *a = nullptr, *d2 = nullptr, *x = nullptr, *xb = nullptr, *b = nullptr,
                *modem = nullptr;
};

TEST_F(ConfigLookup, FindNodeByName)
{
    struct Case {
        const char* name;
        bool recursive;
        TConfigNode* parent;
        std::uint8_t kind;
        TConfigNode* found;
    };
    const Case cases[] = {
        {"A", false, d1, vos::nkAny, nullptr},       {"A", true, d1, vos::nkAny, a},
        {"A", true, d1, vos::nkFolder, nullptr},     {"F1", false, d1, vos::nkFolder, f1},
        {"A", false, nullptr, vos::nkAny, a},        {"a", true, nullptr, vos::nkAny, nullptr},
        {"D2", false, server, vos::nkStation, d2},   {"D2", false, server, vos::nkVariable, nullptr},
        {"B", true, d2, vos::nkAny, xb},             {"B", false, d2, vos::nkAny, b},
        {"B", true, d2, vos::nkVariable, xb},        {"B", true, d1, vos::nkAny, nullptr},
        {"Status", false, nullptr, vos::nkAny, modem->Child(0)},
        {"Server", false, nullptr, vos::nkServer, server},
        {"Server", true, server, vos::nkAny, nullptr},  // the parent itself is not searched
    };
    for (const auto& k : cases)
        EXPECT_EQ(editor.FindNodeByName(k.name, k.recursive, k.parent, k.kind), k.found)
            << k.name << " under " << NameOf(k.parent) << " kind " << int(k.kind);
}

TEST_F(ConfigLookup, GetOwnerNode)
{
    const std::pair<TConfigNode*, TConfigNode*> cases[] = {
        {d1, server},   {f1, d1},          {a, d1},         {xb, d2},
        {b, d2},        {modem, nullptr},  {modem->Child(0), nullptr},
        {server, nullptr}, {nullptr, nullptr},
    };
    for (const auto& [node, owner] : cases)
        EXPECT_EQ(TConfigEditor::GetOwnerNode(node), owner) << NameOf(node);
    // A folder that lost its station (a tree from elsewhere): no owner.
    auto* stray = editor.Tree().AddChild(server, TConfigNodeRec::WithDefaults(vos::nkFolder));
    auto* strayVar = editor.Tree().AddChild(stray, TConfigNodeRec::WithDefaults(vos::nkVariable));
    EXPECT_EQ(TConfigEditor::GetOwnerNode(strayVar), nullptr);
}

TEST(ConfigCompare, ColumnsAsTheViewsSortThem)
{
    plat::setCollationLocale("en_US");
    const auto rec = [](int kind, const char* name) {
        auto r = TConfigNodeRec::WithDefaults(static_cast<vos::TConfigNodeKind>(kind));
        r.Name = name;
        return r;
    };
    vos::TConfigTree tree;
    auto* top = tree.AddChild(tree.Root(), TConfigNodeRec::WithDefaults(vos::nkServer));
    const auto node = [&](TConfigNodeRec r) { return tree.AddChild(top, std::move(r)); };

    auto s1 = rec(1, "b");
    s1.BusAddress = std::numeric_limits<std::int32_t>::max();
    s1.StationType = 2;
    auto s2 = rec(1, "A");
    s2.BusAddress = std::numeric_limits<std::int32_t>::min();
    auto v1 = rec(2, "x");
    v1.Zone = 1;
    v1.Address = 0;
    v1.VarType = 3;
    v1.Readable = 5;  // any non-zero flag counts 1
    v1.Writable = 0;
    v1.Simulated = 1;
    v1.SimulationType = 0;
    auto v2 = rec(2, "X");
    v2.Zone = 0;
    v2.Address = 99999;
    v2.BitNumber = 7;
    v2.VarType = 0x2003;
    v2.Readable = 1;
    v2.Writable = 1;
    v2.Simulated = 0;
    v2.SimulationType = 2;
    auto f1 = rec(3, "beta");
    auto f2 = rec(3, "Alpha");
    auto m1 = rec(10, "m");
    auto m2 = rec(10, "n");
    auto v3 = rec(2, "z0");  // zone 0 at 100,000: one number made of it meets zone 1 at 0
    v3.Zone = 0;
    v3.Address = 100000;
    auto v4 = rec(2, "z0big");  // one number made of it overflows 32 bits
    v4.Zone = 0;
    v4.Address = 300000000;
    v4.BitNumber = 7;
    auto v5 = rec(2, "z0max");
    v5.Zone = 0;
    v5.Address = std::numeric_limits<std::int32_t>::min();
    auto *S1 = node(s1), *S2 = node(s2), *V1 = node(v1), *V2 = node(v2), *F1 = node(f1), *F2 = node(f2),
         *M1 = node(m1), *M2 = node(m2), *V3 = node(v3), *V4 = node(v4), *V5 = node(v5);

    struct Case {
        TConfigNode* a;
        TConfigNode* b;
        int column;
        int sign;
    };
    const Case cases[] = {
        {S1, S2, 0, 1},  {V1, V2, 0, 0},  {F2, F1, 0, -1}, {S1, S2, 1, 1},  {S2, S1, 1, -1}, {V1, V2, 1, 1},
        {F1, F2, 1, 0},  {S1, S2, 2, 1},  {V1, V2, 2, -1}, {F1, F2, 2, 1},  {M1, M2, 2, 0},  {V1, V2, 3, -1},
        {S1, S2, 3, 0},  {V1, V2, 4, 1},  {V2, V1, 4, -1}, {F1, F2, 4, 0},  {V1, V2, 5, 0},  {V1, V2, -1, 0},
        {M1, M2, 0, -1},
        // Two kinds meet: by kind where the column has a rule per kind, by name in column 0.
        {S1, M1, 1, -1}, {M1, S1, 1, 1},   {S2, M2, 2, -1}, {M2, S2, 4, 1},  {F1, V1, 1, -1}, {V1, F1, 1, 1},
        {F1, V2, 2, -1}, {V2, F1, 2, 1},   {F2, V1, 3, -1}, {V1, F2, 4, 1},  {V1, F1, 0, 1},  {M1, S2, 0, 1},
        {S1, M1, 5, 0},  {V1, F1, 5, 0},
        // Addresses as (zone, address, bit): no overflow, and no zone mix from 100,000 up.
        {V3, V1, 1, -1}, {V1, V3, 1, 1},   {V4, V1, 1, -1}, {V4, V5, 1, 1},  {V5, V4, 1, -1},
    };
    for (const auto& k : cases) {
        const int r = TConfigEditor::CompareNodes(*k.a, *k.b, k.column);
        EXPECT_EQ((r > 0) - (r < 0), k.sign) << NameOf(k.a) << " " << NameOf(k.b) << " column " << k.column;
    }
    plat::setCollationLocale("");
}

TEST_F(ConfigLookup, LoadSortIsStableByName)
{
    // Names equal to the comparison keep their order; every level is sorted.
    auto* s = Create(vos::nkStation, server, "S");
    for (const char* name : {"b", "abc", "C", "ABC", "a", "Abc"})
        Create(vos::nkVariable, s, name);
    auto* last = Create(vos::nkFolder, s, "0");
    editor.SortTreeByName();
    EXPECT_EQ(Children(s), "0 a abc ABC Abc b C");
    EXPECT_EQ(last->Index(), 0);
    EXPECT_EQ(Children(server), "D2 Device1 Modem1 S");
    EXPECT_EQ(Children(d2), "B X");
}

}  // namespace

// What the editor's views show and in which order: cell texts, images, the sort rule, the
// tree's six-column model and the list model over it.
#include <QAbstractItemModelTester>
#include <QBrush>
#include <QIcon>
#include <QImage>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_list_model.h"
#include "editor/config_model.h"
#include "editor/config_sort.h"
#include "editor/config_view_text.h"
#include "editor_fixture.h"
#include "model_test_capture.h"

namespace {

using editor_test::ModelTestCapture;

using vos::TConfigListModel;
using vos::TConfigModel;
using vos::TConfigNode;
using vos::TConfigNodeRec;

TConfigNodeRec Rec(vos::TConfigNodeKind kind, const char* name = "n")
{
    auto r = TConfigNodeRec::WithDefaults(kind);
    r.Name = name;
    return r;
}

std::string Names(const std::vector<TConfigNode*>& nodes)
{
    std::string out;
    for (const auto* n : nodes)
        out += (out.empty() ? "" : " ") + n->Rec().Name;
    return out;
}

std::string Children(const TConfigNode* parent)
{
    std::vector<TConfigNode*> nodes;
    for (int i = 0; i < parent->ChildCount(); ++i)
        nodes.push_back(parent->Child(i));
    return Names(nodes);
}

// --- Cell texts and images ---

class ConfigViewText : public editor_test::EditorFixture {};

TEST_F(ConfigViewText, CellTextsPerKind)
{
    auto station = Rec(vos::nkStation, "PLC");
    station.BusAddress = 31;
    station.StationType = 2;
    station.Comment = "line one\r\nline two";

    auto bit = Rec(vos::nkVariable, "Bit");
    bit.Zone = 0;
    bit.Address = 12;
    bit.BitNumber = 3;
    bit.VarType = 11;

    auto databox = Rec(vos::nkVariable, "Box");  // the record keeps zone M as 4
    databox.Zone = 4;
    databox.Address = 70000;
    databox.VarType = 0x2012;

    auto scaled = Rec(vos::nkVariable, "Scaled");
    scaled.Zone = 3;
    scaled.Address = 0;
    scaled.VarType = 18;
    scaled.Scaled = 1;
    scaled.ScaledVarType = 4;
    scaled.Readable = 1;
    scaled.Writable = 0;
    scaled.Simulated = 1;
    scaled.SimulationType = 2;

    auto writeOnly = Rec(vos::nkVariable, "W");
    writeOnly.Zone = 2;
    writeOnly.Address = 5;
    writeOnly.Readable = 0;
    writeOnly.Simulated = 1;
    writeOnly.SimulationType = 1;

    auto noAccess = Rec(vos::nkVariable, "None");
    noAccess.Readable = noAccess.Writable = 0;
    noAccess.Simulated = 1;
    noAccess.SimulationType = 0;
    noAccess.ServiceCode = 13;  // a service item shows no address
    noAccess.Comment = "a\nb";

    auto oddZone = Rec(vos::nkVariable, "Odd");
    oddZone.Zone = 9;
    oddZone.Address = 1;
    oddZone.Simulated = 1;
    oddZone.SimulationType = 7;  // unknown simulation: no text

    auto folder = Rec(vos::nkFolder, "F");
    folder.Comment = "c\r\n";
    auto modem = Rec(vos::nkModem, "M");
    auto server = Rec(vos::nkServer, "Server");

    struct Case {
        const TConfigNodeRec* rec;
        std::vector<std::string> texts;  // columns 0 to 5
    };
    const Case cases[] = {
        {&station, {"PLC", "31", "Orbane", "", "", "line one  line two"}},
        {&bit, {"Bit", "X12.3", "Bool", "Read/Write", "Real value", ""}},
        {&databox, {"Box", "M70000", "WordArray", "Read/Write", "Real value", ""}},
        {&scaled, {"Scaled", "R0", "Word/Float", "Read", "Ramp", ""}},
        {&writeOnly, {"W", "S5", "Word", "Write", "Random value", ""}},
        {&noAccess, {"None", "", "Word", "", "User value", "a b"}},
        {&oddZone, {"Odd", "?1", "Word", "Read/Write", "", ""}},
        {&folder, {"F", "", "", "", "", "c  "}},
        {&modem, {"M", "", "", "", "", ""}},
        {&server, {"Server", "", "", "", "", ""}},
    };
    for (const auto& c : cases) {
        for (int column = 0; column < vos::kConfigViewColumns; ++column)
            EXPECT_EQ(vos::VST_GetText(*c.rec, column), c.texts[static_cast<std::size_t>(column)])
                << c.rec->Name << " column " << column;
        EXPECT_EQ(vos::VST_GetText(*c.rec, -1), "");
        EXPECT_EQ(vos::VST_GetText(*c.rec, vos::kConfigViewColumns), "");
    }

    // Catalogue texts follow the language at every call.
    vx::Language = 0;
    EXPECT_EQ(vos::VST_GetText(bit, 3), "Čtení/Zápis");
    EXPECT_EQ(vos::VST_GetText(scaled, 4), "Pila");
    EXPECT_EQ(vos::ConfigColumnCaption(0).toStdString(), "Jméno");
}

TEST_F(ConfigViewText, ImageIndexesPerKindAndColumn)
{
    const auto var = [](int varType, int readable, int writable, int simulated) {
        auto r = Rec(vos::nkVariable);
        r.VarType = varType;
        r.Readable = static_cast<std::uint8_t>(readable);
        r.Writable = static_cast<std::uint8_t>(writable);
        r.Simulated = static_cast<std::uint8_t>(simulated);
        return r;
    };
    auto station = Rec(vos::nkStation);
    station.StationType = 1;
    auto service = Rec(vos::nkFolder);
    service.Editable = 0;

    struct Case {
        TConfigNodeRec rec;
        std::vector<int> images;  // columns 0 to 5
    };
    const Case cases[] = {
        {Rec(vos::nkServer), {0, -1, -1, -1, -1, -1}},
        {station, {4, -1, -1, -1, -1, -1}},
        {Rec(vos::nkFolder), {1, -1, -1, -1, -1, -1}},
        {service, {25, -1, -1, -1, -1, -1}},
        {Rec(vos::nkModem), {8, -1, -1, -1, -1, -1}},
        {var(11, 1, 1, 0), {9, -1, -1, 26, 31, -1}},
        {var(0x2011, 1, 0, 1), {18, -1, -1, 27, 30, -1}},
        {var(5, 0, 1, 0), {34, -1, -1, 28, 31, -1}},
        {var(99, 0, 0, 1), {27, -1, -1, 29, 30, -1}},
    };
    for (const auto& c : cases)
        for (int column = 0; column < vos::kConfigViewColumns; ++column)
            EXPECT_EQ(vos::VST_GetImageIndex(c.rec, column), c.images[static_cast<std::size_t>(column)])
                << c.rec.Name << " kind " << int(c.rec.Kind) << " column " << column;

    struct StateCase {
        int valid, saved, image;
    };
    for (const auto& s : {StateCase{0, 0, 0}, StateCase{0, 1, 0}, StateCase{1, 0, 1}, StateCase{1, 1, -1}}) {
        auto r = Rec(vos::nkFolder);
        r.Valid = static_cast<std::uint8_t>(s.valid);
        r.Saved = static_cast<std::uint8_t>(s.saved);
        EXPECT_EQ(vos::VST_GetStateImageIndex(r), s.image) << s.valid << s.saved;
    }
}

TEST_F(ConfigViewText, OurImagesAreDistinctAndCached)
{
    const std::vector<int> used = {0,  1,  3,  4,  5,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                   20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35};
    std::vector<QImage> images;
    for (int index : used) {
        const auto icon = vos::ConfigImage(index);
        ASSERT_FALSE(icon.isNull()) << index;
        EXPECT_EQ(icon.cacheKey(), vos::ConfigImage(index).cacheKey()) << index;
        images.push_back(icon.pixmap(16, 16).toImage());
    }
    for (std::size_t i = 0; i < images.size(); ++i)
        for (std::size_t j = i + 1; j < images.size(); ++j)
            EXPECT_NE(images[i], images[j]) << used[i] << " and " << used[j] << " look alike";
    for (int index : {-1, 2, 6, 7, vos::kConfigImageCount})
        EXPECT_TRUE(vos::ConfigImage(index).isNull()) << index;

    const auto s0 = vos::ConfigStateImage(0), s1 = vos::ConfigStateImage(1);
    ASSERT_FALSE(s0.isNull());
    ASSERT_FALSE(s1.isNull());
    EXPECT_NE(s0.pixmap(16, 16).toImage(), s1.pixmap(16, 16).toImage());
    EXPECT_TRUE(vos::ConfigStateImage(-1).isNull());
    EXPECT_TRUE(vos::ConfigStateImage(2).isNull());
}

// --- Paths, the list and the status bar ---

class ConfigViewList : public editor_test::EditorFixture {
protected:
    void SetUp() override
    {
        EditorFixture::SetUp();
        // Server: Alpha (Service folder of 16, Plain, Outer(Inner(v3), v2)), Bravo (v4), Modem1 (2 items)
        alpha = Create(vos::nkStation, server, "Alpha");
        editor.CreateStationServiceItems(alpha);
        plain = Create(vos::nkVariable, alpha, "Plain");
        outer = Create(vos::nkFolder, alpha, "Outer");
        inner = Create(vos::nkFolder, outer, "Inner");
        v3 = Create(vos::nkVariable, inner, "v3");
        v2 = Create(vos::nkVariable, outer, "v2");
        bravo = Create(vos::nkStation, server, "Bravo");
        v4 = Create(vos::nkVariable, bravo, "v4");
        modem = editor.NewObjectExecute(vos::ntModem, server);
        ASSERT_NE(modem, nullptr);
        list = std::make_unique<TConfigListModel>(editor.Tree());
        tester = std::make_unique<QAbstractItemModelTester>(list.get(),
                                                            QAbstractItemModelTester::FailureReportingMode::Warning);
        watch.list = list.get();
        editor.Tree().AddObserver(&watch);
    }
    void TearDown() override
    {
        editor.Tree().RemoveObserver(&watch);
        EXPECT_EQ(watch.staleRows, 0);
        tester.reset();
        list.reset();
        EXPECT_TRUE(capture.reports.empty()) << capture.Text();
        EditorFixture::TearDown();
    }

    std::string Rows() const
    {
        std::vector<TConfigNode*> nodes;
        for (int row = 0; row < list->rowCount(); ++row)
            nodes.push_back(list->NodeOf(list->index(row, 0)));
        return Names(nodes);
    }
    // Hears of every deletion after the list and checks, once the tree has let the nodes go,
    // that no row names one of them (by address only: they are freed).
    struct Watch : vos::TConfigTreeObserver {
        const TConfigListModel* list = nullptr;
        std::vector<const TConfigNode*> gone;
        int checks = 0;
        int staleRows = 0;
        void NodesAboutToBeDeleted(TConfigNode* top) override
        {
            const auto* end = vos::TConfigTree::NextSkippingChildren(top);
            for (const TConfigNode* n = top; n && n != end; n = vos::TConfigTree::Next(n))
                gone.push_back(n);
        }
        void RowsRemoved(TConfigNode*, int, int) override
        {
            ++checks;
            for (int row = 0; row < list->rowCount(); ++row)
                if (std::find(gone.begin(), gone.end(), list->NodeOf(list->index(row, 0))) != gone.end())
                    ++staleRows;
            gone.clear();
        }
    };

    ModelTestCapture capture;
    Watch watch;
    TConfigNode *alpha = nullptr, *plain = nullptr, *outer = nullptr, *inner = nullptr, *v2 = nullptr, *v3 = nullptr,
                *bravo = nullptr, *v4 = nullptr, *modem = nullptr;
    std::unique_ptr<TConfigListModel> list;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

TEST_F(ConfigViewList, NodePathsLeaveOutTheServer)
{
    EXPECT_EQ(vos::GetNodePath(*v3), "Alpha.Outer.Inner.v3");
    EXPECT_EQ(vos::GetNodePath(*alpha), "Alpha");
    EXPECT_EQ(vos::GetNodePath(*server), "");
}

TEST_F(ConfigViewList, ContentsAndStatusTextWithAndWithoutBranches)
{
    struct Case {
        TConfigNode* node;
        bool flat;
        std::string rows;
        std::string status;
    };
    const std::string service16 =
        "SYS_DateTime DRW_Zone DRW_Address DRW_Length DRW_Control DRW_Status DRW_DataBuffer CON_Control REM_DialNum "
        "REM_Status REM_StatusStr REM_LastStatus REM_LastStatusStr REM_LastExtStatus REM_LastExtStatusStr "
        "REM_ModemType";
    const Case cases[] = {
        {server, false, "Alpha Bravo Modem1", "Devices count:3"},
        {server, true, "Alpha Bravo Modem1", "Devices count:3"},
        {alpha, false, "Service Plain Outer", "Items count:1;Branches count:2"},
        {alpha, true, service16 + " Plain v3 v2", "Items count:19"},
        {outer, false, "Inner v2", "Items count:1;Branches count:1"},
        {outer, true, "v3 v2", "Items count:2"},
        {v3, false, "", "Alpha.Outer.Inner.v3"},
        {modem, true, "Status ModemType", ""},
    };
    for (const auto& c : cases) {
        vx::FlatListView = c.flat;
        const auto counts = list->Fill(c.node, vx::FlatListView);
        EXPECT_EQ(Rows(), c.rows) << c.node->Rec().Name << " flat " << c.flat;
        EXPECT_EQ(list->Shown(), c.node);
        EXPECT_EQ(vos::StatusBarText(*c.node, counts), c.status) << c.node->Rec().Name << " flat " << c.flat;
    }

    // Rows refer to tree nodes and back; the cells are the tree's.
    list->Fill(outer, false);
    EXPECT_EQ(list->NodeOf(list->IndexOf(v2)), v2);
    EXPECT_EQ(list->IndexOf(v2).row(), 1);
    EXPECT_FALSE(list->IndexOf(v3).isValid());
    EXPECT_FALSE(list->IndexOf(nullptr).isValid());
    EXPECT_EQ(list->columnCount(), vos::kConfigViewColumns);
    EXPECT_EQ(list->index(1, 3).data().toString().toStdString(), "Read/Write");
    EXPECT_EQ(list->index(1, 3).data(TConfigModel::ImageIndexRole).toInt(), 26);
    EXPECT_EQ(list->index(1, 0).data(TConfigModel::NodeRole).value<TConfigNode*>(), v2);
    EXPECT_EQ(list->headerData(4, Qt::Horizontal).toString().toStdString(), "Value");
    QSignalSpy headers(list.get(), &QAbstractItemModel::headerDataChanged);
    QSignalSpy cells(list.get(), &QAbstractItemModel::dataChanged);
    vx::Language = 0;
    list->RetranslateHeaders();
    EXPECT_EQ(headers.count(), 1);
    EXPECT_EQ(cells.count(), 1);
    EXPECT_EQ(list->headerData(4, Qt::Horizontal).toString().toStdString(), "Hodnota");
    EXPECT_EQ(list->index(1, 3).data().toString().toStdString(), "Čtení/Zápis");
    vx::Language = 1;

    list->Fill(nullptr, true);
    EXPECT_EQ(list->rowCount(), 0);
    EXPECT_EQ(list->Shown(), nullptr);
}

TEST_F(ConfigViewList, DeletedNodesLeaveTheListInTheSameStep)
{
    list->Fill(alpha, true);
    ASSERT_EQ(list->rowCount(), 19);

    // When the list hears of a removal, the nodes are still there.
    std::vector<std::string> removing;
    QObject::connect(list.get(), &QAbstractItemModel::rowsAboutToBeRemoved,
                     [&](const QModelIndex&, int first, int last) {
                         for (int row = first; row <= last; ++row)
                             removing.push_back(list->NodeOf(list->index(row, 0))->Rec().Name);
                     });

    // A folder listed flat: its contents' rows go, in one removal as they are adjacent.
    QSignalSpy removed(list.get(), &QAbstractItemModel::rowsRemoved);
    EXPECT_EQ(editor.DeleteExecute({outer}, vx::mrYes).Deleted, 1);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(removing, (std::vector<std::string>{"v3", "v2"}));
    EXPECT_EQ(list->rowCount(), 17);
    EXPECT_EQ(list->IndexOf(plain).row(), 16);

    // Rows apart from each other, and one node outside the list.
    removing.clear();
    auto* first = list->NodeOf(list->index(0, 0));
    auto* third = list->NodeOf(list->index(2, 0));
    EXPECT_EQ(editor.DeleteExecute({first, third, v4}, vx::mrNo).Deleted, 0);
    first->Rec().Editable = third->Rec().Editable = 1;
    EXPECT_EQ(editor.DeleteExecute({first, third, v4}, vx::mrYes).Deleted, 3);
    EXPECT_EQ(removing, (std::vector<std::string>{"SYS_DateTime", "DRW_Address"}));
    EXPECT_EQ(list->rowCount(), 15);
    EXPECT_EQ(list->IndexOf(plain).row(), 14);

    // The listed node itself: every row goes, and nothing is shown.
    editor.Tree().DeleteNode(alpha);
    EXPECT_EQ(list->rowCount(), 0);
    EXPECT_EQ(list->Shown(), nullptr);
    EXPECT_EQ(watch.staleRows, 0);
    EXPECT_GT(watch.checks, 3);
}

TEST_F(ConfigViewList, LargeListedSubtreeGoesByOnePass)
{
    // A station holding more nodes than the list rows: the rows are scanned once.
    for (int i = 0; i < 40; ++i)
        Create(vos::nkVariable, bravo, "b" + std::to_string(i));
    list->Fill(inner, false);
    ASSERT_EQ(Rows(), "v3");
    ASSERT_TRUE(editor.Tree().MoveNode(v3, bravo, 0));  // moves keep rows
    EXPECT_EQ(Rows(), "v3");
    EXPECT_EQ(editor.DeleteExecute({bravo}, vx::mrYes).Deleted, 1);
    EXPECT_EQ(list->rowCount(), 0);
    EXPECT_EQ(list->Shown(), inner);
}

TEST_F(ConfigViewList, ResetsClearAndTreeEndEmptyTheList)
{
    list->Fill(alpha, false);
    ASSERT_GT(list->rowCount(), 0);
    list->Clear();
    EXPECT_EQ(list->rowCount(), 0);
    EXPECT_EQ(list->Shown(), nullptr);

    list->Fill(alpha, false);
    {
        vos::TConfigTreeReset reset(editor.Tree());  // the shape of a load
    }
    EXPECT_EQ(list->rowCount(), 0);
    EXPECT_EQ(list->Shown(), nullptr);

    list->Fill(server, false);
    editor.ClearConfiguration();
    EXPECT_EQ(list->rowCount(), 0);

    // A tree going first leaves an empty list.
    auto tree = std::make_unique<vos::TConfigTree>();
    auto* top = tree->AddChild(tree->Root(), Rec(vos::nkServer));
    tree->AddChild(top, Rec(vos::nkStation));
    TConfigListModel own(*tree);
    QAbstractItemModelTester ownTester(&own, QAbstractItemModelTester::FailureReportingMode::Warning);
    own.Fill(top, false);
    EXPECT_EQ(own.rowCount(), 1);
    tree.reset();
    EXPECT_EQ(own.rowCount(), 0);
    EXPECT_EQ(own.Fill(nullptr, true), vos::TListCounts{});
}

TEST_F(ConfigViewList, SortsStablyAndKeepsPersistentIndexes)
{
    for (const char* name : {"d", "B", "a", "c"})
        Create(vos::nkVariable, bravo, name)->Rec().Zone = 1;
    v4->Rec().Zone = 0;
    list->Fill(bravo, false);
    ASSERT_EQ(Rows(), "v4 d B a c");
    const QPersistentModelIndex held(list->IndexOf(v4));

    list->Sort(0, false);
    EXPECT_EQ(Rows(), "a B c d v4");
    EXPECT_EQ(held.row(), 4);
    EXPECT_EQ(list->IndexOf(v4).row(), 4);
    list->Sort(0, true);
    EXPECT_EQ(Rows(), "v4 d c B a");
    // Equal addresses keep their order, descending too.
    list->Sort(1, true);
    EXPECT_EQ(Rows(), "d c B a v4");
    list->Sort(1, false);
    EXPECT_EQ(Rows(), "v4 d c B a");
    EXPECT_EQ(list->NodeOf(held), v4);
}

// --- The sort rule ---

class ConfigViewSort : public editor_test::EditorFixture {
protected:
    TConfigNode* Var(TConfigNode* parent, const char* name, int zone, int address, int bit = 0)
    {
        auto* v = Create(vos::nkVariable, parent, name);
        v->Rec().Zone = zone;
        v->Rec().Address = address;
        v->Rec().BitNumber = bit;
        return v;
    }
};

TEST_F(ConfigViewSort, AddressesCompareAsZoneAddressBit)
{
    auto* st = Create(vos::nkStation, server, "St");
    // One number of zone, address and bit overflows above 214 million and lets zone 0's
    // address 100,000 meet zone 1's address 0.
    Var(st, "y0", 1, 0);
    Var(st, "xBig", 0, 300000000);
    Var(st, "x100k", 0, 100000);
    Var(st, "x100k.1", 0, 100000, 1);
    Var(st, "mMax", 4, std::numeric_limits<std::int32_t>::max());
    Var(st, "x0", 0, 0);
    Var(st, "neg", 0, -5);
    vos::SortConfigChildren(editor.Tree(), st, 1, false, false);
    EXPECT_EQ(Children(st), "neg x0 x100k x100k.1 xBig y0 mMax");
    vos::SortConfigChildren(editor.Tree(), st, 1, true, false);
    EXPECT_EQ(Children(st), "mMax y0 xBig x100k.1 x100k x0 neg");
}

TEST_F(ConfigViewSort, MixedKindsSortByKindInEveryRuleColumn)
{
    auto* st = Create(vos::nkStation, server, "St");
    auto* m = editor.NewObjectExecute(vos::ntModem, server);
    m->Rec().Name = "Aa";
    auto* st2 = Create(vos::nkStation, server, "Zz");
    st->Rec().BusAddress = 9;
    st2->Rec().BusAddress = 1;
    st2->Rec().StationType = 2;
    Var(st, "v2", 0, 2)->Rec().VarType = 3;
    Create(vos::nkFolder, st, "fB");
    Var(st, "v1", 0, 1)->Rec().VarType = 11;
    Create(vos::nkFolder, st, "fa");
    auto* v0 = Var(st, "v0", 0, 0);
    v0->Rec().VarType = 2;
    v0->Rec().Readable = 0;
    v0->Rec().Simulated = 1;

    struct Case {
        int column;
        bool descending;
        std::string server, station;
    };
    const Case cases[] = {
        {0, false, "Aa St Zz", "fa fB v0 v1 v2"},  // names for every kind
        {0, true, "Zz St Aa", "v2 v1 v0 fB fa"},
        {1, false, "Zz St Aa", "fB fa v0 v1 v2"},  // folders equal: their order stays
        {1, true, "Aa St Zz", "v2 v1 v0 fB fa"},
        {2, false, "St Zz Aa", "fa fB v0 v2 v1"},  // folders by name, variables by type
        {2, true, "Aa Zz St", "v1 v2 v0 fB fa"},
        {3, false, "Zz St Aa", "fB fa v0 v1 v2"},
        {4, false, "Zz St Aa", "fB fa v1 v2 v0"},
        {4, true, "Aa Zz St", "v0 v1 v2 fB fa"},
        {5, false, "Aa Zz St", "v0 v1 v2 fB fa"},  // no rule: nothing moves
    };
    for (const auto& c : cases) {
        vos::SortConfigTree(editor.Tree(), c.column, c.descending);
        EXPECT_EQ(Children(server), c.server) << "column " << c.column << " descending " << c.descending;
        EXPECT_EQ(Children(st), c.station) << "column " << c.column << " descending " << c.descending;
    }
}

TEST_F(ConfigViewSort, EveryColumnIsAStrictWeakOrderOverMixedKinds)
{
    // Library sorts need it; letting the first node's kind choose the rule broke it.
    auto* st = Create(vos::nkStation, server, "St");
    std::vector<TConfigNode*> nodes = {st, Create(vos::nkStation, server, "s2"),
                                       editor.NewObjectExecute(vos::ntModem, server)};
    for (int i = 0; i < 6; ++i) {
        auto* v = Var(st, ("v" + std::to_string(i)).c_str(), i % 3, 250000000 * (i % 2), i);
        v->Rec().VarType = i % 2 ? 3 : 18;
        v->Rec().Readable = static_cast<std::uint8_t>(i % 2);
        v->Rec().Simulated = static_cast<std::uint8_t>(i % 3 == 0);
        v->Rec().SimulationType = i % 3;
        nodes.push_back(v);
        nodes.push_back(Create(vos::nkFolder, st, ("F" + std::to_string(5 - i)).c_str()));
    }
    for (int column = 0; column < vos::kConfigViewColumns; ++column) {
        const auto cmp = [column](const TConfigNode* a, const TConfigNode* b) {
            const int r = vos::TConfigEditor::CompareNodes(*a, *b, column);
            return (r > 0) - (r < 0);
        };
        for (auto* a : nodes)
            for (auto* b : nodes) {
                ASSERT_EQ(cmp(a, b), -cmp(b, a)) << a->Rec().Name << " " << b->Rec().Name << " column " << column;
                for (auto* c : nodes) {
                    if (cmp(a, b) <= 0 && cmp(b, c) <= 0) {
                        ASSERT_LE(cmp(a, c), 0)
                            << a->Rec().Name << " " << b->Rec().Name << " " << c->Rec().Name << " column " << column;
                    }
                }
            }
    }
}

TEST_F(ConfigViewSort, CollationKeysAgreeWithTheComparison)
{
    auto* st = Create(vos::nkStation, server, "St");
    for (const char* name : {"b", "abc", "C", "ABC", "a", "Abc", "Čaj", "cz", "ä"})
        Create(vos::nkFolder, st, name);
    for (int column : {0, 2}) {
        for (bool descending : {false, true}) {
            std::vector<TConfigNode*> expected;
            for (int i = 0; i < st->ChildCount(); ++i)
                expected.push_back(st->Child(i));
            std::stable_sort(expected.begin(), expected.end(), [&](const TConfigNode* a, const TConfigNode* b) {
                const int r = vos::TConfigEditor::CompareNodes(*a, *b, column);
                return descending ? r > 0 : r < 0;
            });
            vos::SortConfigChildren(editor.Tree(), st, column, descending, false);
            EXPECT_EQ(Children(st), Names(expected)) << column << descending;
        }
    }
}

// --- The tree's model ---

class ConfigViewModel : public editor_test::EditorFixture {
protected:
    void SetUp() override
    {
        EditorFixture::SetUp();
        model = std::make_unique<TConfigModel>(editor.Tree());
        tester = std::make_unique<QAbstractItemModelTester>(model.get(),
                                                            QAbstractItemModelTester::FailureReportingMode::Warning);
    }
    void TearDown() override
    {
        tester.reset();
        model.reset();
        EXPECT_TRUE(capture.reports.empty()) << capture.Text();
        EditorFixture::TearDown();
    }
    static bool Dimmed(const QModelIndex& index) { return index.data(Qt::ForegroundRole).isValid(); }

    ModelTestCapture capture;
    std::unique_ptr<TConfigModel> model;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

TEST_F(ConfigViewModel, SixColumnsWithTextsImagesAndCaptions)
{
    auto* st = Create(vos::nkStation, server, "St");
    auto* v = Create(vos::nkVariable, st, "V");
    v->Rec().Zone = 0;
    v->Rec().Address = 12;
    v->Rec().BitNumber = 3;
    v->Rec().VarType = 11;
    v->Rec().Valid = 0;

    EXPECT_EQ(model->columnCount(), vos::kConfigViewColumns);
    const auto vi = model->IndexOf(v);
    EXPECT_EQ(vi.column(), 0);
    EXPECT_EQ(model->parent(vi.siblingAtColumn(4)), model->IndexOf(st));
    EXPECT_EQ(model->rowCount(model->IndexOf(st).siblingAtColumn(1)), 0);  // only column 0 has children
    EXPECT_EQ(model->NodeOf(vi.siblingAtColumn(5)), v);
    EXPECT_EQ(vi.siblingAtColumn(1).data().toString().toStdString(), "X12.3");
    EXPECT_EQ(vi.siblingAtColumn(3).data(TConfigModel::ImageIndexRole).toInt(), 26);
    EXPECT_EQ(vi.siblingAtColumn(2).data(TConfigModel::ImageIndexRole).toInt(), -1);
    EXPECT_FALSE(vi.siblingAtColumn(2).data(Qt::DecorationRole).isValid());
    EXPECT_EQ(vi.data(TConfigModel::ImageIndexRole).toInt(), 9);
    EXPECT_EQ(vi.data(TConfigModel::StateImageRole).toInt(), 0);
    EXPECT_FALSE(vi.siblingAtColumn(1).data(TConfigModel::StateImageRole).isValid());
    EXPECT_EQ(model->IndexOf(server).data(TConfigModel::StateImageRole).toInt(), -1);

    // Column 0 draws the state image beside the node's image; without one the name still
    // starts at the same place.
    const auto withState = vi.data(Qt::DecorationRole).value<QIcon>();
    const auto without = model->IndexOf(server).data(Qt::DecorationRole).value<QIcon>();
    ASSERT_FALSE(withState.isNull());
    EXPECT_EQ(withState.availableSizes().value(0), QSize(32, 16));
    EXPECT_EQ(without.availableSizes().value(0), QSize(32, 16));
    EXPECT_EQ(vi.siblingAtColumn(4).data(Qt::DecorationRole).value<QIcon>().cacheKey(),
              vos::ConfigImage(31).cacheKey());

    // A record change repaints the whole row.
    QSignalSpy changed(model.get(), &QAbstractItemModel::dataChanged);
    v->Rec().Address = 13;
    editor.Tree().NotifyChanged(v);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].value<QModelIndex>(), vi);
    EXPECT_EQ(changed[0][1].value<QModelIndex>(), vi.siblingAtColumn(5));

    std::vector<std::string> captions;
    for (int c = 0; c < vos::kConfigViewColumns; ++c)
        captions.push_back(model->headerData(c, Qt::Horizontal).toString().toStdString());
    EXPECT_EQ(captions, (std::vector<std::string>{"Name", "Address", "Type", "Allow", "Value", "Comment"}));
    EXPECT_FALSE(model->headerData(6, Qt::Horizontal).isValid());
    EXPECT_FALSE(model->headerData(0, Qt::Vertical).isValid());

    QSignalSpy headers(model.get(), &QAbstractItemModel::headerDataChanged);
    changed.clear();
    vx::Language = 0;
    model->RetranslateHeaders();
    ASSERT_EQ(headers.count(), 1);
    EXPECT_EQ(headers[0][1].toInt(), 0);
    EXPECT_EQ(headers[0][2].toInt(), vos::kConfigViewColumns - 1);
    EXPECT_EQ(model->headerData(3, Qt::Horizontal).toString().toStdString(), "Povolit");
    EXPECT_GE(changed.count(), 1);  // the access and value texts are catalogue texts too
    EXPECT_EQ(vi.siblingAtColumn(4).data().toString().toStdString(), "Reálná hodnota");
}

TEST_F(ConfigViewModel, CutNodeDimsItsSubtree)
{
    auto* st = Create(vos::nkStation, server, "St");
    auto* f = Create(vos::nkFolder, st, "F");
    auto* inside = Create(vos::nkVariable, f, "In");
    auto* outside = Create(vos::nkVariable, st, "Out");

    QSignalSpy changed(model.get(), &QAbstractItemModel::dataChanged);
    model->SetCutNode(f);
    EXPECT_EQ(model->CutNode(), f);
    EXPECT_GE(changed.count(), 2);  // the node and its children
    EXPECT_TRUE(Dimmed(model->IndexOf(f)));
    EXPECT_TRUE(Dimmed(model->IndexOf(inside).siblingAtColumn(5)));
    EXPECT_FALSE(Dimmed(model->IndexOf(outside)));
    EXPECT_FALSE(Dimmed(model->IndexOf(st)));

    TConfigListModel list(editor.Tree());
    list.Fill(st, true);
    list.SetCutNode(f);
    EXPECT_TRUE(Dimmed(list.IndexOf(inside)));
    EXPECT_FALSE(Dimmed(list.IndexOf(outside)));

    // A deleted cut node is forgotten, not read.
    editor.DeleteExecute({f}, vx::mrYes);
    EXPECT_EQ(model->CutNode(), nullptr);
    EXPECT_FALSE(Dimmed(model->IndexOf(outside)));
    EXPECT_FALSE(Dimmed(list.IndexOf(outside)));
    model->SetCutNode(nullptr);
}

TEST_F(ConfigViewModel, SortKeepsPersistentIndexesOnTheirNodes)
{
    auto* st = Create(vos::nkStation, server, "St");
    for (const char* name : {"c", "a", "b"})
        Create(vos::nkVariable, st, name);
    const QPersistentModelIndex held(model->IndexOf(st->Child(0)).siblingAtColumn(2));
    vos::SortConfigTree(editor.Tree(), 0, false);
    EXPECT_EQ(Children(st), "a b c");
    EXPECT_EQ(held.row(), 2);
    EXPECT_EQ(held.column(), 2);
    EXPECT_EQ(model->NodeOf(held)->Rec().Name, "c");
    vos::SortConfigChildren(editor.Tree(), st, 0, true, false);
    EXPECT_EQ(Children(st), "c b a");
    EXPECT_EQ(held.row(), 0);
}

}  // namespace

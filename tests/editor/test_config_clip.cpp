// The editor's clipboard, duplicating, dragging nodes inside the tree and the import command,
// offscreen: where copies and moved nodes land, what is refused, that nothing reaches or
// comes from outside the editor, and that ChangeList and ClipboardNode keep to living nodes.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QMouseEvent>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_file.h"
#include "editor/config_file_format.h"
#include "editor/config_model.h"
#include "editor/config_settings.h"
#include "editor/config_validate.h"
#include "editor/decl_import.h"
#include "editor/frm_config.h"
#include "editor/frm_config_pages.h"
#include "editor/widgets/splash.h"
#include "frame_fixture.h"

namespace {

using vos::TConfigNode;

// Server with station "Alpha" (its service folder, folders F1 {V1, V2, V3} and F2 {W1}, and a
// variable V), station "Beta" (its service folder, folder G) and a modem.
class ConfigClipTest : public editor_test::FrameFixture {
protected:
    ConfigClipTest()
    {
        answer = vx::mrOk;
        showOnSetUp = false;
    }
    void AddSeams(vos::TFrmConfigSeams& seams) override
    {
        seams.ExecDrag = [this](QDrag& drag) {
            ++drags;
            return onDrag ? onDrag(drag) : Qt::IgnoreAction;
        };
    }
    void SetUp() override
    {
        FrameFixture::SetUp();
        if (HasFatalFailure())
            return;

        alpha = editor.NewObjectExecute(vos::ntStation, server);
        alpha->Rec().Name = "Alpha";
        f1 = Create(vos::nkFolder, alpha, "F1");
        v1 = Create(vos::nkVariable, f1, "V1");
        v2 = Create(vos::nkVariable, f1, "V2");
        v3 = Create(vos::nkVariable, f1, "V3");
        f2 = Create(vos::nkFolder, alpha, "F2");
        w1 = Create(vos::nkVariable, f2, "W1");
        v = Create(vos::nkVariable, alpha, "V");
        beta = editor.NewObjectExecute(vos::ntStation, server);
        beta->Rec().Name = "Beta";
        g = Create(vos::nkFolder, beta, "G");
        modem = editor.NewObjectExecute(vos::ntModem, server);
        service = alpha->FirstChild();
        ASSERT_EQ(service->Rec().Editable, 0);
        editor.SetModified(false);

        ShowFrame();
        if (HasFatalFailure())
            return;
        Tree()->expandAll();
        Select({server});
    }
    QModelIndex IndexOf(const TConfigNode* node) const { return frame->TreeModel()->IndexOf(node); }

    // The nodes become the tree's selection, the first the current one.
    void Select(const std::vector<TConfigNode*>& nodes)
    {
        frame->SelectTreeNode(nodes.front());
        for (std::size_t i = 1; i < nodes.size(); ++i)
            Tree()->selectionModel()->select(IndexOf(nodes[i]),
                                             QItemSelectionModel::Select | QItemSelectionModel::Rows);
        frame->ShowSelection();
    }
    // Every entry of ChangeList and the clipboard node is a node of the tree.
    void ExpectNoDanglingNodes() const
    {
        for (auto* node : editor.ChangeList())
            EXPECT_TRUE(editor.Tree().Owns(node) && !node->IsRoot());
        if (editor.ClipboardNode()) {
            EXPECT_TRUE(editor.Tree().Owns(editor.ClipboardNode()));
        }
    }
    bool InChangeList(const TConfigNode* node) const
    {
        const auto& list = editor.ChangeList();
        return std::find(list.begin(), list.end(), node) != list.end();
    }
    // The command as each of its bindings runs it.
    enum Route { ByButton, ByTreeItem, ByListItem, ByCall };
    void Run(const char* command, Route route)
    {
        const std::string name(command);
        switch (route) {
        case ByButton:
            Child<QToolButton>("TBtn_" + name)->click();
            break;
        case ByTreeItem:
            Child<QAction>("PMnTree_" + name)->trigger();
            break;
        case ByListItem:
            Child<QAction>("PMnList_" + name)->trigger();
            break;
        case ByCall:
            if (name == "Cut")
                frame->TBtn_CutClick();
            else if (name == "Copy")
                frame->TBtn_CopyClick();
            else if (name == "Paste")
                frame->TBtn_PasteClick();
            else
                frame->TBtn_DuplicateClick();
            break;
        }
    }
    void SendMouse(QEvent::Type type, const QPoint& pos, Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, pos, Tree()->viewport()->mapToGlobal(pos), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(Tree()->viewport(), &event);
    }
    QPoint RowCenter(const TConfigNode* node) const
    {
        Tree()->scrollTo(IndexOf(node));
        return Tree()->visualRect(IndexOf(node)).center();
    }

    int drags = 0;
    std::function<Qt::DropAction(QDrag&)> onDrag;

    TConfigNode* alpha = nullptr;
    TConfigNode* service = nullptr;
    TConfigNode* f1 = nullptr;
    TConfigNode* v1 = nullptr;
    TConfigNode* v2 = nullptr;
    TConfigNode* v3 = nullptr;
    TConfigNode* f2 = nullptr;
    TConfigNode* w1 = nullptr;
    TConfigNode* v = nullptr;
    TConfigNode* beta = nullptr;
    TConfigNode* g = nullptr;
    TConfigNode* modem = nullptr;
};

// --- Duplicate ---

TEST_F(ConfigClipTest, DuplicatingAStationRepairsItsAddressAndCopiesItsServiceItemsAndStandby)
{
    alpha->Rec().StandbyConnectionType = 2;
    alpha->Rec().StandbyIpAddress = "10.1.2.3";
    alpha->Rec().StandbyBusAddress = 7;
    alpha->Rec().StandbyTimeout = 900;
    const auto count = editor.Tree().NodeCount();
    const auto subtree = 1 + 17 + 4 + 2 + 1;  // station, service folder and items, F1, F2, V
    Select({alpha});
    Run("Duplicate", ByButton);

    TConfigNode* copy = server->LastChild();
    ASSERT_NE(copy, modem);
    EXPECT_EQ(editor.Tree().NodeCount(), count + subtree);
    EXPECT_NE(copy->Rec().Name, "Alpha");
    EXPECT_EQ(copy->Rec().Name.rfind("Alpha", 0), 0u) << copy->Rec().Name;
    // The next address free among the stations: Beta holds the one after Alpha's.
    EXPECT_EQ(copy->Rec().BusAddress, beta->Rec().BusAddress + 1);
    EXPECT_EQ(vos::NodeConflict(*copy), vos::ccNone);
    EXPECT_EQ(copy->Rec().Ordinal, vos::StationCounter);
    EXPECT_EQ(copy->Rec().StandbyConnectionType, 2);
    EXPECT_EQ(copy->Rec().StandbyIpAddress, "10.1.2.3");
    EXPECT_EQ(copy->Rec().StandbyBusAddress, 7);
    EXPECT_EQ(copy->Rec().StandbyTimeout, 900);
    EXPECT_EQ(ChildNames(copy), ChildNames(alpha));
    const TConfigNode* serviceCopy = copy->FirstChild();
    EXPECT_EQ(serviceCopy->Rec().Editable, 0);
    ASSERT_EQ(serviceCopy->ChildCount(), 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(serviceCopy->Child(i)->Rec().ServiceCode, service->Child(i)->Rec().ServiceCode);
        EXPECT_EQ(serviceCopy->Child(i)->Rec().Editable, 0);
    }
    EXPECT_EQ(ChildNames(copy->Child(1)), (std::vector<std::string>{"V1", "V2", "V3"}));
    // The copy is the one selected node, shown on its page.
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{copy});
    EXPECT_EQ(frame->Pages()->currentWidget()->objectName(), "TS_Station");
    EXPECT_TRUE(editor.Modified());
}

TEST_F(ConfigClipTest, DuplicatedStationWithNamesUniquePerStationRepairsWhatWouldConflictInIt)
{
    vos::VarUniqueness = 1;
    w1->Rec().Name = "V1";  // in conflict with F1's V1 within the station
    Select({alpha});
    Run("Duplicate", ByButton);
    TConfigNode* copy = server->LastChild();
    ASSERT_EQ(copy->ChildCount(), alpha->ChildCount());
    EXPECT_EQ(ChildNames(copy->Child(1)), (std::vector<std::string>{"V1", "V2", "V3"}));
    EXPECT_EQ(ChildNames(copy->Child(2)), std::vector<std::string>{"V4"});
    for (auto* n = copy; n && copy->Contains(n); n = vos::TConfigTree::Next(n)) {
        EXPECT_EQ(vos::NodeConflict(*n), vos::ccNone) << n->Rec().Name;
        EXPECT_EQ(n->Rec().Valid, 1) << n->Rec().Name;
    }
}

TEST_F(ConfigClipTest, DuplicatingAGeneratedNodeOrTheServerDoesNothing)
{
    const struct {
        const char* what;
        TConfigNode* node;
    } cases[] = {
        {"service item", service->FirstChild()},
        {"service folder", service},
        {"modem item", modem->FirstChild()},
        {"server", server},
    };
    const auto count = editor.Tree().NodeCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Select({c.node});
        for (Route route : {ByButton, ByTreeItem, ByCall})
            Run("Duplicate", route);
        EXPECT_EQ(editor.Tree().NodeCount(), count);
        EXPECT_FALSE(editor.Modified());
    }
}

// --- Copy and paste ---

TEST_F(ConfigClipTest, PastedCopyLandsWhereANewNodeOfItsKindWould)
{
    const struct {
        const char* what;
        TConfigNode* copied;
        TConfigNode* target;
        TConfigNode* parent;
        Route route;
    } cases[] = {
        {"variable on a variable: beside it", v1, w1, f2, ByButton},
        {"variable on a folder", v1, g, g, ByTreeItem},
        {"folder on a station", f2, beta, beta, ByListItem},
        {"station on the server", beta, server, server, ByCall},
        {"modem on the server", modem, server, server, ByButton},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Select({c.copied});
        Run("Copy", c.route);
        EXPECT_EQ(editor.ClipboardNode(), c.copied);
        Select({c.target});
        EXPECT_TRUE(Child<QToolButton>("TBtn_Paste")->isEnabled());
        const auto count = c.parent->ChildCount();
        Run("Paste", c.route);
        ASSERT_EQ(c.parent->ChildCount(), count + 1);
        TConfigNode* pasted = c.parent->LastChild();
        EXPECT_EQ(pasted->Rec().Kind, c.copied->Rec().Kind);
        EXPECT_EQ(pasted->ChildCount(), c.copied->ChildCount());
        EXPECT_TRUE(InChangeList(pasted));
        EXPECT_EQ(editor.ClipboardNode(), c.copied);  // pasted again and again
    }
}

TEST_F(ConfigClipTest, PastedVariableKeepsItsNameUnlessNamesAreUniquePerStation)
{
    // Per station first: the plain copy left on ChangeList would be in conflict then.
    for (int uniqueness : {1, 0}) {
        SCOPED_TRACE(uniqueness);
        vos::VarUniqueness = uniqueness;
        Select({v1});
        Run("Copy", ByButton);
        Select({f2});
        Run("Paste", ByButton);
        const std::string name = f2->LastChild()->Rec().Name;
        if (uniqueness == 0)
            EXPECT_EQ(name, "V1");
        else
            EXPECT_EQ(name, "V4");  // the trailing number raised past V2 and V3 of the station
    }
}

TEST_F(ConfigClipTest, CopyPastedIntoItsOwnSubtreeCopiesOnlyWhatWasThere)
{
    const auto count = editor.Tree().NodeCount();
    Select({f1});
    Run("Copy", ByButton);
    const struct {
        TConfigNode* target;
        std::vector<std::string> copied;
    } cases[] = {
        {f1, {"V1", "V2", "V3"}},
        // A variable inside places the copy in the folder too; the first copy existed by then.
        {v2, {"V1", "V2", "V3", "F1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target->Rec().Name);
        Select({c.target});
        Run("Paste", ByButton);
        TConfigNode* copy = f1->LastChild();
        EXPECT_EQ(copy->Rec().Kind, vos::nkFolder);
        EXPECT_EQ(ChildNames(copy), c.copied);
    }
    EXPECT_EQ(editor.Tree().NodeCount(), count + 4 + 8);
}

TEST_F(ConfigClipTest, CopyNodeCopiesEveryFieldButItsOwnNumberAndState)
{
    auto& src = v1->Rec();
    src.Comment = "comment";
    src.ComPort = 3;
    src.BaudRate = 19200;
    src.Parity = 2;
    src.ConnectionType = 4;
    src.Reserved = 11;
    src.BusAddress = 12;
    src.StationType = 2;
    src.Timeout = 1300;
    src.Marker = 9;
    src.Zone = 3;
    src.Address = 1234;
    src.BitNumber = 5;
    src.VarType = 0x2003;
    src.StringLength = 40;
    src.ArrayLength = 8;
    src.Readable = 0;
    src.Writable = 1;
    src.Units = "mm";
    src.Scaled = 1;
    src.ScaledHigh = 10.5;
    src.ScaledLow = -1.5;
    src.InstrumentHigh = 100;
    src.InstrumentLow = 2;
    src.CloseLabel = "on";
    src.OpenLabel = "off";
    src.HiHiLimit = 4;
    src.HiLimit = 3;
    src.LoLimit = 2;
    src.LoLoLimit = 1;
    src.ScaledVarType = 5;
    src.Simulated = 1;
    src.SimulationType = 2;
    src.SimulationMin = -3;
    src.SimulationMax = 30;
    src.SimulationGain = 0.5;
    src.SimulationPeriod = 2500;
    src.ServiceCode = 13;
    src.ReservedDoubles[9] = 1.25;
    src.ReservedInts[4] = -4;
    src.ReservedBytes[0] = 200;
    src.InitialValue = "7";
    src.IpAddress = "10.0.0.1";
    src.ReservedText = "r";
    src.StandbyComPort = 4;
    src.StandbyBaudRate = 9600;
    src.StandbyParity = 1;
    src.StandbyConnectionType = 2;
    src.StandbyBusAddress = 6;
    src.StandbyTimeout = 700;
    src.StandbyIpAddress = "10.0.0.2";
    src.Editable = 1;
    src.Valid = 0;
    src.Saved = 1;

    TConfigNode* copy = Create(vos::nkVariable, g, "X");
    const auto own = copy->Rec();
    frame->CopyNode(*v1, *copy);
    EXPECT_EQ(copy->Rec().Ordinal, own.Ordinal);
    EXPECT_EQ(copy->Rec().TreeNode, copy);
    EXPECT_EQ(copy->Rec().Valid, own.Valid);
    EXPECT_EQ(copy->Rec().Saved, own.Saved);
    // Everything the file stores, apart from those, is the source's.
    auto expected = src;
    expected.Ordinal = own.Ordinal;
    expected.Valid = own.Valid;
    expected.Saved = own.Saved;
    std::string want, got;
    vos::VST_TreeSaveNode(want, expected);
    vos::VST_TreeSaveNode(got, copy->Rec());
    EXPECT_EQ(got, want);
}

TEST_F(ConfigClipTest, CommandsFromTheListKeepTheListInStep)
{
    Select({f1});
    auto* list = frame->VST_List();
    const auto clickList = [&](const TConfigNode* node) {
        const QModelIndex index = frame->FindListNode(node);
        ASSERT_TRUE(index.isValid());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(index).center());
    };
    clickList(v2);
    ASSERT_TRUE(editor.ListActive());
    Run("Duplicate", ByListItem);
    TConfigNode* copy = f1->LastChild();
    EXPECT_EQ(copy->Rec().Name, "V4");
    EXPECT_TRUE(editor.ListActive());
    EXPECT_TRUE(frame->FindListNode(copy).isValid());
    EXPECT_EQ(frame->SelectedListNodes(), std::vector<TConfigNode*>{copy});
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{copy});
    EXPECT_EQ(frame->Pages()->currentWidget()->objectName(), "TS_Variable");

    // A paste beside the listed variable appears in the list; the list's selection stays.
    clickList(v3);
    Run("Copy", ByListItem);
    Run("Paste", ByListItem);
    EXPECT_EQ(f1->ChildCount(), 5);
    EXPECT_TRUE(frame->FindListNode(f1->LastChild()).isValid());
    EXPECT_EQ(frame->SelectedListNodes(), std::vector<TConfigNode*>{v3});
}

// --- Cut and paste ---

TEST_F(ConfigClipTest, CutFolderPastedOnAStationMovesThenPastesAsACopy)
{
    const auto count = editor.Tree().NodeCount();
    Select({f1});
    Run("Cut", ByTreeItem);
    EXPECT_EQ(editor.ClipboardNode(), f1);
    EXPECT_EQ(frame->TreeModel()->CutNode(), f1);
    EXPECT_EQ(f1->Parent(), alpha);  // nothing moves at the cut

    Select({beta});
    Run("Paste", ByTreeItem);
    EXPECT_EQ(f1->Parent(), beta);
    EXPECT_EQ(beta->LastChild(), f1);
    EXPECT_EQ(ChildNames(f1), (std::vector<std::string>{"V1", "V2", "V3"}));
    EXPECT_EQ(editor.Tree().NodeCount(), count);
    EXPECT_EQ(frame->TreeModel()->CutNode(), nullptr);
    EXPECT_TRUE(InChangeList(f1));
    EXPECT_TRUE(editor.Modified());

    Run("Paste", ByTreeItem);
    EXPECT_EQ(editor.Tree().NodeCount(), count + 4);
    EXPECT_NE(beta->LastChild(), f1);
    EXPECT_EQ(f1->Parent(), beta);
}

TEST_F(ConfigClipTest, CutNodeGoesWhereACopyWouldAndNeverIntoItself)
{
    const struct {
        const char* what;
        TConfigNode* cut;
        TConfigNode* target;
        TConfigNode* parent;  // nullptr: refused
    } cases[] = {
        {"variable on a variable of another folder: beside it", v1, w1, f2},
        {"folder on its own child", f1, v2, nullptr},
        {"folder on itself", f2, f2, nullptr},
        {"folder on a variable beside it: stays, goes last", f2, v, alpha},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TConfigNode* oldParent = c.cut->Parent();
        const int oldIndex = c.cut->Index();
        Select({c.cut});
        Run("Cut", ByButton);
        Select({c.target});
        Run("Paste", ByButton);
        if (c.parent) {
            EXPECT_EQ(c.cut->Parent(), c.parent);
            EXPECT_EQ(c.parent->LastChild(), c.cut);
            EXPECT_EQ(frame->TreeModel()->CutNode(), nullptr);
        } else {
            EXPECT_EQ(c.cut->Parent(), oldParent);
            EXPECT_EQ(c.cut->Index(), oldIndex);
            EXPECT_EQ(frame->TreeModel()->CutNode(), c.cut);  // still waiting to be pasted
        }
    }
}

// --- Enabling rule per handler ---

TEST_F(ConfigClipTest, HandlersTestTheRuleOnTheNodeTheyActOn)
{
    // Station and server selected: paste is enabled for the station, but the server is the
    // first selected node, and no variable goes there.
    Select({v});
    Run("Copy", ByButton);
    Select({server, beta});
    ASSERT_TRUE(Child<QToolButton>("TBtn_Paste")->isEnabled());
    auto count = editor.Tree().NodeCount();
    frame->TBtn_PasteClick();
    EXPECT_EQ(editor.Tree().NodeCount(), count);
    EXPECT_FALSE(editor.Modified());

    // A generated item is neither copied nor cut, whatever calls the handler.
    for (const char* command : {"Copy", "Cut"}) {
        SCOPED_TRACE(command);
        Select({service->FirstChild()});
        Run(command, ByCall);
        EXPECT_EQ(editor.ClipboardNode(), v);
        EXPECT_EQ(frame->TreeModel()->CutNode(), nullptr);
    }
}

TEST_F(ConfigClipTest, PendingConflictStopsCutPasteAndDuplicateButNotCopy)
{
    Select({v});
    Run("Copy", ByButton);
    v2->Rec().Name = "V1";
    editor.AddToChangeList(v2);
    editor.SetModified(false);
    const auto count = editor.Tree().NodeCount();
    const struct {
        const char* command;
        bool changesClipboard;
    } cases[] = {{"Cut", false}, {"Paste", false}, {"Duplicate", false}, {"Copy", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        Select({w1});
        boxes.clear();
        notes.clear();
        Run(c.command, ByCall);
        EXPECT_EQ(editor.Tree().NodeCount(), count);
        EXPECT_EQ(editor.ClipboardNode(), c.changesClipboard ? w1 : v);
        EXPECT_EQ(frame->TreeModel()->CutNode(), nullptr);
        EXPECT_FALSE(editor.Modified());
        // The conflict was reported by the commands that validate.
        EXPECT_EQ(boxes.size() + notes.size() > 0, !c.changesClipboard);
    }
}

// --- Drag and drop ---

TEST_F(ConfigClipTest, DroppedNodesGoInReverseSelectionOrderAsLastChildrenOrBeforeAVariable)
{
    const struct {
        const char* what;
        TConfigNode* target;
        TConfigNode* parent;
        std::vector<std::string> names;
    } cases[] = {
        {"onto a folder", f2, f2, {"W1", "V3", "V2", "V1"}},
        {"onto a variable of another folder", w1, f2, {"V3", "V2", "V1", "W1"}},
        {"onto a station", beta, beta, {"Service", "G", "V3", "V2", "V1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (auto* node : {v1, v2, v3})
            ASSERT_TRUE(editor.Tree().MoveNode(node, f1));
        for (auto* node : {v1, v2, v3})
            node->Rec().Valid = node->Rec().Saved = 1;
        ASSERT_TRUE(editor.Tree().MoveNode(w1, f2, 0));
        Select({v1, v2, v3});
        bool accepted = false;
        onDrag = [&](QDrag& drag) {
            accepted = frame->VST_TreeDragOver(drag.source(), drag.mimeData(), c.target);
            frame->VST_TreeDragDrop(drag.source(), drag.mimeData(), c.target);
            return Qt::MoveAction;
        };
        frame->VST_TreeStartDrag();
        EXPECT_TRUE(accepted);
        EXPECT_EQ(ChildNames(c.parent), c.names);
        EXPECT_EQ(f1->ChildCount(), 0);
        for (auto* node : {v1, v2, v3}) {
            EXPECT_EQ(node->Rec().Valid, 0);
            EXPECT_EQ(node->Rec().Saved, 0);
            EXPECT_TRUE(InChangeList(node));
        }
    }
}

TEST_F(ConfigClipTest, DropIsRefusedForTheKindsSourcesAndPlacesItMayNotTake)
{
    QMimeData foreign;  // this program's type from another instance: no nodes of this tree
    foreign.setData(QString::fromLatin1(vos::kConfigNodesMimeType), "3");
    enum Source { FromTree, FromList, FromOutside, ForeignData };
    const struct {
        const char* what;
        std::vector<TConfigNode*> dragged;
        TConfigNode* target;
        Source source;
        bool accepted;
    } cases[] = {
        {"variable onto another folder", {v1}, f2, FromTree, true},
        {"station", {beta}, server, FromTree, false},
        {"station onto a station", {beta}, alpha, FromTree, false},
        {"modem", {modem}, beta, FromTree, false},
        {"service item", {service->FirstChild()}, g, FromTree, false},
        {"folder onto its own child", {f1}, v2, FromTree, false},
        {"folder onto itself", {f1}, f1, FromTree, false},
        {"variable onto its own folder", {v1}, f1, FromTree, false},
        {"variable onto a sibling", {v1}, v2, FromTree, false},
        {"variable onto the server", {v1}, server, FromTree, false},
        {"variable onto a modem", {v1}, modem, FromTree, false},
        {"variable onto nothing", {v1}, nullptr, FromTree, false},
        {"one refused node refuses all", {v1, service->FirstChild()}, g, FromTree, false},
        {"from VST_List", {v1}, f2, FromList, false},
        {"from outside", {v1}, f2, FromOutside, false},
        {"another instance's data", {v1}, f2, ForeignData, false},
    };
    const auto count = editor.Tree().NodeCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Select(c.dragged);
        TConfigNode* parent = c.dragged.front()->Parent();
        bool accepted = !c.accepted;
        onDrag = [&](QDrag& drag) {
            const QObject* source = c.source == FromTree   ? drag.source()
                                    : c.source == FromList ? frame->VST_List()
                                                           : nullptr;
            const QMimeData* data = c.source == ForeignData ? &foreign : drag.mimeData();
            accepted = frame->VST_TreeDragOver(source, data, c.target);
            // A drop moves the nodes that pass on their own; Qt sends none after a refusal.
            if (!c.accepted && c.dragged.size() == 1)
                frame->VST_TreeDragDrop(source, data, c.target);
            return Qt::IgnoreAction;
        };
        frame->VST_TreeStartDrag();
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(c.dragged.front()->Parent(), parent);
    }
    EXPECT_EQ(editor.Tree().NodeCount(), count);
    EXPECT_TRUE(editor.ChangeList().empty());
}

TEST_F(ConfigClipTest, DragFromASelectedRowKeepsTheSelectionAndTheSourceRemovesNothing)
{
    Select({v1, v2});
    const auto names = ChildNames(f1);
    std::vector<TConfigNode*> dragged;
    // A target elsewhere (another program) takes the data as a move.
    onDrag = [&](QDrag& drag) {
        EXPECT_EQ(drag.source(), Tree());
        EXPECT_TRUE(drag.mimeData()->hasFormat(QString::fromLatin1(vos::kConfigNodesMimeType)));
        dragged = frame->SelectedTreeNodes();
        return Qt::MoveAction;
    };
    const QPoint start = RowCenter(v2);
    QTest::mousePress(Tree()->viewport(), Qt::LeftButton, {}, start);
    SendMouse(QEvent::MouseMove, start + QPoint(QApplication::startDragDistance() + 4, 2), Qt::LeftButton);
    QTest::mouseRelease(Tree()->viewport(), Qt::LeftButton, {}, start + QPoint(0, 2));
    EXPECT_EQ(drags, 1);
    EXPECT_EQ(dragged, (std::vector<TConfigNode*>{v1, v2}));
    EXPECT_EQ(ChildNames(f1), names);
    EXPECT_EQ(frame->SelectedTreeNodes(), (std::vector<TConfigNode*>{v1, v2}));
    EXPECT_FALSE(editor.Modified());

    // Without a move, a click on a selected row selects that row alone.
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, RowCenter(v2));
    EXPECT_EQ(drags, 1);
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{v2});
}

TEST_F(ConfigClipTest, DropEventsFromOutsideTheEditorMoveNothing)
{
    Select({v1});
    onDrag = [&](QDrag& drag) {
        // Events that Qt delivers for a drag it does not run here have no source.
        const QPoint pos = RowCenter(f2);
        QDragEnterEvent enter(pos, Qt::MoveAction, drag.mimeData(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(Tree()->viewport(), &enter);
        QDragMoveEvent move(pos, Qt::MoveAction, drag.mimeData(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(Tree()->viewport(), &move);
        EXPECT_FALSE(move.isAccepted());
        QDropEvent drop(pos, Qt::MoveAction, drag.mimeData(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(Tree()->viewport(), &drop);
        EXPECT_FALSE(drop.isAccepted());
        return Qt::IgnoreAction;
    };
    frame->VST_TreeStartDrag();
    EXPECT_EQ(v1->Parent(), f1);
    EXPECT_TRUE(editor.ChangeList().empty());
}

// --- Depth ---

TEST_F(ConfigClipTest, NoPasteOrDropMakesTheTreeDeeperThanItsLimit)
{
    // A chain of folders under Beta down to the deepest level.
    std::vector<TConfigNode*> chain{g};
    while (auto* next = editor.CreateNode(vos::nkFolder, chain.back()))
        chain.push_back(next);
    TConfigNode* deepest = chain.back();
    ASSERT_EQ(deepest->Depth(), vos::kMaxTreeDepth);
    TConfigNode* roomForTwo = chain[chain.size() - 3];  // F1 with its variables fits just below

    // Moves: refused at the deepest level, taken where the subtree fits.
    Select({f1});
    Run("Cut", ByButton);
    Select({deepest});
    Run("Paste", ByButton);
    EXPECT_EQ(f1->Parent(), alpha);
    Select({f1});
    onDrag = [&](QDrag& drag) {
        EXPECT_FALSE(frame->VST_TreeDragOver(drag.source(), drag.mimeData(), deepest));
        frame->VST_TreeDragDrop(drag.source(), drag.mimeData(), deepest);
        return Qt::IgnoreAction;
    };
    frame->VST_TreeStartDrag();
    EXPECT_EQ(f1->Parent(), alpha);
    Select({roomForTwo});
    Run("Paste", ByButton);
    EXPECT_EQ(f1->Parent(), roomForTwo);
    EXPECT_EQ(v1->Depth(), vos::kMaxTreeDepth);

    // A copy stops where node creation does: the folder without its variables.
    Select({f1});
    Run("Copy", ByButton);
    Select({chain[chain.size() - 2]});
    Run("Paste", ByButton);
    TConfigNode* copy = chain[chain.size() - 2]->LastChild();
    EXPECT_EQ(copy->Rec().Name, "F1");
    EXPECT_EQ(copy->ChildCount(), 0);
    Select({deepest});
    const auto count = editor.Tree().NodeCount();
    Run("Paste", ByButton);
    EXPECT_EQ(editor.Tree().NodeCount(), count);
}

// --- Lists stay true ---

TEST_F(ConfigClipTest, ChangeListAndClipboardHoldOnlyLivingNodesAfterPastesMovesAndDeletes)
{
    const std::vector<std::function<void()>> steps = {
        [&] { Select({f1}); Run("Copy", ByButton); },
        [&] { Select({g}); Run("Paste", ByButton); },
        [&] { Select({v}); Run("Cut", ByButton); },
        [&] { Select({w1}); Run("Paste", ByButton); },
        [&] {
            Select({v2, v3});
            onDrag = [&](QDrag& drag) {
                frame->VST_TreeDragDrop(drag.source(), drag.mimeData(), g);
                return Qt::MoveAction;
            };
            frame->VST_TreeStartDrag();
        },
        [&] { Select({g->LastChild()}); frame->DeleteExecute(); },  // a dropped node
        [&] { Select({g->FirstChild()}); frame->DeleteExecute(); },  // the pasted copy
        [&] { Select({v}); frame->DeleteExecute(); },                // the clipboard node
    };
    vx::SetMessageDlgAnswer([](const std::string&, vx::TMsgDlgType, vx::TMsgDlgButtons) { return int{vx::mrYes}; });
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        steps[i]();
        ExpectNoDanglingNodes();
    }
    EXPECT_EQ(editor.ClipboardNode(), nullptr);
    EXPECT_EQ(editor.ChangeList(), std::vector<TConfigNode*>{v3});
}

// --- Nothing reaches the desktop's clipboard ---

TEST_F(ConfigClipTest, CopyPutsNothingOnTheDesktopClipboard)
{
    QApplication::clipboard()->setText(QStringLiteral("outside"));
    Select({v1});
    Tree()->setFocus();
    QTest::keyClick(Tree(), Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(frame->VST_List(), Qt::Key_C, Qt::ControlModifier);
    Run("Copy", ByButton);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("outside"));
    EXPECT_EQ(editor.ClipboardNode(), v1);
}

// --- Import ---

TEST_F(ConfigClipTest, ImportAsksForTheFileAndShowsWhatItImported)
{
    const auto write = [this](const char* name, const char* text) {
        const QString path = dir.path() + QLatin1Char('/') + QLatin1String(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return path.toStdString();
    };
    const std::string good = write("plc.pub", "IA R W 10 INT PUB_INOUT\nIB R W 12 INT PUB_IN\n");
    const std::string other = write("plc.txt", "IA R W 10 INT PUB_INOUT\n");
    const std::string missing = (dir.path() + "/none.pub").toStdString();
    const struct {
        const char* what;
        std::optional<std::string> file;
        int result;
        int imported;
    } cases[] = {
        {"declarations", good, vos::kImportDone, 2},
        {"another extension", other, vos::kImportUnknownExtension, 0},
        {"a file that is not there", missing, vos::kImportCannotOpen, 0},
        {"cancelled", std::nullopt, vos::kImportCancelled, 0},
    };
    std::vector<QString> splashes;
    struct SplashWatch : QObject {
        std::vector<QString>* seen;
        bool eventFilter(QObject* o, QEvent* e) override
        {
            if (e->type() == QEvent::Show)
                if (auto* splash = qobject_cast<vos::TF_Splash*>(o))
                    seen->push_back(splash->windowTitle());
            return false;
        }
    } watch;
    watch.seen = &splashes;
    qApp->installEventFilter(&watch);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Select({g});
        ASSERT_TRUE(Child<QToolButton>("TBtn_Import")->isEnabled());
        openAnswer = c.file;
        openRequests.clear();
        boxes.clear();
        splashes.clear();
        editor.SetModified(false);
        const int children = g->ChildCount();
        EXPECT_EQ(frame->ImportConfiguration(), c.result);
        ASSERT_EQ(openRequests.size(), 1u);
        EXPECT_EQ(openRequests[0].Title, vx::GetLangText(vos::kTextImportTitle));
        EXPECT_EQ(openRequests[0].Filter, vx::GetLangText(vos::kTextImportFilter));
        EXPECT_EQ(g->ChildCount(), children + c.imported);
        const auto expected = vos::ImportMessages(c.result, c.imported, 0, c.file.value_or(""));
        ASSERT_EQ(boxes.size(), c.file ? expected.size() : 0u);
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].Text, expected[i].Text);
            EXPECT_EQ(boxes[i].Type, expected[i].Type);
        }
        EXPECT_EQ(editor.Modified(), c.imported > 0);
        if (c.imported > 0) {
            EXPECT_EQ(frame->SelectedTreeNodes(), (std::vector<TConfigNode*>{g->Child(children), g->Child(children + 1)}));
            EXPECT_EQ(splashes, std::vector<QString>{QString::fromStdString(vx::GetLangText(vos::kSplashImportingText))});
        }
    }
    qApp->removeEventFilter(&watch);

    // Not where the import rule says no: the server and a modem.
    for (TConfigNode* node : {server, modem}) {
        Select({node});
        EXPECT_FALSE(Child<QToolButton>("TBtn_Import")->isEnabled());
        openRequests.clear();
        EXPECT_EQ(frame->ImportConfiguration(), vos::kImportCancelled);
        EXPECT_TRUE(openRequests.empty());
    }
    Select({g});
    openAnswer = std::nullopt;
    openRequests.clear();
    Child<QToolButton>("TBtn_Import")->click();
    EXPECT_EQ(openRequests.size(), 1u);
}

}  // namespace

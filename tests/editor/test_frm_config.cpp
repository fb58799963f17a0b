// The editor's frame offscreen: the page and list shown for a selection, sorting by header
// clicks, the focus check, and the commands with their questions and file dialogs answered
// through the seams.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_file.h"
#include "editor/config_list_model.h"
#include "editor/config_model.h"
#include "editor/frm_config.h"
#include "editor/frm_config_pages.h"
#include "editor/widgets/control_props.h"
#include "editor/widgets/splash.h"
#include "frame_fixture.h"

namespace {

using vos::TConfigDetailPages;
using vos::TConfigNode;

class FrmConfigTest : public editor_test::FrameFixture {
protected:
    QTreeView* List() const { return frame->VST_List(); }
    QString PageName() const { return frame->Pages()->currentWidget()->objectName(); }

    // A user's click on a node's row (ctrl: add to the selection).
    void ClickTree(const TConfigNode* node, Qt::KeyboardModifiers mods = {})
    {
        const QModelIndex index = frame->TreeModel()->IndexOf(node);
        ASSERT_TRUE(index.isValid());
        Tree()->scrollTo(index);
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, mods, Tree()->visualRect(index).center());
    }
    void ClickList(const TConfigNode* node, Qt::KeyboardModifiers mods = {})
    {
        const QModelIndex index = frame->FindListNode(node);
        ASSERT_TRUE(index.isValid());
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, mods, List()->visualRect(index).center());
    }
    std::vector<std::string> ListNames() const
    {
        std::vector<std::string> names;
        auto* model = frame->ListModel();
        for (int row = 0; row < model->rowCount(); ++row)
            names.push_back(model->NodeOf(model->index(row, 0))->Rec().Name);
        return names;
    }
};

// A station "Alpha" with a folder "F" holding two variables, a bare variable beside the folder,
// and a modem: every kind once.
struct SmallTree {
    TConfigNode* station;
    TConfigNode* folder;
    TConfigNode* variable;
    TConfigNode* folderVariable;
    TConfigNode* modem;
};

class FrmConfigTreeTest : public FrmConfigTest {
protected:
    void SetUp() override
    {
        FrmConfigTest::SetUp();
        t.station = Create(vos::nkStation, server, "Alpha");
        t.folder = Create(vos::nkFolder, t.station, "F");
        t.folderVariable = Create(vos::nkVariable, t.folder, "FV1");
        Create(vos::nkVariable, t.folder, "FV2");
        t.variable = Create(vos::nkVariable, t.station, "V");
        t.modem = Create(vos::nkModem, server, "Mod");
        for (auto* node : {t.station, t.folder})
            Tree()->expand(frame->TreeModel()->IndexOf(node));
        frame->SelectTreeNode(server);
        frame->ShowSelection();
    }
    SmallTree t{};
};

// --- Selection to page ---

TEST_F(FrmConfigTreeTest, SelectionShowsThePageOfEachKindAndListsTheNodesContents)
{
    struct Case {
        const char* what;
        TConfigNode* node;
        int page;
        const char* pageName;
        std::vector<std::string> list;
        const char* status;
    } cases[] = {
        {"server", server, TConfigDetailPages::pgServer, "TS_Server", {"Alpha", "Mod"}, "Devices count:2"},
        {"station", t.station, TConfigDetailPages::pgStation, "TS_Station", {"F", "V"},
         "Items count:1;Branches count:1"},
        {"folder", t.folder, TConfigDetailPages::pgFolder, "TS_Folder", {"FV1", "FV2"}, "Items count:2"},
        {"variable", t.folderVariable, TConfigDetailPages::pgVariable, "TS_Variable", {}, "Alpha.F.FV1"},
        {"modem", t.modem, TConfigDetailPages::pgModem, "TS_Modem", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ClickTree(c.node);
        EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{c.node});
        EXPECT_EQ(frame->Pages()->currentIndex(), c.page);
        EXPECT_EQ(PageName().toStdString(), c.pageName);
        EXPECT_EQ(ListNames(), c.list);
        EXPECT_EQ(frame->StatusText().toStdString(), c.status);
        EXPECT_EQ(frame->SB_ConfigTree()->objectName(), "SB_ConfigTree");
    }
    // The page shows the record: the station's name edit holds its name.
    ClickTree(t.station);
    auto* name = Child<QLineEdit>("E_StName");
    EXPECT_EQ(name->text(), "Alpha");
    // Showing another node gives the marked controls their colours back.
    ASSERT_TRUE(vos::MarkControlChanged(name));
    ClickTree(t.folder);
    EXPECT_FALSE(vos::IsControlChanged(name));
}

TEST_F(FrmConfigTest, InitEditorRegistersTheDetailControls)
{
    const auto controls = frame->Pages()->DetailControls();
    EXPECT_EQ(controls.size(), 51u);
    ASSERT_EQ(vos::ControlPropsList->Count(), static_cast<int>(controls.size()));
    for (std::size_t i = 0; i < controls.size(); ++i)
        EXPECT_EQ(vos::ControlPropsList->Items(static_cast<int>(i)).Control, controls[i]);
    // The server is selected and shown.
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{server});
    EXPECT_EQ(PageName(), "TS_Server");
}

TEST_F(FrmConfigTest, TheProgressWindowShowsWhileThereIsWorkToCount)
{
    vos::TFrmConfigFileUi ui(frame.get(), {}, nullptr);
    EXPECT_EQ(ui.Splash(), nullptr);
    ui.ProgressOpen("Saving configuration.");
    ASSERT_NE(ui.Splash(), nullptr);
    EXPECT_EQ(ui.Splash()->windowTitle(), "Saving configuration.");
    EXPECT_FALSE(ui.Splash()->isVisible());
    ui.ProgressMaximum(10);
    EXPECT_TRUE(ui.Splash()->isVisible());
    ui.ProgressPosition(4);
    EXPECT_EQ(ui.Splash()->Position(), 4);
    ui.ProgressClose();
    EXPECT_EQ(ui.Splash(), nullptr);
    ui.ProgressPosition(5);  // no window: nothing happens
}

TEST_F(FrmConfigTreeTest, MixedKindsShowTheEmptyPageAndAnEmptyList)
{
    ClickTree(t.station);
    ASSERT_EQ(ListNames().size(), 2u);
    ClickTree(t.variable, Qt::ControlModifier);
    EXPECT_EQ(frame->SelectedTreeNodes(), (std::vector<TConfigNode*>{t.station, t.variable}));
    EXPECT_EQ(frame->Pages()->currentIndex(), TConfigDetailPages::pgEmpty);
    EXPECT_EQ(PageName(), "TS_Empty");
    EXPECT_EQ(frame->ListModel()->rowCount(), 0);
    // The commands follow the first node of another kind: a variable takes new items.
    EXPECT_TRUE(Child<QToolButton>("TBtn_NewVariable")->isEnabled());

    // Two of one kind show the first one's page, in tree order whatever the click order.
    ClickTree(t.variable);
    ClickTree(t.folderVariable, Qt::ControlModifier);
    EXPECT_EQ(frame->SelectedTreeNodes(), (std::vector<TConfigNode*>{t.folderVariable, t.variable}));
    EXPECT_EQ(frame->Pages()->currentIndex(), TConfigDetailPages::pgVariable);
    EXPECT_EQ(Child<QLineEdit>("E_VarName")->text(), "FV1");
    EXPECT_FALSE(Child<QLineEdit>("E_VarName")->isEnabled());  // several selected
}

TEST_F(FrmConfigTreeTest, ListClicksDriveThePageAndTreeClicksTakeItBack)
{
    ClickTree(t.station);
    ClickList(t.variable);
    EXPECT_TRUE(editor.ListActive());
    EXPECT_EQ(frame->Pages()->currentIndex(), TConfigDetailPages::pgVariable);
    // The tree mirrors the list's selection.
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{t.variable});
    ClickList(t.folder);
    EXPECT_EQ(frame->Pages()->currentIndex(), TConfigDetailPages::pgFolder);
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"F", "V"}));  // the list stays

    // Mixed kinds in the list: the empty page, but the list being selected in stays.
    ClickList(t.variable, Qt::ControlModifier);
    EXPECT_EQ(frame->SelectedTreeNodes(), (std::vector<TConfigNode*>{t.folder, t.variable}));
    EXPECT_EQ(PageName(), "TS_Empty");
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"F", "V"}));
    EXPECT_EQ(frame->SelectedListNodes(), (std::vector<TConfigNode*>{t.folder, t.variable}));

    ClickTree(t.modem);
    EXPECT_FALSE(editor.ListActive());
    EXPECT_EQ(frame->Pages()->currentIndex(), TConfigDetailPages::pgModem);
}

// --- The list ---

TEST_F(FrmConfigTreeTest, FlatListShowsFolderContentsInsteadOfFolders)
{
    ClickTree(t.station);
    auto* showFlat = Child<QAction>("PMnList_ShowFlat");
    EXPECT_EQ(showFlat->text(), "Hide branches");
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"F", "V"}));

    frame->PMnList_ShowFlatClick();
    EXPECT_TRUE(vx::FlatListView);
    EXPECT_EQ(showFlat->text(), "Show branches");
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"FV1", "FV2", "V"}));
    EXPECT_EQ(frame->StatusText(), "Items count:3");

    // The server's flat list holds every variable and the modem's, with no folder row.
    ClickTree(server);
    EXPECT_EQ(frame->StatusText(), "Devices count:2");
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"Alpha", "Mod"}));

    ClickTree(t.station);
    frame->PMnList_ShowFlatClick();
    EXPECT_FALSE(vx::FlatListView);
    EXPECT_EQ(showFlat->text(), "Hide branches");
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"F", "V"}));
}

TEST_F(FrmConfigTreeTest, DeletingANodeShownInTheListTakesItsRowAtOnce)
{
    ClickTree(t.station);
    frame->PMnList_ShowFlatClick();
    ASSERT_EQ(ListNames().size(), 3u);
    // Deleted behind the frame's back: no row may outlive its node.
    editor.Tree().DeleteNode(t.folder);
    EXPECT_EQ(ListNames(), std::vector<std::string>{"V"});
    EXPECT_TRUE(frame->FindListNode(t.variable).isValid());
    List()->viewport()->repaint();
}

TEST_F(FrmConfigTreeTest, ExpandAndCollapseTheSelectedNodesOnly)
{
    Tree()->collapseAll();
    frame->SelectTreeNode(t.station);
    frame->PMnTree_ExpandClick();
    EXPECT_TRUE(Tree()->isExpanded(frame->TreeModel()->IndexOf(t.station)));
    EXPECT_FALSE(Tree()->isExpanded(frame->TreeModel()->IndexOf(t.folder)));
    frame->PMnTree_ColapseClick();
    EXPECT_FALSE(Tree()->isExpanded(frame->TreeModel()->IndexOf(t.station)));
}

// --- Sorting ---

TEST_F(FrmConfigTest, TreeHeaderClicksFlipTheSameColumnAndKeepTheDirectionForAnother)
{
    auto* a = Create(vos::nkStation, server, "Beta");
    auto* b = Create(vos::nkStation, server, "Alpha");
    auto* c = Create(vos::nkStation, server, "Gamma");
    a->Rec().BusAddress = 2;
    b->Rec().BusAddress = 3;
    c->Rec().BusAddress = 1;
    frame->SelectTreeNode(server);
    auto* header = Tree()->header();
    // Clicks on the header itself: Qt's own choice of direction must not show through.
    const auto clickHeader = [header](int column) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
    };
    struct Step {
        int column;
        bool descending;
        std::vector<std::string> order;
    } steps[] = {
        {0, false, {"Alpha", "Beta", "Gamma"}},  // a new column keeps ascending
        {0, true, {"Gamma", "Beta", "Alpha"}},   // the same column flips
        {1, true, {"Alpha", "Beta", "Gamma"}},   // another column keeps descending: 3, 2, 1
        {1, false, {"Gamma", "Beta", "Alpha"}},
        {0, false, {"Alpha", "Beta", "Gamma"}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.column);
        clickHeader(s.column);
        EXPECT_EQ(frame->TreeSortColumn(), s.column);
        EXPECT_EQ(frame->TreeSortDescending(), s.descending);
        EXPECT_EQ(header->sortIndicatorSection(), s.column);
        EXPECT_EQ(header->sortIndicatorOrder(), s.descending ? Qt::DescendingOrder : Qt::AscendingOrder);
        EXPECT_EQ(ChildNames(server), s.order);
        // The list, refilled for the selected server, follows.
        EXPECT_EQ(ListNames(), s.order);
    }
}

TEST_F(FrmConfigTreeTest, ListHeaderSortsTheShownNodesChildrenAndTheList)
{
    auto* w = Create(vos::nkVariable, t.station, "W");
    w->Rec().Zone = 1;
    t.variable->Rec().Zone = 2;
    ClickTree(t.station);
    ASSERT_EQ(ListNames(), (std::vector<std::string>{"F", "V", "W"}));
    frame->VST_ListHeaderClick(0);
    frame->VST_ListHeaderClick(0);
    EXPECT_TRUE(frame->ListSortDescending());
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"W", "V", "F"}));
    EXPECT_EQ(ChildNames(t.station), (std::vector<std::string>{"W", "V", "F"}));
    // By address, descending kept: kinds that meet are ordered by kind, reversed.
    frame->VST_ListHeaderClick(1);
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"V", "W", "F"}));
    EXPECT_EQ(ChildNames(t.station), ListNames());

    // With the list active, its rows' parent is sorted.
    ClickList(t.variable);
    frame->VST_ListHeaderClick(1);
    EXPECT_FALSE(frame->ListSortDescending());
    EXPECT_EQ(ChildNames(t.station), (std::vector<std::string>{"F", "W", "V"}));
    EXPECT_EQ(ListNames(), ChildNames(t.station));
}

// --- The focus check ---

TEST_F(FrmConfigTreeTest, ConflictingEditsRefuseTheMoveWithOneBox)
{
    auto* other = Create(vos::nkStation, server, "Other");
    ClickTree(other);
    ASSERT_TRUE(boxes.empty());
    // The user renamed it to a name in use.
    other->Rec().Name = "Alpha";
    editor.AddToChangeList(other);

    // Press on another node, drag over a third with the button held, release: one box.
    const auto point = [this](const TConfigNode* node) {
        return Tree()->visualRect(frame->TreeModel()->IndexOf(node)).center();
    };
    QTest::mousePress(Tree()->viewport(), Qt::LeftButton, {}, point(server));
    QMouseEvent move(QEvent::MouseMove, point(t.modem), Tree()->viewport()->mapToGlobal(point(t.modem)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Tree()->viewport(), &move);
    QTest::mouseRelease(Tree()->viewport(), Qt::LeftButton, {}, point(t.modem));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].Text.find("'Alpha' already exists"), std::string::npos) << boxes[0].Text;
    EXPECT_EQ(frame->TreeModel()->NodeOf(Tree()->currentIndex()), other);
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{other});
    EXPECT_EQ(PageName(), "TS_Station");
    EXPECT_TRUE(vos::IsControlChanged(Child("E_StName")));

    // A key is a new gesture: asked again, refused again.
    QTest::keyClick(Tree(), Qt::Key_Up);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(frame->TreeModel()->NodeOf(Tree()->currentIndex()), other);

    // The frame's own moves pass without asking.
    frame->SelectTreeNode(t.station);
    EXPECT_EQ(boxes.size(), 2u);
    frame->SelectTreeNode(other);

    // Mended, the move goes through and the list of edits is empty.
    other->Rec().Name = "Omega";
    ClickTree(server);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{server});
    EXPECT_TRUE(editor.ChangeList().empty());
}

// --- Commands ---

TEST_F(FrmConfigTreeTest, DeleteOnlyOnYes)
{
    struct Case {
        int answer;
        bool deleted;
    } cases[] = {{vx::mrNo, false}, {vx::mrCancel, false}, {vx::mrNone, false}, {vx::mrYes, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        boxes.clear();
        answer = c.answer;
        ClickTree(t.variable);
        frame->DeleteExecute();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Text, "Do you really want to delete selected objects ?");
        EXPECT_EQ(editor.FindNodeByName("V", true, nullptr, vos::nkAny) == nullptr, c.deleted);
    }
    // The previous sibling is selected and shown, and the configuration is changed.
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{t.folder});
    EXPECT_EQ(PageName(), "TS_Folder");
    EXPECT_TRUE(editor.Modified());
    EXPECT_TRUE(Child<QToolButton>("TBtn_Save")->isEnabled());
}

TEST_F(FrmConfigTreeTest, DeleteKeyInBothViews)
{
    ClickTree(t.modem);
    QTest::keyClick(Tree(), Qt::Key_Delete);
    EXPECT_EQ(editor.FindNodeByName("Mod", true, nullptr, vos::nkAny), nullptr);
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{t.station});

    // In the list: the row goes, the list keeps showing the station, a neighbour is selected.
    ClickTree(t.station);
    ClickList(t.variable);
    QTest::keyClick(List(), Qt::Key_Delete);
    EXPECT_EQ(editor.FindNodeByName("V", true, nullptr, vos::nkAny), nullptr);
    EXPECT_EQ(ListNames(), std::vector<std::string>{"F"});
    EXPECT_EQ(frame->SelectedListNodes(), std::vector<TConfigNode*>{t.folder});
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{t.folder});
    EXPECT_EQ(PageName(), "TS_Folder");
    EXPECT_EQ(boxes.size(), 2u);
}

TEST_F(FrmConfigTest, NewObjectsAreSelectedShownAndListedWhenTheListIsActive)
{
    frame->SelectTreeNode(server);
    QTest::mouseClick(Child<QToolButton>("TBtn_NewStation"), Qt::LeftButton);
    auto* station = editor.FindNodeByName("Device1", false, server, vos::nkStation);
    ASSERT_NE(station, nullptr);
    EXPECT_EQ(station->ChildCount(), 1);  // the service folder
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{station});
    EXPECT_EQ(PageName(), "TS_Station");
    EXPECT_TRUE(Tree()->isExpanded(frame->TreeModel()->IndexOf(server)));

    // A new item with the list driving: it is listed and selected there.
    ClickTree(station);
    Child<QAction>("PMnTree_NewBranch")->trigger();
    auto* folder = frame->FirstSelectedTreeNode();
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->Rec().Kind, vos::nkFolder);
    EXPECT_EQ(folder->Parent(), station);
    EXPECT_EQ(PageName(), "TS_Folder");
    ClickTree(station);
    ClickList(folder);
    auto* item = frame->NewObjectExecute(vos::ntVariable);
    ASSERT_NE(item, nullptr);
    // The folder selected through the list takes it, and the list shows the folder now.
    EXPECT_EQ(item->Parent(), folder);
    EXPECT_EQ(ListNames(), std::vector<std::string>{item->Rec().Name});
    EXPECT_EQ(frame->SelectedListNodes(), std::vector<TConfigNode*>{item});
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{item});
    EXPECT_EQ(PageName(), "TS_Variable");
    EXPECT_TRUE(editor.Modified());
}

TEST_F(FrmConfigTest, AConflictReportMarksTheControlAndSelectsTheNode)
{
    auto* a = Create(vos::nkStation, server, "A");
    auto* b = Create(vos::nkStation, server, "B");
    frame->SelectTreeNode(a);
    b->Rec().Name = "A";
    editor.AddToChangeList(b);
    EXPECT_EQ(frame->NewObjectExecute(vos::ntStation), nullptr);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{b});
    EXPECT_EQ(PageName(), "TS_Station");
    EXPECT_TRUE(vos::IsControlChanged(Child("E_StName")));
    EXPECT_EQ(server->ChildCount(), 2);

    // With the list driving, the node's row is selected there.
    b->Rec().Name = "B";
    frame->SelectTreeNode(server);
    ClickList(a);
    ASSERT_TRUE(editor.ListActive());
    b->Rec().Name = "A";
    editor.AddToChangeList(b);
    EXPECT_EQ(frame->NewObjectExecute(vos::ntStation), nullptr);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(frame->SelectedListNodes(), std::vector<TConfigNode*>{b});
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{b});
    EXPECT_TRUE(vos::IsControlChanged(Child("E_StName")));

    // A node the list does not show is selected in the tree, which then drives the page.
    b->Rec().Name = "B";
    ClickTree(server);
    ClickList(a);
    auto* v = Create(vos::nkVariable, a, "V");
    auto* w = Create(vos::nkVariable, a, "W");
    w->Rec().Name = "V";
    editor.AddToChangeList(w);
    EXPECT_EQ(frame->NewObjectExecute(vos::ntStation), nullptr);
    EXPECT_EQ(boxes.size(), 3u);
    EXPECT_FALSE(editor.ListActive());
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{w});
    EXPECT_EQ(PageName(), "TS_Variable");
    EXPECT_NE(v, nullptr);
}

TEST_F(FrmConfigTreeTest, CommandsFollowTheNodeOntoButtonsPopupsAndTheMainWindow)
{
    const auto enabled = [this](const char* name) { return Child<QToolButton>(name)->isEnabled(); };
    const auto itemEnabled = [this](const char* name) { return Child<QAction>(name)->isEnabled(); };
    editor.NewObjectExecute(vos::ntStation, server);  // with its service folder
    auto* service = editor.FindNodeByName("Service", true, nullptr, vos::nkFolder);
    ASSERT_NE(service, nullptr);
    Tree()->expandAll();
    struct Case {
        const char* what;
        TConfigNode* node;
        bool newItem;
        bool del;
    } cases[] = {
        {"station", t.station, true, true},
        {"server", server, false, false},
        {"service folder", service, true, false},
        {"modem", t.modem, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        link.editCommands.clear();
        ClickTree(c.node);
        EXPECT_EQ(enabled("TBtn_NewVariable"), c.newItem);
        EXPECT_EQ(enabled("TBtn_NewFolder"), c.newItem);
        EXPECT_EQ(enabled("TBtn_Delete"), c.del);
        EXPECT_EQ(enabled("TBtn_Cut"), c.del);
        EXPECT_EQ(enabled("TBtn_Copy"), c.del);
        EXPECT_EQ(enabled("TBtn_Duplicate"), c.del);
        EXPECT_FALSE(enabled("TBtn_Paste"));
        EXPECT_EQ(enabled("TBtn_Import"), c.newItem);
        EXPECT_TRUE(enabled("TBtn_NewStation"));
        for (const char* prefix : {"PMnTree_", "PMnList_"}) {
            EXPECT_EQ(itemEnabled((std::string(prefix) + "NewItem").c_str()), c.newItem);
            EXPECT_EQ(itemEnabled((std::string(prefix) + "NewBranch").c_str()), c.newItem);
            EXPECT_EQ(itemEnabled((std::string(prefix) + "Delete").c_str()), c.del);
            EXPECT_EQ(itemEnabled((std::string(prefix) + "Duplicate").c_str()), c.del);
            EXPECT_TRUE(itemEnabled((std::string(prefix) + "NewDevice").c_str()));
        }
        ASSERT_FALSE(link.editCommands.empty());
        EXPECT_EQ(link.editCommands.back().NewVariable, c.newItem);
        EXPECT_EQ(link.editCommands.back().Delete, c.del);
        EXPECT_EQ(link.editCommands.back().Import, c.newItem);
    }
}

TEST_F(FrmConfigTest, StateHooksAndMainWindowButtons)
{
    EXPECT_FALSE(Child<QToolButton>("TBtn_Save")->isEnabled());
    EXPECT_FALSE(Child<QToolButton>("TBtn_RegisterConfig")->isEnabled());
    editor.SetChanged(true);
    EXPECT_TRUE(Child<QToolButton>("TBtn_Save")->isEnabled());
    EXPECT_TRUE(Child<QToolButton>("TBtn_RegisterConfig")->isEnabled());
    ASSERT_FALSE(link.registerEnabled.empty());
    EXPECT_TRUE(link.registerEnabled.back());
    editor.SetRegisterEnabled(false);
    EXPECT_FALSE(Child<QToolButton>("TBtn_RegisterConfig")->isEnabled());
    EXPECT_FALSE(link.registerEnabled.back());
    editor.SetModified(false);
    EXPECT_FALSE(Child<QToolButton>("TBtn_Save")->isEnabled());

    QTest::mouseClick(Child<QToolButton>("TBtn_Exit"), Qt::LeftButton);
    QTest::mouseClick(Child<QToolButton>("TBtn_ViewRuntime"), Qt::LeftButton);
    EXPECT_EQ(link.shutDowns, 1);
    EXPECT_EQ(link.runtimeViews, 1);
}

// --- File commands ---

TEST_F(FrmConfigTreeTest, SaveAsksOnlyWhenUntitledSaveAsAlways)
{
    // Untitled: the dialog asks; cancelled, nothing is written.
    editor.SetChanged(true);
    saveAnswer = std::nullopt;
    EXPECT_FALSE(frame->SaveConfiguration());
    ASSERT_EQ(saveRequests.size(), 1u);
    EXPECT_EQ(saveRequests[0].Title, vx::GetLangText(vos::kTextSaveConfigTitle));
    EXPECT_EQ(saveRequests[0].DefaultExt, "cfg");
    EXPECT_TRUE(editor.Modified());

    saveAnswer = Path("plant.cfg");
    EXPECT_TRUE(frame->SaveConfiguration());
    EXPECT_FALSE(editor.Modified());
    EXPECT_FALSE(Child<QToolButton>("TBtn_Save")->isEnabled());
    EXPECT_EQ(vx::CfgFileName, Path("plant.cfg"));

    // Named: Save writes without asking, Save as asks and may be cancelled.
    editor.SetChanged(true);
    EXPECT_TRUE(frame->SaveConfiguration());
    EXPECT_EQ(saveRequests.size(), 2u);
    saveAnswer = std::nullopt;
    EXPECT_FALSE(frame->SaveConfiguration(true));
    EXPECT_EQ(saveRequests.size(), 3u);
    EXPECT_EQ(saveRequests.back().FileName, Path("plant.cfg"));
    saveAnswer = Path("copy.cfg");
    EXPECT_TRUE(frame->SaveConfiguration(true));
    EXPECT_EQ(vx::CfgFileName, Path("copy.cfg"));

    // A failed write: message 102, still modified.
    editor.SetChanged(true);
    saveAnswer = Path("no such folder/x.cfg");
    EXPECT_FALSE(frame->SaveConfiguration(true));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("no such folder"), std::string::npos);
    EXPECT_TRUE(editor.Modified());
    EXPECT_TRUE(Child<QToolButton>("TBtn_Save")->isEnabled());
}

TEST_F(FrmConfigTreeTest, LoadAndNewShowTheFreshTreeWithTheServerSelected)
{
    saveAnswer = Path("plant.cfg");
    ASSERT_TRUE(frame->SaveConfiguration());
    ClickTree(t.variable);

    ASSERT_TRUE(frame->NewConfiguration());
    EXPECT_EQ(editor.Tree().NodeCount(), 1u);
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{editor.Tree().First()});
    EXPECT_EQ(PageName(), "TS_Server");
    EXPECT_EQ(ListNames(), std::vector<std::string>{});

    openAnswer = Path("plant.cfg");
    EXPECT_EQ(frame->LoadConfiguration(), vos::TLoadResult::Loaded);
    ASSERT_EQ(openRequests.size(), 1u);
    EXPECT_EQ(openRequests[0].Filter, vx::GetLangText(vos::kTextConfigFileFilter));
    auto* loaded = editor.Tree().First();
    EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{loaded});
    EXPECT_EQ(PageName(), "TS_Server");
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"Alpha", "Mod"}));
    EXPECT_TRUE(Tree()->isExpanded(frame->TreeModel()->IndexOf(loaded)));
    // The expanded station and folder come back expanded.
    auto* alpha = editor.FindNodeByName("Alpha", false, loaded, vos::nkStation);
    ASSERT_NE(alpha, nullptr);
    EXPECT_TRUE(Tree()->isExpanded(frame->TreeModel()->IndexOf(alpha)));
    EXPECT_TRUE(Child<QToolButton>("TBtn_RegisterConfig")->isEnabled());

    // A damaged file: message 101 and a fresh server, shown.
    openAnswer = Path("damaged.cfg");
    {
        QFile f(QString::fromStdString(*openAnswer));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a configuration");
    }
    EXPECT_EQ(frame->LoadConfiguration(), vos::TLoadResult::Failed);
    EXPECT_EQ(notes.size(), 1u);
    EXPECT_EQ(editor.Tree().NodeCount(), 1u);
    EXPECT_EQ(PageName(), "TS_Server");
}

TEST_F(FrmConfigTreeTest, AnUnsavedConfigurationStopsLoadAndNewWhenItsSaveDoesNotHappen)
{
    // Yes to "Save changes?", then the save is cancelled or fails: the command stops (fault 5).
    struct Case {
        const char* what;
        std::optional<std::string> saveTo;
        std::size_t notes;
    } cases[] = {
        {"save cancelled", std::nullopt, 0},
        {"save failed", "/nonexistent folder/plant.cfg", 1},
    };
    for (const auto& c : cases) {
        for (bool load : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (load ? " load" : " new"));
            notes.clear();
            boxes.clear();
            openRequests.clear();
            editor.SetChanged(true);
            saveAnswer = c.saveTo;
            openAnswer = Path("other.cfg");
            const std::size_t nodes = editor.Tree().NodeCount();
            ClickTree(t.station);
            if (load)
                EXPECT_EQ(frame->LoadConfiguration(), vos::TLoadResult::Stopped);
            else
                EXPECT_FALSE(frame->NewConfiguration());
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].Text, "Save changes?");
            EXPECT_TRUE(openRequests.empty());
            EXPECT_EQ(notes.size(), c.notes);
            EXPECT_EQ(editor.Tree().NodeCount(), nodes);
            EXPECT_TRUE(editor.Modified());
            EXPECT_EQ(frame->SelectedTreeNodes(), std::vector<TConfigNode*>{t.station});
        }
    }
    // No: the edits are dropped and the new configuration shows.
    answer = vx::mrNo;
    EXPECT_TRUE(frame->NewConfiguration());
    EXPECT_EQ(editor.Tree().NodeCount(), 1u);
}

// --- Captions, widths, filters ---

TEST_F(FrmConfigTest, CaptionsFollowTheLanguage)
{
    auto* button = Child<QToolButton>("TBtn_NewStation");
    EXPECT_EQ(button->toolTip(), "New device");
    EXPECT_EQ(Child<QAction>("PMnTree_Delete")->text(), "Delete");
    EXPECT_EQ(Tree()->model()->headerData(0, Qt::Horizontal).toString(), "Name");
    EXPECT_EQ(List()->model()->headerData(5, Qt::Horizontal).toString(), "Comment");
    vx::Language = 0;
    frame->ApplyCaptions();
    EXPECT_EQ(button->toolTip().toStdString(), vx::GetLangText(109));
    EXPECT_EQ(Child<QAction>("PMnList_NewDevice")->text().toStdString(), vx::GetLangText(109));
    EXPECT_EQ(Child<QAction>("PMnList_ShowFlat")->text().toStdString(), vx::GetLangText(54));
    EXPECT_EQ(Tree()->model()->headerData(0, Qt::Horizontal).toString().toStdString(), vx::GetLangText(12));
    EXPECT_EQ(Child<QAction>("PMnTree_Cut")->text().toStdString(), vx::GetLangText(142));
    vx::Language = 1;
    frame->ApplyCaptions();

    // Every tool button and pop-up item the menus name exists.
    for (const char* name :
         {"TBtn_New", "TBtn_Load", "TBtn_Save", "TBtn_NewStation", "TBtn_NewModem", "TBtn_NewVariable",
          "TBtn_NewFolder", "TBtn_Cut", "TBtn_Copy", "TBtn_Paste", "TBtn_Duplicate", "TBtn_Delete", "TBtn_Import",
          "TBtn_RegisterConfig", "TBtn_Exit", "TBtn_ViewRuntime"})
        EXPECT_FALSE(Child<QToolButton>(name)->toolTip().isEmpty()) << name;
    for (const char* name : {"PMnTree_Expand", "PMnTree_Colapse", "PMnList_ShowFlat", "PMnTree_Paste",
                             "PMnList_Copy", "PMnList_Duplicate"})
        EXPECT_NE(Child<QAction>(name), nullptr);
}

TEST_F(FrmConfigTest, ColumnWidthsStartAsTheFormsAndCanBeSet)
{
    EXPECT_EQ(frame->ColumnWidth(false, 0), 70);
    EXPECT_EQ(frame->ColumnWidth(false, 5), 132);
    EXPECT_EQ(frame->ColumnWidth(true, 0), 100);
    EXPECT_EQ(frame->ColumnWidth(true, 5), 102);
    frame->SetColumnWidth(true, 2, 55);
    EXPECT_EQ(frame->ColumnWidth(true, 2), 55);
    frame->SetColumnWidth(true, 9, 55);  // no such column: ignored
    EXPECT_EQ(Tree()->model()->columnCount(), 6);
}

TEST(FrmConfigFilter, CatalogueFiltersBecomeQtEntries)
{
    struct Case {
        const char* catalogue;
        const char* qt;
    } cases[] = {
        {"Vorn OPC server configuration files (*.cfg)|*.cfg|All files (*.*)|*.*",
         "Vorn OPC server configuration files (*.cfg);;All files (*.*)"},
        {"Declarations|*.tdr;*.pub", "Declarations (*.tdr *.pub)"},
        {"Odd|", "Odd (*)"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vos::QtFileFilter(c.catalogue).toStdString(), c.qt) << c.catalogue;
}

}  // namespace

// The main window's menus, actions and captions: the menu tree in both languages, each item's
// command, the enabling of the two views, the two keys, and a change of language that renames
// every caption without counting as an edit.
#include "app/main_menu.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/dlg_about.h"
#include "app/dlg_settings.h"
#include "editor/config_model.h"
#include "editor/frm_config.h"
#include "editor/frm_config_pages.h"
#include "editor/frm_runtime.h"
#include "editor/widgets/control_props.h"
#include "tests/app/main_fixture.h"

namespace {

using vos::TConfigNode;

// A station with a folder, two variables (one simulated), and a titled file.
constexpr char kPlant[] =
    "server\n"
    "  station Name=PLC1 ConnectionType=0 ComPort=1 Parity=1 BusAddress=1\n"
    "    folder Name=Inputs\n"
    "      variable Name=Level VarType=5 Zone=3 Address=10\n"
    "    variable Name=Speed VarType=5 Zone=3 Address=12 Simulated=1 SimulationType=1\n";

class MainMenu : public apptest::MainFixture {
protected:
    void TearDown() override
    {
        if (server)
            server->FileCommands().SetUi(nullptr);
        apptest::MainFixture::TearDown();
    }

    // Started on the plant in English, the file dialogs answered by files.
    void Start(const std::string& extraSettings = "")
    {
        StartOnConfig(kPlant, extraSettings);
        server->FileCommands().SetUi(&files);
        ASSERT_NE(window->MainMenu(), nullptr);
    }

    vos::TMainMenu& Menu() const { return *window->MainMenu(); }
    QAction* Item(const char* name) const
    {
        QAction* item = Menu().Item(name);
        EXPECT_NE(item, nullptr) << name;
        return item;
    }
    vos::TFrm_Config& Editor() const { return *window->Frm_Config(); }
    TConfigNode* Node(const std::string& name) const
    {
        TConfigNode* node = server->Editor().FindNodeByName(name, true, nullptr, vos::nkAny);
        EXPECT_NE(node, nullptr) << name;
        return node;
    }
    void Select(const std::string& name) { Editor().SelectTreeNode(Node(name)); }
    int NodeCount() const { return server->Editor().Tree().NodeCount(); }
    bool ConfigInFront() const { return window->ConfigInFront(); }

    // The items of the Edit and View menus that the view commands switch, with their state.
    std::map<std::string, bool> SwitchedItems() const
    {
        std::map<std::string, bool> state;
        for (const char* name : {"mnu_NewDevice", "mnu_NewModem", "mnu_NewItem", "mnu_NewBranch", "mnu_Import",
                                 "mnu_Cut", "mnu_Copy", "mnu_Paste", "mnu_Duplicate", "mnu_Delete", "mnu_ViewConfig",
                                 "mnu_ViewRuntime", "mnu_FileSave", "mnu_FileSaveAs"})
            state[name] = Item(name)->isEnabled();
        return state;
    }
    std::map<std::string, bool> KeyActions() const
    {
        std::map<std::string, bool> state;
        for (const char* name : {"Ac_NewObject", "Ac_SaveConfig", "Ac_Duplicate", "Ac_Delete", "Ac_Import"})
            state[name] = Menu().Action(name)->isEnabled();
        return state;
    }

    // The window active, as the user's keys need it.
    void Activate()
    {
        window->activateWindow();
        QApplication::setActiveWindow(window.get());
        window->Frm_Config()->VST_Tree()->setFocus();
    }

    apptest::FileDialogAnswer files;
};

// --- The menu tree ---

struct ItemRow {
    const char* name;  // "-": a separator
    const char* english;
    const char* czech;
    int tag;
};
struct SubMenuRow {
    const char* name;
    const char* button;
    const char* english;
    const char* czech;
    std::vector<ItemRow> items;
};

const std::vector<SubMenuRow> kTree = {
    {"mnu_File", "TBtn_File", "File", "Soubor",
     {{"mnu_FileNew", "New", "Nový", 0},
      {"mnu_FileOpen", "Open...", "Otevřít...", 0},
      {"mnu_FileSave", "Save (F2)", "Uložit (F2)", 0},
      {"mnu_FileSaveAs", "Save as...", "Uložit jako ...", 0},
      {"-", "", "", 0},
      {"mnu_FileHide", "Hide", "Skrýt", 0},
      {"mnu_FileShutdown", "Shutdown", "Ukončit", 0}}},
    {"mnu_Register", "TBtn_Register", "Registration", "Registrace",
     {{"mnu_RegisterConfig", "Register configuration", "Registrovat konfiguraci", 0},
      {"-", "", "", 0},
      {"mnu_RegisterServer", "Register server", "Registrovat server", 0},
      {"mnu_UnregisterServer", "Unregister server", "Odregistrovat server", 0}}},
    {"mnu_Edit", "TBtn_Edit", "Edit", "Editace",
     {{"mnu_NewDevice", "New device", "Nová stanice", 10},
      {"mnu_NewModem", "New modem", "Nový modem", 40},
      {"mnu_NewItem", "New item", "Nová proměnná", 20},
      {"mnu_NewBranch", "New branch", "Nová složka", 30},
      {"mnu_Import", "Import", "Importovat", 0},
      {"-", "", "", 0},
      {"mnu_Cut", "Cut", "Vyjmout", 0},
      {"mnu_Copy", "Copy", "Kopírovat", 0},
      {"mnu_Paste", "Paste", "Vložit", 0},
      {"mnu_Duplicate", "Duplicate (Ctrl+D)", "Duplikovat (Ctrl+D)", 0},
      {"mnu_Delete", "Delete (Del)", "Smazat (Del)", 0}}},
    {"mnu_View", "TBtn_View", "View", "Zobrazit",
     {{"mnu_ViewConfig", "Configuration", "Konfiguraci", 0},
      {"mnu_ViewRuntime", "Runtime", "Runtime", 0},
      {"-", "", "", 0},
      {"mnu_ViewSettings", "Settings...", "Nastavení...", 0}}},
    {"mnu_Help", "TBtn_Help", "Help", "Nápověda", {{"mnu_About", "About...", "O aplikaci...", 0}}},
};

TEST_F(MainMenu, TheTreeHasEveryItemInOrderWithItsCaptionInBothLanguages)
{
    Start();
    auto* bar = window->findChild<QToolBar*>("ToolBar_Main");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(window->menuWidget(), bar);
    EXPECT_FALSE(bar->isMovable());
    QMenu* top = Menu().PMnu_Main();
    ASSERT_EQ(top->objectName(), "PMnu_Main");
    ASSERT_EQ(top->actions().size(), static_cast<qsizetype>(kTree.size()));

    for (const bool english : {true, false}) {
        vx::Language = english ? 1 : 0;
        window->ApplyLanguage();
        for (std::size_t s = 0; s < kTree.size(); ++s) {
            const SubMenuRow& row = kTree[s];
            SCOPED_TRACE(row.name);
            QAction* title = top->actions()[static_cast<qsizetype>(s)];
            EXPECT_EQ(title->objectName(), row.name);
            EXPECT_EQ(title->text(), QString::fromUtf8(english ? row.english : row.czech));
            QToolButton* button = Menu().Button(row.button);
            ASSERT_NE(button, nullptr);
            EXPECT_EQ(button->text(), "&" + QString::fromUtf8(english ? row.english : row.czech));
            EXPECT_EQ(button->menu(), title->menu());
            EXPECT_EQ(button->popupMode(), QToolButton::InstantPopup);
            EXPECT_EQ(button->height(), 21);
            EXPECT_EQ(bar->actions().size(), static_cast<qsizetype>(kTree.size()));

            const QList<QAction*> items = title->menu()->actions();
            ASSERT_EQ(items.size(), static_cast<qsizetype>(row.items.size()));
            for (std::size_t i = 0; i < row.items.size(); ++i) {
                const ItemRow& item = row.items[i];
                QAction* action = items[static_cast<qsizetype>(i)];
                if (std::string(item.name) == "-") {
                    EXPECT_TRUE(action->isSeparator()) << i;
                    continue;
                }
                EXPECT_EQ(action->objectName(), item.name);
                EXPECT_EQ(action->text(), QString::fromUtf8(english ? item.english : item.czech)) << item.name;
                EXPECT_EQ(action->data().toInt(), item.tag) << item.name;
                // The keys are the actions'; an item only names its key.
                EXPECT_TRUE(action->shortcut().isEmpty()) << item.name;
                EXPECT_FALSE(action->icon().isNull()) << item.name;
            }
        }
    }
}

TEST_F(MainMenu, TheActionListHasEighteenActionsAndOnlyTwoKeysReachTheWindow)
{
    Start();
    const std::vector<std::string> expected = {
        "Ac_ShutDownServer", "Ac_RegisterServer", "Ac_UnregisterServer", "Ac_HideServer", "Ac_LoadConfig",
        "Ac_SaveConfig",     "Ac_ViewConfig",     "Ac_ViewRuntime",      "Ac_ViewSettings", "Ac_About",
        "Ac_NewObject",      "Ac_Import",         "Ac_Duplicate",        "Ac_Delete",       "Ac_Cut",
        "Ac_Copy",           "Ac_Paste",          "Ac_NewConfig"};
    std::vector<std::string> names;
    for (const QObject* child : Menu().ActionList1()->children())
        names.push_back(child->objectName().toStdString());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(Menu().ActionList1()->objectName(), "ActionList1");

    std::map<std::string, QKeySequence> keys;
    for (const QAction* action : window->actions())
        keys[action->objectName().toStdString()] = action->shortcut();
    EXPECT_EQ(keys, (std::map<std::string, QKeySequence>{{"Ac_SaveConfig", QKeySequence(Qt::Key_F2)},
                                                         {"Ac_Duplicate", QKeySequence(Qt::CTRL | Qt::Key_D)}}));
}

TEST_F(MainMenu, HeadlessHasNoMenus)
{
    headless = true;
    StartOnConfig(kPlant);
    EXPECT_EQ(window->MainMenu(), nullptr);
    EXPECT_EQ(window->findChild<QToolBar*>("ToolBar_Main"), nullptr);
    // The commands find no editor and do nothing.
    window->Ac_SaveConfigExecute();
    window->Ac_ViewRuntimeExecute();
    window->Ac_DuplicateExecute();
    EXPECT_EQ(server->Editor().Modified(), false);
}

// --- The commands ---

TEST_F(MainMenu, NewObjectItemsCreateTheKindTheirTagSays)
{
    struct Case {
        const char* item;
        const char* selected;
        vos::TConfigNodeKind kind;
    };
    const Case cases[] = {
        {"mnu_NewDevice", "PLC1", vos::nkStation},
        {"mnu_NewModem", "PLC1", vos::nkModem},
        {"mnu_NewItem", "Inputs", vos::nkVariable},
        {"mnu_NewBranch", "PLC1", vos::nkFolder},
    };
    Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        Select(c.selected);
        const int before = NodeCount();
        Item(c.item)->trigger();
        ASSERT_GE(NodeCount(), before + 1);
        const auto selected = Editor().SelectedTreeNodes();
        ASSERT_EQ(selected.size(), 1u);
        EXPECT_EQ(selected.front()->Rec().Kind, c.kind);
    }
    // The action itself carries no tag and creates nothing.
    const int before = NodeCount();
    Menu().Action("Ac_NewObject")->trigger();
    EXPECT_EQ(NodeCount(), before);
}

TEST_F(MainMenu, SaveAsksForANameOnlyWhenUntitledWhileSaveAsAlwaysAsks)
{
    struct Case {
        bool titled;
        const char* item;
        bool asked;
    };
    const Case cases[] = {
        {true, "mnu_FileSave", false},
        {true, "mnu_FileSaveAs", true},
        {false, "mnu_FileSave", true},
        {false, "mnu_FileSaveAs", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.item) + (c.titled ? " titled" : " untitled"));
        if (c.titled)
            Start();
        else {
            StartOnConfig("");
            server->FileCommands().SetUi(&files);
        }
        files.requests.clear();
        files.saveAs = PathOf("Other.cfg");
        Editor().NewObjectExecute(vos::ntStation);
        ASSERT_TRUE(server->Editor().Modified());
        Item(c.item)->trigger();
        EXPECT_EQ(files.requests.size(), c.asked ? 1u : 0u);
        EXPECT_FALSE(server->Editor().Modified());
        EXPECT_EQ(vx::CfgFileName, c.asked ? PathOf("Other.cfg") : PathOf("Plant.cfg"));
        server->FileCommands().SetUi(nullptr);
        window->FormDestroy();
        window.reset();
        server.reset();
    }
}

TEST_F(MainMenu, RegistrationItemsRegisterTheConfigurationAndTheServer)
{
    Start();
    Editor().NewObjectExecute(vos::ntStation);
    ASSERT_TRUE(server->Editor().RegisterPending());
    EXPECT_TRUE(Item("mnu_RegisterConfig")->isEnabled());
    Item("mnu_RegisterConfig")->trigger();
    EXPECT_FALSE(server->Editor().RegisterPending());
    EXPECT_FALSE(Item("mnu_RegisterConfig")->isEnabled());

    dialogs.clear();
    Item("mnu_UnregisterServer")->trigger();
    EXPECT_FALSE(vos::IsRegistered);
    Item("mnu_RegisterServer")->trigger();
    EXPECT_TRUE(vos::IsRegistered);
    EXPECT_EQ(dialogs, (std::vector<std::string>{"Server was succesfully unregistered.",
                                                 "Server was succefully registered."}));
}

TEST_F(MainMenu, DialogsAreShownModallyWithTheirCaptions)
{
    Start();
    std::vector<std::pair<std::string, std::string>> shown;  // class, title
    window.reset();
    server.reset();
    vx::IniFileName.clear();
    // A window whose dialogs are recorded, not run.
    auto seams = Seams();
    seams.RunDialog = [&](QDialog& dialog) {
        shown.emplace_back(dialog.metaObject()->className(), dialog.windowTitle().toStdString());
    };
    apptest::Put(PathOf("VornOPCServer.ini"), "[Main]\nLanguage=1\nIsRegistered=1\n");
    vx::IniFileName = PathOf("VornOPCServer.ini");
    server = std::make_unique<vos::TServerStart>();
    window = std::make_unique<vos::TF_Main>(*server, false, seams);
    window->FormCreate();
    Item("mnu_ViewSettings")->trigger();
    Item("mnu_About")->trigger();
    vx::Language = 0;
    Item("mnu_About")->trigger();
    EXPECT_EQ(shown, (std::vector<std::pair<std::string, std::string>>{
                         {"vos::TDlg_Settings", "Settings"},
                         {"vos::TDlg_About", "About Vorn OPC Server"},
                         {"vos::TDlg_About", "O aplikaci Vorn OPC Server"}}));
}

TEST_F(MainMenu, FileItemsOpenHideAndShutDown)
{
    Start();
    // Open asks for the file; cancelled, the configuration stays.
    struct OpenAnswer final : vos::TConfigFileUi {
        std::optional<std::string> OpenFileDialog(const vos::TFileDialogRequest& request) override
        {
            requests.push_back(request);
            return std::nullopt;
        }
        std::vector<vos::TFileDialogRequest> requests;
    } open;
    server->FileCommands().SetUi(&open);
    const int nodes = NodeCount();
    Item("mnu_FileOpen")->trigger();
    EXPECT_EQ(open.requests.size(), 1u);
    EXPECT_EQ(NodeCount(), nodes);
    // New empties the tree down to the server node.
    Item("mnu_FileNew")->trigger();
    EXPECT_EQ(NodeCount(), 1);
    server->FileCommands().SetUi(&files);

    Item("mnu_FileHide")->trigger();
    EXPECT_FALSE(window->isVisible());
    Item("mnu_FileShutdown")->trigger();
    EXPECT_EQ(ends, 1);
}

// --- The two views ---

TEST_F(MainMenu, ViewSwitchesEnableByTheirListsAndBackByTheFocusedNode)
{
    Start();
    // At start: the editor in front, View > Configuration off.
    EXPECT_TRUE(ConfigInFront());
    EXPECT_FALSE(Item("mnu_ViewConfig")->isEnabled());
    EXPECT_TRUE(Item("mnu_ViewRuntime")->isEnabled());

    // The server takes no duplicate, a station no paste, a variable no child of its own.
    for (TConfigNode* focused : {Node("Speed"), Node("PLC1"), server->Editor().Tree().First()}) {
        SCOPED_TRACE(focused->Rec().Name);
        Editor().SelectTreeNode(focused);
        const std::map<std::string, bool> inEditor = SwitchedItems();
        // The items follow the editor's buttons.
        const std::pair<const char*, const char*> follow[] = {
            {"mnu_NewItem", "TBtn_NewVariable"}, {"mnu_NewBranch", "TBtn_NewFolder"}, {"mnu_Import", "TBtn_Import"},
            {"mnu_Cut", "TBtn_Cut"},             {"mnu_Copy", "TBtn_Copy"},           {"mnu_Paste", "TBtn_Paste"},
            {"mnu_Duplicate", "TBtn_Duplicate"}, {"mnu_Delete", "TBtn_Delete"}};
        for (const auto& [item, button] : follow)
            EXPECT_EQ(inEditor.at(item), Editor().findChild<QToolButton*>(button)->isEnabled()) << item;
        EXPECT_TRUE(inEditor.at("mnu_NewDevice"));

        Item("mnu_ViewRuntime")->trigger();
        EXPECT_FALSE(ConfigInFront());
        std::map<std::string, bool> expected = inEditor;
        for (const char* name : {"mnu_NewDevice", "mnu_NewItem", "mnu_NewBranch", "mnu_Import", "mnu_Duplicate",
                                 "mnu_Delete", "mnu_ViewRuntime"})
            expected[name] = false;
        expected["mnu_ViewConfig"] = true;
        EXPECT_EQ(SwitchedItems(), expected);
        for (const auto& [name, enabled] : KeyActions())
            EXPECT_FALSE(enabled) << name;

        Item("mnu_ViewConfig")->trigger();
        EXPECT_TRUE(ConfigInFront());
        EXPECT_EQ(SwitchedItems(), inEditor);
        for (const auto& [name, enabled] : KeyActions())
            EXPECT_TRUE(enabled) << name;
    }
    EXPECT_FALSE(Item("mnu_Duplicate")->isEnabled());
    Select("Speed");
    EXPECT_TRUE(Item("mnu_Duplicate")->isEnabled());

    // Back while the editor shows nothing anew (a command holds its update lock): the items
    // come back as the editor last set them.
    Item("mnu_ViewRuntime")->trigger();
    {
        vos::TUpdateLockScope lock(server->Editor());
        Item("mnu_ViewConfig")->trigger();
    }
    EXPECT_TRUE(Item("mnu_Duplicate")->isEnabled());
    EXPECT_TRUE(Item("mnu_NewDevice")->isEnabled());

    // The editor's own runtime button runs the same command.
    Editor().findChild<QToolButton*>("TBtn_ViewRuntime")->click();
    EXPECT_FALSE(ConfigInFront());
    EXPECT_FALSE(Item("mnu_Delete")->isEnabled());
    EXPECT_TRUE(Item("mnu_ViewConfig")->isEnabled());
}

TEST_F(MainMenu, AFileCommandInTheRuntimeViewKeepsTheEditItemsOff)
{
    Start();
    Item("mnu_ViewRuntime")->trigger();
    // New selects the fresh server node in the hidden editor, which enables New device there.
    Item("mnu_FileNew")->trigger();
    ASSERT_EQ(NodeCount(), 1);
    EXPECT_FALSE(ConfigInFront());
    EXPECT_FALSE(Item("mnu_NewDevice")->isEnabled());
    EXPECT_FALSE(Item("mnu_Delete")->isEnabled());
    Item("mnu_ViewConfig")->trigger();
    EXPECT_TRUE(Item("mnu_NewDevice")->isEnabled());
}

TEST_F(MainMenu, TheKeysWorkOnlyInTheEditorViewWhileTheSaveItemsAlwaysDo)
{
    Start();
    Activate();
    Select("Speed");
    auto* tree = Editor().VST_Tree();

    // In the editor: Ctrl+D duplicates the variable, F2 saves.
    const int nodes = NodeCount();
    QTest::keyClick(tree, Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(NodeCount(), nodes + 1);
    ASSERT_TRUE(server->Editor().Modified());
    QTest::keyClick(tree, Qt::Key_F2);
    EXPECT_FALSE(server->Editor().Modified());
    EXPECT_TRUE(files.requests.empty());

    // In the runtime view neither key does anything.
    Editor().NewObjectExecute(vos::ntStation);
    Item("mnu_ViewRuntime")->trigger();
    const int edited = NodeCount();
    QTest::keyClick(window->Frm_Runtime()->VST_RTree, Qt::Key_D, Qt::ControlModifier);
    QTest::keyClick(window->Frm_Runtime()->VST_RTree, Qt::Key_F2);
    EXPECT_EQ(NodeCount(), edited);
    EXPECT_TRUE(server->Editor().Modified());

    // File > Save and File > Save as still work there.
    Item("mnu_FileSave")->trigger();
    EXPECT_FALSE(server->Editor().Modified());
    EXPECT_TRUE(files.requests.empty());
    files.saveAs = PathOf("Copy.cfg");
    Item("mnu_FileSaveAs")->trigger();
    EXPECT_EQ(files.requests.size(), 1u);
    EXPECT_EQ(vx::CfgFileName, PathOf("Copy.cfg"));
}

TEST_F(MainMenu, TheViewsCopyNoCellTextOnTheCopyKeys)
{
    Start();
    Activate();
    Select("Speed");
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("left alone"));
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(Editor().VST_Tree()),
                                    static_cast<QAbstractItemView*>(Editor().VST_List()),
                                    static_cast<QAbstractItemView*>(window->Frm_Runtime()->VST_RTree)}) {
        view->setCurrentIndex(view->model()->index(0, 0));
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(clipboard->text(), "left alone") << view->objectName().toStdString();
    }
}

// --- A change of language ---

// Every caption of the window: texts, hints, items, tab and column titles, by object.
std::map<std::string, std::string> Captions(const QWidget& window)
{
    std::map<std::string, std::string> texts;
    auto put = [&](const QObject* object, const std::string& what, const QString& text) {
        if (!text.isEmpty())
            texts[object->objectName().toStdString() + "/" + what] = text.toStdString();
    };
    for (const QAction* action : window.findChildren<QAction*>())
        if (!action->objectName().isEmpty())
            put(action, "text", action->text());
    for (const QWidget* w : window.findChildren<QWidget*>()) {
        if (w->objectName().isEmpty())
            continue;
        put(w, "hint", w->toolTip());
        if (auto* label = qobject_cast<const QLabel*>(w))
            put(w, "text", label->text());
        if (auto* button = qobject_cast<const QAbstractButton*>(w))
            put(w, "text", button->text());
        if (auto* box = qobject_cast<const QGroupBox*>(w))
            put(w, "title", box->title());
        if (auto* combo = qobject_cast<const QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                put(w, "item" + std::to_string(i), combo->itemText(i));
        if (auto* tabs = qobject_cast<const QTabWidget*>(w))
            for (int i = 0; i < tabs->count(); ++i)
                put(w, "tab" + std::to_string(i), tabs->tabText(i));
        if (auto* view = qobject_cast<const QTreeView*>(w); view && view->model())
            for (int c = 0; c < view->model()->columnCount(); ++c)
                put(w, "column" + std::to_string(c), view->model()->headerData(c, Qt::Horizontal).toString());
    }
    return texts;
}

TEST_F(MainMenu, TheSettingsDialogsLanguageRenamesEveryCaptionAndEditsNothing)
{
    Start();
    window.reset();
    server.reset();
    // The window again, its settings dialog confirmed with the language the test says.
    int language = 0;
    auto seams = Seams();
    seams.RunDialog = [&](QDialog& dialog) {
        auto& settings = dynamic_cast<vos::TDlg_Settings&>(dialog);
        settings.CB_Language->setCurrentIndex(language);
        settings.Btn_OKClick();
    };
    server = std::make_unique<vos::TServerStart>();
    window = std::make_unique<vos::TF_Main>(*server, false, seams);
    window->FormCreate();
    window->ShowMainWindow();
    server->FileCommands().SetUi(&files);

    // The station's parity "odd" shows; the list shows the station's contents.
    Select("PLC1");
    auto* parity = Editor().findChild<QComboBox*>("CB_StParity");
    auto* simulation = Editor().findChild<QComboBox*>("CB_VarSimulationType");
    ASSERT_EQ(parity->currentIndex(), 1);
    const QString englishStatus = Editor().StatusText();
    EXPECT_EQ(englishStatus, "Items count:2");
    // Then the simulated variable, its type "random" on its page; the station's page keeps its parity.
    Select("Speed");
    ASSERT_EQ(simulation->currentIndex(), 1);
    ASSERT_EQ(parity->currentIndex(), 1);
    const auto english = Captions(*window);

    language = 0;
    window->Ac_ViewSettingsExecute();
    ASSERT_EQ(vx::Language, 0);
    const auto czech = Captions(*window);

    // Spot checks of each kind of caption.
    const std::pair<const char*, const char*> spots[] = {
        {"mnu_FileSave/text", "Uložit (F2)"},
        {"TBtn_Edit/text", "&Editace"},
        {"TBtn_Save/hint", "Uložit"},
        {"CB_StParity/item1", "lichá"},
        {"CB_VarSimulationType/item1", "Náhodná hodnota"},
        {"VST_Tree/column0", "Jméno"},
        {"PMnu_EditItemValue/text", "Změnit hodnotu"},
        {"PMnTree_Duplicate/text", "Duplikovat"},
    };
    for (const auto& [key, text] : spots) {
        ASSERT_TRUE(czech.contains(key) && english.contains(key)) << key;
        EXPECT_EQ(czech.at(key), text) << key;
        EXPECT_NE(english.at(key), text) << key;
    }
    // Every other caption changed: what stays is fixed, or the same in both languages.
    const std::set<std::string> same = {
        "CB_StConType/item3", "L_Modem/text", "L_Server/text", "L_StTimeout/text", "L_StStandByTimeout/text",
        "PMnTree_Expand/text", "PMnTree_Colapse/text", "SB_ConfigTree_Panel0/text", "TBtn_ViewRuntime/hint",
        "TBtn_ViewRuntime/text", "mnu_ViewRuntime/text", "VST_RTree/column3"};
    // Names of types, zones, ports and speeds.
    const std::vector<std::string> sameLists = {"CB_StType/",    "CB_VarDataZone/", "CB_VarInstrType/", "CB_VarType/",
                                                "CB_StComNum/",  "CB_ModComNum/",   "CB_StComSpeed/",  "CB_StStandByComNum/",
                                                "CB_StStandByComSpeed/"};
    std::vector<std::string> unchanged;
    for (const auto& [key, text] : english) {
        const bool listed = std::any_of(sameLists.begin(), sameLists.end(), [&](const std::string& list) {
            return key.starts_with(list);
        });
        if (!same.contains(key) && !listed && czech.contains(key) && czech.at(key) == text)
            unchanged.push_back(key + "=" + text);
    }
    EXPECT_TRUE(unchanged.empty()) << ::testing::PrintToString(unchanged);
    EXPECT_EQ(czech.size(), english.size());

    // The selections stay; nothing counts as an edit.
    EXPECT_EQ(parity->currentIndex(), 1);
    EXPECT_EQ(simulation->currentIndex(), 1);
    EXPECT_EQ(Editor().SelectedTreeNodes(), std::vector<TConfigNode*>{Node("Speed")});
    EXPECT_FALSE(server->Editor().Modified());
    EXPECT_FALSE(server->Editor().RegisterPending());
    EXPECT_TRUE(server->Editor().ChangeList().empty());
    for (int i = 0; i < vos::ControlPropsList->Count(); ++i)
        EXPECT_FALSE(vos::ControlPropsList->Items(i).Changed)
            << vos::ControlPropsList->Items(i).Control->objectName().toStdString();

    // Back to English: every caption is as it was, with one "&" and one ":" each.
    language = 1;
    window->Ac_ViewSettingsExecute();
    EXPECT_EQ(Captions(*window), english);
    Select("PLC1");
    EXPECT_EQ(Editor().StatusText(), englishStatus);
}

TEST_F(MainMenu, TheStatusTextFollowsTheLanguageWithoutRefillingTheList)
{
    Start("FlatListView=0\n");
    Select("PLC1");
    // A click in the list: its selection drives the page, and a refill would drop it.
    QTreeView* list = Editor().VST_List();
    const QModelIndex speed = Editor().FindListNode(Node("Speed"));
    ASSERT_TRUE(speed.isValid());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(speed).center());
    ASSERT_EQ(Editor().SelectedListNodes(), std::vector<TConfigNode*>{Node("Speed")});
    EXPECT_EQ(Editor().StatusText(), "Items count:1;Branches count:1");
    vx::Language = 0;
    window->ApplyLanguage();
    EXPECT_EQ(Editor().StatusText(), "Počet proměnných:1;Počet složek:1");
    EXPECT_EQ(Editor().SelectedListNodes(), std::vector<TConfigNode*>{Node("Speed")});
    EXPECT_EQ(Editor().Pages()->currentWidget()->objectName(), "TS_Variable");
}

}  // namespace

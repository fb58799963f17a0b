#pragma once
// The configuration editor's frame: the tool bar, the tree and list views over the editor's
// tree, the status bar, the pop-up menus and the detail pages. It shows the state that
// TConfigEditor keeps and runs its commands, the file commands and registering; what needs
// no widget stays in those classes.
#include <QItemSelectionModel>
#include <QTreeView>
#include <QWidget>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config_editor.h"
#include "config_file.h"

class QAction;
class QLabel;
class QMenu;
class QSplitter;
class QStatusBar;
class QToolBar;
class QToolButton;
class QDrag;
class QMimeData;

namespace vos {

class TConfigDetailPages;
class TConfigListModel;
class TConfigModel;
class TConfigRegistrar;
class TConfigValidation;
class TMainWindowLink;
struct TConflictReport;

// The catalogue's file filter ("name|pattern|name|pattern") as Qt's "name (pattern);;..."
// entries; a name that already shows its pattern keeps it once.
QString QtFileFilter(const std::string& filter);

// The file dialogs the frame opens; empty members use QFileDialog. A dialog gives the chosen
// path, or nullopt when cancelled.
struct TFrmConfigSeams {
    std::function<std::optional<std::string>(const TFileDialogRequest&)> OpenFileDialog;
    std::function<std::optional<std::string>(const TFileDialogRequest&)> SaveFileDialog;
    // Clipboard and drag and drop: runs a drag of VST_Tree's nodes and gives the action the
    // target took; empty: QDrag::exec.
    std::function<Qt::DropAction(QDrag&)> ExecDrag;
};

// A view's selection model that asks before the user moves the current index. The frame's
// own moves run inside TFrm_Config's bypass and are not asked about. A refused move holds
// until the next mouse or key press in the view, so the rest of the same gesture (the press's
// selection, a drag, the release) neither moves nor asks again: one refusal, one box.
class TFocusCheckSelectionModel : public QItemSelectionModel {
    Q_OBJECT
public:
    // ask: true allows the move; it runs only for moves of a valid current index elsewhere.
    TFocusCheckSelectionModel(QAbstractItemModel* model, std::function<bool()> ask, QObject* parent = nullptr);

    void setCurrentIndex(const QModelIndex& index, QItemSelectionModel::SelectionFlags command) override;
    using QItemSelectionModel::select;
    void select(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command) override;

    // Moves in a bypass are the program's own (nested scopes count).
    void BeginBypass() { ++bypass_; }
    void EndBypass() { --bypass_; }
    // A new user gesture begins: a previous refusal no longer holds.
    void NewGesture() { refused_ = false; }
    bool Refused() const { return refused_; }

private:
    std::function<bool()> ask_;
    int bypass_ = 0;
    bool refused_ = false;
};

class TF_Splash;
class TFrm_Config;

// Clipboard and drag and drop: the MIME type of a drag of VST_Tree's nodes. It carries
// references to the nodes of this program's tree, never their data.
inline constexpr char kConfigNodesMimeType[] = "application/x-vorn-opc-config-nodes";

// Clipboard and drag and drop: VST_Tree. A press on a selected row keeps the selection, so
// that the whole selection can be dragged; the drag and the drop go to the frame, and the
// view itself neither moves nor removes rows.
class TConfigTreeView : public QTreeView {
    Q_OBJECT
public:
    TConfigTreeView(TFrm_Config& frame, QWidget* parent);

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    TFrm_Config& frame_;
    QPoint pressPos_;
    bool pressOnSelected_ = false;
    bool dragged_ = false;
};

// The file commands' questions and windows as the frame shows them: the file dialogs (through
// the seams), the message dialog, the progress window.
class TFrmConfigFileUi : public TConfigFileUi {
public:
    // saved runs after a complete save.
    TFrmConfigFileUi(QWidget* owner, TFrmConfigSeams seams, std::function<void()> saved);
    ~TFrmConfigFileUi() override;
    TFrmConfigFileUi(const TFrmConfigFileUi&) = delete;
    TFrmConfigFileUi& operator=(const TFrmConfigFileUi&) = delete;

    std::optional<std::string> SaveFileDialog(const TFileDialogRequest& request) override;
    std::optional<std::string> OpenFileDialog(const TFileDialogRequest& request) override;
    void ProgressOpen(const std::string& caption) override;
    void ProgressMaximum(std::size_t maximum) override;
    void ProgressPosition(std::size_t position) override;
    void ProgressClose() override;
    void ConfigurationSaved() override;

    // The progress window while a command runs; nullptr otherwise.
    TF_Splash* Splash() const { return splash_.get(); }

private:
    QWidget* owner_;
    TFrmConfigSeams seams_;
    std::function<void()> saved_;
    std::unique_ptr<TF_Splash> splash_;
};

class TFrm_Config : public QWidget {
    Q_OBJECT
public:
    TFrm_Config(TConfigEditor& editor, TConfigFileCommands& fileCommands, TConfigValidation& validation,
                TConfigRegistrar& registrar, TMainWindowLink* link, TFrmConfigSeams seams = {},
                QWidget* parent = nullptr);
    ~TFrm_Config() override;
    TFrm_Config(const TFrm_Config&) = delete;
    TFrm_Config& operator=(const TFrm_Config&) = delete;

    // Prepares both views, creates the server node when the tree has none, registers the
    // detail controls in ControlPropsList (when there is one), refreshes the type combos, gives
    // the main window the register item's state and selects the server. The constructor calls
    // nothing of the link; this is the first call.
    void InitEditor();
    // The frame's one caption routine: hints, pop-up items, column titles and the pages; then
    // both views repaint.
    void ApplyCaptions();
    void RefreshTypeComboTexts();
    // After the tree was loaded or replaced: the nodes the file marks expanded are expanded, and
    // the server is selected in the tree, which drives the page, and shown.
    void ShowLoadedConfiguration();

    TConfigEditor& Editor() { return editor_; }
    TConfigModel* TreeModel() const { return treeModel_; }
    TConfigListModel* ListModel() const { return listModel_; }
    QTreeView* VST_Tree() const { return vstTree_; }
    QTreeView* VST_List() const { return vstList_; }
    TConfigDetailPages* Pages() const { return pages_; }
    QStatusBar* SB_ConfigTree() const { return statusBar_; }
    QMenu* PMnTree() const { return pmnTree_; }
    QMenu* PMnList() const { return pmnList_; }

    // --- Selection and page ---

    // Shows the selected node(s) on the detail page; sender is the control whose change
    // caused the refill (nullptr: none).
    void ShowSelection(QWidget* sender = nullptr);
    // The selected tree nodes in tree order.
    std::vector<TConfigNode*> SelectedTreeNodes() const;
    TConfigNode* FirstSelectedTreeNode() const;
    // The tree nodes of the selected list rows, in list order.
    std::vector<TConfigNode*> SelectedListNodes() const;
    void VST_TreeClick();
    void VST_ListClick();
    void VST_TreeChange();
    void VST_ListChange();
    // Whether the focus may move: the edited nodes pass validation (which otherwise reports).
    bool VST_TreeFocusChanging();

    // --- Sorting ---

    void VST_TreeHeaderClick(int column);
    void VST_ListHeaderClick(int column);
    int TreeSortColumn() const { return treeSortColumn_; }
    bool TreeSortDescending() const { return treeSortDescending_; }
    int ListSortColumn() const { return listSortColumn_; }
    bool ListSortDescending() const { return listSortDescending_; }

    // --- The list ---

    // Lists node's contents (nullptr: empties) and writes the status text.
    void UpdateStatusBar(TConfigNode* node);
    QString StatusText() const;
    void PMnList_ShowFlatClick();
    void PMnTree_ExpandClick();
    void PMnTree_ColapseClick();

    // --- Search ---

    QModelIndex FindListNode(const TConfigNode* treeNode) const;
    // Makes node the only selected one (and the current one when the tree drives the page).
    void SelectTreeNode(TConfigNode* node);
    // The same in the list, for the row of a tree node, when the list drives the page.
    void SelectListNode(TConfigNode* treeNode);

    // --- Commands ---

    TConfigNode* NewObjectExecute(int tag);
    void DeleteExecute();
    bool NewConfiguration();
    TLoadResult LoadConfiguration();
    bool SaveConfiguration(bool saveAs = false);
    void RefreshExecute();
    void EnableCommands(const TConfigNode* node);
    void TBtn_ExitClick();
    void TBtn_ViewRuntimeClick();

    // --- Column widths (the main window adapts them to the settings) ---

    int ColumnWidth(bool list, int column) const;
    void SetColumnWidth(bool list, int column, int width);

    // The control of the detail pages named name; nullptr for none.
    QWidget* DetailControl(const std::string& name) const;

    // Multi-selection editing: the one change handler of the registered detail controls.
    // It marks sender and copies every marked control into each selected node.
    void ControlChanged(QWidget* sender);

    // --- Clipboard, duplicate, drag and drop, import ---

    // Each command acts on the first selected node and first checks the enabling rule of
    // EnableCommands on that node: a command enabled for another node does nothing here.
    void TBtn_CutClick();
    void TBtn_CopyClick();
    void TBtn_PasteClick();
    void TBtn_DuplicateClick();
    // A copy of source and the subtree it had when the copy began, under (the valid parent
    // for) target; nullptr when nothing was made.
    TConfigNode* CopySubtree(TConfigNode* source, TConfigNode* target);
    // Every field of the record but Ordinal, TreeNode, Valid and Saved.
    void CopyNode(const TConfigNode& source, TConfigNode& copy);
    // Whether the nodes dragged from source may be dropped on target; only drags that
    // VST_Tree itself started are accepted.
    bool VST_TreeDragOver(const QObject* source, const QMimeData* data, TConfigNode* target);
    // Moves the dragged nodes that may go to target.
    void VST_TreeDragDrop(const QObject* source, const QMimeData* data, TConfigNode* target);
    // Drags VST_Tree's selected nodes; whatever the target does, the tree removes nothing.
    void VST_TreeStartDrag();
    // The import command into the first selected node; the result of TDeclImporter.
    int ImportConfiguration();

private:
    // The frame's own moves of the views' current index, which the focus check lets pass.
    class TOwnMove {
    public:
        explicit TOwnMove(TFrm_Config& frame);
        ~TOwnMove();
        TOwnMove(const TOwnMove&) = delete;
        TOwnMove& operator=(const TOwnMove&) = delete;

    private:
        TFrm_Config& frame_;
    };

    void BuildToolBar();
    void BuildViews();
    void BuildMenus();
    // Multi-selection editing: connects the detail controls' change signals to ControlChanged.
    void ConnectDetailControls();
    QToolButton* AddToolButton(const char* name, int iconKind);
    QAction* AddMenuAction(QMenu* menu, const char* name);
    void SetupView(QTreeView* view, bool list);
    void ShowReport(const TConflictReport& report);
    void ApplyExpandedStates();
    bool eventFilter(QObject* watched, QEvent* event) override;

    TConfigEditor& editor_;
    TConfigFileCommands& fileCommands_;
    TConfigValidation& validation_;
    TConfigRegistrar& registrar_;
    TMainWindowLink* link_;
    std::unique_ptr<TFrmConfigFileUi> fileUi_;

    TConfigModel* treeModel_ = nullptr;
    TConfigListModel* listModel_ = nullptr;
    TFocusCheckSelectionModel* treeSelection_ = nullptr;
    TFocusCheckSelectionModel* listSelection_ = nullptr;

    QSplitter* splitter_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QTreeView* vstTree_ = nullptr;
    QTreeView* vstList_ = nullptr;
    QStatusBar* statusBar_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    TConfigDetailPages* pages_ = nullptr;
    QMenu* pmnTree_ = nullptr;
    QMenu* pmnList_ = nullptr;

    QToolButton* TBtn_New = nullptr;
    QToolButton* TBtn_Load = nullptr;
    QToolButton* TBtn_Save = nullptr;
    QToolButton* TBtn_NewStation = nullptr;
    QToolButton* TBtn_NewModem = nullptr;
    QToolButton* TBtn_NewVariable = nullptr;
    QToolButton* TBtn_NewFolder = nullptr;
    QToolButton* TBtn_Cut = nullptr;
    QToolButton* TBtn_Copy = nullptr;
    QToolButton* TBtn_Paste = nullptr;
    QToolButton* TBtn_Duplicate = nullptr;
    QToolButton* TBtn_Delete = nullptr;
    QToolButton* TBtn_Import = nullptr;
    QToolButton* TBtn_RegisterConfig = nullptr;
    QToolButton* TBtn_Exit = nullptr;
    QToolButton* TBtn_ViewRuntime = nullptr;

    // Pop-up items, tree and list: NewDevice, NewItem, NewBranch, Cut, Copy, Paste,
    // Duplicate, Delete in this order.
    std::vector<QAction*> treeItems_;
    std::vector<QAction*> listItems_;
    QAction* PMnTree_Expand = nullptr;
    QAction* PMnTree_Colapse = nullptr;
    QAction* PMnList_ShowFlat = nullptr;

    int treeSortColumn_ = -1;
    bool treeSortDescending_ = false;
    int listSortColumn_ = -1;
    bool listSortDescending_ = false;

    // Clipboard and drag and drop.
    struct TCopyRun;
    TConfigNode* CopySubtreeOf(TConfigNode* source, TConfigNode* target, TCopyRun& run);
    // The nodes a drag from source carries; empty unless VST_Tree started it.
    std::vector<TConfigNode*> DraggedNodes(const QObject* source, const QMimeData* data) const;
    // After nodes moved: the list shows its node's contents again, its selection kept.
    void RefreshListAfterMove();
    TFrmConfigSeams seams_;
};

}  // namespace vos

#include "frm_config.h"

#include <QAction>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_msgdlg.h"
#include "config_list_model.h"
#include "config_model.h"
#include "config_register.h"
#include "config_sort.h"
#include "config_validate.h"
#include "config_view_text.h"
#include "frm_config_pages.h"
#include "main_window_link.h"
#include "widgets/control_props.h"

namespace vos {

namespace {

// Catalogue texts of the frame.
enum : std::int32_t {
    kTextShowBranches = 53,
    kTextHideBranches = 54,
};

// The form's widths of columns 0 and 5, tree and list.
constexpr int kTreeNameWidth = 70;
constexpr int kTreeCommentWidth = 132;
constexpr int kListNameWidth = 100;
constexpr int kListCommentWidth = 102;

// Pop-up items in the order of treeItems_ and listItems_, with their catalogue captions;
// 0: the caption the form gives. Cut, copy and paste take the main menu's texts.
struct TPopupItem {
    const char* Suffix;
    std::int32_t TextId;
    const char* FormCaption;
};
constexpr TPopupItem kPopupItems[] = {
    {"NewDevice", 109, ""}, {"NewItem", 110, ""}, {"NewBranch", 111, ""},  {"Cut", 142, ""},
    {"Copy", 143, ""},      {"Paste", 144, ""}, {"Duplicate", 112, ""}, {"Delete", 113, ""},
};
enum TPopupIndex { piNewDevice, piNewItem, piNewBranch, piCut, piCopy, piPaste, piDuplicate, piDelete };

QString Lang(std::int32_t id) { return QString::fromStdString(vx::GetLangText(id)); }

// A node's position from the top, level by level: comparing two gives tree order.
std::vector<int> TreePath(const TConfigNode* node)
{
    std::vector<int> path;
    for (; node && !node->IsRoot(); node = node->Parent())
        path.push_back(node->Index());
    std::reverse(path.begin(), path.end());
    return path;
}

void SortInTreeOrder(std::vector<TConfigNode*>& nodes)
{
    if (nodes.size() < 2)
        return;
    std::vector<std::pair<std::vector<int>, TConfigNode*>> keyed;
    keyed.reserve(nodes.size());
    for (auto* node : nodes)
        keyed.emplace_back(TreePath(node), node);
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < keyed.size(); ++i)
        nodes[i] = keyed[i].second;
}

bool SameRow(const QModelIndex& a, const QModelIndex& b) { return a.row() == b.row() && a.parent() == b.parent(); }

}  // namespace

// --- TFocusCheckSelectionModel ---

TFocusCheckSelectionModel::TFocusCheckSelectionModel(QAbstractItemModel* model, std::function<bool()> ask,
                                                     QObject* parent)
    : QItemSelectionModel(model, parent), ask_(std::move(ask))
{
}

void TFocusCheckSelectionModel::setCurrentIndex(const QModelIndex& index, QItemSelectionModel::SelectionFlags command)
{
    const QModelIndex current = currentIndex();
    if (bypass_ == 0 && current.isValid() && index.isValid() && !SameRow(index, current)) {
        if (refused_)
            return;
        if (ask_ && !ask_()) {
            refused_ = true;
            return;
        }
    }
    QItemSelectionModel::setCurrentIndex(index, command);
}

void TFocusCheckSelectionModel::select(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command)
{
    // The rest of a refused gesture selects nothing either.
    if (bypass_ == 0 && refused_)
        return;
    QItemSelectionModel::select(selection, command);
}

// --- TFrm_Config ---

TFrm_Config::TOwnMove::TOwnMove(TFrm_Config& frame) : frame_(frame)
{
    frame_.treeSelection_->BeginBypass();
    frame_.listSelection_->BeginBypass();
}

TFrm_Config::TOwnMove::~TOwnMove()
{
    frame_.treeSelection_->EndBypass();
    frame_.listSelection_->EndBypass();
}

TFrm_Config::TFrm_Config(TConfigEditor& editor, TConfigFileCommands& fileCommands, TConfigValidation& validation,
                         TConfigRegistrar& registrar, TMainWindowLink* link, TFrmConfigSeams seams, QWidget* parent)
    : QWidget(parent),
      editor_(editor),
      fileCommands_(fileCommands),
      validation_(validation),
      registrar_(registrar),
      link_(link)
{
    setObjectName(QStringLiteral("Frm_Config"));
    seams_ = seams;  // clipboard and drag and drop: the drag's seam
    fileUi_ = std::make_unique<TFrmConfigFileUi>(this, std::move(seams), [this] {
        vstTree_->viewport()->update();
        vstList_->viewport()->update();
        if (ControlPropsList)
            ControlPropsList->RestoreColors();
    });

    splitter_ = new QSplitter(Qt::Horizontal, this);
    auto* left = new QWidget(splitter_);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(0);
    toolBar_ = new QToolBar(left);
    toolBar_->setObjectName(QStringLiteral("ToolBar_Config"));
    // Sixteen buttons fit the left half of the smallest main window only at 16 pixels.
    toolBar_->setIconSize(QSize(16, 16));
    leftLayout->addWidget(toolBar_);
    BuildToolBar();

    auto* views = new QSplitter(Qt::Vertical, left);
    leftLayout->addWidget(views, 1);
    treeModel_ = new TConfigModel(editor_.Tree(), this);
    listModel_ = new TConfigListModel(editor_.Tree(), this);
    vstTree_ = new TConfigTreeView(*this, views);  // clipboard and drag and drop: drags its nodes
    vstTree_->setObjectName(QStringLiteral("VST_Tree"));
    vstList_ = new QTreeView(views);
    vstList_->setObjectName(QStringLiteral("VST_List"));
    treeSelection_ = new TFocusCheckSelectionModel(treeModel_, [this] { return VST_TreeFocusChanging(); }, this);
    listSelection_ = new TFocusCheckSelectionModel(listModel_, [this] { return VST_TreeFocusChanging(); }, this);
    SetupView(vstTree_, false);
    SetupView(vstList_, true);

    statusBar_ = new QStatusBar(left);
    statusBar_->setObjectName(QStringLiteral("SB_ConfigTree"));
    statusBar_->setSizeGripEnabled(false);
    statusLabel_ = new QLabel(statusBar_);
    statusLabel_->setObjectName(QStringLiteral("SB_ConfigTree_Panel0"));
    statusBar_->addWidget(statusLabel_, 1);
    leftLayout->addWidget(statusBar_);

    pages_ = new TConfigDetailPages(splitter_);
    splitter_->addWidget(left);
    splitter_->addWidget(pages_);
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(1, 1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter_);

    BuildMenus();
    ConnectDetailControls();  // multi-selection editing

    connect(vstTree_, &QTreeView::clicked, this, [this] {
        if (!treeSelection_->Refused())
            VST_TreeClick();
    });
    connect(vstList_, &QTreeView::clicked, this, [this] {
        if (!listSelection_->Refused())
            VST_ListClick();
    });
    connect(treeSelection_, &QItemSelectionModel::selectionChanged, this, [this] { VST_TreeChange(); });
    connect(listSelection_, &QItemSelectionModel::selectionChanged, this, [this] { VST_ListChange(); });
    connect(vstTree_->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { VST_TreeHeaderClick(column); });
    connect(vstList_->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { VST_ListHeaderClick(column); });
    // The file keeps which nodes were expanded.
    connect(vstTree_, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        if (auto* node = treeModel_->NodeOf(index))
            node->View.States |= nsExpanded;
    });
    connect(vstTree_, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        if (auto* node = treeModel_->NodeOf(index))
            node->View.States &= static_cast<std::uint16_t>(~nsExpanded);
    });

    editor_.SetHooks({[this](bool enabled) {
                          TBtn_RegisterConfig->setEnabled(enabled);
                          if (link_)
                              link_->SetRegisterConfigEnabled(enabled);
                      },
                      [this](bool enabled) { TBtn_Save->setEnabled(enabled); }});
    validation_.SetReportHandler([this](const TConflictReport& report) { ShowReport(report); });
    fileCommands_.SetUi(fileUi_.get());

    TBtn_Save->setEnabled(editor_.Modified());
    TBtn_RegisterConfig->setEnabled(editor_.RegisterPending());
    ApplyCaptions();
}

TFrm_Config::~TFrm_Config()
{
    fileCommands_.SetUi(nullptr);
    validation_.SetReportHandler({});
    editor_.SetHooks({});
    for (auto* view : {vstTree_, vstList_}) {
        view->removeEventFilter(this);
        view->viewport()->removeEventFilter(this);
    }
    // The views go before their models and selection models, which are the frame's children.
    delete splitter_;
    splitter_ = nullptr;
}

QToolButton* TFrm_Config::AddToolButton(const char* name, int iconKind)
{
    auto* button = new QToolButton(toolBar_);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoRaise(true);
    // Non-negative: an image of the node list; negative: a style icon.
    button->setIcon(iconKind >= 0 ? ConfigImage(iconKind)
                                  : style()->standardIcon(static_cast<QStyle::StandardPixmap>(-iconKind - 1)));
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar_->addWidget(button);
    return button;
}

void TFrm_Config::BuildToolBar()
{
    const auto styleIcon = [](QStyle::StandardPixmap pixmap) { return -static_cast<int>(pixmap) - 1; };
    TBtn_New = AddToolButton("TBtn_New", styleIcon(QStyle::SP_FileIcon));
    TBtn_Load = AddToolButton("TBtn_Load", styleIcon(QStyle::SP_DialogOpenButton));
    TBtn_Save = AddToolButton("TBtn_Save", styleIcon(QStyle::SP_DialogSaveButton));
    toolBar_->addSeparator();
    TBtn_NewStation = AddToolButton("TBtn_NewStation", 3);
    TBtn_NewModem = AddToolButton("TBtn_NewModem", 8);
    TBtn_NewVariable = AddToolButton("TBtn_NewVariable", 11);
    TBtn_NewFolder = AddToolButton("TBtn_NewFolder", 1);
    toolBar_->addSeparator();
    TBtn_Cut = AddToolButton("TBtn_Cut", styleIcon(QStyle::SP_DialogDiscardButton));
    TBtn_Copy = AddToolButton("TBtn_Copy", styleIcon(QStyle::SP_FileDialogContentsView));
    TBtn_Paste = AddToolButton("TBtn_Paste", styleIcon(QStyle::SP_DialogApplyButton));
    TBtn_Duplicate = AddToolButton("TBtn_Duplicate", styleIcon(QStyle::SP_FileLinkIcon));
    TBtn_Delete = AddToolButton("TBtn_Delete", styleIcon(QStyle::SP_TrashIcon));
    toolBar_->addSeparator();
    TBtn_Import = AddToolButton("TBtn_Import", styleIcon(QStyle::SP_ArrowDown));
    TBtn_RegisterConfig = AddToolButton("TBtn_RegisterConfig", styleIcon(QStyle::SP_BrowserReload));
    toolBar_->addSeparator();
    TBtn_Exit = AddToolButton("TBtn_Exit", styleIcon(QStyle::SP_DialogCloseButton));
    TBtn_ViewRuntime = AddToolButton("TBtn_ViewRuntime", styleIcon(QStyle::SP_ComputerIcon));

    connect(TBtn_New, &QToolButton::clicked, this, [this] { NewConfiguration(); });
    connect(TBtn_Load, &QToolButton::clicked, this, [this] { LoadConfiguration(); });
    connect(TBtn_Save, &QToolButton::clicked, this, [this] { SaveConfiguration(false); });
    connect(TBtn_NewStation, &QToolButton::clicked, this, [this] { NewObjectExecute(ntStation); });
    connect(TBtn_NewModem, &QToolButton::clicked, this, [this] { NewObjectExecute(ntModem); });
    connect(TBtn_NewVariable, &QToolButton::clicked, this, [this] { NewObjectExecute(ntVariable); });
    connect(TBtn_NewFolder, &QToolButton::clicked, this, [this] { NewObjectExecute(ntFolder); });
    connect(TBtn_Delete, &QToolButton::clicked, this, [this] { DeleteExecute(); });
    // Clipboard, duplicate and import.
    connect(TBtn_Cut, &QToolButton::clicked, this, [this] { TBtn_CutClick(); });
    connect(TBtn_Copy, &QToolButton::clicked, this, [this] { TBtn_CopyClick(); });
    connect(TBtn_Paste, &QToolButton::clicked, this, [this] { TBtn_PasteClick(); });
    connect(TBtn_Duplicate, &QToolButton::clicked, this, [this] { TBtn_DuplicateClick(); });
    connect(TBtn_Import, &QToolButton::clicked, this, [this] { ImportConfiguration(); });
    connect(TBtn_RegisterConfig, &QToolButton::clicked, this, [this] { RefreshExecute(); });
    connect(TBtn_Exit, &QToolButton::clicked, this, [this] { TBtn_ExitClick(); });
    connect(TBtn_ViewRuntime, &QToolButton::clicked, this, [this] { TBtn_ViewRuntimeClick(); });
}

void TFrm_Config::SetupView(QTreeView* view, bool list)
{
    view->setModel(list ? static_cast<QAbstractItemModel*>(listModel_) : treeModel_);
    view->setSelectionModel(list ? listSelection_ : treeSelection_);
    // The selection shows as Qt draws it, in the tree too: one that cannot be seen cannot be
    // edited with confidence.
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setAllColumnsShowFocus(true);
    view->setUniformRowHeights(true);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSortingEnabled(false);  // the frame sorts the tree itself
    if (list) {
        view->setRootIsDecorated(false);
        view->setItemsExpandable(false);
    }
    auto* header = view->header();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setStretchLastSection(false);
    header->resizeSection(0, list ? kListNameWidth : kTreeNameWidth);
    header->resizeSection(5, list ? kListCommentWidth : kTreeCommentWidth);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view, list](const QPoint& pos) {
        (list ? pmnList_ : pmnTree_)->popup(view->viewport()->mapToGlobal(pos));
    });
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
}

QAction* TFrm_Config::AddMenuAction(QMenu* menu, const char* name)
{
    auto* action = menu->addAction(QString());
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

void TFrm_Config::BuildMenus()
{
    pmnTree_ = new QMenu(this);
    pmnTree_->setObjectName(QStringLiteral("PMnTree"));
    pmnList_ = new QMenu(this);
    pmnList_->setObjectName(QStringLiteral("PMnList"));
    for (auto [menu, prefix, items] : {std::tuple{pmnTree_, "PMnTree_", &treeItems_},
                                       std::tuple{pmnList_, "PMnList_", &listItems_}}) {
        for (const auto& item : kPopupItems) {
            if (item.Suffix == std::string_view("Cut") || item.Suffix == std::string_view("Duplicate"))
                menu->addSeparator();
            items->push_back(AddMenuAction(menu, (std::string(prefix) + item.Suffix).c_str()));
            if (!item.TextId)
                items->back()->setText(QString::fromLatin1(item.FormCaption));
        }
        auto& actions = *items;
        connect(actions[piNewDevice], &QAction::triggered, this, [this] { NewObjectExecute(ntStation); });
        connect(actions[piNewItem], &QAction::triggered, this, [this] { NewObjectExecute(ntVariable); });
        connect(actions[piNewBranch], &QAction::triggered, this, [this] { NewObjectExecute(ntFolder); });
        connect(actions[piDelete], &QAction::triggered, this, [this] { DeleteExecute(); });
        // Clipboard and duplicate.
        connect(actions[piCut], &QAction::triggered, this, [this] { TBtn_CutClick(); });
        connect(actions[piCopy], &QAction::triggered, this, [this] { TBtn_CopyClick(); });
        connect(actions[piPaste], &QAction::triggered, this, [this] { TBtn_PasteClick(); });
        connect(actions[piDuplicate], &QAction::triggered, this, [this] { TBtn_DuplicateClick(); });
    }
    pmnTree_->addSeparator();
    PMnTree_Expand = AddMenuAction(pmnTree_, "PMnTree_Expand");
    PMnTree_Expand->setText(QStringLiteral("Expand"));
    PMnTree_Colapse = AddMenuAction(pmnTree_, "PMnTree_Colapse");
    PMnTree_Colapse->setText(QStringLiteral("Collapse"));
    pmnList_->addSeparator();
    PMnList_ShowFlat = AddMenuAction(pmnList_, "PMnList_ShowFlat");
    connect(PMnTree_Expand, &QAction::triggered, this, [this] { PMnTree_ExpandClick(); });
    connect(PMnTree_Colapse, &QAction::triggered, this, [this] { PMnTree_ColapseClick(); });
    connect(PMnList_ShowFlat, &QAction::triggered, this, [this] { PMnList_ShowFlatClick(); });
}

void TFrm_Config::InitEditor()
{
    // The start-up load may have filled the tree already; only an empty one gets its server.
    if (!editor_.Tree().First())
        editor_.CreateNode(nkServer, nullptr);
    if (ControlPropsList)
        pages_->RegisterDetailControls(*ControlPropsList);
    RefreshTypeComboTexts();
    // Not in the constructor: the main window may still be building its menus then.
    if (link_)
        link_->SetRegisterConfigEnabled(editor_.RegisterPending());
    ShowLoadedConfiguration();
}

void TFrm_Config::ApplyCaptions()
{
    const std::pair<QToolButton*, std::int32_t> hints[] = {
        {TBtn_New, 499},        {TBtn_Load, 501},         {TBtn_Save, 502},           {TBtn_NewStation, 109},
        {TBtn_NewModem, 141},   {TBtn_NewVariable, 110},  {TBtn_NewFolder, 111},      {TBtn_Cut, 142},
        {TBtn_Copy, 143},       {TBtn_Paste, 144},        {TBtn_Duplicate, 112},      {TBtn_Delete, 113},
        {TBtn_Import, 119},     {TBtn_RegisterConfig, 120}, {TBtn_Exit, 505},         {TBtn_ViewRuntime, 511},
    };
    for (const auto& [button, id] : hints) {
        button->setToolTip(Lang(id));
        button->setText(Lang(id));
    }
    for (auto* items : {&treeItems_, &listItems_})
        for (std::size_t i = 0; i < std::size(kPopupItems); ++i)
            if (kPopupItems[i].TextId)
                (*items)[i]->setText(Lang(kPopupItems[i].TextId));
    PMnList_ShowFlat->setText(Lang(vx::FlatListView ? kTextShowBranches : kTextHideBranches));
    treeModel_->RetranslateHeaders();
    listModel_->RetranslateHeaders();
    pages_->ApplyCaptions();
    vstTree_->viewport()->update();
    vstList_->viewport()->update();
}

void TFrm_Config::RefreshTypeComboTexts() { pages_->RefreshTypeComboTexts(); }

// --- Selection and page ---

std::vector<TConfigNode*> TFrm_Config::SelectedTreeNodes() const
{
    // The ranges directly: selectedRows() costs rows times ranges with a large selection.
    std::vector<TConfigNode*> nodes;
    std::unordered_set<const TConfigNode*> seen;
    for (const auto& range : treeSelection_->selection()) {
        const QModelIndex parent = range.parent();
        for (int row = range.top(); row <= range.bottom(); ++row)
            if (auto* node = treeModel_->NodeOf(treeModel_->index(row, 0, parent)); node && seen.insert(node).second)
                nodes.push_back(node);
    }
    SortInTreeOrder(nodes);
    return nodes;
}

TConfigNode* TFrm_Config::FirstSelectedTreeNode() const
{
    const auto nodes = SelectedTreeNodes();
    return nodes.empty() ? nullptr : nodes.front();
}

std::vector<TConfigNode*> TFrm_Config::SelectedListNodes() const
{
    std::vector<int> rows;
    for (const auto& range : listSelection_->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<TConfigNode*> nodes;
    nodes.reserve(rows.size());
    for (int row : rows)
        if (auto* node = listModel_->NodeOf(listModel_->index(row, 0)))
            nodes.push_back(node);
    return nodes;
}

void TFrm_Config::ShowSelection(QWidget* sender)
{
    if (editor_.UpdateLock() > 0)
        return;
    if (ControlPropsList)
        ControlPropsList->RestoreColors();
    if (editor_.ListActive()) {
        TOwnMove own(*this);
        QItemSelection selection;
        for (auto* node : SelectedListNodes()) {
            const QModelIndex index = treeModel_->IndexOf(node);
            selection.select(index, index);
        }
        treeSelection_->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    const auto nodes = SelectedTreeNodes();
    if (nodes.empty())
        return;
    TConfigNode* first = nodes.front();
    const int count = static_cast<int>(nodes.size());
    switch (first->Rec().Kind) {
    case nkServer:
        pages_->ShowServerPage();
        break;
    case nkStation:
        pages_->ShowStationDetail(first->Rec(), count);
        break;
    case nkVariable:
        pages_->ShowVariableDetail(first->Rec(), sender, count);
        // The page may have corrected the record (clamped ranges, no scaling for a text).
        editor_.Tree().NotifyChanged(first);
        break;
    case nkFolder:
        pages_->ShowFolderPage(first->Rec(), count);
        break;
    case nkModem:
        pages_->ShowModemPage(first->Rec(), count);
        break;
    }
    if (!editor_.ListActive())
        UpdateStatusBar(first);

    const auto differing = std::find_if(nodes.begin() + 1, nodes.end(), [first](const TConfigNode* node) {
        return node->Rec().Kind != first->Rec().Kind;
    });
    if (differing != nodes.end()) {
        pages_->ShowEmptyPage();
        // The list the user is selecting in stays; only a list of the tree's node goes.
        if (!editor_.ListActive())
            listModel_->Clear();
        EnableCommands(*differing);
    } else {
        EnableCommands(first);
    }
}

void TFrm_Config::VST_TreeClick()
{
    if (editor_.ListActive()) {
        editor_.SetListActive(false);
        ShowSelection();
    }
}

void TFrm_Config::VST_ListClick()
{
    if (!editor_.ListActive()) {
        editor_.SetListActive(true);
        ShowSelection();
    }
}

void TFrm_Config::VST_TreeChange()
{
    if (!editor_.ListActive() && editor_.UpdateLock() == 0)
        ShowSelection();
}

void TFrm_Config::VST_ListChange()
{
    if (editor_.ListActive() && editor_.UpdateLock() == 0)
        ShowSelection();
}

bool TFrm_Config::VST_TreeFocusChanging()
{
    return editor_.ChangeList().empty() || validation_.ValidateChangeList();
}

void TFrm_Config::ShowReport(const TConflictReport& report)
{
    QWidget* control = report.Control.empty() ? nullptr : DetailControl(report.Control);
    if (!report.Text.empty())
        ShowControlError(control, report.Text);
    if (report.Node) {
        TOwnMove own(*this);
        if (editor_.ListActive() && FindListNode(report.Node).isValid()) {
            SelectListNode(report.Node);
        } else {
            // A node the list does not hold is shown from the tree.
            editor_.SetListActive(false);
            SelectTreeNode(report.Node);
        }
    }
    // Showing the node gave the controls their colours back; the offending one stays marked.
    if (control)
        MarkControlChanged(control);
}

// --- Sorting ---

void TFrm_Config::VST_TreeHeaderClick(int column)
{
    if (column == treeSortColumn_)
        treeSortDescending_ = !treeSortDescending_;
    else
        treeSortColumn_ = column;
    vstTree_->header()->setSortIndicator(column, treeSortDescending_ ? Qt::DescendingOrder : Qt::AscendingOrder);
    SortConfigTree(editor_.Tree(), column, treeSortDescending_);
    UpdateStatusBar(FirstSelectedTreeNode());
}

void TFrm_Config::VST_ListHeaderClick(int column)
{
    TConfigNode* first = FirstSelectedTreeNode();
    TConfigNode* shown = nullptr;
    if (!editor_.ListActive())
        shown = first;
    else if (first)
        shown = vx::FlatListView ? TConfigEditor::GetOwnerNode(first) : first->Parent();
    if (!shown || shown->IsRoot()) {
        // Nothing to sort: the header shows the order it had.
        vstList_->header()->setSortIndicator(listSortColumn_,
                                             listSortDescending_ ? Qt::DescendingOrder : Qt::AscendingOrder);
        return;
    }
    if (column == listSortColumn_)
        listSortDescending_ = !listSortDescending_;
    else
        listSortColumn_ = column;
    vstList_->header()->setSortIndicator(column, listSortDescending_ ? Qt::DescendingOrder : Qt::AscendingOrder);
    SortConfigChildren(editor_.Tree(), shown, column, listSortDescending_, false);
    listModel_->Sort(column, listSortDescending_);
}

// --- The list ---

void TFrm_Config::UpdateStatusBar(TConfigNode* node)
{
    const TListCounts counts = listModel_->Fill(node, vx::FlatListView);
    statusLabel_->setText(node ? QString::fromStdString(StatusBarText(*node, counts)) : QString());
}

QString TFrm_Config::StatusText() const { return statusLabel_->text(); }

void TFrm_Config::PMnList_ShowFlatClick()
{
    vx::FlatListView = !vx::FlatListView;
    PMnList_ShowFlat->setText(Lang(vx::FlatListView ? kTextShowBranches : kTextHideBranches));
    UpdateStatusBar(FirstSelectedTreeNode());
}

void TFrm_Config::PMnTree_ExpandClick()
{
    for (auto* node : SelectedTreeNodes())
        vstTree_->expand(treeModel_->IndexOf(node));
    vstTree_->viewport()->update();
}

void TFrm_Config::PMnTree_ColapseClick()
{
    for (auto* node : SelectedTreeNodes())
        vstTree_->collapse(treeModel_->IndexOf(node));
    vstTree_->viewport()->update();
}

// --- Search ---

QModelIndex TFrm_Config::FindListNode(const TConfigNode* treeNode) const { return listModel_->IndexOf(treeNode); }

void TFrm_Config::SelectTreeNode(TConfigNode* node)
{
    const QModelIndex index = treeModel_->IndexOf(node);
    if (!index.isValid())
        return;
    TOwnMove own(*this);
    const auto flags = QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
    if (editor_.ListActive())
        treeSelection_->select(index, flags);
    else
        treeSelection_->setCurrentIndex(index, flags);
    vstTree_->scrollTo(index);
}

void TFrm_Config::SelectListNode(TConfigNode* treeNode)
{
    if (!editor_.ListActive())
        return;
    const QModelIndex index = FindListNode(treeNode);
    if (!index.isValid())
        return;
    TOwnMove own(*this);
    listSelection_->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    vstList_->scrollTo(index);
}

// --- Commands ---

TConfigNode* TFrm_Config::NewObjectExecute(int tag)
{
    TConfigNode* node = editor_.NewObjectExecute(tag, FirstSelectedTreeNode());
    if (!node)
        return nullptr;
    {
        // One showing at the end, not one per step.
        TUpdateLockScope lock(editor_);
        TOwnMove own(*this);
        TConfigNode* parent = node->Parent();
        if (parent && !parent->IsRoot())
            vstTree_->expand(treeModel_->IndexOf(parent));
        SelectTreeNode(node);
        if (editor_.ListActive()) {
            UpdateStatusBar(parent);
            SelectListNode(node);
        }
    }
    ShowSelection();
    return node;
}

void TFrm_Config::DeleteExecute()
{
    const int answer =
        vx::ShowMessageDlg(vx::GetLangText(kDeleteQuestionTextId), vx::mtConfirmation, vx::mbYesNo);
    // Only Yes deletes: closing the box is no consent.
    if (answer != vx::mrYes)
        return;
    const auto selection = SelectedTreeNodes();
    if (selection.empty())
        return;
    TDeleteResult result;
    {
        TOwnMove own(*this);
        result = editor_.DeleteExecute(selection, answer);
    }
    {
        TUpdateLockScope lock(editor_);
        if (editor_.ListActive() && result.Parent) {
            UpdateStatusBar(result.Parent);
            SelectListNode(result.SelectNode);
        } else {
            SelectTreeNode(result.SelectNode);
        }
    }
    ShowSelection();
}

void TFrm_Config::ShowLoadedConfiguration()
{
    TConfigNode* server = editor_.Tree().First();
    {
        TUpdateLockScope lock(editor_);
        ApplyExpandedStates();
        if (server)
            vstTree_->expand(treeModel_->IndexOf(server));
        editor_.SetListActive(false);
        if (server)
            SelectTreeNode(server);
    }
    ShowSelection();
}

void TFrm_Config::ApplyExpandedStates()
{
    for (auto* node : editor_.Tree())
        if (node->HasChildren() && (node->View.States & nsExpanded))
            vstTree_->expand(treeModel_->IndexOf(node));
}

bool TFrm_Config::NewConfiguration()
{
    const bool done = fileCommands_.NewConfiguration();
    if (done)
        ShowLoadedConfiguration();
    return done;
}

TLoadResult TFrm_Config::LoadConfiguration()
{
    const TLoadResult result = fileCommands_.LoadConfiguration(TLoadSender::Dialog);
    if (result != TLoadResult::Stopped)
        ShowLoadedConfiguration();
    return result;
}

bool TFrm_Config::SaveConfiguration(bool saveAs)
{
    return fileCommands_.SaveConfiguration(saveAs ? TSaveSender::SaveAs : TSaveSender::Save);
}

void TFrm_Config::RefreshExecute() { registrar_.RefreshExecute(); }

void TFrm_Config::EnableCommands(const TConfigNode* node)
{
    auto commands = editor_.EnableCommands(node);
    if (!commands)
        return;
    const std::pair<QToolButton*, bool> buttons[] = {
        {TBtn_NewVariable, commands->NewVariable}, {TBtn_NewFolder, commands->NewFolder},
        {TBtn_Import, commands->Import},           {TBtn_Cut, commands->Cut},
        {TBtn_Copy, commands->Copy},               {TBtn_Paste, commands->Paste},
        {TBtn_Duplicate, commands->Duplicate},     {TBtn_Delete, commands->Delete},
    };
    for (const auto& [button, enabled] : buttons)
        button->setEnabled(enabled);
    const std::pair<int, bool> items[] = {
        {piNewItem, commands->NewVariable}, {piNewBranch, commands->NewFolder}, {piCut, commands->Cut},
        {piCopy, commands->Copy},           {piPaste, commands->Paste},         {piDuplicate, commands->Duplicate},
        {piDelete, commands->Delete},
    };
    for (auto* actions : {&treeItems_, &listItems_})
        for (const auto& [index, enabled] : items)
            (*actions)[static_cast<std::size_t>(index)]->setEnabled(enabled);
    if (link_)
        link_->SetEditCommands(*commands);
}

void TFrm_Config::TBtn_ExitClick()
{
    if (link_)
        link_->ShutDownServer();
}

void TFrm_Config::TBtn_ViewRuntimeClick()
{
    if (link_)
        link_->ViewRuntime();
}

// --- Column widths ---

int TFrm_Config::ColumnWidth(bool list, int column) const { return (list ? vstList_ : vstTree_)->columnWidth(column); }

void TFrm_Config::SetColumnWidth(bool list, int column, int width)
{
    if (column >= 0 && column < kConfigViewColumns && width >= 0)
        (list ? vstList_ : vstTree_)->setColumnWidth(column, width);
}

QWidget* TFrm_Config::DetailControl(const std::string& name) const
{
    return name.empty() ? nullptr : pages_->findChild<QWidget*>(QString::fromStdString(name));
}

bool TFrm_Config::eventFilter(QObject* watched, QEvent* event)
{
    const bool tree = watched == vstTree_ || watched == vstTree_->viewport();
    const bool list = watched == vstList_ || watched == vstList_->viewport();
    if (!tree && !list)
        return QWidget::eventFilter(watched, event);
    auto* selection = tree ? treeSelection_ : listSelection_;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        selection->NewGesture();
        break;
    case QEvent::KeyPress:
        selection->NewGesture();
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete && (watched == vstTree_ || watched == vstList_)) {
            DeleteExecute();
            return true;
        }
        // Clipboard: the views' own text copy would reach the desktop's clipboard.
        if (static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy))
            return true;
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace vos

// The editor's clipboard (one remembered node, never the desktop's clipboard), duplicating,
// moving variables and folders by dragging them inside VST_Tree, and the import command's
// side in the frame.
#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPersistentModelIndex>
#include <QPointer>
#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config_list_model.h"
#include "config_model.h"
#include "config_settings.h"
#include "config_validate.h"
#include "decl_import.h"
#include "frm_config.h"

namespace vos {

namespace {

// What a drag of VST_Tree carries: the frame that started it and its rows, which follow
// their nodes through moves and go invalid when a node is deleted.
class TConfigDragData final : public QMimeData {
public:
    TConfigDragData(const TFrm_Config* frame, std::vector<QPersistentModelIndex> rows)
        : Frame(frame), Rows(std::move(rows))
    {
        setData(QString::fromLatin1(kConfigNodesMimeType), QByteArray::number(static_cast<qlonglong>(Rows.size())));
    }
    const TFrm_Config* Frame;
    const std::vector<QPersistentModelIndex> Rows;
};

// Levels of node's subtree, node's own included.
int SubtreeHeight(const TConfigNode* node)
{
    int height = 0;
    std::vector<std::pair<const TConfigNode*, int>> stack{{node, 1}};
    while (!stack.empty()) {
        const auto [n, level] = stack.back();
        stack.pop_back();
        // Children without children add one level; only the others are walked.
        height = std::max(height, n->HasChildren() ? level + 1 : level);
        for (int i = 0; i < n->ChildCount(); ++i)
            if (n->Child(i)->HasChildren())
                stack.emplace_back(n->Child(i), level + 1);
    }
    return height;
}

// Where a node dropped on target goes: a variable target takes it beside itself.
TConfigNode* DropParent(TConfigNode* target)
{
    return target->Rec().Kind == nkVariable ? target->Parent() : target;
}

// The drop's test of one dragged node; parentDepth is the depth of DropParent(target).
bool MayDrop(const TConfigNode* node, const TConfigNode* target, int parentDepth)
{
    const auto& rec = node->Rec();
    const auto targetKind = target->Rec().Kind;
    if (node->Parent() == target || !rec.Editable)
        return false;  // there already, or generated
    if (rec.Kind != nkVariable && rec.Kind != nkFolder)
        return false;
    if (targetKind != nkStation && targetKind != nkVariable && targetKind != nkFolder)
        return false;
    if (targetKind == nkVariable && node->Parent() == target->Parent())
        return false;
    if (node->Contains(target))
        return false;
    // The file reader refuses a tree deeper than that.
    return parentDepth + SubtreeHeight(node) <= kMaxTreeDepth;
}

// Node creation without the validator over a scope.
class TValidatorDetached {
public:
    explicit TValidatorDetached(TConfigEditor& editor) : editor_(editor), validator_(editor.Validator())
    {
        editor_.SetValidator(nullptr);
    }
    ~TValidatorDetached() { editor_.SetValidator(validator_); }
    TValidatorDetached(const TValidatorDetached&) = delete;
    TValidatorDetached& operator=(const TValidatorDetached&) = delete;

private:
    TConfigEditor& editor_;
    TConfigValidator* validator_;
};

}  // namespace

// --- TConfigTreeView ---

TConfigTreeView::TConfigTreeView(TFrm_Config& frame, QWidget* parent) : QTreeView(parent), frame_(frame)
{
    // The stock drag would remove the rows that any target took as a move; drags start from
    // the frame instead.
    setDragEnabled(false);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
}

QItemSelectionModel::SelectionFlags TConfigTreeView::selectionCommand(const QModelIndex& index,
                                                                      const QEvent* event) const
{
    // A press on a selected row may begin a drag of the whole selection; without a drag, the
    // release selects that row alone, as a plain click does.
    if (pressOnSelected_ && event && index.isValid()) {
        if (event->type() == QEvent::MouseButtonPress)
            return QItemSelectionModel::NoUpdate;
        if (event->type() == QEvent::MouseButtonRelease)
            return QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
    }
    return QTreeView::selectionCommand(index, event);
}

void TConfigTreeView::mousePressEvent(QMouseEvent* event)
{
    pressPos_ = event->position().toPoint();
    dragged_ = false;
    const QModelIndex index = indexAt(pressPos_);
    pressOnSelected_ = event->button() == Qt::LeftButton &&
                       !(event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier)) && index.isValid() &&
                       selectionModel() && selectionModel()->isSelected(index);
    QTreeView::mousePressEvent(event);
}

void TConfigTreeView::mouseMoveEvent(QMouseEvent* event)
{
    if (pressOnSelected_ && (event->buttons() & Qt::LeftButton)) {
        if ((event->position().toPoint() - pressPos_).manhattanLength() >= QApplication::startDragDistance()) {
            pressOnSelected_ = false;
            dragged_ = true;
            frame_.VST_TreeStartDrag();
        }
        return;  // no drag-selecting from a selected row
    }
    QTreeView::mouseMoveEvent(event);
}

void TConfigTreeView::mouseReleaseEvent(QMouseEvent* event)
{
    if (dragged_) {
        dragged_ = false;
        setState(NoState);
        return;  // the drag was the gesture: the selection stays
    }
    QTreeView::mouseReleaseEvent(event);
    pressOnSelected_ = false;
}

void TConfigTreeView::startDrag(Qt::DropActions /*supportedActions*/) { frame_.VST_TreeStartDrag(); }

void TConfigTreeView::dragEnterEvent(QDragEnterEvent* event)
{
    // The moves decide; only data of this program's kind is looked at.
    if (event->mimeData() && event->mimeData()->hasFormat(QString::fromLatin1(kConfigNodesMimeType))) {
        setState(DraggingState);
        event->accept();
    } else {
        event->ignore();
    }
}

void TConfigTreeView::dragMoveEvent(QDragMoveEvent* event)
{
    QTreeView::dragMoveEvent(event);  // scrolls near the edges
    TConfigNode* target = frame_.TreeModel()->NodeOf(indexAt(event->position().toPoint()));
    if (frame_.VST_TreeDragOver(event->source(), event->mimeData(), target)) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void TConfigTreeView::dropEvent(QDropEvent* event)
{
    stopAutoScroll();
    setState(NoState);
    viewport()->update();
    TConfigNode* target = frame_.TreeModel()->NodeOf(indexAt(event->position().toPoint()));
    if (!frame_.VST_TreeDragOver(event->source(), event->mimeData(), target)) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
    frame_.VST_TreeDragDrop(event->source(), event->mimeData(), target);
}

// --- The commands ---

// One CopySubtree: the nodes it made, and what it knows of the source's conflicts.
struct TFrm_Config::TCopyRun {
    std::unordered_set<const TConfigNode*> Made;
    bool MirroredScope = false;
    std::unordered_set<const TConfigNode*> Conflicted;
};

void TFrm_Config::TBtn_CutClick()
{
    if (!VST_TreeFocusChanging())
        return;  // the conflict has been reported
    TConfigNode* node = FirstSelectedTreeNode();
    if (!node || !node->Rec().Editable)
        return;
    editor_.SetClipboardNode(node);
    treeModel_->SetCutNode(node);
    listModel_->SetCutNode(node);
    EnableCommands(node);
}

void TFrm_Config::TBtn_CopyClick()
{
    TConfigNode* node = FirstSelectedTreeNode();
    if (!node) {
        editor_.SetClipboardNode(nullptr);
        return;
    }
    // A generated item pasted elsewhere would bind its service code twice in a station.
    if (!node->Rec().Editable)
        return;
    editor_.SetClipboardNode(node);
    EnableCommands(node);
}

void TFrm_Config::TBtn_PasteClick()
{
    if (!VST_TreeFocusChanging())
        return;
    TConfigNode* target = FirstSelectedTreeNode();
    TConfigNode* clip = editor_.ClipboardNode();
    if (!target || !clip)
        return;
    // The command may have been enabled for another selected node.
    const auto commands = editor_.EnableCommands(target);
    if (!commands || !commands->Paste)
        return;
    TConfigNode* result = nullptr;
    if (treeModel_->CutNode() == clip) {
        // Placed where a copy would go; never into its own subtree or below the deepest level.
        TConfigNode* parent = editor_.ValidateParentNode(clip->Rec().Kind, target);
        if (!parent || clip->Contains(parent))
            return;
        {
            TUpdateLockScope lock(editor_);
            TOwnMove own(*this);
            if (!editor_.Tree().MoveNode(clip, parent))
                return;
        }
        treeModel_->SetCutNode(nullptr);
        listModel_->SetCutNode(nullptr);
        result = clip;
    } else {
        result = CopySubtree(clip, target);
    }
    if (!result)
        return;
    editor_.AddToChangeList(result);
    editor_.SetChanged(true);
    RefreshListAfterMove();
}

void TFrm_Config::TBtn_DuplicateClick()
{
    if (!VST_TreeFocusChanging())
        return;
    TConfigNode* node = FirstSelectedTreeNode();
    if (!node || node->Rec().Kind == nkServer || !node->Rec().Editable)
        return;
    TConfigNode* copy = CopySubtree(node, node->Parent());
    if (!copy)
        return;
    editor_.SetChanged(true);
    {
        TUpdateLockScope lock(editor_);
        TOwnMove own(*this);
        if (editor_.ListActive()) {
            // The list drives the page: the copy is shown there when the list holds it.
            RefreshListAfterMove();
            if (FindListNode(copy).isValid())
                SelectListNode(copy);
            else
                editor_.SetListActive(false);
        }
        SelectTreeNode(copy);
    }
    ShowSelection(vstTree_);
}

TConfigNode* TFrm_Config::CopySubtree(TConfigNode* source, TConfigNode* target)
{
    auto& tree = editor_.Tree();
    if (!source || !target || source->IsRoot() || !tree.Owns(source) || !tree.Owns(target) ||
        source->Rec().Kind == nkServer)
        return nullptr;
    TCopyRun run;
    // With names unique per station, a copied station is the scope of everything copied into
    // it, and that scope mirrors the source's: a copy can only be in conflict there when its
    // source is. One pass over the tree finds those, instead of one walk of the new station
    // per copy.
    if (VarUniqueInStation() && source->Rec().Kind == nkStation && editor_.Validator()) {
        run.MirroredScope = true;
        for (const auto& conflict : CheckWholeTree(tree))
            if (source->Contains(conflict.Node))
                run.Conflicted.insert(conflict.Node);
    }
    TUpdateLockScope lock(editor_);
    TConfigTreeUpdate update(tree);
    return CopySubtreeOf(source, target, run);
}

TConfigNode* TFrm_Config::CopySubtreeOf(TConfigNode* source, TConfigNode* target, TCopyRun& run)
{
    // Generated service folders and items are never duplicated in place.
    if (!source->Rec().Editable && source->Parent() == target)
        return nullptr;
    TConfigNode* copy = nullptr;
    {
        // CopyNode replaces every field that creation's repair could set, so creation checks
        // nothing: otherwise each copy is checked against all its siblings made before it.
        TValidatorDetached detached(editor_);
        copy = editor_.CreateNode(source->Rec().Kind, target);
    }
    if (!copy)
        return nullptr;
    run.Made.insert(copy);
    const bool repair = VarUniqueInStation() || source->Parent() == copy->Parent();
    CopyNode(*source, *copy);
    if (repair && run.MirroredScope && copy->Rec().Kind != nkStation && !run.Conflicted.contains(source)) {
        copy->Rec().Valid = 1;  // what the validation would find
    } else if (repair && editor_.Validator()) {
        editor_.Validator()->ValidateNode(*copy, true);
        editor_.Tree().NotifyChanged(copy);
    }
    // Nodes made by this paste are skipped: a copy into the source's own subtree is not
    // copied again.
    for (TConfigNode* child = source->FirstChild(); child; child = child->NextSibling()) {
        if (run.Made.contains(child))
            continue;
        if (!CopySubtreeOf(child, copy, run))
            break;  // no level left below; its siblings would fail the same way
    }
    return copy;
}

void TFrm_Config::CopyNode(const TConfigNode& source, TConfigNode& copy)
{
    TConfigNodeRec rec = source.Rec();
    const TConfigNodeRec& own = copy.Rec();
    rec.Ordinal = own.Ordinal;
    rec.TreeNode = own.TreeNode;
    rec.Valid = own.Valid;
    rec.Saved = own.Saved;
    copy.SetRec(std::move(rec));
    if (editor_.Tree().Owns(&copy))
        editor_.Tree().NotifyChanged(&copy);
}

// --- Drag and drop ---

std::vector<TConfigNode*> TFrm_Config::DraggedNodes(const QObject* source, const QMimeData* data) const
{
    // Drops from other windows, programs or instances carry no nodes of this tree.
    if (!data || source != vstTree_)
        return {};
    const auto* drag = dynamic_cast<const TConfigDragData*>(data);
    if (!drag || drag->Frame != this)
        return {};
    std::vector<TConfigNode*> nodes;
    nodes.reserve(drag->Rows.size());
    for (const auto& row : drag->Rows)
        if (auto* node = treeModel_->NodeOf(row))
            nodes.push_back(node);
    return nodes;
}

bool TFrm_Config::VST_TreeDragOver(const QObject* source, const QMimeData* data, TConfigNode* target)
{
    if (!target || target->IsRoot() || !editor_.Tree().Owns(target))
        return false;
    const auto nodes = DraggedNodes(source, data);
    if (nodes.empty())
        return false;
    const int parentDepth = DropParent(target)->Depth();
    return std::all_of(nodes.begin(), nodes.end(),
                       [&](const TConfigNode* node) { return MayDrop(node, target, parentDepth); });
}

void TFrm_Config::VST_TreeDragDrop(const QObject* source, const QMimeData* data, TConfigNode* target)
{
    if (!target || target->IsRoot() || !editor_.Tree().Owns(target))
        return;
    TConfigNode* parent = DropParent(target);
    const int parentDepth = parent->Depth();
    std::vector<TConfigNode*> moving;
    for (auto* node : DraggedNodes(source, data))
        if (MayDrop(node, target, parentDepth))
            moving.push_back(node);
    if (moving.empty())
        return;
    const bool before = target->Rec().Kind == nkVariable;
    bool moved = false;
    {
        TUpdateLockScope lock(editor_);
        TOwnMove own(*this);
        for (auto it = moving.rbegin(); it != moving.rend(); ++it) {
            TConfigNode* node = *it;
            // By node: the target's row is read after the moves before this one.
            if (!editor_.Tree().MoveNode(node, parent, before ? target->Index() : -1))
                continue;
            node->Rec().Valid = 0;
            node->Rec().Saved = 0;
            editor_.Tree().NotifyChanged(node);
            editor_.AddToChangeList(node);
            moved = true;
        }
    }
    if (!moved)
        return;
    editor_.SetChanged(true);
    RefreshListAfterMove();
}

void TFrm_Config::VST_TreeStartDrag()
{
    if (treeSelection_->Refused())
        return;  // the press was refused: this gesture does nothing
    std::vector<QPersistentModelIndex> rows;
    for (auto* node : SelectedTreeNodes())
        rows.emplace_back(treeModel_->IndexOf(node));
    if (rows.empty())
        return;
    QPointer<QDrag> drag = new QDrag(vstTree_);
    drag->setMimeData(new TConfigDragData(this, std::move(rows)));
    // Whatever the target did, nothing is removed here: only the drop handler moves nodes.
    if (seams_.ExecDrag)
        seams_.ExecDrag(*drag);
    else
        drag->exec(Qt::MoveAction, Qt::MoveAction);
    delete drag.data();
}

void TFrm_Config::RefreshListAfterMove()
{
    TUpdateLockScope lock(editor_);
    TOwnMove own(*this);
    if (!editor_.ListActive()) {
        UpdateStatusBar(FirstSelectedTreeNode());
        return;
    }
    const auto selected = SelectedListNodes();
    TConfigNode* current = listModel_->NodeOf(listSelection_->currentIndex());
    UpdateStatusBar(listModel_->Shown());
    QItemSelection selection;
    for (auto* node : selected)
        if (const QModelIndex index = FindListNode(node); index.isValid())
            selection.select(index, index);
    listSelection_->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (const QModelIndex index = FindListNode(current); index.isValid())
        listSelection_->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
}

// --- Import ---

int TFrm_Config::ImportConfiguration()
{
    TConfigNode* target = FirstSelectedTreeNode();
    const auto commands = editor_.EnableCommands(target);
    if (!commands || !commands->Import)
        return kImportCancelled;
    TDeclImporter importer(editor_);
    importer.SetUi(fileUi_.get());
    importer.SetShowSelection([this](const std::vector<TConfigNode*>& nodes) {
        {
            TUpdateLockScope lock(editor_);
            TOwnMove own(*this);
            // The tree shows them wherever they lie; the list may not hold them.
            editor_.SetListActive(false);
            QItemSelection selection;
            const TConfigNode* expanded = nullptr;
            for (std::size_t i = 0; i < nodes.size();) {
                // Runs of adjacent siblings make one range each.
                std::size_t j = i + 1;
                while (j < nodes.size() && nodes[j]->Parent() == nodes[i]->Parent() &&
                       nodes[j]->Index() == nodes[j - 1]->Index() + 1)
                    ++j;
                selection.select(treeModel_->IndexOf(nodes[i]), treeModel_->IndexOf(nodes[j - 1]));
                if (nodes[i]->Parent() != expanded) {
                    expanded = nodes[i]->Parent();
                    for (const TConfigNode* p = expanded; p && !p->IsRoot(); p = p->Parent())
                        vstTree_->expand(treeModel_->IndexOf(p));
                }
                i = j;
            }
            treeSelection_->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            if (!nodes.empty()) {
                const QModelIndex first = treeModel_->IndexOf(nodes.front());
                treeSelection_->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
                vstTree_->scrollTo(first);
            }
        }
        ShowSelection();
        editor_.SetModified(true);
        vstTree_->viewport()->update();
        vstList_->viewport()->update();
    });
    return importer.ImportConfiguration(target);
}

}  // namespace vos

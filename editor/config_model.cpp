#include "config_model.h"

#include <QString>

#include "config_view_text.h"

namespace vos {

TConfigModel::TConfigModel(TConfigTree& tree, QObject* parent) : QAbstractItemModel(parent), tree_(&tree)
{
    tree_->AddObserver(this);
}

TConfigModel::~TConfigModel()
{
    if (tree_)
        tree_->RemoveObserver(this);
}

TConfigNode* TConfigModel::NodeOf(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return static_cast<TConfigNode*>(index.internalPointer());
}

QModelIndex TConfigModel::IndexOf(const TConfigNode* node) const
{
    if (!node || node->IsRoot())
        return {};
    return createIndex(node->Index(), 0, const_cast<TConfigNode*>(node));
}

const TConfigNode* TConfigModel::ParentNode(const QModelIndex& parent) const
{
    if (!tree_)
        return nullptr;
    if (!parent.isValid())
        return tree_->Root();
    // Only column 0 has children.
    return parent.column() == 0 ? NodeOf(parent) : nullptr;
}

QModelIndex TConfigModel::index(int row, int column, const QModelIndex& parent) const
{
    const auto* p = ParentNode(parent);
    if (!p || column < 0 || column >= kConfigViewColumns)
        return {};
    const auto* node = p->Child(row);
    return node ? createIndex(row, column, const_cast<TConfigNode*>(node)) : QModelIndex();
}

QModelIndex TConfigModel::parent(const QModelIndex& child) const
{
    const auto* node = NodeOf(child);
    return node ? IndexOf(node->Parent()) : QModelIndex();
}

int TConfigModel::rowCount(const QModelIndex& parent) const
{
    const auto* p = ParentNode(parent);
    return p ? p->ChildCount() : 0;
}

int TConfigModel::columnCount(const QModelIndex& parent) const
{
    // Qt asks a parent's column count too; only column 0 has children.
    return !parent.isValid() || parent.column() == 0 ? kConfigViewColumns : 0;
}

QVariant TConfigModel::data(const QModelIndex& index, int role) const
{
    auto* node = NodeOf(index);
    if (!node)
        return {};
    if (role == NodeRole)
        return QVariant::fromValue(node);
    return ConfigCellData(node->Rec(), index.column(), role, cutNode_ && cutNode_->Contains(node));
}

QVariant TConfigModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kConfigViewColumns)
        return {};
    return ConfigColumnCaption(section);
}

void TConfigModel::RetranslateHeaders()
{
    emit headerDataChanged(Qt::Horizontal, 0, kConfigViewColumns - 1);
    // Columns 3 and 4 show catalogue texts.
    if (tree_)
        EmitSubtreeChanged(tree_->Root(), {Qt::DisplayRole});
}

void TConfigModel::EmitSubtreeChanged(const TConfigNode* top, const QList<int>& roles)
{
    if (!top->IsRoot()) {
        const auto index = IndexOf(top);
        emit dataChanged(index, index.siblingAtColumn(kConfigViewColumns - 1), roles);
    }
    // One range per parent: a view repaints what it shows of each.
    const auto* end = top->IsRoot() ? nullptr : TConfigTree::NextSkippingChildren(top);
    for (const TConfigNode* n = top; n && n != end; n = TConfigTree::Next(n)) {
        if (!n->HasChildren())
            continue;
        const auto parent = IndexOf(n);
        emit dataChanged(index(0, 0, parent), index(n->ChildCount() - 1, kConfigViewColumns - 1, parent), roles);
    }
}

void TConfigModel::SetCutNode(const TConfigNode* node)
{
    if (node == cutNode_ || !tree_)
        return;
    const auto* old = cutNode_;
    cutNode_ = node && tree_->Owns(node) && !node->IsRoot() ? node : nullptr;
    for (const auto* n : {old, cutNode_})
        if (n)
            EmitSubtreeChanged(n, {Qt::ForegroundRole});
}

void TConfigModel::RowsAboutToBeInserted(TConfigNode* parent, int first, int last)
{
    beginInsertRows(IndexOf(parent), first, last);
}

void TConfigModel::RowsInserted(TConfigNode*, int, int) { endInsertRows(); }

void TConfigModel::RowsAboutToBeRemoved(TConfigNode* parent, int first, int last)
{
    beginRemoveRows(IndexOf(parent), first, last);
}

void TConfigModel::RowsRemoved(TConfigNode*, int, int) { endRemoveRows(); }

void TConfigModel::RowsAboutToBeMoved(TConfigNode* from, int first, int last, TConfigNode* to, int destRow)
{
    // The tree refuses the moves Qt would refuse, so this always begins.
    [[maybe_unused]] const bool ok = beginMoveRows(IndexOf(from), first, last, IndexOf(to), destRow);
    Q_ASSERT(ok);
}

void TConfigModel::RowsMoved(TConfigNode*, int, int, TConfigNode*, int) { endMoveRows(); }

QList<QPersistentModelIndex> TConfigModel::ParentIndexes(const std::vector<TConfigNode*>& parents) const
{
    QList<QPersistentModelIndex> out;
    for (auto* p : parents)
        out.append(QPersistentModelIndex(IndexOf(p)));
    return out;
}

void TConfigModel::LayoutAboutToBeChanged(const std::vector<TConfigNode*>& parents)
{
    emit layoutAboutToBeChanged(ParentIndexes(parents), QAbstractItemModel::VerticalSortHint);
    layoutFrom_ = persistentIndexList();
    layoutNodes_.clear();
    layoutNodes_.reserve(static_cast<std::size_t>(layoutFrom_.size()));
    for (const auto& index : layoutFrom_)
        layoutNodes_.push_back(NodeOf(index));
}

void TConfigModel::LayoutChanged(const std::vector<TConfigNode*>& parents)
{
    // A sort keeps the nodes; each persistent index follows its node to its new row.
    QModelIndexList to;
    to.reserve(layoutFrom_.size());
    for (qsizetype i = 0; i < layoutFrom_.size(); ++i) {
        const auto* node = layoutNodes_[static_cast<std::size_t>(i)];
        to.append(node ? createIndex(node->Index(), layoutFrom_[i].column(), const_cast<TConfigNode*>(node))
                       : QModelIndex());
    }
    changePersistentIndexList(layoutFrom_, to);
    layoutFrom_.clear();
    layoutNodes_.clear();
    emit layoutChanged(ParentIndexes(parents), QAbstractItemModel::VerticalSortHint);
}

void TConfigModel::ModelAboutToBeReset() { beginResetModel(); }

void TConfigModel::ModelReset() { endResetModel(); }

void TConfigModel::DataChanged(TConfigNode* node)
{
    const auto index = IndexOf(node);
    emit dataChanged(index, index.siblingAtColumn(kConfigViewColumns - 1));
}

void TConfigModel::NodesAboutToBeDeleted(TConfigNode* top)
{
    if (cutNode_ && top->Contains(cutNode_))
        cutNode_ = nullptr;
}

void TConfigModel::TreeDestroyed()
{
    beginResetModel();
    cutNode_ = nullptr;
    tree_ = nullptr;
    endResetModel();
}

}  // namespace vos

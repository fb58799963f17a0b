#include "config_model.h"

#include <QString>

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
    if (!p || column != 0)
        return {};
    return IndexOf(p->Child(row));
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

int TConfigModel::columnCount(const QModelIndex& /*parent*/) const { return 1; }

QVariant TConfigModel::data(const QModelIndex& index, int role) const
{
    auto* node = NodeOf(index);
    if (!node)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(node->Rec().Name);
    case NodeRole:
        return QVariant::fromValue(node);
    default:
        return {};
    }
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
    emit dataChanged(index, index);
}

void TConfigModel::TreeDestroyed()
{
    beginResetModel();
    tree_ = nullptr;
    endResetModel();
}

}  // namespace vos

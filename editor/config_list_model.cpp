#include "config_list_model.h"

#include <algorithm>

#include "config_model.h"
#include "config_sort.h"

namespace vos {

TConfigListModel::TConfigListModel(TConfigTree& tree, QObject* parent) : QAbstractItemModel(parent), tree_(&tree)
{
    tree_->AddObserver(this);
}

TConfigListModel::~TConfigListModel()
{
    if (tree_)
        tree_->RemoveObserver(this);
}

QModelIndex TConfigListModel::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 ||
        column >= kConfigViewColumns)
        return {};
    return createIndex(row, column);
}

QModelIndex TConfigListModel::parent(const QModelIndex& /*child*/) const { return {}; }

int TConfigListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TConfigListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kConfigViewColumns;
}

TConfigNode* TConfigListModel::NodeOf(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this || index.row() >= static_cast<int>(rows_.size()))
        return nullptr;
    return rows_[static_cast<std::size_t>(index.row())];
}

QModelIndex TConfigListModel::IndexOf(const TConfigNode* treeNode) const
{
    const auto it = rowOf_.find(treeNode);
    return it == rowOf_.end() ? QModelIndex() : createIndex(it->second, 0);
}

QVariant TConfigListModel::data(const QModelIndex& index, int role) const
{
    auto* node = NodeOf(index);
    if (!node)
        return {};
    if (role == TConfigModel::NodeRole)
        return QVariant::fromValue(node);
    return ConfigCellData(node->Rec(), index.column(), role, cutNode_ && cutNode_->Contains(node));
}

QVariant TConfigListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kConfigViewColumns)
        return {};
    return ConfigColumnCaption(section);
}

void TConfigListModel::Collect(TConfigNode* node, bool flat, TListCounts& counts, int depth)
{
    // The tree holds no level below kMaxTreeDepth, so this recursion is bounded.
    for (int i = 0; i < node->ChildCount(); ++i) {
        auto* child = node->Child(i);
        if (child->Rec().Kind != nkFolder) {
            ++counts.Items;
            rows_.push_back(child);
        } else if (!flat) {
            ++counts.Folders;
            rows_.push_back(child);
        } else if (depth < kMaxTreeDepth) {
            Collect(child, true, counts, depth + 1);
        }
    }
}

void TConfigListModel::Reindex()
{
    rowOf_.clear();
    rowOf_.reserve(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i)
        rowOf_.emplace(rows_[i], static_cast<int>(i));
}

TListCounts TConfigListModel::Fill(TConfigNode* node, bool flat)
{
    TListCounts counts;
    beginResetModel();
    rows_.clear();
    shown_ = node && tree_ && tree_->Owns(node) ? node : nullptr;
    if (shown_)
        Collect(shown_, flat, counts, 0);
    Reindex();
    endResetModel();
    return counts;
}

void TConfigListModel::Clear() { Fill(nullptr, false); }

void TConfigListModel::Sort(int column, bool descending)
{
    if (rows_.size() < 2)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const auto from = persistentIndexList();
    std::vector<TConfigNode*> held;
    held.reserve(static_cast<std::size_t>(from.size()));
    for (const auto& index : from)
        held.push_back(NodeOf(index));
    SortConfigNodes(rows_, column, descending);
    Reindex();
    QModelIndexList to;
    to.reserve(from.size());
    for (qsizetype i = 0; i < from.size(); ++i) {
        const auto it = rowOf_.find(held[static_cast<std::size_t>(i)]);
        to.append(it == rowOf_.end() ? QModelIndex() : createIndex(it->second, from[i].column()));
    }
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void TConfigListModel::RetranslateHeaders()
{
    emit headerDataChanged(Qt::Horizontal, 0, kConfigViewColumns - 1);
    if (!rows_.empty())
        emit dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1, kConfigViewColumns - 1),
                         {Qt::DisplayRole});
}

void TConfigListModel::SetCutNode(const TConfigNode* node)
{
    if (node == cutNode_)
        return;
    cutNode_ = node;
    if (!rows_.empty())
        emit dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1, kConfigViewColumns - 1),
                         {Qt::ForegroundRole});
}

void TConfigListModel::EmitRowChanged(int row)
{
    emit dataChanged(index(row, 0), index(row, kConfigViewColumns - 1));
}

void TConfigListModel::ModelAboutToBeReset()
{
    // A reset rebuilds the tree: no row may outlive it.
    Fill(nullptr, false);
}

void TConfigListModel::DataChanged(TConfigNode* node)
{
    const auto it = rowOf_.find(node);
    if (it != rowOf_.end())
        EmitRowChanged(it->second);
}

void TConfigListModel::NodesAboutToBeDeleted(TConfigNode* top)
{
    if (cutNode_ && top->Contains(cutNode_))
        cutNode_ = nullptr;
    if (shown_ && top->Contains(shown_))
        shown_ = nullptr;  // every row lies below it and goes below
    if (rows_.empty())
        return;
    // The listed rows inside the subtree: looked up node by node for a small subtree, else
    // by one pass over the rows.
    std::vector<int> gone;
    const std::size_t lookUpLimit = rows_.size() / 4 + 1;
    std::size_t walked = 0;
    const auto* end = TConfigTree::NextSkippingChildren(top);
    for (const TConfigNode* n = top; n && n != end && walked <= lookUpLimit; n = TConfigTree::Next(n), ++walked) {
        const auto it = rowOf_.find(n);
        if (it != rowOf_.end())
            gone.push_back(it->second);
    }
    if (walked > lookUpLimit) {
        gone.clear();
        for (std::size_t i = 0; i < rows_.size(); ++i)
            if (top->Contains(rows_[i]))
                gone.push_back(static_cast<int>(i));
    } else {
        std::sort(gone.begin(), gone.end());
    }
    // Runs of adjacent rows, last first so that the earlier rows keep their numbers.
    while (!gone.empty()) {
        const int last = gone.back();
        int first = last;
        gone.pop_back();
        while (!gone.empty() && gone.back() == first - 1) {
            first = gone.back();
            gone.pop_back();
        }
        RemoveRows(first, last);
    }
}

void TConfigListModel::RemoveRows(int first, int last)
{
    beginRemoveRows({}, first, last);
    for (int i = first; i <= last; ++i)
        rowOf_.erase(rows_[static_cast<std::size_t>(i)]);
    rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
    for (auto i = static_cast<std::size_t>(first); i < rows_.size(); ++i)
        rowOf_[rows_[i]] = static_cast<int>(i);
    endRemoveRows();
}

void TConfigListModel::TreeDestroyed()
{
    beginResetModel();
    rows_.clear();
    rowOf_.clear();
    shown_ = nullptr;
    cutNode_ = nullptr;
    tree_ = nullptr;
    endResetModel();
}

}  // namespace vos

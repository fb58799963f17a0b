#pragma once
// The list view's model: the nodes under one tree node as flat rows, each row a reference to
// a tree node, with the same six columns and roles as the tree's model. It observes the tree,
// so a row never outlives its node: a deletion removes the rows of the deleted subtree in
// the same step. A moved node keeps its row (the commands that move refill the list), and a
// reset of the tree empties the list.
#include <QAbstractItemModel>
#include <unordered_map>
#include <vector>

#include "config_tree.h"
#include "config_view_text.h"

namespace vos {

class TConfigListModel final : public QAbstractItemModel, private TConfigTreeObserver {
    Q_OBJECT
public:
    explicit TConfigListModel(TConfigTree& tree, QObject* parent = nullptr);
    ~TConfigListModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Lists node's contents: its non-folder children, and its folders as rows (flat: their
    // contents instead, recursively). nullptr empties. Returns the counts of the status bar.
    TListCounts Fill(TConfigNode* node, bool flat);
    void Clear();
    // The node whose contents are listed; nullptr when empty by Clear.
    TConfigNode* Shown() const { return shown_; }
    // The tree node of a row; nullptr for an invalid index.
    TConfigNode* NodeOf(const QModelIndex& index) const;
    // The row (column 0) that refers to treeNode; invalid for none.
    QModelIndex IndexOf(const TConfigNode* treeNode) const;
    // Stable, by the views' rule for column.
    void Sort(int column, bool descending);
    // After a language change.
    void RetranslateHeaders();
    // The node being cut; its subtree's rows are drawn dimmed.
    void SetCutNode(const TConfigNode* node);

private:
    void ModelAboutToBeReset() override;
    void DataChanged(TConfigNode* node) override;
    void NodesAboutToBeDeleted(TConfigNode* top) override;
    void TreeDestroyed() override;

    void Collect(TConfigNode* node, bool flat, TListCounts& counts, int depth);
    void Reindex();
    void RemoveRows(int first, int last);
    void EmitRowChanged(int row);

    TConfigTree* tree_;
    TConfigNode* shown_ = nullptr;
    const TConfigNode* cutNode_ = nullptr;
    std::vector<TConfigNode*> rows_;
    std::unordered_map<const TConfigNode*, int> rowOf_;
};

}  // namespace vos

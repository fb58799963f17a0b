#pragma once
// The item model the editor's tree view shows: the six columns over the configuration tree,
// the cell texts and images, and the node itself under NodeRole. It forwards the tree's
// change reports, so it holds no state of its own beyond a sort's persistent indexes.
#include <QAbstractItemModel>
#include <QList>
#include <QModelIndex>
#include <QPersistentModelIndex>

#include "config_tree.h"

Q_DECLARE_METATYPE(vos::TConfigNode*)

namespace vos {

class TConfigModel final : public QAbstractItemModel, private TConfigTreeObserver {
    Q_OBJECT
public:
    // The TConfigNode* of an index.
    static constexpr int NodeRole = Qt::UserRole + 1;
    // The image index of a cell (int; -1 none) and column 0's state image (0, 1, -1 none).
    static constexpr int ImageIndexRole = Qt::UserRole + 2;
    static constexpr int StateImageRole = Qt::UserRole + 3;

    explicit TConfigModel(TConfigTree& tree, QObject* parent = nullptr);
    ~TConfigModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // After a language change: the column titles and every text from the catalogue.
    void RetranslateHeaders();
    // The node being cut (nullptr: none); its subtree is drawn dimmed.
    void SetCutNode(const TConfigNode* node);
    const TConfigNode* CutNode() const { return cutNode_; }

    // nullptr for the invalid index (the hidden root is not shown).
    TConfigNode* NodeOf(const QModelIndex& index) const;
    // The invalid index for nullptr and the hidden root.
    QModelIndex IndexOf(const TConfigNode* node) const;

private:
    void RowsAboutToBeInserted(TConfigNode* parent, int first, int last) override;
    void RowsInserted(TConfigNode* parent, int first, int last) override;
    void RowsAboutToBeRemoved(TConfigNode* parent, int first, int last) override;
    void RowsRemoved(TConfigNode* parent, int first, int last) override;
    void RowsAboutToBeMoved(TConfigNode* from, int first, int last, TConfigNode* to, int destRow) override;
    void RowsMoved(TConfigNode* from, int first, int last, TConfigNode* to, int destRow) override;
    void LayoutAboutToBeChanged(const std::vector<TConfigNode*>& parents) override;
    void LayoutChanged(const std::vector<TConfigNode*>& parents) override;
    void ModelAboutToBeReset() override;
    void ModelReset() override;
    void DataChanged(TConfigNode* node) override;
    void NodesAboutToBeDeleted(TConfigNode* top) override;
    void TreeDestroyed() override;

    // dataChanged for node and everything below it (the hidden root: every node).
    void EmitSubtreeChanged(const TConfigNode* top, const QList<int>& roles);
    QList<QPersistentModelIndex> ParentIndexes(const std::vector<TConfigNode*>& parents) const;
    const TConfigNode* ParentNode(const QModelIndex& parent) const;

    TConfigTree* tree_;
    const TConfigNode* cutNode_ = nullptr;
    // Held across a sort: the persistent indexes and the nodes they stand for.
    QModelIndexList layoutFrom_;
    std::vector<TConfigNode*> layoutNodes_;
};

}  // namespace vos

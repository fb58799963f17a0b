#pragma once
// The configuration tree: a hidden root whose nodes own their record and their children in
// order. Changes are reported to observers in the shape of QAbstractItemModel's begin/end
// calls, so that an item model over the tree only forwards them.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <vector>

#include "config_node.h"

namespace vos {

class TConfigTree;

// Deepest level a node may have; the top-level nodes are level 1. Readers of outside data
// and every command stop here, so nothing recurses without bound.
inline constexpr int kMaxTreeDepth = 256;

// Tree-view state bits that the configuration file carries.
enum TNodeStateBit : std::uint16_t {
    nsInitialized = 1u << 0,
    nsDisabled = 1u << 3,
    nsExpanded = 1u << 5,
    nsHasChildren = 1u << 6,
    nsVisible = 1u << 7,
    nsSelected = 1u << 8,
    nsAllChildrenHidden = 1u << 10,
};
// The bits a file keeps.
inline constexpr std::uint16_t kStoredStatesMask = 0xDDE9;
inline constexpr std::uint32_t kDefaultNodeHeight = 18;

// The tree-view fields of a node as the file stores them.
struct TNodeViewFields {
    std::uint16_t States = nsVisible;
    std::uint32_t Height = kDefaultNodeHeight;
    std::uint8_t Alignment = 0;
    std::uint8_t CheckState = 0;
    std::uint8_t CheckType = 0;
};

class TConfigNode {
public:
    TConfigNode(const TConfigNode&) = delete;
    TConfigNode& operator=(const TConfigNode&) = delete;

    TConfigNodeRec& Rec() { return rec_; }
    const TConfigNodeRec& Rec() const { return rec_; }
    // Replaces the record; TreeNode keeps pointing at this node.
    void SetRec(TConfigNodeRec rec);

    TNodeViewFields View;

    TConfigNode* Parent() const { return parent_; }  // nullptr for the hidden root
    bool IsRoot() const { return parent_ == nullptr; }
    int Index() const { return index_; }  // position among its siblings
    // Levels below the hidden root: 0 for the root, 1 for a top-level node.
    int Depth() const;
    int ChildCount() const { return static_cast<int>(children_.size()); }
    bool HasChildren() const { return !children_.empty(); }
    TConfigNode* Child(int index) const;  // nullptr outside 0..ChildCount()-1
    TConfigNode* FirstChild() const { return Child(0); }
    TConfigNode* LastChild() const { return Child(ChildCount() - 1); }
    TConfigNode* NextSibling() const;
    TConfigNode* PrevSibling() const;
    // Whether node lies in this node's subtree, this node included.
    bool Contains(const TConfigNode* node) const;

private:
    friend class TConfigTree;
    TConfigNode(TConfigNode* parent, TConfigNodeRec rec);
    void Renumber(std::size_t from);

    TConfigNodeRec rec_;
    TConfigNode* parent_;
    int index_ = 0;
    std::vector<std::unique_ptr<TConfigNode>> children_;
};

// Receives the tree's changes. Rows are positions among the children of parent; parent is
// the hidden root for top-level nodes. Between a reset's two calls nothing else is reported.
class TConfigTreeObserver {
public:
    virtual ~TConfigTreeObserver() = default;
    virtual void RowsAboutToBeInserted(TConfigNode* /*parent*/, int /*first*/, int /*last*/) {}
    virtual void RowsInserted(TConfigNode* /*parent*/, int /*first*/, int /*last*/) {}
    virtual void RowsAboutToBeRemoved(TConfigNode* /*parent*/, int /*first*/, int /*last*/) {}
    virtual void RowsRemoved(TConfigNode* /*parent*/, int /*first*/, int /*last*/) {}
    // destRow as QAbstractItemModel::beginMoveRows takes it: the row before which the node
    // goes, counted before the move.
    virtual void RowsAboutToBeMoved(TConfigNode* /*from*/, int /*first*/, int /*last*/, TConfigNode* /*to*/,
                                    int /*destRow*/)
    {
    }
    virtual void RowsMoved(TConfigNode* /*from*/, int /*first*/, int /*last*/, TConfigNode* /*to*/, int /*destRow*/) {}
    // A sort: the parents whose children may be reordered; empty for every level.
    virtual void LayoutAboutToBeChanged(const std::vector<TConfigNode*>& /*parents*/) {}
    virtual void LayoutChanged(const std::vector<TConfigNode*>& /*parents*/) {}
    virtual void ModelAboutToBeReset() {}
    virtual void ModelReset() {}
    virtual void DataChanged(TConfigNode* /*node*/) {}
    // The outermost BeginUpdate and EndUpdate.
    virtual void UpdateBegun() {}
    virtual void UpdateEnded() {}
    // Reported for every deletion, inside a reset too: node and its subtree are about to be
    // freed (the hidden root: every node). Holders of node pointers drop theirs here.
    virtual void NodesAboutToBeDeleted(TConfigNode* /*top*/) {}
    // The tree itself is going; observers must not touch it afterwards.
    virtual void TreeDestroyed() {}
};

// <0, 0, >0 as a is ordered before, with or after b.
using TNodeCompare = std::function<int(const TConfigNode& a, const TConfigNode& b)>;

class TConfigTree {
public:
    TConfigTree();
    ~TConfigTree();
    TConfigTree(const TConfigTree&) = delete;
    TConfigTree& operator=(const TConfigTree&) = delete;

    TConfigNode* Root() { return &root_; }
    const TConfigNode* Root() const { return &root_; }
    // Whether node is one of this tree's nodes (the hidden root included).
    bool Owns(const TConfigNode* node) const;

    // Adds a node as last child of parent; nullptr when parent is not of this tree or the
    // node would lie deeper than kMaxTreeDepth.
    TConfigNode* AddChild(TConfigNode* parent, TConfigNodeRec rec = {});
    // The same at a position; a position outside 0..ChildCount() appends.
    TConfigNode* InsertChild(TConfigNode* parent, int position, TConfigNodeRec rec = {});
    // Frees node with its subtree; false for the hidden root or a node of another tree.
    bool DeleteNode(TConfigNode* node);
    // Moves node under newParent so that it ends at position there (outside
    // 0..ChildCount()-1 after the move: last). False, changing nothing, for the hidden root,
    // a foreign node, a parent inside node's own subtree, or a move deeper than kMaxTreeDepth.
    bool MoveNode(TConfigNode* node, TConfigNode* newParent, int position = -1);
    // Frees every node but the hidden root, reported as a reset.
    void Clear();

    // Stable sorts: equal nodes keep their order.
    void SortChildren(TConfigNode* parent, const TNodeCompare& compare, bool recursive = false);
    void SortTree(const TNodeCompare& compare) { SortChildren(&root_, compare, true); }

    // Nodes without the hidden root.
    std::size_t NodeCount() const { return count_; }

    // Tree order (depth first, parents before their children), the hidden root left out.
    TConfigNode* First() const { return root_.FirstChild(); }
    TConfigNode* Last() const;
    static TConfigNode* Next(const TConfigNode* node);
    static TConfigNode* Previous(const TConfigNode* node);
    // The node after node in tree order that is not inside node's subtree.
    static TConfigNode* NextSkippingChildren(const TConfigNode* node);

    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = TConfigNode*;
        using difference_type = std::ptrdiff_t;
        using pointer = TConfigNode* const*;
        using reference = TConfigNode* const&;
        explicit Iterator(TConfigNode* node = nullptr) : node_(node) {}
        TConfigNode* operator*() const { return node_; }
        Iterator& operator++()
        {
            node_ = Next(node_);
            return *this;
        }
        Iterator operator++(int)
        {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator& other) const = default;

    private:
        TConfigNode* node_;
    };
    Iterator begin() const { return Iterator(First()); }
    Iterator end() const { return Iterator(); }

    // Batch updates; nested calls count. Observers hear of the outermost pair only.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return updates_; }
    // A reset: the rows' reports between the two calls are replaced by one reset.
    void BeginReset();
    void EndReset();
    bool Resetting() const { return resets_ > 0; }

    // A node's record changed.
    void NotifyChanged(TConfigNode* node);

    void AddObserver(TConfigTreeObserver* observer);
    void RemoveObserver(TConfigTreeObserver* observer);

private:
    template <class F>
    void Report(F&& f);
    bool Reporting() const { return resets_ == 0 && !observers_.empty(); }
    void SortLevel(TConfigNode* parent, const TNodeCompare& compare, bool recursive);
    static std::size_t SubtreeSize(const TConfigNode* node);
    static int SubtreeHeight(const TConfigNode* node);

    TConfigNode root_;
    std::size_t count_ = 0;
    int updates_ = 0;
    int resets_ = 0;
    std::vector<TConfigTreeObserver*> observers_;
};

// Holds a tree reset over a scope.
class TConfigTreeReset {
public:
    explicit TConfigTreeReset(TConfigTree& tree) : tree_(tree) { tree_.BeginReset(); }
    ~TConfigTreeReset() { tree_.EndReset(); }
    TConfigTreeReset(const TConfigTreeReset&) = delete;
    TConfigTreeReset& operator=(const TConfigTreeReset&) = delete;

private:
    TConfigTree& tree_;
};

// Holds a batch update over a scope.
class TConfigTreeUpdate {
public:
    explicit TConfigTreeUpdate(TConfigTree& tree) : tree_(tree) { tree_.BeginUpdate(); }
    ~TConfigTreeUpdate() { tree_.EndUpdate(); }
    TConfigTreeUpdate(const TConfigTreeUpdate&) = delete;
    TConfigTreeUpdate& operator=(const TConfigTreeUpdate&) = delete;

private:
    TConfigTree& tree_;
};

}  // namespace vos

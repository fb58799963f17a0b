#include "config_tree.h"

#include <algorithm>
#include <utility>

namespace vos {

// --- TConfigNode ---

TConfigNode::TConfigNode(TConfigNode* parent, TConfigNodeRec rec) : rec_(std::move(rec)), parent_(parent)
{
    rec_.TreeNode = this;
}

void TConfigNode::SetRec(TConfigNodeRec rec)
{
    rec_ = std::move(rec);
    rec_.TreeNode = this;
}

int TConfigNode::Depth() const
{
    int depth = 0;
    for (auto* n = parent_; n; n = n->parent_)
        ++depth;
    return depth;
}

TConfigNode* TConfigNode::Child(int index) const
{
    if (index < 0 || index >= ChildCount())
        return nullptr;
    return children_[static_cast<std::size_t>(index)].get();
}

TConfigNode* TConfigNode::NextSibling() const { return parent_ ? parent_->Child(index_ + 1) : nullptr; }

TConfigNode* TConfigNode::PrevSibling() const { return parent_ ? parent_->Child(index_ - 1) : nullptr; }

bool TConfigNode::Contains(const TConfigNode* node) const
{
    for (; node; node = node->parent_)
        if (node == this)
            return true;
    return false;
}

void TConfigNode::Renumber(std::size_t from)
{
    for (auto i = from; i < children_.size(); ++i)
        children_[i]->index_ = static_cast<int>(i);
}

// --- TConfigTree ---

TConfigTree::TConfigTree() : root_(nullptr, TConfigNodeRec{}) {}

TConfigTree::~TConfigTree()
{
    Report([](TConfigTreeObserver* o) { o->TreeDestroyed(); });
}

template <class F>
void TConfigTree::Report(F&& f)
{
    // By index: an observer may detach itself while it is told.
    for (std::size_t i = 0; i < observers_.size(); ++i)
        f(observers_[i]);
}

bool TConfigTree::Owns(const TConfigNode* node) const
{
    if (!node)
        return false;
    while (node->parent_)
        node = node->parent_;
    return node == &root_;
}

TConfigNode* TConfigTree::AddChild(TConfigNode* parent, TConfigNodeRec rec)
{
    return InsertChild(parent, -1, std::move(rec));
}

TConfigNode* TConfigTree::InsertChild(TConfigNode* parent, int position, TConfigNodeRec rec)
{
    if (!Owns(parent) || parent->Depth() >= kMaxTreeDepth)
        return nullptr;
    const int count = parent->ChildCount();
    if (position < 0 || position > count)
        position = count;
    if (Reporting())
        Report([&](TConfigTreeObserver* o) { o->RowsAboutToBeInserted(parent, position, position); });
    auto* node = new TConfigNode(parent, std::move(rec));
    parent->children_.insert(parent->children_.begin() + position, std::unique_ptr<TConfigNode>(node));
    parent->Renumber(static_cast<std::size_t>(position));
    ++count_;
    if (Reporting())
        Report([&](TConfigTreeObserver* o) { o->RowsInserted(parent, position, position); });
    return node;
}

bool TConfigTree::DeleteNode(TConfigNode* node)
{
    if (!Owns(node) || node->IsRoot())
        return false;
    auto* parent = node->parent_;
    const int row = node->index_;
    Report([&](TConfigTreeObserver* o) { o->NodesAboutToBeDeleted(node); });
    if (Reporting())
        Report([&](TConfigTreeObserver* o) { o->RowsAboutToBeRemoved(parent, row, row); });
    count_ -= SubtreeSize(node);
    parent->children_.erase(parent->children_.begin() + row);
    parent->Renumber(static_cast<std::size_t>(row));
    if (Reporting())
        Report([&](TConfigTreeObserver* o) { o->RowsRemoved(parent, row, row); });
    return true;
}

bool TConfigTree::MoveNode(TConfigNode* node, TConfigNode* newParent, int position)
{
    if (!Owns(node) || node->IsRoot() || !Owns(newParent) || node->Contains(newParent))
        return false;
    if (newParent->Depth() + SubtreeHeight(node) > kMaxTreeDepth)
        return false;
    auto* oldParent = node->parent_;
    const int oldRow = node->index_;
    const bool sameParent = oldParent == newParent;
    const int others = newParent->ChildCount() - (sameParent ? 1 : 0);
    if (position < 0 || position > others)
        position = others;
    if (sameParent && position == oldRow)
        return true;
    // Qt counts the destination before the node leaves its place.
    const int destRow = sameParent && position > oldRow ? position + 1 : position;
    if (Reporting())
        Report([&](TConfigTreeObserver* o) { o->RowsAboutToBeMoved(oldParent, oldRow, oldRow, newParent, destRow); });
    auto owned = std::move(oldParent->children_[static_cast<std::size_t>(oldRow)]);
    oldParent->children_.erase(oldParent->children_.begin() + oldRow);
    oldParent->Renumber(static_cast<std::size_t>(oldRow));
    newParent->children_.insert(newParent->children_.begin() + position, std::move(owned));
    node->parent_ = newParent;
    newParent->Renumber(static_cast<std::size_t>(position));
    if (Reporting())
        Report([&](TConfigTreeObserver* o) { o->RowsMoved(oldParent, oldRow, oldRow, newParent, destRow); });
    return true;
}

void TConfigTree::Clear()
{
    Report([&](TConfigTreeObserver* o) { o->NodesAboutToBeDeleted(&root_); });
    BeginReset();
    root_.children_.clear();
    count_ = 0;
    EndReset();
}

void TConfigTree::SortChildren(TConfigNode* parent, const TNodeCompare& compare, bool recursive)
{
    if (!Owns(parent) || !compare)
        return;
    // Every level below a node may change: Qt's empty parent list says so.
    std::vector<TConfigNode*> parents;
    if (!recursive)
        parents.push_back(parent);
    if (Reporting())
        Report([&](TConfigTreeObserver* o) { o->LayoutAboutToBeChanged(parents); });
    SortLevel(parent, compare, recursive);
    if (Reporting())
        Report([&](TConfigTreeObserver* o) { o->LayoutChanged(parents); });
}

void TConfigTree::SortLevel(TConfigNode* parent, const TNodeCompare& compare, bool recursive)
{
    auto& children = parent->children_;
    std::stable_sort(children.begin(), children.end(),
                     [&](const std::unique_ptr<TConfigNode>& a, const std::unique_ptr<TConfigNode>& b) {
                         return compare(*a, *b) < 0;
                     });
    parent->Renumber(0);
    if (recursive)
        for (auto& child : children)
            if (child->HasChildren())
                SortLevel(child.get(), compare, true);
}

TConfigNode* TConfigTree::Last() const
{
    TConfigNode* node = root_.LastChild();
    while (node && node->HasChildren())
        node = node->LastChild();
    return node;
}

TConfigNode* TConfigTree::Next(const TConfigNode* node)
{
    if (!node)
        return nullptr;
    if (node->HasChildren())
        return node->FirstChild();
    return NextSkippingChildren(node);
}

TConfigNode* TConfigTree::NextSkippingChildren(const TConfigNode* node)
{
    for (; node && !node->IsRoot(); node = node->parent_)
        if (auto* sibling = node->NextSibling())
            return sibling;
    return nullptr;
}

TConfigNode* TConfigTree::Previous(const TConfigNode* node)
{
    if (!node || node->IsRoot())
        return nullptr;
    if (auto* sibling = node->PrevSibling()) {
        while (sibling->HasChildren())
            sibling = sibling->LastChild();
        return sibling;
    }
    return node->parent_->IsRoot() ? nullptr : node->parent_;
}

void TConfigTree::BeginUpdate()
{
    if (updates_++ == 0)
        Report([](TConfigTreeObserver* o) { o->UpdateBegun(); });
}

void TConfigTree::EndUpdate()
{
    if (updates_ > 0 && --updates_ == 0)
        Report([](TConfigTreeObserver* o) { o->UpdateEnded(); });
}

void TConfigTree::BeginReset()
{
    if (resets_++ == 0)
        Report([](TConfigTreeObserver* o) { o->ModelAboutToBeReset(); });
}

void TConfigTree::EndReset()
{
    if (resets_ > 0 && --resets_ == 0)
        Report([](TConfigTreeObserver* o) { o->ModelReset(); });
}

void TConfigTree::NotifyChanged(TConfigNode* node)
{
    if (Reporting() && Owns(node) && !node->IsRoot())
        Report([&](TConfigTreeObserver* o) { o->DataChanged(node); });
}

void TConfigTree::AddObserver(TConfigTreeObserver* observer)
{
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void TConfigTree::RemoveObserver(TConfigTreeObserver* observer)
{
    std::erase(observers_, observer);
}

std::size_t TConfigTree::SubtreeSize(const TConfigNode* node)
{
    std::size_t size = 1;
    for (const auto& child : node->children_)
        size += SubtreeSize(child.get());
    return size;
}

int TConfigTree::SubtreeHeight(const TConfigNode* node)
{
    int height = 0;
    for (const auto& child : node->children_)
        height = std::max(height, SubtreeHeight(child.get()));
    return height + 1;
}

}  // namespace vos

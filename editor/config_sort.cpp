#include "config_sort.h"

#include <algorithm>
#include <unordered_map>

#include "config_editor.h"
#include "platform/text.h"

namespace vos {

namespace {

// Whether the column's rule for two nodes compares their names; then sort keys stand in.
bool ComparesNames(const TConfigNode& a, const TConfigNode& b, int column)
{
    return column == 0 || (column == 2 && a.Rec().Kind == nkFolder && b.Rec().Kind == nkFolder);
}

bool NeedsKey(const TConfigNode& node, int column)
{
    return column == 0 || (column == 2 && node.Rec().Kind == nkFolder);
}

// One sort's comparison: the editor's rule, with each name's collation key made once.
class TSortOrder {
public:
    TSortOrder(int column, bool descending) : column_(column), sign_(descending ? -1 : 1) {}

    void AddKeys(const TConfigNode& node)
    {
        if (NeedsKey(node, column_))
            keys_.try_emplace(&node, plat::textSortKeyLocale(node.Rec().Name));
    }
    void AddSubtreeKeys(const TConfigNode& parent, bool recursive)
    {
        for (int i = 0; i < parent.ChildCount(); ++i) {
            const auto* child = parent.Child(i);
            AddKeys(*child);
            if (recursive && child->HasChildren())
                AddSubtreeKeys(*child, true);
        }
    }
    void Reserve(std::size_t count) { keys_.reserve(count); }

    int operator()(const TConfigNode& a, const TConfigNode& b) const
    {
        int r;
        if (ComparesNames(a, b, column_))
            r = keys_.at(&a).compare(keys_.at(&b));
        else
            r = TConfigEditor::CompareNodes(a, b, column_);
        return sign_ * r;
    }

private:
    int column_;
    int sign_;
    std::unordered_map<const TConfigNode*, plat::TextSortKey> keys_;
};

std::size_t CountBelow(const TConfigNode& parent, bool recursive)
{
    std::size_t count = static_cast<std::size_t>(parent.ChildCount());
    if (recursive)
        for (int i = 0; i < parent.ChildCount(); ++i)
            count += CountBelow(*parent.Child(i), true);
    return count;
}

}  // namespace

void SortConfigChildren(TConfigTree& tree, TConfigNode* parent, int column, bool descending, bool recursive)
{
    if (!parent || !tree.Owns(parent))
        return;
    TSortOrder order(column, descending);
    if (column == 0 || column == 2) {
        order.Reserve(recursive && parent->IsRoot() ? tree.NodeCount() : CountBelow(*parent, recursive));
        order.AddSubtreeKeys(*parent, recursive);
    }
    tree.SortChildren(
        parent, [&order](const TConfigNode& a, const TConfigNode& b) { return order(a, b); }, recursive);
}

void SortConfigTree(TConfigTree& tree, int column, bool descending)
{
    SortConfigChildren(tree, tree.Root(), column, descending, true);
}

void SortConfigNodes(std::vector<TConfigNode*>& nodes, int column, bool descending)
{
    TSortOrder order(column, descending);
    if (column == 0 || column == 2) {
        order.Reserve(nodes.size());
        for (const auto* n : nodes)
            order.AddKeys(*n);
    }
    std::stable_sort(nodes.begin(), nodes.end(),
                     [&](const TConfigNode* a, const TConfigNode* b) { return order(*a, *b) < 0; });
}

}  // namespace vos

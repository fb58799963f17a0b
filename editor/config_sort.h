#pragma once
// The views' order of nodes by a column. Among nodes of one kind the column's rule applies;
// where kinds meet in a column whose rule differs by kind they are ordered by kind (stations
// before modems, folders before variables), so the order is a true order for any mix. Column
// 0 compares names through collation keys computed once per sort. Descending reverses the
// whole order; equal nodes keep their order.
#include <vector>

#include "config_tree.h"

namespace vos {

// Orders parent's children (recursive: every level below it too).
void SortConfigChildren(TConfigTree& tree, TConfigNode* parent, int column, bool descending, bool recursive);
// Every level of the tree.
void SortConfigTree(TConfigTree& tree, int column, bool descending);

// Orders a flat list of nodes in place by the same rule, stable.
void SortConfigNodes(std::vector<TConfigNode*>& nodes, int column, bool descending);

}  // namespace vos

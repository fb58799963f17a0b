// The delete command once its question is answered.
#include <algorithm>
#include <deque>

#include "comm/vx_msgdlg.h"
#include "config_editor.h"

namespace vos {

namespace {

// Root-to-node positions: their lexical order is tree order.
std::vector<int> PathOf(const TConfigNode* node)
{
    std::vector<int> path;
    for (; node && !node->IsRoot(); node = node->Parent())
        path.push_back(node->Index());
    std::reverse(path.begin(), path.end());
    return path;
}

}  // namespace

TDeleteResult TConfigEditor::DeleteExecute(const std::vector<TConfigNode*>& selection, int answer)
{
    TDeleteResult result;
    if (answer != vx::mrYes)
        return result;

    // The view hands its selection in any order; the command takes the first selected node
    // in tree order each time.
    std::vector<std::pair<std::vector<int>, TConfigNode*>> ordered;
    for (auto* node : selection)
        if (tree_.Owns(node) && !node->IsRoot())
            ordered.emplace_back(PathOf(node), node);
    if (ordered.empty())
        return result;
    std::sort(ordered.begin(), ordered.end());
    ordered.erase(std::unique(ordered.begin(), ordered.end()), ordered.end());
    std::deque<TConfigNode*> pending;
    for (const auto& entry : ordered)
        pending.push_back(entry.second);

    {
        TConfigTreeUpdate update(tree_);
        TUpdateLockScope lock(*this);
        while (!pending.empty()) {
            auto* node = pending.front();
            pending.pop_front();
            if (auto* next = node->NextSibling())
                result.SelectNode = next;
            else if (auto* prev = node->PrevSibling())
                result.SelectNode = prev;
            else
                result.SelectNode = TConfigTree::Previous(node);
            result.Parent = node->Parent()->IsRoot() ? nullptr : node->Parent();
            if (!node->Rec().Editable) {
                result.Stopped = true;
                break;
            }
            // Selected nodes inside the subtree go with it; in tree order they come next.
            while (!pending.empty() && node->Contains(pending.front()))
                pending.pop_front();
            tree_.DeleteNode(node);  // drops it from ChangeList and ClipboardNode too
            ++result.Deleted;
        }
    }
    SetChanged(true);
    return result;
}

}  // namespace vos

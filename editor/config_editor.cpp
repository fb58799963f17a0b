#include "config_editor.h"

#include <algorithm>

#include "config_settings.h"

namespace vos {

TConfigEditor::TConfigEditor() { tree_.AddObserver(this); }

TConfigEditor::~TConfigEditor() { tree_.RemoveObserver(this); }

void TConfigEditor::AddToChangeList(TConfigNode* node)
{
    if (node && !node->IsRoot() && tree_.Owns(node) && changeSet_.insert(node).second)
        changeList_.push_back(node);
    SetChanged(true);
}

bool TConfigEditor::RemoveFromChangeList(TConfigNode* node)
{
    if (changeSet_.erase(node) == 0)
        return false;
    // Validation takes entries off the end, so look there first.
    const auto it = std::find(changeList_.rbegin(), changeList_.rend(), node);
    changeList_.erase(std::next(it).base());
    return true;
}

void TConfigEditor::SetChanged(bool /*value*/)
{
    SetModified(true);
    SetRegisterEnabled(true);
}

void TConfigEditor::SetModified(bool value)
{
    modified_ = value;
    if (hooks_.SaveEnabled)
        hooks_.SaveEnabled(value);
}

void TConfigEditor::SetRegisterEnabled(bool value)
{
    registerPending_ = value;
    if (hooks_.RegisterEnabled)
        hooks_.RegisterEnabled(value);
}

void TConfigEditor::NodesAboutToBeDeleted(TConfigNode* top)
{
    // Whatever deletes nodes (a command, a cut, a load), nothing may keep pointing into the
    // freed subtree.
    if (top->IsRoot()) {
        changeList_.clear();
        changeSet_.clear();
        clipboardNode_ = nullptr;
        return;
    }
    if (top->Contains(clipboardNode_))
        clipboardNode_ = nullptr;
    std::erase_if(changeList_, [&](TConfigNode* node) {
        if (!top->Contains(node))
            return false;
        changeSet_.erase(node);
        return true;
    });
}

void TConfigEditor::ClearConfiguration()
{
    tree_.Clear();
    changeList_.clear();
    changeSet_.clear();
    clipboardNode_ = nullptr;
    StationCounter = VariableCounter = FolderCounter = ModemCounter = 0;
    CfgHeader = {};
}

}  // namespace vos

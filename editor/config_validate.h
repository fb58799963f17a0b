#pragma once
// Validation of configuration nodes: the conflict code of a node against the nodes of its
// scope, the repair of the conflicts the editor removes by itself, the report of the first
// conflict among the edited nodes, and the check of a whole tree after loading.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config_editor.h"
#include "config_node.h"
#include "config_tree.h"

namespace vos {

enum TConflictCode : int {
    ccNone = 0,
    ccStationName = 1,
    ccVariableName = 2,
    ccFolderName = 3,
    ccBusAddress = 4,
    ccServerName = 5,
    ccStationOnModemPort = 6,
    ccIpAddress = 7,
    ccModemPort = 8,
    ccModemName = 9,
    ccInitialValue = 10,
    ccReservedName = 11,
};

// The node's conflict code from its scope and name (the initial value is not looked at).
// Names compare as the item catalogue compares item IDs.
int CheckNode(const TConfigNode& node);
// The node's conflict code against the children of scope, and with names unique per station
// against the contents of its folders too; the first child in conflict decides.
int FindSiblingConflict(const TConfigNode& node, const TConfigNode& scope);
// Whether the initial value converts to the variable's type; true for an empty value and for
// any other kind. A declared array count is never allocated: only the elements the text holds.
bool CheckInitialValue(const TConfigNodeRec& rec);
// What ValidateNode without repair returns, changing nothing.
int NodeConflict(const TConfigNode& node);
// The node's conflict code; with repair on, after removing the conflicts it can. Each repaired
// field (the name, BusAddress, ComPort, IpAddress) is repaired at most as many times as the
// scope has nodes plus one, and a repair that changes nothing ends the loop: the node then
// stays in conflict. Valid := the code is 0; nothing else changes without repair.
int ValidateNode(TConfigNode& node, bool repair);

// The report text of a conflict in the current language: kind word + " '" + name + "'" +
// reason; empty for code 5 and for no conflict.
std::string ConflictText(const TConfigNodeRec& rec, int code);
// The detail control that shows the conflicting field; empty for code 5 and for no conflict.
std::string ConflictControl(int code);

struct TConflictReport {
    TConfigNode* Node = nullptr;
    int Code = ccNone;
    std::string Text;     // empty for code 5: nothing is shown
    std::string Control;  // the control to mark; empty for code 5
};

struct TNodeConflict {
    TConfigNode* Node = nullptr;
    int Code = ccNone;
};
// Every node's NodeConflict at once, in time that grows with the tree's size, not with its
// square: the nodes in conflict, in tree order. Changes nothing.
std::vector<TNodeConflict> CheckWholeTree(const TConfigTree& tree);
// The check after a load: the report texts of the first `shown` nodes in conflict go to the
// log, then their count. Valid and ChangeList stay as they are. Returns the count.
std::size_t LogTreeConflicts(const TConfigTree& tree, std::size_t shown = 10);
// The same in the shape of TConfigFileCommands::SetLoadedTreeCheck.
void CheckLoadedTree(TConfigEditor& editor);

// The validation the editor plugs in (TConfigEditor::SetValidator).
class TConfigValidation : public TConfigValidator {
public:
    explicit TConfigValidation(TConfigEditor& editor) : editor_(editor) {}

    int ValidateNode(TConfigNode& node, bool repair) override;
    // Walks ChangeList from its last entry: nodes without conflict leave it; the first node in
    // conflict stops the walk, stays listed with the entries before it, and is reported.
    bool ValidateChangeList() override;

    // The frame shows the report: the error on the control (nothing for code 5), the node
    // selected in the active view, and the control marked as changed again.
    void SetReportHandler(std::function<void(const TConflictReport&)> handler) { handler_ = std::move(handler); }
    // The report of the last ValidateChangeList that failed; none after one that passed.
    const std::optional<TConflictReport>& LastReport() const { return lastReport_; }

private:
    TConfigEditor& editor_;
    std::function<void(const TConflictReport&)> handler_;
    std::optional<TConflictReport> lastReport_;
};

}  // namespace vos

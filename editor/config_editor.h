#pragma once
// The configuration editor's state and commands without any widget: the tree, the list of
// edited nodes, the clipboard node, the modified and register-pending flags, node creation,
// deleting, clearing, command enabling and the small lookups of the editor. The editor's
// frame owns one and shows it; the file, validation and registering work on it.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config_node.h"
#include "config_tree.h"

namespace vos {

// Sender tags of the new-object command.
enum TNewObjectTag : int {
    ntStation = 10,
    ntVariable = 20,
    ntFolder = 30,
    ntModem = 40,
};

// Catalogue text of the delete question, which the caller asks (Yes and No).
inline constexpr std::int32_t kDeleteQuestionTextId = 134;

// Which editing commands are enabled. Each flag drives its tool button and the matching
// main-menu and pop-up items of both views.
struct TEditorCommands {
    bool NewVariable = false;  // TBtn_NewVariable, mnu_NewItem, PMnTree_NewItem, PMnList_NewItem
    bool NewFolder = false;    // TBtn_NewFolder, mnu_NewBranch, PMnTree_NewBranch, PMnList_NewBranch
    bool Import = false;       // TBtn_Import, mnu_Import
    bool Cut = false;
    bool Copy = false;
    bool Paste = false;
    bool Duplicate = false;
    bool Delete = false;
    bool NewStation = true;  // mnu_NewDevice: always
    bool operator==(const TEditorCommands&) const = default;
};

struct TDeleteResult {
    int Deleted = 0;       // nodes deleted, each with its subtree
    bool Stopped = false;  // deleting stopped at a node that is not Editable
    // The node to select afterwards (nullptr: none), and the parent of the last node taken,
    // for which the list view is refreshed (nullptr for a top-level node).
    TConfigNode* SelectNode = nullptr;
    TConfigNode* Parent = nullptr;
};

// Validation plugs in here (node creation repairs through it, the commands validate the
// edited nodes first). Without a validator every node counts as free of conflicts.
class TConfigValidator {
public:
    virtual ~TConfigValidator() = default;
    // The node's conflict code; with repair on, after removing the conflicts it can.
    virtual int ValidateNode(TConfigNode& node, bool repair) = 0;
    // True when every node of ChangeList is free of conflicts; otherwise the first conflict
    // has been reported.
    virtual bool ValidateChangeList() = 0;
};

// What the frame shows of the editor's state.
struct TConfigEditorHooks {
    std::function<void(bool)> RegisterEnabled;  // TBtn_RegisterConfig and mnu_RegisterConfig
    std::function<void(bool)> SaveEnabled;      // TBtn_Save
};

class TConfigEditor : private TConfigTreeObserver {
public:
    TConfigEditor();
    ~TConfigEditor() override;
    TConfigEditor(const TConfigEditor&) = delete;
    TConfigEditor& operator=(const TConfigEditor&) = delete;

    TConfigTree& Tree() { return tree_; }
    const TConfigTree& Tree() const { return tree_; }

    void SetValidator(TConfigValidator* validator) { validator_ = validator; }
    TConfigValidator* Validator() const { return validator_; }
    void SetHooks(TConfigEditorHooks hooks) { hooks_ = std::move(hooks); }

    // --- State ---

    // Nodes edited since their last successful validation, in the order of their first edit.
    const std::vector<TConfigNode*>& ChangeList() const { return changeList_; }
    // Appends node once, then SetChanged(true).
    void AddToChangeList(TConfigNode* node);
    // False when node was not listed.
    bool RemoveFromChangeList(TConfigNode* node);

    TConfigNode* ClipboardNode() const { return clipboardNode_; }
    void SetClipboardNode(TConfigNode* node) { clipboardNode_ = node; }

    // While above 0, the views' focus and selection events do not refill the detail pages.
    int UpdateLock() const { return updateLock_; }
    void RaiseUpdateLock() { ++updateLock_; }
    void LowerUpdateLock()
    {
        if (updateLock_ > 0)
            --updateLock_;
    }

    bool Modified() const { return modified_; }
    bool RegisterPending() const { return registerPending_; }
    bool ListActive() const { return listActive_; }
    void SetListActive(bool value) { listActive_ = value; }

    // Every edit: Modified and RegisterPending, whatever the argument.
    void SetChanged(bool value);
    void SetModified(bool value);
    void SetRegisterEnabled(bool value);

    // --- Creation ---

    // The valid parent for a node of kind proposed at parent, or nullptr for none.
    TConfigNode* ValidateParentNode(TConfigNodeKind kind, TConfigNode* parent) const;
    // A node of kind under (the valid parent for) parent with its defaults and default name,
    // repaired by the validator; nullptr for no valid parent or a level below kMaxTreeDepth.
    TConfigNode* CreateNode(TConfigNodeKind kind, TConfigNode* parent);
    TConfigNode* CreateServiceItem(TConfigNode* parent, const std::string& name, const std::string& initialValue,
                                   bool editable, std::int32_t serviceCode, std::int32_t address, std::int32_t zone,
                                   std::int32_t varType, const std::string& comment);
    // The "Service" folder with its sixteen items.
    void CreateStationServiceItems(TConfigNode* station);
    // "Status" and "ModemType".
    void CreateModemServiceItems(TConfigNode* modem);
    // The new-object command for a tag of TNewObjectTag at the selected node; the node
    // created, or nullptr when nothing was (pending edits in conflict, no target, another
    // tag, no valid parent).
    TConfigNode* NewObjectExecute(int tag, TConfigNode* target);

    // --- Deleting and clearing ---

    // The delete command after its question: only answer vx::mrYes deletes. The selected
    // nodes are taken in tree order; deleting stops at the first that is not Editable.
    TDeleteResult DeleteExecute(const std::vector<TConfigNode*>& selection, int answer);
    // Empties the tree, ChangeList and ClipboardNode; counters and CfgHeader to zero.
    void ClearConfiguration();

    // --- Commands, images, lookups ---

    // The enabled commands for the focused node; none (keep the states) without a node.
    std::optional<TEditorCommands> EnableCommands(const TConfigNode* node) const;
    static int GetNodeImageIndex(const TConfigNodeRec& rec);
    // Index in kBaudRates, 0 when absent.
    static int BaudRateIndex(std::int32_t rate);
    // Index in kVarTypeList, 19 when absent; in kScaledTypeList, 6 when absent.
    static int VarTypeIndex(std::int32_t varType);
    static int ScaledTypeIndex(std::int32_t varType);

    // The server above a station, the station above a variable or folder; nullptr for none.
    static TConfigNode* GetOwnerNode(const TConfigNode* node);
    // The first node named exactly name among parent's children (recursive: in its whole
    // subtree, in tree order), or in the whole tree without a parent; kind nkAny for any.
    TConfigNode* FindNodeByName(const std::string& name, bool recursive, const TConfigNode* parent,
                                std::uint8_t kind) const;
    // The views' comparison of two nodes by a column (0 to 4). Column 0 compares names
    // case-insensitively by the user's locale; in columns 1 to 4 two kinds are ordered by
    // kind (stations before modems, folders before variables), one kind by the column's rule.
    static int CompareNodes(const TConfigNode& a, const TConfigNode& b, int column);
    static TNodeCompare ColumnComparison(int column);
    // Every level by column 0 ascending, equal names keeping their order (after loading).
    void SortTreeByName();

private:
    void NodesAboutToBeDeleted(TConfigNode* top) override;

    TConfigTree tree_;
    TConfigValidator* validator_ = nullptr;
    TConfigEditorHooks hooks_;
    std::vector<TConfigNode*> changeList_;
    std::unordered_set<const TConfigNode*> changeSet_;
    TConfigNode* clipboardNode_ = nullptr;
    int updateLock_ = 0;
    bool modified_ = false;
    bool registerPending_ = false;
    bool listActive_ = false;
};

// Holds the editor's UpdateLock raised over a scope.
class TUpdateLockScope {
public:
    explicit TUpdateLockScope(TConfigEditor& editor) : editor_(editor) { editor_.RaiseUpdateLock(); }
    ~TUpdateLockScope() { editor_.LowerUpdateLock(); }
    TUpdateLockScope(const TUpdateLockScope&) = delete;
    TUpdateLockScope& operator=(const TUpdateLockScope&) = delete;

private:
    TConfigEditor& editor_;
};

}  // namespace vos

#pragma once
// Registering: the configuration held in the editor's tree replaces the run-time model of the
// communication core and the OPC item catalogue, while OPC clients stay connected and keep
// their groups and items, which are bound again to the new variables by item ID.
#include <functional>
#include <string>
#include <vector>

namespace vx {
class TParentTreeObject;
class TStation;
class TVariable;
}  // namespace vx

namespace vos {

class TConfigEditor;
class TConfigNode;
struct TConfigNodeRec;

// What registering calls outside the editor's model; the program (or a test) sets them.
struct TRegisterHooks {
    // The save command (dialog included) for an unsaved configuration. None: not saved, as
    // after a cancelled dialog; registering goes on either way.
    std::function<void()> SaveConfiguration;
    // The runtime monitor lists the new serial channels.
    std::function<void()> FillComList;
};

// The register command and its parts, beside the editor whose tree it applies.
class TConfigRegistrar {
public:
    explicit TConfigRegistrar(TConfigEditor& editor) : editor_(editor) {}
    TConfigRegistrar(const TConfigRegistrar&) = delete;
    TConfigRegistrar& operator=(const TConfigRegistrar&) = delete;

    void SetHooks(TRegisterHooks hooks) { hooks_ = std::move(hooks); }

    // Applies the tree: save when unsaved, remember the file name, detach the OPC items and
    // empty the catalogue, stop and free the old model, build and sort the new one, fill the
    // catalogue, restart communication when it ran, bind the items again. Runs no event loop,
    // so no handler meets a half-built model. Needs the communication singletons.
    void RefreshExecute();

    // Run-time objects for the children of node, recursively, under parent (nullptr: none).
    // Folders and variables without a parent object, nodes under a variable and nodes of
    // other kinds are skipped with their subtrees.
    void BuildRuntimeObjects(const TConfigNode& node, vx::TParentTreeObject* parent);
    // Stations by name, then each station's variables by name (equal names keep their order).
    static void SortRuntimeObjects();
    // Adds the object's variables to the catalogue of the OPC registry; the caller holds
    // OPCLock. Item IDs the catalogue cannot tell apart are settled once the catalogue is
    // sorted: the first variable registered keeps the ID, the others are not offered.
    void RegisterCatalogue(vx::TParentTreeObject& object);

    // What the last registering logged: skipped nodes, IDs not offered, service codes left
    // unbound, arrays not held.
    const std::vector<std::string>& Notes() const { return notes_; }

private:
    vx::TStation* BuildStation(const TConfigNodeRec& rec);
    void BuildVariable(const TConfigNodeRec& rec, vx::TParentTreeObject& parent);
    void SkipSubtree(const TConfigNode& node, const char* why);
    // Ends the transactions still waiting on a variable that is about to be freed.
    static void ReleaseWaitingTransactions();
    // After the catalogue's sort: one entry per item ID, the first in registering order.
    void DropDuplicateItems();
    void Note(std::string text);

    TConfigEditor& editor_;
    TRegisterHooks hooks_;
    std::vector<std::string> notes_;
    std::vector<const vx::TVariable*> registered_;  // in registering order
};

}  // namespace vos

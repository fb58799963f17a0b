#pragma once
// What the main window asks of the runtime monitor when the OPC side reports a change: the
// monitor frame implements it, the main window calls it from the OPC registry's monitor
// events. Every call comes on the user-interface thread, under OPCLock.
#include <cstdint>

#include "opc/opc_globals.h"

namespace vos {

// What a node of the runtime tree shows.
enum TRuntimeNodeKind : std::uint8_t {
    rnRoot = 0,
    rnItem = 2,      // TOPCItem
    rnChannel = 5,   // a serial channel
    rnServer = 7,    // TDA2, one per client connection
    rnGroup = 8,     // TOPCGroup
};

class TRuntimeMonitor {
public:
    virtual ~TRuntimeMonitor() = default;

    // Empty views and the root node; once, while the main window is created.
    virtual void Init() = 0;
    // A node for the object under its parent's node; the object's RuntimeNode names it.
    virtual void AddNode(TRuntimeNodeKind kind, opc::TMonitorObject object) = 0;
    // The object's node with its subtree; the object's RuntimeNode is cleared.
    virtual void RemoveNode(TRuntimeNodeKind kind, opc::TMonitorObject object) = 0;
    // The server object's caption again (its client name).
    virtual void RenameNode(opc::TDA2* server) = 0;
    // Repaints one node (a RuntimeNode); nothing for none.
    virtual void InvalidateNode(void* node) = 0;
    // Collapses every node of the runtime tree (VST_RTree).
    virtual void FullCollapse() = 0;
    // The serial channels of the model, after each registering.
    virtual void FillComList() = 0;
};

// Hands one OPC monitor event to the monitor by the event table: creations and removals to
// AddNode and RemoveNode, the client's name to RenameNode, changes to InvalidateNode of the
// object's node (an item's report repaints its group's node too). Other codes do nothing.
void RouteMonitorEvent(TRuntimeMonitor& monitor, int code, const opc::TMonitorObject& object);

}  // namespace vos

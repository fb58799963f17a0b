#include "runtime_monitor.h"

#include "opc/opc_group.h"
#include "opc/opc_item.h"
#include "opc/opc_server.h"

namespace vos {

namespace {

template <class T>
T* ObjectOf(const opc::TMonitorObject& object)
{
    T* const* p = std::get_if<T*>(&object);
    return p ? *p : nullptr;
}

}  // namespace

void RouteMonitorEvent(TRuntimeMonitor& monitor, int code, const opc::TMonitorObject& object)
{
    auto* const group = ObjectOf<opc::TOPCGroup>(object);
    auto* const item = ObjectOf<opc::TOPCItem>(object);
    auto* const server = ObjectOf<opc::TDA2>(object);
    switch (code) {
    case opc::meGroupAdded:
        if (group)
            monitor.AddNode(rnGroup, object);
        break;
    case opc::meGroupRemoved:
        if (group)
            monitor.RemoveNode(rnGroup, object);
        break;
    case opc::meItemAdded:
        if (item)
            monitor.AddNode(rnItem, object);
        break;
    case opc::meItemRemoved:
        if (item)
            monitor.RemoveNode(rnItem, object);
        break;
    case opc::meServerCreated:
        if (server)
            monitor.AddNode(rnServer, object);
        break;
    case opc::meServerDestroyed:
        if (server)
            monitor.RemoveNode(rnServer, object);
        break;
    case opc::meClientName:
        if (server)
            monitor.RenameNode(server);
        break;
    case opc::meGroupState:
        if (group)
            monitor.InvalidateNode(group->RuntimeNode);
        break;
    case opc::meItemReported:
        if (item) {
            monitor.InvalidateNode(item->RuntimeNode);
            if (item->Group)
                monitor.InvalidateNode(item->Group->RuntimeNode);
        }
        break;
    case opc::meItemActivated:
        if (item)
            monitor.InvalidateNode(item->RuntimeNode);
        break;
    default:
        break;
    }
}

}  // namespace vos

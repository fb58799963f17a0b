#include "main_frames.h"

#include "opc/opc_group.h"
#include "opc/opc_item.h"
#include "opc/opc_server.h"

namespace vos {

namespace {

// The object's RuntimeNode field, for the kinds that have one.
void** RuntimeNodeField(const opc::TMonitorObject& object)
{
    return std::visit([](auto* o) -> void** { return o ? &o->RuntimeNode : nullptr; }, object);
}

}  // namespace

const void* MonitorObjectAddress(const opc::TMonitorObject& object)
{
    return std::visit([](auto* o) -> const void* { return o; }, object);
}

TFrm_ConfigPlace::TFrm_ConfigPlace(QWidget* parent) : QFrame(parent) { setObjectName(QStringLiteral("Frm_Config")); }

TFrm_RuntimeRecorder::TFrm_RuntimeRecorder(QWidget* parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("Frm_Runtime"));
}

void TFrm_RuntimeRecorder::AddNode(TRuntimeNodeKind kind, opc::TMonitorObject object)
{
    // The object stands for its own node, as the monitor's node would.
    if (void** node = RuntimeNodeField(object))
        *node = const_cast<void*>(MonitorObjectAddress(object));
    calls_.push_back({TMonitorCall::AddNode, kind, MonitorObjectAddress(object)});
}

void TFrm_RuntimeRecorder::RemoveNode(TRuntimeNodeKind kind, opc::TMonitorObject object)
{
    if (void** node = RuntimeNodeField(object))
        *node = nullptr;
    calls_.push_back({TMonitorCall::RemoveNode, kind, MonitorObjectAddress(object)});
}

void TFrm_RuntimeRecorder::RenameNode(opc::TDA2* server) { calls_.push_back({TMonitorCall::RenameNode, -1, server}); }

}  // namespace vos

#pragma once
// What the main window puts around its two frames: a trace of the monitor calls for tests, and
// the settings' column widths adapted onto the editor frame, so that editor/ knows nothing of
// the settings unit.
#include <cstdint>
#include <vector>

#include "app/settings.h"
#include "editor/runtime_monitor.h"

namespace vos {

class TFrm_Config;

// One call of the monitor interface.
struct TMonitorCall {
    enum Op { Init, AddNode, RemoveNode, RenameNode, InvalidateNode, FullCollapse, FillComList } op;
    int kind = -1;                  // AddNode and RemoveNode
    const void* object = nullptr;  // the OPC object (AddNode, RemoveNode, RenameNode)
    const void* node = nullptr;    // InvalidateNode
    bool operator==(const TMonitorCall&) const = default;
};

// Records every call before handing it on to the monitor frame (none: recording only).
class TMonitorTrace : public TRuntimeMonitor {
public:
    explicit TMonitorTrace(TRuntimeMonitor* inner) : inner_(inner) {}

    void Init() override;
    void AddNode(TRuntimeNodeKind kind, opc::TMonitorObject object) override;
    void RemoveNode(TRuntimeNodeKind kind, opc::TMonitorObject object) override;
    void RenameNode(opc::TDA2* server) override;
    void InvalidateNode(void* node) override;
    void FullCollapse() override;
    void FillComList() override;

    const std::vector<TMonitorCall>& Calls() const { return calls_; }
    void ClearCalls() { calls_.clear(); }

private:
    TRuntimeMonitor* inner_;
    std::vector<TMonitorCall> calls_;
};

// The object a monitor object refers to, whatever its kind; nullptr for none.
const void* MonitorObjectAddress(const opc::TMonitorObject& object);

// The settings' column widths on the editor frame's two views.
class TConfigColumnsAdapter : public ConfigColumnWidths {
public:
    explicit TConfigColumnsAdapter(TFrm_Config& frame) : frame_(frame) {}
    std::int32_t ColumnWidth(ConfigView view, int column) const override;
    void SetColumnWidth(ConfigView view, int column, std::int32_t width) override;

private:
    TFrm_Config& frame_;
};

}  // namespace vos

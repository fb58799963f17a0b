#pragma once
// The main window's two frames until the editor frame and the runtime monitor exist: an
// empty configuration frame, and a runtime frame that records what the main window asks of
// the runtime monitor (and keeps each object's RuntimeNode as the monitor would).
#include <QFrame>
#include <cstdint>
#include <vector>

#include "editor/runtime_monitor.h"

namespace vos {

// Frm_Config: the configuration editor's place.
class TFrm_ConfigPlace : public QFrame {
    Q_OBJECT

public:
    explicit TFrm_ConfigPlace(QWidget* parent = nullptr);
};

// One call of the monitor interface.
struct TMonitorCall {
    enum Op { Init, AddNode, RemoveNode, RenameNode, InvalidateNode, FullCollapse, FillComList } op;
    int kind = -1;                  // AddNode and RemoveNode
    const void* object = nullptr;  // the OPC object (AddNode, RemoveNode, RenameNode)
    const void* node = nullptr;    // InvalidateNode
    bool operator==(const TMonitorCall&) const = default;
};

// Frm_Runtime: the runtime monitor's place, recording the calls.
class TFrm_RuntimeRecorder : public QFrame, public TRuntimeMonitor {
    Q_OBJECT

public:
    explicit TFrm_RuntimeRecorder(QWidget* parent = nullptr);

    void Init() override { calls_.push_back({TMonitorCall::Init}); }
    void AddNode(TRuntimeNodeKind kind, opc::TMonitorObject object) override;
    void RemoveNode(TRuntimeNodeKind kind, opc::TMonitorObject object) override;
    void RenameNode(opc::TDA2* server) override;
    void InvalidateNode(void* node) override { calls_.push_back({TMonitorCall::InvalidateNode, -1, nullptr, node}); }
    void FullCollapse() override { calls_.push_back({TMonitorCall::FullCollapse}); }
    void FillComList() override { calls_.push_back({TMonitorCall::FillComList}); }

    const std::vector<TMonitorCall>& Calls() const { return calls_; }
    void ClearCalls() { calls_.clear(); }

private:
    std::vector<TMonitorCall> calls_;
};

// The object a monitor object refers to, whatever its kind; nullptr for none.
const void* MonitorObjectAddress(const opc::TMonitorObject& object);

}  // namespace vos

#pragma once
// What the editor reaches of the main window: its shut-down and runtime-view commands, the
// enabled state of its Edit and Registration menu items, and the guarded forced update of the
// OPC groups. The main window implements it; the editor never sees the window itself.
#include <functional>

#include "config_editor.h"

namespace vos {

class TMainWindowLink {
public:
    virtual ~TMainWindowLink() = default;

    // The shut-down command: clients are asked to disconnect, then the close questions run.
    virtual void ShutDownServer() = 0;
    // Brings the runtime monitor to the front.
    virtual void ViewRuntime() = 0;
    // The Edit menu's items follow the commands enabled for the focused node.
    virtual void SetEditCommands(const TEditorCommands& commands) = 0;
    // The register-configuration item: enabled while the editor's configuration differs from
    // the registered one.
    virtual void SetRegisterConfigEnabled(bool enabled) = 0;
    // Runs a forced update of OPC groups under the pulse's guard: at once, or right after the
    // pulse tick or forced update that runs now (and not while PulseEnabled is off). A
    // deferred update runs later, so it must hold what it needs (a COM reference to its group).
    virtual void RunForcedUpdate(std::function<void()> update) = 0;
};

}  // namespace vos

#pragma once
// The server's run on its configuration: the editor's state with its file commands, validation
// and registering, the OPC registry and the pulse that drives the OPC layer. Until the main
// window exists the program uses this unit on its own; the main window will own it and take
// its objects over (the editor frame shows Editor(), the runtime monitor hooks the monitor
// events and FillComList).
#include <functional>
#include <memory>

#include "editor/config_editor.h"
#include "editor/config_file.h"
#include "editor/config_register.h"
#include "editor/config_validate.h"
#include "opc/opc_globals.h"
#include "platform/timers.h"

namespace vos {

class TServerStart {
public:
    // Wires the editor's objects together; touches no process-wide state.
    TServerStart();
    // Shutdown, when it has not run.
    ~TServerStart();
    TServerStart(const TServerStart&) = delete;
    TServerStart& operator=(const TServerStart&) = delete;

    // What the main window's creation does after the settings are read: loads CfgFileName
    // without a dialog, creates the OPC registry with its monitor-event handler, registers
    // the configuration, registers the server when IsRegistered is false, and starts the
    // pulse. Needs the communication singletons; communication itself stays stopped until a
    // client adds its first item. Runs once.
    void Start();
    // Stops the pulse and communication, then frees the OPC registry (its server objects are
    // cut off from their clients). The settings and the singletons are the caller's.
    void Shutdown();

    TConfigEditor& Editor() { return editor_; }
    TConfigFileCommands& FileCommands() { return fileCommands_; }
    TConfigValidation& Validation() { return validation_; }
    TConfigRegistrar& Registrar() { return registrar_; }
    // Null before Start and after Shutdown.
    opc::TServer* Registry() const { return registry_.get(); }
    plat::Timer* PulseTimer() const { return pulseTimer_.get(); }
    // How the start-up load went.
    TLoadResult LoadResult() const { return loadResult_; }

    // The runtime monitor's part of the monitor events, run before this unit's own action.
    void SetMonitorHook(opc::TMonitorEventHandler hook) { monitorHook_ = std::move(hook); }
    // The runtime monitor lists the serial channels after each registering.
    void SetFillComList(std::function<void()> fill);

    // The OPC registry's monitor events: the first item a client adds starts communication.
    void OnMonitorEvent(int code, opc::TMonitorObject obj);
    // One tick of the pulse timer.
    void PulseTick();

private:
    void SetRegistrarHooks();
    void LogStartState() const;

    // Declared first: the other objects refer to it.
    TConfigEditor editor_;
    TConfigFileCommands fileCommands_;
    TConfigValidation validation_;
    TConfigRegistrar registrar_;
    std::function<void()> fillComList_;
    opc::TMonitorEventHandler monitorHook_;
    std::unique_ptr<opc::TServer> registry_;
    std::unique_ptr<plat::Timer> pulseTimer_;
    TLoadResult loadResult_ = TLoadResult::Stopped;
    bool started_ = false;
    bool shutDown_ = false;
};

}  // namespace vos

#pragma once
// The server's run on its configuration, apart from any widget: the editor's state with its
// file commands, validation and registering, and the OPC registry. The main window's creation
// runs its steps in order; the registry outlives the window and ends after it, cutting off the
// clients that still hold objects.
#include <functional>
#include <memory>

#include "editor/config_editor.h"
#include "editor/config_file.h"
#include "editor/config_register.h"
#include "editor/config_validate.h"
#include "opc/opc_globals.h"

namespace vos {

class TServerStart {
public:
    // Wires the editor's objects together; touches no process-wide state.
    TServerStart();
    // EndRegistry, when it has not run.
    ~TServerStart();
    TServerStart(const TServerStart&) = delete;
    TServerStart& operator=(const TServerStart&) = delete;

    // The steps of the main window's creation that are the server's, in their order, after
    // the settings are read. They need the communication singletons.
    // Loads CfgFileName into the editor's tree without a dialog.
    TLoadResult LoadConfiguration();
    // The OPC registry, its monitor events going to onMonitorEvent.
    void CreateRegistry(opc::TMonitorEventHandler onMonitorEvent);
    // Registers the loaded configuration into the run-time model and the item catalogue.
    // Communication stays stopped until a client adds its first item.
    void RegisterConfiguration();
    // Registers the server when IsRegistered is false.
    void RegisterServerWhenNeeded();

    // From now on no monitor event reaches anybody.
    void SilenceMonitorEvents();
    // The registry's end: every OPC item leaves its variable and the remaining server objects
    // are cut off from their clients, so that nothing reaches the run-time model, which the
    // communication singletons free next. Once; nothing before CreateRegistry.
    void EndRegistry();

    TConfigEditor& Editor() { return editor_; }
    TConfigFileCommands& FileCommands() { return fileCommands_; }
    TConfigValidation& Validation() { return validation_; }
    TConfigRegistrar& Registrar() { return registrar_; }
    // Null before CreateRegistry and after EndRegistry.
    opc::TServer* Registry() const { return registry_.get(); }
    // How the start-up load went.
    TLoadResult LoadResult() const { return loadResult_; }

    // The runtime monitor lists the serial channels after each registering.
    void SetFillComList(std::function<void()> fill);

private:
    void SetRegistrarHooks();
    void LogStartState() const;

    // Declared first: the other objects refer to it.
    TConfigEditor editor_;
    TConfigFileCommands fileCommands_;
    TConfigValidation validation_;
    TConfigRegistrar registrar_;
    std::function<void()> fillComList_;
    std::unique_ptr<opc::TServer> registry_;
    TLoadResult loadResult_ = TLoadResult::Stopped;
};

}  // namespace vos

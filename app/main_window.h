#pragma once
// The main window F_Main: the program's start-up and shut-down order, the pulse that drives
// the OPC groups, the start timer that hides the window after start, the application-wide
// mouse and exception hooks, the receiver of the OPC monitor events, changes of the clock,
// the tray icon, the window placement and the caption. Without a display (headless) the same
// object runs the same steps, only without widgets shown: no frames, no tray, no placement.
#include <QMainWindow>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "app/tray_icon.h"
#include "editor/main_window_link.h"
#include "editor/runtime_monitor.h"
#include "opc/opc_globals.h"
#include "platform/clockwatch.h"

class QDialog;
class QStackedWidget;

namespace plat {
class Timer;
}

namespace vos {

class TServerStart;
class TFrm_Config;
class TFrm_Runtime;
class TMonitorTrace;
class TConfigColumnsAdapter;
class TMainMenu;

// What the window reaches outside itself; tests answer each one.
struct TMainWindowSeams {
    // The tray icon; the default gives the system's where a system tray exists.
    std::function<std::unique_ptr<TTrayIcon>(QObject* owner)> CreateTray;
    // The toolkit's standard error box (exceptions, the settings file's errors); the default
    // is a QMessageBox where a display shows it, else nothing (the log has the line).
    std::function<void(const std::string& text)> ErrorBox;
    // Ends the application's event loop, asking nothing more; default QCoreApplication::exit.
    std::function<void()> EndApplication;
    // The local UTC offset the clock watch compares; default the system's.
    plat::ClockWatch::OffsetSource UtcOffset;
    // Records every monitor call on its way to the monitor frame (tests).
    bool TraceMonitor = false;
    // Actions and menus: shows a dialog modally; default QDialog::exec.
    std::function<void(QDialog&)> RunDialog;
};

class TF_Main : public QMainWindow, public TMainWindowLink {
    Q_OBJECT

public:
    static constexpr int kPulseInterval = 200;
    static constexpr int kStartInterval = 5000;
    static constexpr int kDefaultWidth = 866;
    static constexpr int kDefaultHeight = 615;
    static constexpr int kMinimumWidth = 713;
    static constexpr int kMinimumHeight = 500;
    // The application title and the caption's prefix.
    static constexpr char kApplicationTitle[] = "Vorn OPC server";
    static constexpr char kCaptionPrefix[] = "Vorn OPC Server - ";
    // Asked when the window may close while clients still hold objects. The catalogue has
    // no text for it, so it is the same in both languages.
    static constexpr char kClientsStillConnectedText[] =
        "OPC clients still hold objects of this server. If the server ends now, they lose "
        "their connection. End anyway?";

    // Builds the widgets (headless: none) and makes this F_Main; FormCreate does the rest.
    TF_Main(TServerStart& server, bool headless, TMainWindowSeams seams = {});
    // FormDestroy, when it has not run.
    ~TF_Main() override;
    TF_Main(const TF_Main&) = delete;
    TF_Main& operator=(const TF_Main&) = delete;

    // Start-up in its order: hooks, settings, captions, control list, frames, configuration,
    // OPC registry, registering, server registration, pulse and start timer, caption.
    // Exceptions go to the caller.
    void FormCreate();
    // Shut-down: monitor events silenced, timers off, communication stopped, placement and
    // settings written (only when they were read), control list freed. Once; never throws.
    void FormDestroy();
    // Shows the window as the placement left it (normal or maximised); nothing headless.
    void ShowMainWindow();

    // --- Handlers, each run at an entry point from the event loop ---
    void PulseTimerTimer();
    void StartTimerTimer();
    void AppException(const std::string& what);
    void OnOPCMonitorEvent(int code, opc::TMonitorObject obj);
    void WMTimeChange();
    void RxTrayIcon1Click();
    void FormCloseQuery(bool& canClose);
    void Ac_ShutDownServerExecute();
    void Ac_HideServerExecute();
    void UpdateMainCaption();
    // Every catalogue caption of the window, its menus and both frames, with FillingControls
    // held so that no combo rewritten counts as an edit; then the status text and both views.
    void ApplyLanguage();
    // A run started by activation after its last client's last release: the close questions
    // when the editor holds changes, else the end.
    void LastClientReleased();
    // The close questions, then the question about clients still holding objects; ends the
    // application and gives true when the window may close.
    bool CloseQuery();

    // --- Actions and menus: the commands, each with the item or action that ran it ---
    void Ac_NewConfigExecute(QObject* sender = nullptr);
    void Ac_LoadConfigExecute(QObject* sender = nullptr);
    // mnu_FileSaveAs as sender always asks for the file name.
    void Ac_SaveConfigExecute(QObject* sender = nullptr);
    void mnu_RegisterConfigClick(QObject* sender = nullptr);
    void Ac_RegisterServerExecute(QObject* sender = nullptr);
    void Ac_UnregisterServerExecute(QObject* sender = nullptr);
    // The sender's tag (its data) says what to create.
    void Ac_NewObjectExecute(QObject* sender);
    void Ac_ImportExecute(QObject* sender = nullptr);
    void Ac_CutExecute(QObject* sender = nullptr);
    void Ac_CopyExecute(QObject* sender = nullptr);
    void Ac_PasteExecute(QObject* sender = nullptr);
    void Ac_DuplicateExecute(QObject* sender = nullptr);
    void Ac_DeleteExecute(QObject* sender = nullptr);
    void Ac_ViewConfigExecute(QObject* sender = nullptr);
    void Ac_ViewRuntimeExecute(QObject* sender = nullptr);
    void Ac_ViewSettingsExecute(QObject* sender = nullptr);
    void Ac_AboutExecute(QObject* sender = nullptr);
    // The menus and actions; nullptr headless.
    TMainMenu* MainMenu() const { return menu_.get(); }

    // --- TMainWindowLink ---
    void ShutDownServer() override { Ac_ShutDownServerExecute(); }
    void ViewRuntime() override;
    void SetEditCommands(const TEditorCommands& commands) override;
    void SetRegisterConfigEnabled(bool enabled) override;
    void RunForcedUpdate(std::function<void()> update) override;

    // 1 from the start of FormCreate until a left mouse button press anywhere in the program
    // or the start timer's end of the start-up period; never back to 1.
    bool StartingUp = false;

    bool Headless() const { return headless_; }
    plat::Timer& PulseTimer() const { return *pulseTimer_; }
    plat::Timer& StartTimer() const { return *startTimer_; }
    TServerStart& Server() const { return server_; }
    // The frames; nullptr headless.
    TFrm_Config* Frm_Config() const { return configFrame_; }
    TFrm_Runtime* Frm_Runtime() const { return runtimeFrame_; }
    // Where the monitor events go: the monitor frame, or the trace in front of it.
    TRuntimeMonitor* Monitor() const { return monitor_; }
    // With TraceMonitor: the monitor calls so far; else nullptr.
    TMonitorTrace* MonitorTrace() const { return trace_.get(); }
    // Which frame is in front: true for the configuration editor.
    bool ConfigInFront() const;
    void BringConfigToFront();
    // What the editor last enabled.
    const TEditorCommands& EditCommands() const { return editCommands_; }
    bool RegisterConfigEnabled() const { return registerConfigEnabled_; }
    bool HasTray() const { return tray_ != nullptr && tray_->Available(); }

protected:
    // AppMessage: every event of the program passes here first.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class TPulseScope;

    void BuildWidgets();
    void InstallHooks();
    void RemoveHooks();
    void RestorePlacement();
    void SavePlacement();
    void ShowErrorBox(const std::string& text);
    void RequestEnd();
    // Queued: after the client's call that added an item has returned.
    void QueueCommunicationStart();
    void RunPendingUpdates();
    // Actions and menus: a dialog shown through the seam.
    void RunDialog(QDialog& dialog);

    TServerStart& server_;
    const bool headless_;
    TMainWindowSeams seams_;

    std::unique_ptr<plat::Timer> pulseTimer_;
    std::unique_ptr<plat::Timer> startTimer_;
    std::unique_ptr<plat::ClockWatch> clockWatch_;
    std::unique_ptr<TTrayIcon> tray_;

    QStackedWidget* frames_ = nullptr;
    TFrm_Config* configFrame_ = nullptr;
    TFrm_Runtime* runtimeFrame_ = nullptr;
    std::unique_ptr<TMonitorTrace> trace_;
    TRuntimeMonitor* monitor_ = nullptr;
    std::unique_ptr<TConfigColumnsAdapter> columns_;
    // Actions and menus.
    std::unique_ptr<TMainMenu> menu_;

    // The pulse's guard: a tick, the time change's forced update and the monitor's forced
    // update never run inside one another; what arrives meanwhile waits here.
    bool pulseRunning_ = false;
    bool forcedPulseQueued_ = false;
    std::deque<std::function<void()>> pendingUpdates_;

    bool communicationStartQueued_ = false;
    bool created_ = false;
    bool settingsRead_ = false;
    bool destroyed_ = false;
    bool maximizeOnShow_ = false;
    TEditorCommands editCommands_;
    bool registerConfigEnabled_ = false;
};

// The main window while it exists; set before its FormCreate runs.
extern TF_Main* F_Main;

}  // namespace vos

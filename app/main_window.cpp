#include "main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QMetaObject>
#include <QMouseEvent>
#include <QScreen>
#include <QStackedWidget>
#include <QTreeView>
#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <vector>

#include "app/app_exception.h"
#include "app/form_placement.h"
#include "app/inifile.h"
#include "app/main_frames.h"
#include "app/main_menu.h"
#include "app/server_start.h"
#include "app/settings.h"
#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_msgdlg.h"
#include "comm/vx_notify.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "editor/frm_config.h"
#include "editor/frm_runtime.h"
#include "editor/widgets/control_props.h"
#include "opc/opc_group.h"
#include "opc/opc_item.h"
#include "opc/opc_server.h"
#include "platform/clock.h"
#include "platform/com/runtime.h"
#include "platform/timers.h"

namespace vos {

TF_Main* F_Main = nullptr;

namespace {

Q_LOGGING_CATEGORY(lcMain, "vx.app.main")

constexpr std::int32_t kMsgRegisterConfiguration = 107;

bool DisplayShowsBoxes()
{
    const QString platform = QGuiApplication::platformName();
    return qobject_cast<QApplication*>(QCoreApplication::instance()) && platform != QLatin1String("offscreen") &&
           platform != QLatin1String("minimal");
}

}  // namespace

// Holds the pulse's guard: PulseTimer is off meanwhile and on again afterwards, however the
// work ends.
class TF_Main::TPulseScope {
public:
    explicit TPulseScope(TF_Main& form) : form_(form), wasEnabled_(form.pulseTimer_->enabled())
    {
        form_.pulseRunning_ = true;
        form_.pulseTimer_->setEnabled(false);
    }
    ~TPulseScope()
    {
        form_.pulseRunning_ = false;
        if (wasEnabled_ && !form_.destroyed_)
            form_.pulseTimer_->setEnabled(true);
    }
    TPulseScope(const TPulseScope&) = delete;
    TPulseScope& operator=(const TPulseScope&) = delete;

private:
    TF_Main& form_;
    const bool wasEnabled_;
};

TF_Main::TF_Main(TServerStart& server, bool headless, TMainWindowSeams seams)
    : server_(server), headless_(headless), seams_(std::move(seams))
{
    setObjectName(QStringLiteral("F_Main"));
    F_Main = this;
    // Hidden to the tray, the window is not the last one open when a message box closes;
    // the program ends only through the close path, a signal or the last release.
    QApplication::setQuitOnLastWindowClosed(false);

    pulseTimer_ = plat::timers().createTimer();
    pulseTimer_->setInterval(kPulseInterval);
    pulseTimer_->onTimer = [this] { Guarded([this] { PulseTimerTimer(); }); };
    startTimer_ = plat::timers().createTimer();
    startTimer_->setInterval(kStartInterval);
    startTimer_->onTimer = [this] { Guarded([this] { StartTimerTimer(); }); };

    if (!headless_)
        BuildWidgets();
}

TF_Main::~TF_Main()
{
    FormDestroy();
    // The frames refer to the server's editor objects: they go first, while those still exist
    // (QWidget would free them only after announcing this window's end).
    monitor_ = nullptr;
    trace_.reset();
    delete frames_;
    frames_ = nullptr;
    configFrame_ = nullptr;
    runtimeFrame_ = nullptr;
    if (F_Main == this)
        F_Main = nullptr;
}

void TF_Main::BuildWidgets()
{
    setWindowIcon(ProgramIcon());
    setWindowTitle(QString::fromLatin1(kTrayToolTip));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kDefaultWidth, kDefaultHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));

    // Actions and menus: the tool bar goes on top as the menu bar.
    menu_ = std::make_unique<TMainMenu>(*this);

    frames_ = new QStackedWidget(this);
    frames_->setObjectName(QStringLiteral("Frames"));
    configFrame_ = new TFrm_Config(server_.Editor(), server_.FileCommands(), server_.Validation(),
                                   server_.Registrar(), this, {}, frames_);
    runtimeFrame_ = new TFrm_Runtime(frames_);
    runtimeFrame_->SetMainWindowLink(this);
    monitor_ = runtimeFrame_;
    if (seams_.TraceMonitor) {
        trace_ = std::make_unique<TMonitorTrace>(runtimeFrame_);
        monitor_ = trace_.get();
    }
    columns_ = std::make_unique<TConfigColumnsAdapter>(*configFrame_);
    frames_->addWidget(configFrame_);
    frames_->addWidget(runtimeFrame_);
    frames_->setCurrentWidget(configFrame_);
    setCentralWidget(frames_);
    // Actions and menus: the views copy no cell text on Ctrl+C; the clipboard is the editor's.
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(configFrame_->VST_Tree()),
                                    static_cast<QAbstractItemView*>(configFrame_->VST_List()),
                                    static_cast<QAbstractItemView*>(runtimeFrame_->VST_RTree),
                                    static_cast<QAbstractItemView*>(runtimeFrame_->VST_ComList)})
        SwitchOffTextCopy(*view);

    tray_ = seams_.CreateTray ? seams_.CreateTray(this) : CreateSystemTrayIcon(this);
    if (tray_)
        tray_->OnClick = [this] { Guarded([this] { RxTrayIcon1Click(); }); };
}

bool TF_Main::ConfigInFront() const { return frames_ && frames_->currentWidget() == configFrame_; }

void TF_Main::BringConfigToFront()
{
    if (frames_)
        frames_->setCurrentWidget(configFrame_);
}

void TF_Main::ViewRuntime() { Ac_ViewRuntimeExecute(); }

// Actions and menus: the editor's enabling reaches the menu items.
void TF_Main::SetEditCommands(const TEditorCommands& commands)
{
    editCommands_ = commands;
    if (menu_)
        menu_->SetEditCommands(commands);
}

void TF_Main::SetRegisterConfigEnabled(bool enabled)
{
    registerConfigEnabled_ = enabled;
    if (menu_)
        menu_->SetRegisterConfigEnabled(enabled);
}

// --- Start-up and shut-down ---

void TF_Main::FormCreate()
{
    if (created_)
        return;
    created_ = true;

    // 1-2. The start-up period begins; the program's mouse and exception hooks.
    StartingUp = true;
    InstallHooks();
    // 3-4. The settings file (its path was chosen by the program entry), the placement from
    // the same file.
    ReadSettings();
    settingsRead_ = true;
    if (!headless_)
        RestorePlacement();
    // 5-7. Captions, the control list, the frames.
    ApplyLanguage();
    ControlPropsList = std::make_unique<TControlPropsList>();
    if (configFrame_) {
        configFrame_->InitEditor();
        // The widths read from the settings go onto the views; written back at the end.
        AttachConfigColumns(columns_.get());
    }
    if (monitor_)
        monitor_->Init();
    server_.SetFillComList([this] {
        if (monitor_)
            monitor_->FillComList();
    });
    // 8-11. The configuration, the OPC registry, registering, the server's registration.
    server_.LoadConfiguration();
    if (configFrame_)
        configFrame_->ShowLoadedConfiguration();
    server_.CreateRegistry([this](int code, opc::TMonitorObject obj) { OnOPCMonitorEvent(code, obj); });
    server_.RegisterConfiguration();
    server_.RegisterServerWhenNeeded();
    // 12-13. The pulse, the start timer, the caption.
    opc::PulseEnabled = true;
    pulseTimer_->setEnabled(true);
    startTimer_->setEnabled(true);
    UpdateMainCaption();
}

void TF_Main::InstallHooks()
{
    qApp->installEventFilter(this);
    SetAppExceptionHandler([this](const std::string& what) { AppException(what); });
    SetMainCaptionUpdater([this] { UpdateMainCaption(); });
    SetSettingsNotifier([this](Note kind, const std::string& text) {
        if (kind == Note::Error) {
            qCWarning(lcMain, "%s", text.c_str());
            ShowErrorBox(text);
        } else {
            qCInfo(lcMain, "%s", text.c_str());
        }
    });
    // A channel that cannot open its port, a configuration that cannot be read: the
    // program's message dialog, which writes to the log where nothing can be shown.
    vx::SetMessageNotifier([](vx::TMessageKind kind, const std::string& text) {
        const vx::TMsgDlgType type = kind == vx::TMessageKind::Error         ? vx::mtError
                                     : kind == vx::TMessageKind::Information ? vx::mtInformation
                                                                             : vx::mtWarning;
        vx::ShowMessageDlg(text, type, vx::mbOKOnly);
    });
    clockWatch_ = std::make_unique<plat::ClockWatch>([this] { Guarded([this] { WMTimeChange(); }); },
                                                     seams_.UtcOffset);
}

void TF_Main::RemoveHooks()
{
    clockWatch_.reset();
    if (qApp)
        qApp->removeEventFilter(this);
    SetAppExceptionHandler({});
    SetMainCaptionUpdater({});
    SetSettingsNotifier({});
    vx::SetMessageNotifier({});
}

void TF_Main::FormDestroy()
{
    if (destroyed_)
        return;
    destroyed_ = true;
    pulseTimer_->setEnabled(false);
    startTimer_->setEnabled(false);
    pendingUpdates_.clear();
    if (!created_)
        return;
    // First of all: a client released from now on raises events that reach no window.
    server_.SilenceMonitorEvents();
    if (runtimeFrame_)
        runtimeFrame_->SetTerminating(true);
    RemoveHooks();
    try {
        if (vx::CommServer && vx::CommServer->Running)
            vx::CommServer->StopCommunication();
    } catch (const std::exception& e) {
        qCWarning(lcMain, "Stopping communication failed: %s", e.what());
    }
    if (settingsRead_) {
        if (!headless_)
            SavePlacement();
        try {
            WriteSettings();
        } catch (const std::exception& e) {
            qCWarning(lcMain, "Settings not written: %s", e.what());
        }
    }
    AttachConfigColumns(nullptr);
    ControlPropsList.reset();
}

void TF_Main::ShowMainWindow()
{
    if (headless_)
        return;
    if (maximizeOnShow_)
        showMaximized();
    else
        show();
}

// --- Placement ---

void TF_Main::RestorePlacement()
{
    std::optional<TWindowPlacement> placement;
    try {
        placement = ReadPlacement(IniFile(vx::IniFileName));
    } catch (const std::exception& e) {
        qCWarning(lcMain, "Window placement not read: %s", e.what());
    }
    if (!placement)
        return;
    std::vector<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.push_back(screen->geometry());
    const QRect& normal = placement->Normal;
    if (!PlacementFits(normal, screens, minimumSize())) {
        qCInfo(lcMain, "The saved window placement (%d,%d %dx%d) is on no screen present or too small: the window "
                       "opens centred",
               normal.left(), normal.top(), normal.width(), normal.height());
        return;
    }
    setGeometry(normal);
    maximizeOnShow_ = placement->ShowCmd == kShowMaximized;
}

void TF_Main::SavePlacement()
{
    TWindowPlacement placement;
    placement.ShowCmd = windowState().testFlag(Qt::WindowMaximized) ? kShowMaximized : kShowNormal;
    placement.PixelsPerInch = logicalDpiY();
    placement.Normal = normalGeometry().isValid() ? normalGeometry() : geometry();
    try {
        IniFile ini(vx::IniFileName);
        WritePlacement(ini, placement);
        if (!LeaveSettingsFileAlone(ini))
            ini.UpdateFile();
    } catch (const std::exception& e) {
        qCWarning(lcMain, "Window placement not written: %s", e.what());
    }
}

// --- Timers and hooks ---

void TF_Main::PulseTimerTimer()
{
    opc::UpdateFastestUpdateInterval();
    pulseTimer_->setInterval(
        static_cast<int>(std::min<std::uint32_t>(opc::FastestUpdateInterval, std::numeric_limits<int>::max())));
    if (!opc::PulseEnabled || pulseRunning_)
        return;
    TPulseScope scope(*this);
    if (opc::OPCRegistry)
        opc::PulseAllServers(false, plat::clock().now());
    RunPendingUpdates();
}

void TF_Main::RunForcedUpdate(std::function<void()> update)
{
    if (destroyed_ || !update)
        return;
    pendingUpdates_.push_back(std::move(update));
    if (pulseRunning_ || !opc::PulseEnabled)
        return;
    TPulseScope scope(*this);
    RunPendingUpdates();
}

void TF_Main::RunPendingUpdates()
{
    // What failed stays behind for the next tick; PulseEnabled off holds the rest back too.
    while (!pendingUpdates_.empty() && opc::PulseEnabled && !destroyed_) {
        std::function<void()> update = std::move(pendingUpdates_.front());
        pendingUpdates_.pop_front();
        update();
    }
}

void TF_Main::StartTimerTimer()
{
    // The server node is always there: more than one node means a station or a modem.
    if (StartingUp && server_.Editor().Tree().NodeCount() > 1)
        Ac_HideServerExecute();
    // The start-up period ends here whether the window hid or not, so that no client that
    // comes much later hides it.
    StartingUp = false;
    startTimer_->setEnabled(false);
}

bool TF_Main::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        StartingUp = false;
        startTimer_->setEnabled(false);
    }
    return QMainWindow::eventFilter(watched, event);
}

void TF_Main::AppException(const std::string& what)
{
    qCWarning(lcMain, "Exception: %s", what.c_str());
    if (!vx::ShowMessages)
        return;
    // Shown once the loop is back, never as a modal loop inside a client's call; not any
    // more once the program ends.
    QMetaObject::invokeMethod(
        this,
        [this, text = what] {
            if (!destroyed_)
                ShowErrorBox(text);
        },
        Qt::QueuedConnection);
}

void TF_Main::ShowErrorBox(const std::string& text)
{
    if (seams_.ErrorBox) {
        seams_.ErrorBox(text);
        return;
    }
    if (headless_ || !DisplayShowsBoxes())
        return;
    QMessageBox::critical(isVisible() ? this : nullptr, QString::fromLatin1(kApplicationTitle),
                          QString::fromStdString(text));
}

void TF_Main::RequestEnd()
{
    // Not QCoreApplication::quit, which would close the window and so ask the questions again.
    if (seams_.EndApplication)
        seams_.EndApplication();
    else
        QCoreApplication::exit(0);
}

// --- Monitor events ---

void TF_Main::OnOPCMonitorEvent(int code, opc::TMonitorObject obj)
{
    if (destroyed_ || code < opc::meGroupAdded || code > opc::meItemActivated)
        return;
    if (monitor_)
        RouteMonitorEvent(*monitor_, code, obj);
    // What the window itself does on an event: communication starts with a client's first
    // item; the first client ends the start-up period.
    if (code == opc::meItemAdded)
        QueueCommunicationStart();
    if (code == opc::meServerCreated && StartingUp)
        StartTimerTimer();
}

void TF_Main::QueueCommunicationStart()
{
    if (communicationStartQueued_ || (vx::CommServer && vx::CommServer->Running))
        return;
    communicationStartQueued_ = true;
    // Not inside the client's AddItems, under OPCLock: a port that cannot open shows a box.
    QMetaObject::invokeMethod(
        this,
        [this] {
            communicationStartQueued_ = false;
            Guarded([this] {
                if (destroyed_ || !vx::CommServer || vx::CommServer->Running)
                    return;
                qCInfo(lcMain, "A client added its first item: communication started");
                vx::CommServer->StartCommunication();
            });
        },
        Qt::QueuedConnection);
}

// --- Clock changes ---

void TF_Main::WMTimeChange()
{
    qCInfo(lcMain, "The clock or the local time offset changed: every variable is due and every group reports");
    if (vx::ComList)
        vx::ComList->RestartTimeouts();
    if (vx::StationList)
        for (std::size_t s = vx::StationList->size(); s-- > 0;) {
            const vx::TStation* station = (*vx::StationList)[s];
            if (!station->Variables)
                continue;
            const auto& variables = station->Variables->items();
            for (auto it = variables.rbegin(); it != variables.rend(); ++it)
                (*it)->LastUpdate = 0;
        }
    if (forcedPulseQueued_)
        return;
    forcedPulseQueued_ = true;
    RunForcedUpdate([this] {
        forcedPulseQueued_ = false;
        if (opc::OPCRegistry)
            opc::PulseAllServers(true, plat::clock().now());
    });
}

// --- Window, tray, caption ---

void TF_Main::RxTrayIcon1Click()
{
    if (headless_)
        return;
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void TF_Main::Ac_HideServerExecute()
{
    if (headless_)
        return;
    if (monitor_)
        monitor_->FullCollapse();
    // Hiding never stops any work. Without a tray the window stays reachable from the task bar.
    if (HasTray()) {
        hide();
    } else {
        qCInfo(lcMain, "No system tray: the window is minimised instead of hidden");
        showMinimized();
    }
}

void TF_Main::UpdateMainCaption()
{
    setWindowTitle(QString::fromLatin1(kCaptionPrefix) + QString::fromStdString(vx::CfgFileName));
}

void TF_Main::ApplyLanguage()
{
    // Rewritten combo items report changed texts: a language change is never an edit.
    TFillingControlsGuard filling;
    // The caption and the tray tip are fixed; the frames set their own captions.
    if (menu_)
        menu_->ApplyCaptions();
    if (configFrame_) {
        // Not UpdateStatusBar: refilling the list would drop the selection that drives the page.
        RetranslateStatusText(*configFrame_);
        // Repaints both views last, so that texts computed while painting follow.
        configFrame_->ApplyCaptions();
    }
    if (runtimeFrame_) {
        runtimeFrame_->ApplyCaptions();
        runtimeFrame_->VST_RTree->viewport()->update();
    }
}

// --- Closing ---

void TF_Main::FormCloseQuery(bool& canClose)
{
    canClose = true;
    TConfigEditor& editor = server_.Editor();
    if (editor.RegisterPending()) {
        const int answer =
            vx::ShowMessageDlg(vx::GetLangText(kMsgRegisterConfiguration), vx::mtConfirmation, vx::mbYesNoCancel);
        if (answer == vx::mrYes) {
            server_.Registrar().RefreshExecute();
        } else if (answer != vx::mrNo) {
            canClose = false;
            return;
        }
    }
    if (editor.Modified()) {
        const int answer = vx::ShowMessageDlg(vx::GetLangText(kMsgSaveChanges), vx::mtConfirmation, vx::mbYesNoCancel);
        if (answer == vx::mrYes) {
            server_.FileCommands().SaveConfiguration(TSaveSender::Save);
            // A cancelled file dialog or a failed save must not lose the edits.
            if (editor.Modified())
                canClose = false;
        } else if (answer != vx::mrNo) {
            canClose = false;
        }
    }
}

bool TF_Main::CloseQuery()
{
    bool canClose = true;
    FormCloseQuery(canClose);
    if (!canClose)
        return false;
    if (com::serverProcessCount() > 0 &&
        vx::ShowMessageDlg(kClientsStillConnectedText, vx::mtConfirmation, vx::mbYesNo) != vx::mrYes)
        return false;
    RequestEnd();
    return true;
}

void TF_Main::closeEvent(QCloseEvent* event)
{
    bool closing = false;
    Guarded([&] { closing = CloseQuery(); });
    if (closing)
        event->accept();
    else
        event->ignore();
}

void TF_Main::Ac_ShutDownServerExecute()
{
    if (opc::TServer* registry = server_.Registry())
        registry->ShutdownClients();
    if (CloseQuery() && !headless_)
        hide();
}

void TF_Main::LastClientReleased()
{
    const TConfigEditor& editor = server_.Editor();
    const bool changes = editor.Modified() || editor.RegisterPending();
    if (!changes || headless_) {
        if (changes)
            qCWarning(lcMain, "The editor's changes are lost: without a window nobody can be asked");
        RequestEnd();
        return;
    }
    // Ending unasked would lose the editor's changes: the window comes up with the questions,
    // and Cancel keeps the program running.
    qCInfo(lcMain, "The last client is gone, but the configuration holds changes: asking before the end");
    RxTrayIcon1Click();
    CloseQuery();
}

}  // namespace vos

// Program entry: the command line, the communication library and the OPC layer, the COM
// server's switches, the main window and its event loop, then everything taken down again in
// order. Without a display the same run goes on headless: no window, every message to stderr.
#include <QLoggingCategory>
#include <QStringList>
#include <QTimer>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/app_exception.h"
#include "app/com_server.h"
#include "app/command_line.h"
#include "app/main_window.h"
#include "app/server_start.h"
#include "app/settings_path.h"
#include "app/shutdown.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "opc/opc_register.h"
#include "platform/com/catmgr.h"
#include "platform/com/registry.h"

namespace {

Q_LOGGING_CATEGORY(lcEntry, "vx.app.entry")

// Headless when asked, or when there is no display and no platform is named; an explicitly
// named platform (offscreen in tests and for the screenshots) gets the window.
bool RunsHeadless(bool asked)
{
    return asked || (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
                     qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"));
}

// Qt warns on every start without a runtime directory (root in a bare shell, a service). The
// directory it would fall back to is made private here and named, so that it stays quiet.
void PrepareRuntimeDirectory()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const passwd* user = ::getpwuid(::geteuid());
    const std::string dir =
        "/tmp/runtime-" + (user && user->pw_name ? std::string(user->pw_name) : std::to_string(::geteuid()));
    ::mkdir(dir.c_str(), 0700);
    struct stat st = {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 0777) == 0700)
        qputenv("XDG_RUNTIME_DIR", dir.c_str());
}

// A registry file that cannot be read leaves the registry in memory only, which a start
// with the register switches reports as a failure.
void AttachRegistryFile(const std::string& file)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    std::string error;
    if (!com::classesRoot().attachFile(file, &error))
        qCWarning(lcEntry, "%s", error.c_str());
}

// What the COM server support does before any window: the class registrations rewritten (or
// removed with the unregister switch). A registry that cannot be written ends a run with
// either switch with a failure; any other start goes on without it.
HRESULT RefreshClassRegistration(const opc::TComServerSwitches& switches, const std::vector<std::u16string>& activationArgs)
{
    std::string why;
    const bool registering = !switches.UnregServer;
    const HRESULT hr = opc::UpdateClassRegistration(registering, QCoreApplication::applicationFilePath().toStdU16String(),
                                                    &why, activationArgs);
    if (FAILED(hr))
        qCWarning(lcEntry, "the server's classes could not be %s: %s", registering ? "registered" : "unregistered",
                  why.c_str());
    return hr;
}

// Ends the event loop without the close questions. QCoreApplication::quit would close every
// window first, which asks them.
void EndEventLoop() { QCoreApplication::exit(0); }

// A signal ends the server without questions: clients that asked to hear of it are asked to
// disconnect, then the loop ends and the window's destruction runs its steps.
void ShutDownOnSignal()
{
    opc::TServer* registry = nullptr;
    bool clients = false;
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        registry = opc::OPCRegistry;
        clients = registry && !registry->Servers.empty();
    }
    if (clients) {
        qCInfo(lcEntry, "Ending on a signal; the clients are asked to disconnect");
        registry->ShutdownClients();
    } else {
        qCInfo(lcEntry, "Ending on a signal");
    }
    EndEventLoop();
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv, argv + argc);
    const vos::TCommandLineResult commandLine = vos::ParseCommandLine(args);
    switch (commandLine.kind) {
    case vos::TCommandLineResult::Help:
    case vos::TCommandLineResult::Version:
        std::fputs(commandLine.text.c_str(), stdout);
        return 0;
    case vos::TCommandLineResult::Error:
        std::fputs(commandLine.text.c_str(), stderr);
        return vos::kBadCommandLineExit;
    case vos::TCommandLineResult::Run:
        break;
    }
    const bool headless = RunsHeadless(commandLine.line.Headless);
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    PrepareRuntimeDirectory();

    // Every log line with its time and category; QT_MESSAGE_PATTERN still overrides it.
    qSetMessagePattern("%{time yyyy-MM-dd hh:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}");
    vos::TApplication app(argc, argv);
    QCoreApplication::setApplicationName("VornOPCServer");
    vos::InstallOnQuitSignals(app, ShutDownOnSignal);

    // 1. The communication library, the OPC layer and the COM server support's switches.
    vx::InitializeComm();
    opc::RegisterOPCClipboardFormats();
    opc::StartSwitches = commandLine.line.Switches;

    // The system's part of COM: the main thread's apartment and the categories manager.
    const com::ApartmentScope apartment;
    DWORD categoriesManager = 0;
    com::registerComponentCategoriesManager(&categoriesManager);
    opc::TClassObjectRegistration classObjects;
    auto finalize = [&] {
        classObjects.Revoke();
        CoRevokeClassObject(categoriesManager);
        vx::FinalizeComm();
    };

    std::string registryFile;
    try {
        vx::IniFileName = vos::SettingsFilePath(args);
        registryFile = vos::RegistryFilePath(args, vx::IniFileName);
        AttachRegistryFile(registryFile);
    } catch (const std::exception& e) {
        qCCritical(lcEntry, "%s", e.what());
        finalize();
        return vos::kBadCommandLineExit;
    }

    const HRESULT registration =
        RefreshClassRegistration(opc::StartSwitches, vos::ActivationArguments(args, vx::IniFileName, registryFile));
    if (opc::StartSwitches.EndsAfterRegistration()) {
        finalize();
        return FAILED(registration) || com::classesRoot().file().empty() ? 1 : 0;
    }
    if (const HRESULT hr = classObjects.Register(); FAILED(hr))
        qCWarning(lcEntry, "the class objects could not be registered with COM (0x%08X)", static_cast<unsigned>(hr));

    // 2-4. The main window (F_Main from its construction on), its creation, the event loop.
    // The application's title is the message dialog's (vx::kApplicationTitle); Qt's display
    // name stays unset, as it would be appended to every window title.
    auto server = std::make_unique<vos::TServerStart>();
    auto window = std::make_unique<vos::TF_Main>(*server, headless);
    std::optional<vos::TEndAfterLastRelease> endAfterLastRelease;
    int rc = 0;
    try {
        window->FormCreate();
        window->ShowMainWindow();
        // Watched only from here on: start-up makes and drops objects of its own.
        if (opc::StartSwitches.StartedByCom())
            endAfterLastRelease.emplace([] {
                if (vos::F_Main)
                    vos::F_Main->LastClientReleased();
                else
                    EndEventLoop();
            });
        if (commandLine.line.QuitAfterMs >= 0)
            QTimer::singleShot(commandLine.line.QuitAfterMs, &app, EndEventLoop);
        qCInfo(lcEntry, "VornOPCServer running%s; %s", headless ? " headless" : "",
               opc::StartSwitches.StartedByCom() ? "ends after the last client"
               : headless                        ? "stop with Ctrl+C"
                                                 : "stop with Ctrl+C or from its window");
        rc = QCoreApplication::exec();
    } catch (const std::exception& e) {
        qCCritical(lcEntry, "start-up failed: %s", e.what());
        rc = 2;
    } catch (...) {
        qCCritical(lcEntry, "start-up failed: unknown exception");
        rc = 2;
    }

    // 5. The window's destruction (communication stopped, placement and settings written),
    // the OPC registry's end (remaining clients cut off), the singletons.
    endAfterLastRelease.reset();
    window->FormDestroy();
    window.reset();
    server->EndRegistry();
    server.reset();
    finalize();
    return rc;
}

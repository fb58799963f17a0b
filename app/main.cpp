// Program entry: brings the communication library up, runs the event loop on the main
// thread and takes everything down again in order.
#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/server_start.h"
#include "app/settings.h"
#include "app/settings_path.h"
#include "app/shutdown.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "opc/opc_register.h"
#include "platform/com/catmgr.h"
#include "platform/com/registry.h"

namespace {

// --quit-after MS: leave the event loop after MS milliseconds (smoke tests, demos).
int quitAfterMs(const QStringList& args)
{
    const int i = static_cast<int>(args.indexOf("--quit-after"));
    if (i < 0 || i + 1 >= args.size())
        return -1;
    bool ok = false;
    const int ms = args[i + 1].toInt(&ok);
    return ok && ms >= 0 ? ms : -1;
}

constexpr char kRegistryFileName[] = "VornOPCServer.reg";

// The file that stands in for HKEY_CLASSES_ROOT: the path of "--registry PATH" or
// "--registry=PATH" (the last one given), else "VornOPCServer.reg" beside the settings file.
std::string RegistryFilePath(const std::vector<std::string>& args, const std::string& settingsFile)
{
    static constexpr std::string_view kOption = "--registry";
    std::string chosen;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == kOption) {
            if (i + 1 >= args.size() || args[i + 1].empty())
                throw std::invalid_argument("--registry needs the path of a registry file");
            chosen = args[++i];
        } else if (arg.starts_with(kOption) && arg.size() > kOption.size() && arg[kOption.size()] == '=') {
            chosen = arg.substr(kOption.size() + 1);
            if (chosen.empty())
                throw std::invalid_argument("--registry needs the path of a registry file");
        }
    }
    if (chosen.empty())
        return (std::filesystem::path(settingsFile).parent_path() / kRegistryFileName).string();
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(chosen, ec);
    return ec ? chosen : absolute.lexically_normal().string();
}

// A registry file that cannot be read leaves the registry in memory only, which a start
// with the register switches reports as a failure.
void AttachRegistryFile(const std::string& file)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    std::string error;
    if (!com::classesRoot().attachFile(file, &error))
        std::fprintf(stderr, "VornOPCServer: %s\n", error.c_str());
}

// What the COM server support does before any window: the class registrations rewritten (or
// removed with the unregister switch). A registry that cannot be written ends a run with
// either switch with a failure; any other start goes on without it.
HRESULT RefreshClassRegistration(const opc::TComServerSwitches& switches)
{
    std::string why;
    const bool registering = !switches.UnregServer;
    const HRESULT hr = opc::UpdateClassRegistration(registering, QApplication::applicationFilePath().toStdU16String(), &why);
    if (FAILED(hr))
        std::fprintf(stderr, "VornOPCServer: the server's classes could not be %s: %s\n",
                     registering ? "registered" : "unregistered", why.c_str());
    return hr;
}

}  // namespace

int main(int argc, char** argv)
{
    // Without a display the program still runs, as a server without a visible window.
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // Every log line with its time; QT_MESSAGE_PATTERN still overrides it.
    qSetMessagePattern("%{time yyyy-MM-dd hh:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}");
    QApplication app(argc, argv);
    QApplication::setApplicationName("VornOPCServer");
    vos::InstallQuitOnSignals(app);

    const int quitAfter = quitAfterMs(QApplication::arguments());
    if (quitAfter >= 0)
        QTimer::singleShot(quitAfter, &app, &QCoreApplication::quit);

    vx::InitializeComm();
    opc::RegisterOPCClipboardFormats();
    std::vector<std::string> args;
    for (const QString& a : QApplication::arguments())
        args.push_back(a.toStdString());
    opc::StartSwitches = opc::ParseComServerSwitches(args);

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

    try {
        vx::IniFileName = vos::SettingsFilePath(args);
        AttachRegistryFile(RegistryFilePath(args, vx::IniFileName));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VornOPCServer: %s\n", e.what());
        finalize();
        return 2;
    }

    const HRESULT registration = RefreshClassRegistration(opc::StartSwitches);
    if (opc::StartSwitches.EndsAfterRegistration()) {
        finalize();
        return FAILED(registration) || com::classesRoot().file().empty() ? 1 : 0;
    }
    if (const HRESULT hr = classObjects.Register(); FAILED(hr))
        std::fprintf(stderr, "VornOPCServer: the class objects could not be registered with COM (0x%08X)\n",
                     static_cast<unsigned>(hr));

    try {
        vos::ReadSettings();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VornOPCServer: %s\n", e.what());
        finalize();
        return 2;
    }

    // What the main window's creation does until there is one: the configuration named in
    // the settings, the OPC registry, registering, the server's registration and the pulse.
    auto server = std::make_unique<vos::TServerStart>();
    int rc = 0;
    try {
        server->Start();
        std::fprintf(stderr, "VornOPCServer running; stop with Ctrl+C\n");
        rc = QApplication::exec();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VornOPCServer: start-up failed: %s\n", e.what());
        rc = 2;
    }

    // The pulse, communication and the OPC registry go first, then the settings are
    // written and the singletons freed.
    server->Shutdown();
    vx::CommServer->StopCommunication();
    try {
        vos::WriteSettings();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VornOPCServer: settings not written: %s\n", e.what());
    }
    server.reset();
    finalize();
    return rc;
}

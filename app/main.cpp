// Program entry: brings the communication library up, runs the event loop on the main
// thread and takes everything down again in order.
#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "app/settings.h"
#include "app/settings_path.h"
#include "app/shutdown.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"

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

}  // namespace

int main(int argc, char** argv)
{
    // Without a display the program still runs, as a server without a visible window.
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);
    QApplication::setApplicationName("VornOPCServer");
    vos::InstallQuitOnSignals(app);

    const int quitAfter = quitAfterMs(QApplication::arguments());
    if (quitAfter >= 0)
        QTimer::singleShot(quitAfter, &app, &QCoreApplication::quit);

    vx::InitializeComm();
    std::vector<std::string> args;
    for (const QString& a : QApplication::arguments())
        args.push_back(a.toStdString());
    try {
        vx::IniFileName = vos::SettingsFilePath(args);
        vos::ReadSettings();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VornOPCServer: %s\n", e.what());
        vx::FinalizeComm();
        return 2;
    }

    std::fprintf(stderr, "VornOPCServer running; stop with Ctrl+C\n");
    const int rc = QApplication::exec();

    vx::CommServer->StopCommunication();
    try {
        vos::WriteSettings();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VornOPCServer: settings not written: %s\n", e.what());
    }
    vx::FinalizeComm();
    return rc;
}

// Program entry: brings the communication library up, runs the event loop on the main
// thread and takes everything down again in order.
#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/shutdown.h"
#include "comm/vx_classes.h"

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
    std::fprintf(stderr, "VornOPCServer running; stop with Ctrl+C\n");
    const int rc = QApplication::exec();
    vx::CommServer->StopCommunication();
    vx::FinalizeComm();
    return rc;
}

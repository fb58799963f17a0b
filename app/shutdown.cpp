#include "shutdown.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace vos {
namespace {

// Both ends non-blocking: a handler never waits on a full pipe, and the loop never waits
// on an empty one.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    // Only async-signal-safe work here, and errno as it was for the code interrupted; a
    // full pipe already holds a wake-up, so a byte that does not fit is not missed.
    const int savedErrno = errno;
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &b, 1);
    errno = savedErrno;
}

}  // namespace

void InstallQuitOnSignals(QCoreApplication& app)
{
    InstallOnQuitSignals(app, [] { QCoreApplication::quit(); });
}

void InstallOnQuitSignals(QCoreApplication& app, std::function<void()> onQuitSignal)
{
    if (signalPipe[0] < 0
        && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    static std::function<void()> action;
    action = std::move(onQuitSignal);
    static QPointer<QSocketNotifier> notifier;
    if (!notifier) {
        notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
            char buf[256];
            while (::read(signalPipe[0], buf, sizeof buf) > 0) {
            }
            if (action)
                action();
        });
    }
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A closed terminal ends the program like Ctrl+C, with its settings written.
    sigaction(SIGHUP, &sa, nullptr);
}

}  // namespace vos

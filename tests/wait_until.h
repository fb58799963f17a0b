#pragma once
// For tests over real pseudo-terminals and sockets: wait on events, never on fixed sleeps.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

namespace vxtest {

// Runs the event loop until done() holds or boundMs passes; false when the bound passed.
inline bool waitUntil(const std::function<bool()>& done, int boundMs = 5000)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer wake;  // WaitForMoreEvents needs something to wake it when done() polls a fd
    wake.start(5);
    while (!done()) {
        if (elapsed.elapsed() > boundMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace vxtest

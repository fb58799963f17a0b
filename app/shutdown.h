#pragma once
// Orderly shut-down of the program on SIGINT, SIGTERM or SIGHUP: the signal only wakes the event
// loop, which then quits (or runs the action given) and lets main free everything in order.
#include <functional>

class QCoreApplication;

namespace vos {

// Installs the handlers; the loop of app quits when a signal arrives. Installing again
// keeps the one wake-up.
void InstallQuitOnSignals(QCoreApplication& app);
// The same with onQuitSignal run on the event loop in place of the quit; installing again
// replaces the action.
void InstallOnQuitSignals(QCoreApplication& app, std::function<void()> onQuitSignal);

}  // namespace vos

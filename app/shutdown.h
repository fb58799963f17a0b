#pragma once
// Orderly shut-down of the program on SIGINT, SIGTERM or SIGHUP: the signal only wakes the event
// loop, which then quits and lets main free everything in order.
class QCoreApplication;

namespace vos {

// Installs the handlers; the loop of app quits when a signal arrives. Installing again
// keeps the one wake-up.
void InstallQuitOnSignals(QCoreApplication& app);

}  // namespace vos

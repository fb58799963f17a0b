#pragma once
// Exceptions that reach the event loop. Qt cannot carry an exception through its loop, so
// every entry point from the loop (timers, actions, monitor events, window events) catches
// at its boundary and hands the exception to the application's handler; the application
// object's notify catches whatever still escapes. The program goes on in every case.
#include <QApplication>
#include <exception>
#include <functional>
#include <string>

namespace vos {

// Where exceptions go: the main window's AppException while it exists. Empty restores the
// default, which only writes the line to the log.
using TAppExceptionHandler = std::function<void(const std::string& what)>;
void SetAppExceptionHandler(TAppExceptionHandler handler);

// Hands the exception in flight (call from a catch block) to the handler.
void HandleCurrentException();

// Runs work at an entry point from the event loop; an exception goes to the handler.
template <class Work>
void Guarded(Work&& work)
{
    try {
        work();
    } catch (...) {
        HandleCurrentException();
    }
}

// The event delivery of the application object with exceptions caught: what escapes
// deliver goes to the handler and the event counts as not handled.
bool NotifyGuarded(const std::function<bool()>& deliver);

// The program's application object.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv) : QApplication(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vos

#include "app_exception.h"

#include <QLoggingCategory>

namespace vos {

namespace {

Q_LOGGING_CATEGORY(lcException, "vx.app.exception")

TAppExceptionHandler handler;

std::string CurrentExceptionText()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

void SetAppExceptionHandler(TAppExceptionHandler h) { handler = std::move(h); }

void HandleCurrentException()
{
    const std::string what = CurrentExceptionText();
    if (!handler) {
        qCWarning(lcException, "Exception: %s", what.c_str());
        return;
    }
    // The handler's own failure must not escape into the loop either.
    try {
        handler(what);
    } catch (...) {
        qCWarning(lcException, "Exception: %s (and its report failed)", what.c_str());
    }
}

bool NotifyGuarded(const std::function<bool()>& deliver)
{
    try {
        return deliver();
    } catch (...) {
        HandleCurrentException();
        return false;
    }
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    return NotifyGuarded([&] { return QApplication::notify(receiver, event); });
}

}  // namespace vos

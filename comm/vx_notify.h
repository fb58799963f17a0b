#pragma once
// Where the communication core shows a message to the user: a channel that cannot open its
// port, an exception that reached one of its event handlers. The main window turns these
// into message boxes; tests record them. The caller decides whether to show at all
// (the setting ShowMessages).
#include <functional>
#include <string>

namespace vx {

// The message dialog's types.
enum class TMessageKind {
    Warning = 0,
    Error = 1,
    Information = 2,
};

using TMessageNotifier = std::function<void(TMessageKind kind, const std::string& text)>;

// Empty restores the default, which writes to the Qt log.
void SetMessageNotifier(TMessageNotifier notifier);
void NotifyMessage(TMessageKind kind, const std::string& text);

}  // namespace vx

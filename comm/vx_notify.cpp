#include "vx_notify.h"

#include <QtGlobal>

namespace vx {

namespace {
TMessageNotifier notifier;
}  // namespace

void SetMessageNotifier(TMessageNotifier n) { notifier = std::move(n); }

void NotifyMessage(TMessageKind kind, const std::string& text)
{
    if (notifier) {
        notifier(kind, text);
        return;
    }
    if (kind == TMessageKind::Information)
        qInfo("%s", text.c_str());
    else
        qWarning("%s", text.c_str());
}

}  // namespace vx

#include "control_props.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTextEdit>
#include <QWidget>
#include <stdexcept>

#include "comm/vx_msgdlg.h"

namespace vos {

bool FillingControls = false;
std::unique_ptr<TControlPropsList> ControlPropsList;

namespace {

bool IsListCombo(const QWidget* control)
{
    const auto* combo = qobject_cast<const QComboBox*>(control);
    return combo && !combo->isEditable();
}

// Whether the control, or the widget it hands its focus to, can take the focus now.
bool CanFocus(const QWidget* control)
{
    const QWidget* target = control;
    while (target->focusProxy())
        target = target->focusProxy();
    return control->isVisible() && control->isEnabled() && target->isEnabled() &&
           target->focusPolicy() != Qt::NoFocus;
}

// Brings to the front the page of every stacked widget and tab widget that holds control.
void ShowPagesOf(QWidget* control)
{
    for (QWidget* child = control; child && !child->isWindow(); child = child->parentWidget()) {
        auto* stack = qobject_cast<QStackedWidget*>(child->parentWidget());
        if (!stack)
            continue;
        // A tab widget keeps its pages in a stack of its own; only the tab widget keeps its
        // tab bar in step.
        if (auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget()); tabs && tabs->indexOf(child) >= 0)
            tabs->setCurrentWidget(child);
        else
            stack->setCurrentWidget(child);
    }
}

}  // namespace

bool IsEditLike(const QWidget* control)
{
    return qobject_cast<const QLineEdit*>(control) || qobject_cast<const QAbstractSpinBox*>(control) ||
           qobject_cast<const QComboBox*>(control) || qobject_cast<const QTextEdit*>(control) ||
           qobject_cast<const QPlainTextEdit*>(control) || qobject_cast<const QAbstractItemView*>(control);
}

QColor ControlColor(const QWidget* control)
{
    if (!control)
        throw std::invalid_argument("ControlColor: no control");
    return control->palette().color(IsEditLike(control) ? QPalette::Base : QPalette::Window);
}

void SetControlColor(QWidget* control, const QColor& color)
{
    if (!control)
        throw std::invalid_argument("SetControlColor: no control");
    QPalette palette = control->palette();
    if (IsEditLike(control)) {
        palette.setColor(QPalette::Base, color);
        // A drop-down list draws its field with the Button role; the default field colour
        // leaves the style's own face.
        if (IsListCombo(control)) {
            const QPalette standard = QApplication::palette(control);
            palette.setColor(QPalette::Button,
                             color == standard.color(QPalette::Base) ? standard.color(QPalette::Button) : color);
        }
    } else {
        // Buttons fill with the Button role unless told otherwise.
        palette.setColor(QPalette::Window, color);
        control->setBackgroundRole(QPalette::Window);
        control->setAutoFillBackground(true);
    }
    control->setPalette(palette);
}

TControlPropsList::~TControlPropsList()
{
    // Entries go last to first; the connections to the controls end with this object.
    while (!items_.empty())
        items_.pop_back();
}

int TControlPropsList::AddControl(QWidget* control)
{
    if (!control)
        throw std::invalid_argument("TControlPropsList::AddControl: no control");
    if (TControlProps* known = Find(control)) {
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (items_[i].get() == known)
                return static_cast<int>(i);
    }
    auto props = std::make_unique<TControlProps>();
    props->Control = control;
    props->SavedColor = ControlColor(control);
    byControl_[control] = props.get();
    items_.push_back(std::move(props));
    connect(control, &QObject::destroyed, this, [this](QObject* gone) { Forget(gone); });
    return static_cast<int>(items_.size()) - 1;
}

void TControlPropsList::Forget(const QObject* control)
{
    const auto found = byControl_.find(control);
    if (found == byControl_.end())
        return;
    const TControlProps* props = found->second;
    byControl_.erase(found);
    std::erase_if(items_, [props](const std::unique_ptr<TControlProps>& p) { return p.get() == props; });
}

void TControlPropsList::RestoreColors()
{
    TFillingControlsGuard filling;
    for (const std::unique_ptr<TControlProps>& props : items_) {
        if (!props->Changed)
            continue;
        props->Changed = false;
        SetControlColor(props->Control, props->SavedColor);
    }
}

TControlProps* TControlPropsList::Find(const QWidget* control) const
{
    const auto found = byControl_.find(control);
    return found == byControl_.end() ? nullptr : found->second;
}

bool TControlPropsList::MarkChanged(QWidget* control)
{
    if (FillingControls)
        return false;
    TControlProps* props = Find(control);
    if (!props || props->Changed)
        return false;
    props->Changed = true;
    props->SavedColor = ControlColor(control);
    SetControlColor(control, QColor::fromRgb(kMarkColor));
    return true;
}

bool IsControlChanged(const QWidget* control)
{
    if (!ControlPropsList)
        return false;
    const TControlProps* props = ControlPropsList->Find(control);
    return props && props->Changed;
}

bool MarkControlChanged(QWidget* control)
{
    return ControlPropsList && ControlPropsList->MarkChanged(control);
}

void SetControlEnabled(QWidget* control, bool enabled)
{
    if (!control)
        throw std::invalid_argument("SetControlEnabled: no control");
    control->setEnabled(enabled);
}

int ShowControlError(QWidget* control, const std::string& text)
{
    if (control) {
        ShowPagesOf(control);
        if (CanFocus(control))
            control->setFocus(Qt::OtherFocusReason);
    }
    return vx::ShowMessageDlg(text, vx::mtError, vx::mbOKOnly);
}

}  // namespace vos

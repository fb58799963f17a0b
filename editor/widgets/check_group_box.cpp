#include "check_group_box.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <stdexcept>

#include "control_props.h"

namespace vos {

namespace {

// A font with every attribute its own, so that the box's font does not reach the check box.
QFont OwnFont(QFont font)
{
    font.setResolveMask(QFont::AllPropertiesResolved);
    return font;
}

}  // namespace

TCheckGroupBox::TCheckGroupBox(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(250, 100);
    CheckBox = new QCheckBox(this);
    CheckBox->setObjectName(QStringLiteral("CheckBox"));
    CheckBox->setFont(OwnFont(font()));
    CheckBox->setChecked(true);
    // Opaque in the box's colour, so the frame line does not run through the caption.
    CheckBox->setBackgroundRole(QPalette::Window);
    CheckBox->setAutoFillBackground(true);
    CheckBox->move(8, 0);
    // clicked comes from the user only; writing Checked runs the click steps itself.
    connect(CheckBox, &QCheckBox::clicked, this, [this] { CheckBoxClick(); });
    setFocusProxy(CheckBox);
    SetControlColor(this, QApplication::palette(this).color(QPalette::Button));
    FitCheckBox();
}

QString TCheckGroupBox::CheckBoxCaption() const { return CheckBox->text(); }

void TCheckGroupBox::SetCheckBoxCaption(const QString& caption)
{
    if (caption == CheckBox->text())
        return;
    CheckBox->setText(caption);
    FitCheckBox();
}

QFont TCheckGroupBox::CheckBoxFont() const { return CheckBox->font(); }

void TCheckGroupBox::SetCheckBoxFont(const QFont& font)
{
    CheckBox->setFont(OwnFont(font));
    FitCheckBox();
}

bool TCheckGroupBox::Checked() const { return CheckBox->isChecked(); }

void TCheckGroupBox::SetChecked(bool checked)
{
    if (checked == CheckBox->isChecked())
        return;
    CheckBox->setChecked(checked);
    CheckBoxClick();
}

void TCheckGroupBox::SetDrawFrame(bool draw)
{
    drawFrame_ = draw;
    update();
}

void TCheckGroupBox::SetCtl3D(bool on)
{
    if (on == ctl3D_)
        return;
    ctl3D_ = on;
    UpdateClientArea();
}

void TCheckGroupBox::Loaded()
{
    FitCheckBox();
    SetChildrenEnabled(this, CheckBox, CheckBox->isChecked());
}

void TCheckGroupBox::FitCheckBox()
{
    const int width = 20 + QFontMetrics(CheckBox->font()).horizontalAdvance(CheckBox->text());
    CheckBox->resize(width, CheckBox->sizeHint().height());
    UpdateClientArea();
}

void TCheckGroupBox::UpdateClientArea()
{
    const int border = ctl3D_ ? 2 : 1;
    setContentsMargins(border, CheckBox->height() + border, border, border);
    update();
}

void TCheckGroupBox::CheckBoxClick()
{
    if (!CheckBox->isChecked())
        SetChildrenEnabled(this, CheckBox, false);
    else if (!testAttribute(Qt::WA_ForceDisabled))
        SetChildrenEnabled(this, CheckBox, true);
    emit OnCheck(globalSender_ ? static_cast<QObject*>(this) : CheckBox);
}

void TCheckGroupBox::OwnEnabledChanged(bool enabled)
{
    if (enabled && !CheckBox->isChecked()) {
        CheckBox->setEnabled(true);
        return;
    }
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!child->isWindow())
            child->setEnabled(enabled);
}

void TCheckGroupBox::changeEvent(QEvent* event)
{
    // Qt also reports the state a parent passes down; the box acts on its own state only.
    if (event->type() == QEvent::EnabledChange) {
        const bool own = !testAttribute(Qt::WA_ForceDisabled);
        if (own != ownEnabled_) {
            ownEnabled_ = own;
            OwnEnabledChanged(own);
        }
    }
    QWidget::changeEvent(event);
}

void TCheckGroupBox::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (!drawFrame_)
        return;
    // A stroked QRect covers one pixel more than its size on the right and at the bottom.
    const int top = CheckBox->height() / 2 - 1;
    const int w = width();
    const int h = height() - top;
    painter.setBrush(Qt::NoBrush);
    if (ctl3D_) {
        painter.setPen(palette().color(QPalette::Dark));
        painter.drawRect(QRect(0, top, w - 2, h - 2));
        painter.setPen(palette().color(QPalette::Light));
        painter.drawRect(QRect(1, top + 1, w - 2, h - 2));
    } else {
        painter.setPen(palette().color(QPalette::Shadow));
        painter.drawRect(QRect(0, top, w - 1, h - 1));
    }
}

void TCheckGroupBox::SetChildrenEnabled(QWidget* container, QWidget* skip, bool enabled)
{
    if (!container)
        throw std::invalid_argument("TCheckGroupBox::SetChildrenEnabled: no container");
    const QObjectList children = container->children();  // a copy: enabling may run code
    for (QObject* object : children) {
        auto* child = qobject_cast<QWidget*>(object);
        if (!child || child == skip || child->isWindow())
            continue;
        child->setEnabled(enabled);
        if (IsEditLike(child)) {
            if (ControlColor(child) != QColor::fromRgb(kLightYellow)) {
                const QPalette standard = QApplication::palette(child);
                SetControlColor(child, standard.color(enabled ? QPalette::Base : QPalette::Button));
            }
        } else if (!qobject_cast<TCheckGroupBox*>(child) && child->findChild<QWidget*>()) {
            SetChildrenEnabled(child, nullptr, enabled);
        }
    }
}

}  // namespace vos

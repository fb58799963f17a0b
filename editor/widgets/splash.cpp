#include "splash.h"

#include <QGuiApplication>
#include <QProgressBar>
#include <QScreen>
#include <algorithm>

#include "comm/vx_lang.h"
#include "platform/clock.h"

namespace vos {

TF_Splash::TF_Splash(std::int32_t captionId, QWidget* parent)
    : TF_Splash(QString::fromStdString(vx::GetLangText(captionId)), parent)
{
}

TF_Splash::TF_Splash(const QString& caption, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("F_Splash"));
    setWindowTitle(caption);
    setModal(false);
    setFixedSize(kClientWidth, kClientHeight);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("ProgressBar"));
    bar_->setGeometry(0, 0, kClientWidth, kClientHeight);
    bar_->setTextVisible(false);
    bar_->setRange(0, maximum_);
    bar_->setValue(0);
}

void TF_Splash::ShowProgress()
{
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    repaint();
    lastRepaintMs_ = plat::clock().monotonicMs();
    repainted_ = true;
}

void TF_Splash::SetMaximumClamped(int maximum)
{
    if (maximum == maximum_)
        return;
    maximum_ = maximum;
    position_ = std::min(position_, maximum_);
    UpdateBar();
}

void TF_Splash::SetPositionClamped(int position)
{
    position = std::min(position, maximum_);
    if (position == position_)
        return;
    position_ = position;
    UpdateBar();
}

void TF_Splash::UpdateBar()
{
    // The bar would repaint itself inside setRange and setValue, as often as it is told;
    // with its updates off it only takes the values, and the repaint below is the one.
    bar_->setUpdatesEnabled(false);
    // An empty range would turn the bar into Qt's busy indicator, which runs on timers: an
    // empty bar instead.
    bar_->setRange(0, std::max(maximum_, 1));
    bar_->setValue(position_);
    bar_->setUpdatesEnabled(true);
    const std::int64_t now = plat::clock().monotonicMs();
    if (repainted_ && now - lastRepaintMs_ < kRepaintIntervalMs)
        return;
    repainted_ = true;
    lastRepaintMs_ = now;
    bar_->repaint();
}

}  // namespace vos

#include "tray_icon.h"

#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace vos {

namespace {

class TSystemTrayIcon final : public TTrayIcon {
public:
    explicit TSystemTrayIcon(QObject* owner) : icon_(new QSystemTrayIcon(ProgramIcon(), owner))
    {
        icon_->setObjectName(QStringLiteral("RxTrayIcon1"));
        icon_->setToolTip(QString::fromLatin1(kTrayToolTip));
        QObject::connect(icon_, &QSystemTrayIcon::activated, icon_, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason != QSystemTrayIcon::Context && OnClick)
                OnClick();
        });
        icon_->show();
    }
    ~TSystemTrayIcon() override { delete icon_; }
    TSystemTrayIcon(const TSystemTrayIcon&) = delete;
    TSystemTrayIcon& operator=(const TSystemTrayIcon&) = delete;

    // The tray may go away while the program runs (the panel restarts).
    bool Available() const override { return QSystemTrayIcon::isSystemTrayAvailable() && icon_->isVisible(); }

private:
    QSystemTrayIcon* icon_;
};

}  // namespace

std::unique_ptr<TTrayIcon> CreateSystemTrayIcon(QObject* owner)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return nullptr;
    return std::make_unique<TSystemTrayIcon>(owner);
}

QIcon ProgramIcon()
{
    // Drawn here: the program ships no image files.
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1f, 0x5f, 0xa8));
        p.drawRoundedRect(QRectF(0.5, 0.5, size - 1.0, size - 1.0), size / 6.0, size / 6.0);
        QFont font;
        font.setBold(true);
        font.setPixelSize(size * 3 / 4);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("V"));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace vos

#include "url_label.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEnterEvent>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <utility>

namespace vos {

namespace {

Q_LOGGING_CATEGORY(lcUrlLabel, "vx.app.urllabel")

TAsUrlLabel::TUrlOpener& Opener()
{
    static TAsUrlLabel::TUrlOpener opener;
    return opener;
}

// Only the kinds of address the label is meant for: web pages and mail.
bool IsOpenable(const QUrl& url)
{
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("mailto"))
        return !url.path().isEmpty();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
}

}  // namespace

TAsUrlLabel::TAsUrlLabel(QWidget* parent) : QLabel(parent)
{
    setCursor(Qt::PointingHandCursor);
    setAutoFillBackground(true);
    url_ = hoverCaption_ = QString::fromLatin1(kDefaultUrl);
    setText(url_);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(pal);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    hoverColor_ = QApplication::palette(this).color(QPalette::Button);
    hoverFont_ = f;
    hoverFont_.setUnderline(false);
    hoverFontColor_ = QColor(255, 0, 0);
}

void TAsUrlLabel::SetUrlOpener(TUrlOpener opener) { Opener() = std::move(opener); }

QString TAsUrlLabel::TrimmedUrl(const QString& url)
{
    qsizetype first = 0;
    qsizetype last = url.size();
    while (first < last && url.at(first).unicode() <= u' ')
        ++first;
    while (last > first && url.at(last - 1).unicode() <= u' ')
        --last;
    return url.mid(first, last - first);
}

bool TAsUrlLabel::Click()
{
    emit OnClick();
    const QString address = TrimmedUrl(url_);
    const QUrl url(address, QUrl::StrictMode);
    if (!IsOpenable(url)) {
        qCWarning(lcUrlLabel) << "not opened, not an http, https or mailto address:" << address;
        return false;
    }
    const bool opened = Opener() ? Opener()(url) : QDesktopServices::openUrl(url);
    if (!opened)
        qCWarning(lcUrlLabel) << "the desktop could not open" << address;
    return true;
}

TAsUrlLabel::Look TAsUrlLabel::CurrentLook() const
{
    return {alignment(), text(), Color(), font(), FontColor()};
}

void TAsUrlLabel::ShowLook(const Look& look)
{
    setAlignment(look.alignment);
    setText(look.caption);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, look.color);
    pal.setColor(QPalette::WindowText, look.fontColor);
    setPalette(pal);
    setFont(look.font);
    update();
}

void TAsUrlLabel::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    if (hovered_)
        return;
    emit OnMouseEnter();
    saved_ = CurrentLook();
    hovered_ = true;
    ShowLook({hoverAlignment_ | hoverLayout_, hoverCaption_, hoverColor_, hoverFont_, hoverFontColor_});
}

void TAsUrlLabel::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    if (!hovered_)
        return;
    emit OnMouseLeave();
    hovered_ = false;
    ShowLook(saved_);
}

void TAsUrlLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        pressed_ = true;
    QLabel::mousePressEvent(event);
}

void TAsUrlLabel::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    if (event->button() == Qt::LeftButton)
        pressed_ = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        Click();
}

}  // namespace vos

#pragma once
// A label that behaves as a hyperlink: it changes its look while the mouse is over it and
// opens its address when clicked.
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QUrl>
#include <functional>

namespace vos {

class TAsUrlLabel : public QLabel {
    Q_OBJECT

public:
    // Every user of the label sets its own address; this one only fills the field.
    static constexpr char kDefaultUrl[] = "https://www.example.com";

    explicit TAsUrlLabel(QWidget* parent = nullptr);

    QString Url() const { return url_; }
    void SetUrl(const QString& url) { url_ = url; }
    // The look while the mouse is over the label. The alignment is the horizontal part, the
    // layout the vertical part of the label's alignment; the colour is its background. A Qt
    // font has no colour, so the text colour of the hover font is a property of its own.
    QString HoverCaption() const { return hoverCaption_; }
    void SetHoverCaption(const QString& caption) { hoverCaption_ = caption; }
    Qt::Alignment HoverAlignment() const { return hoverAlignment_; }
    void SetHoverAlignment(Qt::Alignment alignment) { hoverAlignment_ = alignment & Qt::AlignHorizontal_Mask; }
    QColor HoverColor() const { return hoverColor_; }
    void SetHoverColor(const QColor& color) { hoverColor_ = color; }
    QFont HoverFont() const { return hoverFont_; }
    void SetHoverFont(const QFont& font) { hoverFont_ = font; }
    QColor HoverFontColor() const { return hoverFontColor_; }
    void SetHoverFontColor(const QColor& color) { hoverFontColor_ = color; }
    Qt::Alignment HoverLayout() const { return hoverLayout_; }
    void SetHoverLayout(Qt::Alignment layout) { hoverLayout_ = layout & Qt::AlignVertical_Mask; }

    // The background and the text colour the label shows now.
    QColor Color() const { return palette().color(QPalette::Window); }
    QColor FontColor() const { return palette().color(QPalette::WindowText); }
    bool Hovered() const { return hovered_; }

    // OnClick, then the trimmed Url is opened when it is an http, https or mailto address;
    // whether it was handed to the opener.
    bool Click();

    // Url without its leading and trailing blanks and control characters.
    static QString TrimmedUrl(const QString& url);

    // Opens an address (QDesktopServices by default); tests replace it, empty restores it.
    using TUrlOpener = std::function<bool(const QUrl&)>;
    static void SetUrlOpener(TUrlOpener opener);

signals:
    void OnMouseEnter();
    void OnMouseLeave();
    void OnClick();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Look {
        Qt::Alignment alignment;
        QString caption;
        QColor color;
        QFont font;
        QColor fontColor;
    };
    Look CurrentLook() const;
    void ShowLook(const Look& look);

    QString url_;
    QString hoverCaption_;
    Qt::Alignment hoverAlignment_ = Qt::AlignLeft;
    Qt::Alignment hoverLayout_ = Qt::AlignTop;
    QColor hoverColor_;
    QFont hoverFont_;
    QColor hoverFontColor_;
    Look saved_;
    bool hovered_ = false;
    bool pressed_ = false;
};

}  // namespace vos

#include "vx_msgdlg.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "comm/vx_lang.h"
#include "comm/vx_msgdlg_form.h"
#include "platform/clock.h"

namespace vx {

namespace {

Q_LOGGING_CATEGORY(lcMsgDlg, "vx.msgdlg")

TMessageDlgAnswer& answerHook()
{
    static TMessageDlgAnswer answer;
    return answer;
}

TMessageDlgHelp& helpHook()
{
    static TMessageDlgHelp help;
    return help;
}

// Measured caption width + 8 per button kind, 0 until first measured. Kept for the whole run,
// also when the language changes: the captions of the sets in use fit the minimum width anyway.
int ButtonWidths[kMsgDlgButtonKinds] = {};

struct ButtonKindInfo {
    const char* name;  // control name
    std::int32_t captionId;
    int result;
};

constexpr ButtonKindInfo kButtonKinds[kMsgDlgButtonKinds] = {
    {"Yes", 204, mrYes},         {"No", 205, mrNo},           {"OK", 206, mrOk},
    {"Cancel", 207, mrCancel},   {"Abort", 208, mrAbort},     {"Retry", 209, mrRetry},
    {"Ignore", 210, mrIgnore},   {"All", 211, mrAll},         {"NoToAll", 212, mrNoToAll},
    {"YesToAll", 213, mrYesToAll}, {"Help", 214, mrNone},
};

constexpr std::int32_t kFirstTitleId = 200;  // warning, error, information, confirmation

bool inSet(TMsgDlgButtons buttons, TMsgDlgBtn kind) { return (buttons & msgDlgButton(kind)) != 0; }

bool hasIcon(TMsgDlgType type) { return type <= mtConfirmation; }

// Enter presses OK, else Yes, else Retry; -1 when the set has none of them.
int defaultKind(TMsgDlgButtons buttons)
{
    for (TMsgDlgBtn kind : {mbOK, mbYes, mbRetry})
        if (inSet(buttons, kind))
            return kind;
    return -1;
}

// Esc presses Cancel, else No, else OK; -1 when the set has none of them.
int cancelKind(TMsgDlgButtons buttons)
{
    for (TMsgDlgBtn kind : {mbCancel, mbNo, mbOK})
        if (inSet(buttons, kind))
            return kind;
    return -1;
}

// a·b/c rounded to the nearest integer, halves away from zero, without overflow; -1 when c is
// 0 or the result does not fit.
int MulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    const std::int64_t p = static_cast<std::int64_t>(a) * b;
    const std::int64_t d = std::llabs(static_cast<std::int64_t>(c));
    std::int64_t q = (std::llabs(p) + d / 2) / d;
    if ((p < 0) != (c < 0))
        q = -q;
    if (q > std::numeric_limits<int>::max() || q < std::numeric_limits<int>::min())
        return -1;
    return static_cast<int>(q);
}

QString qText(const std::string& text) { return QString::fromStdString(text); }

QString dialogTitle(TMsgDlgType type)
{
    if (hasIcon(type))
        return qText(GetLangText(kFirstTitleId + type));
    return QString::fromUtf8(kApplicationTitle);
}

QStyle::StandardPixmap iconOf(TMsgDlgType type)
{
    switch (type) {
    case mtWarning:
        return QStyle::SP_MessageBoxWarning;
    case mtError:
        return QStyle::SP_MessageBoxCritical;
    case mtInformation:
        return QStyle::SP_MessageBoxInformation;
    default:
        return QStyle::SP_MessageBoxQuestion;
    }
}

QRect screenGeometry()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        return screen->geometry();
    return QRect(0, 0, 1024, 768);
}

std::string timeStamp()
{
    const plat::DateTimeFields f = plat::decodeDateTime(plat::clock().now());
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", f.hour, f.minute, f.second);
    return text;
}

// A modal dialog would wait for ever where nobody can see it.
bool headless()
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return true;
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

}  // namespace

TMessageForm::TMessageForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("TMessageForm"));
    // The platform theme's message-box font; the application font where it has none.
    setFont(QApplication::font("QMessageBoxLabel"));
}

void TMessageForm::reject() { done(mrCancel); }

void TMessageForm::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Cancel)) {
        // Esc is the cancel button's key only; a set without one ignores it.
        if (cancelButton_ && cancelButton_->isEnabled())
            cancelButton_->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

std::unique_ptr<TMessageForm> CreateMessageDialog(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons)
{
    auto form = std::make_unique<TMessageForm>();
    TMessageForm* f = form.get();
    const QFontMetrics fm(f->font());

    // Average character size of the dialog font.
    const int X = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52;
    const int Y = fm.height();
    const int horzMargin = MulDiv(8, X, 4);
    const int vertMargin = MulDiv(8, Y, 8);
    const int horzSpacing = MulDiv(10, X, 4);
    const int vertSpacing = MulDiv(10, Y, 8);
    int buttonWidth = MulDiv(50, X, 4);
    const int buttonHeight = MulDiv(14, Y, 8);
    const int buttonSpacing = MulDiv(4, X, 4);

    int buttonCount = 0;
    for (int kind = 0; kind < kMsgDlgButtonKinds; ++kind) {
        if (!inSet(buttons, static_cast<TMsgDlgBtn>(kind)))
            continue;
        ++buttonCount;
        if (ButtonWidths[kind] == 0)
            ButtonWidths[kind] = fm.horizontalAdvance(qText(GetLangText(kButtonKinds[kind].captionId))) + 8;
        buttonWidth = std::max(buttonWidth, ButtonWidths[kind]);
    }

    const QRect screen = screenGeometry();
    const QString message = qText(text);
    const QRect textRect = fm.boundingRect(QRect(0, 0, screen.width() / 2, 0),
                                           Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextExpandTabs, message);
    const int textWidth = textRect.width();
    const int textHeight = textRect.height();

    int blockWidth = textWidth;
    int blockHeight = textHeight;
    if (hasIcon(type)) {
        blockWidth += 32 + horzSpacing;
        blockHeight = std::max(blockHeight, 32);
    }
    const int groupWidth = buttonCount == 0 ? 0 : buttonWidth * buttonCount + buttonSpacing * (buttonCount - 1);
    const int clientWidth = std::max(blockWidth, groupWidth) + horzMargin * 2;
    const int clientHeight = blockHeight + buttonHeight + vertSpacing + vertMargin * 2;
    f->setFixedSize(clientWidth, clientHeight);
    f->move(screen.x() + screen.width() / 2 - clientWidth / 2, screen.y() + screen.height() / 2 - clientHeight / 2);
    f->setWindowTitle(dialogTitle(type));

    if (hasIcon(type)) {
        auto* image = new QLabel(f);
        image->setObjectName(QStringLiteral("Image"));
        image->setGeometry(horzMargin, vertMargin, 32, 32);
        image->setPixmap(f->style()->standardIcon(iconOf(type), nullptr, f).pixmap(32, 32));
    }

    auto* label = new QLabel(f);
    label->setObjectName(QStringLiteral("Message"));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setText(message);
    int labelLeft = blockWidth - textWidth + horzMargin;
    if (f->layoutDirection() == Qt::RightToLeft)
        labelLeft = clientWidth - labelLeft - textWidth;
    label->setGeometry(labelLeft, vertMargin, textWidth, textHeight);

    const int defKind = defaultKind(buttons);
    const int escKind = cancelKind(buttons);
    int x = (clientWidth - groupWidth) / 2;
    const int top = blockHeight + vertMargin + vertSpacing;
    for (int kind = 0; kind < kMsgDlgButtonKinds; ++kind) {
        if (!inSet(buttons, static_cast<TMsgDlgBtn>(kind)))
            continue;
        const ButtonKindInfo& info = kButtonKinds[kind];
        auto* button = new QPushButton(qText(GetLangText(info.captionId)), f);
        button->setObjectName(QString::fromLatin1(info.name));
        button->setGeometry(x, top, buttonWidth, buttonHeight);
        x += buttonWidth + buttonSpacing;
        f->buttons_[kind] = button;
        if (kind == mbHelp) {
            QObject::connect(button, &QPushButton::clicked, f, [f] {
                if (helpHook())
                    helpHook()(f->HelpContext);
                else
                    qCInfo(lcMsgDlg, "%s no help for context %d", timeStamp().c_str(), f->HelpContext);
            });
        } else {
            const int result = info.result;
            QObject::connect(button, &QPushButton::clicked, f, [f, result] { f->done(result); });
        }
        if (kind == defKind) {
            button->setDefault(true);
            button->setFocus();
            f->defaultButton_ = button;
        }
        if (kind == escKind)
            f->cancelButton_ = button;
    }
    return form;
}

int ShowMessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext)
{
    if (answerHook())
        return answerHook()(text, type, buttons);
    if (headless()) {
        const int kind = cancelKind(buttons);
        const int result = kind < 0 ? mrCancel : kButtonKinds[kind].result;
        const std::string title = dialogTitle(type).toStdString();
        if (type == mtWarning || type == mtError)
            qCWarning(lcMsgDlg, "%s %s: %s (no display: answered %d)", timeStamp().c_str(), title.c_str(), text.c_str(),
                      result);
        else
            qCInfo(lcMsgDlg, "%s %s: %s (no display: answered %d)", timeStamp().c_str(), title.c_str(), text.c_str(),
                   result);
        return result;
    }
    std::unique_ptr<TMessageForm> form = CreateMessageDialog(text, type, buttons);
    form->HelpContext = helpContext;
    return form->exec();
}

void SetMessageDlgAnswer(TMessageDlgAnswer answer) { answerHook() = std::move(answer); }

void SetMessageDlgHelp(TMessageDlgHelp help) { helpHook() = std::move(help); }

}  // namespace vx

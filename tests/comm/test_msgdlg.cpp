// The message dialog under the offscreen platform: built with CreateMessageDialog, shown
// without a modal loop and driven with key events and clicks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_msgdlg.h"
#include "comm/vx_msgdlg_form.h"

namespace {

using vx::TMsgDlgButtons;
using vx::TMsgDlgType;

constexpr int kStillOpen = -1;

TMsgDlgButtons set(std::initializer_list<vx::TMsgDlgBtn> kinds)
{
    TMsgDlgButtons s = 0;
    for (vx::TMsgDlgBtn k : kinds)
        s |= vx::msgDlgButton(k);
    return s;
}

const TMsgDlgButtons kAllButtons = static_cast<TMsgDlgButtons>((1u << vx::kMsgDlgButtonKinds) - 1);
const TMsgDlgButtons kOKHelp = set({vx::mbOK, vx::mbHelp});

// Per kind: control name, English and Czech caption, result.
struct KindRow {
    const char* name;
    const char* english;
    const char* czech;
    int result;
};
const std::array<KindRow, vx::kMsgDlgButtonKinds> kKinds = {{
    {"Yes", "Yes", "Ano", 6},
    {"No", "No", "Ne", 7},
    {"OK", "OK", "OK", 1},
    {"Cancel", "Cancel", "Storno", 2},
    {"Abort", "Abort", "Zrušit", 3},
    {"Retry", "Again", "Znovu", 4},
    {"Ignore", "Ignore", "Ignorovat", 5},
    {"All", "All", "Vše", 8},
    {"NoToAll", "No to all", "Ne pro všechny", 9},
    {"YesToAll", "Yes to all", "Ano pro všechny", 10},
    {"Help", "Help", "Nápověda", 0},
}};

const KindRow& kindNamed(const std::string& name)
{
    for (const KindRow& k : kKinds)
        if (name == k.name)
            return k;
    throw std::runtime_error("no kind " + name);
}

class MsgDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vx::SetMessageDlgAnswer({});
        vx::SetMessageDlgHelp({});
    }
    void TearDown() override
    {
        vx::Language = savedLanguage_;
        vx::SetMessageDlgAnswer({});
        vx::SetMessageDlgHelp({});
    }

    static std::unique_ptr<vx::TMessageForm> shown(std::int32_t language, TMsgDlgButtons buttons,
                                                   TMsgDlgType type = vx::mtConfirmation,
                                                   const std::string& text = "Continue?")
    {
        vx::Language = language;
        auto form = vx::CreateMessageDialog(text, type, buttons);
        form->show();
        return form;
    }

    static std::vector<QPushButton*> leftToRight(const vx::TMessageForm& form)
    {
        const QList<QPushButton*> list = form.findChildren<QPushButton*>();
        std::vector<QPushButton*> b(list.begin(), list.end());
        std::sort(b.begin(), b.end(), [](QPushButton* l, QPushButton* r) { return l->x() < r->x(); });
        return b;
    }

    static QRect childRect(const vx::TMessageForm& form, const char* name)
    {
        const QWidget* w = form.findChild<QWidget*>(QString::fromLatin1(name));
        return w ? w->geometry() : QRect();
    }

    // The dialog's result after the action, or kStillOpen.
    static int resultAfter(vx::TMessageForm& form, auto action)
    {
        action(form);
        return form.isVisible() ? kStillOpen : form.result();
    }

    static void key(vx::TMessageForm& form, int k)
    {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
        QCoreApplication::sendEvent(&form, &press);
    }

private:
    std::int32_t savedLanguage_ = vx::Language;
};

using MsgDlgCaptions = MsgDlgTest;
using MsgDlgKeys = MsgDlgTest;
using MsgDlgButtons = MsgDlgTest;
using MsgDlgLayout = MsgDlgTest;
using MsgDlgHeadless = MsgDlgTest;

TEST_F(MsgDlgCaptions, TitleOfEveryTypeInBothLanguages)
{
    struct Case {
        TMsgDlgType type;
        const char* czech;
        const char* english;
    };
    const Case cases[] = {
        {vx::mtWarning, "Upozornění", "Warning"},
        {vx::mtError, "Chyba", "Error"},
        {vx::mtInformation, "Informace", "Information"},
        {vx::mtConfirmation, "Potvrzení", "Confirmation"},
        {vx::mtCustom, "Vorn OPC server", "Vorn OPC server"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shown(0, vx::mbOKOnly, c.type)->windowTitle().toStdString(), c.czech) << int(c.type);
        EXPECT_EQ(shown(1, vx::mbOKOnly, c.type)->windowTitle().toStdString(), c.english) << int(c.type);
    }
}

TEST_F(MsgDlgCaptions, ButtonsInKindOrderWithCatalogueCaptions)
{
    struct Case {
        TMsgDlgButtons buttons;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {vx::mbOKOnly, {"OK"}},
        {vx::mbYesNo, {"Yes", "No"}},
        {vx::mbYesNoCancel, {"Yes", "No", "Cancel"}},
        {kOKHelp, {"OK", "Help"}},
        {set({vx::mbHelp, vx::mbRetry, vx::mbAbort, vx::mbIgnore}), {"Abort", "Retry", "Ignore", "Help"}},
        {kAllButtons,
         {"Yes", "No", "OK", "Cancel", "Abort", "Retry", "Ignore", "All", "NoToAll", "YesToAll", "Help"}},
    };
    EXPECT_EQ(vx::mbOKOnly, 4);
    EXPECT_EQ(vx::mbYesNo, 3);
    EXPECT_EQ(vx::mbYesNoCancel, 11);
    for (std::int32_t language : {0, 1}) {
        for (const Case& c : cases) {
            auto form = shown(language, c.buttons);
            std::vector<std::string> names, captions, expectedCaptions;
            for (QPushButton* b : leftToRight(*form)) {
                names.push_back(b->objectName().toStdString());
                captions.push_back(b->text().toStdString());
            }
            for (const std::string& n : c.names)
                expectedCaptions.push_back(language == 0 ? kindNamed(n).czech : kindNamed(n).english);
            EXPECT_EQ(names, c.names) << "language " << language << ", set " << c.buttons;
            EXPECT_EQ(captions, expectedCaptions) << "language " << language << ", set " << c.buttons;
        }
    }
}

TEST_F(MsgDlgCaptions, CzechConfirmationWithYesNoCancel)
{
    auto form = shown(0, vx::mbYesNoCancel, vx::mtConfirmation, "Uložit provedené změny?");
    EXPECT_EQ(form->windowTitle().toStdString(), "Potvrzení");
    std::vector<std::string> captions;
    for (QPushButton* b : leftToRight(*form))
        captions.push_back(b->text().toStdString());
    EXPECT_EQ(captions, (std::vector<std::string>{"Ano", "Ne", "Storno"}));
    ASSERT_NE(form->DefaultButton(), nullptr);
    EXPECT_EQ(form->DefaultButton()->objectName(), "Yes");
    EXPECT_TRUE(form->DefaultButton()->isDefault());
    EXPECT_EQ(resultAfter(*form, [](auto& f) { key(f, Qt::Key_Escape); }), vx::mrCancel);
}

// Enter presses the default button, Esc the cancel button; the close box gives 2 whatever the
// set, so a {Yes, No} question closed that way is neither Yes nor No.
TEST_F(MsgDlgKeys, EnterEscAndCloseBox)
{
    struct Case {
        TMsgDlgButtons buttons;
        const char* defaultName;  // nullptr: none
        const char* cancelName;
        int enter;
        int esc;
    };
    const Case cases[] = {
        {vx::mbOKOnly, "OK", "OK", 1, 1},
        {vx::mbYesNo, "Yes", "No", 6, 7},
        {vx::mbYesNoCancel, "Yes", "Cancel", 6, 2},
        {kOKHelp, "OK", "OK", 1, 1},
        {set({vx::mbOK, vx::mbCancel}), "OK", "Cancel", 1, 2},
        {set({vx::mbYes, vx::mbNo, vx::mbOK}), "OK", "No", 1, 7},
        {set({vx::mbAbort, vx::mbRetry, vx::mbIgnore}), "Retry", nullptr, 4, kStillOpen},
    };
    auto name = [](QPushButton* b) { return b ? b->objectName().toStdString() : std::string("none"); };
    for (std::int32_t language : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE("language " + std::to_string(language) + ", set " + std::to_string(c.buttons));
            auto form = shown(language, c.buttons);
            EXPECT_EQ(name(form->DefaultButton()), c.defaultName ? c.defaultName : "none");
            EXPECT_EQ(name(form->CancelButton()), c.cancelName ? c.cancelName : "none");
            EXPECT_EQ(resultAfter(*form, [](auto& f) { key(f, Qt::Key_Return); }), c.enter);
            EXPECT_EQ(resultAfter(*shown(language, c.buttons), [](auto& f) { key(f, Qt::Key_Enter); }), c.enter);
            EXPECT_EQ(resultAfter(*shown(language, c.buttons), [](auto& f) { key(f, Qt::Key_Escape); }), c.esc);
            EXPECT_EQ(resultAfter(*shown(language, c.buttons), [](auto& f) { f.close(); }), vx::mrCancel);
        }
    }
}

TEST_F(MsgDlgKeys, SetWithoutDefaultOrCancelButton)
{
    auto form = shown(1, set({vx::mbAbort, vx::mbIgnore}));
    EXPECT_EQ(form->DefaultButton(), nullptr);
    EXPECT_EQ(form->CancelButton(), nullptr);
    EXPECT_EQ(resultAfter(*form, [](auto& f) { key(f, Qt::Key_Escape); }), kStillOpen);
    EXPECT_EQ(resultAfter(*form, [](auto& f) { f.close(); }), vx::mrCancel);
}

TEST_F(MsgDlgButtons, EachButtonClosesWithItsResult)
{
    for (std::int32_t language : {0, 1}) {
        for (const KindRow& k : kKinds) {
            if (k.result == 0)
                continue;
            auto form = shown(language, kAllButtons);
            auto* button = form->findChild<QPushButton*>(k.name);
            ASSERT_NE(button, nullptr) << k.name;
            EXPECT_EQ(resultAfter(*form, [button](auto&) { button->click(); }), k.result) << k.name;
        }
    }
}

TEST_F(MsgDlgButtons, HelpCallsTheHelpWithTheContextAndStaysOpen)
{
    std::vector<int> contexts;
    vx::SetMessageDlgHelp([&](int context) { contexts.push_back(context); });
    auto form = shown(1, kOKHelp);
    form->HelpContext = 77;
    auto* help = form->Button(vx::mbHelp);
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(resultAfter(*form, [help](auto&) { help->click(); }), kStillOpen);
    EXPECT_EQ(contexts, std::vector<int>{77});

    // Without a help hook the button still leaves the dialog open.
    vx::SetMessageDlgHelp({});
    EXPECT_EQ(resultAfter(*form, [help](auto&) { help->click(); }), kStillOpen);
    EXPECT_EQ(resultAfter(*form, [](auto& f) { key(f, Qt::Key_Return); }), vx::mrOk);
}

TEST_F(MsgDlgButtons, ModalLoopReturnsThePressedButton)
{
    vx::Language = 0;
    auto form = vx::CreateMessageDialog("Smazat?", vx::mtConfirmation, vx::mbYesNo);
    QPushButton* no = form->Button(vx::mbNo);
    QTimer::singleShot(0, no, [no] { no->click(); });
    EXPECT_EQ(form->exec(), vx::mrNo);

    auto closed = vx::CreateMessageDialog("Smazat?", vx::mtConfirmation, vx::mbYesNo);
    vx::TMessageForm* f = closed.get();
    QTimer::singleShot(0, f, [f] { f->close(); });
    EXPECT_EQ(closed->exec(), vx::mrCancel);
}

TEST_F(MsgDlgLayout, LongMessageWrapsWithinHalfTheScreen)
{
    std::string text;
    for (int i = 0; i < 60; ++i)
        text += "Station" + std::to_string(i) + " ";
    auto form = shown(1, vx::mbYesNoCancel, vx::mtWarning, text);
    const int halfScreen = QGuiApplication::primaryScreen()->geometry().width() / 2;
    const QRect message = childRect(*form, "Message");
    const QRect image = childRect(*form, "Image");
    const int lineHeight = QFontMetrics(form->font()).height();
    EXPECT_LE(message.width(), halfScreen);
    EXPECT_GT(message.width(), halfScreen * 3 / 4);
    EXPECT_GE(message.height(), 3 * lineHeight);
    EXPECT_EQ(message.top(), image.top());
    EXPECT_GT(message.left(), image.right());
    // The text block is the widest part: the same margin on both sides.
    EXPECT_EQ(form->width() - (message.x() + message.width()), image.x());
    // The narrower button group stands in the middle, below the text.
    const std::vector<QPushButton*> b = leftToRight(*form);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_GT(b.front()->x(), image.x());
    EXPECT_NEAR(b.front()->x(), form->width() - (b.back()->x() + b.back()->width()), 1);
    for (QPushButton* button : b)
        EXPECT_GT(button->y(), message.bottom());
}

TEST_F(MsgDlgLayout, OneWordMessageGivesTheButtonGroupWidth)
{
    for (TMsgDlgType type : {vx::mtInformation, vx::mtCustom}) {
        auto form = shown(0, vx::mbYesNoCancel, type, "Ok?");
        // The first element's left edge is the horizontal margin.
        const int margin = type == vx::mtCustom ? childRect(*form, "Message").x() : childRect(*form, "Image").x();
        ASSERT_GT(margin, 0);
        const std::vector<QPushButton*> b = leftToRight(*form);
        ASSERT_EQ(b.size(), 3u);
        EXPECT_EQ(b.front()->x(), margin) << int(type);
        EXPECT_EQ(form->width() - (b.back()->x() + b.back()->width()), margin) << int(type);
        // Equal widths, equal gaps.
        EXPECT_EQ(b[0]->width(), b[1]->width());
        EXPECT_EQ(b[1]->width(), b[2]->width());
        EXPECT_EQ(b[1]->x() - b[0]->x(), b[2]->x() - b[1]->x());
        EXPECT_GT(b[1]->x() - b[0]->x(), b[0]->width());
    }
}

TEST_F(MsgDlgLayout, ShortMessageBesideAnIconKeepsTheButtonsBelowIt)
{
    auto withIcon = shown(1, vx::mbOKOnly, vx::mtInformation, "Done.");
    const QRect image = childRect(*withIcon, "Image");
    const QRect message = childRect(*withIcon, "Message");
    ASSERT_EQ(image.size(), QSize(32, 32));
    ASSERT_LT(message.height(), 32);
    const int iconGap = withIcon->Button(vx::mbOK)->y() - (image.y() + 32);
    EXPECT_GT(iconGap, 0);

    // Without an icon the buttons follow the text itself, at the same gap.
    auto custom = shown(1, vx::mbOKOnly, vx::mtCustom, "Done.");
    EXPECT_EQ(custom->findChild<QLabel*>("Image"), nullptr);
    const QRect text = childRect(*custom, "Message");
    EXPECT_EQ(custom->Button(vx::mbOK)->y() - (text.y() + text.height()), iconGap);
    EXPECT_LT(custom->height(), withIcon->height());
}

TEST_F(MsgDlgLayout, CentredOnTheScreenWithAFixedSize)
{
    auto form = shown(1, vx::mbYesNo, vx::mtConfirmation, "Register configuration?");
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(form->pos(), QPoint(screen.width() / 2 - form->width() / 2, screen.height() / 2 - form->height() / 2));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
}

TEST_F(MsgDlgLayout, IconOfEveryTypeButCustom)
{
    std::vector<QImage> icons;
    for (TMsgDlgType type : {vx::mtWarning, vx::mtError, vx::mtInformation, vx::mtConfirmation}) {
        auto form = shown(1, vx::mbOKOnly, type);
        auto* image = form->findChild<QLabel*>("Image");
        ASSERT_NE(image, nullptr) << int(type);
        EXPECT_EQ(image->size(), QSize(32, 32));
        EXPECT_EQ(image->y(), childRect(*form, "Message").y());
        const QPixmap pixmap = image->pixmap();
        ASSERT_FALSE(pixmap.isNull()) << int(type);
        icons.push_back(pixmap.toImage());
    }
    for (std::size_t i = 0; i < icons.size(); ++i)
        for (std::size_t j = i + 1; j < icons.size(); ++j)
            EXPECT_NE(icons[i], icons[j]) << i << " " << j;
}

// A type or set out of range is not refused: an unknown type is shown like a custom one and
// bits above the Help kind are no buttons.
TEST_F(MsgDlgLayout, BadTypeAndSetBits)
{
    auto form = shown(1, static_cast<TMsgDlgButtons>(0xF800 | vx::mbOKOnly), static_cast<TMsgDlgType>(9));
    EXPECT_EQ(form->windowTitle(), "Vorn OPC server");
    EXPECT_EQ(form->findChild<QLabel*>("Image"), nullptr);
    EXPECT_EQ(form->findChildren<QPushButton*>().size(), 1);

    auto none = shown(1, 0, vx::mtError, "Nothing to press");
    EXPECT_TRUE(none->findChildren<QPushButton*>().isEmpty());
    EXPECT_EQ(resultAfter(*none, [](auto& f) { key(f, Qt::Key_Escape); }), kStillOpen);
    EXPECT_EQ(resultAfter(*none, [](auto& f) { f.close(); }), vx::mrCancel);
}

// The measured width of a kind stays for the whole run: the all-buttons box is equally wide in
// both languages whichever came first, and the sets in use fit their captions either way.
TEST_F(MsgDlgLayout, ButtonWidthsOutlastALanguageChange)
{
    const int minimum = shown(1, vx::mbOKOnly)->Button(vx::mbOK)->width();
    auto czech = shown(0, kAllButtons);
    const QFontMetrics fm(czech->font());
    ASSERT_GT(fm.horizontalAdvance(QString::fromUtf8("Ano pro všechny")) + 8, minimum)
        << "the widest caption must exceed the minimum width for this test to show anything";
    auto english = shown(1, kAllButtons);
    EXPECT_EQ(czech->Button(vx::mbYes)->width(), english->Button(vx::mbYes)->width());
    EXPECT_EQ(czech->width(), english->width());

    for (std::int32_t language : {0, 1})
        for (TMsgDlgButtons buttons : {vx::mbOKOnly, vx::mbYesNo, vx::mbYesNoCancel}) {
            auto form = shown(language, buttons);
            for (QPushButton* b : leftToRight(*form))
                EXPECT_LE(fm.horizontalAdvance(b->text()) + 8, b->width()) << b->text().toStdString();
        }
}

struct LogLine {
    std::string category;
    QtMsgType type;
    std::string text;
};
std::vector<LogLine>* capturedLog = nullptr;

void captureLog(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (capturedLog)
        capturedLog->push_back({context.category ? context.category : "", type, message.toStdString()});
}

class LogCapture {
public:
    LogCapture() : previous_(qInstallMessageHandler(captureLog)) { capturedLog = &lines; }
    ~LogCapture()
    {
        qInstallMessageHandler(previous_);
        capturedLog = nullptr;
    }
    std::vector<LogLine> lines;

private:
    QtMessageHandler previous_;
};

bool anyMessageFormVisible()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<vx::TMessageForm*>(w) && w->isVisible())
            return true;
    return false;
}

// Without a display and without an answer the box is logged and answered by its cancel button.
TEST_F(MsgDlgHeadless, LogsAndAnswersWithTheCancelButton)
{
    ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
    struct Case {
        TMsgDlgButtons buttons;
        int result;
    };
    const Case cases[] = {
        {vx::mbOKOnly, vx::mrOk},
        {vx::mbYesNo, vx::mrNo},
        {vx::mbYesNoCancel, vx::mrCancel},
        {kOKHelp, vx::mrOk},
        {set({vx::mbAbort, vx::mbRetry, vx::mbIgnore}), vx::mrCancel},
        {0, vx::mrCancel},
    };
    vx::Language = 1;
    for (const Case& c : cases) {
        LogCapture log;
        EXPECT_EQ(vx::ShowMessageDlg("Delete 3 objects?", vx::mtConfirmation, c.buttons), c.result) << c.buttons;
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].category, "vx.msgdlg");
        EXPECT_NE(log.lines[0].text.find("Confirmation: Delete 3 objects?"), std::string::npos) << log.lines[0].text;
        EXPECT_FALSE(anyMessageFormVisible());
    }
    LogCapture log;
    vx::ShowMessageDlg("Port COM3 was not found, or port is busy!", vx::mtError, vx::mbOKOnly);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].type, QtWarningMsg);
}

TEST_F(MsgDlgHeadless, AnswerHookComesFirst)
{
    struct Call {
        std::string text;
        TMsgDlgType type;
        TMsgDlgButtons buttons;
    };
    std::vector<Call> calls;
    vx::SetMessageDlgAnswer([&](const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons) {
        calls.push_back({text, type, buttons});
        return vx::mrYes;
    });
    LogCapture log;
    EXPECT_EQ(vx::ShowMessageDlg("Save changes?", vx::mtConfirmation, vx::mbYesNoCancel), vx::mrYes);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "Save changes?");
    EXPECT_EQ(calls[0].type, vx::mtConfirmation);
    EXPECT_EQ(calls[0].buttons, vx::mbYesNoCancel);
    EXPECT_TRUE(log.lines.empty());

    vx::SetMessageDlgAnswer({});
    EXPECT_EQ(vx::ShowMessageDlg("Save changes?", vx::mtConfirmation, vx::mbYesNoCancel), vx::mrCancel);
    EXPECT_EQ(calls.size(), 1u);
}

}  // namespace

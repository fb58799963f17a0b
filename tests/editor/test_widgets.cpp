// The shared small widgets under the offscreen platform and the Fusion style, which draws
// the palette colours the marks and the group boxes set.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPaintEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTest>
#include <QVBoxLayout>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_msgdlg.h"
#include "editor/widgets/check_group_box.h"
#include "editor/widgets/control_props.h"
#include "editor/widgets/splash.h"
#include "editor/widgets/url_label.h"
#include "platform/clock.h"

namespace {

using vos::TCheckGroupBox;

const QColor kYellow(255, 255, 0);
const QColor kLightYellow(255, 255, 128);

QColor StandardColor(const QWidget* w, QPalette::ColorRole role) { return QApplication::palette(w).color(role); }

// The colour a user sees at a point of the widget.
QColor PixelAt(QWidget& w, QPoint p) { return w.grab().toImage().pixelColor(p); }

// Every test here runs under Fusion, which honours the palette.
class WidgetsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        previousStyle_ = new QString(QApplication::style()->name());
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    }
    static void TearDownTestSuite()
    {
        QApplication::setStyle(QStyleFactory::create(*previousStyle_));
        delete previousStyle_;
        previousStyle_ = nullptr;
    }
    void SetUp() override
    {
        vos::ControlPropsList = std::make_unique<vos::TControlPropsList>();
        vos::FillingControls = false;
    }
    void TearDown() override
    {
        vos::ControlPropsList.reset();
        vos::FillingControls = false;
        vx::SetMessageDlgAnswer({});
    }

private:
    static QString* previousStyle_;
};
QString* WidgetsTest::previousStyle_ = nullptr;

// --- Edited-control marks ---

struct ControlKind {
    const char* name;
    std::function<QWidget*(QWidget* parent)> make;
    QPalette::ColorRole role;  // where the colour lives
    bool probe;                // the field shows the colour itself at its centre
};

const std::vector<ControlKind>& ControlKinds()
{
    static const std::vector<ControlKind> kinds = {
        {"line edit", [](QWidget* p) { return new QLineEdit(p); }, QPalette::Base, true},
        {"memo", [](QWidget* p) { return new QPlainTextEdit(p); }, QPalette::Base, true},
        {"spin edit", [](QWidget* p) { return new QSpinBox(p); }, QPalette::Base, false},
        {"drop-down list", [](QWidget* p) { return new QComboBox(p); }, QPalette::Base, false},
        {"editable combo", [](QWidget* p) {
             auto* c = new QComboBox(p);
             c->setEditable(true);
             return c;
         },
         QPalette::Base, false},
        {"list view", [](QWidget* p) { return new QListWidget(p); }, QPalette::Base, true},
        {"check box", [](QWidget* p) { return new QCheckBox(QStringLiteral("x"), p); }, QPalette::Window, true},
        {"check group box", [](QWidget* p) { return new TCheckGroupBox(p); }, QPalette::Window, true},
    };
    return kinds;
}

class WidgetsControlProps : public WidgetsTest {};

TEST_F(WidgetsControlProps, MarkTurnsEveryKindYellowAndRestoreGivesItsColourBack)
{
    for (const ControlKind& kind : ControlKinds()) {
        SCOPED_TRACE(kind.name);
        QWidget page;
        QWidget* control = kind.make(&page);
        control->resize(120, 60);
        const QColor original = control->palette().color(kind.role);
        vos::ControlPropsList->AddControl(control);
        EXPECT_FALSE(vos::IsControlChanged(control));

        EXPECT_TRUE(vos::MarkControlChanged(control));
        EXPECT_TRUE(vos::IsControlChanged(control));
        EXPECT_EQ(control->palette().color(kind.role), kYellow);
        EXPECT_EQ(vos::ControlColor(control), kYellow);
        if (kind.probe) {
            EXPECT_EQ(PixelAt(*control, control->rect().center()), kYellow);
        }
        if (kind.role == QPalette::Window) {
            EXPECT_TRUE(control->autoFillBackground());
        }

        vos::ControlPropsList->RestoreColors();
        EXPECT_FALSE(vos::IsControlChanged(control));
        EXPECT_EQ(control->palette().color(kind.role), original);
        if (kind.probe) {
            EXPECT_EQ(PixelAt(*control, control->rect().center()), original);
        }
    }
}

TEST_F(WidgetsControlProps, RestoreHoldsFillingControlsWhileItRecolours)
{
    QLineEdit edit;
    vos::ControlPropsList->AddControl(&edit);
    vos::MarkControlChanged(&edit);
    std::vector<bool> seen;
    struct Spy : QObject {
        std::vector<bool>* seen;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::PaletteChange)
                seen->push_back(vos::FillingControls);
            return false;
        }
    } spy;
    spy.seen = &seen;
    edit.installEventFilter(&spy);
    vos::ControlPropsList->RestoreColors();
    EXPECT_EQ(seen, std::vector<bool>{true});
    EXPECT_FALSE(vos::FillingControls);

    // A restore inside a fill leaves the fill's flag on.
    {
        vos::TFillingControlsGuard fill;
        vos::ControlPropsList->RestoreColors();
        EXPECT_TRUE(vos::FillingControls);
    }
    EXPECT_FALSE(vos::FillingControls);
}

TEST_F(WidgetsControlProps, RestoresTheColourOfTheFirstMarkNotOfRegistering)
{
    QLineEdit edit;
    const QColor white = vos::ControlColor(&edit);
    vos::ControlPropsList->AddControl(&edit);
    // The program greys the control after registering it, then the user edits it.
    const QColor grey = StandardColor(&edit, QPalette::Button);
    ASSERT_NE(grey, white);
    vos::SetControlColor(&edit, grey);
    EXPECT_TRUE(vos::MarkControlChanged(&edit));
    // A second change keeps the first mark's colour, even after the program recolours it.
    vos::SetControlColor(&edit, Qt::red);
    EXPECT_FALSE(vos::MarkControlChanged(&edit));
    vos::ControlPropsList->RestoreColors();
    EXPECT_EQ(vos::ControlColor(&edit), grey);
    EXPECT_EQ(vos::ControlPropsList->Items(0).SavedColor, grey);
}

TEST_F(WidgetsControlProps, NothingIsMarkedWhileTheProgramFills)
{
    QLineEdit edit;
    vos::ControlPropsList->AddControl(&edit);
    {
        vos::TFillingControlsGuard outer;
        {
            vos::TFillingControlsGuard inner;  // a nested fill ends without ending the outer one
        }
        EXPECT_TRUE(vos::FillingControls);
        EXPECT_FALSE(vos::MarkControlChanged(&edit));
    }
    EXPECT_FALSE(vos::FillingControls);
    EXPECT_FALSE(vos::IsControlChanged(&edit));
    EXPECT_EQ(vos::ControlColor(&edit), StandardColor(&edit, QPalette::Base));
    EXPECT_TRUE(vos::MarkControlChanged(&edit));
}

TEST_F(WidgetsControlProps, UnregisteredControlsAndMissingListCountAsUnchanged)
{
    QLineEdit registered;
    QLineEdit stranger;
    vos::ControlPropsList->AddControl(&registered);
    EXPECT_FALSE(vos::IsControlChanged(&stranger));
    EXPECT_FALSE(vos::IsControlChanged(nullptr));
    EXPECT_FALSE(vos::MarkControlChanged(&stranger));
    EXPECT_FALSE(vos::MarkControlChanged(nullptr));
    EXPECT_EQ(vos::ControlColor(&stranger), StandardColor(&stranger, QPalette::Base));

    vos::MarkControlChanged(&registered);
    vos::ControlPropsList.reset();
    EXPECT_FALSE(vos::IsControlChanged(&registered));
    EXPECT_FALSE(vos::MarkControlChanged(&registered));
}

TEST_F(WidgetsControlProps, EntriesFollowTheirControls)
{
    vos::TControlPropsList& list = *vos::ControlPropsList;
    EXPECT_THROW(list.AddControl(nullptr), std::invalid_argument);

    auto first = std::make_unique<QLineEdit>();
    QLineEdit second;
    EXPECT_EQ(list.AddControl(first.get()), 0);
    EXPECT_EQ(list.AddControl(&second), 1);
    EXPECT_EQ(list.AddControl(first.get()), 0);  // registered once
    EXPECT_EQ(list.Count(), 2);
    vos::MarkControlChanged(first.get());
    vos::MarkControlChanged(&second);

    first.reset();  // its entry goes with it
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Items(0).Control, &second);
    list.RestoreColors();
    EXPECT_FALSE(vos::IsControlChanged(&second));

    // A list freed before its controls leaves nothing behind in them.
    auto later = std::make_unique<QLineEdit>();
    list.AddControl(later.get());
    vos::ControlPropsList.reset();
    later.reset();
}

TEST_F(WidgetsControlProps, SetControlEnabledSetsTheOwnState)
{
    QWidget page;
    auto* edit = new QLineEdit(&page);
    vos::SetControlEnabled(edit, false);
    EXPECT_FALSE(edit->isEnabled());
    page.setEnabled(false);
    vos::SetControlEnabled(edit, true);
    EXPECT_FALSE(edit->testAttribute(Qt::WA_ForceDisabled));
    page.setEnabled(true);
    EXPECT_TRUE(edit->isEnabled());
    EXPECT_THROW(vos::SetControlEnabled(nullptr, true), std::invalid_argument);
    EXPECT_THROW(vos::SetControlColor(nullptr, kYellow), std::invalid_argument);
    EXPECT_THROW(vos::ControlColor(nullptr), std::invalid_argument);
    EXPECT_THROW(TCheckGroupBox::SetChildrenEnabled(nullptr, nullptr, true), std::invalid_argument);
}

// --- Validation errors at a control ---

class WidgetsShowControlError : public WidgetsTest {};

struct ErrorCase {
    const char* name;
    bool enabled;
    bool inGroupBox;  // the error is shown at a check group box
    bool none;        // no control
};

TEST_F(WidgetsShowControlError, BringsEveryPageForwardFocusesAndShowsAnErrorBox)
{
    const ErrorCase cases[] = {
        {"enabled edit", true, false, false},
        {"disabled edit", false, false, false},
        {"check group box", true, true, false},
        {"no control", true, false, true},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* tabs = new QTabWidget;
        layout->addWidget(tabs);
        auto* firstTab = new QWidget;
        auto* other = new QLineEdit(firstTab);
        tabs->addTab(firstTab, QStringLiteral("one"));
        auto* stack = new QStackedWidget;
        tabs->addTab(stack, QStringLiteral("two"));
        stack->addWidget(new QWidget);
        auto* page = new QWidget;
        stack->addWidget(page);
        QWidget* control = c.inGroupBox ? static_cast<QWidget*>(new TCheckGroupBox(page)) : new QLineEdit(page);
        control->setEnabled(c.enabled);
        window.show();
        other->setFocus();
        ASSERT_EQ(tabs->currentIndex(), 0);
        ASSERT_EQ(stack->currentIndex(), 0);

        std::vector<std::string> shown;
        vx::SetMessageDlgAnswer([&](const std::string& text, vx::TMsgDlgType type, vx::TMsgDlgButtons buttons) {
            EXPECT_EQ(type, vx::mtError);
            EXPECT_EQ(buttons, vx::mbOKOnly);
            shown.push_back(text);
            return static_cast<int>(vx::mrOk);
        });
        const int result = vos::ShowControlError(c.none ? nullptr : control, "Wrong value");
        EXPECT_EQ(result, vx::mrOk);
        EXPECT_EQ(shown, std::vector<std::string>{"Wrong value"});
        if (c.none) {
            EXPECT_EQ(tabs->currentIndex(), 0);
            EXPECT_EQ(window.focusWidget(), other);
            continue;
        }
        EXPECT_EQ(tabs->currentIndex(), 1);
        EXPECT_EQ(tabs->tabBar()->currentIndex(), 1);
        EXPECT_EQ(stack->currentWidget(), page);
        EXPECT_TRUE(control->isVisible());
        if (!c.enabled) {
            EXPECT_NE(window.focusWidget(), control);
            continue;
        }
        QWidget* expectedFocus = c.inGroupBox ? control->findChild<QCheckBox*>("CheckBox") : control;
        EXPECT_EQ(window.focusWidget(), expectedFocus);
    }
}

// --- Check group box ---

// A box with edit-like children, a plain label, a panel with more of them and a nested box.
struct GroupFixture {
    QWidget window;
    TCheckGroupBox* box;
    QCheckBox* checkBox;
    QLineEdit* edit;
    QComboBox* combo;
    QLabel* label;
    QWidget* panel;
    QLineEdit* panelEdit;
    QListWidget* panelList;
    QLineEdit* lightYellow;
    TCheckGroupBox* nested;
    QLineEdit* nestedEdit;
    std::vector<QObject*> senders;

    GroupFixture()
    {
        box = new TCheckGroupBox(&window);
        box->SetCheckBoxCaption(QStringLiteral("Scale"));
        checkBox = box->findChild<QCheckBox*>(QStringLiteral("CheckBox"));
        edit = new QLineEdit(box);
        combo = new QComboBox(box);
        label = new QLabel(QStringLiteral("Units:"), box);
        panel = new QWidget(box);
        panelEdit = new QLineEdit(panel);
        panelList = new QListWidget(panel);
        lightYellow = new QLineEdit(box);
        vos::SetControlColor(lightYellow, kLightYellow);
        nested = new TCheckGroupBox(box);
        nestedEdit = new QLineEdit(nested);
        box->Loaded();
        nested->Loaded();
        QObject::connect(box, &TCheckGroupBox::OnCheck, [this](QObject* sender) { senders.push_back(sender); });
    }

    std::vector<QWidget*> EditLike() const { return {edit, combo, panelEdit, panelList}; }
    std::vector<QWidget*> AllInside() const { return {edit, combo, label, panel, panelEdit, panelList, lightYellow, nested}; }
};

bool OwnEnabled(const QWidget* w) { return !w->testAttribute(Qt::WA_ForceDisabled); }

class WidgetsCheckGroupBox : public WidgetsTest {};

TEST_F(WidgetsCheckGroupBox, IsBuiltWithATickedCheckBoxOfItsOwn)
{
    TCheckGroupBox box;
    auto* checkBox = box.findChild<QCheckBox*>(QStringLiteral("CheckBox"));
    ASSERT_NE(checkBox, nullptr);
    EXPECT_EQ(box.size(), QSize(250, 100));
    EXPECT_EQ(checkBox->pos(), QPoint(8, 0));
    EXPECT_TRUE(checkBox->isChecked());
    EXPECT_TRUE(box.Checked());
    EXPECT_TRUE(checkBox->isVisibleTo(&box));
    EXPECT_TRUE(box.DrawFrame());
    EXPECT_TRUE(box.GlobalSender());
    EXPECT_EQ(vos::ControlColor(&box), StandardColor(&box, QPalette::Button));
    EXPECT_EQ(checkBox->width(), 20);  // empty caption

    // The box's font does not reach the check box.
    const QFont before = checkBox->font();
    QFont big = box.font();
    big.setPointSize(big.pointSize() + 10);
    box.setFont(big);
    EXPECT_EQ(checkBox->font(), before);
}

TEST_F(WidgetsCheckGroupBox, CheckBoxWidthIsTwentyPlusTheCaptionInItsFont)
{
    QFont bold = QApplication::font();
    bold.setBold(true);
    bold.setPointSize(bold.pointSize() + 6);
    struct Case {
        QString caption;
        bool boldFont;
    } cases[] = {{QString(), false}, {QStringLiteral("Scale"), false}, {QStringLiteral("Přepočítávat"), true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption.toStdString());
        TCheckGroupBox box;
        auto* checkBox = box.findChild<QCheckBox*>(QStringLiteral("CheckBox"));
        if (c.boldFont)
            box.SetCheckBoxFont(bold);
        box.SetCheckBoxCaption(c.caption);
        EXPECT_EQ(box.CheckBoxCaption(), c.caption);
        EXPECT_EQ(checkBox->width(), 20 + QFontMetrics(checkBox->font()).horizontalAdvance(c.caption));
        EXPECT_EQ(box.CheckBoxFont().bold(), c.boldFont);
        // The children's area starts below the check box, inside the border.
        EXPECT_EQ(box.ClientRect(), QRect(2, checkBox->height() + 2, 250 - 4, 100 - checkBox->height() - 4));
    }
    // A new font refits the caption at once.
    TCheckGroupBox box;
    auto* checkBox = box.findChild<QCheckBox*>(QStringLiteral("CheckBox"));
    box.SetCheckBoxCaption(QStringLiteral("Simulate value"));
    box.SetCheckBoxFont(bold);
    EXPECT_EQ(checkBox->width(), 20 + QFontMetrics(bold).horizontalAdvance(QStringLiteral("Simulate value")));
    box.SetCtl3D(false);
    EXPECT_EQ(box.ClientRect(), QRect(1, checkBox->height() + 1, 250 - 2, 100 - checkBox->height() - 2));
}

TEST_F(WidgetsCheckGroupBox, ClearingDisablesAndGreysEverythingInsideButNestedBoxesAndTheCheckBox)
{
    GroupFixture f;
    f.window.show();
    const QColor white = StandardColor(f.edit, QPalette::Base);
    const QColor face = StandardColor(f.edit, QPalette::Button);
    const QColor nestedColour = vos::ControlColor(f.nestedEdit);
    QTest::mouseClick(f.checkBox, Qt::LeftButton, {}, QPoint(6, f.checkBox->height() / 2));
    ASSERT_FALSE(f.box->Checked());
    EXPECT_EQ(f.senders, std::vector<QObject*>{f.box});

    for (QWidget* w : f.AllInside())
        EXPECT_FALSE(OwnEnabled(w)) << w->metaObject()->className();
    for (QWidget* w : f.EditLike())
        EXPECT_EQ(vos::ControlColor(w), face) << w->metaObject()->className();
    EXPECT_EQ(vos::ControlColor(f.lightYellow), kLightYellow);
    EXPECT_TRUE(OwnEnabled(f.checkBox));
    EXPECT_TRUE(f.checkBox->isEnabled());
    EXPECT_EQ(vos::ControlColor(f.nestedEdit), nestedColour);  // the nested box keeps its own

    QTest::mouseClick(f.checkBox, Qt::LeftButton, {}, QPoint(6, f.checkBox->height() / 2));
    ASSERT_TRUE(f.box->Checked());
    EXPECT_EQ(f.senders, (std::vector<QObject*>{f.box, f.box}));
    for (QWidget* w : f.AllInside())
        EXPECT_TRUE(w->isEnabled()) << w->metaObject()->className();
    for (QWidget* w : f.EditLike())
        EXPECT_EQ(vos::ControlColor(w), white) << w->metaObject()->className();
    EXPECT_EQ(vos::ControlColor(f.lightYellow), kLightYellow);
    EXPECT_TRUE(f.nestedEdit->isEnabled());
}

TEST_F(WidgetsCheckGroupBox, WritingCheckedRunsTheClickStepsOnlyOnAChange)
{
    struct Case {
        const char* name;
        bool start;
        bool write;
        bool globalSender;
        bool boxEnabled;
        int checks;
        bool childrenEnabled;
    } cases[] = {
        {"same value ticked", true, true, true, true, 0, true},
        {"same value cleared", false, false, true, true, 0, false},
        {"clear", true, false, true, true, 1, false},
        {"tick", false, true, true, true, 1, true},
        {"tick, check box as sender", false, true, false, true, 1, true},
        {"tick while the box is disabled", false, true, true, false, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GroupFixture f;
        f.box->SetGlobalSender(c.globalSender);
        f.box->SetChecked(c.start);
        f.box->setEnabled(c.boxEnabled);
        f.senders.clear();
        f.box->SetChecked(c.write);
        EXPECT_EQ(f.box->Checked(), c.write);
        EXPECT_EQ(f.checkBox->isChecked(), c.write);
        ASSERT_EQ(static_cast<int>(f.senders.size()), c.checks);
        if (c.checks) {
            EXPECT_EQ(f.senders[0], c.globalSender ? static_cast<QObject*>(f.box) : f.checkBox);
        }
        for (QWidget* w : std::vector<QWidget*>{f.edit, f.panelEdit})
            EXPECT_EQ(OwnEnabled(w), c.childrenEnabled) << w->metaObject()->className();
    }
}

TEST_F(WidgetsCheckGroupBox, EnablingTheBoxEnablesOnlyTheCheckBoxWhenItIsCleared)
{
    struct Case {
        const char* name;
        bool ticked;
        std::function<void(GroupFixture&, bool)> setEnabled;
    } cases[] = {
        {"box itself, cleared", false, [](GroupFixture& f, bool on) { f.box->setEnabled(on); }},
        {"box itself, ticked", true, [](GroupFixture& f, bool on) { f.box->setEnabled(on); }},
        {"through its container, cleared", false,
         [](GroupFixture& f, bool on) { TCheckGroupBox::SetChildrenEnabled(&f.window, nullptr, on); }},
        {"through its container, ticked", true,
         [](GroupFixture& f, bool on) { TCheckGroupBox::SetChildrenEnabled(&f.window, nullptr, on); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GroupFixture f;
        f.box->SetChecked(c.ticked);
        c.setEnabled(f, false);
        EXPECT_FALSE(OwnEnabled(f.checkBox));
        for (QWidget* w : f.AllInside()) {
            if (w->parentWidget() == f.box) {
                EXPECT_FALSE(OwnEnabled(w)) << w->metaObject()->className();
            }
        }

        c.setEnabled(f, true);
        EXPECT_TRUE(f.checkBox->isEnabled());
        for (QWidget* w : std::vector<QWidget*>{f.edit, f.combo, f.label, f.panel})
            EXPECT_EQ(w->isEnabled(), c.ticked) << w->metaObject()->className();
    }
}

TEST_F(WidgetsCheckGroupBox, ADisabledParentLeavesTheBoxesOwnStateAlone)
{
    GroupFixture f;
    f.box->SetChecked(false);
    f.window.setEnabled(false);
    EXPECT_TRUE(OwnEnabled(f.checkBox));
    EXPECT_FALSE(f.checkBox->isEnabled());
    f.window.setEnabled(true);
    EXPECT_TRUE(f.checkBox->isEnabled());
    EXPECT_FALSE(f.edit->isEnabled());
}

TEST_F(WidgetsCheckGroupBox, LoadedAppliesTheCheckBoxStateToTheChildren)
{
    QWidget window;
    auto* box = new TCheckGroupBox(&window);
    auto* checkBox = box->findChild<QCheckBox*>(QStringLiteral("CheckBox"));
    checkBox->setChecked(false);  // as a stored form sets it, without the click steps
    checkBox->setText(QStringLiteral("Simulate value"));
    auto* edit = new QLineEdit(box);
    box->Loaded();
    EXPECT_FALSE(OwnEnabled(edit));
    EXPECT_EQ(vos::ControlColor(edit), StandardColor(edit, QPalette::Button));
    EXPECT_TRUE(OwnEnabled(checkBox));
    EXPECT_EQ(checkBox->width(), 20 + QFontMetrics(checkBox->font()).horizontalAdvance(checkBox->text()));
}

TEST_F(WidgetsCheckGroupBox, PaintsItsColourAndFrame)
{
    TCheckGroupBox box;  // no caption: the check box is the indicator and 20 pixels
    auto* checkBox = box.findChild<QCheckBox*>(QStringLiteral("CheckBox"));
    const int top = checkBox->height() / 2 - 1;
    const QColor face = vos::ControlColor(&box);
    const int right = box.width() - 60;
    const QPoint besideIndicator(8 + 18, top);  // the frame line runs behind the check box
    QImage image = box.grab().toImage();
    EXPECT_EQ(image.pixelColor(125, 60), face);
    EXPECT_EQ(image.pixelColor(besideIndicator), face);
    EXPECT_EQ(image.pixelColor(right, top).rgb(), box.palette().color(QPalette::Dark).rgb());
    EXPECT_EQ(image.pixelColor(right, top + 1).rgb(), box.palette().color(QPalette::Light).rgb());
    EXPECT_EQ(image.pixelColor(box.width() - 1, 60).rgb(), box.palette().color(QPalette::Light).rgb());
    EXPECT_EQ(image.pixelColor(box.width() - 2, 60).rgb(), box.palette().color(QPalette::Dark).rgb());

    box.SetCtl3D(false);
    image = box.grab().toImage();
    EXPECT_EQ(image.pixelColor(right, top).rgb(), box.palette().color(QPalette::Shadow).rgb());
    EXPECT_EQ(image.pixelColor(right, top + 1), face);

    box.SetDrawFrame(false);
    vos::ControlPropsList->AddControl(&box);
    vos::MarkControlChanged(&box);
    image = box.grab().toImage();
    EXPECT_EQ(image.pixelColor(right, top), kYellow);
    EXPECT_EQ(image.pixelColor(125, 60), kYellow);
    EXPECT_EQ(image.pixelColor(besideIndicator), kYellow);
}

// --- URL label ---

class WidgetsUrlLabel : public WidgetsTest {
protected:
    void TearDown() override
    {
        vos::TAsUrlLabel::SetUrlOpener({});
        WidgetsTest::TearDown();
    }
};

TEST_F(WidgetsUrlLabel, StartsAsABlueUnderlinedLinkWithARedHoverFont)
{
    vos::TAsUrlLabel label;
    EXPECT_EQ(label.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(label.Url(), QString::fromLatin1(vos::TAsUrlLabel::kDefaultUrl));
    EXPECT_EQ(label.text(), label.Url());
    EXPECT_EQ(label.HoverCaption(), label.Url());
    EXPECT_EQ(label.FontColor(), QColor(0, 0, 255));
    EXPECT_TRUE(label.font().underline());
    EXPECT_EQ(label.HoverFontColor(), QColor(255, 0, 0));
    EXPECT_FALSE(label.HoverFont().underline());
    EXPECT_EQ(label.HoverFont().family(), label.font().family());
    EXPECT_EQ(label.HoverAlignment(), Qt::AlignLeft);
    EXPECT_EQ(label.HoverLayout(), Qt::AlignTop);
    EXPECT_EQ(label.HoverColor(), StandardColor(&label, QPalette::Button));
}

TEST_F(WidgetsUrlLabel, HoverSwapsTheLookAndLeavingRestoresIt)
{
    QWidget window;
    window.resize(300, 100);
    auto* label = new vos::TAsUrlLabel(&window);
    label->setGeometry(10, 10, 200, 40);
    label->setText(QStringLiteral("www.vorn.example"));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    QFont plain = label->font();
    QFont italic = plain;
    italic.setItalic(true);
    italic.setUnderline(false);
    label->SetHoverCaption(QStringLiteral("Open the web page"));
    label->SetHoverAlignment(Qt::AlignRight);
    label->SetHoverLayout(Qt::AlignBottom);
    label->SetHoverColor(Qt::cyan);
    label->SetHoverFont(italic);
    label->SetHoverFontColor(Qt::darkGreen);
    const QColor colour = label->Color();
    int entered = 0;
    int left = 0;
    QObject::connect(label, &vos::TAsUrlLabel::OnMouseEnter, [&] { ++entered; });
    QObject::connect(label, &vos::TAsUrlLabel::OnMouseLeave, [&] { ++left; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QTest::mouseMove(&window, QPoint(280, 80));
    QTest::mouseMove(label, QPoint(100, 20));
    ASSERT_EQ(entered, 1);
    EXPECT_TRUE(label->Hovered());
    EXPECT_EQ(label->text(), QStringLiteral("Open the web page"));
    EXPECT_EQ(label->alignment(), Qt::AlignRight | Qt::AlignBottom);
    EXPECT_EQ(label->Color(), QColor(Qt::cyan));
    EXPECT_EQ(label->FontColor(), QColor(Qt::darkGreen));
    EXPECT_TRUE(label->font().italic());
    EXPECT_FALSE(label->font().underline());

    QTest::mouseMove(&window, QPoint(280, 80));
    ASSERT_EQ(left, 1);
    EXPECT_FALSE(label->Hovered());
    EXPECT_EQ(label->text(), QStringLiteral("www.vorn.example"));
    EXPECT_EQ(label->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
    EXPECT_EQ(label->Color(), colour);
    EXPECT_EQ(label->FontColor(), QColor(0, 0, 255));
    EXPECT_EQ(label->font(), plain);
    EXPECT_EQ(entered, 1);
}

TEST_F(WidgetsUrlLabel, ClickOpensOnlyTrimmedWebAndMailAddresses)
{
    struct Case {
        QString url;
        QString opened;  // empty: nothing opened
    } cases[] = {
        {QStringLiteral("https://www.vorn.example/opc"), QStringLiteral("https://www.vorn.example/opc")},
        {QStringLiteral("  \t http://vorn.example \r\n"), QStringLiteral("http://vorn.example")},
        {QStringLiteral("\x01mailto:support@vorn.example\x1f"), QStringLiteral("mailto:support@vorn.example")},
        {QStringLiteral("HTTPS://VORN.EXAMPLE"), QStringLiteral("https://vorn.example")},
        {QStringLiteral("file:///etc/passwd"), QString()},
        {QStringLiteral("javascript:alert(1)"), QString()},
        {QStringLiteral("ftp://vorn.example"), QString()},
        {QStringLiteral("https://"), QString()},
        {QStringLiteral("mailto:"), QString()},
        {QStringLiteral("   "), QString()},
        {QStringLiteral("www.vorn.example"), QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.toStdString());
        std::vector<std::string> events;
        vos::TAsUrlLabel::SetUrlOpener([&](const QUrl& url) {
            events.push_back("open " + url.toString().toStdString());
            return true;
        });
        QWidget window;
        auto* label = new vos::TAsUrlLabel(&window);
        label->resize(200, 30);
        label->SetUrl(c.url);
        QObject::connect(label, &vos::TAsUrlLabel::OnClick, [&] { events.push_back("click"); });
        window.show();
        QTest::mouseClick(label, Qt::LeftButton, {}, QPoint(20, 10));
        std::vector<std::string> expected{"click"};
        if (!c.opened.isEmpty())
            expected.push_back("open " + c.opened.toStdString());
        EXPECT_EQ(events, expected);
    }
}

TEST_F(WidgetsUrlLabel, OnlyALeftClickReleasedOnTheLabelCounts)
{
    int opened = 0;
    vos::TAsUrlLabel::SetUrlOpener([&](const QUrl&) {
        ++opened;
        return true;
    });
    QWidget window;
    window.resize(300, 100);
    auto* label = new vos::TAsUrlLabel(&window);
    label->setGeometry(0, 0, 200, 30);
    window.show();
    QTest::mouseClick(label, Qt::RightButton, {}, QPoint(20, 10));
    EXPECT_EQ(opened, 0);
    QTest::mousePress(label, Qt::LeftButton, {}, QPoint(20, 10));
    QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(250, 80));  // dragged off the label
    EXPECT_EQ(opened, 0);
    QTest::mouseClick(label, Qt::LeftButton, {}, QPoint(20, 10));
    EXPECT_EQ(opened, 1);
}

// --- Progress window ---

class WidgetsSplash : public WidgetsTest {
protected:
    void SetUp() override
    {
        WidgetsTest::SetUp();
        plat::setClock(&clock_);
    }
    void TearDown() override
    {
        plat::setClock(nullptr);
        vx::Language = savedLanguage_;
        WidgetsTest::TearDown();
    }
    plat::ManualClock clock_;
    std::int32_t savedLanguage_ = vx::Language;
};

TEST_F(WidgetsSplash, IsAFixedNonModalWindowFilledByItsBar)
{
    for (std::int32_t language : {0, 1}) {
        vx::Language = language;
        for (std::int32_t id : {vos::kSplashImportingText, vos::kSplashSavingText, vos::kSplashLoadingText}) {
            SCOPED_TRACE(std::to_string(language) + "/" + std::to_string(id));
            vos::TF_Splash splash(id);
            EXPECT_EQ(splash.windowTitle().toStdString(), vx::GetLangText(id));
            ASSERT_FALSE(splash.windowTitle().isEmpty());
            EXPECT_EQ(splash.objectName(), QStringLiteral("F_Splash"));
            EXPECT_EQ(splash.minimumSize(), QSize(292, 17));
            EXPECT_EQ(splash.maximumSize(), QSize(292, 17));
            QProgressBar* bar = splash.findChild<QProgressBar*>(QStringLiteral("ProgressBar"));
            ASSERT_EQ(bar, splash.ProgressBar());
            EXPECT_EQ(bar->geometry(), QRect(0, 0, 292, 17));
            EXPECT_EQ(bar->maximum(), 100);
            EXPECT_EQ(bar->value(), 0);
            splash.ShowProgress();
            EXPECT_TRUE(splash.isVisible());
            EXPECT_FALSE(splash.isModal());
            EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        }
    }
}

TEST_F(WidgetsSplash, MaximumAndPositionStayInRange)
{
    constexpr int kIntMax = std::numeric_limits<int>::max();
    vos::TF_Splash splash(vos::kSplashLoadingText);
    struct Case {
        const char* name;
        std::function<void()> set;
        int maximum;
    } cases[] = {
        {"negative", [&] { splash.SetMaximum(std::int64_t{-5}); }, 0},
        {"zero", [&] { splash.SetMaximum(0); }, 0},
        {"a node count", [&] { splash.SetMaximum(std::uint32_t{1000}); }, 1000},
        {"largest int", [&] { splash.SetMaximum(kIntMax); }, kIntMax},
        {"u32 node count from a header", [&] { splash.SetMaximum(std::uint32_t{4'000'000'000u}); }, kIntMax},
        {"size_t", [&] { splash.SetMaximum(std::numeric_limits<std::size_t>::max()); }, kIntMax},
        {"most negative", [&] { splash.SetMaximum(std::numeric_limits<std::int64_t>::min()); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.set();
        EXPECT_EQ(splash.Maximum(), c.maximum);
        EXPECT_EQ(splash.ProgressBar()->maximum(), std::max(c.maximum, 1));  // 0..0 would be a busy bar
        EXPECT_EQ(splash.ProgressBar()->minimum(), 0);
    }

    splash.SetMaximum(3);
    for (int i = 0; i < 5; ++i)
        splash.Advance();
    EXPECT_EQ(splash.Position(), 3);
    splash.SetPosition(-1);
    EXPECT_EQ(splash.Position(), 0);
    splash.SetPosition(std::size_t{10});
    EXPECT_EQ(splash.Position(), 3);
    splash.SetMaximum(2);
    EXPECT_EQ(splash.Position(), 2);
    EXPECT_EQ(splash.ProgressBar()->value(), 2);
}

TEST_F(WidgetsSplash, RepaintsItsBarDirectlyAtMostTwentyTimesASecond)
{
    vos::TF_Splash splash(vos::kSplashSavingText);
    int paints = 0;
    struct PaintCounter : QObject {
        int* paints;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::Paint)
                ++*paints;
            return false;
        }
    } counter;
    counter.paints = &paints;
    splash.ProgressBar()->installEventFilter(&counter);
    splash.SetMaximum(10000);
    splash.ShowProgress();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&splash));
    paints = 0;

    for (int i = 0; i < 1000; ++i)
        splash.Advance();
    EXPECT_EQ(paints, 0);
    EXPECT_EQ(splash.Position(), 1000);
    EXPECT_EQ(splash.ProgressBar()->value(), 1000);  // painted by the next loop, if any

    clock_.advanceMs(vos::TF_Splash::kRepaintIntervalMs);
    splash.Advance();  // painted now, without the event loop
    EXPECT_EQ(paints, 1);
    EXPECT_EQ(splash.ProgressBar()->value(), 1001);

    // A second of steady work gives about twenty repaints.
    for (int ms = 0; ms < 1000; ++ms) {
        clock_.advanceMs(1);
        for (int i = 0; i < 5; ++i)
            splash.Advance();
    }
    EXPECT_EQ(paints, 21);
    EXPECT_EQ(splash.Position(), 6001);
}

}  // namespace

#include "dlg_settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLoggingCategory>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include "app/form_placement.h"
#include "app/settings.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_settings.h"

Q_LOGGING_CATEGORY(lcDlgSettings, "vx.app.settings.dialog")

namespace vos {

namespace {

constexpr int kMaxInt = std::numeric_limits<int>::max();
constexpr int kSpinWidth = 96;

QString LangText(std::int32_t id) { return QString::fromStdString(vx::GetLangText(id)); }

template <typename T>
T* Make(QWidget* parent, const char* name)
{
    auto* widget = new T(parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name)
{
    auto* label = Make<QLabel>(parent, name);
    label->setWordWrap(true);
    return label;
}

QSpinBox* MakeSpin(QWidget* parent, const char* name, int minimum, int maximum)
{
    auto* spin = Make<QSpinBox>(parent, name);
    spin->setRange(minimum, maximum);
    spin->setFixedWidth(kSpinWidth);
    return spin;
}

// A check box whose caption wraps onto further lines: some captions are wider than the
// fixed dialog.
class WrappingCheckBox final : public QCheckBox {
public:
    explicit WrappingCheckBox(QWidget* parent) : QCheckBox(parent)
    {
        setSizePolicy(sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    }

    QSize minimumSizeHint() const override { return {TextLeft() + 40, QCheckBox::minimumSizeHint().height()}; }
    int heightForWidth(int width) const override
    {
        if (text().isEmpty())
            return QCheckBox::sizeHint().height();
        const QRect text = fontMetrics().boundingRect(QRect(0, 0, std::max(1, width - TextLeft()), QWIDGETSIZE_MAX),
                                                      Qt::TextWordWrap, this->text());
        return std::max(QCheckBox::sizeHint().height(), text.height() + 4);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        option.text.clear();
        painter.drawControl(QStyle::CE_CheckBox, option);
        const QRect text(TextLeft(), 0, width() - TextLeft(), height());
        painter.drawItemText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, palette(), isEnabled(),
                             this->text(), QPalette::WindowText);
    }
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
    // The layout knows the width only once it has placed the box: the lines follow then.
    void resizeEvent(QResizeEvent* event) override
    {
        QCheckBox::resizeEvent(event);
        if (const int needed = heightForWidth(width()); minimumHeight() != needed)
            setMinimumHeight(needed);
    }

private:
    int TextLeft() const
    {
        QStyleOptionButton option;
        initStyleOption(&option);
        return style()->subElementRect(QStyle::SE_CheckBoxContents, &option, this).left();
    }
};

// Narrower tab padding, so that the page captions fit the fixed width in either language.
class CompactTabStyle final : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        return metric == PM_TabBarTabHSpace ? value / 2 : value;
    }
};

// A label with its spin box in the next row of a two-column grid.
void AddRow(QGridLayout* grid, QLabel* label, QSpinBox* spin)
{
    const int row = grid->rowCount();
    label->setBuddy(spin);
    grid->addWidget(label, row, 0);
    grid->addWidget(spin, row, 1, Qt::AlignRight | Qt::AlignVCenter);
}

// An index the combo does not hold shows no item.
void SetComboItem(QComboBox* combo, int index)
{
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

// A combo with no item selected (a value in the file that it does not offer) leaves the
// setting as it was, rather than storing -1.
void TakeComboItem(const QComboBox* combo, std::int32_t& setting)
{
    if (combo->currentIndex() >= 0)
        setting = combo->currentIndex();
}

}  // namespace

TDlg_Settings::TDlg_Settings(QWidget* parent, std::function<void()> afterOk)
    : QDialog(parent), afterOk_(std::move(afterOk))
{
    setObjectName(QStringLiteral("TDlg_Settings"));
    BuildWidgets();
    FormCreate();
}

void TDlg_Settings::BuildWidgets()
{
    setFixedSize(kClientWidth, kClientHeight);
    setSizeGripEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 0);
    layout->setSpacing(0);

    PgCtrl_Settings = Make<QTabWidget>(this, "PgCtrl_Settings");
    TS_Common = Make<QWidget>(PgCtrl_Settings, "TS_Common");
    TS_Communications = Make<QWidget>(PgCtrl_Settings, "TS_Communications");
    TS_Config = Make<QWidget>(PgCtrl_Settings, "TS_Config");
    TS_Runtime = Make<QWidget>(PgCtrl_Settings, "TS_Runtime");
    for (QWidget* page : {TS_Common, TS_Communications, TS_Config, TS_Runtime})
        PgCtrl_Settings->addTab(page, QString());

    auto* communications = new QVBoxLayout(TS_Communications);
    communications->setContentsMargins(4, 4, 4, 4);
    PgCtrl_Communications = Make<QTabWidget>(TS_Communications, "PgCtrl_Communications");
    TS_General = Make<QWidget>(PgCtrl_Communications, "TS_General");
    TS_Modem = Make<QWidget>(PgCtrl_Communications, "TS_Modem");
    PgCtrl_Communications->addTab(TS_General, QString());
    PgCtrl_Communications->addTab(TS_Modem, QString());
    communications->addWidget(PgCtrl_Communications);

    // Parented after the tab widgets, so that it goes after them.
    auto* tabStyle = new CompactTabStyle;
    tabStyle->setParent(this);
    PgCtrl_Settings->tabBar()->setStyle(tabStyle);
    PgCtrl_Communications->tabBar()->setStyle(tabStyle);

    BuildCommon();
    BuildGeneral();
    BuildModem();
    BuildConfig();
    BuildRuntime();
    layout->addWidget(PgCtrl_Settings, 1);

    Pnl_Buttons = Make<QWidget>(this, "Pnl_Buttons");
    Pnl_Buttons->setFixedHeight(41);
    auto* buttons = new QHBoxLayout(Pnl_Buttons);
    buttons->setContentsMargins(0, 8, 4, 8);
    buttons->addStretch(1);
    Btn_OK = Make<QPushButton>(Pnl_Buttons, "Btn_OK");
    Btn_OK->setText(QStringLiteral("OK"));
    Btn_OK->setDefault(true);
    Btn_Cancel = Make<QPushButton>(Pnl_Buttons, "Btn_Cancel");
    Btn_Cancel->setText(QStringLiteral("Cancel"));
    buttons->addWidget(Btn_OK);
    buttons->addWidget(Btn_Cancel);
    layout->addWidget(Pnl_Buttons);

    connect(Btn_OK, &QPushButton::clicked, this, [this] {
        Btn_OKClick();
        accept();
    });
    connect(Btn_Cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TDlg_Settings::BuildCommon()
{
    auto* page = new QVBoxLayout(TS_Common);
    auto* grid = new QGridLayout;
    L_Language = MakeLabel(TS_Common, "L_Language");
    CB_Language = Make<QComboBox>(TS_Common, "CB_Language");
    CB_Language->addItems({QString(), QString()});
    L_VarTypesSigning = MakeLabel(TS_Common, "L_VarTypesSigning");
    CB_VarTypesSigninig = Make<QComboBox>(TS_Common, "CB_VarTypesSigninig");
    CB_VarTypesSigninig->addItems({QStringLiteral("Pascal"), QStringLiteral("IEC 61 131")});
    int row = 0;
    for (auto [label, combo] : {std::pair{L_Language, CB_Language}, std::pair{L_VarTypesSigning, CB_VarTypesSigninig}}) {
        label->setBuddy(combo);
        combo->setMinimumWidth(140);
        grid->addWidget(label, row, 0);
        grid->addWidget(combo, row++, 1);
    }
    page->addLayout(grid);
    ChB_ShowMessages = Make<WrappingCheckBox>(TS_Common, "ChB_ShowMessages");
    page->addWidget(ChB_ShowMessages);
    page->addStretch(1);
}

void TDlg_Settings::BuildGeneral()
{
    auto* page = new QVBoxLayout(TS_General);
    page->setSpacing(4);
    auto* grid = new QGridLayout;
    grid->setColumnStretch(0, 1);
    L_ServerAddress = MakeLabel(TS_General, "L_ServerAddress");
    E_ServerAddress = MakeSpin(TS_General, "E_ServerAddress", 0, 255);
    L_MaxBadCommCount = MakeLabel(TS_General, "L_MaxBadCommCount");
    E_MaxBadCommCount = MakeSpin(TS_General, "E_MaxBadCommCount", 0, kMaxInt);
    L_CommDelay = MakeLabel(TS_General, "L_CommDelay");
    E_CommDelay = MakeSpin(TS_General, "E_CommDelay", 0, kMaxInt);
    // Seconds that are held in milliseconds: bounded so that x 1000 still fits.
    L_ConnectRate = MakeLabel(TS_General, "L_ConnectRate");
    E_ConnectRate = MakeSpin(TS_General, "E_ConnectRate", 1, kMaxDelaySeconds);
    L_MaxPacketLen = MakeLabel(TS_General, "L_MaxPacketLen");
    E_MaxPacketLen = MakeSpin(TS_General, "E_MaxPacketLen", 7, 255);
    L_MaxBadComToReset = MakeLabel(TS_General, "L_MaxBadComToReset");
    E_MaxBadComToReset = MakeSpin(TS_General, "E_MaxBadComToReset", 0, kMaxInt);
    AddRow(grid, L_ServerAddress, E_ServerAddress);
    AddRow(grid, L_MaxBadCommCount, E_MaxBadCommCount);
    AddRow(grid, L_CommDelay, E_CommDelay);
    AddRow(grid, L_ConnectRate, E_ConnectRate);
    AddRow(grid, L_MaxPacketLen, E_MaxPacketLen);
    AddRow(grid, L_MaxBadComToReset, E_MaxBadComToReset);
    page->addLayout(grid);

    Chb_DifferentPacketLen = Make<WrappingCheckBox>(TS_General, "Chb_DifferentPacketLen");
    page->addWidget(Chb_DifferentPacketLen);
    GB_FlowOptions = Make<QGroupBox>(TS_General, "GB_FlowOptions");
    auto* flow = new QHBoxLayout(GB_FlowOptions);
    ChB_DTR = Make<QCheckBox>(GB_FlowOptions, "ChB_DTR");
    ChB_DTR->setText(QStringLiteral("DTR"));
    ChB_RTS = Make<QCheckBox>(GB_FlowOptions, "ChB_RTS");
    ChB_RTS->setText(QStringLiteral("RTS"));
    flow->addWidget(ChB_DTR);
    flow->addWidget(ChB_RTS);
    flow->addStretch(1);
    page->addWidget(GB_FlowOptions);
    ChB_CheckTimestamp = Make<WrappingCheckBox>(TS_General, "ChB_CheckTimestamp");
    page->addWidget(ChB_CheckTimestamp);
    page->addStretch(1);
}

void TDlg_Settings::BuildModem()
{
    auto* page = new QVBoxLayout(TS_Modem);
    auto* grid = new QGridLayout;
    grid->setColumnStretch(0, 1);
    L_timBeforeDial = MakeLabel(TS_Modem, "L_timBeforeDial");
    E_timBeforeDial = MakeSpin(TS_Modem, "E_timBeforeDial", 0, kMaxDelaySeconds);
    L_SameCallDelay = MakeLabel(TS_Modem, "L_SameCallDelay");
    E_SameCallDelay = MakeSpin(TS_Modem, "E_SameCallDelay", 0, kMaxDelaySeconds);
    L_TildeDelay = MakeLabel(TS_Modem, "L_TildeDelay");
    E_TildeDelay = MakeSpin(TS_Modem, "E_TildeDelay", 0, kMaxInt);
    AddRow(grid, L_timBeforeDial, E_timBeforeDial);
    AddRow(grid, L_SameCallDelay, E_SameCallDelay);
    AddRow(grid, L_TildeDelay, E_TildeDelay);
    page->addLayout(grid);
    page->addStretch(1);
}

void TDlg_Settings::BuildConfig()
{
    auto* page = new QVBoxLayout(TS_Config);
    GB_VarUniqueness = Make<QGroupBox>(TS_Config, "GB_VarUniqueness");
    auto* box = new QVBoxLayout(GB_VarUniqueness);
    RB1_VarUniqueness = Make<QRadioButton>(GB_VarUniqueness, "RB1_VarUniqueness");
    RB2_VarUniqueness = Make<QRadioButton>(GB_VarUniqueness, "RB2_VarUniqueness");
    box->addWidget(RB1_VarUniqueness);
    box->addWidget(RB2_VarUniqueness);
    page->addWidget(GB_VarUniqueness);
    page->addStretch(1);
}

void TDlg_Settings::BuildRuntime()
{
    auto* page = new QVBoxLayout(TS_Runtime);
    GB_ArraysWatch = Make<QGroupBox>(TS_Runtime, "GB_ArraysWatch");
    auto* grid = new QGridLayout(GB_ArraysWatch);
    grid->setColumnStretch(2, 1);
    L1_ArrWatchOffset = Make<QLabel>(GB_ArraysWatch, "L1_ArrWatchOffset");
    E_ArrWatchOffset = MakeSpin(GB_ArraysWatch, "E_ArrWatchOffset", 0, kMaxInt);
    L2_ArrWatchOffset = Make<QLabel>(GB_ArraysWatch, "L2_ArrWatchOffset");
    L1_ArrWatchMaxLen = Make<QLabel>(GB_ArraysWatch, "L1_ArrWatchMaxLen");
    E_ArrWatchMaxLen = MakeSpin(GB_ArraysWatch, "E_ArrWatchMaxLen", 0, kMaxInt);
    L2_ArrWatchMaxLen = Make<QLabel>(GB_ArraysWatch, "L2_ArrWatchMaxLen");
    int row = 0;
    for (auto [first, spin, second] : {std::tuple{L1_ArrWatchOffset, E_ArrWatchOffset, L2_ArrWatchOffset},
                                       std::tuple{L1_ArrWatchMaxLen, E_ArrWatchMaxLen, L2_ArrWatchMaxLen}}) {
        first->setBuddy(spin);
        grid->addWidget(first, row, 0);
        grid->addWidget(spin, row, 1);
        grid->addWidget(second, row++, 2);
    }
    page->addWidget(GB_ArraysWatch);
    page->addStretch(1);
}

void TDlg_Settings::FormCreate()
{
    SetCaptions();
    PgCtrl_Settings->setCurrentWidget(TS_Common);
    LoadControls();
}

void TDlg_Settings::SetCaptions()
{
    PgCtrl_Settings->setTabText(PgCtrl_Settings->indexOf(TS_Common), LangText(215));
    PgCtrl_Settings->setTabText(PgCtrl_Settings->indexOf(TS_Communications), LangText(217));
    PgCtrl_Settings->setTabText(PgCtrl_Settings->indexOf(TS_Config), LangText(522));
    PgCtrl_Settings->setTabText(PgCtrl_Settings->indexOf(TS_Runtime), LangText(511));
    PgCtrl_Communications->setTabText(PgCtrl_Communications->indexOf(TS_General), LangText(75));
    PgCtrl_Communications->setTabText(PgCtrl_Communications->indexOf(TS_Modem), LangText(5));

    L_Language->setText(LangText(216));
    const int language = CB_Language->currentIndex();
    CB_Language->setItemText(0, LangText(220));
    CB_Language->setItemText(1, LangText(221));
    CB_Language->setCurrentIndex(language);
    L_VarTypesSigning->setText(LangText(225));
    ChB_ShowMessages->setText(LangText(271));

    L_ServerAddress->setText(LangText(242));
    L_MaxBadCommCount->setText(LangText(218));
    L_CommDelay->setText(LangText(230));
    L_ConnectRate->setText(LangText(245));
    L_MaxPacketLen->setText(LangText(283));
    L_MaxBadComToReset->setText(LangText(279));
    Chb_DifferentPacketLen->setText(LangText(287));
    GB_FlowOptions->setTitle(LangText(282));
    ChB_CheckTimestamp->setText(LangText(288));

    L_timBeforeDial->setText(LangText(289));
    L_SameCallDelay->setText(LangText(290));
    L_TildeDelay->setText(LangText(291));

    GB_VarUniqueness->setTitle(LangText(226));
    RB1_VarUniqueness->setText(LangText(227));
    RB2_VarUniqueness->setText(LangText(228));

    GB_ArraysWatch->setTitle(LangText(620));
    L1_ArrWatchOffset->setText(LangText(621));
    L2_ArrWatchOffset->setText(LangText(622));
    L1_ArrWatchMaxLen->setText(LangText(623));
    L2_ArrWatchMaxLen->setText(LangText(624));
}

void TDlg_Settings::LoadControls()
{
    using namespace vx;
    SetComboItem(CB_Language, Language);
    SetComboItem(CB_VarTypesSigninig, VarTypesSigning);
    ChB_ShowMessages->setChecked(ShowMessages);

    // The spin boxes hold a value outside their bounds to the nearer bound.
    E_ServerAddress->setValue(ServerAddress);
    E_MaxBadCommCount->setValue(MaxBadCommCount);
    E_CommDelay->setValue(CommDelay);
    E_ConnectRate->setValue(ConnectRate / 1000);
    E_MaxPacketLen->setValue(MaxPacketLen);
    E_MaxBadComToReset->setValue(MaxBadComToReset);
    Chb_DifferentPacketLen->setChecked(DifferentPacketLen);
    ChB_DTR->setChecked(UseDTR);
    ChB_RTS->setChecked(UseRTS);
    ChB_CheckTimestamp->setChecked(CheckTimestamp);

    E_timBeforeDial->setValue(timBeforeDial / 1000);
    E_SameCallDelay->setValue(timSameCall / 1000);
    E_TildeDelay->setValue(timTildeDelay);

    (VarUniqueness == 0 ? RB1_VarUniqueness : RB2_VarUniqueness)->setChecked(true);

    E_ArrWatchOffset->setValue(ArrWatchOffset);
    E_ArrWatchMaxLen->setValue(ArrWatchMaxLen);
}

void TDlg_Settings::Btn_OKClick()
{
    using namespace vx;
    TakeComboItem(CB_Language, Language);
    TakeComboItem(CB_VarTypesSigninig, VarTypesSigning);
    ShowMessages = ChB_ShowMessages->isChecked();

    ServerAddress = E_ServerAddress->value();
    MaxBadCommCount = E_MaxBadCommCount->value();
    CommDelay = E_CommDelay->value();
    ConnectRate = E_ConnectRate->value() * 1000;
    MaxPacketLen = E_MaxPacketLen->value();
    MaxBadComToReset = UsableMaxBadComToReset(E_MaxBadComToReset->value(), MaxBadCommCount);

    DifferentPacketLen = Chb_DifferentPacketLen->isChecked();
    CheckTimestamp = ChB_CheckTimestamp->isChecked();

    UseRTS = ChB_RTS->isChecked();
    UseDTR = ChB_DTR->isChecked();
    RequireCTS = UseRTS;
    RequireDSR = UseDTR;

    timTildeDelay = E_TildeDelay->value();
    timBeforeDial = E_timBeforeDial->value() * 1000;
    timSameCall = E_SameCallDelay->value() * 1000;

    VarUniqueness = RB1_VarUniqueness->isChecked() ? 0 : 1;

    ArrWatchMaxLen = E_ArrWatchMaxLen->value();
    ArrWatchOffset = E_ArrWatchOffset->value();

    if (afterOk_)
        afterOk_();

    // The exception hook would say nothing with ShowMessages off, and the user would take
    // the settings for stored.
    std::string failure;
    try {
        WriteSettings();
        return;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown error";
    }
    qCWarning(lcDlgSettings, "Settings not written: %s", failure.c_str());
    vx::ShowMessageDlg(failure, vx::mtError, vx::mbOKOnly);
}

void TDlg_Settings::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (centred_)
        return;
    centred_ = true;
    CentreOnScreen(*this);
}

}  // namespace vos

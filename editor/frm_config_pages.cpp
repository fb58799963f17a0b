#include "frm_config_pages.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cfloat>
#include <climits>
#include <initializer_list>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "editor/config_editor.h"
#include "editor/widgets/check_group_box.h"
#include "editor/widgets/control_props.h"

namespace vos {

namespace {

// Kept internally so that a value survives being shown with fewer decimals; Qt's most.
constexpr int kKeptDecimals = DBL_MAX_10_EXP + DBL_DIG;
constexpr int kShownDecimals = 5;
// The bits of a 64 KiB zone: the most any array can span.
constexpr int kMaxArrayItems = 524288;
constexpr int kMaxStringChars = 249;
constexpr double kMaxCalcInt = 2147483647.0;

QString LangText(std::int32_t id)
{
    return QString::fromStdString(vx::GetLangText(id));
}

QString LangLabel(std::int32_t id)
{
    return LangText(id) + QLatin1Char(':');
}

// A combo item index outside the list shows no item.
void SetComboItem(QComboBox* combo, int index)
{
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

// Rewrites the existing items among texts, keeping the selection.
void RewriteComboItems(QComboBox* combo, std::initializer_list<QString> texts)
{
    const int selected = combo->currentIndex();
    int index = 0;
    for (const QString& text : texts) {
        if (index >= combo->count())
            break;
        combo->setItemText(index++, text);
    }
    combo->setCurrentIndex(selected);
}

// Greying on the station and modem pages also colours the field.
void SetGreyed(QWidget* control, bool enabled)
{
    SetControlEnabled(control, enabled);
    const QPalette standard = QApplication::palette(control);
    SetControlColor(control, standard.color(enabled ? QPalette::Base : QPalette::Button));
}

QLabel* MakeLabel(QWidget* parent, const char* name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

QLabel* MakeHeading(QWidget* parent, const char* name)
{
    QLabel* label = MakeLabel(parent, name);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    label->setFont(font);
    label->setMinimumHeight(28);
    label->setContentsMargins(8, 2, 8, 2);
    label->setStyleSheet(QStringLiteral("QLabel { color: white; background: qlineargradient(x1:0, y1:0, "
                                        "x2:1, y2:0, stop:0 #1f4e8c, stop:1 #9fbde6); }"));
    return label;
}

template <typename T>
T* Make(QWidget* parent, const char* name)
{
    auto* widget = new T(parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QSpinBox* MakeSpin(QWidget* parent, const char* name, int maximum)
{
    auto* spin = Make<QSpinBox>(parent, name);
    spin->setRange(0, maximum);
    return spin;
}

TCalcEdit* MakeCalc(QWidget* parent, const char* name, int decimals)
{
    auto* edit = new TCalcEdit(decimals, parent);
    edit->setObjectName(QLatin1String(name));
    if (decimals == 0)
        edit->SetLimits(0, kMaxCalcInt);
    return edit;
}

QPlainTextEdit* MakeMemo(QWidget* parent, const char* name)
{
    auto* memo = Make<QPlainTextEdit>(parent, name);
    memo->setTabChangesFocus(true);
    memo->setMaximumHeight(80);
    return memo;
}

QWidget* MakePage(const char* name)
{
    auto* page = new QWidget;
    page->setObjectName(QLatin1String(name));
    return page;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TCalcEdit::TCalcEdit(int decimals, QWidget* parent)
    : QDoubleSpinBox(parent), shownDecimals_(decimals > 0 ? decimals : 0)
{
    setDecimals(shownDecimals_ > 0 ? kKeptDecimals : 0);
    setGroupSeparatorShown(shownDecimals_ > 0);
    setButtonSymbols(QAbstractSpinBox::NoButtons);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    SetLimits(0, 0);
}

void TCalcEdit::SetLimits(double minimum, double maximum)
{
    if (minimum == 0 && maximum == 0)
        setRange(-DBL_MAX, DBL_MAX);
    else
        setRange(minimum, maximum);
}

QString TCalcEdit::textFromValue(double value) const
{
    if (value == 0)
        value = 0;  // no "-0"
    QString text = locale().toString(value, 'f', shownDecimals_);
    if (shownDecimals_ == 0) {
        text.remove(locale().groupSeparator());
        return text;
    }
    const QString point = locale().decimalPoint();
    const qsizetype at = text.lastIndexOf(point);
    if (at >= 0) {
        qsizetype end = text.size();
        while (end > at + point.size() && text.at(end - 1) == locale().zeroDigit().front())
            --end;
        if (end == at + point.size())
            end = at;
        text.truncate(end);
    }
    return text;
}

// ---------------------------------------------------------------------------------------------

TConfigDetailPages::TConfigDetailPages(QWidget* parent) : QStackedWidget(parent)
{
    setObjectName(QStringLiteral("PageControl_Detail"));
    BuildServerPage();
    BuildStationPage();
    BuildFolderPage();
    BuildVariablePage();
    BuildEmptyPage();
    BuildModemPage();
    ApplyCaptions();
    setCurrentIndex(pgServer);
}

void TConfigDetailPages::BuildServerPage()
{
    TS_Server = MakePage("TS_Server");
    auto* layout = new QVBoxLayout(TS_Server);
    QLabel* heading = MakeHeading(TS_Server, "L_Server");
    heading->setText(QString::fromLatin1(kServerNodeName));
    layout->addWidget(heading);
    layout->addStretch();
    addWidget(TS_Server);
}

void TConfigDetailPages::BuildStationPage()
{
    TS_Station = MakePage("TS_Station");
    auto* layout = new QVBoxLayout(TS_Station);
    L_Station = MakeHeading(TS_Station, "L_Station");
    layout->addWidget(L_Station);

    auto* top = new QFormLayout;
    L_StName = MakeLabel(TS_Station, "L_StName");
    E_StName = Make<QLineEdit>(TS_Station, "E_StName");
    top->addRow(L_StName, E_StName);
    L_StComment = MakeLabel(TS_Station, "L_StComment");
    Memo_StComment = MakeMemo(TS_Station, "Memo_StComment");
    top->addRow(L_StComment, Memo_StComment);
    L_StType = MakeLabel(TS_Station, "L_StType");
    CB_StType = Make<QComboBox>(TS_Station, "CB_StType");
    for (int i = 0; i < 3; ++i)
        CB_StType->addItem(QString::fromStdString(vx::PlcFamilyName(i)));
    top->addRow(L_StType, CB_StType);
    layout->addLayout(top);

    PageControl_Station = Make<QTabWidget>(TS_Station, "PageControl_Station");
    layout->addWidget(PageControl_Station);

    const auto addBauds = [](QComboBox* combo) {
        for (const std::int32_t rate : kBaudRates)
            combo->addItem(QString::number(rate));
    };
    const auto addParities = [](QComboBox* combo) {
        combo->addItems({QStringLiteral("none"), QStringLiteral("odd"), QStringLiteral("even")});
    };

    TS_StMainConnection = MakePage("TS_StMainConnection");
    {
        QWidget* p = TS_StMainConnection;
        auto* form = new QFormLayout(p);
        L_StConType = MakeLabel(p, "L_StConType");
        CB_StConType = Make<QComboBox>(p, "CB_StConType");
        for (int i = 0; i < 5; ++i)
            CB_StConType->addItem(QString());
        CB_StConType->setItemText(3, QStringLiteral("Lunaro"));
        form->addRow(L_StConType, CB_StConType);
        L_StAddress = MakeLabel(p, "L_StAddress");
        E_StAddress = MakeSpin(p, "E_StAddress", INT_MAX);
        form->addRow(L_StAddress, E_StAddress);
        L_StIPAddress = MakeLabel(p, "L_StIPAddress");
        E_StIpAddress = Make<QLineEdit>(p, "E_StIpAddress");
        form->addRow(L_StIPAddress, E_StIpAddress);
        L_StComNum = MakeLabel(p, "L_StComNum");
        E_StComNum = MakeSpin(p, "E_StComNum", INT_MAX);
        form->addRow(L_StComNum, E_StComNum);
        L_StBaud = MakeLabel(p, "L_StBaud");
        CB_StComSpeed = Make<QComboBox>(p, "CB_StComSpeed");
        addBauds(CB_StComSpeed);
        form->addRow(L_StBaud, CB_StComSpeed);
        L_StParity = MakeLabel(p, "L_StParity");
        CB_StParity = Make<QComboBox>(p, "CB_StParity");
        addParities(CB_StParity);
        form->addRow(L_StParity, CB_StParity);
        L_StTimeout = MakeLabel(p, "L_StTimeout");
        E_StTimeout = MakeCalc(p, "E_StTimeout", 0);
        form->addRow(L_StTimeout, E_StTimeout);
    }
    PageControl_Station->addTab(TS_StMainConnection, QString());

    TS_StStandByConnection = MakePage("TS_StStandByConnection");
    {
        QWidget* p = TS_StStandByConnection;
        auto* form = new QFormLayout(p);
        L_StStandByConType = MakeLabel(p, "L_StStandByConType");
        CB_StStandByConType = Make<QComboBox>(p, "CB_StStandByConType");
        for (int i = 0; i < 5; ++i)
            CB_StStandByConType->addItem(QString());
        form->addRow(L_StStandByConType, CB_StStandByConType);
        L_StStandByAddress = MakeLabel(p, "L_StStandByAddress");
        E_StStandByAddress = MakeSpin(p, "E_StStandByAddress", INT_MAX);
        form->addRow(L_StStandByAddress, E_StStandByAddress);
        L_StStandByIPAddress = MakeLabel(p, "L_StStandByIPAddress");
        E_StStandByIpAddress = Make<QLineEdit>(p, "E_StStandByIpAddress");
        form->addRow(L_StStandByIPAddress, E_StStandByIpAddress);
        L_StStandByComNum = MakeLabel(p, "L_StStandByComNum");
        E_StStandByComNum = MakeSpin(p, "E_StStandByComNum", INT_MAX);
        form->addRow(L_StStandByComNum, E_StStandByComNum);
        L_StStandByBaud = MakeLabel(p, "L_StStandByBaud");
        CB_StStandByComSpeed = Make<QComboBox>(p, "CB_StStandByComSpeed");
        addBauds(CB_StStandByComSpeed);
        form->addRow(L_StStandByBaud, CB_StStandByComSpeed);
        L_StStandByParity = MakeLabel(p, "L_StStandByParity");
        CB_StStandByParity = Make<QComboBox>(p, "CB_StStandByParity");
        addParities(CB_StStandByParity);
        form->addRow(L_StStandByParity, CB_StStandByParity);
        L_StStandByTimeout = MakeLabel(p, "L_StStandByTimeout");
        E_StStandByTimeout = MakeCalc(p, "E_StStandByTimeout", 0);
        form->addRow(L_StStandByTimeout, E_StStandByTimeout);
    }
    PageControl_Station->addTab(TS_StStandByConnection, QString());
    layout->addStretch();
    addWidget(TS_Station);
}

void TConfigDetailPages::BuildFolderPage()
{
    TS_Folder = MakePage("TS_Folder");
    auto* layout = new QVBoxLayout(TS_Folder);
    L_Folder = MakeHeading(TS_Folder, "L_Folder");
    layout->addWidget(L_Folder);
    auto* form = new QFormLayout;
    L_FolderName = MakeLabel(TS_Folder, "L_FolderName");
    E_FolderName = Make<QLineEdit>(TS_Folder, "E_FolderName");
    form->addRow(L_FolderName, E_FolderName);
    layout->addLayout(form);
    layout->addStretch();
    addWidget(TS_Folder);
}

void TConfigDetailPages::BuildVariablePage()
{
    TS_Variable = MakePage("TS_Variable");
    auto* layout = new QVBoxLayout(TS_Variable);
    L_Variable = MakeHeading(TS_Variable, "L_Variable");
    layout->addWidget(L_Variable);

    QWidget* v = TS_Variable;
    auto* form = new QFormLayout;
    L_VarName = MakeLabel(v, "L_VarName");
    E_VarName = Make<QLineEdit>(v, "E_VarName");
    form->addRow(L_VarName, E_VarName);
    L_VarComment = MakeLabel(v, "L_VarComment");
    Memo_VarComment = MakeMemo(v, "Memo_VarComment");
    form->addRow(L_VarComment, Memo_VarComment);

    L_VarAddress = MakeLabel(v, "L_VarAddress");
    CB_VarDataZone = Make<QComboBox>(v, "CB_VarDataZone");
    CB_VarDataZone->addItems({QStringLiteral("X"), QStringLiteral("Y"), QStringLiteral("S"), QStringLiteral("R"),
                              QStringLiteral("M")});
    E_VarAddress = MakeSpin(v, "E_VarAddress", INT_MAX);
    E_VarBit = MakeSpin(v, "E_VarBit", 7);
    auto* address = new QHBoxLayout;
    address->addWidget(CB_VarDataZone);
    address->addWidget(E_VarAddress, 1);
    address->addWidget(new QLabel(QStringLiteral("."), v));
    address->addWidget(E_VarBit);
    form->addRow(L_VarAddress, address);

    L_VarInstrType = MakeLabel(v, "L_VarInstrType");
    CB_VarInstrType = Make<QComboBox>(v, "CB_VarInstrType");
    CB_VarInstrType->addItems({"Bool", "Byte", "Word", "LongWord", "SmallInt", "Integer", "Float", "Double",
                               "DateTime", "String", "Bool Array", "Byte array", "Word array", "Long array",
                               "SmInt array", "Integer array", "Float array", "Double array", "DateTime array",
                               "String array"});
    form->addRow(L_VarInstrType, CB_VarInstrType);
    L_VarArrLen = MakeLabel(v, "L_VarArrLen");
    E_VarNumOfItems = MakeSpin(v, "E_VarNumOfItems", kMaxArrayItems);
    form->addRow(L_VarArrLen, E_VarNumOfItems);
    L_VarNumOfChars = MakeLabel(v, "L_VarNumOfChars");
    E_VarNumOfChars = MakeSpin(v, "E_VarNumOfChars", kMaxStringChars);
    form->addRow(L_VarNumOfChars, E_VarNumOfChars);
    ChB_VarReadable = Make<QCheckBox>(v, "ChB_VarReadable");
    ChB_VarWriteable = Make<QCheckBox>(v, "ChB_VarWriteable");
    auto* access = new QHBoxLayout;
    access->addWidget(ChB_VarReadable);
    access->addWidget(ChB_VarWriteable);
    access->addStretch();
    form->addRow(QString(), access);
    L_VarUnits = MakeLabel(v, "L_VarUnits");
    E_VarUnits = Make<QLineEdit>(v, "E_VarUnits");
    form->addRow(L_VarUnits, E_VarUnits);
    layout->addLayout(form);

    PageControl_Variable = Make<QTabWidget>(v, "PageControl_Variable");
    layout->addWidget(PageControl_Variable);

    // Simulation: everything inside the check group box follows its check.
    TS_VarSimulation = MakePage("TS_VarSimulation");
    {
        auto* page = new QVBoxLayout(TS_VarSimulation);
        GB_VarSimulated = new TCheckGroupBox(TS_VarSimulation);
        GB_VarSimulated->setObjectName(QStringLiteral("GB_VarSimulated"));
        QWidget* g = GB_VarSimulated;
        auto* grid = new QFormLayout(g);
        L_VarSimulationType = MakeLabel(g, "L_VarSimulationType");
        CB_VarSimulationType = Make<QComboBox>(g, "CB_VarSimulationType");
        grid->addRow(L_VarSimulationType, CB_VarSimulationType);
        E_VarSimulationMin = MakeCalc(g, "E_VarSimulationMin", kShownDecimals);
        E_VarSimulationMax = MakeCalc(g, "E_VarSimulationMax", kShownDecimals);
        auto* bounds = new QHBoxLayout;
        bounds->addWidget(E_VarSimulationMin, 1);
        bounds->addWidget(new QLabel(QStringLiteral("\u2013"), g));
        bounds->addWidget(E_VarSimulationMax, 1);
        grid->addRow(QString(), bounds);
        L_VarSimulationRate = MakeLabel(g, "L_VarSimulationRate");
        E_VarSimulationRate = MakeCalc(g, "E_VarSimulationRate", 0);
        grid->addRow(L_VarSimulationRate, E_VarSimulationRate);
        L_VarSimulationGain = MakeLabel(g, "L_VarSimulationGain");
        E_VarSimulationGain = MakeCalc(g, "E_VarSimulationGain", kShownDecimals);
        grid->addRow(L_VarSimulationGain, E_VarSimulationGain);
        GB_VarSimulated->Loaded();
        page->addWidget(GB_VarSimulated);
        page->addStretch();
    }
    PageControl_Variable->addTab(TS_VarSimulation, QString());

    // Value: the Boolean's texts and the initial value.
    TS_VarContactLabel = MakePage("TS_VarContactLabel");
    {
        auto* page = new QVBoxLayout(TS_VarContactLabel);
        auto* box = new QGroupBox(TS_VarContactLabel);
        box->setObjectName(QStringLiteral("GB_ContactLabel"));
        GB_ContactLabel = box;
        auto* labels = new QFormLayout(box);
        E_VarContactCloseLabel = Make<QLineEdit>(box, "E_VarContactCloseLabel");
        E_VarContactOpenLabel = Make<QLineEdit>(box, "E_VarContactOpenLabel");
        labels->addRow(QStringLiteral("1"), E_VarContactCloseLabel);
        labels->addRow(QStringLiteral("0"), E_VarContactOpenLabel);
        page->addWidget(box);
        auto* initial = new QFormLayout;
        L_VarInitialValue = MakeLabel(TS_VarContactLabel, "L_VarInitialValue");
        E_VarInitialValue = Make<QLineEdit>(TS_VarContactLabel, "E_VarInitialValue");
        initial->addRow(L_VarInitialValue, E_VarInitialValue);
        page->addLayout(initial);
        page->addStretch();
    }
    PageControl_Variable->addTab(TS_VarContactLabel, QString());

    TS_VarScaled = MakePage("TS_VarScaled");
    {
        QWidget* p = TS_VarScaled;
        auto* page = new QVBoxLayout(p);
        auto* input = new QHBoxLayout;
        L_InputRange = MakeLabel(p, "L_InputRange");
        E_VarLowInstrumentRange = MakeCalc(p, "E_VarLowInstrumentRange", kShownDecimals);
        E_VarHiInstrumentRange = MakeCalc(p, "E_VarHiInstrumentRange", kShownDecimals);
        input->addWidget(L_InputRange);
        input->addWidget(E_VarLowInstrumentRange, 1);
        input->addWidget(new QLabel(QStringLiteral("\u2013"), p));
        input->addWidget(E_VarHiInstrumentRange, 1);
        page->addLayout(input);

        GB_VarScaled = new TCheckGroupBox(p);
        GB_VarScaled->setObjectName(QStringLiteral("GB_VarScaled"));
        QWidget* g = GB_VarScaled;
        auto* grid = new QFormLayout(g);
        E_VarLowScaledRange = MakeCalc(g, "E_VarLowScaledRange", kShownDecimals);
        E_VarHiScaledRange = MakeCalc(g, "E_VarHiScaledRange", kShownDecimals);
        auto* scaled = new QHBoxLayout;
        scaled->addWidget(E_VarLowScaledRange, 1);
        scaled->addWidget(new QLabel(QStringLiteral("\u2013"), g));
        scaled->addWidget(E_VarHiScaledRange, 1);
        grid->addRow(QString(), scaled);
        L_VarType = MakeLabel(g, "L_VarType");
        CB_VarType = Make<QComboBox>(g, "CB_VarType");
        CB_VarType->addItems({"Byte", "Word", "LongWord", "SmallInt", "Integer", "Float", "Double"});
        grid->addRow(L_VarType, CB_VarType);
        GB_VarScaled->Loaded();
        page->addWidget(GB_VarScaled);
        page->addStretch();
    }
    PageControl_Variable->addTab(TS_VarScaled, QString());

    TS_VarLimits = MakePage("TS_VarLimits");
    {
        QWidget* p = TS_VarLimits;
        auto* limits = new QFormLayout(p);
        L_VarHiHiLimit = MakeLabel(p, "L_VarHiHiLimit");
        E_VarHiHiLimit = MakeCalc(p, "E_VarHiHiLimit", kShownDecimals);
        limits->addRow(L_VarHiHiLimit, E_VarHiHiLimit);
        L_VarHiLimit = MakeLabel(p, "L_VarHiLimit");
        E_VarHiLimit = MakeCalc(p, "E_VarHiLimit", kShownDecimals);
        limits->addRow(L_VarHiLimit, E_VarHiLimit);
        L_VarLoLimit = MakeLabel(p, "L_VarLoLimit");
        E_VarLoLimit = MakeCalc(p, "E_VarLoLimit", kShownDecimals);
        limits->addRow(L_VarLoLimit, E_VarLoLimit);
        L_VarLoLoLimit = MakeLabel(p, "L_VarLoLoLimit");
        E_VarLoLoLimit = MakeCalc(p, "E_VarLoLoLimit", kShownDecimals);
        limits->addRow(L_VarLoLoLimit, E_VarLoLoLimit);
    }
    PageControl_Variable->addTab(TS_VarLimits, QString());
    layout->addStretch();
    addWidget(TS_Variable);
}

void TConfigDetailPages::BuildEmptyPage()
{
    TS_Empty = MakePage("TS_Empty");
    addWidget(TS_Empty);
}

void TConfigDetailPages::BuildModemPage()
{
    TS_Modem = MakePage("TS_Modem");
    auto* layout = new QVBoxLayout(TS_Modem);
    L_Modem = MakeHeading(TS_Modem, "L_Modem");
    layout->addWidget(L_Modem);
    auto* form = new QFormLayout;
    L_ModName = MakeLabel(TS_Modem, "L_ModName");
    E_ModName = Make<QLineEdit>(TS_Modem, "E_ModName");
    form->addRow(L_ModName, E_ModName);
    L_ModComment = MakeLabel(TS_Modem, "L_ModComment");
    Memo_ModComment = MakeMemo(TS_Modem, "Memo_ModComment");
    form->addRow(L_ModComment, Memo_ModComment);
    L_ModComNum = MakeLabel(TS_Modem, "L_ModComNum");
    CB_ModComNum = Make<QComboBox>(TS_Modem, "CB_ModComNum");
    for (int i = 1; i <= 20; ++i)
        CB_ModComNum->addItem(QStringLiteral("COM%1").arg(i));
    form->addRow(L_ModComNum, CB_ModComNum);
    layout->addLayout(form);
    layout->addStretch();
    addWidget(TS_Modem);
}

std::vector<QWidget*> TConfigDetailPages::DetailControls() const
{
    return {E_ModName,
            Memo_ModComment,
            CB_ModComNum,
            E_StName,
            Memo_StComment,
            CB_StType,
            E_StAddress,
            E_StComNum,
            CB_StComSpeed,
            E_StTimeout,
            CB_StConType,
            CB_StParity,
            E_StIpAddress,
            E_StStandByAddress,
            E_StStandByComNum,
            CB_StStandByComSpeed,
            E_StStandByTimeout,
            CB_StStandByConType,
            CB_StStandByParity,
            E_StStandByIpAddress,
            E_VarName,
            Memo_VarComment,
            E_VarAddress,
            E_VarBit,
            CB_VarDataZone,
            CB_VarInstrType,
            E_VarNumOfItems,
            E_VarNumOfChars,
            ChB_VarReadable,
            ChB_VarWriteable,
            E_VarUnits,
            GB_VarScaled,
            E_VarLowInstrumentRange,
            E_VarHiInstrumentRange,
            E_VarLowScaledRange,
            E_VarHiScaledRange,
            E_VarContactCloseLabel,
            E_VarContactOpenLabel,
            E_VarInitialValue,
            E_VarHiHiLimit,
            E_VarHiLimit,
            E_VarLoLimit,
            E_VarLoLoLimit,
            CB_VarType,
            GB_VarSimulated,
            CB_VarSimulationType,
            E_VarSimulationMin,
            E_VarSimulationMax,
            E_VarSimulationRate,
            E_VarSimulationGain,
            E_FolderName};
}

void TConfigDetailPages::RegisterDetailControls(TControlPropsList& list)
{
    for (QWidget* control : DetailControls())
        list.AddControl(control);
}

void TConfigDetailPages::ApplyCaptions()
{
    TFillingControlsGuard filling;
    L_Modem->setText(LangText(5));
    L_ModName->setText(LangLabel(12));
    L_ModComment->setText(LangLabel(59));
    L_ModComNum->setText(LangText(231));

    L_Station->setText(LangText(0));
    L_StName->setText(LangLabel(12));
    L_StComment->setText(LangLabel(59));
    L_StType->setText(LangLabel(11));
    PageControl_Station->setTabText(PageControl_Station->indexOf(TS_StMainConnection), LangText(280));
    PageControl_Station->setTabText(PageControl_Station->indexOf(TS_StStandByConnection), LangText(281));
    L_StAddress->setText(LangLabel(10));
    L_StIPAddress->setText(LangLabel(26));
    L_StComNum->setText(LangText(231));
    L_StBaud->setText(LangText(232));
    L_StTimeout->setText(LangText(233));
    L_StParity->setText(LangLabel(27));
    L_StConType->setText(LangText(234));
    L_StStandByAddress->setText(L_StAddress->text());
    L_StStandByIPAddress->setText(L_StIPAddress->text());
    L_StStandByComNum->setText(L_StComNum->text());
    L_StStandByBaud->setText(L_StBaud->text());
    L_StStandByTimeout->setText(L_StTimeout->text());
    L_StStandByParity->setText(L_StParity->text());
    L_StStandByConType->setText(L_StConType->text());

    L_Folder->setText(LangText(116));
    L_FolderName->setText(LangLabel(12));

    L_Variable->setText(LangText(115));
    L_VarName->setText(LangLabel(12));
    L_VarComment->setText(LangLabel(59));
    L_VarAddress->setText(LangLabel(10));
    L_VarInstrType->setText(LangLabel(11));
    L_VarArrLen->setText(LangText(250));
    L_VarNumOfChars->setText(LangText(251));
    ChB_VarReadable->setText(LangText(252));
    ChB_VarWriteable->setText(LangText(253));
    GB_VarScaled->SetCheckBoxCaption(LangText(254));
    L_VarUnits->setText(LangText(255));
    GB_ContactLabel->setTitle(LangText(256));
    L_InputRange->setText(LangText(257));
    PageControl_Variable->setTabText(PageControl_Variable->indexOf(TS_VarScaled), LangText(258));
    PageControl_Variable->setTabText(PageControl_Variable->indexOf(TS_VarLimits), LangText(259));
    PageControl_Variable->setTabText(PageControl_Variable->indexOf(TS_VarContactLabel), LangText(13));
    L_VarInitialValue->setText(LangLabel(260));
    L_VarHiHiLimit->setText(LangText(261));
    L_VarHiLimit->setText(LangText(262));
    L_VarLoLimit->setText(LangText(263));
    L_VarLoLoLimit->setText(LangText(264));
    L_VarType->setText(LangLabel(11));
    PageControl_Variable->setTabText(PageControl_Variable->indexOf(TS_VarSimulation), LangText(265));
    GB_VarSimulated->SetCheckBoxCaption(LangText(266));
    L_VarSimulationType->setText(LangLabel(11));
    L_VarSimulationRate->setText(LangText(267));
    L_VarSimulationGain->setText(LangText(268));

    RewriteComboItems(CB_StParity, {LangText(70), LangText(71), LangText(72)});
    const int parity = CB_StStandByParity->currentIndex();
    for (int i = 0; i < CB_StStandByParity->count() && i < CB_StParity->count(); ++i)
        CB_StStandByParity->setItemText(i, CB_StParity->itemText(i));
    CB_StStandByParity->setCurrentIndex(parity);
    // Item 3, the development environment's service, is a name and keeps its text.
    CB_StConType->setItemText(0, LangText(235));
    CB_StConType->setItemText(1, LangText(237));
    CB_StConType->setItemText(2, LangText(236));
    CB_StConType->setItemText(4, LangText(239));
    CB_StStandByConType->setItemText(0, LangText(238));
    CB_StStandByConType->setItemText(1, LangText(235));
    CB_StStandByConType->setItemText(2, LangText(237));
    CB_StStandByConType->setItemText(3, LangText(236));
    CB_StStandByConType->setItemText(4, LangText(239));
    RewriteComboItems(CB_VarSimulationType, {LangText(61), LangText(62), LangText(63)});
}

void TConfigDetailPages::RefreshTypeComboTexts()
{
    TFillingControlsGuard filling;
    const auto rewrite = [](QComboBox* combo, const auto& types) {
        const int selected = combo->currentIndex();
        for (int i = 0; i < combo->count() && i < static_cast<int>(types.size()); ++i)
            combo->setItemText(i, QString::fromStdString(vx::VarTypeName(static_cast<std::uint16_t>(types[i]))));
        combo->setCurrentIndex(selected);
    };
    rewrite(CB_VarInstrType, kVarTypeList);
    rewrite(CB_VarType, kScaledTypeList);
}

std::pair<double, double> TConfigDetailPages::TypeRange(std::int32_t varType)
{
    switch (varType) {
    case 2: return {-32768.0, 32767.0};
    case 3: return {-2147483647.0, 2147483647.0};
    case 11: return {0.0, 1.0};
    case 17: return {0.0, 255.0};
    case 18: return {0.0, 65535.0};
    case 19: return {0.0, 4294967295.0};
    default: return {0.0, 0.0};
    }
}

std::pair<double, double> TConfigDetailPages::ClampToTypeRange(std::int32_t varType, double& high, double& low)
{
    const auto range = TypeRange(varType);
    const auto [minimum, maximum] = range;
    if (minimum != 0 || maximum != 0) {
        for (double* value : {&high, &low}) {
            if (*value > maximum)
                *value = maximum;
            else if (*value < minimum)
                *value = minimum;
        }
    }
    return range;
}

bool TConfigDetailPages::IsNumericType(std::int32_t varType)
{
    switch (varType) {
    case 2:
    case 3:
    case 4:
    case 5:
    case 17:
    case 18:
    case 19: return true;
    default: return false;
    }
}

bool TConfigDetailPages::IsLockedServiceCode(std::int32_t serviceCode)
{
    switch (serviceCode) {
    case 1:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 16:
    case 20:
    case 21:
    case 22:
    case 30:
    case 40:
    case 41:
    case 50:
    case 52: return true;
    default: return false;
    }
}

void TConfigDetailPages::ShowServerPage()
{
    TFillingControlsGuard filling;
    setCurrentIndex(pgServer);
}

void TConfigDetailPages::ShowEmptyPage()
{
    TFillingControlsGuard filling;
    setCurrentIndex(pgEmpty);
}

void TConfigDetailPages::ShowFolderPage(const TConfigNodeRec& rec, int selectedCount)
{
    TFillingControlsGuard filling;
    // Several folders sharing one name edit would all get the same name.
    SetControlEnabled(E_FolderName, rec.Editable != 0 && selectedCount <= 1);
    E_FolderName->setText(QString::fromStdString(rec.Name));
    setCurrentIndex(pgFolder);
}

void TConfigDetailPages::ShowModemPage(const TConfigNodeRec& rec, int selectedCount)
{
    TFillingControlsGuard filling;
    E_ModName->setText(QString::fromStdString(rec.Name));
    SetGreyed(E_ModName, selectedCount <= 1);
    Memo_ModComment->setPlainText(QString::fromStdString(rec.Comment));
    SetComboItem(CB_ModComNum, rec.ComPort - 1);
    setCurrentIndex(pgModem);
}

void TConfigDetailPages::ShowStationDetail(const TConfigNodeRec& rec, int selectedCount)
{
    TFillingControlsGuard filling;
    const std::int32_t type = rec.ConnectionType;
    E_StName->setText(QString::fromStdString(rec.Name));
    SetGreyed(E_StName, selectedCount <= 1);
    Memo_StComment->setPlainText(QString::fromStdString(rec.Comment));
    SetGreyed(Memo_StComment, true);
    SetComboItem(CB_StType, rec.StationType);
    SetGreyed(CB_StType, true);
    E_StAddress->setValue(rec.BusAddress);
    SetGreyed(E_StAddress, type != 2);
    SetComboItem(CB_StComSpeed, TConfigEditor::BaudRateIndex(rec.BaudRate));
    SetGreyed(CB_StComSpeed, type == 0);
    E_StTimeout->setValue(rec.Timeout);
    SetGreyed(E_StTimeout, true);
    SetComboItem(CB_StConType, type);
    SetGreyed(CB_StConType, true);
    E_StComNum->setValue(rec.ComPort);
    SetGreyed(E_StComNum, type == 0 || type == 4);
    SetComboItem(CB_StParity, rec.Parity);
    SetGreyed(CB_StParity, type == 0);
    E_StIpAddress->setText(QString::fromStdString(rec.IpAddress));
    SetGreyed(E_StIpAddress, type == 2 || type == 4);

    // The standby list has no development-environment entry: TCP is its item 4.
    const std::int32_t standby = rec.StandbyConnectionType;
    E_StStandByAddress->setValue(rec.StandbyBusAddress);
    SetGreyed(E_StStandByAddress, standby != 2 && standby != -1);
    SetComboItem(CB_StStandByComSpeed, TConfigEditor::BaudRateIndex(rec.StandbyBaudRate));
    SetGreyed(CB_StStandByComSpeed, standby == 0);
    E_StStandByTimeout->setValue(rec.StandbyTimeout);
    SetGreyed(E_StStandByTimeout, standby != -1);
    SetComboItem(CB_StStandByConType, standby >= -1 && standby <= 2 ? standby + 1 : standby == 4 ? 4 : -1);
    SetGreyed(CB_StStandByConType, true);
    E_StStandByComNum->setValue(rec.StandbyComPort);
    SetGreyed(E_StStandByComNum, standby == 0 || standby == 4);
    SetComboItem(CB_StStandByParity, rec.StandbyParity);
    SetGreyed(CB_StStandByParity, standby == 0);
    E_StStandByIpAddress->setText(QString::fromStdString(rec.StandbyIpAddress));
    SetGreyed(E_StStandByIpAddress, standby == 2 || standby == 4);
    setCurrentIndex(pgStation);
}

void TConfigDetailPages::ShowVariableDetail(TConfigNodeRec& rec, QWidget* sender, int selectedCount)
{
    TFillingControlsGuard filling;
    const std::int32_t type = rec.VarType;
    const bool numeric = IsNumericType(type);

    for (QWidget* control : {static_cast<QWidget*>(E_VarName), static_cast<QWidget*>(CB_VarDataZone),
                             static_cast<QWidget*>(E_VarAddress), static_cast<QWidget*>(E_VarBit),
                             static_cast<QWidget*>(CB_VarInstrType), static_cast<QWidget*>(ChB_VarReadable),
                             static_cast<QWidget*>(ChB_VarWriteable)})
        SetControlEnabled(control, true);
    Memo_VarComment->setReadOnly(false);

    E_VarName->setText(QString::fromStdString(rec.Name));
    Memo_VarComment->setPlainText(QString::fromStdString(rec.Comment));
    SetComboItem(CB_VarDataZone, rec.Zone);
    SetComboItem(CB_VarInstrType, TConfigEditor::VarTypeIndex(type));

    if (sender != E_VarAddress)
        E_VarAddress->setValue(rec.Address);
    if (sender != E_VarBit)
        E_VarBit->setValue(rec.BitNumber);
    if (sender != E_VarNumOfItems)
        E_VarNumOfItems->setValue(rec.ArrayLength);
    if (sender != E_VarNumOfChars)
        E_VarNumOfChars->setValue(rec.StringLength);

    ChB_VarReadable->setChecked(rec.Readable != 0);
    ChB_VarWriteable->setChecked(rec.Writable != 0);
    E_VarUnits->setText(QString::fromStdString(rec.Units));

    if (!numeric)
        rec.Scaled = 0;
    GB_VarScaled->SetChecked(rec.Scaled != 0);

    const auto showRange = [sender](std::int32_t rangeType, double& high, double& low, TCalcEdit* lowEdit,
                                    TCalcEdit* highEdit) {
        if (sender == lowEdit || sender == highEdit)
            return;
        const auto [minimum, maximum] = ClampToTypeRange(rangeType, high, low);
        lowEdit->SetLimits(minimum, maximum);
        highEdit->SetLimits(minimum, maximum);
        lowEdit->setValue(low);
        highEdit->setValue(high);
    };
    showRange(type, rec.InstrumentHigh, rec.InstrumentLow, E_VarLowInstrumentRange, E_VarHiInstrumentRange);
    showRange(rec.ScaledVarType, rec.ScaledHigh, rec.ScaledLow, E_VarLowScaledRange, E_VarHiScaledRange);
    // The simulation bounds take the raw type's range, scaled or not.
    showRange(type, rec.SimulationMax, rec.SimulationMin, E_VarSimulationMin, E_VarSimulationMax);
    GB_VarSimulated->SetChecked(rec.Simulated != 0);

    if (sender != E_VarSimulationRate)
        E_VarSimulationRate->setValue(rec.SimulationPeriod);
    if (sender != E_VarSimulationGain) {
        // A span that is not positive leaves the gain without an upper limit.
        const double span = E_VarSimulationMax->value() - E_VarSimulationMin->value();
        E_VarSimulationGain->SetLimits(0, span > 0 ? span : 0);
        E_VarSimulationGain->setValue(rec.SimulationGain);
    }

    E_VarContactCloseLabel->setText(QString::fromStdString(rec.CloseLabel));
    E_VarContactOpenLabel->setText(QString::fromStdString(rec.OpenLabel));
    E_VarInitialValue->setText(QString::fromStdString(rec.InitialValue));
    const std::int32_t code = rec.ServiceCode;
    SetControlEnabled(E_VarInitialValue, code == 20 || code == 30 || code == 52 || rec.Simulated != 0);

    const std::pair<TCalcEdit*, double> limits[] = {{E_VarHiHiLimit, rec.HiHiLimit},
                                                    {E_VarHiLimit, rec.HiLimit},
                                                    {E_VarLoLimit, rec.LoLimit},
                                                    {E_VarLoLoLimit, rec.LoLoLimit}};
    for (const auto& [edit, value] : limits)
        if (sender != edit)
            edit->setValue(value);

    SetComboItem(CB_VarType, TConfigEditor::ScaledTypeIndex(rec.ScaledVarType));

    SetControlEnabled(GB_VarScaled, numeric);
    SetControlEnabled(E_VarName, selectedCount <= 1);
    SetControlEnabled(E_VarNumOfItems, (type & 0x2000) != 0);
    SetControlEnabled(E_VarNumOfChars, type == 8 || type == 0x2008);
    SetControlEnabled(E_VarLowInstrumentRange, numeric);
    SetControlEnabled(E_VarHiInstrumentRange, numeric);
    const bool scaled = GB_VarScaled->Checked();
    SetControlEnabled(E_VarLowScaledRange, scaled);
    SetControlEnabled(E_VarHiScaledRange, scaled);
    SetControlEnabled(CB_VarType, scaled);
    SetControlEnabled(E_VarBit, type == 11);
    SetControlEnabled(E_VarContactCloseLabel, type == 11 || type == 0x200B);
    SetControlEnabled(E_VarContactOpenLabel, type == 11 || type == 0x200B);
    for (TCalcEdit* edit : {E_VarHiHiLimit, E_VarHiLimit, E_VarLoLimit, E_VarLoLoLimit})
        SetControlEnabled(edit, numeric);
    SetControlEnabled(E_VarSimulationMin, numeric && rec.Simulated != 0);
    SetControlEnabled(E_VarSimulationMax, numeric && rec.Simulated != 0);

    CB_VarSimulationType->clear();
    CB_VarSimulationType->addItem(LangText(61));
    if (numeric) {
        CB_VarSimulationType->addItem(LangText(62));
        CB_VarSimulationType->addItem(LangText(63));
    } else {
        rec.SimulationType = 0;
    }
    SetComboItem(CB_VarSimulationType, rec.SimulationType);
    const bool running = numeric && rec.Simulated != 0 && rec.SimulationType != 0;
    SetControlEnabled(E_VarSimulationRate, running);
    SetControlEnabled(E_VarSimulationGain, running);

    // Generated service items keep their identity; the data buffer (13) may change its type.
    if (IsLockedServiceCode(code)) {
        for (QWidget* control : {static_cast<QWidget*>(E_VarName), static_cast<QWidget*>(CB_VarDataZone),
                                 static_cast<QWidget*>(E_VarAddress), static_cast<QWidget*>(E_VarBit),
                                 static_cast<QWidget*>(ChB_VarReadable), static_cast<QWidget*>(ChB_VarWriteable)})
            SetControlEnabled(control, false);
        if (code != 13)
            SetControlEnabled(CB_VarInstrType, false);
        Memo_VarComment->setReadOnly(true);
    }
    setCurrentIndex(pgVariable);
}

}  // namespace vos

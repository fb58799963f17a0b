// The detail pages: which controls a node's record fills, greys and locks, and the captions.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <cfloat>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "editor/frm_config_pages.h"
#include "editor/widgets/check_group_box.h"
#include "editor/widgets/control_props.h"

namespace {

using vos::TCalcEdit;
using vos::TConfigDetailPages;
using vos::TConfigNodeRec;

class ConfigPagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vx::ResetSettings();
        vx::Language = 1;
        pages = std::make_unique<TConfigDetailPages>();
        pages->setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void TearDown() override
    {
        pages.reset();
        vx::ResetSettings();
    }

    template <typename T = QWidget>
    T* W(const char* name) const
    {
        T* widget = pages->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    bool Enabled(const char* name) const { return W(name)->isEnabledTo(pages.get()); }
    int Item(const char* name) const { return W<QComboBox>(name)->currentIndex(); }
    double Calc(const char* name) const { return W<TCalcEdit>(name)->value(); }

    static TConfigNodeRec Variable(std::int32_t varType)
    {
        TConfigNodeRec rec = TConfigNodeRec::WithDefaults(vos::nkVariable);
        rec.Name = "V";
        rec.VarType = varType;
        return rec;
    }

    std::unique_ptr<TConfigDetailPages> pages;
};

TEST_F(ConfigPagesTest, DetailControlsInRegisterOrderWithTheirClasses)
{
    // name, the class it must be (by the closest class the tests check).
    struct Row {
        const char* name;
        const char* cls;
    };
    const Row rows[] = {
        {"E_ModName", "QLineEdit"},
        {"Memo_ModComment", "QPlainTextEdit"},
        {"CB_ModComNum", "QComboBox"},
        {"E_StName", "QLineEdit"},
        {"Memo_StComment", "QPlainTextEdit"},
        {"CB_StType", "QComboBox"},
        {"E_StAddress", "QSpinBox"},
        {"E_StComNum", "QSpinBox"},
        {"CB_StComSpeed", "QComboBox"},
        {"E_StTimeout", "TCalcEdit"},
        {"CB_StConType", "QComboBox"},
        {"CB_StParity", "QComboBox"},
        {"E_StIpAddress", "QLineEdit"},
        {"E_StStandByAddress", "QSpinBox"},
        {"E_StStandByComNum", "QSpinBox"},
        {"CB_StStandByComSpeed", "QComboBox"},
        {"E_StStandByTimeout", "TCalcEdit"},
        {"CB_StStandByConType", "QComboBox"},
        {"CB_StStandByParity", "QComboBox"},
        {"E_StStandByIpAddress", "QLineEdit"},
        {"E_VarName", "QLineEdit"},
        {"Memo_VarComment", "QPlainTextEdit"},
        {"E_VarAddress", "QSpinBox"},
        {"E_VarBit", "QSpinBox"},
        {"CB_VarDataZone", "QComboBox"},
        {"CB_VarInstrType", "QComboBox"},
        {"E_VarNumOfItems", "QSpinBox"},
        {"E_VarNumOfChars", "QSpinBox"},
        {"ChB_VarReadable", "QCheckBox"},
        {"ChB_VarWriteable", "QCheckBox"},
        {"E_VarUnits", "QLineEdit"},
        {"GB_VarScaled", "TCheckGroupBox"},
        {"E_VarLowInstrumentRange", "TCalcEdit"},
        {"E_VarHiInstrumentRange", "TCalcEdit"},
        {"E_VarLowScaledRange", "TCalcEdit"},
        {"E_VarHiScaledRange", "TCalcEdit"},
        {"E_VarContactCloseLabel", "QLineEdit"},
        {"E_VarContactOpenLabel", "QLineEdit"},
        {"E_VarInitialValue", "QLineEdit"},
        {"E_VarHiHiLimit", "TCalcEdit"},
        {"E_VarHiLimit", "TCalcEdit"},
        {"E_VarLoLimit", "TCalcEdit"},
        {"E_VarLoLoLimit", "TCalcEdit"},
        {"CB_VarType", "QComboBox"},
        {"GB_VarSimulated", "TCheckGroupBox"},
        {"CB_VarSimulationType", "QComboBox"},
        {"E_VarSimulationMin", "TCalcEdit"},
        {"E_VarSimulationMax", "TCalcEdit"},
        {"E_VarSimulationRate", "TCalcEdit"},
        {"E_VarSimulationGain", "TCalcEdit"},
        {"E_FolderName", "QLineEdit"},
    };
    const std::vector<QWidget*> controls = pages->DetailControls();
    ASSERT_EQ(controls.size(), std::size(rows));
    vos::TControlPropsList list;
    pages->RegisterDetailControls(list);
    ASSERT_EQ(list.Count(), 51);
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Row& row = rows[i];
        ASSERT_NE(controls[i], nullptr) << row.name;
        EXPECT_EQ(controls[i]->objectName().toStdString(), row.name) << i;
        EXPECT_EQ(list.Items(static_cast<int>(i)).Control, controls[i]) << row.name;
        EXPECT_EQ(pages->findChild<QWidget*>(QLatin1String(row.name)), controls[i]) << row.name;
        const std::string cls = row.cls;
        bool isClass = false;
        if (cls == "TCalcEdit")
            isClass = dynamic_cast<TCalcEdit*>(controls[i]) != nullptr;
        else if (cls == "TCheckGroupBox")
            isClass = qobject_cast<vos::TCheckGroupBox*>(controls[i]) != nullptr;
        else
            isClass = controls[i]->inherits(row.cls);
        EXPECT_TRUE(isClass) << row.name << " is " << controls[i]->metaObject()->className();
    }
}

TEST_F(ConfigPagesTest, PagesTabsAndFixedContents)
{
    EXPECT_EQ(pages->objectName(), "PageControl_Detail");
    const char* names[] = {"TS_Server", "TS_Station", "TS_Folder", "TS_Variable", "TS_Empty", "TS_Modem"};
    ASSERT_EQ(pages->count(), 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(pages->widget(i)->objectName(), names[i]);
    for (const char* sub : {"TS_StMainConnection", "TS_StStandByConnection"})
        EXPECT_TRUE(W("TS_Station")->isAncestorOf(W(sub))) << sub;
    for (const char* sub : {"TS_VarSimulation", "TS_VarContactLabel", "TS_VarScaled", "TS_VarLimits"})
        EXPECT_TRUE(W("TS_Variable")->isAncestorOf(W(sub))) << sub;

    EXPECT_EQ(W<QComboBox>("CB_StType")->itemText(1), "Selvin");
    EXPECT_EQ(W<QComboBox>("CB_StType")->count(), 3);
    EXPECT_EQ(W<QComboBox>("CB_StConType")->count(), 5);
    EXPECT_EQ(W<QComboBox>("CB_StConType")->itemText(3), "Lunaro");
    EXPECT_EQ(W<QComboBox>("CB_StStandByConType")->count(), 5);
    EXPECT_EQ(W<QComboBox>("CB_StComSpeed")->itemText(8), "57600");
    EXPECT_EQ(W<QComboBox>("CB_StStandByComSpeed")->count(), 9);
    EXPECT_EQ(W<QComboBox>("CB_VarDataZone")->itemText(4), "M");
    EXPECT_EQ(W<QComboBox>("CB_ModComNum")->count(), 20);
    EXPECT_EQ(W<QComboBox>("CB_ModComNum")->itemText(19), "COM20");
    EXPECT_EQ(W<QComboBox>("CB_VarInstrType")->count(), 20);
    EXPECT_EQ(W<QComboBox>("CB_VarType")->count(), 7);

    struct Limit {
        const char* name;
        int maximum;
    };
    for (const Limit& l : {Limit{"E_VarBit", 7}, Limit{"E_VarNumOfChars", 249}, Limit{"E_VarNumOfItems", 524288},
                           Limit{"E_StAddress", 2147483647}, Limit{"E_StStandByAddress", 2147483647},
                           Limit{"E_StComNum", 2147483647}, Limit{"E_StStandByComNum", 2147483647},
                           Limit{"E_VarAddress", 2147483647}}) {
        EXPECT_EQ(W<QSpinBox>(l.name)->minimum(), 0) << l.name;
        EXPECT_EQ(W<QSpinBox>(l.name)->maximum(), l.maximum) << l.name;
    }
    for (const char* name : {"E_StTimeout", "E_StStandByTimeout", "E_VarSimulationRate"}) {
        EXPECT_EQ(W<TCalcEdit>(name)->minimum(), 0) << name;
        EXPECT_EQ(W<TCalcEdit>(name)->maximum(), 2147483647.0) << name;
        EXPECT_EQ(W<TCalcEdit>(name)->decimals(), 0) << name;
    }
}

TEST_F(ConfigPagesTest, CalcEditShowsTrimmedGroupedValuesAndKeepsTheValue)
{
    auto* edit = W<TCalcEdit>("E_VarHiHiLimit");
    struct Case {
        double value;
        const char* text;
    };
    for (const Case& c : {Case{1234.5, "1,234.5"}, Case{-0.0, "0"}, Case{2.0, "2"}, Case{0.000004, "0"},
                          Case{0.123456789, "0.12346"}, Case{-1e9, "-1,000,000,000"}}) {
        edit->setValue(c.value);
        EXPECT_EQ(edit->text().toStdString(), c.text) << c.value;
    }
    // Shown with five decimals, kept whole.
    edit->setValue(0.123456789);
    EXPECT_DOUBLE_EQ(edit->value(), 0.123456789);
    // No limits at all: neither Qt's 0 to 99.99 nor 0 to 0.
    edit->setValue(-1e300);
    EXPECT_EQ(edit->value(), -1e300);
    edit->setValue(1e300);
    EXPECT_EQ(edit->value(), 1e300);

    // Typed text with group separators is read back.
    edit->selectAll();
    QTest::keyClicks(edit, "12,345.25");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_DOUBLE_EQ(edit->value(), 12345.25);

    auto* timeout = W<TCalcEdit>("E_StTimeout");
    timeout->setValue(2147483647);
    EXPECT_EQ(timeout->text(), "2147483647");
    timeout->setValue(1e12);
    EXPECT_EQ(timeout->value(), 2147483647.0);
}

TEST_F(ConfigPagesTest, StationGreyingFollowsPrimaryAndStandbyType)
{
    // Enabled: address, speed, port, parity, IP; standby: address, speed, timeout, port, parity, IP.
    struct Row {
        int conType, standbyType;
        bool addr, speed, port, parity, ip;
        bool sAddr, sSpeed, sTimeout, sPort, sParity, sIp;
        int standbyItem;
    };
    const Row rows[] = {
        {0, -1, true, true, true, true, false, false, false, false, false, false, false, 0},
        {1, 0, true, false, false, false, false, true, true, true, true, true, false, 1},
        {2, 1, false, false, false, false, true, true, false, true, false, false, false, 2},
        {3, 2, true, false, false, false, false, false, false, true, false, false, true, 3},
        {4, 4, true, false, true, false, true, true, false, true, true, false, true, 4},
        // Out of the standby list: no item, and only the "not none" rules hold.
        {4, 3, true, false, true, false, true, true, false, true, false, false, false, -1},
    };
    const QPalette standard = QApplication::palette(W("E_StAddress"));
    for (const Row& r : rows) {
        TConfigNodeRec rec = TConfigNodeRec::WithDefaults(vos::nkStation);
        rec.ConnectionType = r.conType;
        rec.StandbyConnectionType = r.standbyType;
        pages->ShowStationDetail(rec, 1);
        const std::string at = std::to_string(r.conType) + "/" + std::to_string(r.standbyType);
        EXPECT_EQ(pages->currentIndex(), TConfigDetailPages::pgStation);
        struct Expect {
            const char* name;
            bool enabled;
        };
        const Expect expects[] = {{"E_StName", true},
                                  {"Memo_StComment", true},
                                  {"CB_StType", true},
                                  {"E_StTimeout", true},
                                  {"CB_StConType", true},
                                  {"CB_StStandByConType", true},
                                  {"E_StAddress", r.addr},
                                  {"CB_StComSpeed", r.speed},
                                  {"E_StComNum", r.port},
                                  {"CB_StParity", r.parity},
                                  {"E_StIpAddress", r.ip},
                                  {"E_StStandByAddress", r.sAddr},
                                  {"CB_StStandByComSpeed", r.sSpeed},
                                  {"E_StStandByTimeout", r.sTimeout},
                                  {"E_StStandByComNum", r.sPort},
                                  {"CB_StStandByParity", r.sParity},
                                  {"E_StStandByIpAddress", r.sIp}};
        for (const Expect& e : expects) {
            EXPECT_EQ(Enabled(e.name), e.enabled) << at << " " << e.name;
            // Greyed fields show the button face, the others the window colour.
            EXPECT_EQ(vos::ControlColor(W(e.name)), standard.color(e.enabled ? QPalette::Base : QPalette::Button))
                << at << " " << e.name;
        }
        EXPECT_EQ(Item("CB_StConType"), r.conType) << at;
        EXPECT_EQ(Item("CB_StStandByConType"), r.standbyItem) << at;
    }
}

TEST_F(ConfigPagesTest, StationFillsValuesAndTwoStationsGreyTheName)
{
    TConfigNodeRec rec = TConfigNodeRec::WithDefaults(vos::nkStation);
    rec.Name = "Press";
    rec.Comment = "line 1\r\nline 2";
    rec.StationType = 2;
    rec.ConnectionType = 0;
    rec.BusAddress = 17;
    rec.ComPort = 3;
    rec.BaudRate = 19200;
    rec.Parity = 2;
    rec.Timeout = 1500;
    rec.StandbyConnectionType = 0;
    rec.StandbyBaudRate = 1234;  // not a rate of the list: item 0
    rec.StandbyParity = 1;
    rec.StandbyTimeout = 700;
    rec.IpAddress = "10.0.0.1";
    pages->ShowStationDetail(rec, 2);
    EXPECT_FALSE(Enabled("E_StName"));
    EXPECT_EQ(vos::ControlColor(W("E_StName")), QApplication::palette(W("E_StName")).color(QPalette::Button));
    EXPECT_EQ(W<QLineEdit>("E_StName")->text(), "Press");
    EXPECT_EQ(W<QPlainTextEdit>("Memo_StComment")->toPlainText(), "line 1\nline 2");
    EXPECT_EQ(Item("CB_StType"), 2);
    EXPECT_EQ(W<QSpinBox>("E_StAddress")->value(), 17);
    EXPECT_EQ(W<QSpinBox>("E_StComNum")->value(), 3);
    EXPECT_EQ(Item("CB_StComSpeed"), 6);
    EXPECT_EQ(Item("CB_StParity"), 2);
    EXPECT_EQ(W<TCalcEdit>("E_StTimeout")->text(), "1500");
    EXPECT_EQ(Item("CB_StStandByComSpeed"), 0);
    EXPECT_EQ(Item("CB_StStandByParity"), 1);
    EXPECT_EQ(Calc("E_StStandByTimeout"), 700);
    EXPECT_EQ(W<QLineEdit>("E_StIpAddress")->text(), "10.0.0.1");
    // The rest stays as for the first station alone.
    EXPECT_TRUE(Enabled("CB_StComSpeed"));
    EXPECT_TRUE(Enabled("E_StStandByComNum"));

    pages->ShowStationDetail(rec, 1);
    EXPECT_TRUE(Enabled("E_StName"));
    EXPECT_EQ(vos::ControlColor(W("E_StName")), QApplication::palette(W("E_StName")).color(QPalette::Base));
}

TEST_F(ConfigPagesTest, FillsHoldFillingControls)
{
    // A change reported during a fill is the program's: the frame's handlers see the flag.
    std::vector<std::pair<std::string, bool>> seen;
    const auto record = [&seen](const char* name) {
        return [&seen, name] { seen.emplace_back(name, vos::FillingControls); };
    };
    for (const char* name : {"E_StName", "E_VarName", "E_FolderName", "E_ModName"})
        QObject::connect(W<QLineEdit>(name), &QLineEdit::textChanged, record(name));
    QObject::connect(W<vos::TCheckGroupBox>("GB_VarSimulated"), &vos::TCheckGroupBox::OnCheck,
                     record("GB_VarSimulated"));
    TConfigNodeRec station = TConfigNodeRec::WithDefaults(vos::nkStation);
    station.Name = "S";
    pages->ShowStationDetail(station, 1);
    TConfigNodeRec var = Variable(18);
    var.Simulated = !W<vos::TCheckGroupBox>("GB_VarSimulated")->Checked();
    pages->ShowVariableDetail(var, nullptr, 1);
    TConfigNodeRec folder = TConfigNodeRec::WithDefaults(vos::nkFolder);
    folder.Name = "F";
    pages->ShowFolderPage(folder, 1);
    TConfigNodeRec modem = TConfigNodeRec::WithDefaults(vos::nkModem);
    modem.Name = "M";
    pages->ShowModemPage(modem, 1);
    ASSERT_EQ(seen.size(), 5u);
    for (const auto& [name, filling] : seen)
        EXPECT_TRUE(filling) << name;
    EXPECT_FALSE(vos::FillingControls);
}

TEST_F(ConfigPagesTest, FolderNameEditableOnlyForOneEditableFolder)
{
    struct Row {
        std::uint8_t editable;
        int selected;
        bool enabled;
    };
    for (const Row& r : {Row{1, 1, true}, Row{1, 0, true}, Row{1, 2, false}, Row{0, 1, false}, Row{0, 3, false}}) {
        TConfigNodeRec rec = TConfigNodeRec::WithDefaults(vos::nkFolder);
        rec.Name = "Branch7";
        rec.Editable = r.editable;
        pages->ShowFolderPage(rec, r.selected);
        EXPECT_EQ(pages->currentIndex(), TConfigDetailPages::pgFolder);
        EXPECT_EQ(W<QLineEdit>("E_FolderName")->text(), "Branch7");
        EXPECT_EQ(Enabled("E_FolderName"), r.enabled) << int(r.editable) << " " << r.selected;
    }
}

TEST_F(ConfigPagesTest, ModemPage)
{
    struct Row {
        int comPort;
        int selected;
        int item;
    };
    for (const Row& r : {Row{1, 1, 0}, Row{20, 1, 19}, Row{0, 1, -1}, Row{21, 2, -1}}) {
        TConfigNodeRec rec = TConfigNodeRec::WithDefaults(vos::nkModem);
        rec.Name = "Modem1";
        rec.Comment = "dial";
        rec.ComPort = r.comPort;
        pages->ShowModemPage(rec, r.selected);
        EXPECT_EQ(pages->currentIndex(), TConfigDetailPages::pgModem);
        EXPECT_EQ(W<QLineEdit>("E_ModName")->text(), "Modem1");
        EXPECT_EQ(W<QPlainTextEdit>("Memo_ModComment")->toPlainText(), "dial");
        EXPECT_EQ(Item("CB_ModComNum"), r.item) << r.comPort;
        const bool enabled = r.selected <= 1;
        EXPECT_EQ(Enabled("E_ModName"), enabled);
        EXPECT_EQ(vos::ControlColor(W("E_ModName")),
                  QApplication::palette(W("E_ModName")).color(enabled ? QPalette::Base : QPalette::Button));
    }
}

TEST_F(ConfigPagesTest, ServerAndEmptyPages)
{
    pages->ShowEmptyPage();
    EXPECT_EQ(pages->currentWidget()->objectName(), "TS_Empty");
    pages->ShowServerPage();
    EXPECT_EQ(pages->currentWidget()->objectName(), "TS_Server");
}

TEST_F(ConfigPagesTest, VariableEnablingByType)
{
    // Type, then the enabled state of: instrument range, limits, scaled box, bit, contact labels,
    // array length, chars, simulation min/max (simulated), rate/gain (simulated, ramp).
    struct Row {
        std::int32_t type;
        bool numeric, bit, contact, items, chars;
        int typeItem;
    };
    const Row rows[] = {
        {17, true, false, false, false, false, 1},     {2, true, false, false, false, false, 4},
        {5, true, false, false, false, false, 7},      {11, false, true, true, false, false, 0},
        {8, false, false, false, false, true, 9},      {7, false, false, false, false, false, 8},
        {0x200B, false, false, true, true, false, 10}, {0x2008, false, false, false, true, true, 19},
        {0x2011, false, false, false, true, false, 11}, {99, false, false, false, false, false, 19},
    };
    for (const Row& r : rows) {
        TConfigNodeRec rec = Variable(r.type);
        rec.Scaled = 1;
        rec.Simulated = 1;
        rec.SimulationType = 2;
        pages->ShowVariableDetail(rec, nullptr, 1);
        const std::string at = "type " + std::to_string(r.type);
        EXPECT_EQ(pages->currentIndex(), TConfigDetailPages::pgVariable) << at;
        EXPECT_EQ(Item("CB_VarInstrType"), r.typeItem) << at;
        for (const char* name : {"E_VarLowInstrumentRange", "E_VarHiInstrumentRange", "E_VarHiHiLimit", "E_VarHiLimit",
                                 "E_VarLoLimit", "E_VarLoLoLimit", "GB_VarScaled", "E_VarLowScaledRange",
                                 "E_VarHiScaledRange", "CB_VarType", "E_VarSimulationMin", "E_VarSimulationMax",
                                 "E_VarSimulationRate", "E_VarSimulationGain"})
            EXPECT_EQ(Enabled(name), r.numeric) << at << " " << name;
        EXPECT_EQ(Enabled("E_VarBit"), r.bit) << at;
        EXPECT_EQ(Enabled("E_VarContactCloseLabel"), r.contact) << at;
        EXPECT_EQ(Enabled("E_VarContactOpenLabel"), r.contact) << at;
        EXPECT_EQ(Enabled("E_VarNumOfItems"), r.items) << at;
        EXPECT_EQ(Enabled("E_VarNumOfChars"), r.chars) << at;
        // A non-numeric variable cannot be scaled nor simulated by anything but a user value.
        EXPECT_EQ(rec.Scaled, r.numeric ? 1 : 0) << at;
        EXPECT_EQ(W<vos::TCheckGroupBox>("GB_VarScaled")->Checked(), r.numeric) << at;
        EXPECT_EQ(rec.SimulationType, r.numeric ? 2 : 0) << at;
        EXPECT_EQ(W<QComboBox>("CB_VarSimulationType")->count(), r.numeric ? 3 : 1) << at;
        EXPECT_EQ(Item("CB_VarSimulationType"), r.numeric ? 2 : 0) << at;
        for (const char* name : {"E_VarName", "CB_VarDataZone", "E_VarAddress", "CB_VarInstrType",
                                 "ChB_VarReadable", "ChB_VarWriteable"})
            EXPECT_TRUE(Enabled(name)) << at << " " << name;
    }
}

TEST_F(ConfigPagesTest, VariableSimulationAndScalingStates)
{
    struct Row {
        std::uint8_t scaled, simulated;
        std::int32_t simType;
        bool scaledEdits, bounds, running;
    };
    for (const Row& r : {Row{0, 0, 0, false, false, false}, Row{1, 0, 1, true, false, false},
                         Row{0, 1, 0, false, true, false}, Row{1, 1, 1, true, true, true},
                         Row{0, 1, 2, false, true, true}}) {
        TConfigNodeRec rec = Variable(3);
        rec.Scaled = r.scaled;
        rec.Simulated = r.simulated;
        rec.SimulationType = r.simType;
        pages->ShowVariableDetail(rec, nullptr, 1);
        const std::string at = std::to_string(r.scaled) + std::to_string(r.simulated) + std::to_string(r.simType);
        EXPECT_EQ(Enabled("E_VarLowScaledRange"), r.scaledEdits) << at;
        EXPECT_EQ(Enabled("E_VarHiScaledRange"), r.scaledEdits) << at;
        EXPECT_EQ(Enabled("CB_VarType"), r.scaledEdits) << at;
        EXPECT_EQ(Enabled("E_VarSimulationMin"), r.bounds) << at;
        EXPECT_EQ(Enabled("E_VarSimulationMax"), r.bounds) << at;
        EXPECT_EQ(Enabled("E_VarSimulationRate"), r.running) << at;
        EXPECT_EQ(Enabled("E_VarSimulationGain"), r.running) << at;
        EXPECT_EQ(W<vos::TCheckGroupBox>("GB_VarSimulated")->Checked(), r.simulated != 0) << at;
        EXPECT_EQ(Item("CB_VarSimulationType"), r.simType) << at;
    }
}

TEST_F(ConfigPagesTest, VariableValuesAreShown)
{
    TConfigNodeRec rec = Variable(11);
    rec.Name = "Valve";
    rec.Comment = "open";
    rec.Zone = 4;
    rec.Address = 1234;
    rec.BitNumber = 5;
    rec.Readable = 1;
    rec.Writable = 0;
    rec.Units = "bar";
    rec.CloseLabel = "ON";
    rec.OpenLabel = "OFF";
    rec.InitialValue = "1";
    rec.HiHiLimit = 90.5;
    rec.LoLoLimit = -3;
    rec.ScaledVarType = 4;
    rec.SimulationPeriod = 250;
    pages->ShowVariableDetail(rec, nullptr, 2);
    EXPECT_EQ(W<QLineEdit>("E_VarName")->text(), "Valve");
    EXPECT_FALSE(Enabled("E_VarName"));  // two selected
    EXPECT_EQ(W<QPlainTextEdit>("Memo_VarComment")->toPlainText(), "open");
    EXPECT_EQ(Item("CB_VarDataZone"), 4);
    EXPECT_EQ(W<QSpinBox>("E_VarAddress")->value(), 1234);
    EXPECT_EQ(W<QSpinBox>("E_VarBit")->value(), 5);
    EXPECT_TRUE(W<QCheckBox>("ChB_VarReadable")->isChecked());
    EXPECT_FALSE(W<QCheckBox>("ChB_VarWriteable")->isChecked());
    EXPECT_EQ(W<QLineEdit>("E_VarUnits")->text(), "bar");
    EXPECT_EQ(W<QLineEdit>("E_VarContactCloseLabel")->text(), "ON");
    EXPECT_EQ(W<QLineEdit>("E_VarContactOpenLabel")->text(), "OFF");
    EXPECT_EQ(W<QLineEdit>("E_VarInitialValue")->text(), "1");
    EXPECT_EQ(Calc("E_VarHiHiLimit"), 90.5);
    EXPECT_EQ(Calc("E_VarLoLoLimit"), -3);
    EXPECT_EQ(Item("CB_VarType"), 5);
    EXPECT_EQ(Calc("E_VarSimulationRate"), 250);

    // Out of the lists: no item.
    rec.Zone = 7;
    rec.ScaledVarType = 11;
    pages->ShowVariableDetail(rec, nullptr, 1);
    EXPECT_EQ(Item("CB_VarDataZone"), -1);
    EXPECT_EQ(Item("CB_VarType"), 6);  // ScaledTypeIndex's "absent"
}

TEST_F(ConfigPagesTest, RangesAreClampedIntoTheTypeAndKeptInTheRecord)
{
    TConfigNodeRec rec = Variable(17);
    rec.InstrumentHigh = 300;
    rec.InstrumentLow = -5;
    rec.SimulationMax = 1000;
    rec.SimulationMin = 10;
    rec.ScaledVarType = 2;
    rec.ScaledHigh = 40000;
    rec.ScaledLow = -40000;
    pages->ShowVariableDetail(rec, nullptr, 1);
    EXPECT_EQ(Calc("E_VarHiInstrumentRange"), 255);
    EXPECT_EQ(Calc("E_VarLowInstrumentRange"), 0);
    EXPECT_EQ(rec.InstrumentHigh, 255);
    EXPECT_EQ(rec.InstrumentLow, 0);
    EXPECT_EQ(W<TCalcEdit>("E_VarHiInstrumentRange")->maximum(), 255);
    EXPECT_EQ(rec.ScaledHigh, 32767);
    EXPECT_EQ(rec.ScaledLow, -32768);
    EXPECT_EQ(W<TCalcEdit>("E_VarLowScaledRange")->minimum(), -32768);
    EXPECT_EQ(rec.SimulationMax, 255);
    EXPECT_EQ(rec.SimulationMin, 10);
    EXPECT_EQ(Calc("E_VarSimulationMax"), 255);
    // The gain goes up to the simulation span.
    EXPECT_EQ(W<TCalcEdit>("E_VarSimulationGain")->maximum(), 245);

    // A type without a range leaves the values alone and the edits without limits.
    TConfigNodeRec real = Variable(4);
    real.InstrumentHigh = 1e12;
    real.InstrumentLow = -1e12;
    real.SimulationMin = 5;
    real.SimulationMax = 5;  // no positive span: no upper limit for the gain
    real.SimulationGain = 1e9;
    pages->ShowVariableDetail(real, nullptr, 1);
    EXPECT_EQ(real.InstrumentHigh, 1e12);
    EXPECT_EQ(Calc("E_VarHiInstrumentRange"), 1e12);
    EXPECT_EQ(Calc("E_VarLowInstrumentRange"), -1e12);
    EXPECT_EQ(W<TCalcEdit>("E_VarHiInstrumentRange")->maximum(), DBL_MAX);
    EXPECT_EQ(Calc("E_VarSimulationGain"), 1e9);
}

TEST_F(ConfigPagesTest, ClampToTypeRangeTable)
{
    struct Row {
        std::int32_t type;
        double high, low;
        double wantHigh, wantLow, min, max;
    };
    const Row rows[] = {
        {2, 40000, -40000, 32767, -32768, -32768, 32767},
        {3, 3e9, -3e9, 2147483647, -2147483647, -2147483647, 2147483647},
        {11, 2, -1, 1, 0, 0, 1},
        {17, 300, 256, 255, 255, 0, 255},
        {18, -1, 70000, 0, 65535, 0, 65535},
        {19, 5e9, 1, 4294967295.0, 1, 0, 4294967295.0},
        {4, 1e30, -1e30, 1e30, -1e30, 0, 0},
        {0x2011, 300, -1, 300, -1, 0, 0},
    };
    for (const Row& r : rows) {
        double high = r.high, low = r.low;
        const auto range = TConfigDetailPages::ClampToTypeRange(r.type, high, low);
        EXPECT_EQ(high, r.wantHigh) << r.type;
        EXPECT_EQ(low, r.wantLow) << r.type;
        EXPECT_EQ(range.first, r.min) << r.type;
        EXPECT_EQ(range.second, r.max) << r.type;
    }
}

TEST_F(ConfigPagesTest, SenderKeepsWhatTheUserTyped)
{
    TConfigNodeRec rec = Variable(18);
    rec.Address = 10;
    rec.InstrumentHigh = 100;
    rec.HiLimit = 50;
    rec.SimulationPeriod = 1000;
    rec.SimulationMin = 0;
    rec.SimulationMax = 100;
    rec.SimulationGain = 7;
    pages->ShowVariableDetail(rec, nullptr, 1);
    struct Row {
        const char* sender;
        double typed;
    };
    for (const Row& r : {Row{"E_VarAddress", 42}, Row{"E_VarHiInstrumentRange", 77}, Row{"E_VarLowInstrumentRange", 3},
                         Row{"E_VarHiLimit", 44}, Row{"E_VarSimulationRate", 99}, Row{"E_VarSimulationGain", 5},
                         Row{"E_VarSimulationMax", 88}}) {
        QWidget* sender = W(r.sender);
        if (auto* spin = qobject_cast<QSpinBox*>(sender))
            spin->setValue(static_cast<int>(r.typed));
        else
            static_cast<TCalcEdit*>(sender)->setValue(r.typed);
        pages->ShowVariableDetail(rec, sender, 1);
        if (auto* spin = qobject_cast<QSpinBox*>(sender))
            EXPECT_EQ(spin->value(), r.typed) << r.sender;
        else
            EXPECT_EQ(static_cast<TCalcEdit*>(sender)->value(), r.typed) << r.sender;
        // Without a sender the record wins again.
        pages->ShowVariableDetail(rec, nullptr, 1);
        EXPECT_EQ(W<QSpinBox>("E_VarAddress")->value(), 10);
        EXPECT_EQ(Calc("E_VarHiInstrumentRange"), 100);
        EXPECT_EQ(Calc("E_VarHiLimit"), 50);
        EXPECT_EQ(Calc("E_VarSimulationGain"), 7);
    }
}

TEST_F(ConfigPagesTest, ServiceItemsAreLocked)
{
    // Code 13 (the data buffer) may change its type; the others nothing of their identity.
    struct Row {
        std::int32_t code;
        bool locked, typeLocked;
    };
    for (const Row& r : {Row{0, false, false}, Row{1, true, true}, Row{13, true, false}, Row{52, true, true},
                         Row{12, true, true}, Row{15, false, false}, Row{60, false, false}}) {
        TConfigNodeRec rec = Variable(11);
        rec.ServiceCode = r.code;
        pages->ShowVariableDetail(rec, nullptr, 1);
        const std::string at = "code " + std::to_string(r.code);
        for (const char* name : {"E_VarName", "CB_VarDataZone", "E_VarAddress", "E_VarBit", "ChB_VarReadable",
                                 "ChB_VarWriteable"})
            EXPECT_EQ(Enabled(name), !r.locked) << at << " " << name;
        EXPECT_EQ(Enabled("CB_VarInstrType"), !r.typeLocked) << at;
        EXPECT_EQ(W<QPlainTextEdit>("Memo_VarComment")->isReadOnly(), r.locked) << at;
    }
    // A plain variable shown next is unlocked again.
    TConfigNodeRec plain = Variable(11);
    pages->ShowVariableDetail(plain, nullptr, 1);
    EXPECT_TRUE(Enabled("E_VarName"));
    EXPECT_FALSE(W<QPlainTextEdit>("Memo_VarComment")->isReadOnly());
}

TEST_F(ConfigPagesTest, InitialValueEnabling)
{
    struct Row {
        std::int32_t code;
        std::uint8_t simulated;
        bool enabled;
    };
    for (const Row& r : {Row{0, 0, false}, Row{0, 1, true}, Row{20, 0, true}, Row{30, 0, true}, Row{52, 0, true},
                         Row{1, 0, false}, Row{21, 0, false}, Row{1, 1, true}}) {
        TConfigNodeRec rec = Variable(18);
        rec.ServiceCode = r.code;
        rec.Simulated = r.simulated;
        pages->ShowVariableDetail(rec, nullptr, 1);
        EXPECT_EQ(Enabled("E_VarInitialValue"), r.enabled) << r.code << "/" << int(r.simulated);
    }
}

TEST_F(ConfigPagesTest, CaptionsFollowTheLanguageAndKeepSelections)
{
    TConfigNodeRec station = TConfigNodeRec::WithDefaults(vos::nkStation);
    station.Parity = 2;
    station.StandbyConnectionType = 0;
    station.StandbyParity = 1;
    station.ConnectionType = 3;
    pages->ShowStationDetail(station, 1);
    TConfigNodeRec var = Variable(18);
    var.Simulated = 1;
    var.SimulationType = 1;
    pages->ShowVariableDetail(var, nullptr, 1);

    auto* tabs = W<QTabWidget>("PageControl_Variable");
    auto* stTabs = W<QTabWidget>("PageControl_Station");
    for (int language : {0, 1, 0}) {
        vx::Language = language;
        pages->ApplyCaptions();
        const auto text = [](int id) { return QString::fromStdString(vx::GetLangText(id)); };
        EXPECT_EQ(W<QLabel>("L_StName")->text(), text(12) + ":") << language;
        EXPECT_EQ(W<QLabel>("L_StComNum")->text(), text(231));
        EXPECT_EQ(W<QLabel>("L_StConType")->text(), text(234));
        EXPECT_EQ(W<QLabel>("L_StStandByParity")->text(), text(27) + ":");
        EXPECT_EQ(W<QLabel>("L_StStandByIPAddress")->text(), text(26) + ":");
        EXPECT_EQ(W<QLabel>("L_StStandByTimeout")->text(), text(233));
        EXPECT_EQ(W<QLabel>("L_Modem")->text(), text(5));
        EXPECT_EQ(W<QLabel>("L_Folder")->text(), text(116));
        EXPECT_EQ(W<QLabel>("L_VarInitialValue")->text(), text(260) + ":");
        EXPECT_EQ(W<QLabel>("L_VarHiHiLimit")->text(), text(261));
        EXPECT_EQ(W<QCheckBox>("ChB_VarWriteable")->text(), text(253));
        EXPECT_EQ(W<vos::TCheckGroupBox>("GB_VarScaled")->CheckBoxCaption(), text(254));
        EXPECT_EQ(W<vos::TCheckGroupBox>("GB_VarSimulated")->CheckBoxCaption(), text(266));
        EXPECT_EQ(W<QGroupBox>("GB_ContactLabel")->title(), text(256));
        EXPECT_EQ(tabs->tabText(tabs->indexOf(W("TS_VarContactLabel"))), text(13));
        EXPECT_EQ(tabs->tabText(tabs->indexOf(W("TS_VarSimulation"))), text(265));
        EXPECT_EQ(stTabs->tabText(stTabs->indexOf(W("TS_StStandByConnection"))), text(281));

        auto* parity = W<QComboBox>("CB_StParity");
        EXPECT_EQ(parity->itemText(0), text(70));
        EXPECT_EQ(parity->itemText(2), text(72));
        EXPECT_EQ(parity->currentIndex(), 2) << language;
        auto* standbyParity = W<QComboBox>("CB_StStandByParity");
        EXPECT_EQ(standbyParity->itemText(1), text(71));
        EXPECT_EQ(standbyParity->currentIndex(), 1);
        auto* con = W<QComboBox>("CB_StConType");
        EXPECT_EQ(con->itemText(0), text(235));
        EXPECT_EQ(con->itemText(1), text(237));
        EXPECT_EQ(con->itemText(2), text(236));
        EXPECT_EQ(con->itemText(3), "Lunaro");
        EXPECT_EQ(con->itemText(4), text(239));
        auto* standbyCon = W<QComboBox>("CB_StStandByConType");
        EXPECT_EQ(standbyCon->itemText(0), text(238));
        EXPECT_EQ(standbyCon->itemText(3), text(236));
        EXPECT_EQ(standbyCon->itemText(4), text(239));
        auto* simulation = W<QComboBox>("CB_VarSimulationType");
        ASSERT_EQ(simulation->count(), 3);
        EXPECT_EQ(simulation->itemText(2), text(63));
        EXPECT_EQ(simulation->currentIndex(), 1) << language;
    }
    EXPECT_EQ(W<QLabel>("L_StName")->text(), "Jméno:");
    EXPECT_EQ(W<QComboBox>("CB_StParity")->currentText(), "sudá");
}

TEST_F(ConfigPagesTest, TypeComboTextsFollowTheNamingStyle)
{
    TConfigNodeRec var = Variable(19);
    var.ScaledVarType = 2;
    pages->ShowVariableDetail(var, nullptr, 1);
    auto* types = W<QComboBox>("CB_VarInstrType");
    auto* scaled = W<QComboBox>("CB_VarType");
    EXPECT_EQ(types->itemText(10), "Bool Array");  // the form's text until refreshed
    for (int signing : {1, 0}) {
        vx::VarTypesSigning = signing;
        pages->RefreshTypeComboTexts();
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(types->itemText(i).toStdString(),
                      vx::VarTypeName(static_cast<std::uint16_t>(vos::kVarTypeList[i])));
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(scaled->itemText(i).toStdString(),
                      vx::VarTypeName(static_cast<std::uint16_t>(vos::kScaledTypeList[i])));
        EXPECT_EQ(types->currentIndex(), 3);
        EXPECT_EQ(scaled->currentIndex(), 3);
    }
    vx::VarTypesSigning = 1;
    pages->RefreshTypeComboTexts();
    EXPECT_EQ(types->itemText(3), "DWord");
}

}  // namespace

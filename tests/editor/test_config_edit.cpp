// Editing one node or many through the detail pages, offscreen: what a change copies into
// which selected node, the marks, the refills, and the nodes' validation state.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_file.h"
#include "editor/config_model.h"
#include "editor/frm_config.h"
#include "editor/frm_config_pages.h"
#include "editor/widgets/check_group_box.h"
#include "editor/widgets/control_props.h"
#include "frame_fixture.h"

namespace {

using vos::TConfigDetailPages;
using vos::TConfigNode;
using vos::TConfigNodeRec;

class ConfigEditTest : public editor_test::FrameFixture {
protected:
    ConfigEditTest() { answer = vx::mrOk; }

    template <class T = QWidget>
    T* Control(const char* name) const
    {
        auto* control = qobject_cast<T*>(frame->DetailControl(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }

    // Selects exactly nodes in the tree, as a user's clicks would, which shows the page.
    void Select(const std::vector<TConfigNode*>& nodes)
    {
        QItemSelection selection;
        for (auto* node : nodes) {
            for (auto* up = node->Parent(); up && !up->IsRoot(); up = up->Parent())
                frame->VST_Tree()->expand(frame->TreeModel()->IndexOf(up));
            const QModelIndex index = frame->TreeModel()->IndexOf(node);
            selection.select(index, index);
        }
        auto* model = frame->VST_Tree()->selectionModel();
        model->setCurrentIndex(frame->TreeModel()->IndexOf(nodes.front()), QItemSelectionModel::NoUpdate);
        model->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    // Nodes that passed validation, as after a save: each edit must take them out of it.
    void Validate(const std::vector<TConfigNode*>& nodes)
    {
        for (auto* node : nodes) {
            node->Rec().Valid = 1;
            node->Rec().Saved = 1;
            editor.RemoveFromChangeList(node);
        }
    }

    int ChangeListCount(const TConfigNode* node) const
    {
        return static_cast<int>(std::count(editor.ChangeList().begin(), editor.ChangeList().end(), node));
    }

    TConfigNode* Station(const std::string& name) { return Create(vos::nkStation, server, name); }
};

// A change as the user makes it, on any kind of registered control.
void Poke(QWidget* control)
{
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        edit->setText(edit->text() + "x");
    else if (auto* memo = qobject_cast<QPlainTextEdit*>(control))
        memo->setPlainText(memo->toPlainText() + "x");
    else if (auto* combo = qobject_cast<QComboBox*>(control))
        combo->setCurrentIndex(combo->currentIndex() == 1 ? 0 : 1);
    else if (auto* spin = qobject_cast<QSpinBox*>(control))
        spin->setValue(spin->value() == 1 ? 0 : 1);
    else if (auto* calc = qobject_cast<QDoubleSpinBox*>(control))
        calc->setValue(calc->value() == 1 ? 0 : 1);
    else if (auto* box = qobject_cast<QCheckBox*>(control))
        box->click();
    else if (auto* group = qobject_cast<vos::TCheckGroupBox*>(control))
        group->SetChecked(!group->Checked());
    else
        ADD_FAILURE() << "no way to change " << control->objectName().toStdString();
}

// --- Wiring and marks ---

TEST_F(ConfigEditTest, EveryRegisteredControlReportsItsChangeAndTurnsYellow)
{
    // A numeric variable's page fills the simulation types; the server's edits copy nothing.
    auto* var = Create(vos::nkVariable, Station("St"), "V");
    var->Rec().VarType = 2;
    Select({var});
    Select({server});
    const auto controls = frame->Pages()->DetailControls();
    ASSERT_EQ(controls.size(), 51u);
    for (QWidget* control : controls) {
        control->setEnabled(true);
        Poke(control);
        EXPECT_TRUE(vos::IsControlChanged(control)) << control->objectName().toStdString();
        EXPECT_EQ(vos::ControlColor(control), QColor::fromRgb(vos::kMarkColor)) << control->objectName().toStdString();
    }
}

TEST_F(ConfigEditTest, ChangesWhileFillingOrRestoringCopyNothing)
{
    auto* station = Station("Alpha");
    Validate({station});
    Select({station});
    const TConfigNodeRec before = station->Rec();

    struct Case {
        const char* what;
        std::function<void()> change;
    } cases[] = {
        {"a change under the filling guard",
         [&] {
             vos::TFillingControlsGuard filling;
             Control<QLineEdit>("E_StName")->setText("Beta");
             Control<QDoubleSpinBox>("E_StTimeout")->setValue(777);
         }},
        {"a page fill", [&] { frame->ShowSelection(); }},
        {"a language change", [&] { frame->ApplyCaptions(); }},
        {"restoring the colours", [&] { vos::ControlPropsList->RestoreColors(); }},
    };
    for (const auto& c : cases) {
        c.change();
        EXPECT_EQ(station->Rec().Name, before.Name) << c.what;
        EXPECT_EQ(station->Rec().Timeout, before.Timeout) << c.what;
        EXPECT_EQ(station->Rec().Valid, 1) << c.what;
        EXPECT_TRUE(editor.ChangeList().empty()) << c.what;
        EXPECT_FALSE(vos::IsControlChanged(Control("E_StName"))) << c.what;
    }
}

// --- Validation state ---

TEST_F(ConfigEditTest, FirstEditOfEachValidatedNodeListsItOnce)
{
    auto* a = Station("A");
    auto* b = Station("B");
    Validate({a, b});
    editor.SetModified(false);
    editor.SetRegisterEnabled(false);
    Select({a, b});

    Control<QDoubleSpinBox>("E_StTimeout")->setValue(1234);
    for (auto* node : {a, b}) {
        EXPECT_EQ(node->Rec().Valid, 0);
        EXPECT_EQ(node->Rec().Saved, 0);
        EXPECT_EQ(ChangeListCount(node), 1);
    }
    EXPECT_TRUE(editor.Modified());
    EXPECT_TRUE(editor.RegisterPending());

    // Still unvalidated: later edits neither list the nodes again nor change their state.
    Control<QDoubleSpinBox>("E_StTimeout")->setValue(4321);
    Control<QPlainTextEdit>("Memo_StComment")->setPlainText("note");
    EXPECT_EQ(ChangeListCount(a), 1);
    EXPECT_EQ(ChangeListCount(b), 1);
    EXPECT_EQ(editor.ChangeList().size(), 2u);
    EXPECT_EQ(b->Rec().Timeout, 4321);
    EXPECT_EQ(b->Rec().Comment, "note");
}

// --- Copying by the marks ---

TEST_F(ConfigEditTest, TwoStationsTakeTheEditedTimeoutAndKeepTheirOwnOtherFields)
{
    auto* a = Station("A");
    auto* b = Station("B");
    a->Rec().BusAddress = 3;
    b->Rec().BusAddress = 9;
    a->Rec().ComPort = 1;
    b->Rec().ComPort = 4;
    Select({a, b});
    ASSERT_EQ(Control<QSpinBox>("E_StAddress")->value(), 3);  // the page shows the first

    Control<QDoubleSpinBox>("E_StTimeout")->setValue(2500);
    EXPECT_EQ(a->Rec().Timeout, 2500);
    EXPECT_EQ(b->Rec().Timeout, 2500);
    EXPECT_EQ(a->Rec().Name, "A");
    EXPECT_EQ(b->Rec().Name, "B");
    EXPECT_EQ(b->Rec().BusAddress, 9);
    EXPECT_EQ(b->Rec().ComPort, 4);

    // Marks accumulate: the next edit copies the timeout again with the new field.
    b->Rec().Timeout = 1;
    auto* parity = Control<QComboBox>("CB_StParity");
    const int otherParity = (parity->currentIndex() + 1) % 3;
    parity->setCurrentIndex(otherParity);
    EXPECT_EQ(b->Rec().Timeout, 2500);
    EXPECT_EQ(b->Rec().Parity, otherParity);
    EXPECT_EQ(b->Rec().BusAddress, 9);
}

TEST_F(ConfigEditTest, ShowingAnotherNodeEndsTheMarks)
{
    auto* a = Station("A");
    auto* b = Station("B");
    Select({a, b});
    Control<QDoubleSpinBox>("E_StTimeout")->setValue(2500);
    ASSERT_TRUE(vos::IsControlChanged(Control("E_StTimeout")));

    Select({b});
    EXPECT_FALSE(vos::IsControlChanged(Control("E_StTimeout")));
    EXPECT_NE(vos::ControlColor(Control("E_StTimeout")), QColor::fromRgb(vos::kMarkColor));
    Select({a, b});
    b->Rec().Timeout = 100;
    Control<QSpinBox>("E_StComNum")->setValue(7);
    EXPECT_EQ(b->Rec().ComPort, 7);
    EXPECT_EQ(b->Rec().Timeout, 100);
}

TEST_F(ConfigEditTest, FiveVariablesTakeAnArrayTypeAndTheLengthOnlyWhenEdited)
{
    auto* station = Station("St");
    std::vector<TConfigNode*> vars;
    for (int i = 0; i < 5; ++i) {
        vars.push_back(Create(vos::nkVariable, station, "V" + std::to_string(i)));
        vars.back()->Rec().ArrayLength = 10 + i;
    }
    Select(vars);
    auto* type = Control<QComboBox>("CB_VarInstrType");
    auto* length = Control<QSpinBox>("E_VarNumOfItems");
    ASSERT_FALSE(length->isEnabled());

    const int wordArray = static_cast<int>(std::find(vos::kVarTypeList.begin(), vos::kVarTypeList.end(), 0x2012) -
                                           vos::kVarTypeList.begin());
    type->setCurrentIndex(wordArray);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(vars[i]->Rec().VarType, 0x2012) << i;
        EXPECT_EQ(vars[i]->Rec().ArrayLength, 10 + i) << i;
    }
    EXPECT_TRUE(length->isEnabled());

    length->setValue(64);
    for (auto* var : vars)
        EXPECT_EQ(var->Rec().ArrayLength, 64);
    // The type combo is a sender-only row: other edits do not copy it again.
    vars[4]->Rec().VarType = 2;
    Control<QLineEdit>("E_VarUnits")->setText("bar");
    EXPECT_EQ(vars[4]->Rec().VarType, 2);
    EXPECT_EQ(vars[4]->Rec().Units, "bar");
}

TEST_F(ConfigEditTest, ConnectionTypeRefillsTheStationPageAtOnce)
{
    auto* station = Station("St");
    station->Rec().ConnectionType = 0;
    Select({station});
    Control<QComboBox>("CB_StConType")->setCurrentIndex(2);  // UDP
    EXPECT_EQ(station->Rec().ConnectionType, 2);
    for (const char* greyed : {"E_StComNum", "CB_StComSpeed", "CB_StParity", "E_StAddress"})
        EXPECT_FALSE(Control(greyed)->isEnabled()) << greyed;
    EXPECT_TRUE(Control("E_StIpAddress")->isEnabled());
    // The changed combo stays marked after the refill, and gives back the refill's colour.
    EXPECT_EQ(vos::ControlColor(Control("CB_StConType")), QColor::fromRgb(vos::kMarkColor));
    vos::ControlPropsList->RestoreColors();
    EXPECT_NE(vos::ControlColor(Control("CB_StConType")), QColor::fromRgb(vos::kMarkColor));
}

TEST_F(ConfigEditTest, ComboEntriesMapToTheirFields)
{
    auto* station = Station("St");
    auto* modem = Create(vos::nkModem, server, "Mod");
    struct Case {
        TConfigNode* node;
        const char* combo;
        int item;
        std::int32_t TConfigNodeRec::*field;
        std::int32_t expected;
    } cases[] = {
        {station, "CB_StStandByConType", 0, &TConfigNodeRec::StandbyConnectionType, -1},
        {station, "CB_StStandByConType", 1, &TConfigNodeRec::StandbyConnectionType, 0},
        {station, "CB_StStandByConType", 3, &TConfigNodeRec::StandbyConnectionType, 2},
        {station, "CB_StStandByConType", 4, &TConfigNodeRec::StandbyConnectionType, 4},
        {station, "CB_StComSpeed", 6, &TConfigNodeRec::BaudRate, 19200},
        {station, "CB_StStandByComSpeed", 0, &TConfigNodeRec::StandbyBaudRate, 300},
        {station, "CB_StType", 2, &TConfigNodeRec::StationType, 2},
        {modem, "CB_ModComNum", 2, &TConfigNodeRec::ComPort, 3},
    };
    for (const auto& c : cases) {
        Select({c.node});
        auto* combo = Control<QComboBox>(c.combo);
        // From another item, so that the combo reports a change.
        {
            vos::TFillingControlsGuard filling;
            combo->setCurrentIndex(c.item == 1 ? 2 : 1);
        }
        combo->setCurrentIndex(c.item);
        EXPECT_EQ(c.node->Rec().*c.field, c.expected) << c.combo << " item " << c.item;
    }
}

// --- Fault: service items in a mixed selection keep their locked fields ---

TEST_F(ConfigEditTest, ServiceItemInAMixedSelectionKeepsWhatItsPageLocks)
{
    auto* station = Station("St");
    auto* plain = Create(vos::nkVariable, station, "Plain");
    editor.CreateStationServiceItems(station);
    auto* clock = editor.FindNodeByName("SYS_DateTime", true, station, vos::nkVariable);
    auto* buffer = editor.FindNodeByName("DRW_DataBuffer", true, station, vos::nkVariable);
    ASSERT_TRUE(clock && buffer);
    const TConfigNodeRec clockBefore = clock->Rec();
    const TConfigNodeRec bufferBefore = buffer->Rec();
    // The plain variable leads, so the page leaves every control open.
    plain->Rec().ServiceCode = 0;
    Select({plain, clock, buffer});
    ASSERT_EQ(frame->FirstSelectedTreeNode(), plain);

    Control<QComboBox>("CB_VarDataZone")->setCurrentIndex(4);
    Control<QSpinBox>("E_VarAddress")->setValue(77);
    Control<QPlainTextEdit>("Memo_VarComment")->setPlainText("mine");
    Control<QCheckBox>("ChB_VarWriteable")->click();
    Control<QLineEdit>("E_VarUnits")->setText("s");
    const int dword = static_cast<int>(std::find(vos::kVarTypeList.begin(), vos::kVarTypeList.end(), 19) -
                                       vos::kVarTypeList.begin());
    Control<QComboBox>("CB_VarInstrType")->setCurrentIndex(dword);

    EXPECT_EQ(plain->Rec().Zone, 4);
    EXPECT_EQ(plain->Rec().Address, 77);
    EXPECT_EQ(plain->Rec().Comment, "mine");
    EXPECT_EQ(plain->Rec().VarType, 19);
    for (const auto& [node, before] : {std::pair{clock, clockBefore}, std::pair{buffer, bufferBefore}}) {
        const auto& rec = node->Rec();
        EXPECT_EQ(rec.Zone, before.Zone) << rec.Name;
        EXPECT_EQ(rec.Address, before.Address) << rec.Name;
        EXPECT_EQ(rec.Comment, before.Comment) << rec.Name;
        EXPECT_EQ(rec.Writable, before.Writable) << rec.Name;
        EXPECT_EQ(rec.Units, "s") << rec.Name;  // not locked: it takes the edit
    }
    EXPECT_EQ(clock->Rec().VarType, clockBefore.VarType);
    EXPECT_EQ(buffer->Rec().VarType, 19);  // the data buffer may change its type
    EXPECT_EQ(clock->Rec().Name, "SYS_DateTime");
}

// --- Fault: a name never reaches two nodes ---

TEST_F(ConfigEditTest, ANameReachesOnlyASingleEditableNode)
{
    auto* station = Station("St");
    auto* other = Station("Other");
    editor.CreateStationServiceItems(station);
    auto* serviceFolder = station->Child(0);
    ASSERT_EQ(serviceFolder->Rec().Editable, 0);
    auto* folder = Create(vos::nkFolder, station, "F1");
    auto* folder2 = Create(vos::nkFolder, station, "F2");
    auto* var = Create(vos::nkVariable, station, "V1");
    auto* var2 = Create(vos::nkVariable, station, "V2");
    auto* modem = Create(vos::nkModem, server, "M1");
    auto* modem2 = Create(vos::nkModem, server, "M2");

    struct Case {
        const char* edit;
        std::vector<TConfigNode*> nodes;
        bool copied;
    } cases[] = {
        {"E_StName", {station}, true},
        {"E_StName", {station, other}, false},
        {"E_FolderName", {folder}, true},
        {"E_FolderName", {folder, folder2}, false},
        {"E_FolderName", {serviceFolder}, false},
        {"E_VarName", {var}, true},
        {"E_VarName", {var, var2}, false},
        {"E_ModName", {modem}, true},
        {"E_ModName", {modem, modem2}, false},
    };
    for (const auto& c : cases) {
        Select(c.nodes);
        std::vector<std::string> before;
        for (auto* node : c.nodes)
            before.push_back(node->Rec().Name);
        auto* edit = Control<QLineEdit>(c.edit);
        edit->setEnabled(true);  // the handler must not rely on the greying
        edit->setText("Renamed");
        for (std::size_t i = 0; i < c.nodes.size(); ++i)
            EXPECT_EQ(c.nodes[i]->Rec().Name, c.copied ? "Renamed" : before[i]) << c.edit << " " << i;
        if (c.copied)
            c.nodes.front()->Rec().Name = before.front();
    }
}

// --- Fault: calculator edits and conversions stay inside 32 bits ---

TEST_F(ConfigEditTest, IntegerCalculatorEditsAreBoundedAndSaturate)
{
    auto* station = Station("St");
    auto* var = Create(vos::nkVariable, station, "V");
    struct Case {
        TConfigNode* node;
        const char* edit;
        double value;
        std::int32_t TConfigNodeRec::*field;
        std::int32_t expected;
    } cases[] = {
        {station, "E_StTimeout", 1e12, &TConfigNodeRec::Timeout, INT_MAX},
        {station, "E_StTimeout", -5, &TConfigNodeRec::Timeout, 0},
        {station, "E_StStandByTimeout", 3e9, &TConfigNodeRec::StandbyTimeout, INT_MAX},
        {station, "E_StStandByTimeout", -1e300, &TConfigNodeRec::StandbyTimeout, 0},
        {var, "E_VarSimulationRate", 1e15, &TConfigNodeRec::SimulationPeriod, INT_MAX},
        {var, "E_VarSimulationRate", -100, &TConfigNodeRec::SimulationPeriod, 0},
        {var, "E_VarSimulationRate", 1500, &TConfigNodeRec::SimulationPeriod, 1500},
    };
    for (const auto& c : cases) {
        Select({c.node});
        auto* edit = Control<QDoubleSpinBox>(c.edit);
        EXPECT_EQ(edit->minimum(), 0) << c.edit;
        EXPECT_EQ(edit->maximum(), 2147483647.0) << c.edit;
        {
            vos::TFillingControlsGuard filling;
            edit->setValue(12345);
        }
        edit->setValue(c.value);
        EXPECT_EQ(c.node->Rec().*c.field, c.expected) << c.edit << " " << c.value;
    }
}

TEST_F(ConfigEditTest, DoublesAndTicksCopyUnchanged)
{
    auto* station = Station("St");
    auto* a = Create(vos::nkVariable, station, "A");
    auto* b = Create(vos::nkVariable, station, "B");
    for (auto* v : {a, b})
        v->Rec().VarType = 5;  // Double: no range to clamp to
    Select({a, b});
    Control<QDoubleSpinBox>("E_VarHiHiLimit")->setValue(1234.5678);
    Control<vos::TCheckGroupBox>("GB_VarSimulated")->SetChecked(true);
    Control<QDoubleSpinBox>("E_VarSimulationGain")->setValue(0.25);
    for (auto* v : {a, b}) {
        EXPECT_DOUBLE_EQ(v->Rec().HiHiLimit, 1234.5678);
        EXPECT_EQ(v->Rec().Simulated, 1);
    }
}

// --- The refill's corrections reach every node, not only the one shown ---

TEST_F(ConfigEditTest, ATypeChangeCorrectsEverySelectedVariable)
{
    auto* station = Station("St");
    auto* a = Create(vos::nkVariable, station, "A");
    auto* b = Create(vos::nkVariable, station, "B");
    for (auto* v : {a, b}) {
        v->Rec().VarType = 3;
        v->Rec().Scaled = 1;
        v->Rec().SimulationType = 2;
        v->Rec().InstrumentHigh = 100000;
        v->Rec().InstrumentLow = -100000;
    }
    Select({a, b});
    const auto index = [](std::int32_t type) {
        return static_cast<int>(std::find(vos::kVarTypeList.begin(), vos::kVarTypeList.end(), type) -
                                vos::kVarTypeList.begin());
    };
    Control<QComboBox>("CB_VarInstrType")->setCurrentIndex(index(2));  // SmallInt
    for (auto* v : {a, b}) {
        EXPECT_EQ(v->Rec().InstrumentHigh, 32767.0) << v->Rec().Name;
        EXPECT_EQ(v->Rec().InstrumentLow, -32768.0) << v->Rec().Name;
    }
    Control<QComboBox>("CB_VarInstrType")->setCurrentIndex(index(8));  // String
    for (auto* v : {a, b}) {
        EXPECT_EQ(v->Rec().Scaled, 0) << v->Rec().Name;
        EXPECT_EQ(v->Rec().SimulationType, 0) << v->Rec().Name;
    }
    EXPECT_TRUE(Control("E_VarNumOfChars")->isEnabled());
    EXPECT_FALSE(Control("GB_VarScaled")->isEnabled());
}

// Typing into the middle of a text keeps the caret where it is, though the page is refilled.
TEST_F(ConfigEditTest, TypingKeepsTheCaret)
{
    auto* station = Station("St");
    auto* var = Create(vos::nkVariable, station, "V");
    var->Rec().Comment = "abcd";
    Select({var});
    auto* memo = Control<QPlainTextEdit>("Memo_VarComment");
    memo->setFocus();
    QTextCursor cursor = memo->textCursor();
    cursor.setPosition(2);
    memo->setTextCursor(cursor);
    QTest::keyClicks(memo, "XY");
    EXPECT_EQ(var->Rec().Comment, "abXYcd");
}

// --- A large selection: one pass, one repaint ---

TEST_F(ConfigEditTest, ALargeSelectionRepaintsOnce)
{
    auto* station = Station("St");
    std::vector<TConfigNode*> vars;
    for (int i = 0; i < 600; ++i)
        vars.push_back(Create(vos::nkVariable, station, "V" + std::to_string(i)));
    Validate(vars);
    Select(vars);
    int rowSignals = 0;
    QObject::connect(frame->TreeModel(), &QAbstractItemModel::dataChanged, [&rowSignals] { ++rowSignals; });

    Control<QLineEdit>("E_VarUnits")->setText("kg");
    EXPECT_EQ(rowSignals, 0);
    EXPECT_EQ(editor.ChangeList().size(), vars.size());
    for (auto* v : vars)
        ASSERT_EQ(v->Rec().Units, "kg");
}

}  // namespace

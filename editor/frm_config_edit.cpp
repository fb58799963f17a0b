// Editing through the detail pages: the one change handler of the registered controls. It
// marks the control the user changed and copies only the marked controls into every selected
// node, so that a page showing the first of several nodes never overwrites the others with
// values the user did not touch.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTextCursor>
#include <QTreeView>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "frm_config.h"
#include "frm_config_pages.h"
#include "widgets/check_group_box.h"
#include "widgets/control_props.h"

namespace vos {

namespace {

// Above this many edited nodes the views repaint once as a whole instead of row by row.
constexpr std::size_t kRowRepaintLimit = 256;

// What a node may refuse to take from a row.
enum TRowLock : std::uint8_t {
    lkNone = 0,
    lkName = 1,          // a name: one node only, and only an Editable one
    lkService = 2,       // a generated service item keeps it
    lkServiceType = 4,   // as lkService, but the data buffer (13) may change its type
};

using TCopy = void (*)(TConfigNodeRec&, const QWidget*);

struct TEditRow {
    const char* Control;
    TCopy Copy;
    std::uint8_t Lock = lkNone;
    bool SenderOnly = false;
};

std::int32_t Saturated(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (value <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

std::int32_t Truncated(double value) { return Saturated(std::trunc(value)); }

// Halves go to the even neighbour, whatever the floating-point rounding mode is.
std::int32_t Rounded(double value)
{
    if (!std::isfinite(value))
        return Saturated(value);
    double whole = std::floor(value);
    const double fraction = value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0))
        whole += 1;
    return Saturated(whole);
}

std::string TextOf(const QWidget* control)
{
    if (const auto* edit = qobject_cast<const QLineEdit*>(control))
        return edit->text().toStdString();
    if (const auto* memo = qobject_cast<const QPlainTextEdit*>(control))
        return memo->toPlainText().toStdString();
    return {};
}

int ItemOf(const QWidget* control)
{
    const auto* combo = qobject_cast<const QComboBox*>(control);
    return combo ? combo->currentIndex() : -1;
}

double NumberOf(const QWidget* control)
{
    if (const auto* spin = qobject_cast<const QSpinBox*>(control))
        return spin->value();
    if (const auto* calc = qobject_cast<const QDoubleSpinBox*>(control))
        return calc->value();
    return 0;
}

std::uint8_t TickedOf(const QWidget* control)
{
    if (const auto* box = qobject_cast<const QCheckBox*>(control))
        return box->isChecked() ? 1 : 0;
    if (const auto* group = qobject_cast<const TCheckGroupBox*>(control))
        return group->Checked() ? 1 : 0;
    return 0;
}

// A combo without a selection has nothing to copy: the field keeps its value.
template <std::size_t N>
void CopyEntry(std::int32_t& field, const QWidget* control, const std::array<std::int32_t, N>& entries)
{
    const int item = ItemOf(control);
    if (item >= 0 && static_cast<std::size_t>(item) < N)
        field = entries[static_cast<std::size_t>(item)];
}

void CopyItem(std::int32_t& field, const QWidget* control)
{
    if (const int item = ItemOf(control); item >= 0)
        field = item;
}

const TEditRow kStationRows[] = {
    {"E_StName", [](TConfigNodeRec& r, const QWidget* c) { r.Name = TextOf(c); }, lkName},
    {"Memo_StComment", [](TConfigNodeRec& r, const QWidget* c) { r.Comment = TextOf(c); }},
    {"CB_StType", [](TConfigNodeRec& r, const QWidget* c) { CopyItem(r.StationType, c); }},
    {"E_StAddress", [](TConfigNodeRec& r, const QWidget* c) { r.BusAddress = Truncated(NumberOf(c)); }},
    {"E_StComNum", [](TConfigNodeRec& r, const QWidget* c) { r.ComPort = Rounded(NumberOf(c)); }},
    {"CB_StComSpeed", [](TConfigNodeRec& r, const QWidget* c) { CopyEntry(r.BaudRate, c, kBaudRates); }},
    {"E_StTimeout", [](TConfigNodeRec& r, const QWidget* c) { r.Timeout = Truncated(NumberOf(c)); }},
    {"E_StIpAddress", [](TConfigNodeRec& r, const QWidget* c) { r.IpAddress = TextOf(c); }},
    {"CB_StParity", [](TConfigNodeRec& r, const QWidget* c) { CopyItem(r.Parity, c); }},
    {"CB_StConType", [](TConfigNodeRec& r, const QWidget* c) { CopyItem(r.ConnectionType, c); }, lkNone, true},
    {"E_StStandByAddress",
     [](TConfigNodeRec& r, const QWidget* c) { r.StandbyBusAddress = Truncated(NumberOf(c)); }},
    {"E_StStandByComNum", [](TConfigNodeRec& r, const QWidget* c) { r.StandbyComPort = Rounded(NumberOf(c)); }},
    {"CB_StStandByComSpeed",
     [](TConfigNodeRec& r, const QWidget* c) { CopyEntry(r.StandbyBaudRate, c, kBaudRates); }},
    {"E_StStandByTimeout", [](TConfigNodeRec& r, const QWidget* c) { r.StandbyTimeout = Truncated(NumberOf(c)); }},
    {"E_StStandByIpAddress", [](TConfigNodeRec& r, const QWidget* c) { r.StandbyIpAddress = TextOf(c); }},
    {"CB_StStandByParity", [](TConfigNodeRec& r, const QWidget* c) { CopyItem(r.StandbyParity, c); }},
    // Items: none, serial, modem, Ethernet, then TCP, whose connection type is 4 (3 is the
    // development environment, which no standby line uses).
    {"CB_StStandByConType",
     [](TConfigNodeRec& r, const QWidget* c) {
         const int item = ItemOf(c);
         if (item >= 0 && item <= 3)
             r.StandbyConnectionType = item - 1;
         else if (item == 4)
             r.StandbyConnectionType = 4;
     },
     lkNone, true},
};

const TEditRow kFolderRows[] = {
    {"E_FolderName", [](TConfigNodeRec& r, const QWidget* c) { r.Name = TextOf(c); }, lkName},
};

const TEditRow kModemRows[] = {
    {"E_ModName", [](TConfigNodeRec& r, const QWidget* c) { r.Name = TextOf(c); }, lkName},
    {"Memo_ModComment", [](TConfigNodeRec& r, const QWidget* c) { r.Comment = TextOf(c); }},
    {"CB_ModComNum",
     [](TConfigNodeRec& r, const QWidget* c) {
         if (const int item = ItemOf(c); item >= 0)
             r.ComPort = item + 1;
     }},
};

const TEditRow kVariableRows[] = {
    {"E_VarName", [](TConfigNodeRec& r, const QWidget* c) { r.Name = TextOf(c); }, lkName | lkService},
    {"Memo_VarComment", [](TConfigNodeRec& r, const QWidget* c) { r.Comment = TextOf(c); }, lkService},
    {"CB_VarDataZone", [](TConfigNodeRec& r, const QWidget* c) { CopyItem(r.Zone, c); }, lkService},
    {"GB_VarScaled", [](TConfigNodeRec& r, const QWidget* c) { r.Scaled = TickedOf(c); }},
    {"ChB_VarReadable", [](TConfigNodeRec& r, const QWidget* c) { r.Readable = TickedOf(c); }, lkService},
    {"ChB_VarWriteable", [](TConfigNodeRec& r, const QWidget* c) { r.Writable = TickedOf(c); }, lkService},
    {"E_VarAddress", [](TConfigNodeRec& r, const QWidget* c) { r.Address = Rounded(NumberOf(c)); }, lkService},
    {"E_VarBit", [](TConfigNodeRec& r, const QWidget* c) { r.BitNumber = Rounded(NumberOf(c)); }, lkService},
    {"E_VarNumOfItems", [](TConfigNodeRec& r, const QWidget* c) { r.ArrayLength = Rounded(NumberOf(c)); }},
    {"E_VarNumOfChars", [](TConfigNodeRec& r, const QWidget* c) { r.StringLength = Rounded(NumberOf(c)); }},
    {"E_VarUnits", [](TConfigNodeRec& r, const QWidget* c) { r.Units = TextOf(c); }},
    {"E_VarLowInstrumentRange", [](TConfigNodeRec& r, const QWidget* c) { r.InstrumentLow = NumberOf(c); }},
    {"E_VarHiInstrumentRange", [](TConfigNodeRec& r, const QWidget* c) { r.InstrumentHigh = NumberOf(c); }},
    {"E_VarLowScaledRange", [](TConfigNodeRec& r, const QWidget* c) { r.ScaledLow = NumberOf(c); }},
    {"E_VarHiScaledRange", [](TConfigNodeRec& r, const QWidget* c) { r.ScaledHigh = NumberOf(c); }},
    {"E_VarContactCloseLabel", [](TConfigNodeRec& r, const QWidget* c) { r.CloseLabel = TextOf(c); }},
    {"E_VarContactOpenLabel", [](TConfigNodeRec& r, const QWidget* c) { r.OpenLabel = TextOf(c); }},
    {"E_VarInitialValue", [](TConfigNodeRec& r, const QWidget* c) { r.InitialValue = TextOf(c); }},
    {"E_VarHiHiLimit", [](TConfigNodeRec& r, const QWidget* c) { r.HiHiLimit = NumberOf(c); }},
    {"E_VarHiLimit", [](TConfigNodeRec& r, const QWidget* c) { r.HiLimit = NumberOf(c); }},
    {"E_VarLoLimit", [](TConfigNodeRec& r, const QWidget* c) { r.LoLimit = NumberOf(c); }},
    {"E_VarLoLoLimit", [](TConfigNodeRec& r, const QWidget* c) { r.LoLoLimit = NumberOf(c); }},
    {"GB_VarSimulated", [](TConfigNodeRec& r, const QWidget* c) { r.Simulated = TickedOf(c); }},
    {"CB_VarSimulationType", [](TConfigNodeRec& r, const QWidget* c) { CopyItem(r.SimulationType, c); }},
    {"E_VarSimulationMin", [](TConfigNodeRec& r, const QWidget* c) { r.SimulationMin = NumberOf(c); }},
    {"E_VarSimulationMax", [](TConfigNodeRec& r, const QWidget* c) { r.SimulationMax = NumberOf(c); }},
    {"E_VarSimulationRate", [](TConfigNodeRec& r, const QWidget* c) { r.SimulationPeriod = Rounded(NumberOf(c)); }},
    {"E_VarSimulationGain", [](TConfigNodeRec& r, const QWidget* c) { r.SimulationGain = NumberOf(c); }},
    {"CB_VarInstrType", [](TConfigNodeRec& r, const QWidget* c) { CopyEntry(r.VarType, c, kVarTypeList); },
     lkServiceType, true},
    {"CB_VarType", [](TConfigNodeRec& r, const QWidget* c) { CopyEntry(r.ScaledVarType, c, kScaledTypeList); },
     lkNone, true},
};

// A row that this change copies, with its control.
struct TActiveRow {
    const TEditRow* Row;
    const QWidget* Control;
};

// The rows of table whose control is marked (sender-only rows: that are the sender).
std::vector<TActiveRow> ActiveRows(std::span<const TEditRow> table,
                                   const std::unordered_map<QString, QWidget*>& controls, const QWidget* sender)
{
    std::vector<TActiveRow> rows;
    for (const TEditRow& row : table) {
        const auto found = controls.find(QString::fromLatin1(row.Control));
        if (found == controls.end())
            continue;
        const QWidget* control = found->second;
        if (IsControlChanged(control) && (!row.SenderOnly || control == sender))
            rows.push_back({&row, control});
    }
    return rows;
}

bool RowLocked(const TEditRow& row, const TConfigNodeRec& rec, bool single)
{
    if ((row.Lock & lkName) && (!single || rec.Editable == 0))
        return true;
    const bool service = TConfigDetailPages::IsLockedServiceCode(rec.ServiceCode);
    if ((row.Lock & lkService) && service)
        return true;
    return (row.Lock & lkServiceType) && service && rec.ServiceCode != 13;
}

void CopyRows(const std::vector<TActiveRow>& rows, TConfigNodeRec& rec, bool single)
{
    for (const auto& [row, control] : rows)
        if (!RowLocked(*row, rec, single))
            row->Copy(rec, control);
}

// The range pairs the sender belongs to: the pair being typed into is not clamped.
struct TTypedRanges {
    bool Instrument = false;
    bool Scaled = false;
    bool Simulation = false;
};

TTypedRanges TypedRanges(const QWidget* sender)
{
    const QString name = sender->objectName();
    const auto any = [&name](std::initializer_list<const char*> names) {
        return std::any_of(names.begin(), names.end(), [&name](const char* n) { return name == QLatin1String(n); });
    };
    return {any({"E_VarLowInstrumentRange", "E_VarHiInstrumentRange"}),
            any({"E_VarLowScaledRange", "E_VarHiScaledRange"}), any({"E_VarSimulationMin", "E_VarSimulationMax"})};
}

// What the variable page corrects in the record it shows, for the nodes the page does not
// show: ranges clamped to their types, and a type that is not numeric takes neither scaling
// nor a generated simulation.
void CorrectVariableRecord(TConfigNodeRec& rec, const TTypedRanges& typed)
{
    if (!TConfigDetailPages::IsNumericType(rec.VarType)) {
        rec.Scaled = 0;
        rec.SimulationType = 0;
    }
    if (!typed.Instrument)
        TConfigDetailPages::ClampToTypeRange(rec.VarType, rec.InstrumentHigh, rec.InstrumentLow);
    if (!typed.Scaled)
        TConfigDetailPages::ClampToTypeRange(rec.ScaledVarType, rec.ScaledHigh, rec.ScaledLow);
    if (!typed.Simulation)
        TConfigDetailPages::ClampToTypeRange(rec.VarType, rec.SimulationMax, rec.SimulationMin);
}

// A refill rewrites the text the user is typing into; the caret stays where it was.
class TCaretKeeper {
public:
    explicit TCaretKeeper(QWidget* sender)
        : edit_(qobject_cast<QLineEdit*>(sender)), memo_(qobject_cast<QPlainTextEdit*>(sender))
    {
        if (edit_)
            position_ = edit_->cursorPosition();
        else if (memo_)
            position_ = memo_->textCursor().position();
    }
    ~TCaretKeeper()
    {
        if (edit_ && edit_->cursorPosition() != position_) {
            edit_->setCursorPosition(position_);
        } else if (memo_ && memo_->textCursor().position() != position_) {
            QTextCursor cursor = memo_->textCursor();
            cursor.setPosition(std::min(position_, memo_->document()->characterCount() - 1));
            memo_->setTextCursor(cursor);
        }
    }
    TCaretKeeper(const TCaretKeeper&) = delete;
    TCaretKeeper& operator=(const TCaretKeeper&) = delete;

private:
    QLineEdit* edit_;
    QPlainTextEdit* memo_;
    int position_ = 0;
};

}  // namespace

void TFrm_Config::ConnectDetailControls()
{
    for (QWidget* control : pages_->DetailControls()) {
        if (auto* edit = qobject_cast<QLineEdit*>(control)) {
            connect(edit, &QLineEdit::textChanged, this, [this, edit] { ControlChanged(edit); });
        } else if (auto* memo = qobject_cast<QPlainTextEdit*>(control)) {
            connect(memo, &QPlainTextEdit::textChanged, this, [this, memo] { ControlChanged(memo); });
        } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
            connect(combo, &QComboBox::currentIndexChanged, this, [this, combo] { ControlChanged(combo); });
        } else if (auto* spin = qobject_cast<QSpinBox*>(control)) {
            connect(spin, &QSpinBox::valueChanged, this, [this, spin] { ControlChanged(spin); });
        } else if (auto* calc = qobject_cast<QDoubleSpinBox*>(control)) {
            connect(calc, &QDoubleSpinBox::valueChanged, this, [this, calc] { ControlChanged(calc); });
        } else if (auto* box = qobject_cast<QCheckBox*>(control)) {
            connect(box, &QCheckBox::clicked, this, [this, box] { ControlChanged(box); });
        } else if (auto* group = qobject_cast<TCheckGroupBox*>(control)) {
            connect(group, &TCheckGroupBox::OnCheck, this, [this, group] { ControlChanged(group); });
        }
    }
}

void TFrm_Config::ControlChanged(QWidget* sender)
{
    if (FillingControls || !sender)
        return;
    MarkControlChanged(sender);

    const std::vector<TConfigNode*> nodes = SelectedTreeNodes();
    if (nodes.empty())
        return;
    std::unordered_map<QString, QWidget*> controls;
    for (QWidget* control : pages_->DetailControls())
        controls.emplace(control->objectName(), control);
    const std::vector<TActiveRow> stationRows = ActiveRows(kStationRows, controls, sender);
    const std::vector<TActiveRow> folderRows = ActiveRows(kFolderRows, controls, sender);
    const std::vector<TActiveRow> modemRows = ActiveRows(kModemRows, controls, sender);
    const std::vector<TActiveRow> variableRows = ActiveRows(kVariableRows, controls, sender);
    // A name reaches one node only, whatever the page greys.
    const bool single = nodes.size() == 1;
    const TTypedRanges typed = TypedRanges(sender);

    bool edited = false;
    bool stationConnection = false;
    for (TConfigNode* node : nodes) {
        TConfigNodeRec& rec = node->Rec();
        if (rec.Valid) {
            rec.Valid = 0;
            rec.Saved = 0;
            editor_.AddToChangeList(node);
        }
        switch (rec.Kind) {
        case nkServer:
            continue;
        case nkStation:
            for (const auto& [row, control] : stationRows)
                if (row->SenderOnly && !RowLocked(*row, rec, single))
                    stationConnection = true;
            CopyRows(stationRows, rec, single);
            break;
        case nkFolder:
            CopyRows(folderRows, rec, single);
            break;
        case nkModem:
            CopyRows(modemRows, rec, single);
            break;
        case nkVariable:
            CopyRows(variableRows, rec, single);
            CorrectVariableRecord(rec, typed);
            break;
        }
        edited = true;
    }
    if (edited)
        editor_.SetChanged(true);

    // The page shows the first node: it is refilled from that node once, not once per node.
    TConfigNode* first = nodes.front();
    bool refilled = false;
    {
        TCaretKeeper caret(sender);
        if (first->Rec().Kind == nkVariable && pages_->currentIndex() == TConfigDetailPages::pgVariable) {
            pages_->ShowVariableDetail(first->Rec(), sender, static_cast<int>(nodes.size()));
            refilled = true;
        } else if (stationConnection && first->Rec().Kind == nkStation &&
                   pages_->currentIndex() == TConfigDetailPages::pgStation) {
            pages_->ShowStationDetail(first->Rec(), static_cast<int>(nodes.size()));
            refilled = true;
        }
    }
    // A refill recolours greyed fields; the marks stay visible and give back the new colour.
    if (refilled && ControlPropsList) {
        for (QWidget* control : pages_->DetailControls()) {
            TControlProps* props = ControlPropsList->Find(control);
            if (!props || !props->Changed)
                continue;
            if (ControlColor(control) != QColor::fromRgb(kMarkColor)) {
                props->SavedColor = ControlColor(control);
                SetControlColor(control, QColor::fromRgb(kMarkColor));
            }
        }
    }

    // Small edits repaint their rows; a large one repaints each view once.
    if (nodes.size() <= kRowRepaintLimit) {
        for (TConfigNode* node : nodes)
            editor_.Tree().NotifyChanged(node);
    } else {
        VST_Tree()->viewport()->update();
        VST_List()->viewport()->update();
    }
}

}  // namespace vos

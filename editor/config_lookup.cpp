// The editor's small lookups: enabled commands, image indexes, combo indexes, the owner and
// name searches, and the views' node comparison.
#include <algorithm>

#include "comm/vx_variable.h"
#include "config_editor.h"
#include "config_sort.h"
#include "platform/text.h"

namespace vos {

namespace {

template <class Table>
int IndexIn(const Table& table, std::int32_t value, int absent)
{
    const auto it = std::find(table.begin(), table.end(), value);
    return it == table.end() ? absent : static_cast<int>(it - table.begin());
}

bool IsModemStatusCode(std::int32_t code) { return code == vx::vkModStatus || code == vx::vkModModemType; }

// Sign of a difference, which in 32 bits could overflow.
int Sign(std::int64_t d) { return (d > 0) - (d < 0); }

int Flag(std::uint8_t b) { return b ? 1 : 0; }

// Where kinds meet in a column with a rule per kind: stations before modems, folders before
// variables.
int KindRank(TConfigNodeKind kind)
{
    switch (kind) {
    case nkServer: return 0;
    case nkStation: return 1;
    case nkModem: return 2;
    case nkFolder: return 3;
    case nkVariable: return 4;
    default: return 5 + kind;
    }
}

}  // namespace

std::optional<TEditorCommands> TConfigEditor::EnableCommands(const TConfigNode* node) const
{
    if (!node || node->IsRoot())
        return std::nullopt;
    const auto& rec = node->Rec();
    TEditorCommands c;
    c.NewVariable = c.NewFolder = c.Import =
        rec.Kind != nkServer && rec.Kind != nkModem && !IsModemStatusCode(rec.ServiceCode);
    c.Copy = c.Cut = c.Duplicate = c.Delete = rec.Editable != 0;
    if (clipboardNode_) {
        const auto clip = clipboardNode_->Rec().Kind;
        const bool stationOrModem = clip == nkStation || clip == nkModem;
        const bool variableOrFolder = clip == nkVariable || clip == nkFolder;
        c.Paste = (rec.Kind == nkServer && stationOrModem) ||
                  ((rec.Kind == nkStation || rec.Kind == nkVariable || rec.Kind == nkFolder) && variableOrFolder);
    }
    c.NewStation = true;
    return c;
}

int TConfigEditor::GetNodeImageIndex(const TConfigNodeRec& rec)
{
    constexpr int kOther = 27;
    switch (rec.Kind) {
    case nkServer:
        return 0;
    case nkStation:
        return rec.StationType >= 0 && rec.StationType <= 2 ? 3 + rec.StationType : kOther;
    case nkFolder:
        return rec.Editable ? 1 : 25;
    case nkModem:
        return 8;
    case nkVariable:
        switch (rec.VarType) {
        case VT_I2: return 13;
        case VT_I4: return 14;
        case VT_R4: return 15;
        case VT_R8: return 34;
        case VT_DATE: return 32;
        case VT_BSTR: return 16;
        case VT_BOOL: return 9;
        case VT_UI1: return 10;
        case VT_UI2: return 11;
        case VT_UI4: return 12;
        case VT_ARRAY | VT_I2: return 21;
        case VT_ARRAY | VT_I4: return 22;
        case VT_ARRAY | VT_R4: return 23;
        case VT_ARRAY | VT_R8: return 35;
        case VT_ARRAY | VT_DATE: return 33;
        case VT_ARRAY | VT_BSTR: return 24;
        case VT_ARRAY | VT_BOOL: return 17;
        case VT_ARRAY | VT_UI1: return 18;
        case VT_ARRAY | VT_UI2: return 19;
        case VT_ARRAY | VT_UI4: return 20;
        default: return kOther;
        }
    default:
        return kOther;
    }
}

int TConfigEditor::BaudRateIndex(std::int32_t rate) { return IndexIn(kBaudRates, rate, 0); }

int TConfigEditor::VarTypeIndex(std::int32_t varType) { return IndexIn(kVarTypeList, varType, 19); }

int TConfigEditor::ScaledTypeIndex(std::int32_t varType) { return IndexIn(kScaledTypeList, varType, 6); }

TConfigNode* TConfigEditor::GetOwnerNode(const TConfigNode* node)
{
    if (!node)
        return nullptr;
    std::uint8_t ownerKind;
    switch (node->Rec().Kind) {
    case nkStation:
        ownerKind = nkServer;
        break;
    case nkVariable:
    case nkFolder:
        ownerKind = nkStation;
        break;
    default:
        return nullptr;
    }
    for (auto* n = node->Parent(); n && !n->IsRoot(); n = n->Parent())
        if (n->Rec().Kind == ownerKind)
            return n;
    return nullptr;
}

TConfigNode* TConfigEditor::FindNodeByName(const std::string& name, bool recursive, const TConfigNode* parent,
                                           std::uint8_t kind) const
{
    const auto matches = [&](const TConfigNode* n) {
        return n->Rec().Name == name && (kind == nkAny || kind == n->Rec().Kind);
    };
    if (!parent) {
        for (auto* n : tree_)
            if (matches(n))
                return n;
        return nullptr;
    }
    if (!recursive) {
        for (int i = 0; i < parent->ChildCount(); ++i)
            if (matches(parent->Child(i)))
                return parent->Child(i);
        return nullptr;
    }
    // A child's subtree is searched before its next sibling: tree order within parent.
    const auto* end = TConfigTree::NextSkippingChildren(parent);
    for (auto* n = parent->FirstChild(); n && n != end; n = TConfigTree::Next(n))
        if (matches(n))
            return n;
    return nullptr;
}

int TConfigEditor::CompareNodes(const TConfigNode& a, const TConfigNode& b, int column)
{
    const auto& x = a.Rec();
    const auto& y = b.Rec();
    if (column == 0)
        return plat::compareTextLocale(x.Name, y.Name);
    if (column < 1 || column > 4)
        return 0;
    // Each of these columns has a rule per kind, so two kinds are ordered by kind: letting
    // the first node's kind choose would make the order depend on which node comes first.
    if (x.Kind != y.Kind)
        return Sign(std::int64_t{KindRank(x.Kind)} - KindRank(y.Kind));
    switch (column) {
    case 1:
        if (x.Kind == nkStation)
            return Sign(std::int64_t{x.BusAddress} - y.BusAddress);
        if (x.Kind == nkVariable) {
            // A tuple: one number made of the three overflows and mixes zones for large
            // addresses.
            if (x.Zone != y.Zone)
                return x.Zone < y.Zone ? -1 : 1;
            if (x.Address != y.Address)
                return x.Address < y.Address ? -1 : 1;
            return Sign(std::int64_t{x.BitNumber} - y.BitNumber);
        }
        return 0;
    case 2:
        if (x.Kind == nkStation)
            return Sign(std::int64_t{x.StationType} - y.StationType);
        if (x.Kind == nkVariable)
            return Sign(std::int64_t{x.VarType} - y.VarType);
        if (x.Kind == nkFolder)
            return plat::compareTextLocale(x.Name, y.Name);
        return 0;
    case 3:
        if (x.Kind == nkVariable)
            return Sign((Flag(x.Readable) - Flag(y.Readable)) + (Flag(x.Writable) - Flag(y.Writable)));
        return 0;
    case 4:
        if (x.Kind == nkVariable)
            return Sign((Flag(x.Simulated) - Flag(y.Simulated)) * std::int64_t{10} +
                        (std::int64_t{x.SimulationType} - y.SimulationType));
        return 0;
    default:
        return 0;
    }
}

TNodeCompare TConfigEditor::ColumnComparison(int column)
{
    return [column](const TConfigNode& a, const TConfigNode& b) { return CompareNodes(a, b, column); };
}

// Collation keys computed once per sort: a large file loads without re-keying every comparison.
void TConfigEditor::SortTreeByName() { SortConfigTree(tree_, 0, false); }

}  // namespace vos

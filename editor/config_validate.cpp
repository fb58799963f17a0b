#include "config_validate.h"

#include <QLoggingCategory>
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "config_settings.h"
#include "opc/opc_globals.h"
#include "platform/text.h"

namespace vos {

namespace {

Q_LOGGING_CATEGORY(lcValidate, "vx.editor.validate")

// Serial stations put only the low byte of their address on the line.
bool SameBusAddress(const TConfigNodeRec& a, const TConfigNodeRec& b)
{
    return (a.BusAddress & 0xFF) == (b.BusAddress & 0xFF);
}

// Names compare as the catalogue compares item IDs, so that no two items it cannot tell
// apart pass.
bool SameName(const std::string& a, std::string_view b)
{
    return a == b || plat::compareTextLocale(a, b) == 0;
}

// The code one child c of the scope gives node n; sameNames tells whether their names are
// equal, asked only where it matters. Within one child a later test overrides an earlier one.
template <class SameNames>
int ChildConflict(const TConfigNodeRec& n, const TConfigNodeRec& c, SameNames sameNames)
{
    int code = ccNone;
    switch (n.Kind) {
    case nkStation:
        if (c.Kind == nkStation && c.ConnectionType == n.ConnectionType) {
            if (n.ConnectionType == vx::ctSerial && SameBusAddress(n, c) && c.ComPort == n.ComPort)
                code = ccBusAddress;
            else if (n.ConnectionType == vx::ctUdp && c.IpAddress == n.IpAddress)
                code = ccIpAddress;
        } else if (c.Kind == nkModem && n.ConnectionType == vx::ctSerial && c.ComPort == n.ComPort) {
            code = ccStationOnModemPort;
        }
        if (sameNames())
            code = ccStationName;
        break;
    case nkVariable:
        if (sameNames())
            code = ccVariableName;
        break;
    case nkFolder:
        if (sameNames())
            code = ccFolderName;
        break;
    case nkModem:
        if ((c.Kind == nkModem || (c.Kind == nkStation && c.ConnectionType == vx::ctSerial)) && c.ComPort == n.ComPort)
            code = ccModemPort;
        if (sameNames())
            code = ccModemName;
        break;
    default:
        break;
    }
    return code;
}

const TConfigNode& ScopeOf(const TConfigNode& node)
{
    if (VarUniqueInStation())
        if (const TConfigNode* owner = TConfigEditor::GetOwnerNode(&node))
            return *owner;
    return *node.Parent();
}

// The nodes FindSiblingConflict walks in scope.
std::size_t WalkSize(const TConfigNode& scope)
{
    std::size_t n = 0;
    for (const TConfigNode* child = scope.FirstChild(); child; child = child->NextSibling()) {
        ++n;
        if (VarUniqueInStation() && child->Rec().Kind == nkFolder)
            n += WalkSize(*child);
    }
    return n;
}

// The item-ID parser reads the part after the last "." (a trailing "." adds no part) as a
// property keyword, so a variable whose name ends in one can never be reached.
bool IsPropertyName(std::string_view name)
{
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    const auto dot = name.rfind('.');
    return opc::IsReservedItemName(dot == std::string_view::npos ? name : name.substr(dot + 1));
}

bool ScopeHasTimeStamp(const TConfigNode& scope)
{
    return !scope.IsRoot() && scope.Rec().Kind == nkStation;
}

// --- Repair ---

enum RepairedField { rfName, rfBusAddress, rfComPort, rfIpAddress, rfCount };

int FieldOf(int code)
{
    switch (code) {
    case ccStationName:
    case ccVariableName:
    case ccFolderName:
    case ccModemName:
    case ccReservedName:
    case ccServerName:
        return rfName;
    case ccBusAddress:
        return rfBusAddress;
    case ccStationOnModemPort:
    case ccModemPort:
        return rfComPort;
    case ccIpAddress:
        return rfIpAddress;
    default:
        return -1;  // no repair (10)
    }
}

bool Increment(std::int32_t& value)
{
    if (value == std::numeric_limits<std::int32_t>::max())
        return false;
    ++value;
    return true;
}

// Device3 becomes Device4, Valve becomes Valve1; a number that cannot grow stays.
bool NextName(std::string& name)
{
    std::string base = name;
    const std::int32_t number = vx::SplitTrailingNumber(base);
    if (number == std::numeric_limits<std::int32_t>::max())
        return false;
    name = base + std::to_string(number < 0 ? 1 : number + 1);
    return true;
}

// False when the repair changed nothing.
bool Repair(TConfigNodeRec& rec, int code)
{
    switch (code) {
    case ccServerName:
        if (rec.Name == kServerNodeName)
            return false;
        rec.Name = kServerNodeName;
        return true;
    case ccBusAddress:
        return Increment(rec.BusAddress);
    case ccStationOnModemPort:
    case ccModemPort:
        return Increment(rec.ComPort);
    case ccIpAddress:
        if (rec.IpAddress.empty())
            return false;
        rec.IpAddress.clear();
        return true;
    default:
        return FieldOf(code) == rfName && NextName(rec.Name);
    }
}

// --- Report ---

struct ReportEntry {
    int code;
    std::int32_t kindWordId;  // -1: none
    std::int32_t reasonId;
    const char* control;
};

constexpr std::array<ReportEntry, 10> kReports = {{
    {ccStationName, 0, 114, "E_StName"},
    {ccVariableName, 115, 114, "E_VarName"},
    {ccFolderName, 116, 114, "E_FolderName"},
    {ccBusAddress, 0, 117, "E_StAddress"},
    {ccStationOnModemPort, 0, 135, "E_StComNum"},
    {ccIpAddress, 0, 137, "E_StIpAddress"},
    {ccModemPort, 5, 136, "CB_ModComNum"},
    {ccModemName, 5, 114, "E_ModName"},
    {ccInitialValue, 115, 121, "E_VarInitialValue"},
    {ccReservedName, -1, 140, "E_VarName"},
}};

const ReportEntry* FindReport(int code)
{
    for (const auto& r : kReports)
        if (r.code == code)
            return &r;
    return nullptr;
}

}  // namespace

int FindSiblingConflict(const TConfigNode& node, const TConfigNode& scope)
{
    const TConfigNodeRec& rec = node.Rec();
    int code = ccNone;
    for (const TConfigNode* child = scope.FirstChild(); child && code == ccNone; child = child->NextSibling()) {
        if (VarUniqueInStation() && child->Rec().Kind == nkFolder)
            code = FindSiblingConflict(node, *child);
        if (child != &node) {
            const int c = ChildConflict(rec, child->Rec(), [&] { return SameName(rec.Name, child->Rec().Name); });
            if (c != ccNone)
                code = c;
        }
    }
    return code;
}

int CheckNode(const TConfigNode& node)
{
    if (node.IsRoot())
        return ccNone;
    const TConfigNodeRec& rec = node.Rec();
    if (rec.Kind == nkServer)
        return rec.Name == kServerNodeName ? ccNone : ccServerName;
    const TConfigNode& scope = ScopeOf(node);
    int code = FindSiblingConflict(node, scope);
    if (rec.Kind == nkVariable) {
        if (code == ccNone && ScopeHasTimeStamp(scope) && SameName(rec.Name, vx::kTimeStampVariableName))
            code = ccVariableName;
        if (IsPropertyName(rec.Name))
            code = ccReservedName;
    }
    return code;
}

bool CheckInitialValue(const TConfigNodeRec& rec)
{
    if (rec.InitialValue.empty() || rec.Kind != nkVariable)
        return true;
    if (rec.VarType < 0 || rec.VarType > 0xFFFF)
        return false;
    vx::TVariable variable(nullptr);
    variable.CanonicalType = static_cast<VARTYPE>(rec.VarType);
    variable.ArrayCount = rec.ArrayLength;
    if (variable.CanonicalType & VT_ARRAY) {
        // Elements beyond those the text holds stay zero and are never converted, so a count
        // of one more than the text's separators checks the same.
        const auto held = std::count(rec.InitialValue.begin(), rec.InitialValue.end(), ';') + 1;
        if (variable.ArrayCount > held)
            variable.ArrayCount = static_cast<std::int32_t>(held);
    }
    variable.InitialValue = rec.InitialValue;
    return variable.InitValue();
}

int NodeConflict(const TConfigNode& node)
{
    int code = CheckNode(node);
    if (!CheckInitialValue(node.Rec()))
        code = ccInitialValue;
    return code;
}

int ValidateNode(TConfigNode& node, bool repair)
{
    int code = NodeConflict(node);
    if (repair && code != ccNone && !node.IsRoot()) {
        // Each repair either resolves the conflict with one node of the scope or moves past it,
        // so more repairs of one field than that cannot help.
        const std::size_t limit = WalkSize(ScopeOf(node)) + 1;
        std::array<std::size_t, rfCount> repairs{};
        while (code != ccNone) {
            const int field = FieldOf(code);
            if (field < 0 || repairs[field] >= limit || !Repair(node.Rec(), code))
                break;
            ++repairs[field];
            code = NodeConflict(node);
        }
    }
    node.Rec().Valid = code == ccNone ? 1 : 0;
    return code;
}

std::string ConflictText(const TConfigNodeRec& rec, int code)
{
    const ReportEntry* r = FindReport(code);
    if (!r)
        return {};
    const std::string word = r->kindWordId >= 0 ? vx::GetLangText(r->kindWordId) : std::string();
    return word + " '" + rec.Name + "'" + vx::GetLangText(r->reasonId);
}

std::string ConflictControl(int code)
{
    const ReportEntry* r = FindReport(code);
    return r ? r->control : "";
}

// --- The whole tree ---
//
// FindSiblingConflict walks the scope's children, and with names unique per station first
// the contents of each folder child, which the folder's own conflict then overrides: so the
// member of the scope (a node whose ancestors up to the scope are all folders) that comes
// first in tree order decides. Every node needs only the first member of its scope that
// shares its name, its address or its port: sorted indexes per scope give them, and nothing
// walks a scope per node.

std::vector<TNodeConflict> CheckWholeTree(const TConfigTree& tree)
{
    constexpr std::uint8_t kNoKind = 0xFF;  // the hidden root
    const bool perStation = VarUniqueInStation();

    // Every node in tree order, the hidden root first, with its parent.
    std::vector<TConfigNode*> nodes;
    std::vector<int> parent;
    nodes.reserve(tree.NodeCount() + 1);
    parent.reserve(tree.NodeCount() + 1);
    nodes.push_back(nullptr);
    parent.push_back(-1);
    {
        std::vector<int> ancestors{0};
        std::vector<const TConfigNode*> ancestorNodes{tree.Root()};
        for (TConfigNode* node : tree) {
            while (ancestorNodes.back() != node->Parent()) {
                ancestors.pop_back();
                ancestorNodes.pop_back();
            }
            const int index = static_cast<int>(nodes.size());
            nodes.push_back(node);
            parent.push_back(ancestors.back());
            ancestors.push_back(index);
            ancestorNodes.push_back(node);
        }
    }
    const int count = static_cast<int>(nodes.size());
    auto kind = [&](int i) { return i == 0 ? kNoKind : static_cast<std::uint8_t>(nodes[i]->Rec().Kind); };
    auto rec = [&](int i) -> const TConfigNodeRec& { return nodes[i]->Rec(); };

    // Scopes: the owner when names are unique per station (GetOwnerNode), else the parent.
    std::vector<int> scope(count, -1), serverAbove(count, -1), stationAbove(count, -1);
    std::vector<char> usedScope(count, 0);
    for (int i = 1; i < count; ++i) {
        const int p = parent[i];
        if (p > 0) {
            serverAbove[i] = kind(p) == nkServer ? p : serverAbove[p];
            stationAbove[i] = kind(p) == nkStation ? p : stationAbove[p];
        }
        int owner = -1;
        switch (kind(i)) {
        case nkStation:
            owner = serverAbove[i];
            break;
        case nkVariable:
        case nkFolder:
            owner = stationAbove[i];
            break;
        case nkModem:
            break;
        default:
            continue;
        }
        scope[i] = perStation && owner >= 0 ? owner : p;
        usedScope[scope[i]] = 1;
    }

    // Names by rank: equal ranks for names the locale comparison holds equal.
    std::vector<int> nameRank(count, -1);
    int timeStampRank;
    {
        std::unordered_map<std::string_view, int> distinct;
        std::vector<std::string_view> names;
        std::vector<int> nameId(count, -1);
        auto idOf = [&](std::string_view name) {
            const auto [it, added] = distinct.try_emplace(name, static_cast<int>(names.size()));
            if (added)
                names.push_back(name);
            return it->second;
        };
        for (int i = 1; i < count; ++i)
            nameId[i] = idOf(rec(i).Name);
        const int timeStampId = idOf(vx::kTimeStampVariableName);
        std::vector<plat::TextSortKey> keys;
        keys.reserve(names.size());
        for (const auto& name : names)
            keys.push_back(plat::textSortKeyLocale(name));
        std::vector<int> order(names.size());
        for (std::size_t k = 0; k < order.size(); ++k)
            order[k] = static_cast<int>(k);
        std::sort(order.begin(), order.end(), [&](int a, int b) { return keys[a] < keys[b]; });
        std::vector<int> rankOf(names.size());
        int rank = 0;
        for (std::size_t k = 0; k < order.size(); ++k) {
            if (k > 0 && keys[order[k - 1]] < keys[order[k]])
                ++rank;
            rankOf[order[k]] = rank;
        }
        for (int i = 1; i < count; ++i)
            nameRank[i] = rankOf[nameId[i]];
        timeStampRank = rankOf[timeStampId];
    }

    // The indexes: one entry per scope a node is a member of and per way it can conflict.
    enum Index : int { ixName, ixSerialAddress, ixUdpAddress, ixModemPort, ixSerialPort };
    struct Entry {
        int scope;
        int index;
        std::int64_t a, b;
        int node;  // in tree order
    };
    auto keyOf = [](const Entry& e) { return std::tie(e.scope, e.index, e.a, e.b, e.node); };
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(count) * 2);
    std::unordered_map<std::string_view, int> ipIds;
    for (int i = 1; i < count; ++i) {
        const TConfigNodeRec& r = rec(i);
        int ip = -1;
        if (r.Kind == nkStation && r.ConnectionType == vx::ctUdp)
            ip = ipIds.try_emplace(r.IpAddress, static_cast<int>(ipIds.size())).first->second;
        for (int s = parent[i];; s = parent[s]) {
            if (usedScope[s]) {
                entries.push_back({s, ixName, nameRank[i], 0, i});
                if (r.Kind == nkStation && r.ConnectionType == vx::ctSerial) {
                    entries.push_back({s, ixSerialAddress, r.BusAddress & 0xFF, r.ComPort, i});
                    entries.push_back({s, ixSerialPort, r.ComPort, 0, i});
                } else if (ip >= 0) {
                    entries.push_back({s, ixUdpAddress, ip, 0, i});
                } else if (r.Kind == nkModem) {
                    entries.push_back({s, ixModemPort, r.ComPort, 0, i});
                }
            }
            if (!perStation || s == 0 || kind(s) != nkFolder)
                break;
        }
    }
    std::sort(entries.begin(), entries.end(), [&](const Entry& x, const Entry& y) { return keyOf(x) < keyOf(y); });

    // The first member of scope s in index ix under (a, b) that is not node self.
    auto firstOther = [&](int s, int ix, std::int64_t a, std::int64_t b, int self) -> const Entry* {
        const Entry probe{s, ix, a, b, 0};
        auto it = std::lower_bound(entries.begin(), entries.end(), probe,
                                   [&](const Entry& x, const Entry& y) { return keyOf(x) < keyOf(y); });
        for (; it != entries.end() && it->scope == s && it->index == ix && it->a == a && it->b == b; ++it)
            if (it->node != self)
                return &*it;
        return nullptr;
    };

    std::vector<TNodeConflict> result;
    for (int i = 1; i < count; ++i) {
        const TConfigNodeRec& r = rec(i);
        int code = ccNone;
        if (r.Kind == nkServer) {
            code = r.Name == kServerNodeName ? ccNone : ccServerName;
        } else if (scope[i] >= 0) {
            const int s = scope[i];
            const Entry* first = firstOther(s, ixName, nameRank[i], 0, i);
            auto consider = [&](const Entry* e) {
                if (e && (!first || e->node < first->node))
                    first = e;
            };
            if (r.Kind == nkStation && r.ConnectionType == vx::ctSerial) {
                consider(firstOther(s, ixSerialAddress, r.BusAddress & 0xFF, r.ComPort, i));
                consider(firstOther(s, ixModemPort, r.ComPort, 0, i));
            } else if (r.Kind == nkStation && r.ConnectionType == vx::ctUdp) {
                consider(firstOther(s, ixUdpAddress, ipIds.at(r.IpAddress), 0, i));
            } else if (r.Kind == nkModem) {
                consider(firstOther(s, ixModemPort, r.ComPort, 0, i));
                consider(firstOther(s, ixSerialPort, r.ComPort, 0, i));
            }
            if (first) {
                const int e = first->node;
                code = ChildConflict(r, rec(e), [&] { return nameRank[i] == nameRank[e]; });
            }
            if (r.Kind == nkVariable) {
                if (code == ccNone && s > 0 && kind(s) == nkStation && nameRank[i] == timeStampRank)
                    code = ccVariableName;
                if (IsPropertyName(r.Name))
                    code = ccReservedName;
            }
        }
        if (!CheckInitialValue(r))
            code = ccInitialValue;
        if (code != ccNone)
            result.push_back({nodes[i], code});
    }
    return result;
}

std::size_t LogTreeConflicts(const TConfigTree& tree, std::size_t shown)
{
    const auto conflicts = CheckWholeTree(tree);
    for (std::size_t k = 0; k < conflicts.size() && k < shown; ++k) {
        const TConfigNodeRec& r = conflicts[k].Node->Rec();
        std::string text = ConflictText(r, conflicts[k].Code);
        if (text.empty())
            text = "'" + r.Name + "'";
        qCWarning(lcValidate, "conflict %d: %s", conflicts[k].Code, text.c_str());
    }
    if (!conflicts.empty())
        qCWarning(lcValidate, "%zu nodes in conflict", conflicts.size());
    return conflicts.size();
}

void CheckLoadedTree(TConfigEditor& editor)
{
    LogTreeConflicts(editor.Tree());
}

// --- The editor's validator ---

int TConfigValidation::ValidateNode(TConfigNode& node, bool repair)
{
    const std::uint8_t valid = node.Rec().Valid;
    const int code = vos::ValidateNode(node, repair);
    if ((repair || node.Rec().Valid != valid) && editor_.Tree().Owns(&node))
        editor_.Tree().NotifyChanged(&node);
    return code;
}

bool TConfigValidation::ValidateChangeList()
{
    while (!editor_.ChangeList().empty()) {
        TConfigNode* node = editor_.ChangeList().back();
        const int code = ValidateNode(*node, false);
        if (code == ccNone) {
            editor_.RemoveFromChangeList(node);
            continue;
        }
        lastReport_ = TConflictReport{node, code, ConflictText(node->Rec(), code), ConflictControl(code)};
        if (handler_)
            handler_(*lastReport_);
        return false;
    }
    lastReport_.reset();
    return true;
}

}  // namespace vos

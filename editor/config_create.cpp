// Node creation: the valid parent, defaults and default names, the generated service items
// of stations and modems, and the new-object command.
#include <array>
#include <limits>

#include "comm/vx_lang.h"
#include "comm/vx_variable.h"
#include "config_editor.h"
#include "config_settings.h"

namespace vos {

namespace {

// Catalogue words of the default names.
constexpr std::int32_t kStationWordId = 0;
constexpr std::int32_t kFolderWordId = 1;
constexpr std::int32_t kVariableWordId = 2;
constexpr std::int32_t kModemWordId = 5;
constexpr std::int32_t kServiceFolderTextId = 20;

constexpr std::int32_t kZoneS = 2;

struct ServiceItem {
    const char* name;
    std::int32_t code;
    std::int32_t zone;
    std::int32_t address;
    std::int32_t varType;
    const char* initialValue;
    std::int32_t commentId;
};

// A station's generated items, in the order they are created.
constexpr std::array<ServiceItem, 16> kStationServiceItems = {{
    {"SYS_DateTime", vx::vkDateTime, kZoneS, 5, VT_DATE, "", 300},
    {"DRW_Zone", vx::vkDrwZone, 0, 0, VT_I4, "", 306},
    {"DRW_Address", vx::vkDrwAddress, 0, 0, VT_I4, "", 301},
    {"DRW_Length", vx::vkDrwLength, 0, 0, VT_I4, "", 302},
    {"DRW_Control", vx::vkDrwControl, 0, 0, VT_I4, "", 303},
    {"DRW_Status", vx::vkDrwStatus, 0, 0, VT_I4, "", 304},
    {"DRW_DataBuffer", vx::vkDrwDataBuffer, 0, 0, VT_ARRAY | VT_UI1, "", 305},
    {"CON_Control", vx::vkConControl, 0, 0, VT_I4, "1", 311},
    {"REM_DialNum", vx::vkPhoneNumber, 0, 0, VT_BSTR, "", 310},
    {"REM_Status", vx::vkDialState, 0, 0, VT_I4, "", 312},
    {"REM_StatusStr", vx::vkDialStateText, 0, 0, VT_BSTR, "", 313},
    {"REM_LastStatus", vx::vkCallResult, 0, 0, VT_I4, "", 314},
    {"REM_LastStatusStr", vx::vkCallResultText, 0, 0, VT_BSTR, "", 315},
    {"REM_LastExtStatus", vx::vkModemError, 0, 0, VT_I4, "", 316},
    {"REM_LastExtStatusStr", vx::vkModemErrorText, 0, 0, VT_BSTR, "", 317},
    {"REM_ModemType", vx::vkModemNumber, 0, 0, VT_I4, "", 319},
}};

constexpr std::array<ServiceItem, 2> kModemServiceItems = {{
    {"Status", vx::vkModStatus, 0, 0, VT_I4, "", 312},
    {"ModemType", vx::vkModModemType, 0, 0, VT_I4, "", 319},
}};

// The next default-name number. A loaded file may have set the counter to the largest
// number there is: it then stays, and validation repairs the name.
std::int32_t NextNumber(std::int32_t& counter)
{
    if (counter < std::numeric_limits<std::int32_t>::max())
        ++counter;
    return counter;
}

void NameByCounter(TConfigNodeRec& rec, std::int32_t& counter, std::int32_t wordId)
{
    rec.Ordinal = NextNumber(counter);
    rec.Name = vx::GetLangText(wordId) + std::to_string(rec.Ordinal);
}

}  // namespace

TConfigNode* TConfigEditor::ValidateParentNode(TConfigNodeKind kind, TConfigNode* parent) const
{
    switch (kind) {
    case nkServer:
        return const_cast<TConfigNode*>(tree_.Root());
    case nkStation:
    case nkModem: {
        auto* server = tree_.First();
        return server && server->Rec().Kind == nkServer ? server : nullptr;
    }
    case nkVariable:
    case nkFolder:
        if (!tree_.Owns(parent))
            return nullptr;
        // A variable holds nothing: the new node goes beside it. A pasted tree may have
        // variables under variables, so climb past all of them.
        while (!parent->IsRoot() && parent->Rec().Kind == nkVariable)
            parent = parent->Parent();
        if (parent->IsRoot() || parent->Rec().Kind == nkServer)
            return nullptr;
        return parent;
    default:
        return tree_.Owns(parent) ? parent : nullptr;
    }
}

TConfigNode* TConfigEditor::CreateNode(TConfigNodeKind kind, TConfigNode* parent)
{
    parent = ValidateParentNode(kind, parent);
    if (!parent || parent->Depth() >= kMaxTreeDepth)
        return nullptr;
    TUpdateLockScope lock(*this);
    auto rec = TConfigNodeRec::WithDefaults(kind);
    switch (kind) {
    case nkStation:
        NameByCounter(rec, StationCounter, kStationWordId);
        break;
    case nkVariable:
        NameByCounter(rec, VariableCounter, kVariableWordId);
        break;
    case nkFolder:
        NameByCounter(rec, FolderCounter, kFolderWordId);
        break;
    case nkModem:
        NameByCounter(rec, ModemCounter, kModemWordId);
        break;
    default:
        break;
    }
    auto* node = tree_.AddChild(parent, std::move(rec));
    if (node && validator_) {
        validator_->ValidateNode(*node, true);
        tree_.NotifyChanged(node);
    }
    return node;
}

TConfigNode* TConfigEditor::CreateServiceItem(TConfigNode* parent, const std::string& name,
                                              const std::string& initialValue, bool editable,
                                              std::int32_t serviceCode, std::int32_t address, std::int32_t zone,
                                              std::int32_t varType, const std::string& comment)
{
    auto* node = CreateNode(nkVariable, parent);
    if (!node)
        return nullptr;
    auto& rec = node->Rec();
    rec.Name = name;
    rec.Comment = comment;
    rec.VarType = varType;
    rec.Zone = zone;
    rec.Address = address;
    rec.Editable = editable ? 1 : 0;
    rec.ServiceCode = serviceCode;
    rec.InitialValue = initialValue;
    tree_.NotifyChanged(node);
    return node;
}

void TConfigEditor::CreateStationServiceItems(TConfigNode* station)
{
    auto* folder = CreateNode(nkFolder, station);
    if (!folder)
        return;
    folder->Rec().Name = vx::GetLangText(kServiceFolderTextId);
    folder->Rec().Editable = 0;
    tree_.NotifyChanged(folder);
    for (const auto& item : kStationServiceItems)
        CreateServiceItem(folder, item.name, item.initialValue, false, item.code, item.address, item.zone,
                          item.varType, vx::GetLangText(item.commentId));
}

void TConfigEditor::CreateModemServiceItems(TConfigNode* modem)
{
    for (const auto& item : kModemServiceItems)
        CreateServiceItem(modem, item.name, item.initialValue, false, item.code, item.address, item.zone,
                          item.varType, vx::GetLangText(item.commentId));
}

TConfigNode* TConfigEditor::NewObjectExecute(int tag, TConfigNode* target)
{
    if (validator_ && !validator_->ValidateChangeList())
        return nullptr;
    if (!target)
        return nullptr;
    TConfigNodeKind kind;
    switch (tag) {
    case ntStation:
        kind = nkStation;
        break;
    case ntVariable:
        kind = nkVariable;
        break;
    case ntFolder:
        kind = nkFolder;
        break;
    case ntModem:
        kind = nkModem;
        break;
    default:
        return nullptr;
    }
    auto* node = CreateNode(kind, target);
    if (!node)
        return nullptr;  // nothing changed, so nothing to save or register
    if (kind == nkStation)
        CreateStationServiceItems(node);
    else if (kind == nkModem)
        CreateModemServiceItems(node);
    SetChanged(true);
    return node;
}

}  // namespace vos

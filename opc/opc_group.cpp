// The group's item and state management, lookups, cloning and tear-down.
#include "opc_group.h"

#include <algorithm>
#include <ctime>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "comm/vx_variable.h"
#include "opc_arrays.h"
#include "opc_enums.h"
#include "opc_globals.h"
#include "opc_server.h"
#include "platform/clock.h"
#include "platform/com/alloc.h"
#include "platform/com/enums.h"
#include "platform/text.h"

namespace opc {

namespace {

std::string toUtf8(LPCWSTR text) { return text ? plat::utf16ToUtf8(text) : std::string(); }

// The system time zone's bias in minutes: UTC = local time + bias.
LONG systemTimeBias()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return static_cast<LONG>(-local.tm_gmtoff / 60);
}

// Re-rates each distinct variable once.
template <class Rerate>
void rerateEach(std::vector<vx::TVariable*>& variables, Rerate rerate)
{
    std::sort(variables.begin(), variables.end());
    variables.erase(std::unique(variables.begin(), variables.end()), variables.end());
    OPCLockGuard lock(OPCLock);
    if (!OPCRegistry)
        return;
    for (vx::TVariable* v : variables)
        rerate(*OPCRegistry, v);
}

}  // namespace

TOPCGroup::TOPCGroup(TDA2* server, std::vector<TOPCGroup*>* ownerList) : Server(server), OwnerList(ownerList)
{
    dataCallbackPoint_ = &addConnectionPoint(IID_IOPCDataCallback, com::ConnectionLimit::multiple,
                                             [this](IUnknown* sink, bool connected) { DataCallbackConnect(sink, connected); });
}

TOPCGroup::~TOPCGroup() { TearDown(); }

void TOPCGroup::Init(const std::string& name, bool active, OPCHANDLE serverHandle, LCID lcid, FLOAT deadband,
                     OPCHANDLE clientHandle, DWORD requestedRate)
{
    Name = name;
    Active = active;
    ServerHandle = serverHandle;
    LocaleID = lcid;
    PercentDeadband = deadband;
    ClientHandle = clientHandle;
    SetUpdateRate(requestedRate);
    if (Server)
        Server->LastUpdateTime = plat::clock().now();
    Enabled = true;
    LastUpdate = 0;
}

DWORD TOPCGroup::SetUpdateRate(DWORD requested)
{
    UpdateRate = requested > 2 ? requested : 2;
    return UpdateRate;
}

void TOPCGroup::SetTimeBias(const LONG* bias) { TimeBias = bias ? *bias : systemTimeBias(); }

bool TOPCGroup::FindItemByHandle(OPCHANDLE handle, std::int32_t& pos)
{
    if (SortState != 2) {
        std::sort(Items.begin(), Items.end(), [](const auto& a, const auto& b) { return a->ServerHandle < b->ServerHandle; });
        SortState = 2;
    }
    auto it = std::lower_bound(Items.begin(), Items.end(), handle,
                               [](const auto& item, OPCHANDLE h) { return item->ServerHandle < h; });
    pos = static_cast<std::int32_t>(it - Items.begin());
    return it != Items.end() && (*it)->ServerHandle == handle;
}

bool TOPCGroup::FindItemByName(std::string_view itemID, std::int32_t& pos)
{
    if (SortState != 1) {
        std::sort(Items.begin(), Items.end(),
                  [](const auto& a, const auto& b) { return plat::compareTextLocale(a->ItemID, b->ItemID) < 0; });
        SortState = 1;
    }
    auto it = std::lower_bound(Items.begin(), Items.end(), itemID,
                               [](const auto& item, std::string_view id) { return plat::compareTextLocale(item->ItemID, id) < 0; });
    pos = static_cast<std::int32_t>(it - Items.begin());
    return it != Items.end() && plat::compareTextLocale((*it)->ItemID, itemID) == 0;
}

TOPCItem* TOPCGroup::ItemByHandle(OPCHANDLE handle)
{
    std::int32_t pos = 0;
    return FindItemByHandle(handle, pos) ? Items[pos].get() : nullptr;
}

bool TOPCGroup::Listed() const
{
    // A group leaves its server object's list only by being torn down: no search needed.
    return Server && OwnerList;
}

void TOPCGroup::CopyTo(TOPCGroup& target)
{
    target.DataCallback = nullptr;
    target.ServerHandle = target.Server->NextGroupHandle();
    target.ClientHandle = ClientHandle;
    target.UpdateRate = UpdateRate;
    target.LocaleID = LocaleID;
    target.TimeBias = TimeBias;
    target.PercentDeadband = PercentDeadband;
    target.LastUpdate = LastUpdate;
    target.Active = false;
    target.Items.reserve(Items.size());
    for (const auto& source : Items) {
        auto item = std::make_unique<TOPCItem>();
        item->CopyFrom(*source);
        item->Server = target.Server;
        item->Group = &target;
        target.Items.push_back(std::move(item));
    }
    target.SortState = 0;
}

void TOPCGroup::TearDown()
{
    if (!Server)
        return;
    // Marked gone before anything is freed: a sink or client released below may reach the
    // group again.
    std::vector<TOPCGroup*>* owner = std::exchange(OwnerList, nullptr);
    Server = nullptr;
    if (owner)
        std::erase(*owner, this);
    {
        OPCLockGuard lock(OPCLock);
        if (Announced && OPCRegistry)
            OPCRegistry->NotifyMonitor(meGroupRemoved, this);
        while (!Items.empty()) {
            vx::TVariable* v = Items.back()->GetVariable();
            Items.pop_back();  // monitor event 3, and the variable forgets the item
            if (v && OPCRegistry)
                OPCRegistry->SetStateAndFastestUpdateInterval(v);
        }
    }
    // Waiting transactions leave the variables' lists as they go.
    ReadyList.clear();
    WaitingList.clear();
    DataCallback = nullptr;
    ChangedItems.clear();
    ChangedItems.shrink_to_fit();
}

// --- IOPCItemMgt

namespace {

// The checks and allocations every per-handle method shares.
template <class PerItem>
HRESULT forEachHandle(TOPCGroup& group, DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors, PerItem perItem)
{
    if (group.TornDown())
        return E_FAIL;
    if (!ppErrors)
        return E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0 || dwCount > kMaxClientCount || !phServer)
        return E_INVALIDARG;
    TaskArray<HRESULT> errors(dwCount);
    if (!errors)
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        TOPCItem* item = group.ItemByHandle(phServer[i]);
        errors[i] = item ? perItem(*item, i) : OPC_E_INVALIDHANDLE;
        if (errors[i] != S_OK)
            result = S_FALSE;
    }
    *ppErrors = errors.release();
    return result;
}

// The result and error arrays of AddItems and ValidateItems.
struct ItemArrays {
    explicit ItemArrays(DWORD n) : results(n), errors(n) {}
    explicit operator bool() const { return results && errors; }
    TaskArray<OPCITEMRESULT> results;
    TaskArray<HRESULT> errors;
};

// The checks AddItems and ValidateItems share before anything is allocated.
HRESULT checkItemArgs(const TOPCGroup& group, DWORD dwCount, const OPCITEMDEF* pItemArray, OPCITEMRESULT** ppResults,
                      HRESULT** ppErrors)
{
    if (group.TornDown())
        return E_FAIL;
    if (!ppResults || !ppErrors)
        return E_POINTER;
    *ppResults = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || dwCount > kMaxClientCount || !pItemArray)
        return E_INVALIDARG;
    return S_OK;
}

}  // namespace

HRESULT TOPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors)
{
    if (const HRESULT hr = checkItemArgs(*this, dwCount, pItemArray, ppAddResults, ppErrors); hr != S_OK)
        return hr;
    ItemArrays out(dwCount);
    if (!out)
        return E_OUTOFMEMORY;
    const std::size_t before = Items.size();
    HRESULT result = S_OK;
    std::vector<vx::TVariable*> bound;
    // Appending breaks any order the lookups had.
    SortState = 0;
    try {
        Items.reserve(before + dwCount);
        for (DWORD i = 0; i < dwCount; ++i) {
            const OPCITEMDEF& def = pItemArray[i];
            const std::string id = toUtf8(def.szItemID);
            std::int32_t propertyID = 0;
            const Titem* entry = id.empty() ? nullptr : FindItemByID(id, propertyID);
            HRESULT error = S_OK;
            if (id.empty())
                error = OPC_E_INVALIDITEMID;
            else if (!entry)
                error = OPC_E_UNKNOWNITEMID;
            else if (!IsVarTypeCompatible(entry->CanonicalType, def.vtRequestedDataType))
                error = OPC_E_BADTYPE;
            out.errors[i] = error;
            if (error != S_OK) {
                result = S_FALSE;
                continue;
            }
            auto item = std::make_unique<TOPCItem>();
            item->Server = Server;
            item->ClientHandle = def.hClient;
            item->CatalogueIndex = entry->Handle - kFirstCatalogueHandle;
            item->ItemID = id;
            item->Blob = def.pBlob;
            item->Group = this;
            item->Active = def.bActive != 0;
            item->PropertyID = propertyID;
            if (propertyID != pidValue) {
                item->AccessRights = OPC_READABLE;
                item->CanonicalType = GetItemPropertyVarType(propertyID);
            } else {
                item->AccessRights = GetAccessRights(*entry);
                item->CanonicalType = entry->CanonicalType;
            }
            item->SetRequestedType(def.vtRequestedDataType);
            // The handle last: a failed item consumes none.
            item->ServerHandle = NextItemHandle();
            TOPCItem& added = *item;
            Items.push_back(std::move(item));
            if (entry->Variable) {
                added.SetVariable(entry->Variable);
                bound.push_back(entry->Variable);
            }
            OPCITEMRESULT& r = out.results[i];
            r.hServer = added.ServerHandle;
            r.vtCanonicalDataType = added.CanonicalType;
            r.dwAccessRights = added.AccessRights;
            RaiseMonitorEvent(meItemAdded, &added);
        }
    } catch (const std::bad_alloc&) {
        // Nothing of a failed call stays: the client got no handles for these items.
        while (Items.size() > before)
            Items.pop_back();
        rerateEach(bound, [](TServer& r, vx::TVariable* v) { r.RerateVariable(v); });
        return E_OUTOFMEMORY;
    }
    // A variable is polled when any active item of an active group uses it, so an inactive
    // item added here does not switch polling off for other clients.
    rerateEach(bound, [](TServer& r, vx::TVariable* v) { r.RerateVariable(v); });
    *ppAddResults = out.results.release();
    *ppErrors = out.errors.release();
    return result;
}

HRESULT TOPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL, OPCITEMRESULT** ppValidationResults,
                                 HRESULT** ppErrors)
{
    if (const HRESULT hr = checkItemArgs(*this, dwCount, pItemArray, ppValidationResults, ppErrors); hr != S_OK)
        return hr;
    ItemArrays out(dwCount);
    if (!out)
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    try {
        for (DWORD i = 0; i < dwCount; ++i) {
            const OPCITEMDEF& def = pItemArray[i];
            std::int32_t propertyID = 0;
            const Titem* entry = FindItemByID(toUtf8(def.szItemID), propertyID);
            HRESULT error = S_OK;
            if (!entry)
                error = OPC_E_INVALIDITEMID;
            else if (def.vtRequestedDataType == VT_UNKNOWN || !IsSupportedVarType(def.vtRequestedDataType))
                error = OPC_E_BADTYPE;
            out.errors[i] = error;
            if (error != S_OK) {
                result = S_FALSE;
                continue;
            }
            out.results[i].vtCanonicalDataType = entry->CanonicalType;
            out.results[i].dwAccessRights = GetAccessRights(*entry);
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *ppValidationResults = out.results.release();
    *ppErrors = out.errors.release();
    return result;
}

HRESULT TOPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    std::vector<vx::TVariable*> noted;
    const HRESULT hr = com::orOutOfMemory([&] {
        noted.reserve(std::min<DWORD>(dwCount, kMaxClientCount));
        return forEachHandle(*this, dwCount, phServer, ppErrors, [&](TOPCItem& item, DWORD) {
            if (vx::TVariable* v = item.GetVariable())
                noted.push_back(v);
            std::int32_t pos = 0;
            FindItemByHandle(item.ServerHandle, pos);
            Items.erase(Items.begin() + pos);  // monitor event 3
            return S_OK;
        });
    });
    if (FAILED(hr))
        return hr;
    rerateEach(noted, [](TServer& r, vx::TVariable* v) { r.SetStateAndFastestUpdateInterval(v); });
    Update(true, plat::clock().now());
    return hr;
}

HRESULT TOPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors)
{
    std::vector<vx::TVariable*> changed;
    const HRESULT hr = com::orOutOfMemory([&] {
        return forEachHandle(*this, dwCount, phServer, ppErrors, [&](TOPCItem& item, DWORD) {
            item.SetActive(bActive != 0);
            if (vx::TVariable* v = item.GetVariable())
                changed.push_back(v);
            return S_OK;
        });
    });
    if (FAILED(hr))
        return hr;
    // Activation decides whether the variable is polled at all.
    rerateEach(changed, [](TServer& r, vx::TVariable* v) { r.RerateVariable(v); });
    return hr;
}

HRESULT TOPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors)
{
    if (!phClient && !TornDown() && ppErrors) {
        *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return forEachHandle(*this, dwCount, phServer, ppErrors, [&](TOPCItem& item, DWORD i) {
        item.SetClientHandle(phClient[i]);
        return S_OK;
    });
}

HRESULT TOPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors)
{
    if (!pRequestedDatatypes && !TornDown() && ppErrors) {
        *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return forEachHandle(*this, dwCount, phServer, ppErrors, [&](TOPCItem& item, DWORD i) {
        if (!IsSupportedVarType(pRequestedDatatypes[i]))
            return OPC_E_BADTYPE;
        item.SetRequestedType(pRequestedDatatypes[i]);
        return S_OK;
    });
}

HRESULT TOPCGroup::CreateEnumerator(REFIID riid, IUnknown** ppUnk)
{
    if (TornDown())
        return E_FAIL;
    if (!ppUnk)
        return E_POINTER;
    *ppUnk = nullptr;
    if (Items.empty())
        return S_FALSE;
    return com::orOutOfMemory([&] {
        std::vector<TOPCItemAttributes> records(Items.size());
        for (std::size_t i = 0; i < Items.size(); ++i)
            Items[i]->FillAttributes(records[i]);
        auto enumerator = com::makeCom<TOPCItemAttEnumerator>(std::move(records));
        return SUCCEEDED(enumerator->QueryInterface(riid, reinterpret_cast<void**>(ppUnk))) ? S_OK : E_NOINTERFACE;
    });
}

// --- IOPCGroupStateMgt

HRESULT TOPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband,
                            DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup)
{
    if (TornDown())
        return E_FAIL;
    if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID || !phClientGroup || !phServerGroup)
        return E_POINTER;
    *ppName = com::taskString(plat::utf8ToUtf16(Name));
    if (!*ppName)
        return E_OUTOFMEMORY;
    *pUpdateRate = UpdateRate;
    *pActive = Active ? TRUE : FALSE;
    *pTimeBias = TimeBias;
    *pPercentDeadband = PercentDeadband;
    *pLCID = LocaleID;
    *phClientGroup = ClientHandle;
    *phServerGroup = ServerHandle;
    return S_OK;
}

HRESULT TOPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup)
{
    if (TornDown())
        return E_FAIL;
    HRESULT result = S_OK;
    if (pRequestedUpdateRate && SetUpdateRate(*pRequestedUpdateRate) != *pRequestedUpdateRate)
        result = OPC_S_UNSUPPORTEDRATE;
    if (pActive)
        Active = *pActive != 0;
    if (pTimeBias)
        TimeBias = *pTimeBias;
    if (pPercentDeadband)
        PercentDeadband = *pPercentDeadband;
    if (pLCID)
        LocaleID = *pLCID;
    if (phClientGroup)
        ClientHandle = *phClientGroup;
    if (pRevisedUpdateRate)
        *pRevisedUpdateRate = UpdateRate;
    return com::orOutOfMemory([&] {
        {
            OPCLockGuard lock(OPCLock);
            if (!OPCRegistry)
                return result;
            OPCRegistry->NotifyMonitor(meGroupState, this);
            std::vector<vx::TVariable*> variables;
            variables.reserve(Items.size());
            for (const auto& item : Items)
                if (vx::TVariable* v = item->GetVariable())
                    variables.push_back(v);
            rerateEach(variables, [](TServer& r, vx::TVariable* v) { r.SetStateAndFastestUpdateInterval(v); });
        }
        Update(true, plat::clock().now());
        return result;
    });
}

HRESULT TOPCGroup::SetName(LPCWSTR szName)
{
    if (TornDown())
        return E_FAIL;
    return com::orOutOfMemory([&] {
        const std::string name = toUtf8(szName);
        if (name.empty())
            return E_INVALIDARG;
        if (TDA2::FindGroupIndexByName(Server->Groups, name) >= 0)
            return OPC_E_DUPLICATENAME;
        if (PendingRemoval)
            return E_FAIL;
        Name = name;
        return S_OK;
    });
}

HRESULT TOPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk)
{
    if (TornDown())
        return E_FAIL;
    if (!ppUnk)
        return E_POINTER;
    *ppUnk = nullptr;
    if (riid != IID_IOPCGroupStateMgt && riid != IID_IUnknown)
        return E_NOINTERFACE;
    return com::orOutOfMemory([&] {
        std::string name = toUtf8(szName);
        if (!name.empty() && Server->GroupNameExists(name))
            return OPC_E_DUPLICATENAME;
        if (name.empty()) {
            // Unnamed clones are numbered as unnamed groups are.
            name = Server->NewGroupName();
            if (name.empty())
                return E_FAIL;
        }
        return Server->CreateClonedGroup(name, *this, riid, ppUnk);
    });
}

}  // namespace opc

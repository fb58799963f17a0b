#include "opc_server.h"

#include <algorithm>
#include <string>

#include "comm/vx_def.h"
#include "opc_enums.h"
#include "opc_globals.h"
#include "opc_group.h"
#include "platform/clock.h"
#include "platform/com/alloc.h"
#include "platform/com/filetime.h"
#include "platform/text.h"

namespace opc {

namespace {

OPCHANDLE lastItemHandle = 1;

std::string textOf(LPCWSTR s) { return s ? plat::utf16ToUtf8(s) : std::string(); }

// Tears every group of list down, the last first. A group leaves the list before its
// teardown, so nothing it does on the way (a sink released, a callback into the client) can
// find it there again.
void tearDownGroups(std::vector<TOPCGroup*>& list)
{
    while (!list.empty()) {
        TOPCGroup* group = list.back();
        list.pop_back();
        // A group whose count is 0 is being destroyed further up the stack: taking a
        // reference would free it twice.
        com::ComPtr<TOPCGroup> hold = group->refCount() > 0 ? com::ComPtr<TOPCGroup>(group) : nullptr;
        group->TearDown();
    }
}

}  // namespace

OPCHANDLE NextItemHandle() { return ++lastItemHandle; }

TSelectionFilter ParseBrowseFilter(std::string_view filter)
{
    while (!filter.empty() && static_cast<unsigned char>(filter.front()) <= 32)
        filter.remove_prefix(1);
    while (!filter.empty() && static_cast<unsigned char>(filter.back()) <= 32)
        filter.remove_suffix(1);

    TSelectionFilter f;
    f.MatchAll = filter.empty() || filter.front() == '*';
    // Positions count the characters of the client's wide text, as "?" and "#" stand for one.
    std::u16string text = plat::utf8ToUtf16(filter);
    const std::size_t star = text.find(u'*');
    if (star != std::u16string::npos && star > 0) {
        f.HasStar = true;
        f.PrefixLength = static_cast<std::int32_t>(star);
        text.resize(star);
    }
    f.Pattern = plat::utf16ToUtf8(text);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'?') {
            f.QuestionPositions.push_back(static_cast<std::int32_t>(i + 1));
            f.HasQuestion = true;
        } else if (text[i] == u'#') {
            f.HashPositions.push_back(static_cast<std::int32_t>(i + 1));
            f.HasHash = true;
        }
    }
    return f;
}

bool BrowseFilterMatches(const TSelectionFilter& filter, std::string_view itemID)
{
    if (filter.MatchAll)
        return true;
    std::u16string id = plat::utf8ToUtf16(itemID);
    if (filter.HasStar && id.size() > static_cast<std::size_t>(filter.PrefixLength))
        id.resize(static_cast<std::size_t>(filter.PrefixLength));
    for (const std::int32_t pos : filter.QuestionPositions) {
        if (static_cast<std::size_t>(pos) > id.size())
            break;
        id[static_cast<std::size_t>(pos) - 1] = u'?';
    }
    for (const std::int32_t pos : filter.HashPositions) {
        if (static_cast<std::size_t>(pos) > id.size())
            break;
        char16_t& c = id[static_cast<std::size_t>(pos) - 1];
        if (c >= u'0' && c <= u'9')
            c = u'#';
    }
    return plat::compareTextLocale(plat::utf16ToUtf8(id), filter.Pattern) == 0;
}

TDA2::TDA2()
{
    shutdownPoint_ = &addConnectionPoint(IID_IOPCShutdown, com::ConnectionLimit::single,
                                         [this](IUnknown* sink, bool connected) { ShutdownConnect(sink, connected); });
    StartTime = plat::clock().now();
    LastUpdateTime = 0;
    LocaleID = LOCALE_SYSTEM_DEFAULT;
    LastGroupHandle = 1;
    OPCLockGuard lock(OPCLock);
    if (OPCRegistry) {
        OPCRegistry->Servers.push_back(this);
        OPCRegistry->NotifyMonitor(meServerCreated, this);
    }
}

TDA2::~TDA2()
{
    // No pulse may reach the groups while they are torn down.
    const bool pulse = PulseEnabled;
    PulseEnabled = false;
    if (!vx::ShuttingDown) {
        OPCLockGuard lock(OPCLock);
        if (OPCRegistry)
            OPCRegistry->NotifyMonitor(meServerDestroyed, this);
    }
    // Groups the client still holds live on empty; none may keep a pointer to this object.
    tearDownGroups(Groups);
    tearDownGroups(PublicGroups);
    {
        // Also at program end: the registry's destructor walks Servers.
        OPCLockGuard lock(OPCLock);
        if (OPCRegistry) {
            auto& servers = OPCRegistry->Servers;
            servers.erase(std::remove(servers.begin(), servers.end(), this), servers.end());
        }
    }
    PulseEnabled = pulse;
}

void TDA2::UpdateGroups(bool force, double time)
{
    // A client may release this object, or a group, from inside a callback.
    com::ComPtr<TDA2> self = refCount() > 0 ? com::ComPtr<TDA2>(this) : nullptr;
    LastUpdateTime = time;
    std::vector<com::ComPtr<TOPCGroup>> snapshot;
    snapshot.reserve(Groups.size() + PublicGroups.size());
    for (const auto* list : {&Groups, &PublicGroups})
        for (TOPCGroup* group : *list)
            if (group->refCount() > 0)
                snapshot.emplace_back(group);
    for (const auto& group : snapshot) {
        // Removed by a callback since the snapshot was taken, or let go by the client there
        // (only the snapshot holds it now).
        if (!group->Listed() || group->refCount() <= 1)
            continue;
        group->Update(force, time);
    }
}

std::int32_t TDA2::FindGroupIndex(const std::vector<TOPCGroup*>& list, OPCHANDLE handle)
{
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i]->ServerHandle == handle)
            return static_cast<std::int32_t>(i);
    return -1;
}

void TDA2::RemoveGroupByHandle(std::vector<TOPCGroup*>& list, OPCHANDLE handle)
{
    const std::int32_t i = FindGroupIndex(list, handle);
    if (i >= 0)
        list.erase(list.begin() + i);
}

std::int32_t TDA2::FindGroupIndexByName(const std::vector<TOPCGroup*>& list, std::string_view name)
{
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i]->Name == name)
            return static_cast<std::int32_t>(i);
    return -1;
}

bool TDA2::GroupNameExists(std::string_view name) const
{
    return FindGroupIndexByName(Groups, name) >= 0 || FindGroupIndexByName(PublicGroups, name) >= 0;
}

std::string TDA2::NewGroupName() const
{
    for (DWORD n = static_cast<DWORD>(Groups.size()) + 2; n < 65536; ++n) {
        std::string name = "Group_" + std::to_string(n);
        if (!GroupNameExists(name))
            return name;
    }
    return {};
}

HRESULT TDA2::CreateClonedGroup(const std::string& name, TOPCGroup& source, REFIID riid, IUnknown** ppUnk)
{
    if (!ppUnk)
        return E_POINTER;
    *ppUnk = nullptr;
    return com::orOutOfMemory([&] {
        auto group = com::makeCom<TOPCGroup>(this, &Groups);
        // The interface first: a clone that cannot be handed out leaves no trace.
        com::ComPtr<IUnknown> out;
        if (FAILED(group->QueryInterface(riid, out.putVoid())))
            return E_NOINTERFACE;
        Groups.push_back(group.get());
        group->Name = name;
        source.CopyTo(*group.get());
        *ppUnk = out.detach();
        return S_OK;
    });
}

std::int32_t TDA2::RegistryIndex() const
{
    OPCLockGuard lock(OPCLock);
    if (!OPCRegistry)
        return -1;
    const auto& servers = OPCRegistry->Servers;
    const auto it = std::find(servers.begin(), servers.end(), this);
    return it == servers.end() ? -1 : static_cast<std::int32_t>(it - servers.begin());
}

void TDA2::ShutdownConnect(IUnknown* sink, bool connecting)
{
    if (connecting)
        ShutdownSink = com::ComPtr<IUnknown>(sink);
    else if (ShutdownSink.get() == sink)
        ShutdownSink = nullptr;
}

// --- IOPCServer

HRESULT TDA2::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup, LONG* pTimeBias,
                       FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                       REFIID riid, IUnknown** ppUnk)
{
    if (ppUnk)
        *ppUnk = nullptr;
    if (!phServerGroup || !pRevisedUpdateRate || !ppUnk)
        return E_INVALIDARG;
    *phServerGroup = 0;
    *pRevisedUpdateRate = 0;
    return com::orOutOfMemory([&] {
        std::string name = textOf(szName);
        if (name.empty()) {
            name = NewGroupName();
            if (name.empty())
                return OPC_E_DUPLICATENAME;
        } else if (GroupNameExists(name)) {
            return OPC_E_DUPLICATENAME;
        }

        auto group = com::makeCom<TOPCGroup>(this, &Groups);
        // Before the group is listed: a refused interface leaves no group, handle or event.
        com::ComPtr<IUnknown> out;
        if (FAILED(group->QueryInterface(riid, out.putVoid())))
            return E_NOINTERFACE;
        Groups.push_back(group.get());
        const OPCHANDLE handle = NextGroupHandle();
        group->Init(name, bActive != FALSE, handle, dwLCID, pPercentDeadband ? *pPercentDeadband : 0.0f, hClientGroup,
                    dwRequestedUpdateRate);
        group->SetTimeBias(pTimeBias);
        *pRevisedUpdateRate = group->UpdateRate;
        {
            OPCLockGuard lock(OPCLock);
            if (OPCRegistry)
                OPCRegistry->NotifyMonitor(meGroupAdded, group.get());
            group->Announced = true;
        }
        *phServerGroup = handle;
        *ppUnk = out.detach();
        return group->UpdateRate != dwRequestedUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
    });
}

HRESULT TDA2::GetErrorString(HRESULT dwError, LCID, LPWSTR* ppString) { return GetErrorString(dwError, ppString); }

HRESULT TDA2::GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk)
{
    if (!ppUnk)
        return E_INVALIDARG;
    *ppUnk = nullptr;
    return com::orOutOfMemory([&] {
        const std::int32_t i = FindGroupIndexByName(Groups, textOf(szName));
        if (i < 0)
            return E_INVALIDARG;
        return Groups[static_cast<std::size_t>(i)]->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    });
}

HRESULT TDA2::GetStatus(OPCSERVERSTATUS** ppServerStatus)
{
    if (!ppServerStatus)
        return E_INVALIDARG;
    *ppServerStatus = nullptr;
    auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    if (!status)
        return E_OUTOFMEMORY;
    *status = {};
    status->szVendorInfo = com::taskString(kVendorInfo);
    if (!status->szVendorInfo) {
        CoTaskMemFree(status);
        return E_OUTOFMEMORY;
    }
    status->ftStartTime = DateTimeToFileTimeUTC(StartTime);
    status->ftLastUpdateTime = DateTimeToFileTimeUTC(LastUpdateTime);
    CoFileTimeNow(&status->ftCurrentTime);
    status->dwServerState = OPC_STATUS_RUNNING;
    status->dwGroupCount = static_cast<DWORD>(Groups.size() + PublicGroups.size());
    status->dwBandWidth = 100;
    std::uint16_t major = 1, minor = 0, build = 0;
    if (!vx::GetVersionNumbers(major, minor, build)) {
        major = 1;
        minor = 0;
        build = 0;
    }
    status->wMajorVersion = major;
    status->wMinorVersion = minor;
    status->wBuildNumber = build;
    *ppServerStatus = status;
    return S_OK;
}

HRESULT TDA2::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce)
{
    if (hServerGroup == 0)
        return E_INVALIDARG;
    const std::int32_t i = FindGroupIndex(Groups, hServerGroup);
    if (i < 0)
        return hServerGroup <= LastGroupHandle ? S_OK : E_INVALIDARG;
    TOPCGroup* group = Groups[static_cast<std::size_t>(i)];
    // More than the reference AddGroup or CloneGroup gave: the client still uses it.
    if (group->refCount() > 1 && !bForce) {
        group->PendingRemoval = true;
        return OPC_S_INUSE;
    }
    // Torn down now rather than at its last release: it gets no pulse and no callback from
    // here on, its variables are re-rated without it, and it keeps no pointer to this object,
    // which may go first.
    Groups.erase(Groups.begin() + i);
    com::ComPtr<TOPCGroup> hold(group);
    group->TearDown();
    return S_OK;
}

HRESULT TDA2::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk)
{
    if (!ppUnk)
        return E_POINTER;
    *ppUnk = nullptr;
    if (riid != IID_IEnumString && riid != IID_IEnumUnknown)
        return E_NOINTERFACE;
    bool own = false;
    bool pub = false;
    switch (dwScope) {
    case OPC_ENUM_PRIVATE_CONNECTIONS:
    case OPC_ENUM_PRIVATE:
        own = true;
        break;
    case OPC_ENUM_PUBLIC_CONNECTIONS:
    case OPC_ENUM_PUBLIC:
        pub = true;
        break;
    case OPC_ENUM_ALL_CONNECTIONS:
    case OPC_ENUM_ALL:
        own = pub = true;
        break;
    default:
        return E_INVALIDARG;
    }
    return com::orOutOfMemory([&] {
        std::vector<TOPCGroup*> chosen;
        if (own)
            chosen.insert(chosen.end(), Groups.begin(), Groups.end());
        if (pub)
            chosen.insert(chosen.end(), PublicGroups.begin(), PublicGroups.end());

        if (riid == IID_IEnumString) {
            std::vector<std::u16string> names;
            names.reserve(chosen.size());
            for (const TOPCGroup* group : chosen)
                names.push_back(plat::utf8ToUtf16(group->Name));
            const bool empty = names.empty();
            auto enumerator = com::makeCom<TOPCStringsEnumerator>(std::move(names));
            if (FAILED(enumerator->QueryInterface(riid, reinterpret_cast<void**>(ppUnk))))
                return E_NOINTERFACE;
            return empty ? S_FALSE : S_OK;
        }

        std::vector<com::ComPtr<IUnknown>> objects;
        objects.reserve(chosen.size());
        for (TOPCGroup* group : chosen)
            if (group->refCount() > 0)
                objects.emplace_back(group->unknown());
        if (objects.empty())
            return S_FALSE;
        auto enumerator = com::makeCom<TS3UnknownEnumerator>(std::move(objects));
        if (FAILED(enumerator->QueryInterface(riid, reinterpret_cast<void**>(ppUnk))))
            return E_NOINTERFACE;
        return S_OK;
    });
}

// --- IOPCCommon

HRESULT TDA2::SetLocaleID(LCID dwLcid)
{
    if (dwLcid != LOCALE_SYSTEM_DEFAULT && dwLcid != LOCALE_USER_DEFAULT)
        return E_INVALIDARG;
    LocaleID = dwLcid;
    return S_OK;
}

HRESULT TDA2::GetLocaleID(LCID* pdwLcid)
{
    if (!pdwLcid)
        return E_POINTER;
    *pdwLcid = LocaleID;
    return S_OK;
}

HRESULT TDA2::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid)
{
    if (!pdwCount || !pdwLcid)
        return E_POINTER;
    *pdwCount = 0;
    *pdwLcid = nullptr;
    auto* ids = static_cast<LCID*>(CoTaskMemAlloc(2 * sizeof(LCID)));
    if (!ids)
        return E_OUTOFMEMORY;
    ids[0] = LOCALE_SYSTEM_DEFAULT;
    ids[1] = LOCALE_USER_DEFAULT;
    *pdwCount = 2;
    *pdwLcid = ids;
    return S_OK;
}

HRESULT TDA2::GetErrorString(HRESULT dwError, LPWSTR* ppString)
{
    if (!ppString)
        return E_POINTER;
    *ppString = nullptr;
    return com::orOutOfMemory([&] {
        *ppString = com::taskString(GetOPCErrorString(dwError));
        return *ppString ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT TDA2::SetClientName(LPCWSTR szName)
{
    return com::orOutOfMemory([&] {
        ClientName = textOf(szName);
        RaiseMonitorEvent(meClientName, this);
        return S_OK;
    });
}

// --- IOPCBrowseServerAddressSpace

HRESULT TDA2::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType)
{
    if (!pNameSpaceType)
        return E_POINTER;
    *pNameSpaceType = OPC_NS_FLAT;
    return S_OK;
}

HRESULT TDA2::ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) { return E_FAIL; }

HRESULT TDA2::BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                               DWORD dwAccessRightsFilter, IEnumString** ppIEnumString)
{
    if (!ppIEnumString)
        return E_POINTER;
    *ppIEnumString = nullptr;
    return com::orOutOfMemory([&] {
        const std::string criteria = textOf(szFilterCriteria);
        const bool byName = !criteria.empty();
        const TSelectionFilter filter = ParseBrowseFilter(criteria);
        std::vector<std::u16string> ids;
        {
            OPCLockGuard lock(OPCLock);
            if (OPCRegistry) {
                for (const Titem& entry : OPCRegistry->Items) {
                    if (byName && !BrowseFilterMatches(filter, entry.ItemID))
                        continue;
                    if (vtDataTypeFilter != VT_EMPTY && entry.CanonicalType != vtDataTypeFilter)
                        continue;
                    if (dwAccessRightsFilter != 0 && (GetAccessRights(entry) & dwAccessRightsFilter) == 0)
                        continue;
                    ids.push_back(plat::utf8ToUtf16(entry.ItemID));
                }
            }
        }
        const bool empty = ids.empty();
        auto enumerator = com::makeCom<TOPCStringsEnumerator>(std::move(ids));
        *ppIEnumString = enumerator.detach();
        return empty ? S_FALSE : S_OK;
    });
}

HRESULT TDA2::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID)
{
    if (!szItemID)
        return E_POINTER;
    *szItemID = nullptr;
    if (!szItemDataID)
        return E_INVALIDARG;
    return com::orOutOfMemory([&] {
        const std::u16string_view given(szItemDataID);
        if (!given.empty()) {
            OPCLockGuard lock(OPCLock);
            std::int32_t propertyID = 0;
            if (!OPCRegistry || !FindItemByID(plat::utf16ToUtf8(given), propertyID))
                return OPC_E_UNKNOWNITEMID;
        }
        // A copy of the client's own: the caller frees what it gets.
        *szItemID = com::taskString(given);
        return *szItemID ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT TDA2::BrowseAccessPaths(LPCWSTR, IEnumString** ppIEnumString)
{
    if (ppIEnumString)
        *ppIEnumString = nullptr;
    return E_NOTIMPL;
}

// --- IOPCItemProperties

HRESULT TDA2::QueryAvailableProperties(LPWSTR id, DWORD* c, DWORD** p, LPWSTR** d, VARTYPE** t)
{
    return ItemProps.QueryAvailableProperties(id, c, p, d, t);
}
HRESULT TDA2::GetItemProperties(LPWSTR id, DWORD c, DWORD* p, VARIANT** v, HRESULT** e)
{
    return ItemProps.GetItemProperties(id, c, p, v, e);
}
HRESULT TDA2::LookupItemIDs(LPWSTR id, DWORD c, DWORD* p, LPWSTR** n, HRESULT** e) { return ItemProps.LookupItemIDs(id, c, p, n, e); }

// --- IPersist, IPersistFile

HRESULT TDA2::GetClassID(CLSID*) { return S_FALSE; }
HRESULT TDA2::IsDirty() { return S_FALSE; }
HRESULT TDA2::Load(LPCOLESTR, DWORD) { return S_FALSE; }
HRESULT TDA2::Save(LPCOLESTR, BOOL) { return S_FALSE; }
HRESULT TDA2::SaveCompleted(LPCOLESTR) { return S_FALSE; }
HRESULT TDA2::GetCurFile(LPOLESTR* ppszFileName)
{
    if (ppszFileName)
        *ppszFileName = nullptr;
    return S_FALSE;
}

void* TDA2::queryBase(REFIID riid)
{
    if (riid == IID_IPersist)
        return static_cast<IPersist*>(static_cast<IPersistFile*>(this));
    if (riid == IID_IDispatch)
        return static_cast<IDispatch*>(static_cast<com::DispatchWithoutTypeInfo<IDA2>*>(this));
    return nullptr;
}

}  // namespace opc

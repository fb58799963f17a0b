// The tables and proxies of the OPC Data Access 2.0 interfaces: those a server object, a group
// and an item enumerator offer, and the two a client's sink offers the server.
#include "dbus_method.h"

namespace com::bus {

namespace {

// --- IOPCServer

using ServerAddGroup =
    Method<IOPCServer, "AddGroup", &IOPCServer::AddGroup, in, in, in, in, opt, opt, in, out, out, in, outInterface(9)>;
using ServerErrorString = Method<IOPCServer, "GetErrorString", &IOPCServer::GetErrorString, in, in, out>;
using ServerGroupByName = Method<IOPCServer, "GetGroupByName", &IOPCServer::GetGroupByName, in, in, outInterface(1)>;
using ServerStatus = Method<IOPCServer, "GetStatus", &IOPCServer::GetStatus, outRecord>;
using ServerRemoveGroup = Method<IOPCServer, "RemoveGroup", &IOPCServer::RemoveGroup, in, in>;
using ServerGroupEnum = Method<IOPCServer, "CreateGroupEnumerator", &IOPCServer::CreateGroupEnumerator, in, in, outInterface(1)>;

class ServerProxy final : public InterfaceProxy<IOPCServer> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE client, LONG* bias, FLOAT* deadband, DWORD lcid,
                     OPCHANDLE* server, DWORD* revised, REFIID riid, IUnknown** unk) override
    {
        return forward<ServerAddGroup>(name, active, rate, client, bias, deadband, lcid, server, revised, riid, unk);
    }
    HRESULT GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override
    {
        return forward<ServerErrorString>(error, locale, text);
    }
    HRESULT GetGroupByName(LPCWSTR name, REFIID riid, IUnknown** unk) override { return forward<ServerGroupByName>(name, riid, unk); }
    HRESULT GetStatus(OPCSERVERSTATUS** status) override { return forward<ServerStatus>(status); }
    HRESULT RemoveGroup(OPCHANDLE group, BOOL force) override { return forward<ServerRemoveGroup>(group, force); }
    HRESULT CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID riid, IUnknown** unk) override
    {
        return forward<ServerGroupEnum>(scope, riid, unk);
    }
};

// --- IOPCCommon

using CommonSetLocale = Method<IOPCCommon, "SetLocaleID", &IOPCCommon::SetLocaleID, in>;
using CommonGetLocale = Method<IOPCCommon, "GetLocaleID", &IOPCCommon::GetLocaleID, out>;
using CommonLocales = Method<IOPCCommon, "QueryAvailableLocaleIDs", &IOPCCommon::QueryAvailableLocaleIDs, out, outArray(0)>;
using CommonErrorString = Method<IOPCCommon, "GetErrorString", &IOPCCommon::GetErrorString, in, out>;
using CommonClientName = Method<IOPCCommon, "SetClientName", &IOPCCommon::SetClientName, in>;

class CommonProxy final : public InterfaceProxy<IOPCCommon> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT SetLocaleID(LCID lcid) override { return forward<CommonSetLocale>(lcid); }
    HRESULT GetLocaleID(LCID* lcid) override { return forward<CommonGetLocale>(lcid); }
    HRESULT QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override { return forward<CommonLocales>(count, lcids); }
    HRESULT GetErrorString(HRESULT error, LPWSTR* text) override { return forward<CommonErrorString>(error, text); }
    HRESULT SetClientName(LPCWSTR name) override { return forward<CommonClientName>(name); }
};

// --- IOPCBrowseServerAddressSpace

using BrowseOrganization = Method<IOPCBrowseServerAddressSpace, "QueryOrganization", &IOPCBrowseServerAddressSpace::QueryOrganization, out>;
using BrowsePosition =
    Method<IOPCBrowseServerAddressSpace, "ChangeBrowsePosition", &IOPCBrowseServerAddressSpace::ChangeBrowsePosition, in, in>;
using BrowseItemIDs =
    Method<IOPCBrowseServerAddressSpace, "BrowseOPCItemIDs", &IOPCBrowseServerAddressSpace::BrowseOPCItemIDs, in, in, in, in, out>;
using BrowseItemID = Method<IOPCBrowseServerAddressSpace, "GetItemID", &IOPCBrowseServerAddressSpace::GetItemID, in, out>;
using BrowsePaths = Method<IOPCBrowseServerAddressSpace, "BrowseAccessPaths", &IOPCBrowseServerAddressSpace::BrowseAccessPaths, in, out>;

class BrowseProxy final : public InterfaceProxy<IOPCBrowseServerAddressSpace> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT QueryOrganization(OPCNAMESPACETYPE* type) override { return forward<BrowseOrganization>(type); }
    HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR name) override { return forward<BrowsePosition>(direction, name); }
    HRESULT BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE vt, DWORD rights, IEnumString** e) override
    {
        return forward<BrowseItemIDs>(type, filter, vt, rights, e);
    }
    HRESULT GetItemID(LPWSTR dataID, LPWSTR* itemID) override { return forward<BrowseItemID>(dataID, itemID); }
    HRESULT BrowseAccessPaths(LPCWSTR itemID, IEnumString** e) override { return forward<BrowsePaths>(itemID, e); }
};

// --- IOPCItemProperties

using PropsAvailable = Method<IOPCItemProperties, "QueryAvailableProperties", &IOPCItemProperties::QueryAvailableProperties, in, out,
                              outArray(1), outArray(1), outArray(1)>;
using PropsGet =
    Method<IOPCItemProperties, "GetItemProperties", &IOPCItemProperties::GetItemProperties, in, in, inArray(1), outArray(1), outArray(1)>;
using PropsLookup =
    Method<IOPCItemProperties, "LookupItemIDs", &IOPCItemProperties::LookupItemIDs, in, in, inArray(1), outArray(1), outArray(1)>;

class PropertiesProxy final : public InterfaceProxy<IOPCItemProperties> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT QueryAvailableProperties(LPWSTR itemID, DWORD* count, DWORD** ids, LPWSTR** descriptions, VARTYPE** types) override
    {
        return forward<PropsAvailable>(itemID, count, ids, descriptions, types);
    }
    HRESULT GetItemProperties(LPWSTR itemID, DWORD count, DWORD* ids, VARIANT** data, HRESULT** errors) override
    {
        return forward<PropsGet>(itemID, count, ids, data, errors);
    }
    HRESULT LookupItemIDs(LPWSTR itemID, DWORD count, DWORD* ids, LPWSTR** newIDs, HRESULT** errors) override
    {
        return forward<PropsLookup>(itemID, count, ids, newIDs, errors);
    }
};

// --- IOPCItemMgt

using MgtAdd = Method<IOPCItemMgt, "AddItems", &IOPCItemMgt::AddItems, in, inArray(0), outArray(0), outArray(0)>;
using MgtValidate = Method<IOPCItemMgt, "ValidateItems", &IOPCItemMgt::ValidateItems, in, inArray(0), in, outArray(0), outArray(0)>;
using MgtRemove = Method<IOPCItemMgt, "RemoveItems", &IOPCItemMgt::RemoveItems, in, inArray(0), outArray(0)>;
using MgtActive = Method<IOPCItemMgt, "SetActiveState", &IOPCItemMgt::SetActiveState, in, inArray(0), in, outArray(0)>;
using MgtClients = Method<IOPCItemMgt, "SetClientHandles", &IOPCItemMgt::SetClientHandles, in, inArray(0), inArray(0), outArray(0)>;
using MgtTypes = Method<IOPCItemMgt, "SetDatatypes", &IOPCItemMgt::SetDatatypes, in, inArray(0), inArray(0), outArray(0)>;
using MgtEnum = Method<IOPCItemMgt, "CreateEnumerator", &IOPCItemMgt::CreateEnumerator, in, outInterface(0)>;

class ItemMgtProxy final : public InterfaceProxy<IOPCItemMgt> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override
    {
        return forward<MgtAdd>(count, items, results, errors);
    }
    HRESULT ValidateItems(DWORD count, OPCITEMDEF* items, BOOL blobUpdate, OPCITEMRESULT** results, HRESULT** errors) override
    {
        return forward<MgtValidate>(count, items, blobUpdate, results, errors);
    }
    HRESULT RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override { return forward<MgtRemove>(count, handles, errors); }
    HRESULT SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active, HRESULT** errors) override
    {
        return forward<MgtActive>(count, handles, active, errors);
    }
    HRESULT SetClientHandles(DWORD count, OPCHANDLE* handles, OPCHANDLE* clients, HRESULT** errors) override
    {
        return forward<MgtClients>(count, handles, clients, errors);
    }
    HRESULT SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types, HRESULT** errors) override
    {
        return forward<MgtTypes>(count, handles, types, errors);
    }
    HRESULT CreateEnumerator(REFIID riid, IUnknown** unk) override { return forward<MgtEnum>(riid, unk); }
};

// --- IOPCGroupStateMgt

using StateGet = Method<IOPCGroupStateMgt, "GetState", &IOPCGroupStateMgt::GetState, out, out, out, out, out, out, out, out>;
using StateSet = Method<IOPCGroupStateMgt, "SetState", &IOPCGroupStateMgt::SetState, opt, out, opt, opt, opt, opt, opt>;
using StateName = Method<IOPCGroupStateMgt, "SetName", &IOPCGroupStateMgt::SetName, in>;
using StateClone = Method<IOPCGroupStateMgt, "CloneGroup", &IOPCGroupStateMgt::CloneGroup, in, in, outInterface(1)>;

class StateProxy final : public InterfaceProxy<IOPCGroupStateMgt> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband, DWORD* lcid, OPCHANDLE* client,
                     OPCHANDLE* server) override
    {
        return forward<StateGet>(rate, active, name, bias, deadband, lcid, client, server);
    }
    HRESULT SetState(DWORD* rate, DWORD* revised, BOOL* active, LONG* bias, FLOAT* deadband, DWORD* lcid, OPCHANDLE* client) override
    {
        return forward<StateSet>(rate, revised, active, bias, deadband, lcid, client);
    }
    HRESULT SetName(LPCWSTR name) override { return forward<StateName>(name); }
    HRESULT CloneGroup(LPCWSTR name, REFIID riid, IUnknown** unk) override { return forward<StateClone>(name, riid, unk); }
};

// --- IOPCSyncIO, IOPCAsyncIO2

using SyncRead = Method<IOPCSyncIO, "Read", &IOPCSyncIO::Read, in, in, inArray(1), outArray(1), outArray(1)>;
using SyncWrite = Method<IOPCSyncIO, "Write", &IOPCSyncIO::Write, in, inArray(0), inArray(0), outArray(0)>;

class SyncProxy final : public InterfaceProxy<IOPCSyncIO> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** values, HRESULT** errors) override
    {
        return forward<SyncRead>(source, count, handles, values, errors);
    }
    HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override
    {
        return forward<SyncWrite>(count, handles, values, errors);
    }
};

using AsyncRead = Method<IOPCAsyncIO2, "Read", &IOPCAsyncIO2::Read, in, inArray(0), in, out, outArray(0)>;
using AsyncWrite = Method<IOPCAsyncIO2, "Write", &IOPCAsyncIO2::Write, in, inArray(0), inArray(0), in, out, outArray(0)>;
using AsyncRefresh = Method<IOPCAsyncIO2, "Refresh2", &IOPCAsyncIO2::Refresh2, in, in, out>;
using AsyncCancel = Method<IOPCAsyncIO2, "Cancel2", &IOPCAsyncIO2::Cancel2, in>;
using AsyncSetEnable = Method<IOPCAsyncIO2, "SetEnable", &IOPCAsyncIO2::SetEnable, in>;
using AsyncGetEnable = Method<IOPCAsyncIO2, "GetEnable", &IOPCAsyncIO2::GetEnable, out>;

class AsyncProxy final : public InterfaceProxy<IOPCAsyncIO2> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT Read(DWORD count, OPCHANDLE* handles, DWORD transaction, DWORD* cancel, HRESULT** errors) override
    {
        return forward<AsyncRead>(count, handles, transaction, cancel, errors);
    }
    HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD transaction, DWORD* cancel, HRESULT** errors) override
    {
        return forward<AsyncWrite>(count, handles, values, transaction, cancel, errors);
    }
    HRESULT Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancel) override
    {
        return forward<AsyncRefresh>(source, transaction, cancel);
    }
    HRESULT Cancel2(DWORD cancel) override { return forward<AsyncCancel>(cancel); }
    HRESULT SetEnable(BOOL enable) override { return forward<AsyncSetEnable>(enable); }
    HRESULT GetEnable(BOOL* enable) override { return forward<AsyncGetEnable>(enable); }
};

// --- IEnumOPCItemAttributes: Next allocates the array it hands out

using AttrNext = Method<IEnumOPCItemAttributes, "Next", &IEnumOPCItemAttributes::Next, in, outArray(0, 2), out>;
using AttrSkip = Method<IEnumOPCItemAttributes, "Skip", &IEnumOPCItemAttributes::Skip, in>;
using AttrReset = Method<IEnumOPCItemAttributes, "Reset", &IEnumOPCItemAttributes::Reset>;
using AttrClone = Method<IEnumOPCItemAttributes, "Clone", &IEnumOPCItemAttributes::Clone, out>;

class AttributesProxy final : public InterfaceProxy<IEnumOPCItemAttributes> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** items, ULONG* fetched) override { return forward<AttrNext>(celt, items, fetched); }
    HRESULT Skip(ULONG celt) override { return forward<AttrSkip>(celt); }
    HRESULT Reset() override { return forward<AttrReset>(); }
    HRESULT Clone(IEnumOPCItemAttributes** e) override { return forward<AttrClone>(e); }
};

// --- the client's sink

using SinkDataChange = Method<IOPCDataCallback, "OnDataChange", &IOPCDataCallback::OnDataChange, in, in, in, in, in, inArray(4),
                              inArray(4), inArray(4), inArray(4), inArray(4)>;
using SinkReadComplete = Method<IOPCDataCallback, "OnReadComplete", &IOPCDataCallback::OnReadComplete, in, in, in, in, in, inArray(4),
                                inArray(4), inArray(4), inArray(4), inArray(4)>;
using SinkWriteComplete =
    Method<IOPCDataCallback, "OnWriteComplete", &IOPCDataCallback::OnWriteComplete, in, in, in, in, inArray(3), inArray(3)>;
using SinkCancelComplete = Method<IOPCDataCallback, "OnCancelComplete", &IOPCDataCallback::OnCancelComplete, in, in>;

class DataCallbackProxy final : public InterfaceProxy<IOPCDataCallback> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error, DWORD count, OPCHANDLE* clients,
                         VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors) override
    {
        return forward<SinkDataChange>(transaction, group, quality, error, count, clients, values, qualities, times, errors);
    }
    HRESULT OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error, DWORD count, OPCHANDLE* clients,
                           VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors) override
    {
        return forward<SinkReadComplete>(transaction, group, quality, error, count, clients, values, qualities, times, errors);
    }
    HRESULT OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT error, DWORD count, OPCHANDLE* clients, HRESULT* errors) override
    {
        return forward<SinkWriteComplete>(transaction, group, error, count, clients, errors);
    }
    HRESULT OnCancelComplete(DWORD transaction, OPCHANDLE group) override { return forward<SinkCancelComplete>(transaction, group); }
};

using ShutdownSend = Method<IOPCShutdown, "ShutdownRequest", &IOPCShutdown::ShutdownRequest, in>;

class ShutdownProxy final : public InterfaceProxy<IOPCShutdown> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT ShutdownRequest(LPCWSTR reason) override { return forward<ShutdownSend>(reason); }
};

constexpr InterfaceInfo kServer = Describe<IOPCServer, ServerProxy, ServerAddGroup, ServerErrorString, ServerGroupByName, ServerStatus,
                                           ServerRemoveGroup, ServerGroupEnum>::info("IOPCServer", 16);
constexpr InterfaceInfo kCommon =
    Describe<IOPCCommon, CommonProxy, CommonSetLocale, CommonGetLocale, CommonLocales, CommonErrorString, CommonClientName>::info(
        "IOPCCommon", 17);
constexpr InterfaceInfo kBrowse = Describe<IOPCBrowseServerAddressSpace, BrowseProxy, BrowseOrganization, BrowsePosition, BrowseItemIDs,
                                           BrowseItemID, BrowsePaths>::info("IOPCBrowseServerAddressSpace", 18);
constexpr InterfaceInfo kProperties =
    Describe<IOPCItemProperties, PropertiesProxy, PropsAvailable, PropsGet, PropsLookup>::info("IOPCItemProperties", 19);
constexpr InterfaceInfo kItemMgt = Describe<IOPCItemMgt, ItemMgtProxy, MgtAdd, MgtValidate, MgtRemove, MgtActive, MgtClients, MgtTypes,
                                            MgtEnum>::info("IOPCItemMgt", 20);
constexpr InterfaceInfo kState =
    Describe<IOPCGroupStateMgt, StateProxy, StateGet, StateSet, StateName, StateClone>::info("IOPCGroupStateMgt", 21);
constexpr InterfaceInfo kSync = Describe<IOPCSyncIO, SyncProxy, SyncRead, SyncWrite>::info("IOPCSyncIO", 22);
constexpr InterfaceInfo kAsync = Describe<IOPCAsyncIO2, AsyncProxy, AsyncRead, AsyncWrite, AsyncRefresh, AsyncCancel, AsyncSetEnable,
                                          AsyncGetEnable>::info("IOPCAsyncIO2", 23);
constexpr InterfaceInfo kAttributes =
    Describe<IEnumOPCItemAttributes, AttributesProxy, AttrNext, AttrSkip, AttrReset, AttrClone>::info("IEnumOPCItemAttributes", 24);
constexpr InterfaceInfo kDataCallback = Describe<IOPCDataCallback, DataCallbackProxy, SinkDataChange, SinkReadComplete, SinkWriteComplete,
                                                 SinkCancelComplete>::info("IOPCDataCallback", 25, true);
constexpr InterfaceInfo kShutdown = Describe<IOPCShutdown, ShutdownProxy, ShutdownSend>::info("IOPCShutdown", 26, true);

constexpr const InterfaceInfo* kTables[] = {&kServer, &kCommon, &kBrowse,      &kProperties,   &kItemMgt, &kState,
                                            &kSync,   &kAsync,  &kAttributes, &kDataCallback, &kShutdown};

}  // namespace

std::span<const InterfaceInfo* const> opcInterfaceTables()
{
    return kTables;
}

}  // namespace com::bus

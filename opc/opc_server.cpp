#include "opc_server.h"

#include "opc_group.h"

namespace opc {

OPCHANDLE NextItemHandle() { return 0; }
TSelectionFilter ParseBrowseFilter(std::string_view) { return {}; }
bool BrowseFilterMatches(const TSelectionFilter&, std::string_view) { return false; }

TDA2::TDA2()
{
    shutdownPoint_ = &addConnectionPoint(IID_IOPCShutdown, com::ConnectionLimit::single,
                                         [this](IUnknown* sink, bool connected) { ShutdownConnect(sink, connected); });
}
TDA2::~TDA2() {}
void TDA2::UpdateGroups(bool, double) {}
std::int32_t TDA2::FindGroupIndex(const std::vector<TOPCGroup*>&, OPCHANDLE) { return -1; }
void TDA2::RemoveGroupByHandle(std::vector<TOPCGroup*>&, OPCHANDLE) {}
std::int32_t TDA2::FindGroupIndexByName(const std::vector<TOPCGroup*>&, std::string_view) { return -1; }
bool TDA2::GroupNameExists(std::string_view) const { return false; }
HRESULT TDA2::CreateClonedGroup(const std::string&, TOPCGroup&, REFIID, IUnknown**) { return E_NOTIMPL; }
std::int32_t TDA2::RegistryIndex() const { return -1; }
void TDA2::ShutdownConnect(IUnknown*, bool) {}

HRESULT TDA2::AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD, OPCHANDLE*, DWORD*, REFIID, IUnknown**) { return E_NOTIMPL; }
HRESULT TDA2::GetErrorString(HRESULT, LCID, LPWSTR*) { return E_NOTIMPL; }
HRESULT TDA2::GetGroupByName(LPCWSTR, REFIID, IUnknown**) { return E_NOTIMPL; }
HRESULT TDA2::GetStatus(OPCSERVERSTATUS**) { return E_NOTIMPL; }
HRESULT TDA2::RemoveGroup(OPCHANDLE, BOOL) { return E_NOTIMPL; }
HRESULT TDA2::CreateGroupEnumerator(OPCENUMSCOPE, REFIID, IUnknown**) { return E_NOTIMPL; }
HRESULT TDA2::SetLocaleID(LCID) { return E_NOTIMPL; }
HRESULT TDA2::GetLocaleID(LCID*) { return E_NOTIMPL; }
HRESULT TDA2::QueryAvailableLocaleIDs(DWORD*, LCID**) { return E_NOTIMPL; }
HRESULT TDA2::GetErrorString(HRESULT, LPWSTR*) { return E_NOTIMPL; }
HRESULT TDA2::SetClientName(LPCWSTR) { return E_NOTIMPL; }
HRESULT TDA2::QueryOrganization(OPCNAMESPACETYPE*) { return E_NOTIMPL; }
HRESULT TDA2::ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) { return E_FAIL; }
HRESULT TDA2::BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD, IEnumString**) { return E_NOTIMPL; }
HRESULT TDA2::GetItemID(LPWSTR, LPWSTR*) { return E_NOTIMPL; }
HRESULT TDA2::BrowseAccessPaths(LPCWSTR, IEnumString**) { return E_NOTIMPL; }
HRESULT TDA2::QueryAvailableProperties(LPWSTR id, DWORD* c, DWORD** p, LPWSTR** d, VARTYPE** t)
{
    return ItemProps.QueryAvailableProperties(id, c, p, d, t);
}
HRESULT TDA2::GetItemProperties(LPWSTR id, DWORD c, DWORD* p, VARIANT** v, HRESULT** e)
{
    return ItemProps.GetItemProperties(id, c, p, v, e);
}
HRESULT TDA2::LookupItemIDs(LPWSTR id, DWORD c, DWORD* p, LPWSTR** n, HRESULT** e) { return ItemProps.LookupItemIDs(id, c, p, n, e); }
HRESULT TDA2::GetClassID(CLSID*) { return S_FALSE; }
HRESULT TDA2::IsDirty() { return S_FALSE; }
HRESULT TDA2::Load(LPCOLESTR, DWORD) { return S_FALSE; }
HRESULT TDA2::Save(LPCOLESTR, BOOL) { return S_FALSE; }
HRESULT TDA2::SaveCompleted(LPCOLESTR) { return S_FALSE; }
HRESULT TDA2::GetCurFile(LPOLESTR*) { return S_FALSE; }
void* TDA2::queryBase(REFIID riid)
{
    if (riid == IID_IPersist)
        return static_cast<IPersist*>(static_cast<IPersistFile*>(this));
    if (riid == IID_IDispatch)
        return static_cast<IDispatch*>(static_cast<com::DispatchWithoutTypeInfo<IDA2>*>(this));
    return nullptr;
}

}  // namespace opc

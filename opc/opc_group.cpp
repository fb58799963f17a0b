#include "opc_group.h"

#include "opc_server.h"

namespace opc {

TOPCGroup::TOPCGroup(TDA2* server, std::vector<TOPCGroup*>* ownerList) : Server(server), OwnerList(ownerList)
{
    dataCallbackPoint_ = &addConnectionPoint(IID_IOPCDataCallback, com::ConnectionLimit::multiple,
                                             [this](IUnknown* sink, bool connected) { DataCallbackConnect(sink, connected); });
}
TOPCGroup::~TOPCGroup() { TearDown(); }
void TOPCGroup::Init(const std::string&, bool, OPCHANDLE, LCID, FLOAT, OPCHANDLE, DWORD) {}
DWORD TOPCGroup::SetUpdateRate(DWORD requested) { return UpdateRate = requested; }
void TOPCGroup::SetTimeBias(const LONG*) {}
bool TOPCGroup::FindItemByHandle(OPCHANDLE, std::int32_t& pos) { pos = 0; return false; }
bool TOPCGroup::FindItemByName(std::string_view, std::int32_t& pos) { pos = 0; return false; }
TOPCItem* TOPCGroup::ItemByHandle(OPCHANDLE) { return nullptr; }
void TOPCGroup::CopyTo(TOPCGroup&) {}
void TOPCGroup::TearDown() { Server = nullptr; }
bool TOPCGroup::Listed() const { return false; }

HRESULT TOPCGroup::AddItems(DWORD, OPCITEMDEF*, OPCITEMRESULT**, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::RemoveItems(DWORD, OPCHANDLE*, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::CreateEnumerator(REFIID, IUnknown**) { return E_NOTIMPL; }
HRESULT TOPCGroup::GetState(DWORD*, BOOL*, LPWSTR*, LONG*, FLOAT*, DWORD*, OPCHANDLE*, OPCHANDLE*) { return E_NOTIMPL; }
HRESULT TOPCGroup::SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*, OPCHANDLE*) { return E_NOTIMPL; }
HRESULT TOPCGroup::SetName(LPCWSTR) { return E_NOTIMPL; }
HRESULT TOPCGroup::CloneGroup(LPCWSTR, REFIID, IUnknown**) { return E_NOTIMPL; }

}  // namespace opc

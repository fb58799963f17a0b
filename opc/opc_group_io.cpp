#include "opc_group.h"

namespace opc {

DWORD NextCancelID() { return 0; }

TAsyncIO2::TAsyncIO2(TOPCGroup* group, DWORD source, DWORD count, DWORD transactionID, std::int32_t kind)
    : Group(group), Source(source), Kind(kind), TransactionID(transactionID), CancelID(NextCancelID()), Count(count)
{
}
TAsyncIO2::~TAsyncIO2() {}
void TAsyncIO2::Execute(double) {}
void TAsyncIO2::SendReadResults(double) {}
void TAsyncIO2::SendWriteResults(double) {}
void TAsyncIO2::SendRefresh(double) {}
void TAsyncIO2::SendDataChange(double) {}
void TAsyncIO2::WaitOn(vx::TVariable*) {}
void TAsyncIO2::UnlinkFromVariables() {}

void TOPCGroup::Update(bool, double) {}
void TOPCGroup::ProcessTransactions(double) {}
void TOPCGroup::MoveCompletedTransactions() {}
void TOPCGroup::SendDataChange(const std::vector<std::int32_t>&, double) {}
void TOPCGroup::DataCallbackConnect(IUnknown*, bool) {}
void TOPCGroup::TransactionDone(TAsyncIO2&) {}
com::ComPtr<IOPCDataCallback> TOPCGroup::GetDataCallback() const { return {}; }
std::string TOPCGroup::LogSource() const { return {}; }

HRESULT TOPCGroup::Read(OPCDATASOURCE, DWORD, OPCHANDLE*, OPCITEMSTATE**, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::Read(DWORD, OPCHANDLE*, DWORD, DWORD*, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD*, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCGroup::Refresh2(OPCDATASOURCE, DWORD, DWORD*) { return E_NOTIMPL; }
HRESULT TOPCGroup::Cancel2(DWORD) { return E_NOTIMPL; }
HRESULT TOPCGroup::SetEnable(BOOL) { return E_NOTIMPL; }
HRESULT TOPCGroup::GetEnable(BOOL*) { return E_NOTIMPL; }

}  // namespace opc

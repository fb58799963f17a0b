#include "opc_props.h"

namespace opc {

HRESULT GetVariablePropertyValue(const vx::TVariable&, std::int32_t, com::Variant&) { return E_NOTIMPL; }

HRESULT TOPCItemProp::QueryAvailableProperties(LPWSTR, DWORD*, DWORD**, LPWSTR**, VARTYPE**) { return E_NOTIMPL; }
HRESULT TOPCItemProp::GetItemProperties(LPWSTR, DWORD, DWORD*, VARIANT**, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCItemProp::LookupItemIDs(LPWSTR, DWORD, DWORD*, LPWSTR**, HRESULT**) { return E_NOTIMPL; }

}  // namespace opc

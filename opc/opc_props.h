#pragma once
// Item properties: the values of a variable's properties, shared by property items and by the
// server object's IOPCItemProperties.
#include <cstdint>

#include "platform/com/opcda.h"
#include "platform/com/variant.h"

namespace vx {
class TVariable;
}

namespace opc {

// The value of property id (low 16 bits) of variable in the property's type: for the value
// (2) the raw, unscaled value in the variable's canonical type. E_INVALIDARG for an ID outside
// the property table, a conversion's code when the value does not convert.
HRESULT GetVariablePropertyValue(const vx::TVariable& variable, std::int32_t id, com::Variant& out);

// IOPCItemProperties of a server object; it has no state of its own.
class TOPCItemProp {
public:
    HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                     VARTYPE** ppvtDataTypes);
    HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData, HRESULT** ppErrors);
    HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs, HRESULT** ppErrors);
};

}  // namespace opc

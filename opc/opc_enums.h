#pragma once
// The enumerators the server objects and groups hand to clients, and the English texts of the
// OPC result codes.
#include <string>
#include <vector>

#include "platform/com/enums.h"
#include "platform/com/opcda.h"
#include "platform/com/variant.h"

namespace opc {

// Group names and browsed item IDs.
using TOPCStringsEnumerator = com::StringEnumerator;
// Group objects.
using TS3UnknownEnumerator = com::UnknownEnumerator;

// One item's attributes, as the item enumerator keeps them.
struct TOPCItemAttributes {
    bool Active = false;
    OPCEUTYPE EUType = OPC_NOENUM;
    BYTE* Blob = nullptr;
    com::Variant EUInfo;
    std::u16string AccessPath;
    std::u16string ItemID;
    VARTYPE RequestedDataType = 0;
    VARTYPE CanonicalDataType = 0;
    OPCHANDLE ClientHandle = 0;
    OPCHANDLE ServerHandle = 0;
    DWORD AccessRights = 0;
    DWORD BlobSize = 0;
};

// IEnumOPCItemAttributes over its own copy of the records. Next hands out a task-allocated
// array of the records fetched, never more than remain (nullptr when none do).
class TOPCItemAttEnumerator : public com::ComObject<IEnumOPCItemAttributes> {
public:
    explicit TOPCItemAttEnumerator(std::vector<TOPCItemAttributes> elements);

    HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

private:
    std::vector<TOPCItemAttributes> elements_;
    std::size_t index_ = 0;
};

// The text of an OPC result code, else the system's text without its trailing period; empty
// when neither has one.
std::u16string GetOPCErrorString(HRESULT code);

}  // namespace opc

#pragma once
// The enumerators the server objects and groups hand to clients, and the English texts of the
// OPC result codes.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/enums.h"
#include "platform/com/opcda.h"
#include "platform/com/variant.h"

namespace opc {

// The generic enumerator with the rules OPC clients of this server have always met: Next
// takes the count as signed, so 0 and anything above 0x7FFFFFFF fetch nothing and give
// S_FALSE, and it wants the fetched count even for one element (E_INVALIDARG without it).
template <class Generic>
class TOPCEnumerator : public Generic {
public:
    using Generic::Generic;

    HRESULT Next(ULONG celt, typename Generic::Element* rgelt, ULONG* pceltFetched) override
    {
        if (pceltFetched)
            *pceltFetched = 0;
        if (static_cast<std::int32_t>(celt) < 1)
            return S_FALSE;
        if (!pceltFetched)
            return E_INVALIDARG;
        return Generic::Next(celt, rgelt, pceltFetched);
    }

protected:
    Generic* spawn() const override { return new TOPCEnumerator(this->items()); }
};

// Group names and browsed item IDs; each string handed out is the caller's.
using TOPCStringsEnumerator = TOPCEnumerator<com::StringEnumerator>;
// Group objects; the enumerator holds a reference on each until it goes, and each pointer
// handed out carries one of its own.
using TS3UnknownEnumerator = TOPCEnumerator<com::UnknownEnumerator>;

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
// array of the records fetched, never more than remain (nullptr when none do); its count is
// unsigned, and the fetched count is required as for the other enumerators.
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

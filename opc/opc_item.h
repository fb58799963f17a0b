#pragma once
// One item of one OPC group: a client's binding to a run-time variable, or to one property of
// it, with conversion to the client's type, scaling, limit bits, change detection and writes.
#include <cstdint>
#include <string>

#include "platform/com/opcda.h"
#include "platform/com/variant.h"

namespace vx {
class TVariable;
}

namespace opc {

class TDA2;
class TOPCGroup;
struct TOPCItemAttributes;

class TOPCItem {
public:
    TOPCItem();
    // Raises monitor event 3 and leaves the variable's list of bound items.
    ~TOPCItem();
    TOPCItem(const TOPCItem&) = delete;
    TOPCItem& operator=(const TOPCItem&) = delete;

    // Fields ordered for size and for the change check, which every due update runs over
    // every active item: what it reads comes first. A plant has hundreds of thousands of items.
    TOPCGroup* Group = nullptr;

private:
    vx::TVariable* variable_ = nullptr;

public:
    WORD Quality = 0;
    WORD LastQuality = 0;
    VARTYPE RequestedType = 0;
    VARTYPE CanonicalType = 0;
    std::int32_t PropertyID = 2;
    bool Active = false;
    com::Variant LastSeen;  // value at the previous CheckChanged
    // The value behind Reported as GetPropertyValue gives it, before conversion: deadband and
    // change detection compare against this, so narrowing conversions do not count as changes.
    com::Variant ReportedSource;
    DWORD AccessRights = 0;
    OPCHANDLE ServerHandle = 0;
    OPCHANDLE ClientHandle = 0;
    std::int32_t CatalogueIndex = 0;
    double TimeStamp = 0;
    com::Variant Value;      // delivered while no variable is bound
    com::Variant Reported;   // value last reported, in the client's type (what the monitor shows)
    std::string ItemID;      // as the client gave it, property keyword included
    TDA2* Server = nullptr;
    void* RuntimeNode = nullptr;  // the runtime monitor's node; not owned
    BYTE* Blob = nullptr;         // the client's blob pointer, never dereferenced

    vx::TVariable* GetVariable() const { return variable_; }
    // Binds the item to a variable (nullptr detaches it), keeping the variable's list of
    // bound items in step.
    void SetVariable(vx::TVariable* variable);
    // The next item bound to the same variable (the list that re-rating walks).
    TOPCItem* NextBound() const { return nextBound_; }
    // The first item bound to variable, or nullptr.
    static TOPCItem* FirstBound(const vx::TVariable* variable);

    // Everything but Value, RuntimeNode, TimeStamp and Group, for a cloned group.
    void CopyFrom(const TOPCItem& source);
    void SetActive(bool active);  // monitor event 9
    bool GetActive() const { return Active; }
    OPCHANDLE GetClientHandle() const { return ClientHandle; }
    void SetClientHandle(OPCHANDLE handle) { ClientHandle = handle; }
    // 0 stands for the canonical type.
    void SetRequestedType(VARTYPE vt);

    // The value of the item's property; for the value itself the variable's value scaled.
    com::Variant GetPropertyValue() const;
    // 0xC0 for property items, else Quality.
    WORD GetQuality() const;
    // Quality := the variable's quality, 0x14 without a variable.
    void UpdateQuality();
    void SetLimitBits();
    HRESULT GetValueConverted(com::Variant& out) const;
    // Raw to engineering units in the requested type / engineering to raw in the canonical
    // type. UnReScale is false without a variable.
    com::Variant ReScale() const;
    bool UnReScale(com::Variant& value) const;

    // A client write; value is not changed. Done tells whether the PLC write is already over.
    HRESULT WriteValue(const VARIANT& value, bool& done);
    // Once per due group update of an active item: whether it is to be reported.
    bool CheckChanged();
    HRESULT GetCallbackValue(OPCHANDLE& clientHandle, com::Variant& value, WORD& quality);
    void SetSourceQuality(OPCDATASOURCE source);
    // One record of a synchronous read; the record's value is the caller's to clear.
    HRESULT ReadState(OPCDATASOURCE source, OPCITEMSTATE& state);
    void FillAttributes(TOPCItemAttributes& attributes) const;

private:
    TOPCItem* nextBound_ = nullptr;
};

}  // namespace opc

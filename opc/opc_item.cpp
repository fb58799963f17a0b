#include "opc_item.h"

#include "opc_enums.h"

namespace opc {

TOPCItem::TOPCItem() {}
TOPCItem::~TOPCItem() {}
void TOPCItem::SetVariable(vx::TVariable* variable) { variable_ = variable; }
TOPCItem* TOPCItem::FirstBound(const vx::TVariable*) { return nullptr; }
void TOPCItem::CopyFrom(const TOPCItem&) {}
void TOPCItem::SetActive(bool active) { Active = active; }
void TOPCItem::SetRequestedType(VARTYPE vt) { RequestedType = vt; }
com::Variant TOPCItem::GetPropertyValue() const { return {}; }
WORD TOPCItem::GetQuality() const { return Quality; }
void TOPCItem::UpdateQuality() {}
void TOPCItem::SetLimitBits() {}
HRESULT TOPCItem::GetValueConverted(com::Variant&) const { return E_NOTIMPL; }
com::Variant TOPCItem::ReScale() const { return {}; }
bool TOPCItem::UnReScale(com::Variant&) const { return false; }
HRESULT TOPCItem::WriteValue(const VARIANT&, bool& done) { done = true; return E_NOTIMPL; }
bool TOPCItem::CheckChanged() { return false; }
HRESULT TOPCItem::GetCallbackValue(OPCHANDLE&, com::Variant&, WORD&) { return E_NOTIMPL; }
void TOPCItem::SetSourceQuality(OPCDATASOURCE) {}
HRESULT TOPCItem::ReadState(OPCDATASOURCE, OPCITEMSTATE&) { return E_NOTIMPL; }
void TOPCItem::FillAttributes(TOPCItemAttributes&) const {}

}  // namespace opc

#pragma once
// VARIANTs on the bus, for the wire format's records and arguments (dbus_wire.cpp): the "v"
// of a "(qv)" pair for each VARTYPE, and back.
#include <QVariant>

#include "variant.h"

namespace com::bus {

// The D-Bus value that carries v's value; DISP_E_BADVARTYPE for what cannot travel
// (interfaces, references, types a VARIANT cannot hold).
HRESULT variantPayload(const VARIANT& v, QVariant& out);
// v (empty before) from its VARTYPE and the value that came; E_INVALIDARG when they do not
// match, E_OUTOFMEMORY when the task allocator refuses.
HRESULT variantFromPayload(VARTYPE vt, const QVariant& payload, VARIANT& v);
// Whether variantPayload can carry v, checked before anything is written.
HRESULT checkVariant(const VARIANT& v);
// A FLOAT from the double it travels as; E_INVALIDARG beyond FLOAT's range.
HRESULT floatOf(double d, FLOAT& out);
// The element types of arrays inside VARIANTs; once, before the first use.
void registerVariantTypes();

}  // namespace com::bus

#include "opc_enums.h"

namespace opc {

TOPCItemAttEnumerator::TOPCItemAttEnumerator(std::vector<TOPCItemAttributes> elements) : elements_(std::move(elements)) {}
HRESULT TOPCItemAttEnumerator::Next(ULONG, OPCITEMATTRIBUTES**, ULONG*) { return E_NOTIMPL; }
HRESULT TOPCItemAttEnumerator::Skip(ULONG) { return E_NOTIMPL; }
HRESULT TOPCItemAttEnumerator::Reset() { return E_NOTIMPL; }
HRESULT TOPCItemAttEnumerator::Clone(IEnumOPCItemAttributes**) { return E_NOTIMPL; }
std::u16string GetOPCErrorString(HRESULT) { return {}; }

}  // namespace opc

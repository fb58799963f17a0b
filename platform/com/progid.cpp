#include "progid.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "alloc.h"
#include "platform/text.h"
#include "registry.h"

namespace {

std::u16string_view View(LPCOLESTR s)
{
    return s ? std::u16string_view(s) : std::u16string_view();
}

}  // namespace

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid)
{
    if (!lpszProgID || !lpclsid)
        return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    const std::u16string_view progID = View(lpszProgID);
    // A ProgID is one key name: a path would reach into other keys.
    if (progID.empty() || progID.find(u'\\') != std::u16string_view::npos)
        return CO_E_CLASSSTRING;
    std::u16string key(progID);
    key += u"\\CLSID";
    const auto value = com::classesRoot().value(key);
    if (!value)
        return CO_E_CLASSSTRING;
    const auto clsid = com::guidFromString(plat::utf16ToUtf8(*value));
    if (!clsid)
        return CO_E_CLASSSTRING;
    *lpclsid = *clsid;
    return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid)
{
    if (!lpsz || !pclsid)
        return E_INVALIDARG;
    const std::u16string_view text = View(lpsz);
    if (!text.empty() && text.front() == u'{') {
        const auto clsid = com::guidFromString(plat::utf16ToUtf8(text));
        *pclsid = clsid.value_or(GUID_NULL);
        return clsid ? S_OK : CO_E_CLASSSTRING;
    }
    return CLSIDFromProgID(lpsz, pclsid);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID)
{
    if (!lplpszProgID)
        return E_INVALIDARG;
    *lplpszProgID = nullptr;
    const auto value = com::classesRoot().value(u"CLSID\\" + com::guidToWString(clsid) + u"\\ProgID");
    if (!value || value->empty())
        return REGDB_E_CLASSNOTREG;
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((value->size() + 1) * sizeof(OLECHAR)));
    if (!copy)
        return E_OUTOFMEMORY;
    std::copy(value->begin(), value->end(), copy);
    copy[value->size()] = 0;
    *lplpszProgID = copy;
    return S_OK;
}

#include "opc_enums.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/com/alloc.h"
#include "platform/com/errtext.h"

namespace opc {

namespace {

// Frees what one record of a Next holds (a zero-filled record holds nothing).
void clearAttributes(OPCITEMATTRIBUTES& a)
{
    CoTaskMemFree(a.szAccessPath);
    CoTaskMemFree(a.szItemID);
    VariantClear(&a.vEUInfo);
    a = {};
}

HRESULT fillAttributes(const TOPCItemAttributes& from, OPCITEMATTRIBUTES& to)
{
    to.bActive = from.Active ? TRUE : FALSE;
    to.hClient = from.ClientHandle;
    to.hServer = from.ServerHandle;
    to.dwAccessRights = from.AccessRights;
    to.dwBlobSize = from.BlobSize;
    to.pBlob = from.Blob;
    to.vtRequestedDataType = from.RequestedDataType;
    to.vtCanonicalDataType = from.CanonicalDataType;
    to.dwEUType = from.EUType;
    to.szAccessPath = com::taskString(from.AccessPath);
    to.szItemID = com::taskString(from.ItemID);
    if (!to.szAccessPath || !to.szItemID)
        return E_OUTOFMEMORY;
    VariantInit(&to.vEUInfo);
    const HRESULT hr = VariantCopy(&to.vEUInfo, from.EUInfo.get());
    return FAILED(hr) ? hr : S_OK;
}

struct ErrorText {
    HRESULT code;
    const char16_t* text;
};

// English whatever the client's locale; the spellings are the ones clients have always seen.
constexpr ErrorText kErrorTexts[] = {
    {OPC_E_INVALIDHANDLE, u"The value of the handle is invalid."},
    {OPC_E_BADTYPE, u"The server cannot convert the data between the requested data type and the canonical data type."},
    {OPC_E_PUBLIC, u"The requested operation cannot be done on a public group."},
    {OPC_E_BADRIGHTS, u"The Items AccessRights do not allow the operation."},
    {OPC_E_UNKNOWNITEMID, u"The item is no longer available in the server address space."},
    {OPC_E_INVALIDITEMID, u"The item definition does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, u"The filter string was not valid."},
    {OPC_E_UNKNOWNPATH, u"The item's access path is not known to the server."},
    {OPC_E_RANGE, u"The value was out of range."},
    {OPC_E_DUPLICATENAME, u"Duplicate name not allowed."},
    {OPC_E_INVALIDCONFIGFILE, u"The server's configuration file is an invalid format."},
    {OPC_E_NOTFOUND, u"The server could not locate the requested object."},
    {OPC_S_UNSUPPORTEDRATE, u"The server does not support the requested data rate but will use the closest available rate."},
    {OPC_S_CLAMP, u"A value passed to WRITE was accepted but the output was clamped."},
    {OPC_S_INUSE, u"The operation cannot be completed because the object still has references that exist."},
    {OPC_S_ALREADYACKED, u"The condition has already been acknowleged."},
    {OPC_S_INVALIDBUFFERTIME, u"The buffer time parameter was invalid."},
    {OPC_S_INVALIDMAXSIZE, u"The max size parameter was invalid."},
    {OPC_E_INVALID_PID, u"The server does not recognise the passed property ID."},
    {OPC_E_INVALIDTIME, u"The time does not match the latest active time."},
    {OPC_E_BUSY, u"A refresh is currently in progress."},
    {OPC_E_NOINFO, u"Information is not available."},
};

}  // namespace

TOPCItemAttEnumerator::TOPCItemAttEnumerator(std::vector<TOPCItemAttributes> elements) : elements_(std::move(elements)) {}

HRESULT TOPCItemAttEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched)
{
    if (pceltFetched)
        *pceltFetched = 0;
    if (ppItemArray)
        *ppItemArray = nullptr;
    if (celt == 0)
        return S_FALSE;
    if (!pceltFetched)
        return E_INVALIDARG;
    if (!ppItemArray)
        return E_POINTER;
    // Never more than what remains, whatever count the client asks for.
    const std::size_t n = std::min<std::size_t>(celt, elements_.size() - index_);
    if (n == 0)
        return S_FALSE;
    auto* records = static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(n * sizeof(OPCITEMATTRIBUTES)));
    if (!records)
        return E_OUTOFMEMORY;
    std::memset(static_cast<void*>(records), 0, n * sizeof(OPCITEMATTRIBUTES));
    for (std::size_t i = 0; i < n; ++i) {
        const HRESULT hr = fillAttributes(elements_[index_ + i], records[i]);
        if (FAILED(hr)) {
            for (std::size_t k = 0; k <= i; ++k)
                clearAttributes(records[k]);
            CoTaskMemFree(records);
            return hr;
        }
    }
    index_ += n;
    *ppItemArray = records;
    *pceltFetched = static_cast<ULONG>(n);
    return n == celt ? S_OK : S_FALSE;
}

HRESULT TOPCItemAttEnumerator::Skip(ULONG celt)
{
    if (celt > elements_.size() - index_) {
        index_ = elements_.size();
        return S_FALSE;
    }
    index_ += celt;
    return S_OK;
}

HRESULT TOPCItemAttEnumerator::Reset()
{
    index_ = 0;
    return S_OK;
}

HRESULT TOPCItemAttEnumerator::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes)
{
    if (!ppEnumItemAttributes)
        return E_POINTER;
    *ppEnumItemAttributes = nullptr;
    return com::orOutOfMemory([&] {
        auto copy = com::makeCom<TOPCItemAttEnumerator>(elements_);
        copy->index_ = index_;
        *ppEnumItemAttributes = copy.detach();
        return S_OK;
    });
}

std::u16string GetOPCErrorString(HRESULT code)
{
    for (const ErrorText& e : kErrorTexts)
        if (e.code == code)
            return e.text;
    std::u16string text = com::systemMessageText(code).value_or(std::u16string());
    while (!text.empty() && (text.back() <= 32 || text.back() == u'.'))
        text.pop_back();
    return text;
}

}  // namespace opc

#include "safearray.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "alloc.h"

namespace {

// The element type lives in the four bytes before the descriptor, where Windows keeps it
// for FADF_HAVEVARTYPE arrays.
struct ArrayBlock {
    DWORD reserved[3];
    DWORD vt;
    SAFEARRAY sa;
};
static_assert(offsetof(ArrayBlock, sa) == 16);

ArrayBlock* blockOf(SAFEARRAY* psa)
{
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(psa) - offsetof(ArrayBlock, sa));
}

constexpr ULONG kMaxLocks = 0xFFFF;

USHORT featuresFor(VARTYPE vt)
{
    switch (vt) {
    case VT_BSTR:
        return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN:
        return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH:
        return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT:
        return FADF_HAVEVARTYPE | FADF_VARIANT;
    default:
        return FADF_HAVEVARTYPE;
    }
}

VARTYPE vartypeOf(SAFEARRAY* psa)
{
    if (psa->fFeatures & FADF_HAVEVARTYPE)
        return static_cast<VARTYPE>(blockOf(psa)->vt);
    if (psa->fFeatures & FADF_BSTR)
        return VT_BSTR;
    if (psa->fFeatures & FADF_UNKNOWN)
        return VT_UNKNOWN;
    if (psa->fFeatures & FADF_DISPATCH)
        return VT_DISPATCH;
    if (psa->fFeatures & FADF_VARIANT)
        return VT_VARIANT;
    return VT_EMPTY;
}

char* elementAt(SAFEARRAY* psa, ULONG i) { return static_cast<char*>(psa->pvData) + std::size_t{i} * psa->cbElements; }

void clearElement(VARTYPE vt, void* p)
{
    switch (vt) {
    case VT_BSTR: {
        BSTR* s = static_cast<BSTR*>(p);
        SysFreeString(*s);
        *s = nullptr;
        break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
        IUnknown** u = static_cast<IUnknown**>(p);
        if (*u)
            (*u)->Release();
        *u = nullptr;
        break;
    }
    case VT_VARIANT:
        VariantClear(static_cast<VARIANT*>(p));
        break;
    default:
        break;
    }
}

// Copies one element into zeroed or cleared storage.
HRESULT copyElement(VARTYPE vt, void* dst, const void* src, ULONG size)
{
    switch (vt) {
    case VT_BSTR: {
        BSTR s = *static_cast<const BSTR*>(src);
        BSTR c = nullptr;
        if (s && !(c = SysAllocStringLen(s, SysStringLen(s))))
            return E_OUTOFMEMORY;
        *static_cast<BSTR*>(dst) = c;
        return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
        IUnknown* u = *static_cast<IUnknown* const*>(src);
        if (u)
            u->AddRef();
        *static_cast<IUnknown**>(dst) = u;
        return S_OK;
    }
    case VT_VARIANT:
        VariantInit(static_cast<VARIANT*>(dst));
        return VariantCopy(static_cast<VARIANT*>(dst), static_cast<const VARIANT*>(src));
    default:
        std::memcpy(dst, src, size);
        return S_OK;
    }
}

// Element index for a one-dimensional array, or false when outside the bounds.
bool indexOf(SAFEARRAY* psa, const LONG* rgIndices, ULONG& i)
{
    const long long offset = static_cast<long long>(rgIndices[0]) - psa->rgsabound[0].lLbound;
    if (offset < 0 || offset >= static_cast<long long>(psa->rgsabound[0].cElements))
        return false;
    i = static_cast<ULONG>(offset);
    return true;
}

// The checks SafeArrayGetLBound and SafeArrayGetUBound share.
HRESULT checkBoundQuery(SAFEARRAY* psa, UINT nDim, const LONG* out)
{
    if (!psa || !out)
        return E_INVALIDARG;
    return nDim < 1 || nDim > psa->cDims ? DISP_E_BADINDEX : S_OK;
}

void freeArray(SAFEARRAY* psa)
{
    CoTaskMemFree(psa->pvData);
    CoTaskMemFree(blockOf(psa));
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound)
{
    const ULONG size = com::safeArrayElementSize(vt);
    if (size == 0 || cDims != 1 || !rgsabound)
        return nullptr;
    const ULONG count = rgsabound[0].cElements;
    if (count > 0x7FFFFFFFu / size)
        return nullptr;
    // Every index, and the upper bound (one below the lower when empty), must fit a LONG.
    const long long upper = static_cast<long long>(rgsabound[0].lLbound) + count - 1;
    if (upper > INT32_MAX || upper < INT32_MIN)
        return nullptr;
    auto* block = static_cast<ArrayBlock*>(CoTaskMemAlloc(sizeof(ArrayBlock)));
    if (!block)
        return nullptr;
    std::memset(block, 0, sizeof(ArrayBlock));
    block->vt = vt;
    SAFEARRAY* psa = &block->sa;
    psa->cDims = 1;
    psa->fFeatures = featuresFor(vt);
    psa->cbElements = size;
    psa->rgsabound[0] = rgsabound[0];
    if (count > 0) {
        const std::size_t bytes = std::size_t{count} * size;
        psa->pvData = CoTaskMemAlloc(bytes);
        if (!psa->pvData) {
            CoTaskMemFree(block);
            return nullptr;
        }
        std::memset(psa->pvData, 0, bytes);
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements)
{
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
    if (!psa)
        return S_OK;
    if (psa->cLocks > 0)
        return DISP_E_ARRAYISLOCKED;
    const VARTYPE vt = vartypeOf(psa);
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i)
        clearElement(vt, elementAt(psa, i));
    freeArray(psa);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut)
{
    if (!ppsaOut)
        return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa)
        return S_OK;
    const VARTYPE vt = vartypeOf(psa);
    SAFEARRAY* copy = SafeArrayCreate(vt, psa->cDims, psa->rgsabound);
    if (!copy)
        return com::safeArrayElementSize(vt) == 0 || psa->cDims != 1 ? E_INVALIDARG : E_OUTOFMEMORY;
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
        const HRESULT hr = copyElement(vt, elementAt(copy, i), elementAt(psa, i), psa->cbElements);
        if (FAILED(hr)) {
            // Elements not reached are still zero, which clears to nothing.
            SafeArrayDestroy(copy);
            return hr;
        }
    }
    *ppsaOut = copy;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound)
{
    const HRESULT hr = checkBoundQuery(psa, nDim, plLbound);
    if (SUCCEEDED(hr))
        *plLbound = psa->rgsabound[0].lLbound;
    return hr;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound)
{
    const HRESULT hr = checkBoundQuery(psa, nDim, plUbound);
    // An empty array has its upper bound one below the lower; SafeArrayCreate made sure it fits.
    if (SUCCEEDED(hr))
        *plUbound = static_cast<LONG>(static_cast<long long>(psa->rgsabound[0].lLbound) + psa->rgsabound[0].cElements - 1);
    return hr;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt)
{
    if (!psa || !pvt)
        return E_INVALIDARG;
    const VARTYPE vt = vartypeOf(psa);
    if (vt == VT_EMPTY)
        return E_INVALIDARG;
    *pvt = vt;
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks >= kMaxLocks)
        return E_UNEXPECTED;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks == 0)
        return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData)
{
    if (!psa || !ppvData)
        return E_INVALIDARG;
    const HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr))
        return hr;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (!psa || !rgIndices || !pv)
        return E_INVALIDARG;
    ULONG i = 0;
    if (!indexOf(psa, rgIndices, i))
        return DISP_E_BADINDEX;
    HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr))
        return hr;
    hr = copyElement(vartypeOf(psa), pv, elementAt(psa, i), psa->cbElements);
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (!psa || !rgIndices)
        return E_INVALIDARG;
    const VARTYPE vt = vartypeOf(psa);
    const bool byPointer = vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH;
    if (!pv && !byPointer)
        return E_INVALIDARG;
    ULONG i = 0;
    if (!indexOf(psa, rgIndices, i))
        return DISP_E_BADINDEX;
    HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr))
        return hr;
    // Copy into a scratch slot first, so that a failed copy leaves the element as it was.
    alignas(16) unsigned char scratch[sizeof(VARIANT) > sizeof(DECIMAL) ? sizeof(VARIANT) : sizeof(DECIMAL)] = {};
    hr = byPointer ? copyElement(vt, scratch, &pv, psa->cbElements) : copyElement(vt, scratch, pv, psa->cbElements);
    if (SUCCEEDED(hr)) {
        char* slot = elementAt(psa, i);
        clearElement(vt, slot);
        std::memcpy(slot, scratch, psa->cbElements);
    }
    SafeArrayUnlock(psa);
    return hr;
}

namespace com {

ULONG safeArrayElementSize(VARTYPE vt)
{
    switch (vt) {
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
        return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
        return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return sizeof(void*);
    case VT_VARIANT:
        return sizeof(VARIANT);
    case VT_DECIMAL:
        return sizeof(DECIMAL);
    default:
        return 0;
    }
}

}  // namespace com

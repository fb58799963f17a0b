#pragma once
// SAFEARRAY with the Windows descriptor layout. Only one dimension is supported; any lower
// bound is. Descriptor and data come from the task allocator.
#include "variant.h"

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

inline constexpr USHORT FADF_AUTO = 0x0001;
inline constexpr USHORT FADF_STATIC = 0x0002;
inline constexpr USHORT FADF_EMBEDDED = 0x0004;
inline constexpr USHORT FADF_FIXEDSIZE = 0x0010;
inline constexpr USHORT FADF_RECORD = 0x0020;
inline constexpr USHORT FADF_HAVEIID = 0x0040;
inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_UNKNOWN = 0x0200;
inline constexpr USHORT FADF_DISPATCH = 0x0400;
inline constexpr USHORT FADF_VARIANT = 0x0800;

// Element types: 2..23 but 15, BSTR, VARIANT, UNKNOWN and DISPATCH included. Zero-filled.
// Null for another element type, cDims other than 1, bounds whose indexes (the upper bound
// included) do not all fit a LONG, or when memory runs out.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Clears every element (frees strings, releases interfaces, clears variants) and frees the
// array; DISP_E_ARRAYISLOCKED while it is locked.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
// Deep copy; *ppsaOut is null on failure.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// Copies the element into *pv, which is overwritten without being cleared: a BSTR is
// duplicated, a VARIANT copied, an interface AddRef'd.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
// Copies the value in, the same way, after clearing the element it replaces. For BSTR,
// UNKNOWN and DISPATCH elements pv is the pointer itself, not its address.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);

namespace com {
// Bytes of one element of a SAFEARRAY of that type; 0 for a type no SAFEARRAY holds.
ULONG safeArrayElementSize(VARTYPE vt);
}  // namespace com

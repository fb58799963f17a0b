#pragma once
// IPersist, IPersistFile and IDispatch, and an IDispatch for interfaces that have no type
// information to bind late against.
#include "variant.h"

struct IPersist : IUnknown {
    static constexpr IID iid = {0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT GetClassID(CLSID* pClassID) = 0;
};

struct IPersistFile : IPersist {
    static constexpr IID iid = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT Load(LPCOLESTR pszFileName, DWORD dwMode) = 0;
    virtual HRESULT Save(LPCOLESTR pszFileName, BOOL fRemember) = 0;
    virtual HRESULT SaveCompleted(LPCOLESTR pszFileName) = 0;
    virtual HRESULT GetCurFile(LPOLESTR* ppszFileName) = 0;
};

using DISPID = LONG;
inline constexpr DISPID DISPID_UNKNOWN = -1;

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

// Only named: this layer has no type libraries to load type information from.
struct ITypeInfo;

struct IDispatch : IUnknown {
    static constexpr IID iid = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                           VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
};

inline constexpr IID IID_IPersist = IPersist::iid;
inline constexpr IID IID_IPersistFile = IPersistFile::iid;
inline constexpr IID IID_IDispatch = IDispatch::iid;

namespace com {

// Implements the IDispatch methods of interface I (an IDispatch) for an object without type
// information: no type info, no names, nothing to invoke. List it in place of I among the
// interfaces of a ComObject; it answers I's IID, and IID_IDispatch is the object's to answer
// through queryBase().
template <class I>
class DispatchWithoutTypeInfo : public I {
public:
    HRESULT GetTypeInfoCount(UINT* pctinfo) override
    {
        if (!pctinfo)
            return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }

    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override
    {
        if (!ppTInfo)
            return E_POINTER;
        *ppTInfo = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }

    // Every name gets DISPID_UNKNOWN.
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR*, UINT cNames, LCID, DISPID* rgDispId) override
    {
        if (riid != GUID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        if (cNames > 0 && !rgDispId)
            return E_POINTER;
        for (UINT i = 0; i < cNames; ++i)
            rgDispId[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }

    HRESULT Invoke(DISPID, REFIID riid, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return riid != GUID_NULL ? DISP_E_UNKNOWNINTERFACE : DISP_E_MEMBERNOTFOUND;
    }

protected:
    ~DispatchWithoutTypeInfo() = default;
};

}  // namespace com

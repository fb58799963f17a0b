#pragma once
// The component categories manager at its standard class ID, over com::classesRoot(). It
// writes the keys the system's manager writes:
//   Component Categories\{catid}  value "<lcid in hex>" (409 for English) = description
//   CLSID\{clsid}\Implemented Categories\{catid}
//   CLSID\{clsid}\Required Categories\{catid}
#include "enums.h"

struct CATEGORYINFO {
    CATID catid;
    LCID lcid;
    OLECHAR szDescription[128];
};

struct IEnumCATEGORYINFO;

struct ICatRegister : IUnknown {
    static constexpr IID iid = {0x0002E012, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT RegisterCategories(ULONG cCategories, CATEGORYINFO rgCategoryInfo[]) = 0;
    virtual HRESULT UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) = 0;
    virtual HRESULT RegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories, CATID rgcatid[]) = 0;
    virtual HRESULT UnRegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories, CATID rgcatid[]) = 0;
    virtual HRESULT RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories, CATID rgcatid[]) = 0;
    virtual HRESULT UnRegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories, CATID rgcatid[]) = 0;
};

struct ICatInformation : IUnknown {
    static constexpr IID iid = {0x0002E013, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT EnumCategories(LCID lcid, IEnumCATEGORYINFO** ppenumCategoryInfo) = 0;
    virtual HRESULT GetCategoryDesc(REFGUID rcatid, LCID lcid, LPWSTR* pszDesc) = 0;
    virtual HRESULT EnumClassesOfCategories(ULONG cImplemented, const CATID rgcatidImpl[], ULONG cRequired,
                                            const CATID rgcatidReq[], IEnumGUID** ppenumClsid) = 0;
    virtual HRESULT IsClassOfCategories(REFCLSID rclsid, ULONG cImplemented, const CATID rgcatidImpl[], ULONG cRequired,
                                        const CATID rgcatidReq[]) = 0;
    virtual HRESULT EnumImplCategoriesOfClass(REFCLSID rclsid, IEnumGUID** ppenumCatid) = 0;
    virtual HRESULT EnumReqCategoriesOfClass(REFCLSID rclsid, IEnumGUID** ppenumCatid) = 0;
};

inline constexpr IID IID_ICatRegister = ICatRegister::iid;
inline constexpr IID IID_ICatInformation = ICatInformation::iid;
inline constexpr CLSID CLSID_StdComponentCategoriesMgr = {0x0002E005, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace com {

// Makes the manager creatable with CoCreateInstance (any server context) from the calling
// apartment, which must be initialised; its registration ends with CoRevokeClassObject or the
// apartment. The manager keeps no process alive.
HRESULT registerComponentCategoriesManager(DWORD* cookie = nullptr);

}  // namespace com

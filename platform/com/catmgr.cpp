#include "catmgr.h"

#include <algorithm>
#include <cstdio>

#include "platform/text.h"
#include "registry.h"
#include "runtime.h"

namespace com {
namespace {

constexpr ULONG anyCategory = static_cast<ULONG>(-1);

std::u16string categoryKey(REFGUID catid)
{
    return u"Component Categories\\" + guidToWString(catid);
}

std::u16string classCategoriesKey(REFCLSID clsid, bool required)
{
    return u"CLSID\\" + guidToWString(clsid) + (required ? u"\\Required Categories" : u"\\Implemented Categories");
}

std::u16string lcidName(LCID lcid)
{
    char buf[12];
    std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(lcid));
    return plat::utf8ToUtf16(buf);
}

std::optional<GUID> guidOfKey(const std::u16string& name)
{
    return guidFromString(plat::utf16ToUtf8(name));
}

HRESULT hresultOf(RegResult r)
{
    return r == RegResult::ok || r == RegResult::notFound ? S_OK : REGDB_E_WRITEREGDB;
}

bool contains(ULONG count, const CATID list[], REFGUID id)
{
    return std::find(list, list + count, id) != list + count;
}

class CategoriesManager : public ComObject<ICatRegister, ICatInformation> {
public:
    CategoriesManager() : ComObject(notCounted) {}

    HRESULT RegisterCategories(ULONG cCategories, CATEGORYINFO rgCategoryInfo[]) override
    {
        if (cCategories > 0 && !rgCategoryInfo)
            return E_POINTER;
        return orOutOfMemory([&] {
            for (ULONG i = 0; i < cCategories; ++i) {
                const CATEGORYINFO& info = rgCategoryInfo[i];
                const OLECHAR* end = std::find(std::begin(info.szDescription), std::end(info.szDescription), u'\0');
                const std::u16string_view description(info.szDescription, static_cast<std::size_t>(end - info.szDescription));
                if (classesRoot().setValue(categoryKey(info.catid), lcidName(info.lcid), description) != RegResult::ok)
                    return REGDB_E_WRITEREGDB;
            }
            return S_OK;
        });
    }

    HRESULT UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) override
    {
        if (cCategories > 0 && !rgcatid)
            return E_POINTER;
        return orOutOfMemory([&] {
            for (ULONG i = 0; i < cCategories; ++i)
                if (const HRESULT hr = hresultOf(classesRoot().deleteTree(categoryKey(rgcatid[i]))); FAILED(hr))
                    return hr;
            return S_OK;
        });
    }

    HRESULT RegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories, CATID rgcatid[]) override
    {
        return registerClass(rclsid, cCategories, rgcatid, false);
    }

    HRESULT UnRegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories, CATID rgcatid[]) override
    {
        return unregisterClass(rclsid, cCategories, rgcatid, false);
    }

    HRESULT RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories, CATID rgcatid[]) override
    {
        return registerClass(rclsid, cCategories, rgcatid, true);
    }

    HRESULT UnRegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories, CATID rgcatid[]) override
    {
        return unregisterClass(rclsid, cCategories, rgcatid, true);
    }

    HRESULT EnumCategories(LCID, IEnumCATEGORYINFO** ppenumCategoryInfo) override
    {
        if (ppenumCategoryInfo)
            *ppenumCategoryInfo = nullptr;
        return E_NOTIMPL;
    }

    HRESULT GetCategoryDesc(REFGUID, LCID, LPWSTR* pszDesc) override
    {
        if (pszDesc)
            *pszDesc = nullptr;
        return E_NOTIMPL;
    }

    // Classes that implement at least one of rgcatidImpl and require none outside rgcatidReq;
    // a count of -1 drops that condition.
    HRESULT EnumClassesOfCategories(ULONG cImplemented, const CATID rgcatidImpl[], ULONG cRequired,
                                    const CATID rgcatidReq[], IEnumGUID** ppenumClsid) override
    {
        if (!ppenumClsid)
            return E_POINTER;
        *ppenumClsid = nullptr;
        if (const HRESULT hr = checkLists(cImplemented, rgcatidImpl, cRequired, rgcatidReq); FAILED(hr))
            return hr;
        return orOutOfMemory([&] {
            std::vector<GUID> classes;
            for (const auto& name : classesRoot().subkeys(u"CLSID")) {
                const auto clsid = guidOfKey(name);
                if (clsid && isOf(*clsid, cImplemented, rgcatidImpl, cRequired, rgcatidReq))
                    classes.push_back(*clsid);
            }
            *ppenumClsid = makeCom<GuidEnumerator>(std::move(classes)).detach();
            return S_OK;
        });
    }

    HRESULT IsClassOfCategories(REFCLSID rclsid, ULONG cImplemented, const CATID rgcatidImpl[], ULONG cRequired,
                                const CATID rgcatidReq[]) override
    {
        if (const HRESULT hr = checkLists(cImplemented, rgcatidImpl, cRequired, rgcatidReq); FAILED(hr))
            return hr;
        return orOutOfMemory([&] { return isOf(rclsid, cImplemented, rgcatidImpl, cRequired, rgcatidReq) ? S_OK : S_FALSE; });
    }

    HRESULT EnumImplCategoriesOfClass(REFCLSID, IEnumGUID** ppenumCatid) override
    {
        if (ppenumCatid)
            *ppenumCatid = nullptr;
        return E_NOTIMPL;
    }

    HRESULT EnumReqCategoriesOfClass(REFCLSID, IEnumGUID** ppenumCatid) override
    {
        if (ppenumCatid)
            *ppenumCatid = nullptr;
        return E_NOTIMPL;
    }

private:
    static HRESULT registerClass(REFCLSID clsid, ULONG count, CATID list[], bool required)
    {
        if (count > 0 && !list)
            return E_POINTER;
        return orOutOfMemory([&] {
            const std::u16string base = classCategoriesKey(clsid, required);
            for (ULONG i = 0; i < count; ++i)
                if (classesRoot().createKey(base + u"\\" + guidToWString(list[i])) != RegResult::ok)
                    return REGDB_E_WRITEREGDB;
            return S_OK;
        });
    }

    // Never creates a key: the class key may already be gone. The categories key goes with
    // its last category.
    static HRESULT unregisterClass(REFCLSID clsid, ULONG count, CATID list[], bool required)
    {
        if (count > 0 && !list)
            return E_POINTER;
        return orOutOfMemory([&] {
            Registry& reg = classesRoot();
            const std::u16string base = classCategoriesKey(clsid, required);
            for (ULONG i = 0; i < count; ++i)
                if (const HRESULT hr = hresultOf(reg.deleteTree(base + u"\\" + guidToWString(list[i]))); FAILED(hr))
                    return hr;
            if (reg.keyExists(base) && reg.subkeys(base).empty() && reg.valueNames(base).empty() && !reg.value(base))
                return hresultOf(reg.deleteKey(base));
            return S_OK;
        });
    }

    static HRESULT checkLists(ULONG cImplemented, const CATID impl[], ULONG cRequired, const CATID req[])
    {
        if (cImplemented == 0)
            return E_INVALIDARG;
        if ((cImplemented != anyCategory && !impl) || (cRequired != anyCategory && cRequired > 0 && !req))
            return E_POINTER;
        return S_OK;
    }

    static bool isOf(REFCLSID clsid, ULONG cImplemented, const CATID impl[], ULONG cRequired, const CATID req[])
    {
        const Registry& reg = classesRoot();
        if (cImplemented != anyCategory) {
            const std::u16string base = classCategoriesKey(clsid, false) + u"\\";
            const bool implements = std::any_of(impl, impl + cImplemented, [&](const CATID& c) { return reg.keyExists(base + guidToWString(c)); });
            if (!implements)
                return false;
        }
        if (cRequired != anyCategory) {
            for (const auto& name : reg.subkeys(classCategoriesKey(clsid, true))) {
                const auto catid = guidOfKey(name);
                if (!catid || !contains(cRequired, req, *catid))
                    return false;
            }
        }
        return true;
    }
};

}  // namespace

HRESULT registerComponentCategoriesManager(DWORD* cookie)
{
    DWORD registration = 0;
    const HRESULT hr = orOutOfMemory([&] {
        const auto factory = makeCom<ClassFactory<CategoriesManager>>();
        return CoRegisterClassObject(CLSID_StdComponentCategoriesMgr, factory.get(), CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE, &registration);
    });
    if (cookie)
        *cookie = registration;
    return hr;
}

}  // namespace com

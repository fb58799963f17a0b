#include <gtest/gtest.h>

#include <cstddef>
#include <functional>

#include "failing_new.h"
#include "platform/com/catmgr.h"
#include "platform/com/opcda.h"
#include "platform/com/registry.h"
#include "platform/com/runtime.h"

namespace {

static_assert(sizeof(CATEGORYINFO) == 276);
static_assert(offsetof(CATEGORYINFO, szDescription) == 20);

constexpr CLSID CLSID_Server = {0x806F6780, 0x14F5, 0x4D43, {0xBF, 0x45, 0xBB, 0x50, 0x8E, 0xD2, 0xB7, 0x24}};
constexpr CLSID CLSID_Other = {0x4F40460E, 0xB3B5, 0x47A0, {0xAF, 0x28, 0xDC, 0xF0, 0x71, 0xB6, 0xE3, 0xDD}};
constexpr CATID CATID_Other = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr CATID CATID_Needed = {0x66666666, 0x7777, 0x8888, {0x99, 0x99, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}};

const std::u16string categoryKey = u"Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
const std::u16string serverKey = u"CLSID\\{806F6780-14F5-4D43-BF45-BB508ED2B724}";
const std::u16string implementedKey = serverKey + u"\\Implemented Categories";

CATEGORYINFO info(REFGUID catid, std::u16string_view description, LCID lcid = 0x409)
{
    CATEGORYINFO i{catid, lcid, {}};
    std::copy(description.begin(), description.end(), i.szDescription);
    return i;
}

class CategoriesManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(apartment_.result()));
        com::classesRoot().detachFile();
        com::classesRoot().deleteTree(u"");
        ASSERT_EQ(com::registerComponentCategoriesManager(&cookie_), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister, reg_.putVoid()), S_OK);
        ASSERT_EQ(reg_.as(info_), S_OK);
    }
    void TearDown() override
    {
        reg_ = nullptr;
        info_ = nullptr;
        CoRevokeClassObject(cookie_);
        com::classesRoot().deleteTree(u"");
    }

    HRESULT implementsOnly(REFCLSID clsid, CATID catid)
    {
        return info_->IsClassOfCategories(clsid, 1, &catid, static_cast<ULONG>(-1), nullptr);
    }

    std::vector<GUID> classesOf(CATID catid)
    {
        com::ComPtr<IEnumGUID> e;
        EXPECT_EQ(info_->EnumClassesOfCategories(1, &catid, static_cast<ULONG>(-1), nullptr, e.put()), S_OK);
        std::vector<GUID> out;
        GUID g;
        ULONG n = 0;
        while (e && e->Next(1, &g, &n) == S_OK)
            out.push_back(g);
        return out;
    }

    com::ApartmentScope apartment_;
    DWORD cookie_ = 0;
    com::ComPtr<ICatRegister> reg_;
    com::ComPtr<ICatInformation> info_;
};

TEST_F(CategoriesManager, CreatableOnlyOnceRegistered)
{
    CoRevokeClassObject(cookie_);
    com::ComPtr<ICatRegister> none;
    EXPECT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister, none.putVoid()),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(com::registerComponentCategoriesManager(&cookie_), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_LOCAL_SERVER, IID_ICatRegister, none.putVoid()), S_OK);
    EXPECT_EQ(com::serverProcessCount(), 0u) << "the system's manager keeps no server alive";
}

TEST_F(CategoriesManager, RegisteringWritesTheKeysOfTheSystemManager)
{
    CATEGORYINFO cat = info(CATID_OPCDAServer20, u"VORN OPC Data Access");
    ASSERT_EQ(reg_->RegisterCategories(1, &cat), S_OK);
    EXPECT_EQ(com::classesRoot().value(categoryKey, u"409"), u"VORN OPC Data Access");
    CATEGORYINFO czech = info(CATID_OPCDAServer20, u"VORN OPC přístup k datům", 0x405);
    ASSERT_EQ(reg_->RegisterCategories(1, &czech), S_OK);
    EXPECT_EQ(com::classesRoot().value(categoryKey, u"405"), u"VORN OPC přístup k datům");

    CATID catid = CATID_OPCDAServer20;
    ASSERT_EQ(reg_->RegisterClassImplCategories(CLSID_Server, 1, &catid), S_OK);
    EXPECT_TRUE(com::classesRoot().keyExists(implementedKey + u"\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"));
    ASSERT_EQ(reg_->RegisterClassReqCategories(CLSID_Server, 1, &catid), S_OK);
    EXPECT_TRUE(com::classesRoot().keyExists(serverKey + u"\\Required Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"));
}

TEST_F(CategoriesManager, DescriptionEndsAtTheFirstNulOrTheFieldEnd)
{
    CATEGORYINFO full = info(CATID_OPCDAServer20, std::u16string(128, u'x'));
    ASSERT_EQ(reg_->RegisterCategories(1, &full), S_OK);
    EXPECT_EQ(com::classesRoot().value(categoryKey, u"409"), std::u16string(128, u'x'));
    CATEGORYINFO cut = info(CATID_OPCDAServer20, std::u16string(u"short\0hidden", 12));
    ASSERT_EQ(reg_->RegisterCategories(1, &cut), S_OK);
    EXPECT_EQ(com::classesRoot().value(categoryKey, u"409"), u"short");
}

TEST_F(CategoriesManager, MembershipAsTheInformationInterfaceSeesIt)
{
    CATID implemented = CATID_OPCDAServer20;
    CATID required = CATID_Needed;
    ASSERT_EQ(reg_->RegisterClassImplCategories(CLSID_Server, 1, &implemented), S_OK);
    ASSERT_EQ(reg_->RegisterClassReqCategories(CLSID_Server, 1, &required), S_OK);
    CATID other = CATID_Other;
    ASSERT_EQ(reg_->RegisterClassImplCategories(CLSID_Other, 1, &other), S_OK);

    constexpr ULONG any = static_cast<ULONG>(-1);
    struct Case {
        const char* what;
        std::vector<CATID> impl;
        ULONG implCount;  // any: the list is not looked at
        std::vector<CATID> req;
        ULONG reqCount;
        HRESULT expected;
    };
    const Case cases[] = {
        {"implements it", {CATID_OPCDAServer20}, 1, {}, any, S_OK},
        {"implements another", {CATID_Other}, 1, {}, any, S_FALSE},
        {"one of several", {CATID_Other, CATID_OPCDAServer20}, 2, {}, any, S_OK},
        {"requires only listed", {}, any, {CATID_Needed}, 1, S_OK},
        {"requires an unlisted one", {}, any, {}, 0, S_FALSE},
        {"both conditions", {CATID_OPCDAServer20}, 1, {CATID_Other, CATID_Needed}, 2, S_OK},
        {"no condition", {}, any, {}, any, S_OK},
        {"zero implemented", {}, 0, {}, any, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(info_->IsClassOfCategories(CLSID_Server, c.implCount, c.impl.data(), c.reqCount, c.req.data()), c.expected);
    }

    EXPECT_EQ(classesOf(CATID_OPCDAServer20), std::vector<GUID>{CLSID_Server});
    EXPECT_EQ(classesOf(CATID_Other), std::vector<GUID>{CLSID_Other});
    com::ComPtr<IEnumGUID> e;
    EXPECT_EQ(info_->EnumClassesOfCategories(0, nullptr, any, nullptr, e.put()), E_INVALIDARG);
    EXPECT_FALSE(e);
}

TEST_F(CategoriesManager, UnregisteringRemovesTheKeys)
{
    CATEGORYINFO cat = info(CATID_OPCDAServer20, u"VORN OPC Data Access");
    CATID catid = CATID_OPCDAServer20;
    CATID other = CATID_Other;
    reg_->RegisterCategories(1, &cat);
    reg_->RegisterClassImplCategories(CLSID_Server, 1, &catid);
    reg_->RegisterClassImplCategories(CLSID_Server, 1, &other);
    com::classesRoot().setValue(serverKey, u"", u"VORN OPC Data Access 2.0");

    ASSERT_EQ(reg_->UnRegisterClassImplCategories(CLSID_Server, 1, &catid), S_OK);
    EXPECT_EQ(implementsOnly(CLSID_Server, CATID_OPCDAServer20), S_FALSE);
    EXPECT_TRUE(classesOf(CATID_OPCDAServer20).empty());
    EXPECT_TRUE(com::classesRoot().keyExists(implementedKey)) << "still holds the other category";

    ASSERT_EQ(reg_->UnRegisterClassImplCategories(CLSID_Server, 1, &other), S_OK);
    EXPECT_FALSE(com::classesRoot().keyExists(implementedKey)) << "goes with its last category";
    EXPECT_EQ(com::classesRoot().value(serverKey), u"VORN OPC Data Access 2.0") << "the class key is not the manager's";

    ASSERT_EQ(reg_->UnRegisterCategories(1, &catid), S_OK);
    EXPECT_FALSE(com::classesRoot().keyExists(categoryKey));
    EXPECT_TRUE(com::classesRoot().keyExists(u"Component Categories"));
}

TEST_F(CategoriesManager, UnregisteringWhatIsGoneCreatesNothing)
{
    // The server's unregistration deletes its class key before it leaves the category.
    CATID catid = CATID_OPCDAServer20;
    EXPECT_EQ(reg_->UnRegisterClassImplCategories(CLSID_Server, 1, &catid), S_OK);
    EXPECT_EQ(reg_->UnRegisterClassReqCategories(CLSID_Server, 1, &catid), S_OK);
    EXPECT_EQ(reg_->UnRegisterCategories(1, &catid), S_OK);
    EXPECT_TRUE(com::classesRoot().subkeys(u"").empty());
}

TEST_F(CategoriesManager, WriteFailureIsReported)
{
    com::classesRoot().attachFile("/proc/vx-no-such-place/classes.reg");
    CATID catid = CATID_OPCDAServer20;
    EXPECT_EQ(reg_->RegisterClassImplCategories(CLSID_Server, 1, &catid), REGDB_E_WRITEREGDB);
    com::classesRoot().detachFile();
    EXPECT_FALSE(com::classesRoot().keyExists(serverKey));
}

TEST_F(CategoriesManager, RunningOutOfMemoryIsAResultNotAnException)
{
    CATEGORYINFO category = info(CATID_OPCDAServer20, u"OPC Data Access Servers Version 2.0");
    CATID catid = CATID_OPCDAServer20;
    struct Call {
        const char* name;
        std::function<HRESULT()> call;
    };
    const Call calls[] = {
        {"register category", [&] { return reg_->RegisterCategories(1, &category); }},
        {"register class", [&] { return reg_->RegisterClassImplCategories(CLSID_Server, 1, &catid); }},
        {"ask", [&] { return implementsOnly(CLSID_Server, catid); }},
        {"enumerate", [&] {
             com::ComPtr<IEnumGUID> e;
             return info_->EnumClassesOfCategories(1, &catid, static_cast<ULONG>(-1), nullptr, e.put());
         }},
        {"unregister class", [&] { return reg_->UnRegisterClassImplCategories(CLSID_Server, 1, &catid); }},
        {"unregister category", [&] { return reg_->UnRegisterCategories(1, &catid); }},
    };
    // Each call in turn sees every allocation it makes fail, until it needs none that fails.
    for (const Call& c : calls) {
        SCOPED_TRACE(c.name);
        HRESULT hr = E_OUTOFMEMORY;
        bool threw = false;
        for (std::size_t n = 0; hr == E_OUTOFMEMORY && n < 1000; ++n)
            hr = comtest::resultWhileNewFails(n, c.call, threw);
        EXPECT_FALSE(threw);
        EXPECT_TRUE(SUCCEEDED(hr)) << hr;
    }
    EXPECT_FALSE(com::classesRoot().keyExists(categoryKey));
    EXPECT_FALSE(com::classesRoot().keyExists(implementedKey));
}

TEST_F(CategoriesManager, OtherQueriesAreNotImplemented)
{
    LPWSTR desc = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(info_->GetCategoryDesc(CATID_OPCDAServer20, 0x409, &desc), E_NOTIMPL);
    EXPECT_EQ(desc, nullptr);
    IEnumGUID* e = reinterpret_cast<IEnumGUID*>(1);
    EXPECT_EQ(info_->EnumImplCategoriesOfClass(CLSID_Server, &e), E_NOTIMPL);
    EXPECT_EQ(e, nullptr);
    IEnumCATEGORYINFO* cats = reinterpret_cast<IEnumCATEGORYINFO*>(1);
    EXPECT_EQ(info_->EnumCategories(0x409, &cats), E_NOTIMPL);
    EXPECT_EQ(cats, nullptr);
}

}  // namespace

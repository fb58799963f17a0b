#include <gtest/gtest.h>

#include <cstddef>

#include "platform/com/connpoint.h"
#include "platform/com/opcda.h"
#include "platform/com/persist.h"

namespace {

// The records as the published IDL lays them out for 64-bit Windows clients.
static_assert(sizeof(OPCDATASOURCE) == 4 && sizeof(OPCEUTYPE) == 4 && sizeof(OPCSERVERSTATE) == 4 && sizeof(OPCENUMSCOPE) == 4);

static_assert(sizeof(OPCITEMDEF) == 48);
static_assert(offsetof(OPCITEMDEF, szItemID) == 8);
static_assert(offsetof(OPCITEMDEF, bActive) == 16);
static_assert(offsetof(OPCITEMDEF, hClient) == 20);
static_assert(offsetof(OPCITEMDEF, dwBlobSize) == 24);
static_assert(offsetof(OPCITEMDEF, pBlob) == 32);
static_assert(offsetof(OPCITEMDEF, vtRequestedDataType) == 40);

static_assert(sizeof(OPCITEMRESULT) == 24);
static_assert(offsetof(OPCITEMRESULT, vtCanonicalDataType) == 4);
static_assert(offsetof(OPCITEMRESULT, dwAccessRights) == 8);
static_assert(offsetof(OPCITEMRESULT, dwBlobSize) == 12);
static_assert(offsetof(OPCITEMRESULT, pBlob) == 16);

static_assert(sizeof(OPCITEMSTATE) == 40);
static_assert(offsetof(OPCITEMSTATE, ftTimeStamp) == 4);
static_assert(offsetof(OPCITEMSTATE, wQuality) == 12);
static_assert(offsetof(OPCITEMSTATE, vDataValue) == 16);

static_assert(sizeof(OPCITEMATTRIBUTES) == 80);
static_assert(offsetof(OPCITEMATTRIBUTES, bActive) == 16);
static_assert(offsetof(OPCITEMATTRIBUTES, hServer) == 24);
static_assert(offsetof(OPCITEMATTRIBUTES, dwBlobSize) == 32);
static_assert(offsetof(OPCITEMATTRIBUTES, pBlob) == 40);
static_assert(offsetof(OPCITEMATTRIBUTES, vtRequestedDataType) == 48);
static_assert(offsetof(OPCITEMATTRIBUTES, vtCanonicalDataType) == 50);
static_assert(offsetof(OPCITEMATTRIBUTES, dwEUType) == 52);
static_assert(offsetof(OPCITEMATTRIBUTES, vEUInfo) == 56);

static_assert(sizeof(OPCSERVERSTATUS) == 56);
static_assert(offsetof(OPCSERVERSTATUS, ftLastUpdateTime) == 16);
static_assert(offsetof(OPCSERVERSTATUS, dwServerState) == 24);
static_assert(offsetof(OPCSERVERSTATUS, dwBandWidth) == 32);
static_assert(offsetof(OPCSERVERSTATUS, wMajorVersion) == 36);
static_assert(offsetof(OPCSERVERSTATUS, wReserved) == 42);
static_assert(offsetof(OPCSERVERSTATUS, szVendorInfo) == 48);

static_assert(sizeof(CONNECTDATA) == 16);

TEST(OpcDeclarations, InterfaceIdsOfTheStandard)
{
    struct Case {
        const IID& iid;
        const char* text;
    };
    const Case cases[] = {
        {IID_IOPCServer, "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"},
        {IID_IOPCItemMgt, "{39C13A54-011E-11D0-9675-0020AFD8ADB3}"},
        {IID_IEnumOPCItemAttributes, "{39C13A55-011E-11D0-9675-0020AFD8ADB3}"},
        {IID_IOPCDataCallback, "{39C13A70-011E-11D0-9675-0020AFD8ADB3}"},
        {IID_IOPCAsyncIO2, "{39C13A71-011E-11D0-9675-0020AFD8ADB3}"},
        {IID_IOPCItemProperties, "{39C13A72-011E-11D0-9675-0020AFD8ADB3}"},
        {IID_IOPCCommon, "{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}"},
        {IID_IOPCShutdown, "{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}"},
        {IID_IOPCPublicGroupStateMgt, "{39C13A51-011E-11D0-9675-0020AFD8ADB3}"},
        {IID_IConnectionPointContainer, "{B196B284-BAB4-101A-B69C-00AA00341D07}"},
        {IID_IEnumString, "{00000101-0000-0000-C000-000000000046}"},
        {IID_IEnumUnknown, "{00000100-0000-0000-C000-000000000046}"},
        {CATID_OPCDAServer20, "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(com::guidToString(c.iid), c.text);
}

// An automation interface without methods of its own, as a server object may carry.
struct IAutomation : IDispatch {
    static constexpr IID iid = {0x03418B92, 0x0244, 0x496C, {0xBB, 0x88, 0x7D, 0x7D, 0x8F, 0xD0, 0x0E, 0x1A}};
};

class Automated : public com::ComObject<com::DispatchWithoutTypeInfo<IAutomation>> {
protected:
    void* queryBase(REFIID riid) override { return riid == IID_IDispatch ? static_cast<IDispatch*>(this) : nullptr; }
};

TEST(DispatchWithoutTypeInfo, LateBindingFindsNothing)
{
    auto object = com::makeCom<Automated>();
    com::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(object.as(dispatch), S_OK);
    com::ComPtr<IAutomation> automation;
    ASSERT_EQ(object.as(automation), S_OK);

    UINT count = 99;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(dispatch->GetTypeInfo(0, 0x409, &info), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(info, nullptr);

    OLECHAR name[] = u"Read";
    LPOLESTR names[] = {name, name};
    DISPID ids[2] = {7, 7};
    EXPECT_EQ(dispatch->GetIDsOfNames(GUID_NULL, names, 2, 0x409, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_IDispatch, names, 1, 0x409, ids), DISP_E_UNKNOWNINTERFACE);

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(dispatch->Invoke(1, GUID_NULL, 0x409, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
}

}  // namespace

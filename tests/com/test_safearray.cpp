#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "alloc_balance.h"
#include "platform/com/alloc.h"
#include "platform/com/safearray.h"

namespace {

class Probe : public com::ComObject<IUnknown> {};

class SafeArray : public comtest::TaskAllocBalance {};

TEST_F(SafeArray, DescriptorLayoutMatchesWindows)
{
    EXPECT_EQ(offsetof(SAFEARRAY, cDims), 0u);
    EXPECT_EQ(offsetof(SAFEARRAY, fFeatures), 2u);
    EXPECT_EQ(offsetof(SAFEARRAY, cbElements), 4u);
    EXPECT_EQ(offsetof(SAFEARRAY, cLocks), 8u);
    EXPECT_EQ(offsetof(SAFEARRAY, pvData), 16u);
    EXPECT_EQ(offsetof(SAFEARRAY, rgsabound), 24u);
    EXPECT_EQ(sizeof(SAFEARRAYBOUND), 8u);
}

TEST_F(SafeArray, ElementTypesAndSizes)
{
    struct Case {
        VARTYPE vt;
        UINT size;
    };
    const Case cases[] = {
        {VT_I1, 1},  {VT_UI1, 1},  {VT_I2, 2},   {VT_UI2, 2},     {VT_BOOL, 2},     {VT_I4, 4},
        {VT_UI4, 4}, {VT_INT, 4},  {VT_UINT, 4}, {VT_R4, 4},      {VT_ERROR, 4},    {VT_I8, 8},
        {VT_UI8, 8}, {VT_R8, 8},   {VT_CY, 8},   {VT_DATE, 8},    {VT_BSTR, 8},     {VT_UNKNOWN, 8},
        {VT_DISPATCH, 8},          {VT_VARIANT, 24},              {VT_DECIMAL, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vt);
        SAFEARRAY* sa = SafeArrayCreateVector(c.vt, 0, 3);
        ASSERT_NE(sa, nullptr);
        EXPECT_EQ(SafeArrayGetElemsize(sa), c.size);
        EXPECT_EQ(SafeArrayGetDim(sa), 1u);
        VARTYPE vt = 0;
        EXPECT_EQ(SafeArrayGetVartype(sa, &vt), S_OK);
        EXPECT_EQ(vt, c.vt);
        EXPECT_TRUE(sa->fFeatures & FADF_HAVEVARTYPE);
        // Zero-filled.
        const auto* bytes = static_cast<const unsigned char*>(sa->pvData);
        for (UINT i = 0; i < 3 * c.size; ++i)
            ASSERT_EQ(bytes[i], 0) << i;
        EXPECT_EQ(SafeArrayDestroy(sa), S_OK);
    }
    for (VARTYPE vt : {VARTYPE(VT_EMPTY), VARTYPE(VT_NULL), VARTYPE(15), VARTYPE(24), VARTYPE(VT_CLSID),
                       VARTYPE(VT_ARRAY | VT_I4)}) {
        SCOPED_TRACE(vt);
        EXPECT_EQ(SafeArrayCreateVector(vt, 0, 3), nullptr);
    }
    SAFEARRAYBOUND two[2] = {{2, 0}, {2, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_I4, 2, two), nullptr);
    const SAFEARRAY* bstrs = SafeArrayCreateVector(VT_BSTR, 0, 1);
    EXPECT_TRUE(bstrs->fFeatures & FADF_BSTR);
    SafeArrayDestroy(const_cast<SAFEARRAY*>(bstrs));
}

TEST_F(SafeArray, BoundsAndIndexes)
{
    struct Case {
        LONG lbound;
        ULONG count;
        LONG ubound;
    };
    const Case cases[] = {{-3, 4, 0}, {1, 5, 5}, {0, 1, 0}, {7, 0, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lbound);
        SAFEARRAY* sa = SafeArrayCreateVector(VT_I4, c.lbound, c.count);
        ASSERT_NE(sa, nullptr);
        LONG lb = 99, ub = 99;
        EXPECT_EQ(SafeArrayGetLBound(sa, 1, &lb), S_OK);
        EXPECT_EQ(SafeArrayGetUBound(sa, 1, &ub), S_OK);
        EXPECT_EQ(lb, c.lbound);
        EXPECT_EQ(ub, c.ubound);
        EXPECT_EQ(SafeArrayGetLBound(sa, 2, &lb), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayGetUBound(sa, 0, &ub), DISP_E_BADINDEX);

        for (LONG i = c.lbound; i <= c.ubound; ++i) {
            LONG v = i * 10;
            EXPECT_EQ(SafeArrayPutElement(sa, &i, &v), S_OK);
        }
        for (LONG i = c.lbound; i <= c.ubound; ++i) {
            LONG v = 0;
            EXPECT_EQ(SafeArrayGetElement(sa, &i, &v), S_OK);
            EXPECT_EQ(v, i * 10);
        }
        LONG v = 0;
        for (LONG outside : {c.lbound - 1, c.ubound + 1}) {
            EXPECT_EQ(SafeArrayGetElement(sa, &outside, &v), DISP_E_BADINDEX);
            EXPECT_EQ(SafeArrayPutElement(sa, &outside, &v), DISP_E_BADINDEX);
        }
        SafeArrayDestroy(sa);
    }
}

TEST_F(SafeArray, BoundsWhoseIndexesDoNotFitALongAreRefused)
{
    // Every element needs a LONG index, and so does the upper bound, one below the lower in an
    // empty array.
    struct Case {
        LONG lbound;
        ULONG count;
        bool created;
    };
    const Case cases[] = {
        {INT32_MAX, 1, true},      {INT32_MAX, 2, false},    {INT32_MAX - 9, 10, true}, {INT32_MAX - 9, 11, false},
        {INT32_MIN, 1, true},      {INT32_MIN, 0, false},    {INT32_MIN + 1, 0, true},  {-5, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.lbound << " + " << c.count);
        SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, c.lbound, c.count);
        EXPECT_EQ(sa != nullptr, c.created);
        if (!sa)
            continue;
        LONG ub = 0;
        EXPECT_EQ(SafeArrayGetUBound(sa, 1, &ub), S_OK);
        EXPECT_EQ(ub, static_cast<long long>(c.lbound) + c.count - 1);
        if (c.count > 0) {
            BYTE v = 9;
            EXPECT_EQ(SafeArrayPutElement(sa, &ub, &v), S_OK);
            v = 0;
            EXPECT_EQ(SafeArrayGetElement(sa, &ub, &v), S_OK);
            EXPECT_EQ(v, 9);
        }
        SafeArrayDestroy(sa);
    }
}

TEST_F(SafeArray, StringElementsAreCopiedInAndOut)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 1, 2);
    LONG i = 1;
    BSTR mine = SysAllocString(u"first");
    ASSERT_EQ(SafeArrayPutElement(sa, &i, mine), S_OK);
    SysFreeString(mine);  // the array holds its own copy
    const com::Bstr second(std::u16string_view(u"second"));
    ASSERT_EQ(SafeArrayPutElement(sa, &i, second.get()), S_OK);  // frees "first"
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(sa, &i, &out), S_OK);
    EXPECT_EQ(std::u16string(out), u"second");
    EXPECT_NE(out, static_cast<BSTR*>(sa->pvData)[0]);
    SysFreeString(out);

    // A failed copy leaves the element as it was.
    const com::Bstr third(std::u16string_view(u"third"));
    com::failTaskAllocAfter(0);
    EXPECT_EQ(SafeArrayPutElement(sa, &i, third.get()), E_OUTOFMEMORY);
    EXPECT_EQ(SafeArrayGetElement(sa, &i, &out), E_OUTOFMEMORY);
    com::clearTaskAllocFailure();
    EXPECT_EQ(std::u16string(static_cast<BSTR*>(sa->pvData)[0]), u"second");

    // A null string is a valid element.
    i = 2;
    EXPECT_EQ(SafeArrayPutElement(sa, &i, nullptr), S_OK);
    EXPECT_EQ(SafeArrayDestroy(sa), S_OK);
}

TEST_F(SafeArray, VariantAndInterfaceElements)
{
    auto probe = com::makeCom<Probe>();
    SAFEARRAY* units = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(units, &i, probe->unknown()), S_OK);
    EXPECT_EQ(probe->refCount(), 2u);
    IUnknown* got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(units, &i, &got), S_OK);
    EXPECT_EQ(probe->refCount(), 3u);
    got->Release();

    SAFEARRAY* vars = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"in a variant");
    ASSERT_EQ(SafeArrayPutElement(vars, &i, &v), S_OK);
    VariantClear(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = probe->unknown();
    i = 1;
    ASSERT_EQ(SafeArrayPutElement(vars, &i, &v), S_OK);
    EXPECT_EQ(probe->refCount(), 3u);
    VARIANT out;
    VariantInit(&out);
    i = 0;
    ASSERT_EQ(SafeArrayGetElement(vars, &i, &out), S_OK);
    EXPECT_EQ(std::u16string(out.bstrVal), u"in a variant");
    VariantClear(&out);

    // Destroying releases and clears every element.
    EXPECT_EQ(SafeArrayDestroy(units), S_OK);
    EXPECT_EQ(SafeArrayDestroy(vars), S_OK);
    EXPECT_EQ(probe->refCount(), 1u);
}

TEST_F(SafeArray, LocksGuardTheArray)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_I2, 0, 4);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(sa, &data), S_OK);
    EXPECT_EQ(data, sa->pvData);
    static_cast<SHORT*>(data)[3] = 33;
    EXPECT_EQ(SafeArrayDestroy(sa), DISP_E_ARRAYISLOCKED);
    // Elements may still be read and written while it is locked.
    LONG i = 3;
    SHORT v = 0;
    EXPECT_EQ(SafeArrayGetElement(sa, &i, &v), S_OK);
    EXPECT_EQ(v, 33);
    ASSERT_EQ(SafeArrayLock(sa), S_OK);
    EXPECT_EQ(sa->cLocks, 2u);
    EXPECT_EQ(SafeArrayUnlock(sa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(sa), S_OK);
    EXPECT_EQ(SafeArrayUnlock(sa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(sa), S_OK);
}

TEST_F(SafeArray, CopyIsDeepAndAllOrNothing)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, -3, 3);
    const com::Bstr text(std::u16string_view(u"text"));
    for (LONG i = -3; i <= -1; ++i)
        SafeArrayPutElement(sa, &i, text.get());
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(sa, &copy), S_OK);
    LONG lb = 0;
    SafeArrayGetLBound(copy, 1, &lb);
    EXPECT_EQ(lb, -3);
    EXPECT_NE(static_cast<BSTR*>(copy->pvData)[0], static_cast<BSTR*>(sa->pvData)[0]);
    SafeArrayDestroy(copy);

    // Descriptor, data and three strings: each allocation in turn fails.
    for (std::size_t n = 0; n < 5; ++n) {
        SCOPED_TRACE(n);
        const auto before = com::taskAllocStats();
        com::failTaskAllocAfter(n);
        copy = sa;
        EXPECT_EQ(SafeArrayCopy(sa, &copy), E_OUTOFMEMORY);
        com::clearTaskAllocFailure();
        EXPECT_EQ(copy, nullptr);
        EXPECT_EQ(com::taskAllocStats().liveBlocks, before.liveBlocks);
    }
    EXPECT_EQ(SafeArrayCopy(nullptr, &copy), S_OK);
    EXPECT_EQ(copy, nullptr);
    SafeArrayDestroy(sa);
}

TEST_F(SafeArray, BadArgumentsAreRefused)
{
    LONG i = 0;
    LONG v = 0;
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &v), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(nullptr, &i, &v), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(nullptr, &i, &v), E_INVALIDARG);
    EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
    EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
    SAFEARRAY* sa = SafeArrayCreateVector(VT_I4, 0, 1);
    EXPECT_EQ(SafeArrayGetElement(sa, nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(sa, &i, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayCopy(sa, nullptr), E_INVALIDARG);
    SafeArrayDestroy(sa);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstddef>
#include <new>

#include "alloc_balance.h"
#include "platform/com/alloc.h"
#include "platform/com/safearray.h"
#include "platform/com/variant.h"

namespace {

class Probe : public com::ComObject<IUnknown> {};

class Variant : public comtest::TaskAllocBalance {};

VARIANT bstrVariant(const char16_t* text)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

TEST_F(Variant, LayoutMatchesWindows)
{
    EXPECT_EQ(sizeof(VARIANT), 24u);
    EXPECT_EQ(offsetof(VARIANT, vt), 0u);
    EXPECT_EQ(offsetof(VARIANT, wReserved1), 2u);
    EXPECT_EQ(offsetof(VARIANT, dblVal), 8u);
    EXPECT_EQ(offsetof(VARIANT, bstrVal), 8u);
    EXPECT_EQ(offsetof(VARIANT, decVal), 0u);
    EXPECT_EQ(offsetof(DECIMAL, scale), 2u);
    EXPECT_EQ(offsetof(DECIMAL, sign), 3u);
    EXPECT_EQ(offsetof(DECIMAL, Hi32), 4u);
    EXPECT_EQ(offsetof(DECIMAL, Lo64), 8u);
}

TEST_F(Variant, ClearFreesWhatItOwns)
{
    VARIANT s = bstrVariant(u"text");
    EXPECT_EQ(VariantClear(&s), S_OK);
    EXPECT_EQ(s.vt, VT_EMPTY);

    auto probe = com::makeCom<Probe>();
    VARIANT u;
    VariantInit(&u);
    u.vt = VT_UNKNOWN;
    u.punkVal = probe->unknown();
    probe->AddRef();
    EXPECT_EQ(probe->refCount(), 2u);
    EXPECT_EQ(VariantClear(&u), S_OK);
    EXPECT_EQ(probe->refCount(), 1u);

    VARIANT a;
    VariantInit(&a);
    a.vt = VT_ARRAY | VT_BSTR;
    a.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    LONG i = 1;
    SafeArrayPutElement(a.parray, &i, com::Bstr(std::u16string_view(u"element")).get());
    EXPECT_EQ(VariantClear(&a), S_OK);

    // A reference owns nothing.
    BSTR target = SysAllocString(u"kept");
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BYREF | VT_BSTR;
    r.pbstrVal = &target;
    EXPECT_EQ(VariantClear(&r), S_OK);
    EXPECT_EQ(std::u16string(target), u"kept");
    SysFreeString(target);
}

TEST_F(Variant, ClearRefusesBadTypesAndLockedArrays)
{
    for (VARTYPE vt : {VARTYPE(15), VARTYPE(VT_VARIANT), VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_ARRAY | VT_NULL), VARTYPE(24)}) {
        SCOPED_TRACE(vt);
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        v.lVal = 77;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
        EXPECT_EQ(v.vt, vt);
        EXPECT_EQ(v.lVal, 77);
    }

    VARIANT a;
    VariantInit(&a);
    a.vt = VT_ARRAY | VT_I4;
    a.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    SafeArrayLock(a.parray);
    EXPECT_EQ(VariantClear(&a), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(a.vt, VT_ARRAY | VT_I4);
    SafeArrayUnlock(a.parray);
    EXPECT_EQ(VariantClear(&a), S_OK);
}

TEST_F(Variant, CopyIsDeep)
{
    VARIANT src = bstrVariant(u"abc");
    VARIANT dst = bstrVariant(u"old value, freed by the copy");
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(dst.vt, VT_BSTR);
    EXPECT_NE(dst.bstrVal, src.bstrVal);
    EXPECT_EQ(std::u16string(dst.bstrVal), u"abc");
    EXPECT_EQ(VariantCopy(&src, &src), S_OK);  // onto itself: nothing happens
    VariantClear(&dst);
    VariantClear(&src);

    auto probe = com::makeCom<Probe>();
    VARIANT u;
    VariantInit(&u);
    u.vt = VT_UNKNOWN;
    u.punkVal = probe->unknown();
    VARIANT u2;
    VariantInit(&u2);
    ASSERT_EQ(VariantCopy(&u2, &u), S_OK);
    EXPECT_EQ(probe->refCount(), 2u);
    VariantClear(&u2);
    EXPECT_EQ(probe->refCount(), 1u);

    VARIANT a;
    VariantInit(&a);
    a.vt = VT_ARRAY | VT_I4;
    a.parray = SafeArrayCreateVector(VT_I4, 5, 2);
    VARIANT a2;
    VariantInit(&a2);
    ASSERT_EQ(VariantCopy(&a2, &a), S_OK);
    ASSERT_NE(a2.parray, a.parray);
    LONG i = 5;
    LONG value = 9;
    SafeArrayPutElement(a2.parray, &i, &value);
    SafeArrayGetElement(a.parray, &i, &value);
    EXPECT_EQ(value, 0);
    LONG lb = 0;
    SafeArrayGetLBound(a2.parray, 1, &lb);
    EXPECT_EQ(lb, 5);
    VariantClear(&a);
    VariantClear(&a2);

    // A reference is copied as the reference.
    LONG target = 3;
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BYREF | VT_I4;
    r.plVal = &target;
    VARIANT r2;
    VariantInit(&r2);
    ASSERT_EQ(VariantCopy(&r2, &r), S_OK);
    EXPECT_EQ(r2.plVal, &target);
}

TEST_F(Variant, FailedCopyLeavesTheDestination)
{
    VARIANT src = bstrVariant(u"abc");
    VARIANT dst;
    VariantInit(&dst);
    dst.vt = VT_I4;
    dst.lVal = 5;
    com::failTaskAllocAfter(0);
    EXPECT_EQ(VariantCopy(&dst, &src), E_OUTOFMEMORY);
    com::clearTaskAllocFailure();
    EXPECT_EQ(dst.vt, VT_I4);
    EXPECT_EQ(dst.lVal, 5);

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 15;
    EXPECT_EQ(VariantCopy(&dst, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(dst.lVal, 5);
    VariantClear(&src);
}

TEST_F(Variant, WrapperSettersGiveTheirTypes)
{
    com::Variant v;
    EXPECT_TRUE(v.isEmpty());
    struct Case {
        VARTYPE vt;
        void (*set)(com::Variant&);
        LONG value;
    };
    const Case cases[] = {
        {VT_I1, [](com::Variant& x) { x.setI1(-5); }, -5},
        {VT_UI1, [](com::Variant& x) { x.setUI1(5); }, 5},
        {VT_I2, [](com::Variant& x) { x.setI2(-5); }, -5},
        {VT_UI2, [](com::Variant& x) { x.setUI2(5); }, 5},
        {VT_I4, [](com::Variant& x) { x.setI4(-5); }, -5},
        {VT_UI4, [](com::Variant& x) { x.setUI4(5); }, 5},
        {VT_I8, [](com::Variant& x) { x.setI8(-5); }, -5},
        {VT_UI8, [](com::Variant& x) { x.setUI8(5); }, 5},
        {VT_INT, [](com::Variant& x) { x.setInt(-5); }, -5},
        {VT_UINT, [](com::Variant& x) { x.setUInt(5); }, 5},
        {VT_R4, [](com::Variant& x) { x.setR4(-5.0f); }, -5},
        {VT_R8, [](com::Variant& x) { x.setR8(-5.0); }, -5},
        {VT_DATE, [](com::Variant& x) { x.setDate(-5.0); }, -5},
        {VT_CY, [](com::Variant& x) { x.setCy(-50000); }, -5},
        {VT_BSTR, [](com::Variant& x) { x.setString(std::string_view("-5")); }, -5},
        {VT_BSTR, [](com::Variant& x) { x.setString(std::u16string_view(u"-5")); }, -5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vt);
        c.set(v);  // each replaces the last, strings included
        EXPECT_EQ(v.vt(), c.vt);
        EXPECT_EQ(v.toI4(), c.value);
        EXPECT_EQ(v.toR8(), double(c.value));
        EXPECT_EQ(v.toBool(), true);
    }
    v.setBool(true);
    EXPECT_EQ(v.get()->boolVal, VARIANT_TRUE);
    EXPECT_EQ(v.toUtf8(), "-1");
    EXPECT_EQ(v.toUtf8(VARIANT_ALPHABOOL), "True");
    v.setError(E_FAIL);
    EXPECT_EQ(v.vt(), VT_ERROR);
    EXPECT_EQ(v.toI4(), std::nullopt);
    v.setNull();
    EXPECT_EQ(v.vt(), VT_NULL);
    EXPECT_EQ(v.toUtf8(), std::nullopt);
}

TEST_F(Variant, WrapperCopiesMovesAndHandsOver)
{
    com::Variant a;
    a.setString(std::string_view("šest"));
    com::Variant b = a;
    EXPECT_NE(b.get()->bstrVal, a.get()->bstrVal);
    EXPECT_EQ(b.toUtf8(), "šest");

    com::Variant c = std::move(b);
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(c.toUtf8(), "šest");

    VARIANT raw = c.detach();
    EXPECT_TRUE(c.isEmpty());
    com::Variant back = com::Variant::attach(raw);
    EXPECT_EQ(back.toUtf8(), "šest");

    EXPECT_EQ(back.changeType(VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(back.vt(), VT_BSTR);
    back.setString(std::string_view("12"));
    EXPECT_EQ(back.changeType(VT_UI1), S_OK);
    EXPECT_EQ(back.get()->bVal, 12);

    VARIANT* out = back.put();
    EXPECT_EQ(out->vt, VT_EMPTY);

    auto probe = com::makeCom<Probe>();
    {
        com::Variant u;
        u.setUnknown(probe->unknown());
        com::Variant u2 = u;
        EXPECT_EQ(probe->refCount(), 3u);
    }
    EXPECT_EQ(probe->refCount(), 1u);

    com::Variant arr;
    arr.setArray(SafeArrayCreateVector(VT_R8, 0, 4));
    EXPECT_EQ(arr.vt(), VT_ARRAY | VT_R8);
    EXPECT_THROW(arr.setArray(nullptr), std::invalid_argument);
    EXPECT_EQ(arr.vt(), VT_ARRAY | VT_R8);
}

TEST_F(Variant, SetterThatCannotClearKeepsNoReference)
{
    auto probe = com::makeCom<Probe>();
    com::Variant v;
    v.setArray(SafeArrayCreateVector(VT_I4, 0, 1));
    ASSERT_EQ(SafeArrayLock(v.get()->parray), S_OK);
    EXPECT_THROW(v.setUnknown(probe->unknown()), std::invalid_argument);
    EXPECT_EQ(probe->refCount(), 1u);
    EXPECT_EQ(v.vt(), VT_ARRAY | VT_I4);
    SafeArrayUnlock(v.get()->parray);
}

TEST_F(Variant, WrapperCopyThrowsWhenMemoryRunsOut)
{
    com::Variant a;
    a.setString(std::string_view("text"));
    com::failTaskAllocAfter(0);
    EXPECT_THROW(com::Variant{a}, std::bad_alloc);
    com::Variant b;
    b.setI4(1);
    EXPECT_THROW(b = a, std::bad_alloc);
    com::clearTaskAllocFailure();
    EXPECT_EQ(b.vt(), VT_I4);
}

}  // namespace

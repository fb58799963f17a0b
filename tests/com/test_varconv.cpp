#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "alloc_balance.h"
#include "platform/clock.h"
#include "platform/com/alloc.h"
#include "platform/com/locale.h"
#include "platform/com/safearray.h"
#include "platform/com/variant.h"

namespace {

using com::Variant;

Variant I1(int v) { return std::move(Variant().setI1(static_cast<char>(v))); }
Variant UI1(int v) { return std::move(Variant().setUI1(static_cast<BYTE>(v))); }
Variant I2(int v) { return std::move(Variant().setI2(static_cast<SHORT>(v))); }
Variant UI2(int v) { return std::move(Variant().setUI2(static_cast<USHORT>(v))); }
Variant I4(long long v) { return std::move(Variant().setI4(static_cast<LONG>(v))); }
Variant UI4(unsigned long long v) { return std::move(Variant().setUI4(static_cast<ULONG>(v))); }
Variant Int(long long v) { return std::move(Variant().setInt(static_cast<INT>(v))); }
Variant UInt(unsigned long long v) { return std::move(Variant().setUInt(static_cast<UINT>(v))); }
Variant I8(long long v) { return std::move(Variant().setI8(v)); }
Variant UI8(unsigned long long v) { return std::move(Variant().setUI8(v)); }
Variant R4(float v) { return std::move(Variant().setR4(v)); }
Variant R8(double v) { return std::move(Variant().setR8(v)); }
Variant Date(double v) { return std::move(Variant().setDate(v)); }
Variant Cy(long long scaled) { return std::move(Variant().setCy(scaled)); }
Variant Bool(bool v) { return std::move(Variant().setBool(v)); }
Variant Err(SCODE v) { return std::move(Variant().setError(v)); }
Variant Str(const char* utf8) { return std::move(Variant().setString(std::string_view(utf8))); }
Variant Empty() { return Variant(); }
Variant Null() { return std::move(Variant().setNull()); }
Variant Dec(bool neg, ULONGLONG lo64, ULONG hi32, BYTE scale)
{
    Variant v;
    v.get()->decVal.Lo64 = lo64;
    v.get()->decVal.Hi32 = hi32;
    v.get()->decVal.scale = scale;
    v.get()->decVal.sign = neg ? DECIMAL_NEG : 0;
    v.get()->vt = VT_DECIMAL;
    return v;
}
// A type code without a value, for types no setter makes.
Variant Raw(VARTYPE vt)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return Variant::attach(v);
}
Variant D(int y, int m, int d, int h = 0, int mi = 0, int s = 0)
{
    plat::DateTimeFields f;
    f.year = y;
    f.month = m;
    f.day = d;
    f.hour = h;
    f.minute = mi;
    f.second = s;
    double dt = 0;
    EXPECT_TRUE(plat::encodeDateTime(f, dt));
    return Date(dt);
}

::testing::AssertionResult sameValue(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt)
        return ::testing::AssertionFailure() << "type " << a.vt << ", expected " << b.vt;
    bool same = true;
    switch (a.vt) {
    case VT_EMPTY:
    case VT_NULL:
        break;
    case VT_BSTR:
        same = std::u16string_view(a.bstrVal, SysStringLen(a.bstrVal)) ==
               std::u16string_view(b.bstrVal, SysStringLen(b.bstrVal));
        break;
    case VT_R4:
        same = a.fltVal == b.fltVal;
        break;
    case VT_R8:
        same = a.dblVal == b.dblVal;
        break;
    case VT_DATE:
        same = std::fabs(a.date - b.date) < 1e-9;
        break;
    case VT_DECIMAL:
        same = a.decVal.Lo64 == b.decVal.Lo64 && a.decVal.Hi32 == b.decVal.Hi32 && a.decVal.scale == b.decVal.scale &&
               a.decVal.sign == b.decVal.sign;
        break;
    case VT_I1:
    case VT_UI1:
        same = a.bVal == b.bVal;
        break;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        same = a.uiVal == b.uiVal;
        break;
    case VT_I8:
    case VT_UI8:
    case VT_CY:
        same = a.ullVal == b.ullVal;
        break;
    default:
        same = a.ulVal == b.ulVal;
        break;
    }
    if (same)
        return ::testing::AssertionSuccess();
    Variant ta(a), tb(b);
    return ::testing::AssertionFailure() << "value " << ta.toUtf8(VARIANT_ALPHABOOL).value_or("?") << ", expected "
                                         << tb.toUtf8(VARIANT_ALPHABOOL).value_or("?");
}

struct Case {
    const char* name;
    Variant from;
    VARTYPE to;
    HRESULT hr;
    Variant expect;
    USHORT flags = 0;
};

constexpr HRESULT OVF = DISP_E_OVERFLOW;
constexpr HRESULT MISMATCH = DISP_E_TYPEMISMATCH;

// Converts every case into a destination that holds a string, which a failure must leave alone.
void runTable(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Variant dest = Str("untouched");
        const BSTR before = dest.get()->bstrVal;
        const HRESULT hr = VariantChangeType(dest.get(), c.from.get(), c.flags, c.to);
        EXPECT_EQ(hr, c.hr);
        if (SUCCEEDED(c.hr)) {
            EXPECT_TRUE(sameValue(*dest.get(), *c.expect.get()));
        } else {
            ASSERT_EQ(dest.vt(), VT_BSTR);
            EXPECT_EQ(dest.get()->bstrVal, before);
            EXPECT_EQ(dest.toUtf8(), "untouched");
        }
    }
}

class VarConv : public comtest::TaskAllocBalance {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(com::setProcessLocale(com::ProcessLocale::english()));
        TaskAllocBalance::SetUp();
    }
    void TearDown() override
    {
        com::setProcessLocale(com::ProcessLocale::english());
        TaskAllocBalance::TearDown();
    }
};

TEST_F(VarConv, RoundingIsHalfToEven)
{
    std::vector<Case> cases;
    cases.push_back({"R8 2.5", R8(2.5), VT_I4, S_OK, I4(2)});
    cases.push_back({"R8 3.5", R8(3.5), VT_I4, S_OK, I4(4)});
    cases.push_back({"R8 -2.5", R8(-2.5), VT_I4, S_OK, I4(-2)});
    cases.push_back({"R8 -3.5", R8(-3.5), VT_I2, S_OK, I2(-4)});
    cases.push_back({"R8 0.5", R8(0.5), VT_UI1, S_OK, UI1(0)});
    cases.push_back({"R8 -0.5 fits unsigned", R8(-0.5), VT_UI1, S_OK, UI1(0)});
    cases.push_back({"R8 2.5000001", R8(2.5000001), VT_I4, S_OK, I4(3)});
    cases.push_back({"R4 1.5", R4(1.5f), VT_I8, S_OK, I8(2)});
    cases.push_back({"DATE 2.5", Date(2.5), VT_I4, S_OK, I4(2)});
    cases.push_back({"CY 2.5", Cy(25000), VT_I4, S_OK, I4(2)});
    cases.push_back({"CY 3.5", Cy(35000), VT_I4, S_OK, I4(4)});
    cases.push_back({"CY -2.5", Cy(-25000), VT_I2, S_OK, I2(-2)});
    cases.push_back({"CY 2.5001", Cy(25001), VT_I4, S_OK, I4(3)});
    cases.push_back({"DECIMAL 2.5", Dec(false, 25, 0, 1), VT_I1, S_OK, I1(2)});
    cases.push_back({"DECIMAL -3.5", Dec(true, 35, 0, 1), VT_I4, S_OK, I4(-4)});
    cases.push_back({"text 2.5", Str("2.5"), VT_I4, S_OK, I4(2)});
    cases.push_back({"text 3.5", Str("3.5"), VT_UI2, S_OK, UI2(4)});
    cases.push_back({"text -2.5", Str("-2.5"), VT_I4, S_OK, I4(-2)});
    cases.push_back({"R8 to CY", R8(1.23456), VT_CY, S_OK, Cy(12346)});
    cases.push_back({"text to CY, half up to even", Str("1.23455"), VT_CY, S_OK, Cy(12346)});
    cases.push_back({"text to CY, half down to even", Str("1.23445"), VT_CY, S_OK, Cy(12344)});
    runTable(cases);
}

TEST_F(VarConv, IntegerRangesOverflowAtTheirEdges)
{
    std::vector<Case> cases;
    cases.push_back({"I1 max", I4(127), VT_I1, S_OK, I1(127)});
    cases.push_back({"I1 max+1", I4(128), VT_I1, OVF, {}});
    cases.push_back({"I1 min", I4(-128), VT_I1, S_OK, I1(-128)});
    cases.push_back({"I1 min-1", I4(-129), VT_I1, OVF, {}});
    cases.push_back({"I1 rounds past max", R8(127.5), VT_I1, OVF, {}});
    cases.push_back({"I1 rounds to max-1", R8(126.5), VT_I1, S_OK, I1(126)});
    cases.push_back({"UI1 max", I4(255), VT_UI1, S_OK, UI1(255)});
    cases.push_back({"UI1 max+1", I4(256), VT_UI1, OVF, {}});
    cases.push_back({"UI1 -1", I4(-1), VT_UI1, OVF, {}});
    cases.push_back({"UI1 from I1 -1", I1(-1), VT_UI1, OVF, {}});
    cases.push_back({"I2 max", I4(32767), VT_I2, S_OK, I2(32767)});
    cases.push_back({"I2 max+1", I4(32768), VT_I2, OVF, {}});
    cases.push_back({"I2 min", I4(-32768), VT_I2, S_OK, I2(-32768)});
    cases.push_back({"I2 min-1", I4(-32769), VT_I2, OVF, {}});
    cases.push_back({"UI2 max", I4(65535), VT_UI2, S_OK, UI2(65535)});
    cases.push_back({"UI2 max+1", I4(65536), VT_UI2, OVF, {}});
    cases.push_back({"UI2 from I2 -1", I2(-1), VT_UI2, OVF, {}});
    cases.push_back({"I2 from UI2 max", UI2(65535), VT_I2, OVF, {}});
    cases.push_back({"I4 max", I8(2147483647), VT_I4, S_OK, I4(2147483647)});
    cases.push_back({"I4 max+1", I8(2147483648LL), VT_I4, OVF, {}});
    cases.push_back({"I4 min", I8(-2147483648LL), VT_I4, S_OK, I4(-2147483648LL)});
    cases.push_back({"I4 min-1", I8(-2147483649LL), VT_I4, OVF, {}});
    cases.push_back({"I4 rounds past max", R8(2147483647.5), VT_I4, OVF, {}});
    cases.push_back({"I4 rounds to even below max", R8(2147483646.5), VT_I4, S_OK, I4(2147483646)});
    cases.push_back({"I4 from UI4 max", UI4(4294967295u), VT_I4, OVF, {}});
    cases.push_back({"UI4 max", I8(4294967295LL), VT_UI4, S_OK, UI4(4294967295u)});
    cases.push_back({"UI4 max+1", I8(4294967296LL), VT_UI4, OVF, {}});
    cases.push_back({"UI4 from I4 -1", I4(-1), VT_UI4, OVF, {}});
    cases.push_back({"INT max+1", I8(2147483648LL), VT_INT, OVF, {}});
    cases.push_back({"INT from I2", I2(-7), VT_INT, S_OK, Int(-7)});
    cases.push_back({"UINT from I4 -1", I4(-1), VT_UINT, OVF, {}});
    cases.push_back({"UINT max", UI4(4294967295u), VT_UINT, S_OK, UInt(4294967295u)});
    cases.push_back({"I8 max", UI8(9223372036854775807ULL), VT_I8, S_OK, I8(INT64_MAX)});
    cases.push_back({"I8 max+1", UI8(9223372036854775808ULL), VT_I8, OVF, {}});
    cases.push_back({"I8 min from text", Str("-9223372036854775808"), VT_I8, S_OK, I8(INT64_MIN)});
    cases.push_back({"I8 min-1 from text", Str("-9223372036854775809"), VT_I8, OVF, {}});
    cases.push_back({"I8 from a large real", R8(9.3e18), VT_I8, OVF, {}});
    cases.push_back({"UI8 max from text", Str("18446744073709551615"), VT_UI8, S_OK, UI8(UINT64_MAX)});
    cases.push_back({"UI8 max+1 from text", Str("18446744073709551616"), VT_UI8, OVF, {}});
    cases.push_back({"UI8 from I8 -1", I8(-1), VT_UI8, OVF, {}});
    cases.push_back({"UI8 from a real below max", R8(1.8e19), VT_UI8, S_OK, UI8(18000000000000000000ULL)});
    cases.push_back({"UI8 from a real above max", R8(1.85e19), VT_UI8, OVF, {}});
    cases.push_back({"NaN", R8(std::nan("")), VT_I4, OVF, {}});
    cases.push_back({"text beyond I4", Str("99999999999"), VT_I4, OVF, {}});
    runTable(cases);
}

TEST_F(VarConv, RealCurrencyAndDateRanges)
{
    std::vector<Case> cases;
    cases.push_back({"R4 too large", R8(1e39), VT_R4, OVF, {}});
    cases.push_back({"R4 large", R8(3e38), VT_R4, S_OK, R4(3e38f)});
    cases.push_back({"R4 from text too large", Str("1e39"), VT_R4, OVF, {}});
    cases.push_back({"R8 from text too large", Str("1e309"), VT_R8, OVF, {}});
    cases.push_back({"R8 from text too small is 0", Str("1e-400"), VT_R8, S_OK, R8(0.0)});
    cases.push_back({"R8 from I8 max", I8(INT64_MAX), VT_R8, S_OK, R8(9223372036854775807.0)});
    cases.push_back({"CY too large", R8(1e15), VT_CY, OVF, {}});
    cases.push_back({"CY large", R8(9e14), VT_CY, S_OK, Cy(9000000000000000000LL)});
    cases.push_back({"CY from I8 max", I8(INT64_MAX), VT_CY, OVF, {}});
    cases.push_back({"CY max from text", Str("922337203685477.5807"), VT_CY, S_OK, Cy(INT64_MAX)});
    cases.push_back({"CY max+1 from text", Str("922337203685477.5808"), VT_CY, OVF, {}});
    cases.push_back({"CY from I4", I4(5), VT_CY, S_OK, Cy(50000)});
    cases.push_back({"CY to R8", Cy(12345), VT_R8, S_OK, R8(1.2345)});
    cases.push_back({"DATE past 9999", R8(2958466.0), VT_DATE, OVF, {}});
    cases.push_back({"DATE before 100", R8(-657435.0), VT_DATE, OVF, {}});
    cases.push_back({"DATE last day", R8(2958465.5), VT_DATE, S_OK, Date(2958465.5)});
    cases.push_back({"DATE to R8", Date(2.25), VT_R8, S_OK, R8(2.25)});
    cases.push_back({"DATE to I4", Date(45000.75), VT_I4, S_OK, I4(45001)});
    cases.push_back({"DATE out of range to text", Date(3e6), VT_BSTR, OVF, {}});
    runTable(cases);
}

TEST_F(VarConv, DecimalsKeepTheirDigits)
{
    std::vector<Case> cases;
    cases.push_back({"max", Str("79228162514264337593543950335"), VT_DECIMAL, S_OK,
                     Dec(false, 0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFu, 0)});
    cases.push_back({"max+1", Str("79228162514264337593543950336"), VT_DECIMAL, OVF, {}});
    cases.push_back({"text keeps its scale", Str("-1.50"), VT_DECIMAL, S_OK, Dec(true, 150, 0, 2)});
    cases.push_back({"a double gives its 15 digits, not its binary noise", R8(0.1), VT_DECIMAL, S_OK, Dec(false, 1, 0, 1)});
    cases.push_back({"a single gives its 7", R4(0.1f), VT_DECIMAL, S_OK, Dec(false, 1, 0, 1)});
    cases.push_back({"from I8", I8(-5), VT_DECIMAL, S_OK, Dec(true, 5, 0, 0)});
    cases.push_back({"from CY", Cy(-12345), VT_DECIMAL, S_OK, Dec(true, 12345, 0, 4)});
    cases.push_back({"to R8", Dec(false, 15, 0, 1), VT_R8, S_OK, R8(1.5)});
    cases.push_back({"to CY", Dec(false, 123456, 0, 5), VT_CY, S_OK, Cy(12346)});
    cases.push_back({"to text", Dec(true, 10, 0, 4), VT_BSTR, S_OK, Str("-0.001")});
    cases.push_back({"scale beyond 28 is refused", Dec(false, 1, 0, 29), VT_R8, E_INVALIDARG, {}});
    runTable(cases);
}

TEST_F(VarConv, EmptyAndNull)
{
    std::vector<Case> cases;
    cases.push_back({"EMPTY to I2", Empty(), VT_I2, S_OK, I2(0)});
    cases.push_back({"EMPTY to R8", Empty(), VT_R8, S_OK, R8(0.0)});
    cases.push_back({"EMPTY to BSTR", Empty(), VT_BSTR, S_OK, Str("")});
    cases.push_back({"EMPTY to BOOL", Empty(), VT_BOOL, S_OK, Bool(false)});
    cases.push_back({"EMPTY to DATE", Empty(), VT_DATE, S_OK, Date(0.0)});
    cases.push_back({"EMPTY to CY", Empty(), VT_CY, S_OK, Cy(0)});
    cases.push_back({"EMPTY to DECIMAL", Empty(), VT_DECIMAL, S_OK, Dec(false, 0, 0, 0)});
    cases.push_back({"EMPTY to EMPTY", Empty(), VT_EMPTY, S_OK, Empty()});
    cases.push_back({"EMPTY to NULL", Empty(), VT_NULL, S_OK, Null()});
    cases.push_back({"EMPTY to ERROR", Empty(), VT_ERROR, MISMATCH, {}});
    cases.push_back({"EMPTY to UNKNOWN", Empty(), VT_UNKNOWN, MISMATCH, {}});
    cases.push_back({"NULL to I4", Null(), VT_I4, MISMATCH, {}});
    cases.push_back({"NULL to BSTR", Null(), VT_BSTR, MISMATCH, {}});
    cases.push_back({"NULL to BOOL", Null(), VT_BOOL, MISMATCH, {}});
    cases.push_back({"NULL to NULL", Null(), VT_NULL, S_OK, Null()});
    cases.push_back({"NULL to EMPTY", Null(), VT_EMPTY, S_OK, Empty()});
    cases.push_back({"I4 to NULL", I4(1), VT_NULL, MISMATCH, {}});
    cases.push_back({"BSTR to EMPTY clears", Str("x"), VT_EMPTY, S_OK, Empty()});
    cases.push_back({"ERROR to I4", Err(5), VT_I4, MISMATCH, {}});
    cases.push_back({"I4 to ERROR", I4(5), VT_ERROR, MISMATCH, {}});
    cases.push_back({"ERROR to ERROR", Err(E_FAIL), VT_ERROR, S_OK, Err(E_FAIL)});
    runTable(cases);
}

TEST_F(VarConv, BadVarTypesFailWithoutTouchingTheDestination)
{
    const VARTYPE targets[] = {15,
                               24,
                               72,
                               256,
                               0x0FFF,
                               VT_BYREF | VT_I4,
                               VT_VECTOR | VT_I4,
                               VT_RESERVED | VT_I4,
                               VT_VARIANT,
                               VT_ARRAY | VT_EMPTY,
                               VT_ARRAY | VT_NULL};
    std::vector<Case> cases;
    for (VARTYPE vt : targets)
        cases.push_back({"bad target", I4(5), vt, DISP_E_BADVARTYPE, {}});
    cases.push_back({"bad source 15", Raw(15), VT_I4, DISP_E_BADVARTYPE, {}});
    cases.push_back({"bad source bare VARIANT", Raw(VT_VARIANT), VT_I4, DISP_E_BADVARTYPE, {}});
    cases.push_back({"bad source vector", Raw(VT_VECTOR | VT_I4), VT_I4, DISP_E_BADVARTYPE, {}});
    runTable(cases);
}

TEST_F(VarConv, Booleans)
{
    std::vector<Case> cases;
    cases.push_back({"true to alpha text", Bool(true), VT_BSTR, S_OK, Str("True"), VARIANT_ALPHABOOL});
    cases.push_back({"false to alpha text", Bool(false), VT_BSTR, S_OK, Str("False"), VARIANT_ALPHABOOL});
    cases.push_back({"false to local text", Bool(false), VT_BSTR, S_OK, Str("False"), VARIANT_LOCALBOOL});
    cases.push_back({"5", I4(5), VT_BOOL, S_OK, Bool(true)});
    cases.push_back({"0", I4(0), VT_BOOL, S_OK, Bool(false)});
    cases.push_back({"0.1", R8(0.1), VT_BOOL, S_OK, Bool(true)});
    cases.push_back({"CY 0", Cy(0), VT_BOOL, S_OK, Bool(false)});
    cases.push_back({"DECIMAL -1", Dec(true, 1, 0, 0), VT_BOOL, S_OK, Bool(true)});
    cases.push_back({"True", Str("True"), VT_BOOL, S_OK, Bool(true)});
    cases.push_back({"true", Str("true"), VT_BOOL, S_OK, Bool(true)});
    cases.push_back({" FALSE ", Str(" FALSE "), VT_BOOL, S_OK, Bool(false)});
    cases.push_back({"#TRUE#", Str("#TRUE#"), VT_BOOL, S_OK, Bool(true)});
    cases.push_back({"text 0", Str("0"), VT_BOOL, S_OK, Bool(false)});
    cases.push_back({"text -2.5", Str("-2.5"), VT_BOOL, S_OK, Bool(true)});
    cases.push_back({"yes", Str("yes"), VT_BOOL, MISMATCH, {}});
    cases.push_back({"empty text", Str(""), VT_BOOL, MISMATCH, {}});
    runTable(cases);
}

// A Boolean set through boolVal can hold any 16-bit value, as a client's may.
Variant BoolHolding(SHORT raw)
{
    Variant v = Bool(false);
    v.get()->boolVal = raw;
    return v;
}

// Into integers a Boolean wraps like the 16-bit integer it is, where the same value of
// another type overflows: clients write true (-1) to unsigned items.
TEST_F(VarConv, BooleanSourcesWrapIntoIntegers)
{
    struct BoolRow {
        const char* name;
        SHORT raw;
        std::vector<Variant> expect;  // each expectation's type is the target
    };
    const std::vector<BoolRow> rows = {
        {"true", VARIANT_TRUE,
         {I1(-1), UI1(255), I2(-1), UI2(65535), I4(-1), UI4(4294967295u), Int(-1), UInt(4294967295u), I8(-1),
          UI8(UINT64_MAX), R4(-1.0f), R8(-1.0), Date(-1.0), Cy(-10000), Dec(true, 1, 0, 0), Str("-1")}},
        {"false", VARIANT_FALSE,
         {I1(0), UI1(0), I2(0), UI2(0), I4(0), UI4(0), Int(0), UInt(0), I8(0), UI8(0), R4(0.0f), R8(0.0), Date(0.0),
          Cy(0), Dec(false, 0, 0, 0), Str("0")}},
        {"128", 128,
         {I1(-128), UI1(128), I2(128), UI2(128), I4(128), UI4(128), Int(128), UInt(128), I8(128), UI8(128), R4(128.0f),
          R8(128.0), Date(128.0), Cy(1280000), Dec(false, 128, 0, 0), Str("128")}},
        {"300 keeps its low byte", 300,
         {I1(44), UI1(44), I2(300), UI2(300), I4(300), UI4(300), Int(300), UInt(300), I8(300), UI8(300), R4(300.0f),
          R8(300.0), Date(300.0), Cy(3000000), Dec(false, 300, 0, 0), Str("300")}},
        {"-200 is sign-extended", -200,
         {I1(56), UI1(56), I2(-200), UI2(65336), I4(-200), UI4(4294967096u), Int(-200), UInt(4294967096u), I8(-200),
          UI8(18446744073709551416ULL), R4(-200.0f), R8(-200.0), Date(-200.0), Cy(-2000000), Dec(true, 200, 0, 0),
          Str("-200")}},
    };
    for (const BoolRow& row : rows) {
        const Variant src = BoolHolding(row.raw);
        for (const Variant& expect : row.expect) {
            SCOPED_TRACE(::testing::Message() << row.name << " to type " << expect.vt());
            Variant dest = Str("untouched");
            ASSERT_EQ(VariantChangeType(dest.get(), src.get(), 0, expect.vt()), S_OK);
            EXPECT_TRUE(sameValue(*dest.get(), *expect.get()));
        }
    }

    // A by-reference Boolean wraps too; the same bits as another type still do not fit.
    VARIANT_BOOL flag = VARIANT_TRUE;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_BOOL;
    ref.pboolVal = &flag;
    Variant out;
    ASSERT_EQ(VariantChangeType(out.get(), &ref, 0, VT_UI1), S_OK);
    EXPECT_TRUE(sameValue(*out.get(), *UI1(255).get()));

    std::vector<Case> cases;
    cases.push_back({"I2 -1 to UI2", I2(-1), VT_UI2, OVF, {}});
    cases.push_back({"I1 -1 to UI1", I1(-1), VT_UI1, OVF, {}});
    cases.push_back({"I2 300 to UI1", I2(300), VT_UI1, OVF, {}});
    cases.push_back({"I4 -1 to UI4", I4(-1), VT_UI4, OVF, {}});
    runTable(cases);
}

TEST_F(VarConv, TextAndNumbersWithADecimalPoint)
{
    std::vector<Case> cases;
    cases.push_back({"thousands", Str("1,234.5"), VT_R8, S_OK, R8(1234.5)});
    cases.push_back({"fraction", Str("1.5"), VT_R8, S_OK, R8(1.5)});
    cases.push_back({"leading point", Str(".5"), VT_R8, S_OK, R8(0.5)});
    cases.push_back({"blanks and sign", Str("  -42  "), VT_I4, S_OK, I4(-42)});
    cases.push_back({"plus", Str("+7"), VT_I4, S_OK, I4(7)});
    cases.push_back({"exponent", Str("1e3"), VT_I4, S_OK, I4(1000)});
    cases.push_back({"exponent with sign", Str("1.5E+2"), VT_R8, S_OK, R8(150.0)});
    cases.push_back({"letters", Str("abc"), VT_I4, MISMATCH, {}});
    cases.push_back({"trailing letters", Str("12abc"), VT_I4, MISMATCH, {}});
    cases.push_back({"empty", Str(""), VT_R8, MISMATCH, {}});
    cases.push_back({"leading separator", Str(",5"), VT_R8, MISMATCH, {}});
    cases.push_back({"double separator", Str("1,,5"), VT_R8, MISMATCH, {}});
    cases.push_back({"bare exponent", Str("1e"), VT_R8, MISMATCH, {}});
    cases.push_back({"comma decimal in a point locale", Str("1,5"), VT_R8, S_OK, R8(15.0)});
    cases.push_back({"R8 1.5", R8(1.5), VT_BSTR, S_OK, Str("1.5")});
    cases.push_back({"R8 0.1", R8(0.1), VT_BSTR, S_OK, Str("0.1")});
    cases.push_back({"R8 0.1+0.2", R8(0.1 + 0.2), VT_BSTR, S_OK, Str("0.3")});
    cases.push_back({"R8 1/3", R8(1.0 / 3), VT_BSTR, S_OK, Str("0.333333333333333")});
    cases.push_back({"R8 1e20", R8(1e20), VT_BSTR, S_OK, Str("1E+20")});
    cases.push_back({"R8 large", R8(123456789012345678.0), VT_BSTR, S_OK, Str("1.23456789012346E+17")});
    cases.push_back({"R8 small", R8(1e-5), VT_BSTR, S_OK, Str("1E-05")});
    cases.push_back({"R8 whole", R8(123456.0), VT_BSTR, S_OK, Str("123456")});
    cases.push_back({"R8 -0", R8(-0.0), VT_BSTR, S_OK, Str("0")});
    cases.push_back({"R4 0.1", R4(0.1f), VT_BSTR, S_OK, Str("0.1")});
    cases.push_back({"R4 beyond 7 digits", R4(16777216.0f), VT_BSTR, S_OK, Str("1.677722E+07")});
    cases.push_back({"I4", I4(-42), VT_BSTR, S_OK, Str("-42")});
    cases.push_back({"I1", I1(-5), VT_BSTR, S_OK, Str("-5")});
    cases.push_back({"UI8 max", UI8(UINT64_MAX), VT_BSTR, S_OK, Str("18446744073709551615")});
    cases.push_back({"CY", Cy(12345), VT_BSTR, S_OK, Str("1.2345")});
    cases.push_back({"CY trailing zeros", Cy(15000), VT_BSTR, S_OK, Str("1.5")});
    cases.push_back({"CY whole", Cy(-50000), VT_BSTR, S_OK, Str("-5")});
    cases.push_back({"DECIMAL zero", Dec(false, 0, 0, 0), VT_BSTR, S_OK, Str("0")});
    cases.push_back({"UNKNOWN to text", Raw(VT_UNKNOWN), VT_BSTR, MISMATCH, {}});
    runTable(cases);
}

TEST_F(VarConv, TextAndNumbersWithADecimalComma)
{
    ASSERT_TRUE(com::setProcessLocale(com::ProcessLocale::czech()));
    std::vector<Case> cases;
    cases.push_back({"fraction", Str("1,5"), VT_R8, S_OK, R8(1.5)});
    cases.push_back({"thousands", Str("1\u00A0234,5"), VT_R8, S_OK, R8(1234.5)});
    cases.push_back({"point", Str("1.5"), VT_R8, MISMATCH, {}});
    cases.push_back({"rounding", Str("2,5"), VT_I4, S_OK, I4(2)});
    cases.push_back({"exponent", Str("-1,5E-3"), VT_R8, S_OK, R8(-0.0015)});
    cases.push_back({"R8 1.5", R8(1.5), VT_BSTR, S_OK, Str("1,5")});
    cases.push_back({"R8 1e20", R8(1e20), VT_BSTR, S_OK, Str("1E+20")});
    cases.push_back({"R8 small", R8(-1.25e-7), VT_BSTR, S_OK, Str("-1,25E-07")});
    cases.push_back({"CY", Cy(12345), VT_BSTR, S_OK, Str("1,2345")});
    cases.push_back({"DECIMAL", Dec(true, 10, 0, 4), VT_BSTR, S_OK, Str("-0,001")});
    runTable(cases);
}

TEST_F(VarConv, DatesInACzechLocale)
{
    ASSERT_TRUE(com::setProcessLocale(com::ProcessLocale::czech()));
    std::vector<Case> cases;
    cases.push_back({"date and time", D(2026, 12, 10, 13, 5, 0), VT_BSTR, S_OK, Str("10.12.2026 13:05:00")});
    cases.push_back({"date only at midnight", D(2026, 12, 10), VT_BSTR, S_OK, Str("10.12.2026")});
    cases.push_back({"time only on day 0", Date(0.5), VT_BSTR, S_OK, Str("12:00:00")});
    cases.push_back({"zero", Date(0.0), VT_BSTR, S_OK, Str("0:00:00")});
    cases.push_back({"rounded to the second", Date(0.5 + 0.6 / 86400), VT_BSTR, S_OK, Str("12:00:01")});
    cases.push_back({"before day 0", Date(-1.25), VT_BSTR, S_OK, Str("29.12.1899 6:00:00")});
    cases.push_back({"parse date and time", Str("10.12.2026 13:05:00"), VT_DATE, S_OK, D(2026, 12, 10, 13, 5, 0)});
    cases.push_back({"parse date", Str("10.12.2026"), VT_DATE, S_OK, D(2026, 12, 10)});
    cases.push_back({"parse short date", Str("1.2.2026"), VT_DATE, S_OK, D(2026, 2, 1)});
    cases.push_back({"two-digit year 26", Str("10.12.26"), VT_DATE, S_OK, D(2026, 12, 10)});
    cases.push_back({"two-digit year 30", Str("1.1.30"), VT_DATE, S_OK, D(1930, 1, 1)});
    cases.push_back({"year first", Str("2026-12-10"), VT_DATE, S_OK, D(2026, 12, 10)});
    cases.push_back({"time", Str("13:05"), VT_DATE, S_OK, Date((13 * 3600 + 5 * 60) / 86400.0)});
    cases.push_back({"no such day", Str("31.02.2026"), VT_DATE, MISMATCH, {}});
    cases.push_back({"no such hour", Str("25:00"), VT_DATE, MISMATCH, {}});
    cases.push_back({"two fields", Str("10.12"), VT_DATE, MISMATCH, {}});
    cases.push_back({"a number is not a date", Str("45000"), VT_DATE, MISMATCH, {}});
    cases.push_back({"text", Str("zítra"), VT_DATE, MISMATCH, {}});
    runTable(cases);
}

TEST_F(VarConv, DatesInAnEnglishLocale)
{
    std::vector<Case> cases;
    cases.push_back({"date and time", D(2026, 12, 10, 13, 5, 0), VT_BSTR, S_OK, Str("12/10/2026 1:05:00 PM")});
    cases.push_back({"date only", D(2026, 12, 10), VT_BSTR, S_OK, Str("12/10/2026")});
    cases.push_back({"midnight on day 0", Date(0.0), VT_BSTR, S_OK, Str("12:00:00 AM")});
    cases.push_back({"noon on day 0", Date(0.5), VT_BSTR, S_OK, Str("12:00:00 PM")});
    cases.push_back({"parse with PM", Str("12/10/2026 1:05 PM"), VT_DATE, S_OK, D(2026, 12, 10, 13, 5, 0)});
    cases.push_back({"parse 12 AM", Str("12/10/2026 12:30:15 am"), VT_DATE, S_OK, D(2026, 12, 10, 0, 30, 15)});
    cases.push_back({"parse 24-hour", Str("2026-12-10 13:05:00"), VT_DATE, S_OK, D(2026, 12, 10, 13, 5, 0)});
    cases.push_back({"month first", Str("2/1/2026"), VT_DATE, S_OK, D(2026, 2, 1)});
    cases.push_back({"no leap day", Str("2/29/2026"), VT_DATE, MISMATCH, {}});
    cases.push_back({"leap day", Str("2/29/2024"), VT_DATE, S_OK, D(2024, 2, 29)});
    cases.push_back({"13 PM", Str("13:00 PM"), VT_DATE, MISMATCH, {}});
    runTable(cases);
}

class Probe : public com::ComObject<IUnknown> {};

struct IDispatchLike : IUnknown {
    static constexpr IID iid = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
};
class DispatchProbe : public com::ComObject<IDispatchLike> {};

TEST_F(VarConv, InterfacesConvertOnlyBetweenThemselves)
{
    auto plain = com::makeCom<Probe>();
    auto disp = com::makeCom<DispatchProbe>();
    Variant u;
    u.setUnknown(plain->unknown());
    Variant out;
    EXPECT_EQ(VariantChangeType(out.get(), u.get(), 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), u.get(), 0, VT_DISPATCH), E_NOINTERFACE);
    EXPECT_TRUE(out.isEmpty());

    Variant d;
    d.setUnknown(disp->unknown());
    ASSERT_EQ(VariantChangeType(out.get(), d.get(), 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(out.vt(), VT_DISPATCH);
    EXPECT_EQ(disp->refCount(), 3u);
    ASSERT_EQ(VariantChangeType(out.get(), out.get(), 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(out.vt(), VT_UNKNOWN);
    EXPECT_EQ(disp->refCount(), 3u);
    out.clear();
    EXPECT_EQ(disp->refCount(), 2u);
}

TEST_F(VarConv, ReferencesAreFollowed)
{
    LONG n = 7;
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BYREF | VT_I4;
    r.plVal = &n;
    Variant out;
    ASSERT_EQ(VariantChangeType(out.get(), &r, 0, VT_R8), S_OK);
    EXPECT_EQ(out.get()->dblVal, 7.0);

    com::Bstr text(std::string_view("12"));
    BSTR raw = text.get();
    r.vt = VT_BYREF | VT_BSTR;
    r.pbstrVal = &raw;
    ASSERT_EQ(VariantChangeType(out.get(), &r, 0, VT_I2), S_OK);
    EXPECT_EQ(out.get()->iVal, 12);

    Variant inner = R8(2.5);
    r.vt = VT_BYREF | VT_VARIANT;
    r.pvarVal = inner.get();
    ASSERT_EQ(VariantChangeType(out.get(), &r, 0, VT_BSTR), S_OK);
    EXPECT_EQ(out.toUtf8(), "2.5");

    // Converted in place, a reference becomes a value and the referent stays.
    r.vt = VT_BYREF | VT_I4;
    r.plVal = &n;
    ASSERT_EQ(VariantChangeType(&r, &r, 0, VT_I4), S_OK);
    EXPECT_EQ(r.vt, VT_I4);
    EXPECT_EQ(r.lVal, 7);

    r.vt = VT_BYREF | VT_I4;
    r.plVal = nullptr;
    EXPECT_EQ(VariantChangeType(out.get(), &r, 0, VT_R8), E_INVALIDARG);
}

TEST_F(VarConv, InPlaceConversion)
{
    Variant v = Str("42");
    ASSERT_EQ(VariantChangeType(v.get(), v.get(), 0, VT_I4), S_OK);  // the string is freed (fixture)
    EXPECT_EQ(v.vt(), VT_I4);
    EXPECT_EQ(v.get()->lVal, 42);

    Variant bad = Str("forty-two");
    EXPECT_EQ(VariantChangeType(bad.get(), bad.get(), 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bad.toUtf8(), "forty-two");

    Variant same = Str("kept");
    ASSERT_EQ(VariantChangeType(same.get(), same.get(), 0, VT_BSTR), S_OK);
    EXPECT_EQ(same.toUtf8(), "kept");
}

TEST_F(VarConv, OutOfMemoryLeavesTheDestination)
{
    Variant src = I4(12345);
    Variant dest = I2(3);
    com::failTaskAllocAfter(0);
    EXPECT_EQ(VariantChangeType(dest.get(), src.get(), 0, VT_BSTR), E_OUTOFMEMORY);
    com::clearTaskAllocFailure();
    EXPECT_EQ(dest.vt(), VT_I2);
    EXPECT_EQ(dest.get()->iVal, 3);
}

// Arrays: element by element, bounds kept, all or nothing.

SAFEARRAY* vectorOf(VARTYPE vt, LONG lbound, std::initializer_list<Variant> values)
{
    SAFEARRAY* sa = SafeArrayCreateVector(vt, lbound, static_cast<ULONG>(values.size()));
    LONG i = lbound;
    for (const Variant& v : values) {
        Variant e(v);
        EXPECT_EQ(e.changeType(vt == VT_VARIANT ? v.vt() : vt), S_OK);
        void* p = vt == VT_VARIANT ? static_cast<void*>(e.get())
                  : vt == VT_BSTR  ? static_cast<void*>(e.get()->bstrVal)
                                   : static_cast<void*>(&e.get()->llVal);
        EXPECT_EQ(SafeArrayPutElement(sa, &i, p), S_OK);
        ++i;
    }
    return sa;
}

Variant arrayVariant(SAFEARRAY* sa) { return std::move(Variant().setArray(sa)); }

Variant elementOf(const Variant& array, LONG i)
{
    Variant e;
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(array.get()->parray, &vt);
    if (vt == VT_VARIANT) {
        EXPECT_EQ(SafeArrayGetElement(array.get()->parray, &i, e.get()), S_OK);
        return e;
    }
    VARIANT raw;
    VariantInit(&raw);
    EXPECT_EQ(SafeArrayGetElement(array.get()->parray, &i, vt == VT_DECIMAL ? static_cast<void*>(&raw.decVal)
                                                                             : static_cast<void*>(&raw.llVal)),
              S_OK);
    raw.vt = vt;
    return Variant::attach(raw);
}

TEST_F(VarConv, ArraysConvertElementByElement)
{
    const Variant src = arrayVariant(vectorOf(VT_I2, -3, {I2(1), I2(-2), I2(3)}));
    Variant out;
    ASSERT_EQ(VariantChangeType(out.get(), src.get(), 0, VT_ARRAY | VT_R8), S_OK);
    EXPECT_EQ(out.vt(), VT_ARRAY | VT_R8);
    LONG lb = 0, ub = 0;
    SafeArrayGetLBound(out.get()->parray, 1, &lb);
    SafeArrayGetUBound(out.get()->parray, 1, &ub);
    EXPECT_EQ(lb, -3);
    EXPECT_EQ(ub, -1);
    EXPECT_TRUE(sameValue(*elementOf(out, -3).get(), *R8(1.0).get()));
    EXPECT_TRUE(sameValue(*elementOf(out, -2).get(), *R8(-2.0).get()));
    EXPECT_TRUE(sameValue(*elementOf(out, -1).get(), *R8(3.0).get()));

    ASSERT_EQ(VariantChangeType(out.get(), out.get(), 0, VT_ARRAY | VT_BSTR), S_OK);
    EXPECT_TRUE(sameValue(*elementOf(out, -2).get(), *Str("-2").get()));

    ASSERT_EQ(VariantChangeType(out.get(), src.get(), 0, VT_ARRAY | VT_VARIANT), S_OK);
    EXPECT_TRUE(sameValue(*elementOf(out, -1).get(), *I2(3).get()));
    ASSERT_EQ(VariantChangeType(out.get(), out.get(), 0, VT_ARRAY | VT_R4), S_OK);
    EXPECT_TRUE(sameValue(*elementOf(out, -1).get(), *R4(3.0f).get()));

    // The same type is a deep copy.
    ASSERT_EQ(VariantChangeType(out.get(), src.get(), 0, VT_ARRAY | VT_I2), S_OK);
    EXPECT_NE(out.get()->parray, src.get()->parray);
    EXPECT_TRUE(sameValue(*elementOf(out, -3).get(), *I2(1).get()));
}

TEST_F(VarConv, AnArrayElementThatFailsFailsTheWhole)
{
    struct ArrayCase {
        const char* name;
        VARTYPE from;
        std::initializer_list<Variant> values;
        VARTYPE to;
        HRESULT hr;
    };
    const ArrayCase cases[] = {
        {"overflow", VT_I4, {I4(1), I4(70000)}, VT_ARRAY | VT_I2, DISP_E_OVERFLOW},
        {"text", VT_BSTR, {Str("1"), Str("2"), Str("x")}, VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH},
        {"minus one into unsigned", VT_I2, {I2(0), I2(-1)}, VT_ARRAY | VT_UI2, DISP_E_OVERFLOW},
        {"variants", VT_VARIANT, {Str("1"), Null()}, VT_ARRAY | VT_BSTR, DISP_E_TYPEMISMATCH},
    };
    for (const ArrayCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Variant src = arrayVariant(vectorOf(c.from, 1, c.values));
        Variant dest = Str("untouched");
        EXPECT_EQ(VariantChangeType(dest.get(), src.get(), 0, c.to), c.hr);
        EXPECT_EQ(dest.toUtf8(), "untouched");
    }
}

TEST_F(VarConv, BooleanArraysWrapElementByElement)
{
    // 300 as a Boolean element: any 16-bit value survives the array.
    const Variant bools = arrayVariant(vectorOf(VT_BOOL, 0, {Bool(false), Bool(true), BoolHolding(300)}));
    Variant out;
    ASSERT_EQ(VariantChangeType(out.get(), bools.get(), 0, VT_ARRAY | VT_UI1), S_OK);
    EXPECT_TRUE(sameValue(*elementOf(out, 0).get(), *UI1(0).get()));
    EXPECT_TRUE(sameValue(*elementOf(out, 1).get(), *UI1(255).get()));
    EXPECT_TRUE(sameValue(*elementOf(out, 2).get(), *UI1(44).get()));
    ASSERT_EQ(VariantChangeType(out.get(), bools.get(), 0, VT_ARRAY | VT_I4), S_OK);
    EXPECT_TRUE(sameValue(*elementOf(out, 1).get(), *I4(-1).get()));
    ASSERT_EQ(VariantChangeType(out.get(), bools.get(), 0, VT_ARRAY | VT_BOOL), S_OK);
    EXPECT_TRUE(sameValue(*elementOf(out, 2).get(), *BoolHolding(300).get()));

    const Variant mixed = arrayVariant(vectorOf(VT_VARIANT, 0, {Bool(true), I4(7)}));
    ASSERT_EQ(VariantChangeType(out.get(), mixed.get(), 0, VT_ARRAY | VT_UI4), S_OK);
    EXPECT_TRUE(sameValue(*elementOf(out, 0).get(), *UI4(4294967295u).get()));
    EXPECT_TRUE(sameValue(*elementOf(out, 1).get(), *UI4(7).get()));

    // Into Booleans nothing changed: any non-zero number is true.
    const Variant bytes = arrayVariant(vectorOf(VT_UI1, 0, {UI1(0), UI1(2)}));
    ASSERT_EQ(VariantChangeType(out.get(), bytes.get(), 0, VT_ARRAY | VT_BOOL), S_OK);
    EXPECT_TRUE(sameValue(*elementOf(out, 0).get(), *Bool(false).get()));
    EXPECT_TRUE(sameValue(*elementOf(out, 1).get(), *Bool(true).get()));
}

TEST_F(VarConv, AnArrayOfOtherElementsThanItsTypeSaysIsRefused)
{
    struct Mislabelled {
        const char* name;
        VARTYPE elements;
        VARTYPE claimed;
    };
    const Mislabelled cases[] = {
        {"variants called integers", VT_VARIANT, VT_I4},
        {"decimals called bytes", VT_DECIMAL, VT_UI1},
        {"bytes called variants", VT_UI1, VT_VARIANT},
        {"bytes called decimals", VT_UI1, VT_DECIMAL},
    };
    for (const Mislabelled& c : cases) {
        SCOPED_TRACE(c.name);
        VARIANT raw;
        VariantInit(&raw);
        raw.vt = VT_ARRAY | c.claimed;
        raw.parray = SafeArrayCreateVector(c.elements, 0, 2);
        const Variant src = Variant::attach(raw);
        Variant dest = Str("untouched");
        EXPECT_EQ(VariantChangeType(dest.get(), src.get(), 0, VT_ARRAY | VT_BSTR), DISP_E_BADVARTYPE);
        EXPECT_EQ(dest.toUtf8(), "untouched");
    }
}

TEST_F(VarConv, ScalarsAndArraysDoNotMix)
{
    const Variant array = arrayVariant(vectorOf(VT_I4, 0, {I4(1)}));
    std::vector<Case> cases;
    cases.push_back({"scalar to array", I4(1), VT_ARRAY | VT_I4, MISMATCH, {}});
    cases.push_back({"array to scalar", Variant(array), VT_I4, MISMATCH, {}});
    cases.push_back({"array to text", Variant(array), VT_BSTR, MISMATCH, {}});
    cases.push_back({"array to EMPTY clears", Variant(array), VT_EMPTY, S_OK, Empty()});
    runTable(cases);
}

TEST_F(VarConv, ArrayConversionOutOfMemoryLeavesNothing)
{
    const Variant src = arrayVariant(vectorOf(VT_R8, 0, {R8(1.5), R8(2.5), R8(3.5)}));
    // Every allocation of the conversion in turn fails, until there are none left to fail.
    HRESULT hr = E_OUTOFMEMORY;
    for (std::size_t n = 0; hr == E_OUTOFMEMORY && n < 20; ++n) {
        SCOPED_TRACE(n);
        const auto before = com::taskAllocStats();
        Variant dest = I4(9);
        com::failTaskAllocAfter(n);
        hr = VariantChangeType(dest.get(), src.get(), 0, VT_ARRAY | VT_BSTR);
        com::clearTaskAllocFailure();
        if (hr == E_OUTOFMEMORY) {
            EXPECT_EQ(dest.vt(), VT_I4);
            EXPECT_EQ(com::taskAllocStats().liveBlocks, before.liveBlocks);
        }
    }
    EXPECT_EQ(hr, S_OK);
}

TEST_F(VarConv, LocaleRefusesWhatCannotBeParsed)
{
    struct LocaleCase {
        const char* name;
        void (*spoil)(com::ProcessLocale&);
    };
    const LocaleCase cases[] = {
        {"empty decimal", [](com::ProcessLocale& l) { l.decimalSeparator.clear(); }},
        {"digit decimal", [](com::ProcessLocale& l) { l.decimalSeparator = "0"; }},
        {"same separators", [](com::ProcessLocale& l) { l.thousandsSeparator = l.decimalSeparator; }},
        {"no year", [](com::ProcessLocale& l) { l.dateFormat = "dd.MM"; }},
        {"two days", [](com::ProcessLocale& l) { l.dateFormat = "d.M.yyyy d"; }},
        {"no hour", [](com::ProcessLocale& l) { l.timeFormat = "mm:ss"; }},
    };
    ASSERT_TRUE(com::setProcessLocale(com::ProcessLocale::czech()));
    for (const LocaleCase& c : cases) {
        SCOPED_TRACE(c.name);
        com::ProcessLocale l = com::ProcessLocale::english();
        c.spoil(l);
        EXPECT_FALSE(com::setProcessLocale(l));
        EXPECT_EQ(com::processLocale().decimalSeparator, ",");
        EXPECT_EQ(com::processLocale().dateFormat, "dd.MM.yyyy");
    }
}

}  // namespace

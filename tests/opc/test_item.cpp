// Items: binding to variables, property values, conversion to the client's type, scaling,
// limit bits, change detection with deadband, writes and synchronous read records.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "opc/opc_enums.h"
#include "opc/opc_group.h"
#include "opc/opc_item.h"
#include "opc/opc_props.h"
#include "opc/opc_server.h"
#include "opc_client.h"
#include "opc_fixture.h"
#include "platform/com/safearray.h"

namespace opctest {
namespace {

using opc::TOPCItem;

// "vt:text" of a value, for comparisons that print readably.
std::string show(const com::Variant& v)
{
    std::string s = std::to_string(v.vt()) + ":";
    if (v.vt() & VT_ARRAY) {
        SAFEARRAY* sa = v.get()->parray;
        if (!sa)
            return s + "null";
        LONG lo = 0;
        LONG hi = -1;
        SafeArrayGetLBound(sa, 1, &lo);
        SafeArrayGetUBound(sa, 1, &hi);
        s += "[" + std::to_string(lo) + "]";
        const VARTYPE el = v.vt() & VT_TYPEMASK;
        for (LONG i = lo; i <= hi; ++i) {
            VARIANT raw;
            VariantInit(&raw);
            SafeArrayGetElement(sa, &i, el == VT_VARIANT ? static_cast<void*>(&raw) : &raw.llVal);
            if (el != VT_VARIANT)
                raw.vt = el;
            com::Variant e = com::Variant::attach(raw);
            s += (i > lo ? "," : "") + e.toUtf8().value_or("?");
        }
        return s;
    }
    return s + v.toUtf8().value_or(v.isEmpty() ? "" : "?");
}

com::Variant i2(SHORT x) { return std::move(com::Variant().setI2(x)); }
com::Variant i4(LONG x) { return std::move(com::Variant().setI4(x)); }
com::Variant r4(float x) { return std::move(com::Variant().setR4(x)); }
com::Variant r8(double x) { return std::move(com::Variant().setR8(x)); }
com::Variant text(const std::string& x) { return std::move(com::Variant().setString(std::string_view(x))); }
com::Variant boolean(bool x) { return std::move(com::Variant().setBool(x)); }
com::Variant date(double x) { return std::move(com::Variant().setDate(x)); }

// A by-reference value whose pointer is null, as a careless client may send.
com::Variant nullReference()
{
    VARIANT raw;
    VariantInit(&raw);
    raw.vt = VT_BYREF | VT_I4;
    return com::Variant(raw);
}

// A one-dimensional array of the element type from values given as variants.
com::Variant array(VARTYPE el, const std::vector<com::Variant>& values, LONG lower = 0)
{
    SAFEARRAY* sa = SafeArrayCreateVector(el, lower, static_cast<ULONG>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        com::Variant e(values[i]);
        EXPECT_EQ(e.changeType(el), S_OK);
        LONG index = lower + static_cast<LONG>(i);
        VARIANT& raw = *e.get();
        void* data = &raw.llVal;
        if (el == VT_BSTR)
            data = raw.bstrVal;
        SafeArrayPutElement(sa, &index, data);
    }
    com::Variant v;
    v.setArray(sa);
    return v;
}

struct ItemTest : OpcFixture {
    // An item as AddItems makes it for variable v (no group).
    static std::unique_ptr<TOPCItem> bind(vx::TVariable* v, VARTYPE requested = VT_EMPTY,
                                          std::int32_t property = opc::pidValue)
    {
        auto item = std::make_unique<TOPCItem>();
        item->ItemID = v->GetFullName();
        item->PropertyID = property;
        item->CanonicalType = property == opc::pidValue ? v->RequestedType : opc::GetItemPropertyVarType(property);
        item->SetRequestedType(requested);
        item->AccessRights = property == opc::pidValue
                                 ? (v->Readable ? OPC_READABLE : 0) | (v->Writable ? OPC_WRITEABLE : 0)
                                 : OPC_READABLE;
        item->Active = true;
        item->SetVariable(v);
        return item;
    }

    // A variable scaled from raw to engineering units of type eng.
    vx::TVariable* scaledVar(const std::string& name, VARTYPE canonical, VARTYPE eng, double rawLow, double rawHigh,
                             double euLow, double euHigh)
    {
        vx::TVariable* v = var(name, canonical);
        v->SetScaled(true);
        v->RequestedType = eng;
        v->RawLow = rawLow;
        v->RawHigh = rawHigh;
        v->EuLow = euLow;
        v->EuHigh = euHigh;
        return v;
    }

    static com::ComPtr<opc::TOPCGroup> group(float deadband, bool active = true)
    {
        auto g = com::makeCom<opc::TOPCGroup>(nullptr, nullptr);
        g->PercentDeadband = deadband;
        g->Active = active;
        return g;
    }

    static std::vector<TOPCItem*> bound(const vx::TVariable* v)
    {
        std::vector<TOPCItem*> out;
        for (TOPCItem* i = TOPCItem::FirstBound(v); i; i = i->NextBound())
            out.push_back(i);
        std::sort(out.begin(), out.end());
        return out;
    }
    static std::vector<TOPCItem*> sorted(std::vector<TOPCItem*> items)
    {
        std::sort(items.begin(), items.end());
        return items;
    }
};

// ---------------------------------------------------------------------------------------
// Binding

using ItemBinding = ItemTest;

TEST_F(ItemBinding, VariableListFollowsEveryBindingAndDestruction)
{
    vx::TVariable* a = var("A", VT_I2);
    vx::TVariable* b = var("B", VT_I2);
    EXPECT_EQ(TOPCItem::FirstBound(nullptr), nullptr);
    {
        TOPCItem i1, i2, i3;
        i1.SetVariable(a);
        i2.SetVariable(a);
        i3.SetVariable(a);
        EXPECT_EQ(bound(a), sorted({&i1, &i2, &i3}));
        i2.SetVariable(a);  // again: nothing changes
        EXPECT_EQ(bound(a), sorted({&i1, &i2, &i3}));
        i2.SetVariable(b);  // out of the middle
        EXPECT_EQ(bound(a), sorted({&i1, &i3}));
        EXPECT_EQ(bound(b), sorted({&i2}));
        EXPECT_EQ(i2.GetVariable(), b);
        i3.SetVariable(nullptr);
        EXPECT_EQ(bound(a), sorted({&i1}));
        EXPECT_EQ(i3.GetVariable(), nullptr);
        i3.SetVariable(b);
        EXPECT_EQ(bound(b), sorted({&i2, &i3}));
    }
    EXPECT_EQ(TOPCItem::FirstBound(a), nullptr);
    EXPECT_EQ(TOPCItem::FirstBound(b), nullptr);
    EXPECT_EQ(countEvents(opc::meItemRemoved), 3);
}

TEST_F(ItemBinding, MonitorEventsNameTheItem)
{
    auto item = bind(var("A", VT_I2));
    TOPCItem* raw = item.get();
    item->SetActive(false);
    EXPECT_FALSE(item->GetActive());
    ASSERT_EQ(events.back().code, opc::meItemActivated);
    EXPECT_EQ(std::get<TOPCItem*>(events.back().obj), raw);
    item.reset();
    ASSERT_EQ(events.back().code, opc::meItemRemoved);
    EXPECT_EQ(std::get<TOPCItem*>(events.back().obj), raw);
}

TEST_F(ItemBinding, CopyKeepsStateAndBindingButNotValueGroupOrTime)
{
    vx::TVariable* v = var("A", VT_I2);
    auto g = group(0);
    auto src = bind(v, VT_R8, opc::pidUnits);
    src->Group = g.get();
    src->Value = i4(5);
    src->TimeStamp = 123;
    src->RuntimeNode = src.get();
    src->ClientHandle = 7;
    src->ServerHandle = 9;
    src->CatalogueIndex = 3;
    src->LastSeen = i2(1);
    src->Reported = i2(2);
    src->ReportedSource = i2(3);
    src->Quality = 0;  // a property item's quality is good whatever Quality holds
    TOPCItem copy;
    copy.CopyFrom(*src);
    EXPECT_EQ(copy.GetVariable(), v);
    EXPECT_EQ(bound(v), sorted({src.get(), &copy}));
    EXPECT_EQ(copy.PropertyID, opc::pidUnits);
    EXPECT_EQ(copy.Quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(copy.ClientHandle, 7u);
    EXPECT_EQ(copy.ServerHandle, 9u);
    EXPECT_EQ(copy.CatalogueIndex, 3);
    EXPECT_EQ(copy.RequestedType, VT_R8);
    EXPECT_EQ(copy.AccessRights, OPC_READABLE);
    EXPECT_EQ(copy.ItemID, "St.A");
    EXPECT_TRUE(copy.Active);
    EXPECT_EQ(show(copy.LastSeen), show(i2(1)));
    EXPECT_EQ(show(copy.Reported), show(i2(2)));
    EXPECT_EQ(show(copy.ReportedSource), show(i2(3)));
    EXPECT_TRUE(copy.Value.isEmpty());
    EXPECT_EQ(copy.TimeStamp, 0);
    EXPECT_EQ(copy.Group, nullptr);
    EXPECT_EQ(copy.RuntimeNode, nullptr);
}

TEST_F(ItemBinding, FillAttributes)
{
    auto item = bind(var("A", VT_I2), VT_R8);
    item->ClientHandle = 4;
    item->ServerHandle = 8;
    opc::TOPCItemAttributes a;
    a.AccessPath = u"x";
    item->FillAttributes(a);
    EXPECT_EQ(a.ItemID, u"St.A");
    EXPECT_TRUE(a.AccessPath.empty());
    EXPECT_TRUE(a.Active);
    EXPECT_EQ(a.ClientHandle, 4u);
    EXPECT_EQ(a.ServerHandle, 8u);
    EXPECT_EQ(a.AccessRights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_EQ(a.RequestedDataType, VT_R8);
    EXPECT_EQ(a.CanonicalDataType, VT_I2);
    EXPECT_EQ(a.EUType, OPC_NOENUM);
    EXPECT_EQ(show(a.EUInfo), show(i4(0)));
}

// ---------------------------------------------------------------------------------------
// Property values

struct ItemProperty : ItemTest {
    vx::TVariable* v = nullptr;
    void SetUp() override
    {
        ItemTest::SetUp();
        v = scaledVar("Flow", VT_I2, VT_R4, 0, 1000, 0, 100);
        v->Value = i2(500);
        v->Quality = OPC_QUALITY_COMM_FAILURE;
        v->LastUpdate = 46000.25;
        v->Writable = false;
        v->Units = "m\u00b3/h";
        v->Comment = "Pr\u016ftok";
        v->TrueText = "Open";
        v->FalseText = "Shut";
        v->HiHiLimit = 95;
        v->HiLimit = 90;
        v->LoLimit = 10;
        v->LoLoLimit = 5;
    }
};

TEST_F(ItemProperty, TableForPropertyItemsAndTheServer)
{
    const struct Case {
        std::int32_t id;
        com::Variant expected;
    } cases[] = {
        {1, i2(VT_R4)},
        {3, i2(OPC_QUALITY_COMM_FAILURE)},
        {4, date(46000.25)},
        {5, i4(OPC_READABLE)},
        {6, r4(10.0f)},
        {100, text("m\u00b3/h")},
        {101, text("Pr\u016ftok")},
        {102, r8(100)},
        {103, r8(0)},
        {104, r8(1000)},
        {105, r8(0)},
        {106, text("Open")},
        {107, text("Shut")},
        {306, r8(0)},
        {307, r8(95)},
        {308, r8(90)},
        {309, r8(10)},
        {310, r8(5)},
        {0x10000 | 100, text("m\u00b3/h")},  // compared on the low 16 bits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        com::Variant direct;
        EXPECT_EQ(opc::GetVariablePropertyValue(*v, c.id, direct), S_OK);
        EXPECT_EQ(show(direct), show(c.expected));
        auto item = bind(v, VT_EMPTY, c.id);
        EXPECT_EQ(show(item->GetPropertyValue()), show(c.expected));
        EXPECT_EQ(item->GetQuality(), OPC_QUALITY_GOOD);  // whatever the variable's quality
    }
}

TEST_F(ItemProperty, ValueIsScaledForItemsAndRawForTheServer)
{
    auto item = bind(v);
    EXPECT_EQ(show(item->GetPropertyValue()), show(r4(50)));
    com::Variant raw;
    EXPECT_EQ(opc::GetVariablePropertyValue(*v, opc::pidValue, raw), S_OK);
    EXPECT_EQ(show(raw), show(i2(500)));
    v->Value = i4(321);  // not in the canonical type: converted
    EXPECT_EQ(opc::GetVariablePropertyValue(*v, opc::pidValue, raw), S_OK);
    EXPECT_EQ(show(raw), show(i2(321)));
    v->Value = text("x");
    EXPECT_EQ(opc::GetVariablePropertyValue(*v, opc::pidValue, raw), DISP_E_TYPEMISMATCH);
}

TEST_F(ItemProperty, UnknownIdsAndDetachedItemsGiveTheItemsOwnValue)
{
    com::Variant out = i4(1);
    for (std::int32_t id : {0, 7, 200, 311, -1}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(opc::GetVariablePropertyValue(*v, id, out), E_INVALIDARG);
        EXPECT_TRUE(out.isEmpty());
        auto item = bind(v, VT_EMPTY, id);
        item->Value = i4(77);
        EXPECT_EQ(show(item->GetPropertyValue()), show(i4(77)));
    }
    for (std::int32_t id : {opc::pidValue, opc::pidUnits}) {
        SCOPED_TRACE(id);
        auto item = bind(v, VT_EMPTY, id);
        item->SetVariable(nullptr);
        item->Value = text("kept");
        EXPECT_EQ(show(item->GetPropertyValue()), show(text("kept")));
    }
}

// ---------------------------------------------------------------------------------------
// Conversion to the client's type

using ItemConversion = ItemTest;

TEST_F(ItemConversion, ScalarsToRequestedTypes)
{
    const struct Case {
        VARTYPE type;
        com::Variant value;
        VARTYPE requested;
        HRESULT hr;
        com::Variant expected;
    } cases[] = {
        {VT_I2, i2(42), VT_EMPTY, S_OK, i2(42)},  // 0 stands for the canonical type
        {VT_I2, i2(42), VT_I2, S_OK, i2(42)},
        {VT_I2, i2(42), VT_R8, S_OK, r8(42)},
        {VT_I2, i2(42), VT_BSTR, S_OK, text("42")},
        {VT_I2, i2(42), VT_BOOL, S_OK, boolean(true)},
        {VT_I2, i2(-1), VT_UI1, DISP_E_OVERFLOW, {}},
        {VT_I2, i2(1), VT_ARRAY | VT_I2, DISP_E_TYPEMISMATCH, {}},
        {VT_R4, r4(2.5f), VT_I4, S_OK, i4(2)},  // to even
        {VT_BSTR, text("abc"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {VT_BSTR, text("17"), VT_UI2, S_OK, com::Variant(com::Variant().setUI2(17))},
        {VT_BOOL, boolean(true), VT_I2, S_OK, i2(-1)},
        {VT_I2, nullReference(), VT_I4, DISP_E_TYPEMISMATCH, {}},  // E_INVALIDARG from the conversion
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.value) + " as " + std::to_string(c.requested));
        vx::TVariable* v = var("V", c.type);
        v->Value = c.value;
        auto item = bind(v, c.requested);
        com::Variant out = i4(99);
        EXPECT_EQ(item->GetValueConverted(out), c.hr);
        EXPECT_EQ(show(out), show(c.expected));
    }
}

TEST_F(ItemConversion, ArraysElementByElementKeepingBounds)
{
    vx::TVariable* v = var("A", VT_ARRAY | VT_I2, 0, 3);
    v->Value = array(VT_I2, {i2(1), i2(-2), i2(3)}, 5);
    const struct Case {
        VARTYPE requested;
        HRESULT hr;
        com::Variant expected;
    } cases[] = {
        {VT_EMPTY, S_OK, array(VT_I2, {i2(1), i2(-2), i2(3)}, 5)},
        {VT_ARRAY | VT_R8, S_OK, array(VT_R8, {r8(1), r8(-2), r8(3)}, 5)},
        {VT_ARRAY | VT_BSTR, S_OK, array(VT_BSTR, {text("1"), text("-2"), text("3")}, 5)},
        {VT_ARRAY | VT_UI1, DISP_E_OVERFLOW, {}},  // the second element stops it
        {VT_I2, DISP_E_TYPEMISMATCH, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        auto item = bind(v, c.requested);
        com::Variant out;
        EXPECT_EQ(item->GetValueConverted(out), c.hr);
        EXPECT_EQ(show(out), show(c.expected));
    }
}

TEST_F(ItemConversion, FailingTextElementAndEmptyArray)
{
    vx::TVariable* s = var("S", VT_ARRAY | VT_BSTR, 0, 3);
    s->Value = array(VT_BSTR, {text("1"), text("x"), text("3")});
    auto item = bind(s, VT_ARRAY | VT_I2);
    com::Variant out;
    EXPECT_EQ(item->GetValueConverted(out), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(out.isEmpty());

    vx::TVariable* e = var("E", VT_ARRAY | VT_I2, 0, 0);
    auto empty = bind(e, VT_ARRAY | VT_R8);
    EXPECT_EQ(empty->GetValueConverted(out), S_OK);
    EXPECT_EQ(out.vt(), VT_ARRAY | VT_I2);  // unchanged
}

// ---------------------------------------------------------------------------------------
// Scaling

using ItemScaling = ItemTest;

TEST_F(ItemScaling, RawToEngineeringAndBack)
{
    const struct Case {
        VARTYPE canonical, eng;
        double rawLow, rawHigh, euLow, euHigh;
        com::Variant raw;
        com::Variant expected;
        bool inverse;  // UnReScale of expected gives raw back
    } cases[] = {
        {VT_I2, VT_R4, 0, 1000, 0, 100, i2(500), r4(50), true},
        // the instrument low enters only through the span
        {VT_I2, VT_R8, 200, 1200, 0, 100, i2(200), r8(20), true},
        {VT_I4, VT_R8, 0, 100, -50, 50, i4(25), r8(-25), true},
        {VT_UI2, VT_I4, 0, 1000, 0, 100, com::Variant(com::Variant().setUI2(554)), i4(55), false},
        {VT_I2, VT_R8, 100, 100, 0, 10, i2(7), i2(7), true},  // empty instrument range: raw
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.raw) + " -> " + show(c.expected));
        vx::TVariable* v = scaledVar("V", c.canonical, c.eng, c.rawLow, c.rawHigh, c.euLow, c.euHigh);
        v->Value = c.raw;
        auto item = bind(v);
        EXPECT_EQ(show(item->ReScale()), show(c.expected));
        EXPECT_EQ(show(item->GetPropertyValue()), show(c.expected));
        if (c.inverse) {
            com::Variant back = c.expected;
            EXPECT_TRUE(item->UnReScale(back));
            EXPECT_EQ(show(back), show(c.raw));
        }
    }
}

TEST_F(ItemScaling, UnscaledDetachedAndDegenerate)
{
    vx::TVariable* plain = var("P", VT_I2);
    plain->Value = i2(12);
    plain->RawHigh = 10;  // ranges alone do not scale
    plain->EuHigh = 100;
    auto item = bind(plain);
    EXPECT_EQ(show(item->ReScale()), show(i2(12)));
    com::Variant x = r8(5.5);
    EXPECT_TRUE(item->UnReScale(x));
    EXPECT_EQ(show(x), show(r8(5.5)));

    item->SetVariable(nullptr);
    EXPECT_FALSE(item->UnReScale(x));

    // Every raw value maps to the one engineering value: no way back.
    vx::TVariable* flat = scaledVar("F", VT_I2, VT_R8, 0, 100, 5, 5);
    auto f = bind(flat);
    x = r8(5);
    EXPECT_FALSE(f->UnReScale(x));
    // A raw value outside the canonical type's range.
    vx::TVariable* narrow = scaledVar("N", VT_UI1, VT_R8, 0, 100, 0, 10);
    auto n = bind(narrow);
    x = r8(50);
    EXPECT_FALSE(n->UnReScale(x));
    EXPECT_EQ(show(x), show(r8(50)));
}

// ---------------------------------------------------------------------------------------
// Limit bits

using ItemLimits = ItemTest;

TEST_F(ItemLimits, BitsFromLimitsAndNoneWhenLoEqualsHi)
{
    const struct Case {
        double lo, hi, loLo, hiHi, value;
        WORD bits;
    } cases[] = {
        {10, 90, 5, 95, 50, 0},    {10, 90, 5, 95, 7, 1},       {10, 90, 5, 95, 3, 1},
        {10, 90, 5, 95, 92, 2},    {10, 90, 5, 95, 96, 2},      {10, 90, 100, 95, 96, 3},
        {10, 90, 5, 95, 10, 0},    {10, 90, 5, 95, 90, 0},      {50, 50, 0, 100, 150, 0},
        {50, 50, 0, 100, -5, 0},   {0, 0, -10, 10, 20, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        vx::TVariable* v = var("V", VT_R8);
        v->LoLimit = c.lo;
        v->HiLimit = c.hi;
        v->LoLoLimit = c.loLo;
        v->HiHiLimit = c.hiHi;
        v->Value = r8(c.value);
        auto item = bind(v);
        item->Quality = OPC_QUALITY_GOOD | OPC_LIMIT_CONST;  // old bits go
        item->SetLimitBits();
        EXPECT_EQ(item->Quality, OPC_QUALITY_GOOD | c.bits);
    }
}

// ---------------------------------------------------------------------------------------
// Change detection

struct ItemChange : ItemTest {
    // Reports as a group update would: CheckChanged, then the callback value when changed.
    static bool update(TOPCItem& item)
    {
        if (!item.CheckChanged())
            return false;
        OPCHANDLE client = 0;
        com::Variant value;
        WORD quality = 0;
        item.GetCallbackValue(client, value, quality);
        return true;
    }
};

TEST_F(ItemChange, DeadbandTable)
{
    const struct Case {
        const char* name;
        bool scaled;
        double rawLow, rawHigh, euLow, euHigh;
        float deadband;
        std::vector<double> values;    // raw values, one update each after the first
        std::vector<bool> reported;
    } cases[] = {
        // engineering range 0..200 over a raw range of another span
        {"scaled 0..200, 100 to 115", true, 0, 100, 0, 200, 10, {50, 57.5}, {false}},
        {"scaled 0..200, 100 to 120", true, 0, 100, 0, 200, 10, {50, 60}, {true}},
        {"scaled, down by 10 %", true, 0, 100, 0, 200, 10, {50, 40}, {true}},
        {"instrument range 0..200, 100 to 115", false, 0, 200, 0, 0, 10, {100, 115}, {false}},
        {"instrument range 0..200, 100 to 120", false, 0, 200, 0, 0, 10, {100, 120}, {true}},
        {"relative, 100 to 109", false, 0, 0, 0, 0, 10, {100, 109}, {false}},
        {"relative, 100 to 110", false, 0, 0, 0, 0, 10, {100, 110}, {true}},
        {"relative, 100 to 91", false, 0, 0, 0, 0, 10, {100, 91}, {false}},
        {"relative from 0", false, 0, 0, 0, 0, 10, {0, 0.001, 0.001}, {true, false}},
        {"no deadband", false, 0, 200, 0, 0, 0, {100, 100.001, 100.001}, {true, false}},
        // against the last reported value, not the last seen one
        {"creeping", false, 0, 100, 0, 0, 10, {50, 55, 60, 65, 69, 70}, {false, true, false, false, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vx::TVariable* v = c.scaled ? scaledVar("V", VT_R8, VT_R8, c.rawLow, c.rawHigh, c.euLow, c.euHigh)
                                    : var("V", VT_R8);
        if (!c.scaled) {
            v->RawLow = c.rawLow;
            v->RawHigh = c.rawHigh;
        }
        auto g = group(c.deadband);
        auto item = bind(v);
        item->Group = g.get();
        v->Value = r8(c.values[0]);
        EXPECT_TRUE(update(*item));  // nothing seen yet
        for (std::size_t i = 1; i < c.values.size(); ++i) {
            SCOPED_TRACE(c.values[i]);
            v->Value = r8(c.values[i]);
            EXPECT_EQ(update(*item), c.reported[i - 1]);
        }
    }
}

TEST_F(ItemChange, TextsDatesAndBooleans)
{
    const struct Case {
        VARTYPE type;
        com::Variant a, b;
        bool changed;
    } cases[] = {
        {VT_BSTR, text("x"), text("x"), false}, {VT_BSTR, text("x"), text("y"), true},
        {VT_BSTR, text("x"), text("x "), true}, {VT_DATE, date(46000.5), date(46000.5), false},
        {VT_DATE, date(46000.5), date(46000.6), true}, {VT_BOOL, boolean(true), boolean(true), false},
        {VT_BOOL, boolean(true), boolean(false), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.a) + " to " + show(c.b));
        vx::TVariable* v = var("V", c.type);
        v->Value = c.a;
        auto item = bind(v);
        EXPECT_TRUE(item->CheckChanged());
        EXPECT_FALSE(item->CheckChanged());
        v->Value = c.b;
        EXPECT_EQ(item->CheckChanged(), c.changed);
    }
}

TEST_F(ItemChange, QualityAloneIsAChangeAndEachReportRaisesEvent8)
{
    vx::TVariable* v = var("V", VT_I2);
    auto item = bind(v);
    EXPECT_TRUE(item->CheckChanged());
    EXPECT_EQ(countEvents(opc::meItemReported), 1);
    EXPECT_EQ(item->TimeStamp, clock.now());
    EXPECT_FALSE(item->CheckChanged());
    EXPECT_EQ(countEvents(opc::meItemReported), 1);
    v->Quality = OPC_QUALITY_LAST_KNOWN;
    EXPECT_TRUE(item->CheckChanged());
    EXPECT_EQ(item->GetQuality(), OPC_QUALITY_LAST_KNOWN);
    EXPECT_FALSE(item->CheckChanged());
    v->Quality = OPC_QUALITY_GOOD;
    EXPECT_TRUE(item->CheckChanged());
    EXPECT_EQ(countEvents(opc::meItemReported), 3);
}

TEST_F(ItemChange, CrossingALimitIsAQualityChange)
{
    vx::TVariable* v = var("V", VT_R8);
    v->LoLimit = 10;
    v->HiLimit = 90;
    v->RawHigh = 1000;
    v->Value = r8(50);
    auto g = group(50);  // the value change alone would not count
    auto item = bind(v);
    item->Group = g.get();
    EXPECT_TRUE(update(*item));
    v->Value = r8(91);
    EXPECT_TRUE(item->CheckChanged());
    EXPECT_EQ(item->GetQuality(), OPC_QUALITY_GOOD | OPC_LIMIT_HIGH);
    // The callback carries the variable's own quality.
    OPCHANDLE client = 0;
    com::Variant value;
    WORD quality = 0;
    item->GetCallbackValue(client, value, quality);
    EXPECT_EQ(quality, OPC_QUALITY_GOOD);
}

TEST_F(ItemChange, ForcedVariableReportsLocalOverrideThenCallbackCarriesItsQuality)
{
    vx::TVariable* v = var("V", VT_I2);
    v->Forced = true;  // a forced variable whose quality a read set again
    v->Quality = OPC_QUALITY_GOOD;
    auto item = bind(v);
    item->ClientHandle = 31;
    EXPECT_TRUE(item->CheckChanged());
    EXPECT_EQ(item->GetQuality(), OPC_QUALITY_LOCAL_OVERRIDE);
    EXPECT_FALSE(item->CheckChanged());
    OPCHANDLE client = 0;
    com::Variant value;
    WORD quality = 0;
    EXPECT_EQ(item->GetCallbackValue(client, value, quality), S_OK);
    EXPECT_EQ(client, 31u);
    EXPECT_EQ(quality, OPC_QUALITY_GOOD);
}

TEST_F(ItemChange, DetachedItemReportsConfigErrorOnce)
{
    vx::TVariable* v = var("V", VT_I2);
    auto item = bind(v);
    EXPECT_TRUE(item->CheckChanged());
    item->SetVariable(nullptr);
    EXPECT_TRUE(item->CheckChanged());
    EXPECT_EQ(item->GetQuality(), OPC_QUALITY_CONFIG_ERROR);
    EXPECT_FALSE(item->CheckChanged());
    OPCHANDLE client = 0;
    com::Variant value;
    WORD quality = 0;
    item->Value = i2(3);
    EXPECT_EQ(item->GetCallbackValue(client, value, quality), S_OK);
    EXPECT_EQ(quality, OPC_QUALITY_LAST_KNOWN);
    EXPECT_EQ(show(value), show(i2(3)));
}

TEST_F(ItemChange, ArraysLastElementBoundsAndElementTypes)
{
    const struct Case {
        VARTYPE el;
        com::Variant first, same, lastChanged;
    } cases[] = {
        {VT_I2, array(VT_I2, {i2(1), i2(2), i2(3), i2(4)}), array(VT_I2, {i2(1), i2(2), i2(3), i2(4)}),
         array(VT_I2, {i2(1), i2(2), i2(3), i2(5)})},
        {VT_R8, array(VT_R8, {r8(1), r8(2)}), array(VT_R8, {r8(1), r8(2)}), array(VT_R8, {r8(1), r8(2.5)})},
        {VT_BSTR, array(VT_BSTR, {text("a"), text("b")}), array(VT_BSTR, {text("a"), text("b")}),
         array(VT_BSTR, {text("a"), text("c")})},
        {VT_BOOL, array(VT_BOOL, {boolean(true), boolean(false)}), array(VT_BOOL, {boolean(true), boolean(false)}),
         array(VT_BOOL, {boolean(true), boolean(true)})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.el);
        vx::TVariable* v = var("A", VT_ARRAY | c.el, 0, 2);
        v->Value = c.first;
        auto item = bind(v);
        EXPECT_TRUE(item->CheckChanged());
        v->Value = c.same;
        EXPECT_FALSE(item->CheckChanged());
        v->Value = c.lastChanged;
        EXPECT_TRUE(item->CheckChanged());
        EXPECT_FALSE(item->CheckChanged());
    }
}

TEST_F(ItemChange, ArraysOfOtherBoundsCountAsChanged)
{
    vx::TVariable* v = var("A", VT_ARRAY | VT_I2, 0, 3);
    v->Value = array(VT_I2, {i2(1), i2(2), i2(3)});
    auto item = bind(v);
    EXPECT_TRUE(item->CheckChanged());
    const com::Variant others[] = {
        array(VT_I2, {i2(1), i2(2)}),                // shorter
        array(VT_I2, {i2(1), i2(2), i2(3), i2(4)}),  // longer
        array(VT_I2, {i2(1), i2(2), i2(3)}, 1),      // same length, other lower bound
        array(VT_I4, {i4(1), i4(2), i4(3)}),         // other element type
        array(VT_I2, {}),
    };
    for (const auto& other : others) {
        SCOPED_TRACE(show(other));
        v->Value = other;
        EXPECT_TRUE(item->CheckChanged());
        v->Value = array(VT_I2, {i2(1), i2(2), i2(3)});
        EXPECT_TRUE(item->CheckChanged());
    }
}

// A narrowed value (a real shown as an integer, a number shown as text) is compared in its
// own type: no report on every update, and no update cut short.
TEST_F(ItemChange, NarrowingConversionStaysStable)
{
    vx::TVariable* v = var("R", VT_R4);
    v->Value = r4(3.7f);
    auto asInt = bind(v, VT_I4);
    EXPECT_TRUE(update(*asInt));
    EXPECT_EQ(show(asInt->Reported), show(i4(4)));
    EXPECT_EQ(show(asInt->ReportedSource), show(r4(3.7f)));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(update(*asInt));
    v->Value = r4(3.9f);  // the client still sees 4, but the value moved
    EXPECT_TRUE(update(*asInt));

    vx::TVariable* w = var("W", VT_R8);
    w->RawHigh = 100;
    w->Value = r8(50);
    auto g = group(10);
    auto asText = bind(w, VT_BSTR);
    asText->Group = g.get();
    EXPECT_TRUE(update(*asText));
    EXPECT_EQ(show(asText->Reported), show(text("50")));
    EXPECT_FALSE(update(*asText));
    w->Value = r8(55);
    EXPECT_FALSE(update(*asText));
    w->Value = r8(60);
    EXPECT_TRUE(update(*asText));
    EXPECT_EQ(show(asText->Reported), show(text("60")));
}

TEST_F(ItemChange, CallbackValueRecordsWhatWasReported)
{
    vx::TVariable* v = scaledVar("V", VT_I2, VT_R8, 0, 1000, 0, 100);
    v->Value = i2(504);
    auto item = bind(v, VT_I2);
    item->ClientHandle = 12;
    clock.advanceMs(1500);
    OPCHANDLE client = 0;
    com::Variant value;
    WORD quality = 0;
    const int before = countEvents(opc::meItemReported);
    EXPECT_EQ(item->GetCallbackValue(client, value, quality), S_OK);
    EXPECT_EQ(client, 12u);
    EXPECT_EQ(show(value), show(i2(50)));
    EXPECT_EQ(show(item->Reported), show(i2(50)));
    EXPECT_EQ(item->ReportedSource.vt(), VT_I2);  // scaling gives the requested type already
    EXPECT_EQ(quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(item->TimeStamp, clock.now());
    EXPECT_EQ(countEvents(opc::meItemReported), before + 1);

    v->Value = i2(-20);
    auto bad = bind(v, VT_UI1);  // scaled -2 does not fit
    EXPECT_EQ(bad->GetCallbackValue(client, value, quality), DISP_E_OVERFLOW);
    EXPECT_TRUE(value.isEmpty());
}

// ---------------------------------------------------------------------------------------
// Writes

using ItemWrite = ItemTest;

TEST_F(ItemWrite, ErrorsLeaveVariableAndCallerValueAlone)
{
    vx::TVariable* scalar = var("S", VT_I2);
    vx::TVariable* arr = var("A", VT_ARRAY | VT_I2, 0, 3);
    const struct Case {
        const char* name;
        vx::TVariable* target;
        DWORD rights;
        bool bound;
        com::Variant value;
        HRESULT hr;
    } cases[] = {
        {"no write right", scalar, OPC_READABLE, true, i2(5), OPC_E_BADRIGHTS},
        {"no variable", scalar, OPC_READABLE | OPC_WRITEABLE, false, i2(5), OPC_E_UNKNOWNITEMID},
        {"empty", scalar, OPC_WRITEABLE, true, com::Variant(), OPC_E_BADTYPE},
        {"array too short", arr, OPC_WRITEABLE, true, array(VT_I2, {i2(1), i2(2)}), OPC_E_BADTYPE},
        {"array too long", arr, OPC_WRITEABLE, true, array(VT_I2, {i2(1), i2(2), i2(3), i2(4)}), OPC_E_BADTYPE},
        {"array to a scalar", scalar, OPC_WRITEABLE, true, array(VT_I2, {i2(1)}), OPC_E_BADTYPE},
        {"scalar to an array", arr, OPC_WRITEABLE, true, i2(1), DISP_E_TYPEMISMATCH},
        {"not a number", scalar, OPC_WRITEABLE, true, text("abc"), DISP_E_TYPEMISMATCH},
        {"too large", scalar, OPC_WRITEABLE, true, i4(70000), DISP_E_OVERFLOW},
        {"reference to nothing", scalar, OPC_WRITEABLE, true, nullReference(), OPC_E_BADTYPE},
        {"element not a number", arr, OPC_WRITEABLE, true, array(VT_BSTR, {text("1"), text("x"), text("3")}),
         DISP_E_TYPEMISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto item = bind(c.target);
        item->AccessRights = c.rights;
        if (!c.bound)
            item->SetVariable(nullptr);
        const std::string before = show(c.target->Value);
        const std::string given = show(c.value);
        bool done = false;
        EXPECT_EQ(item->WriteValue(*c.value.get(), done), c.hr);
        EXPECT_TRUE(done);
        EXPECT_EQ(show(c.target->Value), before);
        EXPECT_EQ(show(c.value), given);
    }
    EXPECT_TRUE(channel->WriteQueue.empty());
}

TEST_F(ItemWrite, ConvertsACopyStoresAndQueuesTheWrite)
{
    vx::TVariable* v = var("S", VT_I2);
    auto item = bind(v);
    const com::Variant given = text("12");
    bool done = true;
    EXPECT_EQ(item->WriteValue(*given.get(), done), S_OK);
    EXPECT_FALSE(done);  // waits for the PLC
    EXPECT_EQ(show(v->Value), show(i2(12)));
    EXPECT_EQ(show(given), show(text("12")));
    EXPECT_EQ(channel->WriteQueue.size(), 1u);

    // A reference from the client: the referenced value stays.
    LONG referenced = 7;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &referenced;
    EXPECT_EQ(item->WriteValue(byRef, done), S_OK);
    EXPECT_EQ(show(v->Value), show(i2(7)));
    EXPECT_EQ(referenced, 7);
}

TEST_F(ItemWrite, ArraysAndScaledValues)
{
    vx::TVariable* arr = var("A", VT_ARRAY | VT_I2, 0, 3);
    auto a = bind(arr);
    const com::Variant given = array(VT_R8, {r8(1), r8(-2), r8(3)});
    bool done = true;
    EXPECT_EQ(a->WriteValue(*given.get(), done), S_OK);
    EXPECT_EQ(show(arr->Value), show(array(VT_I2, {i2(1), i2(-2), i2(3)})));
    EXPECT_EQ(show(given), show(array(VT_R8, {r8(1), r8(-2), r8(3)})));

    vx::TVariable* s = scaledVar("Sc", VT_I2, VT_R4, 200, 1200, 0, 100);
    auto item = bind(s);
    EXPECT_EQ(item->WriteValue(*text("50").get(), done), S_OK);
    EXPECT_EQ(show(s->Value), show(i2(500)));
    EXPECT_EQ(show(item->GetPropertyValue()), show(r4(50)));
    // Engineering value whose raw value does not fit the PLC type.
    EXPECT_EQ(item->WriteValue(*r8(5000).get(), done), OPC_E_BADTYPE);
    EXPECT_EQ(show(s->Value), show(i2(500)));
}

// ---------------------------------------------------------------------------------------
// Synchronous read records

using ItemRead = ItemTest;

TEST_F(ItemRead, QualityOfTheVariableUnlessACacheReadOfSomethingInactive)
{
    const struct Case {
        const char* name;
        OPCDATASOURCE source;
        bool itemActive, groupActive, hasGroup, bound;
        std::int32_t property;
        WORD variableQuality;
        WORD expected;
    } cases[] = {
        {"device, failed station", OPC_DS_DEVICE, true, true, true, true, 2, 0x18, 0x18},
        {"cache, last known", OPC_DS_CACHE, true, true, true, true, 2, 0x14, 0x14},
        {"cache, good", OPC_DS_CACHE, true, true, false, true, 2, 0xC0, 0xC0},
        {"cache, item inactive", OPC_DS_CACHE, false, true, true, true, 2, 0xC0, 0x1C},
        {"cache, group inactive", OPC_DS_CACHE, true, false, true, true, 2, 0xC0, 0x1C},
        {"device, item inactive", OPC_DS_DEVICE, false, false, true, true, 2, 0x18, 0x18},
        {"property item", OPC_DS_CACHE, false, true, true, true, opc::pidUnits, 0x18, 0xC0},
        {"no variable", OPC_DS_DEVICE, true, true, true, false, 2, 0xC0, 0x14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vx::TVariable* v = var("V", VT_I2);
        v->Quality = c.variableQuality;
        v->Value = i2(9);
        auto g = group(0, c.groupActive);
        auto item = bind(v, VT_EMPTY, c.property);
        item->Active = c.itemActive;
        item->Group = c.hasGroup ? g.get() : nullptr;
        item->ClientHandle = 5;
        if (!c.bound)
            item->SetVariable(nullptr);
        OPCITEMSTATE state{};
        EXPECT_EQ(item->ReadState(c.source, state), S_OK);
        EXPECT_EQ(state.wQuality, c.expected);
        EXPECT_EQ(state.hClient, 5u);
        EXPECT_EQ(state.ftTimeStamp.dwLowDateTime, 0u);  // no server object
        EXPECT_EQ(state.ftTimeStamp.dwHighDateTime, 0u);
        VariantClear(&state.vDataValue);
    }
}

TEST_F(ItemRead, ValueRightsAndServerTime)
{
    vx::TVariable* v = var("V", VT_I2);
    v->Value = i2(9);
    auto item = bind(v, VT_BSTR);
    OPCITEMSTATE state{};
    EXPECT_EQ(item->ReadState(OPC_DS_DEVICE, state), S_OK);
    com::Variant value = com::Variant::attach(state.vDataValue);
    EXPECT_EQ(show(value), show(text("9")));

    item->AccessRights = OPC_WRITEABLE;
    state = {};
    EXPECT_EQ(item->ReadState(OPC_DS_DEVICE, state), OPC_E_BADRIGHTS);
    EXPECT_EQ(state.vDataValue.vt, VT_EMPTY);
    EXPECT_EQ(state.wQuality, OPC_QUALITY_GOOD);

    v->Value = text("x");
    auto numeric = bind(v, VT_I4);
    state = {};
    EXPECT_EQ(numeric->ReadState(OPC_DS_DEVICE, state), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(state.vDataValue.vt, VT_EMPTY);

    TestClient client;
    client.object()->LastUpdateTime = 46001.75;
    item->Server = client.object();
    item->AccessRights = OPC_READABLE;
    state = {};
    item->ReadState(OPC_DS_CACHE, state);
    VariantClear(&state.vDataValue);
    const FILETIME expected = opc::DateTimeToFileTimeUTC(46001.75);
    EXPECT_EQ(state.ftTimeStamp.dwLowDateTime, expected.dwLowDateTime);
    EXPECT_EQ(state.ftTimeStamp.dwHighDateTime, expected.dwHighDateTime);
    EXPECT_NE(expected.dwHighDateTime, 0u);
    item->Server = nullptr;
}

}  // namespace
}  // namespace opctest

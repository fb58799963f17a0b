// Item properties through the server object's IOPCItemProperties: the 19 properties with their
// descriptions and types, their values, the item IDs of those that can be added as items, and
// what bad arguments and failed allocations leave behind.
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "opc_client.h"
#include "opc_fixture.h"

namespace opctest {
namespace {

// "vt:text" of a value, for comparisons that print readably.
std::string show(const com::Variant& v) { return std::to_string(v.vt()) + ":" + v.toUtf8().value_or(v.isEmpty() ? "" : "?"); }
std::string show(const VARIANT& v) { return show(com::Variant(v)); }

com::Variant i2(SHORT x) { return std::move(com::Variant().setI2(x)); }
com::Variant i4(LONG x) { return std::move(com::Variant().setI4(x)); }
com::Variant ui2(USHORT x) { return std::move(com::Variant().setUI2(x)); }
com::Variant r4(float x) { return std::move(com::Variant().setR4(x)); }
com::Variant r8(double x) { return std::move(com::Variant().setR8(x)); }
com::Variant text(const std::string& x) { return std::move(com::Variant().setString(std::string_view(x))); }
com::Variant date(double x) { return std::move(com::Variant().setDate(x)); }

struct QueryResult {
    HRESULT hr = E_FAIL;
    DWORD count = 0;
    std::vector<DWORD> ids;
    std::vector<std::string> descriptions;
    std::vector<VARTYPE> types;
};

struct PropertiesResult {
    HRESULT hr = E_FAIL;
    std::vector<std::string> values;  // shown as "vt:text"
    std::vector<HRESULT> errors;
};

struct LookupResult {
    HRESULT hr = E_FAIL;
    std::vector<std::string> ids;
    std::vector<HRESULT> errors;
};

struct PropsTest : OpcFixture {
    vx::TVariable* flow = nullptr;
    vx::TVariable* name = nullptr;
    TestClient client;

    void SetUp() override
    {
        OpcFixture::SetUp();
        // Scaled: the client sees a single, the PLC holds an unsigned word.
        flow = var("Flow", VT_UI2);
        flow->SetScaled(true);
        flow->RequestedType = VT_R4;
        flow->RawLow = 0;
        flow->RawHigh = 1000;
        flow->EuLow = -10;
        flow->EuHigh = 100;
        flow->Value = ui2(500);
        flow->Quality = OPC_QUALITY_COMM_FAILURE;
        flow->LastUpdate = 46000.25;
        flow->Writable = false;
        flow->Units = "m\u00b3/h";
        flow->Comment = "Pr\u016ftok";
        flow->TrueText = "Open";
        flow->FalseText = "Shut";
        flow->HiHiLimit = 95;
        flow->HiLimit = 90;
        flow->LoLimit = 10;
        flow->LoLoLimit = 5;
        name = var("Name", VT_BSTR);
        name->Value = text("pump 1");
        buildCatalogue();
    }
    void TearDown() override
    {
        client.release();
        OpcFixture::TearDown();
    }

    QueryResult query(const std::string& id)
    {
        std::u16string wide = u16(id);
        QueryResult r;
        DWORD* ids = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* types = nullptr;
        r.count = 99;
        r.hr = client.props->QueryAvailableProperties(wide.data(), &r.count, &ids, &descriptions, &types);
        com::clearTaskAllocFailure();  // a failure meant for the call, not for the copies below
        if (FAILED(r.hr)) {
            EXPECT_EQ(r.count, 0u);
            EXPECT_EQ(ids, nullptr);
            EXPECT_EQ(descriptions, nullptr);
            EXPECT_EQ(types, nullptr);
        }
        if (ids && descriptions && types) {
            for (DWORD i = 0; i < r.count; ++i) {
                r.ids.push_back(ids[i]);
                r.descriptions.push_back(plat::utf16ToUtf8(descriptions[i]));
                r.types.push_back(types[i]);
                CoTaskMemFree(descriptions[i]);
            }
        }
        CoTaskMemFree(ids);
        CoTaskMemFree(descriptions);
        CoTaskMemFree(types);
        return r;
    }

    PropertiesResult get(const std::string& id, std::vector<DWORD> properties)
    {
        std::u16string wide = u16(id);
        VARIANT* values = nullptr;
        HRESULT* errors = nullptr;
        PropertiesResult r;
        const auto n = static_cast<DWORD>(properties.size());
        r.hr = client.props->GetItemProperties(wide.data(), n, properties.data(), &values, &errors);
        com::clearTaskAllocFailure();  // a failure meant for the call, not for the copies below
        if (FAILED(r.hr)) {
            EXPECT_EQ(values, nullptr);
            EXPECT_EQ(errors, nullptr);
        }
        if (values) {
            for (DWORD i = 0; i < n; ++i) {
                r.values.push_back(show(values[i]));
                VariantClear(&values[i]);
            }
            CoTaskMemFree(values);
        }
        r.errors = takeErrors(errors, n);
        return r;
    }

    LookupResult lookup(const std::string& id, std::vector<DWORD> properties)
    {
        std::u16string wide = u16(id);
        LPWSTR* ids = nullptr;
        HRESULT* errors = nullptr;
        LookupResult r;
        const auto n = static_cast<DWORD>(properties.size());
        r.hr = client.props->LookupItemIDs(wide.data(), n, properties.data(), &ids, &errors);
        com::clearTaskAllocFailure();  // a failure meant for the call, not for the copies below
        if (FAILED(r.hr)) {
            EXPECT_EQ(ids, nullptr);
            EXPECT_EQ(errors, nullptr);
        }
        if (ids) {
            for (DWORD i = 0; i < n; ++i) {
                // A string for every entry, refused ones included.
                EXPECT_NE(ids[i], nullptr) << i;
                r.ids.push_back(ids[i] ? plat::utf16ToUtf8(ids[i]) : "(null)");
                CoTaskMemFree(ids[i]);
            }
            CoTaskMemFree(ids);
        }
        r.errors = takeErrors(errors, n);
        return r;
    }
};

// --- QueryAvailableProperties

using PropsQuery = PropsTest;

TEST_F(PropsQuery, NineteenPropertiesInOrderWhateverTheItem)
{
    const std::vector<DWORD> ids = {1, 2, 3, 4, 5, 6, 100, 101, 102, 103, 104, 105, 106, 107, 306, 307, 308, 309, 310};
    const std::vector<std::string> descriptions = {
        "Cannonical DataType", "Value", "Quality", "Timestamp", "Access Rights", "Scan Rate", "EU Units",
        "Item Description", "High EU", "Low EU", "High Instrument Range", "Low Instrument Range",
        "Contact Close Label", "Contact Open Label", "Deadband", "HiHi Limit", "Hi Limit", "Lo Limit", "LoLo Limit",
    };
    // Property 2 has the item's canonical type: the engineering type of a scaled variable.
    const struct Case {
        std::string id;
        VARTYPE valueType;
    } cases[] = {
        {"St.Flow", VT_R4},
        {"St.Name", VT_BSTR},
        {"St.Flow.Units", VT_R4},  // a property's ID names the same entry
        {"St.Name.DataType", VT_BSTR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const QueryResult r = query(c.id);
        ASSERT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.count, 19u);
        EXPECT_EQ(r.ids, ids);
        EXPECT_EQ(r.descriptions, descriptions);
        const std::vector<VARTYPE> types = {VT_I2, c.valueType, VT_I2, VT_DATE, VT_I4, VT_R4, VT_BSTR, VT_BSTR, VT_R8, VT_R8,
                                            VT_R8, VT_R8, VT_BSTR, VT_BSTR, VT_R8, VT_R8, VT_R8, VT_R8, VT_R8};
        EXPECT_EQ(r.types, types);
    }
}

// --- every method's refusals

// An ID that is not in the catalogue, also when it ends in a property keyword ("Value" is not
// cut off an ID, and keywords are case-sensitive).
TEST_F(PropsQuery, UnknownItemsAreInvalidInEveryMethod)
{
    for (const std::string id : {"St.Nope", "St.Nope.Units", "St.Nope.Value", "St", "Units", "", "St.Flow.Units.Units",
                               "St.Flow.Value", "St.Flow.units"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(query(id).hr, OPC_E_INVALIDITEMID);
        EXPECT_EQ(get(id, {2}).hr, OPC_E_INVALIDITEMID);
        EXPECT_EQ(lookup(id, {100}).hr, OPC_E_INVALIDITEMID);
    }
}

TEST_F(PropsQuery, WithoutARegistryNothingIsKnown)
{
    opc::OPCRegistry = nullptr;
    EXPECT_EQ(query("St.Flow").hr, OPC_E_INVALIDITEMID);
    EXPECT_EQ(get("St.Flow", {2}).hr, OPC_E_INVALIDITEMID);
    EXPECT_EQ(lookup("St.Flow", {100}).hr, OPC_E_INVALIDITEMID);
    opc::OPCRegistry = registry.get();
}

using PropsArguments = PropsTest;

TEST_F(PropsArguments, BadCountsAndArraysAreRefusedBeforeAnythingIsAllocated)
{
    std::u16string id = u"St.Flow";
    DWORD one[] = {2};
    const struct Case {
        const char* what;
        LPWSTR item;
        DWORD count;
        DWORD* properties;
        HRESULT hr;
    } cases[] = {
        {"count 0", id.data(), 0, one, E_INVALIDARG},
        {"above the bound", id.data(), 65537, one, E_INVALIDARG},
        {"largest count", id.data(), 0xFFFFFFFF, one, E_INVALIDARG},
        {"no property IDs", id.data(), 1, nullptr, E_INVALIDARG},
        {"no item ID", nullptr, 1, one, E_INVALIDARG},
        {"unknown item", const_cast<LPWSTR>(u"St.X"), 1, one, OPC_E_INVALIDITEMID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto before = com::taskAllocStats();
        VARIANT* values = reinterpret_cast<VARIANT*>(0x1);
        HRESULT* errors = reinterpret_cast<HRESULT*>(0x1);
        EXPECT_EQ(client.props->GetItemProperties(c.item, c.count, c.properties, &values, &errors), c.hr);
        EXPECT_EQ(values, nullptr);
        EXPECT_EQ(errors, nullptr);
        LPWSTR* ids = reinterpret_cast<LPWSTR*>(0x1);
        errors = reinterpret_cast<HRESULT*>(0x1);
        EXPECT_EQ(client.props->LookupItemIDs(c.item, c.count, c.properties, &ids, &errors), c.hr);
        EXPECT_EQ(ids, nullptr);
        EXPECT_EQ(errors, nullptr);
        EXPECT_EQ(com::taskAllocStats().allocations, before.allocations);
    }
}

TEST_F(PropsArguments, MissingOutPointers)
{
    std::u16string id = u"St.Flow";
    DWORD one[] = {100};
    VARIANT* values = reinterpret_cast<VARIANT*>(0x1);
    HRESULT* errors = reinterpret_cast<HRESULT*>(0x1);
    LPWSTR* ids = reinterpret_cast<LPWSTR*>(0x1);
    EXPECT_EQ(client.props->GetItemProperties(id.data(), 1, one, nullptr, &errors), E_POINTER);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(client.props->GetItemProperties(id.data(), 1, one, &values, nullptr), E_POINTER);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(client.props->LookupItemIDs(id.data(), 1, one, nullptr, &errors), E_POINTER);
    EXPECT_EQ(client.props->LookupItemIDs(id.data(), 1, one, &ids, nullptr), E_POINTER);
    EXPECT_EQ(ids, nullptr);

    DWORD count = 99;
    DWORD* pids = reinterpret_cast<DWORD*>(0x1);
    LPWSTR* descriptions = reinterpret_cast<LPWSTR*>(0x1);
    VARTYPE* types = reinterpret_cast<VARTYPE*>(0x1);
    EXPECT_EQ(client.props->QueryAvailableProperties(id.data(), nullptr, &pids, &descriptions, &types), E_POINTER);
    EXPECT_EQ(pids, nullptr);
    EXPECT_EQ(descriptions, nullptr);
    EXPECT_EQ(types, nullptr);
    EXPECT_EQ(client.props->QueryAvailableProperties(id.data(), &count, nullptr, &descriptions, &types), E_POINTER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(client.props->QueryAvailableProperties(id.data(), &count, &pids, nullptr, &types), E_POINTER);
    EXPECT_EQ(client.props->QueryAvailableProperties(id.data(), &count, &pids, &descriptions, nullptr), E_POINTER);
    EXPECT_EQ(client.props->QueryAvailableProperties(nullptr, &count, &pids, &descriptions, &types), E_INVALIDARG);
    EXPECT_EQ(pids, nullptr);
}

// The bound itself is no error, and every entry up to it is filled.
TEST_F(PropsArguments, TheLargestCountIsServedInFull)
{
    std::vector<DWORD> properties(65536, opc::pidQuality);
    properties.back() = 7;
    const PropertiesResult g = get("St.Flow", properties);
    EXPECT_EQ(g.hr, S_FALSE);
    ASSERT_EQ(g.errors.size(), 65536u);
    EXPECT_EQ(g.errors[65534], S_OK);
    EXPECT_EQ(g.values[65534], show(i2(OPC_QUALITY_COMM_FAILURE)));
    EXPECT_EQ(g.errors.back(), OPC_E_INVALID_PID);

    properties.back() = opc::pidUnits;
    const LookupResult l = lookup("St.Flow", properties);
    EXPECT_EQ(l.hr, S_FALSE);
    ASSERT_EQ(l.ids.size(), 65536u);
    EXPECT_EQ(l.ids.back(), "St.Flow.Units");
    EXPECT_EQ(l.errors.back(), S_OK);
}

// --- GetItemProperties

using PropsValues = PropsTest;

TEST_F(PropsValues, EveryPropertyInItsType)
{
    const struct Case {
        DWORD id;
        com::Variant expected;
    } cases[] = {
        {1, i2(VT_R4)},
        {2, ui2(500)},  // raw, unscaled, in the PLC's type
        {3, i2(OPC_QUALITY_COMM_FAILURE)},
        {4, date(46000.25)},
        {5, i4(OPC_READABLE)},
        {6, r4(10.0f)},  // always
        {100, text("m\u00b3/h")},
        {101, text("Pr\u016ftok")},
        {102, r8(100)},
        {103, r8(-10)},
        {104, r8(1000)},
        {105, r8(0)},
        {106, text("Open")},
        {107, text("Shut")},
        {306, r8(0)},
        {307, r8(95)},
        {308, r8(90)},
        {309, r8(10)},
        {310, r8(5)},
        {0x10000 | 310, r8(5)},  // compared on the low 16 bits
        {0xFFFF0000 | 6, r4(10.0f)},
    };
    std::vector<DWORD> all;
    for (const auto& c : cases)
        all.push_back(c.id);
    // One by one and all in one call.
    const PropertiesResult together = get("St.Flow", all);
    ASSERT_EQ(together.hr, S_OK);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].id);
        const PropertiesResult r = get("St.Flow", {cases[i].id});
        ASSERT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.errors[0], S_OK);
        EXPECT_EQ(r.values[0], show(cases[i].expected));
        EXPECT_EQ(together.values[i], show(cases[i].expected));
        EXPECT_EQ(together.errors[i], S_OK);
    }
}

TEST_F(PropsValues, UnknownPropertiesAreEmptyAndMakeTheCallSFalse)
{
    const PropertiesResult r = get("St.Flow", {2, 7, 310});
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.values, (std::vector<std::string>{show(ui2(500)), "0:", show(r8(5))}));
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALID_PID, S_OK}));

    for (const DWORD id : {0u, 7u, 99u, 108u, 305u, 311u, 0x10000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
        const PropertiesResult u = get("St.Name", {id});
        EXPECT_EQ(u.hr, S_FALSE);
        EXPECT_EQ(u.values, std::vector<std::string>{"0:"});
        EXPECT_EQ(u.errors, std::vector<HRESULT>{OPC_E_INVALID_PID});
    }
}

TEST_F(PropsValues, PropertyIDsOfAnItemIDReadTheVariable)
{
    const PropertiesResult r = get("St.Name.Units", {2, 1, 6});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.values, (std::vector<std::string>{show(text("pump 1")), show(i2(VT_BSTR)), show(r4(10.0f))}));
}

// A value that does not convert fails its own entry only, with a log line and no box.
std::vector<std::string>* capturedLog = nullptr;
void captureLog(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    if (capturedLog)
        capturedLog->push_back(std::string(context.category ? context.category : "") + "|" + message.toStdString());
}

TEST_F(PropsValues, AValueThatCannotBeDeliveredFailsItsEntryWithALogLine)
{
    flow->Value = text("not a number");
    std::vector<std::string> log;
    capturedLog = &log;
    const QtMessageHandler previous = qInstallMessageHandler(captureLog);
    const PropertiesResult r = get("St.Flow", {3, 2, 100});
    qInstallMessageHandler(previous);
    capturedLog = nullptr;
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALID_PID, S_OK}));
    EXPECT_EQ(r.values[1], "0:");
    EXPECT_EQ(r.values[2], show(text("m\u00b3/h")));
    EXPECT_EQ(log, std::vector<std::string>{"vx.opc.props|St.Flow: Type mismatch 2"});
}

// A catalogue entry whose variable is gone has nothing to read, but still its properties.
TEST_F(PropsValues, AnEntryWithoutAVariable)
{
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        registry->AddItem({"St.Ghost", VT_I2, true, false, nullptr});
        registry->SortItems();
    }
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const PropertiesResult r = get("St.Ghost", {1, 2, 6});
    qInstallMessageHandler(previous);
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{OPC_E_INVALID_PID, OPC_E_INVALID_PID, OPC_E_INVALID_PID}));
    EXPECT_EQ(r.values, (std::vector<std::string>{"0:", "0:", "0:"}));
    EXPECT_EQ(query("St.Ghost").count, 19u);
    EXPECT_EQ(lookup("St.Ghost", {100}).ids, std::vector<std::string>{"St.Ghost.Units"});
}

// --- LookupItemIDs

using PropsLookup = PropsTest;

TEST_F(PropsLookup, ItemIDsOnlyForThePropertiesBeyondTheFirstSix)
{
    const LookupResult r = lookup("St.Flow", {100, 1, 311});
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.ids, (std::vector<std::string>{"St.Flow.Units", "", ""}));
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALID_PID, OPC_E_INVALID_PID}));

    const struct Case {
        DWORD id;
        std::string keyword;  // empty: refused
    } cases[] = {
        {100, "Units"},     {101, "Description"}, {102, "HiEU"},      {103, "LoEU"},      {104, "HiRange"},
        {105, "LoRange"},   {106, "CloseLabel"},  {107, "OpenLabel"}, {306, "Deadband"},  {307, "HiHiLimit"},
        {308, "HiLimit"},   {309, "LoLimit"},     {310, "LoLoLimit"}, {0x10000 | 100, "Units"},
        {1, ""}, {2, ""}, {3, ""}, {4, ""}, {5, ""}, {6, ""}, {0, ""}, {7, ""}, {108, ""}, {305, ""}, {311, ""},
        {0xFFFFFFFF, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const LookupResult one = lookup("St.Flow", {c.id});
        EXPECT_EQ(one.hr, c.keyword.empty() ? S_FALSE : S_OK);
        EXPECT_EQ(one.ids, std::vector<std::string>{c.keyword.empty() ? "" : "St.Flow." + c.keyword});
        EXPECT_EQ(one.errors, std::vector<HRESULT>{c.keyword.empty() ? OPC_E_INVALID_PID : S_OK});
    }
}

TEST_F(PropsLookup, TheClientsIDIsKeptAsItCame)
{
    const LookupResult r = lookup("St.Name.Units", {101});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.ids, std::vector<std::string>{"St.Name.Units.Description"});
}

// --- allocation failures

using PropsAllocation = PropsTest;

// Every allocation of each method fails in turn until the call goes through: each failure
// gives E_OUTOFMEMORY with nothing handed out and nothing left behind.
TEST_F(PropsAllocation, EveryFailureLeavesNothing)
{
    const struct Method {
        const char* name;
        std::function<HRESULT()> call;
    } methods[] = {
        {"QueryAvailableProperties", [&] { return query("St.Flow").hr; }},
        {"GetItemProperties", [&] { return get("St.Flow", {100, 2, 7, 101, 106, 107, 3}).hr; }},
        {"LookupItemIDs", [&] { return lookup("St.Flow", {100, 1, 310, 5}).hr; }},
    };
    for (const auto& m : methods) {
        SCOPED_TRACE(m.name);
        bool succeeded = false;
        std::size_t failures = 0;
        for (std::size_t n = 0; n < 64 && !succeeded; ++n) {
            SCOPED_TRACE(n);
            const auto before = com::taskAllocStats().liveBlocks;
            com::failTaskAllocAfter(n);
            const HRESULT hr = m.call();
            com::clearTaskAllocFailure();
            if (SUCCEEDED(hr)) {
                succeeded = true;
                continue;
            }
            ++failures;
            EXPECT_EQ(hr, E_OUTOFMEMORY);
            EXPECT_EQ(com::taskAllocStats().liveBlocks, before);
        }
        EXPECT_TRUE(succeeded);
        EXPECT_GE(failures, 3u) << "the arrays and at least one string";
    }
}

}  // namespace
}  // namespace opctest

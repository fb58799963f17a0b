// The enumerators the server objects and groups hand to clients, through the calls that create
// them where there is one, and the texts of the OPC result codes.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "opc/opc_enums.h"
#include "opc_client.h"
#include "opc_fixture.h"

namespace opctest {
namespace {

std::string takeString(LPWSTR s)
{
    std::string out = s ? plat::utf16ToUtf8(s) : std::string();
    CoTaskMemFree(s);
    return out;
}

// What one Next handed out, as names; everything it handed out is freed or released.
struct Fetched {
    HRESULT hr = E_FAIL;
    ULONG count = 0;
    std::vector<std::string> names;
    std::size_t allocations = 0;  // task allocations the call made
};

// Room for more than any enumerator here holds: whatever the count asked, nothing may be
// written past the elements that remain.
constexpr std::size_t kRoom = 4;

template <class Element, class Enum, class Name>
Fetched nextOf(Enum* e, ULONG celt, Name name)
{
    Element out[kRoom];
    for (auto& o : out)
        o = reinterpret_cast<Element>(0x1);
    ULONG fetched = 99;
    const auto before = com::taskAllocStats().allocations;
    Fetched r;
    r.hr = e->Next(celt, out, &fetched);
    r.allocations = com::taskAllocStats().allocations - before;
    r.count = fetched;
    EXPECT_LE(fetched, kRoom);
    for (ULONG i = 0; i < fetched && i < kRoom; ++i)
        r.names.push_back(name(out[i]));
    for (std::size_t i = fetched; i < kRoom; ++i)
        EXPECT_EQ(out[i], reinterpret_cast<Element>(0x1)) << "wrote past the fetched elements";
    return r;
}

std::string groupName(IUnknown* unk)
{
    com::ComPtr<IUnknown> held = com::ComPtr<IUnknown>::attach(unk);
    com::ComPtr<IOPCItemMgt> mgt;
    held.as(mgt);
    return mgt ? static_cast<opc::TOPCGroup*>(mgt.get())->Name : "?";
}

// One enumerator of names or objects, driven the same way whatever it enumerates.
struct EnumUnderTest {
    std::string what;
    std::function<Fetched(ULONG)> next;
    std::function<HRESULT(ULONG)> skip;
    std::function<HRESULT()> reset;
    std::function<HRESULT(ULONG*)> nextWithoutArray;  // rgelt null
    std::function<HRESULT(ULONG)> nextWithoutCount;   // pceltFetched null
    std::function<EnumUnderTest()> clone;

    static EnumUnderTest of(const std::string& what, com::ComPtr<IEnumString> e)
    {
        return {what,
                [e](ULONG celt) { return nextOf<LPOLESTR>(e.get(), celt, takeString); },
                [e](ULONG celt) { return e->Skip(celt); },
                [e] { return e->Reset(); },
                [e](ULONG* n) { return e->Next(1, nullptr, n); },
                [e](ULONG celt) {
                    LPOLESTR s[kRoom] = {};
                    return e->Next(celt, s, nullptr);
                },
                [e, what] {
                    com::ComPtr<IEnumString> c;
                    EXPECT_EQ(e->Clone(c.put()), S_OK);
                    return of(what + " clone", c);
                }};
    }
    static EnumUnderTest of(const std::string& what, com::ComPtr<IEnumUnknown> e)
    {
        return {what,
                [e](ULONG celt) { return nextOf<IUnknown*>(e.get(), celt, groupName); },
                [e](ULONG celt) { return e->Skip(celt); },
                [e] { return e->Reset(); },
                [e](ULONG* n) { return e->Next(1, nullptr, n); },
                [e](ULONG celt) {
                    IUnknown* s[kRoom] = {};
                    return e->Next(celt, s, nullptr);
                },
                [e, what] {
                    com::ComPtr<IEnumUnknown> c;
                    EXPECT_EQ(e->Clone(c.put()), S_OK);
                    return of(what + " clone", c);
                }};
    }
};

// What AddGroup hands out, holding exactly one reference to the group.
com::ComPtr<IUnknown> addGroup(IOPCServer* server, const std::u16string& name)
{
    IUnknown* unk = nullptr;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    EXPECT_EQ(server->AddGroup(name.c_str(), TRUE, 100, 7, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &handle, &revised,
                               IID_IUnknown, &unk),
              S_OK);
    return com::ComPtr<IUnknown>::attach(unk);
}

opc::TOPCGroup* groupOf(const com::ComPtr<IUnknown>& unk)
{
    com::ComPtr<IOPCItemMgt> mgt;
    unk.as(mgt);
    return static_cast<opc::TOPCGroup*>(mgt.get());
}

// Two names or two groups, from each call that creates a string or object enumerator.
struct EnumServerTest : OpcFixture {
    TestClient client;
    com::ComPtr<IUnknown> a;
    com::ComPtr<IUnknown> b;

    void SetUp() override
    {
        OpcFixture::SetUp();
        var("V1", VT_I2);
        var("V2", VT_I2, 2);
        buildCatalogue();
        a = addGroup(client.server.get(), u"A");
        b = addGroup(client.server.get(), u"B");
    }
    void TearDown() override
    {
        a = nullptr;
        b = nullptr;
        client.release();
        OpcFixture::TearDown();
    }

    template <class I>
    com::ComPtr<I> groupEnumerator()
    {
        IUnknown* unk = nullptr;
        EXPECT_EQ(client.server->CreateGroupEnumerator(OPC_ENUM_ALL, uuidof<I>(), &unk), S_OK);
        com::ComPtr<I> e;
        com::ComPtr<IUnknown>::attach(unk).as(e);
        return e;
    }
    com::ComPtr<IEnumString> browseEnumerator()
    {
        com::ComPtr<IEnumString> e;
        EXPECT_EQ(client.browse->BrowseOPCItemIDs(OPC_FLAT, u"St.V*", VT_EMPTY, 0, e.put()), S_OK);
        return e;
    }

    struct Source {
        EnumUnderTest e;
        std::string first, second;
    };
    std::vector<Source> sources()
    {
        return {
            {EnumUnderTest::of("group names", groupEnumerator<IEnumString>()), "A", "B"},
            {EnumUnderTest::of("browsed item IDs", browseEnumerator()), "St.V1", "St.V2"},
            {EnumUnderTest::of("group objects", groupEnumerator<IEnumUnknown>()), "A", "B"},
        };
    }
};

// --- names and objects

TEST_F(EnumServerTest, NextSkipAndResetOverTwoElements)
{
    for (auto& s : sources()) {
        SCOPED_TRACE(s.e.what);
        using Names = std::vector<std::string>;
        const Names both = {s.first, s.second};
        struct Step {
            const char* what;
            std::function<Fetched()> run;
            Fetched expected;
        };
        auto next = [&](ULONG n) { return [&s, n] { return s.e.next(n); }; };
        auto skip = [&](ULONG n) { return [&s, n] { return Fetched{s.e.skip(n), 0, {}, 0}; }; };
        auto reset = [&s] { return Fetched{s.e.reset(), 0, {}, 0}; };
        const Step steps[] = {
            {"more than there are", next(3), {S_FALSE, 2, both, 2}},
            {"at the end", next(1), {S_FALSE, 0, {}, 0}},
            {"reset", reset, {S_OK, 0, {}, 0}},
            {"none asked", next(0), {S_FALSE, 0, {}, 0}},
            // The count is signed: these are below 1.
            {"largest count", next(0xFFFFFFFF), {S_FALSE, 0, {}, 0}},
            {"sign bit", next(0x80000000), {S_FALSE, 0, {}, 0}},
            {"nothing was consumed", next(1), {S_OK, 1, {s.first}, 1}},
            {"largest positive count", next(0x7FFFFFFF), {S_FALSE, 1, {s.second}, 1}},
            {"reset again", reset, {S_OK, 0, {}, 0}},
            {"skip past the end", skip(5), {S_FALSE, 0, {}, 0}},
            {"after skipping past", next(1), {S_FALSE, 0, {}, 0}},
            {"reset starts over", reset, {S_OK, 0, {}, 0}},
            {"skip one", skip(1), {S_OK, 0, {}, 0}},
            {"skip the largest count", skip(0xFFFFFFFF), {S_FALSE, 0, {}, 0}},
            {"did not wrap", next(1), {S_FALSE, 0, {}, 0}},
            {"reset once more", reset, {S_OK, 0, {}, 0}},
            {"skip to the end exactly", skip(2), {S_OK, 0, {}, 0}},
            {"skip none at the end", skip(0), {S_OK, 0, {}, 0}},
            {"skip one at the end", skip(1), {S_FALSE, 0, {}, 0}},
            {"reset for the last time", reset, {S_OK, 0, {}, 0}},
            {"exactly what there is", next(2), {S_OK, 2, both, 2}},
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            const Fetched f = step.run();
            EXPECT_EQ(f.hr, step.expected.hr);
            EXPECT_EQ(f.count, step.expected.count);
            EXPECT_EQ(f.names, step.expected.names);
            // Strings are allocated for what is handed out, never for the count asked.
            if (s.e.what != "group objects") {
                EXPECT_EQ(f.allocations, step.expected.allocations);
            }
        }
    }
}

TEST_F(EnumServerTest, TheFetchedCountIsRequired)
{
    for (auto& s : sources()) {
        SCOPED_TRACE(s.e.what);
        const auto before = com::taskAllocStats().allocations;
        EXPECT_EQ(s.e.nextWithoutCount(1), E_INVALIDARG);
        EXPECT_EQ(s.e.nextWithoutCount(2), E_INVALIDARG);
        // A count below 1 is answered first.
        EXPECT_EQ(s.e.nextWithoutCount(0), S_FALSE);
        EXPECT_EQ(s.e.nextWithoutCount(0xFFFFFFFF), S_FALSE);
        ULONG n = 99;
        EXPECT_EQ(s.e.nextWithoutArray(&n), E_POINTER);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(com::taskAllocStats().allocations, before);
        // Nothing was consumed.
        EXPECT_EQ(s.e.next(1).names, std::vector<std::string>{s.first});
    }
}

TEST_F(EnumServerTest, ACloneGoesOnFromTheSamePlaceOnItsOwn)
{
    for (auto& s : sources()) {
        SCOPED_TRACE(s.e.what);
        s.e.next(1);
        EnumUnderTest clone = s.e.clone();
        EXPECT_EQ(clone.next(5).names, std::vector<std::string>{s.second});
        EXPECT_EQ(s.e.next(5).names, std::vector<std::string>{s.second});
        EXPECT_EQ(clone.reset(), S_OK);
        EXPECT_EQ(s.e.next(1).count, 0u);
        // A clone keeps the server's rules.
        EXPECT_EQ(clone.nextWithoutCount(1), E_INVALIDARG);
        EXPECT_EQ(clone.next(0xFFFFFFFF).hr, S_FALSE);
        EnumUnderTest second = clone.clone();
        EXPECT_EQ(second.next(5).names, (std::vector<std::string>{s.first, s.second}));
        EXPECT_EQ(clone.next(5).names, (std::vector<std::string>{s.first, s.second}));
    }
    com::ComPtr<IEnumString> names = groupEnumerator<IEnumString>();
    EXPECT_EQ(names->Clone(nullptr), E_POINTER);
    com::ComPtr<IEnumUnknown> objects = groupEnumerator<IEnumUnknown>();
    EXPECT_EQ(objects->Clone(nullptr), E_POINTER);
}

// Each enumerator copies its names when it is made.
TEST_F(EnumServerTest, NamesAreTakenWhenTheEnumeratorIsMade)
{
    com::ComPtr<IEnumString> names = groupEnumerator<IEnumString>();
    com::ComPtr<IEnumString> ids = browseEnumerator();
    a = nullptr;  // group A goes
    var("V3", VT_I2, 4);
    buildCatalogue();
    EXPECT_EQ(EnumUnderTest::of("names", names).next(5).names, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(EnumUnderTest::of("ids", ids).next(5).names, (std::vector<std::string>{"St.V1", "St.V2"}));
}

// The groups belong to the client; the enumerator and what it hands out only add references.
TEST_F(EnumServerTest, ObjectsCarryReferencesOfTheirOwn)
{
    opc::TOPCGroup* ga = groupOf(a);
    opc::TOPCGroup* gb = groupOf(b);
    ASSERT_EQ(ga->refCount(), 1u);
    auto state = [](opc::TOPCGroup* g) {
        com::ComPtr<IOPCGroupStateMgt> s;
        return g->QueryInterface(IID_IOPCGroupStateMgt, s.putVoid());
    };

    // The client releases every pointer it received and the enumerator: its groups are as
    // they were.
    com::ComPtr<IEnumUnknown> e = groupEnumerator<IEnumUnknown>();
    EXPECT_EQ(ga->refCount(), 2u);
    com::ComPtr<IEnumUnknown> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    EXPECT_EQ(gb->refCount(), 3u);
    clone = nullptr;
    IUnknown* got[3] = {};
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(got[0], ga->unknown());
    EXPECT_EQ(got[1], gb->unknown());
    EXPECT_EQ(ga->refCount(), 3u);
    got[0]->Release();
    got[1]->Release();
    e = nullptr;
    EXPECT_EQ(ga->refCount(), 1u);
    EXPECT_EQ(gb->refCount(), 1u);
    EXPECT_EQ(state(ga), S_OK);
    EXPECT_EQ(state(gb), S_OK);

    // The client lets go of its groups first: the enumerator keeps them, and what it hands
    // out outlives it.
    e = groupEnumerator<IEnumUnknown>();
    a = nullptr;
    b = nullptr;
    EXPECT_EQ(countEvents(opc::meGroupRemoved), 0);
    EXPECT_EQ(ga->refCount(), 1u);
    ASSERT_EQ(e->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    e = nullptr;
    EXPECT_EQ(countEvents(opc::meGroupRemoved), 0);
    EXPECT_EQ(ga->refCount(), 1u);
    EXPECT_EQ(state(ga), S_OK);
    EXPECT_EQ(state(gb), S_OK);
    got[0]->Release();
    got[1]->Release();
    EXPECT_EQ(countEvents(opc::meGroupRemoved), 2);
}

// --- item attributes through the group's CreateEnumerator

struct EnumGroupItems : OpcFixture {
    TestClient client;
    TestGroup group;
    com::ComPtr<IEnumOPCItemAttributes> e;

    void SetUp() override
    {
        OpcFixture::SetUp();
        var("V1", VT_I2);
        var("V2", VT_I2, 2);
        var("V3", VT_I2, 4);
        buildCatalogue();
        group = client.addGroup("G", true, 100);
        ASSERT_EQ(group.addItems({{"St.V1", 1}, {"St.V2", 2}, {"St.V3", 3}}).hr, S_OK);
        IUnknown* unk = nullptr;
        ASSERT_EQ(group.mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, &unk), S_OK);
        com::ComPtr<IUnknown>::attach(unk).as(e);
        ASSERT_TRUE(e);
    }
    void TearDown() override
    {
        e = nullptr;
        group.release();
        client.release();
        OpcFixture::TearDown();
    }

    // The client handles fetched, and the bytes the record array took.
    struct Records {
        HRESULT hr = E_FAIL;
        std::vector<OPCHANDLE> clients;
        std::size_t arrayBytes = 0;
    };
    Records next(ULONG celt)
    {
        const auto before = com::taskAllocStats().liveBytes;
        OPCITEMATTRIBUTES* array = nullptr;
        ULONG fetched = 99;
        Records r;
        r.hr = e->Next(celt, &array, &fetched);
        std::size_t strings = 0;
        for (ULONG i = 0; i < fetched; ++i) {
            EXPECT_TRUE(com::isPlainScalar(array[i].vEUInfo.vt));
            strings += (std::u16string_view(array[i].szAccessPath).size() + 1) * sizeof(char16_t);
            strings += (std::u16string_view(array[i].szItemID).size() + 1) * sizeof(char16_t);
        }
        r.arrayBytes = com::taskAllocStats().liveBytes - before - strings;
        for (ULONG i = 0; i < fetched; ++i) {
            r.clients.push_back(array[i].hClient);
            CoTaskMemFree(array[i].szAccessPath);
            CoTaskMemFree(array[i].szItemID);
            VariantClear(&array[i].vEUInfo);
        }
        CoTaskMemFree(array);
        return r;
    }
};

using Clients = std::vector<OPCHANDLE>;

TEST_F(EnumGroupItems, AHugeCountAllocatesOnlyWhatRemains)
{
    Records r = next(0xFFFFFFFF);
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.clients, (Clients{1, 2, 3}));
    EXPECT_EQ(r.arrayBytes, 3 * sizeof(OPCITEMATTRIBUTES));

    e->Reset();
    EXPECT_EQ(e->Skip(2), S_OK);
    r = next(0x80000000);  // unsigned here: a count, not a refusal
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.clients, Clients{3});
    EXPECT_EQ(r.arrayBytes, sizeof(OPCITEMATTRIBUTES));

    // Nothing left: nothing allocated.
    r = next(0xFFFFFFFF);
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.arrayBytes, 0u);
}

// Skip counts without wrapping: a count that would overflow a 32-bit position ends at the end.
TEST_F(EnumGroupItems, SkipDoesNotWrap)
{
    const struct Case {
        ULONG first;
        ULONG then;
        HRESULT hr;
        Clients rest;
    } cases[] = {
        {1, 0xFFFFFFFF, S_FALSE, {}},
        {1, 0x7FFFFFFF, S_FALSE, {}},
        {2, 0x80000000, S_FALSE, {}},
        {3, 0xFFFFFFFF, S_FALSE, {}},
        {1, 2, S_OK, {}},
        {1, 1, S_OK, {3}},
        {0, 0, S_OK, {1, 2, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + "+" + std::to_string(c.then));
        ASSERT_EQ(e->Reset(), S_OK);
        EXPECT_EQ(e->Skip(c.first), S_OK);
        EXPECT_EQ(e->Skip(c.then), c.hr);
        EXPECT_EQ(next(5).clients, c.rest);
    }
}

TEST_F(EnumGroupItems, NextRulesAndAnIndependentClone)
{
    OPCITEMATTRIBUTES* array = reinterpret_cast<OPCITEMATTRIBUTES*>(0x1);
    EXPECT_EQ(e->Next(1, &array, nullptr), E_INVALIDARG);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(e->Next(0, &array, nullptr), S_FALSE);
    EXPECT_EQ(next(0).hr, S_FALSE);
    EXPECT_EQ(next(1).clients, Clients{1});
    com::ComPtr<IEnumOPCItemAttributes> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    EXPECT_EQ(next(1).clients, Clients{2});
    e.swap(clone);
    EXPECT_EQ(next(5).clients, (Clients{2, 3}));
    e.swap(clone);
    EXPECT_EQ(next(5).clients, Clients{3});
}

// --- item attributes on their own

struct EnumItemAttributes : comtest::TaskAllocBalance {
    BYTE blob[4] = {1, 2, 3, 4};

    std::vector<opc::TOPCItemAttributes> records(int n)
    {
        std::vector<opc::TOPCItemAttributes> out;
        for (int i = 0; i < n; ++i) {
            opc::TOPCItemAttributes a;
            a.Active = i % 2 == 0;
            a.EUType = OPC_ANALOG;
            a.Blob = blob;
            a.BlobSize = 4;
            a.EUInfo.setString(u"range " + plat::utf8ToUtf16(std::to_string(i)));
            a.AccessPath = u"path";
            a.ItemID = u"St.V" + plat::utf8ToUtf16(std::to_string(i));
            a.RequestedDataType = VT_R8;
            a.CanonicalDataType = VT_I2;
            a.ClientHandle = 100 + static_cast<OPCHANDLE>(i);
            a.ServerHandle = 200 + static_cast<OPCHANDLE>(i);
            a.AccessRights = OPC_READABLE;
            out.push_back(std::move(a));
        }
        return out;
    }

    // The client handles of what Next handed out; frees the array.
    static std::vector<OPCHANDLE> take(OPCITEMATTRIBUTES* array, ULONG n)
    {
        std::vector<OPCHANDLE> out;
        for (ULONG i = 0; i < n; ++i) {
            out.push_back(array[i].hClient);
            CoTaskMemFree(array[i].szAccessPath);
            CoTaskMemFree(array[i].szItemID);
            VariantClear(&array[i].vEUInfo);
        }
        CoTaskMemFree(array);
        return out;
    }

    static std::vector<OPCHANDLE> next(IEnumOPCItemAttributes* e, ULONG celt, HRESULT* hr = nullptr)
    {
        OPCITEMATTRIBUTES* array = nullptr;
        ULONG fetched = 99;
        const HRESULT r = e->Next(celt, &array, &fetched);
        if (hr)
            *hr = r;
        if (fetched == 0) {
            EXPECT_EQ(array, nullptr);
        }
        return take(array, fetched);
    }
};

using Handles = std::vector<OPCHANDLE>;

TEST_F(EnumItemAttributes, NextFillsEveryField)
{
    const auto source = records(2);
    auto e = com::makeCom<opc::TOPCItemAttEnumerator>(source);
    OPCITEMATTRIBUTES* array = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(2, &array, &fetched), S_OK);
    ASSERT_EQ(fetched, 2u);
    const OPCITEMATTRIBUTES& a = array[1];
    EXPECT_EQ(std::u16string(a.szAccessPath), u"path");
    EXPECT_EQ(std::u16string(a.szItemID), u"St.V1");
    EXPECT_EQ(a.bActive, FALSE);
    EXPECT_EQ(array[0].bActive, TRUE);
    EXPECT_EQ(a.hClient, 101u);
    EXPECT_EQ(a.hServer, 201u);
    EXPECT_EQ(a.dwAccessRights, static_cast<DWORD>(OPC_READABLE));
    EXPECT_EQ(a.dwBlobSize, 4u);
    EXPECT_EQ(a.pBlob, blob);  // the same pointer, not a copy
    EXPECT_EQ(a.vtRequestedDataType, VT_R8);
    EXPECT_EQ(a.vtCanonicalDataType, VT_I2);
    EXPECT_EQ(a.dwEUType, OPC_ANALOG);
    ASSERT_EQ(a.vEUInfo.vt, VT_BSTR);
    EXPECT_NE(a.vEUInfo.bstrVal, source[1].EUInfo.get()->bstrVal);  // a copy of its own
    EXPECT_EQ(std::u16string(a.vEUInfo.bstrVal), u"range 1");
    take(array, fetched);
}

TEST_F(EnumItemAttributes, NextSkipResetClone)
{
    auto e = com::makeCom<opc::TOPCItemAttEnumerator>(records(3));
    HRESULT hr = E_FAIL;
    EXPECT_EQ(next(e.get(), 0, &hr), Handles{});
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(next(e.get(), 2, &hr), (Handles{100, 101}));
    EXPECT_EQ(hr, S_OK);

    // A clone goes on from the same place, on its own.
    com::ComPtr<IEnumOPCItemAttributes> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    // Fewer than asked: only what remains is allocated, whatever the count.
    EXPECT_EQ(next(e.get(), 0xFFFFFFFF, &hr), Handles{102});
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(next(e.get(), 1, &hr), Handles{});
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(next(clone.get(), 5, &hr), Handles{102});

    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);
    EXPECT_EQ(next(e.get(), 1), Handles{101});
    EXPECT_EQ(e->Skip(5), S_FALSE);
    EXPECT_EQ(next(e.get(), 1, &hr), Handles{});
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(next(e.get(), 1), Handles{100});
    EXPECT_EQ(e->Skip(2), S_OK);
    EXPECT_EQ(e->Skip(0), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);

    EXPECT_EQ(e->Clone(nullptr), E_POINTER);
}

TEST_F(EnumItemAttributes, BadArguments)
{
    auto e = com::makeCom<opc::TOPCItemAttEnumerator>(records(3));
    OPCITEMATTRIBUTES* array = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(2, &array, nullptr), E_INVALIDARG);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
    // The count is wanted even for one record.
    EXPECT_EQ(e->Next(1, &array, nullptr), E_INVALIDARG);
    EXPECT_EQ(array, nullptr);
    // Nothing was consumed by the refused calls.
    ASSERT_EQ(e->Next(1, &array, &fetched), S_OK);
    EXPECT_EQ(take(array, 1), Handles{100});
}

TEST_F(EnumItemAttributes, AllocationFailureHandsOutNothing)
{
    auto e = com::makeCom<opc::TOPCItemAttEnumerator>(records(3));
    // The array, then the strings and the copied variant of each record: every allocation
    // in turn fails until there are enough.
    bool succeeded = false;
    for (std::size_t n = 0; n < 32 && !succeeded; ++n) {
        SCOPED_TRACE(n);
        OPCITEMATTRIBUTES* array = reinterpret_cast<OPCITEMATTRIBUTES*>(0x1);
        ULONG fetched = 99;
        com::failTaskAllocAfter(n);
        const HRESULT hr = e->Next(3, &array, &fetched);
        com::clearTaskAllocFailure();
        if (hr == S_OK) {
            EXPECT_GE(n, 7u);  // the array and two strings per record at least
            EXPECT_EQ(take(array, fetched), (Handles{100, 101, 102}));
            succeeded = true;
            continue;
        }
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        EXPECT_EQ(array, nullptr);
        EXPECT_EQ(fetched, 0u);
    }
    EXPECT_TRUE(succeeded);
    e->Reset();
    EXPECT_EQ(next(e.get(), 1), Handles{100});
}

// --- error texts

using EnumErrorText = OpcFixture;

TEST_F(EnumErrorText, TableAndFallbackThroughBothInterfaces)
{
    TestClient c;
    struct Case {
        HRESULT code;
        std::string text;
    };
    // The whole table, by number, then codes it does not hold.
    const Case cases[] = {
        {MAKE_HR(0xC0040001), "The value of the handle is invalid."},
        {MAKE_HR(0xC0040004), "The server cannot convert the data between the requested data type and the canonical data type."},
        {MAKE_HR(0xC0040005), "The requested operation cannot be done on a public group."},
        {MAKE_HR(0xC0040006), "The Items AccessRights do not allow the operation."},
        {MAKE_HR(0xC0040007), "The item is no longer available in the server address space."},
        {MAKE_HR(0xC0040008), "The item definition does not conform to the server's syntax."},
        {MAKE_HR(0xC0040009), "The filter string was not valid."},
        {MAKE_HR(0xC004000A), "The item's access path is not known to the server."},
        {MAKE_HR(0xC004000B), "The value was out of range."},
        {MAKE_HR(0xC004000C), "Duplicate name not allowed."},
        {MAKE_HR(0xC0040010), "The server's configuration file is an invalid format."},
        {MAKE_HR(0xC0040011), "The server could not locate the requested object."},
        {MAKE_HR(0x0004000D), "The server does not support the requested data rate but will use the closest available rate."},
        {MAKE_HR(0x0004000E), "A value passed to WRITE was accepted but the output was clamped."},
        {MAKE_HR(0x0004000F), "The operation cannot be completed because the object still has references that exist."},
        {MAKE_HR(0x00040200), "The condition has already been acknowleged."},
        {MAKE_HR(0x00040201), "The buffer time parameter was invalid."},
        {MAKE_HR(0x00040202), "The max size parameter was invalid."},
        {MAKE_HR(0xC0040203), "The server does not recognise the passed property ID."},
        {MAKE_HR(0xC0040204), "The time does not match the latest active time."},
        {MAKE_HR(0xC0040205), "A refresh is currently in progress."},
        {MAKE_HR(0xC0040206), "Information is not available."},
        // By name as well.
        {OPC_E_UNKNOWNITEMID, "The item is no longer available in the server address space."},
        {OPC_E_INVALIDHANDLE, "The value of the handle is invalid."},
        {OPC_S_UNSUPPORTEDRATE, "The server does not support the requested data rate but will use the closest available rate."},
        {OPC_S_INUSE, "The operation cannot be completed because the object still has references that exist."},
        {OPC_S_ALREADYACKED, "The condition has already been acknowleged."},
        {OPC_E_INVALID_PID, "The server does not recognise the passed property ID."},
        {OPC_E_NOINFO, "Information is not available."},
        // Not in the table: the system's text without its period, or nothing.
        {E_INVALIDARG, "The parameter is incorrect"},
        {E_NOTIMPL, "Not implemented"},
        {DISP_E_TYPEMISMATCH, "Type mismatch"},
        {MAKE_HR(0xC0040002), ""},
        {MAKE_HR(0xC0040003), ""},
        {MAKE_HR(0xC004000D), ""},
        {MAKE_HR(0xC004000E), ""},
        {MAKE_HR(0xC004000F), ""},
        {MAKE_HR(0x00040203), ""},
        {MAKE_HR(0x40040203), ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.code);
        EXPECT_EQ(plat::utf16ToUtf8(opc::GetOPCErrorString(k.code)), k.text);
        LPWSTR s = nullptr;
        EXPECT_EQ(c.server->GetErrorString(k.code, 1029, &s), S_OK);
        EXPECT_EQ(takeString(s), k.text);
        s = nullptr;
        EXPECT_EQ(c.common->GetErrorString(k.code, &s), S_OK);
        EXPECT_EQ(takeString(s), k.text);
    }
    EXPECT_EQ(c.server->GetErrorString(E_FAIL, 0, nullptr), E_POINTER);
    EXPECT_EQ(c.common->GetErrorString(E_FAIL, nullptr), E_POINTER);
    LPWSTR s = reinterpret_cast<LPWSTR>(0x1);
    com::failTaskAllocAfter(0);
    EXPECT_EQ(c.common->GetErrorString(E_FAIL, &s), E_OUTOFMEMORY);
    com::clearTaskAllocFailure();
    EXPECT_EQ(s, nullptr);
}

}  // namespace
}  // namespace opctest

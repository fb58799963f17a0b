#include <gtest/gtest.h>

#include "platform/com/enums.h"

namespace {

// Takes what one Next handed out, so that every string is freed whatever the test checks.
struct Fetched {
    HRESULT hr;
    std::vector<std::u16string> names;
};

Fetched next(IEnumString* e, ULONG celt)
{
    std::vector<LPOLESTR> out(celt + 1, nullptr);
    ULONG fetched = 12345;
    Fetched r{e->Next(celt, out.data(), &fetched), {}};
    if (FAILED(r.hr)) {
        EXPECT_EQ(fetched, 0u);
        return r;
    }
    EXPECT_LE(fetched, celt);
    for (ULONG i = 0; i < fetched; ++i) {
        r.names.emplace_back(out[i]);
        CoTaskMemFree(out[i]);
    }
    EXPECT_EQ(out[fetched], nullptr) << "wrote past the fetched elements";
    return r;
}

com::ComPtr<IEnumString> strings(std::vector<std::u16string> items)
{
    return com::ComPtr<IEnumString>(com::makeCom<com::StringEnumerator>(std::move(items)).get());
}

using Names = std::vector<std::u16string>;

TEST(Enumerators, NextSkipAndResetFollowTheirPosition)
{
    struct Step {
        const char* what;
        std::function<Fetched(IEnumString*)> run;
        HRESULT hr;
        Names names;
    };
    auto skip = [](ULONG n) { return [n](IEnumString* e) { return Fetched{e->Skip(n), {}}; }; };
    auto nextN = [](ULONG n) { return [n](IEnumString* e) { return next(e, n); }; };
    auto reset = [](IEnumString* e) { return Fetched{e->Reset(), {}}; };
    const Step steps[] = {
        {"one", nextN(1), S_OK, {u"a"}},
        {"more than are left", nextN(3), S_FALSE, {u"b", u"c"}},
        {"at the end", nextN(1), S_FALSE, {}},
        {"reset", reset, S_OK, {}},
        {"none asked", nextN(0), S_OK, {}},
        {"skip within", skip(1), S_OK, {}},
        {"exactly what is left", nextN(2), S_OK, {u"b", u"c"}},
        {"reset again", reset, S_OK, {}},
        {"skip to the end", skip(3), S_OK, {}},
        {"skip at the end", skip(1), S_FALSE, {}},
        {"reset once more", reset, S_OK, {}},
        {"skip past the end", skip(5), S_FALSE, {}},
        {"nothing left", nextN(2), S_FALSE, {}},
        {"reset starts over", reset, S_OK, {}},
        {"from the first", nextN(1), S_OK, {u"a"}},
    };
    auto e = strings({u"a", u"b", u"c"});
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const Fetched f = s.run(e.get());
        EXPECT_EQ(f.hr, s.hr);
        EXPECT_EQ(f.names, s.names);
    }
}

TEST(Enumerators, FetchedCountMayBeOmittedOnlyForOne)
{
    auto e = strings({u"a", u"b"});
    LPOLESTR s[2] = {};
    EXPECT_EQ(e->Next(2, s, nullptr), E_INVALIDARG);
    ASSERT_EQ(e->Next(1, s, nullptr), S_OK);
    EXPECT_EQ(std::u16string(s[0]), u"a");
    CoTaskMemFree(s[0]);
    ULONG n = 0;
    EXPECT_EQ(e->Next(1, nullptr, &n), E_POINTER);
}

TEST(Enumerators, CloneContinuesFromTheSamePositionOnItsOwn)
{
    auto e = strings({u"a", u"b", u"c"});
    next(e.get(), 1);
    com::ComPtr<IEnumString> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    EXPECT_EQ(next(clone.get(), 1).names, Names{u"b"});
    EXPECT_EQ(next(e.get(), 5).names, (Names{u"b", u"c"}));
    EXPECT_EQ(next(clone.get(), 5).names, Names{u"c"});
    clone->Reset();
    e = nullptr;  // the clone has elements of its own
    EXPECT_EQ(next(clone.get(), 5).names, (Names{u"a", u"b", u"c"}));
    EXPECT_EQ(clone->Clone(nullptr), E_POINTER);
}

// A kind with a rule of its own, as a server's enumerator may have: zero requested is S_FALSE.
class StrictStrings : public com::StringEnumerator {
public:
    using com::StringEnumerator::StringEnumerator;
    HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override
    {
        if (celt == 0)
            return S_FALSE;
        return com::StringEnumerator::Next(celt, rgelt, pceltFetched);
    }

protected:
    com::StringEnumerator* spawn() const override { return new StrictStrings(items()); }
};

TEST(Enumerators, CloneOfADerivedKindKeepsItsKind)
{
    auto e = com::makeCom<StrictStrings>(std::vector<std::u16string>{u"a"});
    com::ComPtr<IEnumString> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    LPOLESTR s = nullptr;
    ULONG n = 0;
    EXPECT_EQ(clone->Next(0, &s, &n), S_FALSE);
}

TEST(Enumerators, StringsComeFromTheTaskAllocatorAndAFailedNextHandsOutNothing)
{
    auto e = strings({u"alpha", u"", u"gamma"});
    const auto before = com::taskAllocStats().liveBlocks;
    LPOLESTR s[3] = {};
    ULONG n = 0;
    ASSERT_EQ(e->Next(2, s, &n), S_OK);
    EXPECT_EQ(com::taskAllocStats().liveBlocks, before + 2);
    EXPECT_EQ(std::u16string(s[1]), u"");
    CoTaskMemFree(s[0]);
    CoTaskMemFree(s[1]);

    e->Reset();
    com::failTaskAllocAfter(1);  // the second string of the next call fails
    const HRESULT hr = e->Next(3, s, &n);
    com::clearTaskAllocFailure();
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(s[0], nullptr);
    EXPECT_EQ(com::taskAllocStats().liveBlocks, before) << "the first string must be freed again";
    EXPECT_EQ(next(e.get(), 1).names, Names{u"alpha"}) << "the position must not move";
}

struct Thing : com::ComObject<IUnknown> {};

TEST(Enumerators, ObjectsHandedOutCarryTheirOwnReference)
{
    auto a = com::makeCom<Thing>();
    auto b = com::makeCom<Thing>();
    com::ComPtr<IEnumUnknown> e(com::makeCom<com::UnknownEnumerator>(std::vector<com::ComPtr<IUnknown>>{
                                    com::ComPtr<IUnknown>(a->unknown()), com::ComPtr<IUnknown>(b->unknown())})
                                    .get());
    EXPECT_EQ(a->refCount(), 2u);
    IUnknown* got[2] = {};
    ULONG n = 0;
    ASSERT_EQ(e->Next(2, got, &n), S_OK);
    EXPECT_EQ(got[0], a->unknown());
    EXPECT_EQ(a->refCount(), 3u);
    e = nullptr;
    EXPECT_EQ(a->refCount(), 2u);
    // Still valid after the enumerator is gone.
    got[0]->AddRef();
    EXPECT_EQ(got[0]->Release(), 2u);
    got[0]->Release();
    got[1]->Release();
    EXPECT_EQ(a->refCount(), 1u);
    EXPECT_EQ(b->refCount(), 1u);
}

TEST(Enumerators, GuidsAreCopied)
{
    const GUID g1 = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const GUID g2 = {12, 13, 14, {15, 16, 17, 18, 19, 20, 21, 22}};
    com::ComPtr<IEnumGUID> e(com::makeCom<com::GuidEnumerator>(std::vector<GUID>{g1, g2}).get());
    GUID out[3] = {};
    ULONG n = 0;
    EXPECT_EQ(e->Next(3, out, &n), S_FALSE);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(out[0], g1);
    EXPECT_EQ(out[1], g2);
}

}  // namespace

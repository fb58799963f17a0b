#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "alloc_balance.h"
#include "platform/com/alloc.h"
#include "platform/com/bstr.h"

namespace {

class Bstr : public comtest::TaskAllocBalance {};

DWORD prefix(BSTR s)
{
    DWORD n = 0;
    std::memcpy(&n, reinterpret_cast<const char*>(s) - 4, 4);
    return n;
}

TEST_F(Bstr, LengthPrefixAndTerminator)
{
    struct Case {
        const char* name;
        std::u16string text;
    };
    const Case cases[] = {
        {"empty", u""},
        {"plain", u"abc"},
        {"embedded NUL", std::u16string(u"a\0b", 3)},
        {"non-ASCII", u"Příliš žluťoučký kůň"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BSTR s = SysAllocStringLen(c.text.data(), static_cast<UINT>(c.text.size()));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(SysStringLen(s), c.text.size());
        EXPECT_EQ(SysStringByteLen(s), c.text.size() * 2);
        EXPECT_EQ(prefix(s), c.text.size() * 2);
        EXPECT_EQ(s[c.text.size()], u'\0');
        EXPECT_EQ(std::u16string(s, SysStringLen(s)), c.text);
        SysFreeString(s);
    }
}

TEST_F(Bstr, NullStringsAreEmptyAndHarmless)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR s = SysAllocString(u"stops at\0the NUL");
    EXPECT_EQ(std::u16string(s), u"stops at");
    SysFreeString(s);
}

TEST_F(Bstr, AllocWithoutSourceGivesZeroedCharacters)
{
    BSTR s = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 4u);
    for (int i = 0; i <= 4; ++i)
        EXPECT_EQ(s[i], u'\0') << i;
    SysFreeString(s);
}

TEST_F(Bstr, ReAllocReplacesEvenFromItsOwnCharacters)
{
    BSTR s = SysAllocString(u"hello world");
    ASSERT_EQ(SysReAllocString(&s, s + 6), TRUE);
    EXPECT_EQ(std::u16string(s), u"world");

    com::failTaskAllocAfter(0);
    EXPECT_EQ(SysReAllocString(&s, u"lost"), FALSE);
    com::clearTaskAllocFailure();
    EXPECT_EQ(std::u16string(s), u"world");
    SysFreeString(s);
}

TEST_F(Bstr, WrapperConvertsUtf8AndUtf16)
{
    const com::Bstr a(std::string_view("Žlutý kůň"));
    EXPECT_EQ(a.toU16(), u"Žlutý kůň");
    EXPECT_EQ(a.toUtf8(), "Žlutý kůň");
    EXPECT_EQ(a.length(), 9u);

    const com::Bstr b(std::u16string_view(u"Žlutý kůň"));
    EXPECT_TRUE(a == b);

    const com::Bstr none;
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.toUtf8(), "");
}

TEST_F(Bstr, WrapperOwnership)
{
    com::Bstr a(std::u16string_view(u"x\0y", 3));
    com::Bstr copy = a;
    EXPECT_NE(copy.get(), a.get());
    EXPECT_EQ(copy.length(), 3u);

    com::Bstr moved = std::move(copy);
    EXPECT_EQ(copy.get(), nullptr);
    EXPECT_EQ(moved.view(), std::u16string_view(u"x\0y", 3));

    const com::Bstr dup = com::Bstr::copyOf(moved.get());
    EXPECT_EQ(dup.length(), 3u);

    BSTR raw = moved.detach();
    com::Bstr back = com::Bstr::attach(raw);
    EXPECT_EQ(back.get(), raw);

    // An out parameter frees the old string first.
    BSTR* slot = back.put();
    EXPECT_EQ(*slot, nullptr);
    *slot = SysAllocString(u"new");
    EXPECT_EQ(back.toU16(), u"new");
}

TEST_F(Bstr, WrapperThrowsWhenMemoryRunsOut)
{
    com::failTaskAllocAfter(0);
    EXPECT_THROW(com::Bstr(std::string_view("abc")), std::bad_alloc);
    com::clearTaskAllocFailure();

    const com::Bstr a(std::string_view("abc"));
    com::failTaskAllocAfter(0);
    EXPECT_THROW(com::Bstr{a}, std::bad_alloc);
    com::clearTaskAllocFailure();
}

}  // namespace

#include "bstr.h"

#include <cstring>
#include <new>

#include "alloc.h"
#include "platform/text.h"

namespace {

// Longest string whose byte length still fits the 4-byte prefix.
constexpr UINT kMaxChars = 0x7FFFFFF0u / sizeof(OLECHAR);

DWORD prefixOf(BSTR s)
{
    DWORD n;
    std::memcpy(&n, reinterpret_cast<const char*>(s) - sizeof(DWORD), sizeof n);
    return n;
}

std::size_t wideLen(const OLECHAR* p)
{
    std::size_t n = 0;
    while (p[n])
        ++n;
    return n;
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* psz, UINT len)
{
    if (len > kMaxChars)
        return nullptr;
    const std::size_t bytes = std::size_t{len} * sizeof(OLECHAR);
    auto* block = static_cast<char*>(CoTaskMemAlloc(sizeof(DWORD) + bytes + sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    const auto byteLen = static_cast<DWORD>(bytes);
    std::memcpy(block, &byteLen, sizeof byteLen);
    auto* s = reinterpret_cast<BSTR>(block + sizeof(DWORD));
    if (psz)
        std::memcpy(s, psz, bytes);
    else
        std::memset(s, 0, bytes);
    s[len] = 0;
    return s;
}

BSTR SysAllocString(const OLECHAR* psz)
{
    if (!psz)
        return nullptr;
    const std::size_t n = wideLen(psz);
    return n > kMaxChars ? nullptr : SysAllocStringLen(psz, static_cast<UINT>(n));
}

void SysFreeString(BSTR bstr)
{
    if (bstr)
        CoTaskMemFree(reinterpret_cast<char*>(bstr) - sizeof(DWORD));
}

UINT SysStringByteLen(BSTR bstr) { return bstr ? prefixOf(bstr) : 0; }

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz)
{
    if (!pbstr)
        return FALSE;
    // Copy first: psz may point into the string being replaced.
    BSTR fresh = psz ? SysAllocString(psz) : SysAllocStringLen(nullptr, 0);
    if (!fresh)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

namespace com {
namespace {

BSTR allocOrThrow(const OLECHAR* p, std::size_t n)
{
    if (n > kMaxChars)
        throw std::bad_alloc();
    BSTR s = SysAllocStringLen(p, static_cast<UINT>(n));
    if (!s)
        throw std::bad_alloc();
    return s;
}

}  // namespace

Bstr::Bstr(std::u16string_view text) : s_(allocOrThrow(text.data(), text.size())) {}

Bstr::Bstr(std::string_view utf8)
{
    const std::u16string w = plat::utf8ToUtf16(utf8);
    s_ = allocOrThrow(w.data(), w.size());
}

Bstr::Bstr(const Bstr& o) : s_(o.s_ ? allocOrThrow(o.s_, o.length()) : nullptr) {}

Bstr& Bstr::operator=(const Bstr& o)
{
    if (this != &o) {
        Bstr copy(o);
        std::swap(s_, copy.s_);
    }
    return *this;
}

Bstr& Bstr::operator=(Bstr&& o) noexcept
{
    if (this != &o) {
        SysFreeString(s_);
        s_ = std::exchange(o.s_, nullptr);
    }
    return *this;
}

Bstr Bstr::copyOf(BSTR s)
{
    Bstr r;
    if (s)
        r.s_ = allocOrThrow(s, SysStringLen(s));
    return r;
}

Bstr Bstr::attach(BSTR s)
{
    Bstr r;
    r.s_ = s;
    return r;
}

BSTR* Bstr::put()
{
    SysFreeString(std::exchange(s_, nullptr));
    return &s_;
}

std::string Bstr::toUtf8() const { return plat::utf16ToUtf8(view()); }

}  // namespace com

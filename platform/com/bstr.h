#pragma once
// BSTR: UTF-16 characters preceded by their length in bytes (4 bytes) and followed by a NUL,
// from the task allocator. A null BSTR counts as the empty string.
#include <string>
#include <string_view>
#include <utility>

#include "types.h"

BSTR SysAllocString(const OLECHAR* psz);
// psz may be null: the string then holds len zero characters.
BSTR SysAllocStringLen(const OLECHAR* psz, UINT len);
void SysFreeString(BSTR bstr);
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);
// Replaces *pbstr by a copy of psz (which may point into *pbstr); FALSE leaves *pbstr as it was.
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);

namespace com {

// Owning BSTR. Constructors and copies throw std::bad_alloc when the allocator refuses.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view text);
    explicit Bstr(std::string_view utf8);
    Bstr(const Bstr& o);
    Bstr(Bstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    ~Bstr() { SysFreeString(s_); }
    Bstr& operator=(const Bstr& o);
    Bstr& operator=(Bstr&& o) noexcept;

    // A copy of any BSTR, embedded NULs included.
    static Bstr copyOf(BSTR s);
    // Takes over a BSTR the caller owns.
    static Bstr attach(BSTR s);
    BSTR detach() { return std::exchange(s_, nullptr); }
    BSTR get() const { return s_; }
    // Frees what is held and yields the slot, for out parameters.
    BSTR* put();

    UINT length() const { return SysStringLen(s_); }
    bool empty() const { return length() == 0; }
    std::u16string_view view() const { return {s_ ? s_ : u"", length()}; }
    std::u16string toU16() const { return std::u16string(view()); }
    std::string toUtf8() const;

    friend bool operator==(const Bstr& a, const Bstr& b) { return a.view() == b.view(); }

private:
    BSTR s_ = nullptr;
};

}  // namespace com

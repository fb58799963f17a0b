#pragma once
// Enumerators of the IEnumXXX family. Each works on its own copy of the elements, taken when
// it is created, so later changes of the source do not show in an enumerator a client holds.
#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "alloc.h"
#include "unknown.h"

struct IEnumUnknown : IUnknown {
    static constexpr IID iid = {0x00000100, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumUnknown** ppenum) = 0;
};

struct IEnumString : IUnknown {
    static constexpr IID iid = {0x00000101, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumString** ppenum) = 0;
};

// Also known as IEnumCLSID and IEnumCATID.
struct IEnumGUID : IUnknown {
    static constexpr IID iid = {0x0002E000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT Next(ULONG celt, GUID* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumGUID** ppenum) = 0;
};

inline constexpr IID IID_IEnumUnknown = IEnumUnknown::iid;
inline constexpr IID IID_IEnumString = IEnumString::iid;
inline constexpr IID IID_IEnumGUID = IEnumGUID::iid;

namespace com {

// A task-allocated, NUL-terminated copy; nullptr when the allocator refuses.
LPOLESTR taskString(std::u16string_view text);

// The published IEnumXXX semantics over a vector of Traits::Stored. Traits::copyOut hands one
// element to the caller (S_OK or a failure), Traits::discard takes one back when a later
// element of the same Next fails, so that a failed Next hands out nothing.
template <class Interface, class Traits>
class Enumerator : public ComObject<Interface> {
public:
    using Stored = typename Traits::Stored;
    using Element = typename Traits::Element;

    explicit Enumerator(std::vector<Stored> items) : items_(std::move(items)) {}

    // S_FALSE with the number fetched when fewer than celt were left. pceltFetched may be
    // null only when celt is 1.
    HRESULT Next(ULONG celt, Element* rgelt, ULONG* pceltFetched) override
    {
        if (pceltFetched)
            *pceltFetched = 0;
        if (!rgelt && celt > 0)
            return E_POINTER;
        if (!pceltFetched && celt != 1)
            return E_INVALIDARG;
        const std::size_t n = std::min<std::size_t>(celt, items_.size() - pos_);
        for (std::size_t i = 0; i < n; ++i) {
            const HRESULT hr = Traits::copyOut(items_[pos_ + i], rgelt[i]);
            if (FAILED(hr)) {
                for (std::size_t k = 0; k < i; ++k)
                    Traits::discard(rgelt[k]);
                return hr;
            }
        }
        pos_ += n;
        if (pceltFetched)
            *pceltFetched = static_cast<ULONG>(n);
        return n == celt ? S_OK : S_FALSE;
    }

    // Past the end: positioned at the end, S_FALSE.
    HRESULT Skip(ULONG celt) override
    {
        if (celt > items_.size() - pos_) {
            pos_ = items_.size();
            return S_FALSE;
        }
        pos_ += celt;
        return S_OK;
    }

    HRESULT Reset() override
    {
        pos_ = 0;
        return S_OK;
    }

    // An independent enumerator over the same elements at the same position.
    HRESULT Clone(Interface** ppenum) override
    {
        if (!ppenum)
            return E_POINTER;
        *ppenum = nullptr;
        return orOutOfMemory([&] {
            ComPtr<Enumerator> copy(spawn());
            copy->pos_ = pos_;
            *ppenum = copy.detach();
            return S_OK;
        });
    }

protected:
    // A new enumerator of the same kind over the same elements; kinds derived from this one
    // override it so that their clones are of their kind.
    virtual Enumerator* spawn() const { return new Enumerator(items_); }
    const std::vector<Stored>& items() const { return items_; }
    std::size_t position() const { return pos_; }

private:
    std::vector<Stored> items_;
    std::size_t pos_ = 0;
};

struct StringTraits {
    using Stored = std::u16string;
    using Element = LPOLESTR;
    static HRESULT copyOut(const Stored& s, Element& out)
    {
        out = taskString(s);
        return out ? S_OK : E_OUTOFMEMORY;
    }
    static void discard(Element& e)
    {
        CoTaskMemFree(e);
        e = nullptr;
    }
};

// Interface pointers of one kind (IUnknown, IConnectionPoint, ...).
template <class I>
struct InterfaceTraits {
    using Stored = ComPtr<I>;
    using Element = I*;
    static HRESULT copyOut(const Stored& p, Element& out) { return p.copyTo(&out); }
    static void discard(Element& e)
    {
        if (e)
            e->Release();
        e = nullptr;
    }
};
using UnknownTraits = InterfaceTraits<IUnknown>;

struct GuidTraits {
    using Stored = GUID;
    using Element = GUID;
    static HRESULT copyOut(const Stored& g, Element& out)
    {
        out = g;
        return S_OK;
    }
    static void discard(Element&) {}
};

// Each fetched string is the caller's, to be freed with CoTaskMemFree.
using StringEnumerator = Enumerator<IEnumString, StringTraits>;
// Each fetched pointer carries a reference of its own, released by the caller.
using UnknownEnumerator = Enumerator<IEnumUnknown, UnknownTraits>;
using GuidEnumerator = Enumerator<IEnumGUID, GuidTraits>;

}  // namespace com

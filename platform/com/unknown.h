#pragma once
// IUnknown with the Windows vtable layout, a reference-counted base for our objects and a
// smart pointer, so that no code outside this layer calls AddRef or Release by hand.
//
// Interfaces are structs of pure virtual methods in the published order and no virtual
// destructor; each names its IID as the static member `iid`, read through uuidof<I>().
#include <atomic>
#include <new>
#include <tuple>
#include <utility>

#include "types.h"

struct IUnknown {
    static constexpr IID iid = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
};
inline constexpr IID IID_IUnknown = IUnknown::iid;

template <class I>
constexpr const IID& uuidof()
{
    return I::iid;
}

namespace com {

// Owning interface pointer.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference.
    explicit ComPtr(T* p) : p_(p) { addRef(); }
    ComPtr(const ComPtr& o) : p_(o.p_) { addRef(); }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { release(); }
    ComPtr& operator=(const ComPtr& o)
    {
        ComPtr(o).swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept
    {
        ComPtr(std::move(o)).swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t)
    {
        release();
        return *this;
    }
    // Adopts a reference the caller already owns (an out parameter's result).
    static ComPtr attach(T* p)
    {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    // Gives up the reference to the caller.
    T* detach() { return std::exchange(p_, nullptr); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: releases what is held and yields the slot.
    T** put()
    {
        release();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

    template <class U>
    HRESULT as(ComPtr<U>& out) const
    {
        if (!p_)
            return E_POINTER;
        return p_->QueryInterface(uuidof<U>(), out.putVoid());
    }

    // Copies the reference into a caller's out parameter.
    HRESULT copyTo(T** out) const
    {
        if (!out)
            return E_POINTER;
        *out = p_;
        if (p_)
            p_->AddRef();
        return S_OK;
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

private:
    void addRef()
    {
        if (p_)
            p_->AddRef();
    }
    void release()
    {
        if (T* p = std::exchange(p_, nullptr))
            p->Release();
    }
    T* p_ = nullptr;
};

// The server-process object count (runtime.h): every ComObject is counted while it lives,
// so that a server started by COM can end when the last one goes.
void serverObjectCreated() noexcept;
void serverObjectDestroyed() noexcept;
// Tag for objects that must not keep the server alive: class factories, which live as long
// as their registration.
struct NotCounted {
    explicit NotCounted() = default;
};
inline constexpr NotCounted notCounted{};

// Reference-counted implementation of one or more interfaces. The object starts with
// count 0; wrap it in a ComPtr (or hand it out through QueryInterface) to own it.
// Base interfaces of an implemented interface (IPersist under IPersistFile) are answered
// through queryBase().
template <class... Interfaces>
class ComObject : public Interfaces... {
public:
    ComObject() { serverObjectCreated(); }
    explicit ComObject(NotCounted) : counted_(false) {}
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;
    virtual ~ComObject()
    {
        if (counted_)
            serverObjectDestroyed();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown)
            *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
        else
            (void)((riid == uuidof<Interfaces>() ? (*ppv = static_cast<Interfaces*>(this), true) : false) || ...);
        if (!*ppv)
            *ppv = queryBase(riid);
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override
    {
        const ULONG n = --refs_;
        if (n == 0)
            delete this;
        return n;
    }

    ULONG refCount() const { return refs_; }
    IUnknown* unknown() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

protected:
    virtual void* queryBase(REFIID) { return nullptr; }

private:
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
    std::atomic<ULONG> refs_{0};
    const bool counted_ = true;
};

// Runs the body of a COM method, which gives an HRESULT: running out of memory inside it becomes
// E_OUTOFMEMORY, since nothing may be thrown across an interface.
template <class Body>
HRESULT orOutOfMemory(Body&& body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// Creates a ComObject-derived object and owns its first reference.
template <class T, class... Args>
ComPtr<T> makeCom(Args&&... args)
{
    return ComPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace com

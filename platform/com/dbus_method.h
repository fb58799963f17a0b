#pragma once
// The tables that drive the transport: for each interface, its methods with how each
// parameter passes (a value, an optional in pointer, an out pointer, an array sized by another
// parameter, ...). The wire type of a parameter follows from its C++ type, checked when the
// table is compiled; the server side calls the real method through the table's member pointer,
// and a proxy's method only hands the addresses of its parameters to one generic call.
//
//   using Read = Method<IOPCSyncIO, "Read", &IOPCSyncIO::Read, in, in, inArray(1), outArray(1), outArray(1)>;
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "dbus_wire.h"

namespace com::bus {

enum class Shape : std::uint8_t {
    Value,      // passed by value (numbers, strings, IIDs, interface pointers)
    InPtr,      // a pointer to one value that may be null (SetState's "leave as it is")
    Out,        // a pointer the callee fills with one value
    InArray,    // a pointer to `count` values
    OutArray,   // T**: the callee allocates `count` values (or as many as `filled` says)
    OutBuffer,  // the caller's buffer of `count` elements, of which the callee fills `filled`
    OutRecord,  // T**: the callee allocates one record
};

// A parameter as a table states it; the numbers are indexes of other parameters.
struct P {
    Shape shape = Shape::Value;
    std::int8_t count = -1;
    std::int8_t filled = -1;
    std::int8_t iid = -1;  // an out interface pointer of the interface that parameter names
};
inline constexpr P in{};
inline constexpr P opt{Shape::InPtr};
inline constexpr P out{Shape::Out};
inline constexpr P outRecord{Shape::OutRecord};
constexpr P inArray(int count)
{
    return {Shape::InArray, static_cast<std::int8_t>(count)};
}
constexpr P outArray(int count, int filled = -1)
{
    return {Shape::OutArray, static_cast<std::int8_t>(count), static_cast<std::int8_t>(filled)};
}
constexpr P outBuffer(int count, int filled)
{
    return {Shape::OutBuffer, static_cast<std::int8_t>(count), static_cast<std::int8_t>(filled)};
}
constexpr P outInterface(int iidParam)
{
    return {Shape::Out, -1, -1, static_cast<std::int8_t>(iidParam)};
}

struct ParamInfo {
    Shape shape;
    WireType type;
    std::int8_t count;
    std::int8_t filled;
    std::int8_t iid;
    const IID* fixedIid;  // interface parameters of a fixed interface
};

struct MethodInfo {
    const char* name;
    std::span<const ParamInfo> params;
    // Calls the method on an interface pointer of the table's interface; args[i] is the
    // address of parameter i's value.
    HRESULT (*invoke)(void* itf, void* const* args);
};

class ProxyManager;
struct InterfaceInfo;

// One interface of a proxy; its manager owns it and is its identity.
class ProxyPart {
public:
    virtual ~ProxyPart() = default;
    virtual IUnknown* unknown() = 0;
};

struct InterfaceInfo {
    const IID* iid;
    const char* name;  // the bus interface is kInterfacePrefix + name
    int bit;           // its bit in the mask of interfaces a reference carries
    bool callbacks;    // a server's calls to a client's sink: sent without waiting, with a time-out
    std::span<const MethodInfo* const> methods;
    std::unique_ptr<ProxyPart> (*makeProxy)(ProxyManager& manager, IUnknown& identity, const InterfaceInfo& info);
};

// The generic call of every proxy method (the transport's).
HRESULT invokeRemote(ProxyManager& manager, const InterfaceInfo& itf, const MethodInfo& method, void* const* args);

// --- compile-time description of a method

template <class T>
inline constexpr bool unsupportedType = false;

template <class X>
consteval WireType wireTypeOf()
{
    using U = std::remove_cv_t<X>;
    if constexpr (std::is_enum_v<U>)
        return wireTypeOf<std::underlying_type_t<U>>();
    else if constexpr (std::is_same_v<U, std::uint32_t>)
        return WireType::U32;
    else if constexpr (std::is_same_v<U, std::int32_t>)
        return WireType::I32;
    else if constexpr (std::is_same_v<U, std::uint16_t>)
        return WireType::U16;
    else if constexpr (std::is_same_v<U, float>)
        return WireType::F32;
    else if constexpr (std::is_same_v<U, char16_t*> || std::is_same_v<U, const char16_t*>)
        return WireType::Str;
    else if constexpr (std::is_same_v<U, GUID>)
        return WireType::Iid;
    else if constexpr (std::is_same_v<U, FILETIME>)
        return WireType::FileTime;
    else if constexpr (std::is_same_v<U, VARIANT>)
        return WireType::Variant;
    else if constexpr (std::is_same_v<U, OPCITEMDEF>)
        return WireType::ItemDef;
    else if constexpr (std::is_same_v<U, OPCITEMRESULT>)
        return WireType::ItemResult;
    else if constexpr (std::is_same_v<U, OPCITEMSTATE>)
        return WireType::ItemState;
    else if constexpr (std::is_same_v<U, OPCITEMATTRIBUTES>)
        return WireType::ItemAttributes;
    else if constexpr (std::is_same_v<U, OPCSERVERSTATUS>)
        return WireType::ServerStatus;
    else if constexpr (std::is_same_v<U, CONNECTDATA>)
        return WireType::ConnectData;
    else if constexpr (std::is_pointer_v<U> && (std::is_base_of_v<IUnknown, std::remove_cv_t<std::remove_pointer_t<U>>> ||
                                                std::is_void_v<std::remove_pointer_t<U>>))
        return WireType::Itf;
    else
        static_assert(unsupportedType<X>, "no wire type for this parameter type");
}

// The interface of an interface pointer type, null for void*.
template <class X>
consteval const IID* interfaceOf()
{
    using I = std::remove_cv_t<std::remove_pointer_t<X>>;
    if constexpr (std::is_void_v<I>)
        return nullptr;
    else
        return &I::iid;
}

template <class A, P p>
consteval ParamInfo resolve()
{
    using T = std::remove_reference_t<A>;
    ParamInfo r{p.shape, WireType::U32, p.count, p.filled, p.iid, nullptr};
    if constexpr (p.shape == Shape::Value) {
        r.type = wireTypeOf<T>();
        if constexpr (wireTypeOf<T>() == WireType::Itf)
            r.fixedIid = interfaceOf<T>();
    } else if constexpr (p.shape == Shape::OutArray || p.shape == Shape::OutRecord) {
        static_assert(std::is_pointer_v<T> && std::is_pointer_v<std::remove_pointer_t<T>>, "T** expected");
        r.type = wireTypeOf<std::remove_pointer_t<std::remove_pointer_t<T>>>();
        static_assert(p.shape == Shape::OutArray ? p.count >= 0 : true, "an out array needs its count");
    } else {
        static_assert(std::is_pointer_v<T>, "a pointer expected");
        using E = std::remove_pointer_t<T>;
        r.type = wireTypeOf<E>();
        if constexpr (wireTypeOf<E>() == WireType::Itf) {
            static_assert(p.shape == Shape::Out || p.shape == Shape::OutBuffer, "interfaces pass in by value");
            if constexpr (p.iid < 0) {
                static_assert(!std::is_void_v<std::remove_cv_t<std::remove_pointer_t<E>>>, "a void** needs the parameter naming its IID");
                r.fixedIid = interfaceOf<E>();
            }
        }
        if constexpr (p.shape == Shape::InPtr)
            static_assert(wireTypeOf<E>() == WireType::U32 || wireTypeOf<E>() == WireType::I32 || wireTypeOf<E>() == WireType::F32,
                          "optional in pointers are to numbers");
        if constexpr (p.shape == Shape::InArray || p.shape == Shape::OutBuffer)
            static_assert(p.count >= 0, "an array needs its count");
    }
    return r;
}

template <class Fn>
struct MemberFn;
template <class C, class... A>
struct MemberFn<HRESULT (C::*)(A...)> {
    using Class = C;
    using Args = std::tuple<A...>;
    using Values = std::tuple<std::remove_reference_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
};

template <std::size_t N>
struct MethodName {
    char text[N];
    consteval MethodName(const char (&s)[N])
    {
        for (std::size_t i = 0; i < N; ++i)
            text[i] = s[i];
    }
};

template <class Itf, MethodName name, auto fn, P... ps>
struct Method {
    using Fn = MemberFn<decltype(fn)>;
    using Args = typename Fn::Args;
    using Values = typename Fn::Values;
    static_assert(sizeof...(ps) == Fn::arity, "one descriptor per parameter");
    static_assert(std::is_base_of_v<typename Fn::Class, Itf>, "a method of the interface or of its base");

    static constexpr std::array<ParamInfo, sizeof...(ps)> params = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<ParamInfo, sizeof...(ps)>{resolve<std::tuple_element_t<I, Args>, ps>()...};
    }(std::make_index_sequence<sizeof...(ps)>{});

    static HRESULT invoke(void* itf, void* const* args)
    {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (static_cast<Itf*>(itf)->*fn)(*static_cast<std::tuple_element_t<I, Values>*>(args[I])...);
        }(std::make_index_sequence<Fn::arity>{});
    }

    static constexpr MethodInfo info{name.text, params, &invoke};
};

// The interface proxy of I: its IUnknown is the manager's, each method calls forward<M>.
template <class I>
class InterfaceProxy : public I, public ProxyPart {
public:
    InterfaceProxy(ProxyManager& manager, IUnknown& identity, const InterfaceInfo& info)
        : manager_(manager), identity_(identity), info_(info)
    {
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return identity_.QueryInterface(riid, ppv); }
    ULONG AddRef() override { return identity_.AddRef(); }
    ULONG Release() override { return identity_.Release(); }
    IUnknown* unknown() override { return static_cast<I*>(this); }

protected:
    // Forwards the parameters of method M, which must be this method's parameters.
    template <class M, class... A>
    HRESULT forward(A&... a)
    {
        static_assert(std::is_same_v<std::tuple<A...>, typename M::Values>, "the parameters of another method");
        std::array<void*, sizeof...(A)> args{const_cast<void*>(static_cast<const void*>(&a))...};
        return invokeRemote(manager_, info_, M::info, args.data());
    }

private:
    ProxyManager& manager_;
    IUnknown& identity_;
    const InterfaceInfo& info_;
};

template <class I, class Proxy, class... M>
struct Describe {
    static constexpr std::array<const MethodInfo*, sizeof...(M)> methods{&M::info...};
    static std::unique_ptr<ProxyPart> make(ProxyManager& manager, IUnknown& identity, const InterfaceInfo& info)
    {
        return std::make_unique<Proxy>(manager, identity, info);
    }
    static constexpr InterfaceInfo info(const char* name, int bit, bool callbacks = false)
    {
        return {&I::iid, name, bit, callbacks, methods, &make};
    }
};

// Every interface the transport can carry, in bit order.
std::span<const InterfaceInfo* const> knownInterfaces();
const InterfaceInfo* interfaceById(REFIID iid);

// The tables, one list per file.
std::span<const InterfaceInfo* const> standardInterfaceTables();
std::span<const InterfaceInfo* const> opcInterfaceTables();

}  // namespace com::bus

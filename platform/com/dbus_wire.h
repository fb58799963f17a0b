#pragma once
// How COM values travel in a bus message: one D-Bus type per kind of value, written and read
// through QDBusArgument, with out values allocated from the task allocator on the receiving
// side exactly as an in-process callee would hand them out.
//
//   unsigned 32 bits "u", signed 32 bits (BOOL, HRESULT, enumerations) "i", VARTYPE and WORD "q",
//   FLOAT "d" (exact both ways), strings "s" (UTF-8 of the UTF-16 text), IIDs "s" in their
//   braced form, FILETIME "t", VARIANT "(qv)": the exact VARTYPE and a value of the D-Bus type
//   that matches it (arrays "(ia…)": lower bound and a typed array), interface pointers
//   "(sot)": owner's unique bus name, object path ("/" for null) and the mask of the known
//   interfaces the object answers, OPC records as structures of their fields, blobs "ay".
#include <QDBusArgument>
#include <QString>
#include <QVariant>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "connpoint.h"
#include "opcda.h"

namespace com::bus {

// Largest element count the transport passes or allocates for: one call cannot make a
// process allocate more than a few hundred bytes times this.
inline constexpr std::uint32_t kMaxArrayCount = 1u << 20;
// Largest blob of an OPC record that is sent along.
inline constexpr std::uint32_t kMaxBlobSize = 1u << 16;

enum class WireType : std::uint8_t {
    U32,
    I32,
    U16,
    F32,
    Str,
    Iid,
    FileTime,
    Variant,
    Itf,
    ItemDef,
    ItemResult,
    ItemState,
    ItemAttributes,
    ServerStatus,
    ConnectData,
};

// An interface pointer as it travels.
struct InterfaceRef {
    QString owner;
    QString path = QStringLiteral("/");
    std::uint64_t interfaces = 0;

    bool isNull() const { return path == QLatin1String("/"); }
};

// Turns interface pointers into references for the message's other end and back; the
// transport implements it for each message.
class InterfaceMarshaller {
public:
    // A reference the receiver can call; it carries one remote reference for the receiver.
    virtual HRESULT marshal(IUnknown* object, InterfaceRef& ref) = 0;
    // A pointer of interface iid, owned by the caller; null for a null reference.
    virtual HRESULT unmarshal(const InterfaceRef& ref, REFIID iid, void** object) = 0;

protected:
    ~InterfaceMarshaller() = default;
};

struct WireContext {
    InterfaceMarshaller* marshaller = nullptr;
    // The interface a decoded interface pointer is given as.
    const IID* iid = &IID_IUnknown;
};

// Bytes of one element in memory.
std::size_t elementSize(WireType t);
// The D-Bus signature of one element.
const char* signatureOf(WireType t);
// Carried as a plain value (not a QDBusArgument) when it is a message's own argument.
bool isBasic(WireType t);
// Registers the types Qt needs to know for arrays of structures; called once before use.
void registerWireTypes();

// One element inside a structure or array. decode expects a zero-filled element and leaves
// nothing owned when it fails; release frees what an element owns (task memory, interfaces)
// and zero-fills it.
HRESULT encode(QDBusArgument& out, WireType t, const void* element, WireContext& ctx);
HRESULT decode(const QDBusArgument& in, WireType t, void* element, WireContext& ctx);
void release(WireType t, void* element);
void releaseArray(WireType t, void* first, std::size_t count);

// A message's own arguments. An incoming message's signature is checked before its
// arguments are read, so these trust the D-Bus types and check only the values.
HRESULT encodeArg(QVariantList& args, WireType t, const void* element, WireContext& ctx);
HRESULT decodeArg(const QVariant& arg, WireType t, void* element, WireContext& ctx);
// Arrays of types without interfaces are checked here and written only when the message is
// sent: their elements must stay as they are until then.
HRESULT encodeArrayArg(QVariantList& args, WireType t, const void* first, std::size_t count, WireContext& ctx);
// Appends the elements of an array argument to out; more than maxCount elements is
// E_INVALIDARG. On failure nothing decoded stays owned and out is as it was.
HRESULT decodeArrayArg(const QVariant& arg, WireType t, std::size_t maxCount, std::vector<std::byte>& out, std::size_t& count,
                       WireContext& ctx);

// The VARIANT alone, for tests and tools: the "(qv)" of v, and back.
HRESULT encodeVariant(QDBusArgument& out, const VARIANT& v);
HRESULT decodeVariant(const QDBusArgument& in, VARIANT& v);

}  // namespace com::bus

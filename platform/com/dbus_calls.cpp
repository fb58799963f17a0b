// The calls between processes: serving one that came in (decoding and checking every
// argument, calling the object through its table, answering), and making one through a
// proxy (encoding, waiting while serving what comes in, decoding the answer into task memory).
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QEventLoop>
#include <algorithm>
#include <cstring>

#include "alloc.h"
#include "dbus_names.h"
#include "dbus_transport_impl.h"

namespace com {

namespace {

struct Signatures {
    QString request;  // what a call carries: the null mask and the in values
    QString reply;    // what a successful answer carries: the result, null strings, the out values
    QString failure;  // what a failed one carries: the single numbers out as the callee left them
};

// A single number (or IID, file time) out: one that a failed call still hands back as the
// callee left it, zeroed mostly, as it would be in-process.
bool isScalarOut(const ParamInfo& p)
{
    return p.shape == Shape::Out && bus::isBasic(p.type) && p.type != WireType::Str;
}

const Signatures& signaturesOf(const MethodInfo& m)
{
    static std::unordered_map<const MethodInfo*, Signatures> cache;
    auto it = cache.find(&m);
    if (it != cache.end())
        return it->second;
    Signatures s{QStringLiteral("u"), QStringLiteral("iu"), QStringLiteral("iu")};
    for (const ParamInfo& p : m.params) {
        const QLatin1String sig(bus::signatureOf(p.type));
        switch (p.shape) {
        case Shape::Value:
        case Shape::InPtr:
            s.request += sig;
            break;
        case Shape::InArray:
            s.request += QLatin1Char('a') + sig;
            break;
        case Shape::Out:
        case Shape::OutRecord:
            s.reply += sig;
            if (isScalarOut(p))
                s.failure += sig;
            break;
        case Shape::OutArray:
        case Shape::OutBuffer:
            s.reply += QLatin1Char('a') + sig;
            break;
        }
    }
    return cache.emplace(&m, std::move(s)).first->second;
}

// Out values that are pointers: null until an answer fills them, and null after a failure.
bool isPointerOut(const ParamInfo& p)
{
    return p.shape == Shape::OutArray || p.shape == Shape::OutRecord ||
           (p.shape == Shape::Out && (p.type == WireType::Str || p.type == WireType::Itf));
}

// A count parameter's value on the calling side.
std::uint32_t u32At(void* const* args, int index)
{
    return *static_cast<const std::uint32_t*>(args[index]);
}

}  // namespace

namespace bus {

HRESULT invokeRemote(ProxyManager& manager, const InterfaceInfo& itf, const MethodInfo& method, void* const* args)
{
    if (!manager.transport) {
        for (std::size_t i = 0; i < method.params.size(); ++i)
            if (isPointerOut(method.params[i]) && *static_cast<void**>(args[i]))
                **static_cast<void***>(args[i]) = nullptr;
        return RPC_E_DISCONNECTED;
    }
    return manager.transport->callRemote(manager, itf, method, args);
}

}  // namespace bus

namespace {

// A parameter's storage on the serving side: its value as the method receives it, what an
// in or out pointer points to, and the elements of an array.
struct Slot {
    alignas(16) std::byte value[16] = {};  // the widest value passed is an IID
    alignas(16) std::byte target[32] = {};  // the widest single out value is a VARIANT
    std::vector<std::byte> buffer;
    std::size_t count = 0;
    bool null = false;

    void setPointer(void* p) { *reinterpret_cast<void**>(value) = p; }
    void* targetPointer() const { return *reinterpret_cast<void* const*>(target); }
};

// How many elements an out array or buffer holds after the call.
std::size_t filledCount(const MethodInfo& m, const std::vector<Slot>& frame, const ParamInfo& p, HRESULT hr)
{
    const std::uint32_t requested = p.count >= 0 && m.params[p.count].shape == Shape::Value
                                        ? *reinterpret_cast<const std::uint32_t*>(frame[p.count].value)
                                        : 0;
    if (p.filled >= 0) {
        const Slot& f = frame[p.filled];
        const std::size_t n = f.null ? (hr == S_OK ? requested : 0) : *reinterpret_cast<const std::uint32_t*>(f.target);
        return std::min<std::size_t>(n, requested);
    }
    if (m.params[p.count].shape == Shape::Value)
        return requested;
    const Slot& c = frame[p.count];
    return c.null ? 0 : std::min<std::size_t>(*reinterpret_cast<const std::uint32_t*>(c.target), bus::kMaxArrayCount);
}

}  // namespace

void DBusTransport::Impl::serveCall(const QDBusMessage& msg, const InterfaceInfo& itf, const MethodInfo& m, void* target)
{
    const Signatures& sig = signaturesOf(m);
    if (msg.signature() != sig.request) {
        replyResult(msg, E_INVALIDARG);
        return;
    }
    const QString& sender = msg.service();
    Marshaller marshaller(*this, sender);
    bus::WireContext ctx{&marshaller};
    const QVariantList args = msg.arguments();
    const std::uint32_t nullMask = args.value(0).toUInt();
    std::vector<Slot> frame(m.params.size());
    std::vector<void*> argv(m.params.size());
    HRESULT hr = S_OK;
    int next = 1;
    // Decoding: every in value is read and checked before the method sees any.
    for (std::size_t i = 0; i < m.params.size() && SUCCEEDED(hr); ++i) {
        const ParamInfo& p = m.params[i];
        Slot& s = frame[i];
        s.null = (nullMask >> i) & 1;
        argv[i] = s.value;
        switch (p.shape) {
        case Shape::Value:
            ctx.iid = p.fixedIid ? p.fixedIid : &IID_IUnknown;
            hr = bus::decodeArg(args[next++], p.type, s.value, ctx);
            if (SUCCEEDED(hr) && s.null && (p.type == WireType::Str || p.type == WireType::Itf))
                bus::release(p.type, s.value);
            break;
        case Shape::InPtr:
            hr = bus::decodeArg(args[next++], p.type, s.target, ctx);
            s.setPointer(s.null ? nullptr : s.target);
            break;
        case Shape::InArray:
            hr = bus::decodeArrayArg(args[next++], p.type, bus::kMaxArrayCount, s.buffer, s.count, ctx);
            // An empty array the caller did pass is still a pointer.
            s.setPointer(s.null ? nullptr : s.count > 0 ? s.buffer.data() : s.target);
            break;
        case Shape::Out:
        case Shape::OutArray:
        case Shape::OutRecord:
            s.setPointer(s.null ? nullptr : s.target);
            break;
        case Shape::OutBuffer:
            break;  // sized below, once its count is known
        }
    }
    if (SUCCEEDED(hr)) {
        // Counts must agree with the arrays they size; a buffer is bounded before it is allocated.
        for (std::size_t i = 0; i < m.params.size() && SUCCEEDED(hr); ++i) {
            const ParamInfo& p = m.params[i];
            Slot& s = frame[i];
            if (p.shape == Shape::InArray && !s.null && s.count != *reinterpret_cast<const std::uint32_t*>(frame[p.count].value))
                hr = E_INVALIDARG;
            if (p.shape == Shape::OutBuffer) {
                const std::uint32_t n = *reinterpret_cast<const std::uint32_t*>(frame[p.count].value);
                if (n > bus::kMaxArrayCount) {
                    hr = E_INVALIDARG;
                } else if (!s.null) {
                    hr = orOutOfMemory([&] {
                        s.buffer.assign(n * bus::elementSize(p.type), std::byte{0});
                        return S_OK;
                    });
                    s.setPointer(n > 0 ? s.buffer.data() : s.target);
                }
            }
        }
    }
    // One client may only undo its own locks of a class object.
    const bool lockServer = *itf.iid == IID_IClassFactory && std::strcmp(m.name, "LockServer") == 0;
    const bool locking = lockServer && *reinterpret_cast<const BOOL*>(frame[0].value) != 0;
    bool skip = false;
    if (SUCCEEDED(hr) && lockServer && !locking) {
        auto& locks = peers[sender].locks;
        const auto it = std::find_if(locks.begin(), locks.end(), [&](const auto& f) { return f.get() == target; });
        if (it == locks.end())
            skip = true;
        else
            locks.erase(it);
    }

    const bool decodedAll = SUCCEEDED(hr);
    if (decodedAll && !skip) {
        try {
            hr = m.invoke(target, argv.data());
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        } catch (...) {
            hr = RPC_E_FAULT;
        }
    }
    if (decodedAll && !skip && lockServer && locking && SUCCEEDED(hr))
        peers[sender].locks.emplace_back(static_cast<IClassFactory*>(target));

    // How many elements each out array holds, taken before any value is released.
    std::vector<std::size_t> filled(m.params.size(), 0);
    if (decodedAll && SUCCEEDED(hr))
        for (std::size_t i = 0; i < m.params.size(); ++i)
            if (m.params[i].shape == Shape::OutArray || m.params[i].shape == Shape::OutBuffer)
                filled[i] = filledCount(m, frame, m.params[i], hr);
    QVariantList out{QVariant::fromValue(int(hr))};
    if (decodedAll && SUCCEEDED(hr)) {
        // Which out strings the call left null, as a string travels as text.
        std::uint32_t nullOuts = 0;
        for (std::size_t i = 0; i < m.params.size(); ++i)
            if (m.params[i].shape == Shape::Out && m.params[i].type == WireType::Str && !frame[i].targetPointer())
                nullOuts |= 1u << i;
        out << QVariant::fromValue(uint(nullOuts));
        HRESULT ehr = S_OK;
        for (std::size_t i = 0; i < m.params.size() && SUCCEEDED(ehr); ++i) {
            const ParamInfo& p = m.params[i];
            Slot& s = frame[i];
            switch (p.shape) {
            case Shape::Out:
                ehr = bus::encodeArg(out, p.type, s.target, ctx);
                break;
            case Shape::OutRecord: {
                alignas(16) std::byte zero[128] = {};
                const void* record = s.targetPointer();
                ehr = bus::encodeArg(out, p.type, record ? record : zero, ctx);
                break;
            }
            case Shape::OutArray: {
                const void* first = s.targetPointer();
                ehr = bus::encodeArrayArg(out, p.type, first, first ? filled[i] : 0, ctx);
                break;
            }
            case Shape::OutBuffer:
                ehr = bus::encodeArrayArg(out, p.type, s.buffer.data(), s.null ? 0 : filled[i], ctx);
                break;
            default:
                break;
            }
        }
        if (FAILED(ehr)) {
            qCWarning(lcBus, "%s.%s: the result cannot be sent: 0x%08X", itf.name, m.name, static_cast<unsigned>(ehr));
            out = QVariantList{QVariant::fromValue(int(ehr))};
        }
    } else if (decodedAll && !skip) {
        out << QVariant::fromValue(uint(0));
        for (std::size_t i = 0; i < m.params.size(); ++i)
            if (isScalarOut(m.params[i]))
                bus::encodeArg(out, m.params[i].type, frame[i].target, ctx);
    }

    // Sent before anything is freed: arrays are written into the message only now.
    if (msg.isReplyRequired())
        conn.send(msg.createReply(out));
    // What the call handed out and what was decoded for it goes; the caller has its copy.
    // Slots never filled are zero, and releasing zero frees nothing.
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        const ParamInfo& p = m.params[i];
        Slot& s = frame[i];
        switch (p.shape) {
        case Shape::Value:
            bus::release(p.type, s.value);
            break;
        case Shape::InArray:
            bus::releaseArray(p.type, s.buffer.data(), s.count);
            break;
        case Shape::Out:
            bus::release(p.type, s.target);
            break;
        case Shape::OutBuffer:
            if (!s.buffer.empty())
                bus::releaseArray(p.type, s.buffer.data(), s.buffer.size() / bus::elementSize(p.type));
            break;
        case Shape::OutArray:
            if (void* first = s.targetPointer()) {
                if (SUCCEEDED(hr))
                    bus::releaseArray(p.type, first, filled[i]);
                CoTaskMemFree(first);
            }
            break;
        case Shape::OutRecord:
            if (void* record = s.targetPointer()) {
                bus::release(p.type, record);
                CoTaskMemFree(record);
            }
            break;
        case Shape::InPtr:
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Outgoing calls

QDBusMessage DBusTransport::Impl::callAndServe(const QDBusMessage& msg, int timeout)
{
    QDBusPendingCall pending = conn.asyncCall(msg, timeout);
    if (!pending.isFinished()) {
        // Serves what comes in meanwhile, as a single-threaded apartment does.
        QDBusPendingCallWatcher watcher(pending);
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return pending.reply();
}

HRESULT DBusTransport::Impl::errorResult(const QDBusMessage& reply, const QString& peer)
{
    switch (QDBusError(reply).type()) {
    case QDBusError::UnknownObject:
        return RPC_E_DISCONNECTED;
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownInterface:
        return RPC_E_INVALIDMETHOD;
    case QDBusError::InvalidArgs:
    case QDBusError::InvalidSignature:
        return E_INVALIDARG;
    case QDBusError::AccessDenied:
        return E_ACCESSDENIED;
    case QDBusError::NoMemory:
        return E_OUTOFMEMORY;
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut: {
        // The answer did not come: the process is gone or does not answer.
        if (isGone(peer))
            return RPC_S_SERVER_UNAVAILABLE;
        const QDBusReply<bool> there = conn.interface()->isServiceRegistered(peer);
        return there.isValid() && there.value() ? RPC_E_TIMEOUT : RPC_S_SERVER_UNAVAILABLE;
    }
    case QDBusError::ServiceUnknown:
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
        return RPC_S_SERVER_UNAVAILABLE;
    default:
        return RPC_E_FAULT;
    }
}

HRESULT DBusTransport::Impl::callRemote(ProxyManager& pm, const InterfaceInfo& itf, const MethodInfo& m, void* const* args)
{
    // Out pointers are null until the answer fills them.
    for (std::size_t i = 0; i < m.params.size(); ++i)
        if (isPointerOut(m.params[i]) && *static_cast<void**>(args[i]))
            **static_cast<void***>(args[i]) = nullptr;
    if (!onOwnThread())
        return RPC_E_WRONG_THREAD;
    if (pm.gone)
        return RPC_S_SERVER_UNAVAILABLE;
    // Counts are bounded before anything is read from the caller's arrays.
    for (const ParamInfo& p : m.params)
        if ((p.shape == Shape::InArray || p.shape == Shape::OutBuffer) && u32At(args, p.count) > bus::kMaxArrayCount)
            return E_INVALIDARG;
    const QString peer = pm.owner;  // pm may go during the call
    Marshaller marshaller(*this, peer);
    bus::WireContext ctx{&marshaller};
    QVariantList list{QVariant()};
    std::uint32_t nullMask = 0;
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        const ParamInfo& p = m.params[i];
        void* const a = args[i];
        void* const ptr = p.shape == Shape::Value ? nullptr : *static_cast<void**>(a);
        HRESULT hr = S_OK;
        switch (p.shape) {
        case Shape::Value:
            if ((p.type == WireType::Str || p.type == WireType::Itf) && !*static_cast<void**>(a))
                nullMask |= 1u << i;
            hr = bus::encodeArg(list, p.type, a, ctx);
            break;
        case Shape::InPtr: {
            alignas(16) std::byte zero[16] = {};
            if (!ptr)
                nullMask |= 1u << i;
            hr = bus::encodeArg(list, p.type, ptr ? ptr : zero, ctx);
            break;
        }
        case Shape::InArray:
            if (!ptr)
                nullMask |= 1u << i;
            hr = bus::encodeArrayArg(list, p.type, ptr, ptr ? u32At(args, p.count) : 0, ctx);
            break;
        case Shape::OutBuffer:
        case Shape::Out:
        case Shape::OutArray:
        case Shape::OutRecord:
            if (!ptr)
                nullMask |= 1u << i;
            break;
        }
        if (FAILED(hr))
            return hr;
    }
    list[0] = QVariant::fromValue(uint(nullMask));
    QDBusMessage msg = QDBusMessage::createMethodCall(peer, pm.path, QLatin1String(kInterfacePrefix) + QLatin1String(itf.name),
                                                      QLatin1String(m.name));
    msg.setAutoStartService(false);
    msg.setArguments(list);
    if (itf.callbacks)
        return sendCallback(peer, msg);
    const QDBusMessage reply = callAndServe(msg, callTimeout);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return errorResult(reply, peer);
    return decodeReply(reply, peer, m, args);
}

HRESULT DBusTransport::Impl::decodeReply(const QDBusMessage& reply, const QString& peer, const MethodInfo& m, void* const* args)
{
    const QVariantList values = reply.arguments();
    if (values.isEmpty() || values[0].metaType() != QMetaType::fromType<int>())
        return RPC_E_INVALID_DATA;
    const HRESULT result = values[0].toInt();
    Marshaller marshaller(*this, peer);
    bus::WireContext ctx{&marshaller};
    if (FAILED(result)) {
        // The single numbers out as the callee left them; the rest stays null.
        if (reply.signature() == signaturesOf(m).failure) {
            int at = 2;
            for (std::size_t i = 0; i < m.params.size(); ++i) {
                if (!isScalarOut(m.params[i]))
                    continue;
                alignas(16) std::byte value[16] = {};
                void* ptr = *static_cast<void**>(args[i]);
                if (SUCCEEDED(bus::decodeArg(values[at++], m.params[i].type, value, ctx)) && ptr)
                    std::memcpy(ptr, value, bus::elementSize(m.params[i].type));
            }
        }
        return result;
    }
    if (reply.signature() != signaturesOf(m).reply)
        return RPC_E_INVALID_DATA;

    const std::uint32_t nullOuts = values[1].toUInt();
    // Where each out value is in the answer.
    std::vector<int> position(m.params.size(), -1);
    int next = 2;
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        const Shape s = m.params[i].shape;
        if (s == Shape::Out || s == Shape::OutArray || s == Shape::OutBuffer || s == Shape::OutRecord)
            position[i] = next++;
    }
    // What was filled in, to take back if a later value is bad.
    struct Undo {
        WireType type;
        void* first;
        std::size_t count;
        void** owner;  // the caller's pointer to a block of ours, nulled again
    };
    std::vector<Undo> undo;
    auto fail = [&](HRESULT hr) {
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
            bus::releaseArray(it->type, it->first, it->count);
            if (it->owner) {
                CoTaskMemFree(*it->owner);
                *it->owner = nullptr;
            }
        }
        return hr == E_OUTOFMEMORY ? hr : RPC_E_INVALID_DATA;
    };
    std::vector<std::uint32_t> outCount(m.params.size(), 0);
    std::vector<bool> hasOutCount(m.params.size(), false);

    // Single values first: counts of arrays come from them.
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        const ParamInfo& p = m.params[i];
        if (p.shape != Shape::Out)
            continue;
        void* ptr = *static_cast<void**>(args[i]);
        if ((nullOuts >> i) & 1)
            continue;  // left null, as the callee left it
        if (p.type == WireType::Itf)
            ctx.iid = p.fixedIid ? p.fixedIid : static_cast<const IID*>(args[p.iid]);
        alignas(16) std::byte value[32] = {};
        const HRESULT hr = bus::decodeArg(values[position[i]], p.type, value, ctx);
        if (FAILED(hr))
            return fail(hr);
        if (p.type == WireType::U32) {
            outCount[i] = *reinterpret_cast<const std::uint32_t*>(value);
            hasOutCount[i] = ptr != nullptr;
        }
        if (!ptr) {
            bus::release(p.type, value);
            continue;
        }
        std::memcpy(ptr, value, bus::elementSize(p.type));
        undo.push_back({p.type, ptr, 1, nullptr});
    }
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        const ParamInfo& p = m.params[i];
        if (p.shape != Shape::OutArray && p.shape != Shape::OutBuffer && p.shape != Shape::OutRecord)
            continue;
        void* ptr = *static_cast<void**>(args[i]);
        ctx.iid = p.fixedIid ? p.fixedIid : &IID_IUnknown;
        const std::size_t size = bus::elementSize(p.type);
        if (p.shape == Shape::OutRecord) {
            void* record = CoTaskMemAlloc(size);
            if (!record)
                return fail(E_OUTOFMEMORY);
            std::memset(record, 0, size);
            const HRESULT hr = bus::decodeArg(values[position[i]], p.type, record, ctx);
            if (FAILED(hr)) {
                CoTaskMemFree(record);
                return fail(hr);
            }
            if (ptr) {
                *static_cast<void**>(ptr) = record;
                undo.push_back({p.type, record, 1, static_cast<void**>(ptr)});
            } else {
                bus::release(p.type, record);
                CoTaskMemFree(record);
            }
            continue;
        }
        // The most the answer may hold, and what it must hold.
        const bool countIsIn = m.params[p.count].shape == Shape::Value;
        const std::uint32_t requested = countIsIn ? u32At(args, p.count) : bus::kMaxArrayCount;
        std::vector<std::byte> elements;
        std::size_t n = 0;
        const HRESULT hr = bus::decodeArrayArg(values[position[i]], p.type, requested, elements, n, ctx);
        if (FAILED(hr))
            return fail(hr);
        bool good = true;
        if (p.filled >= 0)
            good = !hasOutCount[p.filled] || outCount[p.filled] == n;
        else if (countIsIn)
            good = n == requested;
        else
            good = !hasOutCount[p.count] || outCount[p.count] == n;
        if (!good || !ptr) {
            bus::releaseArray(p.type, elements.data(), n);
            if (!good)
                return fail(RPC_E_INVALID_DATA);
            continue;
        }
        if (p.shape == Shape::OutBuffer) {
            if (n > 0)
                std::memcpy(ptr, elements.data(), n * size);
            undo.push_back({p.type, ptr, n, nullptr});
            continue;
        }
        void* block = nullptr;
        if (n > 0) {
            block = CoTaskMemAlloc(n * size);
            if (!block) {
                bus::releaseArray(p.type, elements.data(), n);
                return fail(E_OUTOFMEMORY);
            }
            std::memcpy(block, elements.data(), n * size);
        }
        *static_cast<void**>(ptr) = block;
        undo.push_back({p.type, block, n, static_cast<void**>(ptr)});
    }
    return result;
}

HRESULT DBusTransport::Impl::sendCallback(const QString& peer, const QDBusMessage& msg)
{
    if (isGone(peer))
        return RPC_S_SERVER_UNAVAILABLE;
    Peer& p = peers[peer];
    if (p.stalled) {
        probe(peer);
        return RPC_E_TIMEOUT;
    }
    ++p.inFlight;
    auto* watcher = new QDBusPendingCallWatcher(conn.asyncCall(msg, callbackTimeout), watchers());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watchers(), [this, peer, watcher] {
        watcher->deleteLater();
        const auto it = peers.find(peer);
        if (it == peers.end())
            return;
        --it->second.inFlight;
        const QDBusError::ErrorType e = watcher->error().type();
        if (watcher->isError() && (e == QDBusError::NoReply || e == QDBusError::Timeout || e == QDBusError::TimedOut) &&
            !it->second.stalled) {
            it->second.stalled = true;
            qCWarning(lcBus, "%s did not answer a callback in %d ms: no further callbacks until it answers", qPrintable(peer),
                      callbackTimeout);
        }
    });
    return S_OK;
}

void DBusTransport::Impl::probe(const QString& peer)
{
    Peer& p = peers[peer];
    if (p.probing)
        return;
    p.probing = true;
    QDBusMessage msg = QDBusMessage::createMethodCall(peer, QStringLiteral("/"), unknownInterface(), QStringLiteral("Ping"));
    msg.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(conn.asyncCall(msg, callbackTimeout), watchers());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watchers(), [this, peer, watcher] {
        watcher->deleteLater();
        const auto it = peers.find(peer);
        if (it == peers.end())
            return;
        it->second.probing = false;
        if (!watcher->isError() && it->second.stalled) {
            it->second.stalled = false;
            qCInfo(lcBus, "%s answers again: callbacks resume", qPrintable(peer));
        }
    });
}

}  // namespace com

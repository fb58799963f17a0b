#pragma once
// The inside of DBusTransport, shared by the file that keeps its objects and references
// (dbus_transport.cpp) and the one that carries calls both ways (dbus_calls.cpp).
#include <QDBusConnection>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dbus_method.h"
#include "dbus_transport.h"
#include "runtime.h"

Q_DECLARE_LOGGING_CATEGORY(lcBus)

namespace com {

using bus::InterfaceInfo;
using bus::InterfaceRef;
using bus::MethodInfo;
using bus::ParamInfo;
using bus::ProxyManager;
using bus::Shape;
using bus::WireType;

// "org.vorn.Com.IUnknown": the messages about objects rather than their methods.
const QString& unknownInterface();

class BusObject;

class DBusTransport::Impl {
public:
    struct Export {
        std::uint64_t id = 0;
        QString path;
        ComPtr<IUnknown> object;  // the identity
        std::uint64_t mask = 0;
        std::map<QString, ULONG> refs;  // per process holding some
    };
    struct ClassExport {
        CLSID clsid{};
        std::string busName;
        ComPtr<IUnknown> object;     // null: the runtime's class table answers
        bool ownsName = false;
    };
    struct Peer {
        bool stalled = false;
        bool probing = false;
        std::size_t inFlight = 0;
        std::vector<ComPtr<IClassFactory>> locks;  // LockServer(TRUE) calls not yet undone
    };

    explicit Impl(const QString& address);
    ~Impl();

    // Marshalling for one message to or from a peer.
    class Marshaller final : public bus::InterfaceMarshaller {
    public:
        Marshaller(Impl& t, QString peer) : t_(t), peer_(std::move(peer)) {}
        HRESULT marshal(IUnknown* object, InterfaceRef& ref) override { return t_.marshal(object, peer_, ref); }
        HRESULT unmarshal(const InterfaceRef& ref, REFIID iid, void** object) override { return t_.unmarshal(ref, peer_, iid, object); }

    private:
        Impl& t_;
        const QString peer_;
    };

    bool onOwnThread() const { return QThread::currentThread() == thread; }
    // The parent of the watchers of callbacks in flight: they go with the connection.
    QObject* watchers() const;
    bool isGone(const QString& peer) const { return gone.count(peer) > 0; }

    // --- exports
    Export* exportByPath(const QString& path);
    Export& exportObject(const ComPtr<IUnknown>& identity);
    void dropExport(Export* e, std::vector<ComPtr<IUnknown>>& released);
    HRESULT marshal(IUnknown* object, const QString& peer, InterfaceRef& ref);
    HRESULT unmarshal(const InterfaceRef& ref, const QString& peer, REFIID iid, void** object);
    void releaseFromPeer(const QString& path, const QString& peer, ULONG count);
    void peerGone(const QString& peer);
    void disconnectObject(IUnknown* object);

    // --- incoming messages
    bool dispatch(const QDBusMessage& msg);
    void replyResult(const QDBusMessage& msg, HRESULT hr);
    void serveClassObject(const QDBusMessage& msg);
    void serveCall(const QDBusMessage& msg, const InterfaceInfo& itf, const MethodInfo& m, void* target);

    // --- outgoing calls
    QDBusMessage callAndServe(const QDBusMessage& msg, int timeout);
    HRESULT errorResult(const QDBusMessage& reply, const QString& peer);
    HRESULT callRemote(ProxyManager& pm, const InterfaceInfo& itf, const MethodInfo& m, void* const* args);
    HRESULT decodeReply(const QDBusMessage& reply, const QString& peer, const MethodInfo& m, void* const* args);
    HRESULT sendCallback(const QString& peer, const QDBusMessage& msg);
    void probe(const QString& peer);
    void sendRelease(const QString& owner, const QString& path, ULONG count);
    ProxyManager* proxyFor(const QString& owner, const QString& path, std::uint64_t mask);
    void proxyGone(ProxyManager* pm);

    QDBusConnection conn;
    QString connName;
    QThread* thread = nullptr;
    std::unique_ptr<BusObject> object;
    bool registered = false;
    int callTimeout = 25000;
    int callbackTimeout = 2000;
    int activationTimeout = 25000;

    std::map<std::uint64_t, std::unique_ptr<Export>> exports;
    std::unordered_map<IUnknown*, Export*> byIdentity;
    std::uint64_t lastId = 0;
    std::map<QString, ClassExport> classes;  // by object path
    std::map<QString, ProxyManager*> proxies;  // by owner and path; not owned
    std::map<QString, Peer> peers;
    std::set<QString> gone;
    std::deque<QString> goneOrder;
};

namespace bus {

// Answered only by our proxies, with their manager: tells a proxy from a local object.
inline constexpr IID IID_IBusProxy = {0x6A1C3F52, 0x2D0B, 0x4E4B, {0x9C, 0x51, 0x0D, 0x7E, 0x44, 0x2A, 0x91, 0x3B}};

// The identity of an object of another process in this one: it holds the remote references
// this process received for it and makes the interface proxies the object answers.
class ProxyManager final : public IUnknown {
public:
    ProxyManager(DBusTransport::Impl* t, QString owner, QString path, std::uint64_t mask)
        : transport(t), owner(std::move(owner)), path(std::move(path)), mask(mask)
    {
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IBusProxy) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        const InterfaceInfo* info = interfaceById(riid);
        if (!info || !(mask & (std::uint64_t(1) << info->bit)))
            return E_NOINTERFACE;
        for (const auto& [i, part] : parts_)
            if (i == info) {
                *ppv = part->unknown();
                AddRef();
                return S_OK;
            }
        return orOutOfMemory([&] {
            parts_.emplace_back(info, info->makeProxy(*this, *this, *info));
            *ppv = parts_.back().second->unknown();
            AddRef();
            return S_OK;
        });
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override
    {
        const ULONG n = --refs_;
        if (n == 0) {
            if (transport)
                transport->proxyGone(this);
            delete this;
        }
        return n;
    }

    DBusTransport::Impl* transport;
    const QString owner;
    const QString path;
    std::uint64_t mask;
    ULONG remoteRefs = 0;
    bool gone = false;

private:
    ~ProxyManager() = default;
    std::atomic<ULONG> refs_{0};
    std::vector<std::pair<const InterfaceInfo*, std::unique_ptr<ProxyPart>>> parts_;
};

}  // namespace bus

}  // namespace com

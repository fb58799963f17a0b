// The transport's objects and references: the connection, the objects exported to other
// processes with the references each holds, the proxies of theirs, the messages about objects
// (Release, Ping, GetClassObject), the runtime's registrations and the process's transport.
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <algorithm>
#include <cstring>

#include "dbus_names.h"
#include "dbus_transport_impl.h"
#include "registry.h"

Q_LOGGING_CATEGORY(lcBus, "vx.com.dbus")

namespace com {

const QString& unknownInterface()
{
    static const QString name = QLatin1String(kInterfacePrefix) + QLatin1String("IUnknown");
    return name;
}

namespace {

const QString kObjectPrefix = QStringLiteral("/obj/");
const QString kClassPrefix = QStringLiteral("/class/");
// Unique names of processes that left the bus are remembered this long (in names), so that a
// reference handed out to one while its leaving was already on the way is not kept forever.
constexpr std::size_t kGoneMemory = 4096;

QString peerKey(const QString& owner, const QString& path)
{
    return owner + QLatin1Char(' ') + path;
}

}  // namespace

// The virtual object every path of the connection goes to, and the receiver of the bus's
// NameOwnerChanged signal.
class BusObject : public QDBusVirtualObject {
    Q_OBJECT
public:
    explicit BusObject(DBusTransport::Impl& t) : t_(t) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override { return t_.dispatch(message); }

public slots:
    void nameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner)
    {
        // A unique name is its own owner and has no new one when its process leaves.
        if (newOwner.isEmpty() && !oldOwner.isEmpty() && name == oldOwner)
            t_.peerGone(name);
    }

private:
    DBusTransport::Impl& t_;
};

// ---------------------------------------------------------------------------------------
// Connection

namespace {
std::atomic<int> connectionCounter{0};
std::vector<DBusTransport::Impl*> liveTransports;
}  // namespace

DBusTransport::Impl::Impl(const QString& address)
    : conn(QString()), connName(QStringLiteral("vx-com-%1").arg(++connectionCounter)), thread(QThread::currentThread())
{
    bus::registerWireTypes();
    conn = address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, connName)
                             : QDBusConnection::connectToBus(address, connName);
    if (!conn.isConnected())
        return;
    object = std::make_unique<BusObject>(*this);
    registered = conn.registerVirtualObject(QStringLiteral("/"), object.get(), QDBusConnection::SubPath);
    conn.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
                 QStringLiteral("NameOwnerChanged"), object.get(), SLOT(nameOwnerChanged(QString, QString, QString)));
    liveTransports.push_back(this);
}

DBusTransport::Impl::~Impl()
{
    std::erase(liveTransports, this);
    if (conn.isConnected()) {
        conn.disconnect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), object.get(),
                        SLOT(nameOwnerChanged(QString, QString, QString)));
        if (registered)
            conn.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
        for (const auto& [path, c] : classes)
            if (c.ownsName)
                conn.unregisterService(QString::fromStdString(c.busName));
    }
    for (auto& [key, pm] : proxies)
        pm->transport = nullptr;
    proxies.clear();
    // Released last: an object's end may reach back into this transport, which must not
    // find the maps half cleared.
    std::vector<ComPtr<IUnknown>> released;
    for (auto& [id, e] : exports)
        released.push_back(std::move(e->object));
    std::vector<ComPtr<IClassFactory>> locks;
    for (auto& [name, p] : peers)
        for (auto& f : p.locks)
            locks.push_back(std::move(f));
    exports.clear();
    byIdentity.clear();
    peers.clear();
    for (auto& f : locks)
        f->LockServer(FALSE);
    locks.clear();
    released.clear();
    classes.clear();
    QDBusConnection::disconnectFromBus(connName);
    object.reset();
}

QObject* DBusTransport::Impl::watchers() const
{
    return object.get();
}

// ---------------------------------------------------------------------------------------
// Exports and references

DBusTransport::Impl::Export* DBusTransport::Impl::exportByPath(const QString& path)
{
    if (!path.startsWith(kObjectPrefix))
        return nullptr;
    bool ok = false;
    const std::uint64_t id = QStringView(path).mid(kObjectPrefix.size()).toULongLong(&ok);
    if (!ok)
        return nullptr;
    const auto it = exports.find(id);
    return it == exports.end() || it->second->path != path ? nullptr : it->second.get();
}

DBusTransport::Impl::Export& DBusTransport::Impl::exportObject(const ComPtr<IUnknown>& identity)
{
    const auto it = byIdentity.find(identity.get());
    if (it != byIdentity.end())
        return *it->second;
    auto e = std::make_unique<Export>();
    e->id = ++lastId;
    e->path = kObjectPrefix + QString::number(e->id);
    e->object = identity;
    for (const InterfaceInfo* info : bus::knownInterfaces()) {
        void* p = nullptr;
        if (SUCCEEDED(identity->QueryInterface(*info->iid, &p)) && p) {
            e->mask |= std::uint64_t(1) << info->bit;
            static_cast<IUnknown*>(p)->Release();
        }
    }
    Export& ref = *e;
    byIdentity.emplace(identity.get(), e.get());
    exports.emplace(e->id, std::move(e));
    return ref;
}

void DBusTransport::Impl::dropExport(Export* e, std::vector<ComPtr<IUnknown>>& released)
{
    byIdentity.erase(e->object.get());
    released.push_back(std::move(e->object));
    exports.erase(e->id);
}

HRESULT DBusTransport::Impl::marshal(IUnknown* object, const QString& peer, InterfaceRef& ref)
{
    ComPtr<IUnknown> identity;
    if (const HRESULT hr = object->QueryInterface(IID_IUnknown, identity.putVoid()); FAILED(hr))
        return hr;
    ComPtr<IUnknown> probe;
    if (SUCCEEDED(identity->QueryInterface(bus::IID_IBusProxy, probe.putVoid()))) {
        auto* pm = static_cast<ProxyManager*>(probe.get());
        // The receiver's own object goes back as its own reference.
        if (pm->transport == this && pm->owner == peer) {
            ref.owner = peer;
            ref.path = pm->path;
            ref.interfaces = pm->mask;
            return S_OK;
        }
    }
    return orOutOfMemory([&] {
        Export& e = exportObject(identity);
        ref.owner = conn.baseService();
        ref.path = e.path;
        ref.interfaces = e.mask;
        if (!isGone(peer)) {
            ++e.refs[peer];
        } else if (e.refs.empty()) {
            std::vector<ComPtr<IUnknown>> released;
            dropExport(&e, released);
        }
        return S_OK;
    });
}

HRESULT DBusTransport::Impl::unmarshal(const InterfaceRef& ref, const QString& peer, REFIID iid, void** object)
{
    *object = nullptr;
    if (ref.owner == conn.baseService()) {
        // One of ours coming back: only from a process that holds it.
        Export* e = exportByPath(ref.path);
        if (!e || !e->refs.count(peer))
            return E_INVALIDARG;
        return e->object->QueryInterface(iid, object);
    }
    // Only the sender's own objects travel.
    if (ref.owner != peer)
        return E_INVALIDARG;
    return orOutOfMemory([&] {
        ComPtr<IUnknown> hold(proxyFor(peer, ref.path, ref.interfaces));
        return hold->QueryInterface(iid, object);
    });
}

ProxyManager* DBusTransport::Impl::proxyFor(const QString& owner, const QString& path, std::uint64_t mask)
{
    const QString key = peerKey(owner, path);
    const auto it = proxies.find(key);
    ProxyManager* pm = nullptr;
    if (it != proxies.end()) {
        pm = it->second;
    } else {
        pm = new ProxyManager(this, owner, path, mask);
        pm->gone = isGone(owner);
        proxies.emplace(key, pm);
    }
    ++pm->remoteRefs;
    return pm;
}

void DBusTransport::Impl::proxyGone(ProxyManager* pm)
{
    proxies.erase(peerKey(pm->owner, pm->path));
    if (!pm->gone && pm->remoteRefs > 0)
        sendRelease(pm->owner, pm->path, pm->remoteRefs);
}

void DBusTransport::Impl::sendRelease(const QString& owner, const QString& path, ULONG count)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(owner, path, unknownInterface(), QStringLiteral("Release"));
    msg << uint(count);
    msg.setAutoStartService(false);
    conn.send(msg);
}

void DBusTransport::Impl::releaseFromPeer(const QString& path, const QString& peer, ULONG count)
{
    Export* e = exportByPath(path);
    if (!e)
        return;
    const auto it = e->refs.find(peer);
    if (it == e->refs.end())
        return;
    // A process gives back no more than it holds.
    it->second -= std::min(it->second, count);
    if (it->second == 0)
        e->refs.erase(it);
    if (e->refs.empty()) {
        std::vector<ComPtr<IUnknown>> released;
        dropExport(e, released);
    }
}

void DBusTransport::Impl::peerGone(const QString& peer)
{
    if (!gone.insert(peer).second)
        return;
    goneOrder.push_back(peer);
    if (goneOrder.size() > kGoneMemory) {
        gone.erase(goneOrder.front());
        goneOrder.pop_front();
    }
    std::vector<ComPtr<IUnknown>> released;
    std::vector<Export*> empty;
    ULONG dropped = 0;
    for (auto& [id, e] : exports) {
        const auto it = e->refs.find(peer);
        if (it == e->refs.end())
            continue;
        dropped += it->second;
        e->refs.erase(it);
        if (e->refs.empty())
            empty.push_back(e.get());
    }
    for (Export* e : empty)
        dropExport(e, released);
    for (auto& [key, pm] : proxies)
        if (pm->owner == peer)
            pm->gone = true;
    std::vector<ComPtr<IClassFactory>> locks;
    if (const auto it = peers.find(peer); it != peers.end()) {
        locks = std::move(it->second.locks);
        peers.erase(it);
    }
    if (dropped > 0 || !locks.empty())
        qCInfo(lcBus, "%s left the bus: %lu references and %zu locks released", qPrintable(peer), static_cast<unsigned long>(dropped),
               locks.size());
    for (auto& f : locks)
        f->LockServer(FALSE);
    // The objects go here, as if the process had released them.
}

void DBusTransport::Impl::disconnectObject(IUnknown* object)
{
    ComPtr<IUnknown> identity;
    if (FAILED(object->QueryInterface(IID_IUnknown, identity.putVoid())))
        return;
    const auto it = byIdentity.find(identity.get());
    if (it == byIdentity.end())
        return;
    std::vector<ComPtr<IUnknown>> released;
    dropExport(it->second, released);
}

// ---------------------------------------------------------------------------------------
// Incoming messages

void DBusTransport::Impl::replyResult(const QDBusMessage& msg, HRESULT hr)
{
    if (msg.isReplyRequired())
        conn.send(msg.createReply(QVariantList{QVariant::fromValue(int(hr))}));
}

bool DBusTransport::Impl::dispatch(const QDBusMessage& msg)
{
    if (msg.type() != QDBusMessage::MethodCallMessage || !msg.interface().startsWith(QLatin1String(kInterfacePrefix)))
        return false;  // Qt answers introspection and the like
    const QString& sender = msg.service();
    const QString path = msg.path();
    if (msg.interface() == unknownInterface()) {
        const QString member = msg.member();
        if (member == QLatin1String("Release") && msg.signature() == QLatin1String("u")) {
            releaseFromPeer(path, sender, msg.arguments().value(0).toUInt());
            replyResult(msg, S_OK);
        } else if (member == QLatin1String("Ping")) {
            replyResult(msg, S_OK);
        } else if (member == QLatin1String("GetClassObject") && path.startsWith(kClassPrefix)) {
            serveClassObject(msg);
        } else {
            replyResult(msg, RPC_E_INVALIDMETHOD);
        }
        return true;
    }
    Export* e = exportByPath(path);
    // A process reaches only the objects it was handed.
    if (!e || !e->refs.count(sender)) {
        replyResult(msg, RPC_E_DISCONNECTED);
        return true;
    }
    const QStringView itfName = QStringView(msg.interface()).mid(static_cast<qsizetype>(std::strlen(kInterfacePrefix)));
    const InterfaceInfo* info = nullptr;
    for (const InterfaceInfo* i : bus::knownInterfaces())
        if (itfName == QLatin1String(i->name))
            info = i;
    if (!info || !(e->mask & (std::uint64_t(1) << info->bit))) {
        replyResult(msg, E_NOINTERFACE);
        return true;
    }
    const MethodInfo* method = nullptr;
    for (const MethodInfo* m : info->methods)
        if (msg.member() == QLatin1String(m->name))
            method = m;
    if (!method) {
        replyResult(msg, RPC_E_INVALIDMETHOD);
        return true;
    }
    // Held through the call: a nested call may release the last reference meanwhile.
    const ComPtr<IUnknown> identity = e->object;
    void* target = nullptr;
    if (FAILED(identity->QueryInterface(*info->iid, &target)) || !target) {
        replyResult(msg, E_NOINTERFACE);
        return true;
    }
    serveCall(msg, *info, *method, target);
    static_cast<IUnknown*>(target)->Release();
    return true;
}

void DBusTransport::Impl::serveClassObject(const QDBusMessage& msg)
{
    const auto it = classes.find(msg.path());
    const auto iid = guidFromString(msg.arguments().value(0).toString().toStdString());
    if (msg.signature() != QLatin1String("s") || !iid) {
        replyResult(msg, E_INVALIDARG);
        return;
    }
    if (it == classes.end()) {
        replyResult(msg, REGDB_E_CLASSNOTREG);
        return;
    }
    ComPtr<IUnknown> object;
    const HRESULT hr = it->second.object ? it->second.object->QueryInterface(*iid, object.putVoid())
                                         : bus::classObjectFromTable(it->second.clsid, *iid, object.putVoid());
    if (FAILED(hr)) {
        replyResult(msg, hr);
        return;
    }
    InterfaceRef ref;
    Marshaller m(*this, msg.service());
    if (const HRESULT mhr = m.marshal(object.get(), ref); FAILED(mhr)) {
        replyResult(msg, mhr);
        return;
    }
    QVariantList out{QVariant::fromValue(int(S_OK))};
    QDBusArgument a;
    a.beginStructure();
    a << ref.owner << QDBusObjectPath(ref.path) << qulonglong(ref.interfaces);
    a.endStructure();
    out << QVariant::fromValue(a);
    conn.send(msg.createReply(out));
}


// ---------------------------------------------------------------------------------------
// DBusTransport

namespace {

DBusTransport* replacement = nullptr;
std::unique_ptr<DBusTransport> sessionTransport;
bool sessionTried = false;

struct Registration {
    DWORD cookie;
    CLSID clsid;
    DBusTransport* transport;
};
std::vector<Registration> registrations;

bool onMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

}  // namespace


DBusTransport::DBusTransport(const QString& address) : d_(std::make_unique<Impl>(address)) {}

DBusTransport::~DBusTransport()
{
    // Runtime registrations served here end with it.
    std::erase_if(registrations, [this](const Registration& r) { return r.transport == this; });
    if (replacement == this)
        replacement = nullptr;
    d_.reset();
}

bool DBusTransport::connected() const
{
    return d_->conn.isConnected() && d_->registered;
}

QString DBusTransport::uniqueName() const
{
    return d_->conn.baseService();
}

QString DBusTransport::lastError() const
{
    if (!d_->conn.isConnected())
        return d_->conn.lastError().message();
    return d_->registered ? QString() : QStringLiteral("the object tree is taken");
}

HRESULT DBusTransport::registerClassObject(REFCLSID clsid, IUnknown* object, bool ownBusName)
{
    if (!connected())
        return E_FAIL;
    const QString path = QString::fromStdString(classObjectPath(clsid));
    Impl::ClassExport& c = d_->classes[path];
    c.clsid = clsid;
    c.busName = busNameForClass(clsid);
    c.object = ComPtr<IUnknown>(object);
    if (ownBusName && !c.ownsName) {
        c.ownsName = d_->conn.registerService(QString::fromStdString(c.busName));
        if (!c.ownsName) {
            qCWarning(lcBus, "the bus name %s belongs to another process: %s", c.busName.c_str(),
                      qPrintable(d_->conn.lastError().message()));
            return E_FAIL;
        }
    }
    return S_OK;
}

void DBusTransport::revokeClassObject(REFCLSID clsid)
{
    const auto it = d_->classes.find(QString::fromStdString(classObjectPath(clsid)));
    if (it == d_->classes.end())
        return;
    if (it->second.ownsName)
        d_->conn.unregisterService(QString::fromStdString(it->second.busName));
    d_->classes.erase(it);
}

HRESULT DBusTransport::getClassObject(const QString& busName, REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_INVALIDARG;
    *ppv = nullptr;
    if (!d_->onOwnThread())
        return RPC_E_WRONG_THREAD;
    if (!connected())
        return CO_E_SERVER_EXEC_FAILURE;
    QDBusMessage msg = QDBusMessage::createMethodCall(busName, QString::fromStdString(classObjectPath(clsid)), unknownInterface(),
                                                      QStringLiteral("GetClassObject"));
    msg << QString::fromStdString(guidToString(riid));
    msg.setAutoStartService(true);
    const QDBusMessage reply = d_->callAndServe(msg, d_->activationTimeout);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qCWarning(lcBus, "%s: %s", qPrintable(busName), qPrintable(reply.errorMessage()));
        return CO_E_SERVER_EXEC_FAILURE;
    }
    const QVariantList values = reply.arguments();
    if (values.isEmpty() || values[0].metaType() != QMetaType::fromType<int>())
        return CO_E_SERVER_EXEC_FAILURE;
    const HRESULT hr = values[0].toInt();
    if (FAILED(hr))
        return hr;
    if (reply.signature() != QLatin1String("i(sot)"))
        return CO_E_SERVER_EXEC_FAILURE;
    Impl::Marshaller marshaller(*d_, reply.service());
    bus::WireContext ctx{&marshaller, &riid};
    alignas(16) std::byte ptr[sizeof(void*)] = {};
    if (const HRESULT dhr = bus::decodeArg(values[1], WireType::Itf, ptr, ctx); FAILED(dhr))
        return dhr;
    std::memcpy(ppv, ptr, sizeof(void*));
    return *ppv ? S_OK : CO_E_SERVER_EXEC_FAILURE;
}

void DBusTransport::disconnectObject(IUnknown* object)
{
    if (object)
        d_->disconnectObject(object);
}

void DBusTransport::setCallTimeout(int ms)
{
    d_->callTimeout = ms;
}

void DBusTransport::setCallbackTimeout(int ms)
{
    d_->callbackTimeout = ms;
}

void DBusTransport::setActivationTimeout(int ms)
{
    d_->activationTimeout = ms;
}

std::size_t DBusTransport::exportedObjects() const
{
    return d_->exports.size();
}

unsigned long DBusTransport::referencesHeldBy(const QString& peer) const
{
    unsigned long n = 0;
    for (const auto& [id, e] : d_->exports)
        if (const auto it = e->refs.find(peer); it != e->refs.end())
            n += it->second;
    return n;
}

std::size_t DBusTransport::proxyCount() const
{
    return d_->proxies.size();
}

bool DBusTransport::callbacksSuspended(const QString& peer) const
{
    const auto it = d_->peers.find(peer);
    return it != d_->peers.end() && it->second.stalled;
}

std::size_t DBusTransport::callbacksInFlight(const QString& peer) const
{
    if (peer.isEmpty()) {
        std::size_t n = 0;
        for (const auto& [name, p] : d_->peers)
            n += p.inFlight;
        return n;
    }
    const auto it = d_->peers.find(peer);
    return it == d_->peers.end() ? 0 : it->second.inFlight;
}

// ---------------------------------------------------------------------------------------
// The process's transport and the runtime's registrations

DBusTransport* processTransport()
{
    if (replacement)
        return replacement;
    if (sessionTransport || sessionTried || !onMainThread())
        return sessionTransport.get();
    sessionTried = true;
    auto t = std::make_unique<DBusTransport>();
    if (!t->connected()) {
        qCWarning(lcBus, "no session bus (%s): classes are served to this process only", qPrintable(t->lastError()));
        return nullptr;
    }
    sessionTransport = std::move(t);
    // Gone before the application object: the connection needs it.
    qAddPostRoutine([] {
        std::erase_if(registrations, [](const Registration& r) { return r.transport == sessionTransport.get(); });
        sessionTransport.reset();
    });
    return sessionTransport.get();
}

void setProcessTransport(DBusTransport* transport)
{
    replacement = transport;
}

namespace bus {

namespace {

// The bus is the main thread's: what another thread asks for is done there, in order.
template <class F>
bool laterOnMainThread(F f)
{
    if (onMainThread())
        return false;
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(f), Qt::QueuedConnection);
    return true;
}

}  // namespace

void classRegistered(REFCLSID clsid, DWORD cookie)
{
    if (laterOnMainThread([clsid, cookie] { classRegistered(clsid, cookie); }))
        return;
    DBusTransport* t = processTransport();
    if (!t)
        return;
    // The earliest registration of a class answers; the bus name is taken once.
    const bool first = std::none_of(registrations.begin(), registrations.end(),
                                    [&](const Registration& r) { return r.clsid == clsid && r.transport == t; });
    registrations.push_back({cookie, clsid, t});
    if (first && FAILED(t->registerClassObject(clsid, nullptr, true)))
        qCWarning(lcBus, "%s is served to this process only", guidToString(clsid).c_str());
}

void classRevoked(DWORD cookie)
{
    if (laterOnMainThread([cookie] { classRevoked(cookie); }))
        return;
    const auto it = std::find_if(registrations.begin(), registrations.end(), [&](const Registration& r) { return r.cookie == cookie; });
    if (it == registrations.end())
        return;
    const Registration r = *it;
    registrations.erase(it);
    const bool last = std::none_of(registrations.begin(), registrations.end(),
                                   [&](const Registration& o) { return o.clsid == r.clsid && o.transport == r.transport; });
    if (last)
        r.transport->revokeClassObject(r.clsid);
}

HRESULT classObjectOverBus(REFCLSID clsid, REFIID riid, void** ppv)
{
    const auto name = classesRoot().value(u"CLSID\\" + guidToWString(clsid) + u"\\LocalServer32", kBusNameValue);
    if (!name || name->empty())
        return REGDB_E_CLASSNOTREG;
    DBusTransport* t = processTransport();
    if (!t)
        return CO_E_SERVER_EXEC_FAILURE;
    return t->getClassObject(QString::fromStdU16String(*name), clsid, riid, ppv);
}

void objectDisconnected(IUnknown* object)
{
    if (laterOnMainThread([hold = ComPtr<IUnknown>(object)] { objectDisconnected(hold.get()); }))
        return;
    for (DBusTransport::Impl* t : std::vector<DBusTransport::Impl*>(liveTransports))
        t->disconnectObject(object);
}

}  // namespace bus

}  // namespace com

#include "dbus_transport.moc"

#pragma once
// A message bus of the test program's own, so that no test ever reaches the user's session bus:
// a dbus-daemon started at the first use on a temporary configuration (with its own folder of
// service files) and ended with the program. Without dbus-daemon the bus of dbus-run-session
// serves when VX_PRIVATE_BUS=1 says that the environment's bus is a private one.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/dbus_names.h"
#include "tests/private_bus.h"

namespace comtest {

// The program's own bus, or, without dbus-daemon, the environment's bus when VX_PRIVATE_BUS=1
// says that it is a private one.
class PrivateBus {
public:
    PrivateBus()
    {
        if (!vxtest::PrivateBus::daemon().isEmpty()) {
            own_.emplace();
            address_ = own_->address();
            error_ = own_->error();
        } else if (qEnvironmentVariable("VX_PRIVATE_BUS") == QLatin1String("1") && !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
            address_ = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        } else {
            error_ = "no dbus-daemon, and no private bus given (VX_PRIVATE_BUS=1 with dbus-run-session)";
        }
    }

    const QString& address() const { return address_; }
    const std::string& error() const { return error_; }
    // Where the bus finds service files; empty for a bus it did not start itself.
    QString serviceDir() const { return own_ && !own_->address().isEmpty() ? own_->serviceDir() : QString(); }

private:
    std::optional<vxtest::PrivateBus> own_;
    QString address_;
    std::string error_;
};

inline PrivateBus& privateBus()
{
    static PrivateBus bus;
    return bus;
}

// Runs the event loop until done() holds or a generous bound passes; whether it holds.
inline bool waitFor(const std::function<bool()>& done, int boundMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > boundMs)
            return false;
        // Wakes for every event and at least every few milliseconds to look again.
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// --- a hand-written client: what a process that sends what it likes does

struct RawVariant {
    ushort vt = 0;
    QDBusVariant value;
};
inline QDBusArgument& operator<<(QDBusArgument& a, const RawVariant& v)
{
    a.beginStructure();
    a << v.vt << v.value;
    a.endStructure();
    return a;
}
inline const QDBusArgument& operator>>(const QDBusArgument& a, RawVariant& v)
{
    a.beginStructure();
    a >> v.vt >> v.value;
    a.endStructure();
    return a;
}

inline QVariant refArg(const QString& owner, const QString& path, qulonglong mask)
{
    QDBusArgument a;
    a.beginStructure();
    a << owner << QDBusObjectPath(path) << mask;
    a.endStructure();
    return QVariant::fromValue(a);
}

struct Ref {
    QString owner;
    QString path;
    qulonglong mask = 0;
};

// A process of its own on the bus that calls by hand and answers calls only when told to.
class RawPeer : public QDBusVirtualObject {
public:
    explicit RawPeer(const QString& address)
        : name_(QStringLiteral("raw-peer-%1").arg(++counter)), conn_(QDBusConnection::connectToBus(address, name_))
    {
        conn_.registerVirtualObject(QStringLiteral("/"), this, QDBusConnection::SubPath);
    }
    ~RawPeer() override
    {
        conn_.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus(name_);
    }

    bool answer = true;
    std::vector<QDBusMessage> received;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override
    {
        received.push_back(m);
        if (answer)
            c.send(m.createReply(QVariantList{QVariant::fromValue(0)}));
        return true;
    }
    std::size_t count(const QString& member) const
    {
        return std::count_if(received.begin(), received.end(), [&](const QDBusMessage& m) { return m.member() == member; });
    }

    QString uniqueName() const { return conn_.baseService(); }

    QDBusMessage call(const QString& service, const QString& path, const QString& itf, const QString& member, const QVariantList& args)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, QLatin1String(com::kInterfacePrefix) + itf, member);
        m.setArguments(args);
        QDBusPendingCall pending = conn_.asyncCall(m, 10000);
        waitFor([&] { return pending.isFinished(); });
        return pending.reply();
    }
    static std::int32_t result(const QDBusMessage& reply)
    {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return static_cast<std::int32_t>(0x8000FFFF);
        return reply.arguments()[0].toInt();
    }
    static Ref ref(const QDBusMessage& reply, int index)
    {
        Ref r;
        const QDBusArgument a = reply.arguments().value(index).value<QDBusArgument>();
        QDBusObjectPath path;
        a.beginStructure();
        a >> r.owner >> path >> r.mask;
        a.endStructure();
        r.path = path.path();
        return r;
    }
    void send(const QDBusMessage& m) { conn_.send(m); }

private:
    static inline int counter = 0;
    QString name_;
    QDBusConnection conn_;
};

}  // namespace comtest

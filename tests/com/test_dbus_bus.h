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
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/com/dbus_names.h"

namespace comtest {

class PrivateBus {
public:
    PrivateBus()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) {
            if (qEnvironmentVariable("VX_PRIVATE_BUS") == QLatin1String("1") && !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
                address_ = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
            else
                error_ = "no dbus-daemon, and no private bus given (VX_PRIVATE_BUS=1 with dbus-run-session)";
            return;
        }
        if (!dir_.isValid() || !QDir(dir_.path()).mkpath(QStringLiteral("services"))) {
            error_ = "no temporary folder";
            return;
        }
        QFile config(dir_.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly)) {
            error_ = "cannot write the bus configuration";
            return;
        }
        config.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">1000000000</limit>
  <limit name="max_replies_per_connection">50000</limit>
  <limit name="max_match_rules_per_connection">50000</limit>
  <limit name="service_start_timeout">120000</limit>
</busconfig>
)")
                         .arg(dir_.path())
                         .toUtf8());
        config.close();
        const std::string program = daemon.toStdString();
        const std::string configArg = "--config-file=" + config.fileName().toStdString();
        int out[2];
        if (::pipe(out) != 0) {
            error_ = "no pipe";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // Ends with the test program, whatever way that ends.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            ::execl(program.c_str(), "dbus-daemon", configArg.c_str(), "--nofork", "--print-address=1", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c = 0;
        pollfd p{out[0], POLLIN, 0};
        while (::poll(&p, 1, 20000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        if (line.empty()) {
            error_ = "dbus-daemon gave no address";
            return;
        }
        address_ = QString::fromStdString(line);
    }
    ~PrivateBus()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const QString& address() const { return address_; }
    const std::string& error() const { return error_; }
    // Where the bus finds service files; empty for a bus it did not start itself.
    QString serviceDir() const { return pid_ > 0 ? dir_.filePath(QStringLiteral("services")) : QString(); }

private:
    QTemporaryDir dir_;
    QString address_;
    std::string error_;
    pid_t pid_ = -1;
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

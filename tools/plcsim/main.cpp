// plcsim: plays PLCs on a pseudo-terminal and on request over UDP and TCP at one or more
// loopback addresses, until killed or for a set time. Prints the device to give the server
// as its COM port and the addresses it answers at; takes commands on stdin.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/plcsim/commands.h"
#include "tools/plcsim/transports.h"

namespace {

char linkPath[4096];

void onSignal(int)
{
    if (linkPath[0])
        ::unlink(linkPath);  // async-signal-safe, unlike everything Qt would do
    ::_exit(0);
}

int fail(const std::string& text)
{
    std::fprintf(stderr, "plcsim: %s\n", text.c_str());
    return 2;
}

// One PLC address with its own stations and transports.
struct Host {
    std::string address;
    std::unique_ptr<plcsim::Simulator> own;  // null for the serial line's, which it shares
    plcsim::Simulator* sim = nullptr;
    std::unique_ptr<plcsim::UdpTransport> udp;
    std::unique_ptr<plcsim::TcpTransport> tcp;
};

// Bus addresses in text to stations of sim; false with why on a bad one.
bool addStations(plcsim::Simulator& sim, const QStringList& addresses, const QString& identity, std::string& why)
{
    for (const QString& a : addresses) {
        bool ok = false;
        const int n = a.trimmed().toInt(&ok);
        if (!ok || n < 0 || n > 255) {
            why = "bus address '" + a.toStdString() + "' is not 0 to 255";
            return false;
        }
        try {
            plcsim::Station& st = sim.addStation(static_cast<std::uint8_t>(n));
            if (!identity.isNull())
                st.setIdentity(identity.toStdString());
        } catch (const std::exception& e) {
            why = e.what();
            return false;
        }
    }
    return true;
}

std::uint16_t portOf(const QString& text, bool& ok)
{
    const uint n = text.toUInt(&ok);
    ok = ok && n <= 65535;
    return static_cast<std::uint16_t>(n);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("plcsim");
    QCommandLineParser args;
    args.setApplicationDescription("PLC simulator on a pseudo-terminal, and over UDP and TCP at loopback addresses.");
    args.addHelpOption();
    args.addOptions({
        {{"s", "station"}, "Bus address of a PLC to play (repeatable; default 2).", "address"},
        {"plc",
         "A PLC address on loopback with its own stations, e.g. 127.0.0.2=2,3 (repeatable; without the list the "
         "--station ones). Default: 127.0.0.1 with the serial line's stations; with --plc the serial line keeps "
         "its own, which commands reach as @serial.",
         "address[=bus,...]"},
        {"identity", "Identity text of every PLC (14 characters).", "text"},
        {"latency", "Answer after this many milliseconds.", "ms"},
        {"udp", "Also answer UDP datagrams at this port of every PLC address (61682 for the server; 0 any).", "port"},
        {"tcp", "Also answer TCP connections at this port of every PLC address (0 any).", "port"},
        {"link", "Make a symbolic link to the serial device here.", "path"},
        {"exit-after", "End by itself after this many seconds.", "seconds"},
        {"follow-parent", "End when the process that started it ends."},
        {{"v", "verbose"}, "Print every request."},
    });
    args.process(app);

    if (args.isSet("follow-parent")) {
        const pid_t parent = ::getppid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            return 0;  // it ended before we could follow it
    }

    const QString identity = args.isSet("identity") ? args.value("identity") : QString();
    QStringList addresses = args.values("station");
    if (addresses.isEmpty())
        addresses << "2";
    std::string why;
    plcsim::Simulator serial;
    if (!addStations(serial, addresses, identity, why))
        return fail(why);

    std::vector<Host> hosts;
    for (const QString& spec : args.values("plc")) {
        Host h;
        const qsizetype eq = spec.indexOf('=');
        h.address = spec.left(eq).toStdString();
        const QHostAddress a(QString::fromStdString(h.address));
        if (a.isNull() || !a.isLoopback())
            return fail("'" + h.address + "' is not a loopback address");
        for (const Host& other : hosts)
            if (other.address == h.address)
                return fail("PLC address " + h.address + " given twice");
        h.own = std::make_unique<plcsim::Simulator>();
        h.sim = h.own.get();
        if (!addStations(*h.sim, eq < 0 ? addresses : spec.mid(eq + 1).split(','), identity, why))
            return fail(h.address + ": " + why);
        hosts.push_back(std::move(h));
    }
    if (hosts.empty())
        hosts.push_back(Host{"127.0.0.1", nullptr, &serial, nullptr, nullptr});

    auto say = [](const std::string& line) { std::printf("%s\n", line.c_str()), std::fflush(stdout); };
    if (args.isSet("verbose")) {
        serial.onLog = say;
        for (Host& h : hosts)
            h.sim->onLog = say;
    }

    int latency = 0;
    if (args.isSet("latency")) {
        bool ok = false;
        latency = args.value("latency").toInt(&ok);
        if (!ok || latency < 0)
            return fail("latency '" + args.value("latency").toStdString() + "' is not a number of milliseconds");
    }
    int lifetime = 0;
    if (args.isSet("exit-after")) {
        bool ok = false;
        lifetime = args.value("exit-after").toInt(&ok);
        if (!ok || lifetime <= 0 || lifetime > 24 * 3600)
            return fail("exit-after '" + args.value("exit-after").toStdString() + "' is not 1 to 86400 seconds");
    }

    plcsim::PtyTransport pty(serial);
    try {
        pty.open();
        for (Host& h : hosts) {
            bool ok = true;
            if (args.isSet("udp")) {
                const std::uint16_t port = portOf(args.value("udp"), ok);
                if (!ok)
                    return fail("UDP port '" + args.value("udp").toStdString() + "' is not 0 to 65535");
                h.udp = std::make_unique<plcsim::UdpTransport>(*h.sim);
                h.udp->setRecordLimit(1000);  // only the counts are shown here
                h.udp->listen(port, h.address);
            }
            if (args.isSet("tcp")) {
                const std::uint16_t port = portOf(args.value("tcp"), ok);
                if (!ok)
                    return fail("TCP port '" + args.value("tcp").toStdString() + "' is not 0 to 65535");
                h.tcp = std::make_unique<plcsim::TcpTransport>(*h.sim);
                h.tcp->setRecordLimit(1000);
                h.tcp->listen(port, h.address);
            }
        }
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::vector<plcsim::Target> targets;
    auto setLatency = [&](int ms) {
        pty.setLatencyMs(ms);
        for (Host& h : hosts) {
            if (h.udp)
                h.udp->setLatencyMs(ms);
            if (h.tcp)
                h.tcp->setLatencyMs(ms);
        }
    };
    setLatency(latency);
    for (Host& h : hosts)
        targets.push_back({h.address, h.sim, h.udp.get(), h.tcp.get(), setLatency});
    if (hosts.front().own)
        targets.push_back({"serial", &serial, nullptr, nullptr, setLatency});

    if (args.isSet("link")) {
        const std::string path = args.value("link").toStdString();
        if (path.size() >= sizeof linkPath)
            return fail("link path too long");
        ::unlink(path.c_str());
        if (::symlink(pty.slavePath().c_str(), path.c_str()) != 0)
            return fail("cannot link " + path + ": " + std::strerror(errno));
        std::strcpy(linkPath, path.c_str());
    }
    ::signal(SIGINT, onSignal);
    ::signal(SIGTERM, onSignal);
    ::signal(SIGHUP, onSignal);

    std::printf("serial %s\n", pty.slavePath().c_str());
    if (linkPath[0])
        std::printf("link %s\n", linkPath);
    for (const Host& h : hosts) {
        if (h.udp)
            std::printf("udp %s:%u\n", h.address.c_str(), static_cast<unsigned>(h.udp->port()));
        if (h.tcp)
            std::printf("tcp %s:%u\n", h.address.c_str(), static_cast<unsigned>(h.tcp->port()));
        if (h.own) {
            std::string list;
            for (int bus = 0; bus < 256; ++bus)
                if (h.sim->station(static_cast<std::uint8_t>(bus)))
                    list += (list.empty() ? "" : ", ") + std::to_string(bus);
            std::printf("stations at %s: %s\n", h.address.c_str(), list.c_str());
        }
    }
    std::printf("stations %s; type help for commands\n", addresses.join(", ").toStdString().c_str());
    std::fflush(stdout);

    if (lifetime > 0)
        QTimer::singleShot(lifetime * 1000, &app, [] { onSignal(0); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[512];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);  // stdin closed: serve on
            return;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            const std::string reply = plcsim::runCommand(targets, pending.substr(0, eol));
            pending.erase(0, eol + 1);
            if (!reply.empty())
                std::printf("%s\n", reply.c_str()), std::fflush(stdout);
        }
        if (pending.size() > 4096)
            pending.clear();  // no line is that long
    });
    return app.exec();
}

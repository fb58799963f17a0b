// plcsim: plays PLCs on a pseudo-terminal (and on request UDP and TCP on 127.0.0.1) until
// killed. Prints the device to give the server as its COM port; takes commands on stdin.
#include <signal.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

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

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("plcsim");
    QCommandLineParser args;
    args.setApplicationDescription("PLC simulator on a pseudo-terminal, UDP and TCP (127.0.0.1).");
    args.addHelpOption();
    args.addOptions({
        {{"s", "station"}, "Bus address of a PLC to play (repeatable; default 2).", "address"},
        {"identity", "Identity text of every PLC (14 characters).", "text"},
        {"latency", "Answer after this many milliseconds.", "ms"},
        {"udp", "Also answer UDP datagrams on 127.0.0.1:port (61682 for the server).", "port"},
        {"tcp", "Also answer TCP connections on 127.0.0.1:port.", "port"},
        {"link", "Make a symbolic link to the serial device here.", "path"},
        {{"v", "verbose"}, "Print every request."},
    });
    args.process(app);

    plcsim::Simulator sim;
    QStringList addresses = args.values("station");
    if (addresses.isEmpty())
        addresses << "2";
    for (const QString& a : addresses) {
        bool ok = false;
        const int n = a.toInt(&ok);
        if (!ok || n < 0 || n > 255)
            return fail("bus address '" + a.toStdString() + "' is not 0 to 255");
        try {
            plcsim::Station& st = sim.addStation(static_cast<std::uint8_t>(n));
            if (args.isSet("identity"))
                st.setIdentity(args.value("identity").toStdString());
        } catch (const std::exception& e) {
            return fail(e.what());
        }
    }
    if (args.isSet("verbose"))
        sim.onLog = [](const std::string& line) { std::printf("%s\n", line.c_str()), std::fflush(stdout); };

    int latency = 0;
    if (args.isSet("latency")) {
        bool ok = false;
        latency = args.value("latency").toInt(&ok);
        if (!ok || latency < 0)
            return fail("latency '" + args.value("latency").toStdString() + "' is not a number of milliseconds");
    }

    plcsim::PtyTransport pty(sim);
    std::unique_ptr<plcsim::UdpTransport> udp;
    std::unique_ptr<plcsim::TcpTransport> tcp;
    try {
        pty.open();
        if (args.isSet("udp")) {
            udp = std::make_unique<plcsim::UdpTransport>(sim);
            udp->listen(static_cast<std::uint16_t>(args.value("udp").toUInt()));
        }
        if (args.isSet("tcp")) {
            tcp = std::make_unique<plcsim::TcpTransport>(sim);
            tcp->listen(static_cast<std::uint16_t>(args.value("tcp").toUInt()));
        }
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    auto setLatency = [&](int ms) {
        pty.setLatencyMs(ms);
        if (udp)
            udp->setLatencyMs(ms);
        if (tcp)
            tcp->setLatencyMs(ms);
    };
    setLatency(latency);

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
    if (udp)
        std::printf("udp 127.0.0.1:%u\n", static_cast<unsigned>(udp->port()));
    if (tcp)
        std::printf("tcp 127.0.0.1:%u\n", static_cast<unsigned>(tcp->port()));
    std::printf("stations %s; type help for commands\n", addresses.join(", ").toStdString().c_str());
    std::fflush(stdout);

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
            const std::string reply = plcsim::runCommand(sim, pending.substr(0, eol), setLatency);
            pending.erase(0, eol + 1);
            if (!reply.empty())
                std::printf("%s\n", reply.c_str()), std::fflush(stdout);
        }
    });
    return app.exec();
}

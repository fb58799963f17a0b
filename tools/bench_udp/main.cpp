// bench_udp: how many telegrams per second the UDP channel carries against the simulator.
//
// The PLC simulator runs in a child process pinned to a core of its own, with a plain
// blocking UDP socket at 127.0.0.2 and no event loop, and answers every datagram at once.
// The channel runs in this process, pinned to another core, on its own socket at 127.0.0.1
// at the same port number. Every station has its variables read only when asked, and every
// finished read asks for its twin variable, so that each station always has a read
// waiting: the channel packs them into datagrams of up to five telegrams and keeps one
// datagram in flight per station. Counted over a window after a warm-up: telegrams answered
// good (the channel's count), the datagrams and telegrams the simulator received, and this
// process's CPU time. With --comlog the communication log runs with its list and its files
// (in a temporary folder), to set beside the figures without it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_comlog.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_station.h"
#include "comm/vx_udp.h"
#include "comm/vx_variable.h"
#include "platform/port/udp.h"
#include "tools/bench_common/bench_common.h"
#include "tools/plcsim/simulator.h"
#include "tools/plcsim/telegram.h"

namespace {

struct Options {
    int stations = 40;
    int variables = 4;  // pairs per station, each variable a separate item
    int warmupMs = 1000;
    int windowMs = 5000;
    int serverCpu = 0;
    int simCpu = 1;
    bool comLog = false;  // ComLogging and ComLogToFile on
    int comLines = 1000;  // NumOfComLines with --comlog
};

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_udp [--stations N (1-200)] [--variables PAIRS (1-20)] [--warmup MS] [--window MS]\n"
                 "                 [--server-cpu N] [--sim-cpu N] [--comlog [--com-lines N]]\n");
    return 2;
}

struct SimCounts {
    std::uint64_t datagrams = 0;
    std::uint64_t telegrams = 0;
};

// The child: answers datagrams until told to stop; a byte on `control` marks the start and
// then the end of the window, whose counts go to `out`.
[[noreturn]] void servePlcs(const Options& opt, int control, int out)
{
    if (!bench::pinToCpu(opt.simCpu))
        std::fprintf(stderr, "bench_udp: the simulator could not be pinned to cpu %d\n", opt.simCpu);
    plcsim::Simulator sim;
    for (int i = 0; i < opt.stations; ++i)
        sim.addStation(static_cast<std::uint8_t>(2 + i)).setIdentity("HLX-7R  BENCH");
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = 0;
    ::inet_pton(AF_INET, "127.0.0.2", &at.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        ::_exit(3);
    socklen_t len = sizeof at;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
    const std::uint16_t port = ntohs(at.sin_port);
    bench::writeAll(out, &port, sizeof port);

    SimCounts total, atStart;
    int marks = 0;
    std::vector<std::uint8_t> buf(65536);
    pollfd p[2] = {{fd, POLLIN, 0}, {control, POLLIN, 0}};
    for (;;) {
        if (::poll(p, 2, 10000) <= 0)
            ::_exit(4);  // the server went silent
        if (p[1].revents) {
            char c = 0;
            if (::read(control, &c, 1) <= 0)
                ::_exit(0);
            if (++marks == 1) {
                atStart = total;
            } else {
                const SimCounts window{total.datagrams - atStart.datagrams, total.telegrams - atStart.telegrams};
                bench::writeAll(out, &window, sizeof window);
                ::_exit(0);
            }
        }
        if (!p[0].revents)
            continue;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n <= 0)
            continue;
        const plcsim::Bytes request(buf.begin(), buf.begin() + n);
        ++total.datagrams;
        if (const auto d = plcsim::parseDatagram(request))
            total.telegrams += d->telegrams.size();
        const plcsim::Bytes answer = sim.answerDatagram(request);
        if (!answer.empty())
            ::sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!bench::parseArguments(argc, argv,
                               {{"--stations", &opt.stations}, {"--variables", &opt.variables},
                                {"--warmup", &opt.warmupMs}, {"--window", &opt.windowMs},
                                {"--server-cpu", &opt.serverCpu}, {"--sim-cpu", &opt.simCpu},
                                {"--com-lines", &opt.comLines, 1}},
                               {{"--comlog", &opt.comLog, true}}))
        return usage();
    if (opt.stations < 1 || opt.stations > 200 || opt.variables < 1 || opt.variables > 20 || opt.windowMs < 100)
        return usage();

    bench::Child child;
    if (!child.start(true, [&](int control, int out) { servePlcs(opt, control, out); }))
        return 1;
    std::uint16_t port = 0;
    if (!bench::readAll(child.results, &port, sizeof port)) {
        std::fprintf(stderr, "bench_udp: the simulator did not start\n");
        return 1;
    }
    if (!bench::pinToCpu(opt.serverCpu))
        std::fprintf(stderr, "bench_udp: the server could not be pinned to cpu %d\n", opt.serverCpu);

    QCoreApplication app(argc, argv);
    plat::mxUDPSocket::SetBindAddress("127.0.0.1");
    vx::InitializeComm();
    vx::UdpSocket->SetPortNumber(port);
    bench::setCommDefaults(0);
    // The log files go to a folder of their own that goes with the run.
    QTemporaryDir logDir;
    if (opt.comLog) {
        if (!logDir.isValid()) {
            std::fprintf(stderr, "bench_udp: no temporary folder for the log files\n");
            return 1;
        }
        const std::string folder = logDir.path().toStdString();
        vx::TComLogEnv env;
        env.ProgramDir = [folder] { return folder; };
        vx::SetComLogEnv(env);
        vx::ComLogging = true;
        vx::ComLogToFile = true;
        vx::NumOfComLines = opt.comLines;
    }

    // Variables in pairs: a finished read asks for its twin (the variable itself still counts
    // its read as pending while its hook runs).
    std::vector<vx::TVariable*> vars;
    std::map<vx::TVariable*, vx::TVariable*> twin;
    for (int i = 0; i < opt.stations; ++i) {
        vx::TStation* st = vx::StationList->AddStation();
        st->Name = "PLC" + std::to_string(2 + i);
        st->Primary->ConnectionType = vx::ctUdp;
        st->Primary->IPAddress = "127.0.0.2";
        st->Primary->BusAddress = 2 + i;
        st->Primary->Timeout = 1000;
        vx::UdpSocket->AddStation(st);
        for (int k = 0; k < opt.variables; ++k) {
            vx::TVariable* pair[2];
            for (int j = 0; j < 2; ++j)  // addresses apart: one item each
                pair[j] = bench::addPolledVariable(st, "V" + std::to_string(k) + "_" + std::to_string(j),
                                                   100 + 20 * k + 10 * j);
            twin[pair[0]] = pair[1];
            twin[pair[1]] = pair[0];
            vars.push_back(pair[0]);
        }
    }
    vx::OnVariableRequestDone = [&twin](vx::TVariable* v) {
        const auto it = twin.find(v);
        if (it != twin.end() && v->GetStation()->State == vx::ssConnected) {
            bool finished = false;
            it->second->RequestRead(finished);
        }
    };

    std::int64_t telegramsAtStart = 0, telegramsAtEnd = 0;
    double cpuAtStart = 0, cpuAtEnd = 0;
    std::chrono::steady_clock::time_point startAt, endAt;
    // Once connected, every variable asks for its first read.
    QTimer kick;
    kick.setInterval(5);
    QObject::connect(&kick, &QTimer::timeout, &app, [&] {
        for (const auto& st : *vx::StationList)
            if (st->State != vx::ssConnected)
                return;
        kick.stop();
        for (vx::TVariable* v : vars) {
            bool finished = false;
            v->RequestRead(finished);
        }
        QTimer::singleShot(opt.warmupMs, &app, [&] {
            char mark = 1;
            bench::writeAll(child.control, &mark, 1);
            startAt = std::chrono::steady_clock::now();
            telegramsAtStart = vx::UdpSocket->GoodAnswers;
            cpuAtStart = bench::cpuSeconds();
            QTimer::singleShot(opt.windowMs, &app, [&] {
                endAt = std::chrono::steady_clock::now();
                telegramsAtEnd = vx::UdpSocket->GoodAnswers;
                cpuAtEnd = bench::cpuSeconds();
                bench::writeAll(child.control, &mark, 1);
                app.quit();
            });
        });
    });
    kick.start();
    QTimer::singleShot(60000 + opt.warmupMs + opt.windowMs, &app, [&] { app.quit(); });
    vx::CommServer->StartCommunication();
    app.exec();
    const std::int32_t bad = vx::UdpSocket->BadAnswers;
    const std::int32_t timeouts = vx::UdpSocket->Timeouts;
    vx::OnVariableRequestDone = nullptr;
    vx::CommServer->StopCommunication();
    vx::FinalizeComm();
    qint64 logBytes = 0;
    int logFiles = 0;
    if (opt.comLog) {
        for (const QFileInfo& f : QDir(logDir.path()).entryInfoList(QDir::Files)) {
            logBytes += f.size();
            ++logFiles;
        }
        vx::SetComLogEnv({});
    }

    SimCounts window;
    const bool counted = bench::readAll(child.results, &window, sizeof window);
    child.wait();
    if (!counted || telegramsAtEnd <= telegramsAtStart || window.datagrams == 0) {
        std::fprintf(stderr, "bench_udp: nothing measured (did the stations connect?)\n");
        return 1;
    }
    const double seconds = std::chrono::duration<double>(endAt - startAt).count();
    const auto telegrams = static_cast<double>(telegramsAtEnd - telegramsAtStart);
    const double perDatagram = static_cast<double>(window.telegrams) / static_cast<double>(window.datagrams);
    std::printf("stations: %d at 127.0.0.2; variables: %d four-byte ones per station in twin pairs, %d read at a "
                "time (one telegram of %d items per station and round)\n",
                opt.stations, 2 * opt.variables, opt.variables, opt.variables);
    std::printf("window: %.3f s after %d ms of warm-up; server on cpu %d, simulator on cpu %d\n", seconds,
                opt.warmupMs, opt.serverCpu, opt.simCpu);
    std::printf("telegrams per second: %.0f (%.0f answered good)\n", telegrams / seconds, telegrams);
    std::printf("datagrams per second: %.0f (simulator: %llu datagrams, %llu telegrams in the window)\n",
                telegrams / perDatagram / seconds, static_cast<unsigned long long>(window.datagrams),
                static_cast<unsigned long long>(window.telegrams));
    std::printf("telegrams per datagram: %.2f\n", perDatagram);
    std::printf("server cpu time per telegram: %.2f us (%.3f s cpu in the window)\n",
                (cpuAtEnd - cpuAtStart) * 1e6 / telegrams, cpuAtEnd - cpuAtStart);
    std::printf("answers over the whole run: %d bad, %d time-outs\n", bad, timeouts);
    if (opt.comLog)
        std::printf("communication log: list of %d lines and files on; %d file(s), %lld bytes over the whole run\n",
                    opt.comLines, logFiles, static_cast<long long>(logBytes));
    else
        std::printf("communication log: off\n");
    return 0;
}

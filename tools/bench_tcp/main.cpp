// bench_tcp: how many requests the TCP channel turns around per second, on one connection
// and over eight channels (eight PLC addresses) side by side.
//
// The PLCs are the simulator in a child process, with plain blocking sockets and no event
// loop, listening on 127.0.0.2 and up, one address per channel. It answers every request at
// once and notes, per connection, when the last byte of an answer left it and when the first
// byte of the next request came; the difference is the channel's turnaround (its event loop,
// the port layer, the checks, applying the answer, settling the unit and sending the next
// request), plus the loopback's own delay both ways. Each station keeps exactly one read
// waiting: every finished read asks for the next. The server and the simulator can be pinned
// to cores of their own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_socket.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "tools/bench_common/bench_common.h"
#include "tools/plcsim/simulator.h"

namespace {

struct Options {
    int requests = 20000;  // per channel and phase
    int warmup = 200;
    int channels = 8;
    int commDelay = 0;
    bool checkTimestamp = true;
    int serverCpu = 0;  // -1: not pinned
    int simCpu = 1;
};

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_tcp [--requests N (at least 1000)] [--warmup N] [--channels N (1 to 200)]\n"
                 "                 [--comm-delay MS] [--no-timestamp] [--server-cpu N|-1] [--sim-cpu N|-1]\n");
    return 2;
}

void pin(int cpu)
{
    if (cpu >= 0 && !bench::pinToCpu(cpu))
        std::fprintf(stderr, "bench_tcp: cannot pin to CPU %d: %s\n", cpu, std::strerror(errno));
}

std::string addressOf(int index) { return "127.0.0." + std::to_string(2 + index); }

// A listening socket at the loopback address, any free port; -1 on failure.
int listenAt(const std::string& address, std::uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = 0;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

// One turnaround sample: the connection (numbered in the order accepted) and nanoseconds.
struct Sample {
    std::int32_t connection;
    std::int64_t ns;
};

// The child: serves every listening socket until `control` closes, then writes its samples
// to `out`.
[[noreturn]] void servePlcs(const std::vector<int>& listeners, int control, int out)
{
    std::vector<std::unique_ptr<plcsim::Simulator>> sims;
    for (std::size_t i = 0; i < listeners.size(); ++i) {
        sims.push_back(std::make_unique<plcsim::Simulator>());
        sims.back()->addStation(2).setIdentity("HLX-7R  BENCH");
    }
    struct Conn {
        int fd;
        std::size_t sim;
        std::int32_t number;
        plcsim::FrameExtractor frames;
        std::int64_t answeredAt = -1;
    };
    std::map<int, Conn> conns;
    std::int32_t accepted = 0;
    std::vector<Sample> samples;
    samples.reserve(1 << 20);
    std::uint8_t buf[4096];
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({control, POLLIN, 0});
        for (int l : listeners)
            fds.push_back({l, POLLIN, 0});
        for (const auto& [fd, c] : conns)
            fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;  // the server is done
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            if (i <= listeners.size()) {
                const int fd = ::accept(fds[i].fd, nullptr, nullptr);
                if (fd < 0)
                    continue;
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                conns.emplace(fd, Conn{fd, i - 1, accepted++, {}, -1});
                continue;
            }
            Conn& c = conns.at(fds[i].fd);
            const ssize_t n = ::read(c.fd, buf, sizeof buf);
            const std::int64_t at = bench::nowNs();
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                ::close(c.fd);
                conns.erase(fds[i].fd);
                continue;
            }
            if (c.answeredAt >= 0 && c.frames.pending() == 0) {
                samples.push_back({c.number, at - c.answeredAt});
                c.answeredAt = -1;
            }
            c.frames.feed(std::span(buf, static_cast<std::size_t>(n)));
            while (auto frame = c.frames.next()) {
                const plcsim::Bytes answer = sims[c.sim]->answer(*frame);
                if (answer.empty())
                    continue;
                // Taken before the write: after it, the server may already have answered
                // while this process waited for the processor.
                c.answeredAt = bench::nowNs();
                if (!bench::writeAll(c.fd, answer.data(), answer.size()))
                    break;
            }
        }
    }
    bench::writeVector(out, samples);
    ::_exit(0);
}

struct PhaseResult {
    int channels = 0;
    std::int64_t reads = 0;
    double seconds = 0;
    double cpu = 0;
    std::int32_t good = 0, bad = 0, timeouts = 0;
    bool complete = false;
};

// One run of the channels against the first `channels` addresses: every station keeps one
// read waiting until each has finished warmup + requests reads.
PhaseResult runPhase(QCoreApplication& app, const Options& opt, int channels, const std::vector<std::uint16_t>& ports)
{
    vx::InitializeComm();
    bench::setCommDefaults(opt.commDelay);
    vx::MaxBadComToReset = 0;
    vx::CheckTimestamp = opt.checkTimestamp;

    struct Load {
        vx::TVariable* vars[2];
        std::int64_t finished = 0;
    };
    std::vector<Load> loads(static_cast<std::size_t>(channels));
    std::map<vx::TVariable*, std::size_t> owner;
    for (int k = 0; k < channels; ++k) {
        vx::TStation* st = vx::StationList->AddStation();
        st->Name = "PLC" + std::to_string(k);
        st->Primary->ConnectionType = vx::ctTcp;
        st->Primary->IPAddress = addressOf(k);
        st->Primary->PortNumber = ports[static_cast<std::size_t>(k)];
        st->Primary->BusAddress = 2;
        st->Primary->Timeout = 1000;
        vx::SocketList->AssignStation(st);
        for (int i = 0; i < 2; ++i) {
            vx::TVariable* v = bench::addPolledVariable(st, "V" + std::to_string(i), 100 + 10 * i);
            loads[static_cast<std::size_t>(k)].vars[i] = v;
            owner[v] = static_cast<std::size_t>(k);
        }
    }
    const std::int64_t perChannel = opt.warmup + opt.requests;
    std::int64_t warm = 0;  // channels past their warm-up
    std::int64_t doneChannels = 0;
    std::int64_t total = 0;
    std::int64_t totalAtStart = 0;
    double cpuAtStart = 0;
    std::chrono::steady_clock::time_point startedAt, endedAt;
    PhaseResult r;
    r.channels = channels;
    vx::OnVariableRequestDone = [&](vx::TVariable* v) {
        const auto it = owner.find(v);
        if (it == owner.end())
            return;  // the time stamp that travels with every read
        Load& l = loads[it->second];
        ++total;
        ++l.finished;
        if (l.finished == opt.warmup && ++warm == channels) {
            startedAt = std::chrono::steady_clock::now();
            totalAtStart = total;
            cpuAtStart = bench::cpuSeconds();
        }
        if (l.finished == perChannel && ++doneChannels == channels) {
            endedAt = std::chrono::steady_clock::now();
            r.reads = total - totalAtStart;
            r.cpu = bench::cpuSeconds() - cpuAtStart;
            r.complete = true;
            QTimer::singleShot(0, &app, [&app] { app.quit(); });
        }
        if (l.finished >= perChannel)
            return;  // this station rests; the others go on
        vx::TVariable* next = v == l.vars[0] ? l.vars[1] : l.vars[0];
        bool finished = false;
        next->RequestRead(finished);
    };
    for (Load& l : loads) {
        bool finished = false;
        l.vars[0]->RequestRead(finished);
    }
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &app, [&app] { app.quit(); });
    bound.start(300000);
    vx::CommServer->StartCommunication();
    app.exec();
    for (const auto& ch : *vx::SocketList) {
        r.good += ch->GoodAnswers;
        r.bad += ch->BadAnswers;
        r.timeouts += ch->Timeouts;
    }
    r.seconds = std::chrono::duration<double>(endedAt - startedAt).count();
    vx::CommServer->StopCommunication();
    vx::OnVariableRequestDone = nullptr;
    vx::FinalizeComm();
    return r;
}

void report(const char* title, const PhaseResult& r, std::vector<double> us)
{
    std::printf("%s: %d channel%s, one station with two 4-byte variables each\n", title, r.channels,
                r.channels == 1 ? "" : "s");
    if (!r.complete) {
        std::printf("  did not finish (answers: %d good, %d bad, %d time-outs)\n", r.good, r.bad, r.timeouts);
        return;
    }
    std::printf("  requests per second: %.0f (%lld reads in %.3f s; %.0f per channel)\n",
                r.seconds > 0 ? static_cast<double>(r.reads) / r.seconds : 0.0, static_cast<long long>(r.reads),
                r.seconds, r.seconds > 0 ? static_cast<double>(r.reads) / r.seconds / r.channels : 0.0);
    std::printf("  server CPU per request: %.1f us (%.3f s)\n",
                r.reads > 0 ? r.cpu * 1e6 / static_cast<double>(r.reads) : 0.0, r.cpu);
    if (!us.empty()) {
        const bench::Summary sum = bench::summarize(us);
        std::printf("  turnaround, last answer byte to first request byte (%zu samples): median %.1f us, "
                    "p99 %.1f us, min %.1f us, max %.1f us, mean %.1f us\n",
                    us.size(), sum.median, sum.p99, sum.min, sum.max, sum.mean);
    }
    std::printf("  answers: %d good, %d bad, %d time-outs\n", r.good, r.bad, r.timeouts);
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!bench::parseArguments(argc, argv,
                               {{"--requests", &opt.requests, 1000}, {"--warmup", &opt.warmup, 1},
                                {"--channels", &opt.channels, 1}, {"--comm-delay", &opt.commDelay, 0},
                                {"--server-cpu", &opt.serverCpu, -1}, {"--sim-cpu", &opt.simCpu, -1}},
                               {{"--no-timestamp", &opt.checkTimestamp, false}}) ||
        opt.channels > 200)
        return usage();

    // Every listening socket before the child takes them over.
    std::vector<int> listeners;
    std::vector<std::uint16_t> ports;
    for (int k = 0; k < opt.channels; ++k) {
        std::uint16_t port = 0;
        const int fd = listenAt(addressOf(k), port);
        if (fd < 0) {
            std::fprintf(stderr, "bench_tcp: cannot listen at %s: %s\n", addressOf(k).c_str(), std::strerror(errno));
            return 1;
        }
        listeners.push_back(fd);
        ports.push_back(port);
    }
    bench::Child child;
    if (!child.start(true, [&](int control, int out) {
            pin(opt.simCpu);
            servePlcs(listeners, control, out);
        }))
        return 1;
    for (int fd : listeners)
        ::close(fd);
    pin(opt.serverCpu);

    QCoreApplication app(argc, argv);
    const PhaseResult one = runPhase(app, opt, 1, ports);
    const PhaseResult many = opt.channels > 1 ? runPhase(app, opt, opt.channels, ports) : PhaseResult{};

    child.closeControl();  // the simulator sends its samples and ends
    const std::vector<Sample> raw = bench::readVector<Sample>(child.results);
    child.wait();

    // Connection 0 is the first phase's; the warm-up of every connection is left out.
    std::map<std::int32_t, std::vector<double>> byConnection;
    for (const Sample& s : raw)
        byConnection[s.connection].push_back(static_cast<double>(s.ns) / 1000.0);
    std::vector<double> first, rest;
    for (auto& [conn, us] : byConnection) {
        if (us.size() <= static_cast<std::size_t>(opt.warmup))
            continue;
        auto& into = conn == 0 ? first : rest;
        into.insert(into.end(), us.begin() + opt.warmup, us.end());
    }
    std::printf("settings: CommDelay %d ms, CheckTimestamp %s, one ReadN of one 4-byte variable per request; "
                "server on CPU %d, simulator on CPU %d\n",
                opt.commDelay, opt.checkTimestamp ? "on" : "off", opt.serverCpu, opt.simCpu);
    report("one connection", one, first);
    if (opt.channels > 1)
        report("side by side", many, rest);
    return one.complete && (opt.channels == 1 || many.complete) ? 0 : 1;
}

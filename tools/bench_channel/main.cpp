// bench_channel: how fast the serial channel turns an answer into its next request.
//
// The PLC simulator runs in a child process on the master side of a pseudo-terminal, with
// blocking reads and no event loop of its own, and answers every request at once. It notes
// when the last byte of each answer left it and when the first byte of the next request
// came; the difference is the channel's turnaround (its event loop, the port layer, the
// checks, applying the answer, settling the packet and sending the next one), plus the
// pseudo-terminal's own delay both ways. The channel keeps exactly one read waiting: every
// finished read asks for the next.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "platform/port/comports.h"
#include "tools/plcsim/simulator.h"

namespace {

struct Options {
    int requests = 2000;
    int warmup = 20;
    int commDelay = 0;
    bool checkTimestamp = true;
};

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_channel [--requests N (at least 1000)] [--warmup N] [--comm-delay MS]\n"
                 "                     [--no-timestamp]\n");
    return 2;
}

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t count)
{
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (errno != EAGAIN)
                return false;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// The child: serves the line until `wanted` turnarounds are measured or the line falls
// silent, then writes them (nanoseconds, one 64-bit number each) to `out`.
[[noreturn]] void servePlc(int master, int out, std::size_t wanted)
{
    plcsim::Simulator sim;
    sim.addStation(2).setIdentity("HLX-7R  BENCH");
    plcsim::FrameExtractor frames;
    std::vector<std::int64_t> turnarounds;
    turnarounds.reserve(wanted);
    std::int64_t answeredAt = -1;
    std::uint8_t buf[1024];
    while (turnarounds.size() < wanted) {
        pollfd p{master, POLLIN, 0};
        const int ready = ::poll(&p, 1, 5000);
        if (ready <= 0)
            break;  // silent for 5 s: the channel stopped
        const ssize_t n = ::read(master, buf, sizeof buf);
        const std::int64_t at = nowNs();
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        if (answeredAt >= 0 && frames.pending() == 0) {
            turnarounds.push_back(at - answeredAt);
            answeredAt = -1;
        }
        frames.feed(std::span(buf, static_cast<std::size_t>(n)));
        while (auto frame = frames.next()) {
            const plcsim::Bytes answer = sim.answer(*frame);
            if (answer.empty())
                continue;
            // Taken before the write: after it, the channel may already have answered
            // while this process waited for the processor.
            answeredAt = nowNs();
            if (!writeAll(master, answer.data(), answer.size()))
                ::_exit(3);
        }
    }
    const std::uint64_t count = turnarounds.size();
    writeAll(out, reinterpret_cast<const std::uint8_t*>(&count), sizeof count);
    writeAll(out, reinterpret_cast<const std::uint8_t*>(turnarounds.data()), count * sizeof(std::int64_t));
    ::_exit(0);
}

bool readAll(int fd, void* data, std::size_t count)
{
    auto* p = static_cast<std::uint8_t*>(data);
    while (count > 0) {
        const ssize_t n = ::read(fd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

double percentile(const std::vector<double>& sorted, double q)
{
    // Nearest rank.
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](int& out) {
            if (i + 1 >= argc)
                return false;
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (!end || *end || v < 0)
                return false;
            out = static_cast<int>(v);
            return true;
        };
        if (a == "--requests" ? !value(opt.requests)
            : a == "--warmup" ? !value(opt.warmup)
            : a == "--comm-delay" ? !value(opt.commDelay)
            : a == "--no-timestamp" ? (opt.checkTimestamp = false, false)
                                    : true)
            return usage();
    }
    if (opt.requests < 1000)
        return usage();

    // The line, raw from the start, before anything opens its slave side.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "bench_channel: no pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string slave = ::ptsname(master);
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    const int heldSlave = ::open(slave.c_str(), O_RDWR | O_NOCTTY);  // no hang-up while the port is closed
    int results[2];
    if (::pipe(results) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        ::close(results[0]);
        servePlc(master, results[1], static_cast<std::size_t>(opt.requests + opt.warmup));
    }
    ::close(results[1]);
    ::close(master);

    QCoreApplication app(argc, argv);
    plat::setComPortDevice(1, slave);
    vx::InitializeComm();
    vx::ServerAddress = 126;
    vx::ConnectRate = 30000;
    vx::CommDelay = opt.commDelay;
    vx::MaxPacketLen = 255;
    vx::MaxBadCommCount = 3;
    vx::CheckTimestamp = opt.checkTimestamp;

    vx::TStation* st = vx::StationList->AddStation();
    st->Name = "PLC2";
    st->Primary->ConnectionType = vx::ctSerial;
    st->Primary->PortNumber = 1;
    st->Primary->BaudRate = 19200;
    st->Primary->Parity = 2;
    st->Primary->BusAddress = 2;
    st->Primary->Timeout = 1000;
    vx::ComList->GetChannelForStation(st);
    std::vector<vx::TVariable*> vars;
    for (int i = 0; i < 2; ++i) {
        vx::TVariable* v = st->AddVariable();
        v->Name = "V" + std::to_string(i);
        v->CanonicalType = VT_I4;
        v->Zone = 3;
        v->Address = 100 + 10 * i;
        v->UpdatePeriod = 0;  // read only when asked
        v->InitValue();
        v->SetActive(true);
        vars.push_back(v);
    }
    // Each finished read asks for the other variable, so one read always waits.
    std::vector<std::chrono::steady_clock::time_point> finishedAt;
    finishedAt.reserve(static_cast<std::size_t>(opt.requests + opt.warmup) + 16);
    vx::OnVariableRequestDone = [&](vx::TVariable* v) {
        if (v != vars[0] && v != vars[1])
            return;  // the time stamp that travels with every read
        finishedAt.push_back(std::chrono::steady_clock::now());
        vx::TVariable* next = v == vars[0] ? vars[1] : vars[0];
        bool finished = false;
        next->RequestRead(finished);
    };
    bool first = false;
    vars[0]->RequestRead(first);

    QSocketNotifier done(results[0], QSocketNotifier::Read);
    QObject::connect(&done, &QSocketNotifier::activated, &app, [&] { app.quit(); });
    QTimer::singleShot(120000, &app, [&] { app.quit(); });
    vx::CommServer->StartCommunication();
    app.exec();
    const std::int32_t good = vx::ComList->begin()->get()->GoodAnswers;
    const std::int32_t bad = vx::ComList->begin()->get()->BadAnswers;
    const std::int32_t timeouts = vx::ComList->begin()->get()->Timeouts;
    vx::CommServer->StopCommunication();
    vx::OnVariableRequestDone = nullptr;
    vx::FinalizeComm();

    std::uint64_t count = 0;
    std::vector<std::int64_t> raw;
    if (readAll(results[0], &count, sizeof count)) {
        raw.resize(count);
        readAll(results[0], raw.data(), count * sizeof(std::int64_t));
    }
    ::close(results[0]);
    ::close(heldSlave);
    int status = 0;
    ::waitpid(child, &status, 0);

    if (raw.size() <= static_cast<std::size_t>(opt.warmup)) {
        std::fprintf(stderr, "bench_channel: only %zu turnarounds measured\n", raw.size());
        return 1;
    }
    std::vector<double> us;
    for (std::size_t i = static_cast<std::size_t>(opt.warmup); i < raw.size(); ++i)
        us.push_back(static_cast<double>(raw[i]) / 1000.0);
    double total = 0;
    for (double x : us)
        total += x;
    std::sort(us.begin(), us.end());
    std::printf("settings: CommDelay %d ms, CheckTimestamp %s, MaxPacketLen 255, one ReadN of one 4-byte variable per request\n",
                opt.commDelay, opt.checkTimestamp ? "on" : "off");
    std::printf("requests measured: %zu (after %d warm-up)\n", us.size(), opt.warmup);
    std::printf("turnaround, last answer byte to first request byte: median %.1f us, p99 %.1f us, min %.1f us, max %.1f us, mean %.1f us\n",
                percentile(us, 0.5), percentile(us, 0.99), us.front(), us.back(), total / static_cast<double>(us.size()));
    // Over the reads finished after the warm-up (the first poll tick comes 100 ms after the start).
    const std::size_t from = std::min(finishedAt.size() - 1, static_cast<std::size_t>(opt.warmup));
    const std::size_t to = std::min(finishedAt.size() - 1, static_cast<std::size_t>(opt.warmup + opt.requests));
    const double seconds = std::chrono::duration<double>(finishedAt[to] - finishedAt[from]).count();
    std::printf("requests per second: %.0f (%zu reads in %.3f s)\n",
                seconds > 0 ? static_cast<double>(to - from) / seconds : 0.0, to - from, seconds);
    std::printf("answers: %d good, %d bad, %d time-outs\n", good, bad, timeouts);
    return 0;
}

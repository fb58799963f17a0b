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
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
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
#include "tools/bench_common/bench_common.h"
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
        const std::int64_t at = bench::nowNs();
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
            answeredAt = bench::nowNs();
            if (!bench::writeAll(master, answer.data(), answer.size()))
                ::_exit(3);
        }
    }
    bench::writeVector(out, turnarounds);
    ::_exit(0);
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!bench::parseArguments(argc, argv,
                               {{"--requests", &opt.requests}, {"--warmup", &opt.warmup},
                                {"--comm-delay", &opt.commDelay}},
                               {{"--no-timestamp", &opt.checkTimestamp, false}}) ||
        opt.requests < 1000)
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
    bench::Child child;
    if (!child.start(false, [&](int, int out) {
            servePlc(master, out, static_cast<std::size_t>(opt.requests + opt.warmup));
        }))
        return 1;
    ::close(master);

    QCoreApplication app(argc, argv);
    plat::setComPortDevice(1, slave);
    vx::InitializeComm();
    bench::setCommDefaults(opt.commDelay);
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
    for (int i = 0; i < 2; ++i)
        vars.push_back(bench::addPolledVariable(st, "V" + std::to_string(i), 100 + 10 * i));
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

    QSocketNotifier done(child.results, QSocketNotifier::Read);
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

    const std::vector<std::int64_t> raw = bench::readVector<std::int64_t>(child.results);
    child.wait();
    ::close(heldSlave);

    if (raw.size() <= static_cast<std::size_t>(opt.warmup)) {
        std::fprintf(stderr, "bench_channel: only %zu turnarounds measured\n", raw.size());
        return 1;
    }
    std::vector<double> us;
    for (std::size_t i = static_cast<std::size_t>(opt.warmup); i < raw.size(); ++i)
        us.push_back(static_cast<double>(raw[i]) / 1000.0);
    const bench::Summary sum = bench::summarize(us);
    std::printf("settings: CommDelay %d ms, CheckTimestamp %s, MaxPacketLen 255, one ReadN of one 4-byte variable per request\n",
                opt.commDelay, opt.checkTimestamp ? "on" : "off");
    std::printf("requests measured: %zu (after %d warm-up)\n", us.size(), opt.warmup);
    std::printf("turnaround, last answer byte to first request byte: median %.1f us, p99 %.1f us, min %.1f us, max %.1f us, mean %.1f us\n",
                sum.median, sum.p99, sum.min, sum.max, sum.mean);
    // Over the reads finished after the warm-up (the first poll tick comes 100 ms after the start).
    const std::size_t from = std::min(finishedAt.size() - 1, static_cast<std::size_t>(opt.warmup));
    const std::size_t to = std::min(finishedAt.size() - 1, static_cast<std::size_t>(opt.warmup + opt.requests));
    const double seconds = std::chrono::duration<double>(finishedAt[to] - finishedAt[from]).count();
    std::printf("requests per second: %.0f (%zu reads in %.3f s)\n",
                seconds > 0 ? static_cast<double>(to - from) / seconds : 0.0, to - from, seconds);
    std::printf("answers: %d good, %d bad, %d time-outs\n", good, bad, timeouts);
    return 0;
}

#include "tools/bench_common/bench_common.h"

#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "comm/vx_def.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"

namespace bench {

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool pinToCpu(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

double cpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

namespace {

// The whole block, riding out interruptions and a full or empty non-blocking line.
template <typename Byte, typename Io>
bool transferAll(int fd, Byte* p, std::size_t count, short waitFor, Io io)
{
    while (count > 0) {
        const ssize_t n = io(fd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd w{fd, waitFor, 0};
            ::poll(&w, 1, 1000);
            continue;
        }
        if (n <= 0)
            return false;
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool writeAll(int fd, const void* data, std::size_t count)
{
    return transferAll(fd, static_cast<const std::uint8_t*>(data), count, POLLOUT, ::write);
}

bool readAll(int fd, void* data, std::size_t count)
{
    return transferAll(fd, static_cast<std::uint8_t*>(data), count, POLLIN, ::read);
}

double percentile(const std::vector<double>& sorted, double q)
{
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

Summary summarize(std::vector<double>& samples)
{
    std::sort(samples.begin(), samples.end());
    double total = 0;
    for (double x : samples)
        total += x;
    return {percentile(samples, 0.5), percentile(samples, 0.99), samples.front(), samples.back(),
            total / static_cast<double>(samples.size())};
}

bool Child::start(bool withControl, const std::function<void(int control, int out)>& serve)
{
    int controlPipe[2] = {-1, -1};
    int resultsPipe[2];
    if ((withControl && ::pipe(controlPipe) != 0) || ::pipe(resultsPipe) != 0)
        return false;
    pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        if (withControl)
            ::close(controlPipe[1]);
        ::close(resultsPipe[0]);
        serve(controlPipe[0], resultsPipe[1]);
        ::_exit(0);
    }
    if (withControl)
        ::close(controlPipe[0]);
    ::close(resultsPipe[1]);
    control = controlPipe[1];
    results = resultsPipe[0];
    return true;
}

void Child::closeControl()
{
    if (control >= 0)
        ::close(control);
    control = -1;
}

void Child::wait()
{
    closeControl();
    if (results >= 0)
        ::close(results);
    results = -1;
    int status = 0;
    if (pid > 0)
        ::waitpid(pid, &status, 0);
    pid = -1;
}

bool parseArguments(int argc, char** argv, std::initializer_list<IntOption> numbers,
                    std::initializer_list<FlagOption> flags)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto number = std::find_if(numbers.begin(), numbers.end(), [&](const IntOption& o) { return a == o.name; });
        if (number != numbers.end()) {
            if (i + 1 >= argc)
                return false;
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (!end || *end || v < number->low)
                return false;
            *number->value = static_cast<int>(v);
            continue;
        }
        const auto flag = std::find_if(flags.begin(), flags.end(), [&](const FlagOption& o) { return a == o.name; });
        if (flag == flags.end())
            return false;
        *flag->value = flag->given;
    }
    return true;
}

void setCommDefaults(int commDelay)
{
    vx::ServerAddress = 126;
    vx::ConnectRate = 30000;
    vx::CommDelay = commDelay;
    vx::MaxPacketLen = 255;
    vx::MaxBadCommCount = 3;
}

vx::TVariable* addPolledVariable(vx::TStation* st, const std::string& name, int address)
{
    vx::TVariable* v = st->AddVariable();
    v->Name = name;
    v->CanonicalType = VT_I4;
    v->Zone = 3;
    v->Address = address;
    v->UpdatePeriod = 0;
    v->InitValue();
    v->SetActive(true);
    return v;
}

vx::TVariable* addFixedVariable(vx::TStation* st, const std::string& name, int address)
{
    vx::TVariable* v = st->AddVariable();
    v->Name = name;
    v->CanonicalType = VT_I2;
    v->RequestedType = VT_I2;
    v->Address = address;
    v->Value.setI2(static_cast<SHORT>(address % 1000));
    v->Quality = vx::qGood;
    return v;
}

}  // namespace bench

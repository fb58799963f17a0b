// What the benchmark programs share: pinning to a core, clocks, statistics over samples,
// moving bytes over pipes, the simulator's child process, argument parsing and the plant's
// common settings and variables.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace vx {
class TStation;
class TVariable;
}  // namespace vx

namespace bench {

// Nanoseconds on the steady clock.
std::int64_t nowNs();

// Pins the calling process to one core; false if the system refused.
bool pinToCpu(int cpu);

// This process's user and system CPU time so far, in seconds.
double cpuSeconds();

// Whole blocks over a pipe or socket; false when the other end went or an error came.
bool writeAll(int fd, const void* data, std::size_t count);
bool readAll(int fd, void* data, std::size_t count);

// A vector as its count (64 bits) and then its elements.
template <typename T>
bool writeVector(int fd, const std::vector<T>& items)
{
    const std::uint64_t count = items.size();
    return writeAll(fd, &count, sizeof count) && writeAll(fd, items.data(), count * sizeof(T));
}

template <typename T>
std::vector<T> readVector(int fd)
{
    std::uint64_t count = 0;
    std::vector<T> items;
    if (readAll(fd, &count, sizeof count)) {
        items.resize(count);
        readAll(fd, items.data(), count * sizeof(T));
    }
    return items;
}

// Nearest rank over sorted samples.
double percentile(const std::vector<double>& sorted, double q);

struct Summary {
    double median = 0, p99 = 0, min = 0, max = 0, mean = 0;
};

// Sorts the samples (not empty) and sums them up.
Summary summarize(std::vector<double>& samples);

// The simulator in a child process of its own. `serve` runs in the child and never returns
// (it ends with _exit); it gets the read end of the control pipe (-1 without one) and the
// write end of the results pipe.
struct Child {
    pid_t pid = -1;
    int control = -1;  // write end; closing it tells the child to stop
    int results = -1;  // read end

    bool start(bool withControl, const std::function<void(int control, int out)>& serve);
    void closeControl();
    // Closes what is left open and waits for the child to end.
    void wait();
};

// "--name VALUE": a whole number not below `low`.
struct IntOption {
    const char* name;
    int* value;
    long low = 0;
};

// "--name" alone: sets the flag to `given`.
struct FlagOption {
    const char* name;
    bool* value;
    bool given;
};

// False on an unknown argument or a missing or bad number.
bool parseArguments(int argc, char** argv, std::initializer_list<IntOption> numbers,
                    std::initializer_list<FlagOption> flags = {});

// The channel settings every benchmark runs with; call after vx::InitializeComm().
void setCommDefaults(int commDelay);

// A four-byte variable in zone 3 that is read only when asked.
vx::TVariable* addPolledVariable(vx::TStation* st, const std::string& name, int address);

// A two-byte variable holding a good value of its own (address % 1000), never read.
vx::TVariable* addFixedVariable(vx::TStation* st, const std::string& name, int address);

}  // namespace bench

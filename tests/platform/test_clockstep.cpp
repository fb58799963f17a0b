// The clock-change detector on a real step of the system clock, where this process may set
// it. A program of its own that runs alone: other tests must not see the wall clock jump.
#include "platform/clockwatch.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <time.h>
#include <utility>
#include <vector>

#include "platform/timers.h"

namespace {

class ClockWatchTest : public ::testing::Test {
protected:
    void SetUp() override { plat::setTimerFactory(&sched); }
    void TearDown() override { plat::setTimerFactory(nullptr); }

    plat::ManualClock clock;
    plat::ManualScheduler sched{clock};
};

constexpr long kWinter = 3600;

// --- A real step of the system clock ---

// CAP_SYS_TIME in the effective set.
bool MaySetTheClock()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0)
            continue;
        std::uint64_t caps = 0;
        std::istringstream(line.substr(7)) >> std::hex >> caps;
        constexpr int kCapSysTime = 25;
        return (caps >> kCapSysTime) & 1u;
    }
    return false;
}

std::int64_t Nanoseconds(const timespec& t) { return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

timespec FromNanoseconds(std::int64_t ns) { return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)}; }

// Steps the wall clock forward by one second and at once back to where it would be now,
// measured on the monotonic clock, so the clock is left as it was to the microsecond.
bool StepTheClockForwardAndBack()
{
    timespec wall{};
    timespec mono{};
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    ::clock_gettime(CLOCK_REALTIME, &wall);
    const std::int64_t wallAtMono = Nanoseconds(wall) - Nanoseconds(mono);
    const timespec ahead = FromNanoseconds(Nanoseconds(wall) + 1'000'000'000);
    if (::clock_settime(CLOCK_REALTIME, &ahead) != 0)
        return false;
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    const timespec back = FromNanoseconds(wallAtMono + Nanoseconds(mono));
    return ::clock_settime(CLOCK_REALTIME, &back) == 0;
}

bool WaitFor(const std::function<bool()>& done)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer wake;  // the loop must wake up to look at done() again
    wake.start(5);
    while (!done()) {
        if (elapsed.elapsed() > 5000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

TEST_F(ClockWatchTest, ARealClockStepIsReportedAndTheNoticeArmedAgain)
{
    if (!MaySetTheClock())
        GTEST_SKIP() << "this process may not set the system clock (no CAP_SYS_TIME)";
    int changes = 0;
    plat::ClockWatch watch([&] { ++changes; }, [] { return kWinter; });
    ASSERT_TRUE(watch.WatchesClockSteps());

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        const int before = changes;
        if (!StepTheClockForwardAndBack())
            GTEST_SKIP() << "setting the clock was refused: " << std::strerror(errno);
        EXPECT_TRUE(WaitFor([&] { return changes > before; }));
        // Both steps may come as one notice; nothing more follows.
        QCoreApplication::processEvents();
        EXPECT_LE(changes - before, 2);
    }
}

}  // namespace

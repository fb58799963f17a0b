// The clock-change detector: the UTC-offset watch on the manual clock and scheduler, and the
// kernel's clock-step notice on a real step of the clock where this process may set it.
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

constexpr long kWinter = 3600;  // Central European Time
constexpr long kSummer = 7200;  // its daylight-saving time

struct OffsetStep {
    std::int64_t atMs;  // when the source starts giving offset
    long offset;
};

struct OffsetCase {
    const char* name;
    long initial;
    std::vector<OffsetStep> steps;
    std::int64_t runMs;
    std::vector<std::int64_t> changesAtMs;  // when the handler ran
};

TEST_F(ClockWatchTest, AChangedUtcOffsetIsReportedOnTheNextCheck)
{
    const OffsetCase cases[] = {
        {"steady", kWinter, {}, 10'000, {}},
        {"summer time starts", kWinter, {{2'500, kSummer}}, 10'000, {3'000}},
        {"summer time ends", kSummer, {{999, kWinter}}, 5'000, {1'000}},
        {"another zone, then back", kSummer, {{600, 0}, {4'200, kSummer}}, 10'000, {1'000, 5'000}},
        {"the same offset written again", kSummer, {{1'000, kSummer}}, 5'000, {}},
    };
    for (const OffsetCase& c : cases) {
        SCOPED_TRACE(c.name);
        long offset = c.initial;
        std::vector<std::int64_t> changes;
        std::size_t next = 0;
        const std::int64_t start = clock.monotonicMs();
        plat::ClockWatch watch([&] { changes.push_back(clock.monotonicMs() - start); }, [&] { return offset; });
        for (std::int64_t ms = 0; ms < c.runMs; ++ms) {
            while (next < c.steps.size() && c.steps[next].atMs <= ms)
                offset = c.steps[next++].offset;
            sched.advance(1);
        }
        EXPECT_EQ(changes, c.changesAtMs);
    }
    EXPECT_EQ(sched.activeTimers(), 0);  // the watches' timers went with them
}

TEST_F(ClockWatchTest, ASimulatedChangeReachesEveryLiveWatch)
{
    int first = 0;
    int second = 0;
    plat::ClockWatch a([&] { ++first; }, [] { return kWinter; });
    {
        plat::ClockWatch b([&] { ++second; }, [] { return kWinter; });
        plat::simulateClockChange();
        EXPECT_EQ(first, 1);
        EXPECT_EQ(second, 1);
    }
    plat::simulateClockChange();
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);
    a.NotifyChange();
    EXPECT_EQ(first, 3);
}

TEST_F(ClockWatchTest, AHandlerMayEndItsOwnWatch)
{
    std::unique_ptr<plat::ClockWatch> watch;
    int calls = 0;
    long offset = kWinter;
    watch = std::make_unique<plat::ClockWatch>(
        [&] {
            ++calls;
            watch.reset();
        },
        [&] { return offset; });
    offset = kSummer;
    sched.advance(plat::ClockWatch::kOffsetCheckMs);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(watch, nullptr);
    sched.advance(5 * plat::ClockWatch::kOffsetCheckMs);
    EXPECT_EQ(calls, 1);
}

TEST(ClockWatchLocal, TheSystemOffsetFollowsTheTimeZone)
{
    const QByteArray saved = qgetenv("TZ");
    qputenv("TZ", "UTC0");
    EXPECT_EQ(plat::localUtcOffsetSeconds(), 0);
    qputenv("TZ", "EST5");
    EXPECT_EQ(plat::localUtcOffsetSeconds(), -5 * 3600);
    qputenv("TZ", "<+0530>-5:30");
    EXPECT_EQ(plat::localUtcOffsetSeconds(), 5 * 3600 + 1800);
    if (saved.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", saved);
    plat::localUtcOffsetSeconds();  // re-read the zone of the other tests
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/clock.h"
#include "platform/com/filetime.h"

namespace {

class FileTime : public ::testing::Test {
protected:
    // CTest runs the tests in Prague time; so does a run by hand.
    void SetUp() override
    {
        setenv("TZ", "Europe/Prague", 1);
        tzset();
    }
    void TearDown() override { plat::setClock(nullptr); }
};

FILETIME ft(ULONGLONG ticks) { return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }
ULONGLONG ticks(const FILETIME& f) { return (ULONGLONG{f.dwHighDateTime} << 32) | f.dwLowDateTime; }

SYSTEMTIME st(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0, int dow = 0)
{
    return SYSTEMTIME{WORD(y), WORD(mo), WORD(dow), WORD(d), WORD(h), WORD(mi), WORD(s), WORD(ms)};
}

::testing::AssertionResult sameTime(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    if (a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
        a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds)
        return ::testing::AssertionSuccess();
    char buf[160];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d, expected %04d-%02d-%02d %02d:%02d:%02d.%03d",
                  a.wYear, a.wMonth, a.wDay, a.wHour, a.wMinute, a.wSecond, a.wMilliseconds, b.wYear, b.wMonth,
                  b.wDay, b.wHour, b.wMinute, b.wSecond, b.wMilliseconds);
    return ::testing::AssertionFailure() << buf;
}

// t converted as a file time, between UTC and local time.
SYSTEMTIME asFileTime(const SYSTEMTIME& t, BOOL (*convert)(const FILETIME*, FILETIME*))
{
    FILETIME in{}, out{};
    EXPECT_TRUE(SystemTimeToFileTime(&t, &in));
    EXPECT_TRUE(convert(&in, &out));
    SYSTEMTIME r{};
    EXPECT_TRUE(FileTimeToSystemTime(&out, &r));
    return r;
}

TEST_F(FileTime, FileTimeAndSystemTimeRoundTrip)
{
    struct Case {
        const char* name;
        ULONGLONG ticks;
        SYSTEMTIME time;
        WORD dayOfWeek;
    };
    const Case cases[] = {
        {"origin", 0, st(1601, 1, 1), 1},
        {"Unix epoch", 116444736000000000ULL, st(1970, 1, 1), 4},
        {"with milliseconds", 134285904002500000ULL, st(2026, 7, 15, 12, 0, 0, 250), 3},
        {"Thursday", 134098848000000000ULL, st(2025, 12, 11), 4},
        {"leap day", 125962560000000000ULL, st(2000, 2, 29), 2},
        {"last of year 30827", 9223149887999990000ULL, st(30827, 12, 31, 23, 59, 59, 999), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SYSTEMTIME out{};
        const FILETIME in = ft(c.ticks);
        ASSERT_TRUE(FileTimeToSystemTime(&in, &out));
        EXPECT_TRUE(sameTime(out, c.time));
        EXPECT_EQ(out.wDayOfWeek, c.dayOfWeek);
        FILETIME back{};
        ASSERT_TRUE(SystemTimeToFileTime(&c.time, &back));
        EXPECT_EQ(ticks(back), c.ticks);
    }
    const FILETIME tooLarge = ft(0x8000000000000000ULL);
    SYSTEMTIME out{};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &out));
}

TEST_F(FileTime, InvalidSystemTimesAreRefused)
{
    const SYSTEMTIME cases[] = {
        st(1600, 12, 31), st(30828, 1, 1),      st(2026, 0, 1),        st(2026, 13, 1),
        st(2026, 1, 0),   st(2025, 2, 29),      st(1900, 2, 29),       st(2026, 4, 31),
        st(2026, 1, 1, 24), st(2026, 1, 1, 0, 60), st(2026, 1, 1, 0, 0, 60), st(2026, 1, 1, 0, 0, 0, 1000),
    };
    for (const SYSTEMTIME& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.wYear << "-" << c.wMonth << "-" << c.wDay << " " << c.wHour << ":"
                                          << c.wMinute << ":" << c.wSecond << "." << c.wMilliseconds);
        FILETIME out{7, 7};
        EXPECT_FALSE(SystemTimeToFileTime(&c, &out));
        EXPECT_EQ(out.dwLowDateTime, 7u);
    }
}

TEST_F(FileTime, LocalTimeFollowsPragueSummerAndWinterTime)
{
    struct Case {
        const char* name;
        SYSTEMTIME utc;
        SYSTEMTIME local;
    };
    const Case cases[] = {
        {"winter", st(2026, 1, 15, 12, 0, 0, 250), st(2026, 1, 15, 13, 0, 0, 250)},
        {"summer", st(2026, 7, 15, 12, 0), st(2026, 7, 15, 14, 0)},
        {"last winter minute", st(2026, 3, 29, 0, 59), st(2026, 3, 29, 1, 59)},
        {"first summer minute", st(2026, 3, 29, 1, 0), st(2026, 3, 29, 3, 0)},
        {"across midnight", st(2026, 12, 31, 23, 30), st(2027, 1, 1, 0, 30)},
        {"before 1970", st(1960, 6, 1, 12, 0), st(1960, 6, 1, 13, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(sameTime(asFileTime(c.utc, FileTimeToLocalFileTime), c.local));
        EXPECT_TRUE(sameTime(asFileTime(c.local, LocalFileTimeToFileTime), c.utc));
    }
}

TEST_F(FileTime, LocalTimesAroundTheSwitches)
{
    struct Case {
        const char* name;
        SYSTEMTIME local;
        SYSTEMTIME utc;
    };
    const Case cases[] = {
        // 02:00-03:00 does not exist on 29 March 2026: taken with the winter offset.
        {"skipped hour", st(2026, 3, 29, 2, 30), st(2026, 3, 29, 1, 30)},
        // 02:00-03:00 occurs twice on 25 October 2026: the first time, in summer time.
        {"repeated hour", st(2026, 10, 25, 2, 30), st(2026, 10, 25, 0, 30)},
        {"after the repeat", st(2026, 10, 25, 3, 30), st(2026, 10, 25, 2, 30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(sameTime(asFileTime(c.local, LocalFileTimeToFileTime), c.utc));
    }
}

TEST_F(FileTime, VariantTimeAndSystemTime)
{
    struct Case {
        const char* name;
        double vtime;
        SYSTEMTIME time;
        WORD dayOfWeek;
    };
    const Case cases[] = {
        {"day 0", 0.0, st(1899, 12, 30), 6},
        {"noon of 1900-01-01", 2.5, st(1900, 1, 1, 12), 1},
        {"before day 0, the time runs forwards", -1.25, st(1899, 12, 29, 6), 5},
        {"first day", -657434.0, st(100, 1, 1), 5},
        {"last second", 2958465.0 + 86399.0 / 86400, st(9999, 12, 31, 23, 59, 59), 5},
        {"Czech example", 46366.0 + (13 * 3600 + 5 * 60) / 86400.0, st(2026, 12, 10, 13, 5), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SYSTEMTIME out{};
        ASSERT_TRUE(VariantTimeToSystemTime(c.vtime, &out));
        EXPECT_TRUE(sameTime(out, c.time));
        EXPECT_EQ(out.wDayOfWeek, c.dayOfWeek);
        SYSTEMTIME in = c.time;
        double back = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&in, &back));
        EXPECT_NEAR(back, c.vtime, 1e-9);
    }
    SYSTEMTIME out{};
    EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &out));
    EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &out));
    // Resolves to the second.
    ASSERT_TRUE(VariantTimeToSystemTime(0.5 + 0.7 / 86400, &out));
    EXPECT_TRUE(sameTime(out, st(1899, 12, 30, 12, 0, 1)));
}

TEST_F(FileTime, SystemTimeToVariantTimeRollsOverDaysOnly)
{
    struct Case {
        const char* name;
        SYSTEMTIME in;
        bool ok;
        SYSTEMTIME resolved;
    };
    const Case cases[] = {
        {"29 February of a common year", st(2001, 2, 29), true, st(2001, 3, 1)},
        {"day 0", st(2001, 2, 0), true, st(2001, 1, 31)},
        {"day 31 of April", st(2026, 4, 31), true, st(2026, 5, 1)},
        {"milliseconds ignored", st(2026, 1, 1, 1, 2, 3, 999), true, st(2026, 1, 1, 1, 2, 3)},
        {"day 32", st(2026, 1, 32), false, {}},
        {"month 13", st(2026, 13, 1), false, {}},
        {"hour 24", st(2026, 1, 1, 24), false, {}},
        {"year 99", st(99, 1, 1), false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SYSTEMTIME in = c.in;
        double v = -7;
        EXPECT_EQ(SystemTimeToVariantTime(&in, &v) != FALSE, c.ok);
        if (!c.ok) {
            EXPECT_EQ(v, -7);
            continue;
        }
        SYSTEMTIME out{};
        ASSERT_TRUE(VariantTimeToSystemTime(v, &out));
        EXPECT_TRUE(sameTime(out, c.resolved));
    }
}

TEST_F(FileTime, DateTimeToUtcFileTimeKeepsMilliseconds)
{
    struct Case {
        const char* name;
        plat::DateTimeFields local;
        SYSTEMTIME utc;
    };
    auto fields = [](int y, int mo, int d, int h, int mi, int s, int ms) {
        plat::DateTimeFields f;
        f.year = y, f.month = mo, f.day = d, f.hour = h, f.minute = mi, f.second = s, f.millisecond = ms;
        return f;
    };
    const Case cases[] = {
        {"summer", fields(2026, 7, 15, 14, 0, 0, 250), st(2026, 7, 15, 12, 0, 0, 250)},
        {"winter", fields(2026, 1, 15, 13, 0, 0, 999), st(2026, 1, 15, 12, 0, 0, 999)},
        {"new year", fields(2027, 1, 1, 0, 30, 0, 1), st(2026, 12, 31, 23, 30, 0, 1)},
        {"day 0", fields(1899, 12, 30, 1, 0, 0, 0), st(1899, 12, 30, 0, 0, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        double dt = 0;
        ASSERT_TRUE(plat::encodeDateTime(c.local, dt));
        const FILETIME utc = com::dateTimeToUtcFileTime(dt);
        SYSTEMTIME got{};
        ASSERT_TRUE(FileTimeToSystemTime(&utc, &got));
        EXPECT_TRUE(sameTime(got, c.utc));
        EXPECT_NEAR(com::utcFileTimeToDateTime(utc), dt, 0.5 / 86400000.0);
    }
    const FILETIME none = com::dateTimeToUtcFileTime(1e10);
    EXPECT_EQ(ticks(none), 0u);
}

TEST_F(FileTime, NowComesFromTheClock)
{
    plat::DateTimeFields f;
    f.year = 2026, f.month = 7, f.day = 15, f.hour = 14, f.minute = 0, f.second = 0, f.millisecond = 250;
    double dt = 0;
    ASSERT_TRUE(plat::encodeDateTime(f, dt));
    plat::ManualClock clock(dt);
    plat::setClock(&clock);
    FILETIME now{};
    ASSERT_EQ(CoFileTimeNow(&now), S_OK);
    EXPECT_EQ(ticks(now), 134285904002500000ULL);
    EXPECT_EQ(CoFileTimeNow(nullptr), E_INVALIDARG);
}

}  // namespace

#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

struct CalendarCase {
    double dt;
    plat::DateTimeFields f;
};

TEST(Clock, CalendarFieldsRoundTrip)
{
    // y, m, d, h, min, s, ms, day of week (Monday 1)
    const CalendarCase cases[] = {
        {0.0, {1899, 12, 30, 0, 0, 0, 0, 6}},
        {1.0, {1899, 12, 31, 0, 0, 0, 0, 7}},
        {2.0, {1900, 1, 1, 0, 0, 0, 0, 1}},
        {36526.5, {2000, 1, 1, 12, 0, 0, 0, 6}},
        {-1.25, {1899, 12, 29, 6, 0, 0, 0, 5}},
        {46366.0, {2026, 12, 10, 0, 0, 0, 0, 4}},
        {45351.0, {2024, 2, 29, 0, 0, 0, 0, 4}},
    };
    for (const auto& c : cases) {
        double dt = 0;
        ASSERT_TRUE(plat::encodeDateTime(c.f, dt)) << c.dt;
        EXPECT_DOUBLE_EQ(dt, c.dt);
        const auto f = plat::decodeDateTime(c.dt);
        EXPECT_EQ(f.year, c.f.year) << c.dt;
        EXPECT_EQ(f.month, c.f.month) << c.dt;
        EXPECT_EQ(f.day, c.f.day) << c.dt;
        EXPECT_EQ(f.hour, c.f.hour) << c.dt;
        EXPECT_EQ(f.dayOfWeek, c.f.dayOfWeek) << c.dt;
    }
}

TEST(Clock, MillisecondsSurviveTheDouble)
{
    plat::DateTimeFields in{2026, 12, 10, 23, 59, 59, 999, 0};
    double dt = 0;
    ASSERT_TRUE(plat::encodeDateTime(in, dt));
    const auto out = plat::decodeDateTime(dt);
    EXPECT_EQ(out.day, 10);
    EXPECT_EQ(out.hour, 23);
    EXPECT_EQ(out.minute, 59);
    EXPECT_EQ(out.second, 59);
    EXPECT_EQ(out.millisecond, 999);
}

TEST(Clock, RoundingToMidnightMovesForwardInTime)
{
    for (double dt : {0.99999999999, -1.99999999999}) {
        const auto f = plat::decodeDateTime(dt);
        EXPECT_EQ(f.hour, 0) << dt;
        EXPECT_EQ(f.day, dt > 0 ? 31 : 30) << dt;
    }
}

TEST(Clock, CalendarArithmeticRoundTripsAcrossTheWholeScale)
{
    EXPECT_EQ(plat::daysFromCivil(1970, 1, 1), 0);
    EXPECT_EQ(plat::daysFromCivil(1899, 12, 30), -25569);
    EXPECT_EQ(plat::daysFromCivil(1601, 1, 1), -134774);
    EXPECT_EQ(plat::daysInMonth(1900, 2), 28);
    EXPECT_EQ(plat::daysInMonth(2000, 2), 29);
    for (std::int64_t days = plat::daysFromCivil(100, 1, 1); days <= plat::daysFromCivil(9999, 12, 31); days += 997) {
        std::int64_t y = 0;
        int m = 0, d = 0;
        plat::civilFromDays(days, y, m, d);
        ASSERT_GE(d, 1);
        ASSERT_LE(d, plat::daysInMonth(y, m));
        ASSERT_EQ(plat::daysFromCivil(y, m, d), days) << y << "-" << m << "-" << d;
    }
}

TEST(Clock, InvalidFieldsAreRefused)
{
    double dt = 7;
    EXPECT_FALSE(plat::encodeDateTime({2023, 2, 29, 0, 0, 0, 0, 0}, dt));
    EXPECT_FALSE(plat::encodeDateTime({2024, 13, 1, 0, 0, 0, 0, 0}, dt));
    EXPECT_FALSE(plat::encodeDateTime({2024, 1, 1, 24, 0, 0, 0, 0}, dt));
    EXPECT_FALSE(plat::encodeDateTime({2024, 1, 1, 0, 0, 0, 1000, 0}, dt));
    EXPECT_EQ(dt, 7);
}

TEST(Clock, ManualClockMovesBothCounters)
{
    plat::ManualClock c(100.0);
    plat::setClock(&c);
    c.advanceMs(43200000);
    EXPECT_DOUBLE_EQ(plat::clock().now(), 100.5);
    EXPECT_EQ(plat::clock().monotonicMs(), 43200000);
    c.setNow(5.0);  // a change of the system time leaves the monotonic counter alone
    EXPECT_EQ(plat::clock().monotonicMs(), 43200000);
    plat::setClock(nullptr);
    EXPECT_GT(plat::clock().now(), 40000.0);
}

}  // namespace

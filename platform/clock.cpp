#include "clock.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace plat {
namespace {

constexpr double kMsPerDay = 86400000.0;

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m)
{
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : d[m - 1];
}

// Days from 1970-01-01 to the civil date (Howard Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& y, int& m, int& d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// Day 0 of the date-time scale, 1899-12-30, counted from 1970-01-01.
const std::int64_t kEpochOffset = daysFromCivil(1899, 12, 30);

SystemClock systemClock;
Clock* current = &systemClock;

}  // namespace

bool encodeDateTime(const DateTimeFields& f, double& out)
{
    if (f.year < 1 || f.year > 9999 || f.month < 1 || f.month > 12 || f.day < 1 ||
        f.day > daysInMonth(f.year, f.month) || f.hour < 0 || f.hour > 23 || f.minute < 0 ||
        f.minute > 59 || f.second < 0 || f.second > 59 || f.millisecond < 0 || f.millisecond > 999)
        return false;
    const double days = static_cast<double>(
        daysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day)) - kEpochOffset);
    const double frac =
        ((f.hour * 60.0 + f.minute) * 60.0 * 1000.0 + f.second * 1000.0 + f.millisecond) / kMsPerDay;
    // Before day 0 the whole part counts backwards and the fraction forwards, as the date-time scale has it.
    out = days >= 0 ? days + frac : days - frac;
    return true;
}

double encodeDate(int year, int month, int day)
{
    double dt = 0;
    DateTimeFields f;
    f.year = year;
    f.month = month;
    f.day = day;
    return encodeDateTime(f, dt) ? dt : 0.0;
}

DateTimeFields decodeDateTime(double dt)
{
    DateTimeFields f;
    // Rounded to the millisecond so that 0.1 ms of float noise never shows as 999 ms.
    const double whole = std::trunc(dt);
    double ms = std::round(std::fabs(dt - whole) * kMsPerDay);
    std::int64_t days = static_cast<std::int64_t>(whole);
    if (ms >= kMsPerDay) {
        // The time of day rounded up to midnight: the next calendar day, on either side of day 0.
        ms -= kMsPerDay;
        days += 1;
    }
    civilFromDays(days + kEpochOffset, f.year, f.month, f.day);
    auto msi = static_cast<std::int64_t>(ms);
    f.millisecond = static_cast<int>(msi % 1000);
    msi /= 1000;
    f.second = static_cast<int>(msi % 60);
    msi /= 60;
    f.minute = static_cast<int>(msi % 60);
    f.hour = static_cast<int>(msi / 60);
    // 1970-01-01 was a Thursday (4).
    const std::int64_t unixDays = days + kEpochOffset;
    f.dayOfWeek = static_cast<int>(((unixDays % 7 + 7) % 7 + 3) % 7) + 1;
    return f;
}

double SystemClock::now() const
{
    using namespace std::chrono;
    const auto t = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(t);
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&secs, &tm);
    DateTimeFields f;
    f.year = tm.tm_year + 1900;
    f.month = tm.tm_mon + 1;
    f.day = tm.tm_mday;
    f.hour = tm.tm_hour;
    f.minute = tm.tm_min;
    f.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    f.millisecond = static_cast<int>(ms);
    double dt = 0;
    encodeDateTime(f, dt);
    return dt;
}

std::int64_t SystemClock::monotonicMs() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void ManualClock::advanceMs(std::int64_t ms)
{
    mono_ += ms;
    now_ += static_cast<double>(ms) / kMsPerDay;
}

Clock& clock() { return *current; }
void setClock(Clock* c) { current = c ? c : &systemClock; }

}  // namespace plat

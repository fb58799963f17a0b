#include "clock.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace plat {
namespace {

constexpr double kMsPerDay = 86400000.0;

// Day 0 of the date-time scale, 1899-12-30, counted from 1970-01-01.
constexpr std::int64_t kEpochOffset = -25569;

SystemClock systemClock;
Clock* current = &systemClock;

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

bool isLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(std::int64_t y, int m)
{
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : d[m - 1];
}

// Counts through 400-year eras that start on 1 March, so that the leap day falls at the end
// of each year.
std::int64_t daysFromCivil(std::int64_t y, int m, int d)
{
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = floorDiv(y, 400);
    const std::int64_t yearOfEra = y - era * 400;
    const int shiftedMonth = m > 2 ? m - 3 : m + 9;
    const std::int64_t dayOfYear = (153 * shiftedMonth + 2) / 5 + d - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146'097 + dayOfEra - 719'468;
}

void civilFromDays(std::int64_t days, std::int64_t& y, int& m, int& d)
{
    days += 719'468;
    const std::int64_t era = floorDiv(days, 146'097);
    const std::int64_t dayOfEra = days - era * 146'097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    d = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    m = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    y = yearOfEra + era * 400 + (m <= 2 ? 1 : 0);
}

bool encodeDateTime(const DateTimeFields& f, double& out)
{
    if (f.year < 1 || f.year > 9999 || f.month < 1 || f.month > 12 || f.day < 1 ||
        f.day > daysInMonth(f.year, f.month) || f.hour < 0 || f.hour > 23 || f.minute < 0 ||
        f.minute > 59 || f.second < 0 || f.second > 59 || f.millisecond < 0 || f.millisecond > 999)
        return false;
    const double days = static_cast<double>(
        daysFromCivil(f.year, f.month, f.day) - kEpochOffset);
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
    std::int64_t year = 0;
    civilFromDays(days + kEpochOffset, year, f.month, f.day);
    f.year = static_cast<int>(year);
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

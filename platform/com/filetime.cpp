#include "filetime.h"

#include <cmath>
#include <ctime>

#include "platform/clock.h"

namespace {

using plat::civilFromDays;
using plat::daysFromCivil;
using plat::daysInMonth;

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kTicksPerMs = 10'000;
constexpr std::int64_t kMsPerDay = 86'400'000;
constexpr std::int64_t kTicksPerDay = kMsPerDay * kTicksPerMs;
constexpr std::int64_t kDays1601To1970 = 134'774;
constexpr std::int64_t kDays1601To1899 = 109'205;  // to 1899-12-30, day 0 of the date-time scale
constexpr std::int64_t kDays1899To1970 = kDays1601To1970 - kDays1601To1899;
constexpr std::int64_t kUnixEpochTicks = kDays1601To1970 * kTicksPerDay;
// The date-time scale covers 100-01-01 .. 9999-12-31.
constexpr double kMinDate = -657'434.0;
constexpr double kMaxDateExclusive = 2'958'466.0;

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

WORD dayOfWeekFromUnixDays(std::int64_t unixDays)
{
    // 1970-01-01 was a Thursday.
    return static_cast<WORD>(((unixDays % 7) + 7 + 4) % 7);
}

std::int64_t ticksOf(const FILETIME& ft)
{
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

bool isValidTicks(std::uint64_t t) { return t < 0x8000000000000000ULL; }

FILETIME fileTimeOf(std::int64_t ticks)
{
    const auto u = static_cast<std::uint64_t>(ticks);
    return FILETIME{static_cast<DWORD>(u & 0xFFFFFFFFu), static_cast<DWORD>(u >> 32)};
}

// Seconds east of UTC of the process's time zone at a UTC instant.
std::int64_t utcOffsetAt(std::int64_t unixSeconds)
{
    const auto t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm))
        return 0;
    return tm.tm_gmtoff;
}

// Milliseconds since 1899-12-30 of a date-time double; before day 0 the whole part counts
// backwards and the fraction forwards.
bool dateTimeToMs(double dt, std::int64_t& ms)
{
    if (!(dt >= kMinDate && dt < kMaxDateExclusive))
        return false;
    const double whole = std::trunc(dt);
    ms = static_cast<std::int64_t>(whole) * kMsPerDay + std::llround(std::fabs(dt - whole) * kMsPerDay);
    return true;
}

double msToDateTime(std::int64_t ms)
{
    const std::int64_t days = floorDiv(ms, kMsPerDay);
    const double frac = static_cast<double>(ms - days * kMsPerDay) / kMsPerDay;
    return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

}  // namespace

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime)
{
    if (!lpFileTime || !lpSystemTime)
        return FALSE;
    const auto t = static_cast<std::uint64_t>(ticksOf(*lpFileTime));
    if (!isValidTicks(t))
        return FALSE;
    const auto days = static_cast<std::int64_t>(t / kTicksPerDay);
    std::int64_t rest = static_cast<std::int64_t>(t % kTicksPerDay) / kTicksPerMs;
    std::int64_t y = 0;
    int m = 0;
    int d = 0;
    civilFromDays(days - kDays1601To1970, y, m, d);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    st.wDayOfWeek = dayOfWeekFromUnixDays(days - kDays1601To1970);
    st.wMilliseconds = static_cast<WORD>(rest % 1000);
    rest /= 1000;
    st.wSecond = static_cast<WORD>(rest % 60);
    rest /= 60;
    st.wMinute = static_cast<WORD>(rest % 60);
    st.wHour = static_cast<WORD>(rest / 60);
    *lpSystemTime = st;
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime)
{
    if (!lpSystemTime || !lpFileTime)
        return FALSE;
    const SYSTEMTIME& st = *lpSystemTime;
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > daysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
        st.wMilliseconds > 999)
        return FALSE;
    const std::int64_t days = daysFromCivil(st.wYear, st.wMonth, st.wDay) + kDays1601To1970;
    const std::int64_t ms = ((static_cast<std::int64_t>(st.wHour) * 60 + st.wMinute) * 60 + st.wSecond) * 1000 +
                            st.wMilliseconds;
    const std::int64_t ticks = days * kTicksPerDay + ms * kTicksPerMs;
    if (!isValidTicks(static_cast<std::uint64_t>(ticks)))
        return FALSE;
    *lpFileTime = fileTimeOf(ticks);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime)
{
    if (!lpFileTime || !lpLocalFileTime)
        return FALSE;
    const std::int64_t utc = ticksOf(*lpFileTime);
    if (!isValidTicks(static_cast<std::uint64_t>(utc)))
        return FALSE;
    const std::int64_t offset = utcOffsetAt(floorDiv(utc - kUnixEpochTicks, kTicksPerSecond));
    const std::int64_t local = utc + offset * kTicksPerSecond;
    if (local < 0 || !isValidTicks(static_cast<std::uint64_t>(local)))
        return FALSE;
    *lpLocalFileTime = fileTimeOf(local);
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime)
{
    if (!lpLocalFileTime || !lpFileTime)
        return FALSE;
    const std::int64_t local = ticksOf(*lpLocalFileTime);
    if (!isValidTicks(static_cast<std::uint64_t>(local)))
        return FALSE;
    // Try the offsets in force a day before and a day after: a local time has one of them,
    // both (it occurs twice) or neither (it is skipped).
    const std::int64_t l = floorDiv(local - kUnixEpochTicks, kTicksPerSecond);
    const std::int64_t before = utcOffsetAt(l - 86'400);
    const std::int64_t after = utcOffsetAt(l + 86'400);
    const bool beforeFits = utcOffsetAt(l - before) == before;
    const bool afterFits = utcOffsetAt(l - after) == after;
    std::int64_t offset = before;
    if (beforeFits && afterFits)
        offset = before > after ? before : after;  // the larger offset is the earlier instant
    else if (afterFits)
        offset = after;
    const std::int64_t utc = local - offset * kTicksPerSecond;
    if (utc < 0 || !isValidTicks(static_cast<std::uint64_t>(utc)))
        return FALSE;
    *lpFileTime = fileTimeOf(utc);
    return TRUE;
}

INT VariantTimeToSystemTime(DOUBLE vtime, SYSTEMTIME* lpSystemTime)
{
    if (!lpSystemTime || !(vtime >= kMinDate && vtime < kMaxDateExclusive))
        return FALSE;
    double whole = std::trunc(vtime);
    std::int64_t seconds = std::llround(std::fabs(vtime - whole) * 86'400.0);
    if (seconds >= 86'400) {
        // Rounded up to midnight: the fraction runs forwards on both sides of day 0.
        seconds -= 86'400;
        whole += 1.0;
        if (whole >= kMaxDateExclusive)
            return FALSE;
    }
    const std::int64_t unixDays = static_cast<std::int64_t>(whole) - kDays1899To1970;
    std::int64_t y = 0;
    int m = 0;
    int d = 0;
    civilFromDays(unixDays, y, m, d);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    st.wDayOfWeek = dayOfWeekFromUnixDays(unixDays);
    st.wHour = static_cast<WORD>(seconds / 3600);
    st.wMinute = static_cast<WORD>(seconds / 60 % 60);
    st.wSecond = static_cast<WORD>(seconds % 60);
    *lpSystemTime = st;
    return TRUE;
}

INT SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DOUBLE* pvtime)
{
    if (!lpSystemTime || !pvtime)
        return FALSE;
    const SYSTEMTIME& st = *lpSystemTime;
    if (st.wYear < 100 || st.wYear > 9999 || st.wMonth < 1 || st.wMonth > 12 || st.wDay > 31 || st.wHour > 23 ||
        st.wMinute > 59 || st.wSecond > 59)
        return FALSE;
    // Counting from the first of the month lets day 0 and days past the month's end roll over.
    const std::int64_t days = daysFromCivil(st.wYear, st.wMonth, 1) + st.wDay - 1 + kDays1899To1970;
    if (days < static_cast<std::int64_t>(kMinDate) || days >= static_cast<std::int64_t>(kMaxDateExclusive))
        return FALSE;
    const double frac = ((st.wHour * 60.0 + st.wMinute) * 60.0 + st.wSecond) / 86'400.0;
    *pvtime = days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
    return TRUE;
}

HRESULT CoFileTimeNow(FILETIME* lpFileTime)
{
    if (!lpFileTime)
        return E_INVALIDARG;
    *lpFileTime = com::dateTimeToUtcFileTime(plat::clock().now());
    return S_OK;
}

namespace com {

FILETIME dateTimeToUtcFileTime(double localDateTime)
{
    std::int64_t ms = 0;
    if (!dateTimeToMs(localDateTime, ms))
        return FILETIME{0, 0};
    const std::int64_t localTicks = (ms + kDays1601To1899 * kMsPerDay) * kTicksPerMs;
    if (localTicks < 0)
        return FILETIME{0, 0};
    const FILETIME local = fileTimeOf(localTicks);
    FILETIME utc{0, 0};
    if (!LocalFileTimeToFileTime(&local, &utc))
        return FILETIME{0, 0};
    return utc;
}

double utcFileTimeToDateTime(const FILETIME& utc)
{
    FILETIME local{};
    if (!FileTimeToLocalFileTime(&utc, &local))
        return 0.0;
    const std::int64_t ms = (ticksOf(local) + kTicksPerMs / 2) / kTicksPerMs - kDays1601To1899 * kMsPerDay;
    const double dt = msToDateTime(ms);
    return dt < kMaxDateExclusive ? dt : 0.0;
}

}  // namespace com

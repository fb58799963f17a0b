#pragma once
// File times (100 ns ticks since 1601-01-01 UTC), system times and the date-time double of
// days since 1899-12-30, and the conversions between them.
//
// Local and UTC differ by the offset that the process's time zone (TZ, through the C library)
// had at the moment converted, daylight saving time included. Windows' FileTimeToLocalFileTime
// applies the offset in force today to every date; here a summer time stamp stays a summer
// time stamp whatever the day the program runs.
#include "types.h"

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;  // 0 Sunday .. 6 Saturday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// FALSE for a file time of 0x8000000000000000 or more.
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);
// wDayOfWeek is ignored; FALSE for fields out of range (years 1601..30827).
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime);
// A local time that occurs twice (the hour when summer time ends) is taken as the first, in
// summer time; one that does not occur (the hour skipped when it starts) with the winter
// offset, so 02:30 becomes 01:30 UTC, that is 03:30 summer time.
BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime);

// Resolves to the second: the time is rounded to the nearest second and wMilliseconds is 0.
// FALSE outside 100-01-01 .. 9999-12-31.
INT VariantTimeToSystemTime(DOUBLE vtime, SYSTEMTIME* lpSystemTime);
// Milliseconds and wDayOfWeek are ignored. A day beyond the end of its month (1..31) rolls
// over into the next month and day 0 is the last day of the previous one; other fields out
// of range give FALSE.
INT SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DOUBLE* pvtime);

// The current time as a UTC file time, from plat::clock().
HRESULT CoFileTimeNow(FILETIME* lpFileTime);

namespace com {

// Local date-time double to UTC file time and back, to the millisecond. Out-of-range input
// gives the zero file time and the date-time 0.
FILETIME dateTimeToUtcFileTime(double localDateTime);
double utcFileTimeToDateTime(const FILETIME& utc);

}  // namespace com

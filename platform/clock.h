#pragma once
// Time seam: the date-time value is a double of days since 30 December 1899, local time.
// The program uses the system clock; tests install a ManualClock.
#include <cstdint>

namespace plat {

struct DateTimeFields {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int dayOfWeek = 6;  // Monday 1 .. Sunday 7; ignored by encodeDateTime
};

// Proleptic Gregorian calendar arithmetic, days counted from 1970-01-01 (negative before).
bool isLeapYear(std::int64_t year);
int daysInMonth(std::int64_t year, int month);
std::int64_t daysFromCivil(std::int64_t year, int month, int day);
void civilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day);

// Calendar fields to the date-time double; false for fields out of range.
bool encodeDateTime(const DateTimeFields& f, double& out);
double encodeDate(int year, int month, int day);  // asserts nothing: invalid dates give 0
DateTimeFields decodeDateTime(double dt);

class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;              // local date-time
    virtual std::int64_t monotonicMs() const = 0;  // never goes back
};

class SystemClock final : public Clock {
public:
    double now() const override;
    std::int64_t monotonicMs() const override;
};

class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 45000.0) : now_(start) {}
    double now() const override { return now_; }
    std::int64_t monotonicMs() const override { return mono_; }
    // Moves both the date-time and the monotonic counter forward.
    void advanceMs(std::int64_t ms);
    // Jumps the date-time only, as a change of the system time does.
    void setNow(double dt) { now_ = dt; }

private:
    double now_;
    std::int64_t mono_ = 0;
};

// The process-wide clock; nullptr restores the system clock.
Clock& clock();
void setClock(Clock* c);

}  // namespace plat

#pragma once
// Notices changes of the time the program counts in: a step of the system clock (set by
// hand or by a time service) and a change of the local UTC offset (a daylight-saving switch,
// another time zone), which moves local time without any step of the clock. Either calls the
// handler.
#include <functional>
#include <memory>

class QSocketNotifier;

namespace plat {

class Timer;

// The local UTC offset now, in seconds east of UTC; re-reads the time zone.
long localUtcOffsetSeconds();

class ClockWatch {
public:
    using Handler = std::function<void()>;
    using OffsetSource = std::function<long()>;
    // The offset is compared this often, on the timer seam.
    static constexpr int kOffsetCheckMs = 1000;

    // Watches from now on; the offset source defaults to localUtcOffsetSeconds. Without a
    // kernel notice of clock steps (logged once) the offset is still watched.
    explicit ClockWatch(Handler onChange, OffsetSource offset = {});
    ~ClockWatch();
    ClockWatch(const ClockWatch&) = delete;
    ClockWatch& operator=(const ClockWatch&) = delete;

    // Whether the kernel's notice of clock steps is being watched.
    bool WatchesClockSteps() const { return notifier_ != nullptr; }
    // Reports a change of the time, as a clock step does.
    void NotifyChange();

private:
    bool Arm();
    void ReadClockFd();
    void CheckOffset();

    Handler onChange_;
    OffsetSource offset_;
    long lastOffset_ = 0;
    std::unique_ptr<Timer> offsetTimer_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// For tests: every live watch reports a change of the time.
void simulateClockChange();

}  // namespace plat

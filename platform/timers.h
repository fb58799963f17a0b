#pragma once
// Timer seam. A timer fires its callback every Interval ms while enabled; changing the
// interval of an enabled timer restarts it, enabling a disabled one starts it from now,
// and an interval of 0 never fires. The program wires in Qt timers; tests a ManualScheduler.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "clock.h"

namespace plat {

class Timer {
public:
    virtual ~Timer() = default;
    virtual void setEnabled(bool on) = 0;
    virtual bool enabled() const = 0;
    virtual void setInterval(int ms) = 0;
    virtual int interval() const = 0;

    std::function<void()> onTimer;
};

class TimerFactory {
public:
    virtual ~TimerFactory() = default;
    virtual std::unique_ptr<Timer> createTimer() = 0;
};

class QtTimerFactory final : public TimerFactory {
public:
    std::unique_ptr<Timer> createTimer() override;
};

// Fires due timers in deadline order on a ManualClock. Handlers may re-arm, disable or
// destroy any timer, their own included.
class ManualScheduler final : public TimerFactory {
public:
    explicit ManualScheduler(ManualClock& clock) : clock_(clock) {}
    ~ManualScheduler() override;
    std::unique_ptr<Timer> createTimer() override;

    // Advances the clock by ms, firing every timer that falls due on the way at its deadline.
    void advance(std::int64_t ms);
    // Fires what is due now, without moving the clock.
    void runDue() { advance(0); }
    // Deadline of the next enabled timer, or -1.
    std::int64_t nextDeadline() const;
    int activeTimers() const;

private:
    class ManualTimer;
    friend class ManualTimer;
    ManualClock& clock_;
    std::map<std::uint64_t, ManualTimer*> timers_;  // by creation order, for stable ties
    std::uint64_t nextId_ = 1;
};

// The process-wide timer factory; nullptr restores the Qt factory.
TimerFactory& timers();
void setTimerFactory(TimerFactory* f);

}  // namespace plat

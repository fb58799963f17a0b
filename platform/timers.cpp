#include "timers.h"

#include <QTimer>
#include <limits>

namespace plat {
namespace {

class QtTimer final : public Timer {
public:
    QtTimer()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (onTimer)
                onTimer();
        });
    }
    void setEnabled(bool on) override
    {
        if (on == enabled_)
            return;
        enabled_ = on;
        apply();
    }
    bool enabled() const override { return enabled_; }
    void setInterval(int ms) override
    {
        if (ms == interval_)
            return;
        interval_ = ms;
        apply();
    }
    int interval() const override { return interval_; }

private:
    void apply()
    {
        if (enabled_ && interval_ > 0)
            timer_.start(interval_);
        else
            timer_.stop();
    }
    QTimer timer_;
    bool enabled_ = false;
    int interval_ = 1000;
};

QtTimerFactory qtFactory;
TimerFactory* current = &qtFactory;

}  // namespace

std::unique_ptr<Timer> QtTimerFactory::createTimer() { return std::make_unique<QtTimer>(); }

class ManualScheduler::ManualTimer final : public Timer {
public:
    ManualTimer(ManualScheduler* s, std::uint64_t id) : sched_(s), id_(id) {}
    ~ManualTimer() override
    {
        if (sched_)
            sched_->timers_.erase(id_);
    }
    void setEnabled(bool on) override
    {
        if (on == enabled_)
            return;
        enabled_ = on;
        rearm();
    }
    bool enabled() const override { return enabled_; }
    void setInterval(int ms) override
    {
        if (ms == interval_)
            return;
        interval_ = ms;
        rearm();
    }
    int interval() const override { return interval_; }

    bool armed() const { return enabled_ && interval_ > 0; }
    void rearm()
    {
        if (sched_)
            deadline_ = sched_->clock_.monotonicMs() + interval_;
    }

    ManualScheduler* sched_;
    std::uint64_t id_;
    bool enabled_ = false;
    int interval_ = 1000;
    std::int64_t deadline_ = 0;
};

ManualScheduler::~ManualScheduler()
{
    for (auto& [id, t] : timers_)
        t->sched_ = nullptr;
}

std::unique_ptr<Timer> ManualScheduler::createTimer()
{
    auto t = std::make_unique<ManualTimer>(this, nextId_);
    timers_[nextId_++] = t.get();
    return t;
}

std::int64_t ManualScheduler::nextDeadline() const
{
    std::int64_t best = -1;
    for (const auto& [id, t] : timers_)
        if (t->armed() && (best < 0 || t->deadline_ < best))
            best = t->deadline_;
    return best;
}

int ManualScheduler::activeTimers() const
{
    int n = 0;
    for (const auto& [id, t] : timers_)
        n += t->armed() ? 1 : 0;
    return n;
}

void ManualScheduler::advance(std::int64_t ms)
{
    const std::int64_t end = clock_.monotonicMs() + ms;
    for (;;) {
        // Earliest due timer; ties go to the older timer.
        ManualTimer* due = nullptr;
        for (const auto& [id, t] : timers_)
            if (t->armed() && t->deadline_ <= end && (!due || t->deadline_ < due->deadline_))
                due = t;
        if (!due)
            break;
        if (due->deadline_ > clock_.monotonicMs())
            clock_.advanceMs(due->deadline_ - clock_.monotonicMs());
        due->deadline_ = clock_.monotonicMs() + due->interval_;
        if (due->onTimer) {
            auto cb = due->onTimer;  // the handler may destroy its own timer
            cb();
        }
    }
    if (end > clock_.monotonicMs())
        clock_.advanceMs(end - clock_.monotonicMs());
}

TimerFactory& timers() { return *current; }
void setTimerFactory(TimerFactory* f) { current = f ? f : &qtFactory; }

}  // namespace plat

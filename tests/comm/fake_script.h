#pragma once
// What the scripted serial line and the scripted UDP socket share: the bytes they carry, the
// deliveries they hold back on the manual clock, and how a test reads a request telegram.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/timers.h"

namespace fakescript {

using Bytes = std::vector<std::uint8_t>;

// Deliveries due later on the manual clock. They run from a timer of the manual scheduler,
// as the event loop would run them: never from inside a call the channel makes.
class DeliveryQueue {
public:
    DeliveryQueue() : timer_(plat::timers().createTimer()) { timer_->onTimer = [this] { runDue(); }; }
    DeliveryQueue(const DeliveryQueue&) = delete;  // the timer calls back into this object
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    // Runs action ms from now on the manual clock (at least 1 ms).
    void later(int ms, std::function<void()> action)
    {
        pending_.push_back({plat::clock().monotonicMs() + std::max(ms, 1), std::move(action)});
        rearm();
    }
    // Drops every delivery not yet run.
    void clear() { pending_.clear(); }
    std::size_t size() const { return pending_.size(); }

private:
    struct Pending {
        std::int64_t dueMs;
        std::function<void()> action;
    };

    void rearm()
    {
        timer_->setEnabled(false);
        if (pending_.empty())
            return;
        std::int64_t first = pending_.front().dueMs;
        for (const Pending& p : pending_)
            first = std::min(first, p.dueMs);
        timer_->setInterval(static_cast<int>(std::max<std::int64_t>(first - plat::clock().monotonicMs(), 1)));
        timer_->setEnabled(true);
    }
    // Everything due runs in the order it was scheduled; an action may schedule more.
    void runDue()
    {
        const std::int64_t now = plat::clock().monotonicMs();
        std::vector<Pending> due;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->dueMs <= now) {
                due.push_back(std::move(*it));
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
        rearm();
        for (Pending& p : due)
            p.action();
    }

    std::unique_ptr<plat::Timer> timer_;
    std::vector<Pending> pending_;
};

// Destination byte of a request telegram; -1 for none.
inline int destinationOf(const Bytes& t)
{
    if (t.size() >= 6 && t[0] == 0x10)
        return t[1];
    if (t.size() >= 10 && t[0] == 0x68)
        return t[4];
    return -1;
}

// Function code, and for SD2 telegrams the service code: 0x69 Connect, 0x6E Ident, 0x6C0B
// ReadN, 0x630C WriteN, 0x6310 WriteB, 0x6308 SetTID.
inline int serviceOf(const Bytes& t)
{
    if (t.size() >= 6 && t[0] == 0x10)
        return t[3];
    if (t.size() >= 10 && t[0] == 0x68)
        return t[6] << 8 | t[7];
    return -1;
}

inline constexpr int kConnect = 0x69;
inline constexpr int kIdent = 0x6E;
inline constexpr int kReadN = 0x6C0B;
inline constexpr int kWriteN = 0x630C;
inline constexpr int kWriteB = 0x6310;
inline constexpr int kSetTID = 0x6308;

}  // namespace fakescript

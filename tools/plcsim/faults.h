#pragma once
// Scripted faults of a transport: a queue of faults for the next requests they fit, and
// rates that strike requests at random. The random faults are seeded, so that a run that
// found something can be repeated.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace plcsim {

// What a fault needs beyond its kind; each fault says which fields it reads and what 0 or
// -1 stands for.
struct FaultParams {
    int ms = 0;
    int bytes = 0;
    int value = -1;
    int station = -1;  // only requests carrying a telegram to this bus address; -1 any
};

template <class F>
class FaultScript {
public:
    struct Chosen {
        F fault;
        FaultParams params;
    };

    // Queued faults apply in the order added, each to the next `times` requests it fits.
    void add(F fault, int times, FaultParams params)
    {
        if (times > 0)
            queue_.push_back({fault, times, params});
    }
    // Strikes a request with this probability (0 to 1; 0 takes the rate away) when no
    // queued fault took it. Rates are tried in the order set, one draw each.
    void setRate(F fault, double probability, FaultParams params)
    {
        std::erase_if(rates_, [fault](const Rate& r) { return r.fault == fault; });
        if (probability > 0)
            rates_.push_back({fault, std::min(probability, 1.0), params});
    }
    void clear()
    {
        queue_.clear();
        rates_.clear();
    }
    void seed(std::uint32_t s) { rng_.seed(s); }
    std::size_t pending() const
    {
        std::size_t n = 0;
        for (const Queued& q : queue_)
            n += static_cast<std::size_t>(q.left);
        return n;
    }
    bool hasRates() const { return !rates_.empty(); }

    // The fault for a request that carries telegrams to these stations, if any. A queued
    // fault that does not fit this answer, or is meant for another station, waits; only
    // the first in the queue is looked at.
    std::optional<Chosen> take(std::span<const int> stations, const std::function<bool(F)>& fits)
    {
        if (!queue_.empty()) {
            Queued& q = queue_.front();
            if (targets(q.params, stations) && fits(q.fault)) {
                const Chosen c{q.fault, q.params};
                if (--q.left == 0)
                    queue_.pop_front();
                return c;
            }
        }
        for (const Rate& r : rates_) {
            if (std::uniform_real_distribution<double>(0.0, 1.0)(rng_) >= r.probability)
                continue;
            if (targets(r.params, stations) && fits(r.fault))
                return Chosen{r.fault, r.params};
        }
        return std::nullopt;
    }

private:
    static bool targets(const FaultParams& p, std::span<const int> stations)
    {
        return p.station < 0 || std::find(stations.begin(), stations.end(), p.station) != stations.end();
    }

    struct Queued {
        F fault;
        int left;
        FaultParams params;
    };
    struct Rate {
        F fault;
        double probability;
        FaultParams params;
    };
    std::deque<Queued> queue_;
    std::vector<Rate> rates_;
    std::mt19937 rng_{1};
};

}  // namespace plcsim

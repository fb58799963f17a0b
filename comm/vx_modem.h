#pragma once
// Dial-up modem channels.
#include <cstdint>
#include <memory>
#include <vector>

#include "vx_channel.h"

namespace vx {

class TModem : public TCOM {
public:
    explicit TModem(TTreeObject* owner);
    ~TModem() override;

    virtual void StartHangUp() {}

    // What a station asks of its modem. The call state machine comes with the modem channel;
    // until then a queued station only waits in Queue.
    // 0 queued, 1 queued already, 2 the modem is blocked.
    virtual std::int32_t QueueStation(TStation* station);
    bool IsQueued(const TStation* station) const;
    bool IsAttached(const TStation* station) const;
    virtual void ReleaseStation(TStation* station);
    // Takes a station that is being freed out of the queue and the call, without callbacks.
    void ForgetStation(const TStation* station);
    // Writes the modem's state into its status variables.
    virtual void PublishState() {}

    std::vector<TStation*> Queue;  // stations waiting for a call, not owned
};

// Owns every modem of the configuration.
class TModemList {
public:
    TModemList() = default;
    ~TModemList() { Clear(); }
    TModemList(const TModemList&) = delete;
    TModemList& operator=(const TModemList&) = delete;

    TModem* AddModem();
    void HangUpAll();
    void Clear();
    // The modem that shall call the station, or nullptr.
    TModem* FindModemFor(const TStation* station) const;
    std::size_t size() const { return items_.size(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::unique_ptr<TModem>> items_;
};

}  // namespace vx

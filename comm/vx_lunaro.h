#pragma once
// The channel through the development environment's communication service: each request's
// service code and data go to the service in one synchronous COM call, and the answer data it
// returns are placed in RxBuffer where a telegram would carry them, so that the answer is
// applied as on every other channel.
#include <cstdint>
#include <memory>

#include "platform/com/unknown.h"
#include "vx_channel.h"
#include "vx_lunaro_com.h"

namespace vx {

class TLunaro : public TCOM {
public:
    explicit TLunaro(TTreeObject* owner);
    // Releases Plc, stops, releases the rest.
    ~TLunaro() override;

    // Creates the application object; when it cannot be created the channel stops, fails its
    // stations and settles whatever is queued on it until the next start tries again.
    void Start() override;
    // Also calls the application object's closing method before letting it go.
    void Stop() override;
    void PollTimer() override;
    // Hands the request to the service and waits for its answer.
    void SendPacket(std::unique_ptr<TPacket> packet) override;

    // This channel's own answer check: no frame checks, only whether data came and, for
    // Ident and ReadN, whether all of it came. A good answer is applied at once.
    void CheckServiceAnswer(TPacket* packet);

    com::ComPtr<IWexaApp> App;
    com::ComPtr<IConnectedPlc> Plc;
    com::ComPtr<IUnknown> Spare;  // never filled

    // Stopped because the application object could not be created: the poll timer still runs,
    // to settle what clients queue meanwhile.
    bool Unavailable() const { return unavailable_; }

protected:
    bool HasSerialLine() const override { return false; }

private:
    void BecomeUnavailable(HRESULT why);
    void SettleQueued();
    void SendNext();
    // The request is still this channel's request in flight, sent by send number `send`.
    bool StillInFlight(const TPacket* packet, std::uint64_t send) const;

    bool unavailable_ = false;
    bool unavailableNoted_ = false;
    // A service call is in progress: ticks that come meanwhile (a nested start) do nothing.
    bool inServiceCall_ = false;
    std::uint64_t sends_ = 0;
};

}  // namespace vx

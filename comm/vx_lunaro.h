#pragma once
// The channel through the development environment's communication service.
#include "vx_com.h"

namespace vx {

class TLunaro : public TCOM {
public:
    explicit TLunaro(TTreeObject* owner);
    // The service calls come with this channel; until then a request fails here, and never
    // goes out on the serial port every channel has.
    void SendPacket(std::unique_ptr<TPacket> packet) override;

protected:
    bool HasSerialLine() const override { return false; }
};

}  // namespace vx

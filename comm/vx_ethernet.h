#pragma once
// What the Ethernet channels share: the channel base TSocket and the datagram unit with
// its two lists.
#include <memory>

#include "vx_channel.h"

namespace vx {

class TSocket : public TCOM {
public:
    explicit TSocket(TTreeObject* owner);
    // The datagram transport comes with the UDP and TCP channels; until then a request fails
    // here.
    void SendPacket(std::unique_ptr<TPacket> packet) override;

protected:
    bool HasSerialLine() const override { return false; }
};

}  // namespace vx

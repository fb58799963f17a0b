#include "vx_ethernet.h"

#include "vx_station.h"

namespace vx {

TSocket::TSocket(TTreeObject* owner) : TCOM(owner, TLine::None) { ObjectType = otEthChannel; }

void TSocket::SendPacket(std::unique_ptr<TPacket> packet)
{
    FailUnsent(std::move(packet), "the Ethernet transport is not available");
}

}  // namespace vx

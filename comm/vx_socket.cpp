#include "vx_socket.h"

namespace vx {

TSocket::TSocket(TTreeObject* owner) : TCOM(owner) { ObjectType = otEthChannel; }

void TSocket::SendPacket(std::unique_ptr<TPacket> packet)
{
    FailUnsent(std::move(packet), "the Ethernet transport is not available");
}

TUdpSocket::TUdpSocket(TTreeObject* owner) : TSocket(owner) { Name = "Socket"; }

TWsSocket::TWsSocket(TTreeObject* owner) : TSocket(owner) {}

void TSocketList::Clear()
{
    for (auto& channel : items_)
        channel->Stop();
    while (!items_.empty())
        items_.pop_back();
}

}  // namespace vx

#include "vx_socket.h"

namespace vx {

TSocket::TSocket(TTreeObject* owner) : TCOM(owner) { ObjectType = otEthChannel; }

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

#include "vx_tcp.h"

#include "vx_station.h"

namespace vx {

TWsSocket::TWsSocket(TTreeObject* owner) : TSocket(owner)
{
    Name = "TCPSocket" + std::to_string(SocketList ? SocketList->size() : 0);
}

TWsSocket* TSocketList::FindByAddress(const std::string& address) const
{
    for (const auto& channel : items_)
        if (channel->GetAddress() == address)
            return channel.get();
    return nullptr;
}

TWsSocket* TSocketList::AssignStation(TStation* station)
{
    const TConnectionParams& params = station->GetConnParams();
    TWsSocket* channel = FindByAddress(params.IPAddress);
    if (!channel) {
        // Named before it is listed: the name counts the channels before it.
        auto created = std::make_unique<TWsSocket>(CommServer);
        created->SetPortNumber(params.PortNumber);
        created->SetAddress(params.IPAddress);
        channel = created.get();
        items_.push_back(std::move(created));
    }
    // The station's Owner stays the communication root: a channel list is cleared before the
    // stations when a configuration is applied, and no station may point at a freed channel.
    channel->AddStation(station);
    return channel;
}

bool TSocketList::StartAll()
{
    for (auto& channel : items_)
        channel->Start();
    return !items_.empty();
}

bool TSocketList::StopAll()
{
    for (auto& channel : items_)
        channel->Stop();
    return !items_.empty();
}

void TSocketList::Clear()
{
    StopAll();
    while (!items_.empty())
        items_.pop_back();
}

}  // namespace vx

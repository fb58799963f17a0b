#include "vx_com.h"

#include <algorithm>
#include <string>

#include "vx_station.h"

namespace vx {

TCOM::TCOM(TTreeObject* owner) : TParentTreeObject(owner) { ObjectType = otSerialChannel; }

TCOM::~TCOM()
{
    // Packets first, while the stations and variables they name still live; then no station
    // may keep pointing at a channel that is gone.
    if (CurrentPacket && !ReadQueue.Holds(CurrentPacket) && !WriteQueue.Holds(CurrentPacket))
        delete CurrentPacket;
    CurrentPacket = nullptr;
    WriteQueue.Clear();
    ReadQueue.Clear();
    for (TStation* s : Stations)
        if (s->Channel == this)
            s->Channel = nullptr;
    Stations.clear();
    DestroyChildren();
}

void TCOM::Start() { Polling = true; }

void TCOM::Stop() { Polling = false; }

void TCOM::AddStation(TStation* station)
{
    Stations.push_back(station);
    station->Channel = this;
}

void TCOM::RemoveStation(TStation* station)
{
    auto it = std::find(Stations.begin(), Stations.end(), station);
    if (it != Stations.end())
        Stations.erase(it);
    station->Channel = nullptr;
}

void TCOM::ClearStations()
{
    for (TStation* s : Stations)
        s->Channel = nullptr;
    Stations.clear();
}

void TCOM::DropStationPackets(const TStation* station)
{
    WriteQueue.RemoveStation(station);
    ReadQueue.RemoveStation(station);
    if (CurrentPacket && CurrentPacket->Station == station) {
        TPacket* p = CurrentPacket;
        CurrentPacket = nullptr;
        if (!ReadQueue.Holds(p) && !WriteQueue.Holds(p))
            delete p;
    }
}

void TComList::Clear()
{
    for (auto& channel : items_)
        channel->Stop();
    while (!items_.empty())
        items_.pop_back();
}

TCOM* TComList::FindByPort(std::int32_t port) const
{
    for (const auto& channel : items_)
        if (channel->GetPortNumber() == port)
            return channel.get();
    return nullptr;
}

TCOM* TComList::GetChannelForStation(TStation* station)
{
    const TConnectionParams& params = station->GetConnParams();
    TCOM* channel = FindByPort(params.PortNumber);
    if (!channel) {
        items_.push_back(std::make_unique<TCOM>(CommServer));
        channel = items_.back().get();
        channel->SetPortNumber(params.PortNumber);
        channel->Name = "COM" + std::to_string(params.PortNumber);
    }
    channel->AddStation(station);
    return channel;
}

bool TComList::StartAll()
{
    for (auto& channel : items_)
        channel->Start();
    return !items_.empty();
}

}  // namespace vx

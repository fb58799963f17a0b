#include "vx_modem.h"

#include <algorithm>

#include "vx_def.h"
#include "vx_station.h"

namespace vx {

TModem::TModem(TTreeObject* owner) : TCOM(owner) { ObjectType = otModem; }

TModem::~TModem()
{
    ShuttingDown = true;
    for (TStation* s : Queue)
        if (s->Channel == this)
            s->Channel = nullptr;
}

std::int32_t TModem::QueueStation(TStation* station)
{
    if (IsQueued(station))
        return 1;
    station->Channel = this;
    Queue.push_back(station);
    return 0;
}

bool TModem::IsQueued(const TStation* station) const
{
    return std::find(Queue.begin(), Queue.end(), station) != Queue.end();
}

bool TModem::IsAttached(const TStation* station) const
{
    return std::find(Stations.begin(), Stations.end(), station) != Stations.end();
}

void TModem::ReleaseStation(TStation* station)
{
    station->Channel = nullptr;
    ForgetStation(station);
}

void TModem::ForgetStation(const TStation* station)
{
    Queue.erase(std::remove(Queue.begin(), Queue.end(), station), Queue.end());
    Stations.erase(std::remove(Stations.begin(), Stations.end(), station), Stations.end());
}

TModem* TModemList::AddModem()
{
    items_.push_back(std::make_unique<TModem>(CommServer));
    return items_.back().get();
}

void TModemList::HangUpAll()
{
    for (auto& modem : items_)
        modem->StartHangUp();
}

void TModemList::Clear()
{
    HangUpAll();
    while (!items_.empty())
        items_.pop_back();
}

TModem* TModemList::FindModemFor(const TStation* station) const
{
    // The choice by queue, phone number and modem type comes with the modem channel; until
    // then the modem that already holds the station, else the first one.
    for (const auto& modem : items_)
        if (modem->IsQueued(station) || modem->IsAttached(station))
            return modem.get();
    return items_.empty() ? nullptr : items_.front().get();
}

}  // namespace vx

#include "vx_packetlist.h"

#include <algorithm>

#include "vx_station.h"

namespace vx {

namespace {

bool zoneMRefused(const TVariable& v, const TStation& station)
{
    return (v.Zone & 0x80) != 0 && !TStation::HasBlockTransfer(station.CpuClass);
}

bool isBlockBuffer(const TVariable* v, const TStation& station) { return station.DRW_DataBuffer == v; }

// A variable that no item can address is a configuration error, and says so to its clients.
bool locationRefused(TVariable& v)
{
    if (PlcLocationValid(v))
        return false;
    v.SetQuality(qConfigError);
    return true;
}

// Queues fresh packets of kind for v until its whole value is placed or a fresh packet takes
// nothing; offset is v's ReadOffset or WriteOffset, which then starts again at 0. placed says
// whether a queued packet carries a part of v already; true when any packet carries one.
bool queueRestInFreshPackets(TComPacketList& list, TVariable* v, TStation* station, std::int32_t kind,
                             std::int32_t priority, std::int32_t& offset, bool placed)
{
    do {
        auto p = std::make_unique<TPacket>(kind, station);
        p->Priority = priority;
        if (!p->AddVariable(v))
            break;  // a fresh packet takes nothing: it is freed, never queued empty
        placed = true;
        list.AddPacket(std::move(p), false);
    } while (offset != 0);
    // Parts already queued still end through the hook; the rest of the value cannot go.
    offset = 0;
    return placed;
}

}  // namespace

TPacket* TComPacketList::AddPacket(std::unique_ptr<TPacket> packet, bool dropDuplicates)
{
    if (!packet)
        return nullptr;
    // A queue of one packet is ordered and checked like any other.
    if (dropDuplicates)
        for (const auto& queued : items_)
            if (queued->Kind == packet->Kind && queued->Station == packet->Station)
                return nullptr;  // packet is freed here
    TPacket* p = packet.get();
    if (items_.empty() || p->Priority == 0) {
        items_.push_back(std::move(packet));
        return p;
    }
    std::size_t at = 0;
    for (std::size_t i = items_.size(); i > 0; --i)
        if (items_[i - 1]->Priority >= p->Priority) {
            at = i;
            break;
        }
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), std::move(packet));
    return p;
}

TPacket* TComPacketList::InsertPacket(std::size_t index, std::unique_ptr<TPacket> packet, bool dropDuplicates)
{
    if (!packet)
        return nullptr;
    if (dropDuplicates)
        for (std::size_t i = items_.size(); i > 0; --i)
            if (items_[i - 1]->Kind == packet->Kind && items_[i - 1]->Station == packet->Station)
                FreeAt(i - 1);
    TPacket* p = packet.get();
    if (index > items_.size())
        index = items_.size();
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), std::move(packet));
    return p;
}

void TComPacketList::RemoveStation(const TStation* station)
{
    for (std::size_t i = items_.size(); i > 0; --i)
        if (i - 1 < items_.size() && items_[i - 1]->Station == station)
            FreeAt(i - 1);
}

TPacket* TComPacketList::FindStationPacket(const TStation* station) const
{
    for (std::size_t i = items_.size(); i > 0; --i)
        if (items_[i - 1]->Station == station)
            return items_[i - 1].get();
    return nullptr;
}

std::unique_ptr<TPacket> TComPacketList::Extract(std::size_t index)
{
    if (index >= items_.size())
        return nullptr;
    std::unique_ptr<TPacket> p = std::move(items_[index]);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    return p;
}

bool TComPacketList::Holds(const TPacket* packet) const
{
    return std::any_of(items_.begin(), items_.end(), [packet](const auto& p) { return p.get() == packet; });
}

void TComPacketList::Clear()
{
    while (!items_.empty())
        FreeAt(items_.size() - 1);
}

void TComPacketList::FreeAt(std::size_t index)
{
    std::unique_ptr<TPacket> p = Extract(index);
    p.reset();
}

TQueueResult TComPacketList::AddVariableRead(TVariable* v, std::int32_t priority)
{
    TStation* station = v ? v->GetStation() : nullptr;
    if (!station || zoneMRefused(*v, *station))
        return TQueueResult::NotQueued;
    if (locationRefused(*v)) {
        if (isBlockBuffer(v, *station))
            SetVariableNumber(station->DRW_Status, drwReadFailed);
        return TQueueResult::NotQueued;
    }
    if (v->ReadPending > 0) {
        if (isBlockBuffer(v, *station)) {
            SetVariableNumber(station->DRW_Status, drwReadFailed);
            return TQueueResult::NotQueued;
        }
        return TQueueResult::AlreadyPending;
    }

    if (v->CanonicalType == VT_BOOL || v->CanonicalType == VT_I1 || v->CanonicalType == VT_UI1)
        for (const auto& p : items_)
            if (p->Kind == pkReadN && p->Priority == priority && p->JoinVariable(v))
                return TQueueResult::Queued;

    bool placed = false;
    for (const auto& p : items_) {
        if (p->Kind != pkReadN || p->Priority != priority || !p->AddVariable(v))
            continue;
        placed = true;
        if (v->ReadOffset == 0)
            return TQueueResult::Queued;
    }

    if (queueRestInFreshPackets(*this, v, station, pkReadN, priority, v->ReadOffset, placed))
        return TQueueResult::Queued;
    if (isBlockBuffer(v, *station))
        SetVariableNumber(station->DRW_Status, drwReadFailed);
    return TQueueResult::NotQueued;
}

void TComPacketList::AddVariableReads(std::vector<TVariable*>& variables)
{
    SortVariablesByLocation(variables);
    for (TVariable* v : variables)
        AddVariableRead(v, 0);
}

TQueueResult TComPacketList::AddVariableWrite(TVariable* v, std::int32_t priority)
{
    TStation* station = v ? v->GetStation() : nullptr;
    if (!station || zoneMRefused(*v, *station))
        return TQueueResult::NotQueued;

    if (v->Kind == vkDateTime) {
        auto p = std::make_unique<TPacket>(pkSetTID, station);
        if (!p->AddVariable(v))
            return TQueueResult::NotQueued;  // the value is no date: the packet goes unqueued
        AddPacket(std::move(p), false);
        return TQueueResult::Queued;
    }

    if (locationRefused(*v))
        return TQueueResult::NotQueued;
    const std::int32_t kind = (v->CanonicalType & 0x0B) == 0x0B ? pkWriteB : pkWriteN;
    bool placed = false;
    for (std::size_t i = items_.size(); i > 0; --i) {
        TPacket* p = items_[i - 1].get();
        if (p->Kind != kind || p->Priority != priority || p->Station != station)
            continue;
        if (p->AddVariable(v)) {
            placed = true;
            if (v->WriteOffset == 0)
                return TQueueResult::Queued;
        }
        break;  // only the last such packet is tried
    }

    const bool carried = queueRestInFreshPackets(*this, v, station, kind, priority, v->WriteOffset, placed);
    return carried ? TQueueResult::Queued : TQueueResult::NotQueued;
}

}  // namespace vx

// The Ethernet channels' common ground: the datagram unit with its Id counter and its bytes,
// the lists of units waiting to go and awaiting their answer, the channel base with its start,
// the settling and dropping of telegrams held in units, and the datagram log.
#include "vx_ethernet.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "platform/clock.h"
#include "vx_def.h"
#include "vx_station.h"

namespace vx {

namespace {

// The counter starts at 1, so the first Id is 2.
std::uint16_t lastId = 1;

// The next Id after the last one; one the channel still awaits an answer for is skipped, so
// that no answer can be matched to the wrong unit.
std::uint16_t takeId(const TSocket* channel)
{
    for (int tries = 0; tries < 65536; ++tries) {
        ++lastId;
        if (!channel || !channel->SentPackets.FindById(lastId))
            break;
    }
    return lastId;
}

std::string timeOfDay(double now)
{
    const plat::DateTimeFields f = plat::decodeDateTime(now);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", f.hour, f.minute, f.second);
    return text;
}

bool isJudged(std::uint8_t result) { return result == chGood || result == chBad || result == chTimedOut; }

}  // namespace

// ---- the unit ----

TEthPacket::TEthPacket(TSocket* channel, bool raw) : TTreeObject(channel), Raw(raw), channel_(channel)
{
    ObjectType = otEthPacket;
    Id = takeId(channel);
}

TEthPacket::~TEthPacket()
{
    // Only a unit that went out made its stations busy.
    const bool inFlight = Status >= stSent;
    for (auto it = Frames.rbegin(); it != Frames.rend(); ++it) {
        std::unique_ptr<TPacket> p = std::move(it->Packet);
        if (!p)
            continue;
        try {
            if (inFlight && p->Station)
                p->Station->BusyInDatagram = false;
            if (channel_)
                channel_->SettleFrame(std::move(p), it->Result);
        } catch (...) {
            // Settling swallows its own failures; the packet is freed all the same.
        }
    }
}

void TEthPacket::SetLastId(std::uint16_t last) { lastId = last; }

std::uint16_t TEthPacket::LastId() { return lastId; }

void TEthPacket::AddFrame(std::unique_ptr<TPacket> packet)
{
    if (!packet)
        return;
    TEthFrame f;
    f.AnswerLength = packet->AnswerLength;
    f.Packet = std::move(packet);
    Frames.push_back(std::move(f));
}

std::size_t TEthPacket::FrameCount() const
{
    return static_cast<std::size_t>(
        std::count_if(Frames.begin(), Frames.end(), [](const TEthFrame& f) { return f.Packet != nullptr; }));
}

TPacket* TEthPacket::FirstFrame() const
{
    for (const TEthFrame& f : Frames)
        if (f.Packet)
            return f.Packet.get();
    return nullptr;
}

TStation* TEthPacket::FirstStation() const
{
    const TPacket* p = FirstFrame();
    return p ? p->Station : nullptr;
}

bool TEthPacket::IsExpired(double now) const
{
    const TStation* st = FirstStation();
    if (!st)
        return true;
    return SentTime + MsToDateTime(st->GetConnParams().Timeout) <= now;
}

std::int32_t TEthPacket::ExpectedAnswerLength() const
{
    std::int32_t sum = 0;
    for (const TEthFrame& f : Frames)
        sum += f.Packet ? f.Packet->AnswerLength : f.AnswerLength;
    return sum != 0 ? sum + 7 : 0;
}

void TEthPacket::SetStationsState(std::int32_t state)
{
    for (const TEthFrame& f : Frames)
        if (f.Packet && f.Packet->Station)
            f.Packet->Station->SetState(state);
}

void TEthPacket::SetSentTime(double t)
{
    SentTime = t;
    for (const TEthFrame& f : Frames)
        if (f.Packet)
            f.Packet->SendTime = t;
}

void TEthPacket::SetResults(std::uint8_t result)
{
    for (TEthFrame& f : Frames)
        f.Result = result;
}

bool TEthPacket::Carries(const TStation* station) const
{
    return std::any_of(Frames.begin(), Frames.end(),
                       [station](const TEthFrame& f) { return f.Packet && f.Packet->Station == station; });
}

bool TEthPacket::BuildDatagram()
{
    if (channel_ && channel_->SentPackets.FindById(Id))
        Id = takeId(channel_);
    Bytes.clear();
    Length = 0;
    for (TEthFrame& f : Frames) {
        if (!f.Packet)
            continue;
        if (!f.Packet->BuildFrame())
            return false;
        f.AnswerLength = f.Packet->AnswerLength;
    }
    if (Raw) {
        const TPacket* p = FirstFrame();
        if (!p)
            return false;
        Bytes.assign(p->Frame.begin(), p->Frame.begin() + p->FrameLength);
    } else {
        Bytes.assign(kDatagramHeader, 0);
        for (const TEthFrame& f : Frames)
            if (f.Packet)
                Bytes.insert(Bytes.end(), f.Packet->Frame.begin(), f.Packet->Frame.begin() + f.Packet->FrameLength);
        if (Bytes.size() % 2 != 0)
            Bytes.push_back(0);  // the pad byte; nothing reads it
        const std::size_t body = Bytes.size() - kDatagramHeader;
        Bytes[0] = static_cast<std::uint8_t>(Id & 0xFF);
        Bytes[1] = static_cast<std::uint8_t>(Id >> 8 & 0xFF);
        Bytes[2] = 2;
        Bytes[3] = 0;
        Bytes[4] = static_cast<std::uint8_t>(body >> 8 & 0xFF);
        Bytes[5] = static_cast<std::uint8_t>(body & 0xFF);
    }
    Length = static_cast<std::int32_t>(Bytes.size());
    Status = stBuilt;
    return true;
}

// ---- the lists ----

TEthPacket* TEthPacketList::Add(std::unique_ptr<TEthPacket> unit)
{
    if (!unit)
        return nullptr;
    items_.push_back(std::move(unit));
    return items_.back().get();
}

std::unique_ptr<TEthPacket> TEthPacketList::Extract(const TEthPacket* unit)
{
    auto it = std::find_if(items_.begin(), items_.end(), [unit](const auto& e) { return e.get() == unit; });
    if (it == items_.end())
        return nullptr;
    std::unique_ptr<TEthPacket> taken = std::move(*it);
    items_.erase(it);
    return taken;
}

std::unique_ptr<TEthPacket> TEthPacketList::Extract(std::size_t index)
{
    if (index >= items_.size())
        return nullptr;
    std::unique_ptr<TEthPacket> taken = std::move(items_[index]);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    return taken;
}

bool TEthPacketList::Holds(const TEthPacket* unit) const
{
    return std::any_of(items_.begin(), items_.end(), [unit](const auto& e) { return e.get() == unit; });
}

void TEthPacketList::Clear()
{
    // Out of the list first: what a hook does meanwhile finds the list empty.
    std::vector<std::unique_ptr<TEthPacket>> taken = std::exchange(items_, {});
    for (auto& unit : taken) {
        unit->SetResults(chIdle);  // dropped, not judged
        unit.reset();
    }
}

TEthPacket* TSentPackets::AddSent(std::unique_ptr<TEthPacket> unit)
{
    if (!unit)
        return nullptr;
    unit->SetSentTime(plat::clock().now());
    unit->Status = TEthPacket::stSent;
    for (const TEthFrame& f : unit->Frames)
        if (f.Packet && f.Packet->Station)
            f.Packet->Station->BusyInDatagram = true;
    return Add(std::move(unit));
}

TEthPacket* TSentPackets::FindById(std::uint32_t id) const
{
    for (const auto& unit : items_)
        if (unit->Id == id)
            return unit.get();
    return nullptr;
}

std::vector<std::unique_ptr<TEthPacket>> TSentPackets::TakeExpired(double now)
{
    std::vector<std::unique_ptr<TEthPacket>> expired;
    for (std::size_t i = items_.size(); i-- > 0;)
        if (items_[i]->IsExpired(now))
            expired.push_back(Extract(i));
    return expired;
}

TEthPacket* TPacketsToSend::FindByIp(const TIpAddress& ip, std::int32_t kind) const
{
    // An Ident answer runs past the 20 bytes its request expects (the identity ends at byte
    // 24), so cut by that length it would take the next telegram's bytes: it travels alone.
    if (kind == pkIdent)
        return nullptr;
    for (const auto& unit : items_) {
        const TPacket* first = unit->FirstFrame();
        if (!unit->Raw && unit->IpAddress == ip && unit->FrameCount() < kMaxFramesPerDatagram && first &&
            first->Kind == kind)
            return unit.get();
    }
    return nullptr;
}

std::unique_ptr<TEthPacket> TPacketsToSend::TakeNextReady()
{
    for (std::size_t i = 0; i < items_.size();) {
        const TEthPacket& unit = *items_[i];
        if (unit.FrameCount() == 0) {
            Extract(i);  // every telegram was taken out: nothing to send
            continue;
        }
        const bool busy = std::any_of(unit.Frames.begin(), unit.Frames.end(), [](const TEthFrame& f) {
            return f.Packet && f.Packet->Station && f.Packet->Station->BusyInDatagram;
        });
        if (!busy)
            return Extract(i);
        ++i;
    }
    return nullptr;
}

// ---- the channel base ----

TSocket::TSocket(TTreeObject* owner) : TCOM(owner, TLine::None) { ObjectType = otEthChannel; }

TSocket::~TSocket()
{
    try {
        DropUnits();
    } catch (...) {
        // Hooks do not raise; a destructor must not either.
    }
}

void TSocket::Start()
{
    SetPolling(true);
    if (!Restarting)
        for (TStation* s : std::vector<TStation*>(Stations))
            // A station blocked by its control word stays blocked.
            if (s->State != ssBlocked)
                s->SetState(ssDisconnected);
    Schedule();
}

void TSocket::SendPacket(std::unique_ptr<TPacket> packet)
{
    FailUnsent(std::move(packet), "a datagram channel sends from its queues only");
}

void TSocket::DropStationPackets(const TStation* station)
{
    TCOM::DropStationPackets(station);
    DropUnitFrames(station);
}

void TSocket::DropWaitingPackets(const TStation* station)
{
    TCOM::DropWaitingPackets(station);
    DropUnitFrames(station);
}

void TSocket::DropUnitFrames(const TStation* station)
{
    if (!station)
        return;
    // Freed after the walk, so that no hook sees a list half changed.
    std::vector<std::unique_ptr<TPacket>> dropped;
    std::vector<std::unique_ptr<TEthPacket>> emptied;
    for (std::size_t i = 0; i < Outgoing.size();) {
        auto& frames = Outgoing[i]->Frames;
        for (auto it = frames.begin(); it != frames.end();) {
            if (it->Packet && it->Packet->Station == station) {
                dropped.push_back(std::move(it->Packet));
                it = frames.erase(it);
            } else {
                ++it;
            }
        }
        if (frames.empty())
            emptied.push_back(Outgoing.Extract(i));
        else
            ++i;
    }
    // A unit already sent keeps the slot: its answer still carries the bytes.
    for (std::size_t i = 0; i < SentPackets.size(); ++i)
        for (TEthFrame& f : SentPackets[i]->Frames)
            if (f.Packet && f.Packet->Station == station)
                dropped.push_back(std::move(f.Packet));
    for (auto& p : dropped) {
        if (p->Station)
            p->Station->BusyInDatagram = false;
        p.reset();
    }
}

void TSocket::SettleFrame(std::unique_ptr<TPacket> frame, std::uint8_t result)
{
    if (!frame)
        return;
    if (!isJudged(result)) {
        frame.reset();  // dropped: hooks run, nothing counted
        return;
    }
    const std::uint8_t keep = State;
    State = result;
    TPacket* p = frame.release();
    FinishPacket(p);
    // A restart (no hold was on) has set the channel's own state already.
    if (State == result)
        State = keep;
}

void TSocket::DropUnits()
{
    Outgoing.Clear();
    SentPackets.Clear();
}

void TSocket::LogDatagram(TEthPacket* unit)
{
    if (!unit || !ComLogging)
        return;
    while (!DatagramLog.empty() && DatagramLog.size() >= static_cast<std::size_t>(std::max(NumOfComLines, 0)))
        DatagramLog.pop_front();
    const char sep = '\r';
    const TStation* first = unit->FirstStation();
    std::string line = unit->Status == TEthPacket::stSent ? ">" : "<";
    line += sep;
    line += "Packet" + std::to_string(unit->Id);
    line += sep;
    line += first ? first->Name : std::string();
    line += sep;
    line += std::to_string(unit->Length);
    line += sep;
    line += std::to_string(unit->ExpectedAnswerLength());
    line += sep;
    line += timeOfDay(plat::clock().now());
    DatagramLog.push_back(line);
    if (unit->Status != TEthPacket::stSent)
        return;
    for (const TEthFrame& f : unit->Frames)
        if (f.Packet) {
            f.Packet->LogDirection = 2;
            LogPacket(f.Packet.get());
        }
}

}  // namespace vx

// The road of a request through a channel: scheduling what is due, the poll tick, sending
// one request at a time, and settling it (good, retried, or the station failed).
#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

#include "platform/clock.h"
#include "vx_channel.h"
#include "vx_def.h"
#include "vx_station.h"
#include "vx_variable.h"

namespace vx {

namespace {

constexpr std::int32_t kIdlePollInterval = 100;
constexpr std::int32_t kShortestSchedulePeriod = 10;

std::int32_t periodOf(std::uint32_t ms)
{
    return static_cast<std::int32_t>(std::min<std::uint32_t>(ms, 0x7FFFFFFF));
}

}  // namespace

void TCOM::Schedule()
{
    const double now = plat::clock().now();
    // A copy: a state change may release a modem station from the list.
    const std::vector<TStation*> stations = Stations;
    for (TStation* s : stations) {
        if (!s->Enabled)
            continue;
        const std::int32_t before = s->State;
        if ((before == ssDisconnected || before == ssFailed) && s->ReconnectDue(now)) {
            auto connect = std::make_unique<TPacket>(pkConnect, s);
            connect->RequestTime = now;
            s->LastConnectTry = now;
            ReadQueue.AddPacket(std::move(connect), true);
            s->SetState(ssConnectSent);
        }
        if (s->State == ssIdentToRead) {
            auto ident = std::make_unique<TPacket>(pkIdent, s);
            ident->RequestTime = now;
            ReadQueue.AddPacket(std::move(ident), true);
            s->SetState(ssConnected);
        }
        if (!s->GetPollSuspended()) {
            for (TVariable* v : *s->Variables) {
                // One variable that cannot be simulated must not starve the others.
                try {
                    if (v->Forced) {
                        v->SimulationStep(now);
                        SchedulePeriod = std::min(SchedulePeriod, v->SimPeriod);
                    } else if ((v->Kind == vkPlain || v->Kind == vkDateTime) && v->ReadDue(now)) {
                        if (s->State == ssConnected)
                            DueVariables.push_back(v);
                        SchedulePeriod = std::min(SchedulePeriod, periodOf(v->UpdatePeriod));
                    }
                } catch (const std::exception& e) {
                    LogNote(v->GetFullName() + ": " + e.what());
                } catch (...) {
                    LogNote(v->GetFullName() + ": scheduling failed");
                }
            }
        }
        if (before == ssConnected || before == ssFailed)
            s->SetPollSuspended(true);
    }
    SchedulePeriod = std::max(SchedulePeriod, kShortestSchedulePeriod);
    if (!DueVariables.empty()) {
        // Emptied whatever happens, so that no pass sees the last one's leftovers.
        std::vector<TVariable*> due = std::exchange(DueVariables, {});
        ReadQueue.AddVariableReads(due);
    }
}

void TCOM::PollTimer()
{
    if (!CommunicationRunning())
        return;
    Timer->setEnabled(false);
    try {
        if (CheckAnswer(CurrentPacket) && CommDelay > 0) {
            SetRxCount(0);
            SetPollInterval(CommDelay);
        } else {
            SetPollInterval(std::min(SchedulePeriod, kIdlePollInterval));
            if (State != chWaiting) {
                FinishPacket(CurrentPacket);
                // A restart whose port would not open again has left the channel stopped.
                if (Polling) {
                    Schedule();
                    if (!SendWrite())
                        SendRead();
                }
            }
        }
    } catch (...) {
        // A stopped channel (its port would not open again on a restart) stays stopped.
        Timer->setEnabled(Polling);
        throw;
    }
    Timer->setEnabled(Polling);
}

void TCOM::SendPacket(std::unique_ptr<TPacket> packet)
{
    if (!packet)
        return;
    // Freed, not put back: while communication is stopped no request waits for it.
    if (!CommunicationRunning())
        return;
    TStation* station = packet->Station;
    if (!station)
        return;
    try {
        const TConnectionParams& params = station->GetConnParams();
        SetPollInterval(params.Timeout);
        if (params.ConnectionType == ctSerial) {
            SetBaud(params.BaudRate);
            SetParity(params.Parity);
        }
        if (!BuildFrameOrFail(*packet, *station))
            return;
        packet->RequestTime = plat::clock().now();
        SetRxCount(0);
        State = chWaiting;
        if (!Port->Open())
            Port->SetOpen(true);
        // Whatever came before the request cannot be its answer.
        Port->FlushInBuffer();
        Port->PutBlock(packet->Frame.data(), packet->FrameLength);
        packet->SendTime = plat::clock().now();
        packet->LogDirection = 2;
        CurrentPacket = packet.release();
        LogPacket(CurrentPacket);
    } catch (const std::exception& e) {
        LogNote(station->Name + ": " + e.what());
        ++station->ErrorCount;
        station->SetState(ssFailed);
    } catch (...) {
        ++station->ErrorCount;
        station->SetState(ssFailed);
    }
}

bool TCOM::SendWrite()
{
    if (!CommunicationRunning() || WriteQueue.empty())
        return false;
    SendPacket(WriteQueue.Extract(0));
    return true;
}

void TCOM::SendRead()
{
    while (CommunicationRunning() && !ReadQueue.empty() && !CurrentPacket) {
        std::unique_ptr<TPacket> p = ReadQueue.Extract(0);
        // Reads and clock writes of the scheduler wait for a connected station.
        if (p->Kind >= pkSetTID && p->Priority < 5 && p->Station->State != ssConnected)
            continue;  // freed unsent
        SendPacket(std::move(p));
    }
}

void TCOM::FinishPacket(TPacket*& packet)
{
    // Taken over and the reference cleared first: a restart below must find nothing to free.
    TPacket* taken = std::exchange(packet, nullptr);
    if (!taken)
        return;
    if (ReadQueue.Holds(taken) || WriteQueue.Holds(taken))
        return;  // a queue owns it and frees it
    std::unique_ptr<TPacket> p(taken);
    TStation* st = p->Station;
    if (!st)
        return;
    try {
        switch (State) {
        case chGood:
            ++GoodAnswers;
            ++st->GoodCount;
            st->FailStreak = 0;
            p.reset();
            SetFailCount(0);
            break;
        case chBad:
        case chTimedOut: {
            if (State == chBad) {
                ++BadAnswers;
                p->LogDirection = 3;
                LogPacket(p.get());
            } else {
                ++Timeouts;
                ++st->TimeoutCount;
            }
            ++st->ErrorCount;
            ++p->Retries;
            ++st->FailStreak;
            if (p->Retries < MaxBadCommCount && st->FailStreak < MaxBadCommCount && st->State == ssConnected) {
                const bool write = p->Kind == pkWriteN || p->Kind == pkWriteB;
                if (write)
                    WriteQueue.InsertPacket(0, std::move(p), false);
                else
                    ReadQueue.InsertPacket(0, std::move(p), false);
            } else {
                st->SetState(ssFailed);
                for (TVariable* v : p->Variables)
                    v->SetQuality(qCommFailure);
                DropWaitingPackets(st);
                p.reset();
            }
            SetFailCount(FailCount + 1);
            break;
        }
        default:
            p.reset();
            break;
        }
    } catch (const std::exception& e) {
        LogNote(Name + ": settling a request failed: " + e.what());
    } catch (...) {
        LogNote(Name + ": settling a request failed");
    }
}

bool TCOM::BuildFrameOrFail(TPacket& packet, TStation& station)
{
    if (packet.BuildFrame())
        return true;
    LogNote(station.Name + ": " + PacketKindName(packet.Kind) + " frame of " + std::to_string(packet.FrameLength) +
            " bytes does not fit MaxPacketLen " + std::to_string(MaxPacketLen) + "; not sent");
    ++station.ErrorCount;
    station.SetState(ssFailed);
    return false;
}

}  // namespace vx

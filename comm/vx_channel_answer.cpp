// An answer's way in: the telegram assembled byte by byte from the port, the four checks
// (start byte and checksum, addresses, length, PLC time stamp), and the application of a
// good answer to the station and the variables of its request.
#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "platform/clock.h"
#include "platform/text.h"
#include "vx_channel.h"
#include "vx_def.h"
#include "vx_frame.h"
#include "vx_station.h"
#include "vx_telegram_codes.h"
#include "vx_variable.h"

namespace vx {

namespace {

// Where the Ident answer carries the identity text.
constexpr std::size_t kIdentityFirst = 11;
constexpr std::size_t kIdentityLength = 14;

// The start byte the answer to a request of this kind must have; 0 for none.
std::uint8_t answerStart(std::int32_t kind)
{
    switch (kind) {
    case pkIdent:
    case pkReadN:
        return fdSD2;
    case pkConnect:
        return fdSD1;
    case pkSetTID:
    case pkWriteN:
    case pkWriteB:
        return fdAck;
    default:
        return 0;
    }
}

// A check that raises has failed.
template <typename Check>
bool passes(Check check)
{
    try {
        return check();
    } catch (...) {
        return false;
    }
}

// Takes entry `entry` of the packet out of the answer; what fails goes to note.
void decodeEntry(TPacket& packet, std::size_t entry, std::span<const std::uint8_t> answer,
                 const std::function<void(const std::string&)>& note)
{
    std::string why;
    try {
        if (DecodeAnswerEntry(packet, entry, answer.data(), answer.size(), &why))
            return;
    } catch (const std::exception& e) {
        why = e.what();
    }
    note(why);
}

}  // namespace

TAnswerRules TAnswerRules::Current() { return {vx::ServerAddress, vx::CheckTimestamp}; }

TAnswerFault JudgeAnswer(std::span<const std::uint8_t> answer, const TPacket& packet, const TAnswerRules& rules)
{
    if (!passes([&] { return TCOM::CheckCRC(answer, packet); }))
        return TAnswerFault::StartOrChecksum;
    if (!passes([&] { return TCOM::CheckAddress(answer, packet, rules); }))
        return TAnswerFault::Address;
    if (!passes([&] { return TCOM::CheckLength(answer, packet); }))
        return TAnswerFault::Length;
    if (!passes([&] { return TCOM::CheckTimeStamp(answer, packet, rules); }))
        return TAnswerFault::TimeStamp;
    return TAnswerFault::None;
}

void ApplyAnswer(TPacket& packet, std::span<const std::uint8_t> answer, double now,
                 const std::function<void(const std::string& text)>& note)
{
    try {
        packet.RequestTime = now;
        TStation* st = packet.Station;
        if (!st)
            return;
        switch (packet.Kind) {
        case pkConnect:
            st->SetState(st->Identity.empty() ? ssIdentToRead : ssConnected);
            break;
        case pkIdent: {
            st->SetState(ssConnected);
            const std::size_t first = std::min(kIdentityFirst, answer.size());
            const std::size_t last = std::min(kIdentityFirst + kIdentityLength, answer.size());
            st->SetIdentity(plat::cp1250ToUtf8(
                std::string_view(reinterpret_cast<const char*>(answer.data()) + first, last - first)));
            break;
        }
        case pkReadN:
            st->SetState(ssConnected);
            for (std::size_t i = 0; i < packet.Variables.size(); ++i)
                decodeEntry(packet, i, answer, note);
            break;
        case pkWriteN:
        case pkWriteB:
            st->SetState(ssConnected);
            for (TVariable* v : packet.Variables) {
                ++v->WritePartsDone;
                if (v->WritePartsDone >= v->WriteParts) {
                    v->LastUpdate = packet.RequestTime;
                    if (v == st->DRW_DataBuffer)
                        SetVariableNumber(st->DRW_Status, drwWriteDone);
                }
            }
            break;
        default:
            break;
        }
        if (st->Enabled) {
            // The milliseconds of the delay; whole seconds are not counted.
            const long long ms = std::llround((now - packet.SendTime) * 86400000.0);
            st->ResponseTime = static_cast<std::int32_t>(((ms % 1000) + 1000) % 1000);
        }
    } catch (const std::exception& e) {
        note(std::string("applying an answer failed: ") + e.what());
    } catch (...) {
        note("applying an answer failed");
    }
}

std::span<const std::uint8_t> TCOM::Received() const
{
    return {RxBuffer.data(), static_cast<std::size_t>(std::clamp<std::int32_t>(RxCount, 0, static_cast<std::int32_t>(kRxBufferSize)))};
}

void TCOM::PortTriggerAvail(std::size_t count)
{
    // Bytes that come while no answer is awaited belong to nothing.
    if (!CommunicationRunning() || !Polling || State != chWaiting) {
        Port->FlushInBuffer();
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = Port->GetChar();
        if (RxCount == 0 && !IsFrameStart(b))
            continue;  // noise before a telegram
        if (static_cast<std::size_t>(RxCount) >= RxBuffer.size()) {
            Port->FlushInBuffer();
            return;
        }
        RxBuffer[static_cast<std::size_t>(RxCount)] = b;
        const std::int32_t held = RxCount + 1;
        const TFrameProgress progress =
            ReceivedFrameProgress(std::span<const std::uint8_t>(RxBuffer.data(), static_cast<std::size_t>(held)));
        if (progress.Status != TFrameStatus::Complete) {
            RxCount = held;
            continue;
        }
        if (!CurrentPacket) {
            SetRxCount(0);
            continue;
        }
        RxCount = held;
        PollTimer();
        // What followed the telegram came before any request this tick sent: it is no answer
        // to one.
        if (i + 1 < count)
            Port->FlushInBuffer();
        return;
    }
}

bool TCOM::CheckAnswer(TPacket* packet)
{
    if (!packet) {
        State = chGood;
        return false;
    }
    if (State != chWaiting)
        return false;
    if (RxCount == 0) {
        State = chTimedOut;
        return false;
    }
    packet->LogDirection = 3;
    LogPacket(packet);
    State = JudgeAnswer(Received(), *packet, TAnswerRules::Current()) == TAnswerFault::None ? chGood : chBad;
    if (State == chGood)
        ProcessAnswer(*packet);
    return true;
}

bool TCOM::CheckCRC(std::span<const std::uint8_t> a, const TPacket& packet)
{
    if (a.empty() || a[0] != answerStart(packet.Kind))
        return false;
    if (a[0] == fdSD1)
        return a.size() >= 5 && FrameChecksum(a.subspan(1, 3)) == a[4];
    if (a[0] == fdSD2) {
        if (a.size() < 3 || a[1] != a[2])
            return false;
        const std::size_t le = a[1];
        if (a.size() < le + 5)
            return false;  // the checksum has not come
        return FrameChecksum(a.subspan(4, le)) == a[le + 4];
    }
    return true;
}

bool TCOM::CheckAddress(std::span<const std::uint8_t> a, const TPacket& packet, const TAnswerRules& rules)
{
    if (a.empty() || !packet.Station)
        return false;
    // Low bytes: the bytes that went out as SA and DA.
    const auto server = static_cast<std::uint8_t>(rules.ServerAddress & 0xFF);
    const auto plc = static_cast<std::uint8_t>(packet.Station->GetConnParams().BusAddress & 0xFF);
    switch (a[0]) {
    case fdSD1:
        return a.size() >= 3 && a[1] == server && a[2] == plc;
    case fdSD2:
        return a.size() >= 6 && a[4] == server && a[5] == plc;
    case fdAck:
        return true;
    default:
        return false;
    }
}

bool TCOM::CheckLength(std::span<const std::uint8_t> a, const TPacket& packet)
{
    switch (packet.Kind) {
    case pkIdent:
        return packet.AnswerLength >= 0 && a.size() >= static_cast<std::size_t>(packet.AnswerLength);
    case pkSetTID:
    case pkWriteN:
    case pkWriteB:
        return !a.empty() && a[0] == fdAck;
    case pkConnect:
    case pkReadN: {
        if (packet.AnswerLength < 1 || a.size() < static_cast<std::size_t>(packet.AnswerLength))
            return false;
        if (a[static_cast<std::size_t>(packet.AnswerLength) - 1] != fdEnd)
            return false;
        return a[0] != fdSD2 || (a.size() >= 2 && a[1] + kSD2Overhead == packet.AnswerLength);
    }
    default:
        return false;
    }
}

bool TCOM::CheckTimeStamp(std::span<const std::uint8_t> a, const TPacket& packet, const TAnswerRules& rules)
{
    if (!rules.CheckTimestamp || !packet.Station || !packet.Station->TimeStampVariable)
        return true;
    const TVariable& ts = *packet.Station->TimeStampVariable;
    const std::int32_t offset = packet.AnswerOffsetOf(&ts);
    if (offset <= 0)
        return true;
    if (a.size() < static_cast<std::size_t>(offset) + 2)
        return false;
    const std::int32_t now = a[static_cast<std::size_t>(offset)] | a[static_cast<std::size_t>(offset) + 1] << 8;
    const std::int32_t last = TimeStampOf(ts);
    // An older stamp is an old answer, unless the PLC's 16-bit counter has wrapped.
    return now >= last || last - now > 32768;
}

void TCOM::ProcessAnswer(TPacket& packet)
{
    if (!CommunicationRunning())
        return;
    ApplyAnswer(packet, Received(), plat::clock().now(), [this](const std::string& text) { LogNote(Name + ": " + text); });
}

void TCOM::DecodeValue(TPacket& packet, std::size_t entry)
{
    decodeEntry(packet, entry, Received(), [this](const std::string& text) { LogNote(Name + ": " + text); });
}

}  // namespace vx

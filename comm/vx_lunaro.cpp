// The development-environment channel: its start and stop around the application object,
// the poll tick, the synchronous service call that stands for sending a telegram, and the
// check of what the service returned.
#include "vx_lunaro.h"

#include <QLoggingCategory>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/com/bstr.h"
#include "platform/com/errtext.h"
#include "platform/com/runtime.h"
#include "platform/text.h"
#include "vx_def.h"
#include "vx_station.h"
#include "vx_telegram_codes.h"

namespace vx {

namespace {

Q_LOGGING_CATEGORY(lcLunaro, "vx.comm.lunaro")

constexpr std::int32_t kIdlePollInterval = 100;
// Where a long answer frame carries its data: Ident and ReadN data are moved there, so that
// the answer offsets of the packet apply.
constexpr std::size_t kAnswerDataOffset = 7;
// The request data follow the service code; the frame's other bytes (header, addresses,
// function and service code, checksum, end byte) are not handed over.
constexpr std::size_t kRequestDataOffset = 8;
constexpr std::int32_t kFrameOverhead = 10;
// The service may live in this process or in its own.
constexpr DWORD kServiceContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

// Connect and Ident carry nothing behind their function code, which the service takes in
// place of a service code.
bool carriesData(const TPacket& p) { return p.Kind != pkConnect && p.Kind != pkIdent; }
BYTE serviceByte(const TPacket& p) { return carriesData(p) ? p.SC : p.FC; }

std::string resultText(HRESULT hr)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    std::string text = code;
    if (const auto message = com::systemMessageText(hr))
        text += " " + plat::utf16ToUtf8(*message);
    return text;
}

std::string timeOfDay()
{
    const plat::DateTimeFields f = plat::decodeDateTime(plat::clock().now());
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", f.hour, f.minute, f.second);
    return text;
}

// Marks a service call in progress for its duration, also when it raises.
class CallScope {
public:
    explicit CallScope(bool& flag) : flag_(flag), was_(std::exchange(flag, true)) {}
    ~CallScope() { flag_ = was_; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    bool& flag_;
    bool was_;
};

}  // namespace

TLunaro::TLunaro(TTreeObject* owner) : TCOM(owner, TLine::None)
{
    ObjectType = otLunaroChannel;
    Name = "Lunaro";
}

TLunaro::~TLunaro()
{
    try {
        Plc = nullptr;
        TLunaro::Stop();
        Spare = nullptr;
    } catch (const std::exception& e) {
        qCWarning(lcLunaro, "%s %s: stopping at destruction failed: %s", timeOfDay().c_str(), Name.c_str(), e.what());
    } catch (...) {
        qCWarning(lcLunaro, "%s %s: stopping at destruction failed", timeOfDay().c_str(), Name.c_str());
    }
}

void TLunaro::Start()
{
    // A started channel keeps the application object it has: a second would leak the first.
    if (Polling || Stations.empty())
        return;
    unavailable_ = false;
    SetPolling(true);
    Schedule();
    if (App)
        return;
    com::ComPtr<IWexaApp> app;
    const HRESULT hr = CoCreateInstance(CLSID_CoLunaroApp, nullptr, kServiceContext, IID_IWexaApp, app.putVoid());
    if (SUCCEEDED(hr) && app) {
        App = std::move(app);
        unavailableNoted_ = false;
        return;
    }
    Stop();
    BecomeUnavailable(FAILED(hr) ? hr : E_NOINTERFACE);
}

void TLunaro::BecomeUnavailable(HRESULT why)
{
    unavailable_ = true;
    // Their values turn bad rather than look current; a blocked station stays blocked.
    for (TStation* s : std::vector<TStation*>(Stations))
        s->SetState(ssFailed);
    if (!unavailableNoted_) {
        unavailableNoted_ = true;
        const std::string text = Name + ": the development environment cannot be started (" + resultText(why) +
                                 "); its stations fail until a start succeeds";
        LogNote(text);
        qCWarning(lcLunaro, "%s %s", timeOfDay().c_str(), text.c_str());
    }
    // The timer goes on, so that nothing a client queues meanwhile waits for ever.
    SetPollInterval(std::min(SchedulePeriod, kIdlePollInterval));
    Timer->setEnabled(true);
}

void TLunaro::SettleQueued()
{
    for (TComPacketList* queue : {static_cast<TComPacketList*>(&WriteQueue), static_cast<TComPacketList*>(&ReadQueue)})
        while (!queue->empty()) {
            std::unique_ptr<TPacket> p = queue->Extract(0);
            if (p->Station)
                ++p->Station->ErrorCount;
            p.reset();  // its completion hooks end the requests
        }
}

void TLunaro::Stop()
{
    unavailable_ = false;
    // As on every channel (the failure count too, so that one restart does not make every
    // later failure restart it).
    DropRequests();
    Plc = nullptr;
    if (App) {
        // Out of the field first: whatever the closing call does, it runs once and the
        // reference is released once.
        com::ComPtr<IWexaApp> app = std::move(App);
        app->Close();
    }
}

void TLunaro::PollTimer()
{
    if (!CommunicationRunning())
        return;
    // A tick during the service call (the channel started again from inside it) would judge
    // the request before its answer is in.
    if (inServiceCall_)
        return;
    if (!Polling) {
        if (unavailable_)
            SettleQueued();
        return;
    }
    Timer->setEnabled(false);
    try {
        CheckServiceAnswer(CurrentPacket);
        SetPollInterval(std::min(SchedulePeriod, kIdlePollInterval));
        if (State != chWaiting) {
            FinishPacket(CurrentPacket);
            // A restart that could not create the application object has left it stopped.
            if (Polling) {
                Schedule();
                SendNext();
            }
        }
    } catch (...) {
        Timer->setEnabled(Polling || unavailable_);
        throw;
    }
    Timer->setEnabled(Polling || unavailable_);
}

void TLunaro::SendNext()
{
    if (!WriteQueue.empty()) {
        SendPacket(WriteQueue.Extract(0));
        return;
    }
    while (Polling && CommunicationRunning() && !ReadQueue.empty() && !CurrentPacket) {
        std::unique_ptr<TPacket> p = ReadQueue.Extract(0);
        // Reads of any priority wait for a connected station here; the rest is freed unsent.
        if (p->Kind < pkSetTID || (p->Station && p->Station->State == ssConnected))
            SendPacket(std::move(p));
    }
}

bool TLunaro::StillInFlight(const TPacket* packet, std::uint64_t send) const
{
    return Polling && CurrentPacket == packet && sends_ == send;
}

void TLunaro::SendPacket(std::unique_ptr<TPacket> packet)
{
    // Freed, not put back: while communication is stopped no request waits for it.
    if (!packet || !CommunicationRunning() || !packet->Station)
        return;
    TStation* station = packet->Station;
    TPacket* p = nullptr;
    std::uint64_t send = 0;
    try {
        if (!BuildFrameOrFail(*packet, *station))
            return;
        SetRxCount(0);
        State = chWaiting;
        const double now = plat::clock().now();
        packet->RequestTime = now;
        packet->SendTime = now;
        packet->LogDirection = 2;
        p = packet.release();
        CurrentPacket = p;
        send = ++sends_;
    } catch (const std::exception& e) {
        LogNote(station->Name + ": " + e.what());
        station->SetState(ssFailed);
        return;
    }

    try {
        if (!Plc) {
            com::ComPtr<IConnectedPlc> created;
            const HRESULT hr = CoCreateInstance(CLSID_CoLunaroPlcCommunicationServices, nullptr, kServiceContext,
                                                IID_IConnectedPlc, created.putVoid());
            if (!StillInFlight(p, send))
                return;
            if (FAILED(hr) || !created) {
                LogNote(Name + ": the communication service cannot be created: " + resultText(FAILED(hr) ? hr : E_NOINTERFACE));
                // The next tick finds no answer and times the request out.
                station->SetState(ssFailed);
                return;
            }
            Plc = std::move(created);
        }

        std::array<BYTE, kFrameRoom> data{};
        const LONG dataLength = carriesData(*p)
            ? std::clamp<LONG>(p->FrameLength - kFrameOverhead, 0, static_cast<LONG>(data.size() - kRequestDataOffset))
            : 0;
        std::copy_n(p->Frame.begin() + kRequestDataOffset, dataLength, data.begin());
        const TConnectionParams& params = station->GetConnParams();
        const auto bus = static_cast<BYTE>(params.BusAddress & 0xFF);
        const BYTE service = serviceByte(*p);
        const LONG timeout = params.Timeout;
        LONG answerLength = kLunaroAnswerRoom;

        // Only locals, RxBuffer and a reference of our own go into the call: services that live
        // in another process let incoming calls run while we wait, and those may stop the
        // channel (releasing Plc) or free the station and with it this request.
        const com::ComPtr<IConnectedPlc> plc = Plc;
        HRESULT hr;
        {
            const CallScope call(inServiceCall_);
            hr = plc->Request(kLunaroRequestMode, bus, service, dataLength, data.data(), &answerLength, RxBuffer.data(),
                              timeout);
        }
        if (!StillInFlight(p, send))
            return;
        if (hr == S_OK) {
            if (answerLength < 0 || answerLength > kLunaroAnswerRoom) {
                LogNote(Name + ": " + station->Name + ": the service returned " + std::to_string(answerLength) +
                        " answer bytes for a buffer of " + std::to_string(kLunaroAnswerRoom) + "; request failed");
                station->SetState(ssFailed);
                SetRxCount(0);
            } else if (answerLength == 0) {
                // Nothing back is the acknowledgement.
                RxBuffer[0] = fdAck;
                RxCount = 1;
            } else if (p->Kind == pkIdent || p->Kind == pkReadN) {
                const auto n = static_cast<std::size_t>(answerLength);
                std::memmove(RxBuffer.data() + kAnswerDataOffset, RxBuffer.data(), n);
                std::fill_n(RxBuffer.begin(), kAnswerDataOffset, 0);
                RxCount = answerLength + static_cast<std::int32_t>(kAnswerDataOffset);
            } else {
                RxCount = answerLength;
            }
        } else {
            com::Bstr text;
            {
                const CallScope call(inServiceCall_);
                plc->ErrorText(hr, text.put());
            }
            if (!StillInFlight(p, send))
                return;
            // Kept for the log only: the service's texts are nothing to show a user.
            LogNote(Name + ": " + station->Name + ": " + PacketKindName(p->Kind) + " failed, " + resultText(hr) + ": " +
                    text.toUtf8());
            station->SetState(ssFailed);
            SetRxCount(0);
        }
    } catch (const std::exception& e) {
        if (!StillInFlight(p, send))
            return;
        LogNote(Name + ": " + station->Name + ": " + e.what());
        station->SetState(ssFailed);
        SetRxCount(0);
    } catch (...) {
        if (!StillInFlight(p, send))
            return;
        station->SetState(ssFailed);
        SetRxCount(0);
    }

    try {
        p->SendTime = plat::clock().now();
        LogPacket(p);
    } catch (...) {
        station->SetState(ssFailed);
    }
}

void TLunaro::CheckServiceAnswer(TPacket* packet)
{
    if (!packet) {
        State = chGood;
        return;
    }
    if (State != chWaiting)
        return;
    // A failed call leaves nothing (RxCount 0); no answer is the acknowledgement 0xE5.
    State = RxCount == 0 ? chTimedOut : chGood;
    // The data must all be there: missing bytes would be decoded from the zeroed buffer as
    // good zeros.
    if (State == chGood && ((packet->Kind == pkReadN && RxCount < packet->AnswerLength - 2) ||
                            (packet->Kind == pkIdent && RxCount < packet->AnswerLength)))
        State = chBad;
    if (State == chGood)
        ProcessAnswer(*packet);
}

}  // namespace vx

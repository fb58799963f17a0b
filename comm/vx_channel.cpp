// A channel's life: creation with its timer and port, line settings, start, stop and
// restart, the stations it serves, its communication log; and the list of serial channels.
#include "vx_channel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/port/port.h"
#include "vx_comlog.h"
#include "vx_def.h"
#include "vx_lang.h"
#include "vx_notify.h"
#include "vx_station.h"

namespace vx {

namespace {

// The port layer's serial port behind the channel's view of a line.
class TSerialLine final : public TComPort {
public:
    TSerialLine()
    {
        port_.OnTriggerAvail = [this](std::size_t count) {
            if (OnTriggerAvail)
                OnTriggerAvail(count);
        };
        port_.OnNote = [this](const std::string& text) {
            if (OnNote)
                OnNote(text);
        };
    }

    int ComNumber() const override { return port_.ComNumber(); }
    void SetComNumber(int n) override { port_.SetComNumber(n); }
    int Baud() const override { return port_.Baud(); }
    void SetBaud(int baud) override { port_.SetBaud(baud); }
    int Parity() const override { return port_.Parity(); }
    void SetParity(int parity) override { port_.SetParity(parity); }
    int StopBits() const override { return port_.StopBits(); }
    void SetStopBits(int bits) override { port_.SetStopBits(bits); }
    unsigned HWFlowOptions() const override { return port_.HWFlowOptions(); }
    void SetHWFlowOptions(unsigned bits) override { port_.SetHWFlowOptions(bits); }
    bool RS485Mode() const override { return port_.RS485Mode(); }
    void SetRS485Mode(bool on) override { port_.SetRS485Mode(on); }
    bool Open() const override { return port_.Open(); }
    void SetOpen(bool on) override { port_.SetOpen(on); }
    void ReleaseDevice() override { port_.ReleaseDevice(); }
    void PutBlock(const void* data, std::size_t count) override { port_.PutBlock(data, count); }
    std::uint8_t GetChar() override { return port_.GetChar(); }
    std::size_t GetBlock(void* buffer, std::size_t count) override { return port_.GetBlock(buffer, count); }
    void FlushInBuffer() override { port_.FlushInBuffer(); }
    bool DTR() const override { return port_.DTR(); }
    void SetDTR(bool on) override { port_.SetDTR(on); }
    void ProcessCommunications() override { port_.ProcessCommunications(); }

private:
    plat::TApdWinsockPort port_;
};

TComPortFactory portFactory;

[[noreturn]] void noTcpClient()
{
    throw plat::PortError(plat::PortFault::BadSetting, "a serial line has no TCP address or port");
}

constexpr std::int32_t kMinPollInterval = 10;
constexpr std::int32_t kIdlePollInterval = 100;

}  // namespace

std::size_t TComPort::GetBlock(void* buffer, std::size_t count)
{
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = GetChar();
    return count;
}

void TComPort::SetWsAddress(const std::string&) { noTcpClient(); }

void TComPort::SetWsPort(const std::string&) { noTcpClient(); }

void SetComPortFactory(TComPortFactory factory) { portFactory = std::move(factory); }

std::unique_ptr<TComPort> CreateComPort()
{
    if (portFactory)
        return portFactory();
    return std::make_unique<TSerialLine>();
}

TCOM::TCOM(TTreeObject* owner) : TCOM(owner, TLine::Serial) {}

TCOM::TCOM(TTreeObject* owner, TLine line) : TParentTreeObject(owner)
{
    ObjectType = otSerialChannel;
    Timer = plat::timers().createTimer();
    Timer->setInterval(kIdlePollInterval);
    Timer->onTimer = [this] {
        try {
            PollTimer();
        } catch (const std::exception& e) {
            ReportFailure("poll tick", &e);
        } catch (...) {
            ReportFailure("poll tick", nullptr);
        }
    };
    if (line == TLine::None)
        return;
    Port = CreateComPort();
    Port->SetComNumber(1);
    Port->SetParity(2);
    Port->SetBaud(19200);
    unsigned handshake = 0;
    if (UseDTR)
        handshake |= plat::hwfUseDTR;
    if (UseRTS)
        handshake |= plat::hwfUseRTS;
    if (RequireDSR)
        handshake |= plat::hwfRequireDSR;
    if (RequireCTS)
        handshake |= plat::hwfRequireCTS;
    Port->SetHWFlowOptions(handshake);
    // The RTS handshake of this system is the RS-485 direction line.
    Port->SetRS485Mode(UseRTS);
    Port->OnTriggerAvail = [this](std::size_t count) {
        try {
            PortTriggerAvail(count);
        } catch (const std::exception& e) {
            ReportFailure("reception", &e);
        } catch (...) {
            ReportFailure("reception", nullptr);
        }
    };
    Port->OnNote = [this](const std::string& text) { LogNote(text); };
}

TCOM::~TCOM()
{
    // The timer and the port first: their queued events die with them, and so do the
    // handlers that hold this channel.
    if (Timer)
        Timer->onTimer = nullptr;
    Timer.reset();
    if (Port) {
        Port->OnTriggerAvail = nullptr;
        Port->OnNote = nullptr;
    }
    Port.reset();
    // Packets next, while the stations and variables they name still live; then no station
    // may keep pointing at a channel that is gone.
    TPacket* inFlight = std::exchange(CurrentPacket, nullptr);
    if (inFlight && !ReadQueue.Holds(inFlight) && !WriteQueue.Holds(inFlight))
        delete inFlight;
    WriteQueue.Clear();
    ReadQueue.Clear();
    for (TStation* s : Stations)
        if (s->Channel == this)
            s->Channel = nullptr;
    Stations.clear();
    DestroyChildren();
}

bool TCOM::CommunicationRunning() { return CommServer && CommServer->Running; }

void TCOM::ReportFailure(const char* where, const std::exception* e)
{
    const std::string text = Name + ": " + where + " failed: " + (e ? e->what() : "unknown exception");
    LogNote(text);
    if (ShowMessages)
        NotifyMessage(TMessageKind::Error, text);
}

void TCOM::FailUnsent(std::unique_ptr<TPacket> packet, const std::string& why)
{
    if (!packet)
        return;
    TStation* station = packet->Station;
    LogNote(Name + ": " + PacketKindName(packet->Kind) + " not sent: " + why);
    packet.reset();
    if (station) {
        ++station->ErrorCount;
        station->SetState(ssFailed);
    }
}

void TCOM::SetPortNumber(std::int32_t port)
{
    if (Port && Port->ComNumber() != port)
        Port->SetComNumber(port);
}

std::int32_t TCOM::GetPortNumber() const { return Port ? Port->ComNumber() : 0; }

void TCOM::SetBaud(std::int32_t baud)
{
    if (Port && Port->Baud() != baud)
        Port->SetBaud(baud);
}

void TCOM::SetParity(std::int32_t parity)
{
    if (!Port || Port->Parity() == parity)
        return;
    Port->SetParity(parity);
    Port->SetStopBits(parity == 0 ? 2 : 1);
}

void TCOM::SetPollInterval(std::int32_t ms) { Timer->setInterval(std::max(ms, kMinPollInterval)); }

void TCOM::SetPolling(bool on)
{
    Polling = on;
    Timer->setEnabled(on);
}

void TCOM::SetRxCount(std::int32_t n)
{
    RxCount = std::clamp<std::int32_t>(n, 0, static_cast<std::int32_t>(RxBuffer.size()));
    if (RxCount == 0)
        RxBuffer.fill(0);
}

void TCOM::SetFailCount(std::int32_t n)
{
    FailCount = n;
    if (MaxBadComToReset <= 0 || std::abs(static_cast<std::int64_t>(n)) < MaxBadComToReset)
        return;
    if (restartHolds_ > 0)
        restartDeferred_ = true;
    else
        Restart(true);
}

TCOM::TRestartHold::TRestartHold(TCOM& channel) : channel_(channel) { ++channel_.restartHolds_; }

TCOM::TRestartHold::~TRestartHold()
{
    if (--channel_.restartHolds_ > 0 || !std::exchange(channel_.restartDeferred_, false))
        return;
    if (!channel_.Polling)
        return;  // stopped meanwhile: a restart would start it again
    try {
        channel_.Restart(true);
    } catch (const std::exception& e) {
        channel_.LogNote(channel_.Name + ": restart failed: " + e.what());
    } catch (...) {
        channel_.LogNote(channel_.Name + ": restart failed");
    }
}

void TCOM::Start()
{
    if (Polling)
        return;
    SetPolling(true);
    if (!Restarting)
        for (TStation* s : std::vector<TStation*>(Stations))
            // A station blocked by its control word stays blocked, and no modem call starts.
            if (s->State != ssBlocked)
                s->SetState(ssDisconnected);
    Schedule();
    if (!HasSerialLine() || !Port || (ReadQueue.empty() && WriteQueue.empty()) || Port->Open())
        return;
    try {
        Port->SetOpen(true);
    } catch (const std::exception& e) {
        LogNote(e.what());
        Stop();
        const std::string text =
            GetLangText(kMsgPortNotFound) + std::to_string(GetPortNumber()) + GetLangText(kMsgPortNotFoundTail);
        if (ShowMessages)
            NotifyMessage(TMessageKind::Error, text);
    }
}

void TCOM::Stop()
{
    if (ClosePortOnStop && Port) {
        Port->SetOpen(false);
        Port->ReleaseDevice();
    }
    DropRequests();
}

void TCOM::DropRequests()
{
    FailCount = 0;
    SetPolling(false);
    // The reference goes before the queues free anything, so nothing frees it twice.
    TPacket* inFlight = std::exchange(CurrentPacket, nullptr);
    const bool queued = inFlight && (ReadQueue.Holds(inFlight) || WriteQueue.Holds(inFlight));
    WriteQueue.Clear();
    ReadQueue.Clear();
    SetRxCount(0);
    State = chIdle;
    if (inFlight && !queued)
        delete inFlight;
}

void TCOM::Restart(bool keepStates)
{
    Restarting = keepStates;
    Stop();
    Start();
    Restarting = false;
}

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

void TCOM::DropWaitingPackets(const TStation* station)
{
    WriteQueue.RemoveStation(station);
    ReadQueue.RemoveStation(station);
}

void TCOM::DropStationPackets(const TStation* station)
{
    WriteQueue.RemoveStation(station);
    ReadQueue.RemoveStation(station);
    if (CurrentPacket && CurrentPacket->Station == station) {
        TPacket* p = std::exchange(CurrentPacket, nullptr);
        if (!ReadQueue.Holds(p) && !WriteQueue.Holds(p))
            delete p;
    }
}

namespace {

std::string timeOfDay(double now)
{
    const plat::DateTimeFields f = plat::decodeDateTime(now);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", f.hour, f.minute, f.second);
    return text;
}

}  // namespace

void TCOM::LogNote(const std::string& text)
{
    if (!ComLogging)
        return;
    const std::size_t limit = ComLogLineLimit();
    while (!ComLog.empty() && ComLog.size() >= limit)
        ComLog.pop_front();
    ComLog.push_back(text);
}

void TCOM::LogPacket(const TPacket* packet)
{
    if (!packet || !ComLogging)
        return;
    const double now = plat::clock().now();
    const bool sent = packet->LogDirection == 2;
    const std::string station = packet->Station ? CrLfToBlanks(packet->Station->Name) : std::string();
    const char sep = '\r';
    std::string line = sent ? ">" : "<";
    line += sep;
    line += PacketKindName(packet->Kind);
    line += sep;
    line += station;
    line += sep;
    line += std::to_string(packet->FrameLength);
    line += sep;
    line += std::to_string(packet->AnswerLength);
    line += sep;
    line += timeOfDay(now);
    LogNote(line);
    if (!ComLogToFile)
        return;
    const std::string line1 = ComLogTime(now, true) + " " + PacketKindName(packet->Kind) + " " + station;
    std::string line2 = sent ? "P1> " : "P1< ";
    const std::uint8_t* bytes = sent ? packet->Frame.data() : RxBuffer.data();
    std::size_t count = sent ? static_cast<std::size_t>(std::max<std::int32_t>(packet->FrameLength, 0))
                             : static_cast<std::size_t>(std::max<std::int32_t>(RxCount, 0));
    count = std::min(count, sent ? packet->Frame.size() : RxBuffer.size());
    static const char hex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        line2 += hex[bytes[i] >> 4];
        line2 += hex[bytes[i] & 15];
        line2 += ' ';
    }
    AppendLogRecord(line1, line2, now);
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
        channel->Name = "COM" + std::to_string(params.PortNumber);
        channel->SetPortNumber(params.PortNumber);
        // A rate or parity the port refuses is its station's problem at sending time, where
        // it fails the station; the channel itself still serves the port.
        try {
            channel->SetBaud(params.BaudRate);
        } catch (const std::exception& e) {
            channel->LogNote(e.what());
        }
        try {
            channel->SetParity(params.Parity);
        } catch (const std::exception& e) {
            channel->LogNote(e.what());
        }
    }
    channel->AddStation(station);
    return channel;
}

void TComList::RestartTimeouts()
{
    const double now = plat::clock().now();
    for (auto& channel : items_)
        if (channel->CurrentPacket)
            channel->CurrentPacket->SendTime = now;
}

}  // namespace vx

// The TCP channel: its client port, the connection's life, the reception of bare telegrams
// from the byte stream; and the list of TCP channels.
#include "vx_tcp.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <span>
#include <stdexcept>
#include <utility>

#include "platform/clock.h"
#include "platform/port/port.h"
#include "vx_def.h"
#include "vx_frame.h"
#include "vx_lang.h"
#include "vx_notify.h"
#include "vx_station.h"

namespace vx {

namespace {

// "Unable to open TCPIP socket"; the Czech text names the channel in its placeholder.
constexpr std::int32_t kMsgTcpOpenFailed = 145;
constexpr std::int32_t kIdlePollInterval = 100;

std::string dotted(const TIpAddress& ip)
{
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
           std::to_string(ip[3]);
}

// The port layer's TCP client behind the channel's view of a port. The address text is kept
// as given; the port connects to its plain dotted form, so that no resolver ever reads a
// leading zero as octal or looks up a name.
class TTcpClientLine final : public TComPort {
public:
    TTcpClientLine()
    {
        port_.SetDeviceLayer(plat::TApdWinsockPort::Layer::Winsock);
        port_.SetWsMode(plat::TApdWinsockPort::Mode::Client);
        port_.OnTriggerAvail = [this](std::size_t count) {
            if (OnTriggerAvail)
                OnTriggerAvail(count);
        };
        port_.OnNote = [this](const std::string& text) {
            if (OnNote)
                OnNote(text);
        };
        port_.OnWsConnect = [this] {
            if (OnWsConnect)
                OnWsConnect();
        };
        port_.OnWsDisconnect = [this] {
            if (OnWsDisconnect)
                OnWsDisconnect();
        };
        port_.OnWsError = [this](int code) {
            if (OnWsError)
                OnWsError(code);
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
    void SetOpen(bool on) override
    {
        if (on && !port_.Open()) {
            const std::optional<TIpAddress> ip = ParseTcpAddress(address_);
            if (!ip)
                throw plat::PortError(plat::PortFault::BadSetting,
                                      "TCP '" + address_ + "': no dotted IPv4 address, no connection is made");
            port_.SetWsAddress(dotted(*ip));
        }
        port_.SetOpen(on);
    }
    void ReleaseDevice() override { port_.ReleaseDevice(); }
    void PutBlock(const void* data, std::size_t count) override { port_.PutBlock(data, count); }
    std::uint8_t GetChar() override { return port_.GetChar(); }
    std::size_t GetBlock(void* buffer, std::size_t count) override { return port_.GetBlock(buffer, count); }
    void FlushInBuffer() override { port_.FlushInBuffer(); }
    std::string WsAddress() const override { return address_; }
    void SetWsAddress(const std::string& address) override { address_ = address; }
    std::string WsPort() const override { return port_.WsPort(); }
    void SetWsPort(const std::string& port) override { port_.SetWsPort(port); }
    void SetInSize(std::size_t bytes) override { port_.SetInSize(bytes); }

private:
    plat::TApdWinsockPort port_;
    std::string address_;
};

TComPortFactory tcpPortFactory;

}  // namespace

void SetTcpPortFactory(TComPortFactory factory) { tcpPortFactory = std::move(factory); }

std::unique_ptr<TComPort> CreateTcpPort()
{
    if (tcpPortFactory)
        return tcpPortFactory();
    return std::make_unique<TTcpClientLine>();
}

std::optional<TIpAddress> ParseTcpAddress(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    TIpAddress ip{};
    for (std::size_t field = 0; field < ip.size(); ++field) {
        if (field > 0) {
            if (text.empty() || text.front() != '.')
                return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
            ++digits;
        unsigned value = 0;
        // Up to three digits, as a dotted address writes them.
        if (digits == 0 || digits > 3 || std::from_chars(text.data(), text.data() + digits, value).ec != std::errc() ||
            value > 255)
            return std::nullopt;
        ip[field] = static_cast<std::uint8_t>(value);
        text.remove_prefix(digits);
    }
    if (!text.empty())
        return std::nullopt;
    return ip;
}

TWsSocket::TWsSocket(TTreeObject* owner) : TSocket(owner)
{
    Name = "TCPSocket" + std::to_string(SocketList ? SocketList->size() : 0);
    Port = CreateTcpPort();
    Port->SetWsAddress("");
    Port->SetInSize(kTcpBufferSize);
    Port->OnWsConnect = [this] { Connected = true; };
    Port->OnWsDisconnect = [this] { Connected = false; };
    // Not shown: the request it concerns times out.
    Port->OnWsError = [this](int code) { LogNote(Name + ": socket error " + std::to_string(code)); };
    Port->OnTriggerAvail = [this](std::size_t count) {
        try {
            TcpTriggerAvail(count);
        } catch (const std::exception& e) {
            ReportFailure("reception", &e);
        } catch (...) {
            ReportFailure("reception", nullptr);
        }
    };
    Port->OnNote = [this](const std::string& text) { LogNote(text); };
}

TWsSocket::~TWsSocket()
{
    if (Port) {
        Port->OnWsConnect = nullptr;
        Port->OnWsDisconnect = nullptr;
        Port->OnWsError = nullptr;
        Port->OnTriggerAvail = nullptr;
        Port->OnNote = nullptr;
    }
}

void TWsSocket::SetPortNumber(std::int32_t port) { Port->SetWsPort(std::to_string(port)); }

std::int32_t TWsSocket::GetPortNumber() const
{
    const std::string text = Port->WsPort();
    std::int32_t port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc() && end == text.data() + text.size() ? port : 0;
}

void TWsSocket::SetAddress(const std::string& address) { Port->SetWsAddress(address); }

std::string TWsSocket::GetAddress() const { return Port->WsAddress(); }

void TWsSocket::ClearTcpBuffer()
{
    TcpCount = 0;
    TcpBuffer.fill(0);
}

void TWsSocket::Connect()
{
    Port->SetOpen(false);
    Connected = false;
    // What the old connection left belongs to no request of the new one.
    ClearTcpBuffer();
    const std::string address = GetAddress();
    if (!ParseTcpAddress(address))
        throw plat::PortError(plat::PortFault::BadSetting,
                              Name + ": '" + address + "' is no dotted IPv4 address; no connection is made");
    Port->SetOpen(true);
}

void TWsSocket::Start()
{
    if (!Polling)
        TSocket::Start();
    // Nothing goes out while communication is stopped; the first request connects then.
    if (!Polling || !CommunicationRunning() || Port->Open())
        return;
    try {
        Connect();
    } catch (const std::exception& e) {
        LogNote(e.what());
        if (ShowMessages)
            NotifyMessage(TMessageKind::Error, FormatText(GetLangText(kMsgTcpOpenFailed), {Name}));
    }
}

void TWsSocket::Stop()
{
    Port->SetOpen(false);
    Connected = false;
    ClearTcpBuffer();
    TSocket::Stop();
}

void TWsSocket::TcpTriggerAvail(std::size_t count)
{
    if (count == 0)
        return;
    std::vector<std::uint8_t> bytes(count);
    Port->GetBlock(bytes.data(), count);
    if (!CommunicationRunning() || !Polling)
        return;  // nothing is awaited
    const auto held = static_cast<std::size_t>(TcpCount);
    if (held + count > TcpBuffer.size()) {
        ClearTcpBuffer();
        return;
    }
    std::copy(bytes.begin(), bytes.end(), TcpBuffer.begin() + static_cast<std::ptrdiff_t>(held));
    TcpCount = static_cast<std::int32_t>(held + count);
    // Exactly one telegram: no noise is skipped, and bytes beyond it wait for the time-out tick.
    const TFrameProgress progress =
        ReceivedFrameProgress(std::span<const std::uint8_t>(TcpBuffer.data(), held + count));
    if (progress.Status == TFrameStatus::Complete && progress.Expected == held + count)
        PollTimer();
}

void TWsSocket::PollTimer()
{
    if (!CommunicationRunning())
        return;
    Timer->setEnabled(false);
    try {
        bool judged = false;
        bool restarted = false;
        {
            // A restart that settling asks for waits for the end of the scan; the restarted
            // channel's next tick goes on from there.
            TRestartHold hold(*this);
            judged = TcpProcessAnswer();
            restarted = RestartDeferred();
        }
        if (judged && CommDelay > 0 && !restarted) {
            SetPollInterval(CommDelay);
        } else {
            SetPollInterval(std::min(SchedulePeriod, kIdlePollInterval));
            if (!restarted && Polling && CommunicationRunning()) {
                TRestartHold hold(*this);
                Schedule();
                if (!TcpSendQueue(WriteQueue))
                    TcpSendQueue(ReadQueue);
            }
        }
    } catch (...) {
        Timer->setEnabled(Polling);
        throw;
    }
    Timer->setEnabled(Polling);
}

bool TWsSocket::TcpSendQueue(TComPacketList& queue)
{
    if (queue.empty())
        return false;
    std::unique_ptr<TPacket> p = queue.Extract(0);
    TStation* station = p ? p->Station : nullptr;
    // A frame that cannot be built fails its request unsent, as on a serial line.
    if (!station || !BuildFrameOrFail(*p, *station))
        return true;
    auto unit = std::make_unique<TEthPacket>(this, true);
    unit->AddFrame(std::move(p));
    if (!TcpSendDatagram(unit) && unit) {
        unit->SetResults(chTimedOut);
        unit.reset();
    }
    return true;
}

bool TWsSocket::TcpSendDatagram(std::unique_ptr<TEthPacket>& unit)
{
    SetRxCount(0);
    if (!unit || !CommunicationRunning())
        return false;
    TStation* station = unit->FirstStation();
    if (!station)
        return false;
    try {
        if (!unit->BuildDatagram())
            throw std::runtime_error(PacketKindName(unit->FirstFrame()->Kind) + " frame cannot be built");
        LastSentId = static_cast<std::uint16_t>(unit->Id);
        SetPollInterval(station->GetConnParams().Timeout);
        if (!Connected)
            Connect();
        if (!Connected && MaxBadComToReset <= 0) {
            LogNote(Name + ": " + station->Name + ": not connected; " + PacketKindName(unit->FirstFrame()->Kind) +
                    " not sent");
            station->SetState(ssFailed);
            return false;
        }
        const std::span<const std::uint8_t> bytes = unit->Data();
        Port->PutBlock(bytes.data(), bytes.size());
    } catch (const std::exception& e) {
        LogNote(Name + ": " + station->Name + ": " + e.what());
        station->SetState(ssFailed);
        return false;
    }
    // From here on the list owns the unit: whatever fails now leaves it there, to be judged
    // or to expire.
    TEthPacket* sent = SentPackets.AddSent(std::move(unit));
    try {
        LogDatagram(sent);
    } catch (const std::exception& e) {
        LogNote(Name + ": " + station->Name + ": " + e.what());
        station->SetState(ssFailed);
    }
    return true;
}

bool TWsSocket::TcpProcessAnswer()
{
    bool judged = false;
    if (!SentPackets.empty()) {
        TEthPacket* oldest = SentPackets[0];
        TPacket* frame = oldest->FirstFrame();
        if (!frame) {
            // Its telegram went with its station: the answer belongs to nothing.
            SentPackets.Extract(oldest).reset();
        } else {
            State = chWaiting;
            const std::size_t n = std::min(static_cast<std::size_t>(TcpCount), RxBuffer.size());
            std::copy_n(TcpBuffer.begin(), n, RxBuffer.begin());
            RxCount = static_cast<std::int32_t>(n);
            judged = CheckAnswer(frame);
            if (State != chWaiting) {
                if (std::unique_ptr<TEthPacket> unit = SentPackets.Extract(oldest)) {
                    unit->SetResults(State);
                    unit->Status = TEthPacket::stAnswered;
                    LogDatagram(unit.get());
                    unit.reset();
                }
            }
        }
    }
    for (std::unique_ptr<TEthPacket>& unit : SentPackets.TakeExpired(plat::clock().now())) {
        State = chTimedOut;
        unit->SetResults(chTimedOut);
        unit.reset();
    }
    ClearTcpBuffer();
    SetRxCount(0);
    return judged;
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

}  // namespace vx

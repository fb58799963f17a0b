// The UDP channel: its socket behind a seam, start and stop, the poll tick, the packing of
// queued requests into datagrams per PLC address, sending, and matching answers to datagrams.
#include "vx_udp.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "platform/clock.h"
#include "platform/port/udp.h"
#include "vx_def.h"
#include "vx_lang.h"
#include "vx_notify.h"
#include "vx_station.h"

namespace vx {

namespace {

// "Cannot activate UDP socket"
constexpr std::int32_t kMsgUdpNotActive = 380;
constexpr std::int32_t kIdlePollInterval = 100;

// The port layer's socket behind the channel's view of one.
class TQtUdpPort final : public TUdpPort {
public:
    TQtUdpPort()
    {
        socket_.OnReceive = [this] {
            if (OnReceive)
                OnReceive();
        };
        socket_.OnError = [this] {
            if (OnError)
                OnError();
        };
    }

    bool Active() const override { return socket_.Active(); }
    void SetActive(bool on) override { socket_.SetActive(on); }
    std::uint16_t Port() const override { return socket_.Port(); }
    void SetPort(std::uint16_t networkOrder) override { socket_.SetPort(networkOrder); }
    void SendTo(const TIpAddress& ip, std::span<const std::uint8_t> data) override { socket_.SendTo(ip, data); }
    std::span<const std::uint8_t> GetData() const override { return socket_.GetData(); }
    int LastError() const override { return socket_.LastError(); }

private:
    plat::mxUDPSocket socket_;
};

TUdpPortFactory udpFactory;

std::string describe(const std::exception& e)
{
    if (const auto* sock = dynamic_cast<const plat::EFDSockError*>(&e))
        return "socket error " + std::to_string(sock->code()) + (sock->detail().empty() ? "" : " (" + sock->detail() + ")");
    return e.what();
}

}  // namespace

void SetUdpPortFactory(TUdpPortFactory factory) { udpFactory = std::move(factory); }

std::unique_ptr<TUdpPort> CreateUdpPort()
{
    if (udpFactory)
        return udpFactory();
    return std::make_unique<TQtUdpPort>();
}

TUdpSocket::TUdpSocket(TTreeObject* owner) : TSocket(owner), Udp(CreateUdpPort())
{
    Name = "Socket";
    SetPortNumber(kUdpPortNumber);
    Udp->OnReceive = [this] { DatagramReceived(); };
    Udp->OnError = [this] { SocketError(); };
}

TUdpSocket::~TUdpSocket()
{
    // The socket first: nothing it still has queued may reach a channel half gone.
    Udp->OnReceive = nullptr;
    Udp->OnError = nullptr;
    Udp.reset();
}

void TUdpSocket::SetPortNumber(std::int32_t port)
{
    Udp->SetPort(qToBigEndian(static_cast<std::uint16_t>(port)));
}

std::int32_t TUdpSocket::GetPortNumber() const { return qFromBigEndian(Udp->Port()); }

void TUdpSocket::Start()
{
    TSocket::Start();
    if (Stations.empty() || Udp->Active())
        return;
    try {
        Udp->SetActive(true);
    } catch (const std::exception& e) {
        LogNote(Name + ": port " + std::to_string(GetPortNumber()) + " not activated: " + describe(e));
        if (ShowMessages)
            NotifyMessage(TMessageKind::Error, GetLangText(kMsgUdpNotActive));
    }
}

void TUdpSocket::Stop()
{
    DropUnits();
    DropRequests();
    Udp->SetActive(false);
    ReceivedData.clear();
}

void TUdpSocket::ClearRx()
{
    const auto held = static_cast<std::size_t>(std::clamp<std::int32_t>(RxCount, 0, static_cast<std::int32_t>(kRxBufferSize)));
    std::fill_n(RxBuffer.begin(), held, std::uint8_t{0});
    RxCount = 0;
}

void TUdpSocket::PollTimer()
{
    if (!CommunicationRunning())
        return;
    Timer->setEnabled(false);
    try {
        // Settling below may ask for a restart; it runs when the tick is done with the lists.
        TRestartHold hold(*this);
        if (ProcessDatagram() && CommDelay > 0) {
            SetPollInterval(CommDelay);
        } else {
            SetPollInterval(std::min(SchedulePeriod, kIdlePollInterval));
            if (Polling) {
                Schedule();
                if (!SendQueue(WriteQueue))
                    SendQueue(ReadQueue);
            }
        }
    } catch (...) {
        Timer->setEnabled(Polling);
        throw;
    }
    Timer->setEnabled(Polling);
}

bool TUdpSocket::SendQueue(TComPacketList& queue)
{
    // What hooks queue meanwhile waits for the next tick.
    for (std::size_t n = queue.size(); n > 0 && !queue.empty(); --n) {
        std::unique_ptr<TPacket> p = queue.Extract(0);
        TStation* st = p->Station;
        if (!st)
            continue;
        TIpAddress ip;
        const std::string& address = st->GetConnParams().IPAddress;
        if (!plat::mxUDPSocket::StrToIP(address, ip)) {
            FailUnsent(std::move(p), "'" + address + "' is no IPv4 address");
            continue;
        }
        // Reads and clock writes wait for a connected station; freed unsent.
        if (p->Kind >= pkSetTID && p->Kind != pkWriteN && p->Kind != pkWriteB && st->State != ssConnected)
            continue;
        // Built before packing: a telegram that cannot be built fails, and never goes out.
        if (!BuildFrameOrFail(*p, *st))
            continue;
        TEthPacket* unit = Outgoing.FindByIp(ip, p->Kind);
        if (!unit) {
            auto created = std::make_unique<TEthPacket>(this);
            created->IpAddress = ip;
            unit = Outgoing.Add(std::move(created));
        }
        unit->AddFrame(std::move(p));
    }
    bool taken = false;
    while (std::unique_ptr<TEthPacket> unit = Outgoing.TakeNextReady()) {
        taken = true;
        if (!SendDatagram(unit) && unit) {
            unit->SetResults(chBad);
            unit.reset();
        }
    }
    return taken;
}

bool TUdpSocket::SendDatagram(std::unique_ptr<TEthPacket>& unit)
{
    ClearRx();
    if (!unit || !CommunicationRunning())
        return false;
    try {
        if (!unit->BuildDatagram())
            throw std::runtime_error("a telegram of the datagram could not be built");
        LastSentId = static_cast<std::uint16_t>(unit->Id);
        if (!Udp->Active())
            Udp->SetActive(true);
        Udp->SendTo(unit->IpAddress, unit->Data());
    } catch (const std::exception& e) {
        LogNote(Name + ": datagram " + std::to_string(unit->Id) + " not sent: " + describe(e));
        unit->SetStationsState(ssFailed);
        return false;
    }
    // Listed before anything else can fail: from here on only the list frees it.
    TEthPacket* sent = SentPackets.AddSent(std::move(unit));
    try {
        LogDatagram(sent);
    } catch (const std::exception& e) {
        LogNote(Name + ": logging a datagram failed: " + e.what());
    }
    return true;
}

bool TUdpSocket::ProcessDatagram()
{
    for (std::unique_ptr<TEthPacket>& expired : SentPackets.TakeExpired(plat::clock().now())) {
        expired->SetResults(chTimedOut);
        State = chTimedOut;
        expired.reset();
    }
    const std::vector<std::uint8_t> data = std::exchange(ReceivedData, {});
    ClearRx();
    if (data.size() < kDatagramHeader)
        return false;
    const std::uint32_t id = data[0] | static_cast<std::uint32_t>(data[1]) << 8;
    TEthPacket* match = SentPackets.FindById(id);
    if (!match) {
        LogNote(Name + ": answer with Id " + std::to_string(id) + " matches no datagram; dropped");
        return false;
    }
    std::unique_ptr<TEthPacket> unit = SentPackets.Extract(match);
    const std::span<const std::uint8_t> body(data.data() + kDatagramHeader, data.size() - kDatagramHeader);
    const bool single = unit->Frames.size() == 1;
    bool judged = false;
    std::size_t offset = 0;
    for (TEthFrame& f : unit->Frames) {
        // Each telegram's bytes where its request says they stand, but only those that came.
        const std::size_t wanted = single ? body.size() : static_cast<std::size_t>(std::max(f.AnswerLength, 0));
        const std::size_t from = std::min(offset, body.size());
        const std::size_t count = std::min(wanted, body.size() - from);
        offset += wanted;
        if (!f.Packet)
            continue;  // taken out: its bytes are skipped
        State = chWaiting;
        std::copy_n(body.begin() + static_cast<std::ptrdiff_t>(from), count, RxBuffer.begin());
        RxCount = static_cast<std::int32_t>(count);
        if (CheckAnswer(f.Packet.get()))
            judged = true;
        f.Result = State;
        if (f.Packet->Station)
            f.Packet->Station->BusyInDatagram = false;
        ClearRx();
    }
    unit->Status = TEthPacket::stAnswered;
    LogDatagram(unit.get());
    unit.reset();  // each telegram settled under its own result
    return judged;
}

void TUdpSocket::DatagramReceived()
{
    try {
        if (!Polling || !Udp)
            return;
        const std::span<const std::uint8_t> data = Udp->GetData();
        if (data.size() < kDatagramHeader) {
            LogNote(Name + ": datagram of " + std::to_string(data.size()) + " bytes dropped");
            return;
        }
        ReceivedData.assign(data.begin(), data.end());
        RxCount = static_cast<std::int32_t>(data.size() - kDatagramHeader);
        if (RxCount >= 1)
            PollTimer();
    } catch (const std::exception& e) {
        LogNote(Name + ": reception failed: " + e.what());
    } catch (...) {
        LogNote(Name + ": reception failed");
    }
}

void TUdpSocket::SocketError()
{
    LogNote(Name + ": socket error " + std::to_string(Udp ? Udp->LastError() : 0));
}

}  // namespace vx

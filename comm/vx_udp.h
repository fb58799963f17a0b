#pragma once
// The UDP channel: one for the process, datagrams of up to five telegrams of one kind per PLC
// address, several datagrams in flight (one per station), answers matched by Id.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "vx_ethernet.h"

namespace vx {

// The socket operations the UDP channel relies on. The program's socket is the port layer's
// plat::mxUDPSocket; tests put scripted datagrams in its place (SetUdpPortFactory). Events
// come from the main thread's event loop, never from inside a call on the socket.
class TUdpPort {
public:
    virtual ~TUdpPort() = default;

    virtual bool Active() const = 0;
    // Raises plat::EFDSockError when the socket cannot be opened or bound.
    virtual void SetActive(bool on) = 0;
    // In network byte order, as the component keeps it.
    virtual std::uint16_t Port() const = 0;
    virtual void SetPort(std::uint16_t networkOrder) = 0;
    // One datagram to the address at Port; raises plat::EFDSockError.
    virtual void SendTo(const TIpAddress& ip, std::span<const std::uint8_t> data) = 0;
    // The datagram last received.
    virtual std::span<const std::uint8_t> GetData() const = 0;
    virtual int LastError() const = 0;

    // Once per datagram received.
    std::function<void()> OnReceive;
    std::function<void()> OnError;
};

using TUdpPortFactory = std::function<std::unique_ptr<TUdpPort>()>;
// Where UDP channels created from now on get their socket; empty restores the port layer's.
void SetUdpPortFactory(TUdpPortFactory factory);
std::unique_ptr<TUdpPort> CreateUdpPort();

// The port number at both ends unless SetPortNumber changes it.
inline constexpr std::int32_t kUdpPortNumber = 61682;

class TUdpSocket : public TSocket {
public:
    explicit TUdpSocket(TTreeObject* owner);
    ~TUdpSocket() override;

    // The socket's port, byte-swapped into and out of network order; it takes effect at the
    // next activation.
    void SetPortNumber(std::int32_t port) override;
    std::int32_t GetPortNumber() const override;
    // TSocket::Start, then the socket activated when the channel has stations. Activation
    // failure shows text 380 (ShowMessages on); the channel stays polling and its requests
    // fail as send errors.
    void Start() override;
    // Drops every unit and queued request (hooks run, nothing counted), closes the socket.
    void Stop() override;
    // Judges a received answer and expires the units whose time is up, then schedules and
    // packs the write queue, or the read queue when no write went.
    void PollTimer() override;

    // Packs every packet queue held at the call into Outgoing, then sends every unit none of
    // whose stations is busy. True when at least one unit was taken for sending.
    bool SendQueue(TComPacketList& queue);
    // Builds and sends the unit; when it went out, SentPackets takes it (unit is then null)
    // and the result is true. Otherwise its stations fail and unit stays with the caller.
    bool SendDatagram(std::unique_ptr<TEthPacket>& unit);
    // Expires what is due, then matches ReceivedData to its unit and judges each telegram on
    // its own bytes. True when an answer was judged.
    bool ProcessDatagram();
    // The socket's receive handler: a datagram under the six-byte header is dropped; one with
    // telegram bytes runs the poll tick at once.
    void DatagramReceived();
    // The socket's error handler: noted only; the request concerned expires.
    void SocketError();

    std::vector<std::uint8_t> ReceivedData;
    std::unique_ptr<TUdpPort> Udp;

private:
    // RxCount back to 0 with the bytes it held zeroed: only those, since this channel writes
    // no others, and zeroing the whole buffer per telegram would cost more than the rest.
    void ClearRx();
};

}  // namespace vx

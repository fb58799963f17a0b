#pragma once
// The TCP channels, one per PLC address, and the list that owns them. A request travels as
// one bare telegram over the channel's connection, in a Raw unit of the Ethernet base, so
// that the base's bookkeeping of units in flight, expiry and logging serve it unchanged.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vx_ethernet.h"

namespace vx {

// Received bytes a TCP channel holds; the port's input buffer has the same bound.
inline constexpr std::size_t kTcpBufferSize = 4092;

// Where TCP channels created from now on get their client port; empty restores the port
// layer's TCP client.
void SetTcpPortFactory(TComPortFactory factory);
std::unique_ptr<TComPort> CreateTcpPort();

// The address a TCP channel connects to: four decimal numbers of 0 to 255 joined by "."
// (leading zeros allowed), blanks around the whole text ignored. Any other text, a host name
// among them, never connects: no name is looked up, so nothing can block the main thread.
std::optional<TIpAddress> ParseTcpAddress(std::string_view text);

// The TCP channel of one PLC address. Named "TCPSocket" and the number of channels listed
// before it.
class TWsSocket : public TSocket {
public:
    explicit TWsSocket(TTreeObject* owner);
    // Units still in flight are dropped by the base: hooks run, nothing counted.
    ~TWsSocket() override;

    // The TCP port the connection goes to, kept by the port as decimal text; 0 when that text
    // is no number.
    void SetPortNumber(std::int32_t port) override;
    std::int32_t GetPortNumber() const override;
    // The address text exactly as the stations give it.
    void SetAddress(const std::string& address);
    std::string GetAddress() const;

    void PollTimer() override;
    // Starts polling as every Ethernet channel does, then connects. A channel already started
    // only connects again when its connection is gone: its stations keep their states (a
    // station switched onto it has been set back by the switch).
    void Start() override;
    // Closes the connection and drops the queues; the unit in flight stays in SentPackets and
    // is judged by the first tick after the next start.
    void Stop() override;

    // Sends the first packet of the queue in a unit of its own; false when the queue is empty.
    bool TcpSendQueue(TComPacketList& queue);
    // Puts the unit's telegram out on the connection and moves the unit to SentPackets, which
    // then owns it; false, with the unit still in the caller's hand, when nothing went out.
    bool TcpSendDatagram(std::unique_ptr<TEthPacket>& unit);
    // Judges what TcpBuffer holds as the answer to the oldest unit in flight, then lets every
    // expired unit time out; true when an answer was judged (State became 2 or 3).
    bool TcpProcessAnswer();
    // The port's data-available handler: appends to TcpBuffer and runs the poll tick once
    // it holds exactly one whole telegram.
    void TcpTriggerAvail(std::size_t count);

    bool Connected = false;
    std::array<std::uint8_t, kTcpBufferSize> TcpBuffer{};
    std::int32_t TcpCount = 0;

private:
    // A fresh connection attempt: the port closed and opened again. Raises what the port
    // raises, and for an address that is no dotted IPv4 address.
    void Connect();
    void ClearTcpBuffer();
};

// Owns the TCP channels.
class TSocketList : public TChannelList<TWsSocket> {
public:
    // The channel whose address equals the text exactly, or nullptr.
    TWsSocket* FindByAddress(const std::string& address) const;
    // The channel of the station's active IP address, created with its port number when
    // there is none, with the station attached.
    TWsSocket* AssignStation(TStation* station);
};

}  // namespace vx

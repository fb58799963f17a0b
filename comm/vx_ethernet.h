#pragma once
// What the Ethernet channels share: the channel base TSocket, the datagram unit TEthPacket
// (up to five telegrams to one PLC address under one 16-bit Id, or one bare telegram) and
// the two lists a unit lives in: Outgoing while it is filled and waits for its stations,
// SentPackets while its answer is awaited. A unit lives in one list at a time and is freed
// once, after it has left its list.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vx_channel.h"

namespace vx {

class TSocket;

// A PLC's IPv4 address, first number first.
using TIpAddress = std::array<std::uint8_t, 4>;

// The datagram header: Id low, Id high, 2, 0, then the length of what follows, high first.
inline constexpr std::size_t kDatagramHeader = 6;
inline constexpr std::size_t kMaxFramesPerDatagram = 5;

// One telegram of a unit. A telegram taken out of a unit already sent (its station failed,
// switched or was freed) leaves its slot empty but keeps its answer length, so that the
// answers of the telegrams behind it are still found.
struct TEthFrame {
    std::unique_ptr<TPacket> Packet;
    std::int32_t AnswerLength = 0;
    // The State its own answer check left (good, bad, timed out), under which it is settled
    // when the unit is freed. Idle: dropped unjudged, counted nothing.
    std::uint8_t Result = chIdle;
};

class TEthPacket : public TTreeObject {
public:
    enum : std::int32_t { stNew = 0, stBuilt = 1, stSent = 2, stAnswered = 3 };

    // Takes the next Id of the process-wide counter, skipping Ids the channel still awaits
    // an answer for. channel may be null (a unit on its own, for its bytes).
    explicit TEthPacket(TSocket* channel, bool raw = false);
    // Settles every telegram still held, last first, each under its own Result through the
    // channel (TSocket::SettleFrame), and clears its station's BusyInDatagram.
    ~TEthPacket() override;

    // Appends a telegram (built or not); the unit takes it.
    void AddFrame(std::unique_ptr<TPacket> packet);
    // Frames held (empty slots of a sent unit not counted).
    std::size_t FrameCount() const;
    // The packet of the first telegram still held, or null.
    TPacket* FirstFrame() const;
    TStation* FirstStation() const;
    // True with no telegram held, else when SentTime plus the first held telegram's station's
    // Timeout is not later than now.
    bool IsExpired(double now) const;
    // The sum of the telegrams' answer lengths, plus 7 when not 0 (as the log shows it).
    std::int32_t ExpectedAnswerLength() const;
    void SetStationsState(std::int32_t state);
    void SetSentTime(double t);
    // Every held telegram gets this Result.
    void SetResults(std::uint8_t result);
    // Whether a telegram of the station is held.
    bool Carries(const TStation* station) const;
    // Builds the bytes: a Raw unit is its one bare frame; otherwise the six-byte header, the
    // telegrams back to back and one pad byte to an even length. A frame that cannot be
    // built (never, when the channel built it before packing) gives false and no bytes.
    // Takes a fresh Id first when the channel awaits an answer under this one.
    bool BuildDatagram();
    // The bytes handed to the socket.
    std::span<const std::uint8_t> Data() const { return {Bytes.data(), static_cast<std::size_t>(Length)}; }

    // The process-wide Id counter: the next unit takes last + 1 (65535 is followed by 0).
    static void SetLastId(std::uint16_t last);
    static std::uint16_t LastId();

    double SentTime = 0;
    std::vector<TEthFrame> Frames;
    std::vector<std::uint8_t> Bytes;
    std::int32_t Length = 0;
    std::uint32_t Id = 0;
    TIpAddress IpAddress{};
    std::int32_t Status = stNew;
    bool Raw = false;

private:
    TSocket* channel_;
};

// A list of units that owns them. Clearing frees them first to last, each after it left.
class TEthPacketList {
public:
    TEthPacketList() = default;
    ~TEthPacketList() { Clear(); }
    TEthPacketList(const TEthPacketList&) = delete;
    TEthPacketList& operator=(const TEthPacketList&) = delete;

    TEthPacket* Add(std::unique_ptr<TEthPacket> unit);
    // Takes a unit out without freeing it; null when it is not listed.
    std::unique_ptr<TEthPacket> Extract(const TEthPacket* unit);
    std::unique_ptr<TEthPacket> Extract(std::size_t index);
    bool Holds(const TEthPacket* unit) const;
    void Clear();

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    TEthPacket* operator[](std::size_t i) const { return items_[i].get(); }

protected:
    std::vector<std::unique_ptr<TEthPacket>> items_;
};

// Units sent and awaiting their answer, oldest first.
class TSentPackets : public TEthPacketList {
public:
    // SetSentTime(now), Status 2, every telegram's station BusyInDatagram, appended.
    TEthPacket* AddSent(std::unique_ptr<TEthPacket> unit);
    TEthPacket* FindById(std::uint32_t id) const;
    // Takes out every unit that IsExpired at now (looked at last to first), in list order.
    std::vector<std::unique_ptr<TEthPacket>> TakeExpired(double now);
};

// Units being filled, in the order they were started.
class TPacketsToSend : public TEthPacketList {
public:
    // The first unit to the address with room for another telegram of this kind (its first
    // telegram has the kind), or null. None for an Ident, which travels alone.
    TEthPacket* FindByIp(const TIpAddress& ip, std::int32_t kind) const;
    // Takes out the first unit none of whose stations is BusyInDatagram; units left without
    // telegrams are freed on the way. Null when none may go.
    std::unique_ptr<TEthPacket> TakeNextReady();
};

// The base of the Ethernet channels. They send from their queues on the poll tick, in units
// that wait in Outgoing until none of their stations has a unit in flight, and keep the units
// sent in SentPackets until their answer is judged or they expire.
class TSocket : public TCOM {
public:
    explicit TSocket(TTreeObject* owner);
    // Drops every unit still held: telegrams freed with their hooks, nothing counted.
    ~TSocket() override;

    // Polling on, every station back to State 0 (a blocked one stays blocked) unless
    // Restarting, Schedule. No port is opened, and a started channel starts again.
    void Start() override;
    // These channels send from their queues on their own poll tick; a request handed over
    // singly (the serial channel's way) fails unsent.
    void SendPacket(std::unique_ptr<TPacket> packet) override;
    // Also the station's telegrams in Outgoing and SentPackets (see DropWaitingPackets).
    void DropStationPackets(const TStation* station) override;
    // The queues, and the station's telegrams in Outgoing (a unit left empty goes) and in
    // SentPackets (the slot stays, its answer bytes are skipped); hooks run once, the
    // station's BusyInDatagram is cleared.
    void DropWaitingPackets(const TStation* station) override;

    // Settles one telegram of a unit under result: good, bad and timed out are counted,
    // retried or fail the station as FinishPacket does; any other result drops it (hooks
    // run, nothing counted, nothing restarted).
    void SettleFrame(std::unique_ptr<TPacket> frame, std::uint8_t result);
    // Every unit of both lists dropped as above (Stop of the UDP channel, clearing).
    void DropUnits();

    // The datagram line while ComLogging is on, at most NumOfComLines lines; a unit just sent
    // (Status 2) also logs each of its telegrams as sent.
    void LogDatagram(TEthPacket* unit);

    std::uint16_t LastSentId = 0;
    TSentPackets SentPackets;
    TPacketsToSend Outgoing;
    std::deque<std::string> DatagramLog;

protected:
    bool HasSerialLine() const override { return false; }

private:
    // Frees the station's telegrams held in units, with their hooks.
    void DropUnitFrames(const TStation* station);
};

}  // namespace vx

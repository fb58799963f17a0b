#pragma once
// A channel's request queues, and the packing of variables to be read or written into them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vx_packet.h"

namespace vx {

// What became of a request to queue a variable.
enum class TQueueResult {
    Queued,          // a packet carries it: the completion hook will end the request
    AlreadyPending,  // an earlier read carries it and will end the request
    NotQueued,       // nothing carries it: the request has failed
};

// Owns its packets. Higher Priority first, first in first out among equals.
class TComPacketList {
public:
    TComPacketList() = default;
    ~TComPacketList() { Clear(); }
    TComPacketList(const TComPacketList&) = delete;
    TComPacketList& operator=(const TComPacketList&) = delete;

    // The queued packet, or nullptr when it was a duplicate and has been freed.
    TPacket* AddPacket(std::unique_ptr<TPacket> packet, bool dropDuplicates);
    // Puts a packet back at index (appended when index is past the end).
    TPacket* InsertPacket(std::size_t index, std::unique_ptr<TPacket> packet, bool dropDuplicates);
    // Frees every packet of the station.
    void RemoveStation(const TStation* station);
    // The last queued packet of the station.
    TPacket* FindStationPacket(const TStation* station) const;
    // Takes the packet at index out without freeing it.
    std::unique_ptr<TPacket> Extract(std::size_t index);
    bool Holds(const TPacket* packet) const;
    // Frees every packet, last first.
    void Clear();

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    TPacket* operator[](std::size_t i) const { return items_[i].get(); }

    TQueueResult AddVariableRead(TVariable* v, std::int32_t priority);
    // Sorts the list by PLC location and queues each at priority 0.
    void AddVariableReads(std::vector<TVariable*>& variables);
    TQueueResult AddVariableWrite(TVariable* v, std::int32_t priority);

private:
    // Frees the packet at index after taking it out, so that a hook sees a consistent queue.
    void FreeAt(std::size_t index);
    std::vector<std::unique_ptr<TPacket>> items_;
};

class TComReadList : public TComPacketList {};
class TComWriteList : public TComPacketList {};

}  // namespace vx

#pragma once
// The channel base, itself the serial-line channel, and the list of serial channels.
#include <cstdint>
#include <memory>
#include <vector>

#include "vx_classes.h"
#include "vx_packetlist.h"

namespace vx {

class TCOM : public TParentTreeObject {
public:
    explicit TCOM(TTreeObject* owner);
    ~TCOM() override;

    virtual void SetPortNumber(std::int32_t port) { PortNumber_ = port; }
    virtual std::int32_t GetPortNumber() const { return PortNumber_; }
    virtual void Start();
    virtual void Stop();
    virtual void ClearStations();

    // Serves the station from now on (sets its Channel).
    void AddStation(TStation* station);
    // Stops serving it (clears its Channel); its queued packets stay.
    void RemoveStation(TStation* station);
    // Frees the station's queued packets and, when it is in flight, its current request,
    // so that their completion hooks run and its counters return to 0.
    void DropStationPackets(const TStation* station);

    bool Polling = false;
    std::vector<TStation*> Stations;  // not owned
    TComReadList ReadQueue;
    TComWriteList WriteQueue;
    // The request in flight. The channel owns it unless a queue holds it again for a retry.
    TPacket* CurrentPacket = nullptr;

private:
    std::int32_t PortNumber_ = 0;  // held here until the port layer takes it
};

// Owns the serial channels, one per COM port.
class TComList {
public:
    TComList() = default;
    ~TComList() { Clear(); }
    TComList(const TComList&) = delete;
    TComList& operator=(const TComList&) = delete;

    void Clear();
    TCOM* FindByPort(std::int32_t port) const;
    // The channel of the station's active COM port, created when there is none, with the
    // station attached.
    TCOM* GetChannelForStation(TStation* station);
    bool StartAll();
    std::size_t size() const { return items_.size(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    std::vector<std::unique_ptr<TCOM>>& items() { return items_; }

private:
    std::vector<std::unique_ptr<TCOM>> items_;
};

}  // namespace vx

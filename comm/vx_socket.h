#pragma once
// Ethernet channels: the single UDP channel and the TCP channels, one per PLC address.
#include <memory>
#include <vector>

#include "vx_com.h"

namespace vx {

class TSocket : public TCOM {
public:
    explicit TSocket(TTreeObject* owner);
    // The datagram transport comes with the UDP and TCP channels; until then a request fails
    // here, and never goes out on the serial port every channel has.
    void SendPacket(std::unique_ptr<TPacket> packet) override;

protected:
    bool HasSerialLine() const override { return false; }
};

class TUdpSocket : public TSocket {
public:
    explicit TUdpSocket(TTreeObject* owner);
};

class TWsSocket : public TSocket {
public:
    explicit TWsSocket(TTreeObject* owner);
};

class TSocketList {
public:
    TSocketList() = default;
    ~TSocketList() { Clear(); }
    TSocketList(const TSocketList&) = delete;
    TSocketList& operator=(const TSocketList&) = delete;

    void Clear();
    std::size_t size() const { return items_.size(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::unique_ptr<TWsSocket>> items_;
};

}  // namespace vx

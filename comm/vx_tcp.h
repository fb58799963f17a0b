#pragma once
// The TCP channels, one per PLC address, and the list that owns them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vx_ethernet.h"

namespace vx {

// The TCP channel of one PLC address. Named "TCPSocket" and the number of channels listed
// before it.
class TWsSocket : public TSocket {
public:
    explicit TWsSocket(TTreeObject* owner);

    // The TCP port the connection goes to, in place of a COM number.
    void SetPortNumber(std::int32_t port) override { WsPort = port; }
    std::int32_t GetPortNumber() const override { return WsPort; }
    void SetAddress(const std::string& address) { WsAddress = address; }
    const std::string& GetAddress() const { return WsAddress; }

private:
    std::string WsAddress;
    std::int32_t WsPort = 0;
};

// Owns the TCP channels.
class TSocketList {
public:
    TSocketList() = default;
    ~TSocketList() { Clear(); }
    TSocketList(const TSocketList&) = delete;
    TSocketList& operator=(const TSocketList&) = delete;

    // The channel whose address equals the text exactly, or nullptr.
    TWsSocket* FindByAddress(const std::string& address) const;
    // The channel of the station's active IP address, created with its port number when
    // there is none, with the station attached.
    TWsSocket* AssignStation(TStation* station);
    // Each returns whether the list holds any channel.
    bool StartAll();
    bool StopAll();
    // Stops every channel, then frees them.
    void Clear();
    std::size_t size() const { return items_.size(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::unique_ptr<TWsSocket>> items_;
};

}  // namespace vx

#pragma once
// The program's small UDP component, over QUdpSocket: a datagram socket bound at one port,
// broadcast allowed, that reads every datagram waiting when the main thread's event loop
// reports some and hands each to OnReceive in turn. Errors raise EFDSockError with the socket
// layer's error code (QAbstractSocket::SocketError).
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class QUdpSocket;

namespace plat {

class EFDSockError : public std::runtime_error {
public:
    // The message is the code in decimal; detail is the socket layer's own text.
    EFDSockError(int code, std::string detail);
    int code() const noexcept { return code_; }
    const std::string& detail() const noexcept { return detail_; }

private:
    int code_;
    std::string detail_;
};

class mxUDPSocket {
public:
    mxUDPSocket();
    // Closes the socket first.
    ~mxUDPSocket();
    mxUDPSocket(const mxUDPSocket&) = delete;
    mxUDPSocket& operator=(const mxUDPSocket&) = delete;

    bool Active() const { return socket_ != nullptr; }
    // On: opens an IPv4 datagram socket bound at Port on the bind address, without sharing
    // it, broadcast allowed; raises EFDSockError when a step fails (nothing stays open). Off:
    // closes it; datagrams not yet read are lost.
    void SetActive(bool on);
    // In network byte order.
    std::uint16_t Port() const { return port_; }
    void SetPort(std::uint16_t networkOrder) { port_ = networkOrder; }
    int LastError() const { return lastError_; }
    std::size_t BytesReceived() const { return data_.size(); }
    // The sender of the datagram last received.
    const std::array<std::uint8_t, 4>& SenderAddress() const { return sender_; }
    std::uint16_t SenderPort() const { return senderPort_; }

    // One datagram to the address at Port; raises EFDSockError.
    void SendTo(const std::array<std::uint8_t, 4>& ip, std::span<const std::uint8_t> data);
    // The datagram last received.
    std::span<const std::uint8_t> GetData() const { return data_; }

    // Blanks around the text are ignored; the text is split at "."; each of the first four
    // fields is a decimal integer with an optional sign that fits 32 bits, of which the low 8
    // bits are kept; further fields are ignored. False, out untouched, for anything else.
    static bool StrToIP(std::string_view text, std::array<std::uint8_t, 4>& out);
    // Where sockets activated from now on bind: a dotted IPv4 address, or empty (the default)
    // for any address.
    static void SetBindAddress(const std::string& address);
    static const std::string& BindAddress();

    // Run from the event loop, once per datagram.
    std::function<void()> OnReceive;
    std::function<void()> OnError;

private:
    void readable();
    void close();

    QUdpSocket* socket_ = nullptr;
    std::uint16_t port_ = 0;
    int lastError_ = 0;
    std::vector<std::uint8_t> data_;
    std::array<std::uint8_t, 4> sender_{};
    std::uint16_t senderPort_ = 0;
    bool reading_ = false;
    // Cleared when the object goes, so that a handler that freed it ends the read loop.
    std::shared_ptr<bool> alive_;
};

}  // namespace plat

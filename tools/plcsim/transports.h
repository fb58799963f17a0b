#pragma once
// How requests reach the simulator: the master side of a pseudo-terminal (the server opens
// the slave as its COM port), UDP datagrams and TCP connections on 127.0.0.1. Everything
// runs on the main thread's event loop. An answer leaves at once or after the scripted
// latency.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "tools/plcsim/simulator.h"

class QObject;
class QSocketNotifier;
class QTimer;
class QUdpSocket;
class QTcpServer;
class QTcpSocket;

namespace plcsim {

class PtyTransport {
public:
    explicit PtyTransport(Simulator& sim);
    ~PtyTransport();
    PtyTransport(const PtyTransport&) = delete;
    PtyTransport& operator=(const PtyTransport&) = delete;

    // Creates the pseudo-terminal; std::runtime_error when the system has none to give.
    void open();
    // The device the server opens, /dev/pts/N.
    const std::string& slavePath() const { return slave_; }

    void setLatencyMs(int ms) { latencyMs_ = ms; }
    // A partial telegram is dropped after this much silence, as a PLC resynchronises on an
    // idle line; 0 never drops.
    void setFrameGapMs(int ms) { gapMs_ = ms; }

    std::size_t requestsSeen() const { return requests_; }
    std::size_t answersSent() const { return answers_; }

private:
    void readable();
    void send(const Bytes& bytes);
    void flushOut();

    Simulator& sim_;
    std::unique_ptr<QObject> ctx_;
    int master_ = -1;
    // Held open so that the master never sees a hang-up while the server's port is closed.
    int heldSlave_ = -1;
    std::string slave_;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer* gap_ = nullptr;
    FrameExtractor frames_;
    Bytes out_;
    int latencyMs_ = 0;
    int gapMs_ = 200;
    std::size_t requests_ = 0;
    std::size_t answers_ = 0;
};

class UdpTransport {
public:
    explicit UdpTransport(Simulator& sim);
    ~UdpTransport();
    UdpTransport(const UdpTransport&) = delete;
    UdpTransport& operator=(const UdpTransport&) = delete;

    // Binds 127.0.0.1:port (0: any free port); std::runtime_error when it cannot.
    void listen(std::uint16_t port = udpPort);
    std::uint16_t port() const;
    void setLatencyMs(int ms) { latencyMs_ = ms; }
    std::size_t answersSent() const { return answers_; }

private:
    void readable();

    Simulator& sim_;
    std::unique_ptr<QObject> ctx_;
    QUdpSocket* socket_ = nullptr;
    int latencyMs_ = 0;
    std::size_t answers_ = 0;
};

// Bare telegrams over TCP, one request at a time per connection.
class TcpTransport {
public:
    explicit TcpTransport(Simulator& sim);
    ~TcpTransport();
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    void listen(std::uint16_t port = 0);
    std::uint16_t port() const;
    void setLatencyMs(int ms) { latencyMs_ = ms; }
    std::size_t answersSent() const { return answers_; }
    // Drops every connection, as a PLC that restarts.
    void dropConnections();

private:
    void readable(QTcpSocket* s);

    Simulator& sim_;
    std::unique_ptr<QObject> ctx_;
    QTcpServer* server_ = nullptr;
    std::map<QTcpSocket*, FrameExtractor> peers_;
    int latencyMs_ = 0;
    std::size_t answers_ = 0;
};

}  // namespace plcsim

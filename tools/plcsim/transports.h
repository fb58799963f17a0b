#pragma once
// How requests reach the simulator: the master side of a pseudo-terminal (the server opens
// the slave as its COM port), UDP datagrams and TCP connections on a loopback address, one
// simulator per address, so that several PLC addresses live on one machine (127.0.0.2,
// 127.0.0.3, ...; Linux routes all of 127/8 to the loopback device). Everything runs on
// the main thread's event loop. An answer leaves at once or after the scripted latency.
// The network transports keep a record of what they received, for tests to query.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/plcsim/faults.h"
#include "tools/plcsim/simulator.h"

class QObject;
class QSocketNotifier;
class QTimer;
class QUdpSocket;
class QTcpServer;
class QTcpSocket;
class QHostAddress;
class QByteArray;

namespace plcsim {

// A pseudo-terminal in raw mode from the start (the line must not echo requests back before
// the server opens it): the non-blocking master, the slave's path, and the slave held open so
// the line stays up between the server's opens. Throws std::runtime_error when there is none.
struct RawPty {
    int master = -1;
    int heldSlave = -1;
    std::string slave;
};
RawPty OpenRawPty();

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

// Monotonic microseconds, the time base of the records.
std::int64_t steadyMicros();

// Faults of a whole answer datagram. The telegram faults of the simulator still apply to
// the single telegrams inside it.
enum class DatagramFault {
    Drop,       // no answer (the request is still served)
    WrongId,    // the answer under another Id: params.value, else the request's with bit 15 flipped
    Cut,        // the answer loses its last params.bytes bytes (0: half the bytes after the
                // header), never the header; the length field still counts them
    Short,      // only the first params.bytes bytes (1 to 5, else 4): under the six-byte header
    Late,       // the answer params.ms later than it would go (0: 1000 ms)
    Duplicate,  // the answer twice, the copy params.ms after it (0: at once)
};

struct TelegramSeen {
    std::optional<Service> service;  // none for a telegram the PLC could not read
    int station = -1;
};

struct DatagramSeen {
    std::uint64_t seq = 0;        // counts from 0 per transport
    std::int64_t receivedUs = 0;  // steadyMicros()
    std::int64_t answeredUs = -1; // when the (first) answer left; -1 none
    int answers = 0;              // answer datagrams sent for it: 2 with a duplicate
    std::uint16_t id = 0;         // bytes 0 and 1; 0 for a datagram shorter than that
    std::size_t bytes = 0;
    std::vector<TelegramSeen> telegrams;  // empty when the envelope could not be read
    std::string refused;          // why the PLC did not answer; empty when it did
    std::optional<DatagramFault> fault;

    bool oneKind() const;
    bool carries(int station) const;
    std::set<int> stations() const;
};

class UdpTransport {
public:
    explicit UdpTransport(Simulator& sim);
    ~UdpTransport();
    UdpTransport(const UdpTransport&) = delete;
    UdpTransport& operator=(const UdpTransport&) = delete;

    // Binds address:port (0: any free port), without sharing it; std::invalid_argument for
    // an address that is not a loopback one, std::runtime_error when it cannot bind.
    void listen(std::uint16_t port = udpPort, const std::string& address = "127.0.0.1");
    std::uint16_t port() const;
    const std::string& address() const { return address_; }
    void setLatencyMs(int ms) { latencyMs_ = ms; }
    std::size_t answersSent() const { return answers_; }

    void addFault(DatagramFault fault, int times = 1, FaultParams params = {}) { faults_.add(fault, times, params); }
    void setFaultRate(DatagramFault fault, double probability, FaultParams params = {})
    {
        faults_.setRate(fault, probability, params);
    }
    void clearFaults() { faults_.clear(); }
    std::size_t pendingFaults() const { return faults_.pending(); }
    void seedFaults(std::uint32_t seed) { faults_.seed(seed); }

    // Every datagram received, oldest first; past the record limit the oldest go. Clearing
    // the record also starts the in-flight peaks afresh.
    const std::deque<DatagramSeen>& received() const { return record_; }
    void clearRecord();
    void setRecordLimit(std::size_t n) { recordLimit_ = n; }
    std::size_t datagramsReceived() const { return seq_; }
    // Datagrams the PLC left unanswered: refused, or every telegram's answer dropped.
    std::size_t datagramsRefused() const { return refused_; }
    // The most datagrams one station has had in flight at once: received and answered,
    // their answer not yet sent. Seen from here only while answers wait (latency, Late):
    // a datagram the PLC never answers is not counted, since only the sender knows when
    // it gave it up.
    std::size_t peakInFlight() const;
    std::size_t peakInFlight(int station) const;

private:
    void readable();
    void handle(const QByteArray& data, const QHostAddress& from, std::uint16_t fromPort);
    void send(std::uint64_t seq, const Bytes& data, const QHostAddress& to, std::uint16_t toPort, bool first);
    DatagramSeen* seen(std::uint64_t seq);
    void log(const std::string& line) const;

    Simulator& sim_;
    std::unique_ptr<QObject> ctx_;
    QUdpSocket* socket_ = nullptr;
    std::string address_;
    int latencyMs_ = 0;
    std::size_t answers_ = 0;
    FaultScript<DatagramFault> faults_;
    std::deque<DatagramSeen> record_;
    std::size_t recordLimit_ = 100000;
    std::uint64_t seq_ = 0;
    std::size_t refused_ = 0;
    std::map<int, std::size_t> inFlight_;
    std::map<int, std::size_t> peak_;
};

// Faults of an answer on a TCP connection. The simulator's telegram faults apply as well.
enum class StreamFault {
    Split,  // the answer in two segments: params.bytes first (0: half), the rest params.ms
            // later (0: 50 ms); fits answers of two bytes and more
    Stray,  // one stray byte before the answer: the low byte of params.value (-1: 0x00)
};

struct RequestSeen {
    std::uint64_t seq = 0;
    std::int64_t receivedUs = 0;
    std::int64_t answeredUs = -1;  // when the answer's last byte was written; -1 none
    int connection = 0;            // counts accepted connections from 0
    std::size_t bytes = 0;
    TelegramSeen telegram;
    std::string refused;           // why the PLC did not answer; empty when it did
    std::optional<StreamFault> fault;
    bool closedAfter = false;      // the connection was closed behind this request
};

// Bare telegrams over TCP, one request at a time per connection.
class TcpTransport {
public:
    explicit TcpTransport(Simulator& sim);
    ~TcpTransport();
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    // As UdpTransport::listen; 0 takes any free port.
    void listen(std::uint16_t port = 0, const std::string& address = "127.0.0.1");
    std::uint16_t port() const;
    const std::string& address() const { return address_; }
    bool listening() const;
    void setLatencyMs(int ms) { latencyMs_ = ms; }
    std::size_t answersSent() const { return answers_; }

    // Drops every connection, as a PLC that restarts.
    void dropConnections();
    // Stops listening, so that connection attempts are refused; the open connections go
    // too unless keepOpen.
    void refuseConnections(bool keepOpen = false);
    // Listens again at the address and port of listen(); std::runtime_error when it cannot.
    void listenAgain();
    // The connection that carries the n-th request from now is closed once that request is
    // answered (n >= 1; 0 cancels).
    void closeAfter(int requests) { closeAfter_ = requests > 0 ? requests : 0; }

    void addFault(StreamFault fault, int times = 1, FaultParams params = {}) { faults_.add(fault, times, params); }
    void setFaultRate(StreamFault fault, double probability, FaultParams params = {})
    {
        faults_.setRate(fault, probability, params);
    }
    void clearFaults() { faults_.clear(); }
    std::size_t pendingFaults() const { return faults_.pending(); }
    void seedFaults(std::uint32_t seed) { faults_.seed(seed); }

    const std::deque<RequestSeen>& received() const { return record_; }
    void clearRecord() { record_.clear(); }
    void setRecordLimit(std::size_t n) { recordLimit_ = n; }
    std::size_t requestsReceived() const { return seq_; }
    int connectionsAccepted() const { return accepted_; }
    std::size_t openConnections() const { return peers_.size(); }

private:
    struct Peer {
        int number = 0;
        FrameExtractor frames;
        bool closing = false;  // closed after its last request: what else comes is ignored
    };
    void accept();
    void readable(QTcpSocket* s);
    void write(QTcpSocket* s, const Bytes& bytes);
    RequestSeen* seen(std::uint64_t seq);

    Simulator& sim_;
    std::unique_ptr<QObject> ctx_;
    QTcpServer* server_ = nullptr;
    std::string address_;
    std::uint16_t port_ = 0;
    std::map<QTcpSocket*, Peer> peers_;
    int latencyMs_ = 0;
    std::size_t answers_ = 0;
    int closeAfter_ = 0;
    int accepted_ = 0;
    FaultScript<StreamFault> faults_;
    std::deque<RequestSeen> record_;
    std::size_t recordLimit_ = 100000;
    std::uint64_t seq_ = 0;
};

}  // namespace plcsim

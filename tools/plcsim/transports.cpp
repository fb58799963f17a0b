#include "tools/plcsim/transports.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace plcsim {

namespace {

// Runs send now, or after ms on the event loop while context lives.
void later(QObject* context, int ms, std::function<void()> send)
{
    if (ms <= 0)
        send();
    else
        QTimer::singleShot(ms, context, std::move(send));
}

// Only loopback addresses: the simulator must never answer anything off this machine.
QHostAddress loopback(const std::string& address)
{
    QHostAddress a;
    if (!a.setAddress(QString::fromStdString(address)) || !a.isLoopback())
        throw std::invalid_argument("'" + address + "' is not a loopback address");
    return a;
}

template <class Seen>
void keep(std::deque<Seen>& record, Seen seen, std::size_t limit)
{
    record.push_back(std::move(seen));
    while (record.size() > limit)
        record.pop_front();
}

template <class Seen>
Seen* find(std::deque<Seen>& record, std::uint64_t seq)
{
    if (record.empty() || seq < record.front().seq)
        return nullptr;
    const std::uint64_t at = seq - record.front().seq;
    return at < record.size() ? &record[at] : nullptr;
}

// Datagrams read per notification, so that a flood cannot hold the event loop.
constexpr int readBatch = 64;

}  // namespace

std::int64_t steadyMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool DatagramSeen::oneKind() const
{
    if (telegrams.empty() || !telegrams.front().service)
        return false;
    return std::all_of(telegrams.begin(), telegrams.end(),
                       [this](const TelegramSeen& t) { return t.service == telegrams.front().service; });
}

bool DatagramSeen::carries(int station) const
{
    return std::any_of(telegrams.begin(), telegrams.end(),
                       [station](const TelegramSeen& t) { return t.station == station; });
}

std::set<int> DatagramSeen::stations() const
{
    std::set<int> out;
    for (const TelegramSeen& t : telegrams)
        out.insert(t.station);
    return out;
}

// --- pseudo-terminal -------------------------------------------------------------------

RawPty OpenRawPty()
{
    RawPty pty;
    pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (pty.master < 0 || ::grantpt(pty.master) != 0 || ::unlockpt(pty.master) != 0) {
        const std::string why = std::strerror(errno);
        if (pty.master >= 0)
            ::close(pty.master);
        throw std::runtime_error("no pseudo-terminal: " + why);
    }
    pty.slave = ::ptsname(pty.master);
    termios t{};
    if (::tcgetattr(pty.master, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(pty.master, TCSANOW, &t);
    }
    pty.heldSlave = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return pty;
}

PtyTransport::PtyTransport(Simulator& sim) : sim_(sim), ctx_(std::make_unique<QObject>()) {}

PtyTransport::~PtyTransport()
{
    ctx_.reset();  // the notifiers go before their descriptors
    if (heldSlave_ >= 0)
        ::close(heldSlave_);
    if (master_ >= 0)
        ::close(master_);
}

void PtyTransport::open()
{
    if (master_ >= 0)
        return;
    const RawPty pty = OpenRawPty();
    master_ = pty.master;
    heldSlave_ = pty.heldSlave;
    slave_ = pty.slave;

    readNotifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, ctx_.get());
    QObject::connect(readNotifier_, &QSocketNotifier::activated, ctx_.get(), [this] { readable(); });
    writeNotifier_ = new QSocketNotifier(master_, QSocketNotifier::Write, ctx_.get());
    writeNotifier_->setEnabled(false);
    QObject::connect(writeNotifier_, &QSocketNotifier::activated, ctx_.get(), [this] { flushOut(); });
    gap_ = new QTimer(ctx_.get());
    gap_->setSingleShot(true);
    QObject::connect(gap_, &QTimer::timeout, ctx_.get(), [this] { frames_.reset(); });
}

void PtyTransport::readable()
{
    std::uint8_t buf[512];
    ssize_t n;
    bool got = false;
    while ((n = ::read(master_, buf, sizeof buf)) > 0) {
        frames_.feed(std::span(buf, static_cast<std::size_t>(n)));
        got = true;
    }
    while (auto frame = frames_.next()) {
        ++requests_;
        Bytes a = sim_.answer(*frame);
        if (!a.empty())
            later(ctx_.get(), latencyMs_, [this, a] { send(a); });
    }
    if (frames_.pending() == 0)
        gap_->stop();
    else if (got && gapMs_ > 0)
        gap_->start(gapMs_);
}

void PtyTransport::send(const Bytes& bytes)
{
    ++answers_;
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    flushOut();
}

void PtyTransport::flushOut()
{
    while (!out_.empty()) {
        const ssize_t n = ::write(master_, out_.data(), out_.size());
        if (n > 0) {
            out_.erase(out_.begin(), out_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            out_.clear();  // the line is gone; what was to go is lost with it
        break;
    }
    writeNotifier_->setEnabled(!out_.empty());
}

// --- UDP ---------------------------------------------------------------------------------

UdpTransport::UdpTransport(Simulator& sim) : sim_(sim), ctx_(std::make_unique<QObject>()) {}

UdpTransport::~UdpTransport() = default;

void UdpTransport::listen(std::uint16_t port, const std::string& address)
{
    const QHostAddress at = loopback(address);
    delete socket_;
    socket_ = new QUdpSocket(ctx_.get());
    // Not shared: a second PLC on the same address and port must fail, not split the traffic.
    if (!socket_->bind(at, port, QAbstractSocket::DontShareAddress))
        throw std::runtime_error("UDP " + address + ":" + std::to_string(port) + ": "
                                 + socket_->errorString().toStdString());
    address_ = address;
    QObject::connect(socket_, &QUdpSocket::readyRead, ctx_.get(), [this] { readable(); });
}

std::uint16_t UdpTransport::port() const { return socket_ ? socket_->localPort() : 0; }

void UdpTransport::log(const std::string& line) const
{
    if (sim_.onLog)
        sim_.onLog("udp " + address_ + ": " + line);
}

void UdpTransport::readable()
{
    // Only readyRead reads the socket, and what a batch leaves brings the next readyRead: a
    // readyRead whose datagrams someone else already took finds nothing, and a QUdpSocket
    // whose readyRead read nothing never signals again.
    for (int n = 0; n < readBatch && socket_->hasPendingDatagrams(); ++n) {
        const QNetworkDatagram d = socket_->receiveDatagram();
        handle(d.data(), d.senderAddress(), static_cast<std::uint16_t>(d.senderPort()));
    }
}

void UdpTransport::handle(const QByteArray& data, const QHostAddress& from, std::uint16_t fromPort)
{
    const Bytes request(data.begin(), data.end());
    DatagramSeen rec;
    rec.seq = seq_++;
    rec.receivedUs = steadyMicros();
    rec.bytes = request.size();
    if (request.size() >= 2)
        rec.id = static_cast<std::uint16_t>(request[0] | request[1] << 8);
    if (const auto d = parseDatagram(request)) {
        for (const Bytes& t : d->telegrams) {
            const Simulator::RequestKind k = Simulator::classify(t);
            rec.telegrams.push_back({k.service, k.station});
        }
    }

    Bytes answer = sim_.answerDatagram(request);
    if (answer.empty()) {
        rec.refused = sim_.lastReason();
        ++refused_;
        log("datagram " + std::to_string(rec.id) + " unanswered: " + rec.refused);
        keep(record_, std::move(rec), recordLimit_);
        return;
    }

    const std::set<int> targets = rec.stations();
    const std::vector<int> stations(targets.begin(), targets.end());
    int delay = latencyMs_;
    int copyAfter = -1;
    if (const auto f = faults_.take(stations, [](DatagramFault) { return true; })) {
        rec.fault = f->fault;
        const FaultParams& p = f->params;
        const std::size_t body = answer.size() - datagramHeader;
        std::string what;
        switch (f->fault) {
        case DatagramFault::Drop:
            log("datagram " + std::to_string(rec.id) + ": answer dropped by a scripted fault");
            keep(record_, std::move(rec), recordLimit_);
            return;
        case DatagramFault::WrongId: {
            const auto id = static_cast<std::uint16_t>(p.value >= 0 ? p.value : rec.id ^ 0x8000);
            answer[0] = static_cast<std::uint8_t>(id & 0xFF);
            answer[1] = static_cast<std::uint8_t>(id >> 8);
            what = "answered under Id " + std::to_string(id);
            break;
        }
        case DatagramFault::Cut: {
            const std::size_t n = p.bytes > 0 ? std::min<std::size_t>(static_cast<std::size_t>(p.bytes), body)
                                              : (body + 1) / 2;
            answer.resize(answer.size() - n);
            what = "answer cut by " + std::to_string(n) + " bytes";
            break;
        }
        case DatagramFault::Short:
            answer.resize(p.bytes >= 1 && p.bytes < static_cast<int>(datagramHeader) ? static_cast<std::size_t>(p.bytes)
                                                                                       : 4);
            what = "answer of " + std::to_string(answer.size()) + " bytes";
            break;
        case DatagramFault::Late:
            delay += p.ms > 0 ? p.ms : 1000;
            what = "answer after " + std::to_string(delay) + " ms";
            break;
        case DatagramFault::Duplicate:
            copyAfter = std::max(p.ms, 0);
            what = "answer sent twice";
            break;
        }
        log("datagram " + std::to_string(rec.id) + ": " + what + " by a scripted fault");
    }

    for (int st : stations)
        peak_[st] = std::max(peak_[st], ++inFlight_[st]);
    const std::uint64_t seq = rec.seq;
    keep(record_, std::move(rec), recordLimit_);
    later(ctx_.get(), delay, [this, seq, answer, from, fromPort, stations, copyAfter] {
        send(seq, answer, from, fromPort, true);
        for (int st : stations)
            --inFlight_[st];
        if (copyAfter >= 0)
            later(ctx_.get(), copyAfter,
                  [this, seq, answer, from, fromPort] { send(seq, answer, from, fromPort, false); });
    });
}

void UdpTransport::send(std::uint64_t seq, const Bytes& data, const QHostAddress& to, std::uint16_t toPort, bool first)
{
    socket_->writeDatagram(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()), to, toPort);
    ++answers_;
    if (DatagramSeen* rec = seen(seq)) {
        ++rec->answers;
        if (first)
            rec->answeredUs = steadyMicros();
    }
}

DatagramSeen* UdpTransport::seen(std::uint64_t seq) { return find(record_, seq); }

void UdpTransport::clearRecord()
{
    record_.clear();
    peak_ = inFlight_;
}

std::size_t UdpTransport::peakInFlight() const
{
    std::size_t most = 0;
    for (const auto& [station, n] : peak_)
        most = std::max(most, n);
    return most;
}

std::size_t UdpTransport::peakInFlight(int station) const
{
    const auto it = peak_.find(station);
    return it == peak_.end() ? 0 : it->second;
}

// --- TCP ---------------------------------------------------------------------------------

TcpTransport::TcpTransport(Simulator& sim) : sim_(sim), ctx_(std::make_unique<QObject>()) {}

TcpTransport::~TcpTransport()
{
    server_ = nullptr;
    peers_.clear();
    ctx_.reset();  // the server and its sockets
}

void TcpTransport::listen(std::uint16_t port, const std::string& address)
{
    const QHostAddress at = loopback(address);
    if (!server_) {
        server_ = new QTcpServer(ctx_.get());
        QObject::connect(server_, &QTcpServer::newConnection, ctx_.get(), [this] { accept(); });
    }
    server_->close();
    if (!server_->listen(at, port))
        throw std::runtime_error("TCP " + address + ":" + std::to_string(port) + ": "
                                 + server_->errorString().toStdString());
    address_ = address;
    port_ = server_->serverPort();
}

std::uint16_t TcpTransport::port() const { return port_; }

bool TcpTransport::listening() const { return server_ && server_->isListening(); }

void TcpTransport::refuseConnections(bool keepOpen)
{
    if (server_)
        server_->close();
    if (!keepOpen)
        dropConnections();
}

void TcpTransport::listenAgain()
{
    if (!server_)
        throw std::runtime_error("TCP: listen() first");
    if (!server_->isListening())
        listen(port_, address_);
}

void TcpTransport::accept()
{
    while (QTcpSocket* s = server_->nextPendingConnection()) {
        // Each write goes out as its own segment, so that a split answer arrives in two.
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        peers_[s].number = accepted_++;
        QObject::connect(s, &QTcpSocket::readyRead, ctx_.get(), [this, s] { readable(s); });
        QObject::connect(s, &QTcpSocket::disconnected, ctx_.get(), [this, s] {
            peers_.erase(s);
            s->deleteLater();
        });
    }
}

void TcpTransport::write(QTcpSocket* s, const Bytes& bytes)
{
    s->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    s->flush();
}

RequestSeen* TcpTransport::seen(std::uint64_t seq) { return find(record_, seq); }

void TcpTransport::readable(QTcpSocket* s)
{
    auto it = peers_.find(s);
    if (it == peers_.end())
        return;
    const QByteArray data = s->readAll();
    it->second.frames.feed(std::span(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                     static_cast<std::size_t>(data.size())));
    // Looked up again for every telegram: a write or a close may end the connection (and
    // erase its peer) on the spot.
    for (;;) {
        it = peers_.find(s);
        if (it == peers_.end() || it->second.closing)
            return;
        Peer& peer = it->second;
        const auto frame = peer.frames.next();
        if (!frame)
            return;
        RequestSeen rec;
        rec.seq = seq_++;
        rec.receivedUs = steadyMicros();
        rec.connection = peer.number;
        rec.bytes = frame->size();
        const Simulator::RequestKind k = Simulator::classify(*frame);
        rec.telegram = {k.service, k.station};
        const bool close = closeAfter_ > 0 && --closeAfter_ == 0;
        rec.closedAfter = close;
        peer.closing = close;

        const Bytes a = sim_.answer(*frame);
        if (a.empty()) {
            rec.refused = sim_.lastReason();
            keep(record_, std::move(rec), recordLimit_);
            if (close)
                s->disconnectFromHost();
            continue;
        }
        const int stations[] = {k.station};
        const auto f = faults_.take(stations,
                                    [&a](StreamFault fault) { return fault != StreamFault::Split || a.size() >= 2; });
        std::size_t first = a.size();
        int pause = 0;
        Bytes head;
        if (f) {
            rec.fault = f->fault;
            if (f->fault == StreamFault::Split) {
                first = f->params.bytes > 0
                            ? std::min<std::size_t>(static_cast<std::size_t>(f->params.bytes), a.size() - 1)
                            : a.size() / 2;
                pause = f->params.ms > 0 ? f->params.ms : 50;
            } else {
                head.push_back(static_cast<std::uint8_t>(f->params.value >= 0 ? f->params.value : 0x00));
            }
        }
        const std::uint64_t seq = rec.seq;
        keep(record_, std::move(rec), recordLimit_);
        auto finish = [this, s, seq, close] {
            ++answers_;
            if (RequestSeen* r = seen(seq))
                r->answeredUs = steadyMicros();
            if (close)
                s->disconnectFromHost();
        };
        later(s, latencyMs_, [this, s, a, head, first, pause, finish] {
            Bytes out = head;
            out.insert(out.end(), a.begin(), a.begin() + static_cast<std::ptrdiff_t>(first));
            write(s, out);
            if (first == a.size()) {
                finish();
                return;
            }
            later(s, pause, [this, s, rest = Bytes(a.begin() + static_cast<std::ptrdiff_t>(first), a.end()), finish] {
                write(s, rest);
                finish();
            });
        });
    }
}

void TcpTransport::dropConnections()
{
    std::vector<QTcpSocket*> all;
    for (const auto& [s, peer] : peers_)
        all.push_back(s);
    for (QTcpSocket* s : all) {
        s->abort();
        peers_.erase(s);
        s->deleteLater();
    }
}

}  // namespace plcsim

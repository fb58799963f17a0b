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
#include <cerrno>
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

}  // namespace

// --- pseudo-terminal -------------------------------------------------------------------

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
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        const std::string why = std::strerror(errno);
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
        throw std::runtime_error("no pseudo-terminal: " + why);
    }
    slave_ = ::ptsname(master_);
    // Raw from the start: the line must not echo requests back before the server opens it.
    termios t{};
    if (::tcgetattr(master_, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
    }
    heldSlave_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);

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

void UdpTransport::listen(std::uint16_t port)
{
    socket_ = new QUdpSocket(ctx_.get());
    if (!socket_->bind(QHostAddress::LocalHost, port))
        throw std::runtime_error("UDP 127.0.0.1:" + std::to_string(port) + ": "
                                 + socket_->errorString().toStdString());
    QObject::connect(socket_, &QUdpSocket::readyRead, ctx_.get(), [this] { readable(); });
}

std::uint16_t UdpTransport::port() const { return socket_ ? socket_->localPort() : 0; }

void UdpTransport::readable()
{
    while (socket_->hasPendingDatagrams()) {
        const QNetworkDatagram d = socket_->receiveDatagram();
        const QByteArray data = d.data();
        Bytes a = sim_.answerDatagram(Bytes(data.begin(), data.end()));
        if (a.empty())
            continue;
        later(ctx_.get(), latencyMs_, [this, a, to = d.senderAddress(), port = d.senderPort()] {
            socket_->writeDatagram(reinterpret_cast<const char*>(a.data()), static_cast<qint64>(a.size()), to,
                                   static_cast<quint16>(port));
            ++answers_;
        });
    }
}

// --- TCP ---------------------------------------------------------------------------------

TcpTransport::TcpTransport(Simulator& sim) : sim_(sim), ctx_(std::make_unique<QObject>()) {}

TcpTransport::~TcpTransport()
{
    server_ = nullptr;
    ctx_.reset();  // the server and its sockets
}

void TcpTransport::listen(std::uint16_t port)
{
    server_ = new QTcpServer(ctx_.get());
    if (!server_->listen(QHostAddress::LocalHost, port))
        throw std::runtime_error("TCP 127.0.0.1:" + std::to_string(port) + ": "
                                 + server_->errorString().toStdString());
    QObject::connect(server_, &QTcpServer::newConnection, ctx_.get(), [this] {
        while (QTcpSocket* s = server_->nextPendingConnection()) {
            peers_[s];
            QObject::connect(s, &QTcpSocket::readyRead, ctx_.get(), [this, s] { readable(s); });
            QObject::connect(s, &QTcpSocket::disconnected, ctx_.get(), [this, s] {
                peers_.erase(s);
                s->deleteLater();
            });
        }
    });
}

std::uint16_t TcpTransport::port() const { return server_ ? server_->serverPort() : 0; }

void TcpTransport::readable(QTcpSocket* s)
{
    auto it = peers_.find(s);
    if (it == peers_.end())
        return;
    const QByteArray data = s->readAll();
    it->second.feed(std::span(reinterpret_cast<const std::uint8_t*>(data.constData()),
                              static_cast<std::size_t>(data.size())));
    while (auto frame = it->second.next()) {
        Bytes a = sim_.answer(*frame);
        if (a.empty())
            continue;
        later(s, latencyMs_, [this, s, a] {
            s->write(reinterpret_cast<const char*>(a.data()), static_cast<qint64>(a.size()));
            ++answers_;
        });
    }
}

void TcpTransport::dropConnections()
{
    std::vector<QTcpSocket*> all;
    for (const auto& [s, frames] : peers_)
        all.push_back(s);
    for (QTcpSocket* s : all)
        s->abort();
}

}  // namespace plcsim

#include "udp.h"

#include <sys/socket.h>

#include <QHostAddress>
#include <QUdpSocket>
#include <QtEndian>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace plat {

namespace {

constexpr std::size_t kTransferBuffer = 65535;
// Reads that fail in a row before a notification is given up; the next one reads on.
constexpr int kFailedReadsPerNotification = 16;

std::string bindAddress;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A decimal integer with an optional sign that fits 32 bits.
bool decimalField(std::string_view field, std::int32_t& out)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-'))
        negative = field[i++] == '-';
    if (i == field.size())
        return false;
    std::int64_t value = 0;
    for (; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9')
            return false;
        value = value * 10 + (field[i] - '0');
        if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1)
            return false;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<std::int32_t>::max() || value < std::numeric_limits<std::int32_t>::min())
        return false;
    out = static_cast<std::int32_t>(value);
    return true;
}

[[noreturn]] void raise(const QUdpSocket& s)
{
    throw EFDSockError(static_cast<int>(s.error()), s.errorString().toStdString());
}

}  // namespace

EFDSockError::EFDSockError(int code, std::string detail)
    : std::runtime_error(std::to_string(code)), code_(code), detail_(std::move(detail))
{
}

mxUDPSocket::mxUDPSocket() : alive_(std::make_shared<bool>(true)) {}

mxUDPSocket::~mxUDPSocket()
{
    *alive_ = false;
    OnReceive = nullptr;
    OnError = nullptr;
    close();
}

void mxUDPSocket::SetBindAddress(const std::string& address) { bindAddress = address; }

const std::string& mxUDPSocket::BindAddress() { return bindAddress; }

void mxUDPSocket::SetActive(bool on)
{
    if (!on) {
        close();
        return;
    }
    if (socket_)
        return;
    auto s = std::make_unique<QUdpSocket>();
    const QHostAddress local =
        bindAddress.empty() ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QString::fromStdString(bindAddress));
    if (local.isNull() || local.protocol() != QAbstractSocket::IPv4Protocol) {
        lastError_ = static_cast<int>(QAbstractSocket::UnsupportedSocketOperationError);
        throw EFDSockError(lastError_, "not an IPv4 address: " + bindAddress);
    }
    // No sharing: a second program on the same port cannot activate its socket.
    if (!s->bind(local, qFromBigEndian(port_), QAbstractSocket::DontShareAddress)) {
        lastError_ = static_cast<int>(s->error());
        raise(*s);
    }
    const int yes = 1;
    if (::setsockopt(static_cast<int>(s->socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &yes, sizeof yes) != 0) {
        lastError_ = static_cast<int>(QAbstractSocket::UnsupportedSocketOperationError);
        throw EFDSockError(lastError_, std::string("broadcast refused: ") + std::strerror(errno));
    }
    socket_ = s.release();
    QObject::connect(socket_, &QUdpSocket::readyRead, socket_, [this] { readable(); });
}

void mxUDPSocket::close()
{
    if (!socket_)
        return;
    QUdpSocket* s = std::exchange(socket_, nullptr);
    s->disconnect();
    s->close();
    // Not under its own signal: the read loop may still be on the stack.
    if (reading_)
        s->deleteLater();
    else
        delete s;
}

void mxUDPSocket::SendTo(const std::array<std::uint8_t, 4>& ip, std::span<const std::uint8_t> data)
{
    if (!socket_) {
        lastError_ = static_cast<int>(QAbstractSocket::OperationError);
        throw EFDSockError(lastError_, "the socket is not active");
    }
    const quint32 to = quint32{ip[0]} << 24 | quint32{ip[1]} << 16 | quint32{ip[2]} << 8 | quint32{ip[3]};
    const qint64 n = socket_->writeDatagram(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()),
                                            QHostAddress(to), qFromBigEndian(port_));
    if (n != static_cast<qint64>(data.size())) {
        lastError_ = static_cast<int>(socket_->error());
        raise(*socket_);
    }
}

void mxUDPSocket::readable()
{
    QUdpSocket* const s = socket_;
    const std::shared_ptr<bool> alive = alive_;
    const bool outer = !std::exchange(reading_, true);
    int failed = 0;
    // Every datagram waiting: a notification that leaves one unread may be the last.
    while (*alive && socket_ == s && s && s->hasPendingDatagrams()) {
        data_.resize(kTransferBuffer);
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 n = s->readDatagram(reinterpret_cast<char*>(data_.data()), static_cast<qint64>(data_.size()), &from,
                                         &fromPort);
        if (n < 0) {
            data_.clear();
            lastError_ = static_cast<int>(s->error());
            if (OnError)
                OnError();
            if (++failed >= kFailedReadsPerNotification)
                break;
            continue;
        }
        failed = 0;
        data_.resize(static_cast<std::size_t>(n));
        bool ipv4 = false;
        const quint32 a = from.toIPv4Address(&ipv4);
        sender_ = ipv4 ? std::array<std::uint8_t, 4>{static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                                                     static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)}
                       : std::array<std::uint8_t, 4>{};
        senderPort_ = fromPort;
        if (OnReceive)
            OnReceive();
    }
    if (*alive && outer)
        reading_ = false;
}

bool mxUDPSocket::StrToIP(std::string_view text, std::array<std::uint8_t, 4>& out)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    std::array<std::uint8_t, 4> ip{};
    for (std::size_t i = 0; i < ip.size(); ++i) {
        const std::size_t dot = text.find('.');
        const std::string_view field = text.substr(0, dot);
        std::int32_t value = 0;
        if (!decimalField(field, value))
            return false;
        ip[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFF);
        if (dot == std::string_view::npos) {
            if (i + 1 < ip.size())
                return false;  // fewer than four numbers
            text = {};
        } else {
            text.remove_prefix(dot + 1);
        }
    }
    out = ip;
    return true;
}

}  // namespace plat

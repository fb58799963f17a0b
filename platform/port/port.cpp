#include "platform/port/port.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QTcpSocket>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/port/comports.h"

namespace plat {

namespace {

// Calls a handler through a copy: the handler may replace or clear itself, or free the
// port that holds it, while it runs.
template <class Handler, class... Args>
void fire(const Handler& handler, Args&&... args)
{
    if (!handler)
        return;
    const Handler call = handler;
    call(std::forward<Args>(args)...);
}

}  // namespace

struct TApdWinsockPort::Impl {
    explicit Impl(TApdWinsockPort& owner) : q(owner) {}
    ~Impl() { closeDevice(); }

    TApdWinsockPort& q;
    // Expires with the port: a handler that frees it ends the event that called it.
    const std::shared_ptr<char> life = std::make_shared<char>();
    // Receiver of every device signal. All connections are queued, so no handler of ours
    // ever runs inside a call into Qt and a device may be closed or deleted at any time.
    QObject ctx;

    int comNumber = 1;
    int baud = 19200;
    int parity = 0;
    int stopBits = 1;
    unsigned hwFlow = 0;
    bool rs485 = false;
    std::optional<bool> dtr;  // untouched until the program sets it
    Layer layer = Layer::Serial;
    Mode mode = Mode::Client;
    std::string wsAddress;
    std::string wsPort;
    std::size_t inSize = 4096;

    QSerialPort* serial = nullptr;  // children of ctx, one per opening
    QTcpSocket* tcp = nullptr;
    bool tcpConnected = false;
    // Bumped on every open and close: queued signals of an earlier opening are dropped.
    std::uint64_t generation = 0;
    bool pullPosted = false;
    std::optional<serial_rs485> savedRs485;  // the driver's setting before we switched it

    std::string notedPath;
    std::set<std::string> noted;

    std::deque<std::uint8_t> rx;

    struct Consumer {
        int id;
        int order;
        InputConsumer fn;
    };
    std::vector<Consumer> consumers;
    int nextConsumerId = 1;

    QIODevice* device() const
    {
        if (serial)
            return serial;
        return tcp;
    }

    std::string label() const
    {
        if (layer == Layer::Winsock)
            return "TCP " + wsAddress + ":" + wsPort;
        return "COM" + std::to_string(comNumber) + " (" + comPortDevice(comNumber) + ")";
    }

    void note(const std::string& key, const std::string& text)
    {
        if (!noted.insert(key).second)
            return;
        fire(q.OnNote, label() + ": " + text);
    }

    bool isOpen() const
    {
        if (serial)
            return true;
        return tcp && tcp->state() != QAbstractSocket::UnconnectedState;
    }

    // --- serial line ---------------------------------------------------------------

    void openSerial()
    {
        const std::string path = comPortDevice(comNumber);
        if (path != notedPath) {
            noted.clear();
            notedPath = path;
        }
        if (path.empty())
            throw PortError(PortFault::NotFound,
                            "COM" + std::to_string(comNumber) + ": no device for this port number");
        auto* port = new QSerialPort(&ctx);
        port->setPortName(QString::fromStdString(path));
        // Opened with Qt's defaults, which every tty accepts; our settings follow one by one
        // so that one the device refuses is noted instead of failing the whole open.
        if (!port->open(QIODevice::ReadWrite)) {
            const auto err = port->error();
            const std::string detail = port->errorString().toStdString();
            delete port;
            PortFault fault = PortFault::Io;
            std::string why = "cannot be opened";
            switch (err) {
            case QSerialPort::DeviceNotFoundError:
                fault = PortFault::NotFound;
                why = "device not found";
                break;
            case QSerialPort::PermissionError:
                fault = PortFault::Busy;
                why = "device is busy or access is denied";
                break;
            case QSerialPort::UnsupportedOperationError:
                fault = PortFault::NotSerial;
                why = "device is not a serial line";
                break;
            default:
                break;
            }
            throw PortError(fault, label() + ": " + why + " (" + detail + ")");
        }
        serial = port;
        ++generation;
        const auto gen = generation;
        QObject::connect(port, &QSerialPort::readyRead, &ctx, [this, gen] {
            if (gen == generation)
                pull();
        }, Qt::QueuedConnection);
        QObject::connect(port, &QSerialPort::errorOccurred, &ctx, [this, gen](QSerialPort::SerialPortError e) {
            // Refused settings come here too; they were noted where they were made. A tty
            // whose far end hung up reports read errors, an unplugged adapter a resource error.
            if (gen != generation || !serial || (e != QSerialPort::ResourceError && e != QSerialPort::ReadError))
                return;
            const std::string detail = serial->errorString().toStdString();
            closeDevice();
            fire(q.OnNote, label() + ": device lost (" + detail + "); the port is closed");
        }, Qt::QueuedConnection);
        applyBaud();
        if (!serial->setDataBits(QSerialPort::Data8))
            note("databits", "eight data bits are not supported (" + lastSerialError() + ")");
        applyParity();
        applyStopBits();
        applyHandshake();
    }

    std::string lastSerialError()
    {
        std::string text = serial->errorString().toStdString();
        serial->clearError();
        return text;
    }

    void applyBaud()
    {
        if (!serial)
            return;
        serial->clearError();
        if (!serial->setBaudRate(baud))
            note("baud" + std::to_string(baud),
                 std::to_string(baud) + " baud is not supported (" + lastSerialError() + ")");
    }

    void applyParity()
    {
        if (!serial)
            return;
        static const QSerialPort::Parity map[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                  QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                  QSerialPort::SpaceParity};
        static const char* const names[] = {"no", "odd", "even", "mark", "space"};
        serial->clearError();
        if (!serial->setParity(map[parity]))
            note("parity" + std::to_string(parity),
                 std::string(names[parity]) + " parity is not supported (" + lastSerialError() + ")");
    }

    void applyStopBits()
    {
        if (!serial)
            return;
        serial->clearError();
        if (!serial->setStopBits(stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop))
            note("stopbits" + std::to_string(stopBits),
                 std::to_string(stopBits) + " stop bits are not supported (" + lastSerialError() + ")");
    }

    // RTS/CTS is the one hardware handshake termios has; with RS-485 RTS is the direction
    // line and only CTS asks for it.
    void applyHandshake()
    {
        if (!serial)
            return;
        const bool ctsFlow = (hwFlow & hwfRequireCTS) || ((hwFlow & hwfUseRTS) && !rs485);
        serial->clearError();
        if (!serial->setFlowControl(ctsFlow ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl)
            && ctsFlow)
            note("rtscts", "RTS/CTS handshake is not supported (" + lastSerialError() + ")");
        if (hwFlow & hwfRequireDSR)
            note("dsr", "DSR handshake is not available on Linux; sending does not wait for DSR");
        applyDtr();
        applyRs485();
    }

    void applyDtr()
    {
        if (!serial)
            return;
        const bool dtrHandshake = hwFlow & hwfUseDTR;
        std::optional<bool> level = dtr;
        if (!level && dtrHandshake)
            level = true;
        if (!level)
            return;
        serial->clearError();
        const bool ok = serial->setDataTerminalReady(*level);
        const std::string detail = ok ? std::string() : lastSerialError();
        if (dtrHandshake)
            note("dtr", ok ? "DTR handshake is not available on Linux; DTR is held on"
                           : "DTR handshake is not available on Linux and DTR cannot be switched (" + detail + ")");
        else if (!ok)
            note("dtr", "DTR cannot be switched (" + detail + ")");
    }

    void applyRs485()
    {
        if (!serial)
            return;
        const int fd = serial->handle();
        if (!rs485) {
            restoreRs485();
            return;
        }
        serial_rs485 conf{};
        if (::ioctl(fd, TIOCGRS485, &conf) < 0) {
            note("rs485", std::string("RS-485 direction control is not supported by the driver (")
                              + std::strerror(errno) + "); RTS does not follow sending");
            return;
        }
        if (!savedRs485)
            savedRs485 = conf;
        conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        conf.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
        if (::ioctl(fd, TIOCSRS485, &conf) < 0)
            note("rs485", std::string("RS-485 direction control cannot be switched on (")
                              + std::strerror(errno) + "); RTS does not follow sending");
    }

    // The kernel keeps RS-485 mode across closes; hand the line back as we found it.
    void restoreRs485()
    {
        if (!savedRs485 || !serial)
            return;
        ::ioctl(serial->handle(), TIOCSRS485, &*savedRs485);
        savedRs485.reset();
    }

    // --- TCP client ----------------------------------------------------------------

    void openTcp()
    {
        const std::string path = wsAddress + ":" + wsPort;
        if (path != notedPath) {
            noted.clear();
            notedPath = path;
        }
        if (wsAddress.empty())
            throw PortError(PortFault::BadSetting, label() + ": no address to connect to");
        unsigned port = 0;
        const char* end = wsPort.data() + wsPort.size();
        const auto [ptr, ec] = std::from_chars(wsPort.data(), end, port);
        if (ec != std::errc() || ptr != end || port == 0 || port > 65535)
            throw PortError(PortFault::BadSetting, label() + ": '" + wsPort + "' is not a TCP port number");

        auto* sock = new QTcpSocket(&ctx);
        tcp = sock;
        tcpConnected = false;
        ++generation;
        const auto gen = generation;
        QObject::connect(sock, &QTcpSocket::connected, &ctx, [this, gen] {
            if (gen != generation)
                return;
            tcpConnected = true;
            fire(q.OnWsConnect);
        }, Qt::QueuedConnection);
        QObject::connect(sock, &QTcpSocket::disconnected, &ctx, [this, gen] {
            if (gen != generation || !tcpConnected)
                return;
            tcpConnected = false;
            fire(q.OnWsDisconnect);
        }, Qt::QueuedConnection);
        QObject::connect(sock, &QTcpSocket::errorOccurred, &ctx, [this, gen](QAbstractSocket::SocketError e) {
            // The other end closing is a disconnect, not an error.
            if (gen != generation || e == QAbstractSocket::RemoteHostClosedError)
                return;
            fire(q.OnWsError, static_cast<int>(e));
        }, Qt::QueuedConnection);
        QObject::connect(sock, &QTcpSocket::readyRead, &ctx, [this, gen] {
            if (gen == generation)
                pull();
        }, Qt::QueuedConnection);
        sock->connectToHost(QString::fromStdString(wsAddress), static_cast<quint16>(port));
    }

    // --- both ----------------------------------------------------------------------

    void open()
    {
        if (isOpen())
            return;
        closeDevice();  // a TCP socket the other end has closed
        if (layer == Layer::Winsock)
            openTcp();
        else
            openSerial();
    }

    // The kernel's close waits up to 30 s for output a held-back CTS keeps in the driver, which
    // would freeze the main thread on every stop or restart. Give the bytes the time the line
    // needs to send them, then drop what is left: the request they belong to is abandoned anyway.
    void drainOutputBriefly()
    {
        const int fd = serial->handle();
        if (fd < 0)
            return;
        int pending = 0;
        if (::ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0)
            return;
        const qint64 bits = static_cast<qint64>(pending) * 11;
        const qint64 boundMs = std::min<qint64>(50 + bits * 1000 / std::max(baud, 300), 500);
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < boundMs) {
            if (::ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0)
                return;
            ::usleep(2000);
        }
        serial->clear(QSerialPort::Output);
    }

    void closeDevice()
    {
        if (!serial && !tcp)
            return;
        ++generation;
        if (serial) {
            restoreRs485();
            serial->disconnect(&ctx);
            serial->flush();
            drainOutputBriefly();
            serial->close();
            delete serial;
            serial = nullptr;
        }
        if (tcp) {
            tcp->disconnect(&ctx);
            tcp->flush();  // into the kernel, which still sends it after the close
            tcp->abort();
            delete tcp;
            tcp = nullptr;
            tcpConnected = false;
        }
        rx.clear();
    }

    void postPull()
    {
        if (pullPosted)
            return;
        pullPosted = true;
        QMetaObject::invokeMethod(&ctx, [this, gen = generation] {
            pullPosted = false;
            if (gen == generation)
                pull();
        }, Qt::QueuedConnection);
    }

    void morePending()
    {
        QIODevice* dev = device();
        if (dev && dev->bytesAvailable() > 0 && rx.size() < inSize)
            postPull();
    }

    // Moves waiting bytes into the input buffer, up to InSize, and tells the consumers
    // and the trigger handler. Any of them may close the port, read from it or free it.
    void pull()
    {
        QIODevice* dev = device();
        if (!dev || rx.size() >= inSize)
            return;
        const QByteArray data = dev->read(static_cast<qint64>(inSize - rx.size()));
        if (data.isEmpty())
            return;
        rx.insert(rx.end(), data.begin(), data.end());
        const auto gen = generation;
        const std::weak_ptr<char> alive = life;
        const std::span<const std::uint8_t> chunk(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                                  static_cast<std::size_t>(data.size()));
        std::vector<int> order;
        for (const auto& c : consumers)
            order.push_back(c.id);
        for (int id : order) {
            auto it = std::find_if(consumers.begin(), consumers.end(), [id](const Consumer& c) { return c.id == id; });
            if (it == consumers.end())
                continue;  // removed by an earlier consumer
            fire(it->fn, chunk);  // the consumer may remove itself
            if (alive.expired() || gen != generation)
                return;
        }
        if (!rx.empty())
            fire(q.OnTriggerAvail, rx.size());
        if (!alive.expired() && gen == generation)
            morePending();
    }
};

TApdWinsockPort::TApdWinsockPort() : d_(std::make_unique<Impl>(*this)) {}

TApdWinsockPort::~TApdWinsockPort() = default;

int TApdWinsockPort::ComNumber() const { return d_->comNumber; }

void TApdWinsockPort::SetComNumber(int n)
{
    if (n == d_->comNumber)
        return;
    const bool reopen = d_->serial != nullptr;
    d_->closeDevice();
    d_->comNumber = n;
    if (reopen)
        d_->open();
}

int TApdWinsockPort::Baud() const { return d_->baud; }

void TApdWinsockPort::SetBaud(int baud)
{
    if (baud <= 0)
        throw PortError(PortFault::BadSetting, d_->label() + ": " + std::to_string(baud) + " is not a baud rate");
    d_->baud = baud;
    d_->applyBaud();
}

int TApdWinsockPort::Parity() const { return d_->parity; }

void TApdWinsockPort::SetParity(int parity)
{
    if (parity < 0 || parity > 4)
        throw PortError(PortFault::BadSetting,
                        d_->label() + ": parity " + std::to_string(parity) + " is not 0 to 4");
    d_->parity = parity;
    d_->applyParity();
}

int TApdWinsockPort::StopBits() const { return d_->stopBits; }

void TApdWinsockPort::SetStopBits(int bits)
{
    if (bits != 1 && bits != 2)
        throw PortError(PortFault::BadSetting, d_->label() + ": " + std::to_string(bits) + " stop bits, not 1 or 2");
    d_->stopBits = bits;
    d_->applyStopBits();
}

unsigned TApdWinsockPort::HWFlowOptions() const { return d_->hwFlow; }

void TApdWinsockPort::SetHWFlowOptions(unsigned bits)
{
    if (bits > (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS))
        throw PortError(PortFault::BadSetting,
                        d_->label() + ": handshake options " + std::to_string(bits) + " are not 0 to 15");
    d_->hwFlow = bits;
    d_->applyHandshake();
}

bool TApdWinsockPort::RS485Mode() const { return d_->rs485; }

void TApdWinsockPort::SetRS485Mode(bool on)
{
    d_->rs485 = on;
    d_->applyHandshake();
}

bool TApdWinsockPort::DTR() const { return d_->dtr.value_or(true); }

void TApdWinsockPort::SetDTR(bool on)
{
    d_->dtr = on;
    d_->applyDtr();
}

std::string TApdWinsockPort::DevicePath() const { return comPortDevice(d_->comNumber); }

bool TApdWinsockPort::Open() const { return d_->isOpen(); }

void TApdWinsockPort::SetOpen(bool on)
{
    if (on)
        d_->open();
    else
        d_->closeDevice();
}

void TApdWinsockPort::ReleaseDevice() { d_->closeDevice(); }

void TApdWinsockPort::PutBlock(const void* data, std::size_t count)
{
    QIODevice* dev = d_->device();
    if (!dev || !d_->isOpen())
        throw PortError(PortFault::NotOpen, d_->label() + ": port is not open");
    if (count == 0)
        return;
    const qint64 n = dev->write(static_cast<const char*>(data), static_cast<qint64>(count));
    if (n != static_cast<qint64>(count))
        throw PortError(PortFault::Io, d_->label() + ": sending failed (" + dev->errorString().toStdString() + ")");
}

std::uint8_t TApdWinsockPort::GetChar()
{
    if (d_->rx.empty())
        throw PortError(PortFault::BufferEmpty, d_->label() + ": no received byte waiting");
    const std::uint8_t b = d_->rx.front();
    d_->rx.pop_front();
    d_->morePending();
    return b;
}

std::size_t TApdWinsockPort::GetBlock(void* buffer, std::size_t count)
{
    if (count > d_->rx.size())
        throw PortError(PortFault::BufferEmpty, d_->label() + ": " + std::to_string(count) + " bytes asked, "
                                                    + std::to_string(d_->rx.size()) + " waiting");
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::copy_n(d_->rx.begin(), count, out);
    d_->rx.erase(d_->rx.begin(), d_->rx.begin() + static_cast<std::ptrdiff_t>(count));
    d_->morePending();
    return count;
}

bool TApdWinsockPort::CharReady() const { return !d_->rx.empty(); }

std::size_t TApdWinsockPort::InBuffUsed() const { return d_->rx.size(); }

void TApdWinsockPort::FlushInBuffer()
{
    d_->rx.clear();
    if (d_->serial)
        d_->serial->clear(QSerialPort::Input);
    else if (d_->tcp)
        d_->tcp->readAll();
}

std::size_t TApdWinsockPort::InSize() const { return d_->inSize; }

void TApdWinsockPort::SetInSize(std::size_t bytes)
{
    if (bytes == 0)
        throw PortError(PortFault::BadSetting, d_->label() + ": an input buffer needs at least one byte");
    d_->inSize = bytes;
    d_->morePending();
}

void TApdWinsockPort::ProcessCommunications()
{
    // The event loop may not run again before the port goes: a short bounded wait lets a
    // hang-up command leave, and a zero wait takes up what the device has for us.
    QIODevice* dev = d_->device();
    if (!dev)
        return;
    if (d_->serial)
        d_->serial->flush();
    else
        d_->tcp->flush();
    if (dev->bytesToWrite() > 0)
        dev->waitForBytesWritten(100);
    dev->waitForReadyRead(0);
    d_->pull();
}

TApdWinsockPort::Layer TApdWinsockPort::DeviceLayer() const { return d_->layer; }

void TApdWinsockPort::SetDeviceLayer(Layer layer)
{
    if (layer == d_->layer)
        return;
    d_->closeDevice();
    d_->layer = layer;
}

TApdWinsockPort::Mode TApdWinsockPort::WsMode() const { return d_->mode; }

void TApdWinsockPort::SetWsMode(Mode mode) { d_->mode = mode; }

std::string TApdWinsockPort::WsAddress() const { return d_->wsAddress; }

void TApdWinsockPort::SetWsAddress(std::string address) { d_->wsAddress = std::move(address); }

std::string TApdWinsockPort::WsPort() const { return d_->wsPort; }

void TApdWinsockPort::SetWsPort(std::string port) { d_->wsPort = std::move(port); }

int TApdWinsockPort::AddInputConsumer(InputConsumer consumer, int order)
{
    const int id = d_->nextConsumerId++;
    auto& list = d_->consumers;
    auto at = std::upper_bound(list.begin(), list.end(), order,
                               [](int o, const Impl::Consumer& c) { return o < c.order; });
    list.insert(at, Impl::Consumer{id, order, std::move(consumer)});
    return id;
}

void TApdWinsockPort::RemoveInputConsumer(int id)
{
    std::erase_if(d_->consumers, [id](const Impl::Consumer& c) { return c.id == id; });
}

}  // namespace plat

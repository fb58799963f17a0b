#include "platform/port/port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/port/comports.h"
#include "tests/wait_until.h"

namespace {

using plat::PortError;
using plat::PortFault;
using plat::TApdWinsockPort;
using Bytes = std::vector<std::uint8_t>;

using vxtest::waitUntil;

PortFault faultOf(const std::function<void()>& call, std::string* message = nullptr)
{
    try {
        call();
    } catch (const PortError& e) {
        if (message)
            *message = e.what();
        return e.fault();
    }
    ADD_FAILURE() << "no PortError raised";
    return PortFault::Io;
}

// The far end of a serial line: the master side of a pseudo-terminal.
struct Pty {
    int master = -1;
    // Keeps the terminal's number taken until the Pty goes, also after a hang-up: a port
    // that closes after the master frees the number before it drops its device lock, and a
    // test running beside this one could be given that number and find it locked.
    int heldSlave = -1;
    std::string slave;
    Bytes received;

    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        slave = ::ptsname(master);
        heldSlave = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~Pty()
    {
        close();
        if (heldSlave >= 0)
            ::close(heldSlave);
    }
    // The far end hangs up.
    void close()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }

    void send(const Bytes& b) { ASSERT_EQ(::write(master, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    void drain()
    {
        std::uint8_t buf[256];
        ssize_t n;
        while ((n = ::read(master, buf, sizeof buf)) > 0)
            received.insert(received.end(), buf, buf + n);
    }
    bool waitReceived(std::size_t count)
    {
        return waitUntil([&] {
            drain();
            return received.size() >= count;
        });
    }
    termios line() const
    {
        termios t{};
        ::tcgetattr(master, &t);  // the slave's settings, as the port made them
        return t;
    }
};

// A port on COM 7, which the map points at a fresh pseudo-terminal.
struct SerialPort : ::testing::Test {
    Pty pty;
    TApdWinsockPort port;
    std::vector<std::string> notes;
    std::vector<std::size_t> triggers;

    SerialPort()
    {
        plat::setComPortDevice(7, pty.slave);
        port.SetComNumber(7);
        port.OnNote = [this](const std::string& t) { notes.push_back(t); };
        port.OnTriggerAvail = [this](std::size_t n) { triggers.push_back(n); };
    }
    ~SerialPort() override { plat::clearComPortDevices(); }

    Bytes take(std::size_t n)
    {
        Bytes b(n);
        port.GetBlock(b.data(), n);
        return b;
    }
    std::size_t notesWith(const std::string& word) const
    {
        return std::count_if(notes.begin(), notes.end(),
                             [&](const std::string& n) { return n.find(word) != std::string::npos; });
    }
};

TEST(ComPorts, NumbersMapToDevices)
{
    plat::clearComPortDevices();
    EXPECT_EQ(plat::comPortDevice(1), "/dev/ttyS0");
    EXPECT_EQ(plat::comPortDevice(3), "/dev/ttyS2");
    EXPECT_EQ(plat::comPortDevice(0), "");
    EXPECT_EQ(plat::comPortDevice(-2), "");

    EXPECT_TRUE(plat::setComPortDevice(3, "/dev/ttyUSB0"));
    EXPECT_TRUE(plat::setComPortDevice(4, "ttyACM1"));  // a bare name lives in /dev
    EXPECT_EQ(plat::comPortDevice(3), "/dev/ttyUSB0");
    EXPECT_EQ(plat::comPortDevice(4), "/dev/ttyACM1");
    EXPECT_EQ(plat::comPortDevice(5), "/dev/ttyS4");

    // Bad entries are refused and change nothing.
    EXPECT_FALSE(plat::setComPortDevice(3, ""));
    EXPECT_FALSE(plat::setComPortDevice(0, "/dev/ttyUSB1"));
    EXPECT_FALSE(plat::setComPortDevice(-1, "/dev/ttyUSB1"));
    EXPECT_EQ(plat::comPortDevice(3), "/dev/ttyUSB0");
    EXPECT_EQ(plat::comPortDevice(0), "");

    plat::clearComPortDevices();
    EXPECT_EQ(plat::comPortDevice(3), "/dev/ttyS2");
}

TEST_F(SerialPort, OpensThroughTheComNumberAndCarriesBytesBothWays)
{
    EXPECT_EQ(port.DevicePath(), pty.slave);
    EXPECT_FALSE(port.Open());
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());

    const Bytes request{0x10, 0x02, 0x7E, 0x69, 0xE9, 0x16};
    port.PutBlock(request.data(), request.size());
    ASSERT_TRUE(pty.waitReceived(request.size()));
    EXPECT_EQ(pty.received, request);

    const Bytes answer{0x10, 0x7E, 0x02, 0x08, 0x88, 0x16};
    pty.send(answer);
    ASSERT_TRUE(waitUntil([&] { return port.InBuffUsed() == answer.size(); }));
    EXPECT_EQ(take(answer.size()), answer);
    EXPECT_FALSE(port.CharReady());

    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    port.SetOpen(true);  // a closed port opens again
    EXPECT_TRUE(port.Open());
    port.ReleaseDevice();
    EXPECT_FALSE(port.Open());
}

TEST_F(SerialPort, ClosingSendsWhatTheLineTakesAndNeverWaitsLongForTheRest)
{
    port.SetOpen(true);
    // The far end reads: a request just put out reaches it before the port closes.
    const Bytes request{0x68, 0x05, 0x05, 0x68, 0x02, 0x7E, 0x6C, 0x0B, 0x00, 0xF7, 0x16};
    port.PutBlock(request.data(), request.size());
    port.SetOpen(false);
    ASSERT_TRUE(pty.waitReceived(request.size()));
    EXPECT_EQ(pty.received, request);

    // The far end takes nothing (as a line held back by CTS): the close comes all the same.
    port.SetOpen(true);
    const Bytes flood(64 * 1024, 0x55);
    port.PutBlock(flood.data(), flood.size());
    QElapsedTimer closing;
    closing.start();
    port.SetOpen(false);
    EXPECT_LT(closing.elapsed(), 2000);
    EXPECT_FALSE(port.Open());
}

TEST_F(SerialPort, TriggerCountsEverythingWaiting)
{
    port.SetOpen(true);
    pty.send({1, 2, 3});
    ASSERT_TRUE(waitUntil([&] { return !triggers.empty() && triggers.back() == 3u; }));

    // Unread bytes stay and count again with the next ones.
    pty.send({4, 5});
    ASSERT_TRUE(waitUntil([&] { return !triggers.empty() && triggers.back() == 5u; }));
    EXPECT_EQ(port.InBuffUsed(), 5u);
    EXPECT_TRUE(port.CharReady());
    EXPECT_EQ(port.GetChar(), 1);
    EXPECT_EQ(port.GetChar(), 2);
    EXPECT_EQ(take(3), (Bytes{3, 4, 5}));
}

TEST_F(SerialPort, ReadingMoreThanWaitingRaisesAndLosesNothing)
{
    port.SetOpen(true);
    pty.send({9, 8, 7, 6});
    ASSERT_TRUE(waitUntil([&] { return port.InBuffUsed() == 4; }));

    Bytes big(10, 0xAA);
    std::string message;
    EXPECT_EQ(faultOf([&] { port.GetBlock(big.data(), big.size()); }, &message), PortFault::BufferEmpty);
    EXPECT_NE(message.find("10 bytes asked, 4 waiting"), std::string::npos) << message;
    EXPECT_EQ(big, Bytes(10, 0xAA));
    EXPECT_EQ(port.InBuffUsed(), 4u);
    EXPECT_EQ(take(4), (Bytes{9, 8, 7, 6}));

    EXPECT_EQ(faultOf([&] { port.GetChar(); }), PortFault::BufferEmpty);
    EXPECT_EQ(port.GetBlock(nullptr, 0), 0u);
}

TEST_F(SerialPort, FlushInBufferDiscardsUnreadInput)
{
    port.SetOpen(true);
    pty.send({1, 2, 3});
    ASSERT_TRUE(waitUntil([&] { return port.InBuffUsed() == 3; }));
    port.FlushInBuffer();
    EXPECT_EQ(port.InBuffUsed(), 0u);

    pty.send({4});
    ASSERT_TRUE(waitUntil([&] { return port.InBuffUsed() == 1; }));
    EXPECT_EQ(port.GetChar(), 4);
}

TEST_F(SerialPort, ClosingDropsInputAndTransfersOnAClosedPortRaise)
{
    port.SetOpen(true);
    pty.send({1, 2});
    ASSERT_TRUE(waitUntil([&] { return port.InBuffUsed() == 2; }));
    port.SetOpen(false);
    EXPECT_EQ(port.InBuffUsed(), 0u);

    const std::uint8_t b = 0x55;
    std::string message;
    EXPECT_EQ(faultOf([&] { port.PutBlock(&b, 1); }, &message), PortFault::NotOpen);
    EXPECT_NE(message.find("COM7"), std::string::npos) << message;
}

TEST_F(SerialPort, ConsumersSeeInputInOrderBeforeTheTrigger)
{
    std::vector<std::string> seen;
    port.OnTriggerAvail = [&](std::size_t n) { seen.push_back("trigger " + std::to_string(n)); };
    port.AddInputConsumer([&](std::span<const std::uint8_t> b) { seen.push_back("late " + std::to_string(b.size())); }, 10);
    int once = 0;
    once = port.AddInputConsumer([&](std::span<const std::uint8_t> b) {
        seen.push_back("once " + std::to_string(b[0]));
        port.RemoveInputConsumer(once);  // a consumer may leave while it is called
    }, -5);
    port.AddInputConsumer([&](std::span<const std::uint8_t> b) { seen.push_back("modem " + std::to_string(b[0])); }, -5);
    port.SetOpen(true);

    pty.send({7});
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 4; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"once 7", "modem 7", "late 1", "trigger 1"}));

    // Consumers look, they do not take: the byte is still there for the channel.
    seen.clear();
    pty.send({8});
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"modem 8", "late 1", "trigger 2"}));
    EXPECT_EQ(take(2), (Bytes{7, 8}));
}

TEST_F(SerialPort, InputBeyondInSizeWaitsUntilTheProgramReads)
{
    port.SetInSize(4);
    Bytes got;
    std::size_t largest = 0;
    port.OnTriggerAvail = [&](std::size_t n) {
        largest = std::max(largest, n);
        const Bytes b = take(n);
        got.insert(got.end(), b.begin(), b.end());
    };
    port.SetOpen(true);
    const Bytes sent{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    pty.send(sent);
    ASSERT_TRUE(waitUntil([&] { return got.size() == sent.size(); }));
    EXPECT_EQ(got, sent);
    EXPECT_LE(largest, 4u);
}

TEST_F(SerialPort, ATriggerHandlerMayCloseThePort)
{
    port.OnTriggerAvail = [&](std::size_t) { port.SetOpen(false); };
    int after = 0;
    port.AddInputConsumer([&](std::span<const std::uint8_t>) { ++after; }, 1);
    port.SetOpen(true);
    pty.send({1});
    ASSERT_TRUE(waitUntil([&] { return !port.Open(); }));
    EXPECT_EQ(after, 1);
}

// A handler may put another in its place, or drop itself, while it runs (the channel does
// so when it lets go of the port).
TEST_F(SerialPort, AHandlerMayReplaceItselfWhileItRuns)
{
    std::vector<std::string> seen;
    const std::string tag(100, 't');  // too large to live inside the handler object
    port.OnTriggerAvail = [&, tag](std::size_t) {
        port.OnTriggerAvail = nullptr;
        seen.push_back(tag);
    };
    port.OnNote = [&, tag](const std::string&) {
        port.OnNote = nullptr;
        seen.push_back("note " + tag);
    };
    port.SetOpen(true);
    pty.send({1});
    ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<std::string>{tag});
    pty.close();  // the device lost: a note
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen.back(), "note " + tag);
}

// The channel that owns a port may be freed from inside the port's own events.
TEST(SerialPortLife, APortMayBeFreedByItsOwnHandlers)
{
    enum class FreedBy { Consumer, Trigger };
    for (const FreedBy by : {FreedBy::Consumer, FreedBy::Trigger}) {
        SCOPED_TRACE(by == FreedBy::Consumer ? "consumer" : "trigger");
        Pty pty;
        plat::setComPortDevice(7, pty.slave);
        auto port = std::make_unique<TApdWinsockPort>();
        port->SetComNumber(7);
        if (by == FreedBy::Consumer)
            port->AddInputConsumer([&](std::span<const std::uint8_t>) { port.reset(); });
        else
            port->OnTriggerAvail = [&](std::size_t) { port.reset(); };
        port->SetOpen(true);
        pty.send({1, 2, 3});
        EXPECT_TRUE(waitUntil([&] { return !port; }));
        plat::clearComPortDevices();
    }
}

TEST_F(SerialPort, ProcessCommunicationsWorksWithoutTheEventLoop)
{
    port.SetOpen(true);
    const Bytes hangUp{'+', '+', '+'};
    port.PutBlock(hangUp.data(), hangUp.size());
    port.ProcessCommunications();
    pollfd p{pty.master, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);  // out already, though no event was handled
    pty.drain();
    EXPECT_EQ(pty.received, hangUp);

    pty.send({'O', 'K'});
    QElapsedTimer clock;
    clock.start();
    while (triggers.empty() && clock.elapsed() < 5000)
        port.ProcessCommunications();
    ASSERT_FALSE(triggers.empty());
    EXPECT_EQ(take(port.InBuffUsed()).front(), 'O');
}

TEST_F(SerialPort, ASecondPortOnTheSameDeviceIsBusy)
{
    port.SetOpen(true);
    TApdWinsockPort other;
    other.SetComNumber(7);
    std::string message;
    EXPECT_EQ(faultOf([&] { other.SetOpen(true); }, &message), PortFault::Busy);
    EXPECT_NE(message.find(pty.slave), std::string::npos) << message;
    EXPECT_FALSE(other.Open());

    // The first one is not disturbed.
    pty.send({0x42});
    ASSERT_TRUE(waitUntil([&] { return port.InBuffUsed() == 1; }));
}

TEST(SerialOpen, DevicesThatCannotBeOpenedRaiseNamingTheDevice)
{
    // Paths of this test's own: the port layer locks a device before it opens it, and a
    // shared path such as /dev/null could be locked by a test running beside this one.
    QTemporaryDir dir;
    const std::string missing = dir.filePath("no-such-tty").toStdString();
    const std::string notATty = dir.filePath("not-a-tty").toStdString();
    std::ofstream(notATty) << "x";
    struct Case {
        const char* name;
        int com;
        std::string device;  // empty: the default mapping
        PortFault fault;
        std::string mentions;
    };
    const Case cases[] = {
        {"missing device", 8, missing, PortFault::NotFound, missing},
        {"not a serial line", 8, notATty, PortFault::NotSerial, notATty},
        {"no port number", 0, "", PortFault::NotFound, "COM0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plat::clearComPortDevices();
        if (!c.device.empty())
            plat::setComPortDevice(c.com, c.device);
        TApdWinsockPort port;
        port.SetComNumber(c.com);
        std::string message;
        EXPECT_EQ(faultOf([&] { port.SetOpen(true); }, &message), c.fault);
        EXPECT_NE(message.find(c.mentions), std::string::npos) << message;
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.ComNumber(), c.com);
    }
    plat::clearComPortDevices();
}

TEST(SerialSettings, BadValuesRaiseAndKeepTheOldValue)
{
    TApdWinsockPort port;
    port.SetBaud(9600);
    port.SetParity(2);
    port.SetStopBits(1);
    port.SetHWFlowOptions(8);
    struct Case {
        const char* name;
        std::function<void()> set;
    };
    const Case cases[] = {
        {"parity 5", [&] { port.SetParity(5); }},
        {"parity -1", [&] { port.SetParity(-1); }},
        {"stop bits 0", [&] { port.SetStopBits(0); }},
        {"stop bits 3", [&] { port.SetStopBits(3); }},
        {"baud 0", [&] { port.SetBaud(0); }},
        {"baud -300", [&] { port.SetBaud(-300); }},
        {"handshake bit 16", [&] { port.SetHWFlowOptions(16); }},
        {"input buffer 0", [&] { port.SetInSize(0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(faultOf(c.set), PortFault::BadSetting);
    }
    EXPECT_EQ(port.Baud(), 9600);
    EXPECT_EQ(port.Parity(), 2);
    EXPECT_EQ(port.StopBits(), 1);
    EXPECT_EQ(port.HWFlowOptions(), 8u);
    EXPECT_EQ(port.InSize(), 4096u);
}

TEST_F(SerialPort, SettingsReachTheLineAtOpenAndWhileOpen)
{
    port.SetBaud(9600);
    port.SetStopBits(2);
    port.SetHWFlowOptions(plat::hwfRequireCTS);
    port.SetOpen(true);
    termios t = pty.line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    port.SetBaud(19200);
    port.SetStopBits(1);
    port.SetHWFlowOptions(0);
    t = pty.line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
}

TEST_F(SerialPort, OptionsTheLineCannotDoAreNotedOnceAndThePortGoesOn)
{
    port.SetParity(2);
    port.SetHWFlowOptions(plat::hwfUseDTR | plat::hwfUseRTS | plat::hwfRequireDSR | plat::hwfRequireCTS);
    port.SetRS485Mode(true);
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    for (int i = 0; i < 2; ++i) {  // set again, closed and opened again: nothing new
        port.SetHWFlowOptions(port.HWFlowOptions());
        port.SetRS485Mode(true);
        port.SetDTR(true);
        port.SetOpen(false);
        port.SetOpen(true);
    }
    EXPECT_EQ(notesWith("DSR"), 1u);
    EXPECT_EQ(notesWith("RS-485"), 1u);
    EXPECT_EQ(notesWith("DTR"), 1u);
    for (const std::string& n : notes)
        EXPECT_EQ(n.rfind("COM7 (" + pty.slave + "): ", 0), 0u) << n;

    // The settings read back as written, and the line works.
    EXPECT_EQ(port.Parity(), 2);
    EXPECT_TRUE(port.RS485Mode());
    pty.send({0xE5});
    ASSERT_TRUE(waitUntil([&] { return port.InBuffUsed() == 1; }));
    const std::uint8_t b = 0x68;
    port.PutBlock(&b, 1);
    ASSERT_TRUE(pty.waitReceived(1));
}

TEST_F(SerialPort, ALostDeviceClosesThePortWithANote)
{
    port.SetOpen(true);
    pty.close();  // the far end hangs up
    ASSERT_TRUE(waitUntil([&] { return !port.Open(); }));
    EXPECT_EQ(notesWith("device lost"), 1u);
}

TEST_F(SerialPort, ChangingTheComNumberReopensOnTheNewDevice)
{
    Pty second;
    plat::setComPortDevice(9, second.slave);
    port.SetOpen(true);
    port.SetComNumber(9);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.DevicePath(), second.slave);
    const std::uint8_t b = 0x10;
    port.PutBlock(&b, 1);
    ASSERT_TRUE(second.waitReceived(1));
    pty.drain();
    EXPECT_TRUE(pty.received.empty());
    port.SetOpen(false);  // before the second line goes (see Pty)
}

// --- TCP client ---------------------------------------------------------------------

struct TcpPort : ::testing::Test {
    QTcpServer server;
    QTcpSocket* peer = nullptr;  // owned by the server
    TApdWinsockPort port;
    std::vector<std::string> events;

    TcpPort()
    {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, [this] { peer = server.nextPendingConnection(); });
        port.SetDeviceLayer(TApdWinsockPort::Layer::Winsock);
        port.SetWsMode(TApdWinsockPort::Mode::Client);
        port.SetWsAddress("127.0.0.1");
        port.SetWsPort(std::to_string(server.serverPort()));
        port.SetInSize(4092);
        port.OnWsConnect = [this] { events.push_back("connect"); };
        port.OnWsDisconnect = [this] { events.push_back("disconnect"); };
        port.OnWsError = [this](int code) { events.push_back("error " + std::to_string(code)); };
        port.OnTriggerAvail = [this](std::size_t n) { events.push_back("data " + std::to_string(n)); };
    }
    bool has(const std::string& e) const { return std::find(events.begin(), events.end(), e) != events.end(); }
};

TEST_F(TcpPort, ConnectsCarriesBytesAndReportsTheServerClosing)
{
    EXPECT_EQ(port.WsAddress(), "127.0.0.1");
    EXPECT_EQ(port.WsPort(), std::to_string(server.serverPort()));
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());  // connecting counts as open
    ASSERT_TRUE(waitUntil([&] { return has("connect") && peer; }));

    const Bytes request{0x68, 0x05, 0x05, 0x68, 0x02, 0x7E, 0x6C, 0x0B, 0x03, 0xF8, 0x16};
    port.PutBlock(request.data(), request.size());
    ASSERT_TRUE(waitUntil([&] { return peer->bytesAvailable() >= static_cast<qint64>(request.size()); }));
    const QByteArray got = peer->readAll();
    EXPECT_EQ(Bytes(got.begin(), got.end()), request);

    peer->write("\xE5", 1);
    ASSERT_TRUE(waitUntil([&] { return has("data 1"); }));

    // Bytes sent just before the close are still there to read after the disconnect event.
    peer->write("\x10\x7E", 2);
    peer->flush();
    peer->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return has("disconnect"); }));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.InBuffUsed(), 3u);
    EXPECT_EQ(port.GetChar(), 0xE5);
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("error", 0) == 0; }), 0);

    const std::uint8_t b = 0;
    EXPECT_EQ(faultOf([&] { port.PutBlock(&b, 1); }), PortFault::NotOpen);
    port.SetOpen(true);  // a fresh attempt
    ASSERT_TRUE(waitUntil([&] { return std::count(events.begin(), events.end(), "connect") == 2; }));
}

TEST_F(TcpPort, BytesPutWhileConnectingGoOutOnceConnected)
{
    port.SetOpen(true);
    const Bytes request{0x10, 0x02, 0x7E, 0x69, 0xE9, 0x16};
    port.PutBlock(request.data(), request.size());
    ASSERT_TRUE(waitUntil([&] { return peer && peer->bytesAvailable() >= 6; }));
    const QByteArray got = peer->readAll();
    EXPECT_EQ(Bytes(got.begin(), got.end()), request);
}

TEST_F(TcpPort, ClosingOurselvesReportsNoDisconnect)
{
    port.SetOpen(true);
    ASSERT_TRUE(waitUntil([&] { return has("connect") && peer; }));
    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    ASSERT_TRUE(waitUntil([&] { return peer->state() == QAbstractSocket::UnconnectedState; }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(has("disconnect"));
}

TEST_F(TcpPort, ARefusedConnectionGivesTheErrorEventOnly)
{
    const quint16 closedPort = server.serverPort();
    server.close();  // nothing listens there any more
    port.SetWsPort(std::to_string(closedPort));
    port.SetOpen(true);  // does not raise: the outcome is an event
    const std::string refused = "error " + std::to_string(QAbstractSocket::ConnectionRefusedError);
    ASSERT_TRUE(waitUntil([&] { return has(refused); }));
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(has("connect"));
    EXPECT_FALSE(has("disconnect"));
}

TEST_F(TcpPort, UnusableAddressOrPortRaisesAtOpen)
{
    struct Case {
        const char* address;
        const char* port;
    };
    const Case cases[] = {{"", "5000"}, {"127.0.0.1", ""}, {"127.0.0.1", "abc"}, {"127.0.0.1", "12x"},
                          {"127.0.0.1", "0"}, {"127.0.0.1", "65536"}, {"127.0.0.1", "-1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + " / " + c.port);
        port.SetWsAddress(c.address);
        port.SetWsPort(c.port);
        std::string message;
        EXPECT_EQ(faultOf([&] { port.SetOpen(true); }, &message), PortFault::BadSetting);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.WsAddress(), c.address);
        EXPECT_EQ(port.WsPort(), c.port);
    }
}

}  // namespace

#pragma once
// The port object the serial, modem and TCP channels own: a serial line (COM number, see
// comports.h) by default, a TCP client once its device layer is Winsock. Built on
// QSerialPort and QTcpSocket; every event is delivered from the main thread's event loop,
// never from inside a call the program makes on the port, so handlers may call back into
// it freely, replace themselves, or free the port. Exceptions: OnNote runs inside Open and the line settings, and
// ProcessCommunications fires the input events itself.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace plat {

enum class PortFault {
    NotFound,     // no such device, or no device for the COM number
    Busy,         // held by another program or no access
    NotSerial,    // the device exists but is no serial line
    NotOpen,      // a transfer on a closed port
    BufferEmpty,  // more bytes asked than received
    BadSetting,   // a setting out of range, or a TCP address or port that cannot be used
    Io,           // the device refused a transfer
};

class PortError : public std::runtime_error {
public:
    PortError(PortFault fault, const std::string& what) : std::runtime_error(what), fault_(fault) {}
    PortFault fault() const noexcept { return fault_; }

private:
    PortFault fault_;
};

// HWFlowOptions bits.
inline constexpr unsigned hwfUseDTR = 1;
inline constexpr unsigned hwfUseRTS = 2;
inline constexpr unsigned hwfRequireDSR = 4;
inline constexpr unsigned hwfRequireCTS = 8;

class TApdWinsockPort {
public:
    enum class Layer { Serial, Winsock };
    enum class Mode { Client };

    TApdWinsockPort();
    ~TApdWinsockPort();
    TApdWinsockPort(const TApdWinsockPort&) = delete;
    TApdWinsockPort& operator=(const TApdWinsockPort&) = delete;

    // Line settings. Setters check the value (PortError BadSetting, nothing changed) and
    // apply it at once to an open line; what the device cannot do is noted, not raised.
    int ComNumber() const;
    void SetComNumber(int n);  // an open port reopens on the new device
    int Baud() const;
    void SetBaud(int baud);
    int Parity() const;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    void SetParity(int parity);
    int StopBits() const;  // 1 or 2
    void SetStopBits(int bits);
    unsigned HWFlowOptions() const;
    void SetHWFlowOptions(unsigned bits);
    bool RS485Mode() const;  // RTS switches the line direction while sending
    void SetRS485Mode(bool on);
    bool DTR() const;
    void SetDTR(bool on);
    // The device COM number maps to now.
    std::string DevicePath() const;

    // Opens the line, or starts connecting the TCP client. Raises PortError when the line
    // cannot be opened or the TCP address or port is unusable. Closing drops unread input.
    bool Open() const;
    void SetOpen(bool on);
    // Closes the device if still open and frees it.
    void ReleaseDevice();

    // Queues bytes for sending; PortError NotOpen on a closed port, Io when refused.
    void PutBlock(const void* data, std::size_t count);
    // PortError BufferEmpty, and nothing taken, when fewer bytes are waiting.
    std::uint8_t GetChar();
    std::size_t GetBlock(void* buffer, std::size_t count);
    bool CharReady() const;
    std::size_t InBuffUsed() const;
    void FlushInBuffer();
    // Input buffer bound; bytes beyond it wait in the device until the program reads.
    std::size_t InSize() const;
    void SetInSize(std::size_t bytes);
    // Pushes queued output to the device and takes up waiting input, firing the input
    // events from inside the call. For the modem's hang-up during shut-down.
    void ProcessCommunications();

    // TCP client. WsPort is decimal text; both are checked when the port opens.
    Layer DeviceLayer() const;
    void SetDeviceLayer(Layer layer);  // closes an open port first
    Mode WsMode() const;
    void SetWsMode(Mode mode);
    std::string WsAddress() const;
    void SetWsAddress(std::string address);
    std::string WsPort() const;
    void SetWsPort(std::string port);

    // Consumers see every chunk of received bytes, lowest order first (ties in the order
    // added), before OnTriggerAvail; they look, they do not take. The modem's command
    // parser registers ahead of the channel.
    using InputConsumer = std::function<void(std::span<const std::uint8_t> received)>;
    int AddInputConsumer(InputConsumer consumer, int order = 0);
    void RemoveInputConsumer(int id);

    // Bytes came in: count is everything waiting in the input buffer.
    std::function<void(std::size_t count)> OnTriggerAvail;
    // TCP: the connection was made, or lost by the other end or the network; closing the
    // port ourselves reports nothing.
    std::function<void()> OnWsConnect;
    std::function<void()> OnWsDisconnect;
    // TCP: the socket failed; errCode is the QAbstractSocket::SocketError value.
    std::function<void(int errCode)> OnWsError;
    // Communication log notes: an option the line or driver cannot do (each once per
    // device), a device lost while open.
    std::function<void(const std::string& text)> OnNote;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace plat

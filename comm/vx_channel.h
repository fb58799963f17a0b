#pragma once
// The channel base, itself the serial-line channel; the line it talks over; the list of
// serial channels. The channel's work is split by the road of a request: vx_channel.cpp holds
// its life (creation, settings, start, stop, the log), vx_channel_poll.cpp the scheduling,
// sending and settling of requests, vx_channel_answer.cpp the reception of an answer, its
// four checks and the application of a good one.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/timers.h"
#include "vx_classes.h"
#include "vx_packetlist.h"

namespace vx {

// The port operations a channel relies on. The program's port is the port layer's
// plat::TApdWinsockPort; tests put a scripted line in its place (SetComPortFactory, and
// SetTcpPortFactory of vx_tcp.h for the TCP client).
// Events come from the main thread's event loop, never from inside a call on the port.
class TComPort {
public:
    virtual ~TComPort() = default;

    virtual int ComNumber() const = 0;
    virtual void SetComNumber(int n) = 0;
    // The setters raise for a value the port cannot take.
    virtual int Baud() const = 0;
    virtual void SetBaud(int baud) = 0;
    virtual int Parity() const = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    virtual void SetParity(int parity) = 0;
    virtual int StopBits() const = 0;
    virtual void SetStopBits(int bits) = 0;
    virtual unsigned HWFlowOptions() const = 0;  // 1 DTR, 2 RTS, 4 require DSR, 8 require CTS
    virtual void SetHWFlowOptions(unsigned bits) = 0;
    virtual bool RS485Mode() const = 0;
    virtual void SetRS485Mode(bool on) = 0;
    virtual bool Open() const = 0;
    // Raises when the device is missing or busy.
    virtual void SetOpen(bool on) = 0;
    virtual void ReleaseDevice() = 0;
    virtual void PutBlock(const void* data, std::size_t count) = 0;
    virtual std::uint8_t GetChar() = 0;
    // Takes count received bytes; raises when fewer are waiting.
    virtual std::size_t GetBlock(void* buffer, std::size_t count);
    virtual void FlushInBuffer() = 0;

    // The TCP client side, which only the TCP channel's port has: a serial line keeps no
    // address, and setting one raises. WsPort is the TCP port number as decimal text.
    virtual std::string WsAddress() const { return {}; }
    virtual void SetWsAddress(const std::string& address);
    virtual std::string WsPort() const { return {}; }
    virtual void SetWsPort(const std::string& port);
    // Bound of the input buffer in bytes.
    virtual void SetInSize(std::size_t bytes) { (void)bytes; }

    // The modem's control line; a line without one (TCP) ignores it and reads false.
    virtual bool DTR() const { return false; }
    virtual void SetDTR(bool on) { (void)on; }
    // One processing turn of the device layer, so that queued output leaves before the
    // objects go (the modem's hang-up at shut-down); nothing to do where output leaves at once.
    virtual void ProcessCommunications() {}

    // count: every byte waiting.
    std::function<void(std::size_t count)> OnTriggerAvail;
    // Things the line or driver cannot do, a device lost: for the communication log.
    std::function<void(const std::string& text)> OnNote;
    // TCP: the connection was made; lost by the other end or the network (closing the port
    // ourselves reports nothing); the socket failed, with the socket layer's error code.
    std::function<void()> OnWsConnect;
    std::function<void()> OnWsDisconnect;
    std::function<void(int errCode)> OnWsError;
};

using TComPortFactory = std::function<std::unique_ptr<TComPort>()>;
// Where channels created from now on get their port; empty restores the serial port of the
// port layer.
void SetComPortFactory(TComPortFactory factory);
std::unique_ptr<TComPort> CreateComPort();

// Channel states.
enum TChannelState : std::uint8_t {
    chIdle = 0,
    chWaiting = 1,   // for the answer to CurrentPacket
    chGood = 2,      // the answer passed every check
    chBad = 3,       // an answer came and failed a check
    chTimedOut = 4,  // nothing came
};

inline constexpr std::size_t kRxBufferSize = 65536;

// What the answer checks read besides the answer and its request: two of the program's
// settings, passed in, so that judging an answer needs no channel and no process-wide state.
struct TAnswerRules {
    std::int32_t ServerAddress = 0;  // ours; the answer goes to its low byte
    bool CheckTimestamp = false;
    // The program's settings as they are now.
    static TAnswerRules Current();
};

// The check an answer fails first, in the order the checks run.
enum class TAnswerFault : std::uint8_t {
    None,
    StartOrChecksum,
    Address,
    Length,
    TimeStamp,
};

// The four checks on the answer bytes received for packet's request (never beyond them).
TAnswerFault JudgeAnswer(std::span<const std::uint8_t> answer, const TPacket& packet, const TAnswerRules& rules);
// Applies an answer that passed the checks to the station and the variables of packet, as
// taken up at now. Whatever cannot be applied (bytes that make no value) leaves its variable
// as it was and is told to note, one text each.
void ApplyAnswer(TPacket& packet, std::span<const std::uint8_t> answer, double now,
                 const std::function<void(const std::string& text)>& note);

class TCOM : public TParentTreeObject {
public:
    // Whether the channel talks over a serial line of its own; channels with another
    // transport own no port object of this kind.
    enum class TLine { Serial, None };
    // A serial-line channel.
    explicit TCOM(TTreeObject* owner);
    TCOM(TTreeObject* owner, TLine line);
    // Never runs the event loop: the timer and the port go first, and with them every
    // event still queued for this channel.
    ~TCOM() override;

    virtual void SetPortNumber(std::int32_t port);
    virtual std::int32_t GetPortNumber() const;
    // The poll tick, run by the timer and by the receiver when a telegram is complete.
    virtual void PollTimer();
    // Takes the packet; it becomes CurrentPacket once it is on the line. A packet that
    // cannot go (communication stopped, frame not buildable, the port failed) is freed, so
    // that its completion hooks run.
    virtual void SendPacket(std::unique_ptr<TPacket> packet);
    // Settles an answered or failed request: counts, retries or fails the station. Always
    // clears the reference, before anything that could restart the channel.
    virtual void FinishPacket(TPacket*& packet);
    virtual void Start();
    virtual void Stop();
    // Stop and Start; with keepStates the stations keep their connection states.
    virtual void Restart(bool keepStates);
    // While a hold is on (a walk over the channel's own lists that settles requests), a
    // restart that settling asks for waits, and runs once the last hold ends, unless the
    // channel was stopped meanwhile.
    class TRestartHold {
    public:
        explicit TRestartHold(TCOM& channel);
        // Runs the restart asked for meanwhile; what it raises is logged, not thrown.
        ~TRestartHold();
        TRestartHold(const TRestartHold&) = delete;
        TRestartHold& operator=(const TRestartHold&) = delete;

    private:
        TCOM& channel_;
    };
    bool RestartDeferred() const { return restartDeferred_; }
    virtual void ClearStations();

    // Line settings, each set only when it differs; they raise what the port raises.
    void SetBaud(std::int32_t baud);
    // Also two stop bits for no parity, else one.
    void SetParity(std::int32_t parity);
    // Raised to 10 ms when lower.
    void SetPollInterval(std::int32_t ms);
    void SetPolling(bool on);
    // 0 also zeroes the whole buffer.
    void SetRxCount(std::int32_t n);
    // Restarts the channel, keeping the stations' states, when |n| reaches MaxBadComToReset.
    void SetFailCount(std::int32_t n);

    // Serves the station from now on (sets its Channel).
    void AddStation(TStation* station);
    // Stops serving it (clears its Channel); its queued packets stay.
    void RemoveStation(TStation* station);
    // Frees the station's queued packets and, when it is in flight, its current request,
    // so that their completion hooks run and its counters return to 0.
    virtual void DropStationPackets(const TStation* station);
    // Frees the station's packets that wait to be sent (a failed station's), with their
    // hooks; the request in flight stays.
    virtual void DropWaitingPackets(const TStation* station);

    // Queues Connect and Ident requests and the reads that are due.
    void Schedule();
    // Sends the first queued write; false when there was none.
    bool SendWrite();
    // Sends the first queued read that may go; frees those that may not.
    void SendRead();

    // The port's data-available handler: assembles the answer telegram in RxBuffer.
    void PortTriggerAvail(std::size_t count);
    // Judges what RxBuffer holds for packet (JudgeAnswer under the current settings); true
    // when an answer has just been judged (State became 2 or 3). A good answer is applied at
    // once.
    bool CheckAnswer(TPacket* packet);
    // The four checks on the answer bytes received (never beyond them).
    static bool CheckCRC(std::span<const std::uint8_t> answer, const TPacket& packet);
    static bool CheckAddress(std::span<const std::uint8_t> answer, const TPacket& packet,
                             const TAnswerRules& rules = TAnswerRules::Current());
    static bool CheckLength(std::span<const std::uint8_t> answer, const TPacket& packet);
    static bool CheckTimeStamp(std::span<const std::uint8_t> answer, const TPacket& packet,
                               const TAnswerRules& rules = TAnswerRules::Current());
    // Applies the good answer in RxBuffer (ApplyAnswer, now, notes to the log) while
    // communication runs.
    void ProcessAnswer(TPacket& packet);
    // Takes entry `entry` of the packet (one variable, or one part of it) out of RxBuffer.
    void DecodeValue(TPacket& packet, std::size_t entry);
    // The answer bytes received so far.
    std::span<const std::uint8_t> Received() const;

    // One line per telegram, while ComLogging is on; at most NumOfComLines lines.
    void LogPacket(const TPacket* packet);
    // A line of text (port notes, failures that go nowhere else), kept the same way.
    void LogNote(const std::string& text);
    // Appends one record to the channel's file of today; false when it could not be written.
    // The first failure and the recovery are noted.
    bool AppendLogFile(const std::string& line1, const std::string& line2);
    // The same for the day of at, the time the record was taken.
    bool AppendLogRecord(const std::string& line1, const std::string& line2, double at);

    std::int32_t GoodAnswers = 0;
    std::int32_t Timeouts = 0;
    std::int32_t BadAnswers = 0;
    bool Polling = false;
    std::vector<TStation*> Stations;  // not owned
    std::vector<TVariable*> DueVariables;  // scratch of one scheduling pass, not owned
    std::int32_t RxCount = 0;
    std::int32_t FailCount = 0;
    bool Restarting = false;
    // The poll timer (PollTimer is its handler): 100 ms at creation, never below 10.
    std::unique_ptr<plat::Timer> Timer;
    // Smallest update or simulation period met by the scheduler; only ever lowered.
    std::int32_t SchedulePeriod = 1000;
    // The request in flight, owned by the channel. FinishPacket and Stop clear it before a
    // queue could take it back, so a queue never holds it.
    TPacket* CurrentPacket = nullptr;
    std::uint8_t State = chIdle;
    TComReadList ReadQueue;
    TComWriteList WriteQueue;
    // The serial line, or the TCP client of a TCP channel; none on channels without either.
    std::unique_ptr<TComPort> Port;
    std::deque<std::string> ComLog;
    bool ClosePortOnStop = true;
    std::array<std::uint8_t, kRxBufferSize> RxBuffer{};

protected:
    // False for channels whose own transport is not a serial line: Start opens no port.
    virtual bool HasSerialLine() const { return true; }
    // A request that cannot go: its station counts an error and fails, the packet is freed
    // with its hooks.
    void FailUnsent(std::unique_ptr<TPacket> packet, const std::string& why);
    // Builds the packet's frame; a frame that cannot be built (it would not fit MaxPacketLen)
    // is noted, its station counts an error and fails, and false comes back: not sent.
    bool BuildFrameOrFail(TPacket& packet, TStation& station);
    // What every Stop does to the requests: the failure count back to 0, polling off, the
    // queues and the request in flight freed with their hooks, the channel idle.
    void DropRequests();
    static bool CommunicationRunning();
    // What an event handler could not handle goes where the program shows exceptions.
    void ReportFailure(const char* where, const std::exception* e);

private:
    bool logFileFailing_ = false;
    std::int32_t restartHolds_ = 0;
    bool restartDeferred_ = false;
};

// Owns channels of one kind: started and stopped together, each stopped before it is freed.
template <class Channel>
class TChannelList {
public:
    TChannelList() = default;
    ~TChannelList() { Clear(); }
    TChannelList(const TChannelList&) = delete;
    TChannelList& operator=(const TChannelList&) = delete;

    // Each returns whether the list holds any channel.
    bool StartAll()
    {
        for (auto& channel : items_)
            channel->Start();
        return !items_.empty();
    }
    bool StopAll()
    {
        for (auto& channel : items_)
            channel->Stop();
        return !items_.empty();
    }
    // Stops every channel, then frees them, last first.
    void Clear()
    {
        StopAll();
        while (!items_.empty())
            items_.pop_back();
    }
    std::size_t size() const { return items_.size(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

protected:
    std::vector<std::unique_ptr<Channel>> items_;
};

// Owns the serial channels, one per COM port.
class TComList : public TChannelList<TCOM> {
public:
    TCOM* FindByPort(std::int32_t port) const;
    // The channel of the station's active COM port, created when there is none, with the
    // station attached.
    TCOM* GetChannelForStation(TStation* station);
    // The request in flight on every channel counts its time from now (system time changed).
    void RestartTimeouts();
    std::vector<std::unique_ptr<TCOM>>& items() { return items_; }
};

}  // namespace vx

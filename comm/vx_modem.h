#pragma once
// Dial-up modem channels: the modem component on the channel's line, the call state machine,
// and the list of every modem of the configuration.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/timers.h"
#include "vx_channel.h"

namespace vx {

// The channel's line with the modem's result parser in front: every byte that comes in is
// seen by the parser before the channel takes or flushes it.
class TModemLine final : public TComPort {
public:
    explicit TModemLine(std::unique_ptr<TComPort> inner);
    ~TModemLine() override;

    TComPort& Inner() { return *inner_; }

    int ComNumber() const override { return inner_->ComNumber(); }
    void SetComNumber(int n) override { inner_->SetComNumber(n); }
    int Baud() const override { return inner_->Baud(); }
    void SetBaud(int baud) override { inner_->SetBaud(baud); }
    int Parity() const override { return inner_->Parity(); }
    void SetParity(int parity) override { inner_->SetParity(parity); }
    int StopBits() const override { return inner_->StopBits(); }
    void SetStopBits(int bits) override { inner_->SetStopBits(bits); }
    unsigned HWFlowOptions() const override { return inner_->HWFlowOptions(); }
    void SetHWFlowOptions(unsigned bits) override { inner_->SetHWFlowOptions(bits); }
    bool RS485Mode() const override { return inner_->RS485Mode(); }
    void SetRS485Mode(bool on) override { inner_->SetRS485Mode(on); }
    bool Open() const override { return inner_->Open(); }
    void SetOpen(bool on) override;
    void ReleaseDevice() override { inner_->ReleaseDevice(); }
    void PutBlock(const void* data, std::size_t count) override { inner_->PutBlock(data, count); }
    std::uint8_t GetChar() override;
    void FlushInBuffer() override;
    void SetInSize(std::size_t bytes) override { inner_->SetInSize(bytes); }
    bool DTR() const override { return inner_->DTR(); }
    void SetDTR(bool on) override { inner_->SetDTR(on); }
    void ProcessCommunications() override { inner_->ProcessCommunications(); }

    // Sees every byte first.
    std::function<void(std::uint8_t b)> OnByte;

private:
    void Intake(std::size_t count);

    std::unique_ptr<TComPort> inner_;
    std::deque<std::uint8_t> held_;
};

// The modem component: dials and hangs up with AT commands and reports the modem's result
// lines as events. Events come from the event loop (the line's input, its own timers).
class TApdModem {
public:
    enum class TCommand { None, Dial, HangUp, Other };
    static constexpr std::int64_t kCommandTimeoutMs = 5000;
    static constexpr std::int64_t kHangUpTimeoutMs = 20000;
    static constexpr std::int64_t kDialTimeoutMs = 70000;
    static constexpr std::int64_t kGuardMs = 1000;

    explicit TApdModem(TModemLine& line);
    ~TApdModem();
    TApdModem(const TApdModem&) = delete;
    TApdModem& operator=(const TApdModem&) = delete;

    // Off forgets the command in progress and what was being sent.
    void SetEnabled(bool on);
    bool Enabled() const { return enabled_; }
    // Both open the port when it is closed; they raise what opening raises.
    void Dial(const std::string& number);
    void HangUp();
    bool DataMode() const { return dataMode_; }
    TCommand Pending() const { return pending_; }

    std::int32_t TildeDelay = 25;

    std::function<void()> OnModemIsConnected;
    std::function<void()> OnModemNoCarrier;
    std::function<void()> OnModemBusy;
    std::function<void()> OnModemNoDialTone;
    std::function<void()> OnModemError;
    std::function<void()> OnModemOk;
    std::function<void()> OnCmdTimedOut;
    std::function<void()> OnDialTimedOut;

private:
    struct TStep {
        std::int64_t delayMs;
        std::string bytes;
        bool escapeDone;  // the escape's own OK may come from here on
    };
    void Input(std::uint8_t b);
    void Result(const std::string& line);
    void Command(TCommand kind, const std::string& text, std::int64_t timeoutMs, bool escape);
    void Arm(std::int64_t ms);
    void NextStep();
    void Fire(const std::function<void()>& event);

    TModemLine& line_;
    bool enabled_ = true;
    bool dataMode_ = false;
    bool inEscape_ = false;
    TCommand pending_ = TCommand::None;
    std::string lineBuf_;
    std::deque<TStep> steps_;
    std::unique_ptr<plat::Timer> stepTimer_;
    std::unique_ptr<plat::Timer> timeout_;
};

class TModem : public TCOM {
public:
    enum TModemState : std::uint8_t {
        msQuiet = 0,
        msStart = 1,
        msInit1 = 2,
        msInit2 = 3,
        msReset = 4,
        msDial = 5,
        msDialing = 6,
        msConnecting = 7,
        msConnected = 8,
        msStartHangingUp = 9,
        msGSMSetCommandMode = 10,
        msHangingUp = 11,
        msHangUp = 12,
    };

    explicit TModem(TTreeObject* owner);
    ~TModem() override;

    virtual void StartHangUp();
    // 0 queued, 1 queued already, 2 the modem is blocked.
    virtual std::int32_t QueueStation(TStation* station);
    bool IsQueued(const TStation* station) const;
    bool IsAttached(const TStation* station) const;
    virtual void ReleaseStation(TStation* station);
    // Takes a station that is being freed out of the queue and the call, without callbacks.
    void ForgetStation(const TStation* station);
    void ClearStations() override;
    // Writes the modem's state into its status variables.
    virtual void PublishState();

    void SetBlocked();
    TStation* FindStationToCall() const;
    std::int32_t ModemType() const;
    bool LineConnected() const;
    std::string DialNumber() const;
    std::string StateName() const;
    static std::string ErrorText(std::int32_t code);
    // The state tick (the StateTimer's handler).
    void StateTick();

    void StartWait(std::int64_t ms);
    bool CheckWait();
    void SetState(std::uint8_t s);
    void SetError(std::int32_t code);
    // A modem line in the channel's list (never the file).
    void LogLine(const std::string& text);

    TModemLine& Line() { return *line_; }

    std::vector<TStation*> Queue;  // stations waiting for a call, not owned
    std::unique_ptr<plat::Timer> StateTimer;
    std::unique_ptr<TApdModem> Modem;
    // The call state; TCOM::State stays the channel's own.
    std::uint8_t State = msQuiet;
    bool Connected = false;
    std::int32_t ErrorCode = 0;
    bool Blocked = false;
    bool Waiting = false;
    std::int64_t WaitStart = 0;  // monotonic ms
    std::int64_t WaitTime = 0;
    std::int32_t HangUpAttempts = 0;
    TVariable* StatusVariable = nullptr;
    TVariable* StatusTextVariable = nullptr;
    TVariable* ModemTypeVariable = nullptr;

private:
    void HangingUpStep();
    void OnFailure(std::int32_t code, bool keepError);

    TModemLine* line_ = nullptr;
    TStation* queueing_ = nullptr;  // being queued now: asking again changes nothing
};

// Owns every modem of the configuration.
class TModemList {
public:
    TModemList() = default;
    ~TModemList() { Clear(); }
    TModemList(const TModemList&) = delete;
    TModemList& operator=(const TModemList&) = delete;

    TModem* AddModem();
    void HangUpAll();
    void Clear();
    // The modem that shall call the station, or nullptr.
    TModem* FindModemFor(const TStation* station) const;
    std::size_t size() const { return items_.size(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::unique_ptr<TModem>> items_;
};

}  // namespace vx

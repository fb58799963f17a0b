#include "vx_modem.h"

#include <algorithm>
#include <exception>

#include "platform/clock.h"
#include "vx_def.h"
#include "vx_lang.h"
#include "vx_notify.h"
#include "vx_station.h"
#include "vx_variable.h"

namespace vx {

// ---------------------------------------------------------------------------------------
// The line with the parser in front

TModemLine::TModemLine(std::unique_ptr<TComPort> inner) : inner_(std::move(inner))
{
    // The channel's handlers were set on the port it made: they move to this line.
    OnTriggerAvail = std::move(inner_->OnTriggerAvail);
    OnNote = std::move(inner_->OnNote);
    inner_->OnTriggerAvail = [this](std::size_t count) { Intake(count); };
    inner_->OnNote = [this](const std::string& text) {
        if (OnNote)
            OnNote(text);
    };
}

TModemLine::~TModemLine()
{
    inner_->OnTriggerAvail = nullptr;
    inner_->OnNote = nullptr;
}

void TModemLine::SetOpen(bool on)
{
    if (!on)
        held_.clear();
    inner_->SetOpen(on);
}

void TModemLine::Intake(std::size_t count)
{
    std::size_t fresh = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = inner_->GetChar();
        held_.push_back(b);
        ++fresh;
        if (OnByte)
            OnByte(b);
    }
    if (fresh && !held_.empty() && OnTriggerAvail)
        OnTriggerAvail(held_.size());
}

std::uint8_t TModemLine::GetChar()
{
    if (held_.empty())
        return inner_->GetChar();
    const std::uint8_t b = held_.front();
    held_.pop_front();
    return b;
}

void TModemLine::FlushInBuffer()
{
    held_.clear();
    inner_->FlushInBuffer();
}

// ---------------------------------------------------------------------------------------
// The modem component

TApdModem::TApdModem(TModemLine& line)
    : line_(line), stepTimer_(plat::timers().createTimer()), timeout_(plat::timers().createTimer())
{
    line_.OnByte = [this](std::uint8_t b) { Input(b); };
    stepTimer_->onTimer = [this] {
        stepTimer_->setEnabled(false);
        NextStep();
    };
    timeout_->onTimer = [this] {
        timeout_->setEnabled(false);
        const TCommand was = std::exchange(pending_, TCommand::None);
        steps_.clear();
        stepTimer_->setEnabled(false);
        inEscape_ = false;
        if (was == TCommand::Dial)
            Fire(OnDialTimedOut);
        else if (was != TCommand::None)
            Fire(OnCmdTimedOut);
    };
}

TApdModem::~TApdModem() { line_.OnByte = nullptr; }

void TApdModem::SetEnabled(bool on)
{
    enabled_ = on;
    if (on)
        return;
    pending_ = TCommand::None;
    steps_.clear();
    inEscape_ = false;
    lineBuf_.clear();
    stepTimer_->setEnabled(false);
    timeout_->setEnabled(false);
}

void TApdModem::Arm(std::int64_t ms)
{
    timeout_->setEnabled(false);
    timeout_->setInterval(static_cast<int>(ms));
    timeout_->setEnabled(true);
}

void TApdModem::Command(TCommand kind, const std::string& text, std::int64_t timeoutMs, bool escape)
{
    enabled_ = true;
    if (!line_.Open())
        line_.SetOpen(true);
    steps_.clear();
    stepTimer_->setEnabled(false);
    pending_ = kind;
    inEscape_ = escape;
    if (escape) {
        steps_.push_back({kGuardMs, "+++", false});
        steps_.push_back({kGuardMs, "", true});
    }
    // A "~" pauses the sending for TildeDelay.
    std::size_t from = 0;
    bool first = true;
    for (;;) {
        const std::size_t tilde = text.find('~', from);
        steps_.push_back({first ? 0 : TildeDelay, text.substr(from, tilde - from), true});
        first = false;
        if (tilde == std::string::npos)
            break;
        from = tilde + 1;
    }
    Arm(timeoutMs);
    NextStep();
}

void TApdModem::NextStep()
{
    while (!steps_.empty()) {
        TStep& step = steps_.front();
        if (step.delayMs > 0) {
            stepTimer_->setInterval(static_cast<int>(step.delayMs));
            step.delayMs = 0;
            stepTimer_->setEnabled(true);
            return;
        }
        const TStep now = step;
        steps_.pop_front();
        if (now.escapeDone)
            inEscape_ = false;
        if (!now.bytes.empty())
            line_.PutBlock(now.bytes.data(), now.bytes.size());
    }
}

void TApdModem::Dial(const std::string& number) { Command(TCommand::Dial, "ATD" + number + "\r", kDialTimeoutMs, false); }

void TApdModem::HangUp() { Command(TCommand::HangUp, "ATH\r", kHangUpTimeoutMs, true); }

void TApdModem::Input(std::uint8_t b)
{
    if (b == '\r' || b == '\n') {
        std::string text = std::exchange(lineBuf_, std::string());
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        if (!text.empty())
            Result(text);
        return;
    }
    if (lineBuf_.size() < 80)
        lineBuf_ += static_cast<char>(b);
    else
        lineBuf_.clear();
}

void TApdModem::Fire(const std::function<void()>& event)
{
    if (event)
        event();
}

void TApdModem::Result(const std::string& text)
{
    if (!enabled_)
        return;
    auto done = [this] {
        pending_ = TCommand::None;
        timeout_->setEnabled(false);
    };
    if (text == "NO CARRIER") {
        dataMode_ = false;
        done();
        Fire(OnModemNoCarrier);
        return;
    }
    if (dataMode_ && pending_ != TCommand::HangUp)
        return;
    if (text == "OK") {
        if (dataMode_ || inEscape_) {
            // The escape's own OK: back in command mode, the hang-up still to come.
            dataMode_ = false;
            return;
        }
        if (pending_ == TCommand::None)
            return;
        done();
        Fire(OnModemOk);
    } else if (text.rfind("CONNECT", 0) == 0) {
        dataMode_ = true;
        done();
        Fire(OnModemIsConnected);
    } else if (text == "BUSY") {
        done();
        Fire(OnModemBusy);
    } else if (text == "NO DIALTONE" || text == "NO DIAL TONE") {
        done();
        Fire(OnModemNoDialTone);
    } else if (text == "ERROR") {
        done();
        Fire(OnModemError);
    }
}

// ---------------------------------------------------------------------------------------
// The modem channel

namespace {

const char* const kStateNames[] = {"Quiet",     "Start",     "Init1",      "Init2",          "Reset",
                                   "Dial",      "Dialing",   "Connecting", "Connected",      "StartHangingUp",
                                   "GSMSetCommandMode",      "HangingUp",  "HangUp"};

// A number a dial command can carry as it stands.
bool Dialable(const std::string& number)
{
    if (number.empty())
        return false;
    for (unsigned char c : number)
        if (c < 0x20 || c == 0x7F || c == ';')
            return false;
    return true;
}

template <class F>
void Guarded(TModem& modem, const char* where, F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        modem.LogNote(modem.Name + ": " + where + " failed: " + e.what());
    } catch (...) {
        modem.LogNote(modem.Name + ": " + where + " failed");
    }
}

}  // namespace

TModem::TModem(TTreeObject* owner) : TCOM(owner)
{
    ObjectType = otModem;
    ClosePortOnStop = false;
    auto line = std::make_unique<TModemLine>(std::move(Port));
    line_ = line.get();
    Port = std::move(line);
    Modem = std::make_unique<TApdModem>(*line_);
    Modem->TildeDelay = timTildeDelay;
    Modem->OnModemIsConnected = [this] {
        Guarded(*this, "connect", [this] {
            Connected = true;
            SetState(msConnecting);
            StartWait(100);
        });
    };
    Modem->OnModemNoCarrier = [this] { Guarded(*this, "no carrier", [this] { OnFailure(5, true); }); };
    Modem->OnModemNoDialTone = [this] { Guarded(*this, "no dial tone", [this] { OnFailure(6, false); }); };
    Modem->OnModemBusy = [this] { Guarded(*this, "busy", [this] { OnFailure(8, false); }); };
    Modem->OnModemError = [this] { Guarded(*this, "modem error", [this] { OnFailure(4, false); }); };
    Modem->OnModemOk = [this] {
        Guarded(*this, "OK", [this] {
            Waiting = false;
            if (State == msReset)
                SetState(msInit1);
            else if (State == msInit1)
                SetState(msInit2);
            else if (State == msInit2)
                SetState(msDial);
            else if (State == msHangingUp)
                SetState(msHangUp);
            else if (State == msGSMSetCommandMode)
                SetState(msHangingUp);
        });
    };
    Modem->OnCmdTimedOut = [this] {
        Guarded(*this, "command time-out", [this] {
            if (State == msQuiet)
                return;
            Waiting = false;
            if (State == msHangingUp)
                return;
            const std::int32_t e = State == msReset                         ? 1
                                   : State == msInit1 || State == msInit2 ? 2
                                   : State == msDialing                   ? 3
                                                                          : 0;
            SetState(msHangUp);
            // An error already set stays: it is what failed.
            if (ErrorCode == 0 && e != 0)
                SetError(e);
        });
    };
    Modem->OnDialTimedOut = [this] {
        Guarded(*this, "dial time-out", [this] {
            if (State == msQuiet)
                return;
            StartHangUp();
            SetError(5);
        });
    };
    StateTimer = plat::timers().createTimer();
    StateTimer->onTimer = [this] { Guarded(*this, "state tick", [this] { StateTick(); }); };
    StateTimer->setInterval(100);
    StateTimer->setEnabled(true);
}

TModem::~TModem()
{
    ShuttingDown = true;
    Guarded(*this, "hang-up", [this] { StartHangUp(); });
    StateTimer.reset();
    Modem.reset();
    for (TStation* s : Queue)
        if (s->Channel == this)
            s->Channel = nullptr;
    Queue.clear();
}

void TModem::OnFailure(std::int32_t code, bool keepError)
{
    Connected = false;
    StartHangUp();
    if (!keepError || ErrorCode == 0)
        SetError(code);
}

std::int32_t TModem::ModemType() const
{
    if (!ModemTypeVariable)
        return 0;
    return ModemTypeVariable->Value.toI4().value_or(0);
}

bool TModem::LineConnected() const
{
    if (!Stations.empty() && ModemType() == 600)
        return true;
    return Connected;
}

std::string TModem::DialNumber() const { return Stations.empty() ? std::string() : Stations.front()->GetPhoneNumber(); }

std::string TModem::StateName() const
{
    if (Blocked)
        return "Blocked";
    return State <= msHangUp ? kStateNames[State] : "Unknown";
}

std::string TModem::ErrorText(std::int32_t code)
{
    switch (code) {
    case 1: return "Error - modem reset";
    case 2: return "Error - modem init";
    case 3: return "Error - modem dial";
    case 4: return "Error - modem error";
    case 5: return "Error - no carrier";
    case 6: return "Error - no dial tone";
    case 7: return "Error - no dial number";
    case 8: return "Error - modem is busy";
    case 9: return "Error - line error";
    case 10: return "Error - connection time 0s overflow";
    case 11: return "Disconnected by user";
    default: return {};
    }
}

void TModem::StartWait(std::int64_t ms)
{
    Waiting = true;
    WaitStart = plat::clock().monotonicMs();
    WaitTime = ms;
}

bool TModem::CheckWait()
{
    if (Waiting && plat::clock().monotonicMs() - WaitStart > WaitTime)
        Waiting = false;
    return Waiting;
}

void TModem::SetState(std::uint8_t s)
{
    State = s;
    if (s == msDial || s == msConnected)
        for (TStation* st : std::vector<TStation*>(Stations))
            st->SetDialState(s == msDial ? 2 : 3);
    PublishState();
}

void TModem::PublishState()
{
    SetVariableNumber(StatusVariable, State);
    SetVariableText(StatusTextVariable, StateName());
}

void TModem::SetError(std::int32_t code)
{
    ErrorCode = code;
    for (TStation* st : std::vector<TStation*>(Stations)) {
        st->SetModemError(code);
        // The catalogue's rows for these codes are not at 1000 + code.
        static const std::int32_t shifted[] = {1008, 1009, 1011, 1012, 1014};
        if (code >= 7 && code <= 11) {
            st->ModemErrorText = GetLangText(shifted[code - 7]);
            SetVariableText(st->ModemErrorTextVariable, st->ModemErrorText);
        }
    }
}

void TModem::LogLine(const std::string& text)
{
    if (!ComLogging)
        return;
    const double now = plat::clock().now();
    const plat::DateTimeFields f = plat::decodeDateTime(now);
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", f.hour, f.minute, f.second);
    LogNote(std::string(">\r") + text + "\r \r \r \r" + time);
}

void TModem::HangingUpStep()
{
    if (LineConnected() && HangUpAttempts < 3) {
        StartWait(20000);
        ++HangUpAttempts;
        LogLine(StateName());
        try {
            Modem->HangUp();
        } catch (...) {
            // Nothing to do: the next attempt or the end of the call follows.
        }
    } else {
        // Unanswered or no line: the call ends here.
        Connected = false;
        SetState(msHangUp);
        StartWait(0);
    }
}

void TModem::StartHangUp()
{
    if (State == msQuiet)
        return;
    if (ShuttingDown) {
        HangingUpStep();
        // The objects go next: let the hang-up leave first.
        if (Port)
            Port->ProcessCommunications();
    }
    StartWait(10);
    Stop();
    SetState(msStartHangingUp);
    if (!LineConnected())
        SetState(msHangUp);
}

void TModem::StateTick()
{
    StateTimer->setEnabled(false);
    CheckWait();
    if (Waiting) {
        StateTimer->setEnabled(true);
        return;
    }
    switch (State) {
    case msQuiet:
        StartWait(100);
        Modem->SetEnabled(false);
        if (Port->Open())
            Port->SetOpen(false);
        ErrorCode = 0;
        if (!Blocked) {
            if (LineConnected())
                SetState(msStartHangingUp);
            else if (Stations.empty() && CommunicationRunning() && FindStationToCall())
                SetState(msStart);
        }
        break;
    case msStart: {
        StartWait(10);
        try {
            Port->SetOpen(true);
            Modem->SetEnabled(false);
            Port->SetOpen(false);
        } catch (...) {
            LogLine(StateName() + " - Err");
            SetBlocked();
            SetState(msQuiet);
            const std::vector<TStation*> rest = std::exchange(Queue, {});
            for (TStation* s : rest) {
                if (s->Channel == this)
                    s->Channel = nullptr;
                s->RequestCall();
            }
            break;
        }
        TStation* first = FindStationToCall();
        if (!first)
            break;
        const std::string number = first->GetPhoneNumber();
        for (TStation* s : std::vector<TStation*>(Queue))
            if (IsQueued(s) && !IsAttached(s) && s->GetPhoneNumber() == number) {
                AddStation(s);
                s->StartCall();
            }
        if (LineConnected()) {
            SetState(msConnected);
        } else {
            HangUpAttempts = 0;
            SetState(msReset);
        }
        break;
    }
    case msReset:
        StartWait(0);
        SetState(msInit1);
        break;
    case msInit1:
        StartWait(1000);
        SetState(msInit2);
        break;
    case msInit2:
        StartWait(1000);
        SetState(msDial);
        break;
    case msDial: {
        Port->SetBaud(9600);
        Port->SetDTR(true);
        Port->SetParity(0);
        const std::string number = DialNumber();
        if (!Dialable(number)) {
            SetState(msStartHangingUp);
            SetError(7);
            StartWait(10);
            break;
        }
        SetState(msDialing);
        LogLine("Dialing " + number);
        StartWait(60000);
        try {
            Modem->Dial(number);
        } catch (...) {
            NotifyMessage(TMessageKind::Warning, "\a");
        }
        break;
    }
    case msDialing:
        SetState(msStartHangingUp);
        SetError(5);
        StartWait(100);
        break;
    case msConnecting:
        Start();
        SetState(msConnected);
        LogLine("Connected");
        break;
    case msConnected:
        if (Stations.empty() || !LineConnected()) {
            if (!Stations.empty())
                SetError(9);
            StartHangUp();
        } else {
            const std::vector<TStation*> attached = Stations;
            for (auto it = attached.rbegin(); it != attached.rend(); ++it) {
                TStation* s = *it;
                if (IsAttached(s) && s->GetPollSuspended() && !ReadQueue.FindStationPacket(s) &&
                    !WriteQueue.FindStationPacket(s) && !CurrentPacket)
                    ReleaseStation(s);
            }
        }
        StartWait(100);
        break;
    case msStartHangingUp:
        SetState((ModemType() & 0x8000) ? msGSMSetCommandMode : msHangingUp);
        StartWait(0);
        break;
    case msGSMSetCommandMode:
        SetState(msHangingUp);
        break;
    case msHangingUp:
        HangingUpStep();
        break;
    case msHangUp:
        if (ErrorCode != 0)
            LogLine(ErrorText(ErrorCode));
        Connected = false;
        SetState(msQuiet);
        LogLine(StateName());
        LogLine("********************");
        StartWait(timBeforeDial);
        ClearStations();
        break;
    default:
        break;
    }
    if (StateTimer)
        StateTimer->setEnabled(true);
}

std::int32_t TModem::QueueStation(TStation* station)
{
    if (Blocked)
        return 2;
    if (station == queueing_ || IsAttached(station))
        return 1;
    const auto at = std::find(Queue.begin(), Queue.end(), station);
    if (at != Queue.end()) {
        if (at != Queue.begin() && at != Queue.begin() + 1) {
            Queue.erase(at);
            Queue.insert(Queue.begin() + 1, station);
        }
        return 1;
    }
    // Queued first: the state change below asks for a call again and must find it here.
    Queue.push_back(station);
    station->SetDialState(1);
    station->Channel = this;
    station->SetPollSuspended(false);
    queueing_ = station;
    try {
        station->SetState(ssDisconnected);
    } catch (...) {
        queueing_ = nullptr;
        throw;
    }
    queueing_ = nullptr;
    // It joins a call that is being made or runs, never one that ends.
    if (!Stations.empty() && State >= msStart && State <= msConnected && IsQueued(station) &&
        Stations.front()->GetPhoneNumber() == station->GetPhoneNumber()) {
        const std::int32_t dial = Stations.front()->DialState;
        station->StartCall();
        station->SetDialState(dial);
        AddStation(station);
    }
    return 0;
}

bool TModem::IsQueued(const TStation* station) const
{
    return std::find(Queue.begin(), Queue.end(), station) != Queue.end();
}

bool TModem::IsAttached(const TStation* station) const
{
    return std::find(Stations.begin(), Stations.end(), station) != Stations.end();
}

void TModem::ReleaseStation(TStation* station)
{
    const bool called = IsAttached(station);
    station->Channel = nullptr;
    ForgetStation(station);
    if (called) {
        station->CallTime = plat::clock().now();
        const bool failed = station->ModemError != 0;
        station->SetCallResult(failed ? 1 : 0);
        if (failed && station->RedialCount < station->GetConnParams().MaxRedials && ErrorCode != 6 &&
            ErrorCode != 7 && ErrorCode != 11) {
            ++station->RedialCount;
            station->RequestCall();
        } else {
            station->SetDialState(0);
            station->RedialCount = 0;
        }
    } else {
        station->SetDialState(0);
    }
    // Only the release of a station in the call can end the call.
    if (called && Stations.empty())
        StartHangUp();
}

void TModem::ForgetStation(const TStation* station)
{
    Queue.erase(std::remove(Queue.begin(), Queue.end(), station), Queue.end());
    Stations.erase(std::remove(Stations.begin(), Stations.end(), station), Stations.end());
}

void TModem::ClearStations()
{
    const std::vector<TStation*> attached = Stations;
    for (auto it = attached.rbegin(); it != attached.rend(); ++it)
        if (IsAttached(*it))
            ReleaseStation(*it);
    TCOM::ClearStations();
}

void TModem::SetBlocked()
{
    Blocked = true;
    if (Queue.size() <= 1)
        return;
    const std::vector<TStation*> rest(Queue.begin() + 1, Queue.end());
    for (auto it = rest.rbegin(); it != rest.rend(); ++it)
        if (IsQueued(*it)) {
            ReleaseStation(*it);
            (*it)->RequestCall();
        }
}

TStation* TModem::FindStationToCall() const
{
    const double now = plat::clock().now();
    const double same = timSameCall / 86400000.0;
    for (TStation* s : Queue)
        if (s->CallTime == 0 || now - s->CallTime > same)
            return s;
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// The list

TModem* TModemList::AddModem()
{
    items_.push_back(std::make_unique<TModem>(CommServer));
    return items_.back().get();
}

void TModemList::HangUpAll()
{
    for (auto& modem : items_)
        modem->StartHangUp();
}

void TModemList::Clear()
{
    HangUpAll();
    while (!items_.empty())
        items_.pop_back();
}

TModem* TModemList::FindModemFor(const TStation* station) const
{
    const std::int32_t type = station->GetModemNumber();
    const std::string number = station->GetPhoneNumber();
    TModem* fewest = nullptr;
    for (const auto& modem : items_) {
        if (modem->Blocked || modem->ModemType() != type)
            continue;
        if (modem->IsQueued(station))
            return modem.get();
        for (const TStation* q : modem->Queue)
            if (q->GetPhoneNumber() == number)
                return modem.get();
        if (!fewest || modem->Queue.size() < fewest->Queue.size())
            fewest = modem.get();
    }
    return fewest;
}

}  // namespace vx

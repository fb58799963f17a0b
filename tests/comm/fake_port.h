#pragma once
// A serial line under test control, and a channel fixture on the manual clock around it.
// The line records what the channel puts out, answers through a responder (normally the PLC
// simulator) after a latency on the manual clock, and hands bytes in as the port layer does:
// later, from the event loop (here: a timer of the manual scheduler), never from inside a
// call the channel makes. Made with tcp set, it is a TCP client instead: opening starts a
// connection that is made (or refused) connectMs later, bytes travel only while connected,
// and what a closed connection still had on its way is lost.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_notify.h"
#include "comm/vx_packet.h"
#include "comm/vx_station.h"
#include "comm/vx_tcp.h"
#include "comm/vx_variable.h"
#include "platform/clock.h"
#include "platform/port/port.h"
#include "platform/timers.h"
#include "tools/plcsim/simulator.h"

#include "fake_script.h"

namespace chantest {

using fakescript::Bytes;
using fakescript::destinationOf;
using fakescript::kConnect;
using fakescript::kIdent;
using fakescript::kReadN;
using fakescript::kSetTID;
using fakescript::kWriteB;
using fakescript::kWriteN;
using fakescript::serviceOf;

class FakePort final : public vx::TComPort {
public:
    struct Sent {
        std::int64_t atMs;
        Bytes frame;
    };

    int ComNumber() const override { return com_; }
    void SetComNumber(int n) override { com_ = n; }
    int Baud() const override { return baud_; }
    void SetBaud(int baud) override
    {
        if (baud <= 0)
            throw plat::PortError(plat::PortFault::BadSetting, "not a baud rate");
        baud_ = baud;
    }
    int Parity() const override { return parity_; }
    void SetParity(int parity) override
    {
        if (parity < 0 || parity > 4)
            throw plat::PortError(plat::PortFault::BadSetting, "not a parity");
        parity_ = parity;
    }
    int StopBits() const override { return stopBits_; }
    void SetStopBits(int bits) override { stopBits_ = bits; }
    unsigned HWFlowOptions() const override { return hwFlow_; }
    void SetHWFlowOptions(unsigned bits) override { hwFlow_ = bits; }
    bool RS485Mode() const override { return rs485_; }
    void SetRS485Mode(bool on) override { rs485_ = on; }
    bool Open() const override { return open_; }
    void SetOpen(bool on) override
    {
        if (on && !open_) {
            if (failOpen)
                throw plat::PortError(plat::PortFault::NotFound, "COM" + std::to_string(com_) + ": device not found");
            ++opens;
            if (tcp)
                startConnecting();
        }
        if (!on) {
            rx.clear();
            if (tcp && open_)
                loseConnection();
        }
        open_ = on;
    }
    void ReleaseDevice() override
    {
        if (tcp && open_)
            loseConnection();
        open_ = false;
        rx.clear();
        ++releases;
    }
    void PutBlock(const void* data, std::size_t count) override
    {
        if (!open_)
            throw plat::PortError(plat::PortFault::NotOpen, "port is not open");
        if (failPut)
            throw plat::PortError(plat::PortFault::Io, "sending failed");
        const auto* b = static_cast<const std::uint8_t*>(data);
        Bytes frame(b, b + count);
        sent.push_back({plat::clock().monotonicMs(), frame});
        if (tcp && !connected) {
            unsent_.push_back(std::move(frame));  // leaves once connected, as a socket buffers it
            return;
        }
        respond(frame);
    }
    std::size_t GetBlock(void* buffer, std::size_t count) override
    {
        if (count > rx.size())
            throw plat::PortError(plat::PortFault::BufferEmpty, "fewer bytes waiting than asked");
        auto* out = static_cast<std::uint8_t*>(buffer);
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = rx.front();
            rx.pop_front();
        }
        return count;
    }
    std::string WsAddress() const override { return address; }
    void SetWsAddress(const std::string& a) override { address = a; }
    std::string WsPort() const override { return wsPort; }
    void SetWsPort(const std::string& p) override { wsPort = p; }
    void SetInSize(std::size_t bytes) override { inSize = bytes; }
    std::uint8_t GetChar() override
    {
        if (rx.empty())
            throw plat::PortError(plat::PortFault::BufferEmpty, "no received byte waiting");
        const std::uint8_t b = rx.front();
        rx.pop_front();
        return b;
    }
    void FlushInBuffer() override
    {
        rx.clear();
        ++flushes;
    }
    bool DTR() const override { return dtr; }
    void SetDTR(bool on) override { dtr = on; }
    void ProcessCommunications() override { ++processTurns; }

    // Bytes reach the input buffer now and are announced.
    void arrive(const Bytes& bytes)
    {
        if (!open_ || (tcp && !connected))
            return;  // a closed line hears nothing
        rx.insert(rx.end(), bytes.begin(), bytes.end());
        if (OnTriggerAvail && !rx.empty())
            OnTriggerAvail(rx.size());
    }
    // Bytes arrive ms later on the manual clock (at least 1 ms); on TCP only over the
    // connection they were sent on.
    void arriveLater(Bytes bytes, int ms)
    {
        deliveries_.later(ms, [this, bytes = std::move(bytes), connection = connection_] {
            if (!tcp || connection == connection_)
                arrive(bytes);
        });
    }
    // TCP: the other end closes the connection (a PLC that restarts); reported from the event
    // loop, as the port layer does.
    void dropConnection()
    {
        if (!tcp || !connected)
            return;
        loseConnection();
        open_ = false;
        later(1, [this] {
            if (OnWsDisconnect)
                OnWsDisconnect();
        });
    }

    std::function<Bytes(const Bytes&)> responder;
    int latencyMs = 1;
    bool failOpen = false;
    bool failPut = false;
    std::vector<Sent> sent;
    std::deque<std::uint8_t> rx;
    int opens = 0;
    int releases = 0;
    int flushes = 0;
    bool dtr = false;
    int processTurns = 0;  // ProcessCommunications calls

    // TCP client side.
    bool tcp = false;
    bool refuse = false;  // nothing listens: connection attempts fail
    int connectMs = 1;
    bool connected = false;
    std::string address;
    std::string wsPort;
    std::size_t inSize = 0;

private:
    void respond(const Bytes& frame)
    {
        if (!responder)
            return;
        Bytes answer = responder(frame);
        if (!answer.empty())
            arriveLater(std::move(answer), latencyMs);
    }
    void later(int ms, std::function<void()> action) { deliveries_.later(ms, std::move(action)); }
    void startConnecting()
    {
        const int attempt = ++connection_;
        later(connectMs, [this, attempt] {
            if (attempt != connection_ || !open_)
                return;  // closed or opened anew meanwhile
            if (refuse) {
                open_ = false;
                ++connection_;
                if (OnWsError)
                    OnWsError(0);  // connection refused
                return;
            }
            connected = true;
            if (OnWsConnect)
                OnWsConnect();
            for (const Bytes& frame : std::exchange(unsent_, {}))
                respond(frame);
        });
    }
    // Whatever was on its way over the connection is lost with it.
    void loseConnection()
    {
        connected = false;
        ++connection_;
        unsent_.clear();
        rx.clear();
    }

    fakescript::DeliveryQueue deliveries_;
    std::vector<Bytes> unsent_;
    int connection_ = 0;
    int com_ = 0;
    int baud_ = 0;
    int parity_ = 0;
    int stopBits_ = 1;
    unsigned hwFlow_ = 0;
    bool rs485_ = false;
    bool open_ = false;
};

// The channels, their stations and the simulated PLCs on the manual clock. ServerAddress
// 126, MaxPacketLen 255, MaxBadCommCount 3, ConnectRate 1000, CommDelay 0, no restarts.
struct ChannelTest : ::testing::Test {
    plat::ManualClock clock{46365.5};
    plat::ManualScheduler scheduler{clock};
    plcsim::Simulator sim;
    // PLC bus addresses (low bytes) that give no answer at all.
    std::set<int> silent;
    std::map<vx::TVariable*, int> done;  // completion hooks per variable
    std::vector<std::string> messages;

    void SetUp() override
    {
        silent.clear();
        done.clear();
        messages.clear();
        plat::setClock(&clock);
        plat::setTimerFactory(&scheduler);
        vx::SetComPortFactory([] { return std::make_unique<FakePort>(); });
        vx::SetTcpPortFactory([] {
            auto p = std::make_unique<FakePort>();
            p->tcp = true;
            return p;
        });
        vx::SetMessageNotifier([this](vx::TMessageKind, const std::string& text) { messages.push_back(text); });
        vx::Language = 1;
        vx::InitializeComm();
        vx::ServerAddress = 126;
        vx::MaxPacketLen = 255;
        vx::MaxBadCommCount = 3;
        vx::ConnectRate = 1000;
        vx::CommDelay = 0;
        vx::MaxBadComToReset = 0;
        vx::OnVariableRequestDone = [this](vx::TVariable* v) { ++done[v]; };
    }
    void TearDown() override
    {
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::ResetSettings();
        vx::SetMessageNotifier(nullptr);
        vx::SetComPortFactory(nullptr);
        vx::SetTcpPortFactory(nullptr);
        plat::setTimerFactory(nullptr);
        plat::setClock(nullptr);
    }

    // A serial station on COM `com`, served by the simulator's PLC at the low byte of `bus`.
    vx::TStation* station(std::int32_t bus, std::int32_t com = 1, std::int32_t timeout = 200)
    {
        vx::TStation* st = vx::StationList->AddStation();
        st->Name = "PLC" + std::to_string(bus);
        st->Primary->ConnectionType = vx::ctSerial;
        st->Primary->PortNumber = com;
        st->Primary->BaudRate = 19200;
        st->Primary->Parity = 2;
        st->Primary->BusAddress = bus;
        st->Primary->Timeout = timeout;
        if (!sim.station(static_cast<std::uint8_t>(bus & 0xFF)))
            sim.addStation(static_cast<std::uint8_t>(bus & 0xFF)).setIdentity("HLX-7R  V2.31");
        FakePort& line = port(vx::ComList->GetChannelForStation(st));
        line.responder = [this](const Bytes& f) { return silent.count(destinationOf(f)) ? Bytes() : sim.answer(f); };
        return st;
    }
    // An active PLC variable, read every period ms.
    vx::TVariable* variable(vx::TStation* st, VARTYPE type, std::int32_t zone, std::int32_t address,
                            std::uint32_t period = 100, std::int32_t bit = 0)
    {
        vx::TVariable* v = st->AddVariable();
        v->Name = "V" + std::to_string(zone) + "_" + std::to_string(address) + "_" + std::to_string(bit);
        v->CanonicalType = type;
        v->RequestedType = type;
        v->Zone = zone;
        v->Address = address;
        v->BitNumber = bit;
        v->UpdatePeriod = period;
        v->InitValue();
        v->SetActive(true);
        return v;
    }
    static FakePort& port(vx::TCOM* channel) { return dynamic_cast<FakePort&>(*channel->Port); }
    plcsim::Station& plc(vx::TStation* st) { return *sim.station(static_cast<std::uint8_t>(st->GetConnParams().BusAddress & 0xFF)); }

    void start() { vx::CommServer->StartCommunication(); }
    void advance(std::int64_t ms) { scheduler.advance(ms); }
    // Advances until the station is connected, at most bound ms.
    bool connect(vx::TStation* st, std::int64_t bound = 2000)
    {
        auto ready = [st] { return st->State == vx::ssConnected && !st->Identity.empty(); };
        for (std::int64_t t = 0; t < bound && !ready(); ++t)
            advance(1);
        return ready();
    }
    // Advances until pred holds, at most bound ms.
    bool advanceUntil(const std::function<bool()>& pred, std::int64_t bound = 5000)
    {
        for (std::int64_t t = 0; t < bound && !pred(); ++t)
            advance(1);
        return pred();
    }
    // The frames sent on a channel's line from index `from` on.
    static std::vector<FakePort::Sent> sentSince(vx::TCOM* channel, std::size_t from)
    {
        const auto& all = port(channel).sent;
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }
};

}  // namespace chantest

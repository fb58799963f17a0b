#pragma once
// A UDP socket under test control, and a UDP channel fixture on the manual clock around it.
// The socket records every datagram the channel sends, hands it to a responder (the PLC
// simulator of the destination address, through a filter a test may set) and delivers the
// answers later from a timer of the manual scheduler, as the event loop would: never from
// inside a call the channel makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_notify.h"
#include "comm/vx_station.h"
#include "comm/vx_udp.h"
#include "comm/vx_variable.h"
#include "platform/clock.h"
#include "platform/port/udp.h"
#include "platform/timers.h"
#include "tools/plcsim/simulator.h"
#include "tools/plcsim/telegram.h"

#include "fake_script.h"

namespace udptest {

using fakescript::Bytes;
using fakescript::destinationOf;
using fakescript::kConnect;
using fakescript::kIdent;
using fakescript::kReadN;
using fakescript::kSetTID;
using fakescript::kWriteB;
using fakescript::kWriteN;
using fakescript::serviceOf;

class FakeUdp final : public vx::TUdpPort {
public:
    struct Sent {
        std::int64_t atMs;
        vx::TIpAddress ip;
        Bytes data;
    };

    bool Active() const override { return active_; }
    void SetActive(bool on) override
    {
        if (on && !active_) {
            if (failActivate)
                throw plat::EFDSockError(8, "The bound address is already in use");
            ++activations;
        }
        if (!on)
            deliveries_.clear();  // a closed socket hears nothing more
        active_ = on;
    }
    std::uint16_t Port() const override { return port_; }
    void SetPort(std::uint16_t networkOrder) override { port_ = networkOrder; }
    void SendTo(const vx::TIpAddress& ip, std::span<const std::uint8_t> data) override
    {
        if (!active_ || failSend)
            throw plat::EFDSockError(7, "Unable to send a datagram");
        Bytes d(data.begin(), data.end());
        sent.push_back({plat::clock().monotonicMs(), ip, d});
        if (responder)
            for (Bytes& answer : responder(ip, d))
                arriveLater(std::move(answer), latencyMs);
    }
    std::span<const std::uint8_t> GetData() const override { return current_; }
    int LastError() const override { return lastError; }

    // A datagram reaches the socket now.
    void arrive(const Bytes& data)
    {
        if (!active_)
            return;
        current_ = data;
        if (OnReceive)
            OnReceive();
    }
    // ... or ms later on the manual clock (at least 1 ms).
    void arriveLater(Bytes data, int ms)
    {
        deliveries_.later(ms, [this, data = std::move(data)] { arrive(data); });
    }
    std::size_t waiting() const { return deliveries_.size(); }

    // Answers to a datagram sent to ip; none for a lost one.
    std::function<std::vector<Bytes>(const vx::TIpAddress& ip, const Bytes& datagram)> responder;
    int latencyMs = 1;
    bool failActivate = false;
    bool failSend = false;
    int lastError = 0;
    int activations = 0;
    std::vector<Sent> sent;

private:
    fakescript::DeliveryQueue deliveries_;
    Bytes current_;
    std::uint16_t port_ = 0;
    bool active_ = false;
};

// The telegrams of a datagram as the PLC side reads it (empty when it cannot).
inline std::vector<Bytes> telegramsOf(const Bytes& datagram)
{
    const auto d = plcsim::parseDatagram(datagram);
    return d ? d->telegrams : std::vector<Bytes>{};
}

// The UDP channel, its stations and one simulated PLC address per IP text on the manual
// clock. ServerAddress 126, MaxPacketLen 255, MaxBadCommCount 3, ConnectRate 1000,
// CommDelay 0, no restarts; the PLCs answer 1 ms after a datagram leaves.
struct UdpTest : ::testing::Test {
    plat::ManualClock clock{46365.5};
    plat::ManualScheduler scheduler{clock};
    std::map<std::string, std::unique_ptr<plcsim::Simulator>> plcs;
    // Between a PLC's answer and the channel: return nothing to lose the answer.
    std::function<std::optional<Bytes>(const Bytes& request, Bytes answer)> filter;
    FakeUdp* udp = nullptr;
    std::map<vx::TVariable*, int> done;  // completion hooks per variable
    std::vector<std::string> messages;

    void SetUp() override
    {
        plat::setClock(&clock);
        plat::setTimerFactory(&scheduler);
        vx::SetUdpPortFactory([this] {
            auto socket = std::make_unique<FakeUdp>();
            udp = socket.get();
            socket->responder = [this](const vx::TIpAddress& ip, const Bytes& d) { return respond(ip, d); };
            return socket;
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
        vx::ComLogging = true;
        vx::NumOfComLines = 1000;
        vx::OnVariableRequestDone = [this](vx::TVariable* v) { ++done[v]; };
    }
    void TearDown() override
    {
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::ResetSettings();
        vx::SetMessageNotifier(nullptr);
        vx::SetUdpPortFactory(nullptr);
        plat::setTimerFactory(nullptr);
        plat::setClock(nullptr);
        udp = nullptr;
        filter = nullptr;
        plcs.clear();
        done.clear();
        messages.clear();
    }
    void restart()
    {
        TearDown();
        SetUp();
    }

    static std::string ipText(const vx::TIpAddress& ip)
    {
        return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
               std::to_string(ip[3]);
    }
    std::vector<Bytes> respond(const vx::TIpAddress& ip, const Bytes& datagram)
    {
        auto it = plcs.find(ipText(ip));
        if (it == plcs.end())
            return {};
        Bytes answer = it->second->answerDatagram(datagram);
        if (answer.empty())
            return {};
        if (filter) {
            std::optional<Bytes> passed = filter(datagram, std::move(answer));
            if (!passed)
                return {};
            return {*passed};
        }
        return {answer};
    }

    // A UDP station with bus address `bus` at the PLC address `ip`, on the UDP channel.
    vx::TStation* station(std::int32_t bus, const std::string& ip = "127.0.0.2", std::int32_t timeout = 200)
    {
        vx::TStation* st = vx::StationList->AddStation();
        setUp(st, bus, ip, timeout);
        vx::UdpSocket->AddStation(st);
        return st;
    }
    void setUp(vx::TStation* st, std::int32_t bus, const std::string& ip, std::int32_t timeout)
    {
        st->Name = "PLC" + std::to_string(bus);
        st->Primary->ConnectionType = vx::ctUdp;
        st->Primary->IPAddress = ip;
        st->Primary->BusAddress = bus;
        st->Primary->Timeout = timeout;
        auto& sim = plcs[ip];
        if (!sim)
            sim = std::make_unique<plcsim::Simulator>();
        if (!sim->station(static_cast<std::uint8_t>(bus & 0xFF)))
            sim->addStation(static_cast<std::uint8_t>(bus & 0xFF)).setIdentity("HLX-7R  V2.31");
    }
    // An active PLC variable, read every period ms (0: only when asked).
    static vx::TVariable* variable(vx::TStation* st, VARTYPE type, std::int32_t zone, std::int32_t address,
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
    plcsim::Station& plc(vx::TStation* st)
    {
        return *plcs.at(st->GetConnParams().IPAddress)->station(static_cast<std::uint8_t>(st->GetConnParams().BusAddress));
    }

    void start() { vx::CommServer->StartCommunication(); }
    void advance(std::int64_t ms) { scheduler.advance(ms); }
    bool advanceUntil(const std::function<bool()>& pred, std::int64_t bound = 5000)
    {
        for (std::int64_t t = 0; t < bound && !pred(); ++t)
            advance(1);
        return pred();
    }
    bool connect(const std::vector<vx::TStation*>& stations, std::int64_t bound = 3000)
    {
        return advanceUntil(
            [&] {
                return std::all_of(stations.begin(), stations.end(), [](const vx::TStation* s) {
                    return s->State == vx::ssConnected && !s->Identity.empty();
                });
            },
            bound);
    }
    // The datagrams sent from index `from` on.
    std::vector<FakeUdp::Sent> sentSince(std::size_t from) const
    {
        return {udp->sent.begin() + static_cast<std::ptrdiff_t>(std::min(from, udp->sent.size())), udp->sent.end()};
    }
};

}  // namespace udptest

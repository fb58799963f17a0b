#pragma once
// The ground the OPC tests stand on: the manual clock, English texts, one station "St" with
// bus address 2 on COM 1 (its channel never started, so PLC requests wait in its queues until
// a test completes them), the OPC registry with its monitor events recorded, a catalogue
// built from the stations, and pulse ticks at chosen times. Every test must leave the task
// allocator as it found it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "opc/opc_globals.h"
#include "platform/clock.h"
#include "platform/com/locale.h"
#include "platform/text.h"
#include "tests/com/alloc_balance.h"

namespace opctest {

struct MonitorRecord {
    int code;
    opc::TMonitorObject obj;
};

struct OpcFixture : comtest::TaskAllocBalance {
    explicit OpcFixture(double start = 46365.5) : clock(start) {}

    plat::ManualClock clock;
    vx::TStation* st = nullptr;
    vx::TCOM* channel = nullptr;
    std::unique_ptr<opc::TServer> registry;
    std::vector<MonitorRecord> events;

    void SetUp() override
    {
        comtest::TaskAllocBalance::SetUp();
        plat::setClock(&clock);
        plat::setCollationLocale("en_US");
        vx::Language = 1;
        vx::InitializeComm();
        vx::ServerAddress = 126;
        vx::MaxPacketLen = 255;
        st = addStation("St", 1);
        channel = st->Channel;
        registry = std::make_unique<opc::TServer>();
        opc::OPCRegistry = registry.get();
        registry->OnMonitorEvent = [this](int code, opc::TMonitorObject obj) { events.push_back({code, obj}); };
    }
    void TearDown() override
    {
        opc::OPCRegistry = nullptr;
        registry.reset();
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::ResetSettings();
        opc::ResetOPCGlobals();
        com::setProcessLocale(com::ProcessLocale::english());
        plat::setCollationLocale("");
        plat::setClock(nullptr);
        comtest::TaskAllocBalance::TearDown();
    }

    // A station with bus address 2, attached to the channel of its port.
    static vx::TStation* addStation(const std::string& name, int port)
    {
        vx::TStation* s = vx::StationList->AddStation();
        s->Name = name;
        s->Primary->BusAddress = 2;
        s->Primary->PortNumber = port;
        vx::ComList->GetChannelForStation(s);
        return s;
    }

    // An unscaled variable of the type, readable and writable, good quality, value zero.
    static vx::TVariable* var(vx::TStation* on, const std::string& name, VARTYPE type, int address = 0, int count = 0)
    {
        vx::TVariable* v = on->AddVariable();
        v->Name = name;
        v->CanonicalType = type;
        v->RequestedType = type;
        v->Zone = 3;
        v->Address = address;
        v->ArrayCount = count;
        v->StringLength = (type & VT_TYPEMASK) == VT_BSTR ? 16 : 0;
        v->InitValue();
        v->Quality = vx::qGood;
        return v;
    }
    vx::TVariable* var(const std::string& name, VARTYPE type, int address = 0, int count = 0)
    {
        return var(st, name, type, address, count);
    }

    // The catalogue of every station's variables, as registering a configuration builds it.
    void buildCatalogue()
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        registry->ClearItems();
        for (const auto& s : *vx::StationList)
            for (vx::TVariable* v : *s->Variables)
                registry->AddItem({v->GetFullName(), v->RequestedType, v->Readable, v->Writable, v});
        registry->SortItems();
    }

    // One pulse tick ms after the last, as the main window's pulse timer gives it.
    void tick(std::int64_t ms = 10)
    {
        clock.advanceMs(ms);
        opc::PulseAllServers(false, clock.now());
    }

    // Ends every PLC request waiting in the channel's queues: freeing the packets runs the
    // completion hook for each of their variables, as an answer or a failure would.
    void completeRequests()
    {
        channel->WriteQueue.Clear();
        channel->ReadQueue.Clear();
    }

    int countEvents(int code) const
    {
        int n = 0;
        for (const auto& e : events)
            n += e.code == code;
        return n;
    }
};

}  // namespace opctest

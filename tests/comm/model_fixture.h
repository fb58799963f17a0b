#pragma once
// The model the comm tests stand on: the manual clock, English texts, server address 126,
// frames of up to 255 bytes, one station with bus address 2 on COM 1, and the completion hook
// counted per variable. Each suite derives its fixture from it and adds what is its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>

#include "comm/vx_channel.h"
#include "comm/vx_def.h"
#include "comm/vx_packet.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "frame_check.h"
#include "platform/clock.h"
#include "platform/com/locale.h"

namespace modeltest {

struct ModelFixture : ::testing::Test {
    explicit ModelFixture(double start = 46365.5) : clock(start) {}

    plat::ManualClock clock;
    vx::TStation* st = nullptr;
    vx::TCOM* channel = nullptr;  // the one st was attached to
    std::map<vx::TVariable*, int> hooks;  // completion hook calls per variable

    void SetUp() override
    {
        plat::setClock(&clock);
        vx::Language = 1;
        vx::InitializeComm();
        vx::ServerAddress = 126;
        vx::MaxPacketLen = 255;
        st = addStation(1);
        channel = st->Channel;
        hooks.clear();
        vx::OnVariableRequestDone = [this](vx::TVariable* v) { ++hooks[v]; };
    }
    void TearDown() override
    {
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::ResetSettings();
        com::setProcessLocale(com::ProcessLocale::english());
        plat::setClock(nullptr);
    }
    // A fresh model for the next case of a table.
    void restart()
    {
        TearDown();
        SetUp();
    }

    // A station with bus address 2, attached to the channel of its port.
    static vx::TStation* addStation(int port)
    {
        vx::TStation* s = vx::StationList->AddStation();
        s->Primary->BusAddress = 2;
        s->Primary->PortNumber = port;
        vx::ComList->GetChannelForStation(s);
        return s;
    }
    static vx::TVariable* var(vx::TStation* on, VARTYPE type, int zone, int address, int count = 0,
                              int stringLength = 0)
    {
        vx::TVariable* v = on->AddVariable();
        v->CanonicalType = type;
        v->Zone = zone;
        v->Address = address;
        v->ArrayCount = count;
        v->StringLength = stringLength;
        v->InitValue();
        return v;
    }
    vx::TVariable* var(VARTYPE type, int zone = 3, int address = 0, int count = 0, int stringLength = 0)
    {
        return var(st, type, zone, address, count, stringLength);
    }
    // A variable of the kind, bound to the station as its service variable.
    vx::TVariable* service(std::int32_t kind, VARTYPE type)
    {
        vx::TVariable* v = var(type);
        v->SetKind(kind);
        v->InitValue();
        st->BindServiceVariable(v);
        return v;
    }

    static framecheck::Bytes frame(const vx::TPacket& p)
    {
        return framecheck::Bytes(p.Frame.begin(), p.Frame.begin() + p.FrameLength);
    }
    static framecheck::Bytes payload(const vx::TPacket& p) { return framecheck::payload(frame(p)); }
};

}  // namespace modeltest

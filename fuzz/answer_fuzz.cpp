// The answer checks and the decoding of a channel on any bytes, against a fixed set of
// requests of every kind: scalars, bits, texts, dates, arrays, the second part of a long
// array, writes, the PLC clock.
//
// Input: byte 0 picks the request (bits 0-2) and the rules (bit 3 time-stamp check, bit 4 the
// station's identity unknown, bit 5 apply the bytes even when a check fails, which the decoding
// must survive as well); byte 1 is the previous time stamp's high byte; the rest is the answer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "comm/vx_channel.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_packet.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "fuzz_check.h"
#include "platform/clock.h"

namespace {

using vx::TPacket;
using vx::TVariable;

struct Model {
    plat::ManualClock clock{46365.5};
    std::unique_ptr<vx::TStation> st;
    std::vector<TVariable*> scalars;
    std::vector<TVariable*> arrays;
    TVariable* longArray = nullptr;
    TVariable* clockVariable = nullptr;
    TVariable* bit = nullptr;
    TVariable* word = nullptr;
    TVariable* buffer = nullptr;

    Model()
    {
        plat::setClock(&clock);
        vx::Language = 1;
        vx::ServerAddress = 126;
        vx::MaxPacketLen = 255;
        st = std::make_unique<vx::TStation>(nullptr);
        st->Primary->BusAddress = 2;
        st->Enabled = true;
        word = add(VT_UI2, 3, 10);
        scalars = {word,
                   add(VT_I2, 3, 12),
                   add(VT_I4, 3, 14),
                   add(VT_UI4, 3, 18),
                   add(VT_R4, 3, 22),
                   add(VT_R8, 3, 26),
                   bit = add(VT_BOOL, 3, 34, 0, 0, 3),
                   add(VT_BSTR, 3, 35, 0, 4),
                   add(VT_DATE, 3, 40)};
        arrays = {add(VT_ARRAY | VT_UI1, 2, 0, 6), add(VT_ARRAY | VT_BOOL, 2, 10, 12),
                  add(VT_ARRAY | VT_BSTR, 2, 20, 3, 5), add(VT_ARRAY | VT_R4, 2, 40, 4),
                  add(VT_ARRAY | VT_I2, 2, 60, 3), add(VT_ARRAY | VT_DATE, 2, 70, 2)};
        longArray = add(VT_ARRAY | VT_UI2, 0, 0, 200);
        clockVariable = add(VT_DATE, 3, 0);
        clockVariable->SetKind(vx::vkDateTime);
        st->BindServiceVariable(clockVariable);
        buffer = add(VT_ARRAY | VT_UI1, 1, 50, 2);
        buffer->SetKind(vx::vkDrwDataBuffer);
        st->BindServiceVariable(buffer);
        TVariable* status = add(VT_I4, 1, 0);
        status->SetKind(vx::vkDrwStatus);
        st->BindServiceVariable(status);
    }

    TVariable* add(VARTYPE type, int zone, int address, int count = 0, int stringLength = 0, int bitNumber = 0)
    {
        TVariable* v = st->AddVariable();
        v->Name = "V" + std::to_string(st->Variables->size());
        v->CanonicalType = type;
        v->RequestedType = type;
        v->Zone = zone;
        v->Address = address;
        v->ArrayCount = count;
        v->StringLength = stringLength;
        v->BitNumber = bitNumber;
        v->InitValue();
        return v;
    }

    // Every value back to its start, so that an input does the same whatever ran before.
    void reset(bool identityKnown, std::int32_t previousStamp)
    {
        for (TVariable* v : *st->Variables) {
            v->InitValue();
            v->Quality = vx::qUncertain;
            v->LastUpdate = 0;
            v->ReadOffset = v->WriteOffset = 0;
        }
        clockVariable->Value.setDate(46365.5);
        word->Value.setUI2(0x1234);
        st->State = vx::ssConnectSent;
        st->Identity = identityKnown ? "HLX-7R " : "";
        st->TimeStampVariable->Value.setI4(previousStamp);
    }

    // The requests, built as the scheduler builds them; the last one is the one answered.
    std::vector<std::unique_ptr<TPacket>> request(int which)
    {
        std::vector<std::unique_ptr<TPacket>> out;
        auto packet = [&](std::int32_t kind, const std::vector<TVariable*>& vars) {
            auto p = std::make_unique<TPacket>(kind, st.get());
            for (TVariable* v : vars)
                FUZZ_CHECK(p->AddVariable(v));
            FUZZ_CHECK(p->BuildFrame());
            out.push_back(std::move(p));
        };
        switch (which) {
        case 0: packet(vx::pkConnect, {}); break;
        case 1: packet(vx::pkIdent, {}); break;
        case 2: packet(vx::pkSetTID, {clockVariable}); break;
        case 3: packet(vx::pkReadN, scalars); break;
        case 4: packet(vx::pkReadN, arrays); break;
        case 5:
            packet(vx::pkReadN, {longArray});
            packet(vx::pkReadN, {longArray});  // its second part
            break;
        case 6: packet(vx::pkWriteN, {word, buffer}); break;
        default: packet(vx::pkWriteB, {bit}); break;
        }
        return out;
    }
};

Model& model()
{
    static Model* m = new Model;  // lives as long as the process
    return *m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    Model& m = model();
    const std::uint8_t flags = data[0];
    const vx::TAnswerRules rules{126, (flags & 0x08) != 0};
    m.reset((flags & 0x10) == 0, data[1] << 8);
    vx::CheckTimestamp = rules.CheckTimestamp;  // a read request carries the stamp when it is checked
    const auto packets = m.request(flags & 0x07);
    TPacket& answered = *packets.back();

    const std::span<const std::uint8_t> answer(data + 2, size - 2);
    const vx::TAnswerFault fault = vx::JudgeAnswer(answer, answered, rules);
    if (fault == vx::TAnswerFault::None || (flags & 0x20) != 0) {
        std::vector<std::string> notes;
        vx::ApplyAnswer(answered, answer, m.clock.now(), [&](const std::string& text) { notes.push_back(text); });
        if (fault == vx::TAnswerFault::None && answered.Kind != vx::pkReadN)
            FUZZ_CHECK(notes.empty());
    }
    return 0;
}

#pragma once
// What the real-time channel tests (pseudo-terminal and loopback) share: the completion hooks
// and messages they record, register variables, and a write that waits for its request.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "tests/wait_until.h"

namespace realtimetest {

// The end-to-end paths get a longer bound than the port tests.
inline bool waitUntil(const std::function<bool()>& done, int boundMs = 10000)
{
    return vxtest::waitUntil(done, boundMs);
}

// The fixture's SetUp wires done and messages to the channel layer's hooks.
struct RealTimeTest : ::testing::Test {
    std::map<vx::TVariable*, int> done;  // completion hooks per variable
    std::vector<std::string> messages;

    // An active register variable (zone 3), read every period ms.
    static vx::TVariable* variable(vx::TStation* st, VARTYPE type, std::int32_t address, std::uint32_t period = 50,
                                   std::int32_t bit = 0)
    {
        vx::TVariable* v = st->AddVariable();
        v->Name = "R" + std::to_string(address) + "." + std::to_string(bit);
        v->CanonicalType = type;
        v->RequestedType = type;
        v->Zone = 3;
        v->Address = address;
        v->BitNumber = bit;
        v->UpdatePeriod = period;
        v->InitValue();
        v->SetActive(true);
        return v;
    }
    // Writes value through the variable as a client would, and waits until the request ends.
    bool write(vx::TVariable* v, const std::function<void(com::Variant&)>& set)
    {
        const int before = done[v];
        set(v->Value);
        bool finished = true;
        if (v->WriteValue(finished) != S_OK || finished)
            return false;
        return waitUntil([&] { return done[v] > before; });
    }
};

}  // namespace realtimetest

#pragma once
// A stand-in for the development environment's two classes, for the channel's tests. Its
// communication service turns each request (bus address, service code, data) into the
// telegram it stands for, has the PLC simulator answer it and returns the answer's data;
// every call is recorded and the next calls can be scripted. It registers both classes in
// the COM layer's class table under their real class IDs while it lives (the calling thread
// must be initialised for COM).
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comm/vx_lunaro_com.h"
#include "tools/plcsim/simulator.h"

namespace lunarotest {

using Bytes = std::vector<std::uint8_t>;

// One request call's arguments as they came, and what the service gave back.
struct RequestCall {
    LONG mode = 0;
    BYTE busAddress = 0;
    BYTE serviceCode = 0;
    LONG dataLength = 0;
    Bytes data;
    LONG answerRoom = 0;  // the answer length on the way in
    const BYTE* answerBuffer = nullptr;
    LONG timeoutMs = 0;
    HRESULT result = S_OK;
    LONG answerLength = 0;  // on the way out
};

// What the next call that fits does differently from serving the telegram.
struct CallScript {
    int serviceCode = -1;  // fits calls with this service code; -1 any call
    HRESULT result = S_OK;  // a failure writes nothing
    std::u16string errorText;  // what ErrorText gives for result
    std::optional<LONG> reportLength;  // reported in place of the bytes written
    std::size_t dropBytes = 0;  // data bytes left out at the end
    std::function<void()> inside;  // runs inside the call, before anything is answered
};

// The scripts the tests use, for the next call with the service code (-1 any).
inline CallScript failCall(int serviceCode, HRESULT result, std::u16string text = {})
{
    CallScript s;
    s.serviceCode = serviceCode;
    s.result = result;
    s.errorText = std::move(text);
    return s;
}
inline CallScript reportLength(int serviceCode, LONG length)
{
    CallScript s;
    s.serviceCode = serviceCode;
    s.reportLength = length;
    return s;
}
inline CallScript dropBytes(int serviceCode, std::size_t count)
{
    CallScript s;
    s.serviceCode = serviceCode;
    s.dropBytes = count;
    return s;
}
inline CallScript runInside(int serviceCode, std::function<void()> inside)
{
    CallScript s;
    s.serviceCode = serviceCode;
    s.inside = std::move(inside);
    return s;
}

// When the simulator does not answer.
inline constexpr HRESULT kNoAnswer = MAKE_HR(0x800705B4);

class LunaroStandIn {
public:
    // Registers both classes.
    explicit LunaroStandIn(plcsim::Simulator& sim);
    ~LunaroStandIn();
    LunaroStandIn(const LunaroStandIn&) = delete;
    LunaroStandIn& operator=(const LunaroStandIn&) = delete;

    // Puts each class into the class table or takes it out.
    void setRegistered(bool app, bool plc);

    // The recorded request calls with this service code (-1: all).
    std::vector<RequestCall> calls(int serviceCode = -1) const;

    std::deque<CallScript> scripts;
    std::vector<RequestCall> requests;
    std::vector<HRESULT> errorTextCalls;
    // In order: "app created", "app close", "app freed", "plc created", "plc freed".
    std::vector<std::string> events;
    int placeholderCalls = 0;
    // Request calls running now, and the most that ever ran one inside another.
    int depth = 0;
    int maxDepth = 0;
    int liveApps = 0;
    int livePlcs = 0;
    // The source address of the telegrams handed to the simulator.
    std::uint8_t serverAddress = 126;

private:
    friend class StandInPlc;
    friend class StandInApp;
    HRESULT serve(BYTE bus, BYTE service, const Bytes& data, LONG* answerLength, BYTE* answer, const CallScript& script);
    CallScript takeScript(BYTE service);

    plcsim::Simulator& sim_;
    DWORD appCookie_ = 0;
    DWORD plcCookie_ = 0;
    std::map<HRESULT, std::u16string> texts_;
};

}  // namespace lunarotest

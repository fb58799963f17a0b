#pragma once
// The development environment's COM classes and the two interfaces the channel calls. They
// belong to the PLC maker's development environment, outside this program: only the methods
// the channel calls have a meaning here, by their vtable positions (IUnknown's three are
// positions 0 to 2). Every other position is a placeholder that is never called.
#include "platform/com/unknown.h"

struct IConnectedPlc : IUnknown {
    static constexpr IID iid = {0x7DD57561, 0x0999, 0x4E15, {0x83, 0x34, 0x60, 0x3C, 0x82, 0x4D, 0x4D, 0xEA}};
    virtual HRESULT Unused3() = 0;
    virtual HRESULT Unused4() = 0;
    virtual HRESULT Unused5() = 0;
    // Position 6: one request telegram's service code and data to the PLC at busAddress;
    // answerLength holds the room of answer on the way in and the bytes returned on the way out.
    virtual HRESULT Request(LONG mode, BYTE busAddress, BYTE serviceCode, LONG dataLength, const BYTE* data,
                            LONG* answerLength, BYTE* answer, LONG timeoutMs) = 0;
    // Position 7: the service's text for a result code Request gave; the caller frees it.
    virtual HRESULT ErrorText(HRESULT code, BSTR* text) = 0;
};
inline constexpr IID IID_IConnectedPlc = IConnectedPlc::iid;

struct IWexaApp : IUnknown {
    static constexpr IID iid = {0x0360A365, 0x722C, 0x47F7, {0xAD, 0x41, 0x69, 0x28, 0x09, 0x41, 0x21, 0xFE}};
    virtual HRESULT Unused3() = 0;
    virtual HRESULT Unused4() = 0;
    virtual HRESULT Unused5() = 0;
    virtual HRESULT Unused6() = 0;
    virtual HRESULT Unused7() = 0;
    virtual HRESULT Unused8() = 0;
    virtual HRESULT Unused9() = 0;
    // Position 10: called once before the channel lets the application object go.
    virtual HRESULT Close() = 0;
};
inline constexpr IID IID_IWexaApp = IWexaApp::iid;

// CoLunaroApp: the application object, created when the channel starts.
inline constexpr CLSID CLSID_CoLunaroApp = {0x87C67DF7, 0xCC90, 0x41DB, {0x8D, 0x5F, 0x22, 0x87, 0x35, 0xEA, 0xE9, 0x77}};
// CoLunaroPlcCommunicationServices: the PLC communication service, created at the first send.
inline constexpr CLSID CLSID_CoLunaroPlcCommunicationServices = {
    0xAFC55BED, 0x96B2, 0x4C74, {0xBA, 0x52, 0x32, 0xFC, 0xDF, 0x56, 0x48, 0xA9}};

namespace vx {

// Lead argument of IConnectedPlc::Request.
inline constexpr LONG kLunaroRequestMode = 3;
// Size of the answer buffer handed to IConnectedPlc::Request; a longer answer is refused.
inline constexpr LONG kLunaroAnswerRoom = 300;

}  // namespace vx

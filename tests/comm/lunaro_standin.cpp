#include "lunaro_standin.h"

#include <algorithm>

#include "platform/com/bstr.h"
#include "platform/com/runtime.h"

namespace lunarotest {

class StandInApp final : public com::ComObject<IWexaApp> {
public:
    explicit StandInApp(LunaroStandIn& owner) : owner_(owner)
    {
        ++owner_.liveApps;
        owner_.events.push_back("app created");
    }
    ~StandInApp() override
    {
        --owner_.liveApps;
        owner_.events.push_back("app freed");
    }

    HRESULT Unused3() override { return unused(); }
    HRESULT Unused4() override { return unused(); }
    HRESULT Unused5() override { return unused(); }
    HRESULT Unused6() override { return unused(); }
    HRESULT Unused7() override { return unused(); }
    HRESULT Unused8() override { return unused(); }
    HRESULT Unused9() override { return unused(); }
    HRESULT Close() override
    {
        owner_.events.push_back("app close");
        return S_OK;
    }

private:
    HRESULT unused()
    {
        ++owner_.placeholderCalls;
        return E_NOTIMPL;
    }
    LunaroStandIn& owner_;
};

class StandInPlc final : public com::ComObject<IConnectedPlc> {
public:
    explicit StandInPlc(LunaroStandIn& owner) : owner_(owner)
    {
        ++owner_.livePlcs;
        owner_.events.push_back("plc created");
    }
    ~StandInPlc() override
    {
        --owner_.livePlcs;
        owner_.events.push_back("plc freed");
    }

    HRESULT Unused3() override { return unused(); }
    HRESULT Unused4() override { return unused(); }
    HRESULT Unused5() override { return unused(); }

    HRESULT Request(LONG mode, BYTE busAddress, BYTE serviceCode, LONG dataLength, const BYTE* data, LONG* answerLength,
                    BYTE* answer, LONG timeoutMs) override
    {
        RequestCall call;
        call.mode = mode;
        call.busAddress = busAddress;
        call.serviceCode = serviceCode;
        call.dataLength = dataLength;
        if (data && dataLength > 0)
            call.data.assign(data, data + dataLength);
        call.answerRoom = answerLength ? *answerLength : -1;
        call.answerBuffer = answer;
        call.timeoutMs = timeoutMs;
        const CallScript script = owner_.takeScript(serviceCode);
        owner_.maxDepth = std::max(owner_.maxDepth, ++owner_.depth);
        // Incoming calls served while the caller waits; this object must outlive them, as a
        // service in another process would.
        if (script.inside)
            script.inside();
        ++calls_;
        --owner_.depth;
        if (!answerLength || !answer || dataLength < 0 || (dataLength > 0 && !data))
            call.result = E_POINTER;
        else
            call.result = owner_.serve(busAddress, serviceCode, call.data, answerLength, answer, script);
        call.answerLength = answerLength ? *answerLength : -1;
        owner_.requests.push_back(std::move(call));
        return owner_.requests.back().result;
    }

    HRESULT ErrorText(HRESULT code, BSTR* text) override
    {
        owner_.errorTextCalls.push_back(code);
        if (!text)
            return E_POINTER;
        const auto it = owner_.texts_.find(code);
        const std::u16string message = it != owner_.texts_.end() ? it->second : u"unknown error";
        *text = SysAllocString(message.c_str());
        return *text ? S_OK : E_OUTOFMEMORY;
    }

private:
    HRESULT unused()
    {
        ++owner_.placeholderCalls;
        return E_NOTIMPL;
    }
    LunaroStandIn& owner_;
    int calls_ = 0;
};

LunaroStandIn::LunaroStandIn(plcsim::Simulator& sim) : sim_(sim)
{
    texts_[kNoAnswer] = u"the PLC did not answer";
    setRegistered(true, true);
}

LunaroStandIn::~LunaroStandIn() { setRegistered(false, false); }

void LunaroStandIn::setRegistered(bool app, bool plc)
{
    if (app && !appCookie_) {
        const auto factory = com::makeCom<com::ClassFactory<StandInApp>>([this] { return com::makeCom<StandInApp>(*this); });
        CoRegisterClassObject(CLSID_CoLunaroApp, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &appCookie_);
    } else if (!app && appCookie_) {
        CoRevokeClassObject(appCookie_);
        appCookie_ = 0;
    }
    if (plc && !plcCookie_) {
        const auto factory = com::makeCom<com::ClassFactory<StandInPlc>>([this] { return com::makeCom<StandInPlc>(*this); });
        CoRegisterClassObject(CLSID_CoLunaroPlcCommunicationServices, factory.get(), CLSCTX_INPROC_SERVER,
                              REGCLS_MULTIPLEUSE, &plcCookie_);
    } else if (!plc && plcCookie_) {
        CoRevokeClassObject(plcCookie_);
        plcCookie_ = 0;
    }
}

std::vector<RequestCall> LunaroStandIn::calls(int serviceCode) const
{
    std::vector<RequestCall> out;
    for (const RequestCall& c : requests)
        if (serviceCode < 0 || c.serviceCode == serviceCode)
            out.push_back(c);
    return out;
}

CallScript LunaroStandIn::takeScript(BYTE service)
{
    const auto it = std::find_if(scripts.begin(), scripts.end(),
                                 [service](const CallScript& s) { return s.serviceCode < 0 || s.serviceCode == service; });
    if (it == scripts.end())
        return {};
    CallScript s = std::move(*it);
    scripts.erase(it);
    return s;
}

HRESULT LunaroStandIn::serve(BYTE bus, BYTE service, const Bytes& data, LONG* answerLength, BYTE* answer,
                             const CallScript& script)
{
    const LONG room = *answerLength;
    if (FAILED(script.result)) {
        texts_[script.result] = script.errorText;
        return script.result;
    }
    // The telegram the request stands for: Connect and Ident are short frames, the rest long
    // frames with the service code in front of the data.
    Bytes telegram;
    if (service == plcsim::fcConnect || service == plcsim::fcIdent) {
        telegram = plcsim::shortFrame(bus, serverAddress, service);
    } else {
        Bytes body{service};
        body.insert(body.end(), data.begin(), data.end());
        telegram = plcsim::longFrame(bus, serverAddress, service == plcsim::scReadN ? plcsim::fcRead : plcsim::fcWrite, body);
    }
    const Bytes reply = sim_.answer(telegram);
    if (reply.empty()) {
        texts_[kNoAnswer] = u"the PLC did not answer";
        return kNoAnswer;
    }
    // Only a long frame carries data: an acknowledgement or a short frame returns nothing.
    Bytes out;
    if (reply[0] == plcsim::SD2 && reply.size() >= 9)
        out.assign(reply.begin() + 7, reply.end() - 2);
    out.resize(out.size() - std::min(script.dropBytes, out.size()));
    const std::size_t written = std::min(out.size(), static_cast<std::size_t>(std::max<LONG>(room, 0)));
    std::copy_n(out.begin(), written, answer);
    *answerLength = script.reportLength.value_or(static_cast<LONG>(out.size()));
    return S_OK;
}

}  // namespace lunarotest

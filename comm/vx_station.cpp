#include "vx_station.h"

#include <algorithm>

#include "platform/clock.h"
#include "vx_channel.h"
#include "vx_def.h"
#include "vx_lang.h"
#include "vx_lunaro.h"
#include "vx_modem.h"
#include "vx_socket.h"
#include "vx_variable.h"

namespace vx {

namespace {

struct CpuClassEntry {
    const char* identity;
    std::int32_t cpuClass;
};

const CpuClassEntry kCpuClasses[] = {
    {"HLX-7P ", 0}, {"HLX-7T ", 1}, {"HLX-7U ", 2}, {"HLX-7W ", 3}, {"HLX-8W ", 4},
    {"HLX-7R ", 5}, {"HLX-7Q ", 6}, {"KZ91   ", 8}, {"KY26   ", 9},
};

// Frees the station's packets on one channel and stops it serving the station.
void leaveChannel(TCOM* channel, TStation* station)
{
    if (!channel)
        return;
    channel->DropStationPackets(station);
    auto& list = channel->Stations;
    list.erase(std::remove(list.begin(), list.end(), station), list.end());
}

}  // namespace

std::string FirstCharacters(const std::string& text, std::size_t n)
{
    std::size_t pos = 0, chars = 0;
    while (pos < text.size()) {
        if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
            if (chars == n)
                break;
            ++chars;
        }
        ++pos;
    }
    return text.substr(0, pos);
}

TStation::TStation(TTreeObject* owner)
    : TParentTreeObject(owner),
      Primary(std::make_unique<TConnectionParams>()),
      Standby(std::make_unique<TConnectionParams>())
{
    ObjectType = otStation;
    Name = GetLangText(kMsgNewStationName) + std::to_string(ID);
    TimeStampVariable = AddInternalVariable(kTimeStampVariableName, VT_UI2, vkTimeStamp);
    TimeStampVariable->Zone = 2;
    TimeStampVariable->Address = 14;
}

TStation::~TStation()
{
    DetachFromChannel();
    // Folders and variables go next, while the station's fields still exist.
    DestroyChildren();
}

void TStation::DetachFromChannel()
{
    // Any channel may still queue a packet of ours (a switch of connection leaves them
    // behind), and none may keep one that points at freed variables.
    leaveChannel(Channel, this);
    if (ComList)
        for (auto& channel : *ComList)
            leaveChannel(channel.get(), this);
    if (ModemList)
        for (auto& modem : *ModemList) {
            leaveChannel(modem.get(), this);
            modem->ForgetStation(this);
        }
    if (SocketList)
        for (auto& channel : *SocketList)
            leaveChannel(channel.get(), this);
    leaveChannel(UdpSocket, this);
    leaveChannel(LunaroChannel, this);
    Channel = nullptr;
}

TConnectionParams& TStation::GetConnParams() const { return UseBackup ? *Standby : *Primary; }

bool TStation::HasBlockTransfer(std::int32_t cpuClass)
{
    switch (cpuClass) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 8:
    case 9:
        return false;
    default:
        return true;
    }
}

void TStation::SetState(std::int32_t state)
{
    if (state == State)
        return;
    if (State == ssBlocked && state != ssDisconnected)
        return;
    State = state;
    const bool modem = GetConnParams().ConnectionType == ctModem;
    if (state == ssFailed)
        for (TVariable* v : *Variables)
            if (!v->Forced && (v->Kind == vkPlain || v->Kind == vkDateTime))
                v->SetQuality(qCommFailure);
    if (state == ssConnected)
        DecodeIdentity();
    if (state == ssBlocked && modem)
        ReleaseLine();
    if (state == ssDisconnected && modem)
        RequestCall();
    // Signed, never 65535: the first time stamp after a reconnect must pass the check.
    if (state != ssConnected && TimeStampVariable)
        TimeStampVariable->Value.setI4(-1);
}

void TStation::SetControl(std::int32_t control)
{
    ConnectionControl = control;
    SetVariableNumber(ControlVariable, control);
    if (!(control & ccEnabled))
        SetState(ssBlocked);
    else if (State == ssBlocked)
        SetState(ssDisconnected);
    SetUseBackup((control & ccUseStandby) != 0);
}

void TStation::SetUseBackup(bool standby)
{
    if (standby == UseBackup)
        return;
    try {
        switch (GetConnParams().ConnectionType) {
        case ctSerial:
        case ctUdp:
        case ctTcp:
            if (Channel) {
                // Its packets go with it, hooks run: the old channel would send them on its
                // own line with the new connection's address.
                Channel->DropStationPackets(this);
                Channel->RemoveStation(this);
            }
            break;
        case ctModem:
            ReleaseLine();
            break;
        default:
            break;
        }
        UseBackup = standby;
        switch (GetConnParams().ConnectionType) {
        case ctSerial:
            if (ComList) {
                ComList->GetChannelForStation(this);
                ComList->StartAll();
            }
            break;
        case ctUdp:
            if (UdpSocket) {
                UdpSocket->AddStation(this);
                UdpSocket->Start();
            }
            break;
        case ctTcp:
            if (SocketList) {
                SocketList->AssignStation(this);
                // A TCP channel already started keeps its stations' states; this station
                // starts over on its new path with a Connect.
                if (State != ssBlocked)
                    SetState(ssDisconnected);
                SocketList->StartAll();
            }
            break;
        default:
            // Modem and service connections are joined by their own channels.
            break;
        }
        LastConnectTry = 0;
    } catch (...) {
        // The switch stays as far as it got; the scheduler reports the station's state.
    }
}

void TStation::SetIdentity(const std::string& identity)
{
    if (identity == Identity)
        return;
    Identity = identity;
    DecodeIdentity();
}

void TStation::DecodeIdentity()
{
    if (!Identity.empty()) {
        Identity = FirstCharacters(Identity, 7);
        for (const auto& entry : kCpuClasses)
            if (Identity == entry.identity)
                CpuClass = entry.cpuClass;
    }
    const std::uint16_t quality = HasBlockTransfer(CpuClass) ? qGood : qOutOfService;
    for (TVariable* v : {DRW_Control, DRW_Status, DRW_Zone, DRW_Address, DRW_Length, DRW_DataBuffer})
        if (v)
            v->SetQuality(quality);
}

void TStation::RecountActive()
{
    Enabled = std::any_of(Variables->begin(), Variables->end(), [](const TVariable* v) { return v->Active; });
    if (!Enabled && GetConnParams().ConnectionType == ctModem)
        ReleaseLine();
}

bool TStation::ReconnectDue(double now) const { return LastConnectTry + MsToDateTime(ConnectRate) < now; }

void TStation::SetDialState(std::int32_t state)
{
    DialState = state;
    SetVariableNumber(DialStateVariable, state);
    DialStateText = GetStatusText1100(state);
    SetVariableText(DialStateTextVariable, DialStateText);
    if (state == 0 && GetConnParams().ConnectionType == ctModem)
        SetState(ssBlocked);
}

void TStation::SetCallResult(std::int32_t result)
{
    CallResult = result;
    SetVariableNumber(CallResultVariable, result);
    CallResultText = GetStatusText1120(result);
    SetVariableText(CallResultTextVariable, CallResultText);
}

void TStation::SetModemError(std::int32_t error)
{
    ModemError = error;
    SetVariableNumber(ModemErrorVariable, error);
    ModemErrorText = GetStatusText1000(error);
    SetVariableText(ModemErrorTextVariable, ModemErrorText);
}

std::string TStation::GetPhoneNumber() const
{
    if (PhoneNumberVariable)
        return PhoneNumberVariable->Value.toUtf8().value_or(std::string());
    return GetConnParams().PhoneNumber;
}

void TStation::SetPhoneNumber(const std::string& number)
{
    GetConnParams().PhoneNumber = number;
    SetVariableText(PhoneNumberVariable, number);
}

std::int32_t TStation::GetModemNumber() const
{
    if (ModemNumberVariable)
        return VariableNumber(ModemNumberVariable, 0);
    return GetConnParams().ModemNumber;
}

bool TStation::GetPollSuspended() const { return (ConnectionControl & ccReadOnce) != 0 && PollSuspended_; }

void TStation::SetPollSuspended(bool suspended) { PollSuspended_ = (ConnectionControl & ccReadOnce) != 0 && suspended; }

std::int32_t TStation::RequestCall()
{
    const std::string phone = GetPhoneNumber();
    std::int32_t result = 1;
    if (!phone.empty()) {
        result = 2;
        if (TModem* modem = ModemList ? ModemList->FindModemFor(this) : nullptr) {
            modem->QueueStation(this);
            return 0;
        }
        SetCallResult(1);
        SetModemError(50);
    } else {
        SetCallResult(1);
        SetModemError(8);
    }
    SetState(ssBlocked);
    return result;
}

std::int32_t TStation::ReleaseLine()
{
    if (Channel) {
        Channel->WriteQueue.RemoveStation(this);
        Channel->ReadQueue.RemoveStation(this);
    }
    if (ModemList)
        for (auto& modem : *ModemList)
            if (modem->IsQueued(this) || modem->IsAttached(this)) {
                modem->ReleaseStation(this);
                return 0;
            }
    return 1;
}

void TStation::StartCall()
{
    SetDialState(2);
    SetModemError(0);
    CallTime = plat::clock().now();
}

TVariable* TStation::AddInternalVariable(const std::string& name, VARTYPE type, std::int32_t kind)
{
    TVariable* v = AddVariable();
    v->ID = -1;
    v->Name = name;
    v->CanonicalType = type;
    v->RequestedType = type;
    v->SetKind(kind);
    v->InitValue();
    return v;
}

bool TStation::IsStationServiceKind(std::int32_t kind)
{
    switch (kind) {
    case vkDateTime:
    case vkDrwAddress:
    case vkDrwLength:
    case vkDrwControl:
    case vkDrwDataBuffer:
    case vkDrwStatus:
    case vkDrwZone:
    case vkPhoneNumber:
    case vkControlAlt:
    case vkDialState:
    case vkCallResult:
    case vkModemError:
    case vkDialStateText:
    case vkCallResultText:
    case vkModemErrorText:
    case vkModemNumber:
    case vkConControl:
    case vkStationField41:
        return true;
    default:
        return false;
    }
}

bool TStation::BindServiceVariable(TVariable* v)
{
    // Another station's variable, or a modem's, would leave this station acting on it.
    if (!v || v->GetStation() != this)
        return false;
    switch (v->Kind) {
    case vkDateTime: DateTimeVariable = v; break;
    case vkDrwAddress: DRW_Address = v; break;
    case vkDrwLength: DRW_Length = v; break;
    case vkDrwControl: DRW_Control = v; break;
    case vkDrwDataBuffer: DRW_DataBuffer = v; break;
    case vkDrwStatus: DRW_Status = v; break;
    case vkDrwZone: DRW_Zone = v; break;
    case vkPhoneNumber: PhoneNumberVariable = v; break;
    case vkControlAlt:
    case vkConControl: ControlVariable = v; break;
    case vkDialState: DialStateVariable = v; break;
    case vkDialStateText: DialStateTextVariable = v; break;
    case vkCallResult: CallResultVariable = v; break;
    case vkCallResultText: CallResultTextVariable = v; break;
    case vkModemError: ModemErrorVariable = v; break;
    case vkModemErrorText: ModemErrorTextVariable = v; break;
    case vkModemNumber: ModemNumberVariable = v; break;
    case vkStationField41: Field41Variable = v; break;
    default: return false;
    }
    return true;
}

void TStation::UnbindServiceVariable(const TVariable* v)
{
    for (TVariable** slot :
         {&TimeStampVariable, &DateTimeVariable, &DRW_Address, &DRW_Length, &DRW_Control, &DRW_DataBuffer,
          &DRW_Status, &DRW_Zone, &PhoneNumberVariable, &ControlVariable, &DialStateVariable,
          &DialStateTextVariable, &CallResultVariable, &CallResultTextVariable, &ModemErrorVariable,
          &ModemErrorTextVariable, &ModemNumberVariable, &Field41Variable})
        if (*slot == v)
            *slot = nullptr;
}

}  // namespace vx

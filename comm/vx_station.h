#pragma once
// One PLC with its primary and standby connection, its connection state and identity, and
// the service variables that mirror its fields.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/com/types.h"
#include "vx_classes.h"

namespace vx {

// The one variable a station creates by itself; configured names must not take it.
inline constexpr char kTimeStampVariableName[] = "INT_TimeStamp";

class TCOM;
class TVariable;

// Connection states.
enum TStationState : std::int32_t {
    ssDisconnected = 0,
    ssConnected = 1,
    ssConnectSent = 2,
    ssIdentToRead = 3,
    ssFailed = 4,
    ssBlocked = 5,
};

// Connection types of TConnectionParams.
enum TConnectionType : std::int32_t {
    ctSerial = 0,
    ctModem = 1,
    ctUdp = 2,
    ctLunaro = 3,
    ctTcp = 4,
};

// Bits of the connection control word.
enum : std::int32_t {
    ccEnabled = 1,
    ccReadOnce = 2,
    ccUseStandby = 4,
};

class TStation : public TParentTreeObject {
public:
    explicit TStation(TTreeObject* owner);
    ~TStation() override;

    // Standby when UseBackup, else Primary.
    TConnectionParams& GetConnParams() const;
    void SetPlcFamily(std::int32_t family) { PlcFamily = family; }
    void SetState(std::int32_t state);
    void SetControl(std::int32_t control);
    void SetUseBackup(bool standby);
    void SetIdentity(const std::string& identity);
    void RecountActive();
    bool ReconnectDue(double now) const;
    void SetDialState(std::int32_t state);
    void SetCallResult(std::int32_t result);
    void SetModemError(std::int32_t error);
    std::string GetPhoneNumber() const;
    void SetPhoneNumber(const std::string& number);
    std::int32_t GetModemNumber() const;
    // The read-once mark counts only while control bit 1 is set.
    bool GetPollSuspended() const;
    void SetPollSuspended(bool suspended);
    // 0 a modem took the station, 1 no phone number, 2 no modem can call it.
    std::int32_t RequestCall();
    // Frees the station's queued packets and lets its modem go; 1 when no modem held it.
    std::int32_t ReleaseLine();
    void StartCall();
    TVariable* AddInternalVariable(const std::string& name, VARTYPE type, std::int32_t kind);
    // Binds a configured service variable of a station kind to the station field of its
    // kind; false, binding nothing, for another kind or a variable of another owner.
    bool BindServiceVariable(TVariable* variable);
    // Whether kind is one that a station binds.
    static bool IsStationServiceKind(std::int32_t kind);
    // Forgets every binding to variable (it is being freed).
    void UnbindServiceVariable(const TVariable* variable);
    // False for the CPU classes that have neither the M zone nor block transfer.
    static bool HasBlockTransfer(std::int32_t cpuClass);

    std::string Identity;
    bool Enabled = false;
    bool UseBackup = false;
    std::int32_t CpuClass = 255;
    std::int32_t PlcFamily = 0;
    std::int32_t GoodCount = 0;
    std::int32_t ErrorCount = 0;
    std::int32_t TimeoutCount = 0;
    std::int32_t State = ssDisconnected;
    std::int32_t ConnectionControl = 0;
    bool BusyInDatagram = false;
    std::int32_t DialState = 0;    // 0 quiet, 1 waiting for call, 2 calling, 3 connected
    std::int32_t CallResult = -1;  // -1 none yet, 0 OK, 1 and 2 failed
    std::int32_t ModemError = 0;
    std::string CallResultText;
    std::string ModemErrorText;
    std::string DialStateText;
    std::unique_ptr<TConnectionParams> Primary;
    std::unique_ptr<TConnectionParams> Standby;
    TCOM* Channel = nullptr;  // the channel serving the station, not owned
    std::int32_t ResponseTime = 0;
    std::int32_t FailStreak = 0;
    std::int32_t RedialCount = 0;
    double LastConnectTry = 0;
    double CallTime = 0;
    std::int32_t LastAnswerLength = 0;
    TVariable* TimeStampVariable = nullptr;  // kTimeStampVariableName, listed in Variables

    // Bound service variables, not owned (they live in Variables).
    TVariable* DateTimeVariable = nullptr;
    TVariable* DRW_Address = nullptr;
    TVariable* DRW_Length = nullptr;
    TVariable* DRW_Control = nullptr;
    TVariable* DRW_DataBuffer = nullptr;
    TVariable* DRW_Status = nullptr;
    TVariable* DRW_Zone = nullptr;
    TVariable* PhoneNumberVariable = nullptr;
    TVariable* ControlVariable = nullptr;
    TVariable* DialStateVariable = nullptr;
    TVariable* DialStateTextVariable = nullptr;
    TVariable* CallResultVariable = nullptr;
    TVariable* CallResultTextVariable = nullptr;
    TVariable* ModemErrorVariable = nullptr;
    TVariable* ModemErrorTextVariable = nullptr;
    TVariable* ModemNumberVariable = nullptr;
    TVariable* Field41Variable = nullptr;
    std::uint16_t LastDrwControl = 0;

private:
    void DecodeIdentity();
    void DetachFromChannel();
    bool PollSuspended_ = false;
};

// The first n characters of a UTF-8 text (not bytes, so that no character is cut).
std::string FirstCharacters(const std::string& text, std::size_t n);

}  // namespace vx

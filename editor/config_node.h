#pragma once
// The record of one configuration node, the node kinds, and the constant tables the editor
// shares between its commands and pages.
#include <array>
#include <cstdint>
#include <string>

namespace vos {

class TConfigNode;

enum TConfigNodeKind : std::uint8_t {
    nkServer = 0,
    nkStation = 1,
    nkVariable = 2,
    nkFolder = 3,
    nkModem = 10,
};
// FindNodeByName's kind that matches every node.
inline constexpr std::uint8_t nkAny = 6;

// One configuration node's fields, in the order the configuration file stores them.
// Default-constructed it is zero-filled, as the tree creates it before a file is read into
// it; WithDefaults gives what node creation fills in. Texts are UTF-8.
struct TConfigNodeRec {
    std::string Name;
    std::string Comment;
    std::int32_t Ordinal = 0;
    TConfigNodeKind Kind = nkServer;
    TConfigNode* TreeNode = nullptr;  // the node holding this record; memory only
    std::uint8_t Valid = 0;
    std::uint8_t Saved = 0;
    std::uint8_t Editable = 0;
    std::int32_t ComPort = 0;
    std::int32_t BaudRate = 0;
    std::int32_t Parity = 0;  // 0 none, 1 odd, 2 even
    std::int32_t ConnectionType = 0;  // 0 serial, 1 modem, 2 UDP, 3 development environment, 4 TCP
    std::int32_t Reserved = 0;
    std::int32_t BusAddress = 0;
    std::int32_t StationType = 0;  // PLC family 0..2
    std::int32_t Timeout = 0;      // ms
    std::uint8_t Marker = 0;
    std::int32_t Zone = 0;  // 0 X, 1 Y, 2 S, 3 R, 4 M
    std::int32_t Address = 0;
    std::int32_t BitNumber = 0;
    std::int32_t VarType = 0;  // VARTYPE; arrays carry VT_ARRAY
    std::int32_t StringLength = 0;
    std::int32_t ArrayLength = 0;
    std::uint8_t Readable = 0;
    std::uint8_t Writable = 0;
    std::string Units;
    std::uint8_t Scaled = 0;
    double ScaledHigh = 0;
    double ScaledLow = 0;
    double InstrumentHigh = 0;
    double InstrumentLow = 0;
    std::string CloseLabel;
    std::string OpenLabel;
    double HiHiLimit = 0;
    double HiLimit = 0;
    double LoLimit = 0;
    double LoLoLimit = 0;
    std::int32_t ScaledVarType = 0;
    std::uint8_t Simulated = 0;
    std::int32_t SimulationType = 0;  // 0 user value, 1 random value, 2 ramp
    double SimulationMin = 0;
    double SimulationMax = 0;
    double SimulationGain = 0;
    std::int32_t SimulationPeriod = 0;  // ms
    std::int32_t ServiceCode = 0;       // vx::TVariableKind of a service item
    std::array<double, 10> ReservedDoubles{};
    std::array<std::int32_t, 10> ReservedInts{};
    std::array<std::uint8_t, 10> ReservedBytes{};
    std::string InitialValue;
    std::string IpAddress;
    std::string ReservedText;
    std::int32_t StandbyComPort = 0;
    std::int32_t StandbyBaudRate = 0;
    std::int32_t StandbyParity = 0;
    std::int32_t StandbyConnectionType = 0;  // -1 none
    std::int32_t StandbyBusAddress = 0;
    std::int32_t StandbyTimeout = 0;
    std::string StandbyIpAddress;

    // The creation defaults of a node of this kind, without the numbered default name:
    // the server also gets its name, ordinal 1, Saved and not Editable.
    static TConfigNodeRec WithDefaults(TConfigNodeKind kind);
};

// A new station's addresses: its own host, so that a UDP or TCP station sends nothing onto a
// plant network before the user sets where it is.
inline constexpr char kDefaultIpAddress[] = "127.0.0.1";
inline constexpr char kDefaultStandbyIpAddress[] = "127.0.0.2";
inline constexpr char kServerNodeName[] = "Server";

// Bit rates in the order of the baud combo boxes.
inline constexpr std::array<std::int32_t, 9> kBaudRates = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600};
// The data types of the type combo, in its order, and the types a scaled value may take.
inline constexpr std::array<std::int32_t, 20> kVarTypeList = {
    11, 17, 18, 19, 2, 3, 4, 5, 7, 8, 0x200B, 0x2011, 0x2012, 0x2013, 0x2002, 0x2003, 0x2004, 0x2005, 0x2007, 0x2008};
inline constexpr std::array<std::int32_t, 7> kScaledTypeList = {17, 18, 19, 2, 3, 4, 5};

}  // namespace vos

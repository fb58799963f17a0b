#pragma once
// Configuration fixture generator: writes configuration files (.cfg) from a short text
// description, damaged variants of them and large configurations. It is written from the file's
// byte layout alone and shares no code with the editor's reader and writer, so that each checks
// the other; tests, benchmarks and fuzz seeds take their configuration files from here.
//
// Description syntax (one node per line; see tools/cfggen/README.md for the full list):
//   header version=128          (or: header none)
//   tree version=2
//   server
//     station Name=PLC1 ConnectionType=0 ComPort=1 BusAddress=1
//       services
//       variable Name=Temp VarType=5 Zone=3 Address=10 Comment="Oven \"A\""
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cfggen {

namespace kind {
inline constexpr std::uint8_t Server = 0;
inline constexpr std::uint8_t Station = 1;
inline constexpr std::uint8_t Variable = 2;
inline constexpr std::uint8_t Folder = 3;
inline constexpr std::uint8_t Modem = 10;
}  // namespace kind

// The VARTYPEs of the editor's type list, scalars then arrays.
inline constexpr std::array<std::int32_t, 20> kVarTypeList = {
    11, 17, 18, 19, 2, 3, 4, 5, 7, 8, 0x200B, 0x2011, 0x2012, 0x2013, 0x2002, 0x2003, 0x2004, 0x2005, 0x2007, 0x2008};

inline constexpr std::uint32_t kFileVersion = 128;
inline constexpr std::string_view kSignature = "Vorn OPC Server";
inline constexpr int kPayloadFieldCount = 47;

// The node record as the file stores it, in payload order; texts are Windows-1250 bytes.
// The initializers are the defaults every new node gets; Name and Ordinal come by kind.
struct Record {
    std::string Name;
    std::string Comment;
    std::int32_t Ordinal = 0;
    std::uint8_t Kind = 0;
    std::array<std::uint8_t, 3> KindPad{};  // the three meaningless bytes of field 4
    std::uint8_t Editable = 1;
    std::int32_t ComPort = 1;
    std::int32_t BaudRate = 19200;
    std::int32_t Parity = 2;
    std::int32_t ConnectionType = 0;
    std::int32_t Reserved = 0;
    std::int32_t BusAddress = 0;
    std::int32_t StationType = 0;
    std::int32_t Timeout = 2000;
    std::uint8_t Marker = 1;
    // Field 14's other three bytes; unset, they repeat Zone's first three bytes.
    std::optional<std::array<std::uint8_t, 3>> MarkerPad;
    std::int32_t Zone = 0;
    std::int32_t Address = 0;
    std::int32_t BitNumber = 0;
    std::int32_t VarType = 18;
    std::int32_t StringLength = 0;
    std::int32_t ArrayLength = 0;
    std::uint8_t Readable = 1;
    std::uint8_t Writable = 1;
    std::string Units;
    std::uint8_t Scaled = 0;
    double InstrumentLow = 0;
    double InstrumentHigh = 0;
    double ScaledLow = 0;
    double ScaledHigh = 0;
    std::string CloseLabel = "True";
    std::string OpenLabel = "False";
    double HiHiLimit = 0;
    double HiLimit = 0;
    double LoLimit = 0;
    double LoLoLimit = 0;
    std::int32_t ScaledVarType = 4;
    std::uint8_t Simulated = 0;
    std::int32_t SimulationType = 0;
    double SimulationMin = 0;
    double SimulationMax = 1000;
    double SimulationGain = 10;
    std::int32_t SimulationPeriod = 1000;
    std::int32_t ServiceCode = 0;
    std::array<double, 10> ReservedFloat{};
    std::array<std::int32_t, 10> ReservedInt{};
    std::array<std::uint8_t, 10> ReservedByte{};
    std::string InitialValue;
    std::string IpAddress = "127.0.0.1";
    std::string ReservedText;
    std::int32_t StandbyComPort = 1;
    std::int32_t StandbyBaudRate = 19200;
    std::int32_t StandbyParity = 2;
    std::int32_t StandbyConnectionType = -1;
    std::int32_t StandbyBusAddress = 0;
    std::int32_t StandbyTimeout = 2000;
    std::string StandbyIpAddress = "127.0.0.2";
};

struct Chunk {
    std::int32_t type = 0;
    std::string body;
};

struct Node {
    Record rec;
    std::vector<Node> children;

    // Base chunk body: the tree view's own fields.
    std::uint32_t height = 18;
    std::optional<std::uint16_t> states;  // unset: 0x81 (initialized, visible), | 0x40 with children
    std::uint8_t align = 0;
    std::uint8_t checkState = 0;
    std::uint8_t checkType = 0;
    std::uint32_t baseReserved = 0;  // tree versions 0 and 1: its low half fills the two unnamed bytes

    // Damage: each left at its default gives a sound node block.
    std::optional<std::uint32_t> childCount;  // written in place of the number of children
    int payloadFields = kPayloadFieldCount;   // the payload ends after this field (0: empty user chunk)
    bool payload = true;                      // false: no user chunk at all
    bool extraBase = false;                   // a second base chunk, children included, after the first
    std::optional<std::u16string> caption;    // unset: the name's characters
    bool noCaption = false;
    std::optional<std::int32_t> nodeSize, baseSize, userSize, captionSize;  // chunk sizes as written
    std::vector<Chunk> extraChunks;           // written after the caption, inside the node block

    int line = 0;  // description line, 0 when built in code
};

enum class Standby { Auto, Yes, No };

struct Config {
    bool header = true;
    std::uint32_t version = kFileVersion;
    std::string signature = std::string(kSignature);
    std::optional<std::uint32_t> nodeCount;   // unset: the number of nodes written
    std::optional<std::uint32_t> dataOffset;  // unset: the position after the field

    std::uint16_t treeVersion = 2;
    std::optional<std::uint32_t> topCount;  // version 2 only; unset: the number of top-level nodes
    std::optional<std::string> magic;       // 12 bytes in place of the magic
    // Auto: fields 46-47 are written when the version a reader takes (the header's, or the
    // magic's first four bytes without a header) is at least 128.
    Standby standby = Standby::Auto;
    std::string trailer;  // bytes after the tree stream

    std::vector<Node> nodes;
};

// Per-kind counters of default names, as the editor keeps them.
struct Counters {
    std::int32_t station = 0, variable = 0, folder = 0, modem = 0;
    std::int32_t next(std::uint8_t kind);
};

enum class Lang { English, Czech };

// A node of a kind with the editor's defaults: next Ordinal of the kind (the server 1), the
// default name ("Device" + Ordinal and so on; "Server"), the server not editable.
Node makeNode(std::uint8_t kind, Counters& counters, Lang lang = Lang::English);
// The generated service items: under a station its "Service" folder of sixteen items, under a
// modem its two status items; comments in the given language.
void addServiceItems(Node& owner, Counters& counters, Lang lang = Lang::English);

std::size_t countNodes(const Config& cfg);
std::size_t countNodes(const Node& node);

// Where things landed in the written bytes; npos where nothing was written.
inline constexpr std::size_t npos = std::string::npos;
struct NodeLayout {
    std::size_t start = npos;    // node header (chunk type 1)
    std::size_t base = npos;     // base chunk header (type 2); its body follows at base + 8
    std::size_t user = npos;     // user chunk header (type 4); the payload follows at user + 8
    std::size_t caption = npos;  // caption chunk header (type 3)
    std::size_t end = npos;      // first byte after the node block
    std::array<std::size_t, kPayloadFieldCount + 1> field{};  // [k]: first byte of payload field k
    int depth = 0;               // 0 for a top-level node
    std::size_t parent = npos;   // index of the parent in Layout::nodes
    std::string name;            // UTF-8
};
struct Layout {
    std::size_t tree = npos;      // the magic
    std::size_t topCount = npos;  // the top-level count (version 2)
    std::vector<NodeLayout> nodes;  // in tree order (pre-order), each node once
};
struct Output {
    std::string bytes;
    Layout layout;
};

Output write(const Config& cfg);
// The names from the top level down to the node, joined by ".".
std::string nodePath(const Layout& layout, std::size_t index);

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A description that cannot be read: the message names the line.
class DescriptionError : public Error {
public:
    DescriptionError(int line, const std::string& message);
    int line() const { return line_; }
    const std::string& message() const { return message_; }

private:
    int line_;
    std::string message_;
};

Config parseDescription(std::string_view text);
// parseDescription and write in one step.
std::string fromDescription(std::string_view text);

// A node by its index in tree order ("0" the first top-level node) or by its dotted path of
// names from the top level ("Server.PLC1.Service"); nullptr when there is none.
Node* findNode(Config& cfg, std::string_view which);

// Byte damage on a written file.
void cut(std::string& bytes, std::size_t length);
void patch(std::string& bytes, std::size_t offset, std::string_view data);
std::string fromHex(std::string_view hex);  // "45 20 56" or "452056"
std::string le32(std::uint32_t value);

// A chain `levels` nodes deep (1 to 10,000; the server is level 1): the server, a station,
// folders, and a variable at the bottom.
Config deepConfig(int levels);

// stations x (folders per level, `depth` levels) with `variables` spread over the innermost
// folders (or the stations without folders); the variables take the types of kVarTypeList in
// turn, and every name and station address is unique.
struct LargeParams {
    int stations = 1;
    int folders = 0;
    int depth = 1;
    long variables = 0;
    bool services = true;
    int arrayLength = 4;
    int stringLength = 16;
};
LargeParams parseLargeParams(std::string_view text);  // "stations=50,folders=2,variables=100000"
Config largeConfig(const LargeParams& p);
std::size_t largeNodeCount(const LargeParams& p);

// A random, plausible tree with many name and address clashes, for the validation tests.
struct RandomParams {
    std::uint64_t seed = 1;
    int nodes = 60;
};
RandomParams parseRandomParams(std::string_view text);  // "seed=7,nodes=200"
Config randomConfig(const RandomParams& p);

}  // namespace cfggen

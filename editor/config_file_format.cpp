#include "config_file_format.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace vos {

namespace {

// --- Reasons a read stops; the first five are the tree reader's own texts ---

constexpr char kNotEnoughData[] = "Unable to load tree structure, not enough data available.";
constexpr char kWrongFormat[] = "Unable to load tree structure, the format is wrong.";
constexpr char kUnknownVersion[] = "Unable to load tree structure, the version is unknown.";
constexpr char kAnchorMissing[] = "Stream data corrupt. A node's anchor chunk is missing.";
constexpr char kDataAfterEnd[] = "Stream data corrupt. Unexpected data after node's end position.";
constexpr char kHeaderCut[] = "Stream read error: the header ends before its node count and data offset.";
constexpr char kTopCountMissing[] = "Stream read error: the tree stream ends before its top-level count.";
constexpr char kNodeCut[] = "Stream data corrupt. A node block is cut short.";
constexpr char kTooDeep[] = "Stream data corrupt. The nodes nest deeper than 256 levels.";
constexpr char kBaseShort[] = "Stream data corrupt. The base chunk is shorter than its body.";
constexpr char kSecondBase[] = "Stream data corrupt. A second base chunk in one node.";
constexpr char kSecondUser[] = "Stream data corrupt. A second user chunk in one node.";
constexpr char kNoData[] = "Stream data corrupt. The node has no data.";
constexpr char kNoServer[] = "The configuration holds no server node.";
constexpr char kSecondTop[] = "A second node at the top level, where only the server may be.";
constexpr char kTopNotServer[] = "The node at the top level is not a server.";
constexpr char kNoOwner[] = "A folder or variable without a station, folder or modem above it.";

static_assert(kMaxTreeDepth == 256, "the reason kTooDeep names the limit");

constexpr std::size_t kChunkHeaderSize = 8;
constexpr std::size_t kMagicSize = 12;
// Tree magic words 0, 1, 2 and 5: U+2045 "V" "T" ... " " U+2046; word 3 is the version.
constexpr std::array<std::uint16_t, 6> kMagicWords = {0x2045, 0x0056, 0x0054, 0, 0x0020, 0x2046};
constexpr std::size_t kBaseBody = 17;     // version 2
constexpr std::size_t kOldBaseBody = 14;  // versions 0 and 1
// Fields 1-45: eight texts (their lengths), nineteen i32, fields 4 and 14, five u8, eleven
// f64, and the reserved 10 f64, 10 i32 and 10 u8.
constexpr std::size_t kMinPayloadSize = 8 * 4 + 19 * 4 + 2 * 4 + 5 + 11 * 8 + 10 * 8 + 10 * 4 + 10;
static_assert(kMinPayloadSize == 339);
// The smallest node block a reader accepts: node header and a user chunk with fields 1-45.
constexpr std::size_t kMinNodeBlock = kChunkHeaderSize + kChunkHeaderSize + kMinPayloadSize;

struct FormatError {
    std::size_t offset;
    std::string reason;
};

[[noreturn]] void Fail(std::size_t offset, std::string reason) { throw FormatError{offset, std::move(reason)}; }

// --- Little-endian bytes ---

template <class T>
T LoadLE(const char* p)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    if constexpr (std::is_same_v<T, double>) {
        double d;
        std::memcpy(&d, &v, sizeof d);
        return d;
    } else {
        return static_cast<T>(v);
    }
}

void Put8(std::string& out, std::uint8_t v) { out += static_cast<char>(v); }
void Put16(std::string& out, std::uint16_t v)
{
    Put8(out, static_cast<std::uint8_t>(v));
    Put8(out, static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::string& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        Put8(out, static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutI32(std::string& out, std::int32_t v) { Put32(out, static_cast<std::uint32_t>(v)); }
void PutF64(std::string& out, double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i)
        Put8(out, static_cast<std::uint8_t>(bits >> (8 * i)));
}
void PutBytes(std::string& out, std::string_view bytes)
{
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("a text too long for the configuration file");
    Put32(out, static_cast<std::uint32_t>(bytes.size()));
    out += bytes;
}
void Patch32(std::string& out, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// --- Windows-1250, every byte kept ---

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One UTF-8 sequence at text[i]; a malformed one gives U+FFFD and moves one byte on.
char32_t NextUtf8(std::string_view text, std::size_t& i)
{
    const auto b0 = static_cast<unsigned char>(text[i]);
    const int len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    if (len == 0 || text.size() - i < static_cast<std::size_t>(len)) {
        ++i;
        return 0xFFFD;
    }
    char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1Fu) : len == 3 ? (b0 & 0x0Fu) : (b0 & 0x07u);
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (b & 0x3Fu);
    }
    constexpr char32_t kMinFor[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMinFor[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += static_cast<std::size_t>(len);
    return c;
}

// The upper half of the code page, taken from the platform's table; a byte the code page
// leaves undefined stands for the character of its own value, as Windows maps it.
struct CodePage {
    std::array<char16_t, 128> unicode{};
    std::array<std::string, 128> utf8;
    std::array<std::pair<char32_t, std::uint8_t>, 128> byCode{};  // sorted by character

    CodePage()
    {
        for (std::size_t k = 0; k < 128; ++k) {
            const char byte = static_cast<char>(0x80 + k);
            const std::u16string w = plat::utf8ToUtf16(plat::cp1250ToUtf8(std::string_view(&byte, 1)));
            const char16_t c = w.size() == 1 && w[0] != 0xFFFD ? w[0] : static_cast<char16_t>(0x80 + k);
            unicode[k] = c;
            AppendUtf8(utf8[k], c);
            byCode[k] = {c, static_cast<std::uint8_t>(0x80 + k)};
        }
        std::sort(byCode.begin(), byCode.end());
    }
};

const CodePage& Cp1250()
{
    static const CodePage table;
    return table;
}

bool IsAscii(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The caption: each file byte of the name as its UTF-16 unit.
void PutCaption(std::string& out, std::string_view nameBytes)
{
    const auto& cp = Cp1250();
    for (char ch : nameBytes) {
        const auto b = static_cast<unsigned char>(ch);
        Put16(out, b < 0x80 ? b : cp.unicode[b - 0x80]);
    }
}

// --- Payload ---

class PayloadReader {
public:
    PayloadReader(std::string_view chunk, std::size_t offset) : chunk_(chunk), offset_(offset) {}

    void Field(int number) { field_ = number; }
    std::size_t Left() const { return chunk_.size() - pos_; }

    std::uint8_t U8() { return Take<std::uint8_t>(); }
    std::int32_t I32() { return Take<std::int32_t>(); }
    double F64() { return Take<double>(); }
    std::string Text()
    {
        const std::size_t at = pos_;
        const auto length = Take<std::uint32_t>();
        if (length > Left())
            Fail(offset_ + at, "Stream data corrupt. The text of field " + std::to_string(field_) +
                                   " runs past its chunk (" + std::to_string(length) + " bytes).");
        const std::string_view bytes = chunk_.substr(pos_, length);
        pos_ += length;
        return ConfigTextFromFile(bytes);
    }

private:
    template <class T>
    T Take()
    {
        if (Left() < sizeof(T))
            Fail(offset_ + pos_, "Stream data corrupt. The node's data ends before field " + std::to_string(field_) +
                                     " is complete.");
        const T v = LoadLE<T>(chunk_.data() + pos_);
        pos_ += sizeof(T);
        return v;
    }

    std::string_view chunk_;
    std::size_t offset_;
    std::size_t pos_ = 0;
    int field_ = 1;
};

void ReadPayload(PayloadReader& r, std::uint32_t version, TConfigNodeRec& rec)
{
    r.Field(1);
    rec.Name = r.Text();
    r.Field(2);
    rec.Comment = r.Text();
    r.Field(3);
    rec.Ordinal = r.I32();
    r.Field(4);
    rec.Kind = static_cast<TConfigNodeKind>(r.U8());
    for (int i = 0; i < 3; ++i)
        (void)r.U8();  // no meaning
    r.Field(5);
    rec.Editable = r.U8();
    rec.Valid = 1;
    rec.Saved = 1;
    r.Field(6);
    rec.ComPort = r.I32();
    r.Field(7);
    rec.BaudRate = r.I32();
    r.Field(8);
    rec.Parity = r.I32();
    r.Field(9);
    rec.ConnectionType = r.I32();
    r.Field(10);
    rec.Reserved = r.I32();
    r.Field(11);
    rec.BusAddress = r.I32();
    r.Field(12);
    rec.StationType = r.I32();
    r.Field(13);
    rec.Timeout = r.I32();
    r.Field(14);
    rec.Marker = r.U8();
    for (int i = 0; i < 3; ++i)
        (void)r.U8();  // Zone's first bytes once more
    r.Field(15);
    rec.Zone = r.I32();
    r.Field(16);
    rec.Address = r.I32();
    r.Field(17);
    rec.BitNumber = r.I32();
    r.Field(18);
    rec.VarType = r.I32();
    r.Field(19);
    rec.StringLength = r.I32();
    r.Field(20);
    rec.ArrayLength = r.I32();
    r.Field(21);
    rec.Readable = r.U8();
    r.Field(22);
    rec.Writable = r.U8();
    r.Field(23);
    rec.Units = r.Text();
    r.Field(24);
    rec.Scaled = r.U8();
    r.Field(25);
    rec.InstrumentLow = r.F64();
    r.Field(26);
    rec.InstrumentHigh = r.F64();
    r.Field(27);
    rec.ScaledLow = r.F64();
    r.Field(28);
    rec.ScaledHigh = r.F64();
    r.Field(29);
    rec.CloseLabel = r.Text();
    r.Field(30);
    rec.OpenLabel = r.Text();
    r.Field(31);
    rec.HiHiLimit = r.F64();
    rec.HiLimit = r.F64();
    rec.LoLimit = r.F64();
    rec.LoLoLimit = r.F64();
    r.Field(32);
    rec.ScaledVarType = r.I32();
    r.Field(33);
    rec.Simulated = r.U8();
    r.Field(34);
    rec.SimulationType = r.I32();
    r.Field(35);
    rec.SimulationMin = r.F64();
    r.Field(36);
    rec.SimulationMax = r.F64();
    r.Field(37);
    rec.SimulationGain = r.F64();
    r.Field(38);
    rec.SimulationPeriod = r.I32();
    r.Field(39);
    rec.ServiceCode = r.I32();
    r.Field(40);
    for (auto& d : rec.ReservedDoubles)
        d = r.F64();
    r.Field(41);
    for (auto& i : rec.ReservedInts)
        i = r.I32();
    r.Field(42);
    for (auto& b : rec.ReservedBytes)
        b = r.U8();
    r.Field(43);
    rec.InitialValue = r.Text();
    r.Field(44);
    rec.IpAddress = r.Text();
    r.Field(45);
    rec.ReservedText = r.Text();
    // Headerless files were written with and without the standby fields: a chunk that ends
    // here leaves them 0, one that ends inside them is corrupt.
    if (version < kStandbyFieldsVersion || r.Left() == 0)
        return;
    r.Field(46);
    rec.StandbyComPort = r.I32();
    rec.StandbyBaudRate = r.I32();
    rec.StandbyParity = r.I32();
    rec.StandbyConnectionType = r.I32();
    rec.StandbyBusAddress = r.I32();
    rec.StandbyTimeout = r.I32();
    r.Field(47);
    rec.StandbyIpAddress = r.Text();
}

// --- Tree stream ---

class TreeReader {
public:
    TreeReader(std::string_view bytes, TConfigTree& tree, TConfigReadResult& result, const TConfigProgress& progress)
        : bytes_(bytes), tree_(tree), result_(result), progress_(progress)
    {
    }

    void Run()
    {
        TConfigHeaderRead header = ReadConfigHeader(bytes_);
        result_.Header = header.Header;
        if (header.Error)
            throw FormatError{header.Error->Offset, header.Error->Reason};
        if (progress_.SetMaximum)
            progress_.SetMaximum(header.Header.NodeCount);

        std::size_t pos = header.TreeStart;
        if (bytes_.size() - pos < kMagicSize)
            Fail(pos, kNotEnoughData);
        for (std::size_t w : {0, 1, 2, 5})
            if (U16At(pos + 2 * w) != kMagicWords[w])
                Fail(pos, kWrongFormat);
        const std::uint16_t version = U16At(pos + 6);
        if (version > kTreeStreamVersion)
            Fail(pos + 6, kUnknownVersion);
        baseBody_ = version >= 2 ? kBaseBody : kOldBaseBody;
        pos += kMagicSize;
        // Versions 0 and 1 count no top-level nodes: they run to the end.
        std::uint64_t count = std::numeric_limits<std::uint64_t>::max();
        if (version >= 2) {
            if (bytes_.size() - pos < 4)
                Fail(pos, kTopCountMissing);
            count = U32At(pos);
            pos += 4;
        }
        for (std::uint64_t n = 0; n < count && pos < bytes_.size(); ++n)
            NodeBlock(pos, bytes_.size(), tree_.Root(), 1);

        if (tree_.Root()->ChildCount() == 0)
            Fail(pos, kNoServer);
        if (auto error = CheckConfigStructure(tree_, offsets_))
            throw FormatError{error->Offset, error->Reason};
    }

private:
    std::uint16_t U16At(std::size_t at) const { return LoadLE<std::uint16_t>(bytes_.data() + at); }
    std::uint32_t U32At(std::size_t at) const { return LoadLE<std::uint32_t>(bytes_.data() + at); }
    std::int32_t I32At(std::size_t at) const { return LoadLE<std::int32_t>(bytes_.data() + at); }

    // One node block at pos, which must end by limit (its parent's base chunk, or the file).
    void NodeBlock(std::size_t& pos, std::size_t limit, TConfigNode* parent, int level)
    {
        const std::size_t start = pos;
        if (limit - start < kChunkHeaderSize)
            Fail(start, kNodeCut);
        if (I32At(start) != tcNode)
            Fail(start, kAnchorMissing);
        const std::int32_t size = I32At(start + 4);
        if (size < 0 || static_cast<std::size_t>(size) > limit - start - kChunkHeaderSize)
            Fail(start + 4, "Stream data corrupt. The node's size " + std::to_string(size) + " runs past " +
                                (level == 1 ? "the end of the file." : "its parent's base chunk."));
        if (level > kMaxTreeDepth)
            Fail(start, kTooDeep);
        TConfigNode* node = tree_.AddChild(parent);
        if (!node)
            Fail(start, kTooDeep);
        offsets_.push_back(start);

        const std::size_t end = start + kChunkHeaderSize + static_cast<std::size_t>(size);
        bool base = false;
        bool user = false;
        for (std::size_t at = start + kChunkHeaderSize; at < end;) {
            if (end - at < kChunkHeaderSize)
                Fail(at, kDataAfterEnd);
            const std::int32_t type = I32At(at);
            const std::int32_t chunkSize = I32At(at + 4);
            if (chunkSize < 0 || static_cast<std::size_t>(chunkSize) > end - at - kChunkHeaderSize)
                Fail(at + 4, "Stream data corrupt. The size " + std::to_string(chunkSize) + " of a chunk of type " +
                                 std::to_string(type) + " runs past its node's end.");
            const std::size_t body = at + kChunkHeaderSize;
            const std::size_t chunkEnd = body + static_cast<std::size_t>(chunkSize);
            switch (type) {
            case tcBase:
                if (base)
                    Fail(at, kSecondBase);
                base = true;
                BaseChunk(body, chunkEnd, node, level);
                break;
            case tcUser:
                if (chunkSize == 0)
                    break;
                if (user)
                    Fail(at, kSecondUser);
                user = true;
                LoadNode(bytes_.substr(body, static_cast<std::size_t>(chunkSize)), body, *node);
                break;
            default:
                break;  // the caption is the name again; unknown chunks are skipped
            }
            // Whatever a chunk's reader took, the next chunk starts where its size says.
            at = chunkEnd;
        }
        if (!user)
            Fail(start, kNoData);
        pos = end;
    }

    void BaseChunk(std::size_t body, std::size_t end, TConfigNode* node, int level)
    {
        if (end - body < baseBody_)
            Fail(body, kBaseShort);
        const std::uint32_t count = U32At(body);
        TNodeViewFields view;
        view.Height = U32At(body + 4);
        if (baseBody_ == kBaseBody) {
            view.States = U16At(body + 8);
            view.Alignment = static_cast<std::uint8_t>(bytes_[body + 10]);
            view.CheckState = static_cast<std::uint8_t>(bytes_[body + 11]);
            view.CheckType = static_cast<std::uint8_t>(bytes_[body + 12]);
        } else {
            // The old state byte: bit 7 there is "selected" (bit 8) now, and every node is visible.
            const auto old = static_cast<std::uint8_t>(bytes_[body + 8]);
            view.States = static_cast<std::uint16_t>(old | nsVisible | ((old & 0x80) ? nsSelected : 0));
            view.Alignment = static_cast<std::uint8_t>(bytes_[body + 9]);
            view.CheckState = static_cast<std::uint8_t>(bytes_[body + 10]);
            view.CheckType = static_cast<std::uint8_t>(bytes_[body + 11]);
        }
        node->View = view;

        std::size_t at = body + baseBody_;
        const std::size_t room = end - at;
        if (count > room / kMinNodeBlock)
            Fail(body, "Stream data corrupt. The child count " + std::to_string(count) + " exceeds what " +
                           std::to_string(room) + " bytes can hold.");
        for (std::uint32_t i = 0; i < count; ++i)
            NodeBlock(at, end, node, level + 1);
    }

    void LoadNode(std::string_view chunk, std::size_t offset, TConfigNode& node)
    {
        TConfigNodeRec rec;
        if (auto error = VST_TreeLoadNode(chunk, offset, result_.Header.Version, rec))
            throw FormatError{error->Offset, std::move(error->Reason)};
        const std::int32_t ordinal = rec.Ordinal;
        switch (rec.Kind) {
        case nkStation:
            result_.StationCounter = std::max(result_.StationCounter, ordinal);
            break;
        case nkVariable:
            result_.VariableCounter = std::max(result_.VariableCounter, ordinal);
            break;
        case nkFolder:
            result_.FolderCounter = std::max(result_.FolderCounter, ordinal);
            break;
        case nkModem:
            result_.ModemCounter = std::max(result_.ModemCounter, ordinal);
            break;
        default:
            break;
        }
        node.SetRec(std::move(rec));
        if (progress_.SetPosition)
            progress_.SetPosition(++position_);
    }

    std::string_view bytes_;
    TConfigTree& tree_;
    TConfigReadResult& result_;
    const TConfigProgress& progress_;
    std::size_t baseBody_ = kBaseBody;
    std::size_t position_ = 0;
    std::vector<std::size_t> offsets_;  // each node's block, in tree order
};

class TreeWriter {
public:
    TreeWriter(std::string& out, const TConfigProgress& progress) : out_(out), progress_(progress) {}

    void NodeBlock(const TConfigNode& node)
    {
        const std::size_t start = OpenChunk(tcNode);

        const std::size_t base = OpenChunk(tcBase);
        Put32(out_, static_cast<std::uint32_t>(node.ChildCount()));
        Put32(out_, node.View.Height);
        std::uint16_t states = (node.View.States & kStoredStatesMask) | nsInitialized;
        if (node.HasChildren())
            states |= nsHasChildren;
        else
            states &= static_cast<std::uint16_t>(~nsHasChildren);
        Put16(out_, states);
        Put8(out_, node.View.Alignment);
        Put8(out_, node.View.CheckState);
        Put8(out_, node.View.CheckType);
        Put32(out_, 0);
        for (int i = 0; i < node.ChildCount(); ++i)
            NodeBlock(*node.Child(i));
        CloseChunk(base);

        const std::size_t user = OpenChunk(tcUser);
        VST_TreeSaveNode(out_, node.Rec());
        if (out_.size() == user + kChunkHeaderSize)
            out_.resize(user);
        else
            CloseChunk(user);
        if (progress_.SetPosition)
            progress_.SetPosition(++position_);

        if (!node.Rec().Name.empty()) {
            const std::string name = ConfigTextToFile(node.Rec().Name);
            const std::size_t caption = OpenChunk(tcCaption);
            PutCaption(out_, name);
            CloseChunk(caption);
        }
        CloseChunk(start);
    }

private:
    std::size_t OpenChunk(TTreeChunk type)
    {
        const std::size_t at = out_.size();
        PutI32(out_, type);
        Put32(out_, 0);
        return at;
    }
    // The size counts the bytes after the chunk header.
    void CloseChunk(std::size_t at)
    {
        const std::size_t size = out_.size() - at - kChunkHeaderSize;
        if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            throw std::length_error("a configuration too large for the file's chunk sizes");
        Patch32(out_, at + 4, static_cast<std::uint32_t>(size));
    }

    std::string& out_;
    const TConfigProgress& progress_;
    std::size_t position_ = 0;
};

// The structure check's walk; offsets and index follow tree order.
class StructureCheck {
public:
    explicit StructureCheck(std::span<const std::size_t> offsets) : offsets_(offsets) {}

    std::optional<TConfigReadError> Run(const TConfigTree& tree)
    {
        const TConfigNode* root = tree.Root();
        if (root->ChildCount() == 0)
            return TConfigReadError{0, kNoServer};
        for (int i = 0; i < root->ChildCount(); ++i) {
            const TConfigNode* top = root->Child(i);
            if (i > 0)
                return TConfigReadError{OffsetOf(index_), kSecondTop};
            if (top->Rec().Kind != nkServer)
                return TConfigReadError{OffsetOf(index_), kTopNotServer};
            if (auto error = Walk(*top, false))
                return error;
        }
        return std::nullopt;
    }

private:
    std::size_t OffsetOf(std::size_t index) const { return index < offsets_.size() ? offsets_[index] : 0; }

    // node has been checked; its children have an owner above when ownerAbove or node is one.
    std::optional<TConfigReadError> Walk(const TConfigNode& node, bool ownerAbove)
    {
        ++index_;
        const auto kind = node.Rec().Kind;
        ownerAbove = ownerAbove || kind == nkStation || kind == nkFolder || kind == nkModem;
        for (int i = 0; i < node.ChildCount(); ++i) {
            const TConfigNode& child = *node.Child(i);
            const auto childKind = child.Rec().Kind;
            if ((childKind == nkFolder || childKind == nkVariable) && !ownerAbove)
                return TConfigReadError{OffsetOf(index_), kNoOwner};
            if (auto error = Walk(child, ownerAbove))
                return error;
        }
        return std::nullopt;
    }

    std::span<const std::size_t> offsets_;
    std::size_t index_ = 0;
};

}  // namespace

std::string ConfigTextFromFile(std::string_view bytes)
{
    if (IsAscii(bytes))
        return std::string(bytes);
    const auto& cp = Cp1250();
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80)
            out += ch;
        else
            out += cp.utf8[b - 0x80];
    }
    return out;
}

std::string ConfigTextToFile(std::string_view text)
{
    if (IsAscii(text))
        return std::string(text);
    const auto& cp = Cp1250();
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = NextUtf8(text, i);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        const auto it = std::lower_bound(cp.byCode.begin(), cp.byCode.end(), std::pair<char32_t, std::uint8_t>{c, 0});
        out += it != cp.byCode.end() && it->first == c ? static_cast<char>(it->second) : '?';
    }
    return out;
}

void StoreConfigHeader(std::string& out, std::uint32_t nodeCount)
{
    Put32(out, kConfigFileVersion);
    PutBytes(out, kConfigSignature);
    Put32(out, nodeCount);
    Put32(out, static_cast<std::uint32_t>(out.size() + 4));
}

TConfigHeaderRead ReadConfigHeader(std::string_view bytes)
{
    TConfigHeaderRead r;
    char first[4] = {};
    if (!bytes.empty())
        std::memcpy(first, bytes.data(), std::min<std::size_t>(4, bytes.size()));
    r.Header.Version = LoadLE<std::uint32_t>(first);
    const std::size_t signatureEnd = 8 + kConfigSignature.size();
    const bool header = bytes.size() >= signatureEnd &&
                        LoadLE<std::uint32_t>(bytes.data() + 4) == kConfigSignature.size() &&
                        bytes.substr(8, kConfigSignature.size()) == kConfigSignature;
    if (!header)
        return r;  // a bare tree stream from offset 0
    r.Header.Signature = std::string(kConfigSignature);
    if (bytes.size() < kConfigHeaderSize) {
        r.Error = TConfigReadError{signatureEnd, kHeaderCut};
        return r;
    }
    r.Header.NodeCount = LoadLE<std::uint32_t>(bytes.data() + signatureEnd);
    r.Header.DataOffset = LoadLE<std::uint32_t>(bytes.data() + signatureEnd + 4);
    r.TreeStart = kConfigHeaderSize;
    return r;
}

void VST_TreeSaveNode(std::string& out, const TConfigNodeRec& rec)
{
    PutBytes(out, ConfigTextToFile(rec.Name));
    PutBytes(out, ConfigTextToFile(rec.Comment));
    PutI32(out, rec.Ordinal);
    Put8(out, rec.Kind);
    Put8(out, 0);
    Put8(out, 0);
    Put8(out, 0);
    Put8(out, rec.Editable);
    PutI32(out, rec.ComPort);
    PutI32(out, rec.BaudRate);
    PutI32(out, rec.Parity);
    PutI32(out, rec.ConnectionType);
    PutI32(out, rec.Reserved);
    PutI32(out, rec.BusAddress);
    PutI32(out, rec.StationType);
    PutI32(out, rec.Timeout);
    // Field 14 is four bytes wide: Marker, then Zone's first three bytes as the file always had them.
    Put8(out, rec.Marker);
    const auto zone = static_cast<std::uint32_t>(rec.Zone);
    Put8(out, static_cast<std::uint8_t>(zone));
    Put8(out, static_cast<std::uint8_t>(zone >> 8));
    Put8(out, static_cast<std::uint8_t>(zone >> 16));
    PutI32(out, rec.Zone);
    PutI32(out, rec.Address);
    PutI32(out, rec.BitNumber);
    PutI32(out, rec.VarType);
    PutI32(out, rec.StringLength);
    PutI32(out, rec.ArrayLength);
    Put8(out, rec.Readable);
    Put8(out, rec.Writable);
    PutBytes(out, ConfigTextToFile(rec.Units));
    Put8(out, rec.Scaled);
    PutF64(out, rec.InstrumentLow);
    PutF64(out, rec.InstrumentHigh);
    PutF64(out, rec.ScaledLow);
    PutF64(out, rec.ScaledHigh);
    PutBytes(out, ConfigTextToFile(rec.CloseLabel));
    PutBytes(out, ConfigTextToFile(rec.OpenLabel));
    PutF64(out, rec.HiHiLimit);
    PutF64(out, rec.HiLimit);
    PutF64(out, rec.LoLimit);
    PutF64(out, rec.LoLoLimit);
    PutI32(out, rec.ScaledVarType);
    Put8(out, rec.Simulated);
    PutI32(out, rec.SimulationType);
    PutF64(out, rec.SimulationMin);
    PutF64(out, rec.SimulationMax);
    PutF64(out, rec.SimulationGain);
    PutI32(out, rec.SimulationPeriod);
    PutI32(out, rec.ServiceCode);
    for (double d : rec.ReservedDoubles)
        PutF64(out, d);
    for (std::int32_t i : rec.ReservedInts)
        PutI32(out, i);
    for (std::uint8_t b : rec.ReservedBytes)
        Put8(out, b);
    PutBytes(out, ConfigTextToFile(rec.InitialValue));
    PutBytes(out, ConfigTextToFile(rec.IpAddress));
    PutBytes(out, ConfigTextToFile(rec.ReservedText));
    PutI32(out, rec.StandbyComPort);
    PutI32(out, rec.StandbyBaudRate);
    PutI32(out, rec.StandbyParity);
    PutI32(out, rec.StandbyConnectionType);
    PutI32(out, rec.StandbyBusAddress);
    PutI32(out, rec.StandbyTimeout);
    PutBytes(out, ConfigTextToFile(rec.StandbyIpAddress));
}

std::optional<TConfigReadError> VST_TreeLoadNode(std::string_view chunk, std::size_t chunkOffset,
                                                 std::uint32_t version, TConfigNodeRec& rec)
{
    try {
        PayloadReader reader(chunk, chunkOffset);
        ReadPayload(reader, version, rec);
    } catch (FormatError& e) {
        return TConfigReadError{e.offset, std::move(e.reason)};
    }
    return std::nullopt;
}

std::optional<TConfigReadError> CheckConfigStructure(const TConfigTree& tree, std::span<const std::size_t> nodeOffsets)
{
    return StructureCheck(nodeOffsets).Run(tree);
}

TConfigReadResult ReadConfiguration(std::string_view bytes, TConfigTree& tree, const TConfigProgress& progress)
{
    TConfigReadResult result;
    TConfigTreeReset reset(tree);
    tree.Clear();
    try {
        TreeReader(bytes, tree, result, progress).Run();
        result.Ok = true;
    } catch (FormatError& e) {
        tree.Clear();
        result.Error = {e.offset, std::move(e.reason)};
        result.StationCounter = result.VariableCounter = result.FolderCounter = result.ModemCounter = 0;
    }
    return result;
}

std::string WriteConfiguration(const TConfigTree& tree, const TConfigProgress& progress)
{
    std::string out;
    if (progress.SetMaximum)
        progress.SetMaximum(tree.NodeCount());
    const std::size_t count = tree.NodeCount();
    if (count > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("too many nodes for the configuration file's header");
    StoreConfigHeader(out, static_cast<std::uint32_t>(count));
    static constexpr char kMagic[kMagicSize] = {'\x45', '\x20', '\x56', '\x00', '\x54', '\x00',
                                                static_cast<char>(kTreeStreamVersion), '\x00',
                                                '\x20', '\x00', '\x46', '\x20'};
    out.append(kMagic, kMagicSize);
    const TConfigNode* root = tree.Root();
    Put32(out, static_cast<std::uint32_t>(root->ChildCount()));
    TreeWriter writer(out, progress);
    for (int i = 0; i < root->ChildCount(); ++i)
        writer.NodeBlock(*root->Child(i));
    return out;
}

}  // namespace vos

// The file's bytes: header, tree stream, node blocks and payloads, all little-endian.
#include <cstring>

#include "platform/text.h"
#include "tools/cfggen/cfggen.h"
#include "tools/cfggen/fields.h"

namespace cfggen {
namespace {

using detail::FieldDef;
using detail::FieldType;

constexpr std::int32_t kChunkNode = 1;
constexpr std::int32_t kChunkBase = 2;
constexpr std::int32_t kChunkCaption = 3;
constexpr std::int32_t kChunkUser = 4;

constexpr std::uint16_t kStateInitialized = 0x0001;
constexpr std::uint16_t kStateHasChildren = 0x0040;
constexpr std::uint16_t kStateVisible = 0x0080;

// U+2045 "V" "T" version " " U+2046
std::string magicFor(std::uint16_t version)
{
    std::string m("\x45\x20\x56\x00\x54\x00\x00\x00\x20\x00\x46\x20", 12);
    m[6] = static_cast<char>(version & 0xFF);
    m[7] = static_cast<char>(version >> 8);
    return m;
}

// The caption holds the name's characters: each Windows-1250 byte as its UTF-16 unit; the five
// bytes the code page leaves undefined keep their own value (U+0081 and so on), as Windows maps them.
std::u16string captionOf(const std::string& name)
{
    std::u16string out;
    out.reserve(name.size());
    for (char ch : name) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            continue;
        }
        const std::u16string w = plat::utf8ToUtf16(plat::cp1250ToUtf8(std::string(1, ch)));
        out += (w.size() == 1 && w[0] != 0xFFFD) ? w[0] : static_cast<char16_t>(b);
    }
    return out;
}

class Writer {
public:
    explicit Writer(const Config& cfg) : cfg_(cfg) {}

    Output run()
    {
        const std::string magic = cfg_.magic ? *cfg_.magic : magicFor(cfg_.treeVersion);
        std::uint32_t readerVersion = cfg_.version;
        if (!cfg_.header) {
            std::string first = magic;
            first.resize(4, '\0');
            readerVersion = static_cast<std::uint32_t>(static_cast<unsigned char>(first[0])) |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(first[1])) << 8 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(first[2])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(first[3])) << 24;
        }
        standby_ = cfg_.standby == Standby::Yes || (cfg_.standby == Standby::Auto && readerVersion >= kFileVersion);

        if (cfg_.header) {
            put32(cfg_.version);
            putText(cfg_.signature);
            put32(cfg_.nodeCount ? *cfg_.nodeCount : static_cast<std::uint32_t>(countNodes(cfg_)));
            put32(cfg_.dataOffset ? *cfg_.dataOffset : static_cast<std::uint32_t>(out_.bytes.size() + 4));
        }
        out_.layout.tree = out_.bytes.size();
        out_.bytes += magic;
        if (cfg_.treeVersion >= 2) {
            out_.layout.topCount = out_.bytes.size();
            put32(cfg_.topCount ? *cfg_.topCount : static_cast<std::uint32_t>(cfg_.nodes.size()));
        }
        for (const Node& n : cfg_.nodes)
            node(n, 0, npos, true);
        out_.bytes += cfg_.trailer;
        return std::move(out_);
    }

private:
    void put8(std::uint8_t v) { out_.bytes += static_cast<char>(v); }
    void put16(std::uint16_t v)
    {
        put8(static_cast<std::uint8_t>(v));
        put8(static_cast<std::uint8_t>(v >> 8));
    }
    void put32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            put8(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void putI32(std::int32_t v) { put32(static_cast<std::uint32_t>(v)); }
    void putF64(double v)
    {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        for (int i = 0; i < 8; ++i)
            put8(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
    void putText(const std::string& s)
    {
        put32(static_cast<std::uint32_t>(s.size()));
        out_.bytes += s;
    }
    void patch32(std::size_t at, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out_.bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    }
    // Chunk sizes count the bytes after the 8-byte chunk header.
    void closeChunk(std::size_t start, const std::optional<std::int32_t>& forced)
    {
        const auto size = static_cast<std::uint32_t>(out_.bytes.size() - start - 8);
        patch32(start + 4, forced ? static_cast<std::uint32_t>(*forced) : size);
    }

    void node(const Node& n, int depth, std::size_t parent, bool record)
    {
        std::size_t index = npos;
        if (record) {
            index = out_.layout.nodes.size();
            NodeLayout l;
            l.field.fill(npos);
            l.depth = depth;
            l.parent = parent;
            l.name = plat::cp1250ToUtf8(n.rec.Name);
            out_.layout.nodes.push_back(std::move(l));
        }
        const std::size_t start = out_.bytes.size();
        putI32(kChunkNode);
        put32(0);

        const std::size_t base = baseChunk(n, depth, index, record);
        if (n.extraBase)
            baseChunk(n, depth, index, false);

        std::size_t user = npos;
        if (n.payload) {
            user = out_.bytes.size();
            putI32(kChunkUser);
            put32(0);
            payload(n.rec, n.payloadFields, record ? &out_.layout.nodes[index] : nullptr);
            closeChunk(user, n.userSize);
        }

        std::size_t caption = npos;
        const std::u16string text = n.caption ? *n.caption : captionOf(n.rec.Name);
        if (!n.noCaption && !text.empty()) {
            caption = out_.bytes.size();
            putI32(kChunkCaption);
            put32(0);
            for (char16_t c : text)
                put16(c);
            closeChunk(caption, n.captionSize);
        }
        for (const Chunk& c : n.extraChunks) {
            putI32(c.type);
            put32(static_cast<std::uint32_t>(c.body.size()));
            out_.bytes += c.body;
        }
        closeChunk(start, n.nodeSize);

        if (record) {
            NodeLayout& l = out_.layout.nodes[index];
            l.start = start;
            l.base = base;
            l.user = user;
            l.caption = caption;
            l.end = out_.bytes.size();
        }
    }

    std::size_t baseChunk(const Node& n, int depth, std::size_t index, bool record)
    {
        const std::size_t start = out_.bytes.size();
        putI32(kChunkBase);
        put32(0);
        const auto count = n.childCount ? *n.childCount : static_cast<std::uint32_t>(n.children.size());
        const std::uint16_t states =
            n.states ? *n.states
                     : static_cast<std::uint16_t>(kStateInitialized | kStateVisible |
                                                  (n.children.empty() ? 0 : kStateHasChildren));
        put32(count);
        put32(n.height);
        if (cfg_.treeVersion >= 2) {
            put16(states);
            put8(n.align);
            put8(n.checkState);
            put8(n.checkType);
            put32(n.baseReserved);
        } else {
            // The old body is 14 bytes, of which the fields take 12; the last two are written
            // from the low half of baseReserved.
            put8(static_cast<std::uint8_t>(states));
            put8(n.align);
            put8(n.checkState);
            put8(n.checkType);
            put16(static_cast<std::uint16_t>(n.baseReserved));
        }
        for (const Node& c : n.children)
            node(c, depth + 1, index, record);
        closeChunk(start, n.baseSize);
        return start;
    }

    void payload(const Record& rec, int lastField, NodeLayout* layout)
    {
        auto& r = const_cast<Record&>(rec);  // the accessors are shared with the parser
        for (const FieldDef& f : detail::fieldTable()) {
            if (f.number > lastField || (f.number >= 46 && !standby_))
                break;
            if (layout && layout->field[static_cast<std::size_t>(f.number)] == npos)
                layout->field[static_cast<std::size_t>(f.number)] = out_.bytes.size();
            void* p = f.ref(r);
            switch (f.type) {
            case FieldType::I32:
                putI32(*static_cast<std::int32_t*>(p));
                break;
            case FieldType::U8:
                put8(*static_cast<std::uint8_t*>(p));
                break;
            case FieldType::F64:
                putF64(*static_cast<double*>(p));
                break;
            case FieldType::Text:
                putText(*static_cast<std::string*>(p));
                break;
            case FieldType::KindByte:
                put8(rec.Kind);
                for (std::uint8_t b : rec.KindPad)
                    put8(b);
                break;
            case FieldType::MarkerByte: {
                put8(rec.Marker);
                const auto zone = static_cast<std::uint32_t>(rec.Zone);
                const std::array<std::uint8_t, 3> pad =
                    rec.MarkerPad ? *rec.MarkerPad
                                  : std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(zone),
                                                                static_cast<std::uint8_t>(zone >> 8),
                                                                static_cast<std::uint8_t>(zone >> 16)};
                for (std::uint8_t b : pad)
                    put8(b);
                break;
            }
            }
        }
    }

    const Config& cfg_;
    Output out_;
    bool standby_ = true;
};

}  // namespace

Output write(const Config& cfg)
{
    return Writer(cfg).run();
}

std::string nodePath(const Layout& layout, std::size_t index)
{
    std::string path;
    for (std::size_t i = index; i != npos; i = layout.nodes[i].parent)
        path = path.empty() ? layout.nodes[i].name : layout.nodes[i].name + "." + path;
    return path;
}

std::string fromDescription(std::string_view text)
{
    return write(parseDescription(text)).bytes;
}

void cut(std::string& bytes, std::size_t length)
{
    if (length > bytes.size())
        throw Error("cut at " + std::to_string(length) + " is beyond the file's " + std::to_string(bytes.size()) +
                    " bytes");
    bytes.resize(length);
}

void patch(std::string& bytes, std::size_t offset, std::string_view data)
{
    if (offset > bytes.size() || data.size() > bytes.size() - offset)
        throw Error("patch at " + std::to_string(offset) + " runs past the file's " + std::to_string(bytes.size()) +
                    " bytes");
    bytes.replace(offset, data.size(), data);
}

std::string fromHex(std::string_view hex)
{
    std::string out;
    int high = -1;
    for (char c : hex) {
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == ',' || c == '_')
            continue;
        else
            throw Error("'" + std::string(hex) + "' is not hexadecimal bytes");
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>(high * 16 + v);
            high = -1;
        }
    }
    if (high >= 0)
        throw Error("'" + std::string(hex) + "' has an odd number of hex digits");
    return out;
}

std::string le32(std::uint32_t value)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    return s;
}

}  // namespace cfggen

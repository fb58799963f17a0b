#include "tools/cfggen/cfggen.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using cfggen::Config;
using cfggen::DescriptionError;
using cfggen::Node;
using cfggen::Output;

// Little-endian bytes written out by hand, field by field.
class Bytes {
public:
    Bytes& u8(unsigned v)
    {
        s += static_cast<char>(v & 0xFF);
        return *this;
    }
    Bytes& u16(unsigned v) { return u8(v).u8(v >> 8); }
    Bytes& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
    Bytes& f64(double v)
    {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v, 8);
        return u32(static_cast<std::uint32_t>(bits)).u32(static_cast<std::uint32_t>(bits >> 32));
    }
    Bytes& text(std::string_view t)
    {
        u32(static_cast<std::uint32_t>(t.size()));
        s += t;
        return *this;
    }
    Bytes& raw(std::string_view t)
    {
        s += t;
        return *this;
    }
    std::string s;
};

std::string hexDump(const std::string& b)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i % 16 == 0)
            out += "\n" + std::to_string(i) + ":";
        const auto c = static_cast<unsigned char>(b[i]);
        out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::uint32_t u32At(const std::string& b, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(b.at(at + static_cast<std::size_t>(i)));
    return v;
}
std::int32_t i32At(const std::string& b, std::size_t at) { return static_cast<std::int32_t>(u32At(b, at)); }

// An independent walk over the node blocks: every chunk lies within its node, every child block
// within its base chunk, and the blocks fill their chunks exactly.
struct Walk {
    std::size_t nodes = 0;
    int maxDepth = 0;
    std::string error;
};

bool walkNode(const std::string& b, std::size_t& pos, std::size_t limit, int depth, int version, Walk& w)
{
    if (pos + 8 > limit || i32At(b, pos) != 1 || i32At(b, pos + 4) < 0 ||
        pos + 8 + static_cast<std::size_t>(i32At(b, pos + 4)) > limit) {
        w.error = "bad node header at " + std::to_string(pos);
        return false;
    }
    ++w.nodes;
    w.maxDepth = std::max(w.maxDepth, depth);
    const std::size_t end = pos + 8 + static_cast<std::size_t>(i32At(b, pos + 4));
    std::size_t p = pos + 8;
    while (p < end) {
        if (p + 8 > end || i32At(b, p + 4) < 0 || p + 8 + static_cast<std::size_t>(i32At(b, p + 4)) > end) {
            w.error = "bad chunk at " + std::to_string(p);
            return false;
        }
        const std::size_t chunkEnd = p + 8 + static_cast<std::size_t>(i32At(b, p + 4));
        if (i32At(b, p) == 2) {
            const std::uint32_t count = u32At(b, p + 8);
            std::size_t q = p + 8 + (version >= 2 ? 17 : 14);
            for (std::uint32_t i = 0; i < count; ++i)
                if (!walkNode(b, q, chunkEnd, depth + 1, version, w))
                    return false;
            if (q != chunkEnd) {
                w.error = "base chunk at " + std::to_string(p) + " not filled by its children";
                return false;
            }
        }
        p = chunkEnd;
    }
    pos = end;
    return true;
}

Walk walk(const Output& o, int version = 2)
{
    Walk w;
    std::size_t pos = o.layout.tree + 12;
    std::size_t count = 0;
    if (version >= 2) {
        count = u32At(o.bytes, pos);
        pos += 4;
    }
    while (pos < o.bytes.size() && (version < 2 || count-- > 0))
        if (!walkNode(o.bytes, pos, o.bytes.size(), 1, version, w))
            break;
    if (w.error.empty() && pos != o.bytes.size())
        w.error = "bytes after the tree";
    return w;
}

const std::string kMagic2("\x45\x20\x56\x00\x54\x00\x02\x00\x20\x00\x46\x20", 12);

// The payload of a new server node, every field at the editor's default.
Bytes serverPayload()
{
    Bytes p;
    p.text("Server").text("").i32(1);           // 1-3 Name, Comment, Ordinal
    p.u8(0).u8(0).u8(0).u8(0);                  // 4 Kind 0 and three free bytes
    p.u8(0);                                    // 5 Editable
    p.i32(1).i32(19200).i32(2).i32(0);          // 6-9 ComPort, BaudRate, Parity, ConnectionType
    p.i32(0).i32(0).i32(0).i32(2000);           // 10-13 reserved, BusAddress, StationType, Timeout
    p.u8(1).u8(0).u8(0).u8(0);                  // 14 Marker, then Zone's first three bytes
    p.i32(0).i32(0).i32(0).i32(18).i32(0).i32(0);  // 15-20 Zone .. ArrayLength
    p.u8(1).u8(1).text("").u8(0);               // 21-24 Readable, Writable, Units, Scaled
    p.f64(0).f64(0).f64(0).f64(0);              // 25-28 ranges
    p.text("True").text("False");               // 29-30 labels
    p.f64(0).f64(0).f64(0).f64(0);              // 31 limits
    p.i32(4).u8(0).i32(0);                      // 32-34 ScaledVarType, Simulated, SimulationType
    p.f64(0).f64(1000).f64(10).i32(1000);       // 35-38 simulation
    p.i32(0);                                   // 39 ServiceCode
    for (int i = 0; i < 10; ++i)
        p.f64(0);                               // 40
    for (int i = 0; i < 10; ++i)
        p.i32(0);                               // 41
    for (int i = 0; i < 10; ++i)
        p.u8(0);                                // 42
    p.text("").text("127.0.0.1").text("");      // 43-45 InitialValue, IpAddress, reserved text
    p.i32(1).i32(19200).i32(2).i32(-1).i32(0).i32(2000);  // 46 standby set
    p.text("127.0.0.2");                        // 47
    return p;
}

TEST(CfgGenBytes, NewConfigurationByHand)
{
    const Bytes payload = serverPayload();
    ASSERT_EQ(payload.s.size(), 400u);
    Bytes node;
    node.i32(1).i32(8 + 17 + 8 + 400 + 8 + 12);
    node.i32(2).i32(17).u32(0).u32(18).u16(0x81).u8(0).u8(0).u8(0).u32(0);  // no children, visible
    node.i32(4).i32(400).raw(payload.s);
    node.i32(3).i32(12).u16('S').u16('e').u16('r').u16('v').u16('e').u16('r');
    Bytes file;
    file.u32(128).text("Vorn OPC Server").u32(1).u32(31);
    file.raw(kMagic2).u32(1).raw(node.s);

    const Output out = cfggen::write(cfggen::parseDescription("server\n"));
    EXPECT_EQ(hexDump(out.bytes), hexDump(file.s));
    EXPECT_EQ(out.bytes.size(), 31u + 12 + 4 + 461);
    ASSERT_EQ(out.layout.nodes.size(), 1u);
    EXPECT_EQ(out.layout.nodes[0].start, 47u);
    EXPECT_EQ(out.layout.nodes[0].user, 47u + 8 + 25);
    EXPECT_EQ(out.layout.nodes[0].field[1], 47u + 8 + 25 + 8);
}

TEST(CfgGenBytes, OldTreeStreamWithoutHeader)
{
    // Version 1: no top-level count, the 14-byte base body with one state byte.
    const Output out = cfggen::write(cfggen::parseDescription("header none\ntree version=1\nserver\n  station\n"));
    std::string magic1 = kMagic2;
    magic1[6] = 1;
    EXPECT_EQ(out.bytes.substr(0, 12), magic1);
    const cfggen::NodeLayout& server = out.layout.nodes.at(0);
    EXPECT_EQ(server.start, 12u);
    Bytes base;
    base.i32(2).i32(static_cast<std::int32_t>(14 + (out.layout.nodes.at(1).end - out.layout.nodes.at(1).start)));
    base.u32(1).u32(18).u8(0xC1).u8(0).u8(0).u8(0);  // one child: has-children bit
    base.u16(0);                                      // the two bytes the fields leave
    EXPECT_EQ(hexDump(out.bytes.substr(server.base, 22)), hexDump(base.s));
    EXPECT_EQ(walk(out, 1).nodes, 2u);
    // Headerless: the reader takes the magic's first four bytes as the version, so the standby
    // fields are there.
    EXPECT_NE(server.field[47], cfggen::npos);
}

TEST(CfgGenBytes, PayloadFieldsAtTheirOffsets)
{
    const Output out = cfggen::write(cfggen::parseDescription(
        "server\n"
        "  station Name=AB Comment=\"x y\" Ordinal=7 ComPort=3 BaudRate=9600 Parity=1 ConnectionType=2 Reserved=-5 "
        "BusAddress=0x101 StationType=2 Timeout=500 Marker=9 Zone=0x030201 Units=mm InstrumentHigh=2.5 "
        "HiHiLimit=-1 LoLoLimit=4 ReservedFloat10=1.5 ReservedInt1=77 ReservedByte3=255 InitialValue=1;2 "
        "IpAddress=10.1.2.3 ReservedText=r StandbyConnectionType=4 StandbyIpAddress=h @kindpad=AABBCC\n"));
    const cfggen::NodeLayout& st = out.layout.nodes.at(1);
    auto f64 = [](double v) { return Bytes().f64(v).s; };
    const struct {
        int field;
        std::string bytes;
    } rows[] = {
        {1, Bytes().text("AB").s},
        {2, Bytes().text("x y").s},
        {3, Bytes().i32(7).s},
        {4, std::string("\x01\xAA\xBB\xCC", 4)},
        {5, std::string(1, '\x01')},
        {6, Bytes().i32(3).i32(9600).i32(1).i32(2).i32(-5).i32(0x101).i32(2).i32(500).s},
        {14, std::string("\x09\x01\x02\x03", 4)},  // Marker, then Zone's first three bytes
        {15, Bytes().i32(0x030201).s},
        {23, Bytes().text("mm").u8(0).f64(0).f64(2.5).s},
        {31, f64(-1) + f64(0) + f64(0) + f64(4)},
        {40, std::string(72, '\0') + f64(1.5)},
        {41, Bytes().i32(77).s},
        {42, std::string("\0\0\xFF", 3)},
        {43, Bytes().text("1;2").text("10.1.2.3").text("r").s},
        {46, Bytes().i32(1).i32(19200).i32(2).i32(4).i32(0).i32(2000).text("h").s},
    };
    for (const auto& r : rows) {
        ASSERT_NE(st.field[static_cast<std::size_t>(r.field)], cfggen::npos) << r.field;
        EXPECT_EQ(hexDump(out.bytes.substr(st.field[static_cast<std::size_t>(r.field)], r.bytes.size())),
                  hexDump(r.bytes))
            << "field " << r.field;
    }
    EXPECT_EQ(out.bytes.substr(st.field[47] + 4, 3), std::string("h\x03\x00", 3)) << "caption follows the payload";
}

TEST(CfgGenBytes, StandbyFieldsFollowTheVersion)
{
    // The server payload is 400 bytes with fields 46-47 (24 + 13), 363 without.
    const struct {
        const char* header;
        std::int32_t userSize;
    } rows[] = {
        {"", 400},
        {"header version=127\n", 363},
        {"header version=128\nstandby no\n", 363},
        {"header version=127\nstandby yes\n", 400},
        {"header none\n", 400},
        {"header none\nstandby no\n", 363},
    };
    for (const auto& r : rows) {
        const Output out = cfggen::write(cfggen::parseDescription(std::string(r.header) + "server\n"));
        EXPECT_EQ(i32At(out.bytes, out.layout.nodes.at(0).user + 4), r.userSize) << r.header;
        EXPECT_EQ(walk(out).error, "") << r.header;
    }
}

TEST(CfgGenBytes, NamesInTheCodePageAndTheCaption)
{
    // "Š" is 0x8A in the code page, U+0160 in the caption; 0x81 is undefined and keeps its value.
    const Output out = cfggen::write(cfggen::parseDescription("server\n  station Name=\"Š\\x81č\"\n"));
    const cfggen::NodeLayout& st = out.layout.nodes.at(1);
    EXPECT_EQ(out.bytes.substr(st.field[1], 7), std::string("\x03\0\0\0\x8A\x81\xE8", 7));
    EXPECT_EQ(hexDump(out.bytes.substr(st.caption, 14)),
              hexDump(Bytes().i32(3).i32(6).u16(0x160).u16(0x81).u16(0x10D).s));
}

TEST(CfgGenParse, DefaultsPerKind)
{
    const Config cfg = cfggen::parseDescription(
        "server\n"
        "  station\n"
        "    folder\n"
        "      variable\n"
        "    variable\n"
        "  modem\n"
        "  station Ordinal=9\n");
    const Node& server = cfg.nodes.at(0);
    const struct {
        const Node* node;
        std::uint8_t kind;
        std::int32_t ordinal;
        const char* name;
        std::uint8_t editable;
    } rows[] = {
        {&server, 0, 1, "Server", 0},
        {&server.children.at(0), 1, 1, "Device1", 1},
        {&server.children.at(0).children.at(0), 3, 1, "Branch1", 1},
        {&server.children.at(0).children.at(0).children.at(0), 2, 1, "Item1", 1},
        {&server.children.at(0).children.at(1), 2, 2, "Item2", 1},
        {&server.children.at(1), 10, 1, "Modem1", 1},
        {&server.children.at(2), 1, 9, "Device9", 1},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.node->rec.Kind, r.kind) << r.name;
        EXPECT_EQ(r.node->rec.Ordinal, r.ordinal) << r.name;
        EXPECT_EQ(r.node->rec.Name, r.name);
        EXPECT_EQ(r.node->rec.Editable, r.editable) << r.name;
        // The rest is the same for every kind.
        EXPECT_EQ(r.node->rec.ComPort, 1);
        EXPECT_EQ(r.node->rec.VarType, 18);
        EXPECT_EQ(r.node->rec.StandbyConnectionType, -1);
        EXPECT_EQ(r.node->rec.CloseLabel, "True");
        EXPECT_EQ(r.node->rec.IpAddress, "127.0.0.1");
        EXPECT_EQ(r.node->rec.StandbyIpAddress, "127.0.0.2");
    }
}

TEST(CfgGenParse, FieldValuesAndEscapes)
{
    const Config cfg = cfggen::parseDescription(
        "# a comment, then a blank line\n"
        "\n"
        "server\r\n"
        "  station Name=PLC1 ConnectionType=0 ComPort=1 BusAddress=1 Timeout=0xFFFFFFFF\n"
        "    variable name=\"a \\\"b\\\"\" comment=\"l1\\r\\nl2\\\\\" VarType=0x2011 SimulationMin=-2.5e3 "
        "InitialValue=\\xFF\\x81 Units=°C Kind=7\n");
    const Node& st = cfg.nodes.at(0).children.at(0);
    EXPECT_EQ(st.rec.Name, "PLC1");
    EXPECT_EQ(st.rec.BusAddress, 1);
    EXPECT_EQ(st.rec.Timeout, -1);
    const Node& v = st.children.at(0);
    EXPECT_EQ(v.rec.Name, "a \"b\"");
    EXPECT_EQ(v.rec.Comment, "l1\r\nl2\\");
    EXPECT_EQ(v.rec.VarType, 0x2011);
    EXPECT_EQ(v.rec.SimulationMin, -2500.0);
    EXPECT_EQ(v.rec.InitialValue, "\xFF\x81");
    EXPECT_EQ(v.rec.Units, "\xB0" "C");
    EXPECT_EQ(v.rec.Kind, 7);
    EXPECT_EQ(v.rec.Ordinal, 1) << "numbered as the keyword's kind";
    EXPECT_EQ(v.line, 5);
}

TEST(CfgGenParse, ErrorsNameTheLine)
{
    const struct {
        const char* text;
        int line;
        const char* message;
    } rows[] = {
        {"server\n   station\n", 2, "not a multiple of two"},
        {"server\n\tstation\n", 2, "tab"},
        {"server\n    station\n", 2, "more than one level"},
        {"  server\n", 1, "more than one level"},
        {"server\n  station Foo=1\n", 2, "unknown field 'Foo'"},
        {"server\n  station Saved=1\n", 2, "not stored in the file"},
        {"server\n  gadget\n", 2, "unknown node kind"},
        {"server\n  station ComPort=x1\n", 2, "not a whole number"},
        {"server\n  station ComPort=4294967296\n", 2, "outside"},
        {"server\n  station Editable=256\n", 2, "outside"},
        {"server\n  station ScaledHigh=1e\n", 2, "not a number"},
        {"server\n  station Name=A name=B\n", 2, "given twice"},
        {"server\n  station Name=日本\n", 2, "not in Windows-1250"},
        {"server\n  station Name=\"open\n", 2, "no closing quote"},
        {"server\n  station Name=a\\q\n", 2, "unknown escape"},
        {"server\n  station Name\n", 2, "needs a value"},
        {"server\nheader none\n", 2, "before the first node"},
        {"header version=abc\n", 1, "not a whole number"},
        {"tree depth=3\n", 1, "no setting"},
        {"standby maybe\n", 1, "auto, yes or no"},
        {"server\n  services\n", 2, "under a station or a modem"},
        {"server\n  station\n    services\n      variable\n", 4, "takes no children"},
        {"server @fields=48\n", 1, "outside"},
        {"server @kindpad=AABB\n", 1, "must be 3 bytes"},
        {"server @bogus=1\n", 1, "unknown option"},
    };
    for (const auto& r : rows) {
        try {
            cfggen::parseDescription(r.text);
            ADD_FAILURE() << "accepted: " << r.text;
        } catch (const DescriptionError& e) {
            EXPECT_EQ(e.line(), r.line) << r.text;
            EXPECT_NE(e.message().find(r.message), std::string::npos) << r.text << " gave " << e.what();
        }
    }
}

TEST(CfgGenParse, StationServiceItemsAsTheEditorCreatesThem)
{
    const Config cfg = cfggen::parseDescription("server\n  station\n    variable\n    services\n    variable\n");
    const Node& st = cfg.nodes.at(0).children.at(0);
    ASSERT_EQ(st.children.size(), 3u);
    const Node& folder = st.children.at(1);
    EXPECT_EQ(folder.rec.Name, "Service");
    EXPECT_EQ(folder.rec.Kind, cfggen::kind::Folder);
    EXPECT_EQ(folder.rec.Editable, 0);
    const struct {
        const char* name;
        std::int32_t code, zone, address, type;
        const char* init;
    } items[] = {
        {"SYS_DateTime", 1, 2, 5, 7, ""},       {"DRW_Zone", 16, 0, 0, 3, ""},
        {"DRW_Address", 10, 0, 0, 3, ""},       {"DRW_Length", 11, 0, 0, 3, ""},
        {"DRW_Control", 12, 0, 0, 3, ""},       {"DRW_Status", 14, 0, 0, 3, ""},
        {"DRW_DataBuffer", 13, 0, 0, 0x2011, ""}, {"CON_Control", 40, 0, 0, 3, "1"},
        {"REM_DialNum", 20, 0, 0, 8, ""},       {"REM_Status", 22, 0, 0, 3, ""},
        {"REM_StatusStr", 26, 0, 0, 8, ""},     {"REM_LastStatus", 23, 0, 0, 3, ""},
        {"REM_LastStatusStr", 27, 0, 0, 8, ""}, {"REM_LastExtStatus", 25, 0, 0, 3, ""},
        {"REM_LastExtStatusStr", 28, 0, 0, 8, ""}, {"REM_ModemType", 30, 0, 0, 3, ""},
    };
    ASSERT_EQ(folder.children.size(), std::size(items));
    for (std::size_t i = 0; i < std::size(items); ++i) {
        const cfggen::Record& r = folder.children[i].rec;
        EXPECT_EQ(r.Name, items[i].name);
        EXPECT_EQ(r.Kind, cfggen::kind::Variable) << r.Name;
        EXPECT_EQ(r.ServiceCode, items[i].code) << r.Name;
        EXPECT_EQ(r.Zone, items[i].zone) << r.Name;
        EXPECT_EQ(r.Address, items[i].address) << r.Name;
        EXPECT_EQ(r.VarType, items[i].type) << r.Name;
        EXPECT_EQ(r.InitialValue, items[i].init) << r.Name;
        EXPECT_EQ(r.Editable, 0) << r.Name;
        EXPECT_EQ(r.Readable, 1) << r.Name;
        EXPECT_EQ(r.StringLength, 0) << r.Name;
        EXPECT_EQ(r.Ordinal, static_cast<std::int32_t>(i) + 2) << "the variable counter runs on";
    }
    EXPECT_EQ(folder.children[0].rec.Comment, "Use this item to read/write device date and time.");
    EXPECT_EQ(folder.children[4].rec.Comment.substr(0, 55), "Use this item to control reading/writing data block.\r\n0");
    EXPECT_EQ(st.children.at(2).rec.Name, "Item18");

    const Config cz = cfggen::parseDescription("server\n  station\n    services lang=cz\n  modem\n    services\n");
    EXPECT_EQ(cz.nodes[0].children[0].children[0].rec.Name, "Sluzebni");
    EXPECT_EQ(cz.nodes[0].children[0].children[0].children[0].rec.Comment,
              "Prom\xECnn\xE1 pro \xE8ten\xED/z\xE1pis datumu a \xE8" "asu stanice.");
    const Node& modem = cz.nodes[0].children[1];
    ASSERT_EQ(modem.children.size(), 2u);
    EXPECT_EQ(modem.children[0].rec.Name, "Status");
    EXPECT_EQ(modem.children[0].rec.ServiceCode, 50);
    EXPECT_EQ(modem.children[1].rec.Name, "ModemType");
    EXPECT_EQ(modem.children[1].rec.ServiceCode, 52);
    EXPECT_EQ(modem.children[1].rec.Editable, 0);
}

TEST(CfgGenDamage, BytesCutAndPatched)
{
    std::string b = cfggen::fromDescription("server\n");
    const std::size_t size = b.size();
    cfggen::patch(b, 27, cfggen::fromHex("ff 00 00 80"));
    EXPECT_EQ(i32At(b, 27), static_cast<std::int32_t>(0x800000FF));
    EXPECT_THROW(cfggen::patch(b, size - 1, "ab"), cfggen::Error);
    cfggen::cut(b, 40);
    EXPECT_EQ(b.size(), 40u);
    EXPECT_THROW(cfggen::cut(b, 41), cfggen::Error);
    EXPECT_EQ(cfggen::fromHex("0a0B"), std::string("\x0A\x0B"));
    EXPECT_THROW(cfggen::fromHex("abc"), cfggen::Error);
    EXPECT_THROW(cfggen::fromHex("zz"), cfggen::Error);
    EXPECT_EQ(cfggen::le32(0x01020304), std::string("\x04\x03\x02\x01"));
}

TEST(CfgGenDamage, NodeDamageKeepsTheRestSound)
{
    const char* base = "server\n  station\n    folder\n      variable\n";
    const Output sound = cfggen::write(cfggen::parseDescription(base));
    ASSERT_EQ(walk(sound).error, "");

    // A payload cut after field K ends exactly where field K + 1 would begin.
    for (int k : {0, 1, 4, 22, 45, 46}) {
        Config cfg = cfggen::parseDescription(base);
        cfggen::findNode(cfg, "Server.Device1.Branch1")->payloadFields = k;
        const Output out = cfggen::write(cfg);
        const cfggen::NodeLayout& n = out.layout.nodes.at(2);
        const std::size_t expected = sound.layout.nodes[2].field[static_cast<std::size_t>(k + 1)] - sound.layout.nodes[2].user - 8;
        EXPECT_EQ(static_cast<std::size_t>(i32At(out.bytes, n.user + 4)), expected) << k;
        EXPECT_EQ(walk(out).error, "") << k;
    }
    {
        Config cfg = cfggen::parseDescription(base);
        cfggen::findNode(cfg, "2")->payload = false;
        const Output out = cfggen::write(cfg);
        EXPECT_EQ(out.layout.nodes.at(2).user, cfggen::npos);
        EXPECT_EQ(i32At(out.bytes, out.layout.nodes[2].caption), 3) << "the caption follows the base chunk";
        EXPECT_EQ(walk(out).error, "");
    }
    {
        // A second base chunk holds the children again; the layout lists each node once.
        Config cfg = cfggen::parseDescription(base);
        cfggen::findNode(cfg, "1")->extraBase = true;
        const Output out = cfggen::write(cfg);
        EXPECT_EQ(out.layout.nodes.size(), 4u);
        const std::size_t second = out.layout.nodes[1].base + 8 + static_cast<std::size_t>(i32At(out.bytes, out.layout.nodes[1].base + 4));
        EXPECT_EQ(i32At(out.bytes, second), 2);
        EXPECT_EQ(walk(out).nodes, 6u);
    }
    // Sizes and counts written as given, the bytes otherwise unchanged.
    const Output forced = cfggen::write(cfggen::parseDescription(
        "server\n  station @children=1000 @basesize=-8 @nodesize=7 @usersize=0x7FFFFFFF @captionsize=1\n"));
    const cfggen::NodeLayout& st = forced.layout.nodes.at(1);
    EXPECT_EQ(u32At(forced.bytes, st.base + 8), 1000u);
    EXPECT_EQ(i32At(forced.bytes, st.base + 4), -8);
    EXPECT_EQ(i32At(forced.bytes, st.start + 4), 7);
    EXPECT_EQ(i32At(forced.bytes, st.user + 4), 0x7FFFFFFF);
    EXPECT_EQ(i32At(forced.bytes, st.caption + 4), 1);
    EXPECT_EQ(forced.bytes.size(), cfggen::fromDescription("server\n  station\n").size());

    // An unknown chunk and bytes after the tree.
    const Output extra = cfggen::write(cfggen::parseDescription("append 0102\nserver @chunk=9:AABB @chunk=-1:\n"));
    EXPECT_EQ(extra.bytes.substr(extra.layout.nodes[0].end - 18, 18),
              std::string("\x09\0\0\0\x02\0\0\0\xAA\xBB\xFF\xFF\xFF\xFF\0\0\0\0", 18));
    EXPECT_EQ(extra.bytes.substr(extra.bytes.size() - 2), "\x01\x02");
}

TEST(CfgGenDamage, DeepNesting)
{
    for (int levels : {1, 2, 3, 256, 257, 1000}) {
        const Output out = cfggen::write(cfggen::deepConfig(levels));
        const Walk w = walk(out);
        EXPECT_EQ(w.error, "");
        EXPECT_EQ(w.nodes, static_cast<std::size_t>(levels));
        EXPECT_EQ(w.maxDepth, levels);
        EXPECT_EQ(out.layout.nodes.back().depth, levels - 1);
    }
    const Config deep = cfggen::deepConfig(4);
    EXPECT_EQ(deep.nodes[0].children[0].rec.Kind, cfggen::kind::Station);
    EXPECT_EQ(deep.nodes[0].children[0].children[0].rec.Kind, cfggen::kind::Folder);
    EXPECT_EQ(deep.nodes[0].children[0].children[0].children[0].rec.Kind, cfggen::kind::Variable);
    EXPECT_THROW(cfggen::deepConfig(0), cfggen::Error);
}

TEST(CfgGenLarge, NodeCountTypesAndUniqueNames)
{
    const cfggen::LargeParams p = cfggen::parseLargeParams("stations=7,folders=2,depth=2,variables=1003");
    EXPECT_EQ(p.stations, 7);
    const Output out = cfggen::write(cfggen::largeConfig(p));
    const std::size_t expected = 1 + 7 * (1 + 17 + 2 + 4) + 1003;
    EXPECT_EQ(cfggen::largeNodeCount(p), expected);
    EXPECT_EQ(u32At(out.bytes, 23), expected) << "header count";
    const Walk w = walk(out);
    EXPECT_EQ(w.error, "");
    EXPECT_EQ(w.nodes, expected);

    const Config cfg = cfggen::largeConfig(p);
    std::set<std::int32_t> types;
    std::set<std::string> names;
    std::set<std::pair<std::int32_t, std::int32_t>> ports;
    long variables = 0;
    std::function<void(const Node&)> visit = [&](const Node& n) {
        if (n.rec.Kind == cfggen::kind::Station) {
            EXPECT_TRUE(ports.insert({n.rec.ComPort, n.rec.BusAddress}).second);
        }
        if (n.rec.Kind == cfggen::kind::Variable && n.rec.ServiceCode == 0) {
            ++variables;
            types.insert(n.rec.VarType);
            EXPECT_TRUE(names.insert(n.rec.Name).second) << n.rec.Name;
            EXPECT_EQ(n.rec.ArrayLength > 0, (n.rec.VarType & 0x2000) != 0) << n.rec.Name;
        }
        for (const Node& c : n.children)
            visit(c);
    };
    visit(cfg.nodes.at(0));
    EXPECT_EQ(variables, 1003);
    EXPECT_EQ(types, std::set<std::int32_t>(cfggen::kVarTypeList.begin(), cfggen::kVarTypeList.end()));

    EXPECT_EQ(cfggen::largeNodeCount(cfggen::parseLargeParams("stations=3,variables=10,services=0")), 1u + 3 + 10);
    EXPECT_THROW(cfggen::parseLargeParams("stations=2,colours=3"), cfggen::Error);
    EXPECT_THROW(cfggen::parseLargeParams("stations=-1"), cfggen::Error);
    EXPECT_THROW(cfggen::largeConfig(cfggen::parseLargeParams("stations=0,variables=5")), cfggen::Error);
}

TEST(CfgGenRandom, SameSeedSameFile)
{
    const std::string a = cfggen::write(cfggen::randomConfig({7, 200})).bytes;
    EXPECT_EQ(a, cfggen::write(cfggen::randomConfig(cfggen::parseRandomParams("seed=7,nodes=200"))).bytes);
    EXPECT_NE(a, cfggen::write(cfggen::randomConfig({8, 200})).bytes);
    const Config cfg = cfggen::randomConfig({7, 200});
    EXPECT_EQ(cfggen::countNodes(cfg), 200u);
    EXPECT_EQ(walk(cfggen::write(cfg)).error, "");
}

// The demo holds what the program's first run should show.
TEST(CfgGenDemo, DescriptionCoversTheDemo)
{
    std::ifstream in(VX_CFGGEN_DEMO, std::ios::binary);
    ASSERT_TRUE(in) << VX_CFGGEN_DEMO;
    std::stringstream text;
    text << in.rdbuf();
    const Config cfg = cfggen::parseDescription(text.str());
    EXPECT_EQ(walk(cfggen::write(cfg)).error, "");
    ASSERT_EQ(cfg.nodes.size(), 1u);
    const Node& server = cfg.nodes[0];
    ASSERT_EQ(server.children.size(), 3u);
    const Node& plc1 = server.children[0];
    const Node& plc2 = server.children[1];
    const Node& sim = server.children[2];
    EXPECT_EQ(plc1.rec.Name, "PLC1");
    EXPECT_EQ(plc2.rec.Name, "PLC2");
    EXPECT_EQ(sim.rec.Name, "Simulation");
    EXPECT_EQ(plc1.rec.ConnectionType, 0);
    EXPECT_EQ(plc2.rec.ConnectionType, 0);
    EXPECT_EQ(plc1.rec.ComPort, plc2.rec.ComPort);
    EXPECT_EQ(plc1.rec.BusAddress, 1);
    EXPECT_EQ(plc2.rec.BusAddress, 2);
    EXPECT_EQ(sim.rec.ConnectionType, 2);
    EXPECT_EQ(sim.rec.IpAddress, "127.0.0.1");

    std::set<std::int32_t> types, simulations;
    bool zoneMHigh = false, scaled = false, labels = false, strings = false, initial = false, nested = false;
    std::function<void(const Node&, const Node&, int, int)> visit = [&](const Node& n, const Node& station,
                                                                       int folders, int serviceFolders) {
        const bool service = n.rec.Kind == cfggen::kind::Folder && n.rec.Editable == 0;
        if (n.rec.Kind == cfggen::kind::Folder)
            nested = nested || folders >= 1;
        if (n.rec.Kind == cfggen::kind::Variable && serviceFolders == 0) {
            EXPECT_EQ(n.rec.ServiceCode, 0) << n.rec.Name;
            types.insert(n.rec.VarType);
            zoneMHigh = zoneMHigh || (n.rec.Zone == 4 && n.rec.Address > 65535);
            scaled = scaled || n.rec.Scaled == 1;
            labels = labels || (n.rec.VarType == 11 && n.rec.CloseLabel != "True");
            strings = strings || ((n.rec.VarType & 0xFFF) == 8 && n.rec.StringLength > 0);
            initial = initial || !n.rec.InitialValue.empty();
            if (&station == &sim) {
                EXPECT_EQ(n.rec.Simulated, 1) << n.rec.Name;
                simulations.insert(n.rec.SimulationType);
            }
        }
        for (const Node& c : n.children)
            visit(c, station, folders + (n.rec.Kind == cfggen::kind::Folder), serviceFolders + service);
    };
    for (const Node& st : server.children) {
        int serviceFolders = 0;
        for (const Node& c : st.children)
            if (c.rec.Name == "Service" && c.rec.Editable == 0 && c.children.size() == 16)
                ++serviceFolders;
        EXPECT_EQ(serviceFolders, 1) << st.rec.Name;
        visit(st, st, 0, 0);
    }
    EXPECT_EQ(types, std::set<std::int32_t>(cfggen::kVarTypeList.begin(), cfggen::kVarTypeList.end()));
    EXPECT_EQ(simulations, (std::set<std::int32_t>{0, 1, 2})) << "user values, random walks and ramps";
    EXPECT_TRUE(zoneMHigh);
    EXPECT_TRUE(scaled);
    EXPECT_TRUE(labels);
    EXPECT_TRUE(strings);
    EXPECT_TRUE(initial);
    EXPECT_TRUE(nested);
}

}  // namespace

// The configuration file: its bytes against the fixture generator, damaged and misbuilt files,
// and the new, load and save commands with their questions, dialogs and failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QString>
#include <QtGlobal>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "comm/vx_lang.h"
#include "comm/vx_notify.h"
#include "editor/config_file.h"
#include "editor_fixture.h"
#include "tools/cfggen/cfggen.h"

namespace {

namespace fs = std::filesystem;
using vos::TConfigNode;
using vos::TConfigNodeRec;
using vos::TLoadResult;
using vos::TLoadSender;
using vos::TSaveSender;

// --- Bytes ---

std::string U8(unsigned v) { return std::string(1, static_cast<char>(v)); }
std::string I32(std::int32_t v) { return cfggen::le32(static_cast<std::uint32_t>(v)); }
std::string F64(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return cfggen::le32(static_cast<std::uint32_t>(bits)) + cfggen::le32(static_cast<std::uint32_t>(bits >> 32));
}
std::string Txt(std::string_view bytes) { return I32(static_cast<std::int32_t>(bytes.size())) + std::string(bytes); }
std::uint32_t U32At(const std::string& b, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
    return v;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// --- Log capture ---

std::vector<std::string>* capturedLog = nullptr;

void CaptureLog(QtMsgType, const QMessageLogContext&, const QString& text)
{
    if (capturedLog)
        capturedLog->push_back(text.toStdString());
}

// Answers the commands' questions and dialogs, and records what they asked and showed.
class TestUi : public vos::TConfigFileUi {
public:
    std::optional<std::string> SaveFileDialog(const vos::TFileDialogRequest& request) override
    {
        saveDialogs.push_back(request);
        return saveAnswer;
    }
    std::optional<std::string> OpenFileDialog(const vos::TFileDialogRequest& request) override
    {
        openDialogs.push_back(request);
        return openAnswer;
    }
    int Ask(const std::string& text, vx::TMsgDlgButtons buttons) override
    {
        questions.push_back(text);
        EXPECT_EQ(buttons, vx::mbYesNoCancel);
        return answer;
    }
    void ProgressOpen(const std::string& caption) override
    {
        progressCaption = caption;
        progressPosition = 0;
        ++progressOpen;
    }
    void ProgressMaximum(std::size_t maximum) override { progressMaximum = maximum; }
    void ProgressPosition(std::size_t position) override
    {
        EXPECT_EQ(position, progressPosition + 1);
        progressPosition = position;
    }
    void ProgressClose() override { ++progressClose; }
    void ConfigurationSaved() override { ++saved; }

    std::optional<std::string> saveAnswer;
    std::optional<std::string> openAnswer;
    int answer = vx::mrCancel;
    std::vector<vos::TFileDialogRequest> saveDialogs;
    std::vector<vos::TFileDialogRequest> openDialogs;
    std::vector<std::string> questions;
    std::string progressCaption;
    std::optional<std::size_t> progressMaximum;
    std::size_t progressPosition = 0;
    int progressOpen = 0;
    int progressClose = 0;
    int saved = 0;
};

class CfgFileTest : public editor_test::EditorFixture {
protected:
    void SetUp() override
    {
        EditorFixture::SetUp();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              ("vx_cfgfile_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        vx::SetMessageNotifier([this](vx::TMessageKind kind, const std::string& text) {
            EXPECT_EQ(kind, vx::TMessageKind::Error);
            messages.push_back(text);
        });
        capturedLog = &log;
        previousHandler = qInstallMessageHandler(CaptureLog);
        commands.SetUi(&ui);
    }
    void TearDown() override
    {
        qInstallMessageHandler(previousHandler);
        capturedLog = nullptr;
        vx::SetMessageNotifier({});
        std::error_code ec;
        fs::remove_all(dir, ec);
        EditorFixture::TearDown();
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    TLoadResult LoadFile(const std::string& path)
    {
        vx::CfgFileName = path;
        return commands.LoadConfiguration(TLoadSender::Settings);
    }
    TLoadResult LoadBytes(const std::string& bytes, const std::string& name = "plant.cfg")
    {
        WriteFile(Path(name), bytes);
        return LoadFile(Path(name));
    }
    static std::string LoadMessage(const std::string& file)
    {
        return vx::FormatText(vx::GetLangText(vos::kMsgCannotLoadConfig), {file});
    }
    static std::string SaveMessage(const std::string& file)
    {
        return vx::FormatText(vx::GetLangText(vos::kMsgCannotSaveConfig), {file});
    }
    bool LogHas(const std::string& part) const
    {
        for (const auto& line : log)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }

    // What a failed load leaves: a fresh server node only, counters and header as after clearing.
    void ExpectFreshServer()
    {
        auto& tree = editor.Tree();
        ASSERT_EQ(tree.NodeCount(), 1u);
        const auto& rec = tree.First()->Rec();
        EXPECT_EQ(rec.Kind, vos::nkServer);
        EXPECT_EQ(rec.Name, "Server");
        EXPECT_EQ(rec.Editable, 0);
        EXPECT_EQ(vos::StationCounter, 0);
        EXPECT_EQ(vos::VariableCounter, 0);
        EXPECT_EQ(vos::FolderCounter, 0);
        EXPECT_EQ(vos::ModemCounter, 0);
        EXPECT_EQ(vos::CfgHeader.Version, 0u);
        EXPECT_EQ(vos::CfgHeader.Signature, "");
        EXPECT_EQ(vos::CfgHeader.NodeCount, 0u);
        EXPECT_EQ(vos::CfgHeader.DataOffset, 0u);
        EXPECT_FALSE(editor.Modified());
    }

    TConfigNode* Named(const std::string& name) { return editor.FindNodeByName(name, true, nullptr, vos::nkAny); }

    // Makes the editor's configuration modified, with an unsaved station.
    TConfigNode* Edit()
    {
        auto* station = editor.NewObjectExecute(vos::ntStation, editor.Tree().First());
        EXPECT_NE(station, nullptr);
        EXPECT_TRUE(editor.Modified());
        return station;
    }

    std::vector<std::uint8_t> SavedFlags() const
    {
        std::vector<std::uint8_t> flags;
        for (auto* node : editor.Tree())
            flags.push_back(node->Rec().Saved);
        return flags;
    }

    std::vector<std::string> FolderEntries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    vos::TConfigFileCommands commands{editor};
    TestUi ui;
    fs::path dir;
    std::vector<std::string> messages;
    std::vector<std::string> log;
    QtMessageHandler previousHandler = nullptr;
};

// Every field of a node set off its default, different per node (k), every value readable
// back exactly; fields 4's and 14's free bytes as the writer puts them.
std::string AllFields(int k, bool server, bool hasChildren)
{
    std::ostringstream s;
    s << " Comment=\"Comment " << k << " \\x8A\\x9A\\x9E\"";
    s << " Ordinal=" << 100 + k << " Editable=" << (server ? 1 : 0);
    s << " ComPort=" << 10 + k << " BaudRate=" << 300 * (k + 1) << " Parity=" << k % 2;
    s << " ConnectionType=" << 1 + k % 4;
    s << " Reserved=" << -(k + 1) << " BusAddress=" << 3 + k << " StationType=" << 1 + k % 2 << " Timeout=" << 500 + k;
    s << " Marker=" << 2 + k << " Zone=" << 0x030201 + k << " Address=" << 70000 + k << " BitNumber=" << 1 + k;
    s << " VarType=0x2013 StringLength=" << 40 + k << " ArrayLength=" << 12 + k << " Readable=0 Writable=0";
    s << " Units=\"u\\xB5\" Scaled=1 InstrumentLow=-1.5 InstrumentHigh=1e300 ScaledLow=-0.25 ScaledHigh=nan";
    s << " CloseLabel=\"Zap\\xED\" OpenLabel=Vyp HiHiLimit=4.5 HiLimit=3.5 LoLimit=-2.5 LoLoLimit=-inf";
    s << " ScaledVarType=5 Simulated=1 SimulationType=2 SimulationMin=-10 SimulationMax=10.5 SimulationGain=0.125";
    s << " SimulationPeriod=" << 250 + k << " ServiceCode=" << 40 + k;
    for (int i = 1; i <= 10; ++i)
        s << " ReservedFloat" << i << "=" << i << ".5";
    for (int i = 1; i <= 10; ++i)
        s << " ReservedInt" << i << "=" << -(i * 1000 + k);
    for (int i = 1; i <= 10; ++i)
        s << " ReservedByte" << i << "=" << 200 + i;
    s << " InitialValue=" << 42 + k << " IpAddress=10.0.0." << k << " ReservedText=\"rt " << k << "\"";
    s << " StandbyComPort=3 StandbyBaudRate=9600 StandbyParity=1 StandbyConnectionType=2 StandbyBusAddress=9";
    s << " StandbyTimeout=" << 777 + k << " StandbyIpAddress=10.0.1." << k;
    s << " @height=" << 20 + k << " @states=" << (hasChildren ? 0x1E1 : 0x1A1);
    s << " @align=1 @checkstate=2 @checktype=3";
    return s.str();
}

// The bytes from..to as \xNN escapes.
std::string Escaped(int from, int to)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (int b = from; b <= to; ++b)
        s += std::string("\\x") + digits[b >> 4] + digits[b & 15];
    return s;
}

// =====================================================================================
// Bytes against the generator
// =====================================================================================

using CfgFileBytes = CfgFileTest;

TEST_F(CfgFileBytes, NewConfigurationSavedAtOnce)
{
    ASSERT_TRUE(commands.NewConfiguration());
    ui.saveAnswer = Path("new.cfg");
    ASSERT_TRUE(commands.SaveConfiguration());
    const std::string bytes = ReadFile(Path("new.cfg"));

    const cfggen::Output expected = cfggen::write(cfggen::parseDescription("server\n"));
    EXPECT_EQ(bytes, expected.bytes);
    // The 31-byte header, the magic, count 1 and one node block with a user chunk.
    ASSERT_GE(bytes.size(), 55u);
    EXPECT_EQ(bytes.substr(0, 31), I32(128) + Txt("Vorn OPC Server") + I32(1) + I32(31));
    EXPECT_EQ(bytes.substr(31, 12), std::string("\x45\x20\x56\x00\x54\x00\x02\x00\x20\x00\x46\x20", 12));
    EXPECT_EQ(U32At(bytes, 43), 1u);
    EXPECT_EQ(U32At(bytes, 47), 1u);                   // node header
    EXPECT_EQ(U32At(bytes, 51), bytes.size() - 55);    // the rest of the block
    EXPECT_EQ(bytes.substr(55, 8), I32(2) + I32(17));  // base chunk without children
    EXPECT_EQ(bytes.substr(63, 17), I32(0) + I32(18) + std::string("\x81\x00\x00\x00\x00", 5) + I32(0));
    EXPECT_EQ(U32At(bytes, 80), 4u);  // user chunk
    const std::size_t caption = 88 + U32At(bytes, 84);
    EXPECT_EQ(bytes.substr(caption), I32(3) + I32(12) + std::string("S\0e\0r\0v\0e\0r\0", 12));
}

TEST_F(CfgFileBytes, PayloadFieldsAtTheirOffsets)
{
    struct Field {
        int number;
        std::string assign;
        std::string bytes;  // as the file holds them from the field's offset
        std::function<bool(const TConfigNodeRec&)> check;
    };
    const std::vector<Field> fields = {
        {1, "Name=\"Tank \\xE8\\x81\"", Txt("Tank \xE8\x81"), [](auto& r) { return r.Name == "Tank \u010D\u0081"; }},
        {2, "Comment=\"two words\"", Txt("two words"), [](auto& r) { return r.Comment == "two words"; }},
        {3, "Ordinal=-5", I32(-5), [](auto& r) { return r.Ordinal == -5; }},
        // Field 4's free bytes are written as zero whatever the file held.
        {4, "@kindpad=ABCDEF", U8(2) + std::string(3, '\0'), [](auto& r) { return r.Kind == vos::nkVariable; }},
        {5, "Editable=0", U8(0), [](auto& r) { return r.Editable == 0; }},
        {6, "ComPort=7", I32(7), [](auto& r) { return r.ComPort == 7; }},
        {7, "BaudRate=4800", I32(4800), [](auto& r) { return r.BaudRate == 4800; }},
        {8, "Parity=1", I32(1), [](auto& r) { return r.Parity == 1; }},
        {9, "ConnectionType=4", I32(4), [](auto& r) { return r.ConnectionType == 4; }},
        {10, "Reserved=0x7FFFFFFF", I32(0x7FFFFFFF), [](auto& r) { return r.Reserved == 0x7FFFFFFF; }},
        {11, "BusAddress=257", I32(257), [](auto& r) { return r.BusAddress == 257; }},
        {12, "StationType=2", I32(2), [](auto& r) { return r.StationType == 2; }},
        {13, "Timeout=0xFFFFFFFF", I32(-1), [](auto& r) { return r.Timeout == -1; }},
        // Field 14: Marker, then Zone's first three bytes, whatever the file held there.
        {14, "Marker=7 @markerpad=AABBCC", std::string("\x07\x01\x02\x03", 4), [](auto& r) { return r.Marker == 7; }},
        {15, "Zone=0x04030201", I32(0x04030201), [](auto& r) { return r.Zone == 0x04030201; }},
        {16, "Address=8388608", I32(8388608), [](auto& r) { return r.Address == 8388608; }},
        {17, "BitNumber=15", I32(15), [](auto& r) { return r.BitNumber == 15; }},
        {18, "VarType=0x2011", I32(0x2011), [](auto& r) { return r.VarType == 0x2011; }},
        {19, "StringLength=255", I32(255), [](auto& r) { return r.StringLength == 255; }},
        {20, "ArrayLength=2147483647", I32(2147483647), [](auto& r) { return r.ArrayLength == 2147483647; }},
        {21, "Readable=0", U8(0), [](auto& r) { return r.Readable == 0; }},
        {22, "Writable=3", U8(3), [](auto& r) { return r.Writable == 3; }},
        {23, "Units=\"\\xB0C\"", Txt("\xB0" "C"), [](auto& r) { return r.Units == "\u00B0C"; }},
        {24, "Scaled=1", U8(1), [](auto& r) { return r.Scaled == 1; }},
        {25, "InstrumentLow=-2.5", F64(-2.5), [](auto& r) { return r.InstrumentLow == -2.5; }},
        {26, "InstrumentHigh=1e300", F64(1e300), [](auto& r) { return r.InstrumentHigh == 1e300; }},
        {27, "ScaledLow=0.125", F64(0.125), [](auto& r) { return r.ScaledLow == 0.125; }},
        {28, "ScaledHigh=inf", F64(INFINITY), [](auto& r) { return std::isinf(r.ScaledHigh); }},
        {29, "CloseLabel=On", Txt("On"), [](auto& r) { return r.CloseLabel == "On"; }},
        {30, "OpenLabel=\"\"", Txt(""), [](auto& r) { return r.OpenLabel.empty(); }},
        {31, "HiHiLimit=4 HiLimit=3 LoLimit=2 LoLoLimit=1", F64(4) + F64(3) + F64(2) + F64(1),
         [](auto& r) { return r.HiHiLimit == 4 && r.HiLimit == 3 && r.LoLimit == 2 && r.LoLoLimit == 1; }},
        {32, "ScaledVarType=5", I32(5), [](auto& r) { return r.ScaledVarType == 5; }},
        {33, "Simulated=1", U8(1), [](auto& r) { return r.Simulated == 1; }},
        {34, "SimulationType=2", I32(2), [](auto& r) { return r.SimulationType == 2; }},
        {35, "SimulationMin=-1000", F64(-1000), [](auto& r) { return r.SimulationMin == -1000; }},
        {36, "SimulationMax=5", F64(5), [](auto& r) { return r.SimulationMax == 5; }},
        {37, "SimulationGain=0.5", F64(0.5), [](auto& r) { return r.SimulationGain == 0.5; }},
        {38, "SimulationPeriod=100", I32(100), [](auto& r) { return r.SimulationPeriod == 100; }},
        {39, "ServiceCode=13", I32(13), [](auto& r) { return r.ServiceCode == 13; }},
        {40, "ReservedFloat1=1.5 ReservedFloat10=-3", F64(1.5) + std::string(64, '\0') + F64(-3),
         [](auto& r) { return r.ReservedDoubles[0] == 1.5 && r.ReservedDoubles[9] == -3; }},
        {41, "ReservedInt1=-1 ReservedInt10=9", I32(-1) + std::string(32, '\0') + I32(9),
         [](auto& r) { return r.ReservedInts[0] == -1 && r.ReservedInts[9] == 9; }},
        {42, "ReservedByte1=255 ReservedByte10=1", U8(255) + std::string(8, '\0') + U8(1),
         [](auto& r) { return r.ReservedBytes[0] == 255 && r.ReservedBytes[9] == 1; }},
        {43, "InitialValue=3.5", Txt("3.5"), [](auto& r) { return r.InitialValue == "3.5"; }},
        {44, "IpAddress=192.168.1.2", Txt("192.168.1.2"), [](auto& r) { return r.IpAddress == "192.168.1.2"; }},
        {45, "ReservedText=x", Txt("x"), [](auto& r) { return r.ReservedText == "x"; }},
        {46,
         "StandbyComPort=4 StandbyBaudRate=600 StandbyParity=0 StandbyConnectionType=2 StandbyBusAddress=5 "
         "StandbyTimeout=10",
         I32(4) + I32(600) + I32(0) + I32(2) + I32(5) + I32(10), [](auto& r) {
             return r.StandbyComPort == 4 && r.StandbyBaudRate == 600 && r.StandbyParity == 0 &&
                    r.StandbyConnectionType == 2 && r.StandbyBusAddress == 5 && r.StandbyTimeout == 10;
         }},
        {47, "StandbyIpAddress=10.1.1.1", Txt("10.1.1.1"), [](auto& r) { return r.StandbyIpAddress == "10.1.1.1"; }},
    };
    std::string variable = "variable";
    for (const auto& f : fields)
        variable += " " + f.assign;
    const cfggen::Output file = cfggen::write(cfggen::parseDescription("server\n  station\n    " + variable + "\n"));
    const auto& layout = file.layout.nodes.at(2);

    ASSERT_EQ(LoadBytes(file.bytes), TLoadResult::Loaded);
    const auto* node = Named("Tank \u010D\u0081");
    ASSERT_NE(node, nullptr);
    const std::string saved = vos::WriteConfiguration(editor.Tree());
    for (const auto& f : fields) {
        SCOPED_TRACE("field " + std::to_string(f.number));
        EXPECT_TRUE(f.check(node->Rec()));
        EXPECT_EQ(saved.substr(layout.field.at(static_cast<std::size_t>(f.number)), f.bytes.size()), f.bytes);
    }
    // Only the free bytes differ from what the generator wrote.
    std::string expected = file.bytes;
    cfggen::patch(expected, layout.field[4] + 1, std::string(3, '\0'));
    cfggen::patch(expected, layout.field[14] + 1, "\x01\x02\x03");
    EXPECT_EQ(saved, expected);
}

TEST_F(CfgFileBytes, EveryFieldAndEveryHighByteRoundTrips)
{
    // Each name holding a quarter of the bytes 0x80-0xFF is its parent's only child, so the
    // load's sort keeps the description's order.
    const auto line = [](const char* node, int from, int k, bool server, bool children) {
        const std::string name = "Name=\"" + Escaped(from, from + 0x1F) + "\"";
        return std::string(node) + name + AllFields(k, server, children) + "\n";
    };
    const std::string description = "header version=128\ntree version=2\n" + line("server ", 0x80, 0, true, true) +
                                    line("  station ", 0xA0, 1, false, true) +
                                    line("    folder ", 0xC0, 2, false, true) +
                                    line("      variable ", 0xE0, 3, false, false);
    const std::string original = cfggen::fromDescription(description);
    const std::string file = Path("every field.cfg");
    ASSERT_EQ(LoadBytes(original, "every field.cfg"), TLoadResult::Loaded);
    EXPECT_EQ(vos::StationCounter, 101);
    EXPECT_EQ(vos::FolderCounter, 102);
    EXPECT_EQ(vos::VariableCounter, 103);
    EXPECT_EQ(vos::CfgHeader.NodeCount, 4u);
    EXPECT_EQ(vos::CfgHeader.DataOffset, 31u);
    for (auto* node : editor.Tree()) {
        EXPECT_EQ(node->Rec().Valid, 1);
        EXPECT_EQ(node->Rec().Saved, 1);
        EXPECT_EQ(node->Rec().TreeNode, node);
    }
    std::string serverName;
    for (int b = 0x80; b <= 0x9F; ++b)
        serverName += static_cast<char>(b);
    EXPECT_EQ(editor.Tree().First()->Rec().Name, vos::ConfigTextFromFile(serverName));

    editor.SetChanged(true);
    ASSERT_TRUE(commands.SaveConfiguration());
    EXPECT_TRUE(ui.saveDialogs.empty());  // a named configuration saves silently
    EXPECT_EQ(ReadFile(file), original);
}

TEST(CfgFileText, EveryByteSurvivesAndForeignCharactersBecomeQuestionMarks)
{
    std::string all;
    for (int b = 1; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(vos::ConfigTextToFile(vos::ConfigTextFromFile(all)), all);
    EXPECT_EQ(vos::ConfigTextFromFile("\x81\x83\x88\x90\x98"), "\u0081\u0083\u0088\u0090\u0098");
    EXPECT_EQ(vos::ConfigTextFromFile("\x8A\xE8"), "\u0160\u010D");
    EXPECT_EQ(vos::ConfigTextToFile("\u0160 \u65E5 \xFF"), "\x8A ? ?");
}

TEST_F(CfgFileBytes, SaveReportsProgressAndMarksNodesSaved)
{
    auto* station = Edit();
    EXPECT_EQ(station->Rec().Saved, 0);
    vx::CfgFileName = Path("plant.cfg");
    ASSERT_TRUE(commands.SaveConfiguration());
    EXPECT_EQ(ReadFile(Path("plant.cfg")), vos::WriteConfiguration(editor.Tree()));
    EXPECT_EQ(ui.progressCaption, "Saving configuration.");
    EXPECT_EQ(ui.progressMaximum, editor.Tree().NodeCount());
    EXPECT_EQ(ui.progressPosition, editor.Tree().NodeCount());
    EXPECT_EQ(ui.progressOpen, 1);
    EXPECT_EQ(ui.progressClose, 1);
    EXPECT_EQ(ui.saved, 1);
    for (auto* node : editor.Tree())
        EXPECT_EQ(node->Rec().Saved, 1);
    EXPECT_FALSE(editor.Modified());
    EXPECT_TRUE(messages.empty());
}

// =====================================================================================
// Older files: no header, header version 127, tree streams 0 and 1
// =====================================================================================

using CfgFileOlder = CfgFileTest;

TEST_F(CfgFileOlder, LoadWithTheRightFields)
{
    constexpr std::uint32_t kMagicAsVersion = 5644357;  // the tree magic's first four bytes
    const std::string body = "server\n"
                             "  station Name=PLC Ordinal=4 StandbyComPort=6 StandbyConnectionType=2"
                             " StandbyIpAddress=1.2.3.4"
                             " @states=0x85 @height=25 @align=1 @checkstate=2 @checktype=3\n"
                             "    variable Name=V\n";
    struct Case {
        const char* name;
        std::string directives;
        bool standby;            // the standby fields read
        std::uint32_t version;   // CfgHeader.Version
        std::string signature;
        std::uint16_t states;    // of the station
    };
    const Case cases[] = {
        {"headerless with standby fields", "header none\n", true, kMagicAsVersion, "", 0x85},
        {"headerless without standby fields", "header none\nstandby no\n", false, kMagicAsVersion, "", 0x85},
        {"header version 127", "header version=127\n", false, 127, "Vorn OPC Server", 0x85},
        {"header version 127, standby fields present", "header version=127\nstandby yes\n", false, 127,
         "Vorn OPC Server", 0x85},
        {"header version 200", "header version=200\n", true, 200, "Vorn OPC Server", 0x85},
        // The old state byte gains "visible", and its bit 7 becomes "selected".
        {"tree version 0, headerless", "header none\ntree version=0\n", true, kMagicAsVersion, "",
         0x185},
        {"tree version 1 with header", "tree version=1\n", true, 128, "Vorn OPC Server", 0x185},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = cfggen::fromDescription(c.directives + body);
        EXPECT_LT(bytes.size(), 128u * 1024);
        ASSERT_EQ(LoadBytes(bytes), TLoadResult::Loaded);
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(vos::CfgHeader.Version, c.version);
        EXPECT_EQ(vos::CfgHeader.Signature, c.signature);
        EXPECT_EQ(vos::CfgHeader.NodeCount, c.signature.empty() ? 0u : 3u);
        EXPECT_EQ(vos::StationCounter, 4);
        auto* station = Named("PLC");
        ASSERT_NE(station, nullptr);
        const auto& r = station->Rec();
        EXPECT_EQ(r.StandbyComPort, c.standby ? 6 : 0);
        EXPECT_EQ(r.StandbyBaudRate, c.standby ? 19200 : 0);
        EXPECT_EQ(r.StandbyParity, c.standby ? 2 : 0);
        EXPECT_EQ(r.StandbyConnectionType, c.standby ? 2 : 0);
        EXPECT_EQ(r.StandbyTimeout, c.standby ? 2000 : 0);
        EXPECT_EQ(r.StandbyIpAddress, c.standby ? "1.2.3.4" : "");
        EXPECT_EQ(r.IpAddress, "127.0.0.1");  // the fields before are there in every case
        EXPECT_EQ(station->View.States, c.states);
        EXPECT_EQ(station->View.Height, 25u);
        EXPECT_EQ(station->View.Alignment, 1);
        EXPECT_EQ(station->View.CheckState, 2);
        EXPECT_EQ(station->View.CheckType, 3);
        ASSERT_EQ(station->ChildCount(), 1);
        EXPECT_EQ(station->Child(0)->Rec().Name, "V");
    }
}

TEST_F(CfgFileOlder, HeaderlessFileLargerThanTheOldProbeLoads)
{
    // The old probe took bytes 4-7 of a bare stream (131,156) as a signature length.
    cfggen::LargeParams p;
    p.stations = 2;
    p.variables = 400;
    cfggen::Config cfg = cfggen::largeConfig(p);
    cfg.header = false;
    const std::string bytes = cfggen::write(cfg).bytes;
    ASSERT_GT(bytes.size(), 131156u);
    ASSERT_EQ(LoadBytes(bytes), TLoadResult::Loaded);
    EXPECT_EQ(editor.Tree().NodeCount(), cfggen::largeNodeCount(p));
    EXPECT_EQ(ui.progressMaximum, 0u);  // no header, no node count: the window stays hidden
    EXPECT_EQ(ui.progressPosition, editor.Tree().NodeCount());
}

// =====================================================================================
// Damaged files
// =====================================================================================

using CfgFileBadFiles = CfgFileTest;

const char kSmallTree[] = "server\n"
                          "  station Name=PLC1\n"
                          "    folder Name=F\n"
                          "      variable Name=V\n";

struct BadFile {
    const char* name;
    std::function<std::string(std::size_t& offset)> make;  // the bytes; sets the offset expected
    const char* reason;                                     // part of the logged reason
};

cfggen::Output Small(const std::string& prefix = {}, const std::string& serverOpts = {},
                     const std::string& stationOpts = {}, const std::string& folderOpts = {},
                     const std::string& variableOpts = {})
{
    return cfggen::write(cfggen::parseDescription(prefix + "server " + serverOpts + "\n  station Name=PLC1 " +
                                                  stationOpts + "\n    folder Name=F " + folderOpts +
                                                  "\n      variable Name=V " + variableOpts + "\n"));
}

std::vector<BadFile> BadFiles()
{
    return {
        {"empty file", [](std::size_t& at) { at = 0; return std::string(); }, "not enough data"},
        {"cut in the header",
         [](std::size_t& at) {
             std::string b = Small().bytes;
             cfggen::cut(b, 25);
             at = 23;
             return b;
         },
         "header ends"},
        {"header only",
         [](std::size_t& at) {
             std::string b = Small().bytes;
             cfggen::cut(b, 31);
             at = 31;
             return b;
         },
         "not enough data"},
        {"no top-level count",
         [](std::size_t& at) {
             std::string b = Small().bytes;
             cfggen::cut(b, 43);
             at = 43;
             return b;
         },
         "top-level count"},
        {"wrong magic",
         [](std::size_t& at) {
             auto o = Small();
             cfggen::patch(o.bytes, o.layout.tree + 2, "W");
             at = o.layout.tree;
             return o.bytes;
         },
         "format is wrong"},
        // A signature that differs is no header: the bytes are a bare tree stream, and wrong.
        {"signature differs",
         [](std::size_t& at) {
             at = 0;
             return Small("header signature=\"Vorn OPC Serves\"\n").bytes;
         },
         "format is wrong"},
        {"tree version 3",
         [](std::size_t& at) {
             auto o = Small("tree version=3\n");
             at = o.layout.tree + 6;
             return o.bytes;
         },
         "version is unknown"},
        {"anchor chunk missing",
         [](std::size_t& at) {
             auto o = Small();
             at = o.layout.nodes[1].start;
             cfggen::patch(o.bytes, at, cfggen::le32(5));
             return o.bytes;
         },
         "anchor chunk is missing"},
        {"negative node size",
         [](std::size_t& at) {
             auto o = Small({}, {}, "@nodesize=-1");
             at = o.layout.nodes[1].start + 4;
             return o.bytes;
         },
         "size -1 runs past"},
        {"node size past the file",
         [](std::size_t& at) {
             auto o = Small({}, "@nodesize=0x7FFFFFF0");
             at = o.layout.nodes[0].start + 4;
             return o.bytes;
         },
         "runs past the end of the file"},
        {"node size past its parent",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, "@nodesize=2000");
             at = o.layout.nodes[2].start + 4;
             return o.bytes;
         },
         "runs past its parent's base chunk"},
        {"negative base chunk size",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, "@basesize=-8");
             at = o.layout.nodes[2].base + 4;
             return o.bytes;
         },
         "size -8 of a chunk of type 2"},
        {"base chunk shorter than its body",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, {}, "@basesize=16");
             at = o.layout.nodes[3].base + 8;
             return o.bytes;
         },
         "shorter than its body"},
        {"user chunk past its node",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, {}, "@usersize=100000");
             at = o.layout.nodes[3].user + 4;
             return o.bytes;
         },
         "of a chunk of type 4 runs past"},
        {"chunk header across the node's end",
         [](std::size_t& at) {
             auto o = Small();
             const auto& v = o.layout.nodes[3];
             cfggen::patch(o.bytes, v.start + 4, cfggen::le32(static_cast<std::uint32_t>(v.caption - v.start - 8 + 4)));
             at = v.caption;
             return o.bytes;
         },
         "Unexpected data after node's end position"},
        {"child count beyond the bytes",
         [](std::size_t& at) {
             auto o = Small({}, {}, "@children=1000000");
             at = o.layout.nodes[1].base + 8;
             return o.bytes;
         },
         "child count 1000000 exceeds"},
        {"child count one too many",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, "@children=2");
             at = o.layout.nodes[2].base + 8;
             return o.bytes;
         },
         "child count 2 exceeds"},
        {"name longer than its chunk",
         [](std::size_t& at) {
             auto o = Small();
             at = o.layout.nodes[3].field[1];
             cfggen::patch(o.bytes, at, cfggen::le32(0xFFFFFF00));
             return o.bytes;
         },
         "text of field 1 runs past its chunk"},
        {"initial value longer than its chunk",
         [](std::size_t& at) {
             auto o = Small();
             at = o.layout.nodes[1].field[43];
             cfggen::patch(o.bytes, at, cfggen::le32(1000));
             return o.bytes;
         },
         "text of field 43 runs past"},
        {"no payload",
         [](std::size_t& at) {
             // At the top: inside a base chunk, a block this small already fails the child count.
             auto o = Small({}, "@nopayload");
             at = o.layout.nodes[0].start;
             return o.bytes;
         },
         "has no data"},
        {"empty payload",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, "@fields=0");
             at = o.layout.nodes[2].start;
             return o.bytes;
         },
         "has no data"},
        {"payload ends before field 45",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, {}, "@fields=44");
             at = o.layout.nodes[3].caption;
             return o.bytes;
         },
         "ends before field 45"},
        {"payload ends inside field 2",
         [](std::size_t& at) {
             auto o = Small({}, {}, "Comment=abcdef");
             const auto& s = o.layout.nodes[1];
             // The user chunk ends after the comment's length: its text is outside.
             cfggen::patch(o.bytes, s.user + 4, cfggen::le32(static_cast<std::uint32_t>(s.field[2] + 4 - s.user - 8)));
             at = s.field[2];
             return o.bytes;
         },
         "text of field 2 runs past"},
        {"payload ends inside the standby fields",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, {}, "@fields=46");
             at = o.layout.nodes[3].caption;
             return o.bytes;
         },
         "ends before field 47"},
        {"second base chunk",
         [](std::size_t& at) {
             auto o = Small({}, {}, "@extrabase");
             const std::size_t base = o.layout.nodes[1].base;
             at = base + 8 + U32At(o.bytes, base + 4);
             return o.bytes;
         },
         "second base chunk"},
        {"second user chunk",
         [](std::size_t& at) {
             auto o = Small({}, {}, {}, {}, "@chunk=4:00");
             at = o.layout.nodes[3].caption + 8 + U32At(o.bytes, o.layout.nodes[3].caption + 4);
             return o.bytes;
         },
         "second user chunk"},
        {"nesting 257 levels",
         [](std::size_t& at) {
             auto o = cfggen::write(cfggen::deepConfig(257));
             at = o.layout.nodes.at(256).start;
             return o.bytes;
         },
         "deeper than 256 levels"},
        {"bytes after an old stream's last node",
         [](std::size_t& at) {
             auto o = Small("header none\ntree version=1\nappend 01020304\n");
             at = o.layout.nodes[0].end;
             return o.bytes;
         },
         "cut short"},
        {"top-level count 0",
         [](std::size_t& at) {
             auto o = Small("tree count=0\n");
             at = o.layout.topCount + 4;
             return o.bytes;
         },
         "no server node"},
    };
}

TEST_F(CfgFileBadFiles, GiveMessage101AndAFreshServer)
{
    for (const auto& bad : BadFiles()) {
        SCOPED_TRACE(bad.name);
        std::size_t offset = 0;
        const std::string bytes = bad.make(offset);
        // Left over from an earlier configuration: a load must put all of it back.
        vos::StationCounter = vos::VariableCounter = vos::FolderCounter = vos::ModemCounter = 9;
        vos::CfgHeader = {128, "Vorn OPC Server", 4, 31};
        editor.SetChanged(true);
        messages.clear();
        log.clear();

        ui.answer = vx::mrNo;  // discard the edits
        EXPECT_EQ(LoadBytes(bytes), TLoadResult::Failed);
        EXPECT_EQ(messages, std::vector<std::string>{LoadMessage(Path("plant.cfg"))});
        EXPECT_TRUE(LogHas("at byte " + std::to_string(offset) + ": ")) << (log.empty() ? "" : log.back());
        EXPECT_TRUE(LogHas(bad.reason)) << (log.empty() ? "" : log.back());
        ExpectFreshServer();
        EXPECT_TRUE(commands.LoadFailed());
        EXPECT_EQ(vx::CfgFileName, Path("plant.cfg"));
    }
}

TEST_F(CfgFileBadFiles, DeepestNestingLoads)
{
    ASSERT_EQ(LoadBytes(cfggen::write(cfggen::deepConfig(256)).bytes), TLoadResult::Loaded);
    EXPECT_EQ(editor.Tree().NodeCount(), 256u);
    EXPECT_EQ(editor.Tree().Last()->Depth(), 256);
}

TEST_F(CfgFileBadFiles, CutAtEveryLength)
{
    const std::string bytes = cfggen::fromDescription(kSmallTree);
    ASSERT_EQ(LoadBytes(bytes), TLoadResult::Loaded);
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        SCOPED_TRACE(length);
        messages.clear();
        ASSERT_EQ(LoadBytes(bytes.substr(0, length)), TLoadResult::Failed);
        ASSERT_EQ(messages.size(), 1u);
        ASSERT_EQ(editor.Tree().NodeCount(), 1u);
        ASSERT_EQ(vos::StationCounter, 0);
        ASSERT_EQ(vos::CfgHeader.Version, 0u);
    }
}

TEST_F(CfgFileBadFiles, UnreadableFileGivesMessage101)
{
    fs::create_directories(Path("a folder.cfg"));
    EXPECT_EQ(LoadFile(Path("a folder.cfg")), TLoadResult::Failed);
    EXPECT_EQ(messages, std::vector<std::string>{LoadMessage(Path("a folder.cfg"))});
    ExpectFreshServer();
}

// =====================================================================================
// Structure of a loaded tree
// =====================================================================================

using CfgFileStructure = CfgFileTest;

TEST_F(CfgFileStructure, OneServerAtTheTopAndAnOwnerAboveEveryFolderAndVariable)
{
    struct Case {
        const char* name;
        const char* description;
        int badNode;  // index in tree order of the node named in the log; -1: loads
    };
    const Case cases[] = {
        {"two servers", "server\nserver\n", 1},
        {"a station at the top", "station\n", 0},
        {"a second top-level node after a tree", "server\n  station\n    variable\nstation\n", 3},
        {"a variable under the server", "server\n  station\n  variable\n", 2},
        {"a folder under the server", "server\n  folder\n    variable\n", 1},
        {"a variable under a variable under the server", "server\n  variable\n    variable\n", 1},
        {"a variable under a node of another kind", "server\n  station Kind=7\n    variable\n", 2},
        {"a variable in a modem", "server\n  modem\n    variable\n", -1},
        {"nodes under a variable", "server\n  station\n    variable\n      variable\n        folder\n", -1},
        {"a station under a folder", "server\n  station\n    folder\n      station\n        variable\n", -1},
        {"a node of another kind under the server", "server\n  variable Kind=7\n", -1},
        {"a modem in a station", "server\n  station\n    modem\n", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        log.clear();
        const cfggen::Output o = cfggen::write(cfggen::parseDescription(c.description));
        if (c.badNode < 0) {
            EXPECT_EQ(LoadBytes(o.bytes), TLoadResult::Loaded);
            EXPECT_TRUE(messages.empty());
            EXPECT_EQ(editor.Tree().NodeCount(), o.layout.nodes.size());
            continue;
        }
        EXPECT_EQ(LoadBytes(o.bytes), TLoadResult::Failed);
        EXPECT_EQ(messages, std::vector<std::string>{LoadMessage(Path("plant.cfg"))});
        const std::size_t offset = o.layout.nodes.at(static_cast<std::size_t>(c.badNode)).start;
        EXPECT_TRUE(LogHas("at byte " + std::to_string(offset) + ": ")) << (log.empty() ? "" : log.back());
        ExpectFreshServer();
    }
}

// =====================================================================================
// Loading
// =====================================================================================

using CfgFileLoad = CfgFileTest;

TEST_F(CfgFileLoad, SortsEveryLevelStablyAndRaisesTheCounters)
{
    const std::string bytes = cfggen::fromDescription("server\n"
                                                      "  station Name=Zeta Ordinal=2\n"
                                                      "    variable Name=b Ordinal=40\n"
                                                      "    variable Name=a Ordinal=3\n"
                                                      "    folder Name=c Ordinal=3\n"
                                                      "      variable Name=y Ordinal=1\n"
                                                      "      variable Name=x Ordinal=2\n"
                                                      "    variable Name=A Ordinal=-9\n"
                                                      "  modem Name=Alpha Ordinal=6\n"
                                                      "  station Name=beta Ordinal=7\n");
    ASSERT_EQ(LoadBytes(bytes), TLoadResult::Loaded);
    const auto names = [](const TConfigNode* parent) {
        std::vector<std::string> out;
        for (int i = 0; i < parent->ChildCount(); ++i)
            out.push_back(parent->Child(i)->Rec().Name);
        return out;
    };
    auto* server = editor.Tree().First();
    EXPECT_EQ(names(server), (std::vector<std::string>{"Alpha", "beta", "Zeta"}));
    // "a" and "A" are equal by the case-insensitive comparison: they keep their file order.
    EXPECT_EQ(names(Named("Zeta")), (std::vector<std::string>{"a", "A", "b", "c"}));
    EXPECT_EQ(names(Named("c")), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(vos::StationCounter, 7);
    EXPECT_EQ(vos::VariableCounter, 40);
    EXPECT_EQ(vos::FolderCounter, 3);
    EXPECT_EQ(vos::ModemCounter, 6);
    EXPECT_TRUE(editor.RegisterPending());
    EXPECT_FALSE(editor.Modified());

    // Numbering continues above the highest Ordinal read.
    auto* station = editor.NewObjectExecute(vos::ntStation, server);
    ASSERT_NE(station, nullptr);
    EXPECT_EQ(station->Rec().Name, "Device8");
}

TEST_F(CfgFileLoad, ProgressFollowsTheHeadersNodeCount)
{
    const std::string bytes = cfggen::fromDescription(kSmallTree);
    ASSERT_EQ(LoadBytes(bytes), TLoadResult::Loaded);
    EXPECT_EQ(ui.progressCaption, "Loading configuration.");
    EXPECT_EQ(ui.progressMaximum, 4u);
    EXPECT_EQ(ui.progressPosition, 4u);
    EXPECT_EQ(ui.progressOpen, 1);
    EXPECT_EQ(ui.progressClose, 1);

    // A failed load frees the window too.
    std::string cut = bytes;
    cfggen::cut(cut, bytes.size() - 1);
    EXPECT_EQ(LoadBytes(cut), TLoadResult::Failed);
    EXPECT_EQ(ui.progressOpen, 2);
    EXPECT_EQ(ui.progressClose, 2);
}

TEST_F(CfgFileLoad, LoadedTreeCheckRunsAfterEveryLoadThatSucceeds)
{
    std::vector<std::string> seen;
    commands.SetLoadedTreeCheck([&](vos::TConfigEditor& e) {
        // Sorted, counted and not modified by then.
        seen.push_back(e.Tree().First()->Child(0)->Rec().Name + "/" + std::to_string(vos::StationCounter));
        EXPECT_TRUE(e.ChangeList().empty());
    });
    ASSERT_EQ(LoadBytes(cfggen::fromDescription("server\n  station Name=B Ordinal=5\n  station Name=A Ordinal=1\n")),
              TLoadResult::Loaded);
    EXPECT_EQ(seen, std::vector<std::string>{"A/5"});
    EXPECT_EQ(LoadBytes("garbage"), TLoadResult::Failed);
    EXPECT_EQ(LoadFile(Path("missing.cfg")), TLoadResult::NewFile);
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(CfgFileLoad, MissingFileGivesAFreshServerUnderThatName)
{
    Edit();
    ui.answer = vx::mrNo;
    EXPECT_EQ(LoadFile(Path("missing.cfg")), TLoadResult::NewFile);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(vx::CfgFileName, Path("missing.cfg"));
    EXPECT_FALSE(commands.LoadFailed());
    ExpectFreshServer();
}

TEST_F(CfgFileLoad, DialogAsksForTheFileAndCancelChangesNothing)
{
    WriteFile(Path("other.cfg"), cfggen::fromDescription("server\n  station Name=Other\n"));
    vx::CfgFileName = Path("plant.cfg");
    EXPECT_EQ(commands.LoadConfiguration(TLoadSender::Dialog), TLoadResult::Stopped);
    ASSERT_EQ(ui.openDialogs.size(), 1u);
    EXPECT_EQ(ui.openDialogs[0].Title, "Open configuration file");
    EXPECT_EQ(ui.openDialogs[0].Filter, "Vorn OPC server configuration files (*.cfg)|*.cfg|All files (*.*)|*.*");
    EXPECT_EQ(ui.openDialogs[0].DefaultExt, "cfg");
    EXPECT_EQ(vx::CfgFileName, Path("plant.cfg"));
    EXPECT_EQ(editor.Tree().NodeCount(), 1u);

    ui.openAnswer = Path("other.cfg");
    EXPECT_EQ(commands.LoadConfiguration(TLoadSender::Dialog), TLoadResult::Loaded);
    EXPECT_EQ(vx::CfgFileName, Path("other.cfg"));
    EXPECT_NE(Named("Other"), nullptr);
}

// =====================================================================================
// Questions before load and new
// =====================================================================================

using CfgFileCommands = CfgFileTest;

TEST_F(CfgFileCommands, SaveChangesQuestionBeforeLoadAndNew)
{
    WriteFile(Path("other.cfg"), cfggen::fromDescription("server\n  station Name=Other\n"));
    struct Case {
        const char* name;
        bool load;  // otherwise new
        int answer;
        bool goesOn;
    };
    const Case cases[] = {
        {"load, Cancel", true, vx::mrCancel, false},   {"load, box closed", true, vx::mrNone, false},
        {"load, No", true, vx::mrNo, true},            {"new, Cancel", false, vx::mrCancel, false},
        {"new, No", false, vx::mrNo, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        editor.SetModified(false);
        ASSERT_TRUE(commands.NewConfiguration());
        vx::CfgFileName = Path("plant.cfg");
        auto* station = Edit();
        const std::string name = station->Rec().Name;
        ui.questions.clear();
        ui.answer = c.answer;
        ui.openAnswer = Path("other.cfg");
        const bool went = c.load ? commands.LoadConfiguration(TLoadSender::Dialog) != TLoadResult::Stopped
                                 : commands.NewConfiguration();
        EXPECT_EQ(went, c.goesOn);
        EXPECT_EQ(ui.questions, std::vector<std::string>{"Save changes?"});
        EXPECT_TRUE(ui.saveDialogs.empty());
        EXPECT_FALSE(fs::exists(Path("plant.cfg")));
        if (c.goesOn) {
            EXPECT_FALSE(editor.Modified());
            EXPECT_EQ(Named(name), nullptr);
        } else {
            // Everything as it was, the modified flag included.
            EXPECT_TRUE(editor.Modified());
            EXPECT_EQ(Named(name), station);
            EXPECT_EQ(vx::CfgFileName, Path("plant.cfg"));
        }
    }
}

TEST_F(CfgFileCommands, LoadAndNewStopWhenTheSaveTheyAskedForDidNotHappen)
{
    WriteFile(Path("other.cfg"), cfggen::fromDescription("server\n  station Name=Other\n"));
    struct Case {
        const char* name;
        bool load;
        bool saveFails;  // otherwise the save dialog is cancelled
    };
    const Case cases[] = {
        {"load, save cancelled", true, false},
        {"load, save failed", true, true},
        {"new, save cancelled", false, false},
        {"new, save failed", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        editor.SetModified(false);
        ASSERT_TRUE(commands.NewConfiguration());
        // Untitled: the save asks for a name; a name in a missing folder cannot be written.
        vx::CfgFileName = c.saveFails ? Path("no such folder/plant.cfg") : "Untitled.cfg";
        const std::string before = vx::CfgFileName;
        auto* station = Edit();
        messages.clear();
        ui.saveDialogs.clear();
        ui.answer = vx::mrYes;
        ui.openAnswer = Path("other.cfg");
        const bool went = c.load ? commands.LoadConfiguration(TLoadSender::Dialog) != TLoadResult::Stopped
                                 : commands.NewConfiguration();
        EXPECT_FALSE(went);
        EXPECT_EQ(ui.saveDialogs.size(), c.saveFails ? 0u : 1u);
        EXPECT_EQ(messages, c.saveFails ? std::vector<std::string>{SaveMessage(before)} : std::vector<std::string>{});
        EXPECT_TRUE(editor.Modified());
        EXPECT_EQ(station->Rec().Saved, 0);
        EXPECT_EQ(editor.Tree().First()->ChildCount(), 1);
        EXPECT_EQ(vx::CfgFileName, before);
        EXPECT_TRUE(ui.openDialogs.empty());
    }
}

TEST_F(CfgFileCommands, YesSavesThenLoads)
{
    WriteFile(Path("other.cfg"), cfggen::fromDescription("server\n  station Name=Other\n"));
    vx::CfgFileName = Path("plant.cfg");
    Edit();
    const std::string expected = vos::WriteConfiguration(editor.Tree());
    ui.answer = vx::mrYes;
    ui.openAnswer = Path("other.cfg");
    EXPECT_EQ(commands.LoadConfiguration(TLoadSender::Dialog), TLoadResult::Loaded);
    EXPECT_EQ(ReadFile(Path("plant.cfg")), expected);
    EXPECT_NE(Named("Other"), nullptr);
}

TEST_F(CfgFileCommands, NewConfigurationIsAnUntitledServer)
{
    ASSERT_EQ(LoadBytes(cfggen::fromDescription("server\n  station Ordinal=5\n")), TLoadResult::Loaded);
    ASSERT_TRUE(commands.NewConfiguration());
    EXPECT_EQ(vx::CfgFileName, "Untitled.cfg");
    EXPECT_TRUE(vos::CfgFileNames().IsUntitledConfig());
    ExpectFreshServer();
}

// =====================================================================================
// Saving
// =====================================================================================

using CfgFileSave = CfgFileTest;

TEST_F(CfgFileSave, UntitledAndSaveAsAskNamedSavesSilently)
{
    struct Case {
        const char* name;
        std::string fileName;
        TSaveSender sender;
        bool asks;
    };
    const Case cases[] = {
        {"untitled", "Untitled.cfg", TSaveSender::Save, true},
        {"untitled in a folder", Path("Untitled.cfg"), TSaveSender::Save, true},
        {"no name at all", "", TSaveSender::Save, true},
        {"named", Path("plant.cfg"), TSaveSender::Save, false},
        {"named, save as", Path("plant.cfg"), TSaveSender::SaveAs, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vx::CfgFileName = c.fileName;
        ui.saveDialogs.clear();
        ui.saveAnswer = Path("chosen.cfg");
        fs::remove(Path("chosen.cfg"));
        fs::remove(Path("plant.cfg"));
        Edit();
        ASSERT_TRUE(commands.SaveConfiguration(c.sender));
        ASSERT_EQ(ui.saveDialogs.size(), c.asks ? 1u : 0u);
        if (c.asks) {
            EXPECT_EQ(ui.saveDialogs[0].Title, "Save configuration to file");
            EXPECT_EQ(ui.saveDialogs[0].Filter,
                      "Vorn OPC server configuration files (*.cfg)|*.cfg|All files (*.*)|*.*");
            EXPECT_EQ(ui.saveDialogs[0].DefaultExt, "cfg");
            EXPECT_EQ(ui.saveDialogs[0].FileName, c.fileName.empty() ? "Untitled.cfg" : c.fileName);
        }
        const std::string written = c.asks ? Path("chosen.cfg") : c.fileName;
        EXPECT_EQ(vx::CfgFileName, written);
        EXPECT_EQ(ReadFile(written), vos::WriteConfiguration(editor.Tree()));
        EXPECT_FALSE(editor.Modified());
    }

    // Cancelled: nothing written, nothing changed.
    vx::CfgFileName = "Untitled.cfg";
    ui.saveAnswer.reset();
    auto* station = Edit();
    EXPECT_FALSE(commands.SaveConfiguration());
    EXPECT_EQ(vx::CfgFileName, "Untitled.cfg");
    EXPECT_TRUE(editor.Modified());
    EXPECT_EQ(station->Rec().Saved, 0);
    EXPECT_TRUE(messages.empty());
}

// A failure while writing: the file grows past the process's file size limit midway, as on
// a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    sighandler_t previous_;
};

TEST_F(CfgFileSave, FailureKeepsTheOldFileModifiedAndSaved)
{
    enum Failure { WriteCutShort, MissingFolder, NameIsAFolder };
    struct Case {
        const char* name;
        Failure failure;
    };
    const Case cases[] = {
        {"write cut short", WriteCutShort},
        {"missing folder", MissingFolder},
        {"name is a folder", NameIsAFolder},
    };
    const std::string oldBytes = cfggen::fromDescription(kSmallTree);
    ui.answer = vx::mrNo;  // each load discards the edits of the case before
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(LoadBytes(oldBytes), TLoadResult::Loaded);
        Edit();
        Named("V")->Rec().Saved = 0;
        editor.AddToChangeList(Named("V"));
        const auto saved = SavedFlags();
        messages.clear();
        log.clear();
        std::string file = Path("plant.cfg");
        if (c.failure == MissingFolder)
            file = Path("missing/plant.cfg");
        if (c.failure == NameIsAFolder) {
            file = Path("a folder");
            fs::create_directories(file);
        }
        vx::CfgFileName = file;
        bool ok;
        {
            std::optional<FileSizeLimit> limit;
            if (c.failure == WriteCutShort)
                limit.emplace(oldBytes.size() / 2);
            ok = commands.SaveConfiguration();
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(ReadFile(Path("plant.cfg")), oldBytes);
        EXPECT_EQ(messages, std::vector<std::string>{SaveMessage(file)});
        EXPECT_TRUE(LogHas("Cannot save the configuration to " + file));
        EXPECT_TRUE(editor.Modified());
        EXPECT_EQ(SavedFlags(), saved);
        EXPECT_EQ(ui.saved, 0);
        EXPECT_EQ(ui.progressOpen, ui.progressClose);
        // No temporary file is left behind.
        std::vector<std::string> entries = {"plant.cfg"};
        if (c.failure == NameIsAFolder)
            entries.insert(entries.begin(), "a folder");
        EXPECT_EQ(FolderEntries(), entries);
    }
}

TEST_F(CfgFileSave, AfterAFailedLoadTheNextSaveAsksForAName)
{
    std::string damaged = cfggen::fromDescription(kSmallTree);
    cfggen::cut(damaged, damaged.size() - 3);
    ASSERT_EQ(LoadBytes(damaged), TLoadResult::Failed);
    // The settings keep naming the file, so that the next start reports it again.
    EXPECT_EQ(vx::CfgFileName, Path("plant.cfg"));
    EXPECT_FALSE(vos::CfgFileNames().IsUntitledConfig());

    Edit();
    ui.saveAnswer.reset();
    EXPECT_FALSE(commands.SaveConfiguration());
    ASSERT_EQ(ui.saveDialogs.size(), 1u);
    EXPECT_EQ(ui.saveDialogs[0].FileName, Path("plant.cfg"));
    EXPECT_EQ(ReadFile(Path("plant.cfg")), damaged);
    EXPECT_TRUE(editor.Modified());

    // Chosen on purpose, the same name is written; the next save is silent again.
    ui.saveAnswer = Path("plant.cfg");
    EXPECT_TRUE(commands.SaveConfiguration());
    EXPECT_EQ(ReadFile(Path("plant.cfg")), vos::WriteConfiguration(editor.Tree()));
    EXPECT_FALSE(commands.LoadFailed());
    editor.SetChanged(true);
    EXPECT_TRUE(commands.SaveConfiguration());
    EXPECT_EQ(ui.saveDialogs.size(), 2u);
}

}  // namespace

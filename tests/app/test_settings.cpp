#include "app/settings.h"
#include "platform/port/comports.h"

#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "app/inifile.h"
#include "app/settings_path.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using vos::ConfigView;
using vos::Note;

struct Var {
    const char* name;
    std::function<std::int64_t()> get;
};
template <class T>
Var V(const char* name, const T& v)
{
    return {name, [&v] { return static_cast<std::int64_t>(v); }};
}

// Stands in for the editor frame's two views.
class FakeColumns : public vos::ConfigColumnWidths {
public:
    std::int32_t ColumnWidth(ConfigView view, int column) const override { return widths[Index(view)][column]; }
    void SetColumnWidth(ConfigView view, int column, std::int32_t width) override
    {
        widths[Index(view)][column] = width;
    }
    static std::size_t Index(ConfigView view) { return view == ConfigView::Tree ? 0 : 1; }
    std::array<std::array<std::int32_t, vos::kConfigColumnCount>, 2> widths{};
};

// Collects the warnings of the settings unit's log category while it lives.
class SettingsLog {
public:
    SettingsLog()
    {
        lines().clear();
        previous_ = qInstallMessageHandler(Capture);
    }
    ~SettingsLog() { qInstallMessageHandler(previous_); }
    static std::vector<std::string>& lines()
    {
        static std::vector<std::string> captured;
        return captured;
    }
    static int Count(const std::string& part)
    {
        int n = 0;
        for (const auto& line : lines())
            n += line.find(part) != std::string::npos;
        return n;
    }

private:
    static void Capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (type == QtWarningMsg && context.category && std::string_view(context.category) == "vx.app.settings")
            lines().push_back(message.toStdString());
    }
    QtMessageHandler previous_ = nullptr;
};

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vx::ResetSettings();
        vos::ResetAppSettings();
        vx::IniFileName = PathOf("VornOPCServer.ini");
        vos::SetSettingsNotifier([this](Note kind, const std::string& text) { notes.emplace_back(kind, text); });
        vos::SetMainCaptionUpdater([this] { captions.push_back(vx::CfgFileName); });
    }

    void TearDown() override
    {
        vos::AttachConfigColumns(nullptr);
        vos::SetMainCaptionUpdater({});
        vos::SetSettingsNotifier({});
        vx::ResetSettings();
        vos::ResetAppSettings();
    }

    std::string PathOf(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }

    void PutIni(const std::string& bytes) const { std::ofstream(vx::IniFileName, std::ios::binary) << bytes; }

    static std::string Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string IniContent() const { return Slurp(vx::IniFileName); }

    std::vector<std::string> Errors() const
    {
        std::vector<std::string> out;
        for (const auto& [kind, text] : notes)
            if (kind == Note::Error)
                out.push_back(text);
        return out;
    }

    QTemporaryDir dir;
    std::vector<std::pair<Note, std::string>> notes;
    std::vector<std::string> captions;
};

TEST_F(SettingsTest, AbsentFileGivesEveryDefault)
{
    FakeColumns editor;
    vos::AttachConfigColumns(&editor);
    vos::ReadSettings();

    const std::pair<Var, std::int64_t> cases[] = {
        {V("LogEvents", vx::LogEvents), 1},
        {V("ShowMessages", vx::ShowMessages), 0},
        {V("NumOfEventLines", vx::NumOfEventLines), 200},
        {V("ComLogging", vx::ComLogging), 0},
        {V("NumOfComLines", vx::NumOfComLines), 100},
        {V("ComLogToFile", vx::ComLogToFile), 0},
        {V("OPCLogging", vos::OPCLogging), 0},
        {V("OPCNumLogLines", vos::OPCNumLogLines), 1000},
        {V("OPCLogToFile", vos::OPCLogToFile), 0},
        {V("Language", vx::Language), 0},
        {V("VarTypesSigning", vx::VarTypesSigning), 0},
        {V("FlatListView", vx::FlatListView), 1},
        {V("IsRegistered", vos::IsRegistered), 0},
        {V("VarUniqueness", vos::VarUniqueness), 0},
        {V("ArrWatchMaxLen", vx::ArrWatchMaxLen), 255},
        {V("ArrWatchOffset", vx::ArrWatchOffset), 0},
        {V("ServerAddress", vx::ServerAddress), 126},
        {V("ConnectRate", vx::ConnectRate), 30000},
        {V("CommDelay", vx::CommDelay), 20},
        {V("MaxPacketLen", vx::MaxPacketLen), 255},
        {V("MaxBadCommCount", vx::MaxBadCommCount), 3},
        {V("MaxBadComToReset", vx::MaxBadComToReset), 0},
        {V("DifferentPacketLen", vx::DifferentPacketLen), 0},
        {V("CheckTimestamp", vx::CheckTimestamp), 0},
        {V("UseRTS", vx::UseRTS), 0},
        {V("UseDTR", vx::UseDTR), 0},
        {V("RequireCTS", vx::RequireCTS), 0},
        {V("RequireDSR", vx::RequireDSR), 0},
        {V("timBeforeDial", vx::timBeforeDial), 20000},
        {V("timSameCall", vx::timSameCall), 60000},
        {V("timTildeDelay", vx::timTildeDelay), 25},
    };
    for (const auto& [var, expected] : cases)
        EXPECT_EQ(var.get(), expected) << var.name;

    EXPECT_EQ(vx::CfgFileName, "Bezejmena.cfg");
    EXPECT_TRUE(vos::IsUntitledConfig());
    EXPECT_EQ(captions, std::vector<std::string>{"Bezejmena.cfg"});
    const std::array<std::int32_t, 6> widths = {150, 70, 80, 100, 100, 150};
    EXPECT_EQ(editor.widths[0], widths);
    EXPECT_EQ(editor.widths[1], widths);
    EXPECT_EQ(plat::comPortDevice(1), "/dev/ttyS0");
    EXPECT_FALSE(fs::exists(vx::IniFileName)) << "reading must not create the file";
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back().second, "Settings file " + vx::IniFileName + " not found; defaults in use");
}

TEST_F(SettingsTest, ValuesAreReadAndClampedWhereTheRulesSay)
{
    struct Case {
        const char* ini;
        Var var;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"[Communication]\nMaxPacketLen=7", V("MaxPacketLen", vx::MaxPacketLen), 10},
        {"[Communication]\nMaxPacketLen=300", V("MaxPacketLen", vx::MaxPacketLen), 255},
        {"[Communication]\nMaxPacketLen=10", V("MaxPacketLen", vx::MaxPacketLen), 10},
        {"[Communication]\nMaxPacketLen=-1", V("MaxPacketLen", vx::MaxPacketLen), 10},
        {"[communication]\nmaxpacketlen = 100", V("MaxPacketLen", vx::MaxPacketLen), 100},
        {"[Communication]\nCommDelay=-5", V("CommDelay", vx::CommDelay), 0},
        {"[Communication]\nCommDelay=7", V("CommDelay", vx::CommDelay), 7},
        {"[Communication]\nMaxBadCommCount=3\nMaxBadComToReset=2", V("MaxBadComToReset", vx::MaxBadComToReset), 4},
        {"[Communication]\nMaxBadCommCount=3\nMaxBadComToReset=1", V("MaxBadComToReset", vx::MaxBadComToReset), 4},
        {"[Communication]\nMaxBadCommCount=3\nMaxBadComToReset=0", V("MaxBadComToReset", vx::MaxBadComToReset), 0},
        {"[Communication]\nMaxBadCommCount=3\nMaxBadComToReset=3", V("MaxBadComToReset", vx::MaxBadComToReset), 3},
        {"[Communication]\nMaxBadCommCount=3\nMaxBadComToReset=5", V("MaxBadComToReset", vx::MaxBadComToReset), 5},
        {"[Communication]\nMaxBadCommCount=3\nMaxBadComToReset=-1", V("MaxBadComToReset", vx::MaxBadComToReset), -1},
        // The count is read first whatever the order of the lines.
        {"[Communication]\nMaxBadComToReset=2\nMaxBadCommCount=6", V("MaxBadComToReset", vx::MaxBadComToReset), 7},
        {"[Communication]\nMaxBadComToReset=2", V("MaxBadComToReset", vx::MaxBadComToReset), 4},
        {"[Communication]\nMaxBadCommCount=2147483647\nMaxBadComToReset=5", V("MaxBadComToReset", vx::MaxBadComToReset),
         2147483647},
        {"[Communication]\nServerAddress=0x10", V("ServerAddress", vx::ServerAddress), 16},
        {"[Communication]\nServerAddress=0X7e", V("ServerAddress", vx::ServerAddress), 126},
        {"[Communication]\nServerAddress=abc", V("ServerAddress", vx::ServerAddress), 126},
        {"[Communication]\nServerAddress=255", V("ServerAddress", vx::ServerAddress), 255},
        {"[Communication]\nServerAddress=99999", V("ServerAddress", vx::ServerAddress), 126},
        {"[Communication]\nServerAddress=-1", V("ServerAddress", vx::ServerAddress), 126},
        {"[Communication]\nConnectRate=12s", V("ConnectRate", vx::ConnectRate), 30000},
        {"[Communication]\nConnectRate=0x", V("ConnectRate", vx::ConnectRate), 30000},
        {"[Main]\nNumOfComLines=", V("NumOfComLines", vx::NumOfComLines), 100},
        {"[Main]\nLogEvents=0", V("LogEvents", vx::LogEvents), 0},
        {"[Main]\nLogEvents=yes", V("LogEvents", vx::LogEvents), 1},
        {"[Main]\nShowMessages=5", V("ShowMessages", vx::ShowMessages), 1},
        {"[Main]\nFlatListView=0x0", V("FlatListView", vx::FlatListView), 0},
        {"[Main]\nOPCLogging=1", V("OPCLogging", vos::OPCLogging), 1},
        {"[Main]\nOPCNumLogLines=0x20", V("OPCNumLogLines", vos::OPCNumLogLines), 32},
        {"[Main]\nComLogToFile=1", V("ComLogToFile", vx::ComLogToFile), 1},
        {"[Main]\nIsRegistered=1", V("IsRegistered", vos::IsRegistered), 1},
        {"[Main]\nVarUniqueness=1", V("VarUniqueness", vos::VarUniqueness), 1},
        {"[Main]\nLanguage=1", V("Language", vx::Language), 1},
        {"[Modem]\ntimBeforeDial=20", V("timBeforeDial", vx::timBeforeDial), 20000},
        {"[Modem]\ntimBeforeDial=0x10", V("timBeforeDial", vx::timBeforeDial), 16000},
        {"[Modem]\ntimBeforeDial=3000000", V("timBeforeDial", vx::timBeforeDial), 2147483000},
        {"[Modem]\ntimBeforeDial=-3000000", V("timBeforeDial", vx::timBeforeDial), -2147483000},
        {"[Modem]\ntimSameCall=2147483", V("timSameCall", vx::timSameCall), 2147483000},
        {"[Modem]\ntimSameCall=2147484", V("timSameCall", vx::timSameCall), 2147483000},
        {"[Modem]\ntimSameCall=abc", V("timSameCall", vx::timSameCall), 60000},
        {"[Modem]\ntimTildeDelay=40", V("timTildeDelay", vx::timTildeDelay), 40},
    };
    for (const auto& c : cases) {
        vx::ResetSettings();
        vos::ResetAppSettings();
        vx::IniFileName = PathOf("VornOPCServer.ini");
        PutIni(c.ini);
        vos::ReadSettings();
        EXPECT_EQ(c.var.get(), c.expected) << c.var.name << " from \"" << c.ini << '"';
    }
}

struct Handshake {
    const char* switchKey;
    const char* requireKey;
    const bool& switchVar;
    bool& requireVar;
};
const Handshake kHandshakes[] = {
    {"UseRTS", "RequireCTS", vx::UseRTS, vx::RequireCTS},
    {"UseDTR", "RequireDSR", vx::UseDTR, vx::RequireDSR},
};

TEST_F(SettingsTest, RequireSwitchesFollowTheirHandshakeUnlessTheyDiffer)
{
    struct Case {
        std::optional<int> switchValue;   // nullopt: key absent
        std::optional<int> requireValue;
        bool read;
        std::optional<std::string> written;  // nullopt: key not in the file after writing
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, false, std::nullopt},
        {1, std::nullopt, true, std::nullopt},
        {1, 0, false, "0"},
        {0, 1, true, "1"},
        {std::nullopt, 1, true, "1"},
        {1, 1, true, std::nullopt},
        {0, 0, false, std::nullopt},
    };
    for (const auto& h : kHandshakes)
        for (const auto& c : cases) {
            std::string ini = "[DataFlowControl]\n";
            if (c.switchValue)
                ini += std::string(h.switchKey) + "=" + std::to_string(*c.switchValue) + "\n";
            if (c.requireValue)
                ini += std::string(h.requireKey) + "=" + std::to_string(*c.requireValue) + "\n";
            PutIni(ini);
            vos::ReadSettings();
            EXPECT_EQ(h.requireVar, c.read) << h.requireKey << " in " << ini;
            vos::WriteSettings();
            EXPECT_EQ(vos::IniFile(vx::IniFileName).ReadRaw("DataFlowControl", h.requireKey), c.written)
                << h.requireKey << " in " << ini;
        }
}

TEST_F(SettingsTest, RequireValueSetBackToItsSwitchIsNotLostAtTheNextStart)
{
    for (const auto& h : kHandshakes) {
        PutIni(std::string("[DataFlowControl]\n") + h.switchKey + "=1\n" + h.requireKey + "=0\n");
        vos::ReadSettings();
        ASSERT_FALSE(h.requireVar);
        h.requireVar = h.switchVar;  // what the settings dialog does
        vos::WriteSettings();
        vos::ReadSettings();
        EXPECT_TRUE(h.requireVar) << h.requireKey;
    }
}

TEST_F(SettingsTest, ModemTimesAreWrittenInWholeSeconds)
{
    const std::pair<std::int32_t, const char*> cases[] = {
        {20000, "20"}, {1500, "1"}, {999, "0"}, {0, "0"}, {-1500, "-1"}, {2147483000, "2147483"}, {2147483647, "2147483"},
    };
    for (const auto& [ms, written] : cases) {
        vx::timBeforeDial = ms;
        vx::timSameCall = ms;
        vx::timTildeDelay = ms;
        vos::WriteSettings();
        const vos::IniFile ini(vx::IniFileName);
        EXPECT_EQ(ini.ReadRaw("Modem", "timBeforeDial"), written) << ms;
        EXPECT_EQ(ini.ReadRaw("Modem", "timSameCall"), written) << ms;
        EXPECT_EQ(ini.ReadRaw("Modem", "timTildeDelay"), std::to_string(ms)) << "held in ms already";
    }
}

// The first start without a file: registering writes CfgFileName, the exit adds every
// key the program writes, in its order.
TEST_F(SettingsTest, FirstStartWritesEveryKeyInOrder)
{
    vos::ReadSettings();
    vos::SaveCfgFileName();
    EXPECT_EQ(IniContent(), "[Main]\nCfgFileName=Bezejmena.cfg\n");
    vos::WriteSettings();
    EXPECT_EQ(IniContent(),
              "[Main]\n"
              "CfgFileName=Bezejmena.cfg\n"
              "LogEvents=1\n"
              "ShowMessages=0\n"
              "NumOfEventLines=200\n"
              "ComLogging=0\n"
              "NumOfComLines=100\n"
              "Language=0\n"
              "VarTypesSigning=0\n"
              "FlatListView=1\n"
              "IsRegistered=0\n"
              "VarUniqueness=0\n"
              "ArrWatchMaxLen=255\n"
              "ArrWatchOffset=0\n"
              "\n"
              "[ConfigTree]\n"
              "Col0Width=150\nCol1Width=70\nCol2Width=80\nCol3Width=100\nCol4Width=100\nCol5Width=150\n"
              "\n"
              "[ConfigList]\n"
              "Col0Width=150\nCol1Width=70\nCol2Width=80\nCol3Width=100\nCol4Width=100\nCol5Width=150\n"
              "\n"
              "[Communication]\n"
              "ServerAddress=126\n"
              "ConnectRate=30000\n"
              "CommDelay=20\n"
              "MaxBadCommCount=3\n"
              "MaxPacketLen=255\n"
              "MaxBadComToReset=0\n"
              "DifferentPacketLen=0\n"
              "CheckTimestamp=0\n"
              "\n"
              "[DataFlowControl]\n"
              "UseRTS=0\n"
              "UseDTR=0\n"
              "\n"
              "[Modem]\n"
              "timBeforeDial=20\n"
              "timSameCall=60\n"
              "timTildeDelay=25\n");
}

TEST_F(SettingsTest, KeysWrittenByHandSurviveEveryWrite)
{
    const std::string handWritten =
        "; Vorn OPC Server, edited by hand\r\n"
        "[Main]\r\n"
        "OPCLogging=1\r\n"
        "OPCNumLogLines = 5000\r\n"
        "ComLogToFile=1\r\n"
        "OPCLogToFile=1\r\n"
        "Flags=0\r\n"
        "NormPos=10,20,800,600\r\n"
        "logevents = 0\r\n"
        "MyNote=keep me\r\n"
        "\r\n"
        "[Ports]\r\n"
        "COM3=/dev/ttyUSB0\r\n"
        "\r\n"
        "[Communication]\r\n"
        "; slower line\r\n"
        "CommDelay=50\r\n"
        "Unknown=x\r\n"
        "\r\n"
        "; not ours\r\n"
        "[Plugin]\r\n"
        "Path=/opt/plugin";
    PutIni(handWritten);
    vos::ReadSettings();
    vx::CommDelay = 70;
    vos::WriteSettings();
    vos::SaveCfgFileName();
    const std::string once = IniContent();
    vos::WriteSettings();
    vos::SaveCfgFileName();
    EXPECT_EQ(IniContent(), once) << "writing again changes nothing";

    const std::string expected =
        "; Vorn OPC Server, edited by hand\r\n"
        "[Main]\r\n"
        "OPCLogging=1\r\n"
        "OPCNumLogLines = 5000\r\n"
        "ComLogToFile=1\r\n"
        "OPCLogToFile=1\r\n"
        "Flags=0\r\n"
        "NormPos=10,20,800,600\r\n"
        "logevents = 0\r\n"
        "MyNote=keep me\r\n"
        "ShowMessages=0\r\nNumOfEventLines=200\r\nComLogging=0\r\nNumOfComLines=100\r\nLanguage=0\r\n"
        "VarTypesSigning=0\r\nFlatListView=1\r\nIsRegistered=0\r\nVarUniqueness=0\r\nArrWatchMaxLen=255\r\n"
        "ArrWatchOffset=0\r\nCfgFileName=Bezejmena.cfg\r\n"
        "\r\n"
        "[Ports]\r\n"
        "COM3=/dev/ttyUSB0\r\n"
        "\r\n"
        "[Communication]\r\n"
        "; slower line\r\n"
        "CommDelay=70\r\n"
        "Unknown=x\r\n"
        "ServerAddress=126\r\nConnectRate=30000\r\nMaxBadCommCount=3\r\nMaxPacketLen=255\r\nMaxBadComToReset=0\r\n"
        "DifferentPacketLen=0\r\nCheckTimestamp=0\r\n"
        "\r\n"
        "; not ours\r\n"
        "[Plugin]\r\n"
        "Path=/opt/plugin\r\n"
        "\r\n"
        "[ConfigTree]\r\n"
        "Col0Width=150\r\nCol1Width=70\r\nCol2Width=80\r\nCol3Width=100\r\nCol4Width=100\r\nCol5Width=150\r\n"
        "\r\n"
        "[ConfigList]\r\n"
        "Col0Width=150\r\nCol1Width=70\r\nCol2Width=80\r\nCol3Width=100\r\nCol4Width=100\r\nCol5Width=150\r\n"
        "\r\n"
        "[DataFlowControl]\r\n"
        "UseRTS=0\r\nUseDTR=0\r\n"
        "\r\n"
        "[Modem]\r\n"
        "timBeforeDial=20\r\ntimSameCall=60\r\ntimTildeDelay=25\r\n";
    EXPECT_EQ(once, expected);

    vos::ReadSettings();
    EXPECT_TRUE(vos::OPCLogging);
    EXPECT_EQ(vos::OPCNumLogLines, 5000);
    EXPECT_TRUE(vos::OPCLogToFile);
    EXPECT_TRUE(vx::ComLogToFile);
    EXPECT_FALSE(vx::LogEvents);
}

TEST_F(SettingsTest, ConfigurationFileThatIsGoneGivesTheUntitledNameOfTheLanguage)
{
    const auto existing = PathOf("plant.cfg");
    std::ofstream(existing) << "x";
    const auto czech = PathOf("Linka č. 2.cfg");
    std::ofstream(czech) << "x";
    fs::create_directory(PathOf("folder.cfg"));

    struct Case {
        int language;
        std::optional<std::string> stored;  // nullopt: no CfgFileName key
        std::string expected;
    };
    const Case cases[] = {
        {1, existing, existing},
        {1, PathOf("deleted.cfg"), "Untitled.cfg"},
        {0, PathOf("deleted.cfg"), "Bezejmena.cfg"},
        {1, std::nullopt, "Untitled.cfg"},
        {0, std::nullopt, "Bezejmena.cfg"},
        {1, "", "Untitled.cfg"},
        {1, PathOf("folder.cfg"), "Untitled.cfg"},
        {1, plat::utf8ToCp1250(czech), czech},  // stored in Windows-1250 by the Windows program
        // Relative names are taken from the settings file's folder, not the working directory.
        {1, "plant.cfg", existing},
        {1, "sub/../plant.cfg", existing},
        {1, "deleted.cfg", "Untitled.cfg"},
    };
    for (const auto& c : cases) {
        captions.clear();
        std::string ini = "[Main]\nLanguage=" + std::to_string(c.language) + "\n";
        if (c.stored)
            ini += "CfgFileName=" + *c.stored + "\n";
        PutIni(ini);
        vos::ReadSettings();
        EXPECT_EQ(vx::CfgFileName, c.expected) << ini;
        EXPECT_EQ(captions, std::vector<std::string>{c.expected}) << "the caption shows the name";
    }
}

TEST_F(SettingsTest, UntitledIsTheNamePartInEitherLanguageCaseSensitive)
{
    const std::pair<const char*, bool> cases[] = {
        {"Untitled.cfg", true},
        {"Bezejmena.cfg", true},
        {"/home/op/plants/Untitled.cfg", true},
        {"relative/dir/Bezejmena.cfg", true},
        {"C:\\Vorn\\Untitled.cfg", true},
        {"C:Untitled.cfg", true},
        {"/home/op/untitled.cfg", false},
        {"/home/op/Untitled.CFG", false},
        {"/home/op/BEZEJMENA.cfg", false},
        {"/home/op/MyUntitled.cfg", false},
        {"/home/op/Untitled.cfg/plant.cfg", false},
        {"/home/op/Untitled.cfg.bak", false},
        {"", false},
    };
    for (const auto& [name, untitled] : cases) {
        vx::CfgFileName = name;
        EXPECT_EQ(vos::IsUntitledConfig(), untitled) << name;
    }
    for (const int language : {0, 1}) {
        vx::Language = language;
        vx::CfgFileName = "/any/where/" + vx::GetLangText(108);
        EXPECT_TRUE(vos::IsUntitledConfig()) << "the catalogue's name in language " << language;
    }
}

TEST_F(SettingsTest, SaveCfgFileNameWritesOnlyThatKey)
{
    PutIni("[Main]\nLanguage=1\nCfgFileName=/old.cfg\nOther=1\n");
    vx::CfgFileName = "/home/op/Příliš.cfg";
    vos::SaveCfgFileName();
    EXPECT_EQ(IniContent(), "[Main]\nLanguage=1\nCfgFileName=/home/op/P\xF8\xEDli\x9A.cfg\nOther=1\n");
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SettingsTest, FailingSaveCfgFileNameReportsAndKeepsTheName)
{
    const auto blocker = PathOf("plain");
    std::ofstream(blocker) << "a file, not a directory";
    const std::pair<int, std::string> cases[] = {
        {1, "Cannot save configuration to file /home/op/plant.cfg!"},
        {0, "Konfiguraci se nepodařilo uložit!"},
    };
    for (const auto& [language, message] : cases) {
        notes.clear();
        vx::Language = language;
        vx::IniFileName = blocker + "/VornOPCServer.ini";
        vx::CfgFileName = "/home/op/plant.cfg";
        EXPECT_NO_THROW(vos::SaveCfgFileName());
        EXPECT_EQ(Errors(), std::vector<std::string>{message});
        EXPECT_EQ(vx::CfgFileName, "/home/op/plant.cfg");
    }
}

TEST_F(SettingsTest, FileErrorsOfReadAndWriteGoToTheCaller)
{
    vx::IniFileName = PathOf("a-directory");
    fs::create_directory(vx::IniFileName);
    EXPECT_THROW(vos::ReadSettings(), std::runtime_error);
    EXPECT_EQ(vx::MaxPacketLen, 0) << "nothing read from a file that could not be read";
    EXPECT_THROW(vos::WriteSettings(), std::runtime_error);
}

TEST_F(SettingsTest, ColumnWidthsGoToTheEditorAndBack)
{
    PutIni("[ConfigTree]\nCol0Width=70\nCol2Width=abc\n[ConfigList]\nCol5Width=102\n");
    vos::ReadSettings();

    // No editor: the widths read are written back unchanged.
    vos::WriteSettings();
    const vos::IniFile written(vx::IniFileName);
    EXPECT_EQ(written.ReadRaw("ConfigTree", "Col0Width"), "70");
    EXPECT_EQ(written.ReadRaw("ConfigTree", "Col2Width"), "80");
    EXPECT_EQ(written.ReadRaw("ConfigList", "Col5Width"), "102");

    // An editor attached later gets the widths read.
    FakeColumns editor;
    vos::AttachConfigColumns(&editor);
    EXPECT_EQ(editor.widths[0], (std::array<std::int32_t, 6>{70, 70, 80, 100, 100, 150}));
    EXPECT_EQ(editor.widths[1], (std::array<std::int32_t, 6>{150, 70, 80, 100, 100, 102}));

    editor.widths[0][3] = 123;
    editor.widths[1][0] = 45;
    vos::WriteSettings();
    const vos::IniFile after(vx::IniFileName);
    EXPECT_EQ(after.ReadRaw("ConfigTree", "Col3Width"), "123");
    EXPECT_EQ(after.ReadRaw("ConfigList", "Col0Width"), "45");
}

TEST_F(SettingsTest, PortsSectionMapsComNumbersToDevices)
{
    PutIni("[Ports]\nCOM3=/dev/ttyUSB0\ncom4 = /dev/ttyACM0\nCOM0=/dev/zero\nCOMx=/dev/x\nCOM+6=/dev/y\n"
           "COM5=\nCOM3=/dev/second\n");
    vos::ReadSettings();
    const std::pair<int, const char*> cases[] = {
        {3, "/dev/ttyUSB0"}, {4, "/dev/ttyACM0"}, {1, "/dev/ttyS0"}, {5, "/dev/ttyS4"},
        {6, "/dev/ttyS5"},   {0, ""},             {-1, ""},
    };
    for (const auto& [n, device] : cases)
        EXPECT_EQ(plat::comPortDevice(n), device) << "COM" << n;
    int ignored = 0;
    for (const auto& [kind, text] : notes)
        ignored += text.find("[Ports] entry") != std::string::npos;
    EXPECT_EQ(ignored, 4) << "COM0, COMx, COM+6 and the empty COM5";

    PutIni("[Main]\n");
    vos::ReadSettings();
    EXPECT_EQ(plat::comPortDevice(3), "/dev/ttyS2") << "a second reading forgets the old map";
}

// Each value not taken as it stands is reported once: the key, the text read, the value used.
TEST_F(SettingsTest, CorrectedValuesAreLoggedOnceWithTheTextReadAndTheValueUsed)
{
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"[Communication]\nServerAddress=99999",
         {"Settings: [Communication] ServerAddress=99999 is out of range 0..255; using 126"}},
        {"[Main]\nNumOfEventLines=abc\nLogEvents=yes",
         {"Settings: [Main] LogEvents=yes is not a number; using 1",
          "Settings: [Main] NumOfEventLines=abc is not a number; using 200"}},
        {"[Communication]\nMaxPacketLen=7\nCommDelay=-5",
         {"Settings: [Communication] CommDelay=-5 is out of range 0..2147483647; using 0",
          "Settings: [Communication] MaxPacketLen=7 is out of range 10..255; using 10"}},
        {"[Communication]\nMaxPacketLen=x", {"Settings: [Communication] MaxPacketLen=x is not a number; using 255"}},
        {"[Communication]\nMaxBadCommCount=3\nMaxBadComToReset=2",
         {"Settings: [Communication] MaxBadComToReset=2 is below MaxBadCommCount; using 4"}},
        {"[Modem]\ntimBeforeDial=3000000",
         {"Settings: [Modem] timBeforeDial=3000000 is out of range -2147483..2147483; using 2147483"}},
        {"[ConfigTree]\nCol2Width=", {"Settings: [ConfigTree] Col2Width= is not a number; using 80"}},
        {"[Communication]\nServerAddress=0x7E\nMaxPacketLen=255\nCommDelay=0\nMaxBadComToReset=0\n"
         "[Main]\nNumOfEventLines=-3",
         {}},
    };
    for (const auto& [ini, expected] : cases) {
        vx::ResetSettings();
        vos::ResetAppSettings();
        vx::IniFileName = PathOf("VornOPCServer.ini");
        PutIni(ini);
        SettingsLog log;
        vos::ReadSettings();
        EXPECT_EQ(SettingsLog::lines(), expected) << ini;
    }
}

// A file that is no text is reported once and left as it is by every later write.
TEST_F(SettingsTest, SettingsFileThatIsNotTextIsReportedAndLeftAlone)
{
    static constexpr char kBinary[] = "\x7F" "ELF\x02\x01\x01\0\0\0[Main]\nLogEvents=0\n";
    const std::string bytes(kBinary, sizeof kBinary - 1);
    PutIni(bytes);
    SettingsLog log;
    vos::ReadSettings();
    EXPECT_EQ(SettingsLog::lines(),
              std::vector<std::string>{"Settings file " + vx::IniFileName +
                                       " is not a text file; it is left as it is and settings changed in this run "
                                       "are not saved"});

    vx::ServerAddress = 5;
    vos::WriteSettings();
    vx::CfgFileName = "/home/op/plant.cfg";
    vos::SaveCfgFileName();
    vos::WriteSettings();
    EXPECT_EQ(IniContent(), bytes);
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(SettingsLog::Count("is not a text file; it is left as it is"), 1);
}

// Replacing goes through a new file in the folder, which the folder allows; the file's own
// missing write permission keeps it, for root as well (the mode bits count).
TEST_F(SettingsTest, WriteProtectedSettingsFileIsNotReplaced)
{
    const std::string before = "[Communication]\nServerAddress=1\n";
    PutIni(before);
    ASSERT_EQ(::chmod(vx::IniFileName.c_str(), 0444), 0);
    SettingsLog log;
    vos::ReadSettings();
    EXPECT_EQ(vx::ServerAddress, 1);

    vx::ServerAddress = 2;
    vos::WriteSettings();
    vx::CfgFileName = "/home/op/plant.cfg";
    vos::SaveCfgFileName();
    vos::WriteSettings();
    // The window placement's writer asks the same.
    EXPECT_TRUE(vos::LeaveSettingsFileAlone(vos::IniFile(vx::IniFileName)));
    EXPECT_EQ(IniContent(), before);
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(SettingsLog::Count("is write-protected"), 1);

    // Once writable again, the next run writes it.
    ASSERT_EQ(::chmod(vx::IniFileName.c_str(), 0644), 0);
    vos::ReadSettings();
    vx::ServerAddress = 2;
    vos::WriteSettings();
    EXPECT_EQ(vos::IniFile(vx::IniFileName).ReadInteger("Communication", "ServerAddress", 0), 2);
    EXPECT_EQ(SettingsLog::Count("is write-protected"), 1);
}

TEST_F(SettingsTest, ReadingLogsTheFileRead)
{
    PutIni("[Main]\n");
    vos::ReadSettings();
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back(), std::make_pair(Note::Log, "Settings read from " + vx::IniFileName));
}

TEST(SettingsPath, BesideTheProgramWhenWritableElseTheUserConfigDirectory)
{
    struct Case {
        const char* programDir;
        bool writable;
        const char* xdg;
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/opt/vorn/bin", true, "/home/op/.xdg", "/home/op", "/opt/vorn/bin/VornOPCServer.ini"},
        {"/usr/bin", false, "/home/op/.xdg", "/home/op", "/home/op/.xdg/VornOPCServer/VornOPCServer.ini"},
        {"/usr/bin", false, "", "/home/op", "/home/op/.config/VornOPCServer/VornOPCServer.ini"},
        {"/usr/bin", false, "relative/xdg", "/home/op", "/home/op/.config/VornOPCServer/VornOPCServer.ini"},
        {"/usr/bin", false, "", "", "/usr/bin/VornOPCServer.ini"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vos::DefaultSettingsPath(c.programDir, c.writable, c.xdg, c.home), c.expected)
            << c.programDir << " " << c.writable << " '" << c.xdg << "' '" << c.home << "'";
}

TEST(SettingsPath, CommandLineOptionOverrides)
{
    const auto cwd = fs::current_path();
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const Case cases[] = {
        {{"VornOPCServer", "--settings", "/etc/vorn/a.ini"}, "/etc/vorn/a.ini"},
        {{"VornOPCServer", "--settings=/etc/vorn/b.ini"}, "/etc/vorn/b.ini"},
        {{"VornOPCServer", "--settings", "rel/c.ini"}, (cwd / "rel/c.ini").string()},
        {{"VornOPCServer", "--settings", "/a.ini", "-Embedding", "--settings=/b.ini"}, "/b.ini"},
        {{"VornOPCServer", "--quit-after", "100", "--settings", "/x/../d.ini"}, "/d.ini"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vos::SettingsFilePath(c.args), c.expected) << c.args.back();

    const std::vector<std::string> bad[] = {
        {"VornOPCServer", "--settings"},
        {"VornOPCServer", "--settings="},
        {"VornOPCServer", "--settings", ""},
    };
    for (const auto& args : bad)
        EXPECT_THROW(vos::SettingsFilePath(args), std::invalid_argument) << args.back();

    const auto fallback = vos::SettingsFilePath({"VornOPCServer", "--settingsfile", "/x.ini"});
    EXPECT_TRUE(fallback.ends_with("/VornOPCServer.ini")) << fallback;
}

}  // namespace

// The communication log: the bounded lists of a channel, the packet line, and the daily file
// with its folder choice, room check, failures and recovery.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "comm/vx_comlog.h"
#include "comm/vx_packet.h"
#include "fake_port.h"
#include "platform/com/locale.h"

namespace {

namespace fs = std::filesystem;
using chantest::ChannelTest;
using vx::TCOM;
using vx::TPacket;
using vx::TStation;

std::string readFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

double at(int y, int mo, int d, int h, int mi, int s, int ms)
{
    plat::DateTimeFields f;
    f.year = y;
    f.month = mo;
    f.day = d;
    f.hour = h;
    f.minute = mi;
    f.second = s;
    f.millisecond = ms;
    double out = 0;
    EXPECT_TRUE(plat::encodeDateTime(f, out));
    return out;
}

struct ComLogTest : ChannelTest {
    fs::path dir;
    bool writable = true;
    std::int64_t freeBytes = -1;
    std::string xdg;
    TStation* st = nullptr;
    TCOM* ch = nullptr;

    void SetUp() override
    {
        ChannelTest::SetUp();
        char tmpl[] = "/tmp/comlogXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directory(dir / "prog");
        vx::SetComLogEnv({[this] { return (dir / "prog").string(); }, [this](const std::string&) { return writable; },
                          [this](const std::string&) { return freeBytes; },
                          [this](const char* name) { return std::string(name) == "XDG_STATE_HOME" ? xdg : std::string(); }});
        com::ProcessLocale english = com::ProcessLocale::english();
        english.dateFormat = "MM/dd/yy";
        com::setProcessLocale(english);
        vx::ComLogging = true;
        vx::ComLogToFile = true;
        vx::NumOfComLines = 1000;
        st = station(2);
        st->Name = "PLC1";
        ch = st->Channel;
        ch->Name = "COM3";
    }
    void TearDown() override
    {
        vx::SetComLogEnv({});
        com::setProcessLocale(com::ProcessLocale::english());
        fs::permissions(dir / "prog", fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
        ChannelTest::TearDown();
    }
    // A sent ReadN with the frame 68 01 02 or a received answer of RxBuffer's bytes.
    void logSent(double when)
    {
        clock.setNow(when);
        TPacket p(vx::pkReadN, st);
        p.Frame[0] = 0x68;
        p.Frame[1] = 0x01;
        p.Frame[2] = 0x02;
        p.FrameLength = 3;
        p.AnswerLength = 9;
        p.LogDirection = 2;
        ch->LogPacket(&p);
    }
    fs::path progFile(const std::string& date) const { return dir / "prog" / ("COM3_" + date + ".log"); }
};

TEST_F(ComLogTest, TheListKeepsAtMostNumOfComLinesAndAlwaysTheNewest)
{
    vx::ComLogToFile = false;
    struct Case {
        std::int32_t setting;
        std::size_t records;
        std::size_t kept;
    };
    for (const Case c : {Case{100, 101, 100}, Case{0, 5, 1}, Case{-3, 5, 1}, Case{2000000000, 100005, 100000}}) {
        ch->ComLog.clear();
        vx::NumOfComLines = c.setting;
        for (std::size_t i = 0; i < c.records; ++i)
            ch->LogNote("line " + std::to_string(i));
        ASSERT_EQ(ch->ComLog.size(), c.kept) << c.setting;
        EXPECT_EQ(ch->ComLog.back(), "line " + std::to_string(c.records - 1));
        EXPECT_EQ(ch->ComLog.front(), "line " + std::to_string(c.records - c.kept));
    }
    vx::ComLogging = false;
    ch->LogNote("off");
    EXPECT_NE(ch->ComLog.back(), "off");
}

TEST_F(ComLogTest, APacketLineHasSixFieldsAndANameWithALineBreakStaysInItsField)
{
    vx::ComLogToFile = false;
    st->Name = "PLC\r\n1";
    logSent(at(2026, 12, 10, 14, 5, 30, 7));
    EXPECT_EQ(ch->ComLog.back(), ">\rReadN\rPLC  1\r3\r9\r14:05:30");
}

TEST_F(ComLogTest, TheFileRecordsASentAndAReceivedTelegramByteForByte)
{
    const double when = at(2026, 12, 10, 14, 5, 30, 7);
    logSent(when);
    ch->RxBuffer[0] = 0xE5;
    ch->RxCount = 1;
    TPacket ack(vx::pkReadN, st);
    ack.LogDirection = 3;
    ch->LogPacket(&ack);
    EXPECT_EQ(readFile(progFile("12-10-26")),
              "14:05:30:7 ReadN PLC1\r\nP1> 68 01 02 \r\n14:05:30:7 ReadN PLC1\r\nP1< E5 \r\n");
    EXPECT_EQ(ch->ComLog.size(), 2u);
    ch->LogPacket(nullptr);
    EXPECT_EQ(ch->ComLog.size(), 2u);
}

TEST_F(ComLogTest, RecordsAroundMidnightGoToTheFileOfTheirOwnDay)
{
    logSent(at(2026, 12, 10, 23, 59, 59, 999));
    logSent(at(2026, 12, 11, 0, 0, 0, 1));
    EXPECT_EQ(readFile(progFile("12-10-26")), "23:59:59:999 ReadN PLC1\r\nP1> 68 01 02 \r\n");
    EXPECT_EQ(readFile(progFile("12-11-26")), "00:00:00:1 ReadN PLC1\r\nP1> 68 01 02 \r\n");
}

TEST_F(ComLogTest, NothingIsWrittenWithoutComLoggingOrWithoutRoom)
{
    vx::ComLogging = false;
    logSent(at(2026, 12, 10, 8, 0, 0, 0));
    EXPECT_FALSE(fs::exists(progFile("12-10-26")));
    EXPECT_TRUE(ch->ComLog.empty());

    vx::ComLogging = true;
    freeBytes = vx::kComLogMinFreeBytes - 1;
    logSent(at(2026, 12, 10, 8, 0, 0, 0));
    EXPECT_FALSE(fs::exists(progFile("12-10-26")));
    EXPECT_EQ(ch->ComLog.size(), 1u) << "the list still grows";

    freeBytes = vx::kComLogMinFreeBytes;
    logSent(at(2026, 12, 10, 8, 0, 0, 0));
    EXPECT_TRUE(fs::exists(progFile("12-10-26")));
}

TEST_F(ComLogTest, AProgramFolderThatIsNotWritableSendsTheFilesToTheStateFolder)
{
    writable = false;
    xdg = (dir / "state").string();
    logSent(at(2026, 12, 10, 8, 0, 0, 0));
    const fs::path f = dir / "state" / "VornOPCServer" / "COM3_12-10-26.log";
    EXPECT_TRUE(fs::exists(f));
    EXPECT_EQ(fs::status(f.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(progFile("12-10-26")));
}

TEST_F(ComLogTest, AFailingWriteIsNotedOnceAndTheRecoveryToo)
{
    const double when = at(2026, 12, 10, 8, 0, 0, 0);
    fs::create_directory(progFile("12-10-26"));  // a directory where the file should be
    logSent(when);
    logSent(when);
    EXPECT_FALSE(ch->AppendLogFile("a", "b"));
    std::size_t failures = 0;
    for (const auto& line : ch->ComLog)
        failures += line.find("cannot be written") != std::string::npos;
    EXPECT_EQ(failures, 1u);
    EXPECT_NE(ch->ComLog[1].find(progFile("12-10-26").string()), std::string::npos) << ch->ComLog[1];

    fs::remove(progFile("12-10-26"));
    clock.setNow(when);
    EXPECT_TRUE(ch->AppendLogFile("a", "b"));
    EXPECT_EQ(ch->ComLog.back(), "COM3: the log file is written again");
    EXPECT_EQ(readFile(progFile("12-10-26")), "a\r\nb\r\n");
}

TEST_F(ComLogTest, AFolderWithoutWritePermissionFailsWithoutStoppingTheChannel)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes anywhere";
    fs::permissions(dir / "prog", fs::perms::owner_read | fs::perms::owner_exec);
    logSent(at(2026, 12, 10, 8, 0, 0, 0));
    ASSERT_GE(ch->ComLog.size(), 2u);
    EXPECT_NE(ch->ComLog.back().find("cannot be written"), std::string::npos);
}

TEST_F(ComLogTest, FileNamesStayInsideTheFolder)
{
    const double when = at(2026, 12, 10, 8, 0, 0, 0);
    struct Case {
        const char* channel;
        const char* name;
    };
    for (const Case c : {Case{"COM3", "COM3_12-10-26.log"}, Case{"../x", "_.-x_12-10-26.log"},
                         Case{".hidden", "_hidden_12-10-26.log"}})
        EXPECT_EQ(vx::ComLogFileName(c.channel, when), c.name);
    EXPECT_EQ(vx::ComLogFileName(std::string("a\0b", 3), when), "a-b_12-10-26.log");

    ch->Name = "../x";
    logSent(when);
    EXPECT_TRUE(fs::exists(dir / "prog" / "_.-x_12-10-26.log"));
    EXPECT_FALSE(fs::exists(dir / "x_12-10-26.log"));

    com::setProcessLocale(com::ProcessLocale::czech());
    EXPECT_EQ(vx::ComLogFileName("COM3", when), "COM3_10.12.2026.log") << "the locale's own short date";
}

}  // namespace

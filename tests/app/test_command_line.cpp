// The program's command line as a person types it: help, version, typos, bad values, and the
// COM server's switches in their Windows spellings.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vos::TCommandLineResult;

struct LineCase {
    const char* name;
    std::vector<std::string> args;
    TCommandLineResult::Kind kind;
    const char* textPart;  // in the help, version or error text
    bool headless = false;
    int quitAfterMs = -1;
    bool regServer = false;
    bool unregServer = false;
    bool embedding = false;
};

class CommandLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLine, IsParsed)
{
    const LineCase& c = GetParam();
    std::vector<std::string> args = {"VornOPCServer"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const TCommandLineResult r = vos::ParseCommandLine(args);
    EXPECT_EQ(r.kind, c.kind) << r.text;
    EXPECT_NE(r.text.find(c.textPart), std::string::npos) << r.text;
    if (r.kind != TCommandLineResult::Run)
        return;
    EXPECT_EQ(r.line.Headless, c.headless);
    EXPECT_EQ(r.line.QuitAfterMs, c.quitAfterMs);
    EXPECT_EQ(r.line.Switches.RegServer, c.regServer);
    EXPECT_EQ(r.line.Switches.UnregServer, c.unregServer);
    EXPECT_EQ(r.line.Switches.StartedByCom(), c.embedding);
}

using K = TCommandLineResult::Kind;

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    ::testing::Values(
        LineCase{"Nothing", {}, K::Run, ""},
        LineCase{"Settings", {"--settings", "/tmp/a.ini", "--registry=/tmp/r.reg"}, K::Run, ""},
        LineCase{"Headless", {"--headless"}, K::Run, "", true},
        LineCase{"QuitAfter", {"--quit-after", "250"}, K::Run, "", false, 250},
        LineCase{"QuitAfterJoined", {"--quit-after=0"}, K::Run, "", false, 0},
        LineCase{"RegServer", {"-RegServer"}, K::Run, "", false, -1, true},
        LineCase{"RegServerSlashLower", {"/regserver"}, K::Run, "", false, -1, true},
        LineCase{"UnregServerUpper", {"/UNREGSERVER"}, K::Run, "", false, -1, false, true},
        LineCase{"Activation", {"-Embedding", "--settings", "/tmp/a.ini"}, K::Run, "", false, -1, false, false, true},
        LineCase{"Automation", {"/automation"}, K::Run, "", false, -1, false, false, true},
        LineCase{"Help", {"--help"}, K::Help, "--quit-after <ms>"},
        LineCase{"HelpShort", {"-h"}, K::Help, "-RegServer"},
        LineCase{"Version", {"--version"}, K::Version, "VornOPCServer 1.0.0.1"},
        LineCase{"Typo", {"--settigns", "x.ini"}, K::Error, "settigns"},
        LineCase{"QuitAfterNotANumber", {"--quit-after", "abc"}, K::Error, "'abc'"},
        LineCase{"QuitAfterNegative", {"--quit-after=-5"}, K::Error, "--quit-after"},
        LineCase{"QuitAfterTooLarge", {"--quit-after", "99999999999"}, K::Error, "--quit-after"},
        LineCase{"SettingsWithoutPath", {"--settings"}, K::Error, "settings"},
        LineCase{"SettingsEmptyPath", {"--settings="}, K::Error, "--settings needs the path"},
        LineCase{"StrayArgument", {"plant.cfg"}, K::Error, "unexpected argument 'plant.cfg'"},
        LineCase{"UnknownSwitch", {"-Embeding"}, K::Error, "Embeding"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLineHelp, ListsEveryOptionOnItsOwnLine)
{
    const std::string help = vos::ParseCommandLine({"VornOPCServer", "--help"}).text;
    for (const char* option : {"--settings <file>", "--registry <file>", "--headless", "--quit-after <ms>", "-RegServer",
                               "-UnregServer", "-Embedding", "-Automation", "-h, --help", "-v, --version"})
        EXPECT_NE(help.find("\n  " + std::string(option)), std::string::npos) << option;
    // Every error says where to look.
    EXPECT_NE(vos::ParseCommandLine({"VornOPCServer", "-x"}).text.find("--help"), std::string::npos);
}

}  // namespace

#include "app/inifile.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using vos::IniFile;

class IniFileTest : public ::testing::Test {
protected:
    std::string PathOf(const std::string& name) const { return dir_.filePath(QString::fromStdString(name)).toStdString(); }

    std::string Put(const std::string& bytes, const std::string& name = "test.ini") const
    {
        const auto path = PathOf(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static std::string Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    QTemporaryDir dir_;
};

// Section [S] with key KeyOf(i) holding the text of case i (the first of each pair).
std::string KeyOf(std::size_t i) { return "K" + std::to_string(i); }
template <class Cases>
std::string OneKeyPerCase(const Cases& cases)
{
    std::string file = "[S]\n";
    for (std::size_t i = 0; i < std::size(cases); ++i)
        file += KeyOf(i) + "=" + std::string(cases[i].first) + "\n";
    return file;
}

// One file with the cases the profile functions treat specially.
constexpr char kSample[] =
    "; leading comment\n"
    "orphan=outside any section\n"
    "[Main]\n"
    "  LogEvents = 1  \n"
    "SHOWMESSAGES=0\n"
    "Empty=\n"
    "Spaced Key = a b c \n"
    "Equals=a=b\n"
    "NoEqualsLine\n"
    "; Hidden=1\n"
    "# AlsoHidden=1\n"
    "Dup=first\n"
    "Dup=second\n"
    "Cr=1\rAfterCr=2\n"
    "[  Other  ]\n"
    "Tab\t=\tx\t\n"
    "[main]\n"
    "LateDup=in the second section of that name\n"
    "[Broken\n"
    "B=1";

TEST_F(IniFileTest, FindsKeysLikeTheProfileFunctions)
{
    // The bytes in memory read as the same bytes in a file.
    for (const IniFile& ini : {IniFile(Put(kSample)), IniFile::FromBytes(kSample)}) {
        struct Case {
            const char* section;
            const char* key;
            std::optional<std::string> expected;
        };
        const Case cases[] = {
            {"Main", "LogEvents", "1"},
            {"mAIN", "logevents", "1"},
            {"Main", "ShowMessages", "0"},
            {"Main", "Empty", ""},
            {"Main", "Spaced Key", "a b c"},
            {"Main", "Equals", "a=b"},
            {"Main", "NoEqualsLine", std::nullopt},
            {"Main", "Hidden", std::nullopt},
            {"Main", "AlsoHidden", std::nullopt},
            {"Main", "Dup", "first"},
            {"Main", "Cr", "1"},
            {"Main", "AfterCr", "2"},
            {"Other", "Tab", "x"},
            {"Main", "LateDup", std::nullopt},
            {"Main", "orphan", std::nullopt},
            {"Broken", "B", "1"},
            {"Missing", "LogEvents", std::nullopt},
        };
        for (const auto& c : cases)
            EXPECT_EQ(ini.ReadRaw(c.section, c.key), c.expected) << c.section << "/" << c.key;

        EXPECT_TRUE(ini.SectionExists("other"));
        EXPECT_FALSE(ini.SectionExists("Missing"));
        EXPECT_EQ(ini.ReadSection("MAIN"),
                  (std::vector<std::string>{"LogEvents", "SHOWMESSAGES", "Empty", "Spaced Key", "Equals", "Dup", "Dup", "Cr",
                                            "AfterCr"}));
    }
}

// A value quoted by hand reads without its outer quotes, as the profile functions read it, so
// that a path with blanks names the file; only one matching pair goes.
TEST_F(IniFileTest, OneOuterPairOfMatchingQuotesIsDropped)
{
    const std::pair<std::string_view, std::string_view> cases[] = {
        {R"("/srv/plant configs/line 1.cfg")", "/srv/plant configs/line 1.cfg"},
        {"'single'", "single"},
        {R"(  " blanks kept "  )", " blanks kept "},
        {R"("")", ""},
        {R"(")", R"(")"},
        {"''twice''", "'twice'"},
        {R"("a" "b")", R"(a" "b)"},
        {R"("mixed')", R"("mixed')"},
        {R"(x"inside")", R"(x"inside")"},
        {R"("open)", R"("open)"},
    };
    const IniFile ini = IniFile::FromBytes(OneKeyPerCase(cases) + "Number=\"0x10\"\nFlag='0'\n");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(ini.ReadString("S", KeyOf(i), "def"), cases[i].second) << cases[i].first;
        EXPECT_EQ(ini.ReadRaw("S", KeyOf(i)), std::string(cases[i].second)) << cases[i].first;
    }
    EXPECT_EQ(ini.ReadInteger("S", "Number", 0), 16);
    EXPECT_FALSE(ini.ReadBool("S", "Flag", true));
}

// What reading would change is stored in quotes, so every value reads back as written; a
// value already there in quotes of the user's leaves the line alone.
TEST_F(IniFileTest, ValuesReadBackAsWrittenWhateverTheirQuotesAndBlanks)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"/srv/plant configs/line 1.cfg", "/srv/plant configs/line 1.cfg"},
        {" leading", R"(" leading")"},
        {"trailing\t", "\"trailing\t\""},
        {R"("quoted")", R"(""quoted"")"},
        {"'single'", R"("'single'")"},
        {R"(")", R"(")"},
        {R"(say "hi")", R"(say "hi")"},
        {"", ""},
    };
    const auto path = Put("[S]\nHand = \"/srv/a b.cfg\" \n");
    IniFile ini(path);
    for (std::size_t i = 0; i < std::size(cases); ++i)
        ini.WriteString("S", KeyOf(i), cases[i].first);
    ini.UpdateFile();
    const IniFile back(path);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(back.ReadString("S", KeyOf(i), "def"), cases[i].first) << cases[i].first;
        EXPECT_NE(Slurp(path).find("\n" + KeyOf(i) + "=" + cases[i].second + "\n"), std::string::npos) << cases[i].first;
    }

    IniFile again(path);
    again.WriteString("S", "Hand", "/srv/a b.cfg");
    EXPECT_FALSE(again.Modified());
    again.WriteString("S", "Hand", "/srv/a b.cfg ");
    EXPECT_EQ(again.ReadRaw("S", "Hand"), "/srv/a b.cfg ");
}

TEST_F(IniFileTest, BytesInMemoryAreBoundedAndWrittenToTheirFileName)
{
    EXPECT_THROW(IniFile::FromBytes(std::string(IniFile::kMaxFileSize + 1, ';')), std::runtime_error);
    const auto path = PathOf("from bytes.ini");
    IniFile ini = IniFile::FromBytes("[A]\r\nx=1\r\n", path);
    EXPECT_FALSE(ini.Existed());
    ini.WriteInteger("A", "x", 2);
    ini.UpdateFile();
    EXPECT_EQ(Slurp(path), "[A]\r\nx=2\r\n");
    IniFile nameless = IniFile::FromBytes("[A]\n");
    nameless.WriteInteger("A", "x", 2);
    EXPECT_THROW(nameless.UpdateFile(), std::runtime_error);
}

TEST_F(IniFileTest, MissingFileReadsAsDefaultsAndIsNotCreatedByReading)
{
    const auto path = PathOf("absent.ini");
    IniFile ini(path);
    EXPECT_FALSE(ini.Existed());
    EXPECT_EQ(ini.ReadString("Main", "Key", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("Main", "Key", 42), 42);
    EXPECT_TRUE(ini.ReadBool("Main", "Key", true));
    ini.UpdateFile();  // nothing changed: nothing to write
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(IniFileTest, IntegersAreDecimalOrHexadecimalElseTheDefault)
{
    constexpr std::int32_t def = -77;
    const std::pair<const char*, std::int32_t> cases[] = {
        {"10", 10},
        {"007", 7},
        {"-5", -5},
        {"+7", 7},
        {" 42 ", 42},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"0x10", 16},
        {"0X1f", 31},
        {"0x7FFFFFFF", 2147483647},
        {"0x80000000", INT32_MIN},
        {"0xFFFFFFFF", -1},
        {"0x0000000010", 16},
        {"2147483648", def},
        {"-2147483649", def},
        {"99999999999999999999", def},
        {"0x100000000", def},
        {"0x", def},
        {"0xG1", def},
        {"-0x10", def},
        {"0x-1", def},
        {"", def},
        {"-", def},
        {"--1", def},
        {"abc", def},
        {"12abc", def},
        {"1.5", def},
        {"4 2", def},
        {"$10", def},
    };
    const IniFile ini(Put(OneKeyPerCase(cases)));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(ini.ReadInteger("S", KeyOf(i), def), cases[i].second) << '"' << cases[i].first << '"';
}

TEST_F(IniFileTest, BooleansAreIntegersAndAnythingButZeroIsTrue)
{
    // nullopt: the default is kept.
    const std::pair<const char*, std::optional<bool>> cases[] = {
        {"1", true},  {"0", false},        {"2", true},           {"-1", true},         {"0x0", false},
        {"0x8", true}, {"yes", std::nullopt}, {"true", std::nullopt}, {"", std::nullopt}, {"on", std::nullopt},
    };
    const IniFile ini(Put(OneKeyPerCase(cases)));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        for (const bool def : {false, true})
            EXPECT_EQ(ini.ReadBool("S", KeyOf(i), def), cases[i].second.value_or(def))
                << '"' << cases[i].first << "\" default " << def;
}

TEST_F(IniFileTest, StringsAreDecodedAndCutAfter2047Characters)
{
    const std::string czechCp1250 = "P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD";  // Příliš žluťoučký
    const std::string czech = "Příliš žluťoučký";
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {czechCp1250, czech},
        {czech, czech},  // a file saved as UTF-8 on Linux
        {"\x81\x83", "\uFFFD\uFFFD"},  // bytes without a character
        {std::string(3000, 'a'), std::string(2047, 'a')},
        {std::string(3000, '\xE8'), [] {  // 2047 characters, two bytes each in UTF-8
             std::string s;
             for (int i = 0; i < 2047; ++i)
                 s += "č";
             return s;
         }()},
    };
    const IniFile ini(Put(OneKeyPerCase(cases)));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(ini.ReadString("S", KeyOf(i), "def"), cases[i].second) << "case " << i;
    EXPECT_EQ(ini.ReadString("S", "Absent", "def"), "def");
}

TEST_F(IniFileTest, StringsAreStoredInWindows1250UnlessACharacterWouldBeLost)
{
    struct Case {
        const char* text;
        bool utf8File;
        std::string stored;
    };
    const Case cases[] = {
        {"/home/op/a.cfg", false, "/home/op/a.cfg"},
        {"/home/op/Příliš.cfg", false, "/home/op/P\xF8\xEDli\x9A.cfg"},
        {"/home/op/Пример.cfg", false, "/home/op/Пример.cfg"},
        {"/home/op/Příliš ø.cfg", false, "/home/op/Příliš ø.cfg"},
        {"/home/op/Příliš.cfg", true, "/home/op/Příliš.cfg"},
    };
    for (const auto& c : cases) {
        const auto path = Put(c.utf8File ? "\xEF\xBB\xBF[Main]\n" : "[Main]\n");
        IniFile ini(path);
        ini.WriteString("Main", "CfgFileName", c.text);
        ini.UpdateFile();
        const IniFile back(path);
        EXPECT_EQ(back.ReadRaw("Main", "CfgFileName"), c.stored) << c.text;
        EXPECT_EQ(back.ReadString("Main", "CfgFileName", ""), c.text);
    }
}

TEST_F(IniFileTest, WritingChangesOnlyTheLinesOfTheKeysWritten)
{
    using Ops = std::function<void(IniFile&)>;
    struct Case {
        const char* name;
        std::optional<std::string> before;  // nullopt: no file
        Ops ops;
        std::string after;
    };
    const Case cases[] = {
        {"in place, spacing and spelling kept", "[main]\r\n  logevents = 0  \r\nOther=1\r\n",
         [](IniFile& i) { i.WriteBool("Main", "LogEvents", true); }, "[main]\r\n  logevents = 1\r\nOther=1\r\n"},
        {"empty value", "[A]\nK=   \n", [](IniFile& i) { i.WriteInteger("A", "K", 5); }, "[A]\nK=5\n"},
        {"first of two equal keys", "[A]\nk=1\nk=2\n", [](IniFile& i) { i.WriteInteger("A", "K", 3); },
         "[A]\nk=3\nk=2\n"},
        {"new key after the section's last key", "[A]\nx=1\n\n; about B\n[B]\ny=2\n",
         [](IniFile& i) { i.WriteInteger("A", "z", 3); }, "[A]\nx=1\nz=3\n\n; about B\n[B]\ny=2\n"},
        {"new key in a section without keys", "[A]\n; note\n[B]\n", [](IniFile& i) { i.WriteInteger("A", "k", 1); },
         "[A]\nk=1\n; note\n[B]\n"},
        {"new section after a last line without line end", "[A]\nx=1",
         [](IniFile& i) { i.WriteInteger("B", "y", 2); }, "[A]\nx=1\n\n[B]\ny=2\n"},
        {"line ends of a Windows file", "[A]\r\nx=1\r\n",
         [](IniFile& i) {
             i.WriteInteger("A", "y", 2);
             i.WriteInteger("C", "z", 3);
         },
         "[A]\r\nx=1\r\ny=2\r\n\r\n[C]\r\nz=3\r\n"},
        {"old Mac line ends", "[A]\rx=1\ry=2\r", [](IniFile& i) {
             i.WriteInteger("A", "x", 3);
             i.WriteInteger("A", "z", 4);
         },
         "[A]\rx=3\ry=2\rz=4\r"},
        {"a stray carriage return", "[A]\nx=1\ry=2\r\r\n", [](IniFile& i) { i.WriteInteger("A", "x", 3); },
         "[A]\nx=3\ry=2\r\r\n"},
        {"byte order mark", "\xEF\xBB\xBF[Main]\nk=1\n", [](IniFile& i) { i.WriteInteger("Main", "k", 2); },
         "\xEF\xBB\xBF[Main]\nk=2\n"},
        {"delete", "[A]\nx=1\nk=2\ny=3\n", [](IniFile& i) { i.DeleteKey("a", "K"); }, "[A]\nx=1\ny=3\n"},
        {"delete an absent key", "[A]\nx=1", [](IniFile& i) { i.DeleteKey("A", "k"); }, "[A]\nx=1"},
        {"same value", "[A]\nx = 1 ", [](IniFile& i) { i.WriteInteger("A", "x", 1); }, "[A]\nx = 1 "},
        {"missing file", std::nullopt,
         [](IniFile& i) {
             i.WriteString("S", "k", "v");
             i.WriteBool("S", "b", false);
         },
         "[S]\nk=v\nb=0\n"},
        {"damaged lines kept", "\xFF garbage\n[Main\nk=1\n\x80=\x81\n\t\f\v\x1A\n"s,
         [](IniFile& i) {
             i.WriteInteger("Main", "k", 2);
             i.WriteInteger("Main", "n", 3);
         },
         "\xFF garbage\n[Main\nk=2\n\x80=\x81\nn=3\n\t\f\v\x1A\n"s},
    };
    for (const auto& c : cases) {
        const auto path = PathOf("write.ini");
        fs::remove(path);
        if (c.before)
            Put(*c.before, "write.ini");
        IniFile ini(path);
        c.ops(ini);
        ini.UpdateFile();
        EXPECT_EQ(Slurp(path), c.after) << c.name;
    }
}

// Whatever the settings path names, bytes that are no text (a binary put there by mistake,
// a file saved as UTF-16) are never written over.
TEST_F(IniFileTest, BytesThatAreNoTextAreNeverWrittenOver)
{
    const std::pair<const char*, std::string> cases[] = {
        {"NUL bytes", "[Main]\nk=1\n\0\0\0\x02"s},
        {"UTF-16", "\xFF\xFE[\0M\0a\0i\0n\0]\0\n\0k\0=\0001\0"s},
        {"escape sequence", "[Main]\nk=1\n\x1B[31m\n"s},
        {"delete byte", "[Main]\nk=1\x7F\n"s},
        {"a lone control byte, no line end", "\x01"s},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(IniFile::LooksLikeText(bytes));
        const auto path = Put(bytes, "binary.ini");
        IniFile ini(path);
        EXPECT_TRUE(ini.Existed());
        EXPECT_FALSE(ini.IsText());
        EXPECT_EQ(ini.Content(), bytes);
        ini.WriteInteger("Main", "k", 2);
        try {
            ini.UpdateFile();
            ADD_FAILURE() << "wrote over bytes that are no text";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
        EXPECT_EQ(Slurp(path), bytes);
        EXPECT_FALSE(IniFile::FromBytes(bytes).IsText());
    }
    // Windows-1250, tabs, form feeds and the old end-of-file mark are text.
    EXPECT_TRUE(IniFile::LooksLikeText("[Main]\r\nName=P\xF8\xEDli\x9A\t\f\v\r\n\x1A"));
    EXPECT_TRUE(IniFile::LooksLikeText(""));
}

// The file is replaced through a new file in its folder, which the folder allows; the
// file's own missing write permission is what counts. The mode bits hold for root too.
TEST_F(IniFileTest, WriteProtectedFileIsNotReplaced)
{
    const std::string before = "[A]\nx=1\n";
    const auto path = Put(before);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    IniFile ini(path);
    EXPECT_TRUE(ini.WriteProtected());
    ini.WriteInteger("A", "x", 2);
    try {
        ini.UpdateFile();
        ADD_FAILURE() << "replaced a write-protected file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_EQ(Slurp(path), before);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_FALSE(ini.WriteProtected());
    ini.UpdateFile();
    EXPECT_EQ(Slurp(path), "[A]\nx=2\n");
    EXPECT_FALSE(IniFile(PathOf("absent.ini")).WriteProtected());
}

TEST_F(IniFileTest, UnchangedFileIsNotRewritten)
{
    const auto path = Put("[A]\nx = 1 ");
    IniFile ini(path);
    ini.WriteInteger("A", "x", 1);
    ini.DeleteKey("A", "absent");
    EXPECT_FALSE(ini.Modified());
}

TEST_F(IniFileTest, FirstWriteCreatesTheFileAndItsDirectory)
{
    const auto path = PathOf("sub/dir/new.ini");
    IniFile ini(path);
    ini.WriteInteger("S", "k", 1);
    ini.UpdateFile();
    EXPECT_EQ(Slurp(path), "[S]\nk=1\n");
}

TEST_F(IniFileTest, ValuesAndNamesTheFormatCannotHoldAreRefused)
{
    const std::string before = "[A]\nx=1\n";
    IniFile ini(Put(before));
    const std::function<void()> writes[] = {
        [&] { ini.WriteString("A", "x", "two\nlines"); },
        [&] { ini.WriteString("A", "x", "cr\r"); },
        [&] { ini.WriteString("A", "a=b", "1"); },
        [&] { ini.WriteString("A", "", "1"); },
        [&] { ini.WriteString("A", ";x", "1"); },
        [&] { ini.WriteString("A", " x", "1"); },
        [&] { ini.WriteString("a]b", "x", "1"); },
        [&] { ini.WriteString("", "x", "1"); },
    };
    for (std::size_t i = 0; i < std::size(writes); ++i)
        EXPECT_THROW(writes[i](), std::invalid_argument) << "case " << i;
    EXPECT_FALSE(ini.Modified());
    EXPECT_EQ(ini.Content(), before);
}

TEST_F(IniFileTest, FileErrorsNameTheFile)
{
    const auto asDir = PathOf("folder.ini");
    fs::create_directory(asDir);
    try {
        IniFile ini(asDir);
        ADD_FAILURE() << "a directory read as a file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(asDir), std::string::npos) << e.what();
    }

    const auto blocker = Put("not a directory", "plain");
    const auto underFile = blocker + "/settings.ini";
    IniFile ini(underFile);
    EXPECT_FALSE(ini.Existed());
    ini.WriteInteger("S", "k", 1);
    try {
        ini.UpdateFile();
        ADD_FAILURE() << "wrote below a plain file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(underFile), std::string::npos) << e.what();
    }
    EXPECT_TRUE(ini.Modified());  // the change is still there for another try
    EXPECT_EQ(Slurp(blocker), "not a directory");
}

// A settings path that names a pipe or a device, or a file far too large to be settings,
// is refused at once instead of stalling the start or filling the memory.
TEST_F(IniFileTest, FilesThatAreNoSettingsFileAreRefusedPromptly)
{
    const auto fifo = PathOf("pipe.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto huge = PathOf("huge.ini");
    {
        std::ofstream out(huge, std::ios::binary);
        out << "[Main]\n";
        const std::string filler(4096, '\n');
        for (std::size_t written = 0; written <= IniFile::kMaxFileSize; written += filler.size())
            out << filler;
    }
    const std::string cases[] = {fifo, huge, "/dev/null"};
    for (const auto& path : cases) {
        SCOPED_TRACE(path);
        auto reading = std::async(std::launch::async, [&] {
            try {
                IniFile ini(path);
                return std::string("read as a settings file");
            } catch (const std::runtime_error& e) {
                return std::string(e.what());
            }
        });
        if (reading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            // Let a reader stuck on the pipe go, so that the test ends.
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
            ADD_FAILURE() << "reading did not end";
        }
        const std::string outcome = reading.get();
        EXPECT_NE(outcome.find(path), std::string::npos) << outcome;
    }

    // Just below the bound is still a settings file.
    const auto big = Put("[Main]\nk=1\n" + std::string(IniFile::kMaxFileSize - 16, ';'), "big.ini");
    EXPECT_EQ(IniFile(big).ReadInteger("Main", "k", 0), 1);
}

TEST_F(IniFileTest, ReplacingTheFileKeepsItsModeAndLinks)
{
    const auto target = Put("[A]\nx=1\n", "real.ini");
    ::chmod(target.c_str(), 0640);
    const auto link = PathOf("link.ini");
    fs::create_symlink(target, link);

    IniFile ini(link);
    ini.WriteInteger("A", "x", 2);
    ini.UpdateFile();

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Slurp(target), "[A]\nx=2\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(PathOf("")), fs::directory_iterator()), 2);
}

// A directory that refuses new files (immutable, so that even root is refused) but holds a
// writable settings file: the file is rewritten in place and cut to its new length.
TEST_F(IniFileTest, ADirectoryThatRefusesNewFilesIsWrittenInPlace)
{
    QTemporaryDir locked;
    ASSERT_TRUE(locked.isValid());
    const std::string path = locked.filePath("VornOPCServer.ini").toStdString();
    std::ofstream(path, std::ios::binary) << "[Main]\nA=1\nLong=" << std::string(200, 'x') << "\nB=2\n";

    const int dirFd = ::open(locked.path().toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0);
    int flags = 0;
    if (::ioctl(dirFd, FS_IOC_GETFLAGS, &flags) != 0) {
        ::close(dirFd);
        GTEST_SKIP() << "the file system keeps no inode flags";
    }
    const int unlocked = flags;
    flags |= FS_IMMUTABLE_FL;
    if (::ioctl(dirFd, FS_IOC_SETFLAGS, &flags) != 0) {
        ::close(dirFd);
        GTEST_SKIP() << "no right to make a directory immutable";
    }
    struct Unlock {
        int fd, flags;
        ~Unlock()
        {
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            ::close(fd);
        }
    } unlock{dirFd, unlocked};

    IniFile ini(path);
    ini.WriteString("Main", "A", "0");
    ini.DeleteKey("Main", "Long");
    ini.UpdateFile();
    EXPECT_EQ(Slurp(path), "[Main]\nA=0\nB=2\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(locked.path().toStdString()), fs::directory_iterator()), 1);
}

}  // namespace

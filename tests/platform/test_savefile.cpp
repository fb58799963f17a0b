#include "platform/savefile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using plat::SaveFile;
using plat::SaveFileError;
using plat::SaveFileOptions;

class SaveFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vx_savefile_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    fs::path put(const std::string& name, const std::string& bytes, unsigned mode = 0644) const
    {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        ::chmod(p.c_str(), mode);
        return p;
    }
    static std::string slurp(const fs::path& p)
    {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static unsigned modeOf(const fs::path& p)
    {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st.st_mode & 07777;
    }
    // Every name in the folder, so that a test sees a temporary file left behind.
    std::set<std::string> listing(const fs::path& dir) const
    {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.insert(e.path().filename().string());
        return names;
    }

    fs::path dir_;
};

// Makes a folder refuse new files even to root (immutable) while its files stay writable;
// nothing when the file system keeps no such flag or we may not set it.
class ImmutableFolder {
public:
    explicit ImmutableFolder(const fs::path& dir)
    {
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0 || ::ioctl(fd_, FS_IOC_GETFLAGS, &flags_) != 0)
            return;
        int locked = flags_ | FS_IMMUTABLE_FL;
        active_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &locked) == 0;
    }
    ~ImmutableFolder()
    {
        if (active_)
            ::ioctl(fd_, FS_IOC_SETFLAGS, &flags_);
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool active() const { return active_; }

private:
    int fd_ = -1;
    int flags_ = 0;
    bool active_ = false;
};

// Files larger than limit cannot be written by this process while it lives (EFBIG, as a
// full disk would refuse them), whoever runs the test.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldSignal_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = old_;
        lower.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldSignal_);
    }

private:
    rlimit old_{};
    void (*oldSignal_)(int) = nullptr;
};

TEST_F(SaveFileTest, ANewFileGetsItsContentAndTheModeAsked)
{
    struct Case {
        const char* name;
        SaveFileOptions options;
        unsigned mode;
    } cases[] = {
        {"plain.cfg", {}, 0644},
        {"private.cfg", {.newFileMode = 0600}, 0600},
        {"sub/dir/deep.ini", {.createFolders = true}, 0644},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path p = dir_ / c.name;
        SaveFile(p, std::string("a\0b\n", 4), c.options);
        EXPECT_EQ(slurp(p), std::string("a\0b\n", 4));
        EXPECT_EQ(modeOf(p), c.mode);
    }
    EXPECT_EQ(listing(dir_), (std::set<std::string>{"plain.cfg", "private.cfg", "sub"}));
    EXPECT_EQ(listing(dir_ / "sub/dir"), std::set<std::string>{"deep.ini"});
}

TEST_F(SaveFileTest, ReplacingKeepsTheModeAndLeavesNothingBeside)
{
    for (const unsigned mode : {0600u, 0640u, 0755u, 0444u}) {
        SCOPED_TRACE(mode);
        const fs::path p = put("file.ini", "old content that is longer", mode);
        SaveFile(p, "new");
        EXPECT_EQ(slurp(p), "new");
        EXPECT_EQ(modeOf(p), mode);
        EXPECT_EQ(listing(dir_), std::set<std::string>{"file.ini"});
    }
}

// The link stays a link, and the file it leads to gets the content, wherever it lies and
// however many links lead there; a dangling link gets its file.
TEST_F(SaveFileTest, ALinkStaysAndTheFileItLeadsToIsReplaced)
{
    fs::create_directory(dir_ / "real");
    const fs::path target = put("real/target.ini", "old", 0640);
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link name, what it points to
        fs::path expected;
    } cases[] = {
        {"absolute", {{"abs.ini", target.string()}}, target},
        {"relative", {{"rel.ini", "real/target.ini"}}, target},
        {"two links", {{"second.ini", "first.ini"}, {"first.ini", "real/target.ini"}}, target},
        {"dangling", {{"dangling.ini", "real/created.ini"}}, dir_ / "real/created.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [link, to] : c.links)
            fs::create_symlink(to, dir_ / link);
        const fs::path via = dir_ / c.links.front().first;
        SaveFile(via, std::string("through ") + c.name);
        for (const auto& [link, to] : c.links) {
            EXPECT_TRUE(fs::is_symlink(dir_ / link)) << link;
            EXPECT_EQ(fs::read_symlink(dir_ / link), fs::path(to));
        }
        EXPECT_EQ(slurp(c.expected), std::string("through ") + c.name);
        EXPECT_EQ(modeOf(c.expected), c.expected == target ? 0640u : 0644u);
    }
    EXPECT_EQ(listing(dir_ / "real"), (std::set<std::string>{"target.ini", "created.ini"}));
}

// Whatever stops the save, the old file keeps every byte, nothing is left beside it, and the
// error names the file as the caller gave it.
TEST_F(SaveFileTest, AFailedSaveLeavesTheOldFileByteForByte)
{
    const std::string old = std::string("old\r\n\0\xFF content", 15);
    const std::string big(256 * 1024, 'x');
    struct Case {
        const char* name;
        std::function<bool(const fs::path&)> fails;  // false: the case cannot be set up here
    } cases[] = {
        {"the folder refuses new files",
         [&](const fs::path& p) {
             ImmutableFolder locked(p.parent_path());
             if (!locked.active())
                 return false;
             SaveFile(p, "new");
             return true;
         }},
        {"the disk refuses the bytes midway",
         [&](const fs::path& p) {
             FileSizeLimit limit(64 * 1024);
             SaveFile(p, big);
             return true;
         }},
        {"the stream refuses the bytes midway",
         [&](const fs::path& p) {
             FileSizeLimit limit(64 * 1024);
             SaveFile(p, [&](std::ostream& out) { out << big; });
             return true;
         }},
        {"the writer gives up midway",
         [&](const fs::path& p) {
             SaveFile(p, [&](std::ostream& out) {
                 out << big;
                 throw std::runtime_error("the writer gave up");
             });
             return true;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path p = put("keep.cfg", old, 0600);
        const fs::path link = dir_ / "link.cfg";
        fs::remove(link);
        fs::create_symlink("keep.cfg", link);
        for (const fs::path& via : {p, link}) {
            try {
                if (!c.fails(via)) {
                    std::cout << "[  SKIPPED ] " << c.name << ": not possible on this file system\n";
                    break;
                }
                ADD_FAILURE() << "saved";
            } catch (const SaveFileError& e) {
                EXPECT_NE(std::string(e.what()).find("Cannot write " + via.string() + ": "), std::string::npos)
                    << e.what();
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), "the writer gave up");
            }
            EXPECT_EQ(slurp(p), old);
            EXPECT_EQ(modeOf(p), 0600u);
            EXPECT_EQ(listing(dir_), (std::set<std::string>{"keep.cfg", "link.cfg"}));
        }
    }
}

TEST_F(SaveFileTest, WhatCannotBeReplacedIsRefusedWithItsReason)
{
    put("plain", "a file, not a folder");
    fs::create_directory(dir_ / "folder.ini");
    fs::create_symlink("loop2", dir_ / "loop1");
    fs::create_symlink("loop1", dir_ / "loop2");
    ASSERT_EQ(::mkfifo((dir_ / "pipe.ini").c_str(), 0600), 0);
    struct Case {
        const char* name;
        fs::path path;
        std::optional<std::errc> code;
    } cases[] = {
        {"no file name", fs::path(), std::nullopt},
        {"a missing folder", dir_ / "missing/file.ini", std::errc::no_such_file_or_directory},
        {"a file in place of a folder", dir_ / "plain/file.ini", std::errc::not_a_directory},
        {"a folder", dir_ / "folder.ini", std::errc::is_a_directory},
        {"a pipe", dir_ / "pipe.ini", std::errc::invalid_argument},
        {"links in a loop", dir_ / "loop1", std::errc::too_many_symbolic_link_levels},
    };
    const auto before = listing(dir_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            SaveFile(c.path, "new");
            ADD_FAILURE() << "saved";
        } catch (const SaveFileError& e) {
            EXPECT_NE(std::string(e.what()).find("Cannot write " + c.path.string() + ": "), std::string::npos)
                << e.what();
            if (c.code) {
                EXPECT_TRUE(e.code() == *c.code) << e.code() << " " << e.what();
            }
        }
    }
    EXPECT_EQ(listing(dir_), before);
    EXPECT_EQ(slurp(dir_ / "plain"), "a file, not a folder");
}

// With the option, a folder that refuses new files still takes the file's new content, written
// over the old and cut to its length.
TEST_F(SaveFileTest, AFolderThatRefusesNewFilesIsWrittenInPlaceWhenAsked)
{
    const fs::path p = put("in place.ini", std::string(300, 'o'), 0640);
    ImmutableFolder locked(dir_);
    if (!locked.active())
        GTEST_SKIP() << "the file system keeps no immutable flag";
    SaveFile(p, "short", {.inPlaceWhenFolderRefuses = true});
    EXPECT_EQ(slurp(p), "short");
    SaveFile(p, [](std::ostream& out) { out << "streamed"; }, {.inPlaceWhenFolderRefuses = true});
    EXPECT_EQ(slurp(p), "streamed");
    EXPECT_EQ(modeOf(p), 0640u);
    // A writer that gives up has not touched the file yet.
    EXPECT_THROW(SaveFile(
                     p,
                     [](std::ostream& out) {
                         out << "half";
                         throw std::runtime_error("gave up");
                     },
                     {.inPlaceWhenFolderRefuses = true}),
                 std::runtime_error);
    EXPECT_EQ(slurp(p), "streamed");
    // A new file cannot come into such a folder at all.
    EXPECT_THROW(SaveFile(dir_ / "new.ini", "x", {.inPlaceWhenFolderRefuses = true}), SaveFileError);
    EXPECT_EQ(listing(dir_), std::set<std::string>{"in place.ini"});
}

}  // namespace

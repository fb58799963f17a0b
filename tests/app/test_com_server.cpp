// The program as a local COM server: its registry file, the arguments the session bus starts
// it with, and the end of a run started by COM after the last release.
#include "app/com_server.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/com/runtime.h"

namespace {

namespace fs = std::filesystem;

struct DataHome {
    DataHome()
    {
        if (const char* old = std::getenv("XDG_DATA_HOME"))
            old_ = old;
        setenv("XDG_DATA_HOME", "/srv/jan/data", 1);
    }
    ~DataHome()
    {
        if (old_)
            setenv("XDG_DATA_HOME", old_->c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
    }
    std::optional<std::string> old_;
};

std::vector<std::string> Args(std::vector<std::string> rest)
{
    rest.insert(rest.begin(), "/opt/vorn/VornOPCServer");
    return rest;
}

TEST(ComServerRegistryFile, NamedOrTheUsersSharedFile)
{
    const DataHome home;
    const std::string settings = "/etc/vorn/VornOPCServer.ini";
    const std::string cwd = fs::current_path().string();
    struct Case {
        std::vector<std::string> args;
        std::string file;
    };
    const std::vector<Case> cases = {
        {{}, "/srv/jan/data/VornOPCServer/VornOPCServer.reg"},
        {{"--settings", settings}, "/srv/jan/data/VornOPCServer/VornOPCServer.reg"},
        {{"--registry", "/tmp/a.reg"}, "/tmp/a.reg"},
        {{"--registry=/tmp/a.reg", "--registry", "/tmp/b/../c.reg"}, "/tmp/c.reg"},
        {{"--registry", "rel.reg"}, cwd + "/rel.reg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(vos::RegistryFilePath(Args(c.args), settings), c.file);
    }
    EXPECT_THROW(vos::RegistryFilePath(Args({"--registry"}), settings), std::invalid_argument);
    EXPECT_THROW(vos::RegistryFilePath(Args({"--registry="}), settings), std::invalid_argument);
}

TEST(ComServerActivation, TheBusStartsWhatTheCommandLineNamed)
{
    const std::string settings = "/srv/VornOPCServer.ini";
    const std::string registry = "/srv/VornOPCServer.reg";
    using Vec = std::vector<std::u16string>;
    EXPECT_EQ(vos::ActivationArguments(Args({}), settings, registry), Vec{});
    EXPECT_EQ(vos::ActivationArguments(Args({"--quit-after", "5", "-Embedding"}), settings, registry), Vec{});
    EXPECT_EQ(vos::ActivationArguments(Args({"--settings=x.ini"}), settings, registry),
              (Vec{u"--settings", u"/srv/VornOPCServer.ini"}));
    EXPECT_EQ(vos::ActivationArguments(Args({"--registry", "y.reg", "--settings", "x.ini"}), settings, registry),
              (Vec{u"--settings", u"/srv/VornOPCServer.ini", u"--registry", u"/srv/VornOPCServer.reg"}));
}

struct Counted : com::ComObject<IUnknown> {};

TEST(ComServerEnd, TheLastReleaseEndsOnceTheLoopIsBack)
{
    ASSERT_EQ(com::serverProcessCount(), 0u);
    int ends = 0;
    {
        vos::TEndAfterLastRelease end([&] { ++ends; });
        com::makeCom<Counted>();
        EXPECT_EQ(ends, 0) << "not inside the release";
        QCoreApplication::processEvents();
        EXPECT_EQ(ends, 1);

        // A new object before the loop comes back keeps the program.
        com::makeCom<Counted>();
        auto kept = com::makeCom<Counted>();
        QCoreApplication::processEvents();
        EXPECT_EQ(ends, 1);
        kept = nullptr;
        QCoreApplication::processEvents();
        EXPECT_EQ(ends, 2);

        com::makeCom<Counted>();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(ends, 2) << "what was queued goes with the watch";
    com::makeCom<Counted>();
    QCoreApplication::processEvents();
    EXPECT_EQ(ends, 2) << "and nothing is watched after it";
}

}  // namespace

#include "app/shutdown.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>

namespace {

// Puts the program's previous signal handlers back when a test ends.
class SignalHandlersKept {
public:
    SignalHandlersKept()
    {
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], nullptr, &old_[i]);
    }
    ~SignalHandlersKept()
    {
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &old_[i], nullptr);
    }
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

private:
    struct sigaction old_[std::size(kSignals)] = {};
};

// Runs the loop until a signal quits it, or the bound passes; true when a signal did.
bool loopQuitsOn(int signal)
{
    bool guardFired = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        guardFired = true;
        QCoreApplication::quit();
    });
    guard.start(10000);
    QTimer::singleShot(0, [signal] { std::raise(signal); });
    QCoreApplication::exec();
    return !guardFired;
}

TEST(QuitOnSignals, SigintSigtermAndSighupQuitTheLoop)
{
    SignalHandlersKept kept;
    vos::InstallQuitOnSignals(*QCoreApplication::instance());
    for (const int signal : SignalHandlersKept::kSignals)
        EXPECT_TRUE(loopQuitsOn(signal)) << "signal " << signal;
}

// Signals that pile up while the loop is not reading (during the shut-down, say) must not
// stall the handler on a full pipe, nor change errno under the code they interrupt.
TEST(QuitOnSignals, ASignalStormNeitherBlocksTheHandlerNorChangesErrno)
{
    SignalHandlersKept kept;
    vos::InstallQuitOnSignals(*QCoreApplication::instance());
    auto storm = std::async(std::launch::async, [] {
        for (int i = 0; i < 100000; ++i)
            std::raise(SIGTERM);  // handled on this thread, the loop is not running
        errno = EDOM;
        std::raise(SIGTERM);
        return errno;
    });
    const bool inTime = storm.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(inTime) << "the signal handler blocked";
    // A handler stuck on the pipe goes on once the loop reads it.
    while (storm.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QCoreApplication::processEvents();
    EXPECT_EQ(storm.get(), EDOM);
    // What piled up is read at once, and the next signal still quits the loop.
    EXPECT_TRUE(loopQuitsOn(SIGINT));
}

}  // namespace

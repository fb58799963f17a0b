#include "platform/timers.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <string>
#include <vector>

namespace {

struct Sched : ::testing::Test {
    plat::ManualClock clock;
    plat::ManualScheduler sched{clock};
    std::vector<std::string> log;

    std::unique_ptr<plat::Timer> make(const std::string& name, int interval)
    {
        auto t = sched.createTimer();
        t->setInterval(interval);
        t->onTimer = [this, name] { log.push_back(name + "@" + std::to_string(clock.monotonicMs())); };
        return t;
    }
};

TEST_F(Sched, FiresInDeadlineOrderAtTheDeadline)
{
    auto a = make("a", 30);
    auto b = make("b", 20);
    a->setEnabled(true);
    b->setEnabled(true);
    sched.advance(60);
    EXPECT_EQ(log, (std::vector<std::string>{"b@20", "a@30", "b@40", "a@60", "b@60"}));
    EXPECT_EQ(clock.monotonicMs(), 60);
}

TEST_F(Sched, DisabledOrZeroIntervalNeverFires)
{
    auto a = make("a", 0);
    a->setEnabled(true);
    auto b = make("b", 10);
    sched.advance(100);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(sched.activeTimers(), 0);
}

TEST_F(Sched, ChangingTheIntervalRestartsTheTimer)
{
    auto a = make("a", 100);
    a->setEnabled(true);
    sched.advance(90);
    a->setInterval(50);  // from now: due at 140, not at 100
    sched.advance(60);
    EXPECT_EQ(log, (std::vector<std::string>{"a@140"}));
    a->setInterval(50);  // the same interval does not restart
    sched.advance(40);
    EXPECT_EQ(log.back(), "a@190");
}

TEST_F(Sched, HandlersMayRearmDisableOrDestroyTimers)
{
    auto a = make("a", 10);
    auto b = make("b", 10);
    a->onTimer = [&] {
        log.push_back("a");
        b.reset();  // destroys a timer due at the same moment
        a->setEnabled(false);
    };
    a->setEnabled(true);
    b->setEnabled(true);
    sched.advance(50);
    EXPECT_EQ(log, (std::vector<std::string>{"a"}));

    auto c = make("c", 10);
    c->onTimer = [&] {
        log.push_back("c");
        c.reset();  // its own timer
    };
    c->setEnabled(true);
    sched.advance(50);
    EXPECT_EQ(log.back(), "c");
    EXPECT_EQ(sched.nextDeadline(), -1);
}

TEST(QtTimers, FireThroughTheEventLoop)
{
    plat::QtTimerFactory f;
    auto t = f.createTimer();
    int fired = 0;
    t->onTimer = [&] { ++fired; };
    t->setInterval(5);
    t->setEnabled(true);
    QElapsedTimer wait;
    wait.start();
    while (fired < 3 && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_GE(fired, 3);
    t->setEnabled(false);
    const int seen = fired;
    wait.restart();
    while (wait.elapsed() < 30)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(fired, seen);
}

}  // namespace

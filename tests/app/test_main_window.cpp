// The main window: its start timer and the start-up period, the pulse and its guard, the
// monitor events, changes of the clock, the tray, the placement, the caption and the
// exceptions that reach the event loop.
#include "app/main_window.h"

#include <QApplication>
#include <QDialog>
#include <QScreen>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>
#include <string>
#include <vector>

#include "app/app_exception.h"
#include "app/form_placement.h"
#include "editor/frm_config.h"
#include "editor/widgets/control_props.h"
#include "comm/vx_variable.h"
#include "opc/opc_group.h"
#include "opc/opc_item.h"
#include "opc/opc_server.h"
#include "platform/clockwatch.h"
#include "tests/app/main_fixture.h"

namespace {

using apptest::Put;
using opctest::Callback;
using vos::TMonitorCall;

constexpr char kStation[] = "server\n  station Name=A\n    variable Name=V\n    variable Name=W\n";

class MainWindow : public apptest::MainFixture {};

TEST_F(MainWindow, IsBuiltAsTheProgramExpects)
{
    StartOnConfig("");
    EXPECT_EQ(vos::F_Main, window.get());
    EXPECT_EQ(window->objectName(), "F_Main");
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->size(), QSize(866, 615));
    EXPECT_EQ(window->minimumSize(), QSize(713, 500));
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    // Both frames fill the client area, one stack, the editor in front.
    auto* frames = window->findChild<QStackedWidget*>();
    ASSERT_NE(frames, nullptr);
    EXPECT_EQ(window->centralWidget(), frames);
    EXPECT_EQ(frames->currentWidget()->objectName(), "Frm_Config");
    EXPECT_NE(window->findChild<QWidget*>("Frm_Runtime"), nullptr);
    window->ViewRuntime();
    EXPECT_EQ(frames->currentWidget()->objectName(), "Frm_Runtime");
    EXPECT_EQ(window->windowTitle(), "Vorn OPC Server - Untitled.cfg");
    // The monitor was set up, and told of the channels after registering.
    ASSERT_GE(MonitorCalls().size(), 2u);
    EXPECT_EQ(MonitorCalls()[0], TMonitorCall{TMonitorCall::Init});
    EXPECT_EQ(MonitorCalls()[1], TMonitorCall{TMonitorCall::FillComList});

    vos::SetConfigFileName("/plant/Line 2.cfg");
    EXPECT_EQ(window->windowTitle(), "Vorn OPC Server - /plant/Line 2.cfg");
    EXPECT_TRUE(window->StartingUp);
    EXPECT_TRUE(window->StartTimer().enabled());
    EXPECT_EQ(window->StartTimer().interval(), 5000);
    EXPECT_NE(vos::ControlPropsList, nullptr);
    window->FormDestroy();
    EXPECT_EQ(vos::ControlPropsList, nullptr);
}

// --- The start timer and the start-up period ---

struct StartCase {
    const char* name;
    bool station;  // a station beside the server node
    enum Event { None, LeftClick, RightClick, ClientEarly, ClientLate, StationThenClientLate } event;
    bool hiddenAtEnd;
};

class MainStartTimer : public apptest::MainFixture, public ::testing::WithParamInterface<StartCase> {};

TEST_P(MainStartTimer, HidesOnlyWithStationsAndWithoutAClick)
{
    const StartCase& c = GetParam();
    StartOnConfig(c.station ? kStation : "");
    scheduler.advance(1000);
    switch (c.event) {
    case StartCase::LeftClick:
    case StartCase::RightClick:
        QTest::mouseClick(window->Frm_Config(), c.event == StartCase::LeftClick ? Qt::LeftButton : Qt::RightButton);
        EXPECT_EQ(window->StartingUp, c.event == StartCase::RightClick);
        EXPECT_EQ(window->StartTimer().enabled(), c.event == StartCase::RightClick);
        break;
    case StartCase::ClientEarly:
        client = std::make_unique<opctest::TestClient>();
        // At once, not when the 5 s are over.
        EXPECT_EQ(window->isHidden(), c.station);
        EXPECT_FALSE(window->StartingUp);
        EXPECT_FALSE(window->StartTimer().enabled());
        break;
    case StartCase::ClientLate:
    case StartCase::StationThenClientLate:
        scheduler.advance(5000);
        EXPECT_EQ(window->isHidden(), c.station);
        if (tray)
            tray->Click();
        ASSERT_TRUE(window->isVisible());
        if (c.event == StartCase::StationThenClientLate) {
            // Added without a click: by keyboard or pop-up menu.
            vos::TConfigNode* top = server->Editor().Tree().Root()->Child(0);
            ASSERT_NE(server->Editor().NewObjectExecute(vos::ntStation, top), nullptr);
        }
        client = std::make_unique<opctest::TestClient>();
        break;
    case StartCase::None:
        break;
    }
    scheduler.advance(9000);
    EXPECT_EQ(window->isHidden(), c.hiddenAtEnd);
    EXPECT_FALSE(window->StartingUp) << "the start-up period ends in every case";
    EXPECT_FALSE(window->StartTimer().enabled());
    const bool collapsed =
        std::count(MonitorCalls().begin(), MonitorCalls().end(), TMonitorCall{TMonitorCall::FullCollapse}) > 0;
    EXPECT_EQ(collapsed, c.station && c.event != StartCase::LeftClick) << "the runtime tree collapses as it hides";
    client.reset();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MainStartTimer,
    ::testing::Values(StartCase{"ServerOnly", false, StartCase::None, false},
                      StartCase{"ServerOnlyLeftClick", false, StartCase::LeftClick, false},
                      StartCase{"ServerOnlyClientEarly", false, StartCase::ClientEarly, false},
                      StartCase{"ServerOnlyClientLate", false, StartCase::ClientLate, false},
                      StartCase{"ServerOnlyStationAddedThenClientLate", false, StartCase::StationThenClientLate, false},
                      StartCase{"Station", true, StartCase::None, true},
                      StartCase{"StationLeftClick", true, StartCase::LeftClick, false},
                      StartCase{"StationRightClick", true, StartCase::RightClick, true},
                      StartCase{"StationClientEarly", true, StartCase::ClientEarly, true},
                      StartCase{"StationClientLate", true, StartCase::ClientLate, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindow, HeadlessRunsTheSameStartWithoutAWindow)
{
    headless = true;
    StartOnConfig(kStation);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->Frm_Runtime(), nullptr);
    EXPECT_EQ(window->MonitorTrace(), nullptr);
    EXPECT_EQ(window->findChild<QStackedWidget*>(), nullptr);
    EXPECT_EQ(tray, nullptr);
    EXPECT_TRUE(window->PulseTimer().enabled());
    EXPECT_EQ(opc::OPCRegistry, server->Registry());

    // A client ends the start-up period and its first item starts communication.
    Connect({"A.V"});
    EXPECT_FALSE(window->StartingUp);
    EXPECT_FALSE(window->StartTimer().enabled());
    LoopBack();
    EXPECT_TRUE(vx::CommServer->Running);
    scheduler.advance(6000);
    EXPECT_FALSE(window->isVisible());
    EXPECT_GT(DataChanges(), 0u) << "the pulse drives the groups";
}

// --- The pulse ---

class MainPulse : public apptest::MainFixture {};

TEST_F(MainPulse, NoTickRunsInsideAnotherWhileAClientRunsTheLoop)
{
    StartOnConfig(kStation);
    Connect({"A.V", "A.W"});
    int depth = 0;
    int deepest = 0;
    std::vector<bool> pulseOnInCallback;
    sink->onCall = [&](const Callback&) {
        ++depth;
        deepest = std::max(deepest, depth);
        pulseOnInCallback.push_back(window->PulseTimer().enabled());
        // The client lets the loop and every timer run meanwhile.
        scheduler.advance(500);
        QCoreApplication::processEvents();
        --depth;
    };
    scheduler.advance(3000);
    ASSERT_FALSE(pulseOnInCallback.empty());
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(std::count(pulseOnInCallback.begin(), pulseOnInCallback.end(), true), 0);
    EXPECT_TRUE(window->PulseTimer().enabled());
}

class MainPulseException : public apptest::MainFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(MainPulseException, IsOnAgainAfterAnException)
{
    const bool showMessages = GetParam();
    StartOnConfig(kStation, showMessages ? "ShowMessages=1\n" : "");
    Connect({"A.V"});
    bool thrown = false;
    sink->onCall = [&](const Callback&) {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("the client's callback failed");
        }
    };
    scheduler.advance(1000);
    ASSERT_TRUE(thrown);
    EXPECT_TRUE(window->PulseTimer().enabled());
    EXPECT_TRUE(Logged("Exception: the client's callback failed"));
    LoopBack();
    EXPECT_EQ(errorBoxes.size(), showMessages ? 1u : 0u);
    // The program goes on: later ticks report.
    const std::size_t calls = DataChanges();
    SetQuality("V", vx::qGood);
    scheduler.advance(1000);
    EXPECT_EQ(DataChanges(), calls + 1);
}

INSTANTIATE_TEST_SUITE_P(ShowMessages, MainPulseException, ::testing::Bool());

TEST_F(MainPulse, IdleWhilePulseEnabledIsOff)
{
    StartOnConfig(kStation);
    // A group that reports once a minute, unless forced.
    Connect({"A.V"}, 60000);
    scheduler.advance(1000);
    const std::size_t before = DataChanges();
    ASSERT_EQ(before, 1u) << "the first values";
    // A server object tearing down its groups switches the pulse off meanwhile; forced
    // updates wait too.
    opc::PulseEnabled = false;
    SetQuality("V", vx::qGood);
    window->WMTimeChange();
    scheduler.advance(2000);
    EXPECT_EQ(DataChanges(), before);
    EXPECT_TRUE(window->PulseTimer().enabled()) << "the timer keeps ticking";
    opc::PulseEnabled = true;
    scheduler.advance(window->PulseTimer().interval());
    EXPECT_EQ(DataChanges(), before + 1) << "the forced update waited for the pulse";
}

// --- Monitor events ---

struct MonitorCase {
    const char* name;
    int code;
    enum Obj { Server, Group, Item, NullItem } obj;
    // Expected calls; objects and nodes named by the same letters (S, G, I; '-' none).
    std::vector<std::string> calls;
};

class MainMonitor : public apptest::MainFixture, public ::testing::WithParamInterface<MonitorCase> {};

TEST_P(MainMonitor, FollowsTheTable)
{
    const MonitorCase& c = GetParam();
    StartOnConfig(kStation);
    Connect({"A.V"});
    LoopBack();
    opc::TDA2* const da = client->object();
    ASSERT_EQ(da->Groups.size(), 1u);
    opc::TOPCGroup* const grp = da->Groups[0];
    ASSERT_EQ(grp->Items.size(), 1u);
    opc::TOPCItem* const item = grp->Items[0].get();
    // Every object got its node from the monitor when it came; a node stands for its object.
    ASSERT_NE(da->RuntimeNode, nullptr);
    ASSERT_NE(grp->RuntimeNode, nullptr);
    ASSERT_NE(item->RuntimeNode, nullptr);
    const auto name = [&](const void* p) -> std::string {
        if (p == nullptr)
            return "-";
        return p == da || p == da->RuntimeNode      ? "S"
               : p == grp || p == grp->RuntimeNode  ? "G"
               : p == item || p == item->RuntimeNode ? "I"
                                                     : "?";
    };
    vos::TMonitorTrace& monitor = *window->MonitorTrace();
    monitor.ClearCalls();
    const bool running = vx::CommServer->Running;
    vx::CommServer->StopCommunication();

    opc::TMonitorObject obj = da;
    if (c.obj == MonitorCase::Group)
        obj = grp;
    else if (c.obj == MonitorCase::Item)
        obj = item;
    else if (c.obj == MonitorCase::NullItem)
        obj = static_cast<opc::TOPCItem*>(nullptr);
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        window->OnOPCMonitorEvent(c.code, obj);
    }
    std::vector<std::string> calls;
    for (const TMonitorCall& call : monitor.Calls()) {
        static const char* const kOps[] = {"Init", "Add", "Remove", "Rename", "Invalidate", "Collapse", "FillComList"};
        std::string text = kOps[call.op];
        if (call.kind >= 0)
            text += " " + std::to_string(call.kind);
        text += " " + (call.op == TMonitorCall::InvalidateNode ? name(call.node) : name(call.object));
        calls.push_back(text);
    }
    EXPECT_EQ(calls, c.calls);
    // Only an item's arrival starts communication, and only after the call is back.
    EXPECT_FALSE(vx::CommServer->Running);
    LoopBack();
    EXPECT_EQ(vx::CommServer->Running, c.code == opc::meItemAdded) << "was running: " << running;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MainMonitor,
    ::testing::Values(MonitorCase{"GroupAdded", 0, MonitorCase::Group, {"Add 8 G"}},
                      MonitorCase{"GroupRemoved", 1, MonitorCase::Group, {"Remove 8 G"}},
                      MonitorCase{"ItemAdded", 2, MonitorCase::Item, {"Add 2 I"}},
                      MonitorCase{"ItemRemoved", 3, MonitorCase::Item, {"Remove 2 I"}},
                      MonitorCase{"ServerCreated", 4, MonitorCase::Server, {"Add 7 S"}},
                      MonitorCase{"ServerDestroyed", 5, MonitorCase::Server, {"Remove 7 S"}},
                      MonitorCase{"ClientName", 6, MonitorCase::Server, {"Rename S"}},
                      MonitorCase{"GroupState", 7, MonitorCase::Group, {"Invalidate G"}},
                      MonitorCase{"ItemReported", 8, MonitorCase::Item, {"Invalidate I", "Invalidate G"}},
                      MonitorCase{"ItemActivated", 9, MonitorCase::Item, {"Invalidate I"}},
                      MonitorCase{"BelowTheTable", -1, MonitorCase::Item, {}},
                      MonitorCase{"AboveTheTable", 10, MonitorCase::Item, {}},
                      MonitorCase{"GroupEventWithAnItem", 0, MonitorCase::Item, {}},
                      MonitorCase{"ItemAddedWithoutItem", 2, MonitorCase::NullItem, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindow, TheFirstItemStartsCommunicationOnceAfterTheCallReturns)
{
    StartOnConfig(kStation);
    Connect({"A.V", "A.W"});
    // Inside AddItems, under OPCLock, nothing started: a port that cannot open shows a box.
    EXPECT_FALSE(vx::CommServer->Running);
    EXPECT_EQ(LoggedCount("communication started"), 0u);
    const std::vector<TMonitorCall> expected = {
        {TMonitorCall::AddNode, vos::rnServer, client->object()},
        {TMonitorCall::AddNode, vos::rnGroup, client->object()->Groups[0]},
        {TMonitorCall::AddNode, vos::rnItem, client->object()->Groups[0]->Items[0].get()},
        {TMonitorCall::AddNode, vos::rnItem, client->object()->Groups[0]->Items[1].get()},
    };
    std::vector<TMonitorCall> adds;
    for (const TMonitorCall& call : MonitorCalls())
        if (call.op == TMonitorCall::AddNode)
            adds.push_back(call);
    EXPECT_EQ(adds, expected);
    LoopBack();
    EXPECT_TRUE(vx::CommServer->Running);
    EXPECT_EQ(LoggedCount("communication started"), 1u);

    // Further items start nothing again; nor does a queued start find it stopped by then
    // started by something else.
    EXPECT_EQ(group.addItems({{"A.W", 200, true}}).hr, S_OK);
    LoopBack();
    vx::CommServer->StopCommunication();
    EXPECT_EQ(group.addItems({{"A.V", 201, true}}).hr, S_OK);
    vx::CommServer->StartCommunication();
    LoopBack();
    EXPECT_EQ(LoggedCount("communication started"), 1u);
}

TEST_F(MainWindow, EventsAfterTheWindowsEndChangeNothing)
{
    StartOnConfig(kStation);
    Connect({"A.V"});
    LoopBack();
    const auto calls = MonitorCalls();
    window->FormDestroy();
    EXPECT_FALSE(vx::CommServer->Running);
    // The registry lives on; its clients come and go.
    ASSERT_EQ(opc::OPCRegistry, server->Registry());
    opctest::TestClient late;
    opctest::TestGroup lateGroup = late.addGroup("Late", true, 100);
    ASSERT_TRUE(lateGroup);
    EXPECT_EQ(lateGroup.addItems({{"A.W", 1, true}}).hr, S_OK);
    Disconnect();
    LoopBack();
    EXPECT_EQ(MonitorCalls(), calls);
    EXPECT_FALSE(vx::CommServer->Running);
    // Nor once the window is gone.
    window.reset();
    lateGroup.release();
    late.release();
    LoopBack();
    EXPECT_FALSE(vx::CommServer->Running);
}

// --- Changes of the clock ---

class MainTimeChange : public apptest::MainFixture {
protected:
    // One client with two active groups of these update rates and an inactive one, each
    // holding both variables; the first values reported.
    void ConnectGroups(DWORD rate1, DWORD rate2)
    {
        client = std::make_unique<opctest::TestClient>();
        sink = com::makeCom<opctest::RecordingSink>();
        for (const auto& [name, active, rate] :
             {std::tuple{"G1", true, rate1}, std::tuple{"G2", true, rate2}, std::tuple{"Off", false, rate1}}) {
            groups.push_back(client->addGroup(name, active, rate, static_cast<OPCHANDLE>(groups.size() + 1)));
            ASSERT_TRUE(groups.back());
            ASSERT_NE(groups.back().advise(sink->unknown()), 0u);
            ASSERT_EQ(groups.back().addItems({{"A.V", 10, true}, {"A.W", 11, true}}).hr, S_OK);
        }
        // No PLC traffic: the values stay as they are unless the test changes them.
        LoopBack();
        vx::CommServer->StopCommunication();
        scheduler.advance(1000);
    }
    // Which groups reported since call number from, with how many items each.
    std::vector<std::pair<OPCHANDLE, DWORD>> ReportsSince(std::size_t from) const
    {
        std::vector<std::pair<OPCHANDLE, DWORD>> out;
        for (std::size_t i = from; i < sink->calls.size(); ++i)
            if (sink->calls[i].kind == Callback::DataChange)
                out.emplace_back(sink->calls[i].group, sink->calls[i].count);
        return out;
    }
    static std::vector<double> LastUpdates()
    {
        std::vector<double> out;
        for (const auto& station : *vx::StationList)
            for (const vx::TVariable* v : station->Variables->items())
                out.push_back(v->LastUpdate);
        return out;
    }
    void TearDown() override
    {
        for (auto& g : groups)
            g.release();
        apptest::MainFixture::TearDown();
    }

    std::vector<opctest::TestGroup> groups;
};

TEST_F(MainTimeChange, EveryVariableIsDueAndEveryActiveGroupReportsAtOnce)
{
    StartOnConfig(kStation);
    // Groups that report once a minute unless forced.
    ConnectGroups(60000, 60000);
    struct Trigger {
        const char* name;
        std::function<void()> fire;
    };
    const Trigger triggers[] = {
        {"clock step", [] { plat::simulateClockChange(); }},
        {"UTC offset", [this] {
             utcOffset += 3600;
             scheduler.advance(plat::ClockWatch::kOffsetCheckMs);
         }},
    };
    std::uint16_t quality = vx::qGood;
    for (const Trigger& t : triggers) {
        SCOPED_TRACE(t.name);
        for (const auto& station : *vx::StationList)
            for (vx::TVariable* v : station->Variables->items())
                v->LastUpdate = clock.now();
        const std::size_t before = sink->calls.size();
        SetQuality("V", quality);
        SetQuality("W", quality);
        quality = vx::qLocalOverride;
        scheduler.advance(500);
        ASSERT_EQ(sink->calls.size(), before) << "nothing before the minute is over";
        t.fire();
        EXPECT_EQ(LastUpdates(), std::vector<double>(LastUpdates().size(), 0.0));
        // Both active groups with both items, together; the inactive one says nothing.
        auto reports = ReportsSince(before);
        std::sort(reports.begin(), reports.end());
        EXPECT_EQ(reports, (std::vector<std::pair<OPCHANDLE, DWORD>>{{1, 2}, {2, 2}}));
        ASSERT_EQ(sink->calls.size(), before + 2);
        EXPECT_EQ(sink->calls[before].entries[0].timeStamp.dwLowDateTime,
                  sink->calls[before + 1].entries[0].timeStamp.dwLowDateTime);
    }
}

TEST_F(MainTimeChange, AChangeDuringATickIsNotLost)
{
    StartOnConfig(kStation);
    // G1 reports on every tick, G2 once a minute unless forced.
    ConnectGroups(100, 60000);
    const std::size_t from = sink->calls.size();
    int depth = 0;
    int deepest = 0;
    bool changed = false;
    sink->onCall = [&](const Callback&) {
        ++depth;
        deepest = std::max(deepest, depth);
        if (!changed) {
            changed = true;
            plat::simulateClockChange();
        }
        --depth;
    };
    // The tick reports the change in G1, and the clock changes inside that report; the
    // forced update then brings G2's report at once, after the tick.
    SetQuality("V", vx::qGood);
    scheduler.advance(100);
    ASSERT_TRUE(changed);
    EXPECT_EQ(deepest, 1) << "the forced update ran after the tick, not inside it";
    EXPECT_EQ(ReportsSince(from), (std::vector<std::pair<OPCHANDLE, DWORD>>{{1, 1}, {2, 1}}));
    sink->onCall = nullptr;
}

// The runtime monitor's forced update after an edit takes the same guard.
TEST_F(MainTimeChange, AForcedUpdateAskedForDuringATickRunsRightAfterIt)
{
    StartOnConfig(kStation);
    ConnectGroups(100, 60000);
    int depth = 0;
    std::vector<int> ranAtDepth;
    sink->onCall = [&](const Callback&) {
        ++depth;
        if (ranAtDepth.empty())
            window->RunForcedUpdate([&] {
                ranAtDepth.push_back(depth);
                groups[1].object()->Update(true, clock.now());
            });
        --depth;
    };
    const std::size_t from = sink->calls.size();
    SetQuality("W", vx::qGood);
    scheduler.advance(100);
    EXPECT_EQ(ranAtDepth, std::vector<int>{0}) << "once, and not inside the tick's callback";
    EXPECT_EQ(ReportsSince(from), (std::vector<std::pair<OPCHANDLE, DWORD>>{{1, 1}, {2, 1}}));
    EXPECT_TRUE(window->PulseTimer().enabled());
    sink->onCall = nullptr;
}

// --- Tray ---

class MainTray : public apptest::MainFixture {};

TEST_F(MainTray, HidesToTheTrayAndAClickBringsItBack)
{
    StartOnConfig("");
    ASSERT_NE(tray, nullptr);
    window->showMinimized();
    window->Ac_HideServerExecute();
    EXPECT_TRUE(window->isHidden());
    EXPECT_EQ(MonitorCalls().back(), TMonitorCall{TMonitorCall::FullCollapse});
    // Hiding stops nothing.
    EXPECT_TRUE(window->PulseTimer().enabled());
    tray->Click();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());
}

class MainNoTray : public apptest::MainFixture, public ::testing::WithParamInterface<bool> {};

// No tray icon at all, or one whose tray went away.
TEST_P(MainNoTray, HidingMinimises)
{
    withTray = GetParam();
    trayAvailable = false;
    StartOnConfig("");
    window->Ac_HideServerExecute();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    window->RxTrayIcon1Click();
    EXPECT_FALSE(window->isMinimized());
}

INSTANTIATE_TEST_SUITE_P(TrayIcon, MainNoTray, ::testing::Bool());

TEST_F(MainTray, ADialogClosingWhileTheWindowIsHiddenDoesNotEndTheProgram)
{
    StartOnConfig("");
    window->Ac_HideServerExecute();
    ASSERT_TRUE(window->isHidden());
    // Qt posts its quit when the last window closes; the loop says whether it came.
    struct QuitWatch : QObject {
        bool seen = false;
        bool eventFilter(QObject*, QEvent* event) override
        {
            seen |= event->type() == QEvent::Quit;
            return false;
        }
    } quit;
    qApp->installEventFilter(&quit);
    QDialog dialog;
    QObject context;
    QTimer::singleShot(0, &context, [&] {
        dialog.show();
        QTimer::singleShot(0, &context, [&] {
            dialog.close();
            QTimer::singleShot(0, &context, [&] {
                QCoreApplication::sendPostedEvents();
                QCoreApplication::exit(quit.seen ? 0 : 7);
            });
        });
    });
    EXPECT_EQ(QCoreApplication::exec(), 7) << "the dialog's close ended the loop";
    qApp->removeEventFilter(&quit);
    EXPECT_EQ(ends, 0);
}

// --- Placement ---

struct PlacementCase {
    const char* name;
    const char* lines;  // section Main
    bool restored;
    bool maximized;
};

class MainPlacement : public apptest::MainFixture, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(MainPlacement, RestoresOnlyWhatFitsAPresentScreen)
{
    const PlacementCase& c = GetParam();
    StartWithSettings(std::string("[Main]\nLanguage=1\nIsRegistered=1\n") + c.lines);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    if (c.restored) {
        EXPECT_EQ(window->normalGeometry(), QRect(30, 40, 740, 520));
    } else {
        EXPECT_EQ(window->size(), QSize(866, 615));
        // Within the window frame's few pixels, which are not known before it is shown.
        EXPECT_LE((window->frameGeometry().center() - screen.center()).manhattanLength(), 4) << "centred";
    }
    EXPECT_EQ(window->isMaximized(), c.maximized);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MainPlacement,
    ::testing::Values(PlacementCase{"None", "", false, false},
                      PlacementCase{"Normal", "ShowCmd=1\nNormPos=30,40,770,560\n", true, false},
                      PlacementCase{"Maximised", "Flags=0\nShowCmd=3\nNormPos=30,40,770,560\n", true, true},
                      PlacementCase{"OffScreen", "ShowCmd=1\nNormPos=5000,5000,5740,5520\n", false, false},
                      PlacementCase{"TooSmall", "ShowCmd=1\nNormPos=30,40,330,240\n", false, false},
                      PlacementCase{"Damaged", "ShowCmd=1\nNormPos=30,40,770\n", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindow, PlacementIsWrittenAndRestored)
{
    StartOnConfig("");
    window->setGeometry(QRect(20, 30, 750, 530));
    window->FormDestroy();
    vos::IniFile ini(PathOf("VornOPCServer.ini"));
    EXPECT_EQ(ini.ReadString("Main", "NormPos", ""), "20,30,770,560");
    EXPECT_EQ(ini.ReadString("Main", "ShowCmd", ""), "1");
    EXPECT_EQ(ini.ReadString("Main", "Flags", ""), "0");
    EXPECT_EQ(ini.ReadString("Main", "MinMaxPos", ""), "-1,-1,-1,-1");
    EXPECT_GT(ini.ReadInteger("Main", "PixelsPerInch", 0), 0);
    window.reset();
    server.reset();

    StartOn(PathOf("VornOPCServer.ini"));
    EXPECT_EQ(window->geometry(), QRect(20, 30, 750, 530));
    window->showMaximized();
    window->FormDestroy();
    vos::IniFile again(PathOf("VornOPCServer.ini"));
    EXPECT_EQ(again.ReadString("Main", "ShowCmd", ""), "3");
    EXPECT_EQ(again.ReadString("Main", "NormPos", ""), "20,30,770,560") << "the normal geometry, not the maximised";
}

TEST_F(MainWindow, HeadlessWritesNoPlacement)
{
    headless = true;
    StartOnConfig("");
    window->FormDestroy();
    EXPECT_FALSE(vos::IniFile(PathOf("VornOPCServer.ini")).ValueExists("Main", "NormPos"));
    EXPECT_TRUE(vos::IniFile(PathOf("VornOPCServer.ini")).ValueExists("Main", "ShowMessages")) << "the settings are";
}

TEST(Placement, FourIntegers)
{
    struct Case {
        const char* text;
        std::optional<std::array<std::int32_t, 4>> parsed;
    };
    const Case cases[] = {
        {"1,2,3,4", std::array<std::int32_t, 4>{1, 2, 3, 4}},
        {" -10 , 20,\t30 ,40 ", std::array<std::int32_t, 4>{-10, 20, 30, 40}},
        {"1,2,3", std::nullopt},
        {"1,2,3,4,5", std::nullopt},
        {"1,2,3,", std::nullopt},
        {"a,b,c,d", std::nullopt},
        {"", std::nullopt},
        {"1,2,3,99999999999", std::nullopt},
        {"1;2;3;4", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vos::ParseFourIntegers(c.text), c.parsed) << c.text;
    EXPECT_EQ(vos::FormatFourIntegers({-1, 0, 866, 615}), "-1,0,866,615");
}

TEST(Placement, FitsOnlyAPresentScreenAtTheMinimumSize)
{
    const std::vector<QRect> screens = {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
    const QSize minimum(713, 500);
    struct Case {
        QRect normal;
        bool fits;
    };
    const Case cases[] = {
        {QRect(100, 100, 866, 615), true},
        {QRect(2000, 100, 866, 615), true},    // the second screen
        {QRect(1500, 100, 866, 615), false},   // the centre on another screen than the corner
        {QRect(-50, 100, 866, 615), false},    // the corner off every screen
        {QRect(4000, 100, 866, 615), false},   // a screen no longer there
        {QRect(100, 100, 712, 615), false},    // narrower than the minimum
        {QRect(100, 100, 713, 499), false},
        {QRect(100, 100, 713, 500), true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vos::PlacementFits(c.normal, screens, minimum), c.fits) << c.normal.x() << "," << c.normal.y();
    EXPECT_FALSE(vos::PlacementFits(QRect(100, 100, 866, 615), {}, minimum));
}

TEST(Placement, ReadsAWindowsFileAndRefusesDamage)
{
    auto read = [](const std::string& lines) { return vos::ReadPlacement(vos::IniFile::FromBytes("[Main]\r\n" + lines)); };
    const auto p = read("Flags=0\r\nShowCmd=3\r\nPixelsPerInch=120\r\nMinMaxPos=-1,-1,-8,-8\r\nNormPos=88,66,954,681\r\n");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->ShowCmd, 3);
    EXPECT_EQ(p->PixelsPerInch, 120);
    EXPECT_EQ(p->MaxPosition, QPoint(-8, -8));
    EXPECT_EQ(p->Normal, QRect(88, 66, 866, 615));
    for (const char* bad : {"NormPos=10,10,5,5\r\n", "NormPos=-2147483648,0,2147483647,10\r\n", "ShowCmd=1\r\n"})
        EXPECT_FALSE(read(bad)) << bad;
}

// --- Exceptions ---

class MainException : public apptest::MainFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(MainException, IsLoggedAndShownOnlyWithShowMessages)
{
    const bool show = GetParam();
    StartOnConfig("", show ? "ShowMessages=1\n" : "");
    vos::Guarded([] { throw std::runtime_error("a timer failed"); });
    vos::Guarded([] { throw 42; });
    EXPECT_TRUE(Logged("Exception: a timer failed"));
    EXPECT_TRUE(Logged("Exception: unknown exception"));
    EXPECT_TRUE(errorBoxes.empty()) << "never inside the call that failed";
    LoopBack();
    const std::vector<std::string> shown = {"a timer failed", "unknown exception"};
    EXPECT_EQ(errorBoxes, show ? shown : std::vector<std::string>{});
    EXPECT_TRUE(window->isVisible()) << "the program goes on";
    // Whatever escapes an event handler lands in the same place, the event not handled.
    EXPECT_FALSE(vos::NotifyGuarded([]() -> bool { throw std::logic_error("an event handler failed"); }));
    EXPECT_TRUE(Logged("Exception: an event handler failed"));

    // Once the window is gone the line still goes to the log, and nothing is shown.
    window->FormDestroy();
    errorBoxes.clear();
    vos::Guarded([] { throw std::runtime_error("after the window"); });
    LoopBack();
    EXPECT_TRUE(Logged("Exception: after the window"));
    EXPECT_TRUE(errorBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(ShowMessages, MainException, ::testing::Bool());

}  // namespace

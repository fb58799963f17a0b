// bench_monitor: what the runtime monitor costs with a large plant's clients.
//
// 100,000 simulated variables (ten stations of 10,000) and ten in-process clients holding
// 1,000 groups of 100 items, every variable used by one item, with the monitor events routed
// into a runtime monitor frame as the main window does. Offscreen; the clock is a manual one.
// Reports: adding every item (the monitor's share of it apart), and one pulse tick in which
// every item changed: the tick with its monitor events, then the coalesced repaint of the
// shown tree on the next pass of the event loop.
#include <QApplication>
#include <QTreeView>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "editor/frm_runtime.h"
#include "opc/opc_globals.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "tools/bench_common/bench_common.h"
#include "tools/bench_common/opc_clients.h"

namespace {

using namespace bench::large_plant;
using bench::Clock;
using bench::median;
using bench::msSince;

// Runs the event loop until the monitor's repaint is out and painted.
void settle(vos::TFrm_Runtime& frame)
{
    do
        QApplication::processEvents();
    while (frame.RTreeModel().InvalidationPending());
    QApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    plat::ManualClock clock(46000.5);
    plat::setClock(&clock);
    vx::Language = 1;
    vx::ArrWatchMaxLen = 255;
    vx::InitializeComm();

    const std::vector<vx::TVariable*> variables =
        bench::addPlant(kStations, kVariablesPerStation, [](vx::TStation* st, const std::string& name, int address) {
            vx::TVariable* v = bench::addFixedVariable(st, name, address);
            v->Forced = true;  // simulated with a user value: the monitor could write it
            return v;
        });
    bench::Registry registry = bench::openRegistry(variables);

    auto frame = std::make_unique<vos::TFrm_Runtime>();
    frame->resize(1000, 700);
    frame->Init();
    frame->show();
    settle(*frame);
    std::int64_t monitorNs = 0;
    registry->OnMonitorEvent = [&](int code, opc::TMonitorObject obj) {
        const std::int64_t start = bench::nowNs();
        vos::RouteMonitorEvent(*frame, code, obj);
        monitorNs += bench::nowNs() - start;
    };

    std::vector<com::ComPtr<IOPCServer>> servers(kClients);
    std::vector<com::ComPtr<IOPCItemMgt>> groups;
    const auto buildStart = Clock::now();
    int next = 0;
    for (int c = 0; c < kClients; ++c) {
        servers[c] = bench::newClient();
        for (int g = 0; g < kGroupsPerClient; ++g) {
            const std::string name = "Group" + std::to_string(c * kGroupsPerClient + g);
            groups.push_back(bench::addGroup(servers[c].get(), {.name = plat::utf8ToUtf16(name), .rate = kRate}));
            bench::addPlantItems(groups.back().get(), next, kItemsPerGroup, kVariablesPerStation);
            next += kItemsPerGroup;
        }
    }
    const double buildMs = msSince(buildStart);
    const double buildMonitorMs = static_cast<double>(monitorNs) / 1e6;
    const auto showStart = Clock::now();
    settle(*frame);
    const double showMs = msSince(showStart);

    // The first due update reports every item; then each round changes every value.
    clock.advanceMs(kRate);
    opc::PulseAllServers(false, clock.now());
    settle(*frame);

    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<double> tickMs, tickMonitorMs, repaintMs;
    for (int r = 0; r < rounds; ++r) {
        for (vx::TVariable* v : variables)
            v->Value.setI2(static_cast<SHORT>(v->Value.get()->iVal + 1));
        monitorNs = 0;
        clock.advanceMs(kRate);
        auto start = Clock::now();
        opc::PulseAllServers(false, clock.now());
        tickMs.push_back(msSince(start));
        tickMonitorMs.push_back(static_cast<double>(monitorNs) / 1e6);
        start = Clock::now();
        settle(*frame);
        repaintMs.push_back(msSince(start));
    }

    std::printf("clients: %d, groups: %zu, items: %d, monitor nodes: %zu\n", kClients, groups.size(), next,
                frame->RTreeModel().NodeCount());
    std::printf("adding all items with their monitor events:      %9.2f ms\n", buildMs);
    std::printf("  of which in the monitor (AddNode):             %9.2f ms\n", buildMonitorMs);
    std::printf("first event-loop pass after adding (show):       %9.2f ms\n", showMs);
    std::printf("tick with every item changed (median of %d):      %9.2f ms\n", rounds, median(tickMs));
    std::printf("  of which in the monitor (events 8, coalesced): %9.2f ms\n", median(tickMonitorMs));
    std::printf("coalesced repaint on the next pass (median):     %9.2f ms\n", median(repaintMs));

    const auto removeStart = Clock::now();
    groups.clear();
    servers.clear();
    std::printf("releasing every client (removal events):         %9.2f ms\n", msSince(removeStart));
    frame.reset();
    registry.reset();
    vx::FinalizeComm();
    plat::setClock(nullptr);
    return 0;
}

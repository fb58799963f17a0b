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
#include <algorithm>
#include <chrono>
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
#include "opc/opc_group.h"
#include "opc/opc_server.h"
#include "platform/clock.h"
#include "platform/com/alloc.h"
#include "platform/text.h"
#include "tools/bench_common/bench_common.h"

namespace {

constexpr int kStations = 10;
constexpr int kVariablesPerStation = 10000;
constexpr int kClients = 10;
constexpr int kGroupsPerClient = 100;
constexpr int kItemsPerGroup = 100;
constexpr DWORD kRate = 1000;  // ms

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

std::string itemID(int station, int variable) { return "Station" + std::to_string(station) + ".Var" + std::to_string(variable); }

HRESULT addItems(IOPCItemMgt* group, int first, int count)
{
    std::vector<std::u16string> ids;
    ids.reserve(count);
    for (int i = first; i < first + count; ++i)
        ids.push_back(plat::utf8ToUtf16(itemID(i / kVariablesPerStation, i % kVariablesPerStation)));
    std::vector<OPCITEMDEF> defs(count);
    for (int i = 0; i < count; ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(first + i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = group->AddItems(count, defs.data(), &results, &errors);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return hr;
}

com::ComPtr<IOPCItemMgt> addGroup(IOPCServer* server, int n)
{
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    const std::u16string name = plat::utf8ToUtf16("Group" + std::to_string(n));
    server->AddGroup(name.c_str(), TRUE, kRate, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &handle, &revised, IID_IOPCItemMgt,
                     &unk);
    return com::ComPtr<IOPCItemMgt>::attach(static_cast<IOPCItemMgt*>(unk));
}

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

    std::vector<vx::TVariable*> variables;
    variables.reserve(kStations * kVariablesPerStation);
    for (int s = 0; s < kStations; ++s) {
        vx::TStation* st = vx::StationList->AddStation();
        st->Name = "Station" + std::to_string(s);
        for (int i = 0; i < kVariablesPerStation; ++i) {
            vx::TVariable* v = bench::addFixedVariable(st, "Var" + std::to_string(i), i);
            v->Forced = true;  // simulated with a user value: the monitor could write it
            variables.push_back(v);
        }
    }

    auto registry = std::make_unique<opc::TServer>();
    opc::OPCRegistry = registry.get();
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        for (vx::TVariable* v : variables)
            registry->AddItem({v->GetFullName(), v->RequestedType, true, true, v});
        registry->SortItems();
    }

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
        auto server = com::makeCom<opc::TDA2>();
        server.as(servers[c]);
        for (int g = 0; g < kGroupsPerClient; ++g) {
            groups.push_back(addGroup(servers[c].get(), c * kGroupsPerClient + g));
            addItems(groups.back().get(), next, kItemsPerGroup);
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
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };

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
    opc::OPCRegistry = nullptr;
    registry.reset();
    vx::FinalizeComm();
    plat::setClock(nullptr);
    return 0;
}

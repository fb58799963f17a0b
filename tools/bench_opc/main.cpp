// bench_opc: what a large plant costs the OPC server.
//
// Builds 100,000 variables (ten stations of 10,000), a catalogue over them, and clients that
// hold 1,000 groups of 100 items, every variable used by one item. The clock is a manual one,
// so a tick covers exactly the work of the server objects, groups and items, not waiting.
// Reports: one AddItems call of 10,000 items; the heap growth per item while the 100,000
// items are added (malloc's own count of bytes in use, so the figure includes every
// allocation an item causes); a pulse tick with nothing due; a tick with every group due and
// nothing changed; a tick with every group due and 1% of the values changed, delivered to a
// sink that counts what it gets.
#include <malloc.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_variable.h"
#include "opc/opc_globals.h"
#include "platform/clock.h"
#include "tools/bench_common/bench_common.h"
#include "tools/bench_common/opc_clients.h"

namespace {

using namespace bench::large_plant;
using bench::Clock;
using bench::median;
using bench::msSince;

std::size_t heapInUse() { return mallinfo2().uordblks; }

struct Client {
    com::ComPtr<IOPCServer> server;
    std::vector<com::ComPtr<IOPCItemMgt>> groups;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    plat::ManualClock clock(46000.5);
    plat::setClock(&clock);
    vx::Language = 1;
    vx::InitializeComm();

    const std::vector<vx::TVariable*> variables = bench::addPlant(kStations, kVariablesPerStation, bench::addFixedVariable);
    bench::Registry registry = bench::openRegistry(variables);

    // One AddItems call of 10,000 items, into a group of its own.
    double addTenThousandMs = 0;
    {
        auto server = bench::newClient();
        auto group = bench::addGroup(server.get(), {.rate = kRate});
        const auto start = Clock::now();
        const HRESULT hr = bench::addPlantItems(group.get(), 0, 10000, kVariablesPerStation);
        addTenThousandMs = msSince(start);
        if (hr != S_OK) {
            std::fprintf(stderr, "AddItems failed: 0x%08X\n", static_cast<unsigned>(hr));
            return 1;
        }
    }

    com::ComPtr<bench::CountingSink> sink = com::makeCom<bench::CountingSink>();
    std::vector<Client> clients(kClients);
    const std::size_t heapBefore = heapInUse();
    const auto buildStart = Clock::now();
    int next = 0;
    for (Client& c : clients) {
        c.server = bench::newClient();
        for (int g = 0; g < kGroupsPerClient; ++g) {
            c.groups.push_back(bench::addGroup(c.server.get(), {.rate = kRate, .sink = sink.get()}));
            bench::addPlantItems(c.groups.back().get(), next, kItemsPerGroup, kVariablesPerStation);
            next += kItemsPerGroup;
        }
    }
    const double buildMs = msSince(buildStart);
    const double bytesPerItem = static_cast<double>(heapInUse() - heapBefore) / next;

    // The first due update reports every item; let it pass.
    clock.advanceMs(kRate);
    opc::PulseAllServers(false, clock.now());
    const long long initialValues = sink->values;

    // More rounds on the command line, for profiling the ticks.
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    std::vector<double> idle, dueUnchanged, dueChanged;
    long long changedValues = 0;
    for (int r = 0; r < rounds; ++r) {
        // Nothing due: 10 ms into a 1000 ms period.
        clock.advanceMs(10);
        auto start = Clock::now();
        opc::PulseAllServers(false, clock.now());
        idle.push_back(msSince(start));

        // Every group due, nothing changed.
        clock.advanceMs(kRate);
        start = Clock::now();
        opc::PulseAllServers(false, clock.now());
        dueUnchanged.push_back(msSince(start));

        // Every group due, 1% of the values changed.
        for (std::size_t i = r % 100; i < variables.size(); i += 100)
            variables[i]->Value.setI2(static_cast<SHORT>(2000 + r));
        const long long before = sink->values;
        clock.advanceMs(kRate);
        start = Clock::now();
        opc::PulseAllServers(false, clock.now());
        dueChanged.push_back(msSince(start));
        changedValues = sink->values - before;
    }

    std::printf("variables: %zu, clients: %d, groups: %d, items: %d\n", variables.size(), kClients,
                kClients * kGroupsPerClient, next);
    std::printf("AddItems of 10,000 items (one call):           %8.2f ms\n", addTenThousandMs);
    std::printf("adding all %d items in groups of %d:        %8.2f ms\n", next, kItemsPerGroup, buildMs);
    std::printf("heap per item (growth / items):                %8.1f bytes\n", bytesPerItem);
    std::printf("initial data change: %lld values\n", initialValues);
    std::printf("pulse tick, nothing due (median of %d):        %8.3f ms\n", rounds, median(idle));
    std::printf("pulse tick, all due, nothing changed (median): %8.3f ms\n", median(dueUnchanged));
    std::printf("pulse tick, all due, 1%% changed (median):      %8.3f ms  (%lld values delivered)\n", median(dueChanged),
                changedValues);

    clients.clear();
    registry.reset();
    vx::FinalizeComm();
    plat::setClock(nullptr);
    return 0;
}

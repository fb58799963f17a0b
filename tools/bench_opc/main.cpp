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
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
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

class CountingSink : public com::ComObject<IOPCDataCallback> {
public:
    long long calls = 0;
    long long values = 0;
    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                         HRESULT*) override
    {
        ++calls;
        values += count;
        return S_OK;
    }
    HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                           HRESULT*) override
    {
        return S_OK;
    }
    HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

std::size_t heapInUse() { return mallinfo2().uordblks; }

std::string itemID(int station, int variable) { return "Station" + std::to_string(station) + ".Var" + std::to_string(variable); }

// Adds the items [first, first + count) of the plant's variables to group; returns the call's result.
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

struct Client {
    com::ComPtr<IOPCServer> server;
    std::vector<com::ComPtr<IOPCItemMgt>> groups;
};

com::ComPtr<IOPCItemMgt> addGroup(IOPCServer* server, DWORD rate, IOPCDataCallback* sink)
{
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    server->AddGroup(u"", TRUE, rate, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &handle, &revised, IID_IOPCItemMgt, &unk);
    auto group = com::ComPtr<IOPCItemMgt>::attach(static_cast<IOPCItemMgt*>(unk));
    if (sink) {
        com::ComPtr<IConnectionPointContainer> cpc;
        group.as(cpc);
        com::ComPtr<IConnectionPoint> cp;
        cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put());
        DWORD cookie = 0;
        cp->Advise(sink, &cookie);
    }
    return group;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    plat::ManualClock clock(46000.5);
    plat::setClock(&clock);
    vx::Language = 1;
    vx::InitializeComm();

    std::vector<vx::TVariable*> variables;
    variables.reserve(kStations * kVariablesPerStation);
    for (int s = 0; s < kStations; ++s) {
        vx::TStation* st = vx::StationList->AddStation();
        st->Name = "Station" + std::to_string(s);
        for (int i = 0; i < kVariablesPerStation; ++i)
            variables.push_back(bench::addFixedVariable(st, "Var" + std::to_string(i), i));
    }

    auto registry = std::make_unique<opc::TServer>();
    opc::OPCRegistry = registry.get();
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        for (vx::TVariable* v : variables)
            registry->AddItem({v->GetFullName(), v->RequestedType, true, true, v});
        registry->SortItems();
    }

    // One AddItems call of 10,000 items, into a group of its own.
    double addTenThousandMs = 0;
    {
        auto server = com::makeCom<opc::TDA2>();
        com::ComPtr<IOPCServer> s;
        server.as(s);
        auto group = addGroup(s.get(), kRate, nullptr);
        const auto start = Clock::now();
        const HRESULT hr = addItems(group.get(), 0, 10000);
        addTenThousandMs = msSince(start);
        if (hr != S_OK) {
            std::fprintf(stderr, "AddItems failed: 0x%08X\n", static_cast<unsigned>(hr));
            return 1;
        }
    }

    com::ComPtr<CountingSink> sink = com::makeCom<CountingSink>();
    std::vector<Client> clients(kClients);
    const std::size_t heapBefore = heapInUse();
    const auto buildStart = Clock::now();
    int next = 0;
    for (Client& c : clients) {
        auto server = com::makeCom<opc::TDA2>();
        server.as(c.server);
        for (int g = 0; g < kGroupsPerClient; ++g) {
            c.groups.push_back(addGroup(c.server.get(), kRate, sink.get()));
            addItems(c.groups.back().get(), next, kItemsPerGroup);
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
    opc::OPCRegistry = nullptr;
    registry.reset();
    vx::FinalizeComm();
    plat::setClock(nullptr);
    return 0;
}

// bench_dbus: what the message bus costs an OPC client, as a ratio to the same calls made
// in-process.
//
// Starts a bus of its own (dbus-daemon on a temporary configuration, never the user's session
// bus) and itself a second time as the server process ("--serve <address>"), which offers the
// server's class on that bus; this process is the client. Both hold one station of 10,000
// simulated variables. Reports, three runs each, beside the in-process figures:
//   - round trips per second of a synchronous cache read of 1 and of 1,000 items;
//   - item changes per second delivered to one subscribed client: one group of 10,000 active
//     items, every value changed at every pulse, the changes batched per group and pulse as
//     OnDataChange carries them.
// A program to run by hand, not a test.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "opc/opc_globals.h"
#include "opc/opc_group.h"
#include "opc/opc_register.h"
#include "opc/opc_server.h"
#include "opc/opc_typelib.h"
#include "platform/clock.h"
#include "platform/com/alloc.h"
#include "platform/com/dbus_names.h"
#include "platform/com/dbus_transport.h"
#include "platform/com/registry.h"
#include "platform/com/runtime.h"
#include "platform/text.h"
#include "tests/private_bus.h"
#include "tools/bench_common/bench_common.h"

namespace {

constexpr int kVariables = 10000;
constexpr int kSubscribed = 10000;
constexpr DWORD kRate = 100;  // ms
constexpr int kRuns = 3;
constexpr double kSeconds = 1.5;  // per measurement
// Pulses the server runs ahead of what the client has answered.
constexpr std::size_t kCallbackWindow = 4;

// --- the plant both processes hold

struct Plant {
    plat::ManualClock clock{46000.5};
    std::vector<vx::TVariable*> variables;
    std::unique_ptr<opc::TServer> registry;

    Plant()
    {
        plat::setClock(&clock);
        vx::Language = 1;
        vx::InitializeComm();
        vx::TStation* st = vx::StationList->AddStation();
        st->Name = "St";
        for (int i = 0; i < kVariables; ++i)
            variables.push_back(bench::addFixedVariable(st, "V" + std::to_string(i), i));
        registry = std::make_unique<opc::TServer>();
        opc::OPCRegistry = registry.get();
        opc::OPCLockGuard lock(opc::OPCLock);
        for (vx::TVariable* v : variables)
            registry->AddItem({v->GetFullName(), v->RequestedType, true, true, v});
        registry->SortItems();
    }
    ~Plant()
    {
        opc::OPCRegistry = nullptr;
        registry.reset();
        vx::FinalizeComm();
        plat::setClock(nullptr);
    }

    // Every value changes, then one pulse a period later.
    void changeAndPulse()
    {
        static SHORT round = 0;
        ++round;
        for (vx::TVariable* v : variables)
            v->Value.setI2(static_cast<SHORT>(round));
        clock.advanceMs(kRate);
        opc::PulseAllServers(false, clock.now());
    }
    // Whether some group has a client's sink to call.
    bool subscribed() const
    {
        for (opc::TDA2* s : registry->Servers)
            if (s)
                for (opc::TOPCGroup* g : s->Groups)
                    if (g && g->DataCallback)
                        return true;
        return false;
    }
};

IClassFactory* serverFactory()
{
    for (const auto& f : opc::ClassFactories())
        if (f.ClassID == CLSID_DA2)
            return f.Factory.get();
    return nullptr;
}

// --- the server process

int serve(const QString& address)
{
    Plant plant;
    com::ApartmentScope apartment;
    com::DBusTransport transport(address);
    if (!transport.connected() || FAILED(transport.registerClassObject(CLSID_DA2, serverFactory()))) {
        std::fprintf(stderr, "server: %s\n", qPrintable(transport.lastError()));
        return 1;
    }
    // Pulses as fast as a subscribed client takes the changes; idle otherwise, so that the
    // reads are measured against a server that waits for them.
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] {
        if (!plant.subscribed()) {
            pump.setInterval(20);
            return;
        }
        pump.setInterval(0);
        if (transport.callbacksInFlight() < kCallbackWindow)
            plant.changeAndPulse();
    });
    pump.start(20);
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// --- the client's side

class CountingSink : public com::ComObject<IOPCDataCallback> {
public:
    long long values = 0;
    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*, WORD*, FILETIME*, HRESULT*) override
    {
        values += count;
        return S_OK;
    }
    HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

struct Group {
    com::ComPtr<IOPCItemMgt> mgt;
    com::ComPtr<IOPCSyncIO> sync;
    std::vector<OPCHANDLE> handles;
    DWORD cookie = 0;
    com::ComPtr<IConnectionPoint> point;
};

bool makeGroup(IOPCServer* server, int items, Group& g)
{
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    com::ComPtr<IUnknown> unk;
    if (FAILED(server->AddGroup(u"", TRUE, kRate, 1, nullptr, nullptr, 0, &handle, &revised, IID_IOPCItemMgt, unk.put())))
        return false;
    unk.as(g.mgt);
    unk.as(g.sync);
    std::vector<std::u16string> ids;
    for (int i = 0; i < items; ++i)
        ids.push_back(plat::utf8ToUtf16("St.V" + std::to_string(i)));
    std::vector<OPCITEMDEF> defs(static_cast<std::size_t>(items));
    for (int i = 0; i < items; ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    if (g.mgt->AddItems(static_cast<DWORD>(items), defs.data(), &results, &errors) != S_OK)
        return false;
    for (int i = 0; i < items; ++i)
        g.handles.push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return true;
}

// Synchronous cache reads of the group's items per second.
double readsPerSecond(Group& g)
{
    const auto n = static_cast<DWORD>(g.handles.size());
    long long calls = 0;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kSeconds * 1000) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        if (FAILED(g.sync->Read(OPC_DS_CACHE, n, g.handles.data(), &states, &errors)))
            return 0;
        for (DWORD i = 0; i < n; ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        ++calls;
    }
    return calls * 1000.0 / static_cast<double>(timer.elapsed());
}

bool subscribe(Group& g, CountingSink* sink)
{
    com::ComPtr<IConnectionPointContainer> cpc;
    if (FAILED(g.mgt.as(cpc)) || FAILED(cpc->FindConnectionPoint(IID_IOPCDataCallback, g.point.put())))
        return false;
    return SUCCEEDED(g.point->Advise(sink->unknown(), &g.cookie));
}

// Item changes per second reaching the sink while the server pulses (over the bus) or while
// this process pulses its own plant (in-process).
double changesPerSecond(CountingSink& sink, Plant* local)
{
    auto wait = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    if (!local)
        wait(300);  // the server gets going
    const long long before = sink.values;
    QElapsedTimer timer;
    timer.start();
    if (local) {
        while (timer.elapsed() < kSeconds * 1000)
            local->changeAndPulse();
    } else {
        wait(static_cast<int>(kSeconds * 1000));
    }
    return (sink.values - before) * 1000.0 / static_cast<double>(timer.elapsed());
}

struct Figures {
    double one = 0, thousand = 0, changes = 0;
};

// Empty round trips per second between two connections through the bus, answered by the
// server's transport: the floor under any call, whatever it carries.
double pingsPerSecond(const QString& address, const QString& server)
{
    QDBusConnection conn = QDBusConnection::connectToBus(address, QStringLiteral("bench-ping"));
    long long calls = 0;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kSeconds * 1000) {
        QDBusMessage m = QDBusMessage::createMethodCall(server, QStringLiteral("/"), QLatin1String(com::kInterfacePrefix) + QLatin1String("IUnknown"),
                                                        QStringLiteral("Ping"));
        QDBusPendingCall pending = conn.asyncCall(m, 5000);
        QDBusPendingCallWatcher watcher(pending);
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        if (!pending.isFinished())
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        if (pending.isError())
            return 0;
        ++calls;
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("bench-ping"));
    return calls * 1000.0 / static_cast<double>(timer.elapsed());
}

bool measure(IOPCServer* server, Plant* local, std::vector<Figures>& runs)
{
    Group one, thousand, subscribed;
    if (!makeGroup(server, 1, one) || !makeGroup(server, 1000, thousand) || !makeGroup(server, kSubscribed, subscribed))
        return false;
    auto sink = com::makeCom<CountingSink>();
    for (int r = 0; r < kRuns; ++r) {
        Figures f;
        f.one = readsPerSecond(one);
        f.thousand = readsPerSecond(thousand);
        runs.push_back(f);
    }
    if (!subscribe(subscribed, sink.get()))
        return false;
    for (int r = 0; r < kRuns; ++r)
        runs[static_cast<std::size_t>(r)].changes = changesPerSecond(*sink.get(), local);
    subscribed.point->Unadvise(subscribed.cookie);
    return true;
}

void row(const char* what, const char* unit, const std::vector<Figures>& local, const std::vector<Figures>& bus,
         double Figures::*field)
{
    std::printf("%-34s %s\n", what, unit);
    for (int r = 0; r < kRuns; ++r) {
        const double a = local[static_cast<std::size_t>(r)].*field;
        const double b = bus[static_cast<std::size_t>(r)].*field;
        std::printf("  run %d: in-process %12.0f   bus %12.0f   in-process / bus %7.1f\n", r + 1, a, b, b > 0 ? a / b : 0.0);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--serve"))
        return serve(args[2]);

    const vxtest::PrivateBus privateBus;
    const QString address = privateBus.address();
    if (address.isEmpty()) {
        std::fprintf(stderr, "bench_dbus: cannot start dbus-daemon: %s\n", privateBus.error().c_str());
        return 1;
    }
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve"), address});
    if (!server.waitForReadyRead(30000)) {
        std::fprintf(stderr, "bench_dbus: the server process did not start\n");
        return 1;
    }

    int result = 0;
    {
        Plant plant;
        com::ApartmentScope apartment;
        std::vector<Figures> local, bus;
        {
            auto object = com::makeCom<opc::TDA2>();
            com::ComPtr<IOPCServer> s;
            object.as(s);
            if (!measure(s.get(), &plant, local))
                result = 1;
        }
        com::DBusTransport transport(address);
        com::setProcessTransport(&transport);
        const std::string name = com::busNameForClass(CLSID_DA2);
        com::classesRoot().setValue(u"CLSID\\" + com::guidToWString(CLSID_DA2) + u"\\LocalServer32", com::kBusNameValue,
                                    std::u16string(name.begin(), name.end()));
        com::ComPtr<IOPCServer> remote;
        if (FAILED(CoCreateInstance(CLSID_DA2, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, remote.putVoid())) ||
            !measure(remote.get(), nullptr, bus)) {
            std::fprintf(stderr, "bench_dbus: the calls over the bus failed\n");
            result = 1;
        }
        // The server's unique name: where the bus name leads.
        const QString owner =
            QDBusConnection::connectToBus(address, QStringLiteral("bench-lookup")).interface()->serviceOwner(QString::fromStdString(name));
        QDBusConnection::disconnectFromBus(QStringLiteral("bench-lookup"));
        std::vector<double> pings;
        for (int r = 0; r < kRuns; ++r)
            pings.push_back(pingsPerSecond(address, owner));
        remote = nullptr;
        com::setProcessTransport(nullptr);
        if (result == 0) {
            std::printf("bench_dbus: the OPC server over a private message bus (server in a process of its own) beside in-process\n");
            row("synchronous read, 1 item", "(calls/s)", local, bus, &Figures::one);
            row("synchronous read, 1,000 items", "(calls/s)", local, bus, &Figures::thousand);
            row("data changes to one client", "(item changes/s, 10,000 items a pulse)", local, bus, &Figures::changes);
            std::printf("%-34s %s\n", "empty round trip through the bus", "(calls/s, the floor under every call)");
            for (int r = 0; r < kRuns; ++r)
                std::printf("  run %d: %12.0f\n", r + 1, pings[static_cast<std::size_t>(r)]);
        }
    }
    server.terminate();
    server.waitForFinished(5000);
    return result;
}

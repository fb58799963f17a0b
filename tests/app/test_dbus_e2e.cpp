// The server as its own process, reached over a private session bus: the bus starts the
// program through the service file its class registration wrote, in a temporary data folder,
// on a configuration of simulated variables; this process is an OPC client that connects by
// ProgID and does what clients do, and the program ends by itself after the last release,
// also when the last client is a process that was killed.
#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/dbus_names.h"
#include "platform/com/progid.h"
#include "platform/com/registry.h"
#include "tests/private_bus.h"
#include "tests/wait_until.h"
#include "tools/cfggen/cfggen.h"
#include "tools/opcclient/opc_session.h"

namespace {

// Simulated values: a fast ramp for data changes, user values to write and read back.
constexpr char kConfig[] = R"(header version=128
tree version=2
server Comment="End-to-end test"
  station Name=Sim Comment="Simulated values" ConnectionType=2 IpAddress=127.0.0.1 BusAddress=1 StationType=0
    folder Name=Ramps
      variable Name=Fast Zone=3 Address=0 VarType=2 Simulated=1 SimulationType=2 SimulationMin=0 SimulationMax=30000 SimulationGain=1 SimulationPeriod=50
    services
    folder Name=User
      variable Name=Mode Zone=3 Address=106 VarType=8 StringLength=16 Simulated=1 SimulationType=0 InitialValue=Automatic
      variable Name=Setpoint Zone=3 Address=180 VarType=4 Simulated=1 SimulationType=0 InitialValue=50
)";

constexpr CLSID kServerClass = {0x806F6780, 0x14F5, 0x4D43, {0xBF, 0x45, 0xBB, 0x50, 0x8E, 0xD2, 0xB7, 0x24}};
// Activation of a sanitizer build takes its time; nothing here waits this long when it works.
constexpr int kBoundMs = 60000;

std::string ReadFile(const QString& file)
{
    std::ifstream in(file.toStdString(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const QString& file, const std::string& text)
{
    std::ofstream(file.toStdString(), std::ios::binary) << text;
}

bool ProcessGone(qint64 pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

// The scratch folder (with a blank in its name, which the service file must quote), the
// program's settings, configuration and registry file, and a bus of our own whose service
// folder is the data folder the class registration writes into.
struct Ground {
    QTemporaryDir dir{QDir::tempPath() + "/vx e2e XXXXXX"};
    std::optional<vxtest::PrivateBus> bus;
    std::string address;
    QString settings, registry, dataHome;
    std::string skip;
    std::string failure;

    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", dataHome);
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("HOME", dir.filePath("home"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("DBUS_SESSION_BUS_ADDRESS", address.empty() ? QString("disabled:") : QString::fromStdString(address));
        return env;
    }

    void Prepare()
    {
        if (vxtest::PrivateBus::daemon().isEmpty()) {
            skip = "dbus-daemon is not installed (./setup.sh installs it)";
            return;
        }
        if (!dir.isValid()) {
            failure = "no scratch folder";
            return;
        }
        settings = dir.filePath("VornOPCServer.ini");
        registry = dir.filePath("classes.reg");
        dataHome = dir.filePath("data");
        QDir(dir.path()).mkpath("home");
        WriteFile(dir.filePath("e2e.cfg"), cfggen::fromDescription(kConfig));
        WriteFile(settings, "[Main]\nLanguage=1\nCfgFileName=e2e.cfg\n");

        // The registration a person makes once: it writes the registry and the service files.
        QProcess reg;
        reg.setProcessEnvironment(Environment());
        reg.start(VX_SERVER_PROGRAM, {"-regserver", "--settings", settings, "--registry", registry});
        if (!reg.waitForFinished(kBoundMs) || reg.exitStatus() != QProcess::NormalExit || reg.exitCode() != 0) {
            failure = "-regserver failed: " + reg.readAllStandardError().toStdString();
            return;
        }

        bus.emplace(dataHome + "/dbus-1/services", Environment(), kBoundMs);
        if (bus->address().isEmpty()) {
            failure = "dbus-daemon did not start: " + bus->error();
            return;
        }
        address = bus->address().toStdString();

        // This process is a client on that bus only.
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        setenv("VX_PRIVATE_BUS", "1", 1);
        LoadRegistry();
    }

    // What the program last wrote into the registry file (a client reads it, never writes).
    void LoadRegistry()
    {
        std::string error;
        if (!com::classesRoot().loadBytes(ReadFile(registry), &error))
            failure = "the registry file cannot be read: " + error;
    }

    // The bus's standard error, where the programs it starts log too.
    std::string BusLog() const { return bus ? bus->log() : std::string(); }
};

Ground* ground = nullptr;

class DbusEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ground = new Ground;
        ground->Prepare();
    }
    static void TearDownTestSuite()
    {
        delete ground;
        ground = nullptr;
    }
    void SetUp() override
    {
        if (!ground->skip.empty())
            GTEST_SKIP() << ground->skip;
        ASSERT_EQ(ground->failure, "");
        ASSERT_TRUE(SUCCEEDED(apartment_.result()));
        ASSERT_FALSE(ServerRunning()) << "every test starts without a server";
    }
    void TearDown() override
    {
        // A server a failed test left behind would serve the next test.
        if (const qint64 pid = ServerPid(); pid > 0) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            vxtest::waitUntil([pid] { return ProcessGone(pid); }, kBoundMs);
        }
        // The programs the bus started report a sanitizer's findings on its standard error.
        if (ground->skip.empty()) {
            for (const char* finding : {"Sanitizer", "runtime error:"})
                EXPECT_EQ(ground->BusLog().find(finding), std::string::npos) << ground->BusLog();
        }
    }

    static QDBusConnectionInterface* Bus() { return QDBusConnection::sessionBus().interface(); }
    static QString ServerBusName() { return QString::fromStdString(com::busNameForClass(kServerClass)); }
    static bool ServerRunning() { return Bus() && Bus()->isServiceRegistered(ServerBusName()).value(); }
    static qint64 ServerPid()
    {
        if (!ServerRunning())
            return 0;
        return Bus()->servicePid(ServerBusName()).value();
    }
    // The program ended: its name left the bus and its process is gone.
    static bool EndsByItself(qint64 pid)
    {
        return vxtest::waitUntil([pid] { return !ServerRunning() && ProcessGone(pid); }, kBoundMs);
    }

    template <class Pred>
    static bool Wait(Pred done)
    {
        return vxtest::waitUntil(done, kBoundMs);
    }

private:
    com::ApartmentScope apartment_;
};

std::vector<std::string> ItemIDs(const opcclient::TSession& s)
{
    std::vector<std::string> ids;
    for (const auto& item : s.Items())
        ids.push_back(item.ItemID);
    return ids;
}

TEST_F(DbusEndToEnd, AClientInAnotherProcessDoesEverythingAndTheProgramEndsAfterItsLastRelease)
{
    const std::string settingsBefore = ReadFile(ground->settings);
    opcclient::TSession s;
    std::vector<opcclient::TCallback> calls;
    s.Sink().OnCallback = [&](opcclient::TCallback&& c) { calls.push_back(std::move(c)); };
    auto count = [&](opcclient::TCallback::TKind kind, DWORD tid) {
        return std::count_if(calls.begin(), calls.end(),
                             [&](const auto& c) { return c.Kind == kind && c.TransactionID == tid; });
    };

    std::string why;
    ASSERT_EQ(s.Connect("VORN.DA2", "e2e", &why), S_OK) << why;
    const qint64 pid = ServerPid();
    ASSERT_GT(pid, 0) << "the bus started the program";
    EXPECT_NE(pid, QCoreApplication::applicationPid());

    opcclient::TStatus status;
    ASSERT_EQ(s.GetStatus(status), S_OK);
    EXPECT_EQ(status.State, OPC_STATUS_RUNNING);
    EXPECT_NE(status.StartTime.dwHighDateTime, 0u);

    std::vector<std::string> ids;
    ASSERT_EQ(s.Browse("Sim.*", VT_EMPTY, 0, ids), S_OK);
    for (const char* id : {"Sim.Ramps.Fast", "Sim.User.Mode", "Sim.User.Setpoint"})
        EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id;
    std::vector<opcclient::TProperty> props;
    ASSERT_EQ(s.Properties("Sim.User.Setpoint", props), S_OK);
    ASSERT_FALSE(props.empty());
    EXPECT_EQ(props[0].ID, 1u);
    EXPECT_EQ(props[0].Value.toI4(), VT_R4) << "the canonical type";

    DWORD rate = 0;
    ASSERT_EQ(s.AddGroup("e2e", 100, &rate), S_OK);
    ASSERT_EQ(s.AddItems({"Sim.Ramps.Fast", "Sim.User.Setpoint", "Sim.User.Mode"}), S_OK);
    ASSERT_EQ(ItemIDs(s), (std::vector<std::string>{"Sim.Ramps.Fast", "Sim.User.Setpoint", "Sim.User.Mode"}));
    EXPECT_EQ(s.Items()[0].CanonicalType, VT_I2);
    EXPECT_EQ(s.Items()[1].CanonicalType, VT_R4);
    EXPECT_EQ(s.Items()[2].CanonicalType, VT_BSTR);

    // Synchronous write and read: the values keep their exact types on the way.
    std::vector<com::Variant> values(3);
    values[0].setI2(7);
    values[1].setR4(12.5f);
    values[2].setString(std::string_view("Hand"));
    std::vector<HRESULT> errors;
    ASSERT_EQ(s.Write(values, errors), S_OK);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK}));
    std::vector<opcclient::TItemValue> read;
    ASSERT_EQ(s.Read(OPC_DS_CACHE, read), S_OK);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1].Client, 2u);
    EXPECT_EQ(read[1].Value.vt(), VT_R4);
    EXPECT_EQ(read[1].Value.get()->fltVal, 12.5f);
    EXPECT_EQ(read[2].Value.toUtf8(), "Hand");
    EXPECT_NE(read[2].TimeStamp.dwHighDateTime, 0u);

    // Asynchronous write and read, completed through the data callback.
    values[1].setR4(-3.25f);
    values[2].setString(std::string_view("Auto"));
    DWORD cancelID = 0;
    ASSERT_EQ(s.WriteAsync(7, values, &cancelID, errors), S_OK);
    ASSERT_TRUE(Wait([&] { return count(opcclient::TCallback::WriteComplete, 7) == 1; }));
    ASSERT_EQ(s.ReadAsync(8, &cancelID, errors), S_OK);
    ASSERT_TRUE(Wait([&] { return count(opcclient::TCallback::ReadComplete, 8) == 1; }));
    const auto done = std::find_if(calls.begin(), calls.end(), [](const auto& c) { return c.TransactionID == 8; });
    ASSERT_EQ(done->Items.size(), 3u);
    for (const auto& item : done->Items) {
        EXPECT_EQ(item.Error, S_OK);
        if (item.Client == 2) {
            EXPECT_EQ(item.Value.vt(), VT_R4);
            EXPECT_EQ(item.Value.get()->fltVal, -3.25f);
        } else if (item.Client == 3) {
            EXPECT_EQ(item.Value.toUtf8(), "Auto");
        }
    }

    // The ramp's changes arrive on their own.
    auto rampChanges = [&] {
        std::vector<SHORT> seen;
        for (const auto& c : calls)
            if (c.Kind == opcclient::TCallback::DataChange && c.TransactionID == 0)
                for (const auto& item : c.Items)
                    if (item.Client == 1 && item.Value.vt() == VT_I2)
                        seen.push_back(item.Value.get()->iVal);
        return seen;
    };
    ASSERT_TRUE(Wait([&] { return rampChanges().size() >= 3; }));
    const auto seen = rampChanges();
    EXPECT_NE(seen.front(), seen.back());

    // The last release ends the program in order.
    s.Close();
    EXPECT_TRUE(EndsByItself(pid));
    EXPECT_NE(ground->BusLog().find("The last client released its last object: the program ends"), std::string::npos)
        << ground->BusLog();
    const std::string settingsAfter = ReadFile(ground->settings);
    EXPECT_NE(settingsAfter, settingsBefore) << "the settings were written at the end";
    EXPECT_NE(settingsAfter.find("IsRegistered=1"), std::string::npos);

    // Its first start registered the server under its own ProgID as well.
    ground->LoadRegistry();
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"Vorn OPC Server", &clsid), S_OK);
    EXPECT_EQ(clsid, kServerClass);
}

TEST_F(DbusEndToEnd, TheShutdownRequestReachesTheClientsSink)
{
    opcclient::TSession s;
    std::string reason;
    s.Sink().OnShutdown = [&](const std::string& r) { reason = r; };
    std::string why;
    ASSERT_EQ(s.Connect(com::guidToString(kServerClass), "e2e", &why), S_OK) << why;
    const qint64 pid = ServerPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(s.AddGroup("e2e", 1000, nullptr), S_OK);
    ASSERT_EQ(s.AddItems({"Sim.User.Mode"}), S_OK);

    ::kill(static_cast<pid_t>(pid), SIGTERM);
    ASSERT_TRUE(Wait([&] { return !reason.empty(); }));
    EXPECT_NE(reason.find("IOPCShutdown request"), std::string::npos) << reason;
    EXPECT_TRUE(EndsByItself(pid)) << "although this client still holds its objects\n" << ground->BusLog();

    opcclient::TStatus status;
    EXPECT_TRUE(FAILED(s.GetStatus(status))) << "the server is gone";
    s.Close();
}

TEST_F(DbusEndToEnd, AKilledClientsObjectsAreFreed)
{
    QProcess client;
    QProcessEnvironment env = ground->Environment();
    client.setProcessEnvironment(env);
    client.start(VX_OPCCLIENT_PROGRAM, {"--registry", ground->registry, "--json", "--rate", "100", "VORN.DA2",
                                        "subscribe", "Sim.Ramps.Fast", "Sim.User.Mode"});
    ASSERT_TRUE(client.waitForStarted(kBoundMs));
    std::string out;
    ASSERT_TRUE(Wait([&] {
        out += client.readAllStandardOutput().toStdString();
        return out.find("\"event\":\"dataChange\"") != std::string::npos || client.state() == QProcess::NotRunning;
    }));
    ASSERT_NE(out.find("\"event\":\"dataChange\""), std::string::npos) << out
        << client.readAllStandardError().toStdString();
    const qint64 pid = ServerPid();
    ASSERT_GT(pid, 0);

    // A second client keeps being served while the first one dies in the middle.
    opcclient::TSession s;
    int changes = 0;
    s.Sink().OnCallback = [&](opcclient::TCallback&&) { ++changes; };
    std::string why;
    ASSERT_EQ(s.Connect("VORN.DA2", "e2e", &why), S_OK) << why;
    EXPECT_EQ(ServerPid(), pid) << "the running program serves it";
    ASSERT_EQ(s.AddGroup("e2e", 100, nullptr), S_OK);
    ASSERT_EQ(s.AddItems({"Sim.Ramps.Fast"}), S_OK);

    client.kill();
    ASSERT_TRUE(client.waitForFinished(kBoundMs));
    const int before = changes;
    ASSERT_TRUE(Wait([&] { return changes >= before + 3; })) << "the server goes on serving";

    // Only the server's count of live objects ends the program: the killed client's objects
    // were freed when its connection went.
    s.Close();
    EXPECT_TRUE(EndsByItself(pid));
}

}  // namespace

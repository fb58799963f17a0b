// The program without a display, as its own process on a private session bus: it starts
// headless (no window, its log on stderr with time and category), registers itself on a fresh
// settings file, serves the OPC client tool (browse, read, a subscription fed by the pulse),
// ends on SIGTERM with its settings written, and, started by the bus for a client, ends after
// the last release.
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "tests/private_bus.h"
#include "tests/wait_until.h"
#include "tools/cfggen/cfggen.h"

namespace {

constexpr char kConfig[] = R"(server Comment="Headless test"
  station Name=Sim ConnectionType=2 IpAddress=127.0.0.1 BusAddress=1 StationType=0
    folder Name=Ramps
      variable Name=Fast Zone=3 Address=0 VarType=2 Simulated=1 SimulationType=2 SimulationMin=0 SimulationMax=30000 SimulationGain=1 SimulationPeriod=50
    folder Name=User
      variable Name=Mode Zone=3 Address=106 VarType=8 StringLength=16 Simulated=1 SimulationType=0 InitialValue=Automatic
)";

constexpr char kBusName[] = "org.vorn.Com.C806F678014F54D43BF45BB508ED2B724";
// A sanitizer build starts slowly; nothing waits this long when it works.
constexpr int kBoundMs = 60000;

std::string ReadFile(const QString& file)
{
    std::ifstream in(file.toStdString(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const QString& file, const std::string& text) { std::ofstream(file.toStdString(), std::ios::binary) << text; }

class HeadlessEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (vxtest::PrivateBus::daemon().isEmpty())
            GTEST_SKIP() << "dbus-daemon is not installed (./setup.sh installs it)";
        ASSERT_TRUE(dir.isValid());
        settings = dir.filePath("VornOPCServer.ini");
        registry = dir.filePath("classes.reg");
        dataHome = dir.filePath("data");
        QDir(dir.path()).mkpath("home");
        WriteFile(dir.filePath("plant.cfg"), cfggen::fromDescription(kConfig));
        // A fresh settings file: no IsRegistered, no placement.
        WriteFile(settings, "[Main]\nLanguage=1\nCfgFileName=plant.cfg\n");

        // The bus starts the program for a client with its own environment: no display either.
        bus.emplace(dataHome + "/dbus-1/services", Environment(), kBoundMs);
        ASSERT_FALSE(bus->address().isEmpty()) << bus->error();
        address = bus->address().toStdString();
    }

    void TearDown() override
    {
        if (server.state() != QProcess::NotRunning) {
            server.kill();
            server.waitForFinished(kBoundMs);
        }
        if (const qint64 pid = BusServerPid(); pid > 0)
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        bus.reset();
    }

    // No display, no platform named: the program decides on headless by itself.
    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_MESSAGE_PATTERN"})
            env.remove(name);
        env.insert("XDG_DATA_HOME", dataHome);
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("HOME", dir.filePath("home"));
        env.insert("DBUS_SESSION_BUS_ADDRESS", address.empty() ? QString("disabled:") : QString::fromStdString(address));
        return env;
    }

    // Runs a program to its end; its exit code, output in out, log in err.
    int Run(const QString& program, const QStringList& args, std::string& out, std::string& err)
    {
        QProcess p;
        p.setProcessEnvironment(Environment());
        p.start(program, args);
        if (!p.waitForFinished(kBoundMs)) {
            p.kill();
            p.waitForFinished(kBoundMs);
            err = "did not end: " + p.readAllStandardError().toStdString();
            return -1;
        }
        out = p.readAllStandardOutput().toStdString();
        err = p.readAllStandardError().toStdString();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    int Client(const QStringList& args, std::string& out)
    {
        std::string err;
        const int rc = Run(VX_OPCCLIENT_PROGRAM, QStringList{"--registry", registry, "--json"} + args, out, err);
        out += err;
        return rc;
    }

    // The bus's standard error, where the program it starts logs too.
    std::string BusLog() const { return bus ? bus->log() : std::string(); }

    qint64 BusServerPid()
    {
        if (address.empty())
            return 0;
        QProcess q;
        q.setProcessEnvironment(Environment());
        q.start("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus.GetConnectionUnixProcessID", QString("string:") + kBusName});
        if (!q.waitForFinished(kBoundMs) || q.exitCode() != 0)
            return 0;
        const auto m = QRegularExpression("uint32 (\\d+)").match(QString::fromUtf8(q.readAllStandardOutput()));
        return m.hasMatch() ? m.captured(1).toLongLong() : 0;
    }

    QTemporaryDir dir{QDir::tempPath() + "/vx-headless-XXXXXX"};
    QString settings, registry, dataHome;
    std::optional<vxtest::PrivateBus> bus;
    std::string address;
    QProcess server;
};

TEST_F(HeadlessEndToEnd, ServesClientsWithoutAWindowAndEndsOnSigterm)
{
    std::string serverLog;
    server.setProcessEnvironment(Environment());
    QObject::connect(&server, &QProcess::readyReadStandardError,
                     [&] { serverLog += server.readAllStandardError().toStdString(); });
    server.start(VX_SERVER_PROGRAM, {"--settings", settings, "--registry", registry});
    ASSERT_TRUE(server.waitForStarted(kBoundMs));
    ASSERT_TRUE(vxtest::waitUntil([&] { return serverLog.find("VornOPCServer running") != std::string::npos; },
                                  kBoundMs))
        << serverLog;
    EXPECT_NE(serverLog.find("VornOPCServer running headless"), std::string::npos) << serverLog;
    // Every line with its time and category, and none of Qt's own warnings.
    const QRegularExpression line("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} vx\\.[a-z.]+: ");
    for (const QString& l : QString::fromStdString(serverLog).split('\n', Qt::SkipEmptyParts))
        EXPECT_TRUE(line.match(l).hasMatch()) << l.toStdString();
    // The first start registered the server and remembered the configuration.
    EXPECT_NE(serverLog.find("Server was succefully registered."), std::string::npos) << serverLog;
    EXPECT_NE(ReadFile(settings).find("CfgFileName=" + dir.filePath("plant.cfg").toStdString()), std::string::npos);

    std::string out;
    ASSERT_EQ(Client({"VORN.DA2", "browse", "Sim.*"}, out), 0) << out;
    EXPECT_NE(out.find("Sim.Ramps.Fast"), std::string::npos) << out;
    EXPECT_NE(out.find("Sim.User.Mode"), std::string::npos) << out;
    ASSERT_EQ(Client({"VORN.DA2", "read", "Sim.User.Mode"}, out), 0) << out;
    EXPECT_NE(out.find("Automatic"), std::string::npos) << out;
    // The first item started communication; the pulse sends the ramp's changes.
    ASSERT_EQ(Client({"--rate", "100", "--count", "4", "VORN.DA2", "subscribe", "Sim.Ramps.Fast"}, out), 0) << out;
    std::size_t changes = 0;
    for (std::size_t at = out.find("\"dataChange\""); at != std::string::npos; at = out.find("\"dataChange\"", at + 1))
        ++changes;
    EXPECT_GE(changes, 4u) << out;
    EXPECT_EQ(server.state(), QProcess::Running) << "not started by the bus: it does not end with its clients";

    ::kill(static_cast<pid_t>(server.processId()), SIGTERM);
    ASSERT_TRUE(server.waitForFinished(kBoundMs)) << serverLog;
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 0) << serverLog;
    const std::string written = ReadFile(settings);
    EXPECT_NE(written.find("IsRegistered=1"), std::string::npos) << written;
    EXPECT_NE(written.find("ShowMessages=0"), std::string::npos) << "the settings were written at the end:\n" << written;
    EXPECT_EQ(written.find("NormPos"), std::string::npos) << "no window, no placement";
}

TEST_F(HeadlessEndToEnd, StartedByTheBusItEndsAfterTheLastRelease)
{
    std::string out, err;
    ASSERT_EQ(Run(VX_SERVER_PROGRAM, {"-regserver", "--settings", settings, "--registry", registry}, out, err), 0) << err;
    ASSERT_EQ(Client({"--rate", "100", "--count", "2", "VORN.DA2", "subscribe", "Sim.Ramps.Fast"}, out), 0) << out;
    // The bus hands on what the programs it starts log.
    EXPECT_TRUE(vxtest::waitUntil(
        [&] {
            return BusLog().find("The last client released its last object") != std::string::npos && BusServerPid() == 0;
        },
        kBoundMs))
        << BusLog();
    EXPECT_NE(BusLog().find("VornOPCServer running headless; ends after the last client"), std::string::npos) << BusLog();
    EXPECT_NE(ReadFile(settings).find("ShowMessages=0"), std::string::npos) << "the settings were written at the end";
}

}  // namespace

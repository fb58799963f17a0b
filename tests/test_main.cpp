// Test entry: a Qt application object exists for every test, so that timers, sockets and
// serial ports can run the event loop; tests pin the collation locale themselves.
#include <QApplication>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

int main(int argc, char** argv)
{
    // Qt wants a private runtime directory; a CI shell often has none.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const std::string dir = "/tmp/vx-test-runtime-" + std::to_string(::getuid());
        ::mkdir(dir.c_str(), 0700);
        ::chmod(dir.c_str(), 0700);
        qputenv("XDG_RUNTIME_DIR", dir.c_str());
    }
    // Tests never reach the user's own session bus: only a bus the test run started itself
    // (dbus-run-session, or a fixture's daemon) says so with VX_PRIVATE_BUS.
    if (qgetenv("VX_PRIVATE_BUS") != "1")
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vx-tests-have-no-session-bus");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

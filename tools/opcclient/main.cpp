// opcclient: an OPC Data Access client for a person at a terminal or a script. It finds the
// server through the user's registry file and reaches it with COM calls over the session bus.
#include <QCoreApplication>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "app/shutdown.h"
#include "commands.h"
#include "platform/com/registry.h"
#include "platform/com/userfiles.h"

namespace {

// The client only reads the registry: it never writes the server's file back.
void LoadRegistry(const std::string& chosen)
{
    const std::filesystem::path file = chosen.empty() ? com::defaultClassesRootFile() : std::filesystem::path(chosen);
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::cerr << "opcclient: no registry file " << file.string()
                  << ": a ProgID is known once the server has run (or name the file with --registry)\n";
        return;
    }
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::string error;
    if (!com::classesRoot().loadBytes(bytes, &error))
        std::cerr << "opcclient: the registry file " << file.string() << " cannot be read: " << error << '\n';
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv, argv + argc);
    QCoreApplication app(argc, argv);

    std::string error;
    const auto options = opcclient::ParseArguments(args, &error);
    if (!options) {
        std::cerr << "opcclient: " << error << "\n\n" << opcclient::UsageText();
        return opcclient::kExitUsage;
    }
    if (options->Help) {
        std::cout << opcclient::UsageText();
        return opcclient::kExitOk;
    }
    LoadRegistry(options->Registry);

    // Ctrl+C ends a wait; the session is then closed in order, releasing what the server holds.
    bool interrupted = false;
    vos::InstallOnQuitSignals(app, [&] { interrupted = true; });
    const opcclient::TWaiter wait = [&](const std::function<bool()>& done, int timeoutMs) {
        QTimer deadline;
        deadline.setSingleShot(true);
        bool expired = false;
        QObject::connect(&deadline, &QTimer::timeout, [&] { expired = true; });
        if (timeoutMs >= 0)
            deadline.start(timeoutMs);
        while (!done()) {
            if (interrupted || expired)
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return true;
    };

    const com::ApartmentScope apartment;
    opcclient::TSession session;
    return opcclient::RunCommand(*options, session, std::cout, std::cerr, wait);
}

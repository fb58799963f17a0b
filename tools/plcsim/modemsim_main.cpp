// modemsim: a dial-up modem on a pseudo-terminal with simulated PLCs behind it. Prints the
// device to open, then answers until interrupted.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/plcsim/modem_sim.h"
#include "tools/plcsim/simulator.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    plcsim::Simulator sim;
    // Stations at the bus addresses given, 2 when none.
    if (argc < 2)
        sim.addStation(2).setIdentity("HLX-7R  V2.31");
    for (int i = 1; i < argc; ++i)
        sim.addStation(static_cast<std::uint8_t>(std::atoi(argv[i]) & 0xFF)).setIdentity("HLX-7R  V2.31");
    plcsim::ModemPty modem(sim);
    try {
        modem.open();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "modemsim: %s\n", e.what());
        return 1;
    }
    std::printf("%s\n", modem.slavePath().c_str());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#pragma once
// Commands the plcsim program takes on its standard input, one a line, to script faults
// and look into the memory while a server talks to it.
#include <functional>
#include <string>
#include <vector>

#include "tools/plcsim/simulator.h"
#include "tools/plcsim/transports.h"

namespace plcsim {

// Runs one command and gives the reply line; a command that cannot run gives a line
// starting "error:" and changes nothing. setLatency may be empty.
std::string runCommand(Simulator& sim, const std::string& line, const std::function<void(int ms)>& setLatency);

// One PLC address and what serves it; transports it lacks are null.
struct Target {
    std::string address;
    Simulator* sim = nullptr;
    UdpTransport* udp = nullptr;
    TcpTransport* tcp = nullptr;
    std::function<void(int ms)> setLatency;
};

// As above, plus the "udp ..." and "tcp ..." commands of the transports. "@ADDRESS command"
// runs the command for that address; without the prefix it goes to the first target.
std::string runCommand(const std::vector<Target>& targets, const std::string& line);

std::string commandHelp();

}  // namespace plcsim

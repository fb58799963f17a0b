#pragma once
// Commands the plcsim program takes on its standard input, one a line, to script faults
// and look into the memory while a server talks to it.
#include <functional>
#include <string>

#include "tools/plcsim/simulator.h"

namespace plcsim {

// Runs one command and gives the reply line; a command that cannot run gives a line
// starting "error:" and changes nothing. setLatency may be empty.
std::string runCommand(Simulator& sim, const std::string& line, const std::function<void(int ms)>& setLatency);

std::string commandHelp();

}  // namespace plcsim

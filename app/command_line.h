#pragma once
// The program's command line: the options of its own and the switches of a COM server, which
// keep their Windows spellings ("-RegServer", "/UNREGSERVER", any letter case). Parsed from
// the strings alone, so that every case can be tried without starting the program.
#include <string>
#include <vector>

#include "opc/opc_register.h"

namespace vos {

struct TCommandLine {
    bool Headless = false;
    int QuitAfterMs = -1;  // -1: run until ended
    opc::TComServerSwitches Switches;
};

struct TCommandLineResult {
    enum Kind { Run, Help, Version, Error } kind = Run;
    TCommandLine line;
    // The help or version text, or what was wrong.
    std::string text;
};

// The exit status of a start with a command line that is wrong.
inline constexpr int kBadCommandLineExit = 2;

// args[0] is the program. The paths of --settings and --registry are only checked for being
// there; settings_path.h and com_server.h take them from the same arguments.
TCommandLineResult ParseCommandLine(const std::vector<std::string>& args);

}  // namespace vos

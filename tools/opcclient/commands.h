#pragma once
// The command line of opcclient and its commands, each run on a session with its output
// written for people or, with --json, as one JSON object per line for scripts.
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "opc_session.h"

namespace opcclient {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the server, a call or an item failed
inline constexpr int kExitUsage = 2;

struct TOptions {
    std::string Server;
    std::string Command;
    std::vector<std::string> Arguments;
    bool Json = false;
    bool Help = false;
    std::string Registry;  // empty: the user's registry file
    DWORD Rate = 1000;
    bool Device = false;
    int TimeoutMs = 10000;
    long Count = -1;  // subscribe: end after this many data changes; -1 never
    VARTYPE BrowseType = VT_EMPTY;
    DWORD BrowseRights = 0;
    std::string ClientName = "opcclient";
};

// args[0] is the program. nullopt with the reason in *error for a usage fault.
std::optional<TOptions> ParseArguments(const std::vector<std::string>& args, std::string* error);
std::string UsageText();

// Runs whatever delivers callbacks until done() holds, the user interrupts or timeoutMs
// passes (negative: no bound); false unless done() holds.
using TWaiter = std::function<bool(const std::function<bool()>& done, int timeoutMs)>;

// Connects to options.Server and runs the command; the session is closed at the end.
// Gives an exit code.
int RunCommand(const TOptions& options, TSession& session, std::ostream& out, std::ostream& err, const TWaiter& wait);

}  // namespace opcclient

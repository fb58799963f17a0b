#pragma once
// Where the user's COM classes are recorded, the same for the server and every client
// process: the registry file that stands in for HKEY_CLASSES_ROOT, and the folder of the
// session bus's service files, through which the bus starts a server for a client.
#include <filesystem>
#include <string_view>

namespace com {

inline constexpr char kClassesRootFolder[] = "VornOPCServer";
inline constexpr char kClassesRootFileName[] = "VornOPCServer.reg";

// The rule without the environment: xdgDataHome counts only when absolute; without it
// home/.local/share; empty when there is neither.
std::filesystem::path userDataHome(std::string_view xdgDataHome, std::string_view home);
// The same from XDG_DATA_HOME and HOME (the password database when HOME is unset).
std::filesystem::path userDataHome();

// "<data home>/VornOPCServer/VornOPCServer.reg"; empty without a data home.
std::filesystem::path defaultClassesRootFile();
// "<data home>/dbus-1/services"; empty without a data home.
std::filesystem::path busServicesDir();

}  // namespace com

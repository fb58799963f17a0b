#pragma once
// Where the settings file lives: beside the program when its directory is writable (a
// build or portable install), else in the user's configuration directory; the command
// line can name another file.
#include <string>
#include <vector>

namespace vos {

inline constexpr char kSettingsFileName[] = "VornOPCServer.ini";
inline constexpr char kSettingsFolder[] = "VornOPCServer";

// The rule without the environment: xdgConfigHome counts only when absolute; without it
// home/.config; without a home the program's directory all the same.
std::string DefaultSettingsPath(const std::string& programDir, bool programDirWritable,
                                const std::string& xdgConfigHome, const std::string& home);

// The settings file for the program's arguments (args[0] is the program): the path of
// "--settings PATH" or "--settings=PATH" (the last one given), made absolute; else the
// default for this program and user. Throws std::invalid_argument for "--settings"
// without a path.
std::string SettingsFilePath(const std::vector<std::string>& args);

}  // namespace vos

#include "settings_path.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/sysdirs.h"

namespace vos {
namespace {

namespace fs = std::filesystem;

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

std::string DefaultSettingsPath(const std::string& programDir, bool programDirWritable,
                                const std::string& xdgConfigHome, const std::string& home)
{
    fs::path dir;
    if (programDirWritable)
        dir = programDir;
    else if (!xdgConfigHome.empty() && fs::path(xdgConfigHome).is_absolute())
        dir = fs::path(xdgConfigHome) / kSettingsFolder;
    else if (!home.empty())
        dir = fs::path(home) / ".config" / kSettingsFolder;
    else
        dir = programDir;
    return (dir / kSettingsFileName).string();
}

std::string SettingsFilePath(const std::vector<std::string>& args)
{
    static constexpr std::string_view kOption = "--settings";
    std::string chosen;
    bool given = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == kOption) {
            if (i + 1 >= args.size() || args[i + 1].empty())
                throw std::invalid_argument("--settings needs the path of a settings file");
            chosen = args[++i];
            given = true;
        } else if (arg.starts_with(kOption) && arg.size() > kOption.size() && arg[kOption.size()] == '=') {
            chosen = arg.substr(kOption.size() + 1);
            if (chosen.empty())
                throw std::invalid_argument("--settings needs the path of a settings file");
            given = true;
        }
    }
    if (given) {
        std::error_code ec;
        const auto absolute = fs::absolute(chosen, ec);
        return ec ? chosen : absolute.lexically_normal().string();
    }
    const auto programDir = plat::programDir();
    return DefaultSettingsPath(programDir, plat::isDirWritable(programDir), Env("XDG_CONFIG_HOME"), Env("HOME"));
}

}  // namespace vos

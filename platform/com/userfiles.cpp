#include "userfiles.h"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace com {
namespace {

namespace fs = std::filesystem;

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string HomeFromPasswordDatabase()
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return {};
    return found->pw_dir;
}

}  // namespace

fs::path userDataHome(std::string_view xdgDataHome, std::string_view home)
{
    if (!xdgDataHome.empty() && fs::path(xdgDataHome).is_absolute())
        return fs::path(xdgDataHome);
    if (!home.empty())
        return fs::path(home) / ".local" / "share";
    return {};
}

fs::path userDataHome()
{
    std::string home = Env("HOME");
    if (home.empty())
        home = HomeFromPasswordDatabase();
    return userDataHome(Env("XDG_DATA_HOME"), home);
}

fs::path defaultClassesRootFile()
{
    const fs::path data = userDataHome();
    return data.empty() ? fs::path() : data / kClassesRootFolder / kClassesRootFileName;
}

fs::path busServicesDir()
{
    const fs::path data = userDataHome();
    return data.empty() ? fs::path() : data / "dbus-1" / "services";
}

}  // namespace com

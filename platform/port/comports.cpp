#include "platform/port/comports.h"

#include <map>

namespace plat {

namespace {
std::map<int, std::string>& devices()
{
    static std::map<int, std::string> map;
    return map;
}
}  // namespace

std::string comPortDevice(int n)
{
    if (n < 1)
        return {};
    if (auto it = devices().find(n); it != devices().end())
        return it->second;
    return "/dev/ttyS" + std::to_string(n - 1);
}

bool setComPortDevice(int n, std::string path)
{
    if (n < 1 || path.empty())
        return false;
    if (path.front() != '/')
        path = "/dev/" + path;
    devices()[n] = std::move(path);
    return true;
}

void clearComPortDevices()
{
    devices().clear();
}

}  // namespace plat

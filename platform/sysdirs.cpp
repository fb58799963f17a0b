#include "sysdirs.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace plat {

std::string programDir()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path(ec).string();
    return exe.parent_path().string();
}

std::int64_t freeDiskBytes(const std::string& path)
{
    std::error_code ec;
    const auto info = std::filesystem::space(path, ec);
    if (ec)
        return -1;
    return static_cast<std::int64_t>(info.available);
}

bool isDirWritable(const std::string& dir) { return ::access(dir.c_str(), W_OK) == 0; }

}  // namespace plat

#pragma once
// File-system seams: where the program lives and how much room a drive has left.
#include <cstdint>
#include <string>

namespace plat {

// Directory of the running program, without a trailing separator.
std::string programDir();
// Free bytes for an unprivileged user on the file system that holds path; -1 when unknown.
std::int64_t freeDiskBytes(const std::string& path);
// Whether the current user can create files in dir.
bool isDirWritable(const std::string& dir);

}  // namespace plat

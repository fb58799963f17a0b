#pragma once
// Replacing a file in one step, for every file the program writes (settings, the registry
// stand-in, configurations): the new content goes to a temporary file in the same folder,
// is flushed to the disk, and is then renamed over the old file. A failure at any point
// leaves the old file as it was.
//
// The file keeps its permission bits (and its owner, where we may set it); a symbolic link
// keeps pointing at the file, which is replaced where the link leads. A hard link to the
// old file keeps the old content, as with any replace-by-rename.
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace plat {

// "Cannot write <file>: <reason>", with the system's error code where there is one.
class SaveFileError : public std::runtime_error {
public:
    SaveFileError(const std::string& what, std::error_code code) : std::runtime_error(what), code_(code) {}
    std::error_code code() const { return code_; }

private:
    std::error_code code_;
};

struct SaveFileOptions {
    // Create missing folders on the way to the file.
    bool createFolders = false;
    // When the folder refuses new files (no write right on it, an immutable folder) but the
    // file itself may be written, write over it in place and cut it to the new length. The
    // old content is then lost if the write fails midway; without this the save fails.
    bool inPlaceWhenFolderRefuses = false;
    // Permission bits of a file that did not exist.
    unsigned newFileMode = 0644;
};

// Replaces file with data. Throws SaveFileError naming file (as given) and the reason.
void SaveFile(const std::filesystem::path& file, std::string_view data, const SaveFileOptions& options = {});

// The same with the content written into a stream: write fills it. An exception from write,
// or a stream write that fails, abandons the new content and leaves the old file; the
// exception goes on to the caller (a stream failure becomes SaveFileError).
void SaveFile(const std::filesystem::path& file, const std::function<void(std::ostream&)>& write,
              const SaveFileOptions& options = {});

}  // namespace plat

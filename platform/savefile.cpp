#include "savefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <utility>

namespace plat {
namespace {

namespace fs = std::filesystem;

// As many links as the kernel follows before it gives ELOOP.
constexpr int kMaxLinkHops = 40;

[[noreturn]] void fail(const fs::path& file, const std::string& why, std::error_code code = {})
{
    throw SaveFileError("Cannot write " + file.string() + ": " + why, code);
}

[[noreturn]] void failErrno(const fs::path& file, int err, const std::string& what = {})
{
    const std::error_code code(err, std::system_category());
    fail(file, what.empty() ? code.message() : what + ": " + code.message(), code);
}

// The file a chain of symbolic links ends at (which need not exist yet); the path itself
// when it is no link.
fs::path resolveLinks(const fs::path& file)
{
    fs::path p = file;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return p;
        if (hops == kMaxLinkHops)
            failErrno(file, ELOOP);
        std::error_code ec;
        const fs::path to = fs::read_symlink(p, ec);
        if (ec)
            fail(file, "cannot follow the link " + p.string() + ": " + ec.message(), ec);
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
}

void writeAll(int fd, std::string_view data, const fs::path& file)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failErrno(file, errno);
        done += static_cast<std::size_t>(n);
    }
}

// A stream buffer writing to a file descriptor; the first failure is kept for the report.
class FdBuffer : public std::streambuf {
public:
    explicit FdBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    int error() const { return error_; }

protected:
    int_type overflow(int_type ch) override
    {
        if (!flushBuffer())
            return traits_type::eof();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }
    int sync() override { return flushBuffer() ? 0 : -1; }

private:
    bool flushBuffer()
    {
        const char* p = pbase();
        while (error_ == 0 && p < pptr()) {
            const ssize_t n = ::write(fd_, p, static_cast<std::size_t>(pptr() - p));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                error_ = errno;
            else
                p += n;
        }
        setp(buffer_, buffer_ + sizeof buffer_);
        return error_ == 0;
    }

    int fd_;
    int error_ = 0;
    char buffer_[65536];
};

// Runs write into a stream over fd; a failed stream becomes SaveFileError.
void streamTo(int fd, const std::function<void(std::ostream&)>& write, const fs::path& file)
{
    FdBuffer buffer(fd);
    std::ostream out(&buffer);
    write(out);
    out.flush();
    if (buffer.error() != 0)
        failErrno(file, buffer.error());
    if (!out)
        fail(file, "the content could not be written out");
}

// A file opened by us that is closed (and, for a temporary file, removed) when not kept.
struct OpenFile {
    int fd = -1;
    std::string removeOnFailure;
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
        if (!removeOnFailure.empty())
            ::unlink(removeOnFailure.c_str());
    }
    void close(const fs::path& file)
    {
        const int f = std::exchange(fd, -1);
        if (::close(f) != 0)
            failErrno(file, errno);
    }
};

void syncFolder(const fs::path& dir)
{
    // Makes the rename itself durable; a file system that cannot do this still renamed.
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

// Overwrites the file, then cuts it: the file is never emptied first, and its old blocks
// are reused, so a full disk is unlikely to stop the write midway.
void writeInPlace(const fs::path& file, const fs::path& target, unsigned mode, const std::function<void(int)>& fill)
{
    OpenFile f;
    f.fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
    if (f.fd < 0)
        failErrno(file, errno);
    fill(f.fd);
    const off_t length = ::lseek(f.fd, 0, SEEK_CUR);
    if (length < 0 || ::ftruncate(f.fd, length) != 0 || ::fsync(f.fd) != 0)
        failErrno(file, errno);
    f.close(file);
}

// fillTemp writes the whole content into a fresh file; fillInPlace into the old file.
void replace(const fs::path& file, const SaveFileOptions& options, const std::function<void(int)>& fillTemp,
             const std::function<void(int)>& fillInPlace)
{
    if (file.empty())
        fail(file, "no file name");
    const fs::path target = resolveLinks(file);

    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (existed) {
        if (S_ISDIR(old.st_mode))
            fail(file, "it is a directory", std::make_error_code(std::errc::is_a_directory));
        if (!S_ISREG(old.st_mode))
            fail(file, "it is not a regular file", std::make_error_code(std::errc::invalid_argument));
        // Renaming would replace a file we may not write.
        if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
            failErrno(file, errno);
    }

    const fs::path dir = target.parent_path();
    if (options.createFolders && !dir.empty()) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec)
            fail(file, "cannot create the folder " + dir.string() + ": " + ec.message(), ec);
    }

    std::string temp = target.string() + ".tmp.XXXXXX";
    OpenFile f;
    f.fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (f.fd < 0) {
        const int err = errno;
        if (options.inPlaceWhenFolderRefuses && (err == EACCES || err == EPERM)) {
            writeInPlace(file, target, existed ? old.st_mode & 07777 : options.newFileMode, fillInPlace);
            return;
        }
        failErrno(file, err, "cannot create a file in " + (dir.empty() ? std::string(".") : dir.string()));
    }
    f.removeOnFailure = temp;

    fillTemp(f.fd);
    // The owner first: changing it clears the set-user-ID bits that the mode then restores.
    if (existed) {
        struct stat now {};
        if (::fstat(f.fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid))
            (void)::fchown(f.fd, old.st_uid, old.st_gid);  // only a privileged user may give a file away
    }
    if (::fchmod(f.fd, existed ? old.st_mode & 07777 : options.newFileMode) != 0 || ::fsync(f.fd) != 0)
        failErrno(file, errno);
    f.close(file);
    if (::rename(temp.c_str(), target.c_str()) != 0)
        failErrno(file, errno);
    f.removeOnFailure.clear();
    syncFolder(dir);
}

}  // namespace

void SaveFile(const std::filesystem::path& file, std::string_view data, const SaveFileOptions& options)
{
    const auto fill = [&](int fd) { writeAll(fd, data, file); };
    replace(file, options, fill, fill);
}

void SaveFile(const std::filesystem::path& file, const std::function<void(std::ostream&)>& write,
              const SaveFileOptions& options)
{
    replace(
        file, options, [&](int fd) { streamTo(fd, write, file); },
        [&](int fd) {
            // In place, a writer that fails midway must not have touched the file: the whole
            // content is made first.
            std::ostringstream content;
            write(content);
            if (!content)
                fail(file, "the content could not be made");
            writeAll(fd, content.view(), file);
        });
}

}  // namespace plat

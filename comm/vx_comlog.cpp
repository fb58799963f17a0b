#include "vx_comlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QDebug>
#include <QtCore/QLoggingCategory>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/com/locale.h"
#include "platform/sysdirs.h"
#include "vx_channel.h"
#include "vx_def.h"

namespace vx {

namespace {

Q_LOGGING_CATEGORY(lcComLog, "vx.comm.log")

std::mutex envLock;
TComLogEnv logEnv;
bool folderChosen = false;
std::string folder;

std::string envValue(const char* name)
{
    if (logEnv.Env)
        return logEnv.Env(name);
    const char* v = std::getenv(name);
    return v ? v : "";
}

// mkdir -p with mode 0700 for what is created.
bool makeDirs(const std::string& dir)
{
    if (dir.empty())
        return false;
    std::string part;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        part = dir.substr(0, pos);
        if (part.empty())
            continue;
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string chooseFolder()
{
    const std::string program = logEnv.ProgramDir ? logEnv.ProgramDir() : plat::programDir();
    const bool writable = logEnv.DirWritable ? logEnv.DirWritable(program) : plat::isDirWritable(program);
    if (!program.empty() && writable)
        return program;
    std::string state = envValue("XDG_STATE_HOME");
    if (state.empty() || state.front() != '/') {
        const std::string home = envValue("HOME");
        if (home.empty())
            return {};
        state = home + "/.local/state";
    }
    std::string dir = state + "/VornOPCServer";
    makeDirs(dir);
    return dir;
}

}  // namespace

void SetComLogEnv(TComLogEnv env)
{
    std::lock_guard g(envLock);
    logEnv = std::move(env);
    folderChosen = false;
    folder.clear();
}

std::string ComLogFolder()
{
    std::lock_guard g(envLock);
    if (!folderChosen) {
        folderChosen = true;
        folder = chooseFolder();
        qCInfo(lcComLog).noquote() << "Communication log folder:" << QString::fromStdString(folder.empty() ? "(none)" : folder);
    }
    return folder;
}

std::size_t ComLogLineLimit()
{
    return std::clamp<std::size_t>(static_cast<std::size_t>(std::max(NumOfComLines, 0)), 1, kMaxComLogLines);
}

std::string FormatShortDate(double dt)
{
    const plat::DateTimeFields f = plat::decodeDateTime(dt);
    const std::string pattern = com::processLocale().dateFormat;
    std::string out;
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        std::size_t n = 1;
        while (i + n < pattern.size() && pattern[i + n] == c)
            ++n;
        char buf[16];
        if (c == 'd' || c == 'M') {
            const int v = c == 'd' ? f.day : f.month;
            std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", v);
            out += buf;
        } else if (c == 'y') {
            if (n <= 2)
                std::snprintf(buf, sizeof buf, "%02d", f.year % 100);
            else
                std::snprintf(buf, sizeof buf, "%04d", f.year);
            out += buf;
        } else {
            out.append(n, c);
        }
        i += n;
    }
    return out;
}

std::string ComLogFileName(const std::string& channel, double dt)
{
    std::string name = channel + "_" + FormatShortDate(dt) + ".log";
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '-';
    // A leading dot would hide the file, and ".." would leave the folder with a separator.
    if (!name.empty() && name.front() == '.')
        name.front() = '_';
    return name;
}

std::string ComLogTime(double dt, bool withMs)
{
    const plat::DateTimeFields f = plat::decodeDateTime(dt);
    char text[32];
    if (withMs)
        std::snprintf(text, sizeof text, "%02d:%02d:%02d:%d", f.hour, f.minute, f.second, f.millisecond);
    else
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", f.hour, f.minute, f.second);
    return text;
}

bool AppendComLogRecord(const std::string& channel, double at, const std::string& line1,
                        const std::string& line2, std::string& why)
{
    const std::string dir = ComLogFolder();
    if (dir.empty()) {
        why = "no folder for the log files";
        return false;
    }
    std::int64_t free = -1;
    {
        std::lock_guard g(envLock);
        free = logEnv.FreeBytes ? logEnv.FreeBytes(dir) : plat::freeDiskBytes(dir);
    }
    if (free >= 0 && free < kComLogMinFreeBytes)
        return true;
    const std::string path = dir + "/" + ComLogFileName(channel, at);
    const std::string record = line1 + "\r\n" + line2 + "\r\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    const ssize_t written = ::write(fd, record.data(), record.size());
    const int writeErr = errno;
    const bool closed = ::close(fd) == 0;
    if (written != static_cast<ssize_t>(record.size())) {
        why = path + ": " + (written < 0 ? std::strerror(writeErr) : "short write");
        return false;
    }
    if (!closed) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool TCOM::AppendLogFile(const std::string& line1, const std::string& line2)
{
    return AppendLogRecord(line1, line2, plat::clock().now());
}

bool TCOM::AppendLogRecord(const std::string& line1, const std::string& line2, double at)
{
    std::string why;
    const bool ok = AppendComLogRecord(Name, at, line1, line2, why);
    if (!ok && !logFileFailing_) {
        logFileFailing_ = true;
        const std::string text = Name + ": the log file cannot be written: " + why;
        LogNote(text);
        qCWarning(lcComLog).noquote() << QString::fromStdString(text);
    } else if (ok && logFileFailing_) {
        logFileFailing_ = false;
        const std::string text = Name + ": the log file is written again";
        LogNote(text);
        qCInfo(lcComLog).noquote() << QString::fromStdString(text);
    }
    return ok;
}

}  // namespace vx

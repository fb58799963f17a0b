#pragma once
// The communication log's file side: one file per channel and day, appended record by
// record, in the log folder (beside the program, else the XDG state folder).
#include <cstdint>
#include <functional>
#include <string>

namespace vx {

// Lines a channel's list keeps at most, whatever NumOfComLines says.
inline constexpr std::size_t kMaxComLogLines = 100000;
// A record is written only while the log folder's file system has this much room.
inline constexpr std::int64_t kComLogMinFreeBytes = 500000000;

// What the file side asks of the system; an empty member uses the system's own.
struct TComLogEnv {
    std::function<std::string()> ProgramDir;
    std::function<bool(const std::string& dir)> DirWritable;
    std::function<std::int64_t(const std::string& path)> FreeBytes;  // -1 when unknown
    std::function<std::string(const char* name)> Env;
};
// Also forgets the folder chosen so far, so that the next record chooses again.
void SetComLogEnv(TComLogEnv env);

// The folder of the log files, chosen at the first record of a run; empty when none.
std::string ComLogFolder();
// The lines a list keeps for the setting NumOfComLines.
std::size_t ComLogLineLimit();
// The date of dt in the locale's short date pattern.
std::string FormatShortDate(double dt);
// channel + "_" + date + ".log", made safe as one file name inside the folder.
std::string ComLogFileName(const std::string& channel, double dt);
// The two lines of a record, as the file shows them.
std::string ComLogTime(double dt, bool withMs);

// Appends line1 CR LF line2 CR LF to the channel's file of the day of `at`, in one write.
// True when written or skipped for want of room; false with why set on a failure.
bool AppendComLogRecord(const std::string& channel, double at, const std::string& line1,
                        const std::string& line2, std::string& why);

}  // namespace vx

// bench_comlog: what one record of the communication log file costs.
//
// Appends records of one telegram each (the two lines a channel writes for it) to a channel's
// file of the day in a temporary folder, through the same call the channels use, and times
// every record on its own: the folder check, the free-space check, the open, the write and
// the close. Prints the median, the 99th percentile and the largest time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "comm/vx_comlog.h"
#include "platform/clock.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: bench_comlog [RECORDS (100-1000000), default 10000]\n");
    return 2;
}

// A read request as it goes out: fourteen bytes, each as two hex digits and a blank.
std::string telegramLine()
{
    static const unsigned char frame[] = {0x68, 0x08, 0x08, 0x68, 0x02, 0x7E, 0x6C, 0x0B,
                                          0x03, 0x00, 0x0A, 0x04, 0x00, 0x16};
    std::string line = "P1> ";
    char hex[4];
    for (unsigned char b : frame) {
        std::snprintf(hex, sizeof hex, "%02X ", b);
        line += hex;
    }
    return line;
}

}  // namespace

int main(int argc, char** argv)
{
    long records = 10000;
    if (argc > 2)
        return usage();
    if (argc == 2) {
        char* end = nullptr;
        records = std::strtol(argv[1], &end, 10);
        if (!end || *end || records < 100 || records > 1000000)
            return usage();
    }
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_comlog: no temporary folder\n");
        return 1;
    }
    const std::string folder = dir.path().toStdString();
    vx::TComLogEnv env;
    env.ProgramDir = [folder] { return folder; };
    vx::SetComLogEnv(env);

    const std::string line2 = telegramLine();
    std::string why;
    // The first record chooses the folder; it is not counted.
    const double at = plat::clock().now();
    if (!vx::AppendComLogRecord("COM1", at, vx::ComLogTime(at, true) + " Read PLC2", line2, why)) {
        std::fprintf(stderr, "bench_comlog: the record was not written: %s\n", why.c_str());
        return 1;
    }
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(records));
    for (long i = 0; i < records; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double now = plat::clock().now();
        const bool ok = vx::AppendComLogRecord("COM1", now, vx::ComLogTime(now, true) + " Read PLC2", line2, why);
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            std::fprintf(stderr, "bench_comlog: record %ld was not written: %s\n", i, why.c_str());
            return 1;
        }
        us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(us.begin(), us.end());
    const auto quantile = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * static_cast<double>(us.size())))]; };
    qint64 bytes = 0;
    for (const QFileInfo& f : QDir(dir.path()).entryInfoList(QDir::Files))
        bytes += f.size();
    std::printf("records: %ld of a 14-byte telegram, in %s (%lld bytes written)\n", records, folder.c_str(),
                static_cast<long long>(bytes));
    std::printf("one record: median %.2f us, 99th percentile %.2f us, largest %.2f us\n", quantile(0.5), quantile(0.99),
                us.back());
    vx::SetComLogEnv({});
    return 0;
}

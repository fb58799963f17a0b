// bench_config: what a large configuration costs the editor's model and the registering.
//
// The generator writes a configuration (by default 50 stations, folders two deep, 100,000
// variables of every type in turn) into a temporary folder; then, in each round: loading it
// through the file commands as the program does at start-up (the whole-tree check that runs
// after a load included, and timed apart), the whole-tree check alone per name scope,
// registering twice (the second also frees the first model), saving, and the load in its parts
// (byte reader, sort). Each step gives its wall time, the peak resident memory during it and
// the resident memory after it; the memory figures come from /proc/self/status (VmHWM, VmRSS),
// the peak being reset before each step through /proc/self/clear_refs where the kernel allows.
// The bytes per variable are the heap growth across the first load (the tree) and the first
// registering (run-time model and catalogue): malloc's bytes in use, mmapped blocks included.
#include <malloc.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "editor/config_editor.h"
#include "editor/config_file.h"
#include "editor/config_file_format.h"
#include "editor/config_register.h"
#include "editor/config_settings.h"
#include "editor/config_validate.h"
#include "opc/opc_globals.h"
#include "platform/text.h"
#include "tools/cfggen/cfggen.h"

namespace {

constexpr char kDefaultLarge[] = "stations=50,folders=2,depth=2,variables=100000";
constexpr int kDefaultRounds = 5;
constexpr double kGoalMs = 1000;

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::size_t heapInUse()
{
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// kB from a line of /proc/self/status; 0 when absent.
long statusKb(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::atol(line.c_str() + key.size());
    return 0;
}

// Starts a new peak; false when the kernel does not allow it (then peaks are since start).
bool resetPeak()
{
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

struct Figures {
    std::vector<double> ms;
    long peakKb = 0;  // first round
    long afterKb = 0;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs step as one measured step. Memory is taken in the first round only: later rounds run on
// a heap that keeps the pages of the trees and models freed before them.
void measure(Figures& f, bool memory, const std::function<void()>& step)
{
    resetPeak();
    const auto start = Clock::now();
    step();
    f.ms.push_back(msSince(start));
    if (memory) {
        f.peakKb = statusKb("VmHWM");
        f.afterKb = statusKb("VmRSS");
    }
}

// The settings unit's part: the file named is never the untitled one.
class BenchNames final : public vos::ConfigFileNames {
public:
    void SetConfigFileName(const std::string& name) override { vx::CfgFileName = name; }
    bool IsUntitledConfig() const override { return false; }
    void SaveCfgFileName() override {}
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(in ? static_cast<std::size_t>(in.tellg()) : 0, '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: bench_config [--large PARAMS] [--rounds N] [--locale NAME] [--keep DIR]\n"
                 "  --large   generator parameters over the defaults %s\n"
                 "            (stations, folders, depth, variables, services, arraylength, stringlength)\n"
                 "  --rounds  measured rounds, default %d; the figures are medians and ranges\n"
                 "  --locale  collation locale of the name comparisons, default en_US\n"
                 "  --keep    write large.cfg and saved.cfg into DIR (existing) and keep them\n",
                 kDefaultLarge, kDefaultRounds);
}

void printRow(const char* name, const Figures& f, bool goal)
{
    const auto [lo, hi] = std::minmax_element(f.ms.begin(), f.ms.end());
    const double med = median(f.ms);
    const std::string range =
        std::to_string(static_cast<int>(*lo + 0.5)) + "-" + std::to_string(static_cast<int>(*hi + 0.5));
    char memory[32] = "       -        -";
    if (f.peakKb > 0)
        std::snprintf(memory, sizeof memory, "%8.1f %8.1f", f.peakKb / 1024.0, f.afterKb / 1024.0);
    std::printf("%-35s %9.1f %11s %s  %s\n", name, med, range.c_str(), memory,
                goal ? (med < kGoalMs ? "goal < 1 s: met" : "goal < 1 s: MISSED") : "");
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::string large = kDefaultLarge;
    int rounds = kDefaultRounds;
    std::string locale = "en_US";
    std::string keepIn;  // a folder that keeps the files; empty: a temporary one
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--large" && i + 1 < argc)
            large += std::string(",") + argv[++i];
        else if (arg == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--locale" && i + 1 < argc)
            locale = argv[++i];
        else if (arg == "--keep" && i + 1 < argc)
            keepIn = argv[++i];
        else {
            usage();
            return 2;
        }
    }

    QTemporaryDir temporary;
    if (keepIn.empty() && !temporary.isValid()) {
        std::fprintf(stderr, "bench_config: no temporary folder\n");
        return 1;
    }
    const QDir dir(keepIn.empty() ? temporary.path() : QString::fromStdString(keepIn));
    const std::string cfgFile = dir.filePath("large.cfg").toStdString();
    const std::string savedFile = dir.filePath("saved.cfg").toStdString();

    cfggen::LargeParams params;
    std::size_t fileSize = 0;
    double generateMs = 0;
    try {
        params = cfggen::parseLargeParams(large);
        const auto start = Clock::now();
        const std::string bytes = cfggen::write(cfggen::largeConfig(params)).bytes;
        std::ofstream out(cfgFile, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush())
            throw std::runtime_error("cannot write " + cfgFile);
        fileSize = bytes.size();
        generateMs = msSince(start);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_config: %s\n", e.what());
        return 1;
    }
    const std::size_t variables = static_cast<std::size_t>(params.variables);
    const std::size_t nodes = cfggen::largeNodeCount(params);

    vx::Language = 1;
    plat::setCollationLocale(locale);
    vx::InitializeComm();
    auto registry = std::make_unique<opc::TServer>();
    opc::OPCRegistry = registry.get();
    BenchNames names;
    vos::AttachConfigFileNames(&names);

    vos::TConfigEditor editor;
    vos::TConfigValidation validation(editor);
    editor.SetValidator(&validation);
    vos::TConfigFileCommands commands(editor);
    vos::TConfigRegistrar registrar(editor);
    double checkInLoadMs = 0;
    std::size_t conflictsAfterLoad = 0;
    commands.SetLoadedTreeCheck([&](vos::TConfigEditor& e) {
        const auto start = Clock::now();
        conflictsAfterLoad = vos::LogTreeConflicts(e.Tree());
        checkInLoadMs = msSince(start);
    });

    Figures load, checkInLoad, readBytes, sortTree, check0, check1, register1, register2, save;
    long long treeBytes = 0, modelBytes = 0;  // malloc's count moves both ways
    std::size_t catalogue = 0, stations = 0, notes = 0;
    std::size_t conflicts0 = 0, conflicts1 = 0;
    std::vector<std::string> firstConflicts;  // with VarUniqueness 1
    vos::TLoadResult loadResult = vos::TLoadResult::Loaded;
    bool saved = true;
    const bool peakResettable = resetPeak();

    for (int round = 0; round < rounds; ++round) {
        // Each round starts from an empty tree and no model, outside the measures.
        editor.ClearConfiguration();
        registrar.RefreshExecute();

        vx::CfgFileName = cfgFile;
        const auto heapBeforeLoad = static_cast<long long>(heapInUse());
        measure(load, round == 0, [&] { loadResult = commands.LoadConfiguration(vos::TLoadSender::Settings); });
        if (round == 0)
            treeBytes = static_cast<long long>(heapInUse()) - heapBeforeLoad;
        checkInLoad.ms.push_back(checkInLoadMs);

        vos::VarUniqueness = 0;
        measure(check0, round == 0, [&] { conflicts0 = vos::CheckWholeTree(editor.Tree()).size(); });
        vos::VarUniqueness = 1;
        measure(check1, round == 0, [&] { conflicts1 = vos::CheckWholeTree(editor.Tree()).size(); });
        if (round == 0)
            for (const auto& c : vos::CheckWholeTree(editor.Tree()))
                if (firstConflicts.size() < 5)
                    firstConflicts.push_back(std::to_string(c.Code) + " " + vos::ConflictText(c.Node->Rec(), c.Code));
        vos::VarUniqueness = 0;

        const auto heapBeforeRegister = static_cast<long long>(heapInUse());
        measure(register1, round == 0, [&] { registrar.RefreshExecute(); });
        if (round == 0)
            modelBytes = static_cast<long long>(heapInUse()) - heapBeforeRegister;
        measure(register2, round == 0, [&] { registrar.RefreshExecute(); });
        catalogue = registry->Items.size();
        stations = vx::StationList->size();
        notes = registrar.Notes().size();

        vx::CfgFileName = savedFile;
        measure(save, round == 0, [&] { saved = commands.SaveConfiguration(vos::TSaveSender::Save) && saved; });

        // The load in its parts, last so that the steps above run on the heap as the program
        // leaves it; their memory would show the heap of the tree just freed, not their own.
        editor.Tree().Clear();
        {
            const std::string bytes = readFile(cfgFile);
            measure(readBytes, false, [&] { vos::ReadConfiguration(bytes, editor.Tree()); });
        }
        measure(sortTree, false, [&] { editor.SortTreeByName(); });
    }
    const std::size_t savedSize = readFile(savedFile).size();

    std::printf(
        "configuration: stations=%d,folders=%d,depth=%d,variables=%ld,services=%d,arraylength=%d,stringlength=%d\n",
        params.stations, params.folders, params.depth, params.variables, params.services ? 1 : 0, params.arrayLength,
        params.stringLength);
    std::printf("nodes: %zu, variables: %zu, stations registered: %zu, catalogue items: %zu\n", nodes, variables,
                stations, catalogue);
    std::printf("file: %zu bytes (%.1f bytes per variable), generated in %.1f ms\n", fileSize,
                static_cast<double>(fileSize) / static_cast<double>(std::max<std::size_t>(variables, 1)), generateMs);
    std::printf(
        "load: %s; conflicts after load: %zu; whole-tree check: %zu (VarUniqueness 0), %zu (1); "
        "registering notes: %zu; saved: %s, %zu bytes\n",
        loadResult == vos::TLoadResult::Loaded ? "loaded" : "NOT LOADED", conflictsAfterLoad, conflicts0, conflicts1,
        notes, saved ? "yes" : "NO", savedSize);
    for (const std::string& c : firstConflicts)
        std::printf("  conflict with VarUniqueness 1: %s\n", c.c_str());
    std::printf(
        "collation locale: %s; rounds: %d; times: median and range; memory (first round): /proc/self/status "
        "VmHWM (peak, %s) and VmRSS (after)\n\n",
        locale.c_str(), rounds, peakResettable ? "reset before each step" : "since start");
    std::printf("%-35s %9s %11s %8s %8s\n", "step", "median ms", "range ms", "peak MiB", "RSS MiB");
    printRow("load (file command, check incl.)", load, true);
    printRow("  of it: whole-tree check", checkInLoad, true);
    printRow("  load parts: byte reader", readBytes, false);
    printRow("  load parts: sort by name", sortTree, false);
    printRow("whole-tree check, VarUniqueness 0", check0, true);
    printRow("whole-tree check, VarUniqueness 1", check1, true);
    printRow("registering, first", register1, true);
    printRow("registering, second (frees first)", register2, true);
    printRow("saving", save, false);
    const double perVariable = static_cast<double>(std::max<std::size_t>(variables, 1));
    std::printf("\nheap per variable: tree %.0f bytes (%.0f per node), run-time model with catalogue %.0f bytes\n",
                static_cast<double>(treeBytes) / perVariable,
                static_cast<double>(treeBytes) / static_cast<double>(nodes),
                static_cast<double>(modelBytes) / perVariable);

    editor.ClearConfiguration();
    registrar.RefreshExecute();
    opc::OPCRegistry = nullptr;
    registry.reset();
    vos::AttachConfigFileNames(nullptr);
    vx::FinalizeComm();
    plat::setCollationLocale("");
    return loadResult == vos::TLoadResult::Loaded && saved ? 0 : 1;
}

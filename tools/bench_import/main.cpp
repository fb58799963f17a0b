// bench_import: what importing large declaration files costs the editor.
//
// Generates a ".pub" file (by default 50,000 lines, every tenth an alias) and a ".tdr" file (by
// default 20,000 records, a tenth of them structures of four members) in memory, then imports
// each into an empty station of a fresh server node twice: the first pass creates every
// variable, the second finds them all unchanged. Each pass gives its wall time, the new and
// changed counts, the tree's node count and the peak resident memory so far.
#include <sys/resource.h>

#include <QCoreApplication>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_editor.h"
#include "editor/config_settings.h"
#include "editor/decl_import.h"
#include "platform/text.h"
#include "tests/editor/tdr_writer.h"
#include "tools/bench_common/bench_common.h"

namespace {

using editor_test::Tdr;
using editor_test::TdrRec;

// Peak resident memory of this process, in kB (Linux reports ru_maxrss in kB).
long peakKb()
{
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string PubFile(int lines)
{
    std::string pub;
    for (int i = 0; i < lines; ++i)
        pub += "Var" + std::to_string(i) + " R W " + std::to_string(i * 2) +
               (i % 10 == 9 ? " \"Var" + std::to_string(i - 1) + "[1]\" PUB_IN" : " INT PUB_INOUT ;c") + "\n";
    return pub;
}

// records counts the 13 leading ones the import skips.
std::string TdrFile(int records)
{
    const std::size_t wanted = records > 13 ? static_cast<std::size_t>(records - 13) : 0;
    std::vector<TdrRec> recs;
    while (recs.size() < wanted) {
        const auto k = recs.size();
        if (k % 10 == 0 && recs.size() + 5 < wanted) {
            recs.push_back({"S" + std::to_string(k), 36, 0, static_cast<std::uint16_t>(k), 0, 4,
                            static_cast<std::uint16_t>(13 + k)});
            for (int m = 0; m < 4; ++m)
                recs.push_back({"m" + std::to_string(m), static_cast<std::uint8_t>(m % 2 ? 26 : 28), 0, 0,
                                static_cast<std::uint16_t>(m), 1, 0, 5, 0});
        } else {
            recs.push_back({"T" + std::to_string(k), 28, 0, static_cast<std::uint16_t>(k)});
        }
    }
    return Tdr(recs);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int lines = 50000;
    int records = 20000;
    if (!bench::parseArguments(argc, argv, {{"--pub-lines", &lines, 1}, {"--tdr-records", &records, 14}})) {
        std::fprintf(stderr, "usage: bench_import [--pub-lines N] [--tdr-records N]\n");
        return 2;
    }

    // What a fresh editor starts from: default settings, English, a pinned collation.
    vx::ResetSettings();
    vos::ResetConfigSettings();
    vx::Language = 1;
    plat::setCollationLocale("en_US");
    // The byte imports show nothing; should a message come, it must not wait for a user.
    vx::SetMessageDlgAnswer([](const std::string&, vx::TMsgDlgType, vx::TMsgDlgButtons) { return vx::mrOk; });

    vos::TConfigEditor editor;
    vos::TConfigNode* server = editor.CreateNode(vos::nkServer, nullptr);
    vos::TConfigNode* pubStation = server ? editor.NewObjectExecute(vos::ntStation, server) : nullptr;
    vos::TConfigNode* tdrStation = server ? editor.CreateNode(vos::nkStation, server) : nullptr;
    if (!pubStation || !tdrStation) {
        std::fprintf(stderr, "bench_import: could not create the stations\n");
        return 1;
    }
    pubStation->Rec().Name = "St";
    tdrStation->Rec().Name = "Empty2";
    // Saved state after creation: the import's changes show against it.
    for (auto* n : editor.Tree())
        n->Rec().Saved = 1;
    editor.SetModified(false);
    editor.SetRegisterEnabled(false);
    vos::TDeclImporter importer{editor};

    std::int64_t start = bench::nowNs();
    const std::string pub = PubFile(lines);
    const std::string tdr = TdrFile(records);
    std::printf("generated: pub %d lines (%zu bytes), tdr %d records (%zu bytes) in %.1f ms; peak %ld kB\n", lines,
                pub.size(), records, tdr.size(), (bench::nowNs() - start) / 1e6, peakKb());

    int failures = 0;
    for (const bool isPub : {true, false}) {
        for (int pass = 1; pass <= 2; ++pass) {
            start = bench::nowNs();
            const int result =
                isPub ? importer.ImportPubBytes(pub, pubStation) : importer.ImportTdrBytes(tdr, tdrStation);
            const double ms = (bench::nowNs() - start) / 1e6;
            std::printf("%s pass %d: %.1f ms, %d new, %d changed, %zu nodes, result %d, peak %ld kB\n",
                        isPub ? "pub" : "tdr", pass, ms, importer.ImportedNew(), importer.ImportedChanged(),
                        editor.Tree().NodeCount(), result, peakKb());
            if (result != vos::kImportDone)
                ++failures;
        }
    }
    std::printf("peak resident memory: %ld kB\n", peakKb());

    vx::SetMessageDlgAnswer({});
    plat::setCollationLocale("");
    return failures == 0 ? 0 : 1;
}

// The configuration file's reader on any bytes: damaged bytes are refused with an offset inside
// them and leave the tree empty; a file that reads is well formed, and what it writes reads
// again to the same tree and the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "editor/config_file_format.h"
#include "editor/config_tree.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vos::TConfigTree tree;
    std::size_t position = 0;
    const vos::TConfigProgress progress{nullptr, [&](std::size_t p) { position = p; }};
    const vos::TConfigReadResult result = vos::ReadConfiguration(bytes, tree, progress);
    if (!result.Ok) {
        FUZZ_CHECK(tree.NodeCount() == 0);
        FUZZ_CHECK(result.Error.Offset <= size);
        FUZZ_CHECK(!result.Error.Reason.empty());
        return 0;
    }
    FUZZ_CHECK(tree.NodeCount() == position);
    FUZZ_CHECK(!vos::CheckConfigStructure(tree));
    for (const vos::TConfigNode* node : tree)
        FUZZ_CHECK(node->Depth() <= vos::kMaxTreeDepth && node->Rec().Valid == 1 && node->Rec().Saved == 1);

    const std::string written = vos::WriteConfiguration(tree);
    vos::TConfigTree again;
    const vos::TConfigReadResult second = vos::ReadConfiguration(written, again);
    FUZZ_CHECK(second.Ok);
    FUZZ_CHECK(second.Header.Version == vos::kConfigFileVersion);
    FUZZ_CHECK(second.Header.NodeCount == tree.NodeCount());
    FUZZ_CHECK(second.StationCounter == result.StationCounter && second.VariableCounter == result.VariableCounter &&
               second.FolderCounter == result.FolderCounter && second.ModemCounter == result.ModemCounter);
    FUZZ_CHECK(again.NodeCount() == tree.NodeCount());
    FUZZ_CHECK(vos::WriteConfiguration(again) == written);
    return 0;
}

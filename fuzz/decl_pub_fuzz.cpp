// The ".pub" declaration reader on any text, and the import of what it gives into a small
// configuration whose station holds a few variables as alias bases: no crash, the counts
// match the nodes created and changed, and the tree stays well formed.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "decl_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto text = vos::DecodePubText(bytes);
    for (const auto line : vos::SplitPubLines(text)) {
        FUZZ_CHECK(line.find('\n') == std::string_view::npos && line.find('\r') == std::string_view::npos);
        const vos::TPubLine parsed = vos::ParsePubLine(line);
        if (parsed.What == vos::TPubLine::Declaration)
            FUZZ_CHECK(!parsed.Var.Name.empty() && parsed.Var.VarType != vos::kNoVarType);
        if (parsed.What == vos::TPubLine::Alias)
            FUZZ_CHECK(!parsed.Var.Name.empty() && !parsed.Base.empty());
        if (parsed.What == vos::TPubLine::Failed)
            FUZZ_CHECK(!parsed.Error.empty());
    }
    decl_fuzz::ImportAndCheck(data, size, [&](vos::TDeclImporter& importer, vos::TConfigNode* target) {
        return importer.ImportPubBytes(bytes, target);
    });
    return 0;
}

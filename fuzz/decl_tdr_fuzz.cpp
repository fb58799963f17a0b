// The ".tdr" declaration reader on any bytes, and the import of what it gives into a small
// configuration: no crash, the counts match the nodes created and changed, and the tree stays
// well formed.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "decl_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const vos::TTdrParseResult parsed = vos::ParseTdr(bytes);
    FUZZ_CHECK(parsed.Result == vos::kImportDone || parsed.Result == vos::kImportWrongFormat);
    FUZZ_CHECK(parsed.Result == vos::kImportDone || !parsed.Errors.empty());
    for (const auto& v : parsed.Variables) {
        FUZZ_CHECK(!v.Name.empty() && v.VarType != vos::kNoVarType && v.Address >= 0);
        FUZZ_CHECK(v.Source >= vos::kTdrFirstImported && v.Source < parsed.RecordCount);
    }
    decl_fuzz::ImportAndCheck(data, size, [&](vos::TDeclImporter& importer, vos::TConfigNode* target) {
        return importer.ImportTdrBytes(bytes, target);
    });
    return 0;
}

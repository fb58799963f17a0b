// The registry stand-in's file parser on any bytes: damaged bytes are refused with a reason,
// and what it accepts it writes back as a file that parses to the same bytes again.
//
// A mutated file rarely keeps its checksum, so the input is also read as the lines of a file
// and given the header and the end mark that make it whole: the line parser sees them all.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/com/registry.h"

namespace {

std::string Whole(std::string_view lines)
{
    std::string body = "VornRegistry 1\n";
    body += lines;
    if (!lines.empty() && lines.back() != '\n')
        body += '\n';
    const auto count = static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n') - 1);  // not the header
    char end[40];
    std::snprintf(end, sizeof end, "E\t%zu\t%08X\n", count, com::registryChecksum(body));
    return body + end;
}

void Check(std::string_view bytes)
{
    com::Registry reg;
    std::string why;
    if (!reg.loadBytes(bytes, &why)) {
        FUZZ_CHECK(!why.empty());
        FUZZ_CHECK(reg.subkeys(u"").empty() && reg.valueNames(u"").empty());
        return;
    }
    // Walk what was loaded as a caller would.
    for (const std::u16string& key : reg.subkeys(u"")) {
        for (const std::u16string& name : reg.valueNames(key))
            FUZZ_CHECK(reg.value(key, name).has_value());
        (void)reg.subkeys(key);
    }
    const std::string written = reg.fileBytes();
    com::Registry again;
    FUZZ_CHECK(again.loadBytes(written, &why));
    FUZZ_CHECK(again.fileBytes() == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Check(bytes);
    Check(Whole(bytes));
    return 0;
}

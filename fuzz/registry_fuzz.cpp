// The registry stand-in's file parser on any bytes: damaged bytes are refused with a reason,
// and what it accepts it writes back as a file that parses to the same bytes again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/com/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    com::Registry reg;
    std::string why;
    if (!reg.loadBytes(bytes, &why)) {
        FUZZ_CHECK(!why.empty());
        FUZZ_CHECK(reg.subkeys(u"").empty() && reg.valueNames(u"").empty());
        return 0;
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
    return 0;
}

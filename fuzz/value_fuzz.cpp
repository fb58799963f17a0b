// Text to value (initial values of the configuration, values typed in the runtime monitor) on
// any text: a value of the asked type or EConvertError, nothing else.
//
// Input: byte 0 picks the type (bits 0-3), an array of it (bit 4) and the Czech locale with its
// decimal comma (bit 5); byte 1 is the array's element count; the rest is the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "comm/vx_variable.h"
#include "fuzz_check.h"
#include "platform/com/locale.h"

namespace {

constexpr VARTYPE kTypes[] = {VT_I2, VT_I4, VT_R4, VT_R8, VT_DATE, VT_BSTR, VT_BOOL, VT_UI1,
                              VT_UI2, VT_UI4, VT_I1, VT_I8, VT_UI8, VT_EMPTY, VT_CY, VT_VARIANT};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    static vx::TVariable* variable = new vx::TVariable(nullptr);  // lives as long as the process
    const VARTYPE type = static_cast<VARTYPE>(kTypes[data[0] & 0x0F] | (data[0] & 0x10 ? VT_ARRAY : 0));
    com::setProcessLocale(data[0] & 0x20 ? com::ProcessLocale::czech() : com::ProcessLocale::english());
    variable->ArrayCount = data[1];
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);

    com::Variant result;
    try {
        vx::TextToVariant(text, type, *variable, result);
    } catch (const vx::EConvertError&) {
        return 0;
    }
    FUZZ_CHECK(result.vt() == type);
    return 0;
}

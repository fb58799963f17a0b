#include "types.h"

#include <cstdio>

namespace com {

std::string guidToString(const GUID& g)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::u16string guidToWString(const GUID& g)
{
    const std::string s = guidToString(g);
    return std::u16string(s.begin(), s.end());
}

std::optional<GUID> guidFromString(std::string_view t)
{
    if (t.size() != 38 || t.front() != '{' || t.back() != '}')
        return std::nullopt;
    auto hex = [&](std::size_t pos, int digits, std::uint64_t& out) {
        out = 0;
        for (int i = 0; i < digits; ++i) {
            const char c = t[pos + static_cast<std::size_t>(i)];
            int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (v < 0)
                return false;
            out = out * 16 + static_cast<std::uint64_t>(v);
        }
        return true;
    };
    if (t[9] != '-' || t[14] != '-' || t[19] != '-' || t[24] != '-')
        return std::nullopt;
    GUID g{};
    std::uint64_t v = 0;
    if (!hex(1, 8, v))
        return std::nullopt;
    g.Data1 = static_cast<std::uint32_t>(v);
    if (!hex(10, 4, v))
        return std::nullopt;
    g.Data2 = static_cast<std::uint16_t>(v);
    if (!hex(15, 4, v))
        return std::nullopt;
    g.Data3 = static_cast<std::uint16_t>(v);
    static const std::size_t pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!hex(pos[i], 2, v))
            return std::nullopt;
        g.Data4[i] = static_cast<std::uint8_t>(v);
    }
    return g;
}

}  // namespace com

#include "enums.h"

#include <cstring>

namespace com {

LPOLESTR taskString(std::u16string_view text)
{
    auto* s = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
    if (!s)
        return nullptr;
    if (!text.empty())
        std::memcpy(s, text.data(), text.size() * sizeof(OLECHAR));
    s[text.size()] = u'\0';
    return s;
}

}  // namespace com

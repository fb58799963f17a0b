#pragma once
// The payload's fields in file order, by the record names the description uses.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cfggen/cfggen.h"

namespace cfggen::detail {

enum class FieldType { I32, U8, F64, Text, KindByte, MarkerByte };

struct FieldDef {
    int number;  // payload field number, 1..47; several names share 31, 40-42 and 46
    std::string name;
    FieldType type;
    std::function<void*(Record&)> ref;
};

const std::vector<FieldDef>& fieldTable();
// Case-insensitive; nullptr for an unknown name.
const FieldDef* findField(std::string_view name);

// "Server" for the server, else the kind's catalogue stem followed by the ordinal ("Device1").
std::string defaultName(std::uint8_t kind, std::int32_t ordinal, Lang lang);

}  // namespace cfggen::detail

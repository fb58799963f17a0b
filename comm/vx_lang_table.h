#pragma once
// The rows of the message catalogue, open to its tests.
#include <cstdint>
#include <span>
#include <string_view>

namespace vx::lang {

struct Row {
    std::int32_t id;
    std::string_view en;
    std::string_view cs;
};

// All rows, sorted by id.
std::span<const Row> Catalogue();

}  // namespace vx::lang

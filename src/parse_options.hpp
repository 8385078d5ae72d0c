// What the caller of a parse asks for: which bulk sections to read and which
// ionic steps to keep.
#pragma once

#include <cstdint>
#include <optional>

namespace quorvel {

struct ParseOptions {
    bool parse_dos = true;
    bool parse_eigen = true;
    bool parse_projected = false;
    std::optional<std::uint64_t> ionic_step_skip;
    std::uint64_t ionic_step_offset = 0;
};

}  // namespace quorvel

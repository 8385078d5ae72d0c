// The plain numeric shapes that the reading helpers produce and the run
// record keeps: 3-vectors, 3x3 matrices and rows of floats of any length.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "fields.hpp"

namespace quorvel {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;

// Rows of floats of any length, stored flat: row i is
// values[offsets[i] .. offsets[i + 1]).
struct FloatRows {
    std::vector<double> values;
    std::vector<std::size_t> offsets{0};

    static auto fields(auto& self) { return std::tuple{Field{"values", self.values}, Field{"offsets", self.offsets}}; }

    std::size_t size() const noexcept { return offsets.size() - 1; }
    void clear() {
        values.clear();
        offsets.assign(1, 0);
    }
};

}  // namespace quorvel

// The plain numeric shapes that the reading helpers produce and the run
// record keeps: 3-vectors, 3x3 matrices and rows of floats of any length.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
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
    // Rows are read by their offsets, which must cut the values into rows.
    static std::string mismatch(const FloatRows& self) {
        const bool rows = !self.offsets.empty() && self.offsets.front() == 0 &&
                          self.offsets.back() == self.values.size() &&
                          std::is_sorted(self.offsets.begin(), self.offsets.end());
        return rows ? std::string()
                    : "offsets that do not cut its " + std::to_string(self.values.size()) + " values into rows";
    }

    std::size_t size() const noexcept { return offsets.size() - 1; }
    void clear() {
        values.clear();
        offsets.assign(1, 0);
    }
};

}  // namespace quorvel

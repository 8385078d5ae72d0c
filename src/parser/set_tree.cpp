#include "parser/set_tree.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "parser/numbers.hpp"

namespace quorvel {

namespace {

// How much larger than the numbers read a zero-filled array may be. Later
// sets shorter than the first are filled with zeros; a tree whose first sets
// promise vastly more than the file holds is hostile, not short.
constexpr std::uint64_t kMaxFillFactor = 64;
constexpr std::uint64_t kFillAllowance = 1 << 16;

struct Scatter {
    const SetTree& tree;
    const std::vector<std::uint64_t>& block;  // dense elements per member at each level
    std::vector<std::size_t> next_set;        // next unread set at each level
    const double* source;
    double* target;

    void copy_set(std::size_t level, std::uint64_t base) {
        const std::uint64_t members = tree.counts[level][next_set[level]++];
        for (std::uint64_t i = 0; i < members; ++i) {
            const std::uint64_t at = base + i * block[level];
            if (level == tree.levels) {
                std::memcpy(target + at, source, tree.width * sizeof(double));
                source += tree.width;
            } else {
                copy_set(level + 1, at);
            }
        }
    }
};

}  // namespace

Status SetTree::finish_short_row(double* row, std::size_t count) {
    for (std::size_t i = count > skip ? count - skip : 0; i < width; ++i) {
        row[i] = 0.0;
    }
    ++rows;
    numbers += count;
    if (values.size() / kMaxFillFactor > numbers + kFillAllowance) {
        return ParseError::shape_mismatch({rows, width}, {numbers});
    }
    if (count < min_numbers) {
        return ParseError::shape_mismatch({min_numbers}, {count});
    }
    return {};
}

void SetTree::set_width(std::size_t new_width) {
    if (new_width == width) {
        return;
    }
    HeapArray<double> relaid(static_cast<std::size_t>(rows) * new_width);
    const std::size_t kept = std::min(width, new_width);
    for (std::uint64_t r = 0; r < rows; ++r) {
        std::memcpy(relaid.data() + r * new_width, values.data() + r * width, kept * sizeof(double));
    }
    values = std::move(relaid);
    width = new_width;
}

std::vector<std::uint64_t> first_set_dimensions(const SetTree& tree) {
    std::vector<std::uint64_t> dims(tree.levels + 1, 0);
    for (std::size_t level = 0; level <= tree.levels; ++level) {
        if ((level != 0 && dims[level - 1] == 0) || tree.counts[level].empty()) {
            break;
        }
        dims[level] = tree.counts[level].front();
    }
    return dims;
}

Status build_dense(SetTree& tree, const std::vector<std::uint64_t>& dims, HeapArray<double>& out) {
    bool full = true;
    for (std::size_t level = 0; level <= tree.levels; ++level) {
        for (std::uint64_t members : tree.counts[level]) {
            if (members > dims[level]) {
                return ParseError::shape_mismatch({dims[level]}, {members});
            }
            full = full && members == dims[level];
        }
    }

    std::vector<std::uint64_t> shape = dims;
    shape.push_back(tree.width);
    std::vector<std::uint64_t> block(shape.size(), 1);
    std::uint64_t total = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        block[i] = total;
        if (__builtin_mul_overflow(total, shape[i], &total)) {
            return ParseError::shape_mismatch(shape, {tree.rows, tree.width});
        }
    }
    if (total > std::numeric_limits<std::size_t>::max() / sizeof(double) ||
        total / kMaxFillFactor > tree.numbers + kFillAllowance) {
        return ParseError::shape_mismatch(shape, {tree.rows, tree.width});
    }
    block.pop_back();  // per member of each set level, the row width included

    if (full) {
        tree.values.shrink_to_fit();
        out = std::move(tree.values);
        tree.clear();
        return {};
    }
    // Sets shorter than the first leave zeros, which fresh pages hold
    // already: only the rows read are written.
    out = HeapArray<double>();
    out.assign_zeros(static_cast<std::size_t>(total));
    if (tree.counts[0].empty()) {
        return {};
    }
    Scatter scatter{tree, block, std::vector<std::size_t>(tree.levels + 1, 0), tree.values.data(),
                    out.data()};
    scatter.copy_set(0, 0);
    return {};
}

}  // namespace quorvel

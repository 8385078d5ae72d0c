// The nested `set` trees of the bulk sections (eigenvalues, projections,
// densities of states, dielectric function): an outer `set`, a fixed number
// of levels of child sets, then `r` rows of numbers.
//
// Rows are stored flat at a fixed width (short rows padded with zeros), and
// the member count of every set is kept beside them, so reading allocates
// nothing per row and the memory stays close to the size of the numbers.
// The dense array takes its dimensions from the first set of each level;
// when every set is full the flat rows already are that array and are moved,
// not copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "buffer.hpp"
#include "error.hpp"
#include "parser/helpers.hpp"

namespace quorvel {

struct SetTree {
    // `levels` counts the child-set levels between the outer set and the rows.
    SetTree(std::size_t set_levels, std::size_t row_width)
        : levels(set_levels), width(row_width), counts(set_levels + 1) {}

    void clear() {
        values.clear();
        for (auto& level : counts) {
            level.clear();
        }
        rows = 0;
        numbers = 0;
        top_member = 0;
    }

    // Adds the row of `text`: its `width` numbers after the first `skip`,
    // zero-padded;
    // `count` is how many numbers the text holds and `row` where they went.
    // Fails when the padding would outgrow the numbers read by far, so that
    // many short rows under a long field list cannot take memory out of
    // proportion to the file.
    Status add_row(std::string_view text, std::size_t& count, double*& row);

    // Re-lays every stored row out at `new_width` values: zero-padded when
    // wider, cut when narrower.
    void set_width(std::size_t new_width);

    std::size_t levels;
    std::size_t width;
    std::size_t skip = 0;  // leading values of each row that are not kept
    HeapArray<double> values;  // rows * width
    // counts[l][i]: members of the i-th set at depth l (0 = the outer set),
    // in document order; the members of the deepest sets are rows.
    std::vector<std::vector<std::uint64_t>> counts;
    std::uint64_t rows = 0;
    std::uint64_t numbers = 0;     // numbers in the rows' texts, padding excluded
    std::uint64_t top_member = 0;  // index of the outer set's member being read
};

namespace detail {

// The rows of a deepest set. Rows are nearly all of a bulk section, so each
// plain `<r>text</r>` is read in one step; anything else goes through events.
template <class OnRow>
Status read_rows(XmlCursor& cursor, std::uint64_t& members, OnRow& on_row) {
    XmlEvent event;
    std::string_view text;
    for (;;) {
        bool plain = false;
        QV_TRY(cursor.read_plain_element("r", plain, text));
        if (plain) {
            ++members;
            QV_TRY(on_row(text));
            continue;
        }
        QV_TRY(cursor.next_event(event));
        if (event.kind == EventKind::Start) {
            if (event.name != "r") {
                QV_TRY(cursor.skip_element(event.name));
                continue;
            }
            ++members;
            QV_TRY(cursor.read_text(text));
            QV_TRY(on_row(text));
        } else if ((event.kind == EventKind::End && event.name == "set") || event.kind == EventKind::Eof) {
            return {};
        }
    }
}

template <class OnRow>
Status read_set_level(XmlCursor& cursor, SetTree& tree, std::size_t level, OnRow& on_row) {
    std::uint64_t members = 0;
    if (level == tree.levels) {
        QV_TRY(read_rows(cursor, members, on_row));
    } else {
        QV_TRY(for_each_child(cursor, "set", [&](const XmlEvent& child) -> Status {
            if (child.name != "set") {
                return cursor.skip_element(child.name);
            }
            if (level == 0) {
                tree.top_member = members;
            }
            ++members;
            return read_set_level(cursor, tree, level + 1, on_row);
        }));
    }
    tree.counts[level].push_back(members);
    return {};
}

}  // namespace detail

// Reads the outer `set` whose start tag was just read into `tree`, replacing
// what it held. `on_row(text)` stores one row through tree.add_row(...).
template <class OnRow>
Status read_set_tree(XmlCursor& cursor, SetTree& tree, OnRow&& on_row) {
    tree.clear();
    return detail::read_set_level(cursor, tree, 0, on_row);
}

// Dimensions from the first set of each level: the members of the outer set,
// then of the first set below it, and so on (0 below an empty level).
std::vector<std::uint64_t> first_set_dimensions(const SetTree& tree);

// The dense, zero-filled, row-major array of shape dims x tree.width. Fails
// with ShapeMismatch when a set has more members than the first set of its
// level, or when the dimensions are out of proportion to the data read.
Status build_dense(SetTree& tree, const std::vector<std::uint64_t>& dims, HeapArray<double>& out);

// Reads the row numbers of `text` into `row` (capacity `width`): after the
// first `skip` values, the next `width` are stored (zero-padded), the rest
// only counted and checked. `count` is the number of values in the text.
Status parse_row(std::string_view text, double* row, std::size_t width, std::size_t& count,
                 std::size_t skip = 0);

}  // namespace quorvel

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
    // zero-padded; `count` is how many numbers the text holds and `row`
    // where they went.
    Status add_row(std::string_view text, std::size_t& count, double*& row);

    // The same in two steps, for a row parsed in place: room for one more
    // row, then its completion once `count` numbers were stored through a
    // RowSink. A row begun and not finished is taken back by drop_row.
    double* begin_row() { return values.grow_by(width); }
    void drop_row() noexcept { values.shrink_by(width); }
    // Fails when the padding would outgrow the numbers read by far, so that
    // many short rows under a long field list cannot take memory out of
    // proportion to the file.
    Status finish_row(double* row, std::size_t count);

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

// Stores the numbers of one row as they are read: after the first `skip`,
// the next `width`; the rest are only counted.
struct RowSink {
    double* row;
    std::size_t skip;
    std::size_t width;
    std::size_t count = 0;

    void operator()(double value) noexcept {
        const std::size_t column = count - skip;  // wraps to huge before `skip`
        if (column < width) {
            row[column] = value;
        }
        ++count;
    }
};

namespace detail {

// The rows of a deepest set. Rows are nearly all of a bulk section, so a
// plain `<r>` of plain numbers is parsed straight from the document; anything
// else goes through events and the general number syntax. Nothing keeps a
// view into the text after the outer set's start tag (`tree_text`), so the
// pages of the rows read become room for the numbers (or are given back).
template <class OnRow>
Status read_rows(XmlCursor& cursor, SetTree& tree, const char* tree_text, std::uint64_t& members,
                 OnRow& on_row) {
    XmlEvent event;
    std::string_view text;
    const auto take_pages = [&](char* pages, std::size_t bytes) noexcept {
        // Address space for about as many numbers as the rest of the
        // document can hold; all three are sizes of memory in use, far
        // from overflowing.
        const std::size_t room = tree.values.capacity() * sizeof(double) + bytes + 2 * cursor.remaining();
        return tree.values.adopt_pages(pages, bytes, room);
    };
    for (;;) {
        cursor.release_consumed(tree_text, take_pages);
        double* row = tree.begin_row();
        RowSink sink{row, tree.skip, tree.width};
        if (cursor.read_number_element("r", sink)) {
            ++members;
            QV_TRY(tree.finish_row(row, sink.count));
            QV_TRY(on_row(sink.count, static_cast<const double*>(row)));
            continue;
        }
        tree.drop_row();
        QV_TRY(cursor.next_event(event));
        if (event.kind == EventKind::Start) {
            if (event.name != "r") {
                QV_TRY(cursor.skip_element(event.name));
                continue;
            }
            ++members;
            QV_TRY(cursor.read_text(text));
            std::size_t count = 0;
            QV_TRY(tree.add_row(text, count, row));
            QV_TRY(on_row(count, static_cast<const double*>(row)));
        } else if ((event.kind == EventKind::End && event.name == "set") || event.kind == EventKind::Eof) {
            return {};
        }
    }
}

template <class OnRow>
Status read_set_level(XmlCursor& cursor, SetTree& tree, const char* tree_text, std::size_t level,
                      OnRow& on_row) {
    std::uint64_t members = 0;
    if (level == tree.levels) {
        QV_TRY(read_rows(cursor, tree, tree_text, members, on_row));
    } else {
        QV_TRY(for_each_child(cursor, "set", [&](const XmlEvent& child) -> Status {
            if (child.name != "set") {
                return cursor.skip_element(child.name);
            }
            if (level == 0) {
                tree.top_member = members;
            }
            ++members;
            return read_set_level(cursor, tree, tree_text, level + 1, on_row);
        }));
    }
    tree.counts[level].push_back(members);
    return {};
}

}  // namespace detail

// Reads the outer `set` whose start tag was just read into `tree`, replacing
// what it held. Each row is stored in the tree, then shown to
// `on_row(count, row)`: how many numbers its text held, and the stored row.
template <class OnRow>
Status read_set_tree(XmlCursor& cursor, SetTree& tree, OnRow&& on_row) {
    tree.clear();
    return detail::read_set_level(cursor, tree, cursor.position(), 0, on_row);
}

// Dimensions from the first set of each level: the members of the outer set,
// then of the first set below it, and so on (0 below an empty level).
std::vector<std::uint64_t> first_set_dimensions(const SetTree& tree);

// The dense, zero-filled, row-major array of shape dims x tree.width. Fails
// with ShapeMismatch when a set has more members than the first set of its
// level, or when the dimensions are out of proportion to the data read.
Status build_dense(SetTree& tree, const std::vector<std::uint64_t>& dims, HeapArray<double>& out);

}  // namespace quorvel

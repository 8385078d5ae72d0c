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
#include <type_traits>
#include <vector>

#include "error.hpp"
#include "heap_array.hpp"
#include "parser/helpers.hpp"
#include "parser/numbers.hpp"

namespace quorvel {

// Stores the numbers of one row as they are read: after the first `skip`,
// the next `width`; the rest are only counted. `KeepsFirst` also keeps the
// first number when it is not stored (a row's energy, say); it costs a test
// per number, which the other rows do without.
struct Nothing {};

template <bool KeepsFirst>
struct BasicRowSink {
    double* row;
    std::size_t skip;
    std::size_t width;
    std::size_t count = 0;  // numbers in the row's text
    // The first number, when it is not stored; only kept when asked for.
    [[no_unique_address]] std::conditional_t<KeepsFirst, double, Nothing> first{};

    void operator()(double value) noexcept {
        const std::size_t column = count - skip;  // wraps to huge before `skip`
        if (column < width) {
            row[column] = value;
        } else if constexpr (KeepsFirst) {
            if (count == 0) {
                first = value;
            }
        }
        ++count;
    }

    // Where the next numbers go while they are stored, and in `room` how
    // many places follow (0 when the next number is not stored); numbers
    // written there count as read once `took` is told.
    double* places(std::size_t& room) const noexcept {
        const std::size_t column = count - skip;
        room = column < width ? width - column : 0;
        return room != 0 ? row + column : row;
    }
    void took(std::size_t n) noexcept { count += n; }
};

using RowSink = BasicRowSink<false>;
using FirstKeepingRowSink = BasicRowSink<true>;

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
        populated = 0;
    }

    // Adds the row of `text`: its `width` numbers after the first `skip`,
    // zero-padded. `sink` tells what the text held and where it went.
    template <class Sink>
    Status add_row(std::string_view text, Sink& sink) {
        sink = Sink{begin_row(), skip, width};
        std::string_view bad;
        if (!parse_floats(text, sink, bad)) {
            return invalid_float(bad);
        }
        return finish_row(sink.row, sink.count);
    }

    // The same in two steps, for a row parsed in place: room for one more
    // row, then its completion once `count` numbers were stored through a
    // RowSink. A row begun and not finished is taken back by drop_row.
    double* begin_row() { return values.grow_by(width); }
    // Room for `count` more values, whose pages are mapped a stretch ahead
    // at a time rather than one fault at a time as they are written.
    double* begin_rows(std::size_t count) {
        const std::size_t at = values.size();
        double* room = values.grow_by(count);
        if (at + count > populated) {
            constexpr std::size_t kStretch = (std::size_t{512} << 10) / sizeof(double);
            values.populate(at, count + kStretch);
            populated = at + count + kStretch;
        }
        return room;
    }
    void drop_row() noexcept { values.shrink_by(width); }
    // Fails when the padding would outgrow the numbers read by far, so that
    // many short rows under a long field list cannot take memory out of
    // proportion to the file, and when the row holds fewer than
    // `min_numbers` numbers.
    Status finish_row(double* row, std::size_t count) {
        // A row that fills its width and holds enough numbers adds at least
        // as many numbers as places, so the proportion cannot tip on it.
        if (count >= skip + width && count >= min_numbers) [[likely]] {
            ++rows;
            numbers += count;
            return {};
        }
        return finish_short_row(row, count);
    }

    // Re-lays every stored row out at `new_width` values: zero-padded when
    // wider, cut when narrower.
    void set_width(std::size_t new_width);

    std::size_t levels;
    std::size_t width;
    std::size_t skip = 0;         // leading values of each row that are not kept
    std::size_t min_numbers = 0;  // a row with fewer numbers is a ShapeMismatch
    HeapArray<double> values;  // rows * width
    // counts[l][i]: members of the i-th set at depth l (0 = the outer set),
    // in document order; the members of the deepest sets are rows.
    std::vector<std::vector<std::uint64_t>> counts;
    std::uint64_t rows = 0;
    std::uint64_t numbers = 0;     // numbers in the rows' texts, padding excluded
    std::uint64_t top_member = 0;  // index of the outer set's member being read
    std::size_t populated = 0;     // values before this have their pages mapped (or are written)

private:
    Status finish_short_row(double* row, std::size_t count);
};


namespace detail {

// The rows of a deepest set. Rows are nearly all of a bulk section, so a
// plain `<r>` of plain numbers is parsed straight from the document; anything
// else goes through events and the general number syntax. Nothing keeps a
// view into the text after the outer set's start tag (`tree_text`), so the
// pages of the rows read become room for the numbers (or are given back).
template <class Sink, class OnRow>
Status read_rows(XmlCursor& cursor, SetTree& tree, const char* tree_text, std::uint64_t& members,
                 OnRow& on_row) {
    XmlEvent event;
    std::string_view text;
    // Rows that fill their width exactly, nearly all of them, are read many
    // at a time into room made once; a row of another shape stops the run
    // and is read below, with the next few, so that rows of other shapes are
    // not read twice over. Rows that keep their first number go one by one.
    constexpr std::size_t kNumbersAtOnce = 1024;
    constexpr std::size_t kRowsAfterMiss = 64;
    const std::size_t rows_at_once =
        std::is_same_v<Sink, RowSink> && tree.width != 0 && tree.min_numbers <= tree.skip + tree.width
            ? kNumbersAtOnce / tree.width
            : 0;
    std::size_t single_rows = 0;
    for (;;) {
        QV_TRY(cursor.checkpoint(tree_text, &tree.values));
        if (single_rows != 0) {
            --single_rows;
        } else if (rows_at_once != 0) {
            double* const room = tree.begin_rows(rows_at_once * tree.width);
            const std::size_t read = cursor.read_full_rows<Sink>(tree.skip, tree.width, room, rows_at_once);
            tree.values.shrink_by((rows_at_once - read) * tree.width);
            if (read != 0) {
                members += read;
                tree.rows += read;
                tree.numbers += read * (tree.skip + tree.width);
                Sink full{nullptr, tree.skip, tree.width};
                full.count = tree.skip + tree.width;
                QV_TRY(on_row(static_cast<const Sink&>(full)));
                continue;
            }
            single_rows = kRowsAfterMiss;
        }
        Sink sink{tree.begin_row(), tree.skip, tree.width};
        if (cursor.read_number_element("r", sink)) {
            ++members;
            QV_TRY(tree.finish_row(sink.row, sink.count));
            QV_TRY(on_row(static_cast<const Sink&>(sink)));
            continue;
        }
        tree.drop_row();
        QV_TRY(cursor.next_event(event));
        if (event.kind == EventKind::Start) {
            if (event.name != "r") {
                QV_TRY(cursor.skip_element());
                continue;
            }
            ++members;
            QV_TRY(cursor.read_text(text));
            QV_TRY(tree.add_row(text, sink));
            QV_TRY(on_row(static_cast<const Sink&>(sink)));
        } else if (event.kind == EventKind::Empty && event.name == "r" && tree.min_numbers != 0) {
            return ParseError::shape_mismatch({tree.min_numbers}, {0});  // a row without its numbers
        } else if ((event.kind == EventKind::End && event.name == "set") || event.kind == EventKind::Eof) {
            return {};
        }
    }
}

template <class Sink, class OnRow>
Status read_set_level(XmlCursor& cursor, SetTree& tree, const char* tree_text, std::size_t level,
                      OnRow& on_row) {
    std::uint64_t members = 0;
    if (level == tree.levels) {
        QV_TRY(read_rows<Sink>(cursor, tree, tree_text, members, on_row));
    } else {
        QV_TRY(for_each_child(cursor, "set", [&](const XmlEvent& child) -> Status {
            if (child.name != "set") {
                return cursor.skip_element();
            }
            if (level == 0) {
                tree.top_member = members;
            }
            ++members;
            return read_set_level<Sink>(cursor, tree, tree_text, level + 1, on_row);
        }));
    }
    tree.counts[level].push_back(members);
    return {};
}

}  // namespace detail

// Reads the outer `set` whose start tag was just read into `tree`, replacing
// what it held. Each row is stored in the tree, then shown to
// `on_row(const Sink&)`: what its text held, and where it was stored.
template <class Sink = RowSink, class OnRow>
Status read_set_tree(XmlCursor& cursor, SetTree& tree, OnRow&& on_row) {
    tree.clear();
    return detail::read_set_level<Sink>(cursor, tree, cursor.position(), 0, on_row);
}

// Dimensions from the first set of each level: the members of the outer set,
// then of the first set below it, and so on (0 below an empty level).
std::vector<std::uint64_t> first_set_dimensions(const SetTree& tree);

// The dense, zero-filled, row-major array of shape dims x tree.width. Fails
// with ShapeMismatch when a set has more members than the first set of its
// level, or when the dimensions are out of proportion to the data read.
Status build_dense(SetTree& tree, const std::vector<std::uint64_t>& dims, HeapArray<double>& out);

}  // namespace quorvel

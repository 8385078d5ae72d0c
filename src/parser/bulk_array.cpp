#include "parser/bulk_array.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "parser/set_tree.hpp"

namespace quorvel {

namespace {

std::size_t columns_of(const BulkLayout& layout, const BulkArray& array) {
    return layout.columns != 0 ? layout.columns : std::max(layout.min_columns, array.fields.size());
}

// The rows of the last outer set against the layout's column count, which
// the titles give only once the array has ended.
Status check_row_lengths(const BulkLayout& layout, const SetTree& tree, std::size_t columns,
                         std::size_t longest_row) {
    const std::size_t numbers = longest_row > tree.skip ? longest_row - tree.skip : 0;
    if (layout.long_rows_fail && numbers > columns) {
        return ParseError::shape_mismatch({columns}, {numbers});
    }
    if (columns == 0 && numbers != 0) {
        return ParseError::shape_mismatch({0}, {numbers});  // values without columns
    }
    // Titles after the data: rows were kept at the width known then, which
    // must have held every value that has a column.
    const std::size_t needed = std::min(numbers, columns);
    if (needed > tree.width) {
        return ParseError::shape_mismatch({tree.width}, {needed});
    }
    return {};
}

// Reads an outer set into `tree`, noting its longest row; with a `Sink`
// that keeps the first number, the energies of the first deepest set are
// kept too.
template <class Sink>
Status read_outer_set(XmlCursor& cursor, SetTree& tree, BulkArray& array, std::size_t& longest_row) {
    return read_set_tree<Sink>(cursor, tree, [&](const Sink& row) __attribute__((always_inline)) -> Status {
        longest_row = std::max(longest_row, row.count);
        if constexpr (std::is_same_v<Sink, FirstKeepingRowSink>) {
            // While the first deepest set is read, no set of its level has ended.
            if (row.count != 0 && tree.counts[tree.levels].empty()) {
                array.energies.push_back(row.first);
            }
        }
        return {};
    });
}

Status read_array(XmlCursor& cursor, const BulkLayout& layout, SetTree& tree, BulkArray& array) {
    tree.clear();
    array.fields.clear();
    array.energies.clear();
    bool energy_title = layout.energy_first;
    std::size_t longest_row = 0;
    QV_TRY(for_each_child(cursor, "array", [&](const XmlEvent& child) -> Status {
        if (child.name == "field" && layout.columns == 0) {
            std::string_view text;
            QV_TRY(cursor.read_text(text));
            if (!std::exchange(energy_title, false)) {
                array.fields.emplace_back(text);
            }
            return {};
        }
        if (child.name != "set") {
            return cursor.skip_element();
        }
        // VASP writes the titles before the sets, so rows are laid out at
        // their final width from the start.
        tree.clear();
        tree.set_width(columns_of(layout, array));
        tree.min_numbers = layout.whole_rows ? tree.skip + tree.width : 0;
        array.energies.clear();
        longest_row = 0;
        return layout.keep_energies ? read_outer_set<FirstKeepingRowSink>(cursor, tree, array, longest_row)
                                    : read_outer_set<RowSink>(cursor, tree, array, longest_row);
    }));
    if (!layout.missing_sets.empty() && (tree.counts[0].empty() || tree.counts[0].front() == 0)) {
        return ParseError::missing_element(std::string(layout.missing_sets));
    }
    const std::size_t columns = columns_of(layout, array);
    QV_TRY(check_row_lengths(layout, tree, columns, longest_row));
    tree.set_width(columns);
    array.shape = first_set_dimensions(tree);
    QV_TRY(build_dense(tree, array.shape, array.values));
    array.shape.push_back(columns);
    return {};
}

}  // namespace

Status read_bulk_array(XmlCursor& cursor, const BulkLayout& layout, BulkArray& array) {
    SetTree tree(layout.set_levels, layout.columns);
    tree.skip = layout.energy_first ? 1 : 0;
    return read_array(cursor, layout, tree, array);
}

Status read_bulk_section(XmlCursor& cursor, std::string_view container, const BulkLayout& layout,
                         BulkArray& array) {
    SetTree tree(layout.set_levels, layout.columns);
    tree.skip = layout.energy_first ? 1 : 0;
    bool found = false;
    QV_TRY(for_each_child(cursor, container, [&](const XmlEvent& child) -> Status {
        if (child.name != "array") {
            return cursor.skip_element();
        }
        found = true;
        return read_array(cursor, layout, tree, array);
    }));
    if (!found) {
        return ParseError::missing_element(std::string(layout.missing_array));
    }
    return {};
}

}  // namespace quorvel

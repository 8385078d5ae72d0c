// The one `array` of a bulk section (eigenvalues, projections, densities of
// states, dielectric function): its field titles and the rows of its nested
// `set`s, read into one dense, row-major array. A section says how its
// array is laid out (BulkLayout) and does the rest with the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "heap_array.hpp"
#include "parser/helpers.hpp"
#include "run_record.hpp"

namespace quorvel {

struct BulkLayout {
    std::string_view missing_array;  // MissingElement text when the section has no `array`
    // MissingElement text when the array has no set below the outer one;
    // empty when that is allowed.
    std::string_view missing_sets = {};
    std::size_t set_levels = 0;    // levels of child sets between the outer set and the rows
    std::size_t columns = 0;       // numbers kept per row; 0: one per field title
    std::size_t min_columns = 0;   // with columns from the titles: at least this many
    bool energy_first = false;     // a row's first number is its energy, not a column (and titled
                                   // by the first field, which is then no column's title)
    bool keep_energies = false;    // energy_first: the energies are wanted
    bool whole_rows = false;       // a row without a number for each column (and its energy),
                                   // `<r/>` included, is a ShapeMismatch, not a row of zeros
    bool long_rows_fail = false;   // a row with more numbers than columns is a ShapeMismatch;
                                   // otherwise the extra numbers are ignored
};

struct BulkArray {
    std::vector<std::string> fields;   // titles of the kept columns, when they come from titles
    HeapArray<double> energies;        // keep_energies: those of the rows of the first deepest set
    std::vector<std::uint64_t> shape;  // members of the first set of each level, then the columns
    HeapArray<double> values;          // dense; zeros where sets or rows are short
};

// Reads the section `container`, whose start tag was just read, up to its end
// tag: its last `array`, laid out as `layout` says.
Status read_bulk_section(XmlCursor& cursor, std::string_view container, const BulkLayout& layout,
                         BulkArray& array);

// Reads the `array` whose start tag was just read, laid out as `layout` says;
// for sections that hold other children beside their array.
Status read_bulk_array(XmlCursor& cursor, const BulkLayout& layout, BulkArray& array);

// The array's values and shape into a record array of the same rank.
template <std::size_t Rank, std::uint64_t... Fixed>
void take_dense(BulkArray& array, DenseArray<Rank, Fixed...>& dense) {
    for (std::size_t i = 0; i < Rank; ++i) {
        dense.shape[i] = array.shape[i];
    }
    dense.data = std::move(array.values);
}

}  // namespace quorvel

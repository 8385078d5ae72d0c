// The `eigenvalues` element of a calculation: energy and occupancy of every
// band at every k-point of every spin, as one dense array.
#include "parser/bulk_array.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// Spin, k-point; a row per band of energy and occupancy, both required.
constexpr BulkLayout kEigenvalues{
    .missing_array = "array inside eigenvalues",
    .missing_sets = "spin sets in eigenvalues",
    .set_levels = 2,
    .columns = 2,
    .whole_rows = true,
};

}  // namespace

Status parse_eigenvalues(XmlCursor& cursor, EigenvalueArray& eigenvalues) {
    BulkArray array;
    QV_TRY(read_bulk_section(cursor, "eigenvalues", kEigenvalues, array));
    take_dense(array, eigenvalues.values);
    return {};
}

}  // namespace quorvel

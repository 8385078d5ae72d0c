// The `eigenvalues` element of a calculation: energy and occupancy of every
// band at every k-point of every spin, as one dense array.
#include <limits>

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

// The same, with the columns the field titles name: VASP 6.6 writes the
// energies of its second k-point set without occupancies.
constexpr BulkLayout kTitledEigenvalues{
    .missing_array = "array inside eigenvalues",
    .missing_sets = "spin sets in eigenvalues",
    .set_levels = 2,
    .min_columns = 1,
    .whole_rows = true,
};

}  // namespace

Status parse_titled_eigenvalues(XmlCursor& cursor, EigenvalueArray& eigenvalues) {
    BulkArray array;
    QV_TRY(read_bulk_section(cursor, "eigenvalues", kTitledEigenvalues, array));
    const std::size_t columns = static_cast<std::size_t>(array.shape[3]);
    if (columns == 2) {
        take_dense(array, eigenvalues.values);
        return {};
    }
    // An energy and its occupancy, which is not a number where not written.
    const std::size_t states = columns == 0 ? 0 : array.values.size() / columns;
    auto& values = eigenvalues.values;
    values.shape = {array.shape[0], array.shape[1], array.shape[2], 2};
    double* out = values.data.grow_by(states * 2);
    for (std::size_t i = 0; i < states; ++i) {
        out[2 * i] = array.values[i * columns];
        out[2 * i + 1] = columns >= 2 ? array.values[i * columns + 1] : std::numeric_limits<double>::quiet_NaN();
    }
    return {};
}

Status parse_eigenvalues(XmlCursor& cursor, EigenvalueArray& eigenvalues) {
    BulkArray array;
    QV_TRY(read_bulk_section(cursor, "eigenvalues", kEigenvalues, array));
    take_dense(array, eigenvalues.values);
    return {};
}

}  // namespace quorvel

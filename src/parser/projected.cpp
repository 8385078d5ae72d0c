// The `projected` element of a calculation: the weight of every orbital of
// every ion in every band state, as one dense five-axis array.
#include "parser/bulk_array.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// Spin, k-point, band; a row per ion, a column per orbital field (at least
// one), and no row longer than that.
constexpr BulkLayout kProjected{
    .missing_array = "array inside projected",
    .missing_sets = "spin sets in projected",
    .set_levels = 3,
    .min_columns = 1,
    .long_rows_fail = true,
};

void take_projected(BulkArray& array, ProjectedArray& projected) {
    projected.orbitals = std::move(array.fields);
    take_dense(array, projected.values);
}

}  // namespace

Status parse_projected_array(XmlCursor& cursor, ProjectedArray& projected) {
    BulkArray array;
    QV_TRY(read_bulk_array(cursor, kProjected, array));
    take_projected(array, projected);
    return {};
}

Status parse_projected_section(XmlCursor& cursor, ProjectedArray& projected) {
    BulkArray array;
    QV_TRY(read_bulk_section(cursor, "projected", kProjected, array));
    take_projected(array, projected);
    return {};
}

}  // namespace quorvel

// The `dielectricfunction` element of a calculation: the imaginary and real
// parts, each a table of an energy and six tensor components per row.
#include "parser/bulk_array.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// Rows right in the set (or in the `array` of a conductivity table): an
// energy, then six tensor components.
constexpr BulkLayout six_components(const char* missing_array) {
    return BulkLayout{
        .missing_array = missing_array,
        .set_levels = 0,
        .columns = 6,
        .energy_first = true,
        .keep_energies = true,
        .whole_rows = true,
    };
}

constexpr BulkLayout kComponent = six_components("array inside dielectric component");
constexpr BulkLayout kConductivity = six_components("array inside conductivity");

}  // namespace

Status parse_conductivity(XmlCursor& cursor, Conductivity& conductivity) {
    BulkArray array;
    QV_TRY(read_bulk_section(cursor, "conductivity", kConductivity, array));
    conductivity.energies = std::move(array.energies);
    take_dense(array, conductivity.values);
    return {};
}

Status parse_dielectric(XmlCursor& cursor, DielectricData& dielectric) {
    std::optional<BulkArray> imag;
    std::optional<BulkArray> real;
    QV_TRY(for_each_child(cursor, "dielectricfunction", [&](const XmlEvent& child) -> Status {
        if (child.name == "imag" || child.name == "real") {
            std::optional<BulkArray>& slot = child.name == "imag" ? imag : real;
            BulkArray read;
            QV_TRY(read_bulk_section(cursor, child.name, kComponent, read));
            slot = std::move(read);
            return {};
        }
        return cursor.skip_element();
    }));
    if (!imag) {
        return ParseError::missing_element("imag inside dielectricfunction");
    }
    dielectric.energies = std::move(imag->energies);
    take_dense(*imag, dielectric.imag);
    if (real) {
        take_dense(*real, dielectric.real);
    } else {
        dielectric.real.shape = dielectric.imag.shape;
        dielectric.real.data = HeapArray<double>(dielectric.imag.data.size());
    }
    return {};
}

}  // namespace quorvel

// The `dos` element of a calculation: the Fermi energy, the total density of
// states per spin and, when present, the partial density of states per ion,
// spin and orbital.
#include <algorithm>

#include "pages.hpp"
#include "parser/bulk_array.hpp"
#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// Spin; a row per grid point: energy, density, integrated density.
constexpr BulkLayout kTotal{
    .missing_array = "array inside dos/total",
    .missing_sets = "spin sets in DOS",
    .set_levels = 1,
    .columns = 2,
    .energy_first = true,
    .keep_energies = true,
    .whole_rows = true,
};

// Ion, spin; a row per grid point: the energy, then a column per orbital
// field after the energy's own.
constexpr BulkLayout kPartial{
    .missing_array = "array inside dos/partial",
    .set_levels = 2,
    .energy_first = true,
    .whole_rows = true,
};

Status parse_total(XmlCursor& cursor, DosTotal& total) {
    BulkArray array;
    QV_TRY(read_bulk_section(cursor, "total", kTotal, array));
    const std::uint64_t nspins = array.shape[0], nedos = array.shape[1];
    const std::size_t cells = static_cast<std::size_t>(nspins * nedos);
    total.energies = std::move(array.energies);
    total.densities.data = HeapArray<double>(cells);
    total.integrated.data = HeapArray<double>(cells);
    for (std::size_t i = 0; i < cells; ++i) {
        total.densities.data[i] = array.values[i * 2];
        total.integrated.data[i] = array.values[i * 2 + 1];
    }
    total.densities.shape = {nspins, nedos};
    total.integrated.shape = {nspins, nedos};
    return {};
}

// The rows are stored per ion and spin, a grid point's orbitals side by
// side; the record wants (spin, ion, orbital, grid point).
void transpose_partial(BulkArray& array, DosPartial& partial) {
    const std::uint64_t nions = array.shape[0], nspins = array.shape[1], nedos = array.shape[2];
    const std::uint64_t norbitals = array.shape[3];
    partial.values.shape = {nspins, nions, norbitals, nedos};
    const HeapArray<double>& rows = array.values;
    // Every element is written below, so the array is not zero-filled first.
    partial.values.data = HeapArray<double>();
    double* const out = partial.values.data.grow_by(static_cast<std::size_t>(nspins * nions * norbitals * nedos));
    // Grid points in blocks, so that the rows read for one block stay in the
    // cache while each orbital's run of it is written. The rows are taken in
    // the order they are stored and given back as they are done with, so the
    // two copies never need room side by side.
    constexpr std::uint64_t kBlock = 256;
    // Given back a megabyte or more at a time, and only from rows large
    // enough for it to matter: each call makes the system flush the other
    // threads' views of this memory, and small rows live on the allocator's
    // heap, which would only have to map the pages again.
    constexpr std::size_t kGiveBackStep = (std::size_t{1} << 20) / sizeof(double);
    const bool give_back = rows.size() * sizeof(double) >= kOwnMappingMin;
    std::size_t given_back = 0;
    for (std::uint64_t i = 0; i < nions; ++i) {
        for (std::uint64_t s = 0; s < nspins; ++s) {
            const std::size_t ion_first = static_cast<std::size_t>(((i * nspins + s) * nedos) * norbitals);
            const double* ion_rows = rows.data() + ion_first;
            double* ion_out = out + (s * nions + i) * norbitals * nedos;
            for (std::uint64_t first = 0; first < nedos; first += kBlock) {
                const std::uint64_t last = std::min(nedos, first + kBlock);
                for (std::uint64_t o = 0; o < norbitals; ++o) {
                    for (std::uint64_t e = first; e < last; ++e) {
                        ion_out[o * nedos + e] = ion_rows[e * norbitals + o];
                    }
                }
            }
            const std::size_t done = ion_first + static_cast<std::size_t>(nedos * norbitals);
            if (give_back && done - given_back >= kGiveBackStep) {
                // From a step back: the page astride the last end is whole now.
                array.values.release_between(given_back > kGiveBackStep ? given_back - kGiveBackStep : 0, done);
                given_back = done;
            }
        }
    }
}

Status parse_partial_dos(XmlCursor& cursor, DosPartial& partial) {
    BulkArray array;
    QV_TRY(read_bulk_section(cursor, "partial", kPartial, array));
    partial.orbitals = std::move(array.fields);
    transpose_partial(array, partial);
    return {};
}

}  // namespace

Status parse_dos_section(XmlCursor& cursor, DosData& dos) {
    dos.efermi = 0.0;
    std::optional<DosTotal> total;
    dos.partial.reset();
    QV_TRY(for_each_child(cursor, "dos", [&](const XmlEvent& child) -> Status {
        if (child.name == "i") {
            const bool is_efermi = get_attribute(child, "name") == "efermi";
            std::string_view text;
            QV_TRY(cursor.read_text(text));
            if (is_efermi && !parse_f64(text, dos.efermi)) {
                dos.efermi = 0.0;
            }
            return {};
        }
        if (child.name == "total") {
            return parse_into(total, cursor, parse_total);
        }
        if (child.name == "partial") {
            return parse_into(dos.partial, cursor, parse_partial_dos);
        }
        return cursor.skip_element();
    }));
    if (!total) {
        return ParseError::missing_element("total inside dos");
    }
    dos.total = std::move(*total);
    return {};
}

}  // namespace quorvel

// The `dos` element of a calculation: the Fermi energy, the total density of
// states per spin and, when present, the partial density of states per ion,
// spin and orbital.
#include <algorithm>

#include "parser/numbers.hpp"
#include "parser/sections.hpp"
#include "parser/set_tree.hpp"

namespace quorvel {

namespace {

// Rows of the total part hold energy, density and integrated density.
constexpr std::size_t kTotalColumns = 3;

Status read_total_array(XmlCursor& cursor, SetTree& tree, DosTotal& total) {
    tree.clear();
    total.energies.clear();
    QV_TRY(for_each_child(cursor, "array", [&](const XmlEvent& child) -> Status {
        if (child.name != "set") {
            return cursor.skip_element(child.name);
        }
        total.energies.clear();
        return read_set_tree(cursor, tree, [&](std::size_t count, const double* row) -> Status {
            // The energy grid is that of the first spin.
            if (tree.top_member == 0 && count != 0) {
                total.energies.push_back(row[0]);
            }
            return {};
        });
    }));
    if (tree.counts[0].empty() || tree.counts[0].front() == 0) {
        return ParseError::missing_element("spin sets in DOS");
    }
    const std::vector<std::uint64_t> dims = first_set_dimensions(tree);
    HeapArray<double> rows;
    QV_TRY(build_dense(tree, dims, rows));
    const std::size_t cells = static_cast<std::size_t>(dims[0] * dims[1]);
    total.densities.data = HeapArray<double>(cells);
    total.integrated.data = HeapArray<double>(cells);
    for (std::size_t i = 0; i < cells; ++i) {
        total.densities.data[i] = rows[i * kTotalColumns + 1];
        total.integrated.data[i] = rows[i * kTotalColumns + 2];
    }
    total.densities.shape = {dims[0], dims[1]};
    total.integrated.shape = {dims[0], dims[1]};
    return {};
}

Status parse_total(XmlCursor& cursor, DosTotal& total) {
    SetTree tree(1, kTotalColumns);  // spin; one row per grid point
    bool found = false;
    QV_TRY(for_each_child(cursor, "total", [&](const XmlEvent& child) -> Status {
        if (child.name != "array") {
            return cursor.skip_element(child.name);
        }
        found = true;
        return read_total_array(cursor, tree, total);
    }));
    if (!found) {
        return ParseError::missing_element("array inside dos/total");
    }
    return {};
}

Status read_partial_array(XmlCursor& cursor, SetTree& tree, DosPartial& partial) {
    tree.clear();
    partial.orbitals.clear();
    bool energy_field = true;  // the first field names the energy column
    std::size_t longest_row = 0;
    QV_TRY(for_each_child(cursor, "array", [&](const XmlEvent& child) -> Status {
        if (child.name == "field") {
            std::string_view text;
            QV_TRY(cursor.read_text(text));
            if (!energy_field) {
                partial.orbitals.emplace_back(text);
            }
            energy_field = false;
            return {};
        }
        if (child.name != "set") {
            return cursor.skip_element(child.name);
        }
        tree.clear();
        tree.set_width(partial.orbitals.size());
        longest_row = 0;
        return read_set_tree(cursor, tree, [&](std::size_t count, const double*) -> Status {
            longest_row = std::max(longest_row, count);
            return {};
        });
    }));
    const std::size_t norbitals = partial.orbitals.size();
    if (norbitals == 0 && longest_row > 1) {
        return ParseError::shape_mismatch({0}, {longest_row - 1});  // values without orbital columns
    }
    // Values after the last orbital are ignored. Fields after the data:
    // rows were kept at the width known then, which must have held every
    // value that has an orbital.
    const std::size_t needed = longest_row > 1 ? std::min(longest_row - 1, norbitals) : 0;
    if (needed > tree.width) {
        return ParseError::shape_mismatch({tree.width}, {needed});
    }
    tree.set_width(norbitals);
    const std::vector<std::uint64_t> dims = first_set_dimensions(tree);  // ion, spin, grid point
    HeapArray<double> rows;
    QV_TRY(build_dense(tree, dims, rows));
    const std::uint64_t nions = dims[0], nspins = dims[1], nedos = dims[2];
    partial.values.shape = {nspins, nions, norbitals, nedos};
    // Every element is written below, so the array is not zero-filled first.
    partial.values.data = HeapArray<double>();
    double* const out = partial.values.data.grow_by(static_cast<std::size_t>(nspins * nions * norbitals * nedos));
    // Grid points in blocks, so that the rows read for one block stay in the
    // cache while each orbital's run of it is written. The rows are taken in
    // the order they are stored and given back as they are done with, so the
    // two copies never need room side by side.
    constexpr std::uint64_t kBlock = 256;
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
            rows.release_front(ion_first + static_cast<std::size_t>(nedos * norbitals));
        }
    }
    return {};
}

Status parse_partial_dos(XmlCursor& cursor, DosPartial& partial) {
    SetTree tree(2, 1);  // ion, spin; one row per grid point, without its energy
    tree.skip = 1;
    bool found = false;
    QV_TRY(for_each_child(cursor, "partial", [&](const XmlEvent& child) -> Status {
        if (child.name != "array") {
            return cursor.skip_element(child.name);
        }
        found = true;
        return read_partial_array(cursor, tree, partial);
    }));
    if (!found) {
        return ParseError::missing_element("array inside dos/partial");
    }
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
            DosTotal read;
            QV_TRY(parse_total(cursor, read));
            total = std::move(read);
            return {};
        }
        if (child.name == "partial") {
            DosPartial read;
            QV_TRY(parse_partial_dos(cursor, read));
            dos.partial = std::move(read);
            return {};
        }
        return cursor.skip_element(child.name);
    }));
    if (!total) {
        return ParseError::missing_element("total inside dos");
    }
    dos.total = std::move(*total);
    return {};
}

}  // namespace quorvel

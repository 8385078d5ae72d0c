// A `calculation` element: one ionic step (structure, energies, forces,
// stress, magnetization, self-consistency energies) and the bulk sections,
// which go to their own parsers or are passed over by byte search when the
// caller did not ask for them.
#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// Energies of an `energy` element; values that do not parse are 0.0.
Status parse_energy(XmlCursor& cursor, Energies& energies) {
    energies = Energies{};
    unsigned named = 0;        // which of the three were met, a bit each
    std::size_t entries = 0;   // child elements of any kind
    QV_TRY(for_each_child(
        cursor, "energy",
        [&](const XmlEvent& child) -> Status {
            ++entries;
            if (child.name != "i") {
                return cursor.skip_element();
            }
            const std::optional<std::string_view> name = get_attribute(child, "name");
            std::string_view text;
            QV_TRY(cursor.read_text(text));
            double value = 0.0;
            if (!parse_f64(text, value)) {
                value = 0.0;
            }
            if (name == "e_fr_energy") {
                energies.e_fr_energy = value;
                named |= 1;
            } else if (name == "e_wo_entrp") {
                energies.e_wo_entrp = value;
                named |= 2;
            } else if (name == "e_0_energy") {
                energies.e_0_energy = value;
                named |= 4;
            }
            return {};
        },
        [&](const XmlEvent&) -> Status {
            ++entries;
            return {};
        }));
    energies.only_these = entries == 3 && named == 7;
    return {};
}

// The energies of the last `energy` of a `scstep`.
Status parse_scstep(XmlCursor& cursor, Energies& energies) {
    energies = Energies{};
    return for_each_child(cursor, "scstep", [&](const XmlEvent& child) -> Status {
        if (child.name == "energy") {
            return parse_energy(cursor, energies);
        }
        return cursor.skip_element();
    });
}

// Parses a bulk section into `slot` (the last one wins), or passes it over.
template <class T>
Status parse_or_skip(XmlCursor& cursor, bool wanted, std::string_view name, std::optional<T>& slot,
                     Status (*parse)(XmlCursor&, T&)) {
    return wanted ? parse_into(slot, cursor, parse) : cursor.fast_skip(name);
}

}  // namespace

Status parse_calculation(XmlCursor& cursor, const SpeciesList& species, const ParseOptions& options,
                         CalculationResult& result) {
    // Each child is kept only when it is whole (see read_whole).
    std::optional<Structure> structure;
    std::optional<Energies> energies;
    std::optional<std::vector<Vec3>> forces;
    std::optional<std::vector<Vec3>> stress_rows;
    std::optional<FloatRows> magnetization;
    std::vector<Energies> scsteps;
    bool dielectric_read = false;

    QV_TRY(for_each_child(cursor, "calculation", [&](const XmlEvent& child) -> Status {
        const std::string_view name = child.name;
        if (name == "structure") {
            return read_whole(cursor, structure, [&](Structure& read) { return parse_structure(cursor, species, read); });
        }
        if (name == "energy") {
            return parse_into(energies, cursor, parse_energy);
        }
        if (name == "scstep") {
            std::optional<Energies> step;
            QV_TRY(parse_into(step, cursor, parse_scstep));
            if (step) {
                scsteps.push_back(*step);
            }
            return {};
        }
        if (name == "varray") {
            const std::optional<std::string_view> varray = get_attribute(child, "name");
            if (varray == "forces" || varray == "stress") {
                return read_whole(cursor, varray == "forces" ? forces : stress_rows,
                                  [&](std::vector<Vec3>& rows) { return cursor.read_vec3_rows(rows); });
            }
            if (varray == "magnetization") {
                return read_whole(cursor, magnetization, [&](FloatRows& rows) { return cursor.read_float_rows(rows); });
            }
            return cursor.skip_element();
        }
        if (name == "eigenvalues") {
            return parse_or_skip(cursor, options.parse_eigen, name, result.bulk.eigenvalues, parse_eigenvalues);
        }
        if (name == "projected") {
            return parse_or_skip(cursor, options.parse_projected, name, result.bulk.projected,
                                 parse_projected_section);
        }
        if (name == "dos") {
            return parse_or_skip(cursor, options.parse_dos, name, result.bulk.dos, parse_dos_section);
        }
        if (name == "dielectricfunction") {
            // The first one of a calculation wins; later ones are passed over.
            const bool first = !dielectric_read;
            dielectric_read = true;
            return parse_or_skip(cursor, first, name, result.bulk.dielectric, parse_dielectric);
        }
        return cursor.skip_element();
    }));

    // Cut off, a calculation is an ionic step only with its energies whole,
    // which VASP writes after the structure, forces and stress.
    if (structure && (energies || !cursor.input_ended())) {
        IonicStep step;
        step.structure = std::move(*structure);
        step.energies = energies.value_or(Energies{});
        if (forces) {
            step.forces = std::move(*forces);
        }
        if (stress_rows && stress_rows->size() >= 3) {
            step.stress = Mat3{(*stress_rows)[0], (*stress_rows)[1], (*stress_rows)[2]};
        }
        step.magnetization = std::move(magnetization);
        step.scsteps = std::move(scsteps);
        result.step = std::move(step);
    }
    return {};
}

void select_ionic_steps(std::vector<IonicStep>& steps, const ParseOptions& options) {
    const std::uint64_t offset = options.ionic_step_offset;
    const std::uint64_t skip = options.ionic_step_skip.value_or(0);
    if (offset >= steps.size()) {
        steps.clear();
        return;
    }
    const std::uint64_t stride = skip == 0 ? 1 : skip;
    std::size_t kept = 0;
    for (std::uint64_t i = offset; i < steps.size(); i += stride) {
        if (kept != i) {
            steps[kept] = std::move(steps[static_cast<std::size_t>(i)]);
        }
        ++kept;
        if (steps.size() - i <= stride) {
            break;  // the next index would pass the end (and could wrap around)
        }
    }
    steps.resize(kept);
}

}  // namespace quorvel

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

Status read_forces(XmlCursor& cursor, std::vector<Vec3>& forces) { return cursor.read_vec3_rows(forces); }

// The first three rows of the stress; zeros when there are fewer.
Status read_stress(XmlCursor& cursor, Mat3& stress) {
    std::vector<Vec3> rows;
    QV_TRY(cursor.read_vec3_rows(rows));
    stress = rows.size() >= 3 ? Mat3{rows[0], rows[1], rows[2]} : Mat3{};
    return {};
}

Status read_magnetization(XmlCursor& cursor, FloatRows& rows) { return cursor.read_float_rows(rows); }

// The children of a calculation. The bulk sections go straight to the
// record, where a later calculation's replaces an earlier one's.
constexpr Section kCalculation[] = {
    {.element = "structure", .read = into<&IonicStep::structure, read_structure>},
    {.element = "energy", .read = into<&IonicStep::energies, parse_energy>},
    {.element = "scstep", .read = into<&IonicStep::scsteps, parse_scstep>},
    {.element = "varray", .name = "forces", .read = into<&IonicStep::forces, read_forces>},
    {.element = "varray", .name = "stress", .read = into<&IonicStep::stress, read_stress>},
    {.element = "varray", .name = "magnetization", .read = into<&IonicStep::magnetization, read_magnetization>},
    {.element = "eigenvalues",
     .option = &ParseOptions::parse_eigen,
     .read = into<&RunRecord::eigenvalues, parse_eigenvalues>},
    {.element = "projected",
     .option = &ParseOptions::parse_projected,
     .read = into<&RunRecord::projected, parse_projected_section>},
    {.element = "dos", .option = &ParseOptions::parse_dos, .read = into<&RunRecord::dos, parse_dos_section>},
    {.element = "dielectricfunction", .merge = Merge::FirstKept, .read = into<&RunRecord::dielectric, parse_dielectric>},
};
static_assert(std::size(kCalculation) <= kMaxSections);

constexpr std::size_t kStructure = row_of(kCalculation, "structure");
constexpr std::size_t kEnergy = row_of(kCalculation, "energy");

}  // namespace

Status read_calculation(SectionWalk& walk, const XmlEvent&) {
    IonicStep step;
    HeldSections held;
    IonicStep* const outer = std::exchange(walk.step, &step);
    Status status = for_each_child(walk.cursor, "calculation", [&](const XmlEvent& child) {
        return read_section(walk, kCalculation, child, held);
    });
    walk.step = outer;
    QV_TRY(std::move(status));
    // Cut off, a calculation is an ionic step only with its energies whole,
    // which VASP writes after the structure, forces and stress.
    if (held[kStructure] && (held[kEnergy] || !walk.cursor.input_ended())) {
        walk.record.ionic_steps.push_back(std::move(step));
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

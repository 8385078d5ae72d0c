// A `calculation` element: one ionic step (structure, energies, forces,
// stress, magnetization, self-consistency energies) and the bulk sections,
// which go to their own parsers or are passed over by byte search when the
// caller did not ask for them.
#include <limits>

#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// A text of asterisks: Fortran's way of writing a number too wide for its field.
bool all_asterisks(std::string_view text) noexcept {
    return !text.empty() && text.find_first_not_of('*') == std::string_view::npos;
}

// The MD energy of `name`, when it is one.
std::optional<double>* md_energy(MdEnergies& md, std::string_view name) noexcept {
    if (name == "kinetic") {
        return &md.kinetic;
    }
    if (name == "lattice kinetic") {
        return &md.lattice_kinetic;
    }
    if (name == "nosepot") {
        return &md.nosepot;
    }
    if (name == "nosekinetic") {
        return &md.nosekinetic;
    }
    return name == "total" ? &md.total : nullptr;
}

// Which of the three energies `name` is: 0 for e_fr_energy, 1 for
// e_wo_entrp, 2 for e_0_energy, 3 for none.
unsigned energy_of(std::optional<std::string_view> name) noexcept {
    return name == "e_fr_energy" ? 0 : name == "e_wo_entrp" ? 1 : name == "e_0_energy" ? 2 : 3;
}

}  // namespace

std::uint32_t ScstepTermNames::search(std::string_view name) {
    for (std::uint32_t i = 0; i < texts_.size(); ++i) {
        if (same_text(texts_[i], name)) {
            return i;
        }
    }
    names_.emplace_back(name);
    texts_.assign(names_.begin(), names_.end());  // the list may have moved its texts
    return static_cast<std::uint32_t>(texts_.size() - 1);
}

Status parse_energy(XmlCursor& cursor, Energies& energies, MdEnergies* md, ScstepTermSink* scstep) {
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
                value = scstep != nullptr && all_asterisks(text) ? std::numeric_limits<double>::quiet_NaN() : 0.0;
            }
            const unsigned energy = energy_of(name);
            if (energy == 3 && scstep != nullptr && name) {
                scstep->terms.push_back(EnergyTerm{value, scstep->names.index(*name), scstep->scstep});
            }
            switch (energy) {
                case 0:
                    energies.e_fr_energy = value;
                    named |= 1;
                    break;
                case 1:
                    energies.e_wo_entrp = value;
                    named |= 2;
                    break;
                case 2:
                    energies.e_0_energy = value;
                    named |= 4;
                    break;
                default:
                    if (md != nullptr && name) {
                        if (std::optional<double>* slot = md_energy(*md, *name)) {
                            *slot = value;
                        }
                    }
            }
            return {};
        },
        [&](const XmlEvent&) -> Status {
            ++entries;
            return {};
        }));
    energies.only_these = entries == 3 && named == 7;
    energies.written = static_cast<std::uint8_t>(named);
    return {};
}

Status read_step_energies(XmlCursor& cursor, IonicStep& step, bool* whole) {
    MdEnergies md;
    return read_whole<Energies>(
        cursor, [&](Energies& energies) { return parse_energy(cursor, energies, &md, nullptr); },
        [&](Energies&& energies) {
            step.energies = energies;
            step.md = md.any() ? std::optional<MdEnergies>(md) : std::nullopt;
            if (whole != nullptr) {
                *whole = true;
            }
        });
}

namespace {

// The energies of the last `energy` of a `scstep`, and its named entries
// with the step's terms. The first of a step makes room for as many
// electronic steps and terms as the previous step had, so that a run's steps
// grow their lists once.
Status read_scstep(SectionWalk& walk, const XmlEvent&) {
    IonicStep& step = *walk.step;
    std::vector<EnergyTerm>& terms = step.scstep_terms;
    const std::size_t begin = terms.size();
    if (step.scsteps.empty()) {
        terms.reserve(walk.scstep_terms_held);
        step.scsteps.reserve(walk.scsteps_held);
    }
    ScstepTermSink sink{terms, walk.scstep_term_names, static_cast<std::uint32_t>(step.scsteps.size())};
    Energies energies;
    Status status = for_each_child(walk.cursor, "scstep", [&](const XmlEvent& child) -> Status {
        if (child.name == "energy") {
            terms.resize(begin);  // only the last one counts
            sink.names.start_row();
            return parse_energy(walk.cursor, energies, nullptr, &sink);
        }
        return walk.cursor.skip_element();
    });
    if (walk.cursor.input_ended() || !status.ok()) {
        terms.resize(begin);  // a cut electronic step contributes nothing
        if (walk.cursor.input_ended()) {
            return {};
        }
        return status;
    }
    if (terms.size() != begin) {
        sink.names.row_started_with(terms[begin].name);
    }
    step.scsteps.push_back(energies);
    walk.scstep_terms_held = terms.size();
    walk.scsteps_held = step.scsteps.size();
    return {};
}

Status read_step_energy(SectionWalk& walk, const XmlEvent&) { return read_step_energies(walk.cursor, *walk.step); }

Status read_forces(XmlCursor& cursor, std::vector<Vec3>& forces) { return cursor.read_vec3_rows(forces); }

// The first three rows of the stress; zeros, and no stress written, when
// there are fewer.
Status read_stress(SectionWalk& walk, const XmlEvent&) {
    return read_whole<std::vector<Vec3>>(
        walk.cursor, [&](std::vector<Vec3>& rows) { return walk.cursor.read_vec3_rows(rows); },
        [&](std::vector<Vec3>&& rows) {
            walk.step->stress_written = rows.size() >= 3;
            walk.step->stress = rows.size() >= 3 ? Mat3{rows[0], rows[1], rows[2]} : Mat3{};
        });
}

// The main density of states, or the KPOINTS_OPT one that VASP 6.6 writes
// before it with comment="kpoints_opt".
Status read_dos(SectionWalk& walk, const XmlEvent& start) {
    if (get_attribute(start, "comment") == "kpoints_opt") {
        return read_kpoints_opt_dos(walk, start);
    }
    return parse_into(walk.record.dos, walk.cursor, parse_dos_section);
}

Status read_magnetization(XmlCursor& cursor, FloatRows& rows) { return cursor.read_float_rows(rows); }

// The children of a calculation. The bulk sections go straight to the
// record, where a later calculation's replaces an earlier one's. The rows
// of sections that most runs lack come last, so that those runs do not pay
// for telling them apart.
constexpr Section kCalculation[] = {
    {.element = "structure", .read = into<&IonicStep::structure, read_structure>},
    {.element = "energy", .read = read_step_energy},
    {.element = "scstep", .read = read_scstep},
    {.element = "varray", .name = "forces", .read = into<&IonicStep::forces, read_forces>},
    {.element = "varray", .name = "stress", .read = read_stress},
    {.element = "varray", .name = "magnetization", .read = into<&IonicStep::magnetization, read_magnetization>},
    {.element = "eigenvalues",
     .option = &ParseOptions::parse_eigen,
     .read = into<&RunRecord::eigenvalues, parse_eigenvalues>},
    {.element = "projected",
     .option = &ParseOptions::parse_projected,
     .read = into<&RunRecord::projected, parse_projected_section>},
    {.element = "dos", .option = &ParseOptions::parse_dos, .read = read_dos},
    {.element = "dielectricfunction", .read = read_dielectric_function},
    {.element = "conductivity", .read = read_conductivity},
    {.element = "varray", .name = "epsilon", .read = into<&RunRecord::epsilon, parse_tensor>},
    {.element = "varray", .name = "epsilon_rpa", .read = into<&RunRecord::epsilon_rpa, parse_tensor>},
    {.element = "varray", .name = "epsilon_ion", .read = into<&RunRecord::epsilon_ion, parse_tensor>},
    {.element = "array", .name = "born_charges", .read = into<&RunRecord::born_charges, parse_born_charges>},
    {.element = "dynmat", .read = into<&RunRecord::dynmat, parse_dynmat>},
    {.element = "kpoints", .read = read_calculation_kpoints},
    {.element = "eigenvalues_kpoints_opt", .read = read_eigenvalues_kpoints_opt},
    {.element = "projected_kpoints_opt", .read = read_projected_kpoints_opt},
};
static_assert(std::size(kCalculation) <= kMaxSections);

constexpr std::size_t kStructure = row_of(kCalculation, "structure");
constexpr std::size_t kEnergy = row_of(kCalculation, "energy");

}  // namespace

Status read_calculation(SectionWalk& walk, const XmlEvent&) {
    IonicStep step;
    CalculationContext context;
    HeldSections held;
    IonicStep* const outer = std::exchange(walk.step, &step);
    walk.calculation = &context;
    Status status = for_each_child(walk.cursor, "calculation", [&](const XmlEvent& child) {
        return read_section(walk, kCalculation, child, held);
    });
    walk.step = outer;
    walk.calculation = nullptr;
    QV_TRY(std::move(status));
    finish_kpoints_opt(walk.record, context);
    walk.calculation_read = true;
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

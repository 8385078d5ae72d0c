// The document walker: finds `modeling`, hands each top-level section to the
// row of its table, checks the required sections and finishes the record.
#include <algorithm>
#include <utility>

#include "parser/sections.hpp"

namespace quorvel {

namespace {

// The atom list, which every later structure shares.
Status read_atominfo(SectionWalk& walk, AtomInfo& atom_info) {
    walk.forget_species();
    return parse_atominfo(walk.cursor, atom_info);
}

Status read_final_structure(SectionWalk& walk, const XmlEvent& start) {
    QV_TRY((into<&RunRecord::final_structure, read_structure>(walk, start)));
    walk.final_structure_read = walk.final_structure_read || !walk.cursor.input_ended();
    return {};
}

// A later structure without a name after the first calculation starts a
// step that a machine-learned force field predicted; the others are final.
Status read_later_structure(SectionWalk& walk, const XmlEvent& start) {
    if (!walk.calculation_read || get_attribute(start, "name")) {
        return read_final_structure(walk, start);
    }
    return read_whole<Structure>(
        walk.cursor, [&](Structure& structure) { return read_structure(walk, structure); },
        [&](Structure&& structure) {
            walk.predicted.emplace();
            walk.predicted->structure = std::move(structure);
            walk.predicted_whole = false;
        });
}

// The forces and the energy of the predicted step whose structure was read.
Status read_predicted_forces(SectionWalk& walk, const XmlEvent&) {
    if (!walk.predicted || walk.predicted_whole) {
        return walk.cursor.skip_element();
    }
    return read_whole<std::vector<Vec3>>(
        walk.cursor, [&](std::vector<Vec3>& rows) { return walk.cursor.read_vec3_rows(rows); },
        [&](std::vector<Vec3>&& rows) { walk.predicted->forces = std::move(rows); });
}

Status read_predicted_energy(SectionWalk& walk, const XmlEvent&) {
    if (!walk.predicted || walk.predicted_whole) {
        return walk.cursor.skip_element();
    }
    return read_step_energies(walk.cursor, *walk.predicted, &walk.predicted_whole);
}

// Before the next top-level element (or at the end): a predicted step with
// its energy joins the record; a structure that no energy followed is, in a
// whole file, the final structure it would be without force fields, and in
// a cut one nothing.
void settle_predicted(SectionWalk& walk, bool whole) {
    if (!walk.predicted) {
        return;
    }
    if (walk.predicted_whole) {
        walk.record.predicted_steps.push_back(PredictedStep{std::move(*walk.predicted), walk.record.ionic_steps.size()});
    } else if (whole) {
        walk.record.final_structure = std::move(walk.predicted->structure);
        walk.final_structure_read = true;
    }
    walk.predicted.reset();
    walk.predicted_whole = false;
}

// The top level of a run file. A structure named `finalpos` is the final
// one; of the others, the first is the initial one and later ones are final
// (or, after the first calculation and without a name, predicted steps).
constexpr Section kTopLevel[] = {
    {.element = "calculation", .read = read_calculation},
    {.element = "generator", .required = "generator", .read = into<&RunRecord::generator, parse_generator>},
    {.element = "incar", .required = "incar", .read = into<&RunRecord::incar, parse_incar>},
    {.element = "parameters", .read = into<&RunRecord::parameters, parse_parameters>},
    {.element = "atominfo", .required = "atominfo", .read = into<&RunRecord::atom_info, read_atominfo>},
    {.element = "kpoints", .required = "kpoints", .read = into<&RunRecord::kpoints, parse_kpoints>},
    // VASP writes the primitive cell at the top level of some files, before
    // the real initial structure and sometimes before the atom list; it is
    // neither the initial nor the final structure.
    {.element = "structure", .name = "primitive_cell", .read = skip_section},
    {.element = "structure", .name = "finalpos", .read = read_final_structure},
    {.element = "structure",
     .required = "structure[initialpos]",
     .merge = Merge::FirstKept,
     .read = into<&RunRecord::initial_structure, read_structure>},
    {.element = "structure", .read = read_later_structure},
    {.element = "varray", .name = "forces", .read = read_predicted_forces},
    {.element = "energy", .read = read_predicted_energy},
    {.element = "dielectricfunction", .read = read_dielectric_function},
    {.element = "conductivity", .read = read_conductivity},
};
static_assert(std::size(kTopLevel) <= kMaxSections);

// An error that does not say where it arose is placed where the reader
// stood when it was met: at the end of the element at fault, or inside it.
Status placed(Status status, const XmlCursor& cursor) {
    if (!status.ok() && !status.error().offset()) {
        status.error().at(cursor.offset());
    }
    return status;
}

Status read_top_level(SectionWalk& walk, HeldSections& held) {
    // What a top-level element gave is kept in owned copies, so its text is
    // not looked at again once it is read.
    const char* const first_element = walk.cursor.position();
    return for_each_child(walk.cursor, "modeling", [&](const XmlEvent& child) -> Status {
        // A predicted step ends where an element other than its forces, its
        // energy and its time begins.
        if (walk.predicted && child.name != "time" &&
            (walk.predicted_whole || (child.name != "varray" && child.name != "energy"))) {
            settle_predicted(walk, true);
        }
        QV_TRY(placed(read_section(walk, kTopLevel, child, held), walk.cursor));
        return walk.cursor.checkpoint(first_element);
    });
}

// The predicted steps among the kept ionic steps: of the `after` steps that
// come before one, those kept (offset, offset + skip, ...).
void place_predicted_steps(RunRecord& record, const ParseOptions& options) {
    const std::uint64_t offset = options.ionic_step_offset;
    const std::uint64_t stride = options.ionic_step_skip.value_or(0) == 0 ? 1 : *options.ionic_step_skip;
    for (PredictedStep& predicted : record.predicted_steps) {
        const std::uint64_t before = predicted.after <= offset ? 0 : (predicted.after - offset - 1) / stride + 1;
        predicted.after = std::min<std::uint64_t>(before, record.ionic_steps.size());
    }
}

}  // namespace

Status walk_document(std::string_view text, const ParseOptions& options, RunRecord& record,
                     ConsumedText* consumed, const Interruption* interruption, TextSupply* supply) {
    XmlCursor cursor(text, consumed, interruption, supply);
    XmlEvent event;
    do {
        QV_TRY(cursor.next_event(event));
        if (event.kind == EventKind::Eof) {
            return ParseError::missing_element("modeling");
        }
    } while (event.kind != EventKind::Start || event.name != "modeling");

    SectionWalk walk(cursor, options, record);
    HeldSections held;
    QV_TRY(read_top_level(walk, held));
    record.complete = !cursor.input_ended();
    settle_predicted(walk, record.complete);
    QV_TRY(check_required(kTopLevel, held));

    // Without a final structure of its own (a run killed before writing
    // it), the run ends where its last ionic step stands.
    if (!walk.final_structure_read) {
        record.final_structure =
            record.ionic_steps.empty() ? record.initial_structure : record.ionic_steps.back().structure;
    }
    record.all_ionic_steps = record.ionic_steps.size();
    select_ionic_steps(record.ionic_steps, options);
    place_predicted_steps(record, options);
    return {};
}

}  // namespace quorvel

// The document walker: finds `modeling`, hands each known top-level section
// to its parser, merges the calculations and checks the required sections.
#include <utility>

#include "parser/sections.hpp"

namespace quorvel {

namespace {

// Slots of the walk; single-valued sections keep the last one read.
struct WalkState {
    std::optional<GeneratorInfo> generator;
    std::optional<IncarMap> incar;
    std::optional<AtomInfo> atom_info;
    std::optional<KpointSet> kpoints;
    std::optional<Structure> initial_structure;
    std::optional<Structure> final_structure;
    std::vector<IonicStep> steps;
    std::optional<EigenvalueArray> eigenvalues;
    std::optional<ProjectedArray> projected;
    std::optional<DosData> dos;
    std::optional<DielectricData> dielectric;
    SpeciesList atoms;  // the atom list of `atom_info`, shared by the structures
};

template <class T>
Status parse_into(std::optional<T>& slot, XmlCursor& cursor, Status (*parse)(XmlCursor&, T&)) {
    T value;
    QV_TRY(parse(cursor, value));
    slot = std::move(value);
    return {};
}

Status read_structure(XmlCursor& cursor, const XmlEvent& start, WalkState& state) {
    const std::optional<std::string_view> name = get_attribute(start, "name");
    // VASP writes the primitive cell at the top level of some files, before
    // the real initial structure and sometimes before the atom list; it is
    // neither the initial nor the final structure.
    if (name == "primitive_cell") {
        return cursor.skip_element("structure");
    }
    const bool is_final = name == "finalpos";
    Structure structure;
    QV_TRY(parse_structure(cursor, state.atoms, structure));
    if (!is_final && !state.initial_structure) {
        state.initial_structure = std::move(structure);
    } else {
        state.final_structure = std::move(structure);
    }
    return {};
}

Status read_calculation(XmlCursor& cursor, const ParseOptions& options, WalkState& state) {
    CalculationResult result;
    QV_TRY(parse_calculation(cursor, state.atoms, options, result));
    if (result.step) {
        state.steps.push_back(std::move(*result.step));
    }
    if (result.eigenvalues) {
        state.eigenvalues = std::move(result.eigenvalues);
    }
    if (result.projected) {
        state.projected = std::move(result.projected);
    }
    if (result.dos) {
        state.dos = std::move(result.dos);
    }
    if (result.dielectric) {
        state.dielectric = std::move(result.dielectric);
    }
    return {};
}

Status read_top_level_element(XmlCursor& cursor, const XmlEvent& child, const ParseOptions& options,
                              WalkState& state) {
    const std::string_view name = child.name;
    if (name == "generator") {
        return parse_into(state.generator, cursor, parse_generator);
    }
    if (name == "incar") {
        return parse_into(state.incar, cursor, parse_incar);
    }
    if (name == "atominfo") {
        QV_TRY(parse_into(state.atom_info, cursor, parse_atominfo));
        state.atoms = std::make_shared<const std::vector<std::string>>(state.atom_info->atoms);
        return {};
    }
    if (name == "kpoints") {
        return parse_into(state.kpoints, cursor, parse_kpoints);
    }
    if (name == "structure") {
        return read_structure(cursor, child, state);
    }
    if (name == "calculation") {
        return read_calculation(cursor, options, state);
    }
    return cursor.skip_element(name);
}

Status read_top_level(XmlCursor& cursor, const ParseOptions& options, WalkState& state) {
    // What a top-level element gave is kept in owned copies, so its text is
    // not looked at again once it is read.
    const char* const first_element = cursor.position();
    return for_each_child(cursor, "modeling", [&](const XmlEvent& child) -> Status {
        QV_TRY(read_top_level_element(cursor, child, options, state));
        cursor.release_consumed(first_element);
        return {};
    });
}

}  // namespace

Status walk_document(std::string_view text, const ParseOptions& options, RunRecord& record,
                     ConsumedText consumed) {
    XmlCursor cursor(text, consumed);
    XmlEvent event;
    do {
        QV_TRY(cursor.next_event(event));
        if (event.kind == EventKind::Eof) {
            return ParseError::missing_element("modeling");
        }
    } while (event.kind != EventKind::Start || event.name != "modeling");

    WalkState state;
    QV_TRY(read_top_level(cursor, options, state));

    if (!state.generator) {
        return ParseError::missing_element("generator");
    }
    if (!state.incar) {
        return ParseError::missing_element("incar");
    }
    if (!state.atom_info) {
        return ParseError::missing_element("atominfo");
    }
    if (!state.kpoints) {
        return ParseError::missing_element("kpoints");
    }
    if (!state.initial_structure) {
        return ParseError::missing_element("structure[initialpos]");
    }

    record.generator = std::move(*state.generator);
    record.incar = std::move(*state.incar);
    record.atom_info = std::move(*state.atom_info);
    record.kpoints = std::move(*state.kpoints);
    record.final_structure =
        state.final_structure ? std::move(*state.final_structure) : *state.initial_structure;
    record.initial_structure = std::move(*state.initial_structure);
    select_ionic_steps(state.steps, options);
    record.ionic_steps = std::move(state.steps);
    if (options.parse_eigen) {
        record.eigenvalues = std::move(state.eigenvalues);
    }
    if (options.parse_projected) {
        record.projected = std::move(state.projected);
    }
    if (options.parse_dos && state.dos) {
        record.efermi = state.dos->efermi;
        record.dos = std::move(state.dos);
    }
    record.dielectric = std::move(state.dielectric);
    return {};
}

}  // namespace quorvel

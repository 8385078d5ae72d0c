// The document walker: finds `modeling`, hands each known top-level section
// to its parser, merges the calculations and checks the required sections.
#include <utility>

#include "parser/sections.hpp"

namespace quorvel {

namespace {

// Slots of the walk; single-valued sections keep the last one read.
struct WalkState {
    std::optional<GeneratorInfo> generator;
    std::optional<ParameterMap> incar;
    std::optional<ParameterMap> parameters;
    std::optional<AtomInfo> atom_info;
    std::optional<KpointSet> kpoints;
    std::optional<Structure> initial_structure;
    std::optional<Structure> final_structure;
    std::vector<IonicStep> steps;
    BulkSections bulk;
    SpeciesList atoms;  // the atom list of `atom_info`, shared by the structures
};

Status read_structure(XmlCursor& cursor, const XmlEvent& start, WalkState& state) {
    const std::optional<std::string_view> name = get_attribute(start, "name");
    // VASP writes the primitive cell at the top level of some files, before
    // the real initial structure and sometimes before the atom list; it is
    // neither the initial nor the final structure.
    if (name == "primitive_cell") {
        return cursor.skip_element();
    }
    const bool is_final = name == "finalpos";
    std::optional<Structure> structure;
    QV_TRY(read_whole(cursor, structure, [&](Structure& s) { return parse_structure(cursor, state.atoms, s); }));
    if (!structure) {
        return {};  // cut off
    }
    (!is_final && !state.initial_structure ? state.initial_structure : state.final_structure) = std::move(structure);
    return {};
}

Status read_calculation(XmlCursor& cursor, const ParseOptions& options, WalkState& state) {
    CalculationResult result;
    QV_TRY(parse_calculation(cursor, state.atoms, options, result));  // keeps what is whole when cut off
    if (result.step) {
        state.steps.push_back(std::move(*result.step));
    }
    state.bulk.take_from(std::move(result.bulk));
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
    if (name == "parameters") {
        return parse_into(state.parameters, cursor, parse_parameters);
    }
    if (name == "atominfo") {
        QV_TRY(parse_into(state.atom_info, cursor, parse_atominfo));
        if (!cursor.input_ended()) {
            state.atoms = std::make_shared<const std::vector<std::string>>(state.atom_info->atoms);
        }
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
    return cursor.skip_element();
}

Status read_top_level(XmlCursor& cursor, const ParseOptions& options, WalkState& state) {
    // What a top-level element gave is kept in owned copies, so its text is
    // not looked at again once it is read.
    const char* const first_element = cursor.position();
    return for_each_child(cursor, "modeling", [&](const XmlEvent& child) -> Status {
        QV_TRY(read_top_level_element(cursor, child, options, state));
        return cursor.checkpoint(first_element);
    });
}

}  // namespace

void BulkSections::take_from(BulkSections&& later) {
    const auto replace = [](auto& held, auto& newer) {
        if (newer) {
            held = std::move(newer);
        }
    };
    replace(eigenvalues, later.eigenvalues);
    replace(projected, later.projected);
    replace(dos, later.dos);
    replace(dielectric, later.dielectric);
}

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

    WalkState state;
    QV_TRY(read_top_level(cursor, options, state));
    record.complete = !cursor.input_ended();

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
    if (state.parameters) {
        record.parameters = std::move(*state.parameters);
    }
    // Without a final structure of its own (a run killed before writing
    // it), the run ends where its last ionic step stands.
    if (state.final_structure) {
        record.final_structure = std::move(*state.final_structure);
    } else if (!state.steps.empty()) {
        record.final_structure = state.steps.back().structure;
    } else {
        record.final_structure = *state.initial_structure;
    }
    record.initial_structure = std::move(*state.initial_structure);
    record.all_ionic_steps = state.steps.size();
    select_ionic_steps(state.steps, options);
    record.ionic_steps = std::move(state.steps);
    if (options.parse_eigen) {
        record.eigenvalues = std::move(state.bulk.eigenvalues);
    }
    if (options.parse_projected) {
        record.projected = std::move(state.bulk.projected);
    }
    if (options.parse_dos && state.bulk.dos) {
        record.efermi = state.bulk.dos->efermi;
        record.dos = std::move(state.bulk.dos);
    }
    record.dielectric = std::move(state.bulk.dielectric);
    return {};
}

}  // namespace quorvel

// The document walker: finds `modeling`, hands each top-level section to the
// row of its table, checks the required sections and finishes the record.
#include <utility>

#include "parser/sections.hpp"

namespace quorvel {

namespace {

// The atom list, which every later structure shares.
Status read_atominfo(SectionWalk& walk, AtomInfo& atom_info) {
    walk.forget_species();
    return parse_atominfo(walk.cursor, atom_info);
}

constexpr ReadSection kFinalStructure = into<&RunRecord::final_structure, read_structure>;

// The top level of a run file. A structure named `finalpos` is the final
// one; of the others, the first is the initial one and later ones are final.
constexpr Section kTopLevel[] = {
    {.element = "generator", .required = "generator", .read = into<&RunRecord::generator, parse_generator>},
    {.element = "incar", .required = "incar", .read = into<&RunRecord::incar, parse_incar>},
    {.element = "parameters", .read = into<&RunRecord::parameters, parse_parameters>},
    {.element = "atominfo", .required = "atominfo", .read = into<&RunRecord::atom_info, read_atominfo>},
    {.element = "kpoints", .required = "kpoints", .read = into<&RunRecord::kpoints, parse_kpoints>},
    // VASP writes the primitive cell at the top level of some files, before
    // the real initial structure and sometimes before the atom list; it is
    // neither the initial nor the final structure.
    {.element = "structure", .name = "primitive_cell", .read = skip_section},
    {.element = "structure", .name = "finalpos", .read = kFinalStructure},
    {.element = "structure",
     .required = "structure[initialpos]",
     .merge = Merge::FirstKept,
     .read = into<&RunRecord::initial_structure, read_structure>},
    {.element = "structure", .read = kFinalStructure},
    {.element = "calculation", .read = read_calculation},
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
        QV_TRY(placed(read_section(walk, kTopLevel, child, held), walk.cursor));
        return walk.cursor.checkpoint(first_element);
    });
}

bool holds_final_structure(const HeldSections& held) {
    for (std::size_t i = 0; i < std::size(kTopLevel); ++i) {
        if (kTopLevel[i].read == kFinalStructure && held[i]) {
            return true;
        }
    }
    return false;
}

}  // namespace

Status walk_document(std::string_view text, const ParseOptions& options, RunRecord& record,
                     ConsumedText* consumed, const Interruption* interruption) {
    XmlCursor cursor(text, consumed, interruption);
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
    QV_TRY(check_required(kTopLevel, held));

    // Without a final structure of its own (a run killed before writing
    // it), the run ends where its last ionic step stands.
    if (!holds_final_structure(held)) {
        record.final_structure =
            record.ionic_steps.empty() ? record.initial_structure : record.ionic_steps.back().structure;
    }
    record.all_ionic_steps = record.ionic_steps.size();
    select_ionic_steps(record.ionic_steps, options);
    return {};
}

}  // namespace quorvel

// The section parsers. Each is entered right after the start tag of its
// element and returns right after the matching end tag, or at the end of
// input, which ends a section quietly; only its required-child checks decide
// whether it fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "parser/helpers.hpp"
#include "run_record.hpp"

namespace quorvel {

// The atom list read so far, handed to every structure; null before the
// atom list.
using SpeciesList = Species::Symbols;

// The bulk sections of a calculation, or the last ones of the walk so far.
struct BulkSections {
    std::optional<EigenvalueArray> eigenvalues;
    std::optional<ProjectedArray> projected;
    std::optional<DosData> dos;
    std::optional<DielectricData> dielectric;

    // Each section `later` has replaces the one held.
    void take_from(BulkSections&& later);
};

// What one `calculation` element gave.
struct CalculationResult {
    std::optional<IonicStep> step;
    BulkSections bulk;
};

// Reads the element whose start tag was just read with `parse(T&)` into
// `slot`, replacing what it held. An element that the end of the input cuts
// off contributes nothing, and what went wrong in its cut text is no error:
// a run killed while writing its file keeps what it wrote whole. On failure
// the slot is left as it was.
template <class T, class Parse>
Status read_whole(XmlCursor& cursor, std::optional<T>& slot, Parse&& parse) {
    T value;
    Status status = parse(value);
    // A request to stop is no error of the text.
    if (cursor.input_ended() && (status.ok() || status.error().kind() != ErrorKind::Interrupted)) {
        return {};
    }
    QV_TRY(std::move(status));
    slot = std::move(value);
    return {};
}

template <class T>
Status parse_into(std::optional<T>& slot, XmlCursor& cursor, Status (*parse)(XmlCursor&, T&)) {
    return read_whole(cursor, slot, [&](T& value) { return parse(cursor, value); });
}

// The whole top level, from the search for `modeling` to the finished record.
// `consumed`, when given, hands on the pages of the text read on the way;
// `interruption`, when given, is asked every few megabytes whether to stop;
// `supply`, when given, writes the text on beyond its end while it is read.
Status walk_document(std::string_view text, const ParseOptions& options, RunRecord& record,
                     ConsumedText* consumed = nullptr, const Interruption* interruption = nullptr,
                     TextSupply* supply = nullptr);

Status parse_generator(XmlCursor& cursor, GeneratorInfo& generator);

Status parse_incar(XmlCursor& cursor, ParameterMap& incar);
IncarValue convert_incar_value(std::string_view text, std::string_view type);
// A `v` entry: always a list of floats, a token that does not convert being
// NaN in its place; a text with no number is a string.
IncarValue convert_vector_value(std::string_view text);
// The `i` or `v` entry whose start tag was just read, into `map` under its
// name (`keep_held`: not over a value already there); a `v` without a name
// is skipped, an `i` without one read and dropped.
Status read_parameter(XmlCursor& cursor, const XmlEvent& start, ParameterMap& map, bool keep_held);
// The same for an empty-element `i` or `v`.
void read_empty_parameter(const XmlEvent& empty, ParameterMap& map, bool keep_held);

// Every entry of the top-level `parameters` section, at any depth of its
// separators.
Status parse_parameters(XmlCursor& cursor, ParameterMap& parameters);

Status parse_atominfo(XmlCursor& cursor, AtomInfo& atom_info);

Status parse_kpoints(XmlCursor& cursor, KpointSet& kpoints);

Status parse_structure(XmlCursor& cursor, const SpeciesList& species, Structure& structure);

Status parse_calculation(XmlCursor& cursor, const SpeciesList& species, const ParseOptions& options,
                         CalculationResult& result);
// Steps offset, offset + skip, offset + 2 skip, ... of all steps.
void select_ionic_steps(std::vector<IonicStep>& steps, const ParseOptions& options);

Status parse_eigenvalues(XmlCursor& cursor, EigenvalueArray& eigenvalues);
Status parse_projected_section(XmlCursor& cursor, ProjectedArray& projected);
Status parse_dos_section(XmlCursor& cursor, DosData& dos);
Status parse_dielectric(XmlCursor& cursor, DielectricData& dielectric);

}  // namespace quorvel

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
#include "parse_options.hpp"
#include "parser/helpers.hpp"
#include "parser/section_table.hpp"
#include "run_record.hpp"

namespace quorvel {

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
// A structure whose species are the atom list read so far.
inline Status read_structure(SectionWalk& walk, Structure& structure) {
    return parse_structure(walk.cursor, walk.species(), structure);
}

// A `calculation`: its ionic step, when it has one, joins the record's
// steps, and its bulk sections replace those of earlier calculations.
Status read_calculation(SectionWalk& walk, const XmlEvent& start);
// Steps offset, offset + skip, offset + 2 skip, ... of all steps.
void select_ionic_steps(std::vector<IonicStep>& steps, const ParseOptions& options);

Status parse_eigenvalues(XmlCursor& cursor, EigenvalueArray& eigenvalues);
Status parse_projected_section(XmlCursor& cursor, ProjectedArray& projected);
Status parse_dos_section(XmlCursor& cursor, DosData& dos);
Status parse_dielectric(XmlCursor& cursor, DielectricData& dielectric);
Status parse_conductivity(XmlCursor& cursor, Conductivity& conductivity);
// Eigenvalues with the columns their titles name, as (.., 2) with NaN
// occupancies where none are written.
Status parse_titled_eigenvalues(XmlCursor& cursor, EigenvalueArray& eigenvalues);
// The `array` of a projections element, its start tag just read.
Status parse_projected_array(XmlCursor& cursor, ProjectedArray& projected);

// A `varray` of three rows of three: a dielectric tensor.
Status parse_tensor(XmlCursor& cursor, Mat3& tensor);
Status parse_born_charges(XmlCursor& cursor, DenseArray<3, 3, 3>& charges);
Status parse_dynmat(XmlCursor& cursor, Dynmat& dynmat);

// Where the named entries of an electronic step's `energy` other than the
// three of `Energies` go: its step's terms, named by the record's list.
struct ScstepTermSink {
    std::vector<EnergyTerm>& terms;
    ScstepTermNames& names;
    std::uint32_t scstep = 0;  // the index of the electronic step
};

// The energies of an `energy` element, with the MD energies where `md` is
// given; values that do not parse are 0.0. In an electronic step (`scstep`
// given), a value written as asterisks is NaN instead, and every other named
// entry joins the step's terms.
Status parse_energy(XmlCursor& cursor, Energies& energies, MdEnergies* md, ScstepTermSink* scstep);
// The `energy` of a step (with its MD energies) into `step` when whole;
// `whole`, when given, is then set.
Status read_step_energies(XmlCursor& cursor, IonicStep& step, bool* whole = nullptr);

// What the rows of a calculation share beyond its step: the calculation's
// own k-point set (the generation of a KPOINTS_OPT set), and what of the
// KPOINTS_OPT sections, dielectric functions and conductivity tables it gave.
struct CalculationContext {
    std::optional<KpointSet> kpoints;
    bool kpoints_opt = false;         // some KPOINTS_OPT section was read whole
    bool kpoints_opt_listed = false;  // with its own k-point list
    std::size_t dielectric_functions = 0;
    std::size_t unlabelled = 0;  // dielectric functions without a comment
    std::size_t conductivity = 0;
};

// The KPOINTS_OPT sections of a calculation; `dos` is the one with
// comment="kpoints_opt".
Status read_kpoints_opt_dos(SectionWalk& walk, const XmlEvent& start);
Status read_eigenvalues_kpoints_opt(SectionWalk& walk, const XmlEvent& start);
Status read_projected_kpoints_opt(SectionWalk& walk, const XmlEvent& start);
// A calculation's own `kpoints`.
Status read_calculation_kpoints(SectionWalk& walk, const XmlEvent& start);
// The calculation's KPOINTS_OPT k-points, when it gave sections without a list of their own.
void finish_kpoints_opt(RunRecord& record, CalculationContext& calculation);

// A dielectric function or conductivity table, in a calculation or outside
// any: it joins the record's list, where those of a calculation replace
// those of an earlier one.
Status read_dielectric_function(SectionWalk& walk, const XmlEvent& start);
Status read_conductivity(SectionWalk& walk, const XmlEvent& start);

}  // namespace quorvel

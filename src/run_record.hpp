// The records one parse produces. Plain structures that own their contents;
// the section parsers fill them and the walker moves them into the RunRecord,
// which the Python object then owns and only reads. What the users of a
// record assume of its fields together stands beside them (`mismatch`, see
// fields.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "fields.hpp"
#include "heap_array.hpp"
#include "values.hpp"

namespace quorvel {

struct GeneratorInfo {
    std::string program;
    std::string version;
    std::string subversion;
    std::string platform;
    std::string date;
    std::string time;

    static auto fields(auto& self) {
        return std::tuple{Field{"program", self.program}, Field{"version", self.version},
                          Field{"subversion", self.subversion}, Field{"platform", self.platform},
                          Field{"date", self.date}, Field{"time", self.time}};
    }
};

// One typed INCAR value; the alternatives are in the order of their kinds:
// Int, Float, Bool, String, FloatList.
using IncarValue = std::variant<std::int64_t, double, bool, std::string, std::vector<double>>;

// Insertion-ordered map of named parameters: a name that comes again keeps
// its first place.
class ParameterMap {
public:
    // The later value replaces the one held, unless `keep_held`.
    void insert(std::string name, IncarValue value, bool keep_held = false) {
        auto [it, inserted] = index_.try_emplace(name, entries_.size());
        if (inserted) {
            entries_.emplace_back(std::move(name), std::move(value));
        } else if (!keep_held) {
            entries_[it->second].second = std::move(value);
        }
    }
    const std::vector<std::pair<std::string, IncarValue>>& entries() const noexcept {
        return entries_;
    }
    std::size_t size() const noexcept { return entries_.size(); }
    const IncarValue* find(std::string_view name) const {
        auto it = index_.find(std::string(name));
        return it == index_.end() ? nullptr : &entries_[it->second].second;
    }

private:
    std::vector<std::pair<std::string, IncarValue>> entries_;
    std::unordered_map<std::string, std::size_t> index_;
};

struct AtomType {
    std::string element;
    std::string pseudopotential;
    std::uint64_t count = 0;
    double mass = 0.0;
    double valence = 0.0;

    static auto fields(auto& self) {
        return std::tuple{Field{"element", self.element}, Field{"count", self.count}, Field{"mass", self.mass},
                          Field{"valence", self.valence}, Field{"pseudopotential", self.pseudopotential}};
    }
};

struct AtomInfo {
    std::vector<std::string> atoms;
    std::vector<AtomType> atom_types;

    static auto fields(auto& self) {
        return std::tuple{Field{"atoms", self.atoms}, Field{"atom_types", self.atom_types}};
    }
};

// The recipe of a generated k-point set; each vector only where written.
struct KpointGeneration {
    std::string scheme;
    std::optional<std::array<std::int32_t, 3>> divisions;
    std::optional<Vec3> usershift;
    std::optional<Vec3> genvec1;
    std::optional<Vec3> genvec2;
    std::optional<Vec3> genvec3;
    std::optional<Vec3> shift;

    static auto fields(auto& self) {
        return std::tuple{Field{"scheme", self.scheme},   Field{"divisions", self.divisions},
                          Field{"usershift", self.usershift}, Field{"genvec1", self.genvec1},
                          Field{"genvec2", self.genvec2}, Field{"genvec3", self.genvec3},
                          Field{"shift", self.shift}};
    }
};

struct KpointLabel {
    std::uint64_t index = 0;
    std::string label;

    static auto fields(auto& self) { return std::tuple{Field{"index", self.index}, Field{"label", self.label}}; }
};

struct KpointSet {
    std::vector<Vec3> kpointlist;
    std::vector<double> weights;
    std::vector<KpointLabel> labels;
    std::optional<KpointGeneration> generation;

    static auto fields(auto& self) {
        return std::tuple{Field{"kpointlist", self.kpointlist}, Field{"weights", self.weights},
                          Field{"labels", self.labels}, Field{"generation", self.generation}};
    }
};

// The element symbols of a structure's positions. Every structure read
// after the same atom list shares that list instead of copying it, so a
// long run holds the symbols once, not once per step; without an atom list
// every position has the placeholder "X".
class Species {
public:
    using Symbols = std::shared_ptr<const std::vector<std::string>>;

    Species() = default;
    // The symbols of `atoms`, shared.
    explicit Species(Symbols atoms) noexcept : atoms_(std::move(atoms)) {}
    // `count` placeholders.
    static Species placeholders(std::size_t count) noexcept {
        Species species;
        species.placeholders_ = count;
        return species;
    }

    std::size_t size() const noexcept { return atoms_ ? atoms_->size() : placeholders_; }
    const std::string& operator[](std::size_t i) const noexcept {
        static const std::string kPlaceholder = "X";
        return atoms_ ? (*atoms_)[i] : kPlaceholder;
    }
    std::vector<std::string> to_vector() const {
        std::vector<std::string> symbols;
        for (std::size_t i = 0; i < size(); ++i) {
            symbols.push_back((*this)[i]);
        }
        return symbols;
    }
    // The shared list, or null for placeholders.
    const Symbols& shared() const noexcept { return atoms_; }

    friend bool operator==(const Species& species, const std::vector<std::string>& symbols) {
        return species.to_vector() == symbols;
    }

private:
    Symbols atoms_;
    std::size_t placeholders_ = 0;
};

// Selective-dynamics flags of one atom: whether x, y and z may move.
using Flags3 = std::array<bool, 3>;

struct Structure {
    Species species;
    std::vector<Vec3> positions;
    Mat3 lattice{};
    Mat3 rec_basis{};
    double volume = 0.0;
    std::optional<std::vector<Flags3>> selective;  // only where the file writes them
    std::optional<std::vector<Vec3>> velocities;   // MD runs write them in the top-level structures

    static auto fields(auto& self) {
        return std::tuple{Field{"species", self.species},       Field{"positions", self.positions},
                          Field{"lattice", self.lattice},       Field{"rec_basis", self.rec_basis},
                          Field{"volume", self.volume},         Field{"selective", self.selective},
                          Field{"velocities", self.velocities}};
    }
    static std::string mismatch(const Structure& self) {
        return self.species.size() == self.positions.size()
                   ? std::string()
                   : std::to_string(self.species.size()) + " species for " + std::to_string(self.positions.size()) +
                         " positions";
    }
};

struct Energies {
    double e_fr_energy = 0.0;
    double e_wo_entrp = 0.0;
    double e_0_energy = 0.0;
    // The `energy` element held these three entries and nothing else, as
    // in the steps of a linear-response loop.
    bool only_these = false;
    // Which of the three it held: 1 e_fr_energy, 2 e_wo_entrp, 4 e_0_energy.
    std::uint8_t written = 0;

    static auto fields(auto& self) {
        return std::tuple{Field{"e_fr_energy", self.e_fr_energy}, Field{"e_wo_entrp", self.e_wo_entrp},
                          Field{"e_0_energy", self.e_0_energy}, Field{"only_these", self.only_these},
                          Field{"written", self.written}};
    }
};

// The energies of a molecular-dynamics step, each only where written; the
// names are VASP's (and the keys of a step's dict).
struct MdEnergies {
    std::optional<double> kinetic;
    std::optional<double> lattice_kinetic;
    std::optional<double> nosepot;
    std::optional<double> nosekinetic;
    std::optional<double> total;

    bool any() const noexcept { return kinetic || lattice_kinetic || nosepot || nosekinetic || total; }

    static auto fields(auto& self) {
        return std::tuple{Field{"kinetic", self.kinetic}, Field{"lattice kinetic", self.lattice_kinetic},
                          Field{"nosepot", self.nosepot}, Field{"nosekinetic", self.nosekinetic},
                          Field{"total", self.total}};
    }
};

// One named entry of the `energy` of an electronic step other than the three
// of `Energies` (which VASP writes after the others): its value, the index of
// its name in the record's `scstep_term_names`, and the index of its
// electronic step among its ionic step's `scsteps`.
struct EnergyTerm {
    double value = 0.0;
    std::uint32_t name = 0;
    std::uint32_t scstep = 0;

    static auto fields(auto& self) {
        return std::tuple{Field{"value", self.value}, Field{"name", self.name}, Field{"scstep", self.scstep}};
    }
};

struct IonicStep {
    Structure structure;
    Energies energies;  // of the calculation's own `energy`
    std::optional<MdEnergies> md;  // absent when that `energy` has none of them
    std::vector<Vec3> forces;
    Mat3 stress{};
    // The calculation wrote a stress of three rows: a zero `stress` is then
    // a value, not a stand-in for one (machine-learned MD steps have none).
    bool stress_written = false;
    std::optional<FloatRows> magnetization;
    std::vector<Energies> scsteps;
    // The other named entries of the `energy` of each of `scsteps`, in file
    // order.
    std::vector<EnergyTerm> scstep_terms;

    static auto fields(auto& self) {
        return std::tuple{Field{"structure", self.structure},   Field{"energies", self.energies},
                          Field{"md", self.md},                 Field{"forces", self.forces},
                          Field{"stress", self.stress},         Field{"stress_written", self.stress_written},
                          Field{"magnetization", self.magnetization}, Field{"scsteps", self.scsteps},
                          Field{"scstep_terms", self.scstep_terms}};
    }
    // The terms of each electronic step follow those of the one before.
    static std::string mismatch(const IonicStep& self) {
        std::uint64_t scstep = 0;
        for (const EnergyTerm& term : self.scstep_terms) {
            if (term.scstep < scstep || term.scstep >= self.scsteps.size()) {
                return "energy terms out of the order of its " + std::to_string(self.scsteps.size()) +
                       " electronic steps";
            }
            scstep = term.scstep;
        }
        return {};
    }
};

// A molecular-dynamics step that a machine-learned force field predicted,
// written outside any calculation: its structure, energies and forces.
// `after` of the record's ionic steps come before it (of all the file's
// while reading, of the kept ones once they are selected).
struct PredictedStep {
    IonicStep step;
    std::uint64_t after = 0;

    static auto fields(auto& self) { return std::tuple{Field{"step", self.step}, Field{"after", self.after}}; }
};

// A dense row-major array of doubles with its dimensions. `Fixed` are the
// extents of its last axes where its users rely on them (the two columns of
// energy and occupancy, say): the type says so, and a restored state is held
// to it.
template <std::size_t Rank, std::uint64_t... Fixed>
struct DenseArray {
    static_assert(sizeof...(Fixed) <= Rank, "fixed extents are those of the last axes");

    HeapArray<double> data;
    std::array<std::uint64_t, Rank> shape{};

    static auto fields(auto& self) { return std::tuple{Field{"shape", self.shape}, Field{"data", self.data}}; }

    // Its users walk the extents over the values and lay them out as NumPy
    // strides (products of the extents other than 0, in bytes), so the
    // extents hold exactly the values, their strides fit a signed machine
    // word, and the fixed ones are what the type says.
    static std::string mismatch(const DenseArray& self) {
        std::uint64_t stride = sizeof(double), values = 1;
        for (const std::uint64_t extent : self.shape) {
            if (extent != 0 && __builtin_mul_overflow(stride, extent, &stride)) {
                return "shape " + extents_text(self.shape) + " beyond any memory";
            }
            values *= extent;  // at most stride / 8
        }
        if (stride > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
            return "shape " + extents_text(self.shape) + " beyond any memory";
        }
        if (values != self.data.size()) {
            return "shape " + extents_text(self.shape) + " over " + std::to_string(self.data.size()) + " values";
        }
        constexpr std::array<std::uint64_t, sizeof...(Fixed)> fixed{Fixed...};
        if (!std::equal(fixed.begin(), fixed.end(), self.shape.end() - fixed.size())) {
            std::array<std::uint64_t, Rank> read{};
            std::copy(fixed.begin(), fixed.end(), read.end() - fixed.size());
            return "shape " + extents_text(self.shape) + " where its users read " +
                   extents_text(read, Rank - fixed.size());
        }
        return {};
    }

private:
    // "(2, 3, 4)"; the first `free` extents as "*".
    static std::string extents_text(const std::array<std::uint64_t, Rank>& shape, std::size_t free = 0) {
        std::string text = "(";
        for (std::size_t i = 0; i < Rank; ++i) {
            text += (i == 0 ? "" : ", ") + (i < free ? std::string("*") : std::to_string(shape[i]));
        }
        return text + ")";
    }
};

struct EigenvalueArray {
    DenseArray<4, 2> values;  // (nspins, nkpts, nbands, 2): energy, occupancy

    static auto fields(auto& self) { return std::tuple{Field{"values", self.values}}; }
};

struct ProjectedArray {
    std::vector<std::string> orbitals;
    DenseArray<5> values;  // (nspins, nkpts, nbands, nions, norbitals)

    static auto fields(auto& self) {
        return std::tuple{Field{"data", self.values}, Field{"orbitals", self.orbitals}};
    }
    // A column for each label; a table without labels still has one.
    static std::string mismatch(const ProjectedArray& self) {
        const std::uint64_t columns = std::max<std::uint64_t>(self.orbitals.size(), 1);
        return self.values.shape[4] == columns ? std::string()
                                               : std::to_string(self.orbitals.size()) + " orbital labels for " +
                                                     std::to_string(self.values.shape[4]) + " columns";
    }
};

struct DosTotal {
    HeapArray<double> energies;
    DenseArray<2> densities;   // (nspins, nedos)
    DenseArray<2> integrated;  // (nspins, nedos)

    static auto fields(auto& self) {
        return std::tuple{Field{"energies", self.energies}, Field{"densities", self.densities},
                          Field{"integrated", self.integrated}};
    }
    // An energy for each grid point of both tables.
    static std::string mismatch(const DosTotal& self) {
        if (self.densities.shape != self.integrated.shape) {
            return "densities and integrated densities of different shapes";
        }
        return self.energies.size() == self.densities.shape[1]
                   ? std::string()
                   : std::to_string(self.energies.size()) + " energies for " +
                         std::to_string(self.densities.shape[1]) + " grid points";
    }
};

struct DosPartial {
    std::vector<std::string> orbitals;
    DenseArray<4> values;  // (nspins, nions, norbitals, nedos)

    static auto fields(auto& self) {
        return std::tuple{Field{"data", self.values}, Field{"orbitals", self.orbitals}};
    }
    static std::string mismatch(const DosPartial& self) {
        return self.orbitals.size() == self.values.shape[2]
                   ? std::string()
                   : std::to_string(self.orbitals.size()) + " orbital labels for " +
                         std::to_string(self.values.shape[2]) + " orbitals";
    }
};

struct DosData {
    DosTotal total;
    std::optional<DosPartial> partial;
    double efermi = 0.0;  // the run's Fermi energy

    static auto fields(auto& self) {
        return std::tuple{Field{"efermi", self.efermi}, Field{"total", self.total}, Field{"partial", self.partial}};
    }
};

struct DielectricData {
    HeapArray<double> energies;
    DenseArray<2, 6> real;  // (rows, 6)
    DenseArray<2, 6> imag;  // (rows, 6): the energies are those of its rows

    static auto fields(auto& self) {
        return std::tuple{Field{"energies", self.energies}, Field{"real", self.real}, Field{"imag", self.imag}};
    }
    static std::string mismatch(const DielectricData& self) {
        return self.energies.size() == self.imag.shape[0]
                   ? std::string()
                   : std::to_string(self.energies.size()) + " energies for " + std::to_string(self.imag.shape[0]) +
                         " rows";
    }
};

// One `dielectricfunction` element.
struct DielectricFunction {
    std::optional<std::string> comment;  // the attribute as written
    std::optional<std::string> label;    // "density", "current", or the comment
    bool in_calculation = false;
    DielectricData data;

    static auto fields(auto& self) {
        return std::tuple{Field{"comment", self.comment}, Field{"label", self.label},
                          Field{"in_calculation", self.in_calculation}, Field{"data", self.data}};
    }
};

// One `conductivity` element: rows of an energy and six tensor components.
struct Conductivity {
    std::optional<std::string> comment;
    bool in_calculation = false;
    HeapArray<double> energies;
    DenseArray<2, 6> values;  // (rows, 6)

    static auto fields(auto& self) {
        return std::tuple{Field{"comment", self.comment}, Field{"in_calculation", self.in_calculation},
                          Field{"energies", self.energies}, Field{"data", self.values}};
    }
};

// The `dynmat` of a finite-difference or linear-response run, as written.
struct Dynmat {
    DenseArray<2> hessian;          // (3n, 3n)
    HeapArray<double> eigenvalues;  // (3n,)
    DenseArray<2> eigenvectors;     // (3n, 3n), one per row

    static auto fields(auto& self) {
        return std::tuple{Field{"hessian", self.hessian}, Field{"eigenvalues", self.eigenvalues},
                          Field{"eigenvectors", self.eigenvectors}};
    }
};

// The second k-point set (KPOINTS_OPT) and what was computed on it.
struct KpointsOpt {
    KpointSet kpoints;
    std::optional<EigenvalueArray> eigenvalues;
    std::optional<ProjectedArray> projected;
    std::optional<DosData> dos;

    static auto fields(auto& self) {
        return std::tuple{Field{"kpoints", self.kpoints}, Field{"eigenvalues", self.eigenvalues},
                          Field{"projected", self.projected}, Field{"dos", self.dos}};
    }
};

struct RunRecord {
    GeneratorInfo generator;
    ParameterMap incar;
    ParameterMap parameters;  // every entry of the top-level `parameters`, flattened
    AtomInfo atom_info;
    KpointSet kpoints;
    Structure initial_structure;
    Structure final_structure;
    std::vector<IonicStep> ionic_steps;
    std::optional<EigenvalueArray> eigenvalues;
    std::optional<ProjectedArray> projected;
    std::optional<DosData> dos;
    // In file order: those outside any calculation and those of the last
    // calculation that has any (whose first is the run's `dielectric`).
    std::vector<DielectricFunction> dielectric_functions;
    std::vector<Conductivity> conductivity;  // the same way
    std::optional<Mat3> epsilon;
    std::optional<Mat3> epsilon_rpa;
    std::optional<Mat3> epsilon_ion;
    std::optional<DenseArray<3, 3, 3>> born_charges;  // (natoms, 3, 3)
    std::optional<Dynmat> dynmat;
    std::optional<KpointsOpt> kpoints_opt;
    std::vector<PredictedStep> predicted_steps;
    // The names of the electronic steps' energy terms, each once, in the
    // order they were first met (see ScstepTerms).
    std::vector<std::string> scstep_term_names;
    std::uint64_t all_ionic_steps = 0;  // before the selection of the kept ones
    bool complete = false;              // the end tag of `modeling` was read

    static auto fields(auto& self) {
        return std::tuple{Field{"generator", self.generator}, Field{"incar", self.incar},
                          Field{"parameters", self.parameters}, Field{"atom_info", self.atom_info},
                          Field{"kpoints", self.kpoints}, Field{"initial_structure", self.initial_structure},
                          Field{"final_structure", self.final_structure}, Field{"ionic_steps", self.ionic_steps},
                          Field{"eigenvalues", self.eigenvalues}, Field{"projected", self.projected},
                          Field{"dos", self.dos}, Field{"dielectric_functions", self.dielectric_functions},
                          Field{"conductivity", self.conductivity}, Field{"epsilon", self.epsilon},
                          Field{"epsilon_rpa", self.epsilon_rpa}, Field{"epsilon_ion", self.epsilon_ion},
                          Field{"born_charges", self.born_charges}, Field{"dynmat", self.dynmat},
                          Field{"kpoints_opt", self.kpoints_opt}, Field{"predicted_steps", self.predicted_steps},
                          Field{"scstep_term_names", self.scstep_term_names},
                          Field{"all_ionic_steps", self.all_ionic_steps}, Field{"complete", self.complete}};
    }
    // Every energy term of a step names one of the record's names.
    static std::string mismatch(const RunRecord& self) {
        const auto named = [&](const IonicStep& step) {
            return std::all_of(step.scstep_terms.begin(), step.scstep_terms.end(),
                               [&](const EnergyTerm& term) { return term.name < self.scstep_term_names.size(); });
        };
        const bool all_named =
            std::all_of(self.ionic_steps.begin(), self.ionic_steps.end(), named) &&
            std::all_of(self.predicted_steps.begin(), self.predicted_steps.end(),
                        [&](const PredictedStep& predicted) { return named(predicted.step); });
        return all_named ? std::string()
                         : "an energy term beyond its " + std::to_string(self.scstep_term_names.size()) + " names";
    }
};

}  // namespace quorvel

// The records one parse produces. Plain structures that own their contents;
// the section parsers fill them and the walker moves them into the RunRecord,
// which the Python object then owns and only reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "heap_array.hpp"
#include "values.hpp"

namespace quorvel {

struct ParseOptions {
    bool parse_dos = true;
    bool parse_eigen = true;
    bool parse_projected = false;
    std::optional<std::uint64_t> ionic_step_skip;
    std::uint64_t ionic_step_offset = 0;
};

struct GeneratorInfo {
    std::string program;
    std::string version;
    std::string subversion;
    std::string platform;
    std::string date;
    std::string time;
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
};

struct AtomInfo {
    std::vector<std::string> atoms;
    std::vector<AtomType> atom_types;
};

struct KpointGeneration {
    std::string scheme;
    std::optional<std::array<std::int32_t, 3>> divisions;
    Vec3 usershift{0.0, 0.0, 0.0};
};

struct KpointLabel {
    std::uint64_t index = 0;
    std::string label;
};

struct KpointSet {
    std::vector<Vec3> kpointlist;
    std::vector<double> weights;
    std::vector<KpointLabel> labels;
    std::optional<KpointGeneration> generation;
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

struct Structure {
    Species species;
    std::vector<Vec3> positions;
    Mat3 lattice{};
    Mat3 rec_basis{};
    double volume = 0.0;
};

struct Energies {
    double e_fr_energy = 0.0;
    double e_wo_entrp = 0.0;
    double e_0_energy = 0.0;
    // The `energy` element held these three entries and nothing else, as
    // in the steps of a linear-response loop.
    bool only_these = false;
};

struct IonicStep {
    Structure structure;
    double e_fr_energy = 0.0;
    double e_wo_entrp = 0.0;
    double e_0_energy = 0.0;
    std::vector<Vec3> forces;
    Mat3 stress{};
    std::optional<FloatRows> magnetization;
    std::vector<Energies> scsteps;
};

// A dense row-major array of doubles with its dimensions.
template <std::size_t Rank>
struct DenseArray {
    HeapArray<double> data;
    std::array<std::uint64_t, Rank> shape{};
};

struct EigenvalueArray {
    DenseArray<4> values;  // (nspins, nkpts, nbands, 2): energy, occupancy
};

struct ProjectedArray {
    std::vector<std::string> orbitals;
    DenseArray<5> values;  // (nspins, nkpts, nbands, nions, norbitals)
};

struct DosTotal {
    HeapArray<double> energies;
    DenseArray<2> densities;   // (nspins, nedos)
    DenseArray<2> integrated;  // (nspins, nedos)
};

struct DosPartial {
    std::vector<std::string> orbitals;
    DenseArray<4> values;  // (nspins, nions, norbitals, nedos)
};

struct DosData {
    DosTotal total;
    std::optional<DosPartial> partial;
    double efermi = 0.0;
};

struct DielectricData {
    HeapArray<double> energies;
    DenseArray<2> real;  // (rows, 6)
    DenseArray<2> imag;  // (rows, 6)
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
    std::optional<double> efermi;
    std::optional<DielectricData> dielectric;
    std::uint64_t all_ionic_steps = 0;  // before the selection of the kept ones
    bool complete = false;              // the end tag of `modeling` was read
};

}  // namespace quorvel

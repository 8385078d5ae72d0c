#include "run_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>

namespace quorvel {

namespace {

// Parameter values as the rules read them: a logical true is only that.
bool is_true(const IncarValue* value) noexcept {
    return value != nullptr && std::holds_alternative<bool>(*value) && std::get<bool>(*value);
}

std::optional<double> number(const IncarValue* value) noexcept {
    if (value != nullptr && std::holds_alternative<std::int64_t>(*value)) {
        return static_cast<double>(std::get<std::int64_t>(*value));
    }
    if (value != nullptr && std::holds_alternative<double>(*value)) {
        return std::get<double>(*value);
    }
    return std::nullopt;
}

// A whole number, also when written as a float (2.0).
std::optional<std::int64_t> integer(const IncarValue* value) noexcept {
    if (value != nullptr && std::holds_alternative<std::int64_t>(*value)) {
        return std::get<std::int64_t>(*value);
    }
    const std::optional<double> x = number(value);
    if (x && std::trunc(*x) == *x && std::abs(*x) < 9.0e18) {
        return static_cast<std::int64_t>(*x);
    }
    return std::nullopt;
}

const std::string* text(const IncarValue* value) noexcept {
    return value != nullptr && std::holds_alternative<std::string>(*value) ? &std::get<std::string>(*value) : nullptr;
}

bool equals_ignoring_case(const std::string& text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != lower[i]) {
            return false;
        }
    }
    return true;
}

// VASP's default electronic step limit.
constexpr std::int64_t kDefaultNelm = 60;

}  // namespace

bool converged(const RunRecord& record) noexcept {
    return !record.ionic_steps.empty() && !(record.ionic_steps.back().energies.e_fr_energy == 0.0);
}

bool converged_electronic(const RunRecord& record) {
    // Runs without a self-consistent loop to judge.
    const std::string* algo = text(record.incar.find("ALGO"));
    if (is_true(record.incar.find("ML_LMLFF")) || (algo != nullptr && equals_ignoring_case(*algo, "chi")) ||
        (algo != nullptr && *algo == "Exact" && integer(record.incar.find("NELM")) == 1)) {
        return true;
    }
    if (record.ionic_steps.empty()) {
        return false;
    }
    const std::int64_t nelm = integer(record.parameters.find("NELM")).value_or(kDefaultNelm);
    const std::vector<Energies>& steps = record.ionic_steps.back().scsteps;
    if (is_true(record.incar.find("LEPSILON"))) {
        // The first steps after the first belong to the response loop, whose
        // energy holds only the three energies.
        std::size_t index = 1;
        while (index < steps.size() && steps[index].only_these) {
            ++index;
        }
        return static_cast<std::int64_t>(index) + 1 != nelm;
    }
    return static_cast<std::int64_t>(steps.size()) < nelm;
}

bool converged_ionic(const RunRecord& record) {
    const std::int64_t nsw = integer(record.parameters.find("NSW")).value_or(0);
    if (nsw <= 1) {
        return true;
    }
    const std::int64_t ibrion = integer(record.parameters.find("IBRION")).value_or(0);  // NSW > 1 here
    const std::optional<double> ediffg = number(record.parameters.find("EDIFFG"));
    const bool no_force_criterion = ediffg && *ediffg == 0.0;
    const auto steps = static_cast<std::int64_t>(record.all_ionic_steps);
    // Molecular dynamics, and relaxations that stop on energy alone, run all
    // NSW steps; the steps a force field predicted are steps of the run too.
    if (ibrion == 0) {
        return steps + static_cast<std::int64_t>(record.predicted_steps.size()) == nsw;
    }
    if ((ibrion == 1 || ibrion == 2) && no_force_criterion) {
        return steps == nsw;
    }
    return steps < nsw;
}

bool molecular_dynamics(const RunRecord& record) {
    if (!record.predicted_steps.empty()) {
        return true;
    }
    // VASP's IBRION is 0 by default when there are ionic steps to make.
    const std::int64_t nsw = integer(record.parameters.find("NSW")).value_or(0);
    return nsw >= 1 && integer(record.parameters.find("IBRION")).value_or(0) == 0;
}

const DielectricData* calculation_dielectric(const RunRecord& record) noexcept {
    for (const DielectricFunction& function : record.dielectric_functions) {
        if (function.in_calculation) {
            return &function.data;
        }
    }
    return nullptr;
}

std::optional<double> final_energy(const RunRecord& record) {
    if (record.ionic_steps.empty()) {
        return std::nullopt;
    }
    const IonicStep& step = record.ionic_steps.back();
    if (step.scsteps.empty()) {
        return step.energies.e_0_energy;
    }
    const Energies& last = step.scsteps.back();
    // Rounded as NumPy's round does it (scaled, rounded half to even, scaled
    // back), which is what the usual correction of this fault gives.
    const Energies& own = step.energies;
    const double corrected = std::nearbyint((own.e_fr_energy + (last.e_0_energy - last.e_fr_energy)) * 1e8) / 1e8;
    return std::abs(corrected - own.e_0_energy) > 1e-7 ? corrected : own.e_0_energy;
}

BandEdges band_edges(const EigenvalueArray& eigenvalues) noexcept {
    constexpr double kOccupied = 1e-8;
    constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
    const auto& shape = eigenvalues.values.shape;  // spin, k-point, band, [energy, occupancy]
    const double* value = eigenvalues.values.data.data();
    BandEdges edges{0.0, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), false};
    std::uint64_t vbm_kpoint = kNone, cbm_kpoint = kNone;
    // Without values there is nothing to walk, whatever the other extents say.
    const std::uint64_t spins = eigenvalues.values.data.empty() ? 0 : shape[0];
    for (std::uint64_t s = 0; s < spins; ++s) {
        for (std::uint64_t k = 0; k < shape[1]; ++k) {
            for (std::uint64_t b = 0; b < shape[2]; ++b, value += 2) {
                const double energy = value[0], occupancy = value[1];
                if (occupancy > kOccupied) {
                    if (energy > edges.vbm) {
                        edges.vbm = energy;
                        vbm_kpoint = k;
                    }
                } else if (occupancy <= kOccupied && energy < edges.cbm) {  // a NaN occupancy is neither
                    edges.cbm = energy;
                    cbm_kpoint = k;
                }
            }
        }
    }
    edges.gap = std::max(edges.cbm - edges.vbm, 0.0);
    edges.direct = vbm_kpoint != kNone && vbm_kpoint == cbm_kpoint;
    return edges;
}

}  // namespace quorvel

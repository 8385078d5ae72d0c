// What a run record says about the run beyond its values: whether its loops
// converged, its final energy and its band edges. Computed from the record
// when asked; nothing here is stored.
#pragma once

#include <optional>

#include "run_record.hpp"

namespace quorvel {

// True when the last kept step has a non-zero free energy (NaN counts as
// non-zero). It does not compare the run with its convergence criteria.
bool converged(const RunRecord& record) noexcept;

// Whether the last kept ionic step's electronic loop stopped before NELM
// (or the run has no such loop: machine-learned force fields, response
// functions, ALGO Exact with NELM 1). A linear-response run (LEPSILON) does
// not count the steps of its response loop.
bool converged_electronic(const RunRecord& record);

// Whether the ionic loop ended before NSW steps (for molecular dynamics and
// relaxations without a force criterion: ran all NSW steps), counting every
// ionic step of the file and, for molecular dynamics, every step that a
// machine-learned force field predicted.
bool converged_ionic(const RunRecord& record);

// Whether the run is molecular dynamics: IBRION 0 with ionic steps to make
// (NSW of at least 1), or steps that a force field predicted.
bool molecular_dynamics(const RunRecord& record);

// The run's dielectric function: the first of the last calculation that has
// any; null when none has (a GW run's stand outside its calculation).
const DielectricData* calculation_dielectric(const RunRecord& record) noexcept;

// The last kept step's e_0_energy, mended where VASP 5 wrote it wrong: the
// step's free energy plus the last electronic step's difference between the
// two, rounded to 8 decimals, when that differs by more than 1e-7 eV.
// Absent without kept steps.
std::optional<double> final_energy(const RunRecord& record);

struct BandEdges {
    double gap;   // max(cbm - vbm, 0)
    double cbm;   // lowest empty energy; +inf when every state is occupied
    double vbm;   // highest occupied energy; -inf when none is
    bool direct;  // both at the same k-point

    static auto fields(auto& self) {
        return std::tuple{Field{"gap", self.gap}, Field{"cbm", self.cbm}, Field{"vbm", self.vbm},
                          Field{"direct", self.direct}};
    }
};

// Over all spins and k-points; a state is occupied above 1e-8 and ignored
// with a NaN occupancy.
BandEdges band_edges(const EigenvalueArray& eigenvalues) noexcept;

}  // namespace quorvel

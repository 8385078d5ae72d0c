"""Metal or gap: the one rule that `info`, `bands` and `dos` share, and the energy zero it gives.

A run is a metal when its band gap (the `band_gap` property: the highest occupied
and lowest empty state, a state being occupied above 1e-8) is below GAP_TOLERANCE,
or when its highest occupied state lies above the Fermi energy by more than the
smearing (SIGMA, VASP's 0.2 eV when the file does not say; at least ROUNDING). An
insulator's occupied states all lie below E_F; states above it that hold electrons
are a partly filled band seen through the smearing, and the small gap the 1e-8 rule
then finds between them is no band gap. The margin of one smearing width lets
through a Fermi level that VASP put a little inside the valence band.

The energy zero is the valence band maximum of a gapped run and the Fermi energy
of a metal."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Mapping

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from quorvel import BandGap

GAP_TOLERANCE = 0.01  # eV
DEFAULT_SIGMA = 0.2  # eV, VASP's SIGMA when a file does not give it
ROUNDING = 0.001  # eV: below this, energies written with four decimals do not differ
OCCUPIED = 1e-8  # the occupancy above which a state counts as occupied, as for band_gap

RULE_TEXT = ("metal or gap: a run is a metal when its band gap (highest occupied to lowest empty state, "
             f"occupied meaning above {OCCUPIED:g}) is below {GAP_TOLERANCE:g} eV, or when its highest "
             "occupied state lies above E_F by more than the smearing SIGMA; energies are then relative to "
             "E_F, else to the valence band maximum (VBM)")


@dataclass(frozen=True)
class Verdict:
    """What the rule says of a run: metal (None when it cannot tell), the energy zero and its name."""
    metal: bool | None
    zero: float
    name: str  # "VBM", "E_F", or "" for the file's own energies
    reason: str = ""


def smearing(parameters: Mapping[str, Any]) -> float:
    """The smearing width SIGMA in eV (VASP's default when missing), at least ROUNDING."""
    value = parameters.get("SIGMA", DEFAULT_SIGMA)
    sigma = float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else DEFAULT_SIGMA
    return max(abs(sigma), ROUNDING) if math.isfinite(sigma) else DEFAULT_SIGMA


def occupancy_gap(eigenvalues: npt.NDArray[np.float64]) -> BandGap | None:
    """The band gap of an eigenvalue array (nspins, nkpts, nbands, 2: energy, occupancy)
    as the `band_gap` property computes it, for sets that are not a run's own: some
    of its k-points, several runs joined, a second k-point set."""
    if eigenvalues.size == 0:
        return None
    energies, occupancies = eigenvalues[..., 0], eigenvalues[..., 1]
    valid = np.isfinite(energies) & np.isfinite(occupancies)
    occupied, empty = valid & (occupancies > OCCUPIED), valid & (occupancies <= OCCUPIED)
    vbm = float(energies[occupied].max()) if occupied.any() else -math.inf
    cbm = float(energies[empty].min()) if empty.any() else math.inf
    direct = False
    if occupied.any() and empty.any():
        vbm_k = {int(k) for k in np.argwhere(occupied & (energies == vbm))[:, 1]}
        cbm_k = {int(k) for k in np.argwhere(empty & (energies == cbm))[:, 1]}
        direct = bool(vbm_k & cbm_k)
    gap = max(cbm - vbm, 0.0) if math.isfinite(vbm) or math.isfinite(cbm) else math.inf
    return {"gap": gap, "vbm": vbm, "cbm": cbm, "direct": direct}


def verdict(gap: BandGap | None, efermi: float | None, sigma: float) -> Verdict:
    """The rule on a band gap and a Fermi energy. Without eigenvalues the zero is E_F
    (metal unknown); without either, the file's own energies."""
    if gap is None or not math.isfinite(gap["vbm"]) or not math.isfinite(gap["cbm"]):
        if efermi is None:
            return Verdict(None, 0.0, "", "neither eigenvalues nor a Fermi energy")
        return Verdict(None, efermi, "E_F", "no states on both sides of a gap")
    if gap["gap"] < GAP_TOLERANCE:
        zero = efermi if efermi is not None else gap["vbm"]
        return Verdict(True, zero, "E_F" if efermi is not None else "VBM",
                       f"band gap {gap['gap']:.4f} eV, below {GAP_TOLERANCE:g} eV")
    if efermi is not None and gap["vbm"] > efermi + sigma:
        return Verdict(True, efermi, "E_F", f"occupied states {gap['vbm'] - efermi:.4f} eV above E_F, "
                                            f"more than the smearing {sigma:g} eV")
    return Verdict(False, gap["vbm"], "VBM", f"band gap {gap['gap']:.4f} eV")


def run_verdict(run: Any) -> Verdict:
    """The rule on a run: its band_gap, its Fermi energy and its SIGMA."""
    return verdict(run.band_gap, run.efermi, smearing(run.parameters))

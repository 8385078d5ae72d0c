"""The record of one training frame, shared by the exporter and the extended XYZ writer."""

from __future__ import annotations

from typing import Mapping, NamedTuple, Union

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
InfoValue = Union[int, float, bool, str, list[float]]


class Frame(NamedTuple):
    """One ionic step of a run, ready for a training set (a named tuple: made fast, read by name).

    Arrays are float64; lengths in Å, energies in eV, forces in eV/Å, stress in eV/Å³ with
    ASE's sign (positive under tension). `energy` is the σ→0 energy, mended per step where
    VASP 5 wrote it wrong, `free_energy` the free energy; both without the PV term of PSTRESS.
    `step` counts the file's ionic steps from 0, `steps` is their number; `info` holds the
    INCAR or parameter values asked for (INCAR first), shared by the frames of a run."""

    species: tuple[str, ...]
    lattice: FloatArray  # (3, 3), the cell vectors as rows
    positions: FloatArray  # (natoms, 3), Cartesian
    forces: FloatArray | None  # (natoms, 3); None when the step has none
    magmoms: FloatArray | None  # (natoms,) or (natoms, 3) noncollinear; None when the step has none
    energy: float
    free_energy: float
    stress: FloatArray | None  # (3, 3); None when the step wrote none
    source: str
    step: int
    steps: int
    complete: bool
    converged_electronic: bool
    info: Mapping[str, InfoValue]

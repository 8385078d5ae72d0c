"""Training sets for machine-learned interatomic potentials: the ionic steps of run files as
frames of structure, energies, forces and stress, in ASE's units and sign conventions.

    import quorvel.export

    for frame in quorvel.export.frames(["relax/vasprun.xml", "md/vasprun.xml.gz"], every=5):
        print(frame.source, frame.step, frame.energy, frame.forces.shape)

    with open("train.xyz", "w", encoding="utf-8") as out:
        quorvel.export.write_extxyz(quorvel.export.frames(paths), out)

`frames` reads one file at a time and holds only that file's frames, so a data set of any
size streams through in the memory of its largest run. The values follow what ASE's reader of
run files gives, so that a frame written here and read back with `ase.io.read` equals ASE's
own reading of the run (see README, "Training sets").
"""

from __future__ import annotations

import os
from typing import Any, Callable, Iterable, Iterator, Sequence, Union

import numpy as np

import quorvel

from ._extxyz import ASE_KEYS, REF_KEYS, Keys, write_extxyz
from ._frame import FloatArray, Frame, InfoValue
from ._gc import without_cycle_collection
from ._steps import StepFacts, stacked, step_facts

__all__ = ["ASE_KEYS", "REF_KEYS", "Frame", "Keys", "OnSkip", "frames", "run_frames", "frames_of_run", "write_extxyz"]

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# on_skip(source, step, the names of the values that are not finite numbers)
OnSkip = Callable[[str, int, tuple[str, ...]], None]

# VASP writes stress in kB, positive under compression; ASE wants eV/Å³, positive under tension.
# 0.1 GPa in eV/Å³ with the CODATA 2014 elementary charge, the value of ASE's units, so that the
# stresses read back equal ASE's reading to the bit.
KBAR_TO_ASE_STRESS = -0.0006241509125883258
# The PV term that e_fr_energy of a step includes is taken off as ASE does it: PSTRESS (kB) times
# the cell's volume, converted with VASP's own elementary charge.
PSTRESS_TO_EV_PER_A3 = 1e-22 / 1.60217733e-19


def frames(paths: Path | Iterable[Path], *, every: int = 1, last: bool = False, converged_only: bool = False,
           info: Sequence[str] = (), on_error: Callable[[str, Exception], None] | None = None,
           on_skip: OnSkip | None = None) -> Iterator[Frame]:
    """The frames of run files, file after file, in the order of the paths.

    every: keep every n-th ionic step of a file, from its first; last: its final step only;
    converged_only: leave out the steps whose electronic loop reached NELM and the files that
    are not complete; info: INCAR tags (or parameters, where the INCAR lacks them) to carry in
    each frame's `info`. A file that cannot be read raises its error (`RuntimeError` from the
    reader), or, with on_error, is passed to on_error(path, error) and left out whole: no
    frame of it is yielded. A step whose energy, free energy, forces or stress is not a
    finite number (VASP writes asterisks for a number too wide for its field, which read as
    NaN) is left out, and passed to on_skip(source, step, names of those values) if given."""
    for path in [paths] if isinstance(paths, (str, bytes, os.PathLike)) else paths:
        try:
            found = run_frames(path, every=every, last=last, converged_only=converged_only, info=info,
                               on_skip=on_skip)
        except Exception as error:
            if on_error is None:
                raise
            on_error(os.fsdecode(path), error)
            continue
        yield from found


def run_frames(path: Path, *, every: int = 1, last: bool = False, converged_only: bool = False,
               info: Sequence[str] = (), on_skip: OnSkip | None = None) -> list[Frame]:
    """The frames of one run file (see `frames`); raises when the file cannot be read."""
    run = quorvel.Vasprun(path, parse_dos=False, parse_eigen=False)
    with without_cycle_collection():  # the steps' many lists
        return frames_of_run(run, os.fsdecode(path), every=every, last=last, converged_only=converged_only,
                             info=info, on_skip=on_skip)


def frames_of_run(run: quorvel.Vasprun, source: str, *, every: int = 1, last: bool = False,
                  converged_only: bool = False, info: Sequence[str] = (), on_skip: OnSkip | None = None
                  ) -> list[Frame]:
    """The frames of a run already read; `source` names it in each frame."""
    if every < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    if converged_only and not run.complete:
        return []
    steps = run.ionic_steps
    facts = step_facts(run, steps)
    chosen = _chosen(facts, every, last, converged_only)
    if not chosen:
        return []
    values = _run_values(run, info)
    species = tuple(run.atoms)
    kept = [steps[index] for index in chosen]
    natoms = len(species)
    lattices = stacked([step["structure"]["lattice"] for step in kept], 3, 3)
    fractional = stacked([step["structure"]["positions"] for step in kept], natoms, 3)
    forces = stacked([step["forces"] for step in kept], natoms, 3)
    stresses = stacked([step["stress"] if facts.stress_written[index] else [] for index, step in zip(chosen, kept)],
                        3, 3)
    magmoms = _magmoms(kept, natoms)
    energy, free_energy = _energies(run, kept, [facts.last_electronic[index] for index in chosen], lattices)
    unusable = _unusable(energy, free_energy, forces, stresses)
    # The product ASE forms from the same two arrays (step by step: the same bits), so that
    # positions equal its reading to the bit.
    positions = [None if scaled is None or lattice is None else scaled @ lattice
                 for scaled, lattice in zip(fractional, lattices)]
    result = []
    for number, index in enumerate(chosen):
        lattice, position, stress = lattices[number], positions[number], stresses[number]
        if lattice is None or position is None:
            continue  # nothing a training set can use
        if unusable[number]:  # a NaN would poison a training set
            if on_skip is not None:
                on_skip(source, facts.numbers[index], unusable[number])
            continue
        result.append(Frame(species, lattice, position, forces[number], magmoms[number], float(energy[number]),
                            float(free_energy[number]), None if stress is None else stress * KBAR_TO_ASE_STRESS,
                            source, facts.numbers[index], facts.total, run.complete, facts.converged[index], values))
    return result


def _chosen(facts: StepFacts, every: int, last: bool, converged_only: bool) -> list[int]:
    """The indices of the DFT steps to write, in file order."""
    indices = facts.dft[-1:] if last else facts.dft[::every]
    return [index for index in indices if facts.converged[index] or not converged_only]


def _run_values(run: quorvel.Vasprun, keys: Sequence[str]) -> dict[str, InfoValue]:
    """The asked-for tags as the INCAR has them, else as the parameters do; absent ones are left out."""
    incar, parameters = run.incar, run.parameters
    values: dict[str, InfoValue] = {}
    for key in keys:
        value = incar.get(key, parameters.get(key))
        if value is not None:
            values[key] = value
    return values


def _magmoms(kept: list[quorvel.IonicStep], natoms: int) -> list[FloatArray | None]:
    found: list[FloatArray | None] = []
    for step in kept:
        rows = step.get("magnetization")
        if rows is None or len(rows) != natoms or natoms == 0:
            found.append(None)
            continue
        array = np.array(rows, dtype=np.float64)
        found.append(array[:, 0].copy() if array.ndim == 2 and array.shape[1] == 1 else array)
    return found


def _energies(run: quorvel.Vasprun, kept: list[quorvel.IonicStep], last_electronic: list[FloatArray | None],
              lattices: list[FloatArray | None]) -> tuple[FloatArray, FloatArray]:
    """The σ→0 and free energies of the kept steps, without the PV term of PSTRESS.

    The σ→0 energy is mended as `final_energy` mends the last step's: where the step's
    e_0_energy differs by more than 1e-7 eV from its free energy plus the last electronic
    step's (e_0 - e_fr), that sum, rounded to 8 decimals as NumPy rounds, replaces it.

    The reader gives 0.0 for a step energy it cannot read (VASP's asterisks). A free energy
    of exactly 0.0 where the last electronic step's is not 0.0 (a NaN for asterisks there
    too) is taken as unread, NaN, and the step left out; a σ→0 energy of 0.0, which VASP
    itself writes in some runs, is mended as above."""
    free = np.array([step["e_fr_energy"] for step in kept], dtype=np.float64)
    sigma0 = np.array([step["e_0_energy"] for step in kept], dtype=np.float64)
    has_last = np.array([energies is not None for energies in last_electronic])
    lasts = np.array([(0.0, 0.0, 0.0) if energies is None else energies for energies in last_electronic],
                     dtype=np.float64).reshape(len(kept), 3)
    free[has_last & (free == 0.0) & ~(lasts[:, 0] == 0.0)] = np.nan
    corrected = np.rint((free + (lasts[:, 2] - lasts[:, 0])) * 1e8) / 1e8
    energy = np.where(has_last & (np.abs(corrected - sigma0) > 1e-7), corrected, sigma0)
    pstress = run.parameters.get("PSTRESS", 0.0)
    if isinstance(pstress, (int, float)) and not isinstance(pstress, bool) and pstress != 0.0:
        pressure = pstress * PSTRESS_TO_EV_PER_A3
        volumes = np.array([np.nan if lattice is None else np.linalg.det(lattice) for lattice in lattices])
        energy = energy - pressure * volumes
        free = free - pressure * volumes
    return energy, free


def _unusable(energy: FloatArray, free_energy: FloatArray, forces: list[FloatArray | None],
              stresses: list[FloatArray | None]) -> list[tuple[str, ...]]:
    """Per step, the names of its values that are not all finite numbers; () for a usable step."""
    finite = [np.isfinite(energy).tolist(), np.isfinite(free_energy).tolist(), _finite(forces), _finite(stresses)]
    return [tuple(name for name, ok in zip(_CHECKED, flags) if not ok) for flags in zip(*finite)]


def _finite(arrays: list[FloatArray | None]) -> list[bool]:
    """Per step, whether its array (if any) holds finite numbers only; all at once where every step has one."""
    if arrays and all(array is not None for array in arrays):
        stack = np.stack(arrays)  # type: ignore[arg-type]  # none is None
        flags: Any = np.isfinite(stack).reshape(len(arrays), -1).all(axis=1)  # typed as bool by some NumPys
        return [bool(flag) for flag in flags]
    return [array is None or bool(np.isfinite(array).all()) for array in arrays]


# The values of a frame that must be finite, as `on_skip` names them.
_CHECKED = ("energy", "free_energy", "forces", "stress")

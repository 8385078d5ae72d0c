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
from ._steps import StepFacts, step_facts

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
    with without_cycle_collection():  # the frames' many objects
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
    trajectory = run.trajectory
    facts = step_facts(run, trajectory)
    chosen = _chosen(facts, every, last, converged_only)
    if not chosen:
        return []
    values = _run_values(run, info)
    species = tuple(run.atoms)
    natoms = len(species)
    lattice_stack = trajectory["lattice"][chosen]
    lattices: list[FloatArray | None] = list(lattice_stack)
    # The product ASE forms from the same two arrays (one matmul of the stack gives the same
    # bits as step by step), so that positions equal its reading to the bit.
    positions = _rows(np.matmul(trajectory["positions"][chosen], lattice_stack),
                      _flags(trajectory["positions_written"].tolist(), chosen))
    forces_stack = trajectory["forces"][chosen]
    forces_written = _flags(trajectory["forces_written"].tolist(), chosen)
    stress_stack = trajectory["stress"][chosen] * KBAR_TO_ASE_STRESS
    stress_written = _flags(facts.stress_written, chosen)
    forces, stresses = _rows(forces_stack, forces_written), _rows(stress_stack, stress_written)
    magmoms = _magmoms(run, trajectory, chosen, natoms)
    energy, free_energy = _energies(run, trajectory, chosen, [facts.last_electronic[index] for index in chosen],
                                    lattices)
    unusable = _unusable(energy, free_energy, _finite(forces_stack, forces_written),
                         _finite(stress_stack, stress_written))
    result = []
    for number, index in enumerate(chosen):
        lattice, position = lattices[number], positions[number]
        if lattice is None or position is None:
            continue  # nothing a training set can use
        if unusable[number]:  # a NaN would poison a training set
            if on_skip is not None:
                on_skip(source, facts.numbers[index], unusable[number])
            continue
        result.append(Frame(species, lattice, position, forces[number], magmoms[number], float(energy[number]),
                            float(free_energy[number]), stresses[number],
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


def _flags(flags: list[bool], chosen: list[int]) -> list[bool]:
    return [flags[index] for index in chosen]


def _rows(stack: FloatArray, written: list[bool]) -> list[FloatArray | None]:
    """Per chosen step its row of a stack of the chosen steps, None where the step did not write it."""
    return [row if ok else None for row, ok in zip(stack, written)]


def _magmoms(run: quorvel.Vasprun, trajectory: quorvel.Trajectory, chosen: list[int],
             natoms: int) -> list[FloatArray | None]:
    """Per chosen step its moments: (natoms,) for rows of one value, (natoms, width) for wider rows."""
    columns = trajectory["magnetization_columns"][chosen].tolist()
    if natoms == 0 or not any(columns):
        return [None] * len(chosen)
    if min(columns) < 0:  # rows of another shape: as the steps' lists give them
        steps = run.ionic_steps
        return _magmoms_of_lists([steps[index] for index in chosen], natoms)
    return [None if width == 0 else row[:, 0].copy() if width == 1 else row[:, :width].copy()
            for row, width in zip(trajectory["magnetization"][chosen], columns)]


def _magmoms_of_lists(kept: list[quorvel.IonicStep], natoms: int) -> list[FloatArray | None]:
    found: list[FloatArray | None] = []
    for step in kept:
        rows = step.get("magnetization")
        if rows is None or len(rows) != natoms or natoms == 0:
            found.append(None)
            continue
        array = np.array(rows, dtype=np.float64)
        found.append(array[:, 0].copy() if array.ndim == 2 and array.shape[1] == 1 else array)
    return found


def _energies(run: quorvel.Vasprun, trajectory: quorvel.Trajectory, chosen: list[int],
              last_electronic: list[FloatArray | None], lattices: list[FloatArray | None]
              ) -> tuple[FloatArray, FloatArray]:
    """The σ→0 and free energies of the kept steps, without the PV term of PSTRESS.

    The σ→0 energy is mended as `final_energy` mends the last step's: where the step's
    e_0_energy differs by more than 1e-7 eV from its free energy plus the last electronic
    step's (e_0 - e_fr), that sum, rounded to 8 decimals as NumPy rounds, replaces it.

    The reader gives 0.0 for a step energy it cannot read (VASP's asterisks). A free energy
    of exactly 0.0 where the last electronic step's is not 0.0 (a NaN for asterisks there
    too) is taken as unread, NaN, and the step left out; a σ→0 energy of 0.0, which VASP
    itself writes in some runs, is mended as above."""
    free = trajectory["e_fr_energy"][chosen]
    sigma0 = trajectory["e_0_energy"][chosen]
    has_last = np.array([energies is not None for energies in last_electronic])
    lasts = np.array([(0.0, 0.0, 0.0) if energies is None else energies for energies in last_electronic],
                     dtype=np.float64).reshape(len(chosen), 3)
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


def _unusable(energy: FloatArray, free_energy: FloatArray, forces: list[bool],
              stresses: list[bool]) -> list[tuple[str, ...]]:
    """Per step, the names of its values that are not all finite numbers; () for a usable step."""
    finite = [np.isfinite(energy).tolist(), np.isfinite(free_energy).tolist(), forces, stresses]
    return [tuple(name for name, ok in zip(_CHECKED, flags) if not ok) for flags in zip(*finite)]


def _finite(stack: FloatArray, written: list[bool]) -> list[bool]:
    """Per step, whether its row of the stack holds finite numbers only, where the step wrote it."""
    flags: Any = np.isfinite(stack).reshape(len(stack), -1).all(axis=1)  # typed as bool by some NumPys
    return [bool(flag) or not ok for flag, ok in zip(flags.tolist(), written)]


# The values of a frame that must be finite, as `on_skip` names them.
_CHECKED = ("energy", "free_energy", "forces", "stress")

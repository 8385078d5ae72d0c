"""What the exporter needs to know of each ionic step besides its values: which steps DFT
computed, the step's number in the file, whether it wrote a stress, whether its electronic
loop converged, and its last electronic step (for the energy's mending).

Each fact comes from one small function, so that a reader that says more about the steps
(force-field steps of machine-learned MD, which stresses were written) changes one place."""

from __future__ import annotations

from dataclasses import dataclass
from itertools import chain

import numpy as np
import numpy.typing as npt

import quorvel

FloatArray = npt.NDArray[np.float64]

# VASP's default limit of electronic steps.
DEFAULT_NELM = 60


@dataclass(frozen=True, slots=True)
class StepFacts:
    """Per ionic step of the run (lists indexed as `ionic_steps`), and the file's step count."""

    total: int  # the steps the file holds
    numbers: list[int]  # each step's number among them, from 0
    dft: list[int]  # the indices of the steps computed by DFT, in file order
    stress_written: list[bool]
    converged: list[bool]  # the step's electronic loop converged
    last_electronic: list[FloatArray | None]  # e_fr, e_wo_entrp, e_0 of its last electronic step


def step_facts(run: quorvel.Vasprun, steps: list[quorvel.IonicStep]) -> StepFacts:
    electronic = run.electronic_steps
    if len(electronic) != len(steps):  # a step without electronic steps counts none
        electronic = electronic[:len(steps)] + [np.empty((0, 3))] * (len(steps) - len(electronic))
    every = list(range(len(steps)))
    return StepFacts(total=len(steps), numbers=every, dft=every, stress_written=stress_written(run, steps),
                     converged=electronic_converged(run, [len(energies) for energies in electronic]),
                     last_electronic=[energies[-1] if len(energies) else None for energies in electronic])


def stress_written(run: quorvel.Vasprun, steps: list[quorvel.IonicStep]) -> list[bool]:
    """Whether each step wrote its stress. The reader does not say yet, and gives zeros for a
    stress the step did not write (machine-learned MD writes none): every stress counts,
    unless a step says otherwise under the name the ASE bridge expects too."""
    flags: list[bool] = []
    for step in steps:
        written: object = step.get("stress_written", True)
        flags.append(bool(written))
    return flags


def electronic_converged(run: quorvel.Vasprun, counts: list[int]) -> list[bool]:
    """Per step, the rule of `converged_electronic` (which judges the last step): runs without a
    self-consistent loop to judge converge; otherwise a step converged when it took fewer
    electronic steps than NELM. The last step takes the property itself, which also knows
    the response loop of linear-response runs."""
    incar = run.incar
    algo = incar.get("ALGO")
    if (incar.get("ML_LMLFF") is True or (isinstance(algo, str) and algo.isascii() and algo.lower() == "chi")
            or (algo == "Exact" and _integer(incar.get("NELM")) == 1)):
        return [True] * len(counts)
    nelm = _integer(run.parameters.get("NELM"))
    limit = DEFAULT_NELM if nelm is None else nelm
    flags = [count < limit for count in counts]
    if flags:
        flags[-1] = run.converged_electronic
    return flags


def _integer(value: object) -> int | None:
    """A whole number, also when written as a float (60.0)."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value
    if isinstance(value, float) and value.is_integer() and abs(value) < 9.0e18:
        return int(value)
    return None


def stacked_array(rows: list[list[list[float]]], count: int, width: int) -> FloatArray | None:
    """The (steps, count, width) array of every step's rows, None unless every step has `count`
    rows. Filled from the flattened lists: twice as fast as NumPy's conversion of nested lists,
    which looks for their shape at every level."""
    if not all(len(block) == count for block in rows):
        return None
    size = len(rows) * count * width
    if sum(map(len, chain.from_iterable(rows))) == size:  # every row of the right width
        whole = np.fromiter(chain.from_iterable(chain.from_iterable(rows)), np.float64, size)
    else:
        whole = np.array(rows, dtype=np.float64)  # fails with NumPy's word for what is wrong
    return whole.reshape(len(rows), count, width)


def stacked(rows: list[list[list[float]]], count: int, width: int) -> list[FloatArray | None]:
    """Per step its (count, width) array, or None where the step has no such rows; one array
    for the run when every step has them."""
    whole = stacked_array(rows, count, width)
    if whole is not None:
        return list(whole)
    return [np.array(block, dtype=np.float64).reshape(count, width) if len(block) == count else None
            for block in rows]

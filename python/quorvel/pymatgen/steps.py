"""Ionic steps and molecular-dynamics steps in pymatgen's forms."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable

import numpy as np

if TYPE_CHECKING:
    from quorvel import FloatArray, IonicStep

__all__ = ["ELECTRONIC_ENERGIES", "MD_ENERGIES", "ionic_step", "md_step", "stress_written"]

# The energies of a step, in the order pymatgen lists them; the MD ones only where written.
STEP_ENERGIES = ("e_fr_energy", "e_wo_entrp", "e_0_energy")
MD_ENERGIES = ("kinetic", "lattice kinetic", "nosepot", "nosekinetic", "total")
ELECTRONIC_ENERGIES = ("e_fr_energy", "e_wo_entrp", "e_0_energy")


def stress_written(step: IonicStep) -> bool:
    """Whether the file wrote a stress for this step (machine-learned MD steps have none).

    Cores that do not say give every step a stress, zeros where none was written."""
    written: Any = step.get("stress_written", True)  # newer cores only
    return "stress" in step and bool(written)


def energies(step: IonicStep) -> dict[str, float]:
    """The step's energies that the file wrote, in pymatgen's order."""
    values: dict[str, Any] = dict(step)
    return {name: values[name] for name in STEP_ENERGIES + MD_ENERGIES if name in values}


def electronic_steps(table: FloatArray) -> list[dict[str, float]]:
    """One dict per electronic step of its three energies, for cores that read no more of them."""
    first, second, third = ELECTRONIC_ENERGIES
    return [{first: a, second: b, third: c} for a, b, c in table.tolist()]


def ionic_step(step: IonicStep, electronic: list[dict[str, float]], structure: Callable[[Any], Any],
               array: Callable[[Any], Any] = np.array, tensors: dict[str, Any] | None = None) -> dict[str, Any]:
    """pymatgen's dict of one ionic step; `electronic` are its electronic steps' dicts (taken as they
    are), `structure` and `array` make its structure and arrays, `tensors` are the static dielectric
    tensors the step wrote.

    pymatgen keeps arrays (`np.array`) in `Vasprun.ionic_steps`, lists in `as_dict()`."""
    result: dict[str, Any] = energies(step)
    result["forces"] = array(step["forces"])
    if stress_written(step):
        result["stress"] = array(step["stress"])
    if "magnetization" in step:
        result["magnetization"] = array(step["magnetization"])
    for key, value in (tensors or {}).items():
        result[key] = array(value)
    result["electronic_steps"] = electronic
    result["structure"] = structure(step["structure"])
    return result


def md_step(step: dict[str, Any], structure: Callable[[Any], Any]) -> dict[str, Any]:
    """pymatgen's `md_data` entry of one MD step (DFT or predicted by the force field)."""
    return {"structure": structure(step["structure"]), "forces": np.array(step["forces"]),
            "energy": {name: step[name] for name in STEP_ENERGIES + MD_ENERGIES if name in step}}

"""ASE's Atoms from quorvel's reader: `ase.io.read(path, index, format="vasp-xml")`, faster.

    from quorvel.ase import read
    images = read("vasprun.xml", ":")      # instead of ase.io.read(..., format="vasp-xml")

Also registered as ASE's I/O format "quorvel-vasp-xml", so that
`ase.io.read(path, ":", format="quorvel-vasp-xml")` and `ase convert -i
quorvel-vasp-xml` use it. Needs ASE (`pip install 'quorvel[ase]'`)."""

from __future__ import annotations

import copy
import os
from typing import TYPE_CHECKING, Any, overload

import numpy as np

import quorvel

from ._peers import optional_property, require
from ._symbols import element_symbols

require("ase.io", "ase")

from ase import Atoms, units  # noqa: E402  # after the check, which names the extra
from ase.calculators import singlepoint  # noqa: E402
from ase import constraints  # noqa: E402
from ase.data import chemical_symbols  # noqa: E402
from ase.utils import string2index  # noqa: E402
from ase.utils.plugins import ExternalIOFormat  # noqa: E402

# ASE's classes are untyped: they enter as Any
_SinglePointDFTCalculator: Any = singlepoint.SinglePointDFTCalculator
_SinglePointKPoint: Any = singlepoint.SinglePointKPoint
_FixAtoms: Any = constraints.FixAtoms
_FixScaled: Any = constraints.FixScaled

if TYPE_CHECKING:
    from quorvel import IonicStep, Structure

__all__ = ["FORMAT", "read", "read_quorvel_vasp_xml"]

Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
Index = int | slice | str

# The entry point of ASE's I/O formats (pyproject.toml): "+S", many images from a file name.
FORMAT = ExternalIOFormat(desc="VASP vasprun.xml, read by quorvel", code="+S", module="quorvel.ase",
                          glob=["*vasp*.xml", "*vasp*.xml.gz"])

_ELEMENTS = frozenset(chemical_symbols[1:])
# Stress in kB, as VASP writes it, to ASE's eV/Å³ with the sign of a stress rather than a pressure.
_STRESS_UNIT = -0.1 * units.GPa
_VOIGT = [0, 4, 8, 5, 2, 1]


@overload
def read(path: Path, index: int = -1) -> Atoms: ...
@overload
def read(path: Path, index: slice | str) -> list[Atoms]: ...
def read(path: Path, index: Index = -1) -> Atoms | list[Atoms]:
    """The ionic steps of a run file as Atoms, each with a single-point calculator.

    `index` as `ase.io.read` takes it: an int for one image (the last by
    default), a slice or a text such as ":" or "-3:" for a list."""
    chosen = _index(index)
    run = quorvel.Vasprun(path)
    steps = run.ionic_steps
    if isinstance(chosen, slice):
        return _Images(run, steps).atoms(range(len(steps))[chosen])
    return _Images(run, steps).atoms([range(len(steps))[chosen]])[0]


def read_quorvel_vasp_xml(filename: str, index: Index = -1) -> list[Atoms]:
    """ASE's reader function of the "quorvel-vasp-xml" format: always a list of images."""
    chosen = _index(index)
    images = read(filename, chosen if isinstance(chosen, slice) else slice(chosen, chosen + 1 or None))
    return images if isinstance(images, list) else [images]


def _index(index: Index) -> int | slice:
    """An index as `ase.io.read` takes it, a text such as ":" or "-3:" made a slice or an int."""
    chosen: Any = string2index(index) if isinstance(index, str) else index
    if not isinstance(chosen, (int, slice)):
        raise TypeError(f"index {index!r}: an int, a slice or a text such as ':'")
    return chosen


class _Images:
    """Atoms of a run's ionic steps. What every image shares (numbers, parameters, k-points) is
    made once, and the numbers of the chosen steps are converted to arrays together."""

    def __init__(self, run: quorvel.Vasprun, steps: list[IonicStep]) -> None:
        self.run = run
        self.steps = steps
        self.electronic = run.electronic_steps
        self.last = len(steps) - 1
        symbols = element_symbols(run.atoms, run.atom_types, _ELEMENTS.__contains__)
        self.numbers = Atoms(symbols).numbers
        self.flags = _selective(run.initial_structure) or _selective(run.final_structure)
        # one dict and one array for all images, as ASE's reader shares them
        self.parameters = _parameters(run)
        self.ibz_kpts = run.kpoints["kpointlist"]
        self.template: Any = None

    def atoms(self, indices: range | list[int]) -> list[Atoms]:
        chosen = [self.steps[index] for index in indices]
        if not chosen:
            return []
        cells = np.array([step["structure"]["lattice"] for step in chosen], dtype=float)
        fractional = np.array([step["structure"]["positions"] for step in chosen], dtype=float)
        forces = np.array([step["forces"] for step in chosen], dtype=float)
        stresses = np.array([step["stress"] for step in chosen], dtype=float) * _STRESS_UNIT
        images = []
        for position, index in enumerate(indices):
            step = chosen[position]
            cell = cells[position]
            atoms = Atoms(numbers=self.numbers, positions=fractional[position] @ cell, cell=cell, pbc=True)
            flags = _selective(step["structure"]) or self.flags
            if flags is not None:
                atoms.constraints = _constraints(flags)
            results = self._results(index, step, forces[position])
            if _stress_written(step):
                results["stress"] = stresses[position].reshape(9)[_VOIGT]
            calculator = self._calculator(atoms, results)
            if index == self.last:
                self._bands(calculator)
            atoms.calc = calculator
            images.append(atoms)
        return images

    def _calculator(self, atoms: Atoms, results: dict[str, Any]) -> Any:
        """A single-point calculator of these results. The first is made by ASE; the others are
        shallow copies of it with atoms and results of their own, which is what ASE's constructor
        would make of them, at a third of its cost (its defaults and working directory are the
        same for every image)."""
        if self.template is None:
            self.template = _SinglePointDFTCalculator(atoms, **results)
            self.template.name = "vasp"
            self.template.parameters = self.parameters
            self.template.ibz_kpts = self.ibz_kpts
            return self.template
        calculator = copy.copy(self.template)
        untyped: Any = atoms  # ASE's Atoms.copy is untyped
        calculator.atoms = untyped.copy()
        calculator.results = results
        return calculator

    def _results(self, index: int, step: IonicStep, forces: Any) -> dict[str, Any]:
        electronic = self.electronic[index]
        free_energy = np.float64(step["e_fr_energy"])
        energy = np.float64(step["e_0_energy"])
        if len(electronic):
            # the free energy with the last electronic step's sigma -> 0 correction: VASP 5
            # writes a wrong e_0_energy in many files
            energy = free_energy + (electronic[-1, 2] - electronic[-1, 0])
        results: dict[str, Any] = {"energy": energy, "free_energy": free_energy, "forces": forces.copy()}
        if index == self.last:
            born = optional_property(self.run, "born_charges")
            if born is not None:
                results["born_effective_charges"] = np.array(born)
        return results

    def _bands(self, calculator: Any) -> None:
        """The Fermi energy, k-points and eigenvalues, on the image of the last calculation."""
        run = self.run
        kpoints = run.kpoints
        calculator.eFermi = run.efermi
        eigenvalues = run.eigenvalues
        if eigenvalues is None:
            return
        weights = kpoints["weights"].tolist()
        # ASE counts the electrons of a state: two per band without spin polarisation
        electrons = 2.0 if eigenvalues.shape[0] == 1 else 1.0
        calculator.kpts = [_SinglePointKPoint(weights[k], spin, k + 1, eigenvalues[spin, k, :, 0],
                                              eigenvalues[spin, k, :, 1] * electrons)
                           for k in range(eigenvalues.shape[1]) for spin in range(eigenvalues.shape[0])]


def _selective(structure: Structure) -> list[list[bool]] | None:
    flags: Any = structure.get("selective")  # newer cores only
    return None if flags is None else [[bool(flag) for flag in row] for row in flags]


def _constraints(flags: list[list[bool]]) -> list[Any]:
    """Selective dynamics as ASE constrains it: a FixScaled per partly fixed atom, then one
    FixAtoms of the atoms fixed in all three directions."""
    result: list[Any] = [_FixScaled(index, [not flag for flag in row])
                              for index, row in enumerate(flags) if any(row) and not all(row)]
    fixed = [index for index, row in enumerate(flags) if not any(row)]
    if fixed:
        result.append(_FixAtoms(indices=fixed))
    return result


def _stress_written(step: IonicStep) -> bool:
    written: Any = step.get("stress_written", True)  # newer cores only
    return "stress" in step and bool(written)


def _parameters(run: quorvel.Vasprun) -> dict[str, Any]:
    """The calculator's parameters: the k-point recipe, then every run parameter, lower-cased."""
    generation: dict[str, Any] = {}
    if "divisions" in run.kpoints:
        generation["divisions"] = run.kpoints["divisions"]
    parameters: dict[str, Any] = {"kpoints_generation": generation} if generation else {}
    parameters.update((name.lower(), value) for name, value in run.parameters.items())
    return parameters

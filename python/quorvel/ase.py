"""ASE's Atoms from quorvel's reader: `ase.io.read(path, index, format="vasp-xml")`, faster.

    from quorvel.ase import read
    images = read("vasprun.xml", ":")      # instead of ase.io.read(..., format="vasp-xml")

Also registered as ASE's I/O format "quorvel-vasp-xml", so that
`ase.io.read(path, ":", format="quorvel-vasp-xml")` and `ase convert -i
quorvel-vasp-xml` use it. Needs ASE (`pip install 'quorvel[ase]'`)."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, overload

import numpy as np

import quorvel

from ._gc import without_cycle_collection
from ._peers import optional_property, require
from ._steps import stacked_array
from ._symbols import element_symbols

require("ase.utils.plugins", "ase")

from ase.utils.plugins import ExternalIOFormat  # noqa: E402  # after the check, which names the extra

# The entry point of ASE's I/O formats (pyproject.toml): "+S", many images from a file name. Made
# before ase.io is imported, whose registry of formats imports this module while it is being read.
FORMAT = ExternalIOFormat(desc="VASP vasprun.xml, read by quorvel", code="+S", module="quorvel.ase",
                          glob=["*vasp*.xml", "*vasp*.xml.gz"])

require("ase.io", "ase")

from ase import Atoms, units  # noqa: E402
from ase.calculators import singlepoint  # noqa: E402
from ase.cell import Cell as _Cell  # noqa: E402
from ase import constraints  # noqa: E402
from ase.data import chemical_symbols  # noqa: E402
from ase.utils import string2index  # noqa: E402

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
    # the steps' lists and the images are many objects, none in a cycle
    with without_cycle_collection():
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

    def atoms(self, indices: range | list[int]) -> list[Atoms]:
        chosen = [self.steps[index] for index in indices]
        if not chosen:
            return []
        count = len(chosen)
        natoms = len(self.numbers)
        cells = _array([step["structure"]["lattice"] for step in chosen], 3)
        fractional = _array([step["structure"]["positions"] for step in chosen], natoms)
        forces = list(_array([step["forces"] for step in chosen], natoms))
        stresses = list((_array([step["stress"] for step in chosen], 3) * _STRESS_UNIT).reshape(count, 9)[:, _VOIGT])
        energies, free_energies = self._energies(indices, chosen)
        # the product ASE forms, image by image (the same bits as one matmul of the stack)
        positions = np.matmul(fractional, cells)
        # Each image and each calculator's copy of it has arrays of its own: rows of stacks
        # made for them, so that changing one image changes no other, nor what its
        # calculator compares it with.
        clones = _Clones(self.numbers, positions, cells)
        template = self._template(clones.atoms(0, None, 0))
        born = optional_property(self.run, "born_charges")
        images = []
        for position, index in enumerate(indices):
            step = chosen[position]
            flags = _selective(step["structure"]) or self.flags
            results: dict[str, Any] = {"energy": energies[position], "free_energy": free_energies[position],
                                       "forces": forces[position]}
            if _stress_written(step):
                results["stress"] = stresses[position]
            if index == self.last and born is not None:
                results["born_effective_charges"] = np.array(born)
            atoms = clones.atoms(position, flags, 0)
            calculator = clones.calculator(template, clones.atoms(position, flags, 1), results)
            if index == self.last:
                self._bands(calculator)
            atoms._calc = calculator  # the setter's set_atoms is not a single-point calculator's
            images.append(atoms)
        return images

    def _template(self, atoms: Atoms) -> Any:
        """The calculator every image's is a copy of, made once by ASE's constructor."""
        template: Any = self.__dict__.get("template")
        if template is None:
            template = _SinglePointDFTCalculator(atoms)
            template.name = "vasp"
            template.parameters = self.parameters
            template.ibz_kpts = self.ibz_kpts
            self.__dict__["template"] = template
        return template

    def _energies(self, indices: range | list[int], chosen: list[IonicStep]) -> tuple[list[Any], list[Any]]:
        """The energy (the free energy with the last electronic step's sigma -> 0 correction:
        VASP 5 writes a wrong e_0_energy in many files) and free energy of each chosen step,
        as NumPy scalars."""
        free = np.array([step["e_fr_energy"] for step in chosen], dtype=float)
        energy = np.array([step["e_0_energy"] for step in chosen], dtype=float)
        last = np.zeros((len(chosen), 3))
        has_last = np.zeros(len(chosen), dtype=bool)
        for position, index in enumerate(indices):
            electronic: Any = self.electronic[index] if index < len(self.electronic) else ()
            if len(electronic):
                last[position] = electronic[-1]
                has_last[position] = True
        energy = np.where(has_last, free + (last[:, 2] - last[:, 0]), energy)
        return list(energy), list(free)

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


class _Clones:
    """Atoms and single-point calculators made as copies of ones made by ASE's constructors:
    a shallow copy of their attributes with arrays of their own, a tenth of the constructors'
    cost. Where ASE's objects hold attributes this does not know of (another version of
    ASE), the constructors make every image.

    Set 0 are the images, set 1 their calculators' copies of them: rows of stacks made for
    each set, so that no two objects share an array."""

    def __init__(self, numbers: Any, positions: Any, cells: Any) -> None:
        count, natoms = positions.shape[:2]
        self.template = Atoms(numbers=numbers, positions=np.zeros((natoms, 3)), cell=np.eye(3), pbc=True)
        self.fast = (self.template.__dict__.keys() == _ATOMS_ATTRIBUTES
                     and self.template.cell.__dict__.keys() == {"array"})
        self.rows = [(list(np.array(numbers)[None].repeat(count, axis=0)), list(positions), list(cells),
                      list(np.ones((count, 3), dtype=bool)), list(np.zeros((count, 3, 1))))
                     for positions, cells in ((positions, cells), (positions.copy(), cells.copy()))]

    def atoms(self, position: int, flags: list[list[bool]] | None, which: int) -> Atoms:
        """The image of one step (which=0), or its calculator's copy (which=1)."""
        numbers, positions, cells, pbc, celldisp = self.rows[which]
        constraints = [] if flags is None else _constraints(flags)
        if not self.fast:
            made = Atoms(numbers=numbers[position], positions=positions[position], cell=cells[position], pbc=True)
            made.constraints = constraints
            return made
        atoms: Atoms = _new(Atoms)
        cell = _new(_Cell)
        cell.__dict__ = {"array": cells[position]}
        atoms.__dict__ = {"_cellobj": cell, "_pbc": pbc[position],
                          "arrays": {"numbers": numbers[position], "positions": positions[position]},
                          "_celldisp": celldisp[position], "_constraints": constraints, "info": {}, "_calc": None}
        return atoms

    def calculator(self, template: Any, atoms: Atoms, results: dict[str, Any]) -> Any:
        """A copy of the template calculator with these atoms (a copy of the image) and results."""
        calculator = _new(type(template))
        calculator.__dict__ = {**template.__dict__, "atoms": atoms, "results": results}
        return calculator


def _array(rows: list[list[list[float]]], count: int) -> Any:
    """(steps, count, 3) of the steps' rows, which each step has."""
    whole = stacked_array(rows, count, 3)
    return np.array(rows, dtype=float).reshape(len(rows), count, 3) if whole is None else whole


_ATOMS_ATTRIBUTES = {"_cellobj", "_pbc", "arrays", "_celldisp", "_constraints", "info", "_calc"}
_new: Any = object.__new__


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

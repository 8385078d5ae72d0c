"""`Vasprun`: pymatgen's `Vasprun`, its attributes filled from quorvel's record.

pymatgen's own XML parse never runs. The attributes it sets while parsing are
made here on first read (each once, then kept as a plain attribute of the
object), so that a script that asks for a few of them pays only for those;
the methods and properties pymatgen computes from them are pymatgen's own."""

from __future__ import annotations

import os
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable
from xml.etree.ElementTree import ParseError

import numpy as np
from pymatgen.core.units import FloatWithUnit
from pymatgen.io.vasp import outputs

import quorvel

from .._gc import without_cycle_collection
from .._peers import optional_property
from . import dielectric, electronic, inputs, phonons, steps
from .serialise import structure_as_dict, vasprun_dict
from .structures import structure, structure_dicts

if TYPE_CHECKING:
    from pymatgen.core.structure import Structure

    from quorvel import IonicStep
    from pymatgen.electronic_structure.dos import Dos
    from pymatgen.io.vasp.inputs import Incar, Kpoints

__all__ = ["Vasprun"]


class Vasprun(outputs.Vasprun):
    """pymatgen's `Vasprun` of a run file, read by quorvel.

    Takes every argument of `pymatgen.io.vasp.outputs.Vasprun`, with its
    defaults. `ionic_step_skip`, `ionic_step_offset`, `parse_dos`,
    `parse_eigen` and `parse_projected_eigen` choose what is kept as they do
    there; `parse_potcar_file` looks for a POTCAR as pymatgen does;
    `occu_tol` and `separate_spins` steer the band properties.

    `exception_on_bad_xml`: a file cut off while VASP wrote it raises
    `xml.etree.ElementTree.ParseError` (a `SyntaxError`, as lxml's error is);
    with False, what the file holds whole is kept and a warning is issued.
    A file that is no run file raises quorvel's `RuntimeError`."""

    def __init__(
        self,
        filename: str | Path,
        ionic_step_skip: int | None = None,
        ionic_step_offset: int = 0,
        parse_dos: bool = True,
        parse_eigen: bool = True,
        parse_projected_eigen: bool = False,
        parse_potcar_file: str | Path | bool = True,
        occu_tol: float = 1e-8,
        separate_spins: bool = False,
        exception_on_bad_xml: bool = True,
    ) -> None:
        self.filename = filename
        self.ionic_step_skip = ionic_step_skip
        self.ionic_step_offset = ionic_step_offset
        self.occu_tol = occu_tol
        self.separate_spins = separate_spins
        self.exception_on_bad_xml = exception_on_bad_xml
        # Every step is read, and the selection made here, so that nionic_steps counts them all.
        self._record = quorvel.Vasprun(filename, parse_dos=parse_dos, parse_eigen=parse_eigen,
                                       parse_projected=parse_projected_eigen)
        if not self._record.complete:
            if exception_on_bad_xml:
                raise ParseError(f"{os.fspath(filename)!s}: the file ends before </modeling>")
            warnings.warn("XML is malformed. Parsing has stopped but partial data is available.",
                          UserWarning, stacklevel=2)
        if parse_potcar_file:
            self.update_potcar_spec(parse_potcar_file)
            self.update_charge_from_potcar(parse_potcar_file)

    def __getattr__(self, name: str) -> Any:
        """Makes an attribute pymatgen sets while parsing, on its first read, and keeps it."""
        make = _MAKERS.get(name)
        if make is None or name.startswith("_"):
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        value = make(self)
        self.__dict__[name] = value
        return value

    # -- what the run was asked to do -------------------------------------------------------
    def _make_incar(self) -> Incar:
        return inputs.incar(self._record.incar)

    def _make_parameters(self) -> Incar:
        return inputs.incar(self._record.parameters)

    def _make_generator(self) -> Incar:
        # Cores before the generator property read only the program and its version.
        generator = optional_property(self._record, "generator")
        return inputs.incar(generator if generator is not None else
                            {"program": self._record.program, "version": self._record.version})

    def _make_vasp_version(self) -> str:
        return str(self.generator["VERSION"])

    def _make_kpoints(self) -> Kpoints:
        return inputs.kpoints(self._record.kpoints)

    def _make_actual_kpoints(self) -> list[Any]:
        return inputs.actual_kpoints(self._record.kpoints)[0]

    def _make_actual_kpoints_weights(self) -> list[Any]:
        return inputs.actual_kpoints(self._record.kpoints)[1]

    def _make_atomic_symbols(self) -> list[str]:
        return inputs.atomic_symbols(self._record.atoms, self._record.atom_types)

    def _make_potcar_symbols(self) -> list[str]:
        return inputs.potcar_symbols(self._record.atom_types)

    def _make_potcar_spec(self) -> list[dict[str, Any]]:
        return inputs.potcar_spec(self.potcar_symbols)

    # -- structures and steps ---------------------------------------------------------------
    def _make_initial_structure(self) -> Structure:
        return structure(self._record.initial_structure, self.atomic_symbols)

    def _make_final_structure(self) -> Structure:
        return structure(self._record.final_structure, self.atomic_symbols)

    def _kept(self, items: list[Any]) -> list[Any]:
        return items[self.ionic_step_offset:: self.ionic_step_skip or 1]

    def _make_nionic_steps(self) -> int:
        # pymatgen counts every MD step of a machine-learned run, the predicted ones too
        return len(self.md_data) or len(self._once("electronic_steps"))

    def _make_ionic_steps(self) -> list[dict[str, Any]]:
        symbols = self.atomic_symbols
        return self._steps(self._kept(self._record.ionic_steps), lambda data: structure(data, symbols), np.array)

    def _ionic_step_dicts(self) -> list[dict[str, Any]]:
        """`as_dict()`'s ionic steps, made straight from the record while `ionic_steps` is unread.

        The record's step dicts are read afresh for each call: their lists go into the result."""
        if "ionic_steps" in self.__dict__:
            return [_step_as_dict(step) for step in self.ionic_steps]
        kept = self._kept(self._record.ionic_steps)
        structures = iter(structure_dicts([step["structure"] for step in kept], self.atomic_symbols))
        return self._steps(kept, lambda _: next(structures), _as_list)

    def _steps(self, kept: list[IonicStep], make_structure: Any, array: Any) -> list[dict[str, Any]]:
        """The kept ionic steps; the static dielectric tensors go to the file's last step."""
        electronic = self._kept(self._electronic_energies())
        last = len(kept) - 1 if self._last_step_kept() else -1
        tensors = {key: value for key in ("epsilon_rpa", "epsilon", "epsilon_ion")
                   if (value := optional_property(self._record, key)) is not None}
        return [steps.ionic_step(step, energies, make_structure, array, tensors if index == last else None)
                for index, (step, energies) in enumerate(zip(kept, electronic))]

    def _electronic_energies(self) -> list[list[dict[str, float]]]:
        """Per ionic step of the file, a fresh dict of the energies of each electronic step: every
        term written, or the three energies alone from cores that read no more."""
        energies = optional_property(self._record, "electronic_step_energies")
        if energies is None:
            return [steps.electronic_steps(table) for table in self._once("electronic_steps")]
        result: list[list[dict[str, float]]] = energies
        return result

    def _make_md_data(self) -> list[dict[str, Any]]:
        md_steps = optional_property(self._record, "md_steps")
        if not md_steps or not self._is_ml_md():
            return []
        symbols = self.atomic_symbols
        return [steps.md_step(step, lambda data: structure(data, symbols)) for step in md_steps]

    def _is_ml_md(self) -> bool:
        return self._record.incar.get("ML_LMLFF") is True

    # -- electronic structure ---------------------------------------------------------------
    def _make_efermi(self) -> float | None:
        return self._record.efermi

    def _make_eigenvalues(self) -> dict[Any, Any] | None:
        values = self._record.eigenvalues
        return None if values is None else electronic.by_spin(values)

    def _once(self, name: str) -> Any:
        """A property of the record, read once: each read copies its arrays."""
        key = f"_record_{name}"
        if key not in self.__dict__:
            self.__dict__[key] = getattr(self._record, name)
        return self.__dict__[key]

    def _make_projected_eigenvalues(self) -> dict[Any, Any] | None:
        projected = self._once("projected")
        return None if projected is None else electronic.projected_eigenvalues(projected)

    def _make_projected_magnetization(self) -> Any:
        # the sets after the first of a noncollinear run: no array shared with projected_eigenvalues
        projected = self._once("projected")
        return None if projected is None else electronic.projected_magnetisation(projected)

    def _dos_parts(self) -> tuple[Dos, Dos, list[Any]]:
        dos = self._once("dos")
        if dos is None:
            raise AttributeError("the run has no density of states, or parse_dos was False")
        if "_dos_values" not in self.__dict__:
            self.__dict__["_dos_values"] = (*electronic.total_dos(dos), electronic.partial_dos(dos))
        parts: tuple[Dos, Dos, list[Any]] = self.__dict__["_dos_values"]
        return parts

    def _make_tdos(self) -> Dos:
        return self._dos_parts()[0]

    def _make_idos(self) -> Dos:
        return self._dos_parts()[1]

    def _make_pdos(self) -> list[Any]:
        return self._dos_parts()[2]

    def _make_dos_has_errors(self) -> bool:
        self._dos_parts()
        return False

    def _make_kpoints_opt_props(self) -> Any:
        from .kpoints_opt import kpoints_opt_props
        return kpoints_opt_props(optional_property(self._record, "kpoints_opt"), self.final_structure)

    # -- response functions and phonons -----------------------------------------------------
    def _make_dielectric_data(self) -> dict[str, Any]:
        return dielectric.dielectric_data(optional_property(self._record, "dielectric_functions"))

    def _dynmat(self) -> dict[str, Any]:
        dynmat = optional_property(self._record, "dynmat")
        if dynmat is None:  # pymatgen sets these attributes only for runs with a dynamical matrix
            raise AttributeError("the run has no dynamical matrix")
        result: dict[str, Any] = dynmat
        return result

    def _make_force_constants(self) -> Any:
        return phonons.force_constants(self._dynmat())

    def _make_normalmode_eigenvals(self) -> Any:
        return phonons.normal_modes(self._dynmat())[0]

    def _make_normalmode_eigenvecs(self) -> Any:
        return phonons.normal_modes(self._dynmat())[1]

    # -- results pymatgen computes from the ionic steps -------------------------------------
    # quorvel's own checks give pymatgen's values on every file of the test corpus, without
    # building the steps; they judge the last step of the file, so a step selection that
    # leaves it out takes pymatgen's computation on the kept steps.
    def _last_step_kept(self) -> bool:
        """Whether the step selection keeps the file's last step (or the file has none)."""
        last: int = self.nionic_steps - 1
        return last < 0 or (last >= self.ionic_step_offset
                            and (last - self.ionic_step_offset) % (self.ionic_step_skip or 1) == 0)

    @property
    def final_energy(self) -> Any:
        energy = self._record.final_energy
        if energy is None or not self._last_step_kept():
            return super().final_energy
        return FloatWithUnit(energy, "eV")

    @property
    def converged_electronic(self) -> bool:
        if not self._last_step_kept():
            return bool(super().converged_electronic)
        return self._record.converged_electronic

    @property
    def converged_ionic(self) -> bool:
        # The record counts calculations; pymatgen counts every MD step of a machine-learned run.
        if self.md_data:
            return bool(super().converged_ionic)
        return self._record.converged_ionic

    @property
    def eigenvalue_band_properties(self) -> Any:
        """pymatgen's band properties, (gap, cbm, vbm, is_gap_direct) or, with separate_spins,
        each per spin: the same values, found by NumPy rather than a scan of every state."""
        eigenvalues = self.eigenvalues
        if eigenvalues is None or (self.separate_spins and len(eigenvalues) != 2):
            return super().eigenvalue_band_properties  # pymatgen's error
        edges = [electronic.band_edges(values, self.occu_tol) for values in eigenvalues.values()]
        if any(edge is None for edge in edges):
            return super().eigenvalue_band_properties
        # pymatgen's scan: the edges of every spin together, their k-points kept where a spin has none
        vbm: Any = -float("inf")
        cbm: Any = float("inf")
        vbm_k: int | None = None
        cbm_k: int | None = None
        per_spin = []
        for spin_vbm, spin_vbm_k, spin_cbm, spin_cbm_k in edges:  # type: ignore[misc]
            if self.separate_spins:
                vbm, cbm = -float("inf"), float("inf")
            if spin_vbm is not None and spin_vbm > vbm:
                vbm, vbm_k = spin_vbm, spin_vbm_k
            if spin_cbm is not None and spin_cbm < cbm:
                cbm, cbm_k = spin_cbm, spin_cbm_k
            per_spin.append((max(cbm - vbm, 0), cbm, vbm, vbm_k == cbm_k))
        if self.separate_spins:
            return tuple(zip(*per_spin))
        return max(cbm - vbm, 0), cbm, vbm, vbm_k == cbm_k

    def as_dict(self) -> dict[str, Any]:
        """pymatgen's `as_dict()`; the ionic steps straight from the record while unread."""
        with without_cycle_collection():
            return vasprun_dict(self, self._ionic_step_dicts())


def _as_list(value: Any) -> Any:
    """A value as `as_dict()` holds it: lists; the record's own lists are fresh and kept as they are."""
    return value.tolist() if isinstance(value, np.ndarray) else value


def _step_as_dict(step: dict[str, Any]) -> dict[str, Any]:
    return {key: (structure_as_dict(value) if key == "structure" else
                  value.tolist() if isinstance(value, np.ndarray) else value)
            for key, value in step.items()}


# The attributes made on first read, each by its `_make_<name>` method.
_MAKERS: dict[str, Callable[[Vasprun], Any]] = {
    name[len("_make_"):]: maker for name, maker in vars(Vasprun).items() if name.startswith("_make_")}

"""`Vasprun.as_dict()`: pymatgen's dict of a run, made without pymatgen's slow round trips.

The ionic steps come in already as dicts (see `Vasprun._ionic_step_dicts`);
everything else is read from the object's attributes, so that what a user
changed on the object shows in the dict as it does with pymatgen."""

from __future__ import annotations

import contextlib
import gc
from typing import TYPE_CHECKING, Any, Iterator

import numpy as np
from monty.json import jsanitize


if TYPE_CHECKING:
    from .vasprun import Vasprun

__all__ = ["vasprun_dict"]


def _by_spin(values: dict[Any, Any] | None) -> dict[str, Any]:
    return {str(spin): np.asarray(array).tolist() for spin, array in (values or {}).items()}


def _plain(value: Any) -> Any:
    """A NumPy scalar as the Python number JSON takes."""
    return value.item() if isinstance(value, np.generic) else value


def structure_as_dict(structure: Any) -> dict[str, Any]:
    """`Structure.as_dict()` as it stands in pymatgen's `Vasprun.as_dict()`: pbc as a list."""
    data: dict[str, Any] = structure.as_dict()
    data["lattice"]["pbc"] = list(data["lattice"]["pbc"])
    return data


def _kpoints(kpoints: Any, points: list[Any], weights: list[Any]) -> dict[str, Any]:
    # plain lists and floats, as JSON takes them
    data: dict[str, Any] = jsanitize(kpoints.as_dict())
    data["actual_points"] = [{"abc": [float(x) for x in point], "weight": float(weight)}
                             for point, weight in zip(points, weights)]
    return data


def _inputs(run: Vasprun) -> dict[str, Any]:
    symbols = run.potcar_symbols
    result: dict[str, Any] = {
        "incar": dict(run.incar),
        "crystal": structure_as_dict(run.initial_structure),
        "kpoints": _kpoints(run.kpoints, run.actual_kpoints, run.actual_kpoints_weights),
        "nkpoints": len(run.actual_kpoints),
    }
    options = run.kpoints_opt_props
    if options is not None:
        points, weights = options.actual_kpoints or [], options.actual_kpoints_weights or []
        result["kpoints_opt"] = _kpoints(options.kpoints, points, weights)
        result["nkpoints_opt"] = len(points)
    reciprocal = run.final_structure.lattice.reciprocal_lattice
    result.update({
        "potcar": [symbol.split()[1] for symbol in symbols],
        "potcar_spec": run.potcar_spec,
        "potcar_type": [symbol.split()[0] for symbol in symbols],
        "parameters": dict(run.parameters),
        "lattice_rec": {"@module": "pymatgen.core.lattice", "@class": "Lattice",
                        "matrix": reciprocal.matrix.tolist(), "pbc": list(reciprocal.pbc)},
    })
    return result


def _outputs(run: Vasprun, ionic_steps: list[dict[str, Any]]) -> dict[str, Any]:
    final = run.final_structure
    energy = run.final_energy
    result: dict[str, Any] = {
        "ionic_steps": ionic_steps,
        "final_energy": energy,
        "final_energy_per_atom": energy / len(final),
        "crystal": structure_as_dict(final),
        "efermi": run.efermi,
    }
    if run.eigenvalues:
        result["eigenvalues"] = _by_spin(run.eigenvalues)
        gap, cbm, vbm, direct = (_plain(value) for value in run.eigenvalue_band_properties)
        result.update(bandgap=gap, cbm=cbm, vbm=vbm, is_gap_direct=direct)
        if run.projected_eigenvalues:
            result["projected_eigenvalues"] = _by_spin(run.projected_eigenvalues)
        if run.projected_magnetisation is not None:
            result["projected_magnetisation"] = run.projected_magnetisation.tolist()
    options = run.kpoints_opt_props
    if options is not None and options.eigenvalues:
        result["eigenvalues_kpoints_opt"] = _by_spin(options.eigenvalues)
        if options.projected_eigenvalues:
            result["projected_eigenvalues_kpoints_opt"] = _by_spin(options.projected_eigenvalues)
    # pymatgen's epsilon_* properties, read from the last step's dict (a run without steps has none)
    last = ionic_steps[-1] if ionic_steps else {}
    result["epsilon_static"] = last.get("epsilon", [])
    result["epsilon_static_wolfe"] = last.get("epsilon_rpa", [])
    result["epsilon_ionic"] = last.get("epsilon_ion", [])
    if run.dielectric_data:
        result["dielectric"] = run.dielectric
        result["optical_absorption_coeff"] = run.optical_absorption_coeff
    return result


@contextlib.contextmanager
def without_cycle_collection() -> Iterator[None]:
    """Holds the cyclic garbage collector off while many lists are made (none of them in a
    cycle), which it would otherwise scan again and again as they grow: a fifth of the time."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def vasprun_dict(run: Vasprun, ionic_steps: list[dict[str, Any]]) -> dict[str, Any]:
    """The dict pymatgen's `Vasprun.as_dict()` gives for this run."""
    composition = run.final_structure.composition
    return {
        "vasp_version": run.vasp_version,
        "has_vasp_completed": run.converged,
        "nsites": len(run.final_structure),
        "unit_cell_formula": composition.as_dict(),
        "reduced_cell_formula": composition.reduced_composition.as_dict(),
        "pretty_formula": composition.reduced_formula,
        "is_hubbard": run.is_hubbard,
        "hubbards": run.hubbards,
        "elements": sorted({str(element) for element in composition.elements}),
        "nelements": len(composition.elements),
        "run_type": run.run_type,
        "input": _inputs(run),
        "output": _outputs(run, ionic_steps),
    }

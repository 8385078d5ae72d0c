"""`Vasprun.as_dict()`: pymatgen's dict of a run, made without pymatgen's slow round trips.

The ionic steps come in already as dicts (see `Vasprun._ionic_step_dicts`);
everything else is read from the object's attributes, so that what a user
changed on the object shows in the dict as it does with pymatgen."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from monty.json import jsanitize


if TYPE_CHECKING:
    from .vasprun import Vasprun

__all__ = ["vasprun_dict"]


# Arrays smaller than this are converted by `ndarray.tolist()` alone.
_SHARED_FLOATS_FROM = 50_000
# VASP writes eigenvalues, occupancies and projections with 4 decimals (or fewer).
_DECIMALS = 1e4


def nested_list(values: Any) -> Any:
    """`ndarray.tolist()` of an array, faster for the large arrays of a run file.

    VASP writes projections with four decimals, so a large array holds few distinct values
    (about a thousand of the 900,000 projections of a real-shaped run): where every value is
    one of a short table of multiples of 1e-4 (to the bit), the lists refer to one float
    object per distinct value instead of a new float per entry. They compare equal, and to
    the bit, to `tolist()`'s; they are made in a third of the time, and the cyclic garbage
    collector's pass over them is twice as fast."""
    array = np.asarray(values)
    if array.dtype != np.float64 or array.size < _SHARED_FLOATS_FROM:
        return array.tolist()
    with np.errstate(over="ignore", invalid="ignore"):
        scaled = array * _DECIMALS
        np.rint(scaled, out=scaled)
        # NaN and infinities give no index within the range below
        index = scaled.astype(np.intp)
    low, high = int(index.min()), int(index.max())
    if not (-(1 << 52) < low <= high < (1 << 52) and high - low < array.size // 4):
        return array.tolist()
    table = np.arange(low, high + 1) / _DECIMALS
    index -= low
    # the same bits: a -0.0, or a value off the grid, leaves the array to tolist()
    np.take(table, index, out=scaled)
    if not np.array_equal(scaled.view(np.int64), array.view(np.int64)):
        return array.tolist()
    objects = np.empty(len(table), dtype=object)
    objects[:] = table.tolist()
    return objects[index].tolist()


def _by_spin(values: dict[Any, Any] | None) -> dict[str, Any]:
    return {str(spin): nested_list(array) for spin, array in (values or {}).items()}


def _plain(value: Any) -> Any:
    """A NumPy scalar as the Python number JSON takes."""
    return value.item() if isinstance(value, np.generic) else value


def structure_as_dict(structure: Any) -> dict[str, Any]:
    """`Structure.as_dict()` as it stands in pymatgen's `Vasprun.as_dict()`: pbc as a list."""
    data: dict[str, Any] = structure.as_dict()
    data["lattice"]["pbc"] = list(data["lattice"]["pbc"])
    return data


def _kpoints(kpoints: Any, points: list[Any], weights: list[Any], key: str = "actual_points") -> dict[str, Any]:
    # plain lists and floats, as JSON takes them
    data: dict[str, Any] = jsanitize(kpoints.as_dict())
    data[key] = [{"abc": [float(x) for x in point], "weight": float(weight)} for point, weight in zip(points, weights)]
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
    if options:
        if options.kpoints is None or options.actual_kpoints is None or options.actual_kpoints_weights is None:
            raise ValueError("kpt_opt_props.kpoints/actual_kpoints/actual_kpoints_weights cannot be None.")
        # pymatgen names the second set's points "actual_kpoints"
        result["kpoints_opt"] = _kpoints(options.kpoints, options.actual_kpoints, options.actual_kpoints_weights,
                                         "actual_kpoints")
        result["nkpoints_opt"] = len(options.actual_kpoints)
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
    try:
        per_atom = energy / len(final)
    except (ArithmeticError, TypeError):  # as pymatgen: a structure without sites, an energy of None
        per_atom = None
    result: dict[str, Any] = {
        "ionic_steps": ionic_steps,
        "final_energy": energy,
        "final_energy_per_atom": per_atom,
        "crystal": structure_as_dict(final),
        "efermi": run.efermi,
    }
    if run.eigenvalues:
        result["eigenvalues"] = _by_spin(run.eigenvalues)
        gap, cbm, vbm, direct = (_plain(value) for value in run.eigenvalue_band_properties)
        result.update(bandgap=gap, cbm=cbm, vbm=vbm, is_gap_direct=direct)
        if run.projected_eigenvalues:
            result["projected_eigenvalues"] = _by_spin(run.projected_eigenvalues)
        if run.projected_magnetization is not None:
            result["projected_magnetization"] = nested_list(run.projected_magnetization)
    options = run.kpoints_opt_props
    if options and options.eigenvalues:
        result["eigenvalues_kpoints_opt"] = _by_spin(options.eigenvalues)
        if options.projected_eigenvalues:
            result["projected_eigenvalues_kpoints_opt"] = _by_spin(options.projected_eigenvalues)
        if options.projected_magnetization is not None:
            result["projected_magnetization_kpoints_opt"] = nested_list(options.projected_magnetization)
    # pymatgen's epsilon_* properties, read from the last step's dict (a run without steps has none)
    last = ionic_steps[-1] if ionic_steps else {}
    result["epsilon_static"] = last.get("epsilon", [])
    result["epsilon_static_wolfe"] = last.get("epsilon_rpa", [])
    result["epsilon_ionic"] = last.get("epsilon_ion", [])
    # pymatgen's dict holds no dielectric function (`dielectric_data`, `dielectric`, ... stay attributes)
    return result


def vasprun_dict(run: Vasprun, ionic_steps: list[dict[str, Any]]) -> dict[str, Any]:
    """The dict pymatgen's `Vasprun.as_dict()` gives for this run."""
    composition = run.final_structure.composition
    symbols = sorted(set(run.atomic_symbols))
    return {
        "vasp_version": run.vasp_version,
        "has_vasp_completed": run.converged,
        "nsites": len(run.final_structure),
        "unit_cell_formula": composition.as_dict(),
        "reduced_cell_formula": composition.reduced_composition.as_dict(),
        "pretty_formula": composition.reduced_formula,
        "is_hubbard": run.is_hubbard,
        "hubbards": run.hubbards,
        "elements": symbols,
        "nelements": len(symbols),
        "run_type": run.run_type,
        "input": _inputs(run),
        "output": _outputs(run, ionic_steps),
    }

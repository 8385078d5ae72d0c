"""Eigenvalues, projections and densities of states in pymatgen's forms.

quorvel keeps spin as the first axis of its arrays; pymatgen keys them by
`Spin`. A noncollinear run writes four sets (the total, then the
magnetisation along x, y and z): pymatgen's eigenvalues, projections and
total DOS keep the first, and the projections' other three are the
projected magnetisation."""

from __future__ import annotations

from collections import defaultdict
from typing import TYPE_CHECKING, Any

import numpy as np
from pymatgen.electronic_structure.core import Orbital, OrbitalType, Spin
from pymatgen.electronic_structure.dos import Dos

if TYPE_CHECKING:
    from quorvel import Dos as DosData
    from quorvel import FloatArray, Projected

__all__ = ["band_edges", "by_spin", "orbitals", "partial_dos", "projected_eigenvalues", "projected_magnetisation",
           "total_dos"]

_SPINS = (Spin.up, Spin.down)

# VASP's titles of the lm-decomposed orbitals, in its order, which is the order of `Orbital`.
_LM_TITLES = {
    "s": Orbital.s, "py": Orbital.py, "pz": Orbital.pz, "px": Orbital.px,
    "dxy": Orbital.dxy, "dyz": Orbital.dyz, "dz2": Orbital.dz2, "dxz": Orbital.dxz,
    "dx2": Orbital.dx2_y2, "x2-y2": Orbital.dx2_y2, "dx2-y2": Orbital.dx2_y2,
    "fy3x2": Orbital.f_3, "fxyz": Orbital.f_2, "fyz2": Orbital.f_1, "fz3": Orbital.f0,
    "fxz2": Orbital.f1, "fzx2": Orbital.f2, "fx3": Orbital.f3,
    "f-3": Orbital.f_3, "f-2": Orbital.f_2, "f-1": Orbital.f_1, "f0": Orbital.f0,
    "f1": Orbital.f1, "f2": Orbital.f2, "f3": Orbital.f3,
}


def orbitals(titles: list[str]) -> list[Orbital | OrbitalType]:
    """The pymatgen orbitals of the column titles: lm-decomposed (s, py, dxy, ...), or whole
    shells (s, p, d, f) when the file sums each shell."""
    titles = [title.strip() for title in titles]
    if all(title in OrbitalType.__members__ for title in titles):
        return [OrbitalType[title] for title in titles]
    return [_LM_TITLES[title] for title in titles]


def by_spin(array: FloatArray) -> dict[Spin, FloatArray]:
    """The first axis of an array as pymatgen's spins: one set, two, or the total of four."""
    count = 1 if array.shape[0] != 2 else 2
    return {spin: array[index] for index, spin in enumerate(_SPINS[:count])}


def projected_eigenvalues(projected: Projected) -> dict[Spin, FloatArray]:
    """{spin: (nkpts, nbands, nions, norbitals)}."""
    return by_spin(projected["data"])


def projected_magnetisation(projected: Projected) -> FloatArray | None:
    """(nkpts, nbands, nions, norbitals, 3) of a noncollinear run; None otherwise."""
    data = projected["data"]
    if data.shape[0] != 4:
        return None
    return np.moveaxis(data[1:], 0, -1)


def total_dos(dos: DosData) -> tuple[Dos, Dos]:
    """The total DOS and its integral (tdos, idos)."""
    total = dos["total"]
    return (Dos(dos["efermi"], total["energies"], by_spin(total["densities"])),
            Dos(dos["efermi"], total["energies"], by_spin(total["integrated"])))


def partial_dos(dos: DosData) -> list[dict[Any, dict[Spin, FloatArray]]]:
    """pdos[atom][orbital][spin]: the partial DOS of each atom; [] without one."""
    partial = dos.get("partial")
    if partial is None:
        return []
    kinds = orbitals(partial["orbitals"])
    data = partial["data"]  # (nspins, nions, norbitals, nedos)
    spins = _SPINS[: 1 if data.shape[0] != 2 else 2]
    result: list[dict[Any, dict[Spin, FloatArray]]] = []
    for atom in range(data.shape[1]):
        # pymatgen's own pdos entries are defaultdicts
        entry: defaultdict[Any, dict[Spin, FloatArray]] = defaultdict(dict)
        for column, kind in enumerate(kinds):
            entry[kind] = {spin: data[index, atom, column] for index, spin in enumerate(spins)}
        result.append(entry)
    return result


def band_edges(eigenvalues: Any, occu_tol: float) -> tuple[Any, int, Any, int] | None:
    """(vbm, its k-point, cbm, its k-point) of one spin's (nkpts, nbands, 2) eigenvalues, as
    pymatgen's scan over k-points and bands finds them: the first highest energy occupied above
    `occu_tol` and the first lowest at or below it, NaN energies and occupancies never taken.
    An edge without a state is None with k-point -1. None for an array of another shape."""
    array = np.asarray(eigenvalues)
    if array.ndim != 3 or array.shape[2] != 2 or array.dtype.kind != "f":
        return None
    if not array.size:
        return None, -1, None, -1
    energies, occupancies = array[..., 0], array[..., 1]
    valid = ~np.isnan(energies)
    edges: list[Any] = []
    for state, fill in ((occupancies > occu_tol, -np.inf), (occupancies <= occu_tol, np.inf)):
        candidates = np.where(state & valid, energies, fill)
        flat = int(np.argmax(candidates) if fill < 0 else np.argmin(candidates))
        k, band = divmod(flat, array.shape[1])
        found = candidates[k, band] != fill
        edges += [energies[k, band], k] if found else [None, -1]
    vbm, vbm_k, cbm, cbm_k = edges
    return vbm, vbm_k, cbm, cbm_k

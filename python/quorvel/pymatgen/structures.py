"""pymatgen Structures, and the dicts `Vasprun.as_dict()` holds of them, from quorvel's structure dicts."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from pymatgen.core.lattice import Lattice
from pymatgen.core.structure import Structure

if TYPE_CHECKING:
    from quorvel import Structure as StructureData

__all__ = ["structure", "structure_dicts"]


def _selective_flags(data: StructureData) -> list[list[bool]] | None:
    """The selective-dynamics flags of the structure, where the file wrote them."""
    flags: Any = data.get("selective")  # newer cores only
    return None if flags is None else [[bool(flag) for flag in row] for row in flags]


def structure(data: StructureData, species: list[str]) -> Structure:
    """The Structure of one structure dict with these species, as pymatgen builds it from the file."""
    flags = _selective_flags(data)
    properties = None if flags is None else {"selective_dynamics": flags}
    return Structure(Lattice(data["lattice"]), species, data["positions"], site_properties=properties)


def _lattice_parameters(matrices: Any) -> tuple[Any, Any, Any]:
    """Lengths, angles (degrees) and volumes of many lattices (n, 3, 3) at once, to the bit as
    pymatgen's `Lattice` gives them one by one."""
    lengths = np.sqrt(np.sum(matrices**2, axis=-1))
    angles = np.empty_like(lengths)
    for column, (i, j) in enumerate(((1, 2), (2, 0), (0, 1))):
        cosine = np.sum(matrices[:, i] * matrices[:, j], axis=-1) / (lengths[:, i] * lengths[:, j])
        angles[:, column] = np.degrees(np.arccos(np.clip(cosine, -1, 1)))
    volumes = np.abs(np.sum(np.cross(matrices[:, 0], matrices[:, 1]) * matrices[:, 2], axis=-1))
    return lengths, angles, volumes


def _cartesian(fractional: Any, matrices: Any) -> Any:
    """Cartesian coordinates (steps, atoms, 3) summed in the order of one site's own dot product,
    as each pymatgen site computes them; a matrix product can differ in the last bit."""
    # starting from 0.0, as a dot product does, turns a sum of -0.0 into 0.0
    return (0.0 + fractional[:, :, :1] * matrices[:, None, 0] + fractional[:, :, 1:2] * matrices[:, None, 1]
            + fractional[:, :, 2:3] * matrices[:, None, 2])


def structure_dicts(structures: list[StructureData], species: list[str]) -> list[dict[str, Any]]:
    """`structure(data, species).as_dict()` of each structure as `Vasprun.as_dict()` holds it
    (lists for tuples), without building the Structures and their sites. The structure dicts
    are the record's own fresh ones, whose lists are used as they are."""
    if not structures:
        return []
    matrices = np.array([data["lattice"] for data in structures], dtype=float)
    lengths, angles, volumes = _lattice_parameters(matrices)
    cartesian = _cartesian(np.array([data["positions"] for data in structures], dtype=float), matrices).tolist()
    result = []
    for data, xyz_rows, (a, b, c), (alpha, beta, gamma), volume in zip(
            structures, cartesian, lengths.tolist(), angles.tolist(), volumes.tolist()):
        flags = _selective_flags(data)
        sites = []
        for index, (symbol, abc, xyz) in enumerate(zip(species, data["positions"], xyz_rows)):
            properties = {} if flags is None else {"selective_dynamics": flags[index]}
            sites.append({"species": [{"element": symbol, "occu": 1}], "abc": abc, "properties": properties,
                          "label": symbol, "xyz": xyz})
        lattice = {"matrix": data["lattice"], "pbc": [True, True, True], "a": a, "b": b, "c": c,
                   "alpha": alpha, "beta": beta, "gamma": gamma, "volume": volume}
        result.append({"@module": "pymatgen.core.structure", "@class": "Structure", "charge": 0.0,
                       "lattice": lattice, "properties": {}, "sites": sites})
    return result

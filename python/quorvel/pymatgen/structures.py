"""pymatgen Structures, and their `as_dict()` form, from quorvel's structure dicts."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from pymatgen.core import Lattice, Structure

if TYPE_CHECKING:
    from quorvel import Structure as StructureData

__all__ = ["lattice_dict", "structure", "structure_dict"]


def _selective_flags(data: StructureData) -> list[list[bool]] | None:
    """The selective-dynamics flags of the structure, where the file wrote them."""
    flags: Any = data.get("selective")  # type: ignore[misc]  # newer cores only
    return None if flags is None else [[bool(flag) for flag in row] for row in flags]


def structure(data: StructureData, species: list[str]) -> Structure:
    """The Structure of one structure dict with these species, as pymatgen builds it from the file."""
    flags = _selective_flags(data)
    properties = None if flags is None else {"selective_dynamics": flags}
    return Structure(Lattice(data["lattice"]), species, data["positions"], site_properties=properties)


def lattice_dict(lattice: Lattice) -> dict[str, Any]:
    """`Structure.as_dict()["lattice"]` of a structure with this lattice."""
    a, b, c = lattice.abc
    alpha, beta, gamma = lattice.angles
    return {"matrix": lattice.matrix.tolist(), "pbc": list(lattice.pbc), "a": a, "b": b, "c": c,
            "alpha": alpha, "beta": beta, "gamma": gamma, "volume": float(lattice.volume)}


def _cartesian(fractional: Any, matrix: Any) -> Any:
    """Cartesian coordinates summed in the order of one site's own dot product, as each pymatgen
    site computes them; a matrix product of all sites at once can differ in the last bit."""
    # starting from 0.0, as a dot product does, turns a sum of -0.0 into 0.0
    return 0.0 + fractional[:, :1] * matrix[0] + fractional[:, 1:2] * matrix[1] + fractional[:, 2:3] * matrix[2]


def structure_dict(data: StructureData, species: list[str]) -> dict[str, Any]:
    """`structure(data, species).as_dict()` as `Vasprun.as_dict()` holds it, without building the
    Structure and its sites."""
    lattice = Lattice(data["lattice"])
    fractional = np.array(data["positions"], dtype=float)
    cartesian = _cartesian(fractional, lattice.matrix).tolist()
    flags = _selective_flags(data)
    sites = []
    for index, (symbol, abc, xyz) in enumerate(zip(species, fractional.tolist(), cartesian)):
        properties = {} if flags is None else {"selective_dynamics": flags[index]}
        sites.append({"species": [{"element": symbol, "occu": 1}], "abc": abc, "properties": properties,
                      "label": symbol, "xyz": xyz})
    return {"@module": "pymatgen.core.structure", "@class": "Structure", "charge": 0.0,
            "lattice": lattice_dict(lattice), "properties": {}, "sites": sites}

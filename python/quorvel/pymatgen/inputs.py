"""What the run was asked to do, in pymatgen's forms: INCAR, parameters, k-points, POTCARs."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from pymatgen.core.periodic_table import Element
from pymatgen.io.vasp.inputs import Incar, Kpoints, KpointsSupportedModes

from .._symbols import element_symbols

if TYPE_CHECKING:
    import quorvel

__all__ = ["actual_kpoints", "atomic_symbols", "incar", "kpoints", "potcar_spec", "potcar_symbols"]

_COMMENT = "Kpoints from vasprun.xml"


def incar(values: dict[str, Any]) -> Incar:
    """An Incar of the file's values; Incar itself gives pymatgen's names and value forms."""
    return Incar(values)


def kpoints(data: quorvel.Kpoints) -> Kpoints:
    """The k-point recipe: the generation scheme with its divisions, or the explicit list."""
    scheme = data.get("scheme")
    if scheme is None:
        points, weights = actual_kpoints(data)
        return Kpoints(comment=_COMMENT, num_kpts=1, style=KpointsSupportedModes.Reciprocal,
                       kpts=points, kpts_weights=weights)
    style = KpointsSupportedModes.from_str(scheme)
    if style == KpointsSupportedModes.Line_mode:
        # The path's end points and divisions stay in the file; pymatgen keeps only the mode.
        return Kpoints(comment=_COMMENT, style=style)
    divisions = data.get("divisions", [1, 1, 1])
    x, y, z = data.get("usershift", (0.0, 0.0, 0.0))
    result = Kpoints(comment=_COMMENT, style=style, kpts=[tuple(divisions)], kpts_shift=(x, y, z))
    vectors = {"genvec1": data.get("genvec1"), "genvec2": data.get("genvec2"), "genvec3": data.get("genvec3"),
               "shift": data.get("shift")}
    for name, vector in vectors.items():  # attributes of the Kpoints, as pymatgen keeps them
        if vector is not None:
            setattr(result, name, list(vector))
    return result


def actual_kpoints(data: quorvel.Kpoints) -> tuple[list[Any], list[Any]]:
    """The k-points as tuples of three floats, and their weights, as pymatgen lists them."""
    return [tuple(point) for point in data["kpointlist"]], list(data["weights"])


def atomic_symbols(atoms: list[str], atom_types: list[quorvel.AtomType]) -> list[str]:
    """The element of every atom, Xe written as "X" mended as pymatgen does."""
    return element_symbols(atoms, atom_types, Element.is_valid_symbol)


def potcar_symbols(atom_types: list[quorvel.AtomType]) -> list[str]:
    """One POTCAR title per atom type, e.g. "PAW_PBE Fe 06Sep2000"."""
    return [kind["pseudopotential"].strip() for kind in atom_types]


def potcar_spec(symbols: list[str]) -> list[dict[str, Any]]:
    """The POTCAR description without a POTCAR file to hash."""
    return [{"titel": symbol, "hash": None, "summary_stats": {}} for symbol in symbols]

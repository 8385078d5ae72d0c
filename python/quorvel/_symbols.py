"""Element symbols of a run's atoms, for the bridges."""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable

if TYPE_CHECKING:
    import quorvel

__all__ = ["element_symbols"]


def element_symbols(atoms: list[str], atom_types: list[quorvel.AtomType],
                    is_element: Callable[[str], bool]) -> list[str]:
    """The element of every atom. Some VASP versions write Xe as "X": a symbol that names no
    element takes the element of its type's POTCAR title ("PAW_PBE Xe 07Sep2000")."""
    if all(is_element(symbol) for symbol in atoms):
        return atoms
    symbols: list[str] = []
    for kind in atom_types:
        symbol = kind["element"].strip()
        if not is_element(symbol):
            symbol = kind["pseudopotential"].split()[1].split("_")[0]
        symbols += [symbol] * kind["count"]
    return symbols

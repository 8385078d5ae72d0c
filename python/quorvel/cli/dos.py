"""`quorvel dos`: the density of states as a picture."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from typing import TYPE_CHECKING, Sequence

import numpy as np
import numpy.typing as npt

import quorvel

from .plot import FileProblem, energy_window, plain, plot_command, title

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def orbital_group(label: str) -> str:
    """s, p, d or f for an orbital label such as px or dxy (x2-y2 is a d orbital)."""
    return "d" if label == "x2-y2" else label[:1] if label[:1] in ("s", "p", "d", "f") else label


@dataclass
class Curve:
    label: str
    densities: npt.NDArray[np.float64]  # (spins drawn, energies in the window)
    color: str = "black"
    width: float = 1.0


def _orbital_columns(orbitals: Sequence[str], wanted: Sequence[str] | None) -> dict[str, list[int]]:
    """Column indices per name: a group name (s, p, d, f) sums its orbitals, an orbital
    label of the file (px, dxy, ...) stands alone. By default every group of the file."""
    groups: dict[str, list[int]] = {}
    for index, label in enumerate(orbitals):
        groups.setdefault(orbital_group(label), []).append(index)
    if wanted is None:
        return groups
    chosen = {}
    for name in wanted:
        if name in groups:
            chosen[name] = groups[name]
        elif name in orbitals:
            chosen[name] = [list(orbitals).index(name)]
        else:
            raise FileProblem(f"no orbital {name!r} in the partial DOS (it has {' '.join(orbitals)}; "
                              f"groups {' '.join(groups)})")
    return chosen


def _elements(atoms: Sequence[str], wanted: Sequence[str] | None) -> list[str]:
    present = list(dict.fromkeys(atoms))
    for element in wanted or []:
        if element not in present:
            raise FileProblem(f"no element {element!r} in the file (it has {' '.join(present)})")
    return present if wanted is None else list(dict.fromkeys(wanted))


def _dos_spins(densities: npt.NDArray[np.float64]) -> int:
    # Two sets: spin up and down. Any other count (four in a noncollinear run: the
    # total and the magnetisation along x, y, z): the first only.
    return 2 if densities.shape[0] == 2 else min(densities.shape[0], 1)


def _window_indices(energies: npt.NDArray[np.float64], low: float, high: float) -> slice:
    """The grid points inside [low, high] and one beyond each side, so lines reach the frame."""
    if energies.size == 0:
        raise FileProblem("the density of states has no energy grid")
    inside = np.flatnonzero((energies >= low) & (energies <= high))
    if inside.size == 0:
        raise FileProblem(f"no DOS energies between {low:g} and {high:g} eV on the axis "
                          f"(the grid spans {energies.min():g} to {energies.max():g})")
    return slice(max(int(inside[0]) - 1, 0), int(inside[-1]) + 2)


def partial_curves(run: quorvel.Vasprun, args: argparse.Namespace, size: int, shown: slice,
                   nspins: int) -> list[Curve]:
    """One curve per element and orbital selection, summed over that element's atoms, on
    the first `size` grid points and of those the `shown` ones."""
    dos = run.dos
    if dos is None or "partial" not in dos:
        raise FileProblem("no partial density of states in the file")
    data, orbitals = dos["partial"]["data"], dos["partial"]["orbitals"][:dos["partial"]["data"].shape[2]]
    atoms = run.atoms[:data.shape[1]]
    columns = _orbital_columns(orbitals, args.orbitals)
    curves: list[Curve] = []
    for element in _elements(atoms, args.elements):
        ions = [i for i, atom in enumerate(atoms) if atom == element]
        for name, indices in columns.items():
            summed = data[:min(nspins, data.shape[0])][:, ions][:, :, indices].sum(axis=(1, 2))
            curves.append(Curve(plain(f"{element} {name}"), summed[:, :size][:, shown], f"C{len(curves) % 10}",
                                0.8))
    return curves


def _visible(curves: Sequence[Curve], total: Curve) -> list[Curve]:
    """The curves that are not zero over the window. Zero means below a thousandth of the
    total's largest value there: less than a pixel in the figure, and carrying nothing."""
    scale = float(np.abs(total.densities).max(initial=0.0))
    return [curve for curve in curves if float(np.abs(curve.densities).max(initial=0.0)) > 1e-3 * scale]


def dos_figure(run: quorvel.Vasprun, args: argparse.Namespace) -> Figure:
    """The total DOS (and with --partial the chosen element and orbital curves) over the
    energy window; energies relative to the Fermi level unless --absolute; spin down negative."""
    from matplotlib.figure import Figure

    dos = run.dos
    if dos is None:
        raise FileProblem("no density of states in the file")
    wants_partial = bool(args.partial or args.elements or args.orbitals)
    efermi = dos["efermi"]
    shift = 0.0 if args.absolute else efermi
    densities = dos["total"]["densities"]
    size = min(len(dos["total"]["energies"]), densities.shape[1])
    if wants_partial and "partial" in dos:  # the grids should agree; the common part is drawn
        size = min(size, dos["partial"]["data"].shape[3])
    energies = dos["total"]["energies"][:size] - shift
    low, high = energy_window(args, efermi - shift)
    shown = _window_indices(energies, low, high)
    nspins = _dos_spins(densities)
    total = Curve("total", densities[:nspins, :size][:, shown])
    curves = [total]
    if wants_partial:
        curves += _visible(partial_curves(run, args, size, shown, nspins), total)
    figure = Figure(figsize=(8, 5))
    axes = figure.add_subplot()
    for curve in curves:
        for spin, values in enumerate(curve.densities):
            axes.plot(energies[shown], values if spin == 0 else -values, color=curve.color,
                      linewidth=curve.width, label=curve.label if spin == 0 else None)
    axes.axvline(efermi - shift, color="grey", linestyle="--", linewidth=1, label="Fermi level")
    if nspins == 2:
        axes.axhline(0.0, color="grey", linewidth=0.5)
    axes.set_xlim(low, high)
    axes.set_xlabel("Energy (eV)" if args.absolute else "E − E_F (eV)")
    axes.set_ylabel("DOS (states/eV)" + ("; spin down negative" if nspins == 2 else ""))
    axes.set_title(title(run, args.file))
    axes.legend(fontsize="small")
    return figure


def command_dos(args: argparse.Namespace) -> int:
    return plot_command(args, dos_figure, parse_eigen=False)

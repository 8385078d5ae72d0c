"""`quorvel dos`: the density of states as a picture, and its numbers."""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Sequence

import numpy as np
import numpy.typing as npt

import quorvel

from .broadening import gaussian_broadening
from .dat import write_dat
from .gap import Verdict, run_verdict
from .plot import FileProblem, energy_window, matplotlib_missing, plain, read_one, save, title
from .sites import chosen_sites

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
    in_legend: bool = True


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
    """One curve per element and orbital selection, summed over that element's atoms (those
    of --atoms), broadened by --sigma, on the first `size` grid points and of those the
    `shown` ones."""
    dos = run.dos
    if dos is None or "partial" not in dos:
        raise FileProblem("no partial density of states in the file")
    data, orbitals = dos["partial"]["data"], dos["partial"]["orbitals"][:dos["partial"]["data"].shape[2]]
    atoms = run.atoms[:data.shape[1]]
    columns = _orbital_columns(orbitals, args.orbitals)
    sites = chosen_sites(args.atoms, len(atoms)) if args.atoms else range(len(atoms))
    energies = dos["total"]["energies"][:size]
    curves: list[Curve] = []
    for element in _elements([atoms[i] for i in sites], args.elements):
        ions = [i for i in sites if atoms[i] == element]
        for name, indices in columns.items():
            summed = data[:min(nspins, data.shape[0])][:, ions][:, :, indices].sum(axis=(1, 2))[:, :size]
            curves.append(Curve(plain(f"{element} {name}"), _broadened(summed, energies, args.sigma)[:, shown],
                                f"C{len(curves) % 10}", 0.8))
    return curves


def _broadened(densities: npt.NDArray[np.float64], energies: npt.NDArray[np.float64],
               sigma: float | None) -> npt.NDArray[np.float64]:
    return densities if sigma is None else gaussian_broadening(densities, energies, sigma)


# A curve's share of the window below this fraction of the largest curve's: drawn, but
# kept out of the legend, which would otherwise list curves one cannot see.
LEGEND_FRACTION = 0.03


def _visible(curves: Sequence[Curve], total: Curve) -> list[Curve]:
    """The curves that are not zero over the window. Zero means below a thousandth of the
    total's largest value there: less than a pixel in the figure, and carrying nothing."""
    scale = float(np.abs(total.densities).max(initial=0.0))
    return [curve for curve in curves if float(np.abs(curve.densities).max(initial=0.0)) > 1e-3 * scale]


def _mark_legend(curves: Sequence[Curve]) -> None:
    """Keeps out of the legend the curves whose weight in the window (the sum of their
    densities, all spins) is below LEGEND_FRACTION of the largest curve's."""
    weights = [float(np.abs(curve.densities).sum()) for curve in curves]
    largest = max(weights, default=0.0)
    for curve, weight in zip(curves, weights):
        curve.in_legend = weight >= LEGEND_FRACTION * largest


@dataclass
class DosPlot:
    """The numbers of the picture."""
    energies: npt.NDArray[np.float64]  # the grid points shown, relative to the zero (or absolute)
    curves: list[Curve]  # the total first
    efermi: float  # where the Fermi level is drawn, on the axis's scale
    window: tuple[float, float]
    verdict: Verdict
    absolute: bool
    title: str


def dos_plot(run: quorvel.Vasprun, args: argparse.Namespace) -> DosPlot:
    """The total DOS (and with --partial, --elements, --orbitals or --atoms the chosen curves)
    over the window, broadened by --sigma; energies relative to the VBM of a gapped run or
    the Fermi level of a metal (the metal-or-gap rule), unless --absolute."""
    dos = run.dos
    if dos is None:
        raise FileProblem("no density of states in the file")
    wants_partial = bool(args.partial or args.elements or args.orbitals or args.atoms)
    verdict = run_verdict(run)
    efermi = dos["efermi"]
    zero = verdict.zero if verdict.name else efermi
    shift = 0.0 if args.absolute else zero
    densities = dos["total"]["densities"]
    size = min(len(dos["total"]["energies"]), densities.shape[1])
    if wants_partial and "partial" in dos:  # the grids should agree; the common part is drawn
        size = min(size, dos["partial"]["data"].shape[3])
    energies = dos["total"]["energies"][:size] - shift
    low, high = energy_window(args, zero - shift)
    shown = _window_indices(energies, low, high)
    nspins = _dos_spins(densities)
    total = Curve("total", _broadened(densities[:nspins, :size], energies, args.sigma)[:, shown])
    curves = [total]
    if wants_partial:
        partial = _visible(partial_curves(run, args, size, shown, nspins), total)
        _mark_legend(partial)
        curves += partial
    return DosPlot(energies[shown], curves, efermi - shift, (low, high), verdict, args.absolute, title(run, args.file))


def dos_figure(run: quorvel.Vasprun, args: argparse.Namespace) -> Figure:
    """The picture of dos_plot: spin down negative, the Fermi level dashed."""
    return figure_of(dos_plot(run, args))


def figure_of(plot: DosPlot) -> Figure:
    from matplotlib.figure import Figure

    figure = Figure(figsize=(8, 5))
    axes = figure.add_subplot()
    nspins = plot.curves[0].densities.shape[0]
    for curve in plot.curves:
        for spin, values in enumerate(curve.densities):
            axes.plot(plot.energies, values if spin == 0 else -values, color=curve.color, linewidth=curve.width,
                      label=curve.label if spin == 0 and curve.in_legend else None)
    axes.axvline(plot.efermi, color="grey", linestyle="--", linewidth=1, label="Fermi level")
    if nspins == 2:
        axes.axhline(0.0, color="grey", linewidth=0.5)
    axes.set_xlim(*plot.window)
    name = plot.verdict.name or "E_F"
    axes.set_xlabel("Energy (eV)" if plot.absolute else f"E − {name} (eV)")
    axes.set_ylabel("DOS (states/eV)" + ("; spin down negative" if nspins == 2 else ""))
    axes.set_title(plot.title)
    axes.legend(fontsize="small")
    return figure


def write_dos_dat(plot: DosPlot, output: str) -> int:
    """The energies and every curve drawn (spin down positive here), one column each."""
    nspins = plot.curves[0].densities.shape[0]
    suffixes = ("_up", "_down") if nspins == 2 else ("",)
    names = ["energy"] + [curve.label.replace(" ", "_").replace("\\$", "$") + suffix
                          for curve in plot.curves for suffix in suffixes]
    columns = np.column_stack([plot.energies] + [values for curve in plot.curves for values in curve.densities])
    where = "the file's energies" if plot.absolute else \
        f"relative to {plot.verdict.name or 'E_F'} = {plot.verdict.zero:.6f} eV"
    comments = [f"quorvel dos: {plot.title}", f"energies in eV, {where}; densities in states/eV",
                f"Fermi level at {plot.efermi:.6f} on this scale"]
    return write_dat(output, comments, names, columns)


def command_dos(args: argparse.Namespace) -> int:
    if matplotlib_missing(args.command):
        return 1
    run = read_one(args.file)
    if run is None:
        return 1
    try:
        plot = dos_plot(run, args)
    except FileProblem as problem:
        print(f"quorvel: {args.file}: {problem}", file=sys.stderr)
        return 1
    status = save(figure_of(plot), args.output)
    if args.dat is not None:
        status = max(status, write_dos_dat(plot, args.dat))
    return status

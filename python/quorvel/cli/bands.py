"""`quorvel bands`: the band structure along the k-path of one run, or of several joined, as a picture."""

from __future__ import annotations

import argparse
import os
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Sequence, cast

import numpy as np
import numpy.typing as npt

import quorvel

from .band_data import BandSet, band_set, joined_eigenvalues, mean_fermi
from .band_path import BandPath, band_path, joined_path
from .dat import write_dat
from .gap import Verdict, occupancy_gap, verdict
from .plot import FileProblem, energy_window, matplotlib_missing, plain, read_one, save
from .table import formula

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


@dataclass
class BandPlot:
    """The numbers of the picture: the path, the energies relative to the zero, the zero."""
    path: BandPath
    energies: npt.NDArray[np.float64]  # (nspins, nbands, nkpts), relative to verdict.zero
    verdict: Verdict
    title: str


def band_plot(sets: Sequence[BandSet], title: str = "") -> BandPlot:
    """The runs' k-points as one path; energies relative to the VBM of a gapped run or the
    Fermi energy of a metal, the metal-or-gap rule applied to the k-points drawn."""
    eigenvalues, notes = joined_eigenvalues(list(sets))
    for note in notes:
        print(f"quorvel: note: {note}", file=sys.stderr)
    parts = [band_path(s.kpoints, s.lattice, s.labels, s.line_mode) for s in sets]
    path = joined_path(parts, [s.kpoints for s in sets])
    rule = verdict(occupancy_gap(eigenvalues), mean_fermi(list(sets)), max(s.sigma for s in sets))
    energies = eigenvalues[..., 0].transpose(0, 2, 1) - rule.zero
    return BandPlot(path, energies, rule, title)


def _with_breaks(values: npt.NDArray[np.float64], jumps: Sequence[int]) -> npt.NDArray[np.float64]:
    """values (along the last axis) with NaN inserted before each jump, so lines break there."""
    return np.insert(values.astype(float), list(jumps), np.nan, axis=-1)


# spin down dashed as well, so that both channels show where they coincide
SPIN_STYLES = (("C0", "-", "spin up"), ("C3", "--", "spin down"))


def _draw_bands(axes: Axes, x: npt.NDArray[np.float64], energies: npt.NDArray[np.float64],
                window: tuple[float, float]) -> None:
    """One line per band and spin, leaving out the bands that stay outside the window."""
    nspins = energies.shape[0]
    for spin in range(nspins):
        color, style, name = SPIN_STYLES[spin] if nspins == 2 else ("C0", "-", "")
        drawn = 0
        for band in energies[spin]:
            finite = band[np.isfinite(band)]
            if finite.size == 0 or finite.max() < window[0] or finite.min() > window[1]:
                continue
            axes.plot(x, band, color=color, linestyle=style, linewidth=1, gid="band",
                      label=name if drawn == 0 and name else None)
            drawn += 1


def bands_figure(plot: BandPlot, window: tuple[float, float]) -> Figure:
    """The bands along the path, with vertical lines and labels at the labelled k-points
    and the joins of segments, the zero as a dashed line."""
    from matplotlib.figure import Figure

    path, name = plot.path, plot.verdict.name
    figure = Figure(figsize=(8, 5))
    axes = figure.add_subplot()
    _draw_bands(axes, _with_breaks(path.distances, path.jumps), _with_breaks(plot.energies, path.jumps), window)
    for position in sorted({p for p, _ in path.ticks} | set(path.joins)):
        if 0.0 < position < path.distances[-1]:
            axes.axvline(position, color="grey", linewidth=0.6, gid="kpoint")
    if name:
        axes.axhline(0.0, color="grey", linestyle="--", linewidth=0.8, gid="reference")
    axes.set_xticks([p for p, _ in path.ticks], [label for _, label in path.ticks])
    axes.set_xlim(0.0, float(path.distances[-1]))
    axes.set_ylim(*window)
    axes.set_ylabel(f"E − {name} (eV)" if name else "Energy (eV)")
    axes.set_title(plot.title)
    if axes.get_legend_handles_labels()[1]:  # two spins, and bands in the window
        axes.legend(fontsize="small", loc="best")
    return figure


def write_band_dat(plot: BandPlot, output: str) -> int:
    """Every band (not only those in the window) as columns beside the distance; a blank
    line where the path jumps."""
    energies = plot.energies
    nspins, nbands = energies.shape[0], energies.shape[1]
    spin_names = ("up", "down") if nspins == 2 else ("",)
    names = ["distance"] + [f"band{band + 1}" + (f"_{spin_names[spin]}" if nspins == 2 else "")
                            for spin in range(nspins) for band in range(nbands)]
    columns = np.column_stack([plot.path.distances, energies.reshape(nspins * nbands, -1).T])
    zero = plot.verdict
    comments = [f"quorvel bands: {plot.title}",
                f"distance along the path in 1/Å (with 2π); energies in eV relative to "
                f"{zero.name or 'nothing'} = {zero.zero:.6f} eV" + (f" ({zero.reason})" if zero.reason else ""),
                "ticks: " + "  ".join(f"{label} {position:.8f}" for position, label in plot.path.ticks)]
    return write_dat(output, comments, names, columns, plot.path.jumps)


def _title(paths: Sequence[str], atoms: Sequence[str]) -> str:
    return plain(f"{formula(atoms)}: {' + '.join(os.path.basename(path) for path in paths)}")


def band_sets(runs: Sequence[quorvel.Vasprun], args: argparse.Namespace) -> list[BandSet]:
    """What is drawn of each run, its notes printed; FileProblem names the file that fails."""
    sets = []
    for index, (run, path) in enumerate(zip(runs, args.files)):
        try:
            found = band_set(run, path, use_main=args.main,
                             kpoints_path=args.kpoints[index] if args.kpoints else None)
        except FileProblem as problem:
            raise FileProblem(f"{path}: {problem}") from None
        for note in found.notes:
            print(f"quorvel: {path}: note: {note}", file=sys.stderr)
        sets.append(found)
    return sets


def bands_picture(runs: Sequence[quorvel.Vasprun], args: argparse.Namespace) -> tuple[BandPlot, Figure]:
    """The numbers and the figure of the runs (args.files their paths); FileProblem when
    they hold no band structure to draw."""
    plot = band_plot(band_sets(runs, args), _title(args.files, runs[0].atoms))
    return plot, bands_figure(plot, energy_window(args, 0.0))


def command_bands(args: argparse.Namespace) -> int:
    if args.kpoints and len(args.kpoints) != len(args.files):
        print(f"quorvel bands: error: --kpoints is given {len(args.kpoints)} times for {len(args.files)} "
              "files: give it once per file, in their order", file=sys.stderr)
        return 2
    if matplotlib_missing(args.command):
        return 1
    runs = [read_one(path) for path in args.files]
    if not all(runs):
        return 1
    try:
        plot, figure = bands_picture(cast("list[quorvel.Vasprun]", runs), args)
    except FileProblem as problem:
        print(f"quorvel: {problem}", file=sys.stderr)
        return 1
    status = save(figure, args.output)
    if args.dat is not None:
        status = max(status, write_band_dat(plot, args.dat))
    return status

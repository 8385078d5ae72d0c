"""`quorvel bands`: the band structure along the k-path as a picture."""

from __future__ import annotations

import argparse
import math
import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Sequence

import numpy as np
import numpy.typing as npt

import quorvel

from .plot import FileProblem, energy_window, plain, plot_command, title

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


@dataclass
class BandPath:
    """Where the k-points lie along the drawn path."""
    distances: npt.NDArray[np.float64]  # cumulative, Å⁻¹, one per k-point
    jumps: list[int] = field(default_factory=list)  # k-point indices that start a new, disconnected piece
    ticks: list[tuple[float, str]] = field(default_factory=list)  # (distance, label)
    joins: list[float] = field(default_factory=list)  # distances of segment joins (vertical lines)


def reciprocal_lattice(lattice: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Rows b1, b2, b3 with a_i · b_j = 2π δ_ij (Å⁻¹)."""
    matrix = np.asarray(lattice, dtype=float)
    if matrix.shape != (3, 3) or not np.isfinite(matrix).all() or abs(np.linalg.det(matrix)) < 1e-12:
        raise FileProblem("the final structure's lattice is not three independent vectors")
    return 2 * math.pi * np.linalg.inv(matrix).T


# the capital Greek letters that differ from Latin ones, by name
GREEK = {"gamma": "Γ", "delta": "Δ", "theta": "Θ", "lambda": "Λ", "xi": "Ξ", "pi": "Π", "sigma": "Σ",
         "phi": "Φ", "psi": "Ψ", "omega": "Ω"}


def tick_label(label: str) -> str:
    """A k-point label for the axis: G and gamma (any case, with or without a backslash) are Γ,
    and other Greek names written with a backslash their letter: \\Sigma is Σ."""
    text = label.strip()
    if text.lstrip("\\").lower() in ("g", "gamma", "γ"):
        return "Γ"
    if text.startswith("\\") and text[1:].lower() in GREEK:
        return GREEK[text[1:].lower()]
    return plain(text)


def _coordinates_label(point: npt.NDArray[np.float64]) -> str:
    return "Γ" if not point.any() else " ".join(f"{x + 0.0:g}" for x in point)  # + 0.0: no "-0"


def segment_length(kpoints: npt.NDArray[np.float64], labels: Sequence[tuple[int, str]]) -> int | None:
    """The k-points per segment of a line-mode path: every segment has the same count,
    its end points labelled, and consecutive segments repeat the joining point. Taken
    from the labels, else from the first repeated point; None when neither fits."""
    count = len(kpoints)
    indices = sorted(index for index, _ in labels)
    candidates = []
    if len(indices) >= 2 and indices[0] == 0:
        candidates.append(indices[1] + 1)
    repeats = [int(i) + 1 for i in np.flatnonzero((np.diff(kpoints, axis=0) == 0).all(axis=1))]
    if repeats:
        candidates.append(repeats[0])
    for length in candidates:
        if length >= 2 and count % length == 0 and all(i % length in (0, length - 1) for i in indices) \
                and all(i % length == 0 for i in repeats):
            return length
    return None


def _merged_ticks(ticks: Sequence[tuple[float, str]], tolerance: float) -> list[tuple[float, str]]:
    """Ticks at one place become one; different labels there are joined as X|U."""
    merged: list[tuple[float, list[str]]] = []
    for position, label in sorted(ticks, key=lambda tick: tick[0]):
        if merged and position - merged[-1][0] <= tolerance:
            if label not in merged[-1][1]:
                merged[-1][1].append(label)
        else:
            merged.append((position, [label]))
    return [(position, "|".join(names)) for position, names in merged]


def band_path(kpoints: npt.ArrayLike, lattice: npt.ArrayLike, labels: Sequence[tuple[int, str]] = (),
              line_mode: bool = False) -> BandPath:
    """Cumulative Cartesian distance along fractional k-points (reciprocal lattice with 2π).

    In line mode the path is cut into segments of equal length; a segment starts where
    the one before ends, so the step between them adds no distance: a repeated point
    is the same place, and a differing one is a jump to a new piece of path (the band
    lines break there and the two labels share a tick, X|U). Without labels the
    ticks are the path's ends."""
    fractional = np.asarray(kpoints, dtype=float).reshape(-1, 3)
    if not np.isfinite(fractional).all():
        raise FileProblem("the k-point list holds numbers that are not finite")
    steps = np.linalg.norm(np.diff(fractional @ reciprocal_lattice(lattice), axis=0), axis=1)
    length = segment_length(fractional, labels) if line_mode else None
    starts = list(range(length, len(fractional), length)) if length else []
    jumps = [start for start in starts if not np.allclose(fractional[start - 1], fractional[start], atol=1e-6)]
    steps[[start - 1 for start in starts]] = 0.0
    distances = np.concatenate([[0.0], np.cumsum(steps)])
    if labels:
        ticks = [(float(distances[index]), tick_label(name)) for index, name in labels
                 if 0 <= index < len(distances)]
    else:
        ticks = [(0.0, _coordinates_label(fractional[0])), (float(distances[-1]),
                                                            _coordinates_label(fractional[-1]))]
    tolerance = 1e-9 * max(float(distances[-1]), 1.0)
    return BandPath(distances, jumps, _merged_ticks(ticks, tolerance), [float(distances[s]) for s in starts])


def band_reference(run: quorvel.Vasprun) -> tuple[float, str]:
    """The zero of the energy axis and its name: the VBM of an insulator, else the Fermi
    energy; the absolute scale (0, "") when the file has neither.

    An insulator has a gap and its VBM no higher than the Fermi energy. A state above
    E_F that holds electrons is a partly filled band seen through the smearing: the
    gap rule then finds a small gap above E_F, but the run is a metal. The 0.01 eV
    allow for the rounding of the file's numbers (and bound the error of a wrong call)."""
    gap, efermi = run.band_gap, run.efermi
    if gap is not None and gap["gap"] > 0 and math.isfinite(gap["vbm"]) \
            and (efermi is None or gap["vbm"] <= efermi + 0.01):
        return float(gap["vbm"]), "VBM"
    if efermi is not None:
        return float(efermi), "E_F"
    return 0.0, ""


def _with_breaks(values: npt.NDArray[np.float64], jumps: Sequence[int]) -> npt.NDArray[np.float64]:
    """values (along the last axis) with NaN inserted before each jump, so lines break there."""
    return np.insert(values.astype(float), list(jumps), np.nan, axis=-1)


def _band_energies(run: quorvel.Vasprun) -> npt.NDArray[np.float64]:
    """Energies (nspins, nbands, nkpts): one row per band, checked against the k-point list."""
    eigenvalues = run.eigenvalues
    if eigenvalues is None or eigenvalues.size == 0:
        raise FileProblem("no eigenvalues in the file")
    listed = len(run.kpoints["kpointlist"])
    if eigenvalues.shape[1] != listed:
        raise FileProblem(f"the eigenvalues have {eigenvalues.shape[1]} k-points, the k-point list {listed}")
    if listed < 2:
        raise FileProblem("a band structure needs at least two k-points")
    return eigenvalues[..., 0].transpose(0, 2, 1)


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


def bands_figure(run: quorvel.Vasprun, args: argparse.Namespace) -> Figure:
    """The bands along the file's k-path, relative to the VBM (insulator) or the Fermi
    energy (metal), with vertical lines and labels at the labelled k-points."""
    from matplotlib.figure import Figure

    energies = _band_energies(run)
    kpoints = run.kpoints
    path = band_path(kpoints["kpointlist"], run.final_structure["lattice"], kpoints.get("labels", []),
                     line_mode=kpoints.get("scheme") == "listgenerated")
    reference, name = band_reference(run)
    window = energy_window(args, 0.0)
    figure = Figure(figsize=(8, 5))
    axes = figure.add_subplot()
    _draw_bands(axes, _with_breaks(path.distances, path.jumps), _with_breaks(energies - reference, path.jumps),
                window)
    for position in sorted({p for p, _ in path.ticks} | set(path.joins)):
        if 0.0 < position < path.distances[-1]:
            axes.axvline(position, color="grey", linewidth=0.6, gid="kpoint")
    if name:
        axes.axhline(0.0, color="grey", linestyle="--", linewidth=0.8, gid="reference")
    axes.set_xticks([p for p, _ in path.ticks], [label for _, label in path.ticks])
    axes.set_xlim(0.0, float(path.distances[-1]))
    axes.set_ylim(*window)
    axes.set_ylabel(f"E − {name} (eV)" if name else "Energy (eV)")
    axes.set_title(title(run, args.file))
    if axes.get_legend_handles_labels()[1]:  # two spins, and bands in the window
        axes.legend(fontsize="small", loc="best")
    return figure


def grid_note(kpoints: dict[str, Any]) -> str | None:
    """A warning for k-points made as a grid (an SCF run), whose order is no path through the zone."""
    if "divisions" in kpoints and not kpoints.get("labels"):
        return (f"the k-points are a {kpoints.get('scheme', 'regular')} grid, not a path: the picture follows "
                "their order in the file")
    return None


def _noted_bands_figure(run: quorvel.Vasprun, args: argparse.Namespace) -> Figure:
    figure = bands_figure(run, args)
    if (note := grid_note(dict(run.kpoints))) is not None:
        print(f"quorvel: {args.file}: note: {note}", file=sys.stderr)
    return figure


def command_bands(args: argparse.Namespace) -> int:
    return plot_command(args, _noted_bands_figure)

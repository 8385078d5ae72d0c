"""Where the k-points of a band structure lie along its path: distances, segments, jumps and tick labels."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Sequence

import numpy as np
import numpy.typing as npt

from .plot import FileProblem, plain


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


def _segment_starts(fractional: npt.NDArray[np.float64], labels: Sequence[tuple[int, str]],
                    line_mode: bool) -> list[int]:
    """The k-point indices that start a new segment of the path. In line mode every
    segment has the same length; otherwise two labelled points in a row end one
    segment and start the next (as an explicit list of a hybrid run's path has them)."""
    if line_mode:
        length = segment_length(fractional, labels)
        return list(range(length, len(fractional), length)) if length else []
    labelled = {index for index, _ in labels}
    return [index for index in sorted(labelled) if index > 0 and index - 1 in labelled]


def band_path(kpoints: npt.ArrayLike, lattice: npt.ArrayLike, labels: Sequence[tuple[int, str]] = (),
              line_mode: bool = False) -> BandPath:
    """Cumulative Cartesian distance along fractional k-points (reciprocal lattice with 2π).

    The path is cut into segments (see _segment_starts); a segment starts where the one
    before ends, so the step between them adds no distance: a repeated point is the
    same place, and a differing one is a jump to a new piece of path (the band lines
    break there and the two labels share a tick, X|U). Without labels the ticks are
    the path's ends."""
    fractional = np.asarray(kpoints, dtype=float).reshape(-1, 3)
    if not np.isfinite(fractional).all():
        raise FileProblem("the k-point list holds numbers that are not finite")
    steps = np.linalg.norm(np.diff(fractional @ reciprocal_lattice(lattice), axis=0), axis=1)
    starts = _segment_starts(fractional, labels, line_mode)
    jumps = [start for start in starts if not np.allclose(fractional[start - 1], fractional[start], atol=1e-6)]
    steps[[start - 1 for start in starts]] = 0.0
    distances = np.concatenate([[0.0], np.cumsum(steps)])
    if labels:
        ticks = [(float(distances[index]), tick_label(name)) for index, name in labels
                 if 0 <= index < len(distances)]
    else:
        ticks = [(0.0, _coordinates_label(fractional[0])), (float(distances[-1]),
                                                            _coordinates_label(fractional[-1]))]
    return BandPath(distances, jumps, _merged_ticks(ticks, _tolerance(distances)),
                    [float(distances[s]) for s in starts])


def _tolerance(distances: npt.NDArray[np.float64]) -> float:
    return 1e-9 * max(float(distances[-1]), 1.0)


def joined_path(parts: Sequence[BandPath], kpoints: Sequence[npt.NDArray[np.float64]]) -> BandPath:
    """Paths of several runs one after the other: each starts where the one before ends
    (no distance added), a join where it repeats the last point, else a jump."""
    distances, jumps, ticks, joins = [parts[0].distances], list(parts[0].jumps), list(parts[0].ticks), \
        list(parts[0].joins)
    count = len(parts[0].distances)
    for part, points, before in zip(parts[1:], kpoints[1:], kpoints[:-1]):
        offset = float(distances[-1][-1])
        if not np.allclose(before[-1], points[0], atol=1e-6):
            jumps.append(count)
        joins.append(offset)
        distances.append(part.distances + offset)
        jumps += [jump + count for jump in part.jumps]
        ticks += [(position + offset, label) for position, label in part.ticks]
        joins += [position + offset for position in part.joins]
        count += len(part.distances)
    joined = np.concatenate(distances)
    return BandPath(joined, jumps, _merged_ticks(ticks, _tolerance(joined)), joins)

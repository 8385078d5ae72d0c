"""What `bands` draws of one run: which k-point set, which of its points, and their labels.

A run with KPOINTS_OPT data is drawn from them (the main set on request). A run that
mixes weighted k-points (the self-consistent grid of a hybrid run) with zero-weight
ones (the path) is drawn from the zero-weight ones only. Labels come from --kpoints,
else from the run, else from the KPOINTS (or KPOINTS_OPT) file beside it."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, cast

import numpy as np
import numpy.typing as npt

import quorvel

from .gap import smearing
from .kpoints_file import KpointsFileError, KpointsLabels, fits, read_kpoints
from .plot import FileProblem

if TYPE_CHECKING:
    from quorvel import Kpoints, KpointsOpt


def kpoints_opt(run: quorvel.Vasprun) -> KpointsOpt | None:
    """The run's KPOINTS_OPT data, or None (also for a reader that does not give them)."""
    data = getattr(run, "kpoints_opt", None)
    return cast("KpointsOpt", data) if isinstance(data, dict) and data.get("eigenvalues") is not None else None


@dataclass
class BandSet:
    """The k-points and eigenvalues of one run that are drawn, with their labels."""
    path: str
    kpoints: npt.NDArray[np.float64]  # (nkpts, 3) fractional
    eigenvalues: npt.NDArray[np.float64]  # (nspins, nkpts, nbands, 2): energy, occupancy
    lattice: npt.NDArray[np.float64]  # rows a1, a2, a3 (Å)
    labels: list[tuple[int, str]]
    line_mode: bool
    efermi: float | None
    sigma: float
    grid: bool = False  # the k-points are a grid, not a path
    notes: list[str] = field(default_factory=list)


def _source(run: quorvel.Vasprun, use_main: bool) -> tuple[Kpoints, npt.NDArray[np.float64] | None, float | None,
                                                               str, str]:
    """The k-point set to draw: (kpoints, eigenvalues, E_F, file name of its KPOINTS, note)."""
    opt = kpoints_opt(run)
    if opt is not None and not use_main and "kpoints" in opt:
        dos = opt.get("dos")
        efermi = dos["efermi"] if dos is not None else run.efermi
        return opt["kpoints"], opt["eigenvalues"], efermi, "KPOINTS_OPT", \
            "drawn from the KPOINTS_OPT k-points (--main draws the main set)"
    return run.kpoints, run.eigenvalues, run.efermi, "KPOINTS", ""


def _zero_weight_points(weights: npt.NDArray[np.float64]) -> npt.NDArray[np.intp] | None:
    """The indices of the zero-weight k-points when the run also has weighted ones, else None."""
    zero = np.asarray(weights, dtype=float) == 0.0
    return np.flatnonzero(zero) if zero.any() and not zero.all() else None


def _relabel(labels: list[tuple[int, str]], chosen: npt.NDArray[np.intp] | None) -> list[tuple[int, str]]:
    """Labels of the whole list moved to the chosen points' positions; others dropped."""
    if chosen is None:
        return labels
    position = {int(index): new for new, index in enumerate(chosen)}
    return [(position[index], label) for index, label in labels if index in position]


def _file_labels(found: KpointsLabels, listed: npt.NDArray[np.float64], chosen: npt.NDArray[np.intp] | None,
                 name: str) -> tuple[list[tuple[int, str]], bool]:
    """The labels of a KPOINTS file for the drawn points: the file may make the drawn
    points alone or the run's whole list. KpointsFileError says why it fits neither."""
    drawn = listed if chosen is None else listed[chosen]
    if fits(found, drawn) is None:
        return found.labels, found.line_mode
    if chosen is not None and fits(found, listed) is None:
        return _relabel(found.labels, chosen), False
    raise KpointsFileError(f"{name} does not fit the run's k-points: {fits(found, drawn)}")


def _labels(kpoints: Kpoints, listed: npt.NDArray[np.float64], chosen: npt.NDArray[np.intp] | None,
            beside: str, given: str | None, notes: list[str]) -> tuple[list[tuple[int, str]], bool]:
    """(labels, line mode from the file): --kpoints first, then the run's own, then the file beside it."""
    if given is not None:
        try:
            return _file_labels(read_kpoints(given), listed, chosen, given)
        except (OSError, KpointsFileError) as error:
            raise FileProblem(f"--kpoints {given}: {getattr(error, 'strerror', None) or error}") from None
    if kpoints.get("labels"):
        return _relabel(list(kpoints.get("labels", [])), chosen), False
    if not os.path.isfile(beside):
        return [], False
    try:
        return _file_labels(read_kpoints(beside), listed, chosen, beside)
    except KpointsFileError as error:
        notes.append(f"no labels from {beside}: {error}")
    except OSError as error:
        notes.append(f"no labels from {beside}: {error.strerror}")
    return [], False


def band_set(run: quorvel.Vasprun, path: str, *, use_main: bool = False, kpoints_path: str | None = None) -> BandSet:
    """What is drawn of one run; FileProblem when it has no band structure to draw."""
    kpoints, eigenvalues, efermi, kpoints_name, source_note = _source(run, use_main)
    notes = [source_note] if source_note else []
    if eigenvalues is None or eigenvalues.size == 0:
        raise FileProblem("no eigenvalues in the file")
    listed = np.asarray(kpoints["kpointlist"], dtype=float).reshape(-1, 3)
    if eigenvalues.shape[1] != len(listed):
        raise FileProblem(f"the eigenvalues have {eigenvalues.shape[1]} k-points, the k-point list {len(listed)}")
    chosen = _zero_weight_points(kpoints["weights"]) if len(kpoints["weights"]) == len(listed) else None
    if chosen is not None:
        notes.append(f"zero-weight mode: the {len(listed) - len(chosen)} weighted k-points (the self-consistent "
                     f"grid) are left out, the {len(chosen)} zero-weight ones make the path")
    beside = os.path.join(os.path.dirname(os.path.abspath(path)), kpoints_name)
    labels, file_line_mode = _labels(kpoints, listed, chosen, beside, kpoints_path, notes)
    drawn = listed if chosen is None else listed[chosen]
    if len(drawn) < 2:
        raise FileProblem("a band structure needs at least two k-points")
    line_mode = file_line_mode or (kpoints.get("scheme") == "listgenerated" and chosen is None)
    grid = "divisions" in kpoints and kpoints.get("scheme") != "listgenerated" and not labels and chosen is None
    if grid:
        notes.append(f"the k-points are a {kpoints.get('scheme', 'regular')} grid, not a path: the picture follows "
                     "their order in the file")
    return BandSet(path, drawn, eigenvalues if chosen is None else eigenvalues[:, chosen],
                   np.asarray(run.final_structure["lattice"], dtype=float), labels, line_mode, efermi,
                   smearing(run.parameters), grid, notes)


def joined_eigenvalues(sets: list[BandSet]) -> tuple[npt.NDArray[np.float64], list[str]]:
    """The sets' eigenvalues along one k-axis; runs with different band counts keep the
    bands they all have (with a note). FileProblem for different spin counts."""
    spins = {band_set.eigenvalues.shape[0] for band_set in sets}
    if len(spins) > 1:
        raise FileProblem("the runs to join differ in their number of spins: " +
                          ", ".join(f"{s.path} {s.eigenvalues.shape[0]}" for s in sets))
    bands = min(band_set.eigenvalues.shape[2] for band_set in sets)
    notes = []
    if any(band_set.eigenvalues.shape[2] != bands for band_set in sets):
        notes.append(f"the runs have different numbers of bands: the lowest {bands} of each are drawn")
    return np.concatenate([band_set.eigenvalues[:, :, :bands] for band_set in sets], axis=1), notes


def mean_fermi(sets: list[BandSet]) -> float | None:
    """The runs' Fermi energies averaged (those that have one): one zero for a joined path."""
    known = [band_set.efermi for band_set in sets if band_set.efermi is not None]
    return float(np.mean(known)) if known else None

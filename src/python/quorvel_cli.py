"""The `quorvel` command: summaries of run files, their ionic steps, and DOS and band-structure plots.

    quorvel info FILE|FOLDER... [--format table|csv|json] [-j N]   what each file holds
    quorvel steps FILE|FOLDER... [--format table|csv|json] [-j N]  the ionic steps, one row each
    quorvel dos FILE [-o dos.png] [--partial] [--window EMIN EMAX]  the density of states as a picture
    quorvel bands FILE [-o bands.png] [--window EMIN EMAX]          the band structure as a picture

Exit status: 0 when every file was read, 1 when some file failed (its error is
printed on standard error with its name, the other files go on), 2 for wrong usage.
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import sys
import time
from collections import Counter
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from functools import partial
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Sequence, TypeVar

import numpy as np
import numpy.typing as npt

import quorvel

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

STEP_COLUMNS = ("step", "e_fr_energy", "e_wo_entrp", "e_0_energy", "max_force", "stress_trace", "volume")
INFO_COLUMNS = ("path", "program", "version", "formula", "atoms", "kpoints", "ionic_steps", "complete",
                "final_energy", "converged_electronic", "converged_ionic", "efermi", "band_gap", "direct", "error")
RUN_SUFFIXES = (".xml", ".xml.gz")
DEFAULT_WINDOW = (-6.0, 6.0)

Result = TypeVar("Result")


class FileProblem(Exception):
    """A file that was read but lacks what a command needs; the message says what."""


# ---------------------------------------------------------------------------
# Values derived from a run
# ---------------------------------------------------------------------------
def formula(atoms: Sequence[str]) -> str:
    """Element counts in order of first appearance: Fe Fe O O O -> Fe2O3."""
    return "".join(f"{element}{count if count > 1 else ''}" for element, count in Counter(atoms).items())


def step_rows(run: quorvel.Vasprun) -> list[dict[str, Any]]:
    """One row per kept ionic step: energies (eV), the largest force norm (eV/Å),
    the trace of the stress tensor (kB) and the cell volume (Å³)."""
    rows = []
    for number, step in enumerate(run.ionic_steps, 1):
        forces = np.asarray(step["forces"], dtype=float).reshape(-1, 3)
        rows.append({"step": number, "e_fr_energy": step["e_fr_energy"], "e_wo_entrp": step["e_wo_entrp"],
                     "e_0_energy": step["e_0_energy"],
                     "max_force": float(np.linalg.norm(forces, axis=1).max()) if len(forces) else None,
                     "stress_trace": float(np.trace(np.asarray(step["stress"], dtype=float))),
                     "volume": step["structure"]["volume"]})
    return rows


def _shape(array: npt.NDArray[np.float64]) -> str:
    return "(" + ", ".join(str(n) for n in array.shape) + ")"


def sections(run: quorvel.Vasprun) -> list[tuple[str, str]]:
    """The bulk sections present, with the shapes of their arrays."""
    found = []
    if (eigenvalues := run.eigenvalues) is not None:
        found.append(("eigenvalues", _shape(eigenvalues)))
    if (projected := run.projected) is not None:
        found.append(("projected", f"{_shape(projected['data'])}, orbitals {' '.join(projected['orbitals'])}"))
    if (dos := run.dos) is not None:
        found.append(("dos total", _shape(dos["total"]["densities"])))
        if "partial" in dos:
            found.append(("dos partial", f"{_shape(dos['partial']['data'])}, "
                                         f"orbitals {' '.join(dos['partial']['orbitals'])}"))
    if (dielectric := run.dielectric) is not None:
        found.append(("dielectric", f"real {_shape(dielectric['real'])}, imag {_shape(dielectric['imag'])}"))
    return found


# ---------------------------------------------------------------------------
# Summaries: plain values only, so that they travel back from worker processes
# ---------------------------------------------------------------------------
def _failed_summary(path: str, message: str) -> dict[str, Any]:
    return {**dict.fromkeys(INFO_COLUMNS), "path": path, "error": message}


def run_summary(path: str, run: quorvel.Vasprun) -> dict[str, Any]:
    """The row of INFO_COLUMNS for a file read fine, plus what the table shows besides."""
    steps, gap = run.ionic_steps, run.band_gap
    last = steps[-1] if steps else None
    return {"path": path, "program": run.program, "version": run.version, "formula": formula(run.atoms),
            "atoms": len(run.atoms), "kpoints": len(run.kpoints["weights"]), "ionic_steps": len(steps),
            "complete": run.complete, "final_energy": run.final_energy,
            "converged_electronic": run.converged_electronic,
            "converged_ionic": run.converged_ionic, "efermi": run.efermi,
            "band_gap": None if gap is None else gap["gap"], "direct": None if gap is None else gap["direct"],
            "error": None,
            # shown by the table only
            "converged": run.converged, "gap": gap, "sections": sections(run),
            "energies": None if last is None else (last["e_fr_energy"], last["e_wo_entrp"], last["e_0_energy"])}


def summarise(path: str, parse_projected: bool = False) -> dict[str, Any]:
    """Reads one file into its summary; a file that cannot be read gives a row with its error text."""
    try:
        return run_summary(path, quorvel.Vasprun(path, parse_projected=parse_projected))
    except Exception as error:  # one failing file must not stop the others
        return _failed_summary(path, str(error) or type(error).__name__)


def _failed_steps(path: str, message: str) -> dict[str, Any]:
    return {"path": path, "rows": [], "error": message}


def read_steps(path: str) -> dict[str, Any]:
    """The step rows of one file, or its error text."""
    try:
        run = quorvel.Vasprun(path, parse_dos=False, parse_eigen=False)
        return {"path": path, "rows": step_rows(run), "error": None}
    except Exception as error:  # one failing file must not stop the others
        return _failed_steps(path, str(error) or type(error).__name__)


# ---------------------------------------------------------------------------
# Finding the run files of the arguments
# ---------------------------------------------------------------------------
def run_files_in(folder: str, problems: list[str]) -> list[str]:
    """The run files of a folder tree in walk order (sorted, hidden folders left out):
    names ending in .xml or .xml.gz that contain "vasprun"; when no name does, every
    .xml and .xml.gz file, so that a folder of renamed run files is read too."""
    found: list[str] = []
    for root, folders, names in os.walk(folder, onerror=lambda error: problems.append(f"{error.filename}: "
                                                                                     f"{error.strerror}")):
        folders[:] = sorted(name for name in folders if not name.startswith("."))
        found.extend(os.path.join(root, name) for name in sorted(names) if name.lower().endswith(RUN_SUFFIXES))
    named = [path for path in found if "vasprun" in os.path.basename(path).lower()]
    return named or found


def expand_arguments(arguments: Sequence[str]) -> tuple[list[str], list[str]]:
    """Files as given, folders replaced by their run files; and the problems met, one text each."""
    paths: list[str] = []
    problems: list[str] = []
    for argument in arguments:
        if not os.path.isdir(argument):
            paths.append(argument)  # a missing file fails when read, in its own row
            continue
        found = run_files_in(argument, problems)
        if not found:
            problems.append(f"{argument}: no run files (*.xml, *.xml.gz) in the folder")
        paths.extend(found)
    return paths, problems


def _report(problems: Iterable[str]) -> int:
    """Prints each problem on standard error; 1 when there was one, else 0."""
    status = 0
    for problem in problems:
        print(f"quorvel: {problem}", file=sys.stderr)
        status = 1
    return status


# ---------------------------------------------------------------------------
# Reading many files with several workers
# ---------------------------------------------------------------------------
def progress_text(done: int, total: int, elapsed: float, width: int = 24) -> str:
    """`[#.......................]  12/184  3.4 files/s  ETA 0:51`: files done, rate, time left."""
    filled = width * done // total if total else width
    bar = "#" * filled + "." * (width - filled)
    if done and elapsed > 0:
        rate = done / elapsed
        left = round((total - done) / rate)
        speed, eta = f"{rate:.1f} files/s", f"{left // 60}:{left % 60:02d}"
    else:
        speed, eta = "- files/s", "-"
    return f"[{bar}] {done:>{len(str(total))}}/{total}  {speed}  ETA {eta}"


class Progress:
    """A progress bar on standard error, only when it is a terminal and there are several files."""

    def __init__(self, total: int) -> None:
        self.total, self.done, self.width = total, 0, 0
        self.start = time.monotonic()
        self.active = total > 1 and sys.stderr.isatty()
        # how often a waiting reader redraws the bar, so that rate and ETA stay current
        self.refresh: float | None = 0.5 if self.active else None

    def update(self, done: int) -> None:
        self.done = done
        self.show()

    def show(self) -> None:
        if self.active:
            text = progress_text(self.done, self.total, time.monotonic() - self.start)
            sys.stderr.write("\r" + text.ljust(self.width))
            sys.stderr.flush()
            self.width = len(text)

    def clear(self) -> None:
        if self.active and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()
            self.width = 0


def _executor(workers: int) -> Executor:
    # Threads: the reader parses without the interpreter lock, so they read in
    # parallel, and a Vasprun need not travel between processes.
    return ThreadPoolExecutor(workers)


def _in_order(futures: Sequence[Future[Result]], items: Sequence[str], failed: Callable[[str, str], Result],
              progress: Progress) -> Iterator[Result]:
    """The futures' results in submission order, yielded as soon as each and all before it are done."""
    pending, next_index = set(futures), 0
    while next_index < len(futures):
        _, pending = wait(pending, timeout=progress.refresh, return_when=FIRST_COMPLETED)
        progress.update(len(futures) - len(pending))
        while next_index < len(futures) and futures[next_index].done():
            try:
                result = futures[next_index].result()
            except Exception as error:  # a worker failed: its file gets the error row
                result = failed(items[next_index], f"the worker reading the file failed: {error!r}")
            progress.clear()  # the bar and the output share the terminal
            yield result
            progress.show()
            next_index += 1


def results_in_order(function: Callable[[str], Result], items: Sequence[str], workers: int,
                     failed: Callable[[str, str], Result]) -> Iterator[Result]:
    """function(item) for each item, read by `workers` workers, in the order of items.
    One worker reads in this process. function must not raise: it reports failures
    in its result; failed(item, message) stands for a worker that died."""
    progress = Progress(len(items))
    try:
        if workers <= 1 or len(items) <= 1:
            for done, item in enumerate(items):
                progress.update(done)  # shown while the next file is read
                result = function(item)
                progress.clear()
                yield result
            return
        pool = _executor(min(workers, len(items)))
        try:
            futures = [pool.submit(function, item) for item in items]
            yield from _in_order(futures, items, failed, progress)
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
    finally:
        progress.clear()


# ---------------------------------------------------------------------------
# Output of rows
# ---------------------------------------------------------------------------
def _finite(value: Any) -> Any:
    return None if isinstance(value, float) and not math.isfinite(value) else value


def _csv_cell(value: Any) -> str:
    return "" if value is None else repr(value) if isinstance(value, float) else str(value)


class RowWriter:
    """Rows as CSV (written as they come, full precision) or as one JSON list (non-finite numbers as null)."""

    def __init__(self, form: str, columns: Sequence[str]) -> None:
        self.form, self.columns = form, columns
        self.rows: list[dict[str, Any]] = []
        if form == "csv":
            self.writer = csv.DictWriter(sys.stdout, fieldnames=columns, lineterminator="\n")
            self.writer.writeheader()

    def write(self, row: dict[str, Any]) -> None:
        if self.form == "csv":
            self.writer.writerow({key: _csv_cell(row[key]) for key in self.columns})
            sys.stdout.flush()
        else:
            self.rows.append({key: _finite(row[key]) for key in self.columns})

    def close(self) -> None:
        if self.form == "json":
            json.dump(self.rows, sys.stdout, indent=1)
            print()


# ---------------------------------------------------------------------------
# quorvel info
# ---------------------------------------------------------------------------
def _yes(flag: bool) -> str:
    return "yes" if flag else "no"


def _converged_text(summary: dict[str, Any]) -> str:
    parts = [f"{name} {_yes(summary[key])}" for name, key in (("electronic", "converged_electronic"),
                                                                ("ionic", "converged_ionic"))
             if summary[key] is not None]
    return _yes(summary["converged"]) + (f" ({', '.join(parts)})" if parts else "")


def band_gap_text(gap: dict[str, Any] | None) -> str:
    if gap is None or (math.isinf(gap["vbm"]) and math.isinf(gap["cbm"])):
        return "-"
    if math.isinf(gap["vbm"]):
        return "- (no occupied state)"
    if math.isinf(gap["cbm"]):
        return "- (no empty state)"
    if gap["gap"] == 0:
        return "0 (metal)"
    kind = "direct" if gap["direct"] else "indirect"
    return f"{gap['gap']:.4f} eV ({kind}; VBM {gap['vbm']:.4f} eV, CBM {gap['cbm']:.4f} eV)"


def info_lines(summary: dict[str, Any]) -> list[str]:
    """The table block of one file read fine: its path, then one line per field."""
    fields = [("program", f"{summary['program']} {summary['version']}"), ("formula", summary["formula"]),
              ("atoms", str(summary["atoms"])), ("k-points", str(summary["kpoints"])),
              ("ionic steps", str(summary["ionic_steps"]))]
    if summary["complete"] is not None:
        fields.append(("complete", "yes" if summary["complete"] else "no (incomplete file)"))
    if (energies := summary["energies"]) is not None:
        fields.append(("final energy", f"{energies[0]:.6f} eV free, {energies[1]:.6f} eV without "
                                       f"entropy, {energies[2]:.6f} eV sigma->0"))
    fields.append(("converged", _converged_text(summary)))
    efermi = summary["efermi"]
    fields.append(("Fermi energy", "-" if efermi is None else f"{efermi:.4f} eV"))
    fields.append(("band gap", band_gap_text(summary["gap"])))
    fields.extend(summary["sections"] or [("sections", "none")])
    return [summary["path"]] + [f"  {name:<13} {value}" for name, value in fields]


def command_info(args: argparse.Namespace) -> int:
    paths, problems = expand_arguments(args.files)
    status = _report(problems)
    # the table shows the projections' shape; the rows do not need them
    reader = partial(summarise, parse_projected=args.format == "table" and not args.no_projected)
    writer = None if args.format == "table" else RowWriter(args.format, INFO_COLUMNS)
    printed = 0
    for summary in results_in_order(reader, paths, args.jobs, _failed_summary):
        if summary["error"] is not None:
            status = _report([f"{summary['path']}: {summary['error']}"])
        if writer is not None:
            writer.write(summary)
        elif summary["error"] is None:
            print(("\n" if printed else "") + "\n".join(info_lines(summary)))
            sys.stdout.flush()
            printed += 1
    if writer is not None:
        writer.close()
    return status


# ---------------------------------------------------------------------------
# quorvel steps
# ---------------------------------------------------------------------------
def step_table(rows: Sequence[dict[str, Any]]) -> list[str]:
    """The rows as right-aligned columns under a header line."""
    cells = [[str(row["step"])] + ["-" if row[key] is None else f"{row[key]:.6f}" for key in STEP_COLUMNS[1:]]
             for row in rows]
    widths = [max([len(name)] + [len(line[i]) for line in cells]) for i, name in enumerate(STEP_COLUMNS)]
    return ["  ".join(cell.rjust(width) for cell, width in zip(line, widths))
            for line in [list(STEP_COLUMNS)] + cells]


def command_steps(args: argparse.Namespace) -> int:
    paths, problems = expand_arguments(args.files)
    status = _report(problems)
    writer = None if args.format == "table" else RowWriter(args.format, ("file",) + STEP_COLUMNS)
    printed = 0
    for result in results_in_order(read_steps, paths, args.jobs, _failed_steps):
        if result["error"] is not None:
            status = _report([f"{result['path']}: {result['error']}"])
            continue
        if writer is not None:
            for row in result["rows"]:
                writer.write({"file": result["path"], **row})
            continue
        # one file prints its table alone; several print each under its name, as `head` does
        heading = [result["path"]] if len(paths) > 1 else []
        print(("\n" if printed else "") + "\n".join(heading + step_table(result["rows"])))
        printed += 1
    if writer is not None:
        writer.close()
    return status


# ---------------------------------------------------------------------------
# Pictures: shared parts
# ---------------------------------------------------------------------------
def _matplotlib_missing(command: str) -> bool:
    """True, after saying how to install it, when matplotlib (an optional extra) is not there."""
    try:
        import matplotlib.figure  # noqa: F401
    except ImportError:
        print(f"quorvel: the {command} command needs matplotlib; install it with: pip install 'quorvel[plot]'",
              file=sys.stderr)
        return True
    return False


def _read_one(path: str, **options: bool) -> quorvel.Vasprun | None:
    """The run, or None after printing why the file could not be read."""
    try:
        return quorvel.Vasprun(path, **options)
    except Exception as error:
        print(f"quorvel: {path}: {error}", file=sys.stderr)
        return None


def _save(figure: Figure, output: str) -> int:
    try:
        figure.savefig(output, dpi=120)
    except (OSError, ValueError) as error:  # an unwritable path, an unknown picture format
        print(f"quorvel: {output}: {error}", file=sys.stderr)
        return 1
    print(f"wrote {output}")
    return 0


def _window(args: argparse.Namespace, reference: float) -> tuple[float, float]:
    """The energy range on the axis: as given, or DEFAULT_WINDOW around the reference energy."""
    if args.window is not None:
        return float(args.window[0]), float(args.window[1])
    return reference + DEFAULT_WINDOW[0], reference + DEFAULT_WINDOW[1]


def _plot_command(args: argparse.Namespace, draw: Callable[[quorvel.Vasprun, argparse.Namespace], Figure],
                  **options: bool) -> int:
    """Reads the file, draws the picture and writes it; a file lacking what the picture needs gets its message."""
    if _matplotlib_missing(args.command):
        return 1
    run = _read_one(args.file, **options)
    if run is None:
        return 1
    try:
        figure = draw(run, args)
    except FileProblem as problem:
        print(f"quorvel: {args.file}: {problem}", file=sys.stderr)
        return 1
    return _save(figure, args.output)


def plain(text: str) -> str:
    """Text from a file, shown as it is: matplotlib would read $...$ as mathematics."""
    return text.replace("$", r"\$")


def _title(run: quorvel.Vasprun, path: str) -> str:
    return plain(f"{formula(run.atoms)}: {os.path.basename(path)}")


# ---------------------------------------------------------------------------
# quorvel dos
# ---------------------------------------------------------------------------
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
    low, high = _window(args, efermi - shift)
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
    axes.set_title(_title(run, args.file))
    axes.legend(fontsize="small")
    return figure


def command_dos(args: argparse.Namespace) -> int:
    return _plot_command(args, dos_figure, parse_eigen=False)


# ---------------------------------------------------------------------------
# quorvel bands
# ---------------------------------------------------------------------------
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
    window = _window(args, 0.0)
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
    axes.set_title(_title(run, args.file))
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
    return _plot_command(args, _noted_bands_figure)


# ---------------------------------------------------------------------------
# The command line
# ---------------------------------------------------------------------------
def _version() -> str:
    """The package version and the libraries the module was built with."""
    from importlib.metadata import PackageNotFoundError, version
    try:
        number = version("quorvel")
    except PackageNotFoundError:
        number = "unknown"
    built = quorvel.build_info
    return f"{number} (gzip: {built['gzip']}, floats: {built['floats']})"


def _workers(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of workers, at least 1, got {text!r}")
    return count


class _Window(argparse.Action):
    """--window EMIN EMAX, with EMIN below EMAX."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        low, high = values
        if not low < high:
            parser.error(f"argument --window: EMIN must be below EMAX, got {low:g} {high:g}")
        setattr(namespace, self.dest, (low, high))


def _energy(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected an energy in eV, got {text!r}")
    return value


FOLDERS_HELP = ("run files or folders; a folder is searched recursively for *.xml and *.xml.gz files "
                "whose name contains 'vasprun' (all of them when no name does)")


def _add_many_files(command: argparse.ArgumentParser) -> None:
    command.add_argument("files", nargs="+", metavar="FILE", help=FOLDERS_HELP + "; a failing file does not "
                                                                                 "stop the others")
    command.add_argument("--format", choices=("table", "csv", "json"), default="table",
                         help="a table for people (default), or CSV or JSON for programs")
    command.add_argument("-j", "--jobs", type=_workers, default=os.cpu_count() or 1, metavar="N",
                         help="read with N worker threads (default: the number of cores); the output keeps "
                              "the order of the arguments")


def _add_picture(command: argparse.ArgumentParser, output: str) -> None:
    command.add_argument("file", metavar="FILE", help="a vasprun.xml file")
    command.add_argument("-o", "--output", default=output, help=f"the picture to write (default {output}); the "
                                                                "format follows the extension")
    command.add_argument("--window", nargs=2, type=_energy, action=_Window, metavar=("EMIN", "EMAX"),
                         help="the energy range shown, in eV on the axis (default -6 6)")


def parser() -> argparse.ArgumentParser:
    main_parser = argparse.ArgumentParser(
        prog="quorvel", description="Read VASP vasprun.xml run files (plain or gzip-compressed).",
        epilog="exit status: 0 when every file was read, 1 when some file failed, 2 for wrong usage")
    main_parser.add_argument("--version", action="version", version=f"quorvel {_version()}")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = commands.add_parser("info", help="summarise each run file: a block each, or a CSV or JSON row each")
    _add_many_files(info)
    info.add_argument("--no-projected", action="store_true", help="do not read the projections (faster)")
    info.set_defaults(run=command_info)
    steps = commands.add_parser("steps", help="the ionic steps: energies, largest force, stress trace, volume")
    _add_many_files(steps)
    steps.set_defaults(run=command_steps)
    dos = commands.add_parser("dos", help="plot the density of states (needs matplotlib)",
                              description="Plot the density of states, relative to the Fermi level.")
    _add_picture(dos, "dos.png")
    dos.add_argument("--absolute", action="store_true", help="keep the file's energies instead of E - E_F "
                                                             "(the default window is then E_F - 6 to E_F + 6)")
    dos.add_argument("--partial", action="store_true", help="add the partial DOS summed per element and orbital")
    dos.add_argument("--elements", nargs="+", metavar="EL", help="the elements of the partial DOS (implies "
                                                                 "--partial; default all)")
    dos.add_argument("--orbitals", nargs="+", metavar="ORB",
                     help="the orbitals of the partial DOS: groups s p d f, or labels such as px dxy (implies "
                          "--partial; default every group)")
    dos.set_defaults(run=command_dos)
    bands = commands.add_parser(
        "bands", help="plot the band structure along the k-path (needs matplotlib)",
        description="Plot the band structure along the file's k-path. The x axis is the distance along the "
                    "path in Cartesian reciprocal space (Å⁻¹, from the final structure's lattice, reciprocal "
                    "vectors with the factor 2π: b = 2π·inv(A)ᵀ); energies are relative to the valence band "
                    "maximum of an insulator or the Fermi energy of a metal.")
    _add_picture(bands, "bands.png")
    bands.set_defaults(run=command_bands)
    return main_parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: the process's arguments) and returns the exit status."""
    try:
        args = parser().parse_args(argv)
    except SystemExit as stop:  # --help, --version and usage errors
        return stop.code if isinstance(stop.code, int) else 2
    command: Callable[[argparse.Namespace], int] = args.run
    try:
        return command(args)
    except BrokenPipeError:  # the reader of the output went away, as `| head` does
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:  # Ctrl-C: stop quietly, as the shell expects
        return 130


if __name__ == "__main__":
    sys.exit(main())

"""The `quorvel` command: a summary of run files, their ionic steps, and a DOS plot.

    quorvel info FILE...                          what each file holds
    quorvel steps FILE [--format table|csv|json]  the ionic steps, one row each
    quorvel dos FILE [-o dos.png] [--partial]     the density of states as a picture

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
from collections import Counter
from typing import Any, Callable, Iterator, Sequence

import numpy as np
import numpy.typing as npt

import quorvel

OCCUPIED = 1e-8  # a state with a larger occupancy counts as occupied
STEP_COLUMNS = ("step", "e_fr_energy", "e_wo_entrp", "e_0_energy", "max_force", "stress_trace", "volume")


def formula(atoms: Sequence[str]) -> str:
    """Element counts in order of first appearance: Fe Fe O O O -> Fe2O3."""
    return "".join(f"{element}{count if count > 1 else ''}" for element, count in Counter(atoms).items())


_ABSENT = object()


def _property(run: quorvel.Vasprun, name: str, fallback: Callable[[quorvel.Vasprun], Any] | None = None) -> Any:
    """The property `name` of run. Older builds of the reader lack some properties
    (complete, final_energy, the converged flags, band_gap): fallback(run) stands in
    where one is given, None otherwise."""
    value = getattr(run, name, _ABSENT)
    if value is _ABSENT:
        return fallback(run) if fallback is not None else None
    return value


def _extreme(energies: npt.NDArray[np.float64], chosen: npt.NDArray[np.bool_],
             highest: bool) -> tuple[float, int | None]:
    """The highest (or lowest) of the chosen energies and its k-point index (axis 1);
    -inf (or +inf) and None when nothing is chosen."""
    if not chosen.any():
        return (-math.inf if highest else math.inf), None
    masked = np.where(chosen, energies, -np.inf if highest else np.inf)
    at = np.unravel_index(np.argmax(masked) if highest else np.argmin(masked), masked.shape)
    return float(energies[at]), int(at[1])


def band_gap(eigenvalues: npt.NDArray[np.float64] | None) -> dict[str, Any] | None:
    """The band gap from energies and occupancies, shape (nspins, nkpts, nbands, 2).

    A state is occupied when its occupancy exceeds 1e-8. The valence band maximum
    (vbm) is the highest occupied energy and the conduction band minimum (cbm) the
    lowest unoccupied one, both over all spins and k-points; gap = max(cbm - vbm, 0).
    It is direct when both lie at the same k-point. States whose occupancy or energy
    is NaN are ignored. Without an occupied state vbm is -inf, without an empty one
    cbm is +inf; the gap is then +inf and not direct. None without eigenvalues.
    """
    if eigenvalues is None:
        return None
    energies, occupancies = eigenvalues[..., 0], eigenvalues[..., 1]
    known = ~np.isnan(occupancies) & ~np.isnan(energies)
    occupied = occupancies > OCCUPIED
    vbm, vbm_kpoint = _extreme(energies, known & occupied, highest=True)
    cbm, cbm_kpoint = _extreme(energies, known & ~occupied, highest=False)
    return {"gap": max(cbm - vbm, 0.0), "cbm": cbm, "vbm": vbm,
            "direct": vbm_kpoint is not None and vbm_kpoint == cbm_kpoint}


def _band_gap_of(run: quorvel.Vasprun) -> dict[str, Any] | None:
    return band_gap(run.eigenvalues)


def run_band_gap(run: quorvel.Vasprun) -> dict[str, Any] | None:
    """The reader's band_gap property, or the same rule computed here when the build lacks it."""
    gap: dict[str, Any] | None = _property(run, "band_gap", _band_gap_of)
    return gap


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


def info_lines(path: str, run: quorvel.Vasprun) -> list[str]:
    atoms, steps = run.atoms, run.ionic_steps
    fields = [("program", f"{run.program} {run.version}"), ("formula", formula(atoms)),
              ("atoms", str(len(atoms))), ("k-points", str(len(run.kpoints["weights"]))),
              ("ionic steps", str(len(steps)))]
    if steps:
        last = steps[-1]
        fields.append(("final energy", f"{last['e_fr_energy']:.6f} eV free, {last['e_wo_entrp']:.6f} eV without "
                                       f"entropy, {last['e_0_energy']:.6f} eV sigma->0"))
    fields.append(("converged", "yes" if run.converged else "no"))
    efermi = run.efermi
    fields.append(("Fermi energy", "-" if efermi is None else f"{efermi:.4f} eV"))
    fields.append(("band gap", band_gap_text(run_band_gap(run))))
    fields.extend(sections(run) or [("sections", "none")])
    return [path] + [f"  {name:<13} {value}" for name, value in fields]


class Progress:
    """A progress line on standard error, only when it is a terminal and there are several files."""

    def __init__(self, total: int) -> None:
        self.total, self.width = total, 0
        self.active = total > 1 and sys.stderr.isatty()

    def show(self, index: int, path: str) -> None:
        if self.active:
            text = f"[{index}/{self.total}] {path}"
            sys.stderr.write("\r" + text.ljust(self.width))
            sys.stderr.flush()
            self.width = len(text)

    def clear(self) -> None:
        if self.active and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()
            self.width = 0


def read_all(paths: Sequence[str], **options: bool) -> Iterator[tuple[str, quorvel.Vasprun | None]]:
    """Each file read in turn; a failing one is reported on standard error and yields None."""
    progress = Progress(len(paths))
    for index, path in enumerate(paths, 1):
        progress.show(index, path)
        try:
            run: quorvel.Vasprun | None = quorvel.Vasprun(path, **options)
        except Exception as error:  # any failure of one file must not stop the others
            run, message = None, f"quorvel: {path}: {error}"
        else:
            message = ""
        progress.clear()
        if message:
            print(message, file=sys.stderr)
        yield path, run


def command_info(args: argparse.Namespace) -> int:
    status = 0
    for number, (path, run) in enumerate(read_all(args.files, parse_projected=not args.no_projected)):
        if run is None:
            status = 1
            continue
        print(("\n" if number else "") + "\n".join(info_lines(path, run)))
        sys.stdout.flush()
    return status


def _finite(value: Any) -> Any:
    return None if isinstance(value, float) and not math.isfinite(value) else value


def command_steps(args: argparse.Namespace) -> int:
    (path, run), = read_all([args.file], parse_dos=False, parse_eigen=False)
    if run is None:
        return 1
    rows = step_rows(run)
    if args.format == "json":
        json.dump([{key: _finite(value) for key, value in row.items()} for row in rows], sys.stdout, indent=1)
        print()
    elif args.format == "csv":
        writer = csv.DictWriter(sys.stdout, fieldnames=STEP_COLUMNS, lineterminator="\n")
        writer.writeheader()
        writer.writerows({key: ("" if value is None else repr(value)) for key, value in row.items()} for row in rows)
    else:
        cells = [[str(row["step"])] + ["-" if row[key] is None else f"{row[key]:.6f}" for key in STEP_COLUMNS[1:]]
                 for row in rows]
        widths = [max([len(name)] + [len(line[i]) for line in cells]) for i, name in enumerate(STEP_COLUMNS)]
        for line in [list(STEP_COLUMNS)] + cells:
            print("  ".join(cell.rjust(width) for cell, width in zip(line, widths)))
    return 0


def orbital_group(label: str) -> str:
    """s, p, d or f for an orbital label such as px or dxy (x2-y2 is a d orbital)."""
    return "d" if label == "x2-y2" else label[:1] if label[:1] in ("s", "p", "d", "f") else label


def command_dos(args: argparse.Namespace) -> int:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("quorvel: the dos command needs matplotlib; install it with: pip install 'quorvel[plot]'",
              file=sys.stderr)
        return 1
    (path, run), = read_all([args.file], parse_eigen=False)
    if run is None:
        return 1
    dos = run.dos
    if dos is None or (args.partial and "partial" not in dos):
        print(f"quorvel: {path}: no {'partial ' if args.partial else ''}density of states in the file",
              file=sys.stderr)
        return 1
    energies, densities = dos["total"]["energies"], dos["total"]["densities"]
    # Two spin sets: up and down, down drawn negative. Any other count (four in a
    # noncollinear run: the total and the magnetisation along x, y, z): the first only.
    nspins = 2 if densities.shape[0] == 2 else min(densities.shape[0], 1)
    signs = [1.0, -1.0]
    figure = Figure(figsize=(8, 5))
    axes = figure.add_subplot()
    for spin in range(nspins):
        n = min(len(energies), densities.shape[1])
        axes.plot(energies[:n], signs[spin] * densities[spin, :n], color="black", linewidth=1,
                  label="total" if spin == 0 else None)
    if args.partial:
        partial = dos["partial"]
        data, orbitals = partial["data"], partial["orbitals"]
        atoms = run.atoms[:data.shape[1]]
        groups: dict[str, list[int]] = {}
        for index, label in enumerate(orbitals[:data.shape[2]]):
            groups.setdefault(orbital_group(label), []).append(index)
        n = min(len(energies), data.shape[3])
        curves = [(element, group, columns) for element in dict.fromkeys(atoms) for group, columns in groups.items()]
        for number, (element, group, columns) in enumerate(curves):
            ions = [i for i, atom in enumerate(atoms) if atom == element]
            for spin in range(min(nspins, data.shape[0])):
                summed = data[spin][np.ix_(ions, columns)].sum(axis=(0, 1))[:n]
                axes.plot(energies[:n], signs[spin] * summed, color=f"C{number % 10}", linewidth=0.8,
                          label=f"{element} {group}" if spin == 0 else None)
    axes.axvline(dos["efermi"], color="grey", linestyle="--", linewidth=1, label="Fermi level")
    if nspins == 2:
        axes.axhline(0.0, color="grey", linewidth=0.5)
    axes.set_xlabel("Energy (eV)")
    axes.set_ylabel("DOS (states/eV)" + ("; spin down negative" if nspins == 2 else ""))
    axes.set_title(f"{formula(run.atoms)}: {os.path.basename(path)}")
    axes.legend(fontsize="small")
    try:
        figure.savefig(args.output, dpi=120)
    except (OSError, ValueError) as error:  # an unwritable path, an unknown picture format
        print(f"quorvel: {args.output}: {error}", file=sys.stderr)
        return 1
    print(f"wrote {args.output}")
    return 0


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("quorvel")
    except PackageNotFoundError:
        return "unknown"


def parser() -> argparse.ArgumentParser:
    main_parser = argparse.ArgumentParser(
        prog="quorvel", description="Read VASP vasprun.xml run files (plain or gzip-compressed).",
        epilog="exit status: 0 when every file was read, 1 when some file failed, 2 for wrong usage")
    main_parser.add_argument("--version", action="version", version=f"quorvel {_version()}")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = commands.add_parser("info", help="summarise each run file")
    info.add_argument("files", nargs="+", metavar="FILE",
                      help="vasprun.xml files; a failing one does not stop the others")
    info.add_argument("--no-projected", action="store_true", help="do not read the projections (faster)")
    info.set_defaults(run=command_info)
    steps = commands.add_parser("steps", help="the ionic steps: energies, largest force, stress trace, volume")
    steps.add_argument("file", metavar="FILE", help="a vasprun.xml file")
    steps.add_argument("--format", choices=("table", "csv", "json"), default="table",
                       help="a table for people (default), or CSV or JSON for programs")
    steps.set_defaults(run=command_steps)
    dos = commands.add_parser("dos", help="plot the density of states (needs matplotlib)")
    dos.add_argument("file", metavar="FILE", help="a vasprun.xml file")
    dos.add_argument("-o", "--output", default="dos.png", help="the picture to write (default dos.png)")
    dos.add_argument("--partial", action="store_true", help="add the partial DOS summed per element and orbital")
    dos.set_defaults(run=command_dos)
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


if __name__ == "__main__":
    sys.exit(main())

"""`quorvel info`: what each run file holds, as a block each or a CSV or JSON row each."""

from __future__ import annotations

import argparse
import math
import sys
from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt

import quorvel

from .files import expand_arguments, report
from .gap import Verdict, run_verdict
from .table import RowWriter, formula
from .workers import results_in_order

INFO_COLUMNS = ("path", "program", "version", "formula", "atoms", "kpoints", "ionic_steps", "complete",
                "final_energy", "converged_electronic", "converged_ionic", "efermi", "band_gap", "direct", "metal", "error")

COLUMNS_HELP = ("columns of --format csv and json: path, program, version, formula, atoms (their number), "
                "kpoints (their number), ionic_steps, complete (the file ends properly), final_energy (eV, "
                "sigma->0, mended where VASP 5 wrote it wrong), converged_electronic, converged_ionic, "
                "efermi (eV), band_gap (eV), direct, metal (the rule below; empty when it cannot tell), "
                "error (empty for a file read fine). JSON writes numbers as numbers and null for a missing "
                "value or an infinite or NaN one (a band gap with nothing on one side), with a note on "
                "standard error.")


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


def _failed_summary(path: str, message: str) -> dict[str, Any]:
    return {**dict.fromkeys(INFO_COLUMNS), "path": path, "error": message}


def run_summary(path: str, run: quorvel.Vasprun) -> dict[str, Any]:
    """The row of INFO_COLUMNS for a file read fine, plus what the table shows besides."""
    steps, gap = run.ionic_steps, run.band_gap
    last = steps[-1] if steps else None
    verdict = run_verdict(run)
    return {"path": path, "program": run.program, "version": run.version, "formula": formula(run.atoms),
            "atoms": len(run.atoms), "kpoints": len(run.kpoints["weights"]), "ionic_steps": len(steps),
            "complete": run.complete, "final_energy": run.final_energy,
            "converged_electronic": run.converged_electronic,
            "converged_ionic": run.converged_ionic, "efermi": run.efermi,
            "band_gap": None if gap is None else gap["gap"], "direct": None if gap is None else gap["direct"],
            "metal": verdict.metal, "error": None,
            # shown by the table only
            "gap": gap, "verdict": verdict, "sections": sections(run),
            "free_energy": None if last is None else last["e_fr_energy"]}


def summarise(path: str, parse_projected: bool = False) -> dict[str, Any]:
    """Reads one file into its summary; a file that cannot be read gives a row with its error text."""
    try:
        return run_summary(path, quorvel.Vasprun(path, parse_projected=parse_projected))
    except Exception as error:  # one failing file must not stop the others
        return _failed_summary(path, str(error) or type(error).__name__)


def converged_text(electronic: bool, ionic: bool) -> str:
    """yes when both loops converged, else no and which did not."""
    failed = [name for name, flag in (("electronic", electronic), ("ionic", ionic)) if not flag]
    return "yes" if not failed else f"no ({', '.join(name + ' no' for name in failed)})"


def band_gap_text(gap: dict[str, Any] | None, verdict: Verdict | None = None) -> str:
    """The gap, or what the metal-or-gap rule says instead of it."""
    if gap is None or (math.isinf(gap["vbm"]) and math.isinf(gap["cbm"])):
        return "-"
    if math.isinf(gap["vbm"]):
        return "- (no occupied state)"
    if math.isinf(gap["cbm"]):
        return "- (no empty state)"
    if verdict is not None and verdict.metal:
        return f"none: a metal ({verdict.reason})"
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
    if summary["final_energy"] is not None:
        fields.append(("final energy", f"{summary['final_energy']:.6f} eV (sigma->0; free energy "
                                       f"{summary['free_energy']:.6f} eV)"))
    fields.append(("converged", converged_text(summary["converged_electronic"], summary["converged_ionic"])))
    efermi = summary["efermi"]
    fields.append(("Fermi energy", "-" if efermi is None else f"{efermi:.4f} eV"))
    fields.append(("band gap", band_gap_text(summary["gap"], summary["verdict"])))
    fields.extend(summary["sections"] or [("sections", "none")])
    return [summary["path"]] + [f"  {name:<13} {value}" for name, value in fields]


def command_info(args: argparse.Namespace) -> int:
    paths, problems = expand_arguments(args.files)
    status = report(problems)
    # the table shows the projections' shape; the rows do not need them
    reader = partial(summarise, parse_projected=args.format == "table" and not args.no_projected)
    writer = None if args.format == "table" else RowWriter(args.format, INFO_COLUMNS)
    printed = 0
    for summary in results_in_order(reader, paths, args.jobs, _failed_summary):
        if summary["error"] is not None:
            status = report([f"{summary['path']}: {summary['error']}"])
        if writer is not None:
            writer.write(summary)
        elif summary["error"] is None:
            print(("\n" if printed else "") + "\n".join(info_lines(summary)))
            sys.stdout.flush()
            printed += 1
    if writer is not None:
        writer.close()
    return status

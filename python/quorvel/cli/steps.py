"""`quorvel steps`: the ionic steps of each run file, one row each."""

from __future__ import annotations

import argparse
from typing import Any, Sequence

import numpy as np

import quorvel

from .files import expand_arguments, report
from .table import RowWriter
from .workers import results_in_order

STEP_COLUMNS = ("step", "e_fr_energy", "e_wo_entrp", "e_0_energy", "max_force", "stress_trace", "volume")


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


def _failed_steps(path: str, message: str) -> dict[str, Any]:
    return {"path": path, "rows": [], "error": message}


def read_steps(path: str) -> dict[str, Any]:
    """The step rows of one file, or its error text."""
    try:
        run = quorvel.Vasprun(path, parse_dos=False, parse_eigen=False)
        return {"path": path, "rows": step_rows(run), "error": None}
    except Exception as error:  # one failing file must not stop the others
        return _failed_steps(path, str(error) or type(error).__name__)


def step_table(rows: Sequence[dict[str, Any]]) -> list[str]:
    """The rows as right-aligned columns under a header line."""
    cells = [[str(row["step"])] + ["-" if row[key] is None else f"{row[key]:.6f}" for key in STEP_COLUMNS[1:]]
             for row in rows]
    widths = [max([len(name)] + [len(line[i]) for line in cells]) for i, name in enumerate(STEP_COLUMNS)]
    return ["  ".join(cell.rjust(width) for cell, width in zip(line, widths))
            for line in [list(STEP_COLUMNS)] + cells]


def command_steps(args: argparse.Namespace) -> int:
    paths, problems = expand_arguments(args.files)
    status = report(problems)
    writer = None if args.format == "table" else RowWriter(args.format, ("file",) + STEP_COLUMNS)
    printed = 0
    for result in results_in_order(read_steps, paths, args.jobs, _failed_steps):
        if result["error"] is not None:
            status = report([f"{result['path']}: {result['error']}"])
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

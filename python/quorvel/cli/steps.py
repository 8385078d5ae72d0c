"""`quorvel steps`: the ionic steps of each run file, one row each, and where the relaxation would stop."""

from __future__ import annotations

import argparse
import math
import sys
from dataclasses import dataclass
from typing import Any, Mapping, Sequence

import numpy as np
import numpy.typing as npt

import quorvel

from .files import expand_arguments, report
from .table import RowWriter
from .workers import results_in_order

STEP_COLUMNS = ("step", "e_fr_energy", "e_wo_entrp", "e_0_energy", "delta_e", "max_force", "pressure", "volume",
                "meets_ediffg")

COLUMNS_HELP = ("columns: step; e_fr_energy, e_wo_entrp, e_0_energy (eV; e_0_energy mended where VASP 5 wrote "
                "it wrong, so the last is the final_energy of info); delta_e (eV, the change of e_fr_energy "
                "from the step before, which VASP compares with a positive EDIFFG); max_force (eV/Å, the largest "
                "force on an atom); pressure (kB, a third of the stress tensor's trace); volume (Å³); "
                "meets_ediffg: the step meets the stopping criterion EDIFFG, |delta_e| < EDIFFG when it is "
                "positive (energy criterion), max_force < |EDIFFG| when negative (force criterion). CSV adds a "
                "first column file.")


@dataclass(frozen=True)
class Criterion:
    """EDIFFG: a positive value bounds the energy change, a negative one the forces."""
    ediffg: float

    @property
    def kind(self) -> str:
        return "energy" if self.ediffg > 0 else "force" if self.ediffg < 0 else "none"

    def met(self, delta_e: float | None, max_force: float | None) -> bool:
        if self.ediffg > 0:
            return delta_e is not None and abs(delta_e) < self.ediffg
        if self.ediffg < 0:
            return max_force is not None and max_force < -self.ediffg
        return False

    def text(self) -> str:
        if self.ediffg > 0:
            return f"EDIFFG {self.ediffg:g}: the energy criterion, |delta_e| below {self.ediffg:g} eV"
        if self.ediffg < 0:
            return f"EDIFFG {self.ediffg:g}: the force criterion, max_force below {-self.ediffg:g} eV/Å"
        return "EDIFFG 0: no stopping criterion"


def _number(parameters: Mapping[str, Any], name: str) -> float | None:
    value = parameters.get(name)
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def criterion(run: quorvel.Vasprun) -> Criterion:
    """EDIFFG of the run (parameters, else incar), else VASP's default: ten times EDIFF (1e-4)."""
    for source in (run.parameters, run.incar):
        if (ediffg := _number(source, "EDIFFG")) is not None:
            return Criterion(ediffg)
    ediff = _number(run.parameters, "EDIFF") or _number(run.incar, "EDIFF") or 1e-4
    return Criterion(10 * ediff)


def mended_e0(step: Mapping[str, Any], electronic: npt.NDArray[np.float64] | None) -> float:
    """e_0_energy, or where VASP 5 wrote it wrong (as final_energy mends the last step) the
    free energy plus the last electronic step's e_0 - e_fr, rounded to 8 decimals."""
    written = float(step["e_0_energy"])
    if electronic is None or len(electronic) == 0:
        return written
    mended = float(np.round(step["e_fr_energy"] + (electronic[-1, 2] - electronic[-1, 0]), 8))
    return mended if abs(mended - written) > 1e-7 else written


def step_rows(run: quorvel.Vasprun) -> list[dict[str, Any]]:
    """One row per kept ionic step (STEP_COLUMNS)."""
    rule = criterion(run)
    electronic = run.electronic_steps
    rows: list[dict[str, Any]] = []
    for number, step in enumerate(run.ionic_steps, 1):
        forces = np.asarray(step["forces"], dtype=float).reshape(-1, 3)
        max_force = float(np.linalg.norm(forces, axis=1).max()) if len(forces) else None
        delta_e = step["e_fr_energy"] - rows[-1]["e_fr_energy"] if rows else None
        stress = np.asarray(step["stress"], dtype=float)
        rows.append({"step": number, "e_fr_energy": step["e_fr_energy"], "e_wo_entrp": step["e_wo_entrp"],
                     "e_0_energy": mended_e0(step, electronic[number - 1] if number <= len(electronic) else None),
                     "delta_e": delta_e, "max_force": max_force,
                     "pressure": float(np.trace(stress)) / 3 if stress.shape == (3, 3) else None,
                     "volume": step["structure"]["volume"], "meets_ediffg": rule.met(delta_e, max_force)})
    return rows


def _failed_steps(path: str, message: str) -> dict[str, Any]:
    return {"path": path, "rows": [], "error": message}


def read_steps(path: str) -> dict[str, Any]:
    """The step rows of one file with its criterion and completeness, or its error text."""
    try:
        run = quorvel.Vasprun(path, parse_dos=False, parse_eigen=False)
        return {"path": path, "rows": step_rows(run), "criterion": criterion(run), "complete": run.complete,
                "error": None}
    except Exception as error:  # one failing file must not stop the others
        return _failed_steps(path, str(error) or type(error).__name__)


def _cell(value: Any) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if isinstance(value, bool):
        return "yes" if value else ""
    return str(value) if isinstance(value, int) else f"{value:.6f}"


def step_table(rows: Sequence[dict[str, Any]], rule: Criterion | None = None) -> list[str]:
    """The rows as right-aligned columns under a header line, then the criterion."""
    cells = [[_cell(row[key]) for key in STEP_COLUMNS] for row in rows]
    widths = [max([len(name)] + [len(line[i]) for line in cells]) for i, name in enumerate(STEP_COLUMNS)]
    lines = ["  ".join(cell.rjust(width) for cell, width in zip(line, widths)).rstrip()
             for line in [list(STEP_COLUMNS)] + cells]
    return lines + ([rule.text()] if rule is not None else [])


def _incomplete_note(result: dict[str, Any]) -> None:
    if result["complete"] is False:
        print(f"quorvel: note: {result['path']}: the file is incomplete (cut off while written): the run went "
              "on after its last step shown", file=sys.stderr)


def command_steps(args: argparse.Namespace) -> int:
    paths, problems = expand_arguments(args.files)
    status = report(problems)
    writer = None if args.format == "table" else RowWriter(args.format, ("file",) + STEP_COLUMNS)
    printed, read = 0, []
    for result in results_in_order(read_steps, paths, args.jobs, _failed_steps):
        if result["error"] is not None:
            status = report([f"{result['path']}: {result['error']}"])
            continue
        _incomplete_note(result)
        read.append(result)
        if writer is not None:
            for row in result["rows"]:
                writer.write({"file": result["path"], **row})
            continue
        # one file prints its table alone; several print each under its name, as `head` does
        heading = [result["path"]] if len(paths) > 1 else []
        print(("\n" if printed else "") + "\n".join(heading + step_table(result["rows"], result["criterion"])))
        sys.stdout.flush()
        printed += 1
    if writer is not None:
        writer.close()
    if args.plot is not None:
        from .steps_plot import plot_steps
        status = max(status, plot_steps(read, args.plot))
    return status

"""`quorvel steps --plot`: energy and largest force per ionic step, forces on a log scale."""

from __future__ import annotations

import os
import sys
from typing import TYPE_CHECKING, Any, Sequence

from .plot import matplotlib_missing, plain, save

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def steps_figure(results: Sequence[dict[str, Any]]) -> Figure:
    """Two panels over the step number: e_0_energy (eV) above, max_force (eV/Å, log) below.
    Steps that meet EDIFFG are ringed; a force criterion is a dashed line at |EDIFFG|."""
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7, 6))
    energy_axes, force_axes = figure.subplots(2, 1, sharex=True)
    several = len(results) > 1
    for index, result in enumerate(results):
        rows, color = result["rows"], f"C{index % 10}"
        name = plain(os.path.basename(result["path"])) if several else None
        steps = [row["step"] for row in rows]
        energy_axes.plot(steps, [row["e_0_energy"] for row in rows], "o-", color=color, markersize=3,
                         gid="energy", label=name)
        forced = [(row["step"], row["max_force"]) for row in rows if row["max_force"] is not None]
        force_axes.plot([s for s, _ in forced], [f for _, f in forced], "o-", color=color, markersize=3,
                        gid="force")
        met = [row for row in rows if row["meets_ediffg"]]
        rule = result["criterion"]
        energy_axes.plot([row["step"] for row in met], [row["e_0_energy"] for row in met], "o", color=color,
                         markersize=8, fillstyle="none", gid="meets",
                         label=None if several or not met else f"meets EDIFFG ({rule.kind} criterion)")
        if rule.kind == "force":
            force_axes.axhline(-rule.ediffg, color=color, linestyle="--", linewidth=0.8, gid="ediffg")
    force_axes.set_yscale("log")
    energy_axes.set_ylabel("e_0_energy (eV)")
    force_axes.set_ylabel("largest force (eV/Å)")
    force_axes.set_xlabel("ionic step")
    force_axes.xaxis.get_major_locator().set_params(integer=True)
    if energy_axes.get_legend_handles_labels()[1]:
        energy_axes.legend(fontsize="small")
    if not several and results:
        energy_axes.set_title(plain(os.path.basename(results[0]["path"])))
    figure.tight_layout()
    return figure


def plot_steps(results: Sequence[dict[str, Any]], output: str) -> int:
    """Draws the files read (none: nothing to draw) and writes the picture."""
    if matplotlib_missing("steps --plot"):
        return 1
    drawn = [result for result in results if result["rows"]]
    if not drawn:
        print("quorvel: --plot: no ionic steps to draw", file=sys.stderr)
        return 1
    return save(steps_figure(drawn), output)

"""pymatgen's `KpointOptProps`: the second k-point set of a run with KPOINTS_OPT."""

from __future__ import annotations

from typing import Any

from pymatgen.io.vasp.inputs import Kpoints, KpointsSupportedModes
from pymatgen.io.vasp.outputs import KpointOptProps

from . import electronic

__all__ = ["kpoints_opt_props"]


def kpoints_opt_props(data: dict[str, Any] | None, final_structure: Any) -> KpointOptProps | None:
    """The properties of the KPOINTS_OPT set, from the core's `kpoints_opt`; None without it."""
    if data is None:
        return None
    points = data["kpoints"]
    actual = [tuple(point) for point in points["kpointlist"]]
    weights = list(points["weights"])
    kpoints = Kpoints(comment="Kpoints from vasprun.xml", num_kpts=1, style=KpointsSupportedModes.Reciprocal,
                      kpts=actual, kpts_weights=weights)
    eigenvalues = data.get("eigenvalues")  # only with parse_eigen
    props = KpointOptProps(kpoints=kpoints, actual_kpoints=actual, actual_kpoints_weights=weights,
                           eigenvalues=None if eigenvalues is None else electronic.by_spin(eigenvalues))
    projected = data.get("projected")
    if projected is not None:
        props.projected_eigenvalues = electronic.projected_eigenvalues(projected)
        props.projected_magnetization = electronic.projected_magnetisation(projected)
    dos = data.get("dos")
    if dos is not None:
        props.tdos, props.idos = electronic.total_dos(dos)
        props.pdos = electronic.partial_dos(dos)
        props.efermi = dos["efermi"]
        props.dos_has_errors = False
    return props

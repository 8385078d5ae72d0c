"""The dynamical matrix of a finite-difference or DFPT phonon run in pymatgen's forms."""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["force_constants", "normal_modes"]


def force_constants(dynmat: dict[str, Any]) -> Any:
    """The hessian (3n, 3n) as pymatgen keeps it: (atom, atom, 3, 3)."""
    hessian = np.asarray(dynmat["hessian"])
    atoms = hessian.shape[0] // 3
    return hessian.reshape(atoms, 3, atoms, 3).transpose(0, 2, 1, 3)


def normal_modes(dynmat: dict[str, Any]) -> tuple[Any, Any]:
    """The eigenvalues (3n,) and eigenvectors (3n, n, 3) of the dynamical matrix."""
    vectors = np.asarray(dynmat["eigenvectors"])
    return np.asarray(dynmat["eigenvalues"]), vectors.reshape(vectors.shape[0], vectors.shape[1] // 3, 3)

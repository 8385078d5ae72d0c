"""Dielectric functions and static dielectric tensors in pymatgen's forms."""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["dielectric_data", "tensor"]

# pymatgen's key of the density-density and current-current responses of an optics run.
_LABELS = {"density": "density", "current": "velocity"}


def _function(entry: dict[str, Any]) -> tuple[list[float], list[list[float]], list[list[float]]]:
    return entry["energies"].tolist(), entry["real"].tolist(), entry["imag"].tolist()


def dielectric_data(functions: list[dict[str, Any]] | None) -> dict[str, Any]:
    """{label: (energies, real, imag)} of the dielectric functions the file wrote.

    `functions` are those of the core's `dielectric_functions` (None from a core
    without them). The density and current responses are "density" and
    "velocity"; other functions keep their comment as label."""
    data: dict[str, Any] = {}
    for entry in functions or []:
        label = entry["label"]
        data[_LABELS.get(label, label)] = _function(entry)
    return data


def tensor(value: Any) -> Any:
    """A 3x3 tensor of the core as pymatgen keeps it (an array), None when absent."""
    return None if value is None else np.array(value)

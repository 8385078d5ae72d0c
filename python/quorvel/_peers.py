"""Importing the packages that the bridges hand objects of (pymatgen, ASE).

They are optional extras of quorvel: a bridge imported without its package
says which extra brings it."""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any

__all__ = ["optional_property", "require"]


def require(module: str, extra: str) -> ModuleType:
    """Imports `module`, or raises ImportError naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"quorvel.{extra} needs the package {module.split('.')[0]}: "
            f"pip install 'quorvel[{extra}]'") from error


def optional_property(run: object, name: str) -> Any:
    """A property of the reader that this build may not have yet; None without it.

    The bridges read some values (dielectric functions, DFPT tensors, the
    second k-point set, MD steps, ...) only from properties of newer builds of
    the core. Until a build has them, the bridges give what pymatgen gives
    for a file without them."""
    return getattr(run, name, None)

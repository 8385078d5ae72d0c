"""Importing the packages that the bridges hand objects of (pymatgen, ASE).

They are optional extras of quorvel: a bridge imported without its package
says which extra brings it."""

from __future__ import annotations

import contextlib
import gc
import importlib
from types import ModuleType
from typing import Any, Iterator

__all__ = ["optional_property", "require", "without_cycle_collection"]


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


@contextlib.contextmanager
def without_cycle_collection() -> Iterator[None]:
    """Holds the cyclic garbage collector off while many lists are made (none of them in a
    cycle), which it would otherwise scan again and again as they grow: a fifth of the time.

    The objects made meanwhile then go straight to the collector's oldest generation, as
    objects that live on do after two collections; so the collection that the re-enabled
    collector would start at once, over every new list (a sixth of `as_dict()`'s time on
    a projection run), and the next one's are spared. Only while nothing is frozen
    (`gc.freeze()`), as the promotion unfreezes what is."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            if not gc.get_freeze_count():
                gc.freeze()
                gc.unfreeze()
            gc.enable()

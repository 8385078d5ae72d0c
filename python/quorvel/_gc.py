"""Making many Python objects at once: the lists of a run's steps, the bridges' objects."""

from __future__ import annotations

import contextlib
import gc
from typing import Iterator

__all__ = ["without_cycle_collection"]


@contextlib.contextmanager
def without_cycle_collection() -> Iterator[None]:
    """Holds the cyclic garbage collector off while many objects are made (lists, dicts, none
    of them in a cycle), which it would otherwise scan again and again as they grow: a fifth
    to a third of the time of `as_dict()`, the ASE images or the export's frames.

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

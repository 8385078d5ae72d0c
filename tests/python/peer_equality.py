"""Deep equality of the objects the bridges give and those pymatgen or ASE give themselves.

Floats must be equal to the bit (NaN equals NaN); arrays equal in shape and
every element; containers in type, length and keys; pymatgen's objects field
by field. `differences` lists where two values part, as paths."""

from __future__ import annotations

import enum
import math
import struct
from typing import Any

import numpy as np


def _float_bits(value: float) -> bytes:
    return struct.pack("<d", value)


def _same_float(a: float, b: float) -> bool:
    return (math.isnan(a) and math.isnan(b)) or _float_bits(a) == _float_bits(b)


def _arrays(a: Any, b: Any, path: str) -> list[str]:
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape:
        return [f"{path}: shape {a.shape} != {b.shape}"]
    if a.dtype.kind == "f" and b.dtype.kind == "f":
        a64, b64 = a.astype(np.float64), b.astype(np.float64)
        same = (a64.view(np.int64) == b64.view(np.int64)) | (np.isnan(a64) & np.isnan(b64))
    else:
        same = np.asarray(a == b)
    if not np.all(same):
        where = np.argwhere(~same)[0] if same.ndim else ()
        return [f"{path}: arrays differ at {tuple(int(i) for i in where)} "
                f"({a[tuple(where)]!r} != {b[tuple(where)]!r}), {int(np.sum(~same))} elements"]
    return []


def _object_fields(value: Any) -> dict[str, Any] | None:
    """The fields of a pymatgen object to compare, or None for a plain value."""
    from pymatgen.core import Lattice, Structure
    from pymatgen.electronic_structure.dos import Dos

    if isinstance(value, Structure):
        return {"class": type(value).__name__, "lattice": value.lattice.matrix, "frac_coords": value.frac_coords,
                "species": [str(s) for s in value.species], "site_properties": value.site_properties,
                "charge": value.charge, "properties": value.properties}
    if isinstance(value, Lattice):
        return {"matrix": value.matrix, "pbc": value.pbc}
    if isinstance(value, Dos):
        fields = {"class": type(value).__name__, **vars(value)}
        if hasattr(value, "structure"):
            fields["structure"] = value.structure
        return fields
    if hasattr(value, "as_dict") and not isinstance(value, dict):
        return {"class": type(value).__name__, "dict": value.as_dict()}
    if hasattr(value, "__dict__") and not isinstance(value, (type, enum.Enum)):
        return {"class": type(value).__name__, **vars(value)}
    return None


def differences(a: Any, b: Any, path: str = "", *, strict_types: bool = True) -> list[str]:
    """Where a and b part; [] when they are equal."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        if not (isinstance(a, np.ndarray) and isinstance(b, np.ndarray)) and strict_types:
            return [f"{path}: {type(a).__name__} != {type(b).__name__}"]
        return _arrays(a, b, path)
    if strict_types and type(a) is not type(b):
        return [f"{path}: type {type(a).__name__} != {type(b).__name__} ({a!r:.80} / {b!r:.80})"]
    if isinstance(a, float):
        return [] if _same_float(a, float(b)) else [f"{path}: {a!r} != {b!r}"]
    if isinstance(a, dict):
        if set(a) != set(b):
            return [f"{path}: keys {sorted(map(str, set(a) - set(b)))} only in ours, "
                    f"{sorted(map(str, set(b) - set(a)))} only in theirs"]
        found: list[str] = []
        for key in a:
            found += differences(a[key], b[key], f"{path}[{key!r}]", strict_types=strict_types)
        return found
    if isinstance(a, (list, tuple)):
        if len(a) != len(b):
            return [f"{path}: length {len(a)} != {len(b)}"]
        found = []
        for index, (x, y) in enumerate(zip(a, b)):
            found += differences(x, y, f"{path}[{index}]", strict_types=strict_types)
            if len(found) > 5:
                break
        return found
    fields_a, fields_b = _object_fields(a), _object_fields(b)
    if fields_a is not None and fields_b is not None:
        return differences(fields_a, fields_b, path, strict_types=strict_types)
    return [] if a == b else [f"{path}: {a!r:.200} != {b!r:.200}"]

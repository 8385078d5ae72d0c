"""Prints, as JSON, a digest of everything quorvel reads from each file given:
{file: {options: {property: sha256}}}, or {file: {options: {"error": text}}}.

    python digest.py FILE...

Run by the install tests with two builds of quorvel, whose results must agree
to the bit: floats are hashed by their bytes, arrays by dtype, shape and bytes.
"""

import hashlib
import json
import struct
import sys

import numpy as np

import quorvel

OPTIONS = {
    "default": {},
    "projected": {"parse_projected": True},
    "steps": {"parse_dos": False, "parse_eigen": False, "ionic_step_skip": 2, "ionic_step_offset": 1},
}
PROPERTIES = ("program", "version", "incar", "atoms", "atom_types", "kpoints", "initial_structure",
              "final_structure", "ionic_steps", "eigenvalues", "eigenvalue_shape", "projected", "efermi",
              "dos", "dielectric", "converged")


def feed(digest, value):
    """Adds `value` to `digest` with its type, so equal digests mean equal values of equal types."""
    if value is None:
        digest.update(b"N")
    elif isinstance(value, bool):
        digest.update(b"T" if value else b"F")
    elif isinstance(value, int):
        digest.update(b"I%d;" % value)
    elif isinstance(value, float):
        digest.update(b"D" + struct.pack("<d", value))
    elif isinstance(value, str):
        data = value.encode("utf-8", "surrogatepass")
        digest.update(b"S%d:" % len(data) + data)
    elif isinstance(value, np.ndarray):
        digest.update(b"A" + value.dtype.str.encode() + repr(value.shape).encode())
        digest.update(np.ascontiguousarray(value).tobytes())
    elif isinstance(value, (list, tuple)):
        digest.update(b"%s%d:" % (b"L" if isinstance(value, list) else b"U", len(value)))
        for item in value:
            feed(digest, item)
    elif isinstance(value, dict):
        digest.update(b"M%d:" % len(value))
        for key, item in value.items():
            feed(digest, key)
            feed(digest, item)
    else:
        raise TypeError(f"no digest for {type(value).__name__}")


def digests(path):
    result = {}
    for name, options in OPTIONS.items():
        try:
            run = quorvel.Vasprun(path, **options)
        except RuntimeError as error:
            result[name] = {"error": f"{type(error).__name__}: {error}"}
            continue
        per_property = {"repr": hashlib.sha256(repr(run).encode()).hexdigest()}
        for prop in PROPERTIES:
            digest = hashlib.sha256()
            feed(digest, getattr(run, prop))
            per_property[prop] = digest.hexdigest()
        result[name] = per_property
    return result


if __name__ == "__main__":
    json.dump({path: digests(path) for path in sys.argv[1:]}, sys.stdout, indent=1, sort_keys=True)

"""Frames as extended XYZ, the format ASE and the training codes of interatomic potentials read.

Every float is written in its shortest form that reads back to the same bits, so a file read
back holds exactly the frames' values. The arrays are turned into text by the extension
(`quorvel._format_rows`, std::to_chars), which finds those digits more than ten times as
fast as Python's repr: the Python work is per frame, not per number.
"""

from __future__ import annotations

import re
from functools import lru_cache
from typing import Iterable, NamedTuple, Sequence, TextIO

import numpy as np

import quorvel

from ._frame import FloatArray, Frame, InfoValue


class Keys(NamedTuple):
    """The names the energies, forces and stress are written under."""

    energy: str
    free_energy: str
    forces: str
    stress: str


# The names ASE's reader turns into a single-point calculator, and which NequIP, Allegro and
# SevenNet read without options.
ASE_KEYS = Keys("energy", "free_energy", "forces", "stress")
# Kept by ASE in `info` and `arrays`, out of a calculator's way; MACE's trainer reads them by default.
REF_KEYS = Keys("REF_energy", "REF_free_energy", "REF_forces", "REF_stress")

# The names the writer uses for the rest of each frame.
WRITTEN_NAMES = frozenset({"Lattice", "Properties", "pbc", "species", "pos", "magmoms", "source", "step", "steps",
                           "complete", "converged_electronic"})
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
# Characters that ASE's reader treats as delimiters or escapes inside a value.
_NEEDS_QUOTES = re.compile(r"[\s\"'{}\[\]\\=,]")
# What cannot stand in a line of text: control characters and lone surrogates (from undecodable
# file names) become U+FFFD.
_UNWRITABLE = re.compile("[\x00-\x1f\x7f\ud800-\udfff]")


def check_names(keys: Keys, info: Sequence[str] = ()) -> None:
    """Raises ValueError for a name that extended XYZ cannot hold as a key, or that two values share."""
    names = list(keys) + list(info)
    for name in names:
        if not _NAME.fullmatch(name):
            raise ValueError(f"{name!r} is not a key name: letters, digits and _, not starting with a digit")
    for name in names:
        if name in WRITTEN_NAMES or names.count(name) > 1:
            raise ValueError(f"the key {name!r} is used twice (names taken by the frame: "
                             f"{', '.join(sorted(WRITTEN_NAMES))})")


def write_extxyz(frames: Iterable[Frame], file: TextIO, keys: Keys = ASE_KEYS) -> int:
    """Writes the frames to the text file, one after the other; returns how many."""
    check_names(keys)
    count = 0
    for frame in frames:
        file.write(frame_text(frame, keys))
        count += 1
    return count


def frame_text(frame: Frame, keys: Keys) -> str:
    """The lines of one frame: the atom count, the comment line of key=value pairs, one line per atom."""
    columns = [frame.positions]
    properties = "species:S:1:pos:R:3"
    if frame.forces is not None:
        columns.append(frame.forces)
        properties += f":{keys.forces}:R:3"
    if frame.magmoms is not None:
        magmoms = frame.magmoms.reshape(len(frame.species), -1)
        columns.append(magmoms)
        properties += f":magmoms:R:{magmoms.shape[1]}"
    table = np.hstack(columns) if len(columns) > 1 else np.ascontiguousarray(frame.positions, dtype=np.float64)
    atoms = quorvel._format_rows(table, frame.species)
    fields = [f'Lattice="{_floats(frame.lattice)}"', f"Properties={properties}",
              f"{keys.energy}={float(frame.energy)!r}", f"{keys.free_energy}={float(frame.free_energy)!r}"]
    if frame.stress is not None:
        # ASE's reader takes a 3x3 value in column order
        fields.append(f'{keys.stress}="{_floats(frame.stress.T)}"')
    fields += [f"source={_text(frame.source)}", f"step={frame.step}", f"steps={frame.steps}",
               f"complete={_flag(frame.complete)}", f"converged_electronic={_flag(frame.converged_electronic)}"]
    fields += [f"{name}={_value(value)}" for name, value in frame.info.items()]
    fields.append('pbc="T T T"')
    return f"{len(frame.species)}\n{' '.join(fields)}\n{atoms}"


def _floats(values: FloatArray) -> str:
    """The numbers in C order, separated by spaces."""
    return quorvel._format_rows(np.ascontiguousarray(values, dtype=np.float64).reshape(1, -1), None)


def _flag(value: bool) -> str:
    return "T" if value else "F"


@lru_cache(maxsize=256)
def _text(value: str) -> str:
    """A string as ASE's reader gives it back: quoted where it holds blanks or delimiters, with a
    backslash before quotes and backslashes."""
    value = _UNWRITABLE.sub("\ufffd", value)
    if value and not _NEEDS_QUOTES.search(value):
        return value
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _value(value: InfoValue) -> str:
    if isinstance(value, bool):
        return _flag(value)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        return _text(value.strip())  # the padding of VASP's fixed-width strings is no part of the value
    return f'"{" ".join(map(repr, value))}"'

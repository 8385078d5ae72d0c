"""Frames as extended XYZ, the format ASE and the training codes of interatomic potentials read.

Every float is written in its shortest form that reads back to the same bits, so a file read
back holds exactly the frames' values. The arrays are turned into text by the extension
(`quorvel._format_rows`, std::to_chars), which finds those digits more than ten times as
fast as Python's repr: the Python work is per frame, not per number.
"""

from __future__ import annotations

import re
from functools import lru_cache
from typing import Iterable, Iterator, NamedTuple, Sequence, TextIO

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
    checked: set[tuple[str, ...]] = set()
    count = 0
    for batch in _batches(frames):
        names = tuple(batch[0].info)
        if names not in checked:
            check_names(keys, names)
            checked.add(names)
        file.write("".join(_texts(batch, keys)))
        count += len(batch)
    return count


def frame_text(frame: Frame, keys: Keys) -> str:
    """The lines of one frame: the atom count, the comment line of key=value pairs, one line per atom."""
    return _texts([frame], keys)[0]


# Frames are formatted a batch at a time, a few calls per batch whatever its size; a batch
# holds consecutive frames of one shape (as a run's are), at most this many.
BATCH = 2048


def _batches(frames: Iterable[Frame]) -> Iterator[list[Frame]]:
    batch: list[Frame] = []
    for frame in frames:
        if batch and (len(batch) == BATCH or not _alike(batch[0], frame)):
            yield batch
            batch = []
        batch.append(frame)
    if batch:
        yield batch


def _alike(a: Frame, b: Frame) -> bool:
    """The two frames have the same atoms, columns and info names, so one template writes both."""
    return ((a.species is b.species or a.species == b.species) and (a.forces is None) == (b.forces is None)
            and (a.stress is None) == (b.stress is None) and (a.info is b.info or a.info.keys() == b.info.keys())
            and (None if a.magmoms is None else a.magmoms.shape) == (None if b.magmoms is None else b.magmoms.shape))


def _texts(batch: Sequence[Frame], keys: Keys) -> list[str]:
    """The text of each frame of a batch of alike frames."""
    first, count = batch[0], len(batch)
    natoms = len(first.species)
    columns = [np.stack([frame.positions for frame in batch])]
    properties = "species:S:1:pos:R:3"
    if first.forces is not None:
        columns.append(np.stack([_given(frame.forces) for frame in batch]))
        properties += f":{keys.forces}:R:3"
    if first.magmoms is not None:
        magmoms = np.stack([_given(frame.magmoms) for frame in batch]).reshape(count, natoms, -1)
        columns.append(magmoms)
        properties += f":magmoms:R:{magmoms.shape[2]}"
    if natoms:
        table = np.concatenate(columns, axis=2, dtype=np.float64).reshape(count * natoms, -1)
        atoms = quorvel._format_rows(table, first.species * count, natoms)
    else:
        atoms = [""] * count
    lattices = _numbers(np.stack([frame.lattice for frame in batch]))
    energies = _numbers(np.array([frame.energy for frame in batch]))
    free_energies = _numbers(np.array([frame.free_energy for frame in batch]))
    if first.stress is not None:
        # ASE's reader takes a 3x3 value in column order
        stresses = [f' {keys.stress}="{text}"' for text in _numbers(np.stack([_given(f.stress).T for f in batch]))]
    else:
        stresses = [""] * count
    texts = []
    info_of, info_text = None, ""
    for frame, lattice, energy, free_energy, stress, rows in zip(batch, lattices, energies, free_energies, stresses,
                                                                 atoms):
        if frame.info is not info_of:
            info_of, info_text = frame.info, "".join(f" {name}={_value(value)}" for name, value in frame.info.items())
        texts.append(f'{natoms}\nLattice="{lattice}" Properties={properties} {keys.energy}={energy} '
                     f"{keys.free_energy}={free_energy}{stress} source={_text(frame.source)} step={frame.step} "
                     f"steps={frame.steps} complete={_flag(frame.complete)} "
                     f'converged_electronic={_flag(frame.converged_electronic)}{info_text} pbc="T T T"\n{rows}')
    return texts


def _given(array: FloatArray | None) -> FloatArray:
    """An array that frames alike with the batch's first have (its first has one)."""
    if array is None:
        raise ValueError("frames of one batch differ in their columns")
    return array


def _numbers(values: FloatArray) -> list[str]:
    """Per entry of the first axis, its numbers in C order, separated by spaces."""
    return quorvel._format_rows(np.ascontiguousarray(values, dtype=np.float64).reshape(len(values), -1), None, 1)


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

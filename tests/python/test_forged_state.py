"""A state that is whole and correctly signed, but whose record breaks what its readers assume of
it (an array's shape, a label count, a text that is not UTF-8), is refused with ValueError; and any
state that is restored can be read whole."""

import os
import pickle
import random
import struct
import zlib

import pytest

import quorvel
from conftest import SAMPLE

SANITIZED = os.environ.get("QUORVEL_SANITIZED") == "1"


class State:
    """The state of a run as _restore takes it, with its payload and arrays open to rewriting, and
    signed again when restored, as a forger would."""

    def __init__(self, run):
        restore, args = run.__reduce_ex__(4)
        assert restore is quorvel._restore
        self.prefix = args[0][:5]
        self.payload = bytearray(args[0][17:])
        self.arrays = [bytes(array) for array in args[1:]]

    def copy(self):
        other = object.__new__(State)
        other.prefix, other.payload, other.arrays = self.prefix, bytearray(self.payload), list(self.arrays)
        return other

    def header(self):
        return self.prefix + struct.pack("<QI", len(self.payload), zlib.crc32(self.payload)) + bytes(self.payload)

    def restore(self):
        return quorvel._restore(self.header(), *self.arrays)

    def index_of(self, values):
        """The index of the array that holds `values` (a NumPy array of the run)."""
        (index,) = [i for i, array in enumerate(self.arrays) if array == values.tobytes()]
        return index

    def described(self, index):
        """Where the payload describes array `index` (its count and checksum); -1 where it does not."""
        old = self.arrays[index]
        return self.payload.find(struct.pack("<QI", len(old) // 8, zlib.crc32(old)))

    def set_array(self, index, data, shape=None):
        """Array `index` replaced by `data`, with its description and, when given, the shape that
        stands right before it."""
        at = self.described(index)
        assert at >= 8 * len(shape or ())
        if shape is not None:
            self.payload[at - 8 * len(shape):at] = struct.pack("<%dQ" % len(shape), *shape)
        self.payload[at:at + 12] = struct.pack("<QI", len(data) // 8, zlib.crc32(data))
        self.arrays[index] = data

    def set_shape(self, values, shape):
        """The shape of the array that holds `values`, its values kept."""
        index = self.index_of(values)
        self.set_array(index, self.arrays[index], shape)

    def replace_texts(self, old, new):
        """The first run of texts `old` (a list of str, written one after another) replaced by `new`
        (a list of bytes)."""
        def written(texts):
            return b"".join(struct.pack("<Q", len(text)) + text for text in texts)
        old_bytes = written([text.encode() for text in old])
        at = self.payload.find(old_bytes)
        assert at >= 0
        self.payload[at:at + len(old_bytes)] = written(new)


@pytest.fixture(scope="module")
def sample_run():
    return quorvel.Vasprun(str(SAMPLE), parse_projected=True)


def _eigenvalues(run, state, shape, data):
    state.set_array(state.index_of(run.eigenvalues), data, shape)


def _energies_cut(values):
    return lambda run, state: state.set_array(state.index_of(values(run)), values(run)[:-1].tobytes())


FORGERIES = {
    # The band edges walk an energy and an occupancy per state.
    "eigenvalues (1, 1, 2**20, 1) over as many values": (
        lambda run, state: _eigenvalues(run, state, (1, 1, 1 << 20, 1), bytes(8 << 20)),
        "shape (1, 1, 1048576, 1) where its users read (*, *, *, 2) (at eigenvalues.values)"),
    "eigenvalues (1, 1, 2, 1) over 16 bytes": (
        lambda run, state: _eigenvalues(run, state, (1, 1, 2, 1), struct.pack("<2d", 1.0, 1.0)),
        "shape (1, 1, 2, 1) where its users read (*, *, *, 2) (at eigenvalues.values)"),
    "eigenvalues (1, 1, 2**40, 0) without values": (
        lambda run, state: _eigenvalues(run, state, (1, 1, 1 << 40, 0), b""),
        "shape (1, 1, 1099511627776, 0) where its users read (*, *, *, 2) (at eigenvalues.values)"),
    "eigenvalues of one column": (
        lambda run, state: state.set_shape(run.eigenvalues, (2, 10, 32, 1)),
        "shape (2, 10, 32, 1) where its users read (*, *, *, 2) (at eigenvalues.values)"),
    "eigenvalues beyond any memory": (
        lambda run, state: _eigenvalues(run, state, (1 << 31, 1 << 31, 0, 2), b""),
        "shape (2147483648, 2147483648, 0, 2) beyond any memory (at eigenvalues.values)"),
    "projections of 6 columns under 9 labels": (
        lambda run, state: state.set_shape(run.projected["data"], (2, 10, 16, 6, 6)),
        "9 orbital labels for 6 columns (at projected)"),
    "partial DOS of 81 orbitals under 9 labels": (
        lambda run, state: state.set_shape(run.dos["partial"]["data"], (2, 4, 81, 9)),
        "9 orbital labels for 81 orbitals (at dos.partial)"),
    "total DOS with an energy too few": (
        _energies_cut(lambda run: run.dos["total"]["energies"]),
        "80 energies for 81 grid points (at dos.total)"),
    "dielectric function of 5 columns": (
        lambda run, state: state.set_shape(run.dielectric["imag"], (180, 5)),
        "shape (180, 5) where its users read (*, 6) (at dielectric_functions[0].data.imag)"),
    "dielectric function with an energy too few": (
        _energies_cut(lambda run: run.dielectric["energies"]),
        "149 energies for 150 rows (at dielectric_functions[0].data)"),
    # Python decodes every text as strict UTF-8.
    "program not UTF-8": (
        lambda run, state: state.replace_texts(["vasp"], [b"v\xffsp"]),
        "a text that is not UTF-8 (at generator.program)"),
    "atom symbol a surrogate": (
        lambda run, state: state.replace_texts(run.atoms, [b"Fe", b"\xed\xb0\x80", b"O", b"O"]),
        "a text that is not UTF-8 (at atom_info.atoms[1])"),
    "orbital label cut short": (
        lambda run, state: state.replace_texts(run.projected["orbitals"][:2], [b"s", b"py\xe2\x82"]),
        "a text that is not UTF-8 (at projected.orbitals[1])"),
}


@pytest.mark.parametrize("forgery", FORGERIES)
def test_forged_state_is_refused(sample_run, forgery):
    forge, refusal = FORGERIES[forgery]
    state = State(sample_run)
    forge(sample_run, state)
    with pytest.raises(ValueError) as info:
        state.restore()
    assert str(info.value) == "corrupt Vasprun state: " + refusal


def test_the_unforged_state_restores(sample_run, property_names):
    back = State(sample_run).restore()
    assert repr(back) == repr(sample_run) and back.band_gap == sample_run.band_gap


def _read_whole(run, property_names):
    for name in property_names:
        getattr(run, name)
    repr(run)
    pickle.loads(pickle.dumps(run, protocol=5))


WORDS = [0, 1, 2, 6, 0xFF, 1 << 20, 1 << 31, 1 << 40, 1 << 63, (1 << 64) - 1]


def _mutate(state, rng):
    """One of: a bit flipped, a word rewritten, or an array replaced under a shape of other words."""
    kind = rng.randrange(3)
    if kind == 0:
        at = rng.randrange(len(state.payload))
        state.payload[at] ^= 1 << rng.randrange(8)
    elif kind == 1:
        at = rng.randrange(len(state.payload) - 8)
        state.payload[at:at + 8] = struct.pack("<Q", rng.choice(WORDS))
    else:
        index = rng.randrange(len(state.arrays))
        values = len(state.arrays[index]) // 8
        data = state.arrays[index][:8 * rng.choice([0, 1, values // 2, values])]
        shape = [rng.choice(WORDS + [len(data) // 8]) for _ in range(rng.choice([1, 2, 4, 5]))]
        if state.described(index) >= 8 * len(shape):  # not where an earlier mutation struck
            state.set_array(index, data, shape)


def test_mutated_states_are_refused_or_read_whole(sample_run, property_names):
    """Mutations of a valid state, signed again: each is refused with ValueError, or its object
    can be read whole (every property, repr, a pickle round trip)."""
    rng = random.Random(27)
    base = State(sample_run)
    refused = read = 0
    for _ in range(150 if SANITIZED else 1000):
        state = base.copy()
        for _ in range(rng.choice([1, 1, 2, 3])):
            _mutate(state, rng)
        try:
            run = state.restore()
        except ValueError:
            refused += 1
            continue
        _read_whole(run, property_names)
        read += 1
    assert refused and read

"""Vasprun objects travel between processes: pickled as their record's state, restored
to the bit, and any state that is not whole and unchanged is refused. What the restored
object reads can change under it from nowhere: only bytes are read where they lie."""

import copy
import mmap
import os
import pickle
import struct
import sys
import tempfile
import zlib

import numpy as np
import pytest

import quorvel
from conftest import _calculation_xml, _eigenvalues_xml, _run_document, corpus_files


def exact(value):
    """A value with its floats and arrays as their bytes, and dicts with their key order, so
    that == compares to the bit (NaN payloads and -0.0 included)."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, dict):
        return ("dict", [(key, exact(item)) for key, item in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [exact(item) for item in value])
    return value


def everything(run, property_names):
    return [(name, exact(getattr(run, name))) for name in property_names] + [repr(run)]


READABLE = [p for p in corpus_files() if not p.name.startswith(("not-", "truncated-in-param"))]


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_round_trips_to_the_bit(sample_path, write_xml, run_xml, property_names, protocol):
    # NaN (from asterisks) and -0.0 in the arrays and values, vectors in the INCAR
    calc = run_xml.calculation(body=run_xml.eigenvalues("-0.0", "*****", "1e-300"))
    odd = write_xml(run_xml.document(incar='<v name="MAGMOM">1 ****** -0</v><i name="X">-0.0</i>',
                                     calculations=[calc]))
    for path in [sample_path, odd] + [str(p) for p in READABLE]:
        run = quorvel.Vasprun(path, parse_projected=True, ionic_step_skip=2)
        back = pickle.loads(pickle.dumps(run, protocol=protocol))
        assert type(back) is quorvel.Vasprun and back is not run
        assert everything(back, property_names) == everything(run, property_names), path


def test_buffers_out_of_band(sample_path, property_names):
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    buffers = []
    data = pickle.dumps(run, protocol=5, buffer_callback=buffers.append)
    assert len(data) < 20_000 and sum(memoryview(b).nbytes for b in buffers) > 50_000  # the arrays went aside
    del run
    back = pickle.loads(data, buffers=buffers)  # the buffers keep the record they came from
    assert everything(back, property_names) == everything(quorvel.Vasprun(sample_path, parse_projected=True),
                                                           property_names)


def test_the_pickle_is_the_arrays_and_a_little_more(sample_path):
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    arrays = run.projected["data"].nbytes + run.eigenvalues.nbytes + run.dos["partial"]["data"].nbytes
    assert len(pickle.dumps(run, protocol=4)) < arrays * 1.2 + 100_000


def test_copies_are_the_object_itself(sample_path):
    run = quorvel.Vasprun(sample_path)
    assert copy.copy(run) is run and copy.deepcopy(run) is run and copy.deepcopy([run])[0] is run


def small_state():
    """The state of a small run: its header and arrays, as _restore takes them."""
    text = _run_document(calculations=[_calculation_xml(body=_eigenvalues_xml(-1.0, 2.0))])
    with tempfile.NamedTemporaryFile("w", suffix=".xml", delete=False) as f:
        f.write(text)
    try:
        run = quorvel.Vasprun(f.name)
    finally:
        os.unlink(f.name)
    restore, args = run.__reduce_ex__(4)
    assert restore is quorvel._restore
    return run, args[0], list(args[1:])


def refused(header, arrays):
    with pytest.raises(ValueError) as info:
        quorvel._restore(header, *arrays)
    return str(info.value)


def test_every_truncation_and_flipped_byte_is_refused():
    run, header, arrays = small_state()
    assert repr(quorvel._restore(header, *arrays)) == repr(run)
    for cut in range(len(header)):
        message = refused(header[:cut], arrays)
        assert message.startswith(("not a quorvel Vasprun state", "truncated Vasprun state")), (cut, message)
    for at in range(len(header)):
        for bit in (0x01, 0x80):
            flipped = bytearray(header)
            flipped[at] ^= bit
            refused(bytes(flipped), arrays)
    assert refused(header + b"\0", arrays) == "corrupt Vasprun state: bytes after its end"
    assert refused(b"QVRS\x09" + header[5:], arrays).startswith("unsupported Vasprun state version 9")


def test_arrays_that_do_not_match_their_description_are_refused():
    _, header, arrays = small_state()
    assert arrays, "the eigenvalues travel as an array"
    assert refused(header, arrays[:-1]).startswith("corrupt Vasprun state: its header describes more arrays")
    assert refused(header, arrays + [b""]).endswith("where its header describes %d" % len(arrays))
    assert "holds" in refused(header, [arrays[0][:-8]] + arrays[1:])
    assert "not a whole number of values" in refused(header, [arrays[0][:-1]] + arrays[1:])
    changed = bytearray(arrays[0])
    changed[3] ^= 1
    assert "checksum" in refused(header, [bytes(changed)] + arrays[1:])
    with pytest.raises(TypeError):
        quorvel._restore()
    with pytest.raises(TypeError):
        quorvel._restore(header, 12)


def test_counts_beyond_the_state_allocate_nothing():
    _, header, arrays = small_state()
    # The atom list's count, set far beyond what the state holds, with a checksum that fits.
    payload = bytearray(header[17:])
    at = payload.find(struct.pack("<Q", 1) + struct.pack("<Q", 2) + b"Si")
    assert at > 0
    payload[at:at + 8] = struct.pack("<Q", 1 << 60)
    forged = header[:5] + struct.pack("<QI", len(payload), zlib.crc32(payload)) + bytes(payload)
    assert refused(forged, arrays) == "corrupt Vasprun state: atom_info.atoms"


def test_state_starts_with_its_format_and_version():
    _, header, arrays = small_state()
    assert header[:4] == b"QVRS" and header[4] == 4
    # the states of quorvel before the k-point recipe's vectors and the energy terms are refused cleanly
    assert refused(b"QVRS\x03" + header[5:], arrays).startswith("unsupported Vasprun state version 3")


def _out_of_band(run):
    """The pickle of `run` and copies of its out-of-band buffers, as bytes."""
    buffers = []
    data = pickle.dumps(run, protocol=5, buffer_callback=buffers.append)
    return data, [bytes(buffer.raw()) for buffer in buffers]


def _bytearray(array):
    memory = bytearray(array)

    def change():
        memory[:] = b"\xff" * len(memory)
        memory.extend(bytes(64))  # BufferError while anything holds an export of it
    return memory, change


def _read_only_view(array):
    # What the unpickler hands on for a read-only buffer given as a bytearray.
    memory, change = _bytearray(array)
    view = memoryview(memory).toreadonly()

    def release_and_change():
        view.release()  # BufferError while the object reads it
        change()
    return view, release_and_change


def _numpy(array):
    memory = np.frombuffer(bytearray(array), dtype=np.uint8)

    def change():
        memory[:] = 0xFF
    return memory, change


# Memory that can change after the restore, each with what changes it: the object copies it.
TRANSPORTS = {"bytearray": _bytearray, "read-only view of a bytearray": _read_only_view, "NumPy array": _numpy}


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_buffers_that_can_change_are_copied(sample_path, property_names, transport):
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    data, arrays = _out_of_band(run)
    given, changes = zip(*(TRANSPORTS[transport](array) for array in arrays))
    back = pickle.loads(data, buffers=given)
    for change in changes:
        change()
    assert everything(back, property_names) == everything(run, property_names)


def test_mapped_files_are_copied(tmp_path, sample_path, property_names):
    # A file that shrinks under a mapping read later raises SIGBUS.
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    data, arrays = _out_of_band(run)
    maps = []
    for i, array in enumerate(arrays):
        path = tmp_path / str(i)
        path.write_bytes(array)
        with open(path, "rb") as f:
            maps.append(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ))
    back = pickle.loads(data, buffers=maps)
    for i, mapped in enumerate(maps):
        mapped.close()  # BufferError while the object reads it
        os.truncate(tmp_path / str(i), 0)
    assert everything(back, property_names) == everything(run, property_names)


def test_bytes_are_read_where_they_lie(sample_path, property_names):
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    data, arrays = _out_of_band(run)
    before = [sys.getrefcount(array) for array in arrays]
    back = pickle.loads(data, buffers=[pickle.PickleBuffer(array) for array in arrays])
    assert [sys.getrefcount(array) for array in arrays] == [count + 1 for count in before]  # held, not copied
    assert everything(back, property_names) == everything(run, property_names)
    del back
    assert [sys.getrefcount(array) for array in arrays] == before

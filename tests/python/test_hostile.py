"""Hostile inputs through the Python interface: paths that cannot be read, gzip bombs, allocation
failure under an address-space limit (in a subprocess, which must survive it), and arrays that
outlive their run. Every failure is a RuntimeError or a MemoryError, never a crash."""

import gc
import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np
import pytest

import quorvel
from conftest import gen_vasprun

SANITIZED = os.environ.get("QUORVEL_SANITIZED") == "1"
needs_limits = pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/status"),
                                  reason="address-space limits need /proc and no AddressSanitizer")


@pytest.fixture(scope="module")
def bomb(tmp_path_factory):
    """A gzip file of 300 MB of the byte 'a', about 300 KB on disk."""
    packer, block = zlib.compressobj(9, zlib.DEFLATED, 31), b"a" * (1 << 20)
    path = tmp_path_factory.mktemp("bomb") / "bomb.xml.gz"
    path.write_bytes(b"".join(packer.compress(block) for _ in range(300)) + packer.flush())
    assert path.stat().st_size < 1 << 20
    return str(path)


@pytest.fixture(scope="module")
def big_projected(tmp_path_factory):
    """A generated run file of about 120 MB whose projections take about 76 MiB as an array: more
    than the 64 MiB heap that glibc reserves for the arena of the thread a large parse runs on,
    whose free room an array could otherwise take whatever the limit."""
    path = tmp_path_factory.mktemp("big") / "big.xml"
    gen_vasprun.write_vasprun(str(path), projected=True, target_mb=120)
    yield str(path)
    path.unlink()


def test_a_directory_is_an_input_error(tmp_path):
    (tmp_path / "folder.xml.gz").mkdir()
    for path in (tmp_path, tmp_path / "folder.xml.gz"):
        with pytest.raises(RuntimeError, match=r"^I/O error: Is a directory"):
            quorvel.Vasprun(str(path))
    with pytest.raises(RuntimeError, match=r"^I/O error: "):
        quorvel.Vasprun(str(tmp_path / "a\0b.xml"))


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads a file whatever its mode")
def test_an_unreadable_file_is_an_input_error(tmp_path, sample_path):
    path = tmp_path / "locked.xml"
    shutil.copy(sample_path, path)
    path.chmod(0)
    with pytest.raises(RuntimeError, match=r"^I/O error: Permission denied"):
        quorvel.Vasprun(str(path))


@pytest.mark.skipif(os.geteuid() != 0, reason="switching to an unprivileged user needs root")
def test_an_unreadable_file_is_an_input_error_for_an_unprivileged_user(sample_path):
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o755)
        path = os.path.join(folder, "locked.xml")
        shutil.copy(sample_path, path)
        os.chmod(path, 0)
        code = "import sys, quorvel\ntry:\n    quorvel.Vasprun(sys.argv[1])\nexcept RuntimeError as e:\n    print(e)"
        try:
            done = subprocess.run([sys.executable, "-c", code, path], user=65534, group=65534, extra_groups=[],
                                  capture_output=True, text=True, timeout=60)
        except PermissionError as error:
            pytest.skip(f"the unprivileged user cannot run this interpreter: {error}")
    if "Error" in done.stderr and "quorvel" in done.stderr:
        pytest.skip("the unprivileged user cannot import quorvel: " + done.stderr.splitlines()[-1])
    assert done.stdout.startswith("I/O error: Permission denied"), done.stdout + done.stderr


def test_a_gzip_bomb_fails_quickly(bomb, tmp_path):
    start = time.perf_counter()
    with pytest.raises(RuntimeError, match=r"^Missing element <modeling>$"):
        quorvel.Vasprun(bomb)
    assert SANITIZED or time.perf_counter() - start < 5
    cut = tmp_path / "cut.xml.gz"
    cut.write_bytes(open(bomb, "rb").read()[:100000])
    with pytest.raises(RuntimeError, match=r"^I/O error: "):
        quorvel.Vasprun(str(cut))


@pytest.mark.parametrize("flag, length", [(0x08, 64 << 10), (0x10, 64 << 10), (0x18, 1 << 20)])
def test_a_gzip_file_name_or_comment_of_any_length_is_passed_over(flag, length, tmp_path, sample_path):
    # FNAME (0x08) and FCOMMENT (0x10) end at a zero byte, however far on, as gzip -t and Python take it.
    data = open(sample_path, "rb").read()
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    fields = (b"n" * length + b"\0" if flag & 0x08 else b"") + (b"c" * length + b"\0" if flag & 0x10 else b"")
    member = (b"\x1f\x8b\x08" + bytes([flag]) + b"\0\0\0\0\0\x03" + fields + packer.compress(data) + packer.flush()
              + struct.pack("<II", zlib.crc32(data), len(data)))
    assert gzip.decompress(member) == data
    path = tmp_path / "run.xml.gz"
    path.write_bytes(member)
    run, sample = quorvel.Vasprun(str(path)), quorvel.Vasprun(sample_path)
    assert run.ionic_steps == sample.ionic_steps and run.complete
    np.testing.assert_array_equal(run.eigenvalues, sample.eigenvalues)


# Runs in a fresh interpreter under an address-space limit `headroom` MiB above its current size
# (only the soft limit is lowered, so that it can be raised again). Each step must raise
# MemoryError, seven times over without the address space growing after the first two (which
# warm the allocator up), and the module must then still parse a small file, under the limit and after
# it is lifted. "sweep" parses under limits from tight to ample: each gives MemoryError or a run.
CHILD = r"""
import resource, sys
import numpy, quorvel

def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

mode, path, small, headroom = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]) << 20
run = quorvel.Vasprun(path, parse_projected=True) if mode == "read" else None
step = {"parse": lambda: quorvel.Vasprun(path, parse_projected=True), "sweep": lambda: quorvel.Vasprun(path),
        "read": lambda: run.projected, "bomb": lambda: quorvel.Vasprun(path)}[mode]
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
before = vm_size()

def outcome():
    try:
        step()
        return "run"
    except MemoryError:
        return "MemoryError"

if mode == "sweep":
    seen = set()
    for extra in range(16, 320, 32):
        resource.setrlimit(resource.RLIMIT_AS, (before + (extra << 20), hard))
        seen.add(outcome())
    assert seen == {"run", "MemoryError"}, seen
else:
    resource.setrlimit(resource.RLIMIT_AS, (before + headroom, hard))
    assert [outcome() for _ in range(2)] == ["MemoryError"] * 2, "no MemoryError under the limit"
    warm = vm_size()
    assert [outcome() for _ in range(5)] == ["MemoryError"] * 5
    grown = vm_size() - warm
    assert grown < 4 << 20, f"the address space grew by {grown} bytes in five failures"
quorvel.Vasprun(small, parse_projected=True).eigenvalues
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
step() if mode == "read" else quorvel.Vasprun(small).projected
print("survived")
"""


@needs_limits
@pytest.mark.parametrize("mode, headroom", [("parse", 64), ("parse", 150), ("read", 32), ("bomb", 128), ("sweep", 0)])
def test_allocation_failure_is_a_memory_error(mode, headroom, big_projected, bomb, sample_path):
    path = bomb if mode == "bomb" else big_projected
    done = subprocess.run([sys.executable, "-c", CHILD, mode, path, sample_path, str(headroom)],
                          capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout.strip()) == (0, "survived"), done.stderr[-2000:]


def test_arrays_outlive_their_run_and_later_constructions(sample_path):
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    kept, projected = run.eigenvalues, run.projected["data"]
    copies = kept.copy(), projected.copy()
    del run
    for _ in range(50):
        other = quorvel.Vasprun(sample_path, parse_projected=True)
        other.eigenvalues[...] = -1.0
        other.projected["data"][...] = -1.0
    gc.collect()
    np.testing.assert_array_equal(kept, copies[0])
    np.testing.assert_array_equal(projected, copies[1])


@pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/statm"), reason="needs /proc, no sanitizer")
def test_failing_parses_keep_memory_flat(tmp_path, write_xml, run_xml):
    wider_second_kpoint = ("<eigenvalues><array><set><set><set><r>1 1</r></set><set><r>1 1</r><r>2 1</r></set>"
                           "</set></set></array></eigenvalues>")
    paths = [str(tmp_path),  # a directory
             write_xml(run_xml.document(atoms=("Si&#xD800;",)), "reference.xml"),
             write_xml(gzip.compress(b"<modeling>" * 1000)[:50], "cut.xml.gz"),
             write_xml(run_xml.document(calculations=[run_xml.calculation(body=wider_second_kpoint)]), "shape.xml")]

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def once():
        for path in paths:
            with pytest.raises(RuntimeError):
                quorvel.Vasprun(path)

    [once() for _ in range(20)]
    gc.collect()
    before = rss()
    [once() for _ in range(300)]
    gc.collect()
    assert rss() - before < 4 << 20

"""A parse holds little more than the file and what it reads out of it; repeated
reads and constructions neither grow memory nor leak references."""

import gc
import os
import subprocess
import sys
import tracemalloc

import pytest

import quorvel


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("case", ["read", "construct", "fail"])
def test_memory_does_not_grow(sample_path, write_xml, property_names, case):
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    broken = write_xml(open(sample_path, "rb").read().replace(b"kpoints>", b"kpointz>"), "broken.xml")

    def once():
        if case == "read":  # about 200 KiB of arrays and lists per round
            [getattr(run, name) for name in property_names] + [repr(run)]
        elif case == "construct":
            quorvel.Vasprun(sample_path, parse_projected=True).eigenvalues
        else:
            with pytest.raises(RuntimeError, match="^Missing element <kpoints>$"):
                quorvel.Vasprun(broken, parse_projected=True)

    [once() for _ in range(20)]  # warm-up: NumPy API, type objects, allocator pools
    gc.collect()
    tracemalloc.start()
    traced, rss = tracemalloc.get_traced_memory()[0], rss_bytes()
    [once() for _ in range(300)]
    gc.collect()
    traced, rss = tracemalloc.get_traced_memory()[0] - traced, rss_bytes() - rss
    tracemalloc.stop()
    assert traced < 64 * 1024
    # AddressSanitizer holds freed memory in quarantine, so RSS tells nothing there;
    # its leak checker covers the native side instead.
    assert rss < 4 * 1024 * 1024 or os.environ.get("QUORVEL_SANITIZED") == "1"


def test_reads_and_constructions_do_not_leak_references(sample_path, property_names):
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    # the flags and None are shared singletons; every other value is a fresh object
    values = [value for value in (getattr(run, name) for name in property_names)
              if not isinstance(value, bool) and value is not None]
    arr, step, dos = run.kpoints["kpointlist"], run.ionic_steps[0], run.dos
    # counts are taken outside assert statements, which keep temporaries alive
    counts = [sys.getrefcount(v) for v in values] + [sys.getrefcount(arr.base)] + [
        sys.getrefcount(step[k]) for k in step if not isinstance(step[k], bool)] + [sys.getrefcount(dos[k]) for k in dos]
    assert counts == [3] * len(values) + [2] * (len(counts) - len(values))
    watched = values + [run, quorvel.Vasprun, type(arr.base)]
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(100):
        [getattr(run, name) for name in property_names] + [repr(run)]
        quorvel.Vasprun(sample_path)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


_PEAK_SCRIPT = """
import sys
import quorvel

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the high-water mark starts again from the current size
base = status("VmRSS")
run = quorvel.Vasprun(sys.argv[1], parse_projected=True)
peak = status("VmHWM") - base
arrays, stack = 0, [run.eigenvalues, run.projected, run.dos]
while stack:  # every NumPy array inside the bulk properties
    value = stack.pop()
    if isinstance(value, dict):
        stack.extend(value.values())
    elif hasattr(value, "nbytes"):
        arrays += value.nbytes
print(peak, arrays)
"""


@pytest.mark.skipif(os.environ.get("QUORVEL_SANITIZED") == "1" or not os.path.exists("/proc/self/clear_refs"),
                    reason="needs /proc/self/clear_refs, no sanitizer")
@pytest.mark.parametrize("options", [
    dict(species="Fe:2,O:4", spins=2, kpoints=6, dos=True, nedos=20000),  # mostly partial DOS
    dict(species="Fe:4,O:4", spins=2, kpoints=40, bands=100, projected=True, dos=True, nedos=301),
    dict(species="Li:2,O:2", kpoints=2, steps=10000, scsteps=6, magnetization=True),  # ionic steps only
], ids=["dos", "projected", "steps"])
def test_peak_memory_is_the_file_and_its_arrays(generate, options):
    path = generate(**options)
    out = subprocess.run([sys.executable, "-c", _PEAK_SCRIPT, path], capture_output=True, text=True, check=True)
    peak, arrays = map(int, out.stdout.split())
    size = os.path.getsize(path)
    assert peak < 1.1 * (size + arrays) + (4 << 20), (peak, size, arrays)

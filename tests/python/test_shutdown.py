"""A daemon thread that parses while the interpreter exits: CPython (before 3.14) ends such a
thread when it takes the interpreter lock back, by unwinding its stack; the parse must let that
unwind pass and drop nothing of Python on its way. Each run is a process of its own, which must
exit cleanly, whatever the thread was doing at the time."""

import subprocess
import sys

import pytest

from conftest import gen_vasprun

CHILD = """
import sys, threading, time
import quorvel

def parse_forever(path):
    while True:
        try:
            quorvel.Vasprun(path, parse_projected=True)
        except RuntimeError:
            pass

for _ in range(2):
    threading.Thread(target=parse_forever, args=(sys.argv[1],), daemon=True).start()
time.sleep(float(sys.argv[2]))
"""


@pytest.fixture(scope="module")
def large_files(tmp_path_factory):
    """A plain file large enough to be parsed on a thread of its own, and its gzip form."""
    folder = tmp_path_factory.mktemp("exit")
    paths = [folder / "large.xml", folder / "large.xml.gz"]
    for path in paths:
        gen_vasprun.write_vasprun(str(path), projected=True, target_mb=12)
    return {"plain": str(paths[0]), "gzip": str(paths[1])}


@pytest.mark.parametrize("kind", ["small", "plain", "gzip"])
def test_a_daemon_thread_parsing_at_exit_ends_cleanly(kind, large_files, sample_path):
    path = sample_path if kind == "small" else large_files[kind]
    # The exit comes at different points of the parse from run to run.
    for delay in (0.05, 0.1, 0.15, 0.2, 0.3, 0.4):
        done = subprocess.run([sys.executable, "-c", CHILD, path, str(delay)], capture_output=True, text=True,
                              timeout=120)
        assert (done.returncode, done.stderr) == (0, ""), (delay, done.stderr[-2000:])

"""Files that change while they are read. Plain files are mapped under a read lease where one can
be had, else read up to the size they had when opened; a change under the read means one more read,
then an error, never a text made of two versions. Nothing another process does to the file (opening it for writing, truncating it,
rewriting it, appending to it) takes the reading process down, also while it is stopped."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import quorvel
from conftest import SAMPLE, gen_vasprun

SANITIZED = os.environ.get("QUORVEL_SANITIZED") == "1"
CHANGED = "I/O error: file changed while it was read"

CHILD = """
import sys, quorvel
print("ready", flush=True)
try:
    run = quorvel.Vasprun(sys.argv[1])
    print(len(run.ionic_steps), run.complete, flush=True)
except RuntimeError as error:
    print(error, flush=True)
"""


@pytest.fixture
def large_document(tmp_path):
    """The sample with 200 MB of an element nobody reads, so that its parse takes a while."""
    text = SAMPLE.read_text()
    at = text.index("<calculation>")
    path = tmp_path / "large.xml"
    with open(path, "w") as f:
        f.write(text[:at] + "<padding>")
        for _ in range(50):
            f.write("<a/>" * 1_000_000)
        f.write("</padding>\n" + text[at:])
    return path


def wait_until_read(pid, size):
    """Waits until process `pid` has read `size` bytes (its rchar of /proc): a parse that maps the
    file instead reads none, and fails here."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/io") as io:
            if next(int(line.split()[1]) for line in io if line.startswith("rchar:")) >= size:
                return
        time.sleep(0.001)
    raise AssertionError(f"the parse did not read {size} bytes")


def wait_until_mapped(pid, path):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/maps") as maps:
            if str(path) in maps.read():
                return
        time.sleep(0.0005)
    raise AssertionError("the parse did not map the file")


LEASE_BREAK_TIME = "/proc/sys/fs/lease-break-time"


@pytest.fixture
def short_lease_break_time():
    """The system's lease-break time set to 1 s for the test (root only)."""
    try:
        with open(LEASE_BREAK_TIME) as f:
            before = f.read()
        with open(LEASE_BREAK_TIME, "w") as f:
            f.write("1")
    except OSError:
        pytest.skip("the lease-break time cannot be set here")
    yield
    with open(LEASE_BREAK_TIME, "w") as f:
        f.write(before)


def test_a_file_truncated_under_the_parse_waits_for_it(large_document):
    # The lease holds the truncation back until the parse is done: the parse sees the whole file.
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(large_document)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        wait_until_mapped(child.pid, large_document)
        os.truncate(large_document, large_document.stat().st_size // 2)
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
    assert (child.returncode, out.split()) == (0, ["3", "True"])


def test_a_parse_stopped_past_its_lease_while_its_file_is_cut_lives_on(large_document, short_lease_break_time):
    # Stopped (as by Ctrl-Z or a batch system) for longer than the lease-break time: the truncation
    # goes ahead under the mapping, and the resumed parse, which used to die of SIGBUS, reads the
    # file again as it is now, or says it changed.
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(large_document)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        wait_until_mapped(child.pid, large_document)
        child.send_signal(signal.SIGSTOP)
        start = time.monotonic()
        os.truncate(large_document, large_document.stat().st_size // 2)
        took = time.monotonic() - start
        child.send_signal(signal.SIGCONT)
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, out
    assert out.strip() == CHANGED or out.split() == ["0", "False"] or (took < 0.5 and out.split() == ["3", "True"]), out


def test_a_file_cut_under_the_read_is_read_again(large_document):
    # Held open for writing elsewhere: no lease holds the truncation back. The parse gives the whole
    # file, the cut file, or the error: never a crash.
    writer = os.open(large_document, os.O_WRONLY)
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(large_document)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        wait_until_read(child.pid, 50 << 20)
        start = time.monotonic()
        os.truncate(large_document, large_document.stat().st_size // 2)
        took = time.monotonic() - start
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
        os.close(writer)
    assert child.returncode == 0 and took < 1.0
    assert out.split()[-1] in ("True", "False") or out.strip() == CHANGED, out


READER = """
import sys, time, quorvel
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    quorvel.Vasprun(sys.argv[1])
"""


def test_opening_the_file_for_writing_again_and_again_kills_no_reader(tmp_path):
    # Each open for writing breaks the read lease of a reader that holds one; a break must never
    # send the signal whose default action ends the process.
    path = tmp_path / "run.xml"
    gen_vasprun.write_vasprun(str(path), target_mb=2)
    opener = subprocess.Popen([sys.executable, "-c",
                               "import os, sys\nwhile True:\n    os.close(os.open(sys.argv[1], os.O_WRONLY))",
                               str(path)])
    try:
        statuses = [subprocess.run([sys.executable, "-c", READER, str(path), "0.4"], timeout=60).returncode
                    for _ in range(5)]
    finally:
        opener.kill()
        opener.wait()
    assert statuses == [0] * 5


def eigenvalues_and_dos(run):
    return run.eigenvalues.tobytes() + run.dos["total"]["densities"].tobytes()


@pytest.mark.parametrize("where", ["tmp", "shm"])
def test_a_file_rewritten_under_the_parse_gives_one_version_or_an_error(where, tmp_path):
    folder = tmp_path if where == "tmp" else "/dev/shm"
    if not os.path.isdir(folder):
        pytest.skip("no /dev/shm")
    versions = []
    for seed in (1, 2):
        gen_vasprun.write_vasprun(str(tmp_path / f"v{seed}.xml"), kpoints=40, bands=60, dos=True, seed=seed)
        versions.append((tmp_path / f"v{seed}.xml").read_bytes())
    assert len(versions[0]) == len(versions[1])
    expected = {eigenvalues_and_dos(quorvel.Vasprun(str(tmp_path / f"v{seed}.xml"))) for seed in (1, 2)}
    path = os.path.join(folder, f"rewritten-{os.getpid()}.xml")
    with open(path, "wb") as f:
        f.write(versions[0])
    # Rewritten in place, the same size each time, two valid runs one after the other.
    writer = subprocess.Popen([sys.executable, "-c", """
import os, sys
versions = [open(p, 'rb').read() for p in sys.argv[2:]]
fd = os.open(sys.argv[1], os.O_WRONLY)
os.pwrite(fd, versions[1], 0)
print("ready", flush=True)
while True:
    for version in versions:
        os.pwrite(fd, version, 0)
""", path, str(tmp_path / "v1.xml"), str(tmp_path / "v2.xml")], stdout=subprocess.PIPE, text=True)
    outcomes = []
    try:
        assert writer.stdout.readline().strip() == "ready"
        end = time.monotonic() + 4
        while time.monotonic() < end:
            try:
                outcomes.append(eigenvalues_and_dos(quorvel.Vasprun(path)) in expected)
            except RuntimeError as error:
                outcomes.append(str(error))
    finally:
        writer.kill()
        writer.communicate()
        os.unlink(path)
    assert outcomes and set(outcomes) <= {True, CHANGED}, [o for o in outcomes if o not in (True, CHANGED)]


def test_a_file_that_keeps_growing_is_read_to_the_size_it_had(tmp_path):
    # Another process appends whole calculations faster than they can be read: the parse reads
    # what the file held when it was opened, not what was written while it read.
    text = SAMPLE.read_text()
    head, calculation = text[:text.index("<calculation>")], text[text.index("<calculation>"):text.index("</calculation>") + 14]
    path = tmp_path / "growing.xml"
    path.write_text(head)
    block = tmp_path / "block"
    block.write_text((calculation + "\n") * 200)
    writer = subprocess.Popen([sys.executable, "-c", """
import sys
block = open(sys.argv[2], 'rb').read()
with open(sys.argv[1], 'ab', buffering=0) as f:
    for _ in range((400 << 20) // len(block)):
        f.write(block)
""", str(path), str(block)])
    try:
        deadline = time.monotonic() + 60
        while path.stat().st_size < 16 << 20 and time.monotonic() < deadline:
            time.sleep(0.001)
        run = quorvel.Vasprun(str(path))
    finally:
        writer.wait(timeout=120)
    written = path.stat().st_size
    path.unlink()
    assert not run.complete
    assert 0 < len(run.ionic_steps) * len(calculation) < written // 2, (len(run.ionic_steps), written)


@pytest.mark.parametrize("path", ["/proc/self/status", "/dev/null"])
def test_files_without_a_size_are_read(path):
    with pytest.raises(RuntimeError) as info:
        quorvel.Vasprun(path)
    assert str(info.value) == "Missing element <modeling>"


def test_a_large_document_in_latin1_is_decoded(tmp_path, sample_path):
    text = SAMPLE.read_bytes().replace(b"<i type=\"string\" name=\"SYSTEM\">", b"<i type=\"string\" name=\"SYSTEM\">\xb5", 1)
    text += b"<!--" + b"x" * (10 << 20) + b"-->\n"  # large: read into a mapping of its own
    path = tmp_path / "latin1.xml"
    path.write_bytes(text)
    run = quorvel.Vasprun(str(path))
    assert run.parameters["SYSTEM"].startswith("\u00b5") and run.complete
    np.testing.assert_array_equal(run.eigenvalues, quorvel.Vasprun(sample_path).eigenvalues)

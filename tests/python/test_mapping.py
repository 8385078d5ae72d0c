"""Plain files are mapped rather than copied where a read lease keeps them from
shrinking under the parse; a file that shrinks while it is read never takes the
process down, and files that cannot be mapped are read."""

import os
import subprocess
import sys
import time

import pytest

import quorvel
from conftest import SAMPLE

CHILD = """
import sys, quorvel
print("ready", flush=True)
run = quorvel.Vasprun(sys.argv[1])
print(len(run.ionic_steps), run.complete, flush=True)
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


def truncate_under_the_parse(path, writer=None):
    """Starts a process parsing `path`, truncates the file to half while it reads, and
    returns what the process printed, its exit status and how long the truncation took."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.15)
        start = time.monotonic()
        os.truncate(path, os.path.getsize(path) // 2)
        took = time.monotonic() - start
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
        if writer is not None:
            os.close(writer)
    return out.split(), child.returncode, took


def test_a_file_truncated_under_the_parse_waits_for_it(large_document):
    # The lease holds the truncation back until the mapping is gone: the parse sees the whole file.
    out, status, _ = truncate_under_the_parse(large_document)
    assert status == 0 and out == ["3", "True"]


def test_a_file_open_for_writing_is_read_instead(large_document):
    # No lease while someone may write: the file is read, and a cut under the parse is a cut file.
    writer = os.open(large_document, os.O_WRONLY)
    out, status, took = truncate_under_the_parse(large_document, writer)
    assert status == 0 and took < 1.0
    assert out[-1] in ("True", "False")  # whole when read before the cut, else cut off: never a crash


@pytest.mark.parametrize("path", ["/proc/self/status", "/dev/null"])
def test_files_without_a_size_are_read(path):
    with pytest.raises(RuntimeError) as info:
        quorvel.Vasprun(path)
    assert str(info.value) == "Missing element <modeling>"


def test_a_mapped_document_in_latin1_is_decoded(tmp_path, sample_path):
    text = SAMPLE.read_bytes().replace(b"<i type=\"string\" name=\"SYSTEM\">", b"<i type=\"string\" name=\"SYSTEM\">\xb5", 1)
    text += b"<!--" + b"x" * (2 << 20) + b"-->\n"  # large enough to be mapped
    path = tmp_path / "latin1.xml"
    path.write_bytes(text)
    run = quorvel.Vasprun(str(path))
    assert run.parameters["SYSTEM"].startswith("\u00b5") and run.complete

"""Many files: folder trees, worker threads in the order of the arguments, the progress bar, Ctrl-C."""

import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import pytest

from quorvel import cli
from quorvel.cli import files as cli_files, workers as cli_workers
from cli_support import rows_of
from conftest import SAMPLE


def test_workers_keep_the_argument_order(sample_path, generate, tmp_path, capsys):
    paths = [generate(species=species, kpoints=8, seed=seed) for seed, species in enumerate(["Si:2", "Fe:1,O:1"] * 3)]
    paths.insert(2, str(tmp_path / "missing.xml"))
    outputs = []
    for jobs in ("1", "2"):
        assert cli.main(["info", "--format", "csv", "-j", jobs, *paths]) == 1
        outputs.append(capsys.readouterr())
    assert outputs[0] == outputs[1]
    assert [row["path"] for row in rows_of(outputs[0].out, "csv")] == paths


def echo_after(item):
    """The item's name after its delay: a worker function whose items finish out of order."""
    delay, name = item
    time.sleep(delay)
    return name


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_results_come_in_the_order_of_the_items(workers):
    items = [(0.3, "slow"), (0.0, "a"), (0.0, "b"), (0.1, "c"), (0.0, "d")]
    assert list(cli_workers.results_in_order(echo_after, items, workers, None)) == ["slow", "a", "b", "c", "d"]


def explode(item):
    raise OSError(f"no {item}")


def test_a_worker_that_fails_gives_failed_rows():
    def failed(item, message):
        return (item, message)

    results = list(cli_workers.results_in_order(explode, [3, 4, 5], 2, failed))
    assert [item for item, _ in results] == [3, 4, 5]
    assert all("the worker reading the file failed" in message for _, message in results)


def test_folders_are_searched_for_run_files(generate, tmp_path, capsys):
    tree = tmp_path / "tree"
    for folder in ("a/b", ".hidden", "renamed", "empty"):
        (tree / folder).mkdir(parents=True)
    named = [generate(str(p.relative_to(tmp_path))) for p in
             (tree / "a" / "vasprun.xml", tree / "a" / "b" / "relax-vasprun.xml.gz", tree / "z-vasprun.xml")]
    generate(str((tree / "a" / "other.xml").relative_to(tmp_path)))  # not named vasprun: passed over
    generate(str((tree / ".hidden" / "vasprun.xml").relative_to(tmp_path)))
    renamed = [generate(str((tree / "renamed" / name).relative_to(tmp_path))) for name in ("si.xml", "fe.xml.gz")]
    (tree / "renamed" / "notes.txt").write_text("not a run file")
    assert cli_files.expand_arguments([str(tree)]) == ([named[2], named[0], named[1]], [])
    assert cli_files.expand_arguments([str(tree / "renamed")]) == ([renamed[1], renamed[0]], [])
    assert cli.main(["info", "--format", "csv", str(tree / "empty"), named[0]]) == 1
    out, err = capsys.readouterr()
    assert err == f"quorvel: {tree / 'empty'}: no run files (vasprun*, *.xml, *.xml.gz) in the folder\n"
    assert [row["path"] for row in rows_of(out, "csv")] == [named[0]]


@pytest.mark.parametrize("done, total, elapsed, text", [
    (0, 4, 0.0, "[........................] 0/4  - files/s  ETA -"),
    (1, 4, 0.5, "[######..................] 1/4  2.0 files/s  ETA 0:02"),
    (3, 120, 2.0, "[........................]   3/120  1.5 files/s  ETA 1:18"),
    (4, 4, 2.0, "[########################] 4/4  2.0 files/s  ETA 0:00"),
])
def test_progress_text(done, total, elapsed, text):
    assert cli_workers.progress_text(done, total, elapsed) == text


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_progress_bar_only_on_a_terminal(sample_path, capsys, monkeypatch, jobs):
    assert cli.main(["info", "-j", jobs, sample_path, sample_path]) == 0
    assert capsys.readouterr().err == ""
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    assert cli.main(["info", "-j", jobs, sample_path, sample_path]) == 0
    out, err = capsys.readouterr()
    assert "/2  " in err and "files/s  ETA " in err and err.endswith("\r")  # cleared at the end
    assert out.count(sample_path + "\n") == 2


def test_custodian_names_are_run_files(generate, tmp_path, capsys):
    runs = tmp_path / "runs"
    runs.mkdir()
    names = ["vasprun.xml.relax1.gz", "vasprun.xml.relax2.gz", "vasprun.xml.static", "vasprun.xml"]
    paths = [generate(f"runs/{name}", steps=1) for name in names]
    (runs / "INCAR").write_text("ISMEAR = 0\n")
    generate("runs/other.xml")  # not named like a run: passed over when some name is
    assert cli_files.expand_arguments([str(runs)]) == (sorted(paths), [])
    assert cli.main(["info", "--format", "csv", "-j", "2", str(runs)]) == 0
    out, err = capsys.readouterr()
    assert [row["path"] for row in rows_of(out, "csv")] == sorted(paths) and err == ""


def test_compressions_the_reader_does_not_undo_are_passed_over(generate, tmp_path):
    generate("vasprun.xml.gz")
    (tmp_path / "vasprun.xml.bz2").write_bytes(b"BZh9")
    notes = []
    assert cli_files.expand_arguments([str(tmp_path)], notes.append) == ([str(tmp_path / "vasprun.xml.gz")], [])
    assert notes == [f"{tmp_path / 'vasprun.xml.bz2'}: compressed in a form quorvel does not read (plain and gzip "
                     "files only): passed over"]


def test_links_to_folders_are_followed_once(generate, tmp_path):
    tree = tmp_path / "tree"
    (tree / "a").mkdir(parents=True)
    inside = generate("tree/a/vasprun.xml")
    (tree / "a" / "loop").symlink_to(tree, target_is_directory=True)  # a way back up: a loop
    (tree / "again").symlink_to(tree / "a", target_is_directory=True)  # the same folder by another name
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    linked = generate("elsewhere/vasprun.xml")
    (tree / "linked").symlink_to(outside, target_is_directory=True)
    (tree / "vasprun.xml.gz").symlink_to(tmp_path / "gone.xml.gz")  # a link to nothing
    notes = []
    paths, problems = cli_files.expand_arguments([str(tree)], notes.append)
    assert paths == [inside, str(tree / "linked" / "vasprun.xml")] and problems == []
    assert pathlib.Path(paths[1]).resolve() == pathlib.Path(linked)
    assert sorted(notes) == sorted([f"{tree / 'a' / 'loop'}: a link to {tree}, already searched: not searched again",
                                    f"{tree / 'again'}: a link to {tree / 'a'}, already searched: not searched again",
                                    f"{tree / 'vasprun.xml.gz'}: a link to nothing, passed over"])


def test_special_files_in_a_tree_are_never_opened(generate, tmp_path, capsys):
    real = generate("vasprun.xml", steps=1)
    os.mkfifo(tmp_path / "vasprun.xml.relax1")  # nobody writes it: opening it would wait forever
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(str(tmp_path / "vasprun.xml.sock"))
        done = subprocess.run([sys.executable, "-m", "quorvel", "info", "-j", "2", "--format", "csv",
                               str(tmp_path)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert [row["path"] for row in rows_of(done.stdout, "csv")] == [real]
    assert done.stderr.splitlines() == [f"quorvel: note: {tmp_path / 'vasprun.xml.relax1'}: a FIFO, not a file: passed over",
                                        f"quorvel: note: {tmp_path / 'vasprun.xml.sock'}: a socket, not a file: passed over"]


# ---------------------------------------------------------------------------
# Ctrl-C: the command leaves within a second, with status 130, whatever the workers do
# ---------------------------------------------------------------------------
def interrupted_command(argv, cwd, ready_lines=2):
    """Runs `quorvel argv`, sends SIGINT once it has printed ready_lines lines, and returns
    (seconds from the signal to the end, exit status, standard error)."""
    child = subprocess.Popen([sys.executable, "-m", "quorvel", *argv], cwd=cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(ready_lines):
            assert child.stdout.readline(), "the command ended before it was interrupted"
        time.sleep(0.3)  # the workers are inside their reads now
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        child.wait(timeout=30)
        took = time.monotonic() - sent
        return took, child.returncode, child.stderr.read()
    finally:
        child.kill()
        child.communicate()


# Generous: the bound is a second, this machine's two cores are shared.
WITHIN_A_SECOND = 3.0


def test_ctrl_c_ends_info_while_workers_wait_on_fifos(sample_path, tmp_path):
    fifos = [tmp_path / f"fifo{i}.xml" for i in range(3)]
    writers = []
    for fifo in fifos:
        os.mkfifo(fifo)
        writers.append(os.open(fifo, os.O_RDWR))  # a writer that never writes: reads wait forever
    try:
        argv = ["info", "--format", "csv", "-j", "2", sample_path, *map(str, fifos)]
        took, status, err = interrupted_command(argv, tmp_path)
    finally:
        for writer in writers:
            os.close(writer)
    assert status == 130 and took < WITHIN_A_SECOND and "Traceback" not in err


@pytest.fixture(scope="module")
def slow_file(tmp_path_factory):
    """A run file whose parse takes a good part of a second: the sample with 50 MB of an element
    nobody reads before its calculations."""
    text = SAMPLE.read_text()
    at = text.index("<calculation>")
    path = tmp_path_factory.mktemp("slow") / "vasprun.xml"
    with open(path, "w") as f:
        f.write(text[:at] + "<padding>")
        for _ in range(12):
            f.write("<a/>" * 1_000_000)
        f.write("</padding>\n" + text[at:])
    return str(path)


@pytest.mark.parametrize("command", ["info", "steps"])
def test_ctrl_c_ends_a_command_whose_workers_parse(sample_path, slow_file, tmp_path, command):
    argv = [command, "--format", "csv", "-j", "2", sample_path, *[slow_file] * 12]
    took, status, err = interrupted_command(argv, tmp_path)
    assert status == 130 and took < WITHIN_A_SECOND and "Traceback" not in err


def test_ctrl_c_twice_and_thrice_still_leaves_with_130(sample_path, slow_file, tmp_path):
    child = subprocess.Popen([sys.executable, "-m", "quorvel", "info", "--format", "csv", "-j", "2", sample_path,
                              *[slow_file] * 12], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        child.stdout.readline(), child.stdout.readline()
        time.sleep(0.3)
        for _ in range(3):
            child.send_signal(signal.SIGINT)
            time.sleep(0.01)
        child.wait(timeout=30)
        assert child.returncode == 130 and "Traceback" not in child.stderr.read()
    finally:
        child.kill()
        child.communicate()


def test_leaving_on_interrupt_without_workers_returns(capsys):
    assert cli_workers.leave_on_interrupt() == 130
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler

"""The `quorvel` command: info, steps, dos and bands, on the sample, generated files and the corpus."""

import csv
import importlib.metadata
import io
import json
import math
import os
import pathlib
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

import quorvel
from quorvel import cli
from quorvel.cli import bands as cli_bands, dos as cli_dos, files as cli_files, info as cli_info
from quorvel.cli import plot as cli_plot, steps as cli_steps, table as cli_table, workers as cli_workers
from conftest import CORPUS, corpus_files, requires_corpus

BROKEN = {"truncated-in-parameters.xml": "Missing element <atominfo>",
          "not-xml.xml": "Missing element <modeling>"}

# Under the preloaded AddressSanitizer runtime, a C++ exception thrown inside matplotlib's own
# extension aborts the interpreter (the runtime finds no __cxa_throw to forward to).
needs_matplotlib = pytest.mark.skipif(os.environ.get("QUORVEL_SANITIZED") == "1",
                                      reason="matplotlib under the ASan preload")


class WithProperties:
    """A read run plus properties that a later build of the reader adds."""

    def __init__(self, run, **properties):
        self._run = run
        self.__dict__.update(properties)

    def __getattr__(self, name):
        return getattr(self._run, name)


def rows_of(text, form):
    return list(csv.DictReader(io.StringIO(text))) if form == "csv" else json.loads(text)


# ---------------------------------------------------------------------------
# quorvel info
# ---------------------------------------------------------------------------
def test_info_on_the_sample(sample_path, capsys):
    assert cli.main(["info", sample_path]) == 0
    out, err = capsys.readouterr()
    assert out.splitlines()[0] == sample_path and err == ""
    for line in ["program       vasp 6.4.2", "formula       Fe2O2", "atoms         4", "k-points      10",
                 "ionic steps   3", "converged     yes", "Fermi energy  4.1143 eV",
                 "band gap      0.0325 eV (indirect; VBM 4.2558 eV, CBM 4.2883 eV)",
                 "eigenvalues   (2, 10, 16, 2)", "projected     (2, 10, 16, 4, 9)", "dos total     (2, 81)",
                 "dos partial   (2, 4, 9, 81)", "dielectric    real (150, 6), imag (150, 6)"]:
        assert any(printed.startswith("  " + line) for printed in out.splitlines()), line
    assert "final energy  -26.982595 eV free" in out


def test_formula():
    assert cli_table.formula(["Fe", "Fe", "O", "O", "O"]) == "Fe2O3" and cli_table.formula([]) == ""


def test_info_table_shows_the_newer_properties(sample_path):
    run = WithProperties(quorvel.Vasprun(sample_path), complete=False, converged_electronic=True,
                         converged_ionic=False, final_energy=-27.5)
    summary = cli_info.run_summary(sample_path, run)
    lines = cli_info.info_lines(summary)
    assert "  complete      no (incomplete file)" in lines
    assert "  converged     yes (electronic yes, ionic no)" in lines
    assert (summary["final_energy"], summary["complete"], summary["converged_ionic"]) == (-27.5, False, False)


@pytest.mark.parametrize("vbm, cbm, gap, direct, text", [
    (None, None, None, None, "-"),
    (-math.inf, 1.0, math.inf, False, "- (no occupied state)"),
    (1.0, math.inf, math.inf, False, "- (no empty state)"),
    (2.0, 1.0, 0.0, True, "0 (metal)"),
    (1.0, 2.5, 1.5, True, "1.5000 eV (direct; VBM 1.0000 eV, CBM 2.5000 eV)"),
])
def test_band_gap_line(vbm, cbm, gap, direct, text):
    given = None if gap is None else {"vbm": vbm, "cbm": cbm, "gap": gap, "direct": direct}
    assert cli_info.band_gap_text(given) == text


@pytest.mark.parametrize("form", ["csv", "json"])
def test_info_rows(sample_path, generate, tmp_path, capsys, form):
    insulator = generate(species="Si:2", kpoints=12, dos=True)
    missing = str(tmp_path / "missing.xml")
    assert cli.main(["info", "--format", form, "-j", "1", sample_path, missing, insulator]) == 1
    out, err = capsys.readouterr()
    rows = rows_of(out, form)
    assert [row["path"] for row in rows] == [sample_path, missing, insulator]
    assert all(list(row) == list(cli_info.INFO_COLUMNS) for row in rows)
    assert rows[1]["error"].startswith("I/O error") and err == f"quorvel: {missing}: {rows[1]['error']}\n"
    for row, path in [(rows[0], sample_path), (rows[2], insulator)]:
        run = quorvel.Vasprun(path)
        gap = run.band_gap
        assert (row["program"], row["version"], row["formula"]) == ("vasp", run.version, cli_table.formula(run.atoms))
        assert [int(row[key]) for key in ("atoms", "kpoints", "ionic_steps")] == \
            [len(run.atoms), len(run.kpoints["weights"]), len(run.ionic_steps)]
        assert float(row["efermi"]) == run.efermi and float(row["band_gap"]) == gap["gap"]
        assert str(row["direct"]) == str(gap["direct"]) and row["error"] in ("", None)
    assert float(rows[2]["band_gap"]) > 0.5  # the generated silicon is an insulator
    run = quorvel.Vasprun(sample_path)
    if form == "json":
        assert (rows[0]["complete"], rows[0]["final_energy"]) == (True, run.final_energy)
        assert (rows[0]["converged_electronic"], rows[0]["converged_ionic"]) == \
            (run.converged_electronic, run.converged_ionic)
    assert rows[1]["complete"] in ("", None)


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
    assert err == f"quorvel: {tree / 'empty'}: no run files (*.xml, *.xml.gz) in the folder\n"
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


def test_a_failing_file_does_not_stop_the_others(sample_path, tmp_path, capsys):
    missing = str(tmp_path / "missing.xml")
    assert cli.main(["info", sample_path, missing, sample_path]) == 1
    out, err = capsys.readouterr()
    assert out.count(sample_path + "\n") == 2 and missing not in out
    assert err.startswith(f"quorvel: {missing}: I/O error") and len(err.splitlines()) == 1
    assert cli.main(["steps", missing]) == 1 and cli.main(["steps"]) == 2


@pytest.mark.parametrize("argv", [["info", "-j", "0", "x.xml"], ["info", "-j", "two", "x.xml"],
                                  ["info", "--format", "xml", "x.xml"], ["dos", "x.xml", "--window", "3", "1"],
                                  ["bands", "x.xml", "--window", "0", "nan"], ["bands", "x.xml", "--window", "1"]])
def test_wrong_usage(argv, capsys):
    assert cli.main(argv) == 2
    assert "error: argument" in capsys.readouterr().err


def test_the_installed_console_script(sample_path, tmp_path):
    script = shutil.which("quorvel", path=str(pathlib.Path(sys.executable).parent))
    assert script is not None, "the quorvel console script is not installed beside the interpreter"
    missing = str(tmp_path / "missing.xml")
    done = subprocess.run([script, "info", sample_path, missing], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and "formula       Fe2O2" in done.stdout and missing in done.stderr
    done = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    built = quorvel.build_info
    assert done.returncode == 0 and done.stdout == (
        f"quorvel {importlib.metadata.version('quorvel')} (gzip: {built['gzip']}, floats: {built['floats']})\n")


def test_python_dash_m_runs_the_command(sample_path):
    folder = str(pathlib.Path(sample_path).parent)
    done = subprocess.run([sys.executable, "-m", "quorvel", "info", folder], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and "formula       Fe2O2" in done.stdout, done.stderr


@requires_corpus
def test_info_on_the_corpus(capsys):
    paths = [str(p) for p in corpus_files()]
    assert cli.main(["info", *paths]) == 1
    out, err = capsys.readouterr()
    errors = dict(line.removeprefix("quorvel: ").split(": ", 1) for line in err.splitlines())
    assert {pathlib.Path(p).name: message for p, message in errors.items()} == BROKEN
    printed = [line for line in out.splitlines() if line and not line.startswith(" ")]
    assert printed == [p for p in paths if pathlib.Path(p).name not in BROKEN]
    assert out.count("  band gap      ") == len(printed)


@requires_corpus
def test_info_rows_of_the_corpus_folder(capsys):
    assert cli.main(["info", "-j", "2", "--format", "csv", str(CORPUS)]) == 1
    rows = rows_of(capsys.readouterr().out, "csv")
    assert [row["path"] for row in rows] == [str(p) for p in corpus_files()]
    assert {pathlib.Path(row["path"]).name: row["error"] for row in rows if row["error"]} == BROKEN
    silicon = next(row for row in rows if row["path"].endswith("si-bands-line-mode.xml.gz"))
    assert (silicon["formula"], silicon["kpoints"], silicon["direct"]) == ("Si2", "160", "False")
    assert math.isclose(float(silicon["band_gap"]), 0.6143)


# ---------------------------------------------------------------------------
# quorvel steps
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("form", ["csv", "json", "table"])
def test_steps_parse_back(sample_path, capsys, form):
    assert cli.main(["steps", sample_path, "--format", form]) == 0
    out = capsys.readouterr().out
    steps = quorvel.Vasprun(sample_path).ionic_steps
    if form == "table":
        lines = out.splitlines()
        assert lines[0].split() == list(cli_steps.STEP_COLUMNS) and len(lines) == len(steps) + 1
        return
    rows = rows_of(out, form)
    assert len(rows) == len(steps) == 3 and list(rows[0]) == ["file", *cli_steps.STEP_COLUMNS]
    for row, step in zip(rows, steps):
        assert row["file"] == sample_path
        assert float(row["e_0_energy"]) == step["e_0_energy"]
        assert float(row["volume"]) == step["structure"]["volume"]
        assert np.isclose(float(row["max_force"]), max(np.linalg.norm(f) for f in step["forces"]))
        assert np.isclose(float(row["stress_trace"]), sum(step["stress"][i][i] for i in range(3)))


@pytest.mark.parametrize("form", ["csv", "json", "table"])
def test_steps_of_many_files(sample_path, generate, tmp_path, capsys, form):
    other = generate(steps=2)
    missing = str(tmp_path / "missing.xml")
    assert cli.main(["steps", "--format", form, "-j", "2", other, missing, sample_path]) == 1
    out, err = capsys.readouterr()
    assert err.startswith(f"quorvel: {missing}: I/O error")
    if form == "table":  # each table under its file's name
        blocks = [block.splitlines() for block in out.split("\n\n")]
        assert [block[0] for block in blocks] == [other, sample_path]
        assert [len(block) for block in blocks] == [1 + 1 + 2, 1 + 1 + 3]
        return
    assert [(row["file"], int(row["step"])) for row in rows_of(out, form)] == \
        [(other, 1), (other, 2), (sample_path, 1), (sample_path, 2), (sample_path, 3)]


# ---------------------------------------------------------------------------
# Pictures
# ---------------------------------------------------------------------------
def render(figure):
    """Draws the figure as a PNG in memory (as the command does) and returns its only axes."""
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=40)
    assert buffer.getvalue().startswith(b"\x89PNG\r\n\x1a\n")
    axes, = figure.axes
    return axes


def arguments(*argv):
    return cli.parser().parse_args(list(argv))


def labelled_lines(axes):
    return {line.get_label(): line for line in axes.get_lines() if not line.get_label().startswith("_")}


@needs_matplotlib
@pytest.mark.parametrize("command", ["dos", "bands"])
def test_the_picture_is_written(sample_path, tmp_path, capsys, command):
    picture = tmp_path / "out.png"
    assert cli.main([command, sample_path, "-o", str(picture)]) == 0
    assert picture.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert capsys.readouterr().out == f"wrote {picture}\n"
    assert cli.main([command, sample_path, "-o", str(tmp_path / "no" / "such" / "dir.png")]) == 1
    assert "No such file or directory" in capsys.readouterr().err


@pytest.mark.parametrize("command", ["dos", "bands"])
def test_pictures_without_matplotlib_say_so(sample_path, tmp_path, capsys, monkeypatch, command):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # makes the import fail
    assert cli.main([command, sample_path, "-o", str(tmp_path / "out.png")]) == 1
    err = capsys.readouterr().err
    assert f"the {command} command needs matplotlib" in err and "pip install 'quorvel[plot]'" in err
    assert not (tmp_path / "out.png").exists()


@needs_matplotlib
@pytest.mark.parametrize("options, xlim, zero", [
    ([], (-6.0, 6.0), 0.0),
    (["--window", "-2", "1.5"], (-2.0, 1.5), 0.0),
    (["--absolute"], (4.11425078 - 6, 4.11425078 + 6), 4.11425078),
    (["--absolute", "--window", "0", "5"], (0.0, 5.0), 4.11425078),
])
def test_dos_energies_and_window(sample_path, options, xlim, zero):
    run = quorvel.Vasprun(sample_path)
    axes = render(cli_dos.dos_figure(run, arguments("dos", sample_path, *options)))
    assert np.allclose(axes.get_xlim(), xlim)
    lines = labelled_lines(axes)
    assert list(lines) == ["total", "Fermi level"] and np.allclose(lines["Fermi level"].get_xdata(), zero)
    spin_up, spin_down = [line for line in axes.get_lines() if line.get_color() == "black"]
    energies = run.dos["total"]["energies"] - (0.0 if "--absolute" in options else run.efermi)
    shown = spin_up.get_xdata()
    inside = (energies >= xlim[0]) & (energies <= xlim[1])
    assert set(energies[inside]) <= set(shown) and len(shown) <= inside.sum() + 2  # one point beyond each side
    assert np.all(np.asarray(spin_down.get_ydata()) <= 0) and np.asarray(spin_up.get_ydata()).max() > 0


@needs_matplotlib
@pytest.mark.parametrize("options, labels", [
    (["--partial"], ["Fe s", "Fe p", "Fe d", "O s", "O p", "O d"]),
    (["--elements", "O"], ["O s", "O p", "O d"]),
    (["--orbitals", "d", "px"], ["Fe d", "Fe px", "O d", "O px"]),
    (["--elements", "O", "Fe", "--orbitals", "p"], ["O p", "Fe p"]),
])
def test_dos_partial_selection(sample_path, options, labels):
    run = quorvel.Vasprun(sample_path)
    axes = render(cli_dos.dos_figure(run, arguments("dos", sample_path, *options)))
    assert list(labelled_lines(axes)) == ["total", *labels, "Fermi level"]
    assert len(axes.get_lines()) == 2 * (1 + len(labels)) + 2  # two spins per curve, Fermi level, zero line


@needs_matplotlib
def test_dos_leaves_out_curves_that_are_zero_in_the_window(sample_path):
    run = quorvel.Vasprun(sample_path)
    dos = run.dos
    data = dos["partial"]["data"]
    energies = dos["total"]["energies"] - dos["efermi"]
    data[:, 2:, 4:, :] = 0.0  # the O atoms have no d states
    data[:, :2, 0, energies > -3] = 0.0  # and Fe s lies below -3 eV only
    run = WithProperties(run, dos=dos)
    axes = render(cli_dos.dos_figure(run, arguments("dos", sample_path, "--partial", "--window", "-2", "2")))
    assert list(labelled_lines(axes)) == ["total", "Fe p", "Fe d", "O s", "O p", "Fermi level"]
    axes = render(cli_dos.dos_figure(run, arguments("dos", sample_path, "--partial", "--window", "-6", "2")))
    assert "Fe s" in labelled_lines(axes) and "O d" not in labelled_lines(axes)


@pytest.mark.parametrize("options, message", [
    (["--elements", "Cu"], "no element 'Cu' in the file (it has Fe O)"),
    (["--orbitals", "g"], "no orbital 'g' in the partial DOS (it has s py pz px dxy dyz dz2 dxz x2-y2; groups s p d)"),
    (["--window", "50", "60"], "no DOS energies between 50 and 60 eV on the axis"),
])
def test_dos_says_what_the_file_lacks(sample_path, tmp_path, capsys, options, message):
    assert cli.main(["dos", sample_path, "-o", str(tmp_path / "dos.png"), *options]) == 1
    assert capsys.readouterr().err.startswith(f"quorvel: {sample_path}: {message}")
    assert not (tmp_path / "dos.png").exists()


@needs_matplotlib
@pytest.mark.parametrize("command", ["dos", "bands"])
def test_text_from_the_file_is_not_read_as_mathematics(generate, tmp_path, command):
    path = generate("odd $name.xml", species="Si:2", labels=True, kpoints=20, dos=True)
    args = arguments(command, path, "--partial") if command == "dos" else arguments(command, path)
    draw = cli_dos.dos_figure if command == "dos" else cli_bands.bands_figure
    axes = render(draw(quorvel.Vasprun(path), args))
    assert axes.get_title() == r"Si2: odd \$name.xml"


def test_an_empty_dos_grid(run_xml, write_xml, tmp_path, capsys):
    empty = '<dos><i name="efermi">1.0</i><total><array><set><set></set></set></array></total></dos>'
    path = write_xml(run_xml.document(calculations=[run_xml.calculation(body=empty)]))
    assert cli.main(["dos", path, "-o", str(tmp_path / "dos.png")]) == 1
    assert capsys.readouterr().err == f"quorvel: {path}: the density of states has no energy grid\n"


@needs_matplotlib
def test_plots_of_files_without_the_data(generate, tmp_path, capsys):
    bare = generate(dos=False)
    assert cli.main(["dos", bare, "-o", str(tmp_path / "dos.png")]) == 1
    assert capsys.readouterr().err == f"quorvel: {bare}: no density of states in the file\n"
    assert cli.main(["dos", bare, "--partial", "-o", str(tmp_path / "dos.png")]) == 1
    one_point = generate(kpoints=1)
    assert cli.main(["bands", one_point, "-o", str(tmp_path / "bands.png")]) == 1
    assert capsys.readouterr().err.endswith("a band structure needs at least two k-points\n")


def test_bands_of_a_file_without_eigenvalues(run_xml, write_xml, tmp_path, capsys):
    path = write_xml(run_xml.document(calculations=[run_xml.calculation()]))
    assert cli.main(["bands", path, "-o", str(tmp_path / "bands.png")]) == 1
    assert capsys.readouterr().err == f"quorvel: {path}: no eigenvalues in the file\n"


def test_reciprocal_lattice_has_the_2pi_factor():
    lattice = np.array([[0.0, 2.7, 2.7], [2.7, 0.0, 2.7], [2.7, 2.7, 0.0]])
    assert np.allclose(lattice @ cli_bands.reciprocal_lattice(lattice).T, 2 * np.pi * np.eye(3))
    with pytest.raises(cli_plot.FileProblem, match="not three independent vectors"):
        cli_bands.reciprocal_lattice([[1, 0, 0], [2, 0, 0], [0, 0, 1]])


@pytest.mark.parametrize("label, shown", [("G", "Γ"), ("gamma", "Γ"), ("GAMMA", "Γ"), (r"\Gamma", "Γ"),
                                          ("Γ", "Γ"), (r"\Sigma", "Σ"), (r"\Lambda", "Λ"), ("SIGMA", "SIGMA"),
                                          (r"\X1", r"\X1"), (" X ", "X"), ("K$", r"K\$"), ("$K_1$", r"\$K_1\$")])
def test_tick_labels(label, shown):
    assert cli_bands.tick_label(label) == shown


def _segments(*ends, points=3):
    """A line-mode k-point list: `points` per segment from each (start, end) pair."""
    return np.concatenate([np.linspace(start, end, points) for start, end in ends])


@pytest.mark.parametrize("kpoints, labels, distances, jumps, ticks", [
    # joins repeat the point: it adds nothing, and the two labels there make one tick
    (_segments(([0, 0, 0], [0.5, 0, 0]), ([0.5, 0, 0], [0.5, 0.5, 0])),
     [(0, "G"), (2, "X"), (3, "X"), (5, "M")], [0, 0.25, 0.5, 0.5, 0.75, 1.0], [], [(0, "Γ"), (0.5, "X"), (1, "M")]),
    # a jump to a new piece of path: no distance, a break in the lines, one tick X|U
    (_segments(([0, 0, 0], [0.5, 0, 0]), ([0, 0.5, 0], [0, 0.5, 0.5])),
     [(0, "G"), (2, "X"), (3, "U"), (5, "R")], [0, 0.25, 0.5, 0.5, 0.75, 1.0], [3],
     [(0, "Γ"), (0.5, "X|U"), (1, "R")]),
    # segments of two points each: the step inside a segment counts
    (_segments(([0, 0, 0], [0.5, 0, 0]), ([0.5, 0, 0], [0.5, 0.5, 0]), points=2),
     [(0, "G"), (1, "X"), (2, "X"), (3, "M")], [0, 0.5, 0.5, 1.0], [], [(0, "Γ"), (0.5, "X"), (1, "M")]),
    # no labels: ticks at the ends; segments and the jump found from the repeated point
    (_segments(([0, 0, 0], [0.5, 0, 0]), ([0.5, 0, 0], [0.5, 0.5, 0]), ([0, 0, 0.5], [0, 0, 0])),
     [], [0, 0.25, 0.5, 0.5, 0.75, 1.0, 1.0, 1.25, 1.5], [6], [(0, "Γ"), (1.5, "Γ")]),
    (np.array([[0.5, 0, 0], [0.5, 0.25, 0], [0.5, 0.25, -0.5]]), [], [0, 0.25, 0.75], [],
     [(0, "0.5 0 0"), (0.75, "0.5 0.25 -0.5")]),
])
def test_band_path(kpoints, labels, distances, jumps, ticks):
    path = cli_bands.band_path(kpoints, np.eye(3), labels, line_mode=True)  # reciprocal vectors 2π long
    assert np.allclose(path.distances, 2 * np.pi * np.asarray(distances))
    assert path.jumps == jumps
    assert [label for _, label in path.ticks] == [label for _, label in ticks]
    assert np.allclose([position for position, _ in path.ticks], [2 * np.pi * p for p, _ in ticks])


def test_band_path_of_k_points_that_are_not_numbers():
    with pytest.raises(cli_plot.FileProblem, match="not finite"):
        cli_bands.band_path([[0, 0, 0], [math.nan, 0, 0]], np.eye(3))


def test_band_path_outside_line_mode_adds_every_step():
    kpoints = _segments(([0, 0, 0], [0.5, 0, 0]), ([0, 0.5, 0], [0, 0.5, 0.5]))
    path = cli_bands.band_path(kpoints, np.eye(3), [(0, "G"), (5, "R")], line_mode=False)
    assert path.jumps == [] and path.distances[-1] > 2 * np.pi * 1.0


def _bands_in_window(energies, low, high):
    return sum(1 for band in energies.T if band.max() >= low and band.min() <= high)


@needs_matplotlib
@pytest.mark.parametrize("species, reference", [("Si:2", "VBM"), ("Fe:2", "E_F")])
def test_bands_figure(generate, species, reference):
    path = generate(species=species, labels=True, kpoints=40, spins=2, dos=True, steps=1)
    run = quorvel.Vasprun(path)
    axes = render(cli_bands.bands_figure(run, arguments("bands", path)))
    assert [label.get_text() for label in axes.get_xticklabels()] == ["Γ", "X", "M", "Γ", "R"]
    assert axes.get_ylim() == (-6.0, 6.0) and axes.get_ylabel() == f"E − {reference} (eV)"
    eigenvalues = run.eigenvalues
    gap = run.band_gap
    zero = gap["vbm"] if reference == "VBM" else run.efermi
    bands = [line for line in axes.get_lines() if line.get_gid() == "band"]
    for spin, color in enumerate(["C0", "C3"]):
        mine = [line for line in bands if line.get_color() == color]
        assert len(mine) == _bands_in_window(eigenvalues[spin, :, :, 0] - zero, -6, 6)
    assert len(bands) == len({id(line) for line in bands}) > 0
    x = bands[0].get_xdata()
    assert axes.get_xlim() == (0.0, x[-1]) and np.all(np.diff(x) >= 0)
    assert len(np.unique(x)) == 40 - 3  # the three repeated joins add no distance
    assert [line.get_xdata()[0] for line in axes.get_lines() if line.get_gid() == "kpoint"] == \
        [tick for tick in axes.get_xticks()[1:-1]]
    assert list(labelled_lines(axes)) == ["spin up", "spin down"]
    if reference == "VBM":  # the valence band maximum sits at zero
        assert max(np.nanmax(line.get_ydata()) for line in bands if np.nanmax(line.get_ydata()) <= 1e-9) == \
            pytest.approx(0.0, abs=1e-9)


@needs_matplotlib
def test_bands_window_and_one_spin(generate):
    path = generate(species="Si:2", labels=True, kpoints=40, dos=True, steps=1)
    run = quorvel.Vasprun(path)
    axes = render(cli_bands.bands_figure(run, arguments("bands", path, "--window", "-1", "0.5")))
    assert axes.get_ylim() == (-1.0, 0.5) and axes.get_legend() is None
    zero = run.band_gap["vbm"]
    bands = [line for line in axes.get_lines() if line.get_gid() == "band"]
    assert len(bands) == _bands_in_window(run.eigenvalues[0, :, :, 0] - zero, -1, 0.5) >= 1
    assert {line.get_color() for line in bands} == {"C0"}


@needs_matplotlib
def test_bands_of_a_grid_says_it_is_no_path(sample_path, generate, tmp_path, capsys):
    assert cli.main(["bands", sample_path, "-o", str(tmp_path / "grid.png")]) == 0
    out, err = capsys.readouterr()
    assert err == f"quorvel: {sample_path}: note: the k-points are a Gamma grid, not a path: the picture follows " \
                  "their order in the file\n" and out == f"wrote {tmp_path / 'grid.png'}\n"
    path = generate(labels=True, kpoints=20)
    assert cli.main(["bands", path, "-o", str(tmp_path / "path.png")]) == 0
    assert capsys.readouterr().err == ""


@needs_matplotlib
@requires_corpus
def test_bands_of_the_corpus_line_mode_file():
    path = str(CORPUS / "si-bands-line-mode.xml.gz")
    run = quorvel.Vasprun(path)
    axes = render(cli_bands.bands_figure(run, arguments("bands", path)))
    assert [label.get_text() for label in axes.get_xticklabels()] == ["Γ", "0.5 0 0.5"]  # no labels in the file
    assert axes.get_ylabel() == "E − VBM (eV)"
    joins = [line for line in axes.get_lines() if line.get_gid() == "kpoint"]
    assert len(joins) == 9  # ten segments of 16 points
    band = next(line for line in axes.get_lines() if line.get_gid() == "band")
    x = np.asarray(band.get_xdata())
    assert np.isnan(x).sum() == 1 and np.isnan(x).argmax() == 144  # the one jump, K|U, breaks the lines
    assert np.nanmax(x) == axes.get_xlim()[1]

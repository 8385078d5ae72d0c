"""`quorvel bands`: the path, its labels, the energy zero, zero-weight points, joined runs, the numbers written."""

import math
import shutil

import numpy as np
import pytest

import quorvel
from quorvel import cli
from quorvel.cli import band_data, band_path as cli_path, bands as cli_bands, gap as cli_gap
from quorvel.cli import kpoints_file as cli_kpoints, plot as cli_plot
from cli_support import WithProperties, arguments, labelled_lines, needs_matplotlib, render
from conftest import CORPUS, gen_vasprun, requires_corpus


def test_reciprocal_lattice_has_the_2pi_factor():
    lattice = np.array([[0.0, 2.7, 2.7], [2.7, 0.0, 2.7], [2.7, 2.7, 0.0]])
    assert np.allclose(lattice @ cli_path.reciprocal_lattice(lattice).T, 2 * np.pi * np.eye(3))
    with pytest.raises(cli_plot.FileProblem, match="not three independent vectors"):
        cli_path.reciprocal_lattice([[1, 0, 0], [2, 0, 0], [0, 0, 1]])


@pytest.mark.parametrize("label, shown", [("G", "Γ"), ("gamma", "Γ"), ("GAMMA", "Γ"), (r"\Gamma", "Γ"),
                                          ("Γ", "Γ"), (r"\Sigma", "Σ"), (r"\Lambda", "Λ"), ("SIGMA", "SIGMA"),
                                          (r"\X1", r"\X1"), (" X ", "X"), ("K$", r"K\$"), ("$K_1$", r"\$K_1\$")])
def test_tick_labels(label, shown):
    assert cli_path.tick_label(label) == shown


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
    path = cli_path.band_path(kpoints, np.eye(3), labels, line_mode=True)  # reciprocal vectors 2π long
    assert np.allclose(path.distances, 2 * np.pi * np.asarray(distances))
    assert path.jumps == jumps
    assert [label for _, label in path.ticks] == [label for _, label in ticks]
    assert np.allclose([position for position, _ in path.ticks], [2 * np.pi * p for p, _ in ticks])


def test_band_path_of_k_points_that_are_not_numbers():
    with pytest.raises(cli_plot.FileProblem, match="not finite"):
        cli_path.band_path([[0, 0, 0], [math.nan, 0, 0]], np.eye(3))


def test_band_path_outside_line_mode_adds_every_step():
    kpoints = _segments(([0, 0, 0], [0.5, 0, 0]), ([0, 0.5, 0], [0, 0.5, 0.5]))
    path = cli_path.band_path(kpoints, np.eye(3), [(0, "G"), (5, "R")], line_mode=False)
    assert path.jumps == [] and path.distances[-1] > 2 * np.pi * 1.0


def bands_axes(runs, paths, *options):
    """The numbers and the drawn axes of `quorvel bands PATHS OPTIONS` for these runs."""
    plot, figure = cli_bands.bands_picture(runs, arguments("bands", *paths, *options))
    return plot, render(figure)


def _bands_in_window(energies, low, high):
    return sum(1 for band in energies.T if band.max() >= low and band.min() <= high)


@needs_matplotlib
@pytest.mark.parametrize("species, reference", [("Si:2", "VBM"), ("Fe:2", "E_F")])
def test_bands_figure(generate, species, reference):
    path = generate(species=species, labels=True, kpoints=40, spins=2, dos=True, steps=1)
    run = quorvel.Vasprun(path)
    _, axes = bands_axes([run], [path])
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
    _, axes = bands_axes([run], [path], "--window", "-1", "0.5")
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
    _, axes = bands_axes([run], [path])
    assert [label.get_text() for label in axes.get_xticklabels()] == ["Γ", "0.5 0 0.5"]  # no labels in the file
    assert axes.get_ylabel() == "E − VBM (eV)"
    joins = [line for line in axes.get_lines() if line.get_gid() == "kpoint"]
    assert len(joins) == 9  # ten segments of 16 points
    band = next(line for line in axes.get_lines() if line.get_gid() == "band")
    x = np.asarray(band.get_xdata())
    assert np.isnan(x).sum() == 1 and np.isnan(x).argmax() == 144  # the one jump, K|U, breaks the lines
    assert np.nanmax(x) == axes.get_xlim()[1]


# ---------------------------------------------------------------------------
# Labels from a KPOINTS file
# ---------------------------------------------------------------------------
# sumo-bandplot on the corpus's line-mode run with its KPOINTS beside it (sumo 3.0.0,
# pymatgen 2026.10): the ticks' distances (1/Å) and labels, and the zero (the VBM, eV)
SUMO_TICKS = [(0.0, "Γ"), (1.14893, "X"), (1.723394, "W"), (2.129602, "K"), (3.348226, "Γ"), (4.343228, "L"),
              (5.046801, "U"), (5.453009, "W"), (6.265425, "L"), (6.968997, "K|U"), (7.375205, "X")]
SUMO_ZERO = 5.6158


def corpus_band_run(tmp_path, kpoints_name="KPOINTS"):
    """The corpus's line-mode run copied into tmp_path, its KPOINTS beside it as kpoints_name."""
    shutil.copy(CORPUS / "si-bands-line-mode.xml.gz", tmp_path / "vasprun.xml.gz")
    if kpoints_name:
        shutil.copy(CORPUS / "si-bands-line-mode.KPOINTS", tmp_path / kpoints_name)
    return str(tmp_path / "vasprun.xml.gz")


@needs_matplotlib
@requires_corpus
def test_labels_from_the_kpoints_file_beside_the_run_as_sumo_draws_them(tmp_path, capsys):
    path = corpus_band_run(tmp_path)
    run = quorvel.Vasprun(path)
    plot, axes = bands_axes([run], [path])
    assert [label.get_text() for label in axes.get_xticklabels()] == [label for _, label in SUMO_TICKS]
    assert np.allclose(axes.get_xticks(), [position for position, _ in SUMO_TICKS], atol=1e-6)
    assert plot.verdict.name == "VBM" and plot.verdict.zero == SUMO_ZERO
    assert np.array_equal(plot.energies[0], run.eigenvalues[0, :, :, 0].T - SUMO_ZERO)
    band = next(line for line in axes.get_lines() if line.get_gid() == "band")
    assert any(np.allclose(np.delete(band.get_ydata(), 144), row) for row in plot.energies[0])  # NaN at the jump
    assert capsys.readouterr().err == ""


@needs_matplotlib
@requires_corpus
def test_labels_from_kpoints_given(tmp_path, capsys):
    path = corpus_band_run(tmp_path, kpoints_name="")
    given = str(CORPUS / "si-bands-line-mode.KPOINTS")
    _, axes = bands_axes([quorvel.Vasprun(path)], [path], "--kpoints", given)
    assert [label.get_text() for label in axes.get_xticklabels()] == [label for _, label in SUMO_TICKS]
    assert cli.main(["bands", path, "--kpoints", given, "--kpoints", given, "-o", str(tmp_path / "b.png")]) == 2
    assert "--kpoints is given 2 times for 1 files" in capsys.readouterr().err


def test_a_kpoints_file_that_does_not_fit(generate, tmp_path, capsys):
    path = generate("vasprun.xml", species="Si:2", labels=True, vasprun_labels=False, kpoints=40, steps=1)
    other = tmp_path / "other.KPOINTS"
    gen_vasprun.write_kpoints(other, labels=True, kpoints=20)
    assert cli.main(["bands", path, "--kpoints", str(other), "-o", str(tmp_path / "b.png")]) == 1
    assert capsys.readouterr().err == f"quorvel: {path}: --kpoints {other}: {other} does not fit the run's " \
                                      "k-points: it makes 20 k-points, the run has 40\n"
    shutil.copy(other, tmp_path / "KPOINTS")  # beside the run: a note, and no labels
    run = quorvel.Vasprun(path)
    found = band_data.band_set(run, path)
    assert found.labels == [] and found.notes == [f"no labels from {tmp_path / 'KPOINTS'}: {tmp_path / 'KPOINTS'} "
                                                  "does not fit the run's k-points: it makes 20 k-points, the run has 40"]
    gen_vasprun.write_kpoints(tmp_path / "KPOINTS", labels=True, kpoints=40)
    assert [label for _, label in band_data.band_set(run, path).labels] == ["G", "X", "X", "M", "M", "G", "G", "R"]


# ---------------------------------------------------------------------------
# Hybrid runs: weighted grid points, then the path with zero weights
# ---------------------------------------------------------------------------
@needs_matplotlib
@pytest.mark.parametrize("with_kpoints", [True, False])
def test_a_hybrid_run_draws_only_its_zero_weight_path(generate, tmp_path, capsys, with_kpoints):
    options = dict(species="Si:2", kpoints=20, hybrid=True, path_kpoints=40, dos=True, steps=1)
    path = generate("vasprun.xml", **options)
    if with_kpoints:
        gen_vasprun.write_kpoints(tmp_path / "KPOINTS", **options)
    run = quorvel.Vasprun(path)
    weights = run.kpoints["weights"]
    assert (weights > 0).sum() == 20 and (weights == 0).sum() == 40
    plot, axes = bands_axes([run], [path])
    assert capsys.readouterr().err == f"quorvel: {path}: note: zero-weight mode: the 20 weighted k-points (the " \
                                      "self-consistent grid) are left out, the 40 zero-weight ones make the path\n"
    band = next(line for line in axes.get_lines() if line.get_gid() == "band")
    assert len(band.get_xdata()) == 40 and np.all(np.diff(band.get_xdata()) >= 0)
    path_only = run.eigenvalues[:, weights == 0]
    assert plot.verdict.zero == cli_gap.occupancy_gap(path_only)["vbm"]
    assert np.array_equal(plot.energies[0], path_only[0, :, :, 0].T - plot.verdict.zero)
    assert any(np.array_equal(band.get_ydata(), row) for row in plot.energies[0])
    labels = [label.get_text() for label in axes.get_xticklabels()]
    assert labels == (["Γ", "X", "M", "Γ", "R"] if with_kpoints else ["Γ", "0.5 0.5 0.5"])
    if with_kpoints:  # the same x positions as a line-mode run of that path
        line_mode = generate("line.xml", species="Si:2", labels=True, kpoints=40, steps=1)
        line_plot, _ = bands_axes([quorvel.Vasprun(line_mode)], [line_mode])
        assert np.allclose(plot.path.distances, line_plot.path.distances)


# ---------------------------------------------------------------------------
# Several runs joined into one path
# ---------------------------------------------------------------------------
def _half(run, part):
    """The first or second half of a line-mode run's k-points, as a run of its own."""
    kpoints, eigenvalues = run.kpoints, run.eigenvalues
    middle = len(kpoints["kpointlist"]) // 2
    cut = slice(None, middle) if part == 0 else slice(middle, None)
    half = dict(kpoints, kpointlist=kpoints["kpointlist"][cut], weights=kpoints["weights"][cut])
    half.pop("labels", None)
    return WithProperties(run, kpoints=half, eigenvalues=eigenvalues[:, cut])


@requires_corpus
def test_a_path_split_over_two_runs_joins_into_the_whole(tmp_path):
    path = corpus_band_run(tmp_path, kpoints_name="")
    run = quorvel.Vasprun(path)
    labels = cli_kpoints.read_kpoints(str(CORPUS / "si-bands-line-mode.KPOINTS")).labels
    first, second = _half(run, 0), _half(run, 1)
    first.kpoints["labels"] = [(i, label) for i, label in labels if i < 80]
    second.kpoints["labels"] = [(i - 80, label) for i, label in labels if i >= 80]
    whole, _ = bands_axes([WithProperties(run, kpoints=dict(run.kpoints, labels=labels))], [path])
    joined, axes = bands_axes([first, second], [path, path])
    assert np.allclose(joined.path.distances, whole.path.distances)
    assert [label for _, label in joined.path.ticks] == [label for _, label in SUMO_TICKS]
    assert np.allclose([p for p, _ in joined.path.ticks], [p for p, _ in SUMO_TICKS], atol=1e-6)
    assert joined.path.jumps == whole.path.jumps == [144]
    assert np.array_equal(joined.energies, whole.energies) and joined.verdict == whole.verdict


@needs_matplotlib
def test_runs_joined_on_the_command_line(generate, tmp_path, capsys):
    first = generate("a.xml", species="Si:2", labels=True, kpoints=20, steps=1, dos=True)
    second = generate("b.xml", species="Si:2", labels=True, kpoints=20, steps=1, dos=True, seed=3)
    dat = tmp_path / "bands.dat"
    assert cli.main(["bands", first, second, "-o", str(tmp_path / "b.png"), "--dat", str(dat)]) == 0
    columns = np.loadtxt(dat)
    assert len(columns) == 40 and np.all(np.diff(columns[:, 0]) >= 0)
    text = dat.read_text()
    assert "ticks: Γ 0.00000000  X " in text and " R|Γ " in text  # the second run starts elsewhere: a jump
    assert "\n\n" in text.split("# distance band1")[1]  # a blank line where the path jumps
    runs = [quorvel.Vasprun(path) for path in (first, second)]
    efermi = (runs[0].efermi + runs[1].efermi) / 2
    joined = np.concatenate([run.eigenvalues for run in runs], axis=1)
    expected = cli_gap.verdict(cli_gap.occupancy_gap(joined), efermi, 0.05)
    assert f"relative to {expected.name} = {expected.zero:.6f} eV" in text


def test_runs_with_different_spins_are_not_joined(generate, tmp_path, capsys):
    first = generate("a.xml", labels=True, kpoints=20, steps=1)
    second = generate("b.xml", labels=True, kpoints=20, steps=1, spins=2)
    assert cli.main(["bands", first, second, "-o", str(tmp_path / "b.png")]) == 1
    assert "the runs to join differ in their number of spins" in capsys.readouterr().err


# ---------------------------------------------------------------------------
# KPOINTS_OPT
# ---------------------------------------------------------------------------
def _with_kpoints_opt(run, efermi_shift=0.25):
    """The run plus KPOINTS_OPT data of the documented shape: here the main set again, its
    energies shifted, with a Fermi energy of its own."""
    eigenvalues = run.eigenvalues.copy()
    eigenvalues[..., 0] += efermi_shift
    kpoints = {key: value for key, value in run.kpoints.items() if key != "labels"}
    dos = {"efermi": run.efermi + efermi_shift, "total": run.dos["total"]} if run.dos is not None else None
    return WithProperties(run, kpoints_opt={"kpoints": kpoints, "eigenvalues": eigenvalues, "projected": None,
                                            "dos": dos})


@needs_matplotlib
def test_kpoints_opt_bands_are_drawn_unless_main(generate, tmp_path, capsys):
    path = generate("vasprun.xml", species="Si:2", labels=True, vasprun_labels=False, kpoints=40, steps=1, dos=True)
    gen_vasprun.write_kpoints(tmp_path / "KPOINTS_OPT", labels=True, kpoints=40)
    run = _with_kpoints_opt(quorvel.Vasprun(path))
    opt_plot, axes = bands_axes([run], [path])
    assert capsys.readouterr().err == f"quorvel: {path}: note: drawn from the KPOINTS_OPT k-points (--main draws " \
                                      "the main set)\n"
    assert [label.get_text() for label in axes.get_xticklabels()] == ["Γ", "X", "M", "Γ", "R"]  # from KPOINTS_OPT
    main_plot, axes = bands_axes([run], [path], "--main")
    assert capsys.readouterr().err == ""
    assert [label.get_text() for label in axes.get_xticklabels()] == ["Γ", "0.5 0.5 0.5"]  # no KPOINTS beside
    assert opt_plot.verdict.zero == pytest.approx(main_plot.verdict.zero + 0.25)
    assert np.allclose(opt_plot.energies, main_plot.energies)


def test_kpoints_opt_accessor(sample_path):
    run = quorvel.Vasprun(sample_path)
    assert band_data.kpoints_opt(run) is None  # a reader without the property, or a run without the data
    assert band_data.kpoints_opt(WithProperties(run, kpoints_opt=None)) is None
    assert band_data.kpoints_opt(_with_kpoints_opt(run))["dos"]["efermi"] == run.efermi + 0.25


@requires_corpus
def test_the_corpus_kpoints_opt_file_draws_its_grid_with_a_note(tmp_path, capsys):
    path = str(CORPUS / "kpoints-opt-two-dos.xml")
    assert cli.main(["bands", path, "-o", str(tmp_path / "b.png")]) == 0
    assert "note: the k-points are a Gamma grid, not a path" in capsys.readouterr().err


@needs_matplotlib
@requires_corpus
def test_the_corpus_kpoints_opt_bands_positions_labels_and_zero(capsys):
    """The KPOINTS_OPT set of the corpus file is drawn: its 24 points (the main set has 14) at
    their distances along the list, its ends labelled, zero at its own Fermi energy (a metal)."""
    path = str(CORPUS / "kpoints-opt-two-dos.xml")
    run = quorvel.Vasprun(path)
    opt = run.kpoints_opt
    assert opt is not None and opt["eigenvalues"].shape[1] == 24 and run.eigenvalues.shape[1] == 14
    plot, axes = bands_axes([run], [path])
    assert "drawn from the KPOINTS_OPT k-points" in capsys.readouterr().err
    reciprocal = 2 * np.pi * np.linalg.inv(np.array(run.final_structure["lattice"])).T
    steps = np.linalg.norm(np.diff(opt["kpoints"]["kpointlist"] @ reciprocal, axis=0), axis=1)
    expected = np.concatenate([[0.0], np.cumsum(steps)])
    bands = [line for line in axes.get_lines() if line.get_gid() == "band"]
    assert 0 < len(bands) <= opt["eigenvalues"].shape[2]  # those within the energy window
    assert np.allclose(np.asarray(bands[0].get_xdata()), expected, rtol=0, atol=1e-9)
    assert [label.get_text() for label in axes.get_xticklabels()] == ["Γ", "0.285714 0.285714 0.5"]
    assert np.allclose(axes.get_xticks(), [0.0, expected[-1]]) and axes.get_xlim()[1] == pytest.approx(expected[-1])
    assert plot.verdict.metal and plot.verdict.zero == opt["dos"]["efermi"] != run.efermi
    assert axes.get_ylabel() == "E − E_F (eV)"
    shifted = opt["eigenvalues"][0, :, :, 0].T - opt["dos"]["efermi"]  # (bands, k-points)
    for band in bands:
        assert np.isclose(np.asarray(band.get_ydata()), shifted, rtol=0, atol=1e-9).all(axis=1).any()
    main, axes = bands_axes([run], [path], "--main")
    assert main.verdict.zero == run.efermi
    assert len(next(line for line in axes.get_lines() if line.get_gid() == "band").get_xdata()) == 14


# ---------------------------------------------------------------------------
# --dat
# ---------------------------------------------------------------------------
@needs_matplotlib
def test_the_numbers_written_are_those_drawn(generate, tmp_path, capsys):
    path = generate(species="Fe:2", labels=True, kpoints=40, spins=2, dos=True, steps=1)
    dat = tmp_path / "bands.dat"
    assert cli.main(["bands", path, "-o", str(tmp_path / "b.png"), "--dat", str(dat)]) == 0
    assert capsys.readouterr().out == f"wrote {tmp_path / 'b.png'}\nwrote {dat}\n"
    run = quorvel.Vasprun(path)
    plot, _ = bands_axes([run], [path])
    columns = np.loadtxt(dat)
    nbands = run.eigenvalues.shape[2]
    assert columns.shape == (40, 1 + 2 * nbands)
    assert np.allclose(columns[:, 0], plot.path.distances, atol=1e-8)
    assert np.allclose(columns[:, 1:1 + nbands].T, plot.energies[0], atol=1e-8)
    assert np.allclose(columns[:, 1 + nbands:].T, plot.energies[1], atol=1e-8)
    header = [line for line in dat.read_text().splitlines() if line.startswith("#")]
    assert header[-1].split()[1:4] == ["distance", "band1_up", "band2_up"]
    assert f"relative to E_F = {run.efermi:.6f} eV" in header[1]
    assert cli.main(["bands", path, "-o", str(tmp_path / "b.png"), "--dat", str(tmp_path / "no" / "b.dat")]) == 1


# ---------------------------------------------------------------------------
# Reading KPOINTS files
# ---------------------------------------------------------------------------
def test_a_line_mode_kpoints_file():
    text = "path\n 3\nline\nrec\n0 0 0 ! \\Gamma\n0.5 0 0.5 ! X\n\n0.5 0 0.5 X\n0.5 0.25 0.75 W\n"
    found = cli_kpoints.parse_kpoints(text)
    assert found.labels == [(0, "\\Gamma"), (2, "X"), (3, "X"), (5, "W")] and found.count == 6
    assert found.line_mode and found.reciprocal and found.divisions == 3
    kpoints = np.array([[0, 0, 0], [0.25, 0, 0.25], [0.5, 0, 0.5], [0.5, 0, 0.5], [0.5, 0.125, 0.625],
                        [0.5, 0.25, 0.75]])
    assert cli_kpoints.fits(found, kpoints) is None
    assert cli_kpoints.fits(found, kpoints[::-1]) == "its k-points are not the run's"
    cartesian = cli_kpoints.parse_kpoints(text.replace("rec", "Cartesian"))
    assert not cartesian.reciprocal and cli_kpoints.fits(cartesian, kpoints[::-1]) is None


def test_an_explicit_kpoints_list_with_labels():
    text = "hse\n4\nReciprocal\n0 0 0 1\n0.5 0 0 1\n0 0 0 0 G\n0.5 0 0 0 ! X\n"
    found = cli_kpoints.parse_kpoints(text)
    assert found.labels == [(2, "G"), (3, "X")] and found.count == 4 and not found.line_mode


@pytest.mark.parametrize("text, message", [
    ("grid\n0\nGamma\n4 4 4\n", "a k-point grid, not a path"),
    ("short\n", "too short"),
    ("x\nmany\nline\nrec\n", "line 2 is not a number of k-points: 'many'"),
    ("x\n10\nline\nrec\n0 0 0 ! G\n", "pairs of end points, the file has 1 points"),
    ("x\n1\nline\nrec\n0 0 0 ! G\n1 0 0 ! X\n", "at least 2 points per segment"),
    ("x\n3\nrec\n0 0 0 1\n", "announces 3 k-points and lists 1"),
    ("x\n1\nrec\n0 0 0 1\n", "an explicit list without labels"),
])
def test_kpoints_files_that_give_no_labels(text, message):
    with pytest.raises(cli_kpoints.KpointsFileError, match=message):
        cli_kpoints.parse_kpoints(text)

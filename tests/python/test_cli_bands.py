"""`quorvel bands`: the path, its labels, the energy zero, zero-weight points, joined runs, the numbers written."""

import math

import numpy as np
import pytest

import quorvel
from quorvel import cli
from quorvel.cli import bands as cli_bands, plot as cli_plot
from cli_support import arguments, labelled_lines, needs_matplotlib, render
from conftest import CORPUS, requires_corpus


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

"""`quorvel dos`: energies, window, partial curves, the legend, broadening, sites, the numbers written."""

import numpy as np
import pytest

import quorvel
from quorvel import cli
from quorvel.cli import dos as cli_dos
from cli_support import WithProperties, arguments, labelled_lines, needs_matplotlib, render


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

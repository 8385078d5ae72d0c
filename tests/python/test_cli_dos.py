"""`quorvel dos`: energies, window, partial curves, the legend, broadening, sites, the numbers written."""

import numpy as np
import pytest

import quorvel
from quorvel import cli
from quorvel.cli import broadening as cli_broadening, dos as cli_dos, gap as cli_gap, sites as cli_sites
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


@needs_matplotlib
def test_dos_zero_at_the_vbm_of_a_gapped_run(generate):
    path = generate(species="Si:2", kpoints=12, dos=True, steps=1)
    run = quorvel.Vasprun(path)
    verdict = cli_gap.run_verdict(run)
    assert verdict.metal is False and verdict.zero == run.band_gap["vbm"]
    plot = cli_dos.dos_plot(run, arguments("dos", path))
    axes = render(cli_dos.figure_of(plot))
    assert axes.get_xlabel() == "E − VBM (eV)" and np.allclose(axes.get_xlim(), (-6, 6))
    total = next(line for line in axes.get_lines() if line.get_label() == "total")
    energies = run.dos["total"]["energies"]
    assert np.allclose(total.get_xdata(), energies[np.isin(energies - verdict.zero, total.get_xdata())] - verdict.zero)
    assert np.allclose(labelled_lines(axes)["Fermi level"].get_xdata(), run.efermi - verdict.zero)


def test_gaussian_broadening_keeps_the_weight():
    energies = np.linspace(-5, 5, 1001)
    spike = np.zeros((2, 1001))
    spike[:, 500] = 100.0  # 1 state at 0 eV: 100 states/eV over 0.01 eV
    broad = cli_broadening.gaussian_broadening(spike, energies, 0.2)
    assert broad.shape == spike.shape and np.allclose(broad.sum(axis=1), 100.0)
    expected = np.exp(-0.5 * (energies / 0.2) ** 2) / (0.2 * np.sqrt(2 * np.pi))
    assert np.allclose(broad[0], expected, atol=1e-3 * expected.max())
    assert cli_broadening.gaussian_broadening(spike, energies, 0.001) is spike  # below the grid spacing


@needs_matplotlib
def test_dos_sigma_broadens_every_curve(sample_path):
    run = quorvel.Vasprun(sample_path)
    plain = cli_dos.dos_plot(run, arguments("dos", sample_path, "--partial", "--window", "-20", "20"))
    broad = cli_dos.dos_plot(run, arguments("dos", sample_path, "--partial", "--window", "-20", "20",
                                            "--sigma", "0.3"))
    assert [curve.label for curve in broad.curves] == [curve.label for curve in plain.curves]
    for smooth, sharp in zip(broad.curves, plain.curves):
        assert smooth.densities.max() < sharp.densities.max()  # lower peaks, nearly the same weight
        assert smooth.densities.sum() == pytest.approx(sharp.densities.sum(), rel=0.02)


@needs_matplotlib
@pytest.mark.parametrize("sites, labels", [("1", ["Fe s", "Fe p", "Fe d"]), ("2-3", ["Fe s", "Fe p", "Fe d", "O s",
                                                                                     "O p", "O d"]),
                                           ("3,4", ["O s", "O p", "O d"])])
def test_dos_atoms_chooses_the_sites(sample_path, sites, labels):
    run = quorvel.Vasprun(sample_path)
    plot = cli_dos.dos_plot(run, arguments("dos", sample_path, "--atoms", sites, "--window", "-20", "20"))
    assert [curve.label for curve in plot.curves] == ["total", *labels]
    chosen = [i - 1 for i in cli_sites.site_list(sites)]
    data = run.dos["partial"]["data"]
    element = run.atoms[chosen[-1]]
    ions = [i for i in chosen if run.atoms[i] == element]
    last = plot.curves[-1]  # the d curve of the last element, summed over its chosen sites
    summed = data[:, ions][:, :, 4:9].sum(axis=(1, 2))
    assert np.allclose(last.densities, summed[:, np.isin(run.dos["total"]["energies"] - run.efermi, plot.energies)])


@pytest.mark.parametrize("text", ["0", "3-1", "a", "1,,2", "-2"])
def test_dos_atoms_wrong_usage(sample_path, capsys, text):
    assert cli.main(["dos", sample_path, "--atoms", text]) == 2
    assert "argument --atoms" in capsys.readouterr().err


def test_dos_atoms_beyond_the_file(sample_path, tmp_path, capsys):
    assert cli.main(["dos", sample_path, "--atoms", "2-7", "-o", str(tmp_path / "d.png")]) == 1
    assert capsys.readouterr().err == f"quorvel: {sample_path}: no site 5 in the file (it has 4)\n"


@needs_matplotlib
def test_curves_of_little_weight_stay_out_of_the_legend(sample_path):
    run = quorvel.Vasprun(sample_path)
    dos = run.dos
    dos["partial"]["data"][:, :2, 0, :] *= 0.1  # Fe s: a tenth of what it was, still drawn
    run = WithProperties(run, dos=dos)
    plot = cli_dos.dos_plot(run, arguments("dos", sample_path, "--partial"))
    weights = {curve.label: np.abs(curve.densities).sum() for curve in plot.curves[1:]}
    assert weights["Fe s"] < cli_dos.LEGEND_FRACTION * max(weights.values())
    axes = render(cli_dos.figure_of(plot))
    assert "Fe s" not in labelled_lines(axes) and "Fe d" in labelled_lines(axes)
    drawn = [line for line in axes.get_lines() if np.array_equal(line.get_ydata(), plot.curves[1].densities[0])]
    assert len(drawn) == 1  # drawn all the same


@needs_matplotlib
def test_dos_numbers_written(sample_path, tmp_path, capsys):
    dat = tmp_path / "dos.dat"
    assert cli.main(["dos", sample_path, "--elements", "O", "--sigma", "0.1", "-o", str(tmp_path / "d.png"),
                     "--dat", str(dat)]) == 0
    assert capsys.readouterr().out == f"wrote {tmp_path / 'd.png'}\nwrote {dat}\n"
    plot = cli_dos.dos_plot(quorvel.Vasprun(sample_path), arguments("dos", sample_path, "--elements", "O",
                                                                     "--sigma", "0.1"))
    columns = np.loadtxt(dat)
    assert np.allclose(columns[:, 0], plot.energies)
    assert np.allclose(columns[:, 1:].T, np.concatenate([curve.densities for curve in plot.curves]), atol=1e-8)
    header = dat.read_text().splitlines()
    assert header[3].split()[1:] == ["energy", "total_up", "total_down", "O_s_up", "O_s_down", "O_p_up", "O_p_down",
                                     "O_d_up", "O_d_down"]
    assert "relative to E_F = 4.114251 eV" in header[1]

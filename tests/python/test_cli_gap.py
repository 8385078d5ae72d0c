"""One metal-or-gap rule for info, bands and dos, checked against what pymatgen and sumo say."""

import math

import numpy as np
import pytest

import quorvel
from quorvel.cli import bands as cli_bands, dos as cli_dos, gap as cli_gap, info as cli_info
from cli_support import arguments, needs_matplotlib
from conftest import CORPUS, corpus_files, requires_corpus

# The corpus files that pymatgen's band structure (from its "smart" Fermi level) calls
# metals, and sumo draws relative to E_F; every other file with eigenvalues and a Fermi
# energy it draws relative to the VBM, the same VBM as band_gap's (pymatgen 2026.10).
PYMATGEN_METALS = {"cr-dos.xml", "kpoints-opt-two-dos.xml", "spin2-projected-smearing.xml",
                   "vasp641-unconverged.xml.gz", "vasp660-vca.xml.gz"}


def readable_corpus_runs():
    runs = []
    for path in corpus_files():
        try:
            runs.append((path, quorvel.Vasprun(str(path))))
        except RuntimeError:
            continue
    return runs


@requires_corpus
def test_the_rule_calls_metals_what_pymatgen_does():
    compared = 0
    for path, run in readable_corpus_runs():
        if run.eigenvalues is None or run.efermi is None or not run.complete:  # pymatgen reads no cut file
            continue
        verdict = cli_gap.run_verdict(run)
        assert verdict.metal is (path.name in PYMATGEN_METALS), path.name
        assert verdict.zero == (run.efermi if verdict.metal else run.band_gap["vbm"]), path.name
        compared += 1
    assert compared == 19


@requires_corpus
def test_the_python_gap_is_the_property():
    for path, run in readable_corpus_runs():
        if run.eigenvalues is not None:
            assert cli_gap.occupancy_gap(run.eigenvalues) == run.band_gap, path.name


@pytest.mark.parametrize("gap, efermi, sigma, metal, zero", [
    (None, None, 0.1, None, 0.0),
    (None, 2.0, 0.1, None, 2.0),
    ({"gap": 0.005, "vbm": 1.0, "cbm": 1.005, "direct": True}, 1.2, 0.1, True, 1.2),  # below the tolerance
    ({"gap": 0.05, "vbm": 1.3, "cbm": 1.35, "direct": True}, 1.2, 0.05, True, 1.2),  # occupied 0.1 above E_F
    ({"gap": 0.05, "vbm": 1.24, "cbm": 1.29, "direct": True}, 1.2, 0.05, False, 1.24),  # within the smearing
    ({"gap": 1.0, "vbm": 1.0, "cbm": 2.0, "direct": False}, 1.5, 0.2, False, 1.0),
    ({"gap": math.inf, "vbm": 1.0, "cbm": math.inf, "direct": False}, 1.5, 0.2, None, 1.5),
])
def test_the_rule(gap, efermi, sigma, metal, zero):
    verdict = cli_gap.verdict(gap, efermi, sigma)
    assert (verdict.metal, verdict.zero) == (metal, zero)


@pytest.mark.parametrize("parameters, sigma", [({}, 0.2), ({"SIGMA": 0.05}, 0.05), ({"SIGMA": 0.0}, 0.001),
                                               ({"SIGMA": "x"}, 0.2), ({"SIGMA": -0.1}, 0.1)])
def test_smearing(parameters, sigma):
    assert cli_gap.smearing(parameters) == sigma


def _three_verdicts(path):
    run = quorvel.Vasprun(path)
    info = cli_info.run_summary(path, run)["metal"]
    bands, _ = cli_bands.bands_picture([run], arguments("bands", path))
    dos = cli_dos.dos_plot(run, arguments("dos", path))
    return info, bands.verdict, dos.verdict


@needs_matplotlib
def test_info_bands_and_dos_agree(sample_path, generate, capsys):
    paths = [sample_path, generate(species="Si:2", kpoints=12, dos=True), generate(species="Fe:2", dos=True)]
    paths += [str(p) for p in corpus_files() if p.name in ("cr-dos.xml", "vasp660-vca.xml.gz",
                                                           "vasp642-relax-3steps.xml.gz", "si-noncollinear.xml")]
    for path in paths:
        info, bands, dos = _three_verdicts(path)
        assert info is bands.metal is dos.metal is not None, path
        assert bands.zero == dos.zero and bands.name == dos.name == ("E_F" if info else "VBM"), path
    capsys.readouterr()

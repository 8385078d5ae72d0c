"""Every dielectric function of a run, those of its calculations and those that GW, BSE and RPA runs
write outside any calculation, and the conductivity tables of optics runs, checked against the
numbers written in the files."""

import numpy as np
import pytest

import quorvel
from conftest import CORPUS, requires_corpus

KEYS = ["comment", "label", "in_calculation", "energies", "real", "imag"]
GW_COMMENTS = ["HEAD OF MICROSCOPIC DIELECTRIC TENSOR (INDEPENDENT PARTICLE)",
               "1 + v P,  with REDUCIBLE POLARIZABILTY P=P_0 (1 -(v+f) P_0)^-1",
               "INVERSE MACROSCOPIC DIELECTRIC TENSOR (including local field effects in RPA (Hartree))",
               "screened Coulomb potential"]


@requires_corpus
def test_density_and_current_functions_of_an_optics_run():
    run = quorvel.Vasprun(str(CORPUS / "dielectric-density-current.xml.gz"))
    density, current = run.dielectric_functions
    assert list(density) == KEYS
    assert (density["comment"], density["label"], density["in_calculation"]) == ("density-density", "density", True)
    assert (current["comment"], current["label"], current["in_calculation"]) == ("current-current", "current", True)
    for function in (density, current):
        assert function["energies"].shape == (2000,) and function["real"].shape == function["imag"].shape == (2000, 6)
        assert function["energies"][[0, 1, -1]].tolist() == [0.0, 0.0434, 86.7224]
    # the second rows, as written: energy 0.0434, then xx yy zz xy yz zx
    assert density["imag"][1].tolist() == [0.0032, 0.0008, 0.0056, -0.0, -0.0, 0.0029]
    assert density["real"][1].tolist() == [4.9833, 3.8668, 5.6091, -0.0, -0.0, 1.1994]
    assert current["imag"][1].tolist() == [16.9129, 3.3138, 26.3271, 63.3966, 55.0526, 46.1287]
    assert current["real"][1].tolist() == [433.4192, 506.6885, 303.5072, 647.2193, 62.6937, 488.6978]
    assert current["imag"][-1].tolist() == [-0.0001] * 6
    # `dielectric` keeps its meaning: the first function of the last calculation that has one
    dielectric = run.dielectric
    for key in ("energies", "real", "imag"):
        assert np.array_equal(dielectric[key], density[key])


@requires_corpus
def test_conductivity_of_an_optics_run():
    (table,) = quorvel.Vasprun(str(CORPUS / "dielectric-density-current.xml.gz")).conductivity
    assert list(table) == ["comment", "in_calculation", "energies", "data"]
    assert (table["comment"], table["in_calculation"]) == ("spin=1", True)
    assert table["energies"].shape == (2000,) and table["data"].shape == (2000, 6)
    assert table["energies"][[0, -1]].tolist() == [-1.3293, 8.6707]
    assert table["data"][0].tolist() == [0.0011, 0.0040, 0.0008, 0.0001, 0.0002, -0.0002]
    assert table["data"][-1].tolist() == [0.0] * 6


@requires_corpus
def test_the_top_level_functions_of_a_gw_run():
    run = quorvel.Vasprun(str(CORPUS / "gw0-top-level-dielectric.xml.gz"))
    functions = run.dielectric_functions
    assert [f["comment"] for f in functions] == GW_COMMENTS
    assert [f["label"] for f in functions] == GW_COMMENTS  # neither density nor current: the comment
    assert not any(f["in_calculation"] for f in functions)
    assert all(f["energies"].shape == (50,) and f["real"].shape == f["imag"].shape == (50, 6) for f in functions)
    assert functions[0]["energies"][1] == 0.2911
    assert functions[0]["imag"][1].tolist() == [0.1703, 0.1703, 0.1704, 0.0004, 0.0004, 0.0004]
    assert functions[0]["real"][0].tolist() == [12.7139, 12.7204, 12.7326, 0.0113, 0.0147, 0.0135]
    assert functions[1]["imag"][1].tolist() == [0.1454, 0.1455, 0.1455, -0.0004, -0.0004, -0.0004]
    assert functions[3]["real"][0].tolist() == [-0.9121, -0.9121, -0.9122, -0.0025, -0.0032, -0.003]
    # none stands in a calculation, so there is no `dielectric`, and no conductivity is written
    assert run.dielectric is None and run.conductivity == []


@requires_corpus
def test_files_without_them_have_empty_lists():
    run = quorvel.Vasprun(str(CORPUS / "vasp642-relax-3steps.xml.gz"))
    assert run.dielectric_functions == [] and run.conductivity == [] and run.dielectric is None


def _dielectric_xml(comment, value):
    attribute = "" if comment is None else f' comment="{comment}"'
    rows = "".join(f"<r>{e} {value} 0 0 0 0 {e}</r>" for e in (0.0, 1.0))
    table = f"<array><set>{rows}</set></array>"
    return f"<dielectricfunction{attribute}><imag>{table}</imag><real>{table}</real></dielectricfunction>"


def test_labels_in_file_order_and_only_the_last_calculation_with_any(write_xml, run_xml):
    first = run_xml.calculation(body=_dielectric_xml("density-density", 9))
    second = run_xml.calculation(body=_dielectric_xml(None, 1) + _dielectric_xml(None, 2) + _dielectric_xml("x", 3))
    third = run_xml.calculation()  # none: the second calculation's functions stay
    top = _dielectric_xml(None, 4)
    text = run_xml.document(calculations=[first, second, top, third])
    functions = quorvel.Vasprun(write_xml(text)).dielectric_functions
    assert [(f["comment"], f["label"], f["in_calculation"]) for f in functions] == [
        (None, "density", True), (None, "current", True), ("x", "x", True), (None, None, False)]
    assert [f["imag"][0, 0] for f in functions] == [1.0, 2.0, 3.0, 4.0]
    assert quorvel.Vasprun(write_xml(text)).dielectric["imag"][0, 0] == 1.0


def test_a_top_level_function_before_the_calculations_comes_first(write_xml, run_xml):
    text = run_xml.document(calculations=[_dielectric_xml("gw", 5), run_xml.calculation(
        body=_dielectric_xml("density-density", 6))])
    functions = quorvel.Vasprun(write_xml(text)).dielectric_functions
    assert [(f["label"], f["in_calculation"], f["imag"][0, 0]) for f in functions] == [
        ("gw", False, 5.0), ("density", True, 6.0)]


@pytest.mark.parametrize("comment", [True, False])
def test_generated_optics_runs(generate, comment):
    import xml.etree.ElementTree as ET

    path = generate(species="Si:2", spins=2, kpoints=4, dielectric=True, dielectric_current=True,
                    conductivity=True, dielectric_rows=300, dielectric_comment=comment, steps=2)
    run = quorvel.Vasprun(path, parse_dos=False, parse_eigen=False)
    calculation = ET.parse(path).getroot().findall("calculation")[-1]
    written = calculation.findall("dielectricfunction")
    assert [(f["comment"], f["label"]) for f in run.dielectric_functions] == [
        (w.get("comment"), label) for w, label in zip(written, ["density", "current"])]
    for function, element in zip(run.dielectric_functions, written):
        for part in ("imag", "real"):
            rows = np.array([r.text.split() for r in element.find(part).iter("r")], dtype=float)
            assert np.array_equal(function[part], rows[:, 1:]) and np.array_equal(function["energies"], rows[:, 0])
    tables = calculation.findall("conductivity")
    assert [t["comment"] for t in run.conductivity] == ["spin=1", "spin=2"] == [t.get("comment") for t in tables]
    for table, element in zip(run.conductivity, tables):
        rows = np.array([r.text.split() for r in element.iter("r")], dtype=float)
        assert np.array_equal(table["data"], rows[:, 1:]) and np.array_equal(table["energies"], rows[:, 0])


def test_generated_gw_run(generate):
    run = quorvel.Vasprun(generate(species="Si:2", kpoints=4, top_level_dielectric=6, dielectric_rows=40))
    functions = run.dielectric_functions
    assert [f["comment"] for f in functions] == GW_COMMENTS + GW_COMMENTS[:2]
    assert not any(f["in_calculation"] for f in functions) and run.dielectric is None

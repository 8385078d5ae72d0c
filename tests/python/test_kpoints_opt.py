"""The second k-point set of VASP 6.3 and later (KPOINTS_OPT): its k-points, eigenvalues, projections
and density of states, apart from the main set's, checked against the numbers written in the files."""

import xml.etree.ElementTree as ET

import numpy as np
import pytest

import quorvel
from conftest import CORPUS, requires_corpus

FILE = CORPUS / "kpoints-opt-two-dos.xml"


@requires_corpus
def test_the_second_set_apart_from_the_main_one():
    run = quorvel.Vasprun(str(FILE), parse_projected=True)
    opt = run.kpoints_opt
    assert list(opt) == ["kpoints", "eigenvalues", "projected", "dos"]
    kpoints = opt["kpoints"]
    assert list(kpoints) == ["kpointlist", "weights", "scheme", "divisions", "usershift", "genvec1", "genvec2",
                             "genvec3", "shift"]
    assert (kpoints["scheme"], kpoints["divisions"]) == ("Gamma", [7, 7, 4])
    assert kpoints["kpointlist"].shape == (24, 3) and kpoints["kpointlist"][1].tolist() == [0.14285714, -0.0, 0.0]
    assert kpoints["weights"][[0, 1, -1]].tolist() == [0.00510204, 0.03061224, 0.03061224]
    eigenvalues = opt["eigenvalues"]
    assert eigenvalues.shape == (1, 24, 18, 2)
    # the energies as written with the set; VASP 6.6 writes the occupancies only with the
    # projections' copy of them
    assert eigenvalues[0, 0, 0].tolist() == [-47.8416, 1.0]
    assert eigenvalues[0, 0, 10].tolist() == [9.4766, -0.2284]
    assert eigenvalues[0, 23, 17].tolist() == [12.13, 0.0]
    projected = opt["projected"]
    assert projected["orbitals"] == ["s", "p", "d", "f"] and projected["data"].shape == (1, 24, 18, 2, 4)
    assert projected["data"][0, 0, 0].tolist() == [[0.4908, 0.0, 0.0, 0.0]] * 2
    dos = opt["dos"]
    assert dos["efermi"] == 8.73880881 and list(dos) == ["efermi", "total"]
    assert dos["total"]["energies"].shape == (301,) and dos["total"]["energies"][[0, 150, -1]].tolist() == [
        -50.8583, -17.674, 15.5102]
    assert dos["total"]["integrated"][0, [150, -1]].tolist() == [16.0, 36.0]
    # the main set stays the main set's
    assert run.efermi == run.dos["efermi"] == 8.73771591
    assert run.eigenvalues.shape == (1, 14, 18, 2) and len(run.kpoints["weights"]) == 14
    assert run.kpoints["divisions"] == [6, 6, 3] and run.projected["data"].shape[1] == 14


@requires_corpus
@pytest.mark.parametrize("options, keys", [(dict(), ["kpoints", "eigenvalues", "dos"]),
                                           (dict(parse_dos=False, parse_eigen=False), ["kpoints"]),
                                           (dict(parse_projected=True, parse_dos=False), ["kpoints", "eigenvalues",
                                                                                          "projected"])])
def test_the_options_gate_its_sections_as_the_main_ones(options, keys):
    assert list(quorvel.Vasprun(str(FILE), **options).kpoints_opt) == keys


@requires_corpus
def test_files_without_it():
    assert quorvel.Vasprun(str(CORPUS / "vasp642-relax-3steps.xml.gz"), parse_projected=True).kpoints_opt is None
    # the k-point sets inside the calculation of a linear-response run are no second set
    assert quorvel.Vasprun(str(CORPUS / "born-charges-al2o3.xml.gz")).kpoints_opt is None


@requires_corpus
@pytest.mark.parametrize("end_tag, occurrence", [('<dos comment="kpoints_opt">', 0), ("</dos>", 0),
                                                 ("</eigenvalues_kpoints_opt>", 0), ("</projected_kpoints_opt>", 0),
                                                 ("<eigenvalues>", 2), ("</eigenvalues>", 2), ("<dos>", 0)])
def test_a_file_cut_before_the_main_dos_has_none(tmp_path, end_tag, occurrence):
    text = FILE.read_text(encoding="latin-1")
    at = -1
    for _ in range(occurrence + 1):
        at = text.index(end_tag, at + 1)
    path = tmp_path / "cut.xml"
    path.write_text(text[:at + len(end_tag)], encoding="latin-1")
    run = quorvel.Vasprun(str(path), parse_projected=True)
    # the KPOINTS_OPT density of states (E_F 8.7388) is never the main one (E_F 8.7377)
    assert run.dos is None and run.efermi is None and not run.complete
    if run.kpoints_opt is not None and "dos" in run.kpoints_opt:
        assert run.kpoints_opt["dos"]["efermi"] == 8.73880881


def _eigenvalues(element):
    return np.array([[[r.text.split() for r in kpoint.findall("r")] for kpoint in spin.findall("set")]
                     for spin in element.find("array").find("set").findall("set")], dtype=float)


@pytest.mark.parametrize("spins", [1, 2])
def test_generated_runs(generate, spins):
    path = generate(species="Fe:2,O:1", spins=spins, kpoints=8, kpoints_opt=30, dos=True, projected=True)
    run = quorvel.Vasprun(path, parse_projected=True)
    calculation = ET.parse(path).getroot().findall("calculation")[-1]
    opt = run.kpoints_opt
    assert opt["kpoints"]["kpointlist"].shape == (30, 3) and run.kpoints["kpointlist"].shape == (8, 3)
    written = calculation.find("eigenvalues_kpoints_opt").find("kpoints").find("varray[@name='weights']")
    assert opt["kpoints"]["weights"].tolist() == [float(v.text) for v in written]
    with_occupancies = _eigenvalues(calculation.find("projected_kpoints_opt").find("eigenvalues"))
    assert np.array_equal(opt["eigenvalues"], with_occupancies)
    assert with_occupancies.shape == (spins, 30, run.eigenvalue_shape[2], 2)
    energies = _eigenvalues(calculation.find("eigenvalues_kpoints_opt").find("eigenvalues"))
    assert np.array_equal(opt["eigenvalues"][..., 0], energies[..., 0])
    dos_opt, dos_main = calculation.findall("dos")
    assert opt["dos"]["efermi"] == float(dos_opt.find("i").text) and run.efermi == float(dos_main.find("i").text)
    assert opt["projected"]["data"].shape == (spins, 30, run.eigenvalue_shape[2], 3, 9)


def test_energies_without_occupancies_and_without_projections(write_xml, run_xml):
    rows = "".join(f"<r>{e}</r>" for e in (-1.5, 2.5))
    body = ('<eigenvalues_kpoints_opt comment="kpoints_opt"><kpoints><varray name="kpointlist"><v>0 0 0</v></varray>'
            '<varray name="weights"><v>1</v></varray></kpoints><eigenvalues><array><field>eigene</field>'
            f"<set><set><set>{rows}</set></set></set></array></eigenvalues></eigenvalues_kpoints_opt>")
    opt = quorvel.Vasprun(write_xml(run_xml.document(calculations=[run_xml.calculation(body=body)]))).kpoints_opt
    energies = opt["eigenvalues"]
    # an occupancy the file did not write is not a number
    assert energies.shape == (1, 1, 2, 2) and energies[0, 0, :, 0].tolist() == [-1.5, 2.5]
    assert np.isnan(energies[..., 1]).all()
    assert list(opt["kpoints"]) == ["kpointlist", "weights"]

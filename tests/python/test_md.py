"""Molecular dynamics: the MD energies of each step, the velocities of the structures, and every MD
step of a machine-learned force field run, the predicted ones that VASP writes outside any
calculation included, checked against the numbers written in the files."""

import xml.etree.ElementTree as ET

import pytest

import quorvel
from conftest import CORPUS, requires_corpus

FILE = CORPUS / "ml-md-velocities.xml.gz"
MD_KEYS = ["kinetic", "lattice kinetic", "nosepot", "nosekinetic", "total"]
# D: a calculation (DFT), m: a step the force field predicted, in file order
PATTERN = ("DDDDDDDDDDmmmmDmmDmmmmmmDmmmmmmmmmDmmmmmmDmmmmmmmmmDmmmmmmmmmDmmmmmmmmmDmmmmmmmmmDmmmmmmmmm"
           "Dmmmmmmmm")


@pytest.fixture(scope="module")
def run():
    return quorvel.Vasprun(str(FILE)) if FILE.exists() else None


@requires_corpus
def test_md_energies_of_the_ionic_steps(run):
    steps = run.ionic_steps
    assert len(steps) == 20
    first = steps[0]
    assert list(first)[:4] == ["structure", "e_fr_energy", "e_wo_entrp", "e_0_energy"]
    assert [first[key] for key in MD_KEYS] == [3.17809233, 0.0, 0.0, 0.00001323, -521.89385012]
    assert [steps[-1][key] for key in MD_KEYS] == [3.36515249, 0.0, 28.10391549, 0.45141737, -490.72914121]


@requires_corpus
def test_velocities_of_the_top_level_structures(run):
    initial, final = run.initial_structure["velocities"], run.final_structure["velocities"]
    assert len(initial) == len(final) == 80
    assert initial[0] == [0.00321231, 0.00258766, -0.00070682]
    assert final[-1] == [0.00011602, -0.00015235, -0.00018788]
    # the structures of the calculations have none
    assert all("velocities" not in step["structure"] for step in run.ionic_steps)


@requires_corpus
def test_every_md_step_in_file_order(run):
    steps = run.md_steps
    assert "".join("m" if step["predicted"] else "D" for step in steps) == PATTERN and len(steps) == 100
    assert list(steps[0]) == ["structure", "e_fr_energy", "e_wo_entrp", "e_0_energy"] + MD_KEYS + ["forces",
                                                                                                   "predicted"]
    dft, predicted, last = steps[0], steps[10], steps[-1]
    assert dft["structure"] == run.ionic_steps[0]["structure"] and dft["forces"] == run.ionic_steps[0]["forces"]
    assert dft["structure"]["positions"][0] == [0.556049, 0.054714, 0.88122]
    assert predicted["structure"]["positions"][0] == [0.57987112, 0.10277037, 0.88545004]
    assert predicted["structure"]["lattice"][0] == [9.87288, 0.0, 0.0]
    assert predicted["forces"][0] == [-1.47631999, -0.87389886, -0.14211237] and len(predicted["forces"]) == 80
    assert [predicted[k] for k in ["e_fr_energy", "e_wo_entrp", "e_0_energy"] + MD_KEYS] == [
        -524.98579052, -524.98579052, -524.98579052, 3.54124605, 0.0, 0.21874538, 0.01602248, -521.20977661]
    assert last["e_fr_energy"] == -524.69015916 and last["total"] == -491.51831988
    assert last["forces"][-1] == [0.97502537, -0.00220337, -1.65929174]


@requires_corpus
def test_converged_ionic_counts_every_md_step(run):
    # NSW 100, IBRION 0: 20 calculations and 80 predicted steps make the 100 steps of the run
    assert run.parameters["NSW"] == 100 and run.parameters["IBRION"] == 0
    assert run.converged_ionic is True


@requires_corpus
def test_the_final_structure_is_the_written_one(run):
    assert run.final_structure["positions"][0] == [0.56432823, 0.13215929, 0.84768121]


@requires_corpus
@pytest.mark.parametrize("cut_after", ["</structure>", "</varray>", "</energy>", "</time>"])
def test_a_file_cut_among_the_predicted_steps_ends_at_its_last_ionic_step(tmp_path, run, cut_after):
    import gzip

    text = gzip.decompress(FILE.read_bytes()).decode("latin-1")
    # inside the predicted steps after the fifth calculation
    start = text.index("</calculation>", text.index("</calculation>", len(text) // 2) + 1) + len("</calculation>")
    at = text.index(cut_after, start) + len(cut_after)
    path = tmp_path / "cut.xml"
    path.write_text(text[:at], encoding="latin-1")
    cut = quorvel.Vasprun(str(path))
    assert not cut.complete
    # never a structure the force field predicted: the run ends where its last ionic step stands
    assert cut.final_structure == cut.ionic_steps[-1]["structure"]
    assert cut.md_steps == run.md_steps[:len(cut.md_steps)]
    assert not cut.md_steps[-1]["predicted"] or cut_after in ("</energy>", "</time>")


def test_generated_md_runs(generate):
    path = generate(species="Si:4,O:4", kpoints=2, steps=4, md=True, md_energies=True, ml_steps=3, stress=False)
    run = quorvel.Vasprun(path)
    root = ET.parse(path).getroot()
    assert "".join("m" if s["predicted"] else "D" for s in run.md_steps) == "Dmmm" * 4
    written = [{i.get("name"): float(i.text) for i in e} for e in root.findall("energy")]
    assert [{k: s[k] for k in ["e_fr_energy", "e_wo_entrp", "e_0_energy"] + MD_KEYS}
            for s in run.md_steps if s["predicted"]] == written
    assert run.converged_ionic is True and run.parameters["NSW"] == 16
    velocities = root.find("structure[@name='initialpos']").find("varray[@name='velocities']")
    assert run.initial_structure["velocities"] == [[float(x) for x in v.text.split()] for v in velocities]


def test_runs_that_are_not_md_have_no_md_steps(generate):
    run = quorvel.Vasprun(generate(steps=3))
    assert run.md_steps == [] and not any(k in run.ionic_steps[0] for k in MD_KEYS)
    assert "velocities" not in run.initial_structure


def test_ab_initio_md_has_its_calculations_as_md_steps(generate):
    run = quorvel.Vasprun(generate(species="Si:2", kpoints=2, steps=5, md=True, md_energies=True))
    assert [s["predicted"] for s in run.md_steps] == [False] * 5
    assert [s["total"] for s in run.md_steps] == [s["total"] for s in run.ionic_steps]

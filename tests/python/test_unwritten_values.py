"""What a file did not write stays unwritten: a stress tensor that a calculation did not write is
marked so, electronic-step energies written as asterisks are not numbers, and structures have
selective-dynamics flags only when the file gives them."""

import math

import pytest

import quorvel
from conftest import CORPUS, requires_corpus


@requires_corpus
@pytest.mark.parametrize("name, written", [("ml-md-velocities.xml.gz", False), ("relax-3steps-max-force.xml", True),
                                           ("vasp642-relax-3steps.xml.gz", True)])
def test_stress_written_per_step(name, written):
    steps = quorvel.Vasprun(str(CORPUS / name)).ionic_steps
    assert all(step["stress_written"] is written for step in steps)
    keys = list(steps[0])
    assert keys[keys.index("stress") + 1] == "stress_written"
    if not written:  # the zero matrix stays, so that callers can index it
        assert all(step["stress"] == [[0.0] * 3] * 3 for step in steps)


def test_stress_written_follows_each_calculation(write_xml, run_xml):
    with_stress = run_xml.calculation()
    stress = '<varray name="stress"><v>1 0 0</v><v>0 2 0</v><v>0 0 3</v></varray>'
    without = with_stress.replace(stress, "")
    short = with_stress.replace(stress, stress.replace("<v>0 0 3</v>", ""))  # two rows: a zero matrix
    steps = quorvel.Vasprun(write_xml(run_xml.document(calculations=[with_stress, without, short]))).ionic_steps
    assert [step["stress_written"] for step in steps] == [True, False, False]
    assert [step["stress"][2][2] for step in steps] == [3.0, 0.0, 0.0]


def test_stress_written_in_generated_files(generate):
    assert [s["stress_written"] for s in quorvel.Vasprun(generate(stress=False)).ionic_steps] == [False] * 3
    assert [s["stress_written"] for s in quorvel.Vasprun(generate(stress=True)).ionic_steps] == [True] * 3


def test_asterisk_energies_of_electronic_steps_are_nan(generate):
    run = quorvel.Vasprun(generate(steps=2, scsteps=4, scstep_asterisks=True))
    for steps in run.electronic_steps:
        assert steps.shape == (4, 3) and all(math.isnan(x) for x in steps[0])
        assert not any(math.isnan(x) for x in steps[1:].ravel())
    # the energies of the ionic steps themselves are written in full
    assert all(step["e_fr_energy"] != 0.0 for step in run.ionic_steps)


def test_asterisks_in_a_written_electronic_step(write_xml, run_xml):
    scstep = ('<scstep><energy><i name="e_fr_energy">****************</i><i name="e_wo_entrp"> -2.5 </i>'
              '<i name="e_0_energy">***</i></energy></scstep>')
    run = quorvel.Vasprun(write_xml(run_xml.document(calculations=[run_xml.calculation(body=scstep)])))
    (steps,) = run.electronic_steps
    assert math.isnan(steps[0, 0]) and steps[0, 1] == -2.5 and math.isnan(steps[0, 2])


@requires_corpus
def test_selective_dynamics_flags_where_written():
    run = quorvel.Vasprun(str(CORPUS / "selective-dynamics.xml.gz"))
    assert run.final_structure["selective"] == [[True, True, True], [False, False, False]]
    assert list(run.final_structure) == ["lattice", "volume", "positions", "species", "selective"]
    # the file writes the flags in its final structure only
    assert "selective" not in run.initial_structure
    assert all("selective" not in step["structure"] for step in run.ionic_steps)


def test_selective_dynamics_in_generated_files(generate):
    run = quorvel.Vasprun(generate(species="Si:3", selective=True))
    flags = [[True] * 3, [True] * 3, [False, False, True]]
    assert run.initial_structure["selective"] == run.final_structure["selective"] == flags
    assert "selective" not in quorvel.Vasprun(generate(species="Si:3")).initial_structure


def test_selective_flags_as_vasp_writes_them(write_xml, run_xml):
    flags = '<varray name="selective" type="logical"><v type="logical"> T F T </v><v> F F F </v></varray>'
    structure = run_xml.structure(2).replace("</structure>", flags + "</structure>")
    text = run_xml.document(atoms=("Si", "O")).replace(run_xml.structure(2), structure)
    assert quorvel.Vasprun(write_xml(text)).initial_structure["selective"] == [[True, False, True], [False] * 3]

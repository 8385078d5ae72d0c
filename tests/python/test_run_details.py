"""What the file says of its writer, the k-point recipe's vectors and every energy term of the electronic
steps: on small documents, and against pymatgen's values on the corpus."""

import math
import pickle
import warnings

import pytest

from quorvel import Vasprun

from conftest import CORPUS, corpus_files

GENERATOR_KEYS = ["program", "version", "subversion", "platform", "date", "time"]


def _scstep(*entries):
    items = "".join(f'<i name="{name}">{value}</i>' if name else f"<i>{value}</i>" for name, value in entries)
    return f'<scstep><time name="dav">0.1 0.1</time><energy>{items}</energy></scstep>'


FULL = [("alphaZ", "1.5"), ("ewald", "-2.25"), ("e_fr_energy", "-3.0"), ("e_wo_entrp", "-3.25"),
        ("e_0_energy", "-3.125")]
SHORT = [("e_fr_energy", "-4.0"), ("e_wo_entrp", "-4.5"), ("e_0_energy", "-4.25")]


def test_generator_holds_the_six_strings(write_xml, run_xml):
    run = Vasprun(write_xml(run_xml.document(program="vasp", version="6.4.2")))
    assert run.generator == dict(program="vasp", version="6.4.2", subversion="", platform="", date="", time="")
    assert list(run.generator) == GENERATOR_KEYS
    text = run_xml.document().replace(
        "</generator>", '<i name="subversion" type="string">20Jan22 (build Jan 30 2022) complex  parallel </i>'
        '<i name="platform" type="string">LinuxIFC</i><i name="date" type="string">2022 03 30 </i>'
        '<i name="time" type="string">18:05:19</i><i name="other">x</i></generator>')
    generator = Vasprun(write_xml(text)).generator
    assert generator == dict(program="vasp", version="6.4.2", subversion="20Jan22 (build Jan 30 2022) complex  parallel",
                             platform="LinuxIFC", date="2022 03 30", time="18:05:19")
    assert generator["program"] == Vasprun(write_xml(text)).program


@pytest.mark.parametrize("recipe, vectors", [
    ("", {}),
    ('<v name="usershift">0 0 0</v>', {"usershift": [0.0, 0.0, 0.0]}),
    ('<v name="shift">0.5 0.5 0.5</v><v name="genvec2">0 0.25 0</v><v name="genvec1">0.25 0 0</v>'
     '<v name="genvec3">0 0 1e-1</v><v name="usershift">1 2 3</v><v name="genvec1">1 2</v>',
     {"usershift": [1.0, 2.0, 3.0], "genvec1": [0.25, 0.0, 0.0], "genvec2": [0.0, 0.25, 0.0],
      "genvec3": [0.0, 0.0, 0.1], "shift": [0.5, 0.5, 0.5]}),
])
def test_kpoint_generation_vectors_where_written(write_xml, run_xml, recipe, vectors):
    body = f'<generation param="Gamma"><v type="int" name="divisions">2 2 2</v>{recipe}</generation>'
    kpoints = Vasprun(write_xml(run_xml.document(kpoints_extra=body))).kpoints
    assert list(kpoints) == ["kpointlist", "weights", "scheme", "divisions"] + list(vectors)
    assert {key: kpoints[key] for key in vectors} == vectors
    assert all(type(x) is float for key in vectors for x in kpoints[key])


def test_electronic_step_energies_hold_every_term(write_xml, run_xml):
    steps = [_scstep(*FULL), _scstep(*SHORT), _scstep(("e_fr_energy", "*****"), ("", "7"), ("atom", "x"))]
    calculations = [run_xml.calculation(body="".join(steps)), run_xml.calculation(),
                    run_xml.calculation(body=_scstep(*SHORT) + _scstep(*FULL))]
    run = Vasprun(write_xml(run_xml.document(calculations=calculations)))
    energies = run.electronic_step_energies
    assert len(energies) == 3 and energies[1] == []
    first, second, third = energies[0]
    assert list(first.items()) == [(name, float(value)) for name, value in FULL]
    assert list(second.items()) == [(name, float(value)) for name, value in SHORT]
    # the three energies after the other terms, where VASP writes them
    assert list(third) == ["atom", "e_fr_energy"] and math.isnan(third["e_fr_energy"]) and third["atom"] == 0.0
    assert energies[2] == [{name: float(value) for name, value in entries} for entries in (SHORT, FULL)]
    # The three energies are those of electronic_steps.
    for table, dicts in zip(run.electronic_steps, energies):
        assert len(table) == len(dicts)
        for row, terms in zip(table.tolist(), dicts):
            assert row[1:] == [terms.get("e_wo_entrp", 0.0), terms.get("e_0_energy", 0.0)]


def test_electronic_step_energies_follow_the_step_selection(write_xml, run_xml):
    calculations = [run_xml.calculation(body=_scstep(("ewald", str(i)), *SHORT)) for i in range(5)]
    path = write_xml(run_xml.document(calculations=calculations))
    run = Vasprun(path, ionic_step_skip=2, ionic_step_offset=1)
    assert [steps[0]["ewald"] for steps in run.electronic_step_energies] == [1.0, 3.0]


def test_a_duplicate_name_keeps_its_first_place_and_last_value(write_xml, run_xml):
    body = _scstep(("ewald", "1"), ("e_fr_energy", "2"), ("ewald", "3"))
    run = Vasprun(write_xml(run_xml.document(calculations=[run_xml.calculation(body=body)])))
    assert list(run.electronic_step_energies[0][0].items()) == [("ewald", 3.0), ("e_fr_energy", 2.0)]


def test_the_last_energy_of_an_electronic_step_counts(write_xml, run_xml):
    body = "<scstep><energy><i name=\"ewald\">1</i></energy><energy><i name=\"atom\">2</i></energy></scstep>"
    run = Vasprun(write_xml(run_xml.document(calculations=[run_xml.calculation(body=body)])))
    assert run.electronic_step_energies == [[{"atom": 2.0}]]


def test_new_values_pickle(write_xml, run_xml):
    body = '<generation param="Monkhorst-Pack"><v name="genvec1">1 0 0</v></generation>'
    calculation = run_xml.calculation(body=_scstep(*FULL) + _scstep(*SHORT))
    run = Vasprun(write_xml(run_xml.document(kpoints_extra=body, calculations=[calculation])))
    again = pickle.loads(pickle.dumps(run))
    assert again.generator == run.generator and again.kpoints["genvec1"] == [1.0, 0.0, 0.0]
    assert again.electronic_step_energies == run.electronic_step_energies


# -- against pymatgen on the corpus -------------------------------------------------------------------
def _pymatgen_run(path):
    outputs = pytest.importorskip("pymatgen.io.vasp.outputs")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return outputs.Vasprun(str(path), parse_dos=False, parse_eigen=False)
        except Exception:  # files pymatgen cannot read: nothing to compare
            return None


def _same_number(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no ../shared/corpus")
@pytest.mark.parametrize("path", corpus_files(), ids=lambda path: path.name)
def test_corpus_values_equal_pymatgens(path):
    theirs = _pymatgen_run(path)
    if theirs is None:
        pytest.skip("pymatgen does not read it")
    run = Vasprun(str(path), parse_dos=False, parse_eigen=False)
    generation = theirs.kpoints
    for name in ("genvec1", "genvec2", "genvec3", "shift"):
        assert run.kpoints.get(name) == getattr(generation, name, None), name
    if "usershift" in run.kpoints:
        assert tuple(run.kpoints["usershift"]) == tuple(generation.kpts_shift)
    # pymatgen makes a step without structure of a GW calculation, which has none (see the README)
    ours = run.electronic_step_energies
    theirs_steps = [step["electronic_steps"] for step in theirs.ionic_steps if step.get("structure") is not None]
    assert len(ours) == len(theirs_steps)
    for our_steps, their_steps in zip(ours, theirs_steps):
        assert [list(step) for step in our_steps] == [list(step) for step in their_steps]
        for our, their in zip(our_steps, their_steps):
            assert all(_same_number(our[key], their[key]) for key in our)

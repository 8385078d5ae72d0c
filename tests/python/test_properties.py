"""Record properties: value types, key orders, fresh objects, step selection, converged and repr."""

import gc
import os
import subprocess
import sys

import numpy as np
import pytest

import quorvel

Vasprun = quorvel.Vasprun
KEYS = ["scheme", "divisions", "usershift", "genvec1", "genvec2", "genvec3", "shift"]
STEP_KEYS = ["structure", "e_fr_energy", "e_wo_entrp", "e_0_energy", "forces", "stress", "stress_written"]


def is_matrix(value, ncols=None, nrows=None):
    return (type(value) is list and nrows in (None, len(value)) and all(
        type(row) is list and ncols in (None, len(row)) and all(type(x) is float for x in row) for row in value))


@pytest.mark.parametrize("options, kpoint_keys, magnetization", [
    (None, KEYS, True), ({"species": "Si:2"}, KEYS, False),
    ({"species": "Fe:2,O:1", "spins": 2, "magnetization": True, "scheme": "Monkhorst-Pack"}, KEYS, True),
    ({"species": "Na:1,Cl:1", "labels": True, "steps": 1}, ["scheme", "labels"], False),
])
def test_record_value_types_and_key_orders(sample_path, generate, options, kpoint_keys, magnetization):
    run = Vasprun(sample_path if options is None else generate(**options))
    assert type(run.program) is str and type(run.version) is str and type(run.incar) is dict
    assert type(run.atoms) is list and all(type(a) is str for a in run.atoms)
    for t in run.atom_types:
        assert list(t) == ["element", "count", "mass", "valence", "pseudopotential"]
        assert [type(v) for v in t.values()] == [str, int, float, float, str]
    assert list(run.kpoints) == ["kpointlist", "weights"] + kpoint_keys
    assert all(type(i) is int and type(s) is str for i, s in run.kpoints.get("labels", []))
    for s in [run.initial_structure, run.final_structure] + [step["structure"] for step in run.ionic_steps]:
        assert list(s) == ["lattice", "volume", "positions", "species"] and type(s["volume"]) is float
        assert is_matrix(s["lattice"], 3, 3) and is_matrix(s["positions"], 3, len(run.atoms))
        assert s["species"] == run.atoms and all(type(x) is str for x in s["species"])
    for step in run.ionic_steps:
        assert list(step) == STEP_KEYS + ["magnetization"] * magnetization and step["stress_written"] is True
        assert all(type(step[k]) is float for k in STEP_KEYS[1:4]) and is_matrix(step["stress"], 3, 3)
        assert is_matrix(step["forces"], 3, len(run.atoms))
        assert not magnetization or is_matrix(step["magnetization"], None, len(run.atoms))
    assert run.final_structure == run.ionic_steps[-1]["structure"] and type(run.converged) is bool
    assert all(type(d) is int for d in run.kpoints.get("divisions", [])) and (
        options or (run.kpoints["scheme"], run.kpoints["divisions"]) == ("Gamma", [4, 4, 4]))


@pytest.mark.parametrize("body, extra", [
    ("", {}),
    ('<generation param="Monkhorst-Pack"><v name="usershift">0 0 0</v></generation>',
     {"scheme": "Monkhorst-Pack", "usershift": [0.0, 0.0, 0.0]}),
    ('<generation><v type="int" name="divisions">2 3 4</v></generation>', dict(scheme="unknown", divisions=[2, 3, 4])),
    ('<varray name="labels"><v>G</v></varray><varray name="labelindex"><v>2</v></varray>', {"labels": [(1, "G")]}),
])
def test_kpoints_optional_keys(write_xml, run_xml, body, extra):
    k = Vasprun(write_xml(run_xml.document(kpoints_extra=body))).kpoints
    assert list(k) == ["kpointlist", "weights"] + list(extra)
    assert k["weights"].tolist() == [0.25, 0.75] and {key: k[key] for key in extra} == extra


def test_incar_values_and_magnetization_rows(write_xml, run_xml):
    incar = ('<i type="int" name="ISPIN"> 2 </i><i name="ENCUT"> 500.0 </i><i type="logical" name="LWAVE"> F </i>'
             '<i type="string" name="SYSTEM">Si  bulk</i><i name="MAGMOM">1.0 1.0 -1.0</i><v name="SKIP">1 2</v>')
    calcs = [run_xml.calculation(magnetization=["1.5 2.5", "3.5"]), run_xml.calculation()]
    run = Vasprun(write_xml(run_xml.document(incar=incar, calculations=calcs)))
    assert list(run.incar.items()) == [("ISPIN", 2), ("ENCUT", 500.0), ("LWAVE", False),
                                       ("SYSTEM", "Si  bulk"), ("MAGMOM", [1.0, 1.0, -1.0]), ("SKIP", [1.0, 2.0])]
    assert [type(v) for v in run.incar.values()] == [int, float, bool, str, list, list]  # lists, not arrays
    assert run.ionic_steps[0]["magnetization"] == [[1.5, 2.5], [3.5]] and "magnetization" not in run.ionic_steps[1]
    assert Vasprun(write_xml(run_xml.document(), "empty.xml")).incar == {}


def test_every_read_is_fresh_and_mutations_do_not_stick(sample_path):
    run = Vasprun(sample_path)
    names = ["incar", "atoms", "atom_types", "initial_structure", "final_structure", "ionic_steps"]
    incar, atoms, types, initial, final, steps = first = [getattr(run, name) for name in names]
    expected = [getattr(run, name) for name in names]
    k1, k2 = run.kpoints, run.kpoints
    assert all(a is not b for a, b in zip(first + [k1], expected + [k2]))
    assert not any(np.shares_memory(k1[key], k2[key]) for key in ("kpointlist", "weights"))
    k1["kpointlist"][:], k1["weights"][0], k1["divisions"][0], incar["NEW"], atoms[0] = 99.0, -1.0, 7, 1, "Xx"
    types[0]["count"], initial["lattice"][0][0], final["positions"][0] = 99, 5.0, []
    steps[0]["forces"][0][0], steps[0]["structure"]["species"][0] = 123.0, "Zz"
    assert [getattr(run, name) for name in names] == expected
    assert not (k2["kpointlist"] == 99.0).any() and not (run.kpoints["kpointlist"] == 99.0).any()
    assert run.kpoints["weights"][0] != -1.0 and run.kpoints["divisions"] == [4, 4, 4]
    view, expected = k2["kpointlist"][1:], k2["kpointlist"][1:].copy()
    del run, k1, k2  # the arrays stay valid without the run
    gc.collect()
    assert np.array_equal(view, expected) and view.base.flags.writeable and view.base.flags.c_contiguous
    assert view.base.dtype == np.float64 and type(view.base.base).__name__ == "PySliceContainer"


def test_offset_and_skip_select_steps(generate):
    path = generate(species="Si:1", steps=10, kpoints=2)
    every = Vasprun(path).ionic_steps
    assert len(every) == 10 and len({step["e_fr_energy"] for step in every}) == 10
    assert Vasprun(path, ionic_step_offset=3, ionic_step_skip=4).ionic_steps == [every[3], every[7]]
    assert Vasprun(path, ionic_step_skip=1, ionic_step_offset=8).ionic_steps == every[8:]
    assert Vasprun(path, ionic_step_skip=3).ionic_steps == every[::3]
    for offset in (10, 11, 2**64 - 1):
        run = Vasprun(path, ionic_step_offset=offset)
        assert run.ionic_steps == [] and run.converged is False and repr(run).endswith(", nsteps=0)")


@pytest.mark.parametrize("energies, options, expected", [
    (["-1.5"], {}, True), (["-1.5", "0.0"], {}, False), (["0.0", "-2.0"], {}, True), (["NaN"], {}, True),
    (["*****"], {}, False), ([], {}, False), (["-1.0", "0.0", "-3.0"], {"ionic_step_skip": 5}, True),
    (["-1.0", "0.0", "-3.0"], {"ionic_step_offset": 1, "ionic_step_skip": 5}, False),
])
def test_converged_depends_on_last_kept_free_energy(write_xml, run_xml, energies, options, expected):
    run = Vasprun(write_xml(run_xml.document(calculations=[run_xml.calculation(e) for e in energies])), **options)
    assert run.converged is expected


def test_repr_of_sample(sample_path):
    run = Vasprun(sample_path)
    text = 'Vasprun(program=vasp, version=6.4.2, atoms=["Fe", "Fe", "O", "O"], nkpts=10, nsteps=3)'
    assert repr(run) == text and str(run) == text and f"{run}" == text
    assert repr(Vasprun(sample_path, ionic_step_offset=1)).endswith("nkpts=10, nsteps=2)")


@pytest.mark.parametrize("raw, symbol, shown", [
    (None, None, "[]"), ("Si", "Si", '["Si"]'), ("A&quot;B", 'A"B', r'["A\"B"]'), ("A\\B", "A\\B", r'["A\\B"]'),
    ("A&#9;B", "A\tB", r'["A\tB"]'), ("A&#10;B", "A\nB", r'["A\nB"]'), ("A&#13;B", "A\rB", r'["A\rB"]'),
    ("A&#1;B", "A\x01B", r'["A\u{1}B"]'), ("A&#127;B", "A\x7fB", r'["A\u{7f}B"]'),
    ("A&apos;B&#233;", "A'B\u00e9", '["A\'B\u00e9"]'),
])
def test_repr_text_and_escaping(write_xml, run_xml, raw, symbol, shown):
    atoms = () if raw is None else (raw,)
    calcs = [run_xml.calculation(natoms=len(atoms))]
    run = Vasprun(write_xml(run_xml.document(atoms=atoms, program='my "code"', version="", calculations=calcs)))
    assert run.atoms == list(atoms and [symbol]) and str(run) == repr(run)
    assert repr(run) == f'Vasprun(program=my "code", version=, atoms={shown}, nkpts=2, nsteps=1)'


def test_numpy_failing_for_lack_of_memory_is_a_memory_error(sample_path):
    script = ("import sys\n"
              "class NoMemory:\n"
              "    def find_spec(self, name, path=None, target=None):\n"
              "        if name == 'numpy': raise MemoryError\n"
              "sys.meta_path.insert(0, NoMemory())\n"
              f"import quorvel; run = quorvel.Vasprun({sample_path!r})\n"
              "try: run.eigenvalues\n"
              "except MemoryError as error: print('MemoryError', type(error) is MemoryError)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["MemoryError", "True"]


def test_import_and_read_without_numpy(sample_path):
    script = (f"import sys; sys.modules['numpy'] = None; import quorvel; run = quorvel.Vasprun({sample_path!r})\n"
              "print(run.program, len(run.ionic_steps), run.converged, run.atoms[0], repr(run)[:8])\n"
              "for name in ('kpoints', 'eigenvalues', 'dos'):\n"
              "    try: print(name, 'no error', getattr(run, name))\n"
              "    except BaseException as error: print(name, error)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=""))
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["vasp 3 True Fe Vasprun("] + [
        f"{name} Failed to access NumPy array API capsule" for name in ("kpoints", "eigenvalues", "dos")]

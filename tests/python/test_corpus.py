"""Real run files written by several VASP versions, read through the module."""

import pytest

import quorvel
from conftest import corpus_files, requires_corpus

pytestmark = requires_corpus
FAILING = {"truncated-in-parameters.xml": "Missing element <atominfo>",
           "not-xml.xml": "Missing element <modeling>"}
READABLE = [p for p in corpus_files() if p.name not in FAILING]


def corpus(name):
    return str(next(p for p in corpus_files() if p.name == name))


@pytest.mark.parametrize("name, message", sorted(FAILING.items()))
def test_broken_files_raise_runtime_error(name, message):
    with pytest.raises(RuntimeError) as info:
        quorvel.Vasprun(corpus(name), parse_projected=True)
    assert type(info.value) is quorvel.MissingElementError and info.value.args == (message,)


@pytest.mark.parametrize("path", READABLE, ids=lambda p: p.name)
def test_readable_files_are_consistent(path, property_names):
    run = quorvel.Vasprun(str(path), parse_projected=True)
    v = {name: getattr(run, name) for name in property_names}
    natoms, nkpts, steps = len(v["atoms"]), len(v["kpoints"]["weights"]), v["ionic_steps"]
    assert v["program"] == "vasp" and v["version"] and natoms > 0
    # GW runs hold no calculation: their results stand at the top level
    assert bool(steps) is not path.name.startswith("gw0")
    if not steps:
        return
    assert sum(t["count"] for t in v["atom_types"]) == natoms and v["converged"] is True
    assert v["kpoints"]["kpointlist"].shape == (nkpts, 3)
    assert repr(run).endswith(f", nkpts={nkpts}, nsteps={len(steps)})")
    for s in [v["initial_structure"], v["final_structure"]] + [step["structure"] for step in steps]:
        assert len(s["positions"]) == len(s["species"]) == natoms and len(s["lattice"]) == 3
    for step in steps:
        assert len(step["forces"]) == natoms and all(len(f) == 3 for f in step["forces"])
    # a file cut off before its final structure ends where its last ionic step stands; a
    # machine-learned MD run goes on after its last DFT step with predicted steps
    if not path.name.startswith("ml-md"):
        # (the selective-dynamics flags of a VASP 5.2 run stand in its final structure only)
        final = {k: x for k, x in v["final_structure"].items() if k != "selective"}
        assert final == steps[-1]["structure"]
    shape = v["eigenvalue_shape"]
    if shape is None:  # the force field's MD writes no eigenvalues
        assert path.name.startswith("ml-md")
        return
    assert shape[1] == nkpts and v["eigenvalues"].shape == shape + (2,)
    if v["projected"] is not None:
        assert v["projected"]["data"].shape == shape + (natoms, len(v["projected"]["orbitals"]))
    if v["dos"] is not None:
        assert v["efermi"] == v["dos"]["efermi"]
        assert v["dos"]["total"]["densities"].shape[1] == len(v["dos"]["total"]["energies"])
        if "partial" in v["dos"]:
            partial = v["dos"]["partial"]
            assert partial["data"].shape[1:3] == (natoms, len(partial["orbitals"]))
    # a run killed while writing keeps what it wrote whole, and says it is incomplete
    assert v["complete"] is not path.name.startswith("truncated")
    if path.name == "truncated-in-dos.xml":  # cut inside the second calculation's DOS
        assert len(steps) == 2 and v["dos"] is v["efermi"] is None and v["eigenvalues"] is not None
    if path.name == "truncated-in-calculation.xml.gz":  # cut inside the sixth calculation's structure
        assert len(steps) == 5 and all(v[name] is not None for name in ("eigenvalues", "dos", "projected"))


@pytest.mark.parametrize("name, nsteps", [("relax-28steps.xml.gz", 28), ("vasp642-relax-3steps.xml.gz", 3),
                                          ("relax-3steps-max-force.xml", 3)])
def test_step_selection_and_option_gates(name, nsteps):
    every = quorvel.Vasprun(corpus(name)).ionic_steps
    run = quorvel.Vasprun(corpus(name), False, False, False, ionic_step_skip=2, ionic_step_offset=1)
    assert len(every) == nsteps and run.ionic_steps == every[1::2]
    assert run.dos is run.efermi is run.eigenvalues is run.eigenvalue_shape is run.projected is None

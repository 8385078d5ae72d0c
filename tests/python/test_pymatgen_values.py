"""The dielectric functions, response tensors, dynamical matrix, second k-point set, selective
dynamics and MD steps equal pymatgen's values on the corpus files, where pymatgen gives them.
Skipped without pymatgen or the corpus."""

import warnings

import numpy as np
import pytest

import quorvel
from conftest import CORPUS, requires_corpus

pytestmark = requires_corpus
outputs = pytest.importorskip("pymatgen.io.vasp.outputs")
Spin = pytest.importorskip("pymatgen.electronic_structure.core").Spin


def both(name, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = outputs.Vasprun(str(CORPUS / name), parse_potcar_file=False,
                                 parse_projected_eigen=options.get("parse_projected", False))
    return quorvel.Vasprun(str(CORPUS / name), **options), theirs


@pytest.mark.parametrize("name", ["dfpt-epsilon.xml.gz", "born-charges-al2o3.xml.gz"])
def test_dielectric_tensors(name):
    ours, theirs = both(name)
    assert np.array_equal(ours.epsilon, theirs.epsilon_static)
    assert np.array_equal(ours.epsilon_rpa, theirs.epsilon_static_wolfe)
    assert ours.epsilon_ion is None and len(theirs.epsilon_ionic) == 0


def test_dielectric_functions_of_an_optics_run():
    ours, theirs = both("dielectric-density-current.xml.gz")
    # pymatgen names the current-current function "velocity"
    for function, key in zip(ours.dielectric_functions, ["density", "velocity"]):
        energies, real, imag = theirs.dielectric_data[key]
        assert np.array_equal(function["energies"], energies)
        assert np.array_equal(function["real"], real) and np.array_equal(function["imag"], imag)


def test_dielectric_functions_of_a_gw_run():
    ours, theirs = both("gw0-top-level-dielectric.xml.gz")
    assert [f["comment"] for f in ours.dielectric_functions] == list(theirs.dielectric_data)
    for function in ours.dielectric_functions:
        energies, real, imag = theirs.dielectric_data[function["comment"]]
        assert np.array_equal(function["energies"], energies)
        assert np.array_equal(function["real"], real) and np.array_equal(function["imag"], imag)


def test_dynamical_matrix():
    ours, theirs = both("dynmat-hessian.xml.gz")
    natoms = len(ours.atoms)
    assert np.array_equal(ours.dynmat["eigenvalues"], theirs.normalmode_eigenvals)
    assert np.array_equal(ours.dynmat["eigenvectors"].reshape(3 * natoms, natoms, 3), theirs.normalmode_eigenvecs)
    # pymatgen hands the same numbers out per pair of atoms
    blocks = ours.dynmat["hessian"].reshape(natoms, 3, natoms, 3).transpose(0, 2, 1, 3)
    assert np.array_equal(blocks, theirs.force_constants)


def test_second_kpoint_set():
    ours, theirs = both("kpoints-opt-two-dos.xml", parse_projected=True)
    opt, props = ours.kpoints_opt, theirs.kpoints_opt_props
    assert np.array_equal(opt["eigenvalues"][0], props.eigenvalues[Spin.up])
    assert np.array_equal(opt["projected"]["data"][0], props.projected_eigenvalues[Spin.up])
    assert opt["kpoints"]["kpointlist"].tolist() == [list(k) for k in props.kpoints.kpts]
    assert opt["kpoints"]["weights"].tolist() == props.actual_kpoints_weights
    assert opt["dos"]["efermi"] == props.efermi == props.tdos.efermi
    assert np.array_equal(opt["dos"]["total"]["energies"], props.tdos.energies)
    assert np.array_equal(opt["dos"]["total"]["densities"][0], props.tdos.densities[Spin.up])
    assert ours.efermi == theirs.efermi


def test_selective_dynamics():
    ours, theirs = both("selective-dynamics.xml.gz")
    assert ours.final_structure["selective"] == theirs.final_structure.site_properties["selective_dynamics"]


def test_md_steps_of_a_machine_learned_force_field_run():
    ours, theirs = both("ml-md-velocities.xml.gz")
    assert len(ours.md_steps) == len(theirs.md_data) == theirs.md_n_steps
    for step, data in zip(ours.md_steps, theirs.md_data):
        assert {k: step[k] for k in data["energy"]} == data["energy"]
        assert np.array_equal(step["forces"], data["forces"])
        assert np.array_equal(step["structure"]["positions"], data["structure"].frac_coords)
        assert np.array_equal(step["structure"]["lattice"], data["structure"].lattice.matrix)
    assert ours.converged_ionic is theirs.converged_ionic is True
    for step, data in zip(ours.ionic_steps, theirs.ionic_steps):
        assert all(step[k] == data[k] for k in ("kinetic", "lattice kinetic", "nosepot", "nosekinetic", "total"))

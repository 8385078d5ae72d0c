"""What linear-response and finite-difference runs are made for: the static dielectric tensors, the
Born effective charges and the dynamical matrix, checked against the numbers written in the files."""

import xml.etree.ElementTree as ET

import numpy as np

import quorvel
from conftest import CORPUS, requires_corpus


@requires_corpus
def test_dielectric_tensors_of_a_dfpt_run():
    run = quorvel.Vasprun(str(CORPUS / "dfpt-epsilon.xml.gz"))
    assert run.epsilon.tolist() == [[3.26105533, -0.00459066, -0.01281925],
                                    [-0.00459066, 3.26463031, -0.00876741],
                                    [-0.01281925, -0.00876741, 3.24330517]]
    assert run.epsilon_rpa.tolist() == [[3.33402531, -0.00559998, -0.01563666],
                                        [-0.00559998, 3.33838612, -0.01069404],
                                        [-0.01563666, -0.01069404, 3.31237357]]
    assert run.epsilon_ion is None and run.born_charges is None and run.dynmat is None


@requires_corpus
def test_born_charges_as_written():
    run = quorvel.Vasprun(str(CORPUS / "born-charges-al2o3.xml.gz"))
    assert np.diag(run.epsilon).tolist() == [3.27649624, 3.27649624, 3.21878866]
    assert np.diag(run.epsilon_rpa).tolist() == [3.37514756, 3.37514756, 3.30930395]
    charges = run.born_charges
    assert charges.shape == (30, 3, 3) and charges.dtype == np.float64
    # one set per atom, its rows as written (not transposed)
    assert charges[0].tolist() == [[2.96009240, -0.02949523, -0.00000258],
                                   [0.02948459, 2.96009294, -0.00001085],
                                   [-0.0, 0.0, 2.92614223]]
    assert charges[12].tolist() == [[-2.07325308, 0.0, -0.0],
                                    [-0.00007191, -1.87350298, 0.25811994],
                                    [-0.00000412, 0.35087130, -1.95076122]]
    assert charges[29].tolist() == [[-1.92343417, -0.08655340, 0.22354799],
                                    [-0.08652855, -2.02335235, -0.12906951],
                                    [0.30386140, -0.17543922, -1.95076122]]


@requires_corpus
def test_dynamical_matrix_of_a_finite_difference_run():
    dynmat = quorvel.Vasprun(str(CORPUS / "dynmat-hessian.xml.gz")).dynmat
    assert list(dynmat) == ["hessian", "eigenvalues", "eigenvectors"]
    hessian, eigenvalues, eigenvectors = dynmat["hessian"], dynmat["eigenvalues"], dynmat["eigenvectors"]
    assert hessian.shape == eigenvectors.shape == (192, 192) and eigenvalues.shape == (192,)  # 64 atoms
    assert hessian[0, :4].tolist() == [-0.08018122, 0.0, 0.0, 0.01325287]
    assert hessian[191, 188:].tolist() == [-0.00131414, 0.0, 0.0, -0.0652814]
    assert eigenvalues[[0, -1]].tolist() == [-1.59961166e-01, 3.33270837e-06]
    assert eigenvectors[0, :3].tolist() == [9.63516956e-02, 8.96930546e-02, -5.86346000e-02]
    assert eigenvectors[191, -3:].tolist() == [5.34775793e-02, -1.17901356e-01, 4.48078395e-02]


@requires_corpus
def test_files_without_them():
    run = quorvel.Vasprun(str(CORPUS / "vasp642-relax-3steps.xml.gz"))
    assert [run.epsilon, run.epsilon_rpa, run.epsilon_ion, run.born_charges, run.dynmat] == [None] * 5


def _tensor(element):
    return [[float(x) for x in v.text.split()] for v in element]


def test_generated_response_run(generate):
    path = generate(species="Al:4,O:6", kpoints=4, epsilon=True, epsilon_ion=True, born_charges=True,
                    dynmat=True, steps=2)
    run = quorvel.Vasprun(path)
    calculation = ET.parse(path).getroot().findall("calculation")[-1]
    for name in ("epsilon", "epsilon_rpa", "epsilon_ion"):
        assert getattr(run, name).tolist() == _tensor(calculation.find(f"varray[@name='{name}']"))
    sets = calculation.find("array[@name='born_charges']").findall("set")
    assert run.born_charges.tolist() == [_tensor(s) for s in sets] and len(sets) == 10
    dynmat = calculation.find("dynmat")
    assert run.dynmat["hessian"].tolist() == _tensor(dynmat.find("varray[@name='hessian']"))
    assert run.dynmat["eigenvectors"].tolist() == _tensor(dynmat.find("varray[@name='eigenvectors']"))
    assert run.dynmat["eigenvalues"].tolist() == [float(x) for x in dynmat.find("v[@name='eigenvalues']").text.split()]
    assert run.dynmat["hessian"].shape == (30, 30)


def test_the_last_calculation_with_each_tensor_wins(write_xml, run_xml):
    def tensor(name, value):
        return f'<varray name="{name}"><v>{value} 0 0</v><v>0 {value} 0</v><v>0 0 {value}</v></varray>'

    calculations = [run_xml.calculation(body=tensor("epsilon", 1) + tensor("epsilon_ion", 5)),
                    run_xml.calculation(body=tensor("epsilon", 2)), run_xml.calculation()]
    run = quorvel.Vasprun(write_xml(run_xml.document(calculations=calculations)))
    assert np.diag(run.epsilon).tolist() == [2.0] * 3 and np.diag(run.epsilon_ion).tolist() == [5.0] * 3
    assert run.epsilon_rpa is None

"""What pipelines decide on: every parameter, the electronic steps, convergence,
the final energy, band edges and runs killed while writing their file."""

import math

import numpy as np
import pytest

from quorvel import Vasprun


def scsteps(*energies, only_these=False):
    """scstep elements, one per (e_fr, e_0) pair; `only_these` leaves out every other energy entry."""
    other = "" if only_these else '<i name="alphaZ">1.0</i><i name="ewald">-2.0</i>'
    return "".join(f'<scstep><energy>{other}<i name="e_fr_energy">{fr}</i><i name="e_wo_entrp">{fr}</i>'
                   f'<i name="e_0_energy">{e0}</i></energy></scstep>' for fr, e0 in energies)


def parameter_items(names_values):
    return "".join(f'<i type="int" name="{name}">{value}</i>' if isinstance(value, int)
                   else f'<i name="{name}">{value}</i>' for name, value in names_values.items())


def run_with(write_xml, run_xml, *, incar="", parameters=None, calculations=None, nsteps=1, nsc=3):
    if calculations is None:
        calculations = [run_xml.calculation(body=scsteps(*[(-1.0, -1.0)] * nsc)) for _ in range(nsteps)]
    return Vasprun(write_xml(run_xml.document(incar=incar, parameters=parameters, calculations=calculations)))


# ------------------------------------------------------------------ INCAR and parameters

@pytest.mark.parametrize("entry, value", [
    ('<v name="MAGMOM">1.0 ****** 2.0</v>', [1.0, math.nan, 2.0]),     # stays aligned with the atoms
    ('<v type="int" name="LDAUL">2 0</v>', [2.0, 0.0]),               # floats also for type int
    ('<v name="EFIELD_PEAD">0.5</v>', [0.5]),                         # a list also with one number
    ('<v type="logical" name="LC">T T F</v>', "T T F"),               # no number at all: the text
    ('<v name="EMPTY"/>', ""),
    ('<v>1 2</v>', None),                                             # no name: skipped
])
def test_incar_vectors(write_xml, run_xml, entry, value):
    incar = run_with(write_xml, run_xml, incar=entry).incar
    if value is None:
        assert incar == {}
        return
    (got,) = incar.values()
    if isinstance(value, list):
        assert type(got) is list and np.array_equal(np.array(got), np.array(value), equal_nan=True)
    else:
        assert got == value


def test_parameters_flatten_separators_in_first_position_order(write_xml, run_xml):
    parameters = ('<i type="int" name="NELM">60</i>'
                  '<separator name="electronic"><i type="string" name="PREC">accurate</i>'
                  '<separator name="a"><separator name="b"><v name="KPOINT_BSE">-1 0 0 0</v>'
                  '<i type="int" name="NSW">5</i><i type="int" name="NELM">70</i></separator></separator>'
                  '<i name="EDIFF">1e-6</i><i type="int" name="NSW">x</i></separator>'
                  '<separator name="response functions"><i type="int" name="NELM">1</i>'
                  '<separator name="nested"><i type="int" name="ISPIN">2</i><i name="PREC">low</i></separator>'
                  '</separator><i type="logical" name="LEPSILON">T</i><i/>')
    got = run_with(write_xml, run_xml, parameters=parameters).parameters
    # later entries replace earlier ones in place, except under "response functions"
    assert list(got.items()) == [("NELM", 70), ("PREC", "accurate"), ("KPOINT_BSE", [-1.0, 0.0, 0.0, 0.0]),
                                 ("NSW", "x"), ("EDIFF", 1e-6), ("ISPIN", 2), ("LEPSILON", True)]
    assert run_with(write_xml, run_xml).parameters == {}


def test_parameters_nested_deeply_cost_no_recursion(write_xml, run_xml):
    depth = 200_000
    nested = '<separator name="x">' * depth + '<i type="int" name="NSW">3</i>' + "</separator>" * depth
    assert run_with(write_xml, run_xml, parameters=nested).parameters == {"NSW": 3}


# ------------------------------------------------------------------ convergence

@pytest.mark.parametrize("incar, parameters, nsc, only_these, expected", [
    ("", parameter_items({"NELM": 5}), 4, False, True),
    ("", parameter_items({"NELM": 5}), 5, False, False),
    ("", None, 59, False, True),                                                  # NELM defaults to 60
    ("", None, 60, False, False),
    ("", '<i type="int" name="NELM">many</i>', 60, False, False),                 # not a number: 60
    ('<i type="logical" name="ML_LMLFF">T</i>', parameter_items({"NELM": 2}), 9, False, True),
    ('<i type="string" name="ML_LMLFF">T</i>', parameter_items({"NELM": 2}), 9, False, False),  # only logical
    ('<i type="string" name="ALGO">CHI</i>', parameter_items({"NELM": 2}), 9, False, True),
    ('<i type="string" name="ALGO">Exact</i><i type="int" name="NELM">1</i>', parameter_items({"NELM": 1}), 9,
     False, True),
    ('<i type="string" name="ALGO">Exact</i>', parameter_items({"NELM": 1}), 9, False, False),
    # linear response: the steps after the first that hold only the three energies are not counted
    ('<i type="logical" name="LEPSILON">T</i>', parameter_items({"NELM": 4}), 3, True, False),
    ('<i type="logical" name="LEPSILON">T</i>', parameter_items({"NELM": 4}), 5, True, True),
    ('<i type="logical" name="LEPSILON">T</i>', parameter_items({"NELM": 2}), 5, False, False),
])
def test_converged_electronic(write_xml, run_xml, incar, parameters, nsc, only_these, expected):
    calculation = run_xml.calculation(body=scsteps(*[(-1.0, -1.0)] * nsc, only_these=only_these))
    run = run_with(write_xml, run_xml, incar=incar, parameters=parameters, calculations=[calculation])
    assert run.converged_electronic is expected


def test_converged_electronic_without_kept_steps(write_xml, run_xml):
    assert run_with(write_xml, run_xml, nsteps=0).converged_electronic is False
    calcs = [run_xml.calculation(body=scsteps((-1.0, -1.0)))] * 2
    path = write_xml(run_xml.document(calculations=calcs))
    assert Vasprun(path, ionic_step_offset=2).converged_electronic is False


@pytest.mark.parametrize("values, nsteps, expected", [
    ({"NSW": 10, "IBRION": 2, "EDIFFG": -0.01}, 4, True),
    ({"NSW": 10, "IBRION": 2, "EDIFFG": -0.01}, 10, False),     # stopped by NSW
    ({"NSW": 1, "IBRION": 2}, 1, True),
    ({}, 1, True),                                               # NSW 0: single point
    ({"NSW": 10, "IBRION": 0}, 10, True),                        # molecular dynamics runs all NSW steps
    ({"NSW": 10, "IBRION": 0}, 9, False),
    ({"NSW": 10, "IBRION": 1, "EDIFFG": 0.0}, 10, True),         # no force criterion: all NSW steps
    ({"NSW": 10, "IBRION": 2, "EDIFFG": 0.0}, 4, False),
    ({"NSW": 10}, 10, True),                                     # IBRION missing with NSW > 1: 0
    ({"NSW": 10, "EDIFFG": "none"}, 3, False),
])
def test_converged_ionic(write_xml, run_xml, values, nsteps, expected):
    run = run_with(write_xml, run_xml, parameters=parameter_items(values), nsteps=nsteps)
    assert run.converged_ionic is expected


def test_converged_ionic_counts_every_step_of_the_file(write_xml, run_xml):
    calcs = [run_xml.calculation(body=scsteps((-1.0, -1.0))) for _ in range(10)]
    path = write_xml(run_xml.document(parameters=parameter_items({"NSW": 10, "IBRION": 2}), calculations=calcs))
    assert Vasprun(path).converged_ionic is False
    assert Vasprun(path, ionic_step_offset=8, ionic_step_skip=3).converged_ionic is False


# ------------------------------------------------------------------ final energy and electronic steps

def test_final_energy_mends_the_vasp5_fault(write_xml, run_xml):
    # the step writes e_fr -1.5 and e_0 -1.0; its last electronic step says e_0 - e_fr = -0.25
    broken = run_xml.calculation(e_fr="-1.5", body=scsteps((-3.0, -3.1), (-1.5, -1.75)))
    run = run_with(write_xml, run_xml, calculations=[broken])
    assert run.final_energy == -1.75 and run.ionic_steps[-1]["e_0_energy"] == -1.0
    clean = run_xml.calculation(e_fr="-1.5", body=scsteps((-1.5, -1.0)))
    assert run_with(write_xml, run_xml, calculations=[clean]).final_energy == -1.0
    assert run_with(write_xml, run_xml, calculations=[run_xml.calculation()]).final_energy == -1.0  # no scsteps
    assert run_with(write_xml, run_xml, nsteps=0).final_energy is None


def test_final_energy_rounds_as_numpy_does(write_xml, run_xml):
    # correctly rounded this is ...113, scaled by 1e8 and rounded (NumPy's way) ...114
    broken = run_xml.calculation(e_fr="-6.4182011349999994", body=scsteps((-1.0, -1.0)))
    energy = run_with(write_xml, run_xml, calculations=[broken]).final_energy
    assert energy == float(np.round(-6.4182011349999994, 8)) == -6.41820114 != round(-6.4182011349999994, 8)


def test_electronic_steps_follow_the_kept_ionic_steps(write_xml, run_xml):
    calcs = [run_xml.calculation(body=scsteps(*[(-float(i), -float(i) - 0.5)] * (i + 1))) for i in range(4)]
    path = write_xml(run_xml.document(calculations=calcs))
    steps = Vasprun(path, ionic_step_offset=1, ionic_step_skip=2).electronic_steps
    assert [a.shape for a in steps] == [(2, 3), (4, 3)] and all(a.dtype == np.float64 for a in steps)
    assert steps[1][-1].tolist() == [-3.0, -3.0, -3.5]


# ------------------------------------------------------------------ band edges

def eigenvalue_calculation(run_xml, *spins):
    """A calculation with eigenvalues: spins of k-points of (energy, occupancy) rows."""
    body = "".join("<set>" + "".join("<set>" + "".join(f"<r>{e} {o}</r>" for e, o in k) + "</set>" for k in s)
                   + "</set>" for s in spins)
    return run_xml.calculation(body=f"<eigenvalues><array><set>{body}</set></array></eigenvalues>")


@pytest.mark.parametrize("spins, expected", [
    # insulator, indirect: VBM at k0, CBM at k1
    ([[[(-1.0, 1.0), (2.0, 0.0)], [(-1.5, 1.0), (1.5, 0.0)]]], dict(gap=2.5, cbm=1.5, vbm=-1.0, direct=False)),
    # metal: a band crosses, the gap is 0
    ([[[(-1.0, 1.0), (0.2, 0.5)], [(-0.5, 1.0), (0.1, 0.0)]]], dict(gap=0.0, cbm=0.1, vbm=0.2, direct=False)),
    # spin-split: the edges come from different spins at one k-point
    ([[[(-1.0, 1.0), (3.0, 0.0)]], [[(-0.5, 1.0), (1.0, 0.0)]]], dict(gap=1.5, cbm=1.0, vbm=-0.5, direct=True)),
    # occupancies at or below 1e-8 are empty, NaN ones ignored
    ([[[(-1.0, 1e-8), (0.5, "nan"), (2.0, 2e-8)]]], dict(gap=0.0, cbm=-1.0, vbm=2.0, direct=True)),
    ([[[(-1.0, 1.0), (-0.5, 1.0)]]], dict(gap=math.inf, cbm=math.inf, vbm=-0.5, direct=False)),
])
def test_band_gap(write_xml, run_xml, spins, expected):
    run = Vasprun(write_xml(run_xml.document(calculations=[eigenvalue_calculation(run_xml, *spins)])))
    assert run.band_gap == expected


FULL = [1.0, 1.0, 0.0]


@pytest.mark.parametrize("energies, occupancies, expected", [
    # VBM and CBM at the second k-point
    ([[[-2, 0, 2], [-2, 0.5, 1.5]]], [[FULL, FULL]], {"gap": 1.0, "vbm": 0.5, "cbm": 1.5, "direct": True}),
    # VBM at the second k-point, CBM at the first
    ([[[-2, 0, 1.25], [-2, 0.5, 1.5]]], [[FULL, FULL]], {"gap": 0.75, "vbm": 0.5, "cbm": 1.25, "direct": False}),
    # the down channel lies lower: the gap is between the channels
    ([[[-2, 0, 2]], [[-2.5, -0.5, 1.0]]], [[FULL], [FULL]], {"gap": 1.0, "vbm": 0.0, "cbm": 1.0, "direct": True}),
    # a tiny occupancy still counts, and occupied states above empty ones close the gap
    ([[[-2, 0, 2], [-2, 3, 1]]], [[FULL, [1, 1e-7, 0]]], {"gap": 0.0, "vbm": 3.0, "cbm": 1.0, "direct": True}),
    # a NaN occupancy (or energy) says nothing either way
    ([[[-2, 5, 2]]], [[[1, math.nan, 0]]], {"gap": 4.0, "vbm": -2.0, "cbm": 2.0, "direct": True}),
    ([[[-2, math.nan, 2]]], [[[1, 1, 0]]], {"gap": 4.0, "vbm": -2.0, "cbm": 2.0, "direct": True}),
    # nothing occupied
    ([[[-2, 0, 2]]], [[[0, 0, 0]]], {"gap": math.inf, "vbm": -math.inf, "cbm": -2.0, "direct": False}),
])
def test_band_gap_over_spins_and_kpoints(write_xml, run_xml, energies, occupancies, expected):
    spins = [[list(zip(k_e, k_o)) for k_e, k_o in zip(s_e, s_o)] for s_e, s_o in zip(energies, occupancies)]
    run = Vasprun(write_xml(run_xml.document(calculations=[eigenvalue_calculation(run_xml, *spins)])))
    assert run.band_gap == expected


def test_band_gap_needs_eigenvalues(write_xml, run_xml, sample_path):
    assert run_with(write_xml, run_xml).band_gap is None
    assert Vasprun(sample_path, parse_eigen=False).band_gap is None


# ------------------------------------------------------------------ killed runs

@pytest.mark.parametrize("offset, skip", [(0, None), (1, 2), (5, None)])
def test_a_relaxation_cut_after_its_third_calculation(generate, write_xml, offset, skip):
    with open(generate(steps=5), encoding="utf-8") as f:
        text = f.read()
    end = 0
    for _ in range(3):
        end = text.index("</calculation>", end) + len("</calculation>")
    full = Vasprun(write_xml(text))
    cut = Vasprun(write_xml(text[:end], "cut.xml"), ionic_step_offset=offset, ionic_step_skip=skip)
    assert full.complete is True and cut.complete is False
    assert cut.final_structure == full.ionic_steps[2]["structure"] != full.initial_structure
    assert cut.ionic_steps == full.ionic_steps[:3][offset::skip]


def test_a_run_without_steps_ends_where_it_started(write_xml, run_xml):
    run = run_with(write_xml, run_xml, nsteps=0)
    assert run.final_structure == run.initial_structure and run.complete is True

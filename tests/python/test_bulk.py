"""Bulk data properties: eigenvalues, projections, density of states and dielectric function."""

import re

import numpy as np
import pytest

import quorvel

Vasprun = quorvel.Vasprun


def arrays_of(value):
    if isinstance(value, dict):
        return [a for item in value.values() for a in arrays_of(item)]
    return [value] if isinstance(value, np.ndarray) else []


@pytest.fixture
def full_run(sample_path):
    return Vasprun(sample_path, parse_projected=True)


def test_sample_bulk_sections(sample_path, full_run):
    shape = full_run.eigenvalue_shape
    assert type(shape) is tuple and all(type(n) is int for n in shape) and shape == (2, 10, 16)
    assert full_run.eigenvalues.shape == shape + (2,) and Vasprun(sample_path).projected is None
    assert list(full_run.projected) == ["data", "orbitals"] and full_run.projected["data"].shape == shape + (4, 9)
    assert full_run.projected["orbitals"] == ["s", "py", "pz", "px", "dxy", "dyz", "dz2", "dxz", "x2-y2"]
    dos, nedos = full_run.dos, len(full_run.dos["total"]["energies"])
    assert list(dos) == ["efermi", "total", "partial"] and type(full_run.efermi) is float
    assert dos["efermi"] == full_run.efermi and list(dos["total"]) == ["energies", "densities", "integrated"]
    assert dos["total"]["energies"].shape == (nedos,) and nedos > 1
    assert dos["total"]["densities"].shape == dos["total"]["integrated"].shape == (2, nedos)
    assert list(dos["partial"]) == ["data", "orbitals"] and dos["partial"]["data"].shape == (2, 4, 9, nedos)
    assert list(full_run.dielectric) == ["energies", "real", "imag"]
    assert full_run.dielectric["energies"].shape == (150,)
    assert full_run.dielectric["real"].shape == full_run.dielectric["imag"].shape == (150, 6)


@pytest.mark.parametrize("kwargs, absent", [
    ({"parse_dos": False}, {"dos", "efermi"}),
    ({"parse_eigen": False}, {"eigenvalues", "eigenvalue_shape"}),
    ({"parse_projected": False}, {"projected"}),
    ({"parse_dos": False, "parse_eigen": False, "parse_projected": False, "ionic_step_offset": 9},
     {"dos", "efermi", "eigenvalues", "eigenvalue_shape", "projected"}),
])
def test_options_switch_sections_off_but_never_the_dielectric(sample_path, kwargs, absent):
    run = Vasprun(sample_path, **{"parse_projected": True, **kwargs})
    bulk = ("eigenvalues", "eigenvalue_shape", "projected", "efermi", "dos", "dielectric")
    assert {name for name in bulk if getattr(run, name) is None} == absent


def test_last_calculation_with_a_section_wins(write_xml, run_xml):
    calcs = [run_xml.calculation(body=run_xml.eigenvalues(-1.0, 2.0) + run_xml.dos(1.25, 0.0)),
             run_xml.calculation(body=run_xml.eigenvalues(-3.0, 4.0, 5.0)),
             run_xml.calculation(structure=False, body=run_xml.dos(2.5, 1.0, 2.0))]
    run = Vasprun(write_xml(run_xml.document(calculations=calcs)))
    assert len(run.ionic_steps) == 2 and run.eigenvalue_shape == (1, 1, 3)
    assert run.eigenvalues[0, 0, :, 0].tolist() == [-3.0, 4.0, 5.0]
    assert run.efermi == run.dos["efermi"] == 2.5 and run.dos["total"]["energies"].tolist() == [1.0, 2.0]
    calcs = [run_xml.calculation(body=run_xml.dos(None, 0.0))]
    no_fermi = Vasprun(write_xml(run_xml.document(calculations=calcs), "no-fermi.xml"))
    assert type(no_fermi.efermi) is float and no_fermi.efermi == no_fermi.dos["efermi"] == 0.0
    assert list(no_fermi.dos) == ["efermi", "total"] and no_fermi.dielectric is None


def test_last_calculation_wins_in_generated_files(generate, write_xml):
    text = open(generate(steps=4, bulk_every_step=True, dos=True, seed=3), encoding="latin-1").read()
    blocks = re.findall(r"<eigenvalues>.*?</eigenvalues>", text, re.S)
    head, tail = text.rsplit(blocks[-1], 1)  # earlier calculations get other occupancies
    head, count = re.subn(r"(<r>\s*\S+\s+)1\.0000", r"\g<1>0.2500", head)
    assert len(blocks) == 4 and count > 0
    marked = write_xml(head + blocks[-1] + tail, "marked.xml")
    last_only = Vasprun(generate(steps=4, bulk_every_step=False, dos=True, seed=3))
    for options in ({}, {"ionic_step_offset": 1, "ionic_step_skip": 2}, {"ionic_step_offset": 9}):
        assert np.array_equal(Vasprun(marked, **options).eigenvalues, last_only.eigenvalues)


@pytest.mark.parametrize("name, count", [("eigenvalues", 1), ("projected", 1), ("dos", 4), ("dielectric", 3)])
def test_bulk_arrays_are_fresh_float64_c_order_writeable(full_run, name, count):
    first, second = getattr(full_run, name), getattr(full_run, name)
    assert len(arrays_of(first)) == len(arrays_of(second)) == count
    for a, b in zip(arrays_of(first), arrays_of(second)):
        assert a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable
        assert type(a.base).__name__ == "PySliceContainer" and not np.shares_memory(a, b)
        expected = b.copy()
        a[...] = -12345.0
        assert np.array_equal(b, expected)
    assert not any((c == -12345.0).all() for c in arrays_of(getattr(full_run, name)))
    if isinstance(first, dict):
        first.clear()
        assert getattr(full_run, name) and getattr(full_run, name) is not second

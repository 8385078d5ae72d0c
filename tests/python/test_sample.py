"""The bundled sample read end to end."""

import numpy as np

import quorvel


def test_sample_reads_completely(sample_path):
    run = quorvel.Vasprun(sample_path, parse_projected=True)
    assert (run.program, run.version) == ("vasp", "6.4.2")
    assert run.atoms == ["Fe", "Fe", "O", "O"]
    assert sum(t["count"] for t in run.atom_types) == len(run.atoms)
    assert len(run.ionic_steps) == 3 and run.converged
    nspins, nkpts, nbands = run.eigenvalue_shape
    assert run.eigenvalues.shape == (nspins, nkpts, nbands, 2)
    assert nkpts == len(run.kpoints["weights"])
    assert run.projected["data"].shape == (nspins, nkpts, nbands, len(run.atoms), 9)
    assert run.dos["partial"]["data"].shape[:3] == (nspins, len(run.atoms), 9)
    assert run.dielectric["imag"].shape[1] == 6
    assert np.isclose(run.efermi, run.dos["efermi"])

"""Vasprun.trajectory: the kept ionic steps as arrays, to the bit what `ionic_steps` and
`electronic_steps` give, with NaN (False for flags) where a step did not write a value."""

import math
import pickle

import numpy as np
import pytest

import quorvel
from conftest import corpus_files

NAN = math.nan
KEYS = ["lattice", "positions", "positions_written", "volume", "forces", "forces_written", "stress",
        "stress_written", "e_fr_energy", "e_wo_entrp", "e_0_energy", "last_electronic_e_fr_energy",
        "last_electronic_e_wo_entrp", "last_electronic_e_0_energy", "electronic_step_count", "selective",
        "selective_written", "magnetization", "magnetization_columns"]
READABLE = [p for p in corpus_files() if not p.name.startswith(("not-", "truncated-in-param"))]


def _rows(block, count, width=3):
    """(count, width) of a step's rows, NaN unless it has `count` rows of `width`."""
    if len(block) != count or any(len(row) != width for row in block):
        return np.full((count, width), NAN), False
    return np.array(block, dtype=np.float64).reshape(count, width), True


def _magnetization(rows, natoms):
    if rows is None or len(rows) != natoms or natoms == 0:
        return np.full((natoms, 3), NAN), 0
    widths = {len(row) for row in rows}
    if len(widths) != 1 or not 1 <= min(widths) <= 3:
        return np.full((natoms, 3), NAN), -1
    width = widths.pop()
    return np.array([list(row) + [NAN] * (3 - width) for row in rows], dtype=np.float64), width


def expected(run):
    """The trajectory made from the lists of `ionic_steps` and `electronic_steps`."""
    steps, electronic = run.ionic_steps, run.electronic_steps
    natoms, count = len(run.atoms), len(steps)
    values = {key: [] for key in KEYS}
    for step, energies in zip(steps, electronic):
        structure = step["structure"]
        values["lattice"].append(np.array(structure["lattice"], dtype=np.float64))
        positions, written = _rows(structure["positions"], natoms)
        values["positions"].append(positions)
        values["positions_written"].append(written)
        values["volume"].append(structure["volume"])
        forces, written = _rows(step["forces"], natoms)
        values["forces"].append(forces)
        values["forces_written"].append(written)
        values["stress"].append(np.array(step["stress"], dtype=np.float64) if step["stress_written"]
                                else np.full((3, 3), NAN))
        values["stress_written"].append(step["stress_written"])
        for name in ("e_fr_energy", "e_wo_entrp", "e_0_energy"):
            values[name].append(step[name])
        last = energies[-1] if len(energies) else [NAN] * 3
        for column, name in enumerate(("e_fr_energy", "e_wo_entrp", "e_0_energy")):
            values["last_electronic_" + name].append(last[column])
        values["electronic_step_count"].append(len(energies))
        flags = structure.get("selective")
        written = flags is not None and len(flags) == natoms
        values["selective"].append(np.array(flags, dtype=bool).reshape(natoms, 3) if written
                                   else np.zeros((natoms, 3), dtype=bool))
        values["selective_written"].append(written)
        magnetization, width = _magnetization(step.get("magnetization"), natoms)
        values["magnetization"].append(magnetization)
        values["magnetization_columns"].append(width)
    shapes = {"lattice": (3, 3), "stress": (3, 3), "positions": (natoms, 3), "forces": (natoms, 3),
              "selective": (natoms, 3), "magnetization": (natoms, 3)}
    types = {"selective": bool, "electronic_step_count": np.int64, "magnetization_columns": np.int64}
    types.update((key, bool) for key in KEYS if key.endswith("_written"))
    return {key: np.array(items, dtype=types.get(key, np.float64)).reshape((count,) + shapes.get(key, ()))
            for key, items in values.items()}


def assert_bitwise(trajectory, wanted):
    assert list(trajectory) == KEYS
    for key in KEYS:
        got, want = trajectory[key], wanted[key]
        assert (got.dtype, got.shape) == (want.dtype, want.shape), key
        assert got.flags.c_contiguous, key
        assert got.tobytes() == want.tobytes(), key


@pytest.mark.parametrize("options", [
    dict(steps=5),
    dict(steps=4, species="Fe:2,O:3", spins=2, magnetization=True, selective=True),
    dict(steps=6, md=True, md_energies=True, ml_steps=3, stress=False),
    dict(steps=3, scstep_asterisks=True, pstress=5.0),
    dict(steps=1, scsteps=1),
], ids=repr)
def test_generated_runs_equal_the_lists(generate, options):
    run = quorvel.Vasprun(generate(**options))
    assert_bitwise(run.trajectory, expected(run))
    skipped = quorvel.Vasprun(generate(**options), ionic_step_skip=2, ionic_step_offset=1)
    assert_bitwise(skipped.trajectory, expected(skipped))


def test_a_run_without_steps_has_empty_rows(write_xml, run_xml):
    run = quorvel.Vasprun(write_xml(run_xml.document(atoms=("Si", "O", "O"))))
    trajectory = run.trajectory
    assert run.ionic_steps == [] and list(trajectory) == KEYS
    assert trajectory["positions"].shape == trajectory["forces"].shape == (0, 3, 3)
    assert trajectory["lattice"].shape == trajectory["stress"].shape == (0, 3, 3)
    assert trajectory["selective"].shape == (0, 3, 3) and trajectory["volume"].shape == (0,)
    assert_bitwise(trajectory, expected(run))


def test_values_a_step_did_not_write(write_xml, run_xml):
    without_forces = run_xml.calculation(natoms=2).replace(
        '<varray name="forces"><v>0.1 0.2 0.3</v><v>0.1 0.2 0.3</v></varray>', "")
    calculations = [run_xml.calculation(natoms=2, magnetization=["1.5", "-0.5"]),
                    without_forces,
                    run_xml.calculation(natoms=2, magnetization=["0 0 1", "0 1 0"]),
                    run_xml.calculation(natoms=2, magnetization=["1 2", "3"]),
                    run_xml.calculation(natoms=2, magnetization=["1 2 3 4", "5 6 7 8"])]
    run = quorvel.Vasprun(write_xml(run_xml.document(atoms=("Si", "Si"), calculations=calculations)))
    trajectory = run.trajectory
    assert trajectory["forces_written"].tolist() == [True, False, True, True, True]
    assert np.isnan(trajectory["forces"][1]).all()
    assert trajectory["magnetization_columns"].tolist() == [1, 0, 3, -1, -1]
    assert trajectory["electronic_step_count"].tolist() == [0] * 5
    assert np.isnan(trajectory["last_electronic_e_0_energy"]).all()
    assert_bitwise(trajectory, expected(run))


def test_every_read_is_fresh(generate):
    run = quorvel.Vasprun(generate(steps=3))
    first, second = run.trajectory, run.trajectory
    assert first is not second
    for key in KEYS:
        assert not np.shares_memory(first[key], second[key]), key
    first["forces"][:] = 0.0
    assert not (run.trajectory["forces"] == 0.0).all()


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_pickled_runs_give_the_same_trajectory(generate, protocol):
    run = quorvel.Vasprun(generate(steps=4, species="Fe:2,O:3", spins=2, magnetization=True, selective=True))
    back = pickle.loads(pickle.dumps(run, protocol=protocol))
    assert_bitwise(back.trajectory, expected(run))


@pytest.mark.skipif(not READABLE, reason="no ../shared/corpus")
@pytest.mark.parametrize("path", READABLE, ids=lambda p: p.name)
def test_corpus_runs_equal_the_lists(path):
    run = quorvel.Vasprun(str(path))
    assert_bitwise(run.trajectory, expected(run))
    back = pickle.loads(pickle.dumps(run))
    assert_bitwise(back.trajectory, expected(run))

"""The type stub of the installed package, checked by mypy on small typed usage files."""

import pathlib

import pytest

mypy_api = pytest.importorskip("mypy.api")

PACKAGE_SOURCE = pathlib.Path(__file__).resolve().parents[2] / "python" / "quorvel"

USAGE = '''
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

import quorvel

if TYPE_CHECKING:
    from quorvel import AtomType, BandGap, Dos, IonicStep, Kpoints, Projected, Structure


def summary(path: str) -> tuple[str, int, float | None]:
    run = quorvel.Vasprun(path, parse_dos=True, parse_projected=False, ionic_step_skip=None)
    steps: list[IonicStep] = run.ionic_steps
    last: Structure = run.final_structure
    types: list[AtomType] = run.atom_types
    kpoints: Kpoints = run.kpoints
    weights: npt.NDArray[np.float64] = kpoints["weights"]
    divisions: list[int] | None = kpoints.get("divisions")
    energy = steps[-1]["e_fr_energy"] if steps else None
    magnetization = steps[-1].get("magnetization") if steps else None
    return last["species"][0] + types[0]["element"], len(weights) + len(divisions or []), energy


def bulk(run: quorvel.Vasprun) -> float:
    dos: Dos | None = run.dos
    projected: Projected | None = run.projected
    shape: tuple[int, int, int] | None = run.eigenvalue_shape
    total = 0.0 if dos is None else float(dos["total"]["densities"].sum())
    if dos is not None and "partial" in dos:
        total += float(dos["partial"]["data"].sum())
    if projected is not None:
        total += len(projected["orbitals"])
    return total + (run.efermi or 0.0) + (shape[0] if shape else 0) + run.converged


def opened(path: str) -> str:
    try:
        return quorvel.Vasprun(path).program
    except quorvel.MissingElementError as error:
        return error.element + str(error.offset or 0)
    except quorvel.ShapeMismatchError as error:
        return str(sum(error.expected) - sum(error.got))
    except quorvel.IoError as error:
        return f"{error.errno} {error.strerror} {error.filename!r}"
    except FileNotFoundError as error:
        return str(error.errno)
    except quorvel.ParseError as error:
        return str(error)


def checks(run: quorvel.Vasprun) -> float:
    gap: BandGap | None = run.band_gap
    steps: list[npt.NDArray[np.float64]] = run.electronic_steps
    nelm = run.parameters.get("NELM", 60)
    energy: float | None = run.final_energy
    flags: list[bool] = [run.converged_electronic, run.converged_ionic, run.complete]
    return (gap["gap"] if gap else 0.0) + len(steps) + (energy or 0.0) + sum(flags) + (nelm if isinstance(nelm, int) else 0)
'''

WRONG = '''
import quorvel

run = quorvel.Vasprun("run.xml")
count: int = run.program
'''


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict on source texts or files; one cache for the module's tests."""
    folder = tmp_path_factory.mktemp("mypy")

    def run(text=None, name="usage.py", path=None):
        if path is None:
            path = folder / name
            path.write_text(text)
        out, err, status = mypy_api.run(["--strict", "--no-error-summary", "--cache-dir", str(folder / "cache"),
                                         str(path)])
        return out + err, status

    return run


def test_typed_usage_passes(mypy):
    output, status = mypy(USAGE)
    assert status == 0, output


def test_a_wrong_assignment_is_rejected(mypy):
    output, status = mypy(WRONG, name="wrong.py")
    assert status == 1
    assert 'wrong.py:5: error: Incompatible types in assignment (expression has type "str", variable has type "int")' \
        in output


COMMAND_USAGE = '''
import quorvel.cli
from quorvel.cli.files import expand_arguments

paths, problems = expand_arguments(["runs"])
status: int = quorvel.cli.main(["info", *paths])
'''


def test_the_package_type_checks(mypy):
    output, status = mypy(path=PACKAGE_SOURCE)
    assert status == 0, output


def test_a_script_using_the_command_type_checks(mypy):
    output, status = mypy(COMMAND_USAGE, name="command.py")
    assert status == 0, output

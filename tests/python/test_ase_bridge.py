"""quorvel.ase.read against ASE's own vasp-xml reader, image by image.

Every corpus file ASE reads, and generated files: symbols, positions, cell,
pbc, constraints, and the single-point calculator's results, Fermi energy,
k-points, eigenvalues and parameters, equal to the bit (see peer_equality).
Where ASE is wrong the difference is listed in the README and in
ASE_IS_WRONG; what waits for newer properties of the reader is marked
"needs <property>"."""

from __future__ import annotations

import functools
import pathlib
import pickle
import subprocess
import sys
import warnings
from typing import Any

import numpy as np
import pytest

pytest.importorskip("ase.io")

import ase.io  # noqa: E402
from ase.calculators.calculator import PropertyNotImplementedError  # noqa: E402

from conftest import CORPUS, corpus_files, gen_vasprun  # noqa: E402
from peer_equality import differences  # noqa: E402

import quorvel.ase  # noqa: E402

FIELDS = ["symbols", "positions", "cell", "pbc", "constraints", "info", "arrays", "results", "eFermi",
          "ibz_kpts", "bz_kpts", "bz2ibz", "kpts", "parameters", "divisions", "name"]

# The parameters are compared without what quorvel does not read (the k-point generation but for its
# divisions, the integer type of vector values), and without the names VASP writes again in its
# response-function sections, where ASE takes the last value and quorvel the main one (see the README).
REPEATED_IN_RESPONSE_SECTIONS = {"nelm", "cshift", "omegamax", "lrpa"}

NEEDS: dict[str, dict[str, str]] = {
    "ml-md-velocities.xml.gz": {"eFermi": "the calculation the DOS comes from (not read)"},
}

# Where the reader keeps less than ASE, by design (see the README).
LESS_BY_DESIGN: dict[str, dict[str, str]] = {
    "truncated-in-dos.xml": {"eFermi": "quorvel keeps nothing of a DOS the end of the file cuts, its Fermi energy "
                                       "included"},
}

ASE_IS_WRONG: dict[str, dict[str, str]] = {
    "relax-3steps-max-force.xml": {"symbols": "ASE keeps VASP's \"X\" for xenon (its dummy atom); the POTCAR says Xe"},
    "selective-dynamics.xml.gz": {"constraints": "ASE takes selective-dynamics flags from the initial structure only; "
                                                 "VASP 5.2 writes them in the final one"},
    "kpoints-opt-two-dos.xml": {
        field: "ASE attaches the KPOINTS_OPT set to the main eigenvalues" for field in ("eFermi", "ibz_kpts", "kpts",
                                                                                      "divisions")},
}


def _fields(atoms: Any) -> dict[str, Any]:
    calculator = atoms.calc
    parameters = {name: [float(x) for x in value] if isinstance(value, list) else value
                  for name, value in calculator.parameters.items()
                  if name not in REPEATED_IN_RESPONSE_SECTIONS and name != "kpoints_generation"}
    generation = calculator.parameters.get("kpoints_generation", {})
    return {
        # the divisions of a line-mode path (one number) are not read by quorvel
        "divisions": generation.get("divisions") if isinstance(generation.get("divisions"), list) else None,
        "symbols": atoms.get_chemical_symbols(), "positions": atoms.positions, "cell": atoms.cell[:],
        "pbc": atoms.pbc, "constraints": [constraint.todict() for constraint in atoms.constraints],
        "info": atoms.info, "arrays": sorted(atoms.arrays), "results": calculator.results,
        "eFermi": calculator.eFermi, "ibz_kpts": calculator.ibz_kpts, "bz_kpts": calculator.bz_kpts,
        "bz2ibz": calculator.bz2ibz, "name": calculator.name, "parameters": parameters,
        "kpts": None if calculator.kpts is None else
        [(k.s, k.k, k.weight, k.eps_n, k.f_n) for k in calculator.kpts],
    }


@functools.lru_cache(maxsize=None)
def _theirs(path: str) -> list[dict[str, Any]]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return [_fields(atoms) for atoms in ase.io.read(path, ":", format="vasp-xml")]


def _reads(path: pathlib.Path) -> bool:
    try:
        _theirs(str(path))
    except Exception:  # ASE fails on this file: nothing to compare
        return False
    return True


def _cases() -> list[Any]:
    cases = []
    for path in corpus_files():
        if not _reads(path):
            continue
        for field in FIELDS:
            marks: list[Any] = []
            if field in NEEDS.get(path.name, {}):
                marks = [pytest.mark.xfail(reason=f"needs {NEEDS[path.name][field]}", strict=True)]
            elif field in ASE_IS_WRONG.get(path.name, {}):
                marks = [pytest.mark.skip(reason=ASE_IS_WRONG[path.name][field])]
            elif field in LESS_BY_DESIGN.get(path.name, {}):
                marks = [pytest.mark.skip(reason=LESS_BY_DESIGN[path.name][field])]
            cases.append(pytest.param(str(path), field, marks=marks, id=f"{path.name}-{field}"))
    return cases


def _compare(path: str, field: str) -> None:
    ours = [_fields(atoms) for atoms in quorvel.ase.read(path, ":")]
    theirs = _theirs(path)
    assert len(ours) == len(theirs)
    for index, (mine, other) in enumerate(zip(ours, theirs)):
        found = differences(mine[field], other[field], f"image {index} {field}")
        assert not found, "\n".join(found[:10])


@pytest.mark.parametrize(("path", "field"), _cases())
def test_corpus_image_equals_ase(path: str, field: str) -> None:
    _compare(path, field)


GENERATED = {
    "spin2-projected-magnetisation": dict(spins=2, projected=True, dos=True, steps=3, magnetization=True, kpoints=6),
    "monkhorst-relax": dict(scheme="Monkhorst-Pack", steps=5, species="Fe:2,O:3"),
    "line-mode-541": dict(labels=True, kpoints=12, vasp_version="5.4.1", dos=True),
}


@pytest.fixture(scope="module")
def generated(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    folder = tmp_path_factory.mktemp("generated")
    paths = {}
    for name, options in GENERATED.items():
        paths[name] = str(folder / f"{name}.xml")
        gen_vasprun.write_vasprun(paths[name], **options)
    return paths


@pytest.mark.parametrize("name", list(GENERATED))
def test_generated_file_equals_ase(generated: dict[str, str], name: str) -> None:
    for field in FIELDS:
        _compare(generated[name], field)


@pytest.mark.parametrize("index", [-1, 0, 1, -2, ":", "1:", "::2", "-2:", slice(None), slice(0, 3, 2)])
def test_index_forms(generated: dict[str, str], index: Any) -> None:
    path = generated["monkhorst-relax"]
    ours, theirs = quorvel.ase.read(path, index), ase.io.read(path, index, format="vasp-xml")
    assert type(ours) is type(theirs)
    if isinstance(ours, list):
        assert not differences([_fields(a) for a in ours], [_fields(a) for a in theirs])
    else:
        assert not differences(_fields(ours), _fields(theirs))


def test_registered_with_ase(generated: dict[str, str]) -> None:
    path = generated["monkhorst-relax"]
    ours = ase.io.read(path, ":", format="quorvel-vasp-xml")
    assert not differences([_fields(a) for a in ours], _theirs(path))
    last = ase.io.read(path, format="quorvel-vasp-xml")
    assert not differences(_fields(last), _theirs(path)[-1])


def test_ase_convert_uses_it(generated: dict[str, str], tmp_path: pathlib.Path) -> None:
    out = tmp_path / "out.traj"
    subprocess.run([sys.executable, "-m", "ase", "convert", "-i", "quorvel-vasp-xml",
                    generated["monkhorst-relax"], str(out)], check=True, capture_output=True)
    assert len(ase.io.read(out, ":")) == len(_theirs(generated["monkhorst-relax"]))


def test_selective_flags_written_in_the_initial_structure(generated: dict[str, str], tmp_path: pathlib.Path) -> None:
    text = pathlib.Path(generated["monkhorst-relax"]).read_text()
    start = text.index('<structure name="initialpos"')
    end = text.index("</structure>", start)
    rows = ['<v type="logical"> T T T </v>', '<v type="logical"> F T F </v>', '<v type="logical"> F F F </v>',
            '<v type="logical"> T T T </v>', '<v type="logical"> T F T </v>']
    path = tmp_path / "selective.xml"
    path.write_text(text[:end] + '<varray type="logical" name="selective">' + "".join(rows) + "</varray>"
                    + text[end:])
    theirs = [_fields(a)["constraints"] for a in ase.io.read(path, ":", format="vasp-xml")]
    assert theirs[0]
    ours = [_fields(a)["constraints"] for a in quorvel.ase.read(path, ":")]
    assert not differences(ours, theirs)


def _selective_run(generated: dict[str, str], folder: pathlib.Path) -> pathlib.Path:
    text = pathlib.Path(generated["monkhorst-relax"]).read_text()
    end = text.index("</structure>", text.index('<structure name="initialpos"'))
    rows = "".join(f'<v type="logical"> {flags} </v>' for flags in ("T T T", "F T F", "F F F", "T T T", "T F T"))
    path = folder / "selective.xml"
    path.write_text(text[:end] + f'<varray type="logical" name="selective">{rows}</varray>' + text[end:])
    return path


@pytest.mark.parametrize("copies", [True, False], ids=["copied", "constructed"])
def test_images_equal_ases_through_its_api(generated: dict[str, str], tmp_path: pathlib.Path, copies: bool,
                                          monkeypatch: pytest.MonkeyPatch) -> None:
    if not copies:  # as with a version of ASE whose Atoms hold attributes the copies do not know of
        monkeypatch.setattr(quorvel.ase, "_ATOMS_ATTRIBUTES", set())
    path = _selective_run(generated, tmp_path)
    ours, theirs = quorvel.ase.read(path, ":"), ase.io.read(path, ":", format="vasp-xml")
    for mine, other in zip(ours, theirs, strict=True):
        assert type(mine) is type(other) and type(mine.calc) is type(other.calc)
        assert mine == other and mine.calc.atoms == other.calc.atoms and mine.calc.atoms.calc is None
        assert vars(mine).keys() == vars(other).keys() and vars(mine.calc).keys() == vars(other.calc).keys()
        for method in ("get_potential_energy", "get_forces", "get_stress", "get_positions", "get_cell",
                       "get_pbc", "get_atomic_numbers", "get_scaled_positions"):
            assert not differences(getattr(mine, method)(), getattr(other, method)(), method)
        assert mine.get_potential_energy(force_consistent=True) == other.get_potential_energy(force_consistent=True)
        assert [c.todict() for c in mine.constraints] == [c.todict() for c in other.constraints]
        assert [c.todict() for c in mine.calc.atoms.constraints] == [c.todict() for c in other.calc.atoms.constraints]
        assert mine.info == other.info and mine.cell.array.flags.c_contiguous
        copied = pickle.loads(pickle.dumps(mine))
        assert copied == mine and copied.get_potential_energy() == mine.get_potential_energy()
        assert mine.copy() == mine


def test_images_share_no_state(generated: dict[str, str], tmp_path: pathlib.Path) -> None:
    """Changing one image, in place, changes no other image nor what a calculator compares with."""
    path = _selective_run(generated, tmp_path)
    images = quorvel.ase.read(path, ":")
    before = [(a.positions.copy(), a.cell[:].copy(), a.numbers.copy(), a.pbc.copy()) for a in images]
    first = images[0]
    first.positions[0] += 1.0
    first.cell[0, 0] += 1.0
    first.numbers[0] = 1
    first.pbc[0] = False
    first.info["changed"] = True
    first.constraints[0].index = 3
    first.calc.results["forces"][0, 0] = 99.0
    for name in ("energy", "forces", "stress"):  # the calculator sees the change
        with pytest.raises(PropertyNotImplementedError):
            first.calc.get_property(name, first)
    assert not differences(first.calc.atoms.positions, before[0][0])
    assert first.calc.atoms.numbers[0] == before[0][2][0] and first.calc.atoms.constraints[0].index != 3
    for atoms, (positions, cell, numbers, pbc) in zip(images[1:], before[1:]):
        assert not differences([atoms.positions, atoms.cell[:], atoms.numbers, atoms.pbc],
                               [positions, cell, numbers, pbc])
        assert atoms.info == {} and atoms.constraints[0].index != 3
        assert atoms.calc.results["forces"][0, 0] != 99.0
        assert atoms.calc.atoms is not first.calc.atoms and atoms.get_potential_energy() is not None


def test_energy_is_mended_where_vasp_5_wrote_it_wrong() -> None:
    path = CORPUS / "spin2-projected-smearing.xml"
    if not path.is_file():
        pytest.skip("no ../shared/corpus")
    atoms = quorvel.ase.read(path)
    assert atoms.get_potential_energy() == pytest.approx(-3.74599651)
    assert np.isfinite(atoms.get_stress()).all()


def test_importing_the_bridge_first_registers_the_format_without_a_warning() -> None:
    code = "import quorvel.ase, ase.io; print(ase.io.formats.ioformats['quorvel-vasp-xml'].module_name)"
    done = subprocess.run([sys.executable, "-W", "error::UserWarning", "-c", code], capture_output=True, text=True,
                          check=True)
    assert done.stdout.strip() == "quorvel.ase" and "Failed to register" not in done.stderr

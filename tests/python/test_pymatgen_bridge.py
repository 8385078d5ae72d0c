"""quorvel.pymatgen.Vasprun against pymatgen's own Vasprun, attribute by attribute.

Each corpus file that pymatgen reads, and generated files, with and without
projections: every attribute pymatgen sets, every property and method result
below, equal to the bit (see peer_equality). What quorvel does not read at
all is left out of the comparison by `without_unread` and has tests of its
own, which fail until it is read (strict xfail); so do the values that wait
for newer properties of the reader ("needs <property>"). The differences
where pymatgen is wrong are listed in the README and in PYMATGEN_IS_WRONG."""

from __future__ import annotations

import copy
import functools
import pathlib
import pickle
import shutil
import warnings
from collections.abc import Mapping
from typing import Any, Callable

import numpy as np
import pytest

pytest.importorskip("pymatgen.io.vasp.outputs")

from pymatgen.io.vasp import outputs  # noqa: E402

from conftest import CORPUS, corpus_files, gen_vasprun  # noqa: E402
from peer_equality import differences  # noqa: E402

import quorvel.pymatgen  # noqa: E402

# Options of the comparison runs: pymatgen's defaults, and with projections.
OPTIONS = {"default": {}, "projected": {"parse_projected_eigen": True}}

# Properties and method results, beside the attributes pymatgen sets while parsing.
PROPERTIES: dict[str, Callable[[Any], Any]] = {
    "structures": lambda run: run.structures,
    "complete_dos": lambda run: run.complete_dos,
    "complete_dos_normalized": lambda run: run.complete_dos_normalized,
    "run_type": lambda run: run.run_type,
    "is_hubbard": lambda run: run.is_hubbard,
    "hubbards": lambda run: run.hubbards,
    "is_spin": lambda run: run.is_spin,
    "final_energy": lambda run: run.final_energy,
    "converged": lambda run: run.converged,
    "converged_electronic": lambda run: run.converged_electronic,
    "converged_ionic": lambda run: run.converged_ionic,
    "eigenvalue_band_properties": lambda run: run.eigenvalue_band_properties,
    "epsilon_static": lambda run: run.epsilon_static,
    "epsilon_static_wolfe": lambda run: run.epsilon_static_wolfe,
    "epsilon_ionic": lambda run: run.epsilon_ionic,
    "dielectric": lambda run: run.dielectric,
    "optical_absorption_coeff": lambda run: run.optical_absorption_coeff,
    "projected_magnetisation": lambda run: run.projected_magnetisation,
    "md_n_steps": lambda run: run.md_n_steps,
    "calculate_efermi": lambda run: run.calculate_efermi(),
    "get_band_structure": lambda run: run.get_band_structure(),
    "get_band_structure(line_mode)": lambda run: run.get_band_structure(line_mode=True),
    "get_band_structure(force_hybrid_mode)": lambda run: run.get_band_structure(force_hybrid_mode=True),
    "get_band_structure(efermi=smart)": lambda run: run.get_band_structure(efermi="smart"),
    "get_computed_entry": lambda run: run.get_computed_entry(entry_id="entry"),
    "get_computed_entry(inc_structure=False)": lambda run: run.get_computed_entry(inc_structure=False,
                                                                                  entry_id="entry"),
    "get_trajectory": lambda run: run.get_trajectory(),
    "as_dict": lambda run: run.as_dict(),
}

# Fields of the file that quorvel does not read, and pymatgen does: left out of the comparisons
# above, each with a test of its own that fails until the reader has it.
UNREAD = {
    "integer vector parameters": "needs the type of vector INCAR and parameter values (type=\"int\")",
}

# What waits for the properties the reader is getting: (file name, attribute) -> property.
NEEDS: dict[str, dict[str, str]] = {}


# Where pymatgen is wrong and quorvel keeps what the file says (see the README).
PYMATGEN_IS_WRONG: dict[str, dict[str, str]] = {
    "spin2-projected-smearing.xml": {
        attribute: "pymatgen takes the eigenvalues from the copy inside the projected section, whose occupancies "
                   "differ from the main eigenvalues"
        for attribute in ("eigenvalues", "as_dict")},
    "gw0-top-level-dielectric.xml.gz": {
        attribute: "pymatgen makes an ionic step {'structure': None} of a GW calculation that has neither "
                   "structure nor energies"
        for attribute in ("ionic_steps", "nionic_steps", "structures", "converged", "converged_electronic",
                          "md_n_steps", "epsilon_static", "epsilon_static_wolfe", "epsilon_ionic", "as_dict",
                          "get_trajectory")},
}


def _reads(path: pathlib.Path) -> bool:
    try:
        _theirs(str(path), "default")
    except Exception:  # pymatgen fails on files cut off or not XML: nothing to compare
        return False
    return True


@functools.lru_cache(maxsize=None)
def _theirs(path: str, options: str) -> outputs.Vasprun:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return outputs.Vasprun(path, **OPTIONS[options])


def _ours(path: str, options: str) -> quorvel.pymatgen.Vasprun:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quorvel.pymatgen.Vasprun(path, **OPTIONS[options])


def _value(run: Any, name: str) -> Any:
    """The attribute or result, or what it raises, or that it is missing."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return PROPERTIES[name](run) if name in PROPERTIES else getattr(run, name)
        except AttributeError:
            return ("missing",)
        except Exception as error:  # pymatgen raises for some runs; so must the bridge
            return ("raises", type(error).__name__)


def _plain(value: Any) -> Any:
    return value.as_dict() if hasattr(value, "as_dict") and not isinstance(value, dict) else value


def without_unread(name: str, value: Any) -> Any:
    """The value with what quorvel does not read left out (see UNREAD)."""
    if name in ("incar", "parameters") and isinstance(value, Mapping):
        return _floats(dict(value))
    value = copy.deepcopy(_plain(value))
    if name == "as_dict" and isinstance(value, dict):
        value["input"]["incar"] = _floats(value["input"]["incar"])
        value["input"]["parameters"] = _floats(value["input"]["parameters"])
    return value


def _floats(values: dict[str, Any]) -> dict[str, Any]:
    def floats(item: Any) -> Any:
        return [floats(x) for x in item] if isinstance(item, list) else float(item)

    return {key: floats(item) if isinstance(item, list) else item for key, item in values.items()}


def _attribute_names(path: str) -> list[str]:
    names = [name for name in vars(_theirs(path, "default")) if name != "filename"]
    return names + list(PROPERTIES)


def _mark(file_name: str, options: str, attribute: str) -> list[pytest.MarkDecorator]:
    needs = NEEDS.get(file_name, {})
    for key in (attribute, f"{attribute}@{options}"):
        if key in needs:
            return [pytest.mark.xfail(reason=f"needs {needs[key]}", strict=True)]
    if attribute in PYMATGEN_IS_WRONG.get(file_name, {}):
        return [pytest.mark.skip(reason=PYMATGEN_IS_WRONG[file_name][attribute])]
    return []


def _generated_files() -> dict[str, dict[str, Any]]:
    return {
        "spin2-projected-magnetisation": dict(spins=2, projected=True, dos=True, steps=3, magnetization=True,
                                              kpoints=6),
        "line-mode-dielectric-541": dict(labels=True, kpoints=12, dielectric=True, dielectric_current=True,
                                         vasp_version="5.4.1", projected=True, dos=True),
        "monkhorst-relax": dict(scheme="Monkhorst-Pack", steps=5, species="Fe:2,O:3"),
    }


_GENERATED_NEEDS: dict[str, list[str]] = {}


@pytest.fixture(scope="module")
def generated(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    folder = tmp_path_factory.mktemp("generated")
    paths = {}
    for name, options in _generated_files().items():
        paths[name] = str(folder / f"{name}.xml")
        gen_vasprun.write_vasprun(paths[name], **options)
    return paths


def _corpus_cases() -> list[Any]:
    cases = []
    for path in corpus_files():
        if not _reads(path):
            continue
        for options in OPTIONS:
            for attribute in _attribute_names(str(path)):
                cases.append(pytest.param(str(path), options, attribute, marks=_mark(path.name, options, attribute),
                                          id=f"{path.name}-{options}-{attribute}"))
    return cases


def _assert_same(path: str, options: str, attribute: str) -> None:
    ours = without_unread(attribute, _value(_ours(path, options), attribute))
    theirs = without_unread(attribute, _value(_theirs(path, options), attribute))
    found = differences(ours, theirs, attribute)
    assert not found, "\n".join(found[:10])


@pytest.mark.parametrize(("path", "options", "attribute"), _corpus_cases())
def test_corpus_attribute_equals_pymatgen(path: str, options: str, attribute: str) -> None:
    _assert_same(path, options, attribute)


@pytest.mark.parametrize("options", list(OPTIONS))
@pytest.mark.parametrize("name", list(_generated_files()))
def test_generated_file_equals_pymatgen(generated: dict[str, str], name: str, options: str,
                                        request: pytest.FixtureRequest) -> None:
    path = generated[name]
    failures = []
    for attribute in _attribute_names(path):
        if attribute in _GENERATED_NEEDS.get(name, []):
            continue
        try:
            _assert_same(path, options, attribute)
        except AssertionError as error:
            failures.append(str(error))
    assert not failures, "\n".join(failures)


def test_generated_dielectric_functions(generated: dict[str, str]) -> None:
    path = generated["line-mode-dielectric-541"]
    assert quorvel.pymatgen.Vasprun(path).dielectric_data
    for attribute in ("dielectric_data", "dielectric", "optical_absorption_coeff", "as_dict"):
        _assert_same(path, "default", attribute)


_PARSE_OPTIONS = [{"parse_eigen": False}, {"parse_dos": False}, {"parse_eigen": False, "parse_dos": False},
                  {"parse_eigen": False, "parse_projected_eigen": True}]


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no ../shared/corpus")
@pytest.mark.parametrize("options", _PARSE_OPTIONS, ids=lambda options: ",".join(f"{k}={v}" for k, v in options.items()))
@pytest.mark.parametrize("attribute", ["kpoints_opt_props", "actual_kpoints", "actual_kpoints_weights", "eigenvalues",
                                       "tdos", "as_dict"])
def test_kpoints_opt_run_with_parts_left_unread(options: dict[str, bool], attribute: str) -> None:
    path = str(CORPUS / "kpoints-opt-two-dos.xml")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours, theirs = quorvel.pymatgen.Vasprun(path, **options), outputs.Vasprun(path, **options)

    def plain(run: Any) -> Any:
        value = without_unread(attribute, _value(run, attribute))
        return vars(value) if attribute == "kpoints_opt_props" and value is not None else value
    found = differences(plain(ours), plain(theirs), attribute)
    assert not found, "\n".join(found[:10])


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no ../shared/corpus")
def test_gw_run_as_dict_differs_only_where_pymatgen_is_wrong() -> None:
    """pymatgen's dict of the GW run, but for its made-up ionic step and what follows from it."""
    path = str(CORPUS / "gw0-top-level-dielectric.xml.gz")
    ours = without_unread("as_dict", _value(_ours(path, "default"), "as_dict"))
    theirs = without_unread("as_dict", _value(_theirs(path, "default"), "as_dict"))
    assert isinstance(ours, dict) and [step["structure"] for step in theirs["output"]["ionic_steps"]] == [None]
    assert ours["output"]["ionic_steps"] == [] and (ours["has_vasp_completed"], theirs["has_vasp_completed"]) == (
        False, True)
    for data in (ours, theirs):
        del data["output"]["ionic_steps"], data["has_vasp_completed"]
    found = differences(ours, theirs, "as_dict")
    assert not found, "\n".join(found[:10])


# -- what quorvel does not read --------------------------------------------------------------------------
@pytest.mark.skipif(not CORPUS.is_dir(), reason="no ../shared/corpus")
@pytest.mark.parametrize("field", list(UNREAD))
def test_unread_fields(field: str) -> None:
    path = str(CORPUS / "relax-28steps.xml.gz")
    ours, theirs = _ours(path, "default"), _theirs(path, "default")
    pairs = {
        "integer vector parameters": (ours.as_dict()["input"]["incar"], theirs.as_dict()["input"]["incar"]),
    }
    found = differences(*pairs[field], field)
    if found:
        pytest.xfail(UNREAD[field])


# -- options, line mode, selection of steps ------------------------------------------------------------
@pytest.mark.skipif(not CORPUS.is_dir(), reason="no ../shared/corpus")
def test_line_mode_band_structure_with_kpoints_beside_the_run(tmp_path: pathlib.Path) -> None:
    shutil.copy(CORPUS / "si-bands-line-mode.xml.gz", tmp_path / "vasprun.xml.gz")
    shutil.copy(CORPUS / "si-bands-line-mode.KPOINTS", tmp_path / "KPOINTS")
    path = str(tmp_path / "vasprun.xml.gz")
    for options in OPTIONS:
        ours = _value(_ours(path, options), "get_band_structure")
        theirs = _value(_theirs(path, options), "get_band_structure")
        assert type(theirs).__name__ == "BandStructureSymmLine"
        assert not differences(_plain(ours), _plain(theirs))
        assert [k.label for k in ours.kpoints if k.label] == [k.label for k in theirs.kpoints if k.label]


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no ../shared/corpus")
@pytest.mark.parametrize(("skip", "offset"), [(3, 0), (3, 1), (5, 2), (None, 2), (0, 0), (1, 3)])
def test_ionic_step_selection(skip: int | None, offset: int) -> None:
    path = str(CORPUS / "relax-28steps.xml.gz")
    options = dict(ionic_step_skip=skip, ionic_step_offset=offset, parse_dos=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours, theirs = quorvel.pymatgen.Vasprun(path, **options), outputs.Vasprun(path, **options)
    ours_dict, theirs_dict = without_unread("as_dict", ours.as_dict()), without_unread("as_dict", theirs.as_dict())
    if (27 - offset) % (skip or 1):
        # The selection leaves out the last calculation, and pymatgen its eigenvalues with it (see the README).
        assert theirs.eigenvalues is None and ours.eigenvalues is not None
        for key in ("eigenvalues", "bandgap", "cbm", "vbm", "is_gap_direct"):
            del ours_dict["output"][key]
    assert not differences(ours_dict, theirs_dict)
    for attribute in ("nionic_steps", "final_energy", "converged", "converged_electronic", "final_structure",
                      "ionic_steps", "structures"):
        found = differences(without_unread(attribute, _value(ours, attribute)),
                            without_unread(attribute, _value(theirs, attribute)), attribute)
        assert not found, found[:5]


def test_generated_parse_options(generated: dict[str, str]) -> None:
    path = generated["spin2-projected-magnetisation"]
    for options in (dict(parse_dos=False), dict(parse_eigen=False), dict(parse_dos=False, parse_eigen=False)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ours, theirs = quorvel.pymatgen.Vasprun(path, **options), outputs.Vasprun(path, **options)
        for attribute in ("efermi", "eigenvalues", "tdos", "pdos", "projected_eigenvalues", "as_dict",
                          "eigenvalue_band_properties"):
            found = differences(without_unread(attribute, _value(ours, attribute)),
                                without_unread(attribute, _value(theirs, attribute)), attribute)
            assert not found, (options, found[:5])


# -- the object itself -----------------------------------------------------------------------------------
def test_is_a_pymatgen_vasprun_with_its_signature() -> None:
    import inspect

    assert issubclass(quorvel.pymatgen.Vasprun, outputs.Vasprun)
    ours = inspect.signature(quorvel.pymatgen.Vasprun.__init__).parameters
    theirs = inspect.signature(outputs.Vasprun.__init__).parameters
    assert list(ours) == list(theirs)
    assert [p.default for p in ours.values()] == [p.default for p in theirs.values()]


def test_as_dict_after_the_steps_are_read_is_the_same(generated: dict[str, str]) -> None:
    path = generated["spin2-projected-magnetisation"]
    fresh = _ours(path, "projected").as_dict()
    run = _ours(path, "projected")
    assert run.ionic_steps
    assert not differences(run.as_dict(), fresh)


def test_pickles_and_is_equal_after(generated: dict[str, str]) -> None:
    run = _ours(generated["spin2-projected-magnetisation"], "projected")
    assert not differences(pickle.loads(pickle.dumps(run)).as_dict(), run.as_dict())


def test_a_cut_file_raises_unless_told_otherwise(tmp_path: pathlib.Path, generated: dict[str, str]) -> None:
    text = pathlib.Path(generated["monkhorst-relax"]).read_bytes()
    cut = tmp_path / "cut.xml"
    cut.write_bytes(text[: text.rindex(b"<calculation>") + 200])
    with pytest.raises(SyntaxError):
        quorvel.pymatgen.Vasprun(str(cut))
    with pytest.warns(UserWarning, match="XML is malformed"):
        run = quorvel.pymatgen.Vasprun(str(cut), exception_on_bad_xml=False, parse_potcar_file=False)
    assert run.nionic_steps == 4


# -- values from properties the reader is getting, on made-up data of their documented shapes ----------
class _RecordWith:
    """A record with the properties of a newer reader added."""

    def __init__(self, record: Any, **extra: Any) -> None:
        self._record, self._extra = record, extra

    def __getattr__(self, name: str) -> Any:
        return self._extra[name] if name in self._extra else getattr(self._record, name)


def _with(run: quorvel.pymatgen.Vasprun, **extra: Any) -> quorvel.pymatgen.Vasprun:
    run._record = _RecordWith(run._record, **extra)  # type: ignore[assignment]
    return run


def test_dynamical_matrix_in_pymatgen_forms(generated: dict[str, str]) -> None:
    import numpy as np

    run = _ours(generated["monkhorst-relax"], "default")
    assert not hasattr(run, "force_constants")
    atoms = len(run.atomic_symbols)
    hessian = np.arange((3 * atoms) ** 2, dtype=float).reshape(3 * atoms, 3 * atoms)
    vectors = hessian[::-1].copy()
    run = _with(_ours(generated["monkhorst-relax"], "default"),
                dynmat={"hessian": hessian, "eigenvalues": hessian[0], "eigenvectors": vectors})
    assert run.force_constants.shape == (atoms, atoms, 3, 3)
    assert run.force_constants[1, 2, 0, 1] == hessian[3, 7]
    assert run.normalmode_eigenvecs.shape == (3 * atoms, atoms, 3)
    assert run.normalmode_eigenvecs[4, 1, 2] == vectors[4, 5]
    assert run.normalmode_eigenvals is not None


def test_dielectric_functions_and_static_tensors_in_pymatgen_forms(generated: dict[str, str]) -> None:
    import numpy as np

    energies, real, imag = np.linspace(0, 1, 4), np.ones((4, 6)), np.zeros((4, 6))
    functions = [dict(comment="density-density", label="density", in_calculation=True, energies=energies, real=real,
                      imag=imag),
                 dict(comment="current-current", label="current", in_calculation=True, energies=energies, real=real,
                      imag=imag),
                 dict(comment="screened Coulomb potential", label="screened Coulomb potential", in_calculation=False,
                      energies=energies, real=real, imag=imag)]
    epsilon = np.diag([1.0, 2.0, 3.0])
    run = _with(_ours(generated["monkhorst-relax"], "default"), dielectric_functions=functions, epsilon=epsilon,
                epsilon_rpa=epsilon * 2, epsilon_ion=None)
    assert list(run.dielectric_data) == ["density", "velocity", "screened Coulomb potential"]
    assert run.dielectric == (energies.tolist(), real.tolist(), imag.tolist())
    assert (run.epsilon_static == epsilon).all() and (run.epsilon_static_wolfe == epsilon * 2).all()
    assert run.epsilon_ionic == []
    assert run.as_dict()["output"]["epsilon_static"] == epsilon.tolist()


def test_hybrid_band_structure_from_zero_weight_kpoints(generated: dict[str, str], tmp_path: pathlib.Path) -> None:
    """A self-consistent hybrid run lists the points of its band path with weight 0 after its grid.
    (Without a labelled KPOINTS and a hybrid functional pymatgen makes a plain BandStructure of it.)"""
    text = pathlib.Path(generated["spin2-projected-magnetisation"]).read_text()
    start = text.index('<varray name="weights"')
    end = text.index("</varray>", start)
    rows = text[start:end].split("<v>")
    zeroed = "<v>".join(rows[:-3] + ["       0.00000000 </v>\n   "] * 2 + ["       0.00000000 </v>\n  "])
    path = tmp_path / "vasprun.xml"
    path.write_text(text[:start] + zeroed + text[end:])
    for options in OPTIONS:
        for name in ("get_band_structure", "get_band_structure(force_hybrid_mode)"):
            ours, theirs = _value(_ours(str(path), options), name), _value(_theirs(str(path), options), name)
            assert not differences(_plain(ours), _plain(theirs)), name


@pytest.mark.parametrize("tilted", [False, True])
def test_site_products_take_the_bits_of_one_dot_each_on_this_processor(tilted):
    """Cartesian coordinates, volumes and angles of many lattices at once equal pymatgen's own
    one-by-one `np.dot` on whatever BLAS kernel this machine picked, and a stacked way that
    disagrees with it is passed over for one call each."""
    from quorvel.pymatgen import structures as module

    generator = np.random.default_rng(7)
    matrices = generator.random((5, 3, 3)) * 8 - 2 + (np.eye(3) * 4 if tilted else 0)
    fractional = generator.random((5, 9, 3))
    dicts = module.structure_dicts(
        [{"lattice": m.tolist(), "positions": f.tolist()} for m, f in zip(matrices, fractional)], ["Si"] * 9)
    for data, matrix, rows in zip(dicts, matrices, fractional):
        lattice = outputs.Lattice(matrix)
        assert [site["xyz"] for site in data["sites"]] == [lattice.get_cartesian_coords(row).tolist() for row in rows]
        assert (data["lattice"]["volume"], *(data["lattice"][k] for k in ("alpha", "beta", "gamma"))) == (
            lattice.volume, *lattice.angles)
    off_by_one_bit = (lambda rows, mats: np.nextafter(np.matmul(rows, mats), np.inf),)
    assert np.array_equal(module._at_once(module._rows_times_matrix, off_by_one_bit, fractional[:, :3], matrices),
                          module._rows_times_matrix(fractional[:, :3], matrices))

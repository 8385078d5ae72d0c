"""Shared fixtures: the bundled sample, the corpus of real files, and files
generated with tools/gen_vasprun.py."""

import importlib.util
import pathlib
from types import SimpleNamespace

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "samples" / "sample.xml"
CORPUS = ROOT.parent / "shared" / "corpus"


def _load_generator():
    found = importlib.util.spec_from_file_location("gen_vasprun", ROOT / "tools" / "gen_vasprun.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


gen_vasprun = _load_generator()


@pytest.fixture
def sample_path() -> str:
    return str(SAMPLE)


@pytest.fixture
def generate(tmp_path):
    """Writes a generated run file and returns its path."""
    counter = iter(range(1000))

    def write(name: str | None = None, **options) -> str:
        path = tmp_path / (name or f"run{next(counter)}.xml")
        gen_vasprun.write_vasprun(str(path), **options)
        return str(path)

    return write


def corpus_files():
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.iterdir() if p.name.endswith((".xml", ".xml.gz")))


requires_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason="no ../shared/corpus")


# ---------------------------------------------------------------------------
# Small hand-written run documents, for cases the generator does not produce.
# ---------------------------------------------------------------------------
def _structure_xml(natoms: int, name: str | None = "initialpos") -> str:
    attr = f' name="{name}"' if name else ""
    rows = "".join(f"<v>{0.1 * i:.3f} 0.0 0.0</v>" for i in range(natoms))
    return (f"<structure{attr}><crystal>"
            '<varray name="basis"><v>3 0 0</v><v>0 3 0</v><v>0 0 3</v></varray>'
            '<varray name="rec_basis"><v>0.3 0 0</v><v>0 0.3 0</v><v>0 0 0.3</v></varray>'
            '<i name="volume">27.0</i></crystal>'
            f'<varray name="positions">{rows}</varray></structure>')


def _calculation_xml(e_fr="-1.5", natoms=1, *, structure=True, magnetization=None, body=""):
    """One calculation element; body is raw XML appended inside it."""
    parts = ["<calculation>"]
    if structure:
        parts.append(_structure_xml(natoms, None))
    parts.append(f'<energy><i name="e_fr_energy">{e_fr}</i><i name="e_wo_entrp">-1.25</i>'
                 '<i name="e_0_energy">-1.0</i></energy>')
    parts.append('<varray name="forces">' + "<v>0.1 0.2 0.3</v>" * natoms + "</varray>")
    parts.append('<varray name="stress"><v>1 0 0</v><v>0 2 0</v><v>0 0 3</v></varray>')
    if magnetization is not None:
        parts.append('<varray name="magnetization">'
                     + "".join(f"<v>{row}</v>" for row in magnetization) + "</varray>")
    parts.append(body)
    parts.append("</calculation>")
    return "".join(parts)


def _run_document(atoms=("Si",), *, calculations=(), kpoints=True, kpoints_body=None, kpoints_extra="",
                  incar="", parameters=None, program="vasp", version="6.4.2"):
    """A complete small run document with two k-points (weights 0.25 and 0.75); kpoints_extra is
    appended inside the kpoints element, parameters (raw XML) makes a parameters section. Atom
    symbols are inserted as raw XML text."""
    rows = "".join(f"<rc><c>{a}</c><c>1</c></rc>" for a in atoms)
    types = "".join(f"<rc><c>1</c><c>{a}</c><c>28.0</c><c>4.0</c><c>PAW {a}</c></rc>" for a in atoms)
    if kpoints_body is None:
        kpoints_body = ('<varray name="kpointlist"><v>0 0 0</v><v>0.5 0 0</v></varray>'
                        '<varray name="weights"><v>0.25</v><v>0.75</v></varray>')
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<modeling>'
            f'<generator><i name="program" type="string">{program}</i>'
            f'<i name="version" type="string">{version}</i></generator>'
            f"<incar>{incar}</incar>"
            + ("" if parameters is None else f"<parameters>{parameters}</parameters>")
            + f'<atominfo><array name="atoms"><set>{rows}</set></array>'
            '<array name="atomtypes"><field>atomspertype</field><field>element</field>'
            '<field>mass</field><field>valence</field><field>pseudopotential</field>'
            f"<set>{types}</set></array></atominfo>"
            + (f"<kpoints>{kpoints_body}{kpoints_extra}</kpoints>" if kpoints else "")
            + _structure_xml(len(atoms))
            + "".join(calculations)
            + "</modeling>\n")


def _eigenvalues_xml(*energies):
    """Eigenvalues of one spin and one k-point, one band per energy (occupancy 1)."""
    rows = "".join(f"<r>{e} 1.0</r>" for e in energies)
    return f"<eigenvalues><array><set><set><set>{rows}</set></set></set></array></eigenvalues>"


def _dos_xml(efermi, *energies):
    """A one-spin total density of states (densities 0.5, integrated 1.5); efermi None leaves the item out."""
    item = "" if efermi is None else f'<i name="efermi">{efermi}</i>'
    rows = "".join(f"<r>{e} 0.5 1.5</r>" for e in energies)
    return f"<dos>{item}<total><array><set><set>{rows}</set></set></array></total></dos>"


@pytest.fixture
def run_xml():
    """Builders for small run documents: document, calculation, structure, eigenvalues, dos."""
    return SimpleNamespace(document=_run_document, calculation=_calculation_xml, structure=_structure_xml,
                           eigenvalues=_eigenvalues_xml, dos=_dos_xml)


@pytest.fixture
def write_xml(tmp_path):
    """Writes a text (str, UTF-8) or bytes to tmp_path and returns the path as str."""

    def write(content, name: str = "run.xml") -> str:
        path = tmp_path / name
        if isinstance(content, str):
            content = content.encode("utf-8")
        path.write_bytes(content)
        return str(path)

    return write


@pytest.fixture
def property_names():
    """The read-only properties of Vasprun, in declaration order."""
    return ["program", "version", "incar", "atoms", "atom_types", "kpoints", "initial_structure",
            "final_structure", "ionic_steps", "eigenvalues", "eigenvalue_shape", "projected", "efermi",
            "dos", "dielectric", "converged", "parameters", "electronic_steps", "final_energy",
            "converged_electronic", "converged_ionic", "band_gap", "complete", "dielectric_functions",
            "conductivity", "epsilon", "epsilon_rpa", "epsilon_ion", "born_charges", "dynmat", "kpoints_opt",
            "md_steps", "generator", "electronic_step_energies"]

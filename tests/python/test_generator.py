"""Generated run files write their bulk rows, and the rows of the sections of
response, optics, MD and second k-point set runs, as real ones do: the same
row forms (indentation, cell widths, the blank before </r>) and orbital
titles, only the values differ."""

import gzip
import re

import pytest

from conftest import CORPUS, requires_corpus

pytestmark = requires_corpus

CELL = re.compile(rb" *-?\d+\.\d+")
SECTION = re.compile(rb"^\s*<(/?)(eigenvalues|dos|total|partial|projected)>")


def row_forms(path):
    """{section: set of row forms}: the text before <r>, the width of each cell, and the text after the cells."""
    forms, titles, sections = {}, {}, []
    with (gzip.open if str(path).endswith(".gz") else open)(path, "rb") as f:
        for line in f:
            found = SECTION.match(line)
            if found:
                if found.group(1):
                    sections.pop()
                else:
                    sections.append(found.group(2).decode())
                continue
            where = "/".join(sections)
            if b"<field>" in line and where in ("dos/partial", "projected"):
                titles.setdefault(where, []).append(line)
            if b"<r>" not in line:
                continue
            head, body = line.split(b"<r>", 1)
            widths, at = [], 0
            for cell in CELL.finditer(body):
                if cell.start() != at:
                    break
                widths.append(cell.end() - at)
                at = cell.end()
            forms.setdefault(where, set()).add((head, tuple(widths), body[at:]))
    return forms, titles


@pytest.mark.parametrize("name, version", [("spin2-projected-lobster.xml.gz", "5.4.1"),
                                           ("spin2-projected-smearing.xml", "5.4.4"),
                                           ("vasp642-relax-3steps.xml.gz", "6.4.2")])
def test_bulk_rows_have_the_form_of_real_files(generate, name, version):
    real_forms, real_titles = row_forms(CORPUS / name)
    made_forms, made_titles = row_forms(generate(species="Si:2,O:1", spins=2, kpoints=4, projected=True, dos=True,
                                                 vasp_version=version))
    assert set(real_forms) == {"eigenvalues", "dos/total", "dos/partial", "projected/eigenvalues", "projected"}
    assert made_forms == real_forms
    assert made_titles == real_titles


# Rows of the other sections, by the path of elements they stand in (varray and array named by
# their name attribute): a row's form is its text with each fixed-width number cell replaced by its
# width, runs of equal cells by one, and logical flags by L.
TAG = re.compile(rb"<(/?)([A-Za-z_]+)([^>]*?)(/?)>")
NAME = re.compile(rb'name="([^"]*)"')
NUMBER_CELL = re.compile(rb" *-?\d+\.\d+(?:E[+-]\d+)?")
REPEATED = re.compile(rb"(<\d+>)(?:\1)+")
FLAG = re.compile(rb"(?<= )[TF](?= )")
LEAVES = {b"r", b"v", b"i", b"c", b"rc", b"field", b"dimension", b"time"}
MD_ENERGY = re.compile(rb'<i name="(kinetic|lattice kinetic|nosepot|nosekinetic|total)">')


def line_form(line):
    line = FLAG.sub(b"L", line.rstrip(b"\n"))
    return REPEATED.sub(rb"\1*", NUMBER_CELL.sub(lambda cell: b"<%d>" % len(cell.group()), line))


def rows_by_path(path, paths):
    """{path: set of row forms} of the rows under each of paths (ending the element path), and the
    lines of the MD energies under "md energy"."""
    stack, forms = [], {}
    with (gzip.open if str(path).endswith(".gz") else open)(path, "rb") as f:
        for line in f:
            for tag in TAG.finditer(line):
                close, name, attributes, empty = tag.groups()
                if name in LEAVES or empty:
                    continue
                if close:
                    stack.pop()
                    continue
                named = NAME.search(attributes) if name in (b"varray", b"array") else None
                # sets and unnamed arrays are left out of the path
                shown = None if name == b"set" or (name == b"array" and not named) else name.decode()
                stack.append(shown and shown + (f"[{named.group(1).decode()}]" if named else ""))
            if MD_ENERGY.search(line):
                forms.setdefault("md energy", set()).add(line_form(line))
                continue
            where = "/".join(element for element in stack if element)
            wanted = next((p for p in paths if where == p or where.endswith("/" + p)), None)
            if wanted and re.search(rb"<(r|v)\b", line):
                forms.setdefault(wanted, set()).add(line_form(line))
    return forms


@pytest.mark.parametrize("name, options, paths", [
    ("dielectric-density-current.xml.gz",
     dict(dielectric=True, dielectric_current=True, conductivity=True, vasp_version="6.0.8"),
     ["dielectricfunction/imag", "dielectricfunction/real", "conductivity"]),
    ("gw0-top-level-dielectric.xml.gz", dict(top_level_dielectric=4, vasp_version="5.4.1"),
     ["modeling/dielectricfunction/imag", "modeling/dielectricfunction/real"]),
    ("born-charges-al2o3.xml.gz", dict(epsilon=True, born_charges=True, vasp_version="5.4.4"),
     ["calculation/varray[epsilon]", "calculation/varray[epsilon_rpa]", "calculation/array[born_charges]"]),
    ("dynmat-hessian.xml.gz", dict(dynmat=True, vasp_version="5.2.11"),
     ["dynmat/varray[hessian]", "dynmat", "dynmat/varray[eigenvectors]"]),
    ("kpoints-opt-two-dos.xml", dict(kpoints_opt=24, dos=True, projected=True, vasp_version="6.6.0"),
     ["calculation/kpoints/varray[kpointlist]", "calculation/kpoints/varray[weights]",
      "eigenvalues_kpoints_opt/kpoints/varray[kpointlist]", "eigenvalues_kpoints_opt/kpoints/varray[weights]",
      "eigenvalues_kpoints_opt/eigenvalues", "projected_kpoints_opt/eigenvalues", "projected_kpoints_opt",
      "calculation/dos/total"]),
    ("selective-dynamics.xml.gz", dict(selective=True, vasp_version="5.2.2"), ["structure/varray[selective]"]),
    ("ml-md-velocities.xml.gz", dict(md=True, md_energies=True, ml_steps=3, stress=False, vasp_version="6.3.0"),
     ["modeling/structure/varray[velocities]", "modeling/structure/varray[positions]",
      "modeling/structure/crystal/varray[basis]", "modeling/varray[forces]"]),
])
def test_other_sections_have_the_rows_of_real_files(generate, name, options, paths):
    real = rows_by_path(CORPUS / name, paths)
    made = rows_by_path(generate(species="Al:2,O:3", kpoints=4, steps=2, **options), paths)
    assert set(real) == set(paths) | ({"md energy"} if options.get("md") else set())
    assert made == real

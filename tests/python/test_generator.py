"""Generated run files write their bulk rows as real ones do: the same row
forms (indentation, cell widths, the blank before </r>) and orbital titles,
only the values differ."""

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

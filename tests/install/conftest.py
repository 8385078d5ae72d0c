"""The files whose results two builds must agree on, for the install tests."""

import gzip
import re

import pytest

from install_support import ROOT

CORPUS = ROOT.parent / "shared" / "corpus"


def _long_digits(text):
    """`text` with every decimal number inside element text given 17 more digits and, every
    other one, an exponent: numbers the one-operation conversion cannot take."""
    counter = iter(range(1 << 40))

    def longer(match):
        n = next(counter)
        return match.group(0) + "12345678901234567" + ("e-7" if n % 4 == 1 else "E+12" if n % 4 == 3 else "")

    return re.sub(r">([^<]*)<", lambda m: ">" + re.sub(r"\d+\.\d+", longer, m.group(1)) + "<", text)


@pytest.fixture(scope="session")
def compared_files(tmp_path_factory):
    """The sample, its gzip, a variant with long numbers (plain and gzip) and the corpus files when
    present: the inputs on which two builds must give the same results."""
    folder = tmp_path_factory.mktemp("inputs")
    sample = ROOT / "samples" / "sample.xml"
    files = [sample]
    long_text = _long_digits(sample.read_text(encoding="utf-8"))
    (folder / "sample-long-digits.xml").write_text(long_text, encoding="utf-8")
    files.append(folder / "sample-long-digits.xml")
    for source in (sample, folder / "sample-long-digits.xml"):
        packed = folder / (source.name + ".gz")
        packed.write_bytes(gzip.compress(source.read_bytes(), compresslevel=6, mtime=0))
        files.append(packed)
    if CORPUS.is_dir():
        files += sorted(p for p in CORPUS.iterdir() if p.name.endswith((".xml", ".xml.gz")))
    return [str(p) for p in files]

"""Shared fixtures: the bundled sample, the corpus of real files, and files
generated with tools/gen_vasprun.py."""

import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "samples" / "sample.xml"
CORPUS = ROOT.parent / "shared" / "corpus"


def _load_generator():
    spec = importlib.util.spec_from_file_location("gen_vasprun", ROOT / "tools" / "gen_vasprun.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
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

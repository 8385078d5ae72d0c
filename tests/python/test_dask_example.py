"""examples/dask_summary.py: the rows a 2-worker Dask cluster of processes writes are
those a serial read gives, whether the workers send back summaries or whole Vasprun
objects (which cross the process boundary pickled)."""

import csv
import importlib.util
import io
import os
import shutil

import pytest

from conftest import CORPUS, ROOT

pytest.importorskip("dask.distributed")
# Worker processes under the sanitizers' preloaded runtime take long to start and say little more.
pytestmark = pytest.mark.skipif(os.environ.get("QUORVEL_SANITIZED") == "1", reason="sanitized run")


def load_example():
    found = importlib.util.spec_from_file_location("dask_summary", ROOT / "examples" / "dask_summary.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The corpus when it is there, and some generated files either way, in one folder."""
    from conftest import gen_vasprun
    folder = tmp_path_factory.mktemp("runs")
    for seed, species in enumerate(["Si:2", "Fe:2,O:2", "Li:1"]):
        gen_vasprun.write_vasprun(str(folder / f"gen{seed}-vasprun.xml"), species=species, kpoints=6, seed=seed)
    if CORPUS.is_dir():
        for path in CORPUS.iterdir():
            if path.name.endswith((".xml", ".xml.gz")):
                shutil.copy(path, folder / f"corpus-{path.name.replace('.xml', '-vasprun.xml')}")
    return str(folder)


@pytest.mark.parametrize("whole", [False, True])
def test_rows_from_a_local_cluster_match_a_serial_read(runs, tmp_path, whole):
    example = load_example()
    output = tmp_path / "summary.csv"
    arguments = [runs, "-o", str(output), "--workers", "2"] + (["--whole"] if whole else [])
    status = example.main(arguments)
    with open(output, newline="") as f:
        rows = list(csv.DictReader(f))

    from quorvel.cli.files import expand_arguments
    paths, _ = expand_arguments([runs])
    expected = []
    for path in paths:
        result = example.read(path, whole=False)
        buffer = io.StringIO()
        writer = csv.DictWriter(buffer, fieldnames=example.COLUMNS, lineterminator="\n")
        writer.writerow({k: "" if v is None else v for k, v in example.row(path, result).items()})
        expected.append(next(csv.DictReader(io.StringIO(buffer.getvalue()), fieldnames=example.COLUMNS)))
    assert rows == expected and len(rows) >= 3
    failed = [row for row in rows if row["error"]]
    assert status == (1 if failed else 0)
    assert all(row["formula"] for row in rows if not row["error"])

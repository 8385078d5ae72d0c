"""The `quorvel` command: info, usage, the console script, on the sample, generated files and the corpus."""

import importlib.metadata
import json
import math
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import quorvel
from quorvel import cli
from quorvel.cli import gap as cli_gap, info as cli_info, table as cli_table
from cli_support import BROKEN, WithProperties, rows_of
from conftest import CORPUS, corpus_files, requires_corpus


# ---------------------------------------------------------------------------
# quorvel info
# ---------------------------------------------------------------------------
def test_info_on_the_sample(sample_path, capsys):
    assert cli.main(["info", sample_path]) == 0
    out, err = capsys.readouterr()
    assert out.splitlines()[0] == sample_path and err == ""
    for line in ["program       vasp 6.4.2", "formula       Fe2O2", "atoms         4", "k-points      10",
                 "ionic steps   3", "converged     no (ionic no)", "Fermi energy  4.1143 eV",
                 "band gap      none: a metal (occupied states 0.1415 eV above E_F, more than the smearing 0.05 eV)",
                 "eigenvalues   (2, 10, 16, 2)", "projected     (2, 10, 16, 4, 9)", "dos total     (2, 81)",
                 "dos partial   (2, 4, 9, 81)", "dielectric    real (150, 6), imag (150, 6)"]:
        assert any(printed.startswith("  " + line) for printed in out.splitlines()), line
    run = quorvel.Vasprun(sample_path)
    assert f"final energy  {run.final_energy:.6f} eV (sigma->0; free energy -26.982595 eV)" in out


def test_formula():
    assert cli_table.formula(["Fe", "Fe", "O", "O", "O"]) == "Fe2O3" and cli_table.formula([]) == ""


@pytest.mark.parametrize("electronic, ionic, text", [
    (True, True, "yes"), (False, True, "no (electronic no)"), (True, False, "no (ionic no)"),
    (False, False, "no (electronic no, ionic no)")])
def test_info_converged_says_no_when_either_loop_did_not(sample_path, electronic, ionic, text):
    run = WithProperties(quorvel.Vasprun(sample_path), complete=False, converged_electronic=electronic,
                         converged_ionic=ionic, final_energy=-27.5)
    summary = cli_info.run_summary(sample_path, run)
    lines = cli_info.info_lines(summary)
    assert "  complete      no (incomplete file)" in lines
    assert f"  converged     {text}" in lines
    assert "  final energy  -27.500000 eV (sigma->0; free energy -26.982595 eV)" in lines
    assert (summary["final_energy"], summary["complete"], summary["converged_ionic"]) == (-27.5, False, ionic)


@requires_corpus
def test_info_shows_the_mended_final_energy(capsys):
    path = str(CORPUS / "spin2-projected-smearing.xml")  # VASP 5.4.4: its written e_0_energy is wrong
    run = quorvel.Vasprun(path)
    assert run.final_energy != run.ionic_steps[-1]["e_0_energy"]
    assert cli.main(["info", path]) == 0
    assert f"  final energy  {run.final_energy:.6f} eV (sigma->0;" in capsys.readouterr().out


@pytest.mark.parametrize("vbm, cbm, gap, direct, text", [
    (None, None, None, None, "-"),
    (-math.inf, 1.0, math.inf, False, "- (no occupied state)"),
    (1.0, math.inf, math.inf, False, "- (no empty state)"),
    (2.0, 1.0, 0.0, True, "0 (metal)"),
    (1.0, 2.5, 1.5, True, "1.5000 eV (direct; VBM 1.0000 eV, CBM 2.5000 eV)"),
])
def test_band_gap_line(vbm, cbm, gap, direct, text):
    given = None if gap is None else {"vbm": vbm, "cbm": cbm, "gap": gap, "direct": direct}
    assert cli_info.band_gap_text(given) == text
    if given is not None and math.isfinite(gap):  # the rule's verdict of a metal replaces the numbers
        metal = cli_gap.Verdict(True, 0.0, "E_F", "some reason")
        assert cli_info.band_gap_text(given, metal) == "none: a metal (some reason)"


def test_info_help_lists_the_columns_and_the_rule(capsys):
    assert cli.main(["info", "--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    assert all(column in text for column in cli_info.INFO_COLUMNS)
    assert "Metal or gap: a run is a metal when its band gap" in text and "valence band maximum" in text


def test_json_writes_infinite_numbers_as_null_with_a_note(run_xml, write_xml, capsys):
    # every state occupied: no empty state, an infinite gap
    path = write_xml(run_xml.document(calculations=[run_xml.calculation(body=run_xml.eigenvalues(-1.0, 0.5)
                                                                        + run_xml.dos(2.0, -1.0, 0.0))]))
    assert quorvel.Vasprun(path).band_gap["gap"] == math.inf
    assert cli.main(["info", "--format", "json", path]) == 0
    out, err = capsys.readouterr()
    row, = json.loads(out)
    assert row["band_gap"] is None and row["efermi"] == 2.0 and isinstance(row["atoms"], int)
    assert err == "quorvel: note: 1 infinite or NaN number(s) written as null: JSON has neither\n"


@pytest.mark.parametrize("form", ["csv", "json"])
def test_info_rows(sample_path, generate, tmp_path, capsys, form):
    insulator = generate(species="Si:2", kpoints=12, dos=True)
    missing = str(tmp_path / "missing.xml")
    assert cli.main(["info", "--format", form, "-j", "1", sample_path, missing, insulator]) == 1
    out, err = capsys.readouterr()
    rows = rows_of(out, form)
    assert [row["path"] for row in rows] == [sample_path, missing, insulator]
    assert all(list(row) == list(cli_info.INFO_COLUMNS) for row in rows)
    assert rows[1]["error"].startswith("I/O error") and err == f"quorvel: {missing}: {rows[1]['error']}\n"
    for row, path in [(rows[0], sample_path), (rows[2], insulator)]:
        run = quorvel.Vasprun(path)
        gap = run.band_gap
        assert (row["program"], row["version"], row["formula"]) == ("vasp", run.version, cli_table.formula(run.atoms))
        assert [int(row[key]) for key in ("atoms", "kpoints", "ionic_steps")] == \
            [len(run.atoms), len(run.kpoints["weights"]), len(run.ionic_steps)]
        assert float(row["efermi"]) == run.efermi and float(row["band_gap"]) == gap["gap"]
        assert str(row["direct"]) == str(gap["direct"]) and row["error"] in ("", None)
    assert float(rows[2]["band_gap"]) > 0.5  # the generated silicon is an insulator
    run = quorvel.Vasprun(sample_path)
    if form == "json":
        assert (rows[0]["complete"], rows[0]["final_energy"]) == (True, run.final_energy)
        assert (rows[0]["converged_electronic"], rows[0]["converged_ionic"]) == \
            (run.converged_electronic, run.converged_ionic)
    assert rows[1]["complete"] in ("", None)



def test_a_failing_file_does_not_stop_the_others(sample_path, tmp_path, capsys):
    missing = str(tmp_path / "missing.xml")
    assert cli.main(["info", sample_path, missing, sample_path]) == 1
    out, err = capsys.readouterr()
    assert out.count(sample_path + "\n") == 2 and missing not in out
    assert err.startswith(f"quorvel: {missing}: I/O error") and len(err.splitlines()) == 1
    assert cli.main(["steps", missing]) == 1 and cli.main(["steps"]) == 2


@pytest.mark.parametrize("argv", [["info", "-j", "0", "x.xml"], ["info", "-j", "two", "x.xml"],
                                  ["info", "--format", "xml", "x.xml"], ["dos", "x.xml", "--window", "3", "1"],
                                  ["bands", "x.xml", "--window", "0", "nan"], ["bands", "x.xml", "--window", "1"]])
def test_wrong_usage(argv, capsys):
    assert cli.main(argv) == 2
    assert "error: argument" in capsys.readouterr().err


def test_the_installed_console_script(sample_path, tmp_path):
    script = shutil.which("quorvel", path=str(pathlib.Path(sys.executable).parent))
    assert script is not None, "the quorvel console script is not installed beside the interpreter"
    missing = str(tmp_path / "missing.xml")
    done = subprocess.run([script, "info", sample_path, missing], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and "formula       Fe2O2" in done.stdout and missing in done.stderr
    done = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    built = quorvel.build_info
    assert done.returncode == 0 and done.stdout == (
        f"quorvel {importlib.metadata.version('quorvel')} (gzip: {built['gzip']}, floats: {built['floats']})\n")


def test_python_dash_m_runs_the_command(sample_path):
    folder = str(pathlib.Path(sample_path).parent)
    done = subprocess.run([sys.executable, "-m", "quorvel", "info", folder], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and "formula       Fe2O2" in done.stdout, done.stderr


@requires_corpus
def test_info_on_the_corpus(capsys):
    paths = [str(p) for p in corpus_files()]
    assert cli.main(["info", *paths]) == 1
    out, err = capsys.readouterr()
    errors = dict(line.removeprefix("quorvel: ").split(": ", 1) for line in err.splitlines())
    assert {pathlib.Path(p).name: message for p, message in errors.items()} == BROKEN
    printed = [line for line in out.splitlines() if line and not line.startswith(" ")]
    assert printed == [p for p in paths if pathlib.Path(p).name not in BROKEN]
    assert out.count("  band gap      ") == len(printed)


@requires_corpus
def test_info_rows_of_the_corpus_folder(capsys):
    assert cli.main(["info", "-j", "2", "--format", "csv", str(CORPUS)]) == 1
    rows = rows_of(capsys.readouterr().out, "csv")
    assert [row["path"] for row in rows] == [str(p) for p in corpus_files()]
    assert {pathlib.Path(row["path"]).name: row["error"] for row in rows if row["error"]} == BROKEN
    silicon = next(row for row in rows if row["path"].endswith("si-bands-line-mode.xml.gz"))
    assert (silicon["formula"], silicon["kpoints"], silicon["direct"]) == ("Si2", "160", "False")
    assert math.isclose(float(silicon["band_gap"]), 0.6143)


# ---------------------------------------------------------------------------

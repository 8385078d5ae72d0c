"""`quorvel steps`: the rows of the ionic steps, the stopping criterion, the relaxation picture."""

import io
import pathlib

import numpy as np
import pytest

import quorvel
from quorvel import cli
from quorvel.cli import steps as cli_steps
from quorvel.cli import steps_plot
from cli_support import needs_matplotlib, rows_of
from conftest import CORPUS, requires_corpus


@pytest.mark.parametrize("form", ["csv", "json", "table"])
def test_steps_parse_back(sample_path, capsys, form):
    assert cli.main(["steps", sample_path, "--format", form]) == 0
    out = capsys.readouterr().out
    run = quorvel.Vasprun(sample_path)
    steps = run.ionic_steps
    if form == "table":  # the header, a line per step, the criterion
        lines = out.splitlines()
        assert lines[0].split() == list(cli_steps.STEP_COLUMNS) and len(lines) == len(steps) + 2
        assert lines[-1] == "EDIFFG -0.01: the force criterion, max_force below 0.01 eV/Å"
        assert lines[2].split()[4] == f"{steps[1]['e_fr_energy'] - steps[0]['e_fr_energy']:.6f}"
        return
    rows = rows_of(out, form)
    assert len(rows) == len(steps) == 3 and list(rows[0]) == ["file", *cli_steps.STEP_COLUMNS]
    for number, (row, step) in enumerate(zip(rows, steps)):
        assert row["file"] == sample_path
        assert float(row["e_0_energy"]) == step["e_0_energy"]
        assert float(row["volume"]) == step["structure"]["volume"]
        assert np.isclose(float(row["max_force"]), max(np.linalg.norm(f) for f in step["forces"]))
        assert np.isclose(float(row["pressure"]), sum(step["stress"][i][i] for i in range(3)) / 3)
        if number == 0:
            assert row["delta_e"] in ("", None)
        else:
            assert float(row["delta_e"]) == step["e_fr_energy"] - steps[number - 1]["e_fr_energy"]
        assert str(row["meets_ediffg"]) == "False"  # forces above 0.01 eV/Å
    assert float(rows[-1]["e_0_energy"]) == run.final_energy


@requires_corpus
@pytest.mark.parametrize("name", ["relax-28steps.xml.gz", "relax-3steps-max-force.xml",
                                  "spin2-projected-smearing.xml"])
def test_steps_show_the_mended_energy(name):
    run = quorvel.Vasprun(str(CORPUS / name))
    rows = cli_steps.step_rows(run)
    assert rows[-1]["e_0_energy"] == run.final_energy
    for row, step, electronic in zip(rows, run.ionic_steps, run.electronic_steps):
        correction = electronic[-1, 2] - electronic[-1, 0]
        assert row["e_0_energy"] == pytest.approx(step["e_fr_energy"] + correction, abs=1e-7)


@pytest.mark.parametrize("ediffg, delta_e, max_force, met", [
    (0.002, -0.001, 5.0, True), (0.002, 0.003, 0.0, False), (0.002, None, 0.0, False),
    (-0.02, 1.0, 0.019, True), (-0.02, 0.0, 0.021, False), (-0.02, 0.0, None, False), (0.0, 0.0, 0.0, False)])
def test_the_stopping_criterion(ediffg, delta_e, max_force, met):
    assert cli_steps.Criterion(ediffg).met(delta_e, max_force) is met


def test_criterion_of_a_run(sample_path, run_xml, write_xml):
    assert cli_steps.criterion(quorvel.Vasprun(sample_path)) == cli_steps.Criterion(-0.01)
    bare = write_xml(run_xml.document(calculations=[run_xml.calculation()]))  # neither EDIFFG nor EDIFF
    assert cli_steps.criterion(quorvel.Vasprun(bare)) == cli_steps.Criterion(1e-3)
    energy = write_xml(run_xml.document(calculations=[run_xml.calculation()],
                                        incar='<i name="EDIFF">1e-6</i>'), "ediff.xml")
    assert cli_steps.criterion(quorvel.Vasprun(energy)).ediffg == pytest.approx(1e-5)


@requires_corpus
def test_the_steps_that_meet_an_energy_criterion(capsys):
    path = str(CORPUS / "relax-28steps.xml.gz")
    assert cli.main(["steps", "--format", "json", path]) == 0
    rows = rows_of(capsys.readouterr().out, "json")
    ediffg = quorvel.Vasprun(path).parameters["EDIFFG"]
    assert ediffg > 0
    assert [row["meets_ediffg"] for row in rows] == [row["delta_e"] is not None and abs(row["delta_e"]) < ediffg
                                                     for row in rows]
    assert rows[-1]["meets_ediffg"] and not rows[0]["meets_ediffg"]


def test_an_incomplete_file_gets_a_note(generate, tmp_path, capsys):
    whole = pathlib.Path(generate(steps=3))
    text = whole.read_text()
    cut = tmp_path / "cut.xml"
    cut.write_text(text[:text.rindex("<calculation>") + 200])  # inside the last calculation
    assert cli.main(["steps", str(cut)]) == 0
    out, err = capsys.readouterr()
    assert len(out.splitlines()) == 1 + 2 + 1
    assert err == f"quorvel: note: {cut}: the file is incomplete (cut off while written): the run went on after " \
                  "its last step shown\n"
    assert cli.main(["steps", str(whole)]) == 0 and capsys.readouterr().err == ""


@pytest.mark.parametrize("form", ["csv", "json", "table"])
def test_steps_of_many_files(sample_path, generate, tmp_path, capsys, form):
    other = generate(steps=2)
    missing = str(tmp_path / "missing.xml")
    assert cli.main(["steps", "--format", form, "-j", "2", other, missing, sample_path]) == 1
    out, err = capsys.readouterr()
    assert err.startswith(f"quorvel: {missing}: I/O error")
    if form == "table":  # each table under its file's name
        blocks = [block.splitlines() for block in out.split("\n\n")]
        assert [block[0] for block in blocks] == [other, sample_path]
        assert [len(block) for block in blocks] == [1 + 1 + 2 + 1, 1 + 1 + 3 + 1]
        return
    assert [(row["file"], int(row["step"])) for row in rows_of(out, form)] == \
        [(other, 1), (other, 2), (sample_path, 1), (sample_path, 2), (sample_path, 3)]


@needs_matplotlib
def test_the_relaxation_picture(sample_path, tmp_path, capsys):
    picture = tmp_path / "steps.png"
    assert cli.main(["steps", sample_path, "--plot", str(picture)]) == 0
    assert picture.read_bytes().startswith(b"\x89PNG") and capsys.readouterr().out.endswith(f"wrote {picture}\n")
    result = cli_steps.read_steps(sample_path)
    figure = steps_plot.steps_figure([result])
    figure.savefig(io.BytesIO(), format="png", dpi=40)
    energy_axes, force_axes = figure.axes
    energy, = [line for line in energy_axes.get_lines() if line.get_gid() == "energy"]
    force, = [line for line in force_axes.get_lines() if line.get_gid() == "force"]
    rows = result["rows"]
    assert list(energy.get_xdata()) == list(force.get_xdata()) == [1, 2, 3]
    assert list(energy.get_ydata()) == [row["e_0_energy"] for row in rows]
    assert list(force.get_ydata()) == [row["max_force"] for row in rows]
    assert force_axes.get_yscale() == "log" and energy_axes.get_yscale() == "linear"
    ediffg, = [line for line in force_axes.get_lines() if line.get_gid() == "ediffg"]
    assert list(ediffg.get_ydata()) == [0.01, 0.01]
    meets, = [line for line in energy_axes.get_lines() if line.get_gid() == "meets"]
    assert len(meets.get_xdata()) == 0  # no step meets the force criterion


@needs_matplotlib
@requires_corpus
def test_the_relaxation_picture_of_several_files(sample_path):
    results = [cli_steps.read_steps(path) for path in (sample_path, str(CORPUS / "relax-28steps.xml.gz"))]
    energy_axes, force_axes = steps_plot.steps_figure(results).axes
    assert [len(line.get_xdata()) for line in energy_axes.get_lines() if line.get_gid() == "energy"] == [3, 28]
    assert [text.get_text() for text in energy_axes.get_legend().get_texts()] == ["sample.xml", "relax-28steps.xml.gz"]
    meets = [line for line in energy_axes.get_lines() if line.get_gid() == "meets"]
    assert [len(line.get_xdata()) for line in meets] == [0, sum(row["meets_ediffg"] for row in results[1]["rows"])]
    assert len([line for line in force_axes.get_lines() if line.get_gid() == "ediffg"]) == 1  # the energy one has none


def test_a_plot_of_nothing(tmp_path, capsys):
    missing = str(tmp_path / "missing.xml")
    assert cli.main(["steps", missing, "--plot", str(tmp_path / "steps.png")]) == 1
    assert capsys.readouterr().err.endswith("quorvel: --plot: no ionic steps to draw\n")

"""What `dos` and `bands` share: writing the picture, matplotlib missing, text from the file, missing data."""

import sys

import pytest

import quorvel
from quorvel import cli
from quorvel.cli import bands as cli_bands, dos as cli_dos
from cli_support import arguments, needs_matplotlib, render


@needs_matplotlib
@pytest.mark.parametrize("command", ["dos", "bands"])
def test_the_picture_is_written(sample_path, tmp_path, capsys, command):
    picture = tmp_path / "out.png"
    assert cli.main([command, sample_path, "-o", str(picture)]) == 0
    assert picture.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert capsys.readouterr().out == f"wrote {picture}\n"
    assert cli.main([command, sample_path, "-o", str(tmp_path / "no" / "such" / "dir.png")]) == 1
    assert "No such file or directory" in capsys.readouterr().err


@pytest.mark.parametrize("command", ["dos", "bands"])
def test_pictures_without_matplotlib_say_so(sample_path, tmp_path, capsys, monkeypatch, command):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # makes the import fail
    assert cli.main([command, sample_path, "-o", str(tmp_path / "out.png")]) == 1
    err = capsys.readouterr().err
    assert f"the {command} command needs matplotlib" in err and "pip install 'quorvel[plot]'" in err
    assert not (tmp_path / "out.png").exists()



@needs_matplotlib
@pytest.mark.parametrize("command", ["dos", "bands"])
def test_text_from_the_file_is_not_read_as_mathematics(generate, tmp_path, command):
    path = generate("odd $name.xml", species="Si:2", labels=True, kpoints=20, dos=True)
    run = quorvel.Vasprun(path)
    if command == "dos":
        axes = render(cli_dos.dos_figure(run, arguments(command, path, "--partial")))
    else:
        axes = render(cli_bands.bands_picture([run], arguments(command, path))[1])
    assert axes.get_title() == r"Si2: odd \$name.xml"


def test_an_empty_dos_grid(run_xml, write_xml, tmp_path, capsys):
    empty = '<dos><i name="efermi">1.0</i><total><array><set><set></set></set></array></total></dos>'
    path = write_xml(run_xml.document(calculations=[run_xml.calculation(body=empty)]))
    assert cli.main(["dos", path, "-o", str(tmp_path / "dos.png")]) == 1
    assert capsys.readouterr().err == f"quorvel: {path}: the density of states has no energy grid\n"


@needs_matplotlib
def test_plots_of_files_without_the_data(generate, tmp_path, capsys):
    bare = generate(dos=False)
    assert cli.main(["dos", bare, "-o", str(tmp_path / "dos.png")]) == 1
    assert capsys.readouterr().err == f"quorvel: {bare}: no density of states in the file\n"
    assert cli.main(["dos", bare, "--partial", "-o", str(tmp_path / "dos.png")]) == 1
    one_point = generate(kpoints=1)
    assert cli.main(["bands", one_point, "-o", str(tmp_path / "bands.png")]) == 1
    assert capsys.readouterr().err.endswith("a band structure needs at least two k-points\n")


def test_bands_of_a_file_without_eigenvalues(run_xml, write_xml, tmp_path, capsys):
    path = write_xml(run_xml.document(calculations=[run_xml.calculation()]))
    assert cli.main(["bands", path, "-o", str(tmp_path / "bands.png")]) == 1
    assert capsys.readouterr().err == f"quorvel: {path}: no eigenvalues in the file\n"

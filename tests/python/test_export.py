"""Training sets: `quorvel export` and `quorvel.export`. What ASE reads back from the written file
equals ASE's own reading of the run files, to the bit; the options; failing files; an
interrupted export; standard output; the frames' values without ASE."""

import io
import math
import os
import struct
import time

import numpy as np
import pytest

import quorvel
import quorvel.export as export
from quorvel import _steps, cli
from quorvel import _extxyz
from quorvel.cli import export as cli_export, workers as cli_workers
from conftest import CORPUS, corpus_files, gen_vasprun, requires_corpus

BROKEN = {"truncated-in-parameters.xml": "Missing element <atominfo>",
          "not-xml.xml": "Missing element <modeling>"}

# ASE's Atoms set array shapes in a way NumPy 2.5 deprecates: its warning, once per frame read, is not ours.
pytestmark = pytest.mark.filterwarnings("ignore:Setting the shape on a NumPy array:DeprecationWarning")

# Where the written frames differ from ASE's reading of the run, and why.
# Where the export differs from ASE's reading, by file: none now that the reader says which steps
# wrote a stress (machine-learned MD writes none in its DFT steps: neither side has one there).
DIFFERENCES: dict[str, set[str]] = {}


@pytest.fixture
def ase_io():
    return pytest.importorskip("ase.io")


def bits(value):
    """The bytes of a float or float array, for comparisons to the bit (NaN and -0.0 included)."""
    return np.ascontiguousarray(np.asarray(value, dtype=np.float64)).tobytes()


def export_to(tmp_path, *args, name="train.xyz"):
    out = tmp_path / name
    status = cli.main(["export", *map(str, args), "-o", str(out)])
    return status, out


def sc_step(e_fr, e_0):
    return (f'<scstep><energy><i name="e_fr_energy">{e_fr}</i><i name="e_wo_entrp">-1.25</i>'
            f'<i name="e_0_energy">{e_0}</i></energy></scstep>')


def parse_frames(text):
    """A plain reading of extended XYZ text, independent of ASE: per frame the comment line's
    pairs (unquoted) and the atom rows as lists of words."""
    lines = text.splitlines()
    frames, at = [], 0
    while at < len(lines):
        count = int(lines[at])
        pairs, rest = {}, lines[at + 1]
        while rest:
            key, rest = rest.split("=", 1)
            if rest.startswith('"'):
                value, rest = rest[1:].split('"', 1)
            else:
                value, _, rest = rest.partition(" ")
            pairs[key.strip()] = value
            rest = rest.strip()
        frames.append((pairs, [row.split() for row in lines[at + 2:at + 2 + count]]))
        at += 2 + count
    return frames


# ---------------------------------------------------------------------------
# The corpus against ASE
# ---------------------------------------------------------------------------
@requires_corpus
def test_the_corpus_reads_back_as_ase_reads_the_runs(tmp_path, capsys, ase_io):
    status, out = export_to(tmp_path, CORPUS, "-j", "2")
    assert status == 1
    assert sorted(capsys.readouterr().err.splitlines()) == sorted(
        f"quorvel: {CORPUS / name}: {message}" for name, message in BROKEN.items())
    by_source = {}
    for atoms in ase_io.read(out, ":"):
        by_source.setdefault(atoms.info["source"], []).append(atoms)
    compared = expected_count = 0
    for path in corpus_files():
        written = by_source.pop(str(path), [])
        if path.name in BROKEN:
            assert written == []
            continue
        run = quorvel.Vasprun(path, parse_dos=False, parse_eigen=False)
        if not run.ionic_steps:  # GW: no ionic step, where ASE's reader fails
            assert written == []
            continue
        expected = ase_io.read(path, ":", format="vasp-xml")
        assert len(written) == len(expected) == len(run.ionic_steps), path.name
        expected_count += len(expected)
        for number, (ours, theirs) in enumerate(zip(written, expected)):
            assert ours.get_chemical_symbols() == theirs.get_chemical_symbols()
            assert list(ours.pbc) == list(theirs.pbc) == [True] * 3
            assert bits(ours.cell.array) == bits(theirs.cell.array), path.name
            assert bits(ours.positions) == bits(theirs.positions), path.name
            for name in ("energy", "free_energy", "forces", "stress"):
                if name in DIFFERENCES.get(path.name, ()):
                    assert name not in theirs.calc.results and not np.any(ours.calc.results[name])
                    continue
                if name not in theirs.calc.results:  # a stress the file did not write
                    assert name not in ours.calc.results, (path.name, number, name)
                    continue
                assert bits(ours.calc.results[name]) == bits(theirs.calc.results[name]), (path.name, number, name)
            info = ours.info
            assert (info["step"], info["steps"], info["complete"]) == (number, len(expected), run.complete)
            compared += 1
        assert ours.calc.results["energy"] == run.final_energy
        assert info["converged_electronic"] == run.converged_electronic
    assert by_source == {} and compared == expected_count > 0


@requires_corpus
def test_workers_change_nothing(tmp_path):
    outputs = []
    for jobs in ("1", "2"):
        status, out = export_to(tmp_path, CORPUS, "-j", jobs, name=f"j{jobs}.xyz")
        outputs.append(out.read_bytes())
    assert outputs[0] == outputs[1]


@requires_corpus
def test_the_vasp5_energy_is_mended_per_step():
    path = CORPUS / "relax-28steps.xml.gz"
    run = quorvel.Vasprun(path, parse_dos=False, parse_eigen=False)
    frames = export.run_frames(path)
    mended = 0
    for frame, step, electronic in zip(frames, run.ionic_steps, run.electronic_steps):
        corrected = round(step["e_fr_energy"] + (electronic[-1, 2] - electronic[-1, 0]), 8)
        if abs(corrected - step["e_0_energy"]) > 1e-7:
            assert frame.energy == corrected
            mended += 1
        else:
            assert frame.energy == step["e_0_energy"]
        assert frame.free_energy == step["e_fr_energy"]
    assert mended == 28  # this VASP 5 file writes every step's e_0_energy wrong


@requires_corpus
def test_converged_only_leaves_out_unconverged_steps_and_incomplete_files(tmp_path, ase_io):
    names = ["vasp641-unconverged.xml.gz", "truncated-in-calculation.xml.gz", "vasp642-relax-3steps.xml.gz"]
    status, out = export_to(tmp_path, *(CORPUS / name for name in names))
    assert status == 0
    assert [a.info["converged_electronic"] for a in ase_io.read(out, ":")] == [False] + [False] * 5 + [True] * 3
    status, out = export_to(tmp_path, *(CORPUS / name for name in names), "--converged-only")
    assert status == 0
    assert [os.path.basename(a.info["source"]) for a in ase_io.read(out, ":")] == [names[2]] * 3


# ---------------------------------------------------------------------------
# Values, without ASE
# ---------------------------------------------------------------------------
def test_frames_of_the_sample(sample_path):
    run = quorvel.Vasprun(sample_path)
    frames = list(export.frames(sample_path))
    assert len(frames) == 3
    for number, (frame, step) in enumerate(zip(frames, run.ionic_steps)):
        assert frame.species == tuple(run.atoms) and frame.source == sample_path
        assert (frame.step, frame.steps, frame.complete) == (number, 3, True)
        lattice = np.array(step["structure"]["lattice"])
        assert bits(frame.lattice) == bits(lattice)
        assert bits(frame.positions) == bits(np.array(step["structure"]["positions"]) @ lattice)
        assert bits(frame.forces) == bits(step["forces"])
        assert bits(frame.stress) == bits(np.array(step["stress"]) * -0.0006241509125883258)
        assert frame.free_energy == step["e_fr_energy"]
        assert bits(frame.magmoms) == bits(np.array(step["magnetization"])[:, 0])
    assert frames[-1].energy == run.final_energy
    assert frames[-1].converged_electronic == run.converged_electronic


def test_the_written_text_reads_back_to_the_same_bits(generate):
    path = generate(species="Fe:3,O:5", steps=4, spins=2, magnetization=True, pstress=12.5)
    frames = export.run_frames(path)
    out = io.StringIO()
    assert export.write_extxyz(frames, out) == 4
    parsed = parse_frames(out.getvalue())
    for frame, (pairs, rows) in zip(frames, parsed):
        assert pairs["Properties"] == "species:S:1:pos:R:3:forces:R:3:magmoms:R:1"
        assert bits([float(x) for x in pairs["Lattice"].split()]) == bits(frame.lattice.ravel())
        assert bits([float(x) for x in pairs["stress"].split()]) == bits(frame.stress.T.ravel())
        assert float(pairs["energy"]) == frame.energy and float(pairs["free_energy"]) == frame.free_energy
        table = np.array([[float(x) for x in row[1:]] for row in rows])
        assert bits(table) == bits(np.hstack([frame.positions, frame.forces, frame.magmoms[:, None]]))
        assert [row[0] for row in rows] == list(frame.species)
        assert (pairs["source"], pairs["step"], pairs["pbc"]) == (path, str(frame.step), "T T T")


def test_pstress_is_taken_off_the_energies(generate):
    plain = export.run_frames(generate(steps=2))
    pressed_path = generate(steps=2, pstress=20.0)
    pressed = export.run_frames(pressed_path)
    for a, b in zip(plain, pressed):
        pv = 20.0 * (1e-22 / 1.60217733e-19) * np.linalg.det(b.lattice)
        assert b.free_energy == pytest.approx(a.free_energy - pv, abs=1e-12)
        assert b.energy == pytest.approx(a.energy - pv, abs=1e-12)
        assert bits(a.stress) == bits(b.stress)  # the stress as the file writes it


def test_every_last_and_info(generate, tmp_path):
    path = generate(steps=7)
    assert [f.step for f in export.frames(path, every=3)] == [0, 3, 6]
    assert [f.step for f in export.frames(path, last=True)] == [6]
    frame = next(export.frames(path, info=["ENCUT", "ISPIN", "GGA", "NOSUCH", "LREAL"]))
    assert frame.info == {"ENCUT": 520.0, "ISPIN": 1, "GGA": "--", "LREAL": "Auto"}
    status, out = export_to(tmp_path, path, "--every", "3", "--info", "ENCUT,ISPIN", "--info", "GGA")
    pairs = [p for p, _ in parse_frames(out.read_text())]
    assert status == 0 and [p["step"] for p in pairs] == ["0", "3", "6"]
    assert (pairs[0]["ENCUT"], pairs[0]["ISPIN"], pairs[0]["GGA"]) == ("520.0", "1", "--")
    assert [p["step"] for p, _ in parse_frames(export_to(tmp_path, path, "--last")[1].read_text())] == ["6"]
    assert cli.main(["export", path, "-o", str(tmp_path / "x.xyz"), "--every", "2", "--last"]) == 2
    assert cli.main(["export", path, "-o", str(tmp_path / "x.xyz"), "--every", "0"]) == 2
    with pytest.raises(ValueError):
        export.frames_of_run(quorvel.Vasprun(path), path, every=0)


def test_per_step_electronic_convergence(run_xml, write_xml):
    calculations = [run_xml.calculation("-1.5", 2, body=sc_step(-1.4, -1.2)),
                    run_xml.calculation("-1.6", 2, body=sc_step(-1.4, -1.3) + sc_step(-1.6, -1.55)),
                    run_xml.calculation("-1.7", 2, body=sc_step(-1.7, -1.65))]
    path = write_xml(run_xml.document(("Si", "O"), calculations=calculations,
                                      parameters='<i type="int" name="NELM">2</i>'))
    frames = export.run_frames(path)
    assert [f.converged_electronic for f in frames] == [True, False, True]
    # the second step's e_0_energy (-1.0) is mended with its last electronic step: -1.6 + 0.05
    assert [f.energy for f in frames] == [-1.3, -1.55, -1.65]
    assert [f.step for f in export.frames(path, converged_only=True)] == [0, 2]
    cut = write_xml(run_xml.document(("Si", "O"), calculations=calculations).replace("</modeling>", ""), "cut.xml")
    assert [f.complete for f in export.frames(cut)] == [False] * 3
    assert list(export.frames(cut, converged_only=True)) == []


@pytest.mark.parametrize("incar, expected", [
    ('<i type="logical" name="ML_LMLFF"> T </i>', True),
    ('<i type="string" name="ALGO">CHI</i>', True),
    ('<i type="string" name="ALGO">Exact</i><i type="int" name="NELM">1</i>', True),
    ("", False),
])
def test_runs_without_a_loop_to_judge_converge(run_xml, write_xml, incar, expected):
    calculations = [run_xml.calculation("-1.5", 1, body=sc_step(-1.5, -1.0) * 2) for _ in range(2)]
    path = write_xml(run_xml.document(calculations=calculations, incar=incar,
                                      parameters='<i type="int" name="NELM">2</i>'))
    assert [f.converged_electronic for f in export.frames(path)] == [expected, expected]


def test_frames_that_a_training_set_cannot_use_are_left_out(sample_path):
    run = quorvel.Vasprun(sample_path)
    steps = run.ionic_steps
    steps[1]["e_fr_energy"] = math.nan  # as the reader gives energies written as asterisks
    steps[2]["forces"][0][1] = math.inf

    class Run:  # the read run, with those steps
        def __getattr__(self, name):
            return steps if name == "ionic_steps" else getattr(run, name)

    assert [f.step for f in export.frames_of_run(Run(), "run")] == [0]


@requires_corpus
def test_force_field_steps_of_machine_learned_md_are_no_frames():
    """The steps a machine-learned force field predicted (`md_steps` with "predicted") are not
    DFT results: the frames are the calculations' steps only."""
    path = str(CORPUS / "ml-md-velocities.xml.gz")
    run = quorvel.Vasprun(path)
    computed = [step for step in run.md_steps if not step["predicted"]]
    assert len(computed) < len(run.md_steps)
    frames = export.run_frames(path)
    assert [f.free_energy for f in frames] == [step["e_fr_energy"] for step in computed]
    assert [f.step for f in frames] == list(range(len(computed))) and frames[0].steps == len(computed)
    assert all(bits(f.forces) == bits(np.array(step["forces"])) for f, step in zip(frames, computed))


def test_values_vasp_wrote_as_asterisks_leave_their_step_out_with_a_note(sample_path, tmp_path, capsys):
    """VASP writes asterisks for a number too wide for its field: NaN in arrays, 0.0 for a step's
    own energies (which repeat its last electronic step's). Such a step is no training frame:
    it is left out, with a note on standard error, and the rest is written."""
    text = open(sample_path, encoding="utf-8").read()
    # the second step's free energy (in its calculation's own energy block), the third step's stress
    written = '  <energy>\n   <i name="e_fr_energy">    -26.77869546 </i>'
    assert text.count(written) == 1
    text = text.replace(written, '  <energy>\n   <i name="e_fr_energy"> ************ </i>')
    stress = text.rindex('<varray name="stress" >')
    text = text[:stress] + text[stress:].replace("0.36481294", "**********", 1)
    path = tmp_path / "asterisks.xml"
    path.write_text(text, encoding="utf-8")
    steps = quorvel.Vasprun(str(path)).ionic_steps
    assert steps[1]["e_fr_energy"] == 0.0 and math.isnan(steps[2]["stress"][0][0])
    skipped = []
    frames = export.run_frames(str(path), on_skip=lambda *note: skipped.append(note))
    assert [f.step for f in frames] == [0]
    assert skipped == [(str(path), 1, ("free_energy",)), (str(path), 2, ("stress",))]
    status, out = export_to(tmp_path, path)
    assert status == 0
    err = capsys.readouterr().err
    assert f"{path}: step 1 left out: free_energy not a finite number" in err
    assert f"{path}: step 2 left out: stress not a finite number" in err
    assert "nan" not in out.read_text().lower()
    ase_io = pytest.importorskip("ase.io")
    read_back = ase_io.read(out, ":")
    assert len(read_back) == 1 and np.isfinite(read_back[0].get_potential_energy())


def test_a_step_that_wrote_no_stress_has_none(sample_path, monkeypatch):
    monkeypatch.setattr(_steps, "stress_written", lambda run, steps: [i != 1 for i in range(len(steps))])
    frames = export.run_frames(sample_path)
    assert [f.stress is None for f in frames] == [False, True, False]
    pairs = [p for p, _ in parse_frames(_extxyz.frame_text(frames[1], export.ASE_KEYS))]
    assert "stress" not in pairs[0] and "energy" in pairs[0]


def test_failing_files_raise_or_go_to_on_error(sample_path, tmp_path):
    missing = str(tmp_path / "missing.xml")
    with pytest.raises(RuntimeError, match="I/O error"):
        list(export.frames([sample_path, missing]))
    errors = []
    frames = list(export.frames([missing, sample_path], on_error=lambda path, error: errors.append(path)))
    assert errors == [missing] and len(frames) == 3


# ---------------------------------------------------------------------------
# The command
# ---------------------------------------------------------------------------
def test_a_failing_file_is_reported_and_left_out(sample_path, tmp_path, capsys, write_xml):
    missing = str(tmp_path / "missing.xml")
    broken = write_xml("<modeling><generator>", "broken.xml")
    status, out = export_to(tmp_path, sample_path, missing, broken, sample_path)
    err = capsys.readouterr().err.splitlines()
    assert status == 1 and len(err) == 2
    assert err[0].startswith(f"quorvel: {missing}: I/O error") and err[1].startswith(f"quorvel: {broken}: ")
    sources = [p["source"] for p, _ in parse_frames(out.read_text())]
    assert sources == [sample_path] * 6


def test_standard_output(sample_path, tmp_path, capsys):
    status, out = export_to(tmp_path, sample_path)
    capsys.readouterr()
    assert cli.main(["export", sample_path, "-o", "-"]) == 0
    assert capsys.readouterr().out == out.read_text()


def test_an_interrupted_export_leaves_no_file(sample_path, tmp_path, monkeypatch):
    target = tmp_path / "train.xyz"
    seen = []

    def interrupted(frames, out, keys):
        out.write("a frame\n")
        seen.extend(os.listdir(tmp_path))  # the temporary file, while it is written
        raise KeyboardInterrupt

    monkeypatch.setattr(cli_export, "write_extxyz", interrupted)
    assert cli.main(["export", sample_path, "-o", str(target)]) == 130
    assert os.listdir(tmp_path) == [] and len(seen) == 1 and seen[0].startswith(".train.xyz.")
    target.write_text("the old set\n")
    assert cli.main(["export", sample_path, "-o", str(target)]) == 130
    assert os.listdir(tmp_path) == ["train.xyz"] and target.read_text() == "the old set\n"


def test_an_output_that_cannot_be_written(sample_path, tmp_path, capsys):
    target = tmp_path / "no" / "such" / "train.xyz"
    assert cli.main(["export", sample_path, "-o", str(target)]) == 1
    assert capsys.readouterr().err == f"quorvel: {target}: No such file or directory\n"


def test_the_output_replaces_a_file_and_keeps_its_mode(sample_path, tmp_path):
    target = tmp_path / "train.xyz"
    target.write_text("old")
    os.chmod(target, 0o640)
    assert export_to(tmp_path, sample_path)[0] == 0
    assert target.read_text().startswith("4\n") and (os.stat(target).st_mode & 0o777) == 0o640
    assert os.listdir(tmp_path) == ["train.xyz"]


def test_key_names(sample_path, tmp_path, capsys, ase_io):
    plain = ase_io.read(export_to(tmp_path, sample_path, name="ase.xyz")[1], ":")
    ref = ase_io.read(export_to(tmp_path, sample_path, "--keys", "ref", name="ref.xyz")[1], ":")
    for a, b in zip(plain, ref):
        assert set(b.calc.results) == {"magmoms"}  # the energies and forces are not a calculator's
        assert b.info["REF_energy"] == a.calc.results["energy"]
        assert b.info["REF_free_energy"] == a.calc.results["free_energy"]
        assert bits(b.arrays["REF_forces"]) == bits(a.calc.results["forces"])
        stress = b.info["REF_stress"].reshape(3, 3, order="F")
        assert bits(stress[[0, 1, 2, 1, 0, 0], [0, 1, 2, 2, 2, 1]]) == bits(a.calc.results["stress"])
    mixed = ase_io.read(export_to(tmp_path, sample_path, "--keys", "ref", "--energy-key", "E", "--forces-key",
                                  "F", "--stress-key", "S", name="mixed.xyz")[1], ":")
    assert {"E", "REF_free_energy", "S"} <= set(mixed[0].info) and "F" in mixed[0].arrays
    capsys.readouterr()
    for options in (["--energy-key", "two words"], ["--forces-key", "source"], ["--info", "energy"],
                    ["--energy-key", "free_energy"], ["--stress-key", "1st"]):
        assert cli.main(["export", sample_path, "-o", str(tmp_path / "x.xyz"), *options]) == 2, options
        assert capsys.readouterr().err.startswith("quorvel export: error: ")
    assert not (tmp_path / "x.xyz").exists()


def test_magnetic_moments_and_awkward_names(generate, tmp_path, ase_io):
    folder = tmp_path / 'a "run" [1] {x}\\ y'
    folder.mkdir()
    path = generate(str((folder / "vasprun.xml").relative_to(tmp_path)), species="Fe:2,O:2", spins=2,
                    magnetization=True, steps=2)
    frames = export.run_frames(path)
    status, out = export_to(tmp_path, folder, "--info", "MAGMOM,LWAVE")
    back = ase_io.read(out, ":")
    assert status == 0 and back[0].info["source"] == path
    assert list(back[0].info["MAGMOM"]) == quorvel.Vasprun(path).incar["MAGMOM"] and back[0].info["LWAVE"] is False
    for atoms, frame in zip(back, frames):
        assert bits(atoms.calc.results["magmoms"]) == bits(frame.magmoms)
    assert _extxyz._text("line\nbreak\udcff") == "line\ufffdbreak\ufffd"
    assert _extxyz._text("") == '""' and _extxyz._text("plain/path.xml") == "plain/path.xml"


def test_frames_from_ase_keys_are_a_single_point_calculator(generate, tmp_path, ase_io):
    path = generate(species="Si:4,O:8", md=True, steps=5, pstress=7.5)
    theirs = ase_io.read(path, ":", format="vasp-xml")
    ours = ase_io.read(export_to(tmp_path, path)[1], ":")
    for a, b in zip(ours, theirs):
        for name in ("energy", "free_energy", "forces", "stress"):
            assert bits(a.calc.results[name]) == bits(b.calc.results[name]), name
        assert bits(a.positions) == bits(b.positions)
        assert bits(a.get_stress()) == bits(b.get_stress())


def test_units_are_those_of_ase():
    units = pytest.importorskip("ase.units")
    vasp = pytest.importorskip("ase.io.vasp")
    assert export.KBAR_TO_ASE_STRESS == -0.1 * units.GPa
    assert export.PSTRESS_TO_EV_PER_A3 == 1e-22 / vasp.EVTOJ


# ---------------------------------------------------------------------------
# The parts: numbers as text, reading ahead, the generator's MD runs, types
# ---------------------------------------------------------------------------
def test_numbers_as_text_read_back_to_the_same_bits():
    rng = np.random.default_rng(7)
    values = rng.normal(size=(2000, 6)) * 10.0 ** rng.integers(-310, 308, size=(2000, 6))
    special = [0.0, -0.0, 5.0, 1e16, 1e-5, 0.0001, 5e-324, 1.7976931348623157e308, math.nan, math.inf, -math.inf]
    values = np.vstack([values, np.resize(special, (2, 6)).reshape(2, 6)])
    text = quorvel._format_rows(values, None)
    words = text.split(" ")
    assert bits([float(w) for w in words]) == bits(values.ravel())
    for word, value in zip(words, values.ravel().tolist()):
        assert len(word) <= max(len(repr(value)), 5)  # shortest: as short as repr (but 1e-04 for 0.0001)
        assert math.isnan(value) or math.isinf(value) or "." in word or "e" in word  # a float, not an integer
    lines = quorvel._format_rows(values[:2], ["Si", "Ö"]).splitlines()
    assert [line.split(" ")[0] for line in lines] == ["Si", "Ö"] and len(lines[1].split(" ")) == 7
    assert quorvel._format_rows(np.empty((0, 3)), []) == ""
    per_frame = quorvel._format_rows(values[:4], ("a", "b") * 2, 2)
    assert [text.count("\n") for text in per_frame] == [2, 2] and per_frame[1].startswith("a ")
    assert "".join(per_frame) == quorvel._format_rows(values[:4], ("a", "b") * 2) and len(per_frame) == 2
    assert quorvel._format_rows(values[:4], None, 1)[3] == quorvel._format_rows(values[3:4], None)
    for wrong in (0, 3, -1):
        with pytest.raises(ValueError, match="divide"):
            quorvel._format_rows(values[:4], None, wrong)
    with pytest.raises(TypeError):
        quorvel._format_rows(np.ones((2, 3), dtype=np.float32), None)
    with pytest.raises(TypeError):
        quorvel._format_rows(np.ones(3), None)
    with pytest.raises(ValueError):
        quorvel._format_rows(np.ones((2, 3)), ["Si"])
    with pytest.raises(TypeError):
        quorvel._format_rows(np.ones((1, 3)), [1])
    with pytest.raises(ValueError, match="not C-contiguous"):
        quorvel._format_rows(np.ones((2, 3))[:, ::2], None)


def test_reading_ahead_is_bounded():
    """Two workers read at most four files ahead of the one written next, so the memory held
    is a few runs whatever the number of files."""
    started = []

    def read(item):
        started.append(item)
        if item == 0:  # the first file is slow: the others may not pile up behind it
            deadline = time.monotonic() + 5
            while len(started) < 4 and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(0.2)
        return item

    results = cli_workers.results_in_order(read, list(range(12)), 2, None)
    assert next(results) == 0 and sorted(started) == [0, 1, 2, 3]
    assert list(results) == list(range(1, 12))


def test_the_generator_writes_md_runs(tmp_path):
    path = str(tmp_path / "md.xml")
    gen_vasprun.write_vasprun(path, species="Si:2,O:4", md=True, steps=4, pstress=3.0)
    run = quorvel.Vasprun(path)
    assert (run.incar["IBRION"], run.parameters["NSW"], run.parameters["PSTRESS"]) == (0, 4, 3.0)
    volumes = {s["structure"]["volume"] for s in run.ionic_steps}
    forces = [np.abs(s["forces"]).max() for s in run.ionic_steps]
    assert len(volumes) == 1 and min(forces) > 0.1 and run.converged_ionic


def test_the_api_type_checks(tmp_path):
    mypy_api = pytest.importorskip("mypy.api")
    usage = tmp_path / "usage.py"
    usage.write_text(
        "import sys\n"
        "import quorvel.export\n\n"
        "frames = quorvel.export.frames(['a.xml'], every=2, info=['ENCUT'], on_error=lambda p, e: None)\n"
        "energies: list[float] = [f.energy for f in frames]\n"
        "count: int = quorvel.export.write_extxyz(quorvel.export.frames('b.xml'), sys.stdout, quorvel.export.REF_KEYS)\n")
    output, error, status = mypy_api.run(["--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                                          str(usage)])
    assert status == 0, output + error

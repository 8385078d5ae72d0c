"""Construction of Vasprun: argument binding and conversion, parse failures, module and class."""

import gzip
import inspect
import itertools
import os
import pathlib
import subprocess
import sys
import weakref

import numpy as np
import pytest

import quorvel

Vasprun = quorvel.Vasprun


class FsPath:  # an os.PathLike whose __fspath__ returns what it was given
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Index:  # __index__ returns the value, or raises it (from cause) when it is an exception
    def __init__(self, value, cause=None):
        self.value, self.cause = value, cause

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value from self.cause
        return self.value


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "missing 1 required positional argument: 'path'"),
    (("x", True, True, False, None, 0, 1), {}, "takes from 1 to 6 positional arguments but 7 were given"),
    (("x",), {"parse_doss": True}, "got an unexpected keyword argument 'parse_doss'"),
    (("x",), {"path": "y"}, "got multiple values for argument 'path'"),
    (("x", True), {"parse_dos": False}, "got multiple values for argument 'parse_dos'"),
])
def test_binding_failures(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Vasprun(*args, **kwargs)
    assert str(info.value) == "Vasprun.__new__() " + message


@pytest.mark.parametrize("kwargs, message", [
    ({"path": bytearray(b"r")}, "'path': 'bytearray' object cannot be converted to 'PyString'"),
    ({"path": 1, "parse_dos": 1}, "'path': 'int' object cannot be converted to 'PyString'"),
    ({"path": FsPath(1)}, "'path': expected FsPath.__fspath__() to return str or bytes, not int"),
    ({"path": "r", "parse_dos": 1}, "'parse_dos': 'int' object cannot be converted to 'PyBool'"),
    ({"path": "r", "parse_eigen": 0}, "'parse_eigen': 'int' object cannot be converted to 'PyBool'"),
    ({"path": "r", "parse_projected": None}, "'parse_projected': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"path": "r", "parse_dos": np.int64(1)}, "'parse_dos': 'int64' object cannot be converted to 'PyBool'"),
    ({"path": "", "ionic_step_offset": None}, "'ionic_step_offset': 'NoneType' object cannot be interpreted as an integer"),
    ({"path": "r", "ionic_step_skip": 1.5}, "'ionic_step_skip': 'float' object cannot be interpreted as an integer"),
    ({"path": "r", "ionic_step_offset": Index(TypeError("no index"))}, "'ionic_step_offset': no index"),
    ({"path": "r", "ionic_step_skip": Index(TypeError("inner"), KeyError("k"))}, "'ionic_step_skip': inner"),
])
def test_conversion_failures_name_the_argument(kwargs, message):
    with pytest.raises(TypeError) as info:
        Vasprun(**kwargs)
    assert type(info.value) is TypeError and info.value.args == ("argument " + message,)
    assert info.value.__cause__ is getattr(kwargs.get("ionic_step_skip"), "cause", None)  # kept from the original


@pytest.mark.parametrize("name", ["ionic_step_skip", "ionic_step_offset"])
@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, Index(-1), Index(2**64), Index(ValueError("bad"))])
def test_other_count_failures_pass_without_prefix(sample_path, name, value):
    expected = ValueError if isinstance(getattr(value, "value", 0), ValueError) else OverflowError
    with pytest.raises(expected) as info:
        Vasprun(sample_path, **{name: value})
    assert type(info.value) is expected and not str(info.value).startswith("argument")


@pytest.mark.parametrize("kwargs, nsteps", [
    ({"ionic_step_skip": None}, 3), ({"ionic_step_skip": 0}, 3), ({"ionic_step_skip": Index(0)}, 3),
    ({"ionic_step_skip": np.uint64(0)}, 3), ({"ionic_step_offset": Index(1)}, 2),
    ({"ionic_step_offset": np.int32(2)}, 1), ({"ionic_step_offset": 2**64 - 1}, 0), ({"ionic_step_skip": 2**64 - 1}, 1),
])
def test_counts_accept_integers_and_index_objects(sample_path, kwargs, nsteps):
    assert len(Vasprun(sample_path, **kwargs).ionic_steps) == nsteps


@pytest.mark.parametrize("flag", [np.True_, np.bool_(True), np.array(True)[()]])
def test_numpy_booleans_and_str_subclasses_are_accepted(sample_path, flag):
    run = Vasprun(type("Path", (str,), {})(sample_path), np.False_, flag, parse_projected=flag)
    assert run.dos is None and run.eigenvalues is not None and run.projected is not None
    with pytest.raises(UnicodeEncodeError):
        Vasprun("run\ud800.xml")  # no file-system form at all


def test_file_names_as_the_file_system_has_them(sample_path, tmp_path):
    # a name that is not UTF-8, as os.listdir gives it (with surrogate escapes)
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.xml"
    with open(sample_path, "rb") as source, open(raw, "wb") as target:
        target.write(source.read())
    (name,) = [name for name in os.listdir(tmp_path) if name.startswith("caf")]
    assert name == "caf\udce9.xml"
    assert len(Vasprun(os.path.join(str(tmp_path), name)).ionic_steps) == 3
    assert len(Vasprun(str(tmp_path / "caf\u00e9.xml").replace("\u00e9", "\udce9")).ionic_steps) == 3


def _same(a, b):
    """Equal values, arrays and NaN included, of the same types."""
    if isinstance(a, np.ndarray):
        return (isinstance(b, np.ndarray) and a.dtype == b.dtype
                and np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"))
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(_same, a, b))
    return type(a) is type(b) and (a == b or (a != a and b != b))


def test_a_path_is_taken_as_open_takes_it(sample_path, tmp_path):
    # str, bytes and any os.PathLike name the same file; a name that is not UTF-8 too
    odd = tmp_path / os.fsdecode(b"run-\xff.xml")
    odd.write_bytes(pathlib.Path(sample_path).read_bytes())
    expected = repr(Vasprun(sample_path))
    for path in (pathlib.Path(sample_path), os.fsencode(sample_path), FsPath(sample_path),
                 FsPath(os.fsencode(sample_path)), odd, bytes(odd), str(odd)):
        assert repr(Vasprun(path)) == expected, path


def test_the_class_pickles_by_reference():
    import pickle
    assert pickle.loads(pickle.dumps(Vasprun)) is Vasprun
    assert pickle.loads(pickle.dumps([quorvel.InternalFault])) == [quorvel.InternalFault]


def test_every_member_of_a_gzip_file_is_read(sample_path, write_xml, property_names):
    # the sample in three pieces, each gzipped on its own and the files put end to end, as cat does
    text = pathlib.Path(sample_path).read_bytes()
    cuts = [0, len(text) // 3, 2 * len(text) // 3, len(text)]
    joined = b"".join(gzip.compress(text[a:b]) for a, b in zip(cuts, cuts[1:]))
    whole = Vasprun(sample_path, parse_projected=True)
    run = Vasprun(write_xml(joined, "joined.xml.gz"), parse_projected=True)
    for name in property_names:
        assert _same(getattr(run, name), getattr(whole, name)), name
    assert len(Vasprun(write_xml(joined + bytes(512), "padded.xml.gz")).ionic_steps) == 3
    with pytest.raises(RuntimeError, match=r"^I/O error: trailing garbage after gzip data$"):
        Vasprun(write_xml(joined + b"junk", "junk.xml.gz"))


@pytest.mark.parametrize("members", [1, 3])
def test_a_gzip_file_inflated_ahead_of_the_parse_reads_as_inflated_in_one_go(sample_path, write_xml, property_names,
                                                                           monkeypatch, members):
    # QUORVEL_INFLATE_AHEAD=1 inflates every gzip file on a thread of its own while it is parsed, =0 none
    text = pathlib.Path(sample_path).read_bytes()
    cuts = [len(text) * i // members for i in range(members + 1)]
    data = b"".join(gzip.compress(text[a:b]) for a, b in zip(cuts, cuts[1:]))
    path = write_xml(data, "ahead.xml.gz")
    bad = bytearray(data)
    bad[-8] ^= 1
    bad_path = write_xml(bytes(bad), "bad.xml.gz")
    runs = {}
    for setting in ("0", "1"):
        monkeypatch.setenv("QUORVEL_INFLATE_AHEAD", setting)
        runs[setting] = Vasprun(path, parse_projected=True)
        with pytest.raises(RuntimeError, match=r"^I/O error: corrupt gzip stream does not have a matching checksum$"):
            Vasprun(bad_path)
    for name in property_names:
        assert _same(getattr(runs["1"], name), getattr(runs["0"], name)), name


@pytest.mark.parametrize("content, name, message", [
    ("document without kpoints", "run.xml", "Missing element <kpoints>"),
    ("document", "run.xml.gz", "I/O error: invalid gzip header"),
    ("plain words", "run.xml", "Missing element <modeling>"),
    ("<modeling></modeling>", "run.xml", "Missing element <generator>"),
    (None, "absent.xml", "I/O error: "),
])
def test_parse_failures_raise_runtime_error(write_xml, run_xml, tmp_path, content, name, message):
    if content and content.startswith("document"):
        content = run_xml.document(kpoints=content == "document")
    path = write_xml(content, name) if content else str(tmp_path / name)
    with pytest.raises(RuntimeError) as info:
        Vasprun(path)
    assert isinstance(info.value, quorvel.ParseError) and len(info.value.args) == 1 and "\n" not in str(info.value)
    assert str(info.value) == message if content else str(info.value).startswith(message)


def test_class_attributes(property_names):
    assert Vasprun.__doc__.startswith("A VASP run file") and Vasprun.__mro__ == (Vasprun, object)
    assert Vasprun.__text_signature__ == ("(path, parse_dos=True, parse_eigen=True, parse_projected=False, "
                                          "ionic_step_skip=None, ionic_step_offset=0)")
    assert (Vasprun.__module__, Vasprun.__qualname__, Vasprun.__name__) == ("quorvel", "Vasprun", "Vasprun")
    params = inspect.signature(Vasprun).parameters.values()
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert [(p.name, p.default) for p in params] == [
        ("path", inspect.Parameter.empty), ("parse_dos", True), ("parse_eigen", True),
        ("parse_projected", False), ("ionic_step_skip", None), ("ionic_step_offset", 0)]
    declared = [k for k, v in vars(Vasprun).items() if inspect.isdatadescriptor(v) and not k.startswith("__")]
    assert declared == property_names and all(getattr(Vasprun, k).__doc__ for k in declared)
    with pytest.raises(TypeError):
        type("Sub", (Vasprun,), {})


def test_instances_are_immutable_and_module_is_minimal(sample_path):
    run = Vasprun(sample_path)
    for name, change in itertools.product(("program", "dos", "new"), (lambda r, n: setattr(r, n, 1), delattr)):
        with pytest.raises(AttributeError):
            change(run, name)
    with pytest.raises(TypeError):
        weakref.ref(run)
    assert not hasattr(run, "__dict__") and quorvel.__name__ == "quorvel"
    assert quorvel.__all__ == ["Vasprun"] and quorvel.__doc__.startswith("Python extension module. ")
    # a fresh interpreter: the submodules that other tests import are attributes once imported
    names = subprocess.run([sys.executable, "-c", "import quorvel; print(sorted(vars(quorvel)))"],
                           capture_output=True, text=True, check=True).stdout
    public = {name for name in eval(names) if not name.startswith("__")}
    errors = {"ParseError", "IoError", "XmlError", "EncodingError", "MissingElementError", "ParseValueError",
              "ShapeMismatchError"}
    assert public == {"Vasprun", "InternalFault", "build_info", "_restore", "_format_rows"} | errors
    # A fault is caught by `except quorvel.InternalFault`, never by `except Exception`.
    assert quorvel.InternalFault.__bases__ == (BaseException,)
    assert quorvel.InternalFault.__module__ == "quorvel"
    container = type(run.kpoints["kpointlist"].base)
    assert (container.__name__, container.__module__, container.__mro__) == (
        "PySliceContainer", "builtins", (container, object))
    with pytest.raises(TypeError) as info:
        container()
    assert str(info.value) == "No constructor defined for PySliceContainer"


def test_build_info_names_the_libraries_of_this_build():
    assert quorvel.build_info.keys() == {"gzip", "floats", "inflate_ahead"}
    assert quorvel.build_info["inflate_ahead"] in ("isal", "none")
    assert quorvel.build_info["gzip"] in ("libdeflate", "zlib")
    assert quorvel.build_info["floats"] in ("fast_float", "from_chars")

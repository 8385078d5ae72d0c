"""What a failed parse raises: quorvel.ParseError, a RuntimeError whose text is
the problem's, one subclass per kind with the kind's fields, and for failures
of the operating system also the OSError of their errno."""

import errno
import os
import pickle

import pytest

import quorvel
from quorvel import Vasprun

KINDS = ["IoError", "XmlError", "EncodingError", "MissingElementError", "ParseValueError", "ShapeMismatchError"]


def raised(path, **options):
    with pytest.raises(RuntimeError) as info:
        Vasprun(path, **options)
    error = info.value
    assert isinstance(error, quorvel.ParseError) and error.args == (str(error),)
    return error


def test_the_classes_are_module_attributes_below_runtime_error():
    assert issubclass(quorvel.ParseError, RuntimeError) and quorvel.ParseError.__module__ == "quorvel"
    for name in KINDS:
        kind = getattr(quorvel, name)
        assert kind.__bases__ == (quorvel.ParseError,) and kind.__qualname__ == name
    assert quorvel.__all__ == ["Vasprun"]
    assert not issubclass(quorvel.IoError, OSError)  # only failures of the system are


def test_missing_element_is_caught_by_its_class_and_as_runtime_error(run_xml, write_xml):
    path = write_xml(run_xml.document().replace("<incar></incar>", ""))
    with pytest.raises(quorvel.MissingElementError) as info:
        Vasprun(path)
    assert str(info.value) == "Missing element <incar>" and info.value.element == "incar"
    assert info.value.offset is None  # a missing section has no place
    with pytest.raises(RuntimeError, match="^Missing element <incar>$"):
        Vasprun(path)


@pytest.mark.parametrize("body, kind, text, fields", [
    ('<varray name="forces"><v>1.0 2.0</v></varray>', "ParseValueError",
     "Failed to parse value '1.0 2.0' as [f64; 3]: expected 3 values, got 2",
     {"value": "1.0 2.0", "type_name": "[f64; 3]", "message": "expected 3 values, got 2"}),
    ("<eigenvalues><array><set><set><set><r>1 2</r></set></set><set><set><r>1 2</r><r>3 4</r></set></set>"
     "</set></array></eigenvalues>", "ShapeMismatchError", None, {}),
    ("<dos><i>&bogus;</i></dos>", "ParseError", "Unrecognized escape sequence '&bogus;' in text",
     {"message": "Unrecognized escape sequence '&bogus;' in text"}),
    ("<x><!-x></x>", "XmlError", None, {}),
])
def test_each_kind_carries_its_fields_and_place(run_xml, write_xml, body, kind, text, fields):
    document = run_xml.document(calculations=[run_xml.calculation(body=body)])
    error = raised(write_xml(document))
    assert type(error) is getattr(quorvel, kind)
    if text is not None:
        assert str(error) == text
    for name, value in fields.items():
        assert getattr(error, name) == value, name
    # the reader stood inside the calculation, past the text at fault
    start = document.index("<calculation>")
    assert start < error.offset <= document.index("</calculation>") + len("</calculation>")
    if kind == "XmlError":
        assert str(error) == "XML parse error: " + error.description
        assert error.description.endswith(f" at byte {error.offset}")
        assert document[error.offset:].startswith("<!-x>")
    if kind == "ShapeMismatchError":
        assert str(error) == f"Unexpected array shape: expected {error.expected}, got {error.got}"
        assert all(isinstance(n, int) for n in error.expected + error.got)


def test_encoding_error_has_its_message(write_xml):
    error = raised(write_xml(b"\xef\xbb\xbf<modeling>\xff</modeling>"))
    assert type(error) is quorvel.EncodingError
    assert error.message == "Failed to decode vasprun.xml as ISO-8859-1" and error.offset is None


@pytest.mark.parametrize("make, os_class, code", [
    (lambda tmp: str(tmp / "absent.xml"), FileNotFoundError, errno.ENOENT),
    (lambda tmp: str(tmp), IsADirectoryError, errno.EISDIR),
    (lambda tmp: str(tmp / "absent" / "run.xml"), FileNotFoundError, errno.ENOENT),
])
def test_failures_of_the_system_are_os_errors(tmp_path, make, os_class, code):
    path = make(tmp_path)
    with pytest.raises(os_class) as info:
        Vasprun(path)
    error = info.value
    assert isinstance(error, (quorvel.IoError, RuntimeError, OSError))
    assert str(error) == f"I/O error: {os.strerror(code)} (os error {code})"
    assert (error.errno, error.strerror, error.filename) == (code, os.strerror(code), path)
    assert error.args == (str(error),) and error.offset is None
    assert type(error) is getattr(quorvel.IoError, os_class.__name__)


def test_a_file_that_cannot_be_read_is_a_permission_error(tmp_path):
    path = tmp_path / "locked.xml"
    path.write_text("<modeling/>")
    path.chmod(0)
    try:
        if os.access(path, os.R_OK):
            pytest.skip("the superuser reads every file")
        with pytest.raises(PermissionError) as info:
            Vasprun(str(path))
        assert isinstance(info.value, quorvel.IoError) and info.value.errno == errno.EACCES
    finally:
        path.chmod(0o644)


def test_corrupt_gzip_data_is_no_os_error(write_xml):
    path = write_xml("not gzip", "run.xml.gz")
    error = raised(path)
    assert type(error) is quorvel.IoError and not isinstance(error, OSError)
    assert str(error) == "I/O error: invalid gzip header"
    assert (error.errno, error.strerror, error.filename) == (None, "invalid gzip header", path)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_errors_survive_pickling(tmp_path, write_xml, run_xml, protocol):
    errors = [raised(str(tmp_path / "absent.xml")), raised(write_xml("x", "run.xml.gz")),
              raised(write_xml("<modeling></modeling>"))]
    for error in errors:
        copy = pickle.loads(pickle.dumps(error, protocol))
        assert type(copy) is type(error) and str(copy) == str(error) and copy.args == error.args
        for name in ("offset", "element", "errno", "strerror", "filename"):
            assert getattr(copy, name, "absent") == getattr(error, name, "absent"), name

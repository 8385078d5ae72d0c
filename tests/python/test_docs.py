"""help() for everything: the class and every property say what they hold, and the type stub says the same."""

import ast
import pathlib

import quorvel

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "quorvel" / "__init__.pyi"


def stub_docs():
    """The doc strings of the stub's Vasprun class and of its properties, by name."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Vasprun")
    docs = {"": ast.get_docstring(cls, clean=True)}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and any(getattr(d, "id", None) == "property" for d in node.decorator_list):
            docs[node.name] = ast.get_docstring(node, clean=True)
    return docs


def test_the_stub_repeats_every_doc_string(property_names):
    import inspect
    docs = stub_docs()
    assert docs.pop("") == inspect.cleandoc(quorvel.Vasprun.__doc__)
    assert list(docs) == property_names
    for name, text in docs.items():
        assert text == inspect.cleandoc(getattr(quorvel.Vasprun, name).__doc__), name


def test_the_class_doc_names_every_argument_and_error():
    doc = quorvel.Vasprun.__doc__
    for word in ("path", "parse_dos", "parse_eigen", "parse_projected", "ionic_step_skip", "ionic_step_offset",
                 "RuntimeError", "ParseError", "FileNotFoundError", "TypeError", "OverflowError", "os.PathLike"):
        assert word in doc, word


def test_converged_points_to_the_run_checks():
    doc = quorvel.Vasprun.converged.__doc__
    assert "converged_electronic" in doc and "converged_ionic" in doc and "does not compare" in doc


def test_the_bulk_docs_begin_with_their_fixed_texts():
    assert quorvel.Vasprun.eigenvalues.__doc__.startswith(
        "ndarray shape (nspins, nkpts, nbands, 2).  Axis-3: [energy, occupancy].")
    assert quorvel.Vasprun.projected.__doc__.startswith(
        'Returns a dict with keys ``"data"`` (ndarray shape\n``(nspins, nkpts, nbands, nions, norbitals)``) and '
        '``"orbitals"``\n(list of orbital label strings), or ``None`` if not parsed.')

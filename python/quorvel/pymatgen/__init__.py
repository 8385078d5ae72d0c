"""pymatgen's objects from quorvel's reader: change one import.

    from quorvel.pymatgen import Vasprun   # instead of pymatgen.io.vasp.outputs

Needs pymatgen (`pip install 'quorvel[pymatgen]'`)."""

from .._peers import require

require("pymatgen.io.vasp.outputs", "pymatgen")

from .vasprun import Vasprun  # noqa: E402  # after the check, which names the extra

__all__ = ["Vasprun"]

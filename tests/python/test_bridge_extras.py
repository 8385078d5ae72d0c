"""The bridges are optional: without their peer, importing one names the extra that brings it."""

import subprocess
import sys

import pytest


@pytest.mark.parametrize(("bridge", "peer"), [("quorvel.pymatgen", "pymatgen"), ("quorvel.ase", "ase")])
def test_a_bridge_without_its_peer_names_the_extra(bridge: str, peer: str) -> None:
    # None in sys.modules makes an import of the peer fail as if it were not installed
    code = f"import sys; sys.modules[{peer!r}] = None\nimport {bridge}"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 1
    assert f"ImportError: {bridge} needs the package {peer}: pip install 'quorvel[{peer}]'" in done.stderr


def test_quorvel_itself_imports_no_peer() -> None:
    code = "import sys, quorvel, quorvel.cli; print(sorted({'pymatgen', 'ase'} & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"

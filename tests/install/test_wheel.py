"""The portable wheel of tools/wheel.sh: tagged manylinux for this machine's C library and
architecture, and, installed into a fresh virtual environment, run with nothing from the
system but the libraries of the manylinux policy: libdeflate and ISA-L are inside the wheel
(linked into the module, or copied into quorvel.libs by auditwheel), never the system's.

The wheel is QUORVEL_WHEEL when set (tools/test.sh passes the one it built), else built here."""

import gzip
import json
import os
import pathlib
import platform
import re
import sys

import pytest

from install_support import ROOT, base_interpreter, make_venv, pip_env, run

# What a manylinux wheel may take from the system (the policy's libraries that a module like
# this one can need), by the start of their file names.
POLICY = ("linux-vdso", "ld-linux", "libc.so", "libm.so", "libdl.so", "librt.so", "libpthread.so", "libgcc_s.so",
          "libstdc++.so", "libz.so")

# Reads a gzip file with projections in the fresh environment, then reports what the process
# has mapped.
CHILD = r"""
import json, sys
import quorvel
run = quorvel.Vasprun(sys.argv[1], parse_projected=True)
assert run.projected["data"].shape[-1] == 9 and run.converged
with open("/proc/self/maps") as maps:
    mapped = sorted({line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6})
print(json.dumps({"module": quorvel.__file__, "build_info": quorvel.build_info, "mapped": mapped}))
"""


@pytest.fixture(scope="module")
def wheel():
    given = os.environ.get("QUORVEL_WHEEL")
    if given:
        return pathlib.Path(given)
    return pathlib.Path(run(["bash", ROOT / "tools" / "wheel.sh"], env=pip_env()).stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def installed(tmp_path_factory, wheel):
    """(interpreter, site-packages) of a fresh environment with only the wheel and its dependencies."""
    folder = tmp_path_factory.mktemp("wheel")
    python = make_venv(base_interpreter(), folder / "venv")
    run([python, "-m", "pip", "install", "-q", wheel], env=pip_env())
    site = run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).stdout.strip()
    return python, pathlib.Path(site)


def glibc():
    name, version = platform.libc_ver()
    assert name == "glibc", "a manylinux wheel is built on a glibc system"
    return tuple(int(part) for part in version.split(".")[:2])


def test_the_tag_is_manylinux_for_this_machine(wheel):
    match = re.fullmatch(r"quorvel-[^-]+-cp(\d)(\d+)-cp\d+-manylinux_(\d+)_(\d+)_(\w+)\.whl", wheel.name)
    assert match, wheel.name
    python, major, minor, arch = match.group(1, 2), int(match.group(3)), int(match.group(4)), match.group(5)
    assert python == (str(sys.version_info[0]), str(sys.version_info[1]))
    assert arch == platform.machine() and (major, minor) <= glibc()
    # auditwheel finds the wheel consistent with that tag: it needs nothing beyond the policy.
    shown = " ".join(run([sys.executable, "-m", "auditwheel", "show", wheel]).stdout.split())
    assert f'consistent with the following platform tag: "manylinux_{major}_{minor}_{arch}"' in shown, shown


def test_it_runs_without_the_system_libdeflate(installed, tmp_path):
    python, site = installed
    packed = tmp_path / "sample.xml.gz"
    packed.write_bytes(gzip.compress((ROOT / "samples" / "sample.xml").read_bytes()))
    env = dict(pip_env(), LD_LIBRARY_PATH="")
    report = json.loads(run([python, "-c", CHILD, packed], env=env, cwd=tmp_path).stdout)
    module = pathlib.Path(report["module"])
    assert module.parent == site / "quorvel" and report["build_info"] == {"gzip": "libdeflate", "floats": "fast_float",
                                                                       "inflate_ahead": "isal"}
    bundled = site / "quorvel.libs"
    for path in report["mapped"]:
        if "libdeflate" in path or "libisal" in path:
            assert pathlib.Path(path).parent == bundled, f"library mapped from outside the wheel: {path}"
    # What the module needs is found in the wheel or is a library of the policy.
    needed = run(["ldd", module], env=env).stdout
    for line in needed.splitlines():
        found = line.split("=>")[-1].split("(")[0].strip() or line.split()[0]
        name = os.path.basename(line.split()[0])
        assert "not found" not in line, line
        # The module lives inside the package: its libraries are found through `quorvel/../quorvel.libs`.
        inside = pathlib.Path(os.path.normpath(found)).parent == bundled
        assert name.startswith(POLICY) or inside, line
        if "libdeflate" in name or "libisal" in name:
            assert inside, line

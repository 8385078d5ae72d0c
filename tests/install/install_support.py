"""Helpers of the install tests: interpreters, fresh virtual environments, and
commands whose output goes into the report when they fail."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DIGEST = pathlib.Path(__file__).resolve().parent / "digest.py"
SUPPORTED = ("3.10", "3.11", "3.12", "3.13")  # oldest first


def run(command, *, timeout=1800, **options):
    """Runs `command`; on failure, fails the test with the end of its output."""
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True, timeout=timeout,
                          **options)
    if done.returncode != 0:
        pytest.fail(f"{' '.join(map(str, command))} exited with {done.returncode}:\n"
                    f"{done.stdout[-6000:]}\n{done.stderr[-6000:]}", pytrace=False)
    return done


def base_interpreter():
    """The interpreter this environment was made from (the one to make fresh environments with)."""
    return getattr(sys, "_base_executable", None) or sys.executable


def oldest_interpreter():
    """QUORVEL_OLDEST_PYTHON, else the oldest supported CPython found (pyenv's too), else this one's base."""
    given = os.environ.get("QUORVEL_OLDEST_PYTHON")
    if given:
        return given
    pyenv = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    for version in SUPPORTED:
        candidates = [shutil.which(f"python{version}")]
        candidates += sorted(str(p) for p in pyenv.glob(f"versions/{version}.*/bin/python{version}"))
        for candidate in filter(None, candidates):
            if subprocess.run([candidate, "-c", "import venv, ensurepip"], capture_output=True).returncode == 0:
                return candidate
    return base_interpreter()


def make_venv(interpreter, folder):
    """A fresh virtual environment at `folder`; returns its interpreter."""
    run([interpreter, "-m", "venv", folder])
    return pathlib.Path(folder) / "bin" / "python"


def pip_env():
    """The environment for pip: builds at the machine's usual parallelism, no stray PYTHONPATH."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 2))
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def installed_module(python):
    """The path of the quorvel extension module that `python` imports."""
    return pathlib.Path(run([python, "-c", "import quorvel; print(quorvel.__file__)"], cwd="/").stdout.strip())

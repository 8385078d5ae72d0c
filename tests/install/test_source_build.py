"""A newcomer's install: the source archive built, then installed by pip into a fresh virtual
environment of the oldest supported CPython with libdeflate, fast_float and ISA-L turned off, as on a
machine that has only a compiler and zlib. It must build, say which paths it took, and give
the same results to the bit as the default build, and pass the Python tests."""

import json
import os
import shutil
import subprocess
import sys

import pytest

from install_support import DIGEST, ROOT, installed_module, make_venv, oldest_interpreter, pip_env, run

# scikit-build-core's environment variable rather than pip's --config-settings, which the pip
# of a fresh environment may be too old to repeat.
WITHOUT_OPTIONAL = {"SKBUILD_CMAKE_DEFINE": "QUORVEL_USE_LIBDEFLATE=OFF;QUORVEL_USE_FAST_FLOAT=OFF;QUORVEL_USE_ISAL=OFF"}


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sdist")
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", folder, ROOT], env=pip_env())
    (archive,) = folder.glob("quorvel-*.tar.gz")
    return archive


@pytest.fixture(scope="module")
def fallback(tmp_path_factory, sdist):
    """(interpreter, pip's verbose log) of the fresh environment with the source build in it.

    pip builds in an isolated environment, fetching scikit-build-core and NumPy (and CMake and
    Ninja when the machine has none) as a newcomer's pip would; the test extra brings pytest."""
    folder = tmp_path_factory.mktemp("fallback")
    python = make_venv(oldest_interpreter(), folder / "venv")
    done = run([python, "-m", "pip", "install", "-v", f"{sdist}[test]"], env=dict(pip_env(), **WITHOUT_OPTIONAL),
               cwd=folder)
    return python, done.stdout + done.stderr


def test_the_build_says_which_paths_it_took(fallback):
    _, log = fallback
    assert "quorvel: gzip through zlib alone (QUORVEL_USE_LIBDEFLATE=OFF)" in log
    assert "quorvel: numbers through std::from_chars (QUORVEL_USE_FAST_FLOAT=OFF)" in log
    assert "quorvel: gzip inflated before the parse (ISA-L not used)" in log


def test_with_only_zlib_to_find_the_default_options_take_the_fallbacks(tmp_path):
    """The newcomer's case itself, at configure time: CMake sees a prefix holding zlib alone."""
    prefix = tmp_path / "prefix"
    (prefix / "include").mkdir(parents=True)
    (prefix / "lib").mkdir()
    headers = run(["g++", "-M", "-x", "c++", "-"], input="#include <zlib.h>\n").stdout
    for header in headers.replace("\\\n", " ").split():
        if os.path.basename(header) in ("zlib.h", "zconf.h"):
            shutil.copy(header, prefix / "include")
    (prefix / "lib" / "libz.so").symlink_to(run(["g++", "-print-file-name=libz.so"]).stdout.strip())
    done = run(["cmake", "-S", ROOT, "-B", tmp_path / "build", f"-DCMAKE_FIND_ROOT_PATH={prefix}",
                "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY", "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY",
                "-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY"], env=pip_env())
    assert "quorvel: gzip through zlib alone (libdeflate not found)" in done.stdout
    assert "quorvel: numbers through std::from_chars (fast_float not found)" in done.stdout
    assert "quorvel: gzip inflated before the parse (ISA-L not used)" in done.stdout


def test_the_module_and_the_command_report_them(fallback):
    python, _ = fallback
    shown = run([python, "-c", "import json, quorvel; print(json.dumps(quorvel.build_info))"], cwd="/").stdout
    assert json.loads(shown) == {"gzip": "zlib", "floats": "from_chars", "inflate_ahead": "none"}
    version = run([python.parent / "quorvel", "--version"]).stdout
    assert version.startswith("quorvel ") and version.endswith(" (gzip: zlib, floats: from_chars)\n")


def test_the_module_uses_neither_library(fallback):
    """No libdeflate among the libraries it loads; std::from_chars imported from the C++ library,
    which the default build, with fast_float inlined, does not need."""
    python, _ = fallback
    module = installed_module(python)
    assert "libdeflate" not in run(["ldd", module]).stdout and "libisal" not in run(["ldd", module]).stdout
    imported = run(["nm", "-D", "--undefined-only", "--demangle", module]).stdout
    assert "std::from_chars(char const*, char const*, double&" in imported
    default = run(["nm", "-D", "--undefined-only", "--demangle", installed_module(sys.executable)]).stdout
    assert "std::from_chars" not in default


def test_same_results_to_the_bit_as_the_default_build(fallback, compared_files):
    python, _ = fallback
    ours = json.loads(run([python, DIGEST, *compared_files], cwd="/").stdout)
    default = json.loads(run([sys.executable, DIGEST, *compared_files], cwd="/").stdout)
    assert json.loads(run([sys.executable, "-c", "import json, quorvel; print(json.dumps(quorvel.build_info))"],
                          cwd="/").stdout) == {"gzip": "libdeflate", "floats": "fast_float",
                                               "inflate_ahead": "isal"}
    assert ours.keys() == default.keys() == set(compared_files)
    for path in compared_files:
        differing = [(options, name) for options, values in default[path].items() for name, value in values.items()
                     if ours[path].get(options, {}).get(name) != value]
        assert ours[path] == default[path], f"{path}: (options, property) differing: {differing}"
    # The comparison means something only if the sample and its variants were read.
    read = [p for p in compared_files if "error" not in default[p]["projected"]]
    assert sum("sample" in os.path.basename(p) for p in read) == 4


def test_the_python_tests_pass_on_the_oldest_python(fallback):
    python, _ = fallback
    done = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/python"], cwd=ROOT,
                          capture_output=True, text=True, timeout=1800, env=pip_env())
    assert done.returncode == 0, done.stdout[-8000:] + done.stderr[-4000:]

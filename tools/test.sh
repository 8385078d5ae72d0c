#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the reader core (built with
# -Werror), then the Python tests against the portable wheel, installed into
# .venv (the newest CPython), then the install tests: the wheel in a fresh
# environment, and the source archive built without the optional libraries
# on the oldest CPython.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$QUORVEL_ROOT"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_TESTS=ON -DQUORVEL_TOOLS=ON -DQUORVEL_WERROR=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$jobs}"
wheel=$(bash tools/wheel.sh 2>build/wheel.log | tail -n 1) || { cat build/wheel.log >&2; exit 1; }
"$PYTHON" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
"$PYTHON" -m pytest -q tests/python

# The wheel in a fresh environment, away from the system's libdeflate; the
# source archive installed without libdeflate and fast_float on the oldest
# CPython, checked against the wheel's results and with the Python tests.
QUORVEL_WHEEL="$wheel" QUORVEL_OLDEST_PYTHON=$(find_python "${QUORVEL_PYTHON_VERSIONS[@]}") \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests/install

# The benchmark's smallest case, once, to show it still runs.
QUORVEL_BENCH_NO_INSTALL=1 bash bench/run.sh --quick --no-instructions --out build/bench-quick >/dev/null

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer, then
# a short fuzz run; QUORVEL_QUICK=1 leaves them out.
if [ "${QUORVEL_QUICK:-0}" != 1 ]; then
  bash tools/sanitize.sh
  bash tools/fuzz.sh 60
fi

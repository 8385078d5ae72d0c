#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the reader core (built with
# -Werror), then the Python tests against the installed package.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$QUORVEL_ROOT"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_TESTS=ON -DQUORVEL_TOOLS=ON -DQUORVEL_WERROR=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation .
"$PYTHON" -m pytest -q tests/python

# The benchmark's smallest case, once, to show it still runs.
QUORVEL_BENCH_NO_INSTALL=1 bash bench/run.sh --quick --no-instructions --out build/bench-quick >/dev/null

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer, then
# a short fuzz run; QUORVEL_QUICK=1 leaves them out.
if [ "${QUORVEL_QUICK:-0}" != 1 ]; then
  bash tools/sanitize.sh
  bash tools/fuzz.sh 60
fi

#!/usr/bin/env bash
# Runs the C++ tests and the Python tests once more with AddressSanitizer
# and UndefinedBehaviorSanitizer. The Python module is built beside the
# tests and loaded with the sanitizer runtime preloaded; the interpreter's
# own leaks are not reported.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$QUORVEL_ROOT"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON -DQUORVEL_TESTS=ON \
  -DQUORVEL_PYTHON=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build build/asan -j "$jobs"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/asan --output-on-failure -j "$jobs"

# The package as the wheel lays it out, with the sanitized extension as its
# __init__, ahead of the installed one on the path.
package="$QUORVEL_ROOT/build/asan/package"
rm -rf "$package"
mkdir -p "$package"
cp -r python/quorvel "$package/quorvel"
cp build/asan/src/python/__init__.*.so "$package/quorvel/"
export ASAN_OPTIONS=detect_leaks=0 QUORVEL_SANITIZED=1 PYTHONPATH="$package"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
"$PYTHON" -c 'import quorvel, sys; sys.exit(0 if quorvel.__file__.startswith(sys.argv[1]) else "sanitized module not imported: " + quorvel.__file__)' "$package"
"$PYTHON" -m pytest -q -p no:cacheprovider tests/python

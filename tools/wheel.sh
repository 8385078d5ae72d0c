#!/usr/bin/env bash
# Builds the portable wheel: `pip wheel` with libdeflate, fast_float and
# ISA-L required (a wheel without them would be slower for everyone who
# installs it), then `auditwheel repair`, which copies the shared libraries
# the module needs beyond the manylinux policy (ISA-L's) into the wheel and gives it the
# manylinux tag that this machine's C library allows.
#
#   bash tools/wheel.sh [PYTHON...]
#
# One wheel per interpreter given (default: the interpreter of .venv), in
# dist/. The path of each repaired wheel is printed on standard output, one a
# line; the rest goes to standard error.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$QUORVEL_ROOT"

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"
interpreters=("$@")
if [ ${#interpreters[@]} -eq 0 ]; then
  interpreters=("$PYTHON")
fi

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
mkdir -p dist
for python in "${interpreters[@]}"; do
  # .venv has the build requirements; any other interpreter gets them from
  # PyPI in an isolated build environment.
  isolation=()
  if [ "$("$python" -c 'import sys; print(sys.prefix)')" = "$QUORVEL_VENV" ]; then
    isolation=(--no-build-isolation)
  fi
  echo "wheel: building with $("$python" --version)" >&2
  rm -f "$raw"/*.whl
  # --config-settings rather than -C: the pip of an older interpreter may not know -C.
  "$python" -m pip wheel -q --disable-pip-version-check --no-deps "${isolation[@]}" -w "$raw" \
    --config-settings=cmake.define.QUORVEL_USE_LIBDEFLATE=ON \
    --config-settings=cmake.define.QUORVEL_USE_FAST_FLOAT=ON \
    --config-settings=cmake.define.QUORVEL_USE_ISAL=ON . >&2
  built=("$raw"/quorvel-*.whl)
  # auditwheel picks the most widely usable manylinux tag the module's symbols allow.
  repaired=$("$PYTHON" -m auditwheel repair -w "$raw/repaired" "${built[0]}" 2>&1 | tee /dev/stderr |
    sed -n 's/^Fixed-up wheel written to //p')
  if [ -z "$repaired" ] || [ ! -f "$repaired" ]; then
    echo "wheel: auditwheel repair wrote no wheel" >&2
    exit 1
  fi
  "$PYTHON" -m auditwheel show "$repaired" >&2
  mv -f "$repaired" dist/
  rm -rf "$raw/repaired"
  echo "$QUORVEL_ROOT/dist/$(basename "$repaired")"
done

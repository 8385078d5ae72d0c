#!/usr/bin/env bash
# The benchmark in one command: prepares .venv (tools/bootstrap.sh), builds and
# installs the current tree into it, then runs bench/run.py with the arguments
# given, e.g.  bash bench/run.sh --quick  or  bash bench/run.sh --repeat 3
# QUORVEL_BENCH_NO_INSTALL=1 skips the install and measures the quorvel already in .venv.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tools/bootstrap.sh"
cd "$QUORVEL_ROOT"

if [ "${QUORVEL_BENCH_NO_INSTALL:-0}" != 1 ]; then
  "$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation . >/dev/null
fi
exec "$PYTHON" bench/run.py "$@"

#!/usr/bin/env bash
# The main job on the bundled sample: installs quorvel into .venv and shows
# what it reads from samples/sample.xml (or from the files given). It installs
# only what that needs (the build tools and NumPy); tools/test.sh the rest.
set -euo pipefail
QUORVEL_BOOTSTRAP=build source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$QUORVEL_ROOT"

"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation . >/dev/null
"$PYTHON" tools/demo.py "${@:-samples/sample.xml}"

#!/usr/bin/env bash
# The main job on the bundled sample: installs quorvel into .venv and shows
# what it reads from samples/sample.xml (or from the files given).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$QUORVEL_ROOT"

"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation . >/dev/null
"$PYTHON" tools/demo.py "${@:-samples/sample.xml}"

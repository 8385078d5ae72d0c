#!/usr/bin/env bash
# The main job on the bundled sample: builds the reader and shows what it
# reads from samples/sample.xml.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$QUORVEL_ROOT"

cmake -S . -B build/demo -G Ninja -DQUORVEL_TOOLS=ON >/dev/null
cmake --build build/demo >/dev/null
build/demo/quorvel_inspect "${@:-samples/sample.xml}"

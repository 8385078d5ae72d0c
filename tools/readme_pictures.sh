#!/usr/bin/env bash
# Redraws the pictures of the README: the DOS of samples/sample.xml and the band
# structure of a generated spin-polarised line-mode file with k-point labels.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-.venv/bin/python}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$PYTHON" tools/gen_vasprun.py "$work/vasprun.xml" --species Fe:2 --spins 2 --labels --kpoints 120 --dos --steps 1
"$PYTHON" -m quorvel_cli bands "$work/vasprun.xml" -o docs/images/bands.png
"$PYTHON" -m quorvel_cli dos samples/sample.xml --partial -o docs/images/dos.png

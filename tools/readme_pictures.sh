#!/usr/bin/env bash
# Redraws the pictures of the README from the real run files of ../shared/corpus
# (QUORVEL_CORPUS names another folder): the band structure of the line-mode
# silicon run with its KPOINTS beside it, a broadened projected DOS, and a
# relaxation's energy and forces per step.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-.venv/bin/python}
corpus=${QUORVEL_CORPUS:-../shared/corpus}
if [ ! -d "$corpus" ]; then
  echo "readme_pictures: no corpus at $corpus (set QUORVEL_CORPUS)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$corpus/si-bands-line-mode.xml.gz" "$work/vasprun.xml.gz"
cp "$corpus/si-bands-line-mode.KPOINTS" "$work/KPOINTS"
"$PYTHON" -m quorvel bands "$work/vasprun.xml.gz" -o docs/images/bands.png
"$PYTHON" -m quorvel dos "$corpus/spin2-projected-lobster.xml.gz" --partial --sigma 0.2 -o docs/images/dos.png
"$PYTHON" -m quorvel steps "$corpus/relax-28steps.xml.gz" --plot docs/images/steps.png >/dev/null

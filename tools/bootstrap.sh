#!/usr/bin/env bash
# Prepares a fresh Debian machine for building and testing quorvel, and does
# nothing that is already done: the Debian packages the build needs (installed
# when run as root, otherwise listed), and the virtual environment .venv with
# the Python packages of requirements-dev.txt.
#
# QUORVEL_BOOTSTRAP=build asks for less, what building and running quorvel
# needs (tools/demo.sh): no GoogleTest, and requirements-build.txt only.
#
# Sourced by the other tools; sets PYTHON to the environment's interpreter.
set -euo pipefail

QUORVEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUORVEL_VENV="$QUORVEL_ROOT/.venv"

bootstrap_set=${QUORVEL_BOOTSTRAP:-dev}
debian_packages=(g++ make zlib1g-dev libdeflate-dev libisal-dev libfast-float-dev)
if [ "$bootstrap_set" != build ]; then
  debian_packages+=(libgtest-dev)
fi
if [ "${QUORVEL_SANITIZERS:-0}" = 1 ]; then
  debian_packages+=(clang-14 libclang-rt-14-dev lld-14)
fi

missing=()
for package in "${debian_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "bootstrap: installing Debian packages: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "bootstrap: missing Debian packages: ${missing[*]}" >&2
    echo "bootstrap: install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

# The first of the given CPython versions (e.g. 3.13 3.12) that can make a
# virtual environment, else python3; pyenv keeps interpreters that its shims
# do not run.
find_python() {
  local version candidate pyenv_root
  pyenv_root=$(pyenv root 2>/dev/null || echo /nonexistent)
  for version in "$@"; do
    for candidate in "python$version" "$pyenv_root"/versions/"$version".*/bin/"python$version"; do
      if "$candidate" -c 'import venv, ensurepip' >/dev/null 2>&1; then
        echo "$candidate"
        return 0
      fi
    done
  done
  if python3 -c 'import sys, venv, ensurepip; assert sys.version_info >= (3, 10)' >/dev/null 2>&1; then
    echo python3
    return 0
  fi
  echo "bootstrap: no usable python3 (3.10 or later) found" >&2
  return 1
}

# The CPython versions quorvel supports, oldest first. .venv takes the newest
# the machine has; the install test of tools/test.sh the oldest.
QUORVEL_PYTHON_VERSIONS=(3.10 3.11 3.12 3.13)

if [ ! -x "$QUORVEL_VENV/bin/python" ]; then
  # shellcheck disable=SC2046 # one version a word
  base_python=$(find_python $(printf '%s\n' "${QUORVEL_PYTHON_VERSIONS[@]}" | sort -rV))
  echo "bootstrap: creating .venv with $("$base_python" --version)" >&2
  "$base_python" -m venv "$QUORVEL_VENV"
fi
PYTHON="$QUORVEL_VENV/bin/python"

# Each requirements file is installed once, and again when it changes; the
# development set includes the build set.
requirements=(requirements-build.txt)
if [ "$bootstrap_set" != build ]; then
  requirements+=(requirements-dev.txt)
fi
for file in "${requirements[@]}"; do
  stamp="$QUORVEL_VENV/.$file"
  if ! cmp -s "$QUORVEL_ROOT/$file" "$stamp"; then
    echo "bootstrap: installing the Python packages of $file into .venv" >&2
    "$PYTHON" -m pip install -q --disable-pip-version-check -r "$QUORVEL_ROOT/$file"
    cp "$QUORVEL_ROOT/$file" "$stamp"
  fi
done
export PATH="$QUORVEL_VENV/bin:$PATH"

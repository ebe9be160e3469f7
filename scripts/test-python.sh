#!/usr/bin/env bash
# Builds and installs the package into a fresh virtual environment for each supported CPython
# and runs the pytest suite against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

for python in "${PYTHONS[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="build/venv-$version"
  echo "=== CPython $version ($python)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q ".[test]"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
done

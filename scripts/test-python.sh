#!/usr/bin/env bash
# Builds and installs the package into a fresh virtual environment for each supported CPython
# and runs the pytest suite against the installed module. The long hypothesis differential runs
# its 10,000 examples on the newest interpreter only; the others run a few hundred.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/stage.sh

newest=$(newest_python)
for python in "${PYTHONS[@]}"; do
  examples=300
  if [ "$python" = "$newest" ]; then
    examples=10000
  fi
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="build/venv-$version"
  echo "=== CPython $version ($python), $examples differential examples"
  started=$SECONDS
  fresh_venv "$venv" "$python" ".[test]"
  CORVELA_DIFFERENTIAL_EXAMPLES=$examples "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
  echo "=== CPython $version: $((SECONDS - started)) s"
done

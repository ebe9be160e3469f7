#!/usr/bin/env bash
# Builds and installs the package into a fresh virtual environment for each supported CPython
# but the newest and runs the pytest suite against the installed module, with a few hundred
# examples of the hypothesis differential. The newest interpreter's run is test-sdist.sh's,
# which installs the sdist and runs the long differential.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/stage.sh

examples=300
for python in "${PYTHONS[@]:0:${#PYTHONS[@]}-1}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="build/venv-$version"
  echo "=== CPython $version ($python), $examples differential examples"
  started=$SECONDS
  fresh_venv "$venv" "$python" ".[test]"
  CORVELA_DIFFERENTIAL_EXAMPLES=$examples "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
  echo "=== CPython $version: $((SECONDS - started)) s"
done

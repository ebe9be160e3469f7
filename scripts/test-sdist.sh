#!/usr/bin/env bash
# Builds the sdist and the wheel with `python -m build`, checks what the wheel ships, installs
# the sdist (with the test, examples, typing and silero extras) into a fresh virtual
# environment and runs the test suite of the unpacked sdist against it: a file the sdist lacks
# fails here.
# One interpreter, the newest supported, which test-python.sh leaves to this stage; the typing
# checks and the example test run only here, and the hypothesis differential runs its long
# count (2,000 examples). Takes about two minutes on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/stage.sh

python=$(newest_python)
work=build/sdist-check
rm -rf "$work"
mkdir -p "$work"
echo "=== sdist with $("$python" -V)"
fresh_venv "$work/venv" "$python" build
venv_python="$PWD/$work/venv/bin/python"
"$venv_python" -m build --outdir "$work/dist" . >"$work/build.log" 2>&1 || {
  cat "$work/build.log"
  exit 1
}

sdist=$(ls "$work"/dist/corvela-*.tar.gz)
wheel=$(ls "$work"/dist/corvela-*.whl)
"$venv_python" - "$wheel" <<'PY'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
missing = {"corvela/py.typed", "corvela/core/algo.pyi", "corvela/core/scan.pyi"} - names
sources = sorted(n for n in names if n.endswith((".cpp", ".hpp")))
extensions = {module: [n for n in names if n.startswith(f"corvela/core/{module}.")
                       and n.endswith(".so")] for module in ("algo", "scan")}
if missing or sources or any(len(found) != 1 for found in extensions.values()):
    sys.exit(f"wheel contents wrong: missing {sorted(missing)}, sources {sources}, "
             f"extensions {extensions}")
PY

"$venv_python" -m pip install -q "${sdist}[test,examples,typing,silero]"
tar -xzf "$sdist" -C "$work"
cd "$work/$(basename "$sdist" .tar.gz)"
CORVELA_DIFFERENTIAL_EXAMPLES=2000 "$venv_python" -m pytest -q -p no:cacheprovider tests

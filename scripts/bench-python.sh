#!/usr/bin/env bash
# Whole-call Python benchmark (not part of CI): builds the module twice into two virtual
# environments -- the normal build, and one that uses only the chain loop -- and times match()
# against the pure-Python oracle and a NumPy version. Writes benchmarks/scaling.png.
#
#   scripts/bench-python.sh [bench_match.py options, e.g. --max-rows 100000]
#
# BENCH_PYTHON chooses the interpreter (default: the newest supported CPython found).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${BENCH_PYTHON:-}" ]; then
  source scripts/pythons.sh
  BENCH_PYTHON="${PYTHONS[${#PYTHONS[@]}-1]}"
fi

fast=build/bench-venv
chain=build/bench-venv-chain-only
for venv in "$fast" "$chain"; do
  rm -rf "$venv"
  "$BENCH_PYTHON" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
done
"$fast/bin/python" -m pip install -q . numpy matplotlib
"$chain/bin/python" -m pip install -q . -C cmake.define.CORVELA_CHAIN_ONLY=ON

# Run from outside the checkout so each environment's installed build is the one imported.
root="$PWD"
cd /
"$root/$fast/bin/python" "$root/benchmarks/bench_match.py" \
  --chain-only-python "$root/$chain/bin/python" --plot "$root/benchmarks/scaling.png" "$@"

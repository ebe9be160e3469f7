#!/usr/bin/env bash
# Whole-call Python benchmark (not part of CI): builds the module three times into virtual
# environments -- the normal build (with the walk-only floor module of the benchmarks), one that
# uses only the chain loop, and the build of main's HEAD (the engine choice a branch replaces,
# from `git archive`, no downloads) -- and times match() against them, the floor, the
# pure-Python oracle and a NumPy version. Writes benchmarks/scaling.png.
# BENCH_PREVIOUS chooses the earlier commit (default: main).
#
#   scripts/bench-python.sh [bench_match.py options, e.g. --max-rows 100000]
#
# BENCH_PYTHON chooses the interpreter (default: the newest supported CPython found).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh

if [ -z "${BENCH_PYTHON:-}" ]; then
  source scripts/pythons.sh
  BENCH_PYTHON=$(newest_python)
fi

fast=build/bench-venv
chain=build/bench-venv-chain-only
previous=build/bench-venv-previous
previous_src=build/bench-previous-src
# The earlier commit first: a name git does not know stops the run before any build.
rm -rf "$previous_src"
mkdir -p "$previous_src"
git archive --format=tar "${BENCH_PREVIOUS:-main}" | tar -x -C "$previous_src"
fresh_venv "$fast" "$BENCH_PYTHON" . numpy matplotlib -C cmake.define.CORVELA_WALK_FLOOR=ON
fresh_venv "$chain" "$BENCH_PYTHON" . -C cmake.define.CORVELA_CHAIN_ONLY=ON
fresh_venv "$previous" "$BENCH_PYTHON" "./$previous_src"

# Run from outside the checkout so each environment's installed build is the one imported.
root="$PWD"
cd /
"$root/$fast/bin/python" "$root/benchmarks/bench_match.py" \
  --chain-only-python "$root/$chain/bin/python" --previous-python "$root/$previous/bin/python" --plot "$root/benchmarks/scaling.png" "$@"

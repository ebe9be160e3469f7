#!/usr/bin/env bash
# Whole-call Python benchmark (not part of CI): builds the module three times into virtual
# environments -- the normal build (with the walk-only floor module of the benchmarks), one that
# uses only the pair loop, and the build of main's HEAD (the engine choice a branch replaces,
# from `git archive`, no downloads) -- and times match() against them, the floor, the
# pure-Python oracle and a NumPy version. Writes benchmarks/scaling.png.
# CORVELA_BENCH_PREVIOUS chooses the earlier commit (default: main).
#
#   scripts/bench-python.sh [bench_match.py options, e.g. --max-rows 100000]
#
# CORVELA_BENCH_PYTHON chooses the interpreter (default: the newest supported CPython found).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh

# The names these had before would otherwise be ignored without a word.
for old in BENCH_PYTHON BENCH_PREVIOUS; do
  if [ -n "${!old:-}" ]; then
    echo "bench-python: $old is now CORVELA_$old" >&2
    exit 1
  fi
done
python="${CORVELA_BENCH_PYTHON:-}"
if [ -z "$python" ]; then
  source scripts/pythons.sh
  python=$(newest_python)
fi

fast=build/bench-venv
pair_loop=build/bench-venv-pair-loop-only
previous=build/bench-venv-previous
previous_src=build/bench-previous-src
# The earlier commit first: a name git does not know stops the run before any build.
rm -rf "$previous_src"
mkdir -p "$previous_src"
git archive --format=tar "${CORVELA_BENCH_PREVIOUS:-main}" | tar -x -C "$previous_src"
fresh_venv "$fast" "$python" . numpy matplotlib -C cmake.define.CORVELA_WALK_FLOOR=ON
fresh_venv "$pair_loop" "$python" . -C cmake.define.CORVELA_PAIR_LOOP_ONLY=ON
fresh_venv "$previous" "$python" "./$previous_src"

# Run from outside the checkout so each environment's installed build is the one imported.
root="$PWD"
cd /
"$root/$fast/bin/python" "$root/benchmarks/bench_match.py" \
  --pair-loop-only-python "$root/$pair_loop/bin/python" --previous-python "$root/$previous/bin/python" --plot "$root/benchmarks/scaling.png" "$@"

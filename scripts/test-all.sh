#!/usr/bin/env bash
# The complete test suite: every stage must pass; the first failure stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-system-deps.sh

stages=(
  test-native      # GoogleTest: the overlap engines
  fuzz-native      # libFuzzer: index and engine choice against the pair loop, 30 s
  test-python      # pytest on CPython 3.9-3.12 (3.13: test-sdist)
  test-python-sid  # pytest on CPython 3.14 and 3.15, in a Debian sid chroot
  test-sdist       # the sdist on CPython 3.13, typing and example included
  test-align       # corvela-align end to end on espeak-ng speech, newest CPython
  test-sanitizers  # ASan + UBSan, then valgrind memcheck on the mutation scenarios
  fuzz-python      # atheris against the reference, 60 s
)
passed=0
timings=()
for stage in "${stages[@]}"; do
  echo "### stage $stage"
  started=$SECONDS
  if ! bash "scripts/$stage.sh"; then
    echo "stage $stage failed after $((SECONDS - started)) s"
    echo "stages: $passed passed, 1 failed"
    exit 1
  fi
  timings+=("$stage $((SECONDS - started)) s")
  echo "### stage $stage passed in $((SECONDS - started)) s"
  passed=$((passed + 1))
done
# Every stage makes its virtual environments afresh, so none is of use to the next run; the CMake
# trees stay, for their incremental rebuilds. CORVELA_KEEP_VENVS=1 keeps everything for a look.
if [ "${CORVELA_KEEP_VENVS:-0}" != 1 ]; then
  rm -rf build/venv-* build/sdist-check build/fuzz-corpus
fi
echo "### build/ keeps $(du -sh build | cut -f1)"
printf '### %s\n' "${timings[@]}"
echo "### total $SECONDS s"
echo "stages: $passed passed, 0 failed"

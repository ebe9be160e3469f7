#!/usr/bin/env bash
# The complete test suite: every stage must pass; the first failure stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-system-deps.sh

stages=(
  test-native      # GoogleTest: the overlap engines
  fuzz-native      # libFuzzer: index and engine choice against the pair loop, 60 s
  test-python      # pytest on CPython 3.9-3.13
  test-python-sid  # pytest on CPython 3.14 and 3.15, in a Debian sid chroot
  test-sdist       # the sdist installed in a fresh venv, typing and example included
  test-sanitizers  # ASan + UBSan, then valgrind memcheck on the mutation scenarios
  fuzz-python      # atheris against the reference, 120 s
)
passed=0
for stage in "${stages[@]}"; do
  echo "### stage $stage"
  if ! bash "scripts/$stage.sh"; then
    echo "stage $stage failed"
    echo "stages: $passed passed, 1 failed"
    exit 1
  fi
  passed=$((passed + 1))
done
echo "stages: $passed passed, 0 failed"

#!/usr/bin/env bash
# Builds the module and the GoogleTest suite with AddressSanitizer and UndefinedBehaviorSanitizer
# (no recovery: the first finding aborts) and runs both test suites under them, then the
# mutation scenarios under valgrind memcheck on a plain build of the module that it makes too.
#
# One interpreter is enough here: the module's C++ is the same for every CPython, and the few
# version branches (the error API of 3.12+, subinterpreter tests) are exercised by the plain
# per-version runs of test-python.sh. CORVELA_SANITIZE_PYTHON picks another interpreter.
# About 3 minutes on two cores, the plain build for memcheck (about 40 s) included.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh

flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"

echo "=== sanitizers: GoogleTest suite"
cmake -S . -B build/native-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVELA_PYTHON_MODULE=OFF -DCORVELA_NATIVE_TESTS=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build build/native-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/native-asan --output-on-failure

python="${CORVELA_SANITIZE_PYTHON:-}"
if [ -z "$python" ]; then
  source scripts/pythons.sh
  python=$(python_for_minor 12)
fi
venv=build/venv-asan
echo "=== sanitizers: pytest suite ($python)"
fresh_venv "$venv" "$python" ".[test]" \
  -C cmake.build-type=RelWithDebInfo -C "cmake.define.CMAKE_CXX_FLAGS=$flags"

# The interpreter itself is not instrumented, so the runtime is preloaded, and its leaks at exit
# are not ours to report. PYTHONMALLOC=malloc sends every object through the sanitized malloc,
# so a read of a freed object is caught instead of landing in a recycled pool block. Child
# interpreters started by the tests inherit all of this.
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONMALLOC=malloc \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests

# Second line: memcheck over the mutation scenarios (about 15 s). Valgrind cannot run the
# sanitizer build, so the plain one is made here for the same interpreter.
if ! command -v valgrind >/dev/null; then
  skip_unless_ci "memcheck needs valgrind (scripts/install-system-deps.sh installs it)"
  exit 0
fi
plain=build/venv-memcheck
echo "=== memcheck: mutation scenarios ($python, plain build)"
fresh_venv "$plain" "$python" ".[test]"
(cd tests/hazards && PYTHONPATH=../support PYTHONMALLOC=malloc \
  valgrind -q --error-exitcode=9 --leak-check=no \
  "../../$plain/bin/python" -c "import test_hostile_mutation as t; t.child_all()")

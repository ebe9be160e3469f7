#!/usr/bin/env bash
# Fuzzes match() with the atheris harness fuzz/fuzz_match.py for a bounded time (default 60 s,
# CORVELA_FUZZ_SECONDS overrides), then replays the corpus it grew through the sanitizer build
# that test-sanitizers.sh leaves in build/venv-asan (test-all.sh runs that stage first). Without
# that build the replay is skipped, and under CI, where it must be there, the stage fails.
#
# The fuzzing itself runs on the plain build with the allocator's debug hooks (freed memory is
# overwritten): a preloaded sanitizer runtime would take over the coverage callbacks that guide
# the fuzzer. About 3 minutes in all.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh

seconds="${CORVELA_FUZZ_SECONDS:-60}"
python="${CORVELA_FUZZ_PYTHON:-}"
if [ -z "$python" ]; then
  source scripts/pythons.sh
  python=$(python_for_minor 12)
fi

venv=build/venv-fuzz
corpus=build/fuzz-corpus
asan=build/venv-asan
# Looked for first, so that CI fails at once rather than after the fuzzing.
replay=true
if [ ! -x "$asan/bin/python" ]; then
  skip_unless_ci "corpus replay under the sanitizers: no sanitizer build in $asan" \
    "(scripts/test-sanitizers.sh makes it)"
  replay=false
fi

echo "=== fuzzing match() for ${seconds}s ($python)"
rm -rf "$corpus"
mkdir -p "$corpus"
fresh_venv "$venv" "$python" . atheris

# A finding writes crash-*/timeout-* files into build/ and fails this script.
PYTHONMALLOC=debug "$venv/bin/python" fuzz/fuzz_match.py -max_total_time="$seconds" \
  -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build/ "$corpus" \
  2>&1 | grep -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE)'

[ "$replay" = true ] || exit 0
echo "=== replaying $(ls "$corpus" | wc -l) corpus inputs under the sanitizers"
"$asan/bin/python" -m pip install -q atheris
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 \
  PYTHONMALLOC=malloc "$asan/bin/python" fuzz/fuzz_match.py -runs=0 -timeout=30 \
  -artifact_prefix=build/ "$corpus" 2>&1 | tail -n 3

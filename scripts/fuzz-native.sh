#!/usr/bin/env bash
# Builds the libFuzzer target of the overlap engines with clang (ASan + UBSan) and runs it for a
# bounded time (CORVELA_FUZZ_SECONDS, default 30): the indexed engine and the dispatcher must
# give the pair loop's bits on every table the fuzzer tries. Fails on any mismatch or crash.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${CORVELA_FUZZ_SECONDS:-30}"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVELA_PYTHON_MODULE=OFF -DCORVELA_FUZZERS=ON >/dev/null
cmake --build build/fuzz --target overlap_fuzzer
mkdir -p build/fuzz/corpus
log=build/fuzz/overlap_fuzzer.log
status=0
nice -n 5 build/fuzz/overlap_fuzzer -max_total_time="$seconds" -print_final_stats=1 \
  -max_len=8192 -artifact_prefix=build/fuzz/ build/fuzz/corpus >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log" >&2
  echo "overlap fuzzer: FAILED after ${runs:-?} executions (exit $status), see $log" >&2
  exit 1
fi
echo "overlap fuzzer: ${runs} executions in ${seconds} s, 0 mismatches"

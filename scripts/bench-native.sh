#!/usr/bin/env bash
# Builds the kernel benchmarks of the overlap engines and runs them at low priority (other work
# may share the machine: every benchmark is repeated and the summary reports median and minimum).
# Extra arguments go to the benchmark binary, e.g. --benchmark_filter=realistic/2000x1500.
# Writes build/bench/kernels.json and prints a table of index-to-pair-loop ratios.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCORVELA_PYTHON_MODULE=OFF -DCORVELA_BENCHMARKS=ON >/dev/null
cmake --build build/bench --target kernels
nice -n 10 build/bench/kernels --benchmark_repetitions="${CORVELA_BENCH_REPETITIONS:-5}" \
  --benchmark_report_aggregates_only=true --benchmark_out=build/bench/kernels.json \
  --benchmark_out_format=json "$@"
python3 benchmarks/kernel_ratios.py build/bench/kernels.json

#!/usr/bin/env bash
# Builds the plain C++ numeric layer with its GoogleTest suite and runs it through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCORVELA_PYTHON_MODULE=OFF -DCORVELA_NATIVE_TESTS=ON >/dev/null
cmake --build build/native
ctest --test-dir build/native --output-on-failure

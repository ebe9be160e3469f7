#!/usr/bin/env bash
# The complete test suite: every stage must pass.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-system-deps.sh
bash scripts/test-native.sh
bash scripts/fuzz-native.sh
bash scripts/test-python.sh
bash scripts/test-sdist.sh

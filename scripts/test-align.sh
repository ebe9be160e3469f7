#!/usr/bin/env bash
# corvela-align with its 'align' and 'silero' extras, on the newest supported CPython in a fresh
# virtual environment: its unit tests, then the end-to-end runs on a synthetic film spoken by
# espeak-ng and packed by ffmpeg and on synthetic clips with music (made in a temporary
# directory; each test prints its median error).
# Under CI a missing espeak-ng, ffmpeg or extra fails instead of skipping. Takes about 40 s on
# two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/stage.sh

python=$(newest_python)
venv=build/venv-align
echo "=== corvela-align with $("$python" -V)"
fresh_venv "$venv" "$python" ".[align,silero,test,films]"
for program in espeak-ng ffmpeg; do
  command -v "$program" >/dev/null ||
    skip_unless_ci "the end-to-end test needs $program (scripts/install-system-deps.sh installs it)"
done
# The command must run from the venv, not from the source tree.
(cd build && "../$venv/bin/corvela-align" --help >/dev/null)
"$venv/bin/python" -m pytest -q -s -p no:cacheprovider \
  tests/align

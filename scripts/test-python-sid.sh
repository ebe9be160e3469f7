#!/usr/bin/env bash
# Builds the package and runs the pytest suite on CPython 3.14 and 3.15, Debian sid's own builds,
# inside the minimal sid chroot that scripts/sid-chroot.sh makes (or reuses) with debootstrap.
# The tracked files of the working tree are copied in and built there, never in the checkout.
#
# A machine that cannot make a chroot at all (not root, or the archive out of reach) prints a
# SKIPPED line and exits 0; under CI (CI=true) that is a failure, since CI's machine can.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sid-chroot.sh
stage_start=$SECONDS

git rev-parse --is-inside-work-tree >/dev/null 2>&1 || {
  echo "test-python-sid: run from a git checkout (the tracked files are what is tested)" >&2
  exit 1
}
sid_open

src=/root/corvela
rm -rf "$SID_ROOT$src"
mkdir -p "$SID_ROOT$src"
git ls-files -z | tar --null --ignore-failed-read -T - -cf - 2>/dev/null |
  tar -xf - -C "$SID_ROOT$src"

summary=()
for python in "${SID_PYTHONS[@]}"; do
  t=$SECONDS
  version=$(sid_run "$python" -c 'import sys; print(sys.version.split()[0])')
  echo "=== CPython $version (Debian sid $python)"
  venv="/root/venv-$python"
  log="$SID_ROOT/root/pytest-$python.log"
  sid_run rm -rf "$venv"
  sid_run "$python" -m venv "$venv"
  sid_run /bin/sh -c "cd $src && $venv/bin/python -m pip install -q '.[test]'"
  status=0
  sid_run /bin/sh -c "cd $src && $venv/bin/python -m pytest -q -p no:cacheprovider tests" \
    2>&1 | tee "$log" || status=$?
  [ "$status" -eq 0 ] || { echo "pytest failed on CPython $version (exit $status)"; exit 1; }
  summary+=("CPython $version: $(grep -E '^[0-9]+ passed' "$log" | tail -n 1), $((SECONDS - t)) s")
done
printf '%s\n' "${summary[@]}"
echo "test-python-sid: $((SECONDS - stage_start)) s"

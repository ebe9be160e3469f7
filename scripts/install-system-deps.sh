#!/usr/bin/env bash
# Installs the Debian packages the native tests, benchmarks and fuzzers build against, and
# debootstrap (with the archive's keys) for the chroot of the CPython 3.14/3.15 stage, and
# espeak-ng and ffmpeg, which make the film of the aligner's end-to-end test.
# Idempotent: does nothing when every package is already present.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev valgrind libbenchmark-dev clang libclang-rt-14-dev
          debootstrap debian-archive-keyring espeak-ng ffmpeg)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]} (run this script as root)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Builds the package and runs the pytest suite on CPython 3.14 and 3.15, Debian sid's own builds,
# inside a minimal sid chroot made with debootstrap.
#
# The chroot lives outside the checkout, at CORVELA_SID_ROOT (default /var/cache/corvela/sid), so
# later runs on the same machine reuse it. One without the marker that a finished setup writes
# (an interrupted setup, another package list) is made again from scratch: about three minutes.
# The tracked files of the working tree are copied in and built there, never in the checkout.
#
# A machine that cannot make a chroot at all (not root, or the archive out of reach) prints a
# SKIPPED line and exits 0; under CI (CI=true) that is a failure, since CI's machine can.
set -euo pipefail
cd "$(dirname "$0")/.."
stage_start=$SECONDS

root="${CORVELA_SID_ROOT:-/var/cache/corvela/sid}"
interpreters=(python3.14 python3.15)
packages=(ca-certificates g++ cmake ninja-build
          python3.14-dev python3.14-venv python3.15-dev python3.15-venv)
marker="$root/.corvela-setup"
setup_id="minbase sid: ${packages[*]}"  # what the marker holds; another list makes a new chroot

cannot_run() {
  if [ "${CI:-}" = true ]; then
    echo "test-python-sid: no sid chroot can be made here: $1" >&2
    exit 1
  fi
  echo "SKIPPED: CPython 3.14 and 3.15 (Debian sid chroot) not tested: $1"
  exit 0
}

case "$root" in
  /*/*) ;;
  *) echo "test-python-sid: CORVELA_SID_ROOT must be an absolute path below a directory: $root" >&2
     exit 1 ;;
esac
[ "$(id -u)" -eq 0 ] || cannot_run "making and entering a chroot needs root"
command -v debootstrap >/dev/null || cannot_run "debootstrap is not installed"
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || {
  echo "test-python-sid: run from a git checkout (the tracked files are what is tested)" >&2
  exit 1
}

# One run at a time per chroot: a second one waits instead of unmounting under the first.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

# Every mount below the chroot, deepest first.
mounts_below_root() {
  awk -v prefix="$root/" 'index($2, prefix) == 1 { print $2 }' /proc/self/mounts | sort -r
}

unmount_all() {
  local point
  for point in $(mounts_below_root); do
    umount -l "$point" 2>/dev/null || true
  done
}
trap unmount_all EXIT

mount_all() {
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --make-rslave "$root/dev"  # unmounting the copy must never reach the host's /dev
  mount -t sysfs sysfs "$root/sys"
  # Local wheel directories that the host's pip settings point at, read-only at the same place.
  local dir
  for dir in ${PIP_FIND_LINKS:-}; do
    dir="${dir#file://}"
    if [ "${dir#/}" != "$dir" ] && [ -d "$dir" ]; then
      mkdir -p "$root$dir"
      mount --bind -o ro "$dir" "$root$dir"
    fi
  done
}

in_root() {
  # Only the settings that matter inside: the host's PATH (pyenv shims...) would mislead.
  local -a pass=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
                 LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
  local name
  for name in $(compgen -e); do
    case "$name" in
      PIP_* | CORVELA_* | CI) pass+=("$name=${!name}") ;;
    esac
  done
  chroot "$root" /usr/bin/env -i "${pass[@]}" "$@"
}

# The host's name resolution, locally added CA certificates and pip settings (a local index,
# proxy or certificate bundle): pip inside reaches the package index the way the host's does.
share_host_settings() {
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  rm -rf "$root/usr/local/share/ca-certificates" "$root/etc/xdg/pip" "$root/etc/pip.conf"
  mkdir -p "$root/usr/local/share/ca-certificates" "$root/etc/xdg"
  if [ -d /usr/local/share/ca-certificates ]; then
    cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
  fi
  [ -e /etc/pip.conf ] && cp -L /etc/pip.conf "$root/etc/pip.conf"
  [ -d /etc/xdg/pip ] && cp -a /etc/xdg/pip "$root/etc/xdg/pip"
  if [ -x "$root/usr/sbin/update-ca-certificates" ]; then
    in_root update-ca-certificates >/dev/null
  fi
}

setup_ready() {
  local python
  [ -f "$marker" ] && [ "$(cat "$marker")" = "$setup_id" ] || return 1
  for python in "${interpreters[@]}"; do
    [ -x "$root/usr/bin/$python" ] || return 1
  done
}

make_chroot() {
  local log
  log=$(mktemp)
  unmount_all
  if [ -n "$(mounts_below_root)" ]; then
    echo "test-python-sid: cannot unmount what is mounted below $root" >&2
    exit 1
  fi
  # Only a chroot, or what an interrupted debootstrap left, is ever removed.
  if [ -d "$root" ] && [ -n "$(ls -A "$root")" ] && [ ! -e "$root/debootstrap" ] &&
     [ ! -e "$root/etc/debian_version" ]; then
    echo "test-python-sid: $root holds something else than a Debian chroot; not removing it" >&2
    exit 1
  fi
  rm -rf --one-file-system "$root"
  echo "=== making a Debian sid chroot in $root"
  local t=$SECONDS
  # debootstrap's default archive; a failure here means none can be made on this machine.
  if ! debootstrap --variant=minbase sid "$root" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -rf --one-file-system "$root"
    cannot_run "debootstrap failed (no archive reachable?)"
  fi
  echo "debootstrap: $((SECONDS - t)) s"
  # The archive's index may be served past its Valid-Until date.
  echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99corvela-valid-until"
  mount_all
  share_host_settings
  t=$SECONDS
  if ! { in_root apt-get update -qq &&
         in_root apt-get install -y -qq --no-install-recommends "${packages[@]}"; } >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    cannot_run "the chroot's apt-get could not install ${packages[*]}"
  fi
  in_root apt-get clean
  echo "packages: $((SECONDS - t)) s"
  rm -f "$log"
  echo "$setup_id" >"$marker"
}

if setup_ready; then
  echo "=== reusing the Debian sid chroot in $root"
  unmount_all  # left by a run that was killed
  mount_all
  share_host_settings
else
  make_chroot
fi

src=/root/corvela
rm -rf "$root$src"
mkdir -p "$root$src"
git ls-files -z | tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$root$src"

summary=()
for python in "${interpreters[@]}"; do
  t=$SECONDS
  version=$(in_root "$python" -c 'import sys; print(sys.version.split()[0])')
  echo "=== CPython $version (Debian sid $python)"
  venv="/root/venv-$python"
  log="$root/root/pytest-$python.log"
  in_root rm -rf "$venv"
  in_root "$python" -m venv "$venv"
  in_root /bin/sh -c "cd $src && $venv/bin/python -m pip install -q '.[test]'"
  status=0
  in_root /bin/sh -c "cd $src && $venv/bin/python -m pytest -q -p no:cacheprovider tests" \
    2>&1 | tee "$log" || status=$?
  [ "$status" -eq 0 ] || { echo "pytest failed on CPython $version (exit $status)"; exit 1; }
  summary+=("CPython $version: $(grep -E '^[0-9]+ passed' "$log" | tail -n 1), $((SECONDS - t)) s")
done
printf '%s\n' "${summary[@]}"
echo "test-python-sid: $((SECONDS - stage_start)) s"

# Sourced (from the checkout's root): a minimal Debian sid chroot, made with debootstrap, that
# holds CPython 3.14 and 3.15 (Debian sid's own builds, SID_PYTHONS) with their headers, g++,
# CMake and Ninja.
#
# The chroot lives outside the checkout, at CORVELA_SID_ROOT (default /var/cache/corvela/sid), so
# later runs on the same machine reuse it. One without the marker that a finished setup writes
# (an interrupted setup, another package list) is made again from scratch: about two minutes.
#
# sid_open makes or reuses the chroot and mounts what it needs; it holds a lock until the script
# exits, when everything mounted below the chroot is unmounted (an EXIT trap). A machine that
# cannot make a chroot at all (not root, or the archive out of reach) prints a SKIPPED line and
# ends the script with 0; under CI (CI=true) that is a failure, since CI's machine can.
# sid_run COMMAND... then runs a command inside with only the settings that matter there.
source scripts/stage.sh

SID_ROOT="${CORVELA_SID_ROOT:-/var/cache/corvela/sid}"
SID_PYTHONS=(python3.14 python3.15)
sid_packages=(ca-certificates g++ cmake ninja-build
              python3.14-dev python3.14-venv python3.15-dev python3.15-venv)
sid_marker="$SID_ROOT/.corvela-setup"
# What the marker holds: another package list makes a new chroot.
sid_setup_id="minbase sid: ${sid_packages[*]}"

sid_cannot_run() {
  skip_unless_ci "CPython 3.14 and 3.15 (Debian sid chroot) not tested: $1"
  exit 0
}

# Every mount below the chroot, deepest first.
sid_mounts() {
  awk -v prefix="$SID_ROOT/" 'index($2, prefix) == 1 { print $2 }' /proc/self/mounts | sort -r
}

sid_unmount_all() {
  local point
  for point in $(sid_mounts); do
    umount -l "$point" 2>/dev/null || true
  done
}

sid_mount_all() {
  mount -t proc proc "$SID_ROOT/proc"
  mount --rbind /dev "$SID_ROOT/dev"
  mount --make-rslave "$SID_ROOT/dev"  # unmounting the copy must never reach the host's /dev
  mount -t sysfs sysfs "$SID_ROOT/sys"
  # Local wheel directories that the host's pip settings point at, read-only at the same place.
  local dir
  for dir in ${PIP_FIND_LINKS:-}; do
    dir="${dir#file://}"
    if [ "${dir#/}" != "$dir" ] && [ -d "$dir" ]; then
      mkdir -p "$SID_ROOT$dir"
      mount --bind -o ro "$dir" "$SID_ROOT$dir"
    fi
  done
}

sid_run() {
  # Only the settings that matter inside: the host's PATH (pyenv shims...) would mislead.
  local -a pass=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
                 LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
  local name
  for name in $(compgen -e); do
    case "$name" in
      PIP_* | CORVELA_* | CI) pass+=("$name=${!name}") ;;
    esac
  done
  chroot "$SID_ROOT" /usr/bin/env -i "${pass[@]}" "$@"
}

# The host's name resolution, locally added CA certificates and pip settings (a local index,
# proxy or certificate bundle): pip inside reaches the package index the way the host's does.
sid_share_host_settings() {
  cp -L /etc/resolv.conf "$SID_ROOT/etc/resolv.conf"
  rm -rf "$SID_ROOT/usr/local/share/ca-certificates" "$SID_ROOT/etc/xdg/pip" \
    "$SID_ROOT/etc/pip.conf"
  mkdir -p "$SID_ROOT/usr/local/share/ca-certificates" "$SID_ROOT/etc/xdg"
  if [ -d /usr/local/share/ca-certificates ]; then
    cp -a /usr/local/share/ca-certificates/. "$SID_ROOT/usr/local/share/ca-certificates/"
  fi
  [ -e /etc/pip.conf ] && cp -L /etc/pip.conf "$SID_ROOT/etc/pip.conf"
  [ -d /etc/xdg/pip ] && cp -a /etc/xdg/pip "$SID_ROOT/etc/xdg/pip"
  if [ -x "$SID_ROOT/usr/sbin/update-ca-certificates" ]; then
    sid_run update-ca-certificates >/dev/null
  fi
}

sid_ready() {
  local python
  [ -f "$sid_marker" ] && [ "$(cat "$sid_marker")" = "$sid_setup_id" ] || return 1
  for python in "${SID_PYTHONS[@]}"; do
    [ -x "$SID_ROOT/usr/bin/$python" ] || return 1
  done
}

sid_make() {
  local log t
  log=$(mktemp)
  sid_unmount_all
  if [ -n "$(sid_mounts)" ]; then
    echo "sid-chroot: cannot unmount what is mounted below $SID_ROOT" >&2
    exit 1
  fi
  # Only a chroot, or what an interrupted debootstrap left, is ever removed.
  if [ -d "$SID_ROOT" ] && [ -n "$(ls -A "$SID_ROOT")" ] && [ ! -e "$SID_ROOT/debootstrap" ] &&
     [ ! -e "$SID_ROOT/etc/debian_version" ]; then
    echo "sid-chroot: $SID_ROOT holds something else than a Debian chroot; not removing it" >&2
    exit 1
  fi
  rm -rf --one-file-system "$SID_ROOT"
  echo "=== making a Debian sid chroot in $SID_ROOT"
  t=$SECONDS
  # debootstrap's default archive; a failure here means none can be made on this machine.
  if ! debootstrap --variant=minbase sid "$SID_ROOT" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -rf --one-file-system "$SID_ROOT"
    sid_cannot_run "debootstrap failed (no archive reachable?)"
  fi
  echo "debootstrap: $((SECONDS - t)) s"
  # The archive's index may be served past its Valid-Until date.
  echo 'Acquire::Check-Valid-Until "false";' >"$SID_ROOT/etc/apt/apt.conf.d/99corvela-valid-until"
  sid_mount_all
  sid_share_host_settings
  t=$SECONDS
  if ! { sid_run apt-get update -qq &&
         sid_run apt-get install -y -qq --no-install-recommends "${sid_packages[@]}"
       } >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    sid_cannot_run "the chroot's apt-get could not install ${sid_packages[*]}"
  fi
  sid_run apt-get clean
  echo "packages: $((SECONDS - t)) s"
  rm -f "$log"
  echo "$sid_setup_id" >"$sid_marker"
}

sid_open() {
  case "$SID_ROOT" in
    /*/*) ;;
    *) echo "sid-chroot: CORVELA_SID_ROOT must be an absolute path below a directory: $SID_ROOT" >&2
       exit 1 ;;
  esac
  [ "$(id -u)" -eq 0 ] || sid_cannot_run "making and entering a chroot needs root"
  command -v debootstrap >/dev/null || sid_cannot_run "debootstrap is not installed"
  # One run at a time per chroot: a second one waits instead of unmounting under the first.
  mkdir -p "$(dirname "$SID_ROOT")"
  exec 9>"$SID_ROOT.lock"
  flock 9
  trap sid_unmount_all EXIT
  if sid_ready; then
    echo "=== reusing the Debian sid chroot in $SID_ROOT"
    sid_unmount_all  # left by a run that was killed
    sid_mount_all
    sid_share_host_settings
  else
    sid_make
  fi
}

# Sourced by the stages (run from the checkout's root): what they share.

# fresh_venv DIR PYTHON [PIP_ARGS...] makes DIR afresh as a virtual environment of PYTHON with
# the current pip and, given PIP_ARGS, runs `pip install -q PIP_ARGS` in it. No stage reuses an
# environment: what it tests is the build of the tree as it is now.
fresh_venv() {
  local dir="$1" python="$2"
  shift 2
  rm -rf "$dir"
  "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip
  if [ "$#" -gt 0 ]; then
    "$dir/bin/python" -m pip install -q "$@"
  fi
}

# skip_unless_ci REASON...: outside CI prints "SKIPPED: REASON" and returns, and the stage goes
# on without what is missing; under CI (CI=true), whose machine has everything a stage needs, a
# missing piece is an error: prints REASON and exits 1.
skip_unless_ci() {
  if [ "${CI:-}" = true ]; then
    echo "$(basename "$0" .sh): $*" >&2
    exit 1
  fi
  echo "SKIPPED: $*"
}

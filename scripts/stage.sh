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


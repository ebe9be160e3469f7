# Sourced: sets PYTHONS to one interpreter for each supported CPython (3.9 to 3.13).
# CORVELA_PYTHONS (space-separated paths) overrides the search.
if [ -n "${CORVELA_PYTHONS:-}" ]; then
  read -r -a PYTHONS <<<"$CORVELA_PYTHONS"
else
  PYTHONS=()
  pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  for minor in 9 10 11 12 13; do
    found=""
    for candidate in "$pyenv_root"/versions/3."$minor".*/bin/python3 "$(command -v python3."$minor" || true)"; do
      if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        found="$candidate"
        break
      fi
    done
    if [ -z "$found" ]; then
      echo "no CPython 3.$minor found (set CORVELA_PYTHONS to choose interpreters)" >&2
      return 1
    fi
    PYTHONS+=("$found")
  done
fi

# Prints the newest interpreter: the last of PYTHONS, which the search and CORVELA_PYTHONS list
# oldest first.
newest_python() {
  echo "${PYTHONS[-1]}"
}

# Prints the interpreter of PYTHONS whose version is 3.$1, or the newest one when none is.
# Stages that need a single interpreter use 3.12: prebuilt wheels of their tools exist for it.
python_for_minor() {
  local candidate chosen
  chosen=$(newest_python)
  for candidate in "${PYTHONS[@]}"; do
    if [ "$("$candidate" -c "import sys; print(sys.version_info[:2] == (3, $1))")" = True ]; then
      chosen="$candidate"
    fi
  done
  echo "$chosen"
}

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

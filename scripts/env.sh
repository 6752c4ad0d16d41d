# Sourced by the other scripts: picks the interpreter and prepares .venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ZELVORA_VENV:-$ROOT/.venv}"

# The host interpreter: $ZELVORA_PYTHON, else pyenv's newest 3.13, else python3.13, else python3.
find_python() {
  local candidates=()
  [ -n "${ZELVORA_PYTHON:-}" ] && candidates+=("$ZELVORA_PYTHON")
  local root="${PYENV_ROOT:-$HOME/.pyenv}"
  command -v pyenv >/dev/null 2>&1 && root="$(pyenv root)"
  candidates+=($(ls -d "$root"/versions/3.13*/bin/python3 2>/dev/null | sort -V -r))
  candidates+=(python3.13 python3)
  for c in "${candidates[@]}"; do
    if command -v "$c" >/dev/null 2>&1 &&
      "$c" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
      echo "$c"
      return
    fi
  done
  echo "no Python 3.11+ found" >&2
  exit 1
}

# Creates .venv if needed and (re)builds the package into it, with the test extras.
# Arguments go to pip (build settings: -Ccmake.define.X=Y, -Cbuild-dir=...;
# scripts/test.sh adds the helpers' test module).
setup_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "nanobind>=3.0,<4"
  "$VENV/bin/python" -m pip install -q --no-build-isolation "$@" "$ROOT[test]"
}

# Runs pytest in .venv (arguments go to pytest); fails when nanobind reports leaked
# objects at interpreter exit, which it does for the suite and every interpreter the
# suite starts.
run_pytest() {
  export ZELVORA_LEAK_WARNINGS=1
  local log status
  log="$(mktemp)"
  set +e
  (cd "$ROOT" && "$VENV/bin/python" -m pytest "$@") 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  if grep -q "nanobind: leaked" "$log"; then
    echo "nanobind reported leaked objects at interpreter exit" >&2
    status=1
  fi
  rm -f "$log"
  return "$status"
}

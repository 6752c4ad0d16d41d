#!/usr/bin/env bash
# Installs exactly the declared minimum versions of the dependencies (the ">=" floors of
# pyproject.toml, pinned with == through a pip constraint file) into their own venv
# (.venv-floors-X.Y, build dir build/floors-X.Y, X.Y the interpreter's version), builds the
# package there and runs the test suite (arguments go to pytest). Run it before raising or
# lowering a floor. ZELVORA_PYTHON picks the interpreter (default: as for the other scripts).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
PYTHON="$(find_python)"
version="$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
VENV="${ZELVORA_FLOORS_VENV:-$ROOT/.venv-floors-$version}"
if [ -x "$VENV/bin/python" ] &&
  [ "$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$version" ]; then
  echo "$VENV was made with another Python than $PYTHON ($version): remove it first" >&2
  exit 1
fi
constraints="$(mktemp)"
trap 'rm -f "$constraints"' EXIT
"$PYTHON" - "$ROOT/pyproject.toml" >"$constraints" <<'PY'
import re, sys, tomllib
project = tomllib.load(open(sys.argv[1], "rb"))["project"]
for requirement in project["dependencies"]:
    name, floor = re.match(r"\s*([A-Za-z0-9_.\-]+)\s*>=\s*([^,;\s]+)", requirement).groups()
    print(f"{name}=={floor}")
PY
echo "floors (Python $version):" $(cat "$constraints")
export PIP_CONSTRAINT="$constraints"
setup_venv -C cmake.define.ZELVORA_BUILD_TESTING=ON -Cbuild-dir="build/floors-$version"
"$VENV/bin/python" -m pip list 2>/dev/null |
  grep -iE '^(pydantic|pydantic.core|ruamel.yaml|strawberry-graphql|graphql-core|structlog) '
run_pytest "$@"

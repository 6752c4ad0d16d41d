#!/usr/bin/env bash
# Installs exactly the declared minimum versions of the dependencies (the ">=" floors of
# pyproject.toml, pinned with == through a pip constraint file) into their own venv
# (.venv-floors, build dir build/floors), builds the package there and runs the test
# suite (arguments go to pytest). Run it before raising or lowering a floor.
# ZELVORA_PYTHON picks the interpreter (default: as for the other scripts).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
VENV="${ZELVORA_FLOORS_VENV:-$ROOT/.venv-floors}"
constraints="$(mktemp)"
trap 'rm -f "$constraints"' EXIT
"$(find_python)" - "$ROOT/pyproject.toml" >"$constraints" <<'PY'
import re, sys, tomllib
project = tomllib.load(open(sys.argv[1], "rb"))["project"]
for requirement in project["dependencies"]:
    name, floor = re.match(r"\s*([A-Za-z0-9_.\-]+)\s*>=\s*([^,;\s]+)", requirement).groups()
    print(f"{name}=={floor}")
PY
echo "floors:" $(cat "$constraints")
export PIP_CONSTRAINT="$constraints"
setup_venv -C cmake.define.ZELVORA_BUILD_TESTING=ON -Cbuild-dir=build/floors
"$VENV/bin/python" -m pip list 2>/dev/null |
  grep -iE '^(pydantic|pydantic.core|ruamel.yaml|strawberry-graphql|graphql-core|structlog) '
run_pytest "$@"

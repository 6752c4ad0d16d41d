#!/usr/bin/env bash
# Sets up .venv (with the helpers' test module) and runs the whole test suite (arguments
# go to pytest). A nanobind leak report at interpreter exit fails the run.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# nanobind's exit report is silent unless asked for; the tests and their subprocesses ask.
export ZELVORA_LEAK_WARNINGS=1
setup_venv -C cmake.define.ZELVORA_BUILD_TESTING=ON
cd "$ROOT"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
set +e
"$VENV/bin/python" -m pytest "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
if grep -q "nanobind: leaked" "$log"; then
  echo "nanobind reported leaked objects at interpreter exit" >&2
  exit 1
fi
exit "$status"

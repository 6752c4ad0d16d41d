#!/usr/bin/env bash
# Runs the core's C++ unit tests (scripts/test_core.sh), then sets up .venv (with the
# helpers' test module) and runs the whole test suite (arguments go to pytest). A compiler
# warning in the project's code fails the build; a nanobind leak report at interpreter exit
# fails the run.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
bash "$ROOT/scripts/test_core.sh"
setup_venv -C cmake.define.ZELVORA_BUILD_TESTING=ON -C cmake.define.ZELVORA_WERROR=ON
run_pytest "$@"

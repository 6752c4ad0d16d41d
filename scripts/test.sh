#!/usr/bin/env bash
# Sets up .venv and runs the whole test suite (arguments go to pytest). A nanobind leak
# report at interpreter exit fails the run.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
setup_venv
run_pytest "$@"

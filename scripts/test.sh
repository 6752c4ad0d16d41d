#!/usr/bin/env bash
# Sets up .venv and runs the whole test suite (arguments go to pytest).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
setup_venv
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"

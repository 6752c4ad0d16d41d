#!/usr/bin/env bash
# Sets up .venv and runs the demo on built-in sample data.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
setup_venv
exec "$VENV/bin/python" "$ROOT/examples/demo.py"

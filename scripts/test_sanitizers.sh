#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UBSan into its own venv (.venv-sanitize,
# build dir build/sanitize) and runs the test suite under them (arguments go to pytest;
# with --fuzz-smoke first, runs scripts/fuzz_smoke.py instead, with the other arguments).
# The interpreter is not instrumented: the sanitizer runtime is preloaded, and Python's
# own allocator is replaced by malloc so that ASan sees every object's memory.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
VENV="${ZELVORA_SANITIZE_VENV:-$ROOT/.venv-sanitize}"
setup_venv -Ccmake.define.ZELVORA_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
  -Cbuild-dir=build/sanitize

runtime() { realpath "$("${CXX:-c++}" -print-file-name="$1")"; }
export LD_PRELOAD="$(runtime libasan.so) $(runtime libstdc++.so)"
# Python keeps objects alive until exit by design: leak detection would report them all.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc
export ZELVORA_SANITIZED=1  # tests of allocation figures skip themselves
if [ "${1:-}" = "--fuzz-smoke" ]; then
  shift
  export ZELVORA_LEAK_WARNINGS=1
  exec "$VENV/bin/python" "$ROOT/scripts/fuzz_smoke.py" "$@"
fi
run_pytest "$@"

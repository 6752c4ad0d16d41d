#!/usr/bin/env bash
# Builds the core's C++ unit tests without Python (build/core-tests) and runs them with
# CTest. --sanitize: built with AddressSanitizer and UBSan (build/core-tests-sanitize), any
# report fails the run (leak checking stays on: no interpreter holds memory here). A compiler
# warning fails the build.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

build="$ROOT/build/core-tests"
options=(-DCMAKE_BUILD_TYPE=Release)
case "${1:-}" in
  "") ;;
  --sanitize)
    build="$ROOT/build/core-tests-sanitize"
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORA_SANITIZE=ON)
    export ASAN_OPTIONS="halt_on_error=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    ;;
  *)
    echo "usage: $0 [--sanitize]" >&2
    exit 2
    ;;
esac

cmake -S "$ROOT" -B "$build" -DZELVORA_BUILD_PYTHON=OFF -DZELVORA_BUILD_CORE_TESTS=ON -DZELVORA_WERROR=ON \
  "${options[@]}" >/dev/null
cmake --build "$build" --parallel 2 --target zelvora_core_tests
ctest --test-dir "$build" --output-on-failure

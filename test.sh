#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole suite.
# ORVO_SANITIZE=address,undefined runs it once more in a sanitizer build.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh --tests
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
if [ -n "${ORVO_SANITIZE:-}" ]; then
  ORVO_BUILD_DIR=build-sanitize ORVO_BUILD_TYPE=RelWithDebInfo \
    ORVO_CMAKE_ARGS="-DORVO_SANITIZE=${ORVO_SANITIZE}" scripts/setup.sh --tests
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)" "$@"
fi

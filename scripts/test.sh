#!/usr/bin/env bash
# Sets everything up and runs the whole test suite twice: plainly, and built
# with AddressSanitizer and UndefinedBehaviorSanitizer (any report fails).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)

scripts/setup.sh build
scripts/check-exports.sh build
ctest --test-dir build --output-on-failure -j"$JOBS"

scripts/setup.sh build-asan -DMOC_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j"$JOBS"

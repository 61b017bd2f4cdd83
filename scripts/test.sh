#!/usr/bin/env bash
# Sets everything up and runs the whole test suite twice: plainly, and built
# with AddressSanitizer and UndefinedBehaviorSanitizer (any report fails);
# the two-thread device I/O tests run a third time under ThreadSanitizer.
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

# The tests that race a capture against its cancel from two threads also run
# under ThreadSanitizer.
cmake -S . -B build-tsan -DMOC_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-tsan -j"$JOBS" --target platform_device_io_test
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir build-tsan --output-on-failure -R '^platform_device_io_test$'

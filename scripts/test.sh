#!/usr/bin/env bash
# Sets everything up and runs the whole test suite twice: plainly, and built
# with AddressSanitizer and UndefinedBehaviorSanitizer (any report fails);
# the suites that race threads on shared state run a third time under
# ThreadSanitizer.
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

# Races on shared state (a capture against its cancel, the trace control block
# against the enable callback, the log hub's responder list against Log) go
# unseen by the other two builds: these suites also run under ThreadSanitizer.
TSAN_SUITES=(platform_device_io_test common_trace_test common_log_hub_test sensor_cancel_test)
cmake -S . -B build-tsan -DMOC_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-tsan -j"$JOBS" --target "${TSAN_SUITES[@]}"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir build-tsan --output-on-failure -R "^($(IFS='|'; echo "${TSAN_SUITES[*]}"))\$"

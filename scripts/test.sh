#!/usr/bin/env bash
# Sets everything up and runs the whole test suite three times: plainly; built
# with AddressSanitizer and UndefinedBehaviorSanitizer (any report fails); and,
# for the suites that race threads on shared state, under ThreadSanitizer.
# Then each fuzz harness runs for 10 s (scripts/fuzz.sh).
# Build output goes to a log that is shown only when a build fails; each pass
# ends with a line "NAME: N passed, N failed", the run with "total: ...".
#   scripts/test.sh
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)
LOGS=build-logs
mkdir -p "$LOGS"

total_passed=0
total_failed=0
summaries=()
status=0

heading() { printf '\n==== %s ====\n' "$1"; }

# build NAME DIR [cmake args...]: configure and build quietly; the log is shown on failure.
build() {
  if ! scripts/quiet-build.sh "$@"; then
    summaries+=("$1: build failed")
    status=1
    return 1
  fi
}

# run_ctest NAME DIR [ctest args...]: runs the suites, shows failures, counts.
run_ctest() {
  local name=$1 dir=$2
  shift 2
  local log="$LOGS/$name-tests.log"
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS" "$@" >"$log" 2>&1
  local rc=$?
  grep -E '^ *[0-9]+/[0-9]+ Test +#' "$log" | sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: //'
  local line passed=0 failed=0
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=${BASH_REMATCH[1]}
    passed=$((BASH_REMATCH[2] - failed))
  else
    failed=1
  fi
  if ((rc != 0 || failed != 0)); then
    echo "---- output of the failed suites ($log) ----"
    cat "$log"
    status=1
  fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  summaries+=("$name: $passed passed, $failed failed")
  echo "$name: $passed passed, $failed failed"
}

# A check that this build cannot run is named, never silently left out.
not_run() {
  echo "$1: $2 not run: $3"
  summaries+=("$1: $2 not run ($3)")
}

heading "plain: the whole suite"
if build plain build; then
  if ! scripts/check-exports.sh build; then
    summaries+=("plain: unexpected exports")
    status=1
  fi
  command -v valgrind >/dev/null ||
    not_run plain sdcp_ecdh_threads_helgrind "valgrind is not installed"
  run_ctest plain build
fi

heading "sanitizers: the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer"
if build sanitizers build-asan -DMOC_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug; then
  not_run sanitizers sdcp_ecdh_threads_helgrind "valgrind does not run sanitized programs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest sanitizers build-asan
fi

# Races on shared state (a capture against its cancel, the trace control block
# against the enable callback, the log hub's responder list against Log, the
# engine's pending control request against its completion, a capture's wait
# against its cancel from another thread, the same through the loaded library's
# tables) go unseen by the other two builds: these suites also run under ThreadSanitizer.
TSAN_SUITES=(platform_device_io_test common_trace_test common_log_hub_test engine_control_test
  sensor_cancel_test host_roads_test)
heading "tsan: ${TSAN_SUITES[*]} under ThreadSanitizer"
if build tsan build-tsan -DMOC_TSAN=ON -DCMAKE_BUILD_TYPE=Debug --target "${TSAN_SUITES[@]}"; then
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest tsan build-tsan \
    -R "^($(IFS='|'; echo "${TSAN_SUITES[*]}"))\$"
fi

# Every parser of bytes from outside (the database files, the driver replies,
# the sample record) under libFuzzer for a short while, side by side.
heading "fuzz: each harness of fuzz/ for 10 s under libFuzzer, AddressSanitizer and UBSan"
fuzz_output=$(scripts/fuzz.sh 10 2>&1)
fuzz_rc=$?
echo "$fuzz_output"
line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed$' <<<"$fuzz_output" | tail -n 1)
if [[ $line =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
  total_passed=$((total_passed + BASH_REMATCH[1]))
  total_failed=$((total_failed + BASH_REMATCH[2]))
  summaries+=("$line")
else
  total_failed=$((total_failed + 1))
  summaries+=("fuzz: did not finish")
fi
((fuzz_rc == 0)) || status=1

heading "summary"
printf '%s\n' "${summaries[@]}"
echo "total: $total_passed passed, $total_failed failed"
exit $status

#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-fuzz/, warnings are errors) and runs
# each for SECONDS, several at once (FUZZ_JOBS, default: the number of cores).
# A harness fails on any crash, sanitizer report, broken property, leak or
# timeout; its input is kept in build-fuzz/artifacts/. New inputs the fuzzer
# finds go to build-fuzz/corpus/NAME, read back by the next run beside the
# committed seeds in fuzz/NAME/corpus. Each harness gets a line with its
# execution count; the run ends with "fuzz: N passed, N failed".
#   scripts/fuzz.sh SECONDS [NAME...]
set -uo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh SECONDS [NAME...]" >&2
  exit 2
fi
SECONDS_EACH=$1
shift
BUILD=build-fuzz
JOBS=${FUZZ_JOBS:-$(nproc)}

if [[ $# -gt 0 ]]; then
  NAMES=("$@")
else
  NAMES=()
  for dir in fuzz/*/; do
    name=$(basename "$dir")
    [[ -f $dir/${name}_fuzz.cpp ]] && NAMES+=("$name")
  done
fi

if ! scripts/quiet-build.sh fuzz "$BUILD" -DMOC_FUZZ=ON -DMOC_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror \
  --target "${NAMES[@]/#/fuzz_}"; then
  echo "fuzz: 0 passed, ${#NAMES[@]} failed"
  exit 1
fi

# The stand-in's drive root lives in a temporary folder; in memory it costs
# the file harnesses no disk flushes.
if [[ -z ${TMPDIR:-} && -d /dev/shm && -w /dev/shm ]]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# run NAME: one harness for SECONDS_EACH; its verdict in $BUILD/fuzz-logs/NAME.result.
run() {
  local name=$1
  local corpus=$BUILD/corpus/$name log=$BUILD/fuzz-logs/$name.log
  mkdir -p "$corpus" "$BUILD/artifacts"
  "$BUILD/fuzz/fuzz_$name" -max_total_time="$SECONDS_EACH" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/$name-" "$corpus" "fuzz/$name/corpus" >"$log" 2>&1
  local rc=$?
  local runs
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
  if ((rc == 0)) && ! grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    echo "passed ${runs:-0}" >"$BUILD/fuzz-logs/$name.result"
  else
    echo "failed ${runs:-0}" >"$BUILD/fuzz-logs/$name.result"
  fi
}

mkdir -p "$BUILD/fuzz-logs"
rm -f "$BUILD"/fuzz-logs/*.result
for name in "${NAMES[@]}"; do
  while (($(jobs -rp | wc -l) >= JOBS)); do
    wait -n
  done
  run "$name" &
done
wait

passed=0
failed=0
for name in "${NAMES[@]}"; do
  read -r verdict runs <"$BUILD/fuzz-logs/$name.result" || verdict=failed
  printf '%-20s %s, %s executions in %s s\n' "$name" "$verdict" "${runs:-0}" "$SECONDS_EACH"
  if [[ $verdict == passed ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "---- $BUILD/fuzz-logs/$name.log ----"
    tail -n 60 "$BUILD/fuzz-logs/$name.log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))

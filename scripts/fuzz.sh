#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-fuzz/, warnings are errors) and runs
# them several at once (FUZZ_JOBS, default: the number of cores): each for
# SECONDS, or with --runs each until it has made RUNS executions (the
# campaign of fuzz/README.md is --runs 10000000). A harness fails on any
# crash, sanitizer report, broken property, leak or timeout; its input is
# kept in build-fuzz/artifacts/. New inputs the fuzzer finds go to
# build-fuzz/corpus/NAME, read back by the next run beside the committed seeds
# in fuzz/NAME/corpus. Each harness gets a line with its execution count, its
# corpus (inputs and bytes, as libFuzzer last reported it) and its time; the
# run ends with "fuzz: N passed, N failed". libFuzzer's final status line of
# each harness is left in build-fuzz/fuzz-logs/NAME.final.
#   scripts/fuzz.sh SECONDS [NAME...]
#   scripts/fuzz.sh --runs RUNS [NAME...]
set -uo pipefail
cd "$(dirname "$0")/.."
usage() {
  echo "usage: scripts/fuzz.sh SECONDS [NAME...] | scripts/fuzz.sh --runs RUNS [NAME...]" >&2
  exit 2
}
if [[ ${1:-} == --runs ]]; then
  [[ ${2:-} =~ ^[0-9]+$ ]] || usage
  LIMIT=(-runs="$2")
  shift 2
elif [[ ${1:-} =~ ^[0-9]+$ ]]; then
  LIMIT=(-max_total_time="$1")
  shift
else
  usage
fi
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

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# run NAME: one harness to its limit; its verdict, executions, corpus inputs
# and bytes and seconds in $BUILD/fuzz-logs/NAME.result.
run() {
  local name=$1
  local corpus=$BUILD/corpus/$name log=$BUILD/fuzz-logs/$name.log
  mkdir -p "$corpus" "$BUILD/artifacts"
  local start=$SECONDS
  "$BUILD/fuzz/fuzz_$name" "${LIMIT[@]}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/$name-" "$corpus" "fuzz/$name/corpus" >"$log" 2>&1
  local rc=$? took=$((SECONDS - start))
  local runs inputs bytes
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
  # libFuzzer's status lines end with "corp: INPUTS/SIZE" (SIZE in b, Kb or Mb).
  read -r inputs bytes < <(sed -nE 's/.* corp: ([0-9]+)\/([0-9]+[KM]?b).*/\1 \2/p' "$log" | tail -n 1)
  local verdict=failed
  if ((rc == 0)) && ! grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    verdict=passed
  fi
  echo "$verdict ${runs:-0} ${inputs:-0} ${bytes:-0b} $took" >"$BUILD/fuzz-logs/$name.result"
  # libFuzzer's own last status line ("#RUNS DONE cov: ... ft: ... corp: ..."), as the
  # campaign keeps it beside its row.
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 >"$BUILD/fuzz-logs/$name.final"
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
  read -r verdict runs inputs bytes took <"$BUILD/fuzz-logs/$name.result" || verdict=failed
  printf '%-20s %s, %s executions, corpus %s inputs (%s), in %s s\n' "$name" "$verdict" \
    "${runs:-0}" "${inputs:-0}" "${bytes:-0b}" "${took:-0}"
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

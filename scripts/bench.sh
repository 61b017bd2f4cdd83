#!/usr/bin/env bash
# Builds the benchmark pairs in release mode (in build-bench/) and runs them:
# each operation of the system beside its raw baseline, the two halves timed in
# the same iterations. Prints a table (operation, our median, baseline median,
# ratio) and then one line "ratio NAME VALUE" per pair. The memory/ figures
# compare a later mark with an earlier one: memory/growth the peak resident
# size after 10,000 sign-ins and after 100, memory/enroll_growth after 1,000
# and 100 rounds of enrolling and deleting a finger, and for both roads the
# live blocks and bytes of the stand-in's process heap (_heap_), of the C++
# heap (_new_) and of the C heap (_malloc_), which must not move: a count that
# moved fails the run.
# The full report of the benchmark library goes to build-logs/bench-report.log.
#   scripts/bench.sh [benchmark library flags, e.g. --benchmark_filter=storage]
# A filter also decides whether the memory/ figures are taken (a filter that
# matches memory/growth). Not a test: nothing here passes or fails on a time.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=build-bench
LOGS=build-logs
mkdir -p "$LOGS"

scripts/quiet-build.sh bench "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DMOC_BENCH=ON \
  --target moc_bench moc_bench_memory || exit 1

pairs=$(mktemp)
trap 'rm -f "$pairs"' EXIT
status=0
report="$LOGS/bench-report.log"
: >"$report"
filter=""
for argument in "$@"; do
  [[ $argument == --benchmark_filter=* ]] && filter=${argument#--benchmark_filter=}
done
run() { # PROGRAM [ARGS...]
  echo "running $1"
  if ! "$BUILD_DIR/bench/$@" >>"$report" 2>&1; then
    grep -i 'failed' "$report" || true
    status=1
  fi
}
run moc_bench --benchmark_enable_random_interleaving=true "$@"
if [[ -z $filter || memory/growth =~ $filter ]]; then
  run moc_bench_memory
fi
grep '^pair ' "$report" >"$pairs" || true

# pair NAME OURS BASELINE UNIT: times in seconds per call ("s"), else counts
# of UNIT (KiB, blocks, bytes); two counts of nothing are equal.
awk '
  function show(value, unit) {
    if (unit != "s") return sprintf("%.0f %s", value, unit)
    if (value >= 1e-3) return sprintf("%.3f ms", value * 1e3)
    if (value >= 1e-6) return sprintf("%.3f us", value * 1e6)
    return sprintf("%.1f ns", value * 1e9)
  }
  {
    name[NR] = $2; ratio[NR] = $4 > 0 ? $3 / $4 : ($3 == 0 ? 1 : 0)
    printf "%-28s %16s %16s %8.3f\n", $2, show($3, $5), show($4, $5), ratio[NR]
  }
  BEGIN { printf "%-28s %16s %16s %8s\n", "operation", "our median", "baseline median", "ratio" }
  END { print ""; for (i = 1; i <= NR; ++i) printf "ratio %s %.3f\n", name[i], ratio[i] }
' "$pairs"
exit $status

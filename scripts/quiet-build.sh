#!/usr/bin/env bash
# Configures and builds one build folder through scripts/setup.sh with all its
# output in build-logs/NAME-build.log, shown only when the build fails.
#   scripts/quiet-build.sh NAME BUILD_DIR [setup.sh arguments...]
set -uo pipefail
cd "$(dirname "$0")/.."
name=$1 dir=$2
shift 2
log=build-logs/$name-build.log
mkdir -p build-logs
echo "building $dir (log: $log)"
if ! scripts/setup.sh "$dir" "$@" >"$log" 2>&1; then
  cat "$log"
  echo "$name: the build failed"
  exit 1
fi

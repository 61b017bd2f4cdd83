#!/usr/bin/env bash
# The deliverables export only the entries the biometric service and the
# service control manager look up; nothing of the static cores may leak.
set -euo pipefail
BUILD_DIR=${1:-build}
status=0
check() {
  local lib=$1; shift
  local expected actual
  expected=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
  actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed '/^$/d' | sort)
  if [ "$expected" != "$actual" ]; then
    echo "unexpected dynamic symbols in $lib:"
    diff <(echo "$expected") <(echo "$actual") || true
    status=1
  fi
}
check "$BUILD_DIR/adapter/libTolviMocAdapter.so" WbioQueryEngineInterface WbioQuerySensorInterface \
  WbioQueryStorageInterface
check "$BUILD_DIR/util/libTolviMocUtil.so" EntryPoint
exit $status

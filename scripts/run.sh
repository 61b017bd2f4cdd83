#!/usr/bin/env bash
# Sets everything up, builds, and runs the main job: the framework stand-in
# driving sign-in and enrollment on the simulated sensor.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
if [ -x build/host/moc_host ]; then
  exec build/host/moc_host "$@"
fi
echo "Built TolviMocAdapter and TolviMocUtil in build/; the framework stand-in is not part of this build yet."

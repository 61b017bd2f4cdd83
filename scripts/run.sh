#!/usr/bin/env bash
# Sets everything up, builds, and runs the main command: tolvimoc, the framework stand-in
# driving enrollment and sign-in through TolviMocAdapter on the simulated sensor. With no
# argument it runs its demo; any arguments are passed on (scripts/run.sh --help).
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what the command needs: the two libraries and tolvimoc, not every test and
# benchmark. The build reports on stderr, so that stdout holds what tolvimoc says.
scripts/setup.sh build --target TolviMocAdapter TolviMocUtil tolvimoc >&2
exec build/host/tolvimoc "$@"

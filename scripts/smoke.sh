#!/bin/bash
# Builds if needed (see build.sh), then runs the smoke program under Wine: it loads
# fullbridge.dll (and tcpestats.dll beside it) as the JVM would and prints one line
# per subsystem of what it sees on this machine, each saying ok or the Java
# exception it got.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! log=$(scripts/build.sh 2>&1); then
  echo "$log"
  exit 1
fi
export VELARO_WINEPREFIX="$PWD/build/wineprefix"
export VELARO_DELIVERABLES="$PWD/build/out"
exec tests/support/wine-run.sh build/tests/bin/velaro_smoke.exe

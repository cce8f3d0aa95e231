#!/bin/bash
# Runs the benchmark under Wine: fullbridge's natives against baselines made of
# the bare Windows calls. Builds first (see build.sh) or brings the build up to date.
# Prints the table; bench.csv and bench.json land in build/bench.
#
#   scripts/bench.sh [--repetitions N] [--only TEXT] [--no-accounting]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

if [ ! -f build/build.ninja ]; then
  scripts/build.sh
else
  # Brings the bench and fullbridge up to date with the sources.
  cmake --build --preset default --target velaro_bench >/dev/null
fi

mkdir -p build/bench
# A prefix of its own: the bench fills the registry and the URL cache, and must
# not meet a test run in the tests' prefix.
export VELARO_WINEPREFIX="$root/build/bench/wineprefix"
export VELARO_DELIVERABLES="$root/build/out"
cd build/bench
exec "$root/tests/support/wine-run.sh" bin/velaro_bench.exe "$@"

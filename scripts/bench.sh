#!/bin/bash
# Runs the benchmark under Wine: fullbridge's natives against baselines made of
# the bare Windows calls. Builds first when the build is missing (see build.sh).
# Prints the table; bench.csv and bench.json land in build/bench.
#
#   scripts/bench.sh [--repetitions N] [--only TEXT] [--no-accounting]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

if [ ! -f build/bench/bin/velaro_bench.exe ] || [ ! -f build/out/fullbridge.dll ]; then
  scripts/build.sh
fi

mkdir -p build/bench
# A prefix of its own: the bench fills the registry and the URL cache, and must
# not meet a test run in the tests' prefix.
export VELARO_WINEPREFIX="$root/build/bench/wineprefix"
export VELARO_DELIVERABLES="$root/build/out"
cd build/bench
exec "$root/tests/support/wine-run.sh" bin/velaro_bench.exe "$@"

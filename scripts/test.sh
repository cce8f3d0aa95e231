#!/bin/bash
# Builds everything (see build.sh) and runs the whole test suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
ctest --preset default

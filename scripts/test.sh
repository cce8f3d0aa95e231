#!/bin/bash
# Builds everything (see build.sh), runs the whole test suite under Wine, then the
# static analysis of the product sources (see lint.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
ctest --preset default
scripts/lint.sh

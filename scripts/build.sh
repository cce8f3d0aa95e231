#!/bin/bash
# Installs what is missing on Debian 12 (compilers, Wine, JDK, GoogleTest sources, JUnit)
# and builds the four deliverables into build/out. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install-missing.sh
install_missing cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 openjdk-17-jdk-headless googletest junit

cmake --preset default >/dev/null
cmake --build --preset default
echo "Deliverables are in $(pwd)/build/out"

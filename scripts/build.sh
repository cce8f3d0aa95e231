#!/bin/bash
# Installs what is missing on Debian 12 (compilers, Wine, JDK, GoogleTest sources)
# and builds the four deliverables into build/out. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 openjdk-17-jdk-headless googletest)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake --preset default >/dev/null
cmake --build --preset default
echo "Deliverables are in $(pwd)/build/out"

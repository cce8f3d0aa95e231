#!/bin/bash
# Runs a Windows test program under 64-bit Wine in the build tree's private
# prefix (never the user's own), with Wine's debug output silenced.
set -euo pipefail
prefix="${VELARO_WINEPREFIX:?VELARO_WINEPREFIX must name the Wine prefix of the build tree}"
export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko install dialogs on first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait || true
  fi
) 9>"$prefix.lock"

# Wine's own messages are silenced, so say how a program ended when it failed:
# a program that dies before writing anything leaves no other trace.
status=0
wine "$@" || status=$?
if [ "$status" -ne 0 ]; then
  printf 'wine-run: %s ended with exit code %d (0x%x)\n' "$1" "$status" "$status" >&2
fi
exit "$status"

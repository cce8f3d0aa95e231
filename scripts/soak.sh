#!/bin/bash
# The soak run: drives the natives a load-testing agent calls while it runs, as fast as
# they go, for the given time (default 3 minutes), on the JVM of ../shared/jvm under
# Wine through the jar; where that JVM is missing, through our JNI host in its plain
# mode. Samples handles and private bytes from outside the driver, the process heap's
# busy blocks, the calls made by kind and the Java heap from inside, every few seconds.
# Writes build/soak/samples.csv and build/soak/chart.svg, prints one line per measure,
# and exits 1 when a measure grows. Not part of the test command.
#
#   scripts/soak.sh [--minutes N]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

minutes=3
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes)
      minutes="${2:-}"
      shift 2 || true
      ;;
    *)
      echo "usage: scripts/soak.sh [--minutes N]" >&2
      exit 2
      ;;
  esac
done
if ! [[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  echo "soak: --minutes takes a number, not '$minutes'" >&2
  exit 2
fi
seconds=$(awk -v m="$minutes" 'BEGIN { s = int(m * 60 + 0.5); print (s < 20 ? 20 : s) }')
# About a hundred samples a run, no fewer than one every 2 s, no more than one every 10 s.
interval_ms=$(awk -v s="$seconds" 'BEGIN { i = int(s * 10); print (i < 2000 ? 2000 : (i > 10000 ? 10000 : i)) }')

source scripts/install-missing.sh
install_missing python3  # the report and the chart
if [ ! -f build/build.ninja ]; then
  scripts/build.sh >/dev/null
fi
if ! log=$(cmake --build --preset default --target soak 2>&1); then
  echo "$log"
  exit 1
fi

out="$root/build/soak"
mkdir -p "$out"
rm -f "$out"/driver.csv "$out"/sampler.csv "$out"/samples.csv "$out"/chart.svg "$out"/driver.pid
# A prefix of its own: the soak fills the URL cache and the registry while it runs.
export VELARO_WINEPREFIX="$out/wineprefix"
export VELARO_DELIVERABLES="$root/build/out"
run() { "$root/tests/support/wine-run.sh" "$@"; }
win() { printf 'Z:%s' "${1//\//\\}"; }

jvm="$root/../shared/jvm"
if [ -f "$jvm/avian.exe" ] && [ -f "$jvm/classpath.jar" ] && command -v javac >/dev/null; then
  rm -rf "$out/classes"
  javac -nowarn -source 8 -target 8 -bootclasspath "$jvm/classpath.jar" -cp build/out/velaro-native.jar \
    -d "$out/classes" tests/soak/java/soak/*.java 2>&1 | grep -v '^warning: \[options\]\|^1 warning$' || true
  [ -f "$out/classes/soak/Driver.class" ] || { echo "soak: the driver did not compile" >&2; exit 1; }
  driver=(run "$jvm/avian.exe" -cp "$(win "$out/classes");$(win "$root/build/out/velaro-native.jar")" soak.Driver)
  echo "soak: ${seconds} s on Avian under Wine ($jvm), sampling every $((interval_ms / 1000)) s"
else
  driver=(run "$out/bin/soak_host_driver.exe")
  missing="no JVM at $jvm"
  [ -f "$jvm/avian.exe" ] && missing="no javac to compile the driver for $jvm"
  echo "soak: $missing: driving through our JNI host in its plain mode instead," \
    "${seconds} s, sampling every $((interval_ms / 1000)) s"
fi

run "$out/bin/soak_sampler.exe" --pid-file "$(win "$out/driver.pid")" --out "$(win "$out/sampler.csv")" \
  --interval-ms "$interval_ms" &
sampler=$!
status=0
"${driver[@]}" --seconds "$seconds" --interval-ms "$interval_ms" \
  --fullbridge "$(win "$root/build/out/fullbridge.dll")" --heapwalk "$(win "$out/bin/soak_heapwalk.dll")" \
  --child "$(win "$out/bin/soak_child.exe")" --out "$(win "$out/driver.csv")" \
  --pid-file "$(win "$out/driver.pid")" || status=$?
# The sampler ends with the driver's process, or on a 0 from a driver that never ran.
if [ ! -s "$out/driver.pid" ]; then echo 0 >"$out/driver.pid"; fi
wait "$sampler" || true
if [ "$status" -ne 0 ]; then
  echo "soak: the driver failed (exit code $status)" >&2
  exit 1
fi
python3 tests/soak/report.py "$out/driver.csv" "$out/sampler.csv" "$out"

#!/bin/bash
# Runs clang-tidy with the checks of .clang-tidy over every product source (bridge/,
# tcpestats/, cachesweep/; not the tests), each with the flags the build compiles it
# with, for the mingw-w64 target. Prints nothing but the findings and a summary line;
# exits non-zero on any finding. Installs clang-tidy when missing; builds first when
# there is no build tree yet.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
build=$root/build

source scripts/install-missing.sh
install_missing clang-tidy

if [ ! -f "$build/build.ninja" ]; then
  scripts/build.sh
elif [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset default >/dev/null
fi
# Refreshes the compile database after a CMake change and generates the JNI headers.
cmake --build --preset default --target java_classes >/dev/null

# Every C/C++ source of the deliverables; the assembly unit has nothing for clang-tidy.
mapfile -d '' sources < <(find bridge tcpestats cachesweep -type f \
  \( -name '*.cpp' -o -name '*.cc' -o -name '*.c' \) -print0 | sort -z)
for source in "${sources[@]}"; do
  if ! grep -qF "\"file\": \"$root/$source\"" "$build/compile_commands.json"; then
    echo "lint: $source is not compiled by the build, so it cannot be checked" >&2
    exit 1
  fi
done

# clang-tidy parses as clang would for the mingw-w64 target, but with the headers the
# build uses: libstdc++ and the mingw-w64 runtime headers of the build's GCC. GCC's own
# builtin headers (intrinsics, stddef.h) stay out; clang brings its own.
database=$build/compile_commands.json
cxx=$(grep -B1 -F "\"file\": \"$root/${sources[0]}\"" "$database" |
  sed -n 's/^ *"command": "\([^ ]*\) .*/\1/p' | head -1)
target=$("$cxx" -dumpmachine)
gcc_dir=$(realpath -m "$("$cxx" -print-file-name=include)/..")
clang_args=("--target=$target" -nostdinc++ -nostdlibinc
  -Wno-unknown-warning-option -Wno-unused-command-line-argument -Wno-ignored-optimization-argument)
while read -r dir; do
  dir=$(realpath -m "$dir")
  case "$dir" in
    */include/c++*) clang_args+=("-isystem$dir") ;;
    "$gcc_dir"/*) ;;
    *) clang_args+=("-idirafter$dir") ;;
  esac
done < <("$cxx" -E -x c++ -v /dev/null 2>&1 | sed -n '/^#include <...> search starts here:/,/^End of search list/{//!p}')

# The lint reads its own copy of the compile database, without the build's -f/-m options
# that clang does not know (GCC-only ones); clang ignores or accepts the others.
lint_dir=$build/lint
stamps=$lint_dir/stamps
if [ "${1:-}" = "--all" ]; then rm -rf "$stamps"; fi
mkdir -p "$stamps"
: >"$lint_dir/probe.cpp"
filter=()
for option in $(grep '^ *"command": ' "$database" | tr ' ' '\n' | grep -E '^-[fm]' | sort -u); do
  probe=$(clang-tidy --checks=-*,bugprone-unused-raii "$lint_dir/probe.cpp" -- "${clang_args[@]}" "$option" 2>&1 || true)
  if [[ "$probe" == *"unknown argument"* || "$probe" == *"unsupported option"* ]]; then
    filter+=(-e "s/ $(printf '%s' "$option" | sed 's/[][\.*^$/]/\\&/g')\( \|\"\)/\1/g")
  fi
done
sed "${filter[@]}" -e '' "$database" >"$lint_dir/compile_commands.json"
tidy_args=(-p "$lint_dir" --quiet --warnings-as-errors='*')
for arg in "${clang_args[@]}"; do tidy_args+=("--extra-arg=$arg"); done

# A source is checked again only when something it is checked with changed since it last
# came out clean: the source, any header or build file of the product, its compile
# commands, the generated JNI headers, the checks, the installed packages (tools, system
# headers). --all checks every source.
common=$({
  dpkg-query -W
  printf '%s\n' "${tidy_args[@]}"
  find .clang-tidy scripts/lint.sh bridge tcpestats cachesweep include "$build/java/jni" -type f \
    ! -name '*.cpp' ! -name '*.cc' ! -name '*.c' -print0 | sort -z | xargs -0 sha256sum
} | sha256sum)

# One clang-tidy per source (it checks every build variant of the source, e.g. the
# corebridge and fullbridge ones), as many at once as there are cores; each log is kept
# apart and only the logs of sources with findings are printed.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
lint_one() {
  local name=${1//\//_} key
  key=$({
    echo "$common"
    sha256sum "$1"
    grep -B1 -F "\"file\": \"$root/$1\"" "$lint_dir/compile_commands.json"
  } | sha256sum)
  if [ "$(cat "$stamps/$name" 2>/dev/null)" = "$key" ]; then return; fi
  rm -f "$stamps/$name"
  touch "$logs/$name.checked"
  if clang-tidy "${tidy_args[@]}" "$1" >"$logs/$name" 2>&1; then
    echo "$key" >"$stamps/$name"
  else
    mv "$logs/$name" "$logs/$name.failed"
  fi
}
cores=$(nproc)
running=0
for source in "${sources[@]}"; do
  if ((running >= cores)); then wait -n; running=$((running - 1)); fi
  lint_one "$source" &
  running=$((running + 1))
done
wait
checked=$(find "$logs" -name '*.checked' | wc -l)

failed=0
for log in "$logs"/*.failed; do
  [ -e "$log" ] || continue
  failed=$((failed + 1))
  grep -v -E '^[0-9]+ warnings? (generated|treated as errors)\.$' "$log" || true
done
if ((failed)); then
  echo "lint: findings in $failed of ${#sources[@]} sources:" >&2
  cat "$logs"/*.failed | grep -E '^([^ ]+:[0-9]+:[0-9]+: )?(warning|error): ' | sed "s|^$root/||" | sort -u >&2
  exit 1
fi
echo "lint: ${#sources[@]} sources, no findings ($checked checked now, the others unchanged since they last came out clean)"

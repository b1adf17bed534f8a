#!/bin/sh
# tools/fuzz.sh TARGET [SECONDS]: runs one fuzz target for SECONDS (default
# 300) in its own build folder, build-fuzz/, configured with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer. New inputs go to
# build-fuzz/tests/fuzz/found/TARGET; a crash leaves crash-* files in the
# current folder. TARGET is one of the files tests/fuzz/*_fuzz.cpp names
# (compiler_fuzz, vm_fuzz, ...); `tools/fuzz.sh list` lists them.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "" ] || [ "$1" = "--help" ]; then
  sed -n '2,8s/^# \{0,1\}//p' "$0"
  exit 2
fi
if [ "$1" = "list" ]; then
  ls "$top/tests/fuzz" | sed -n 's/\.cpp$//p' | grep '_fuzz$'
  exit 0
fi
target=$1
seconds=${2:-300}
[ -f "$top/tests/fuzz/$target.cpp" ] || { echo "fuzz.sh: no target $target (tools/fuzz.sh list)" >&2; exit 2; }
cxx=$(command -v clang++ || command -v clang++-14 || true)
[ -n "$cxx" ] || { echo "fuzz.sh: clang++ is missing; tools/install-deps.sh installs it" >&2; exit 2; }
build="$top/build-fuzz"
if [ ! -f "$build/CMakeCache.txt" ]; then
  CXX=$cxx cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEVA_FUZZ=ON -DKEVA_SANITIZE=ON >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target "$target"
mkdir -p "$build/tests/fuzz/found/$target"
exec "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
  "$build/tests/fuzz/found/$target" "$top/tests/fuzz/corpus/$target"

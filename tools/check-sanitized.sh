#!/bin/sh
# tools/check-sanitized.sh [BUILD_DIR]: builds everything with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer in its own folder (default
# build-sanitize), with the fuzz targets, and runs the whole suite there: the
# unit and script tests under the sanitizers (any finding fails its test) and
# a bounded smoke run of every fuzz target. CI runs it after the plain suite.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$top/build-sanitize"}
cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ]; then
  echo "check-sanitized: clang++ is missing; tools/install-deps.sh installs it" >&2
  exit 2
fi
CXX=$cxx cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEVA_SANITIZE=ON -DKEVA_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# Leaks inside the libraries the engine uses (their own caches) are not
# findings; see the suppressions file. Windows under Xvfb draw with SDL's
# software renderer: the GL driver's configuration reader calls glibc's
# regexec, whose lock deadlocks under the sanitizer's interceptors.
SDL_RENDER_DRIVER=${SDL_RENDER_DRIVER:-software} SDL_FRAMEBUFFER_ACCELERATION=${SDL_FRAMEBUFFER_ACCELERATION:-0} \
LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$top/tests/sanitizer/lsan.supp:print_suppressions=0} \
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

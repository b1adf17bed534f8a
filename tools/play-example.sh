#!/bin/sh
# tools/play-example.sh [BUILD_DIR [EXAMPLE]]: plays an example game staged in
# the build tree (default: build, valley). With a display (DISPLAY or
# WAYLAND_DISPLAY set) it runs in a window; without one it runs headless and
# writes its last frame to BUILD_DIR/EXAMPLE.png, and keva prints where.
set -eu
build=${1:-build}
name=${2:-valley}
game="$build/examples/$name"
if [ ! -x "$build/keva" ] || [ ! -d "$game" ]; then
  echo "play-example: no $build/keva or $game; build first: cmake -S . -B $build && cmake --build $build" >&2
  exit 2
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/keva" "$game"
fi
shot="$build/$name.png"
exec "$build/keva" --headless --timeout 60 --screenshot "$shot" "$game"

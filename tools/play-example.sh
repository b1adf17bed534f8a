#!/bin/sh
# tools/play-example.sh [BUILD_DIR [EXAMPLE]]: plays an example game staged in
# the build tree (default: build, lantern). With a display (DISPLAY or
# WAYLAND_DISPLAY set) it runs in a window; without one it runs headless,
# replaying the game's recorded play-through (EXAMPLE.input beside it) when
# it has one, printing the text it shows, and writes its last frame to
# BUILD_DIR/EXAMPLE.png and its sound to BUILD_DIR/EXAMPLE.wav.
set -eu
build=${1:-build}
name=${2:-lantern}
game="$build/examples/$name"
if [ ! -x "$build/keva" ] || [ ! -d "$game" ]; then
  echo "play-example: no $build/keva or $game; build first: cmake -S . -B $build && cmake --build $build" >&2
  exit 2
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/keva" "$game"
fi
shot="$build/$name.png"
audio="$build/$name.wav"
set -- --headless --timeout 120 --text-hook --screenshot "$shot" --audio-out "$audio"
if [ -f "$game/$name.input" ]; then
  echo "play-example: no display; playing $name headless with the recorded input $game/$name.input"
  set -- "$@" --input "$game/$name.input"
fi
status=0
"$build/keva" "$@" "$game" || status=$?
echo "play-example: $name ended with status $status; its last screen is in $shot, its sound in $audio"
exit $status

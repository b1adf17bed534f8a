#!/bin/sh
# bench/lantern_play.sh [BUILD_DIR]: peak memory and CPU time of the lantern
# festival's recorded headless play-through (examples/lantern/lantern.input,
# 1280 x 720, with --audio-out), on one core (taskset -c 0). The baseline is
# the same game left on its title screen for as long (the mixer playing the
# music, the scripts polling input every 16 ms, nothing drawn), run and
# timed the same way; the difference, divided by the frames the play-through
# drew, is the CPU time of one frame.
set -eu
build=${1:-build}
game="$build/examples/lantern"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home/Documents"
cp -r "$game" "$work/game"
rm -f "$work/game/configure.cfg"

# run NAME INPUT: prints "user sys maxrss_kb elapsed" and keeps the output.
run() {
  rm -f "$work/game/configure.cfg"
  HOME="$work/home" XDG_DOCUMENTS_DIR="$work/home/Documents" \
    /usr/bin/time -f "%U %S %M %e" -o "$work/$1.time" taskset -c 0 "$build/keva" --headless --timeout 120 \
    --input "$2" --audio-out "$work/$1.wav" "$work/game" > "$work/$1.out" 2>&1
  cat "$work/$1.time"
}

set -- $(run play "$game/lantern.input")
play_cpu=$(echo "$1 + $2" | bc -l); play_rss=$3; play_wall=$4
frames=$(sed -n 's/.*the end: \([0-9]*\) frames drawn.*/\1/p' "$work/play.out")
[ -n "$frames" ] || { echo "lantern_play: the play-through did not reach the end" >&2; cat "$work/play.out" >&2; exit 1; }
wall_ms=$(echo "$play_wall * 1000 / 1" | bc)
echo "$wall_ms key press Escape" > "$work/idle.input"
set -- $(run idle "$work/idle.input")
idle_cpu=$(echo "$1 + $2" | bc -l); idle_rss=$3

printf 'play-through: %s s wall, %.2f s CPU, peak RSS %d KB, %d frames drawn\n' "$play_wall" "$play_cpu" "$play_rss" "$frames"
printf 'title baseline (same length): %.2f s CPU, peak RSS %d KB\n' "$idle_cpu" "$idle_rss"
printf 'CPU per drawn frame above the baseline: %.2f ms; the whole run per frame: %.2f ms; play / baseline CPU: %.2f\n' \
  "$(echo "($play_cpu - $idle_cpu) * 1000 / $frames" | bc -l)" "$(echo "$play_cpu * 1000 / $frames" | bc -l)" \
  "$(echo "$play_cpu / $idle_cpu" | bc -l)"

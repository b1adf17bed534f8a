#!/bin/sh
# Replays examples/catch's input file in a real window (under Xvfb) while
# recording it: the recording must hold the same events, so scripted input
# reaches the game through the window's event loop as it does headless.
# Usage: windowed_replay.sh KEVA STAGED_CATCH_FOLDER INPUT_FILE
set -u
keva=$1 game=$2 input=$3
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "xvfb-run is not installed: skipped"
  exit 77
fi
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cp -r "$game" "$work/catch"  # a windowed run writes its settings back
xvfb-run -a -s "-screen 0 1024x768x24" timeout 60 "$keva" --input "$input" --record "$work/played.input" "$work/catch" \
  >"$work/log" 2>&1
status=$?
if [ $status -ne 0 ]; then
  echo "keva ended with $status"; cat "$work/log"; exit 1
fi
# The events without their times, from the first one played on: before it
# the window may report where the real pointer stands.
grep -v '^#' "$work/played.input" | cut -d' ' -f2- | sed -n '/^mouse move 320 300$/,$p' >"$work/got"
cat >"$work/want" <<'END'
mouse move 320 300
mouse move 200 300
mouse down left
mouse up left
key down Right
key up Right
key down Left
key up Left
key down Return
key up Return
key down Escape
key up Escape
END
if ! diff "$work/want" "$work/got"; then
  echo "the recording differs from what was played"; exit 1
fi
echo "replayed and recorded in a window: $(wc -l <"$work/got") events"

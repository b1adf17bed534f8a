#!/usr/bin/env bash
# The main window in a real X session (Xvfb): message boxes are transient
# for it, and a window destroyed by another program closes the game as the
# player would (settings written back) instead of ending it with an X error.
# With a window manager (openbox, when installed): the size limits leave room
# for the frame, full screen covers the display, maximising switches to full
# screen, and leaving full screen puts the window back where it was.
# Usage: window_session.sh KEVA KEVA_H X_WINDOW_TOOL
set -u
keva=$(realpath "$1") header=$2 tool=$(realpath "$3")
for program in xvfb-run xwininfo xprop; do
  if ! command -v $program >/dev/null 2>&1; then
    echo "$program is not installed: skipped"
    exit 77
  fi
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$header" "$dir/keva.h"
failures=0

# Runs TEST (a function of this file) inside one Xvfb session with a game
# whose script is SCRIPT and whose configuration adds CFG.
session() {  # name, script, cfg
  local name=$1
  mkdir "$dir/$name"
  cp "$header" "$dir/$name/keva.h"
  printf '[Window]\nTitle=keva-window-test\n%b' "$3" > "$dir/$name/configure.cfg"
  printf '#include "keva.h"\n%s\n' "$2" > "$dir/$name/main.c"
  KEVA="$keva" GAME="$dir/$name" TOOL="$tool" xvfb-run -a -s "-screen 0 1280x800x24" \
    timeout 90 bash -c "$(declare -f wait_window ended geometry settled_geometry full_screen_round "check_${name%%-*}"); check_${name%%-*}" \
    > "$dir/$name/result" 2>&1
  local status=$?
  if [ $status -ne 0 ]; then
    echo "FAIL $name"; cat "$dir/$name/result"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

# Prints the id of the first window named $1 once it is mapped (within 20 s).
wait_window() {
  for i in $(seq 1 200); do
    id=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$1\":" | awk '{print $1}' | head -n1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  echo "no window named $1" >&2
  return 1
}

# Waits for the game ($1: pid) to end by itself (within 10 s); its status, or
# 125 when it had to be killed.
ended() {
  for i in $(seq 1 100); do kill -0 $1 2>/dev/null || break; sleep 0.1; done
  if kill -0 $1 2>/dev/null; then echo "still running"; kill -KILL $1; return 125; fi
  wait $1
}

check_box_owner() {
  "$KEVA" "$GAME/main.c" > "$GAME/log" 2>&1 &
  pid=$!
  main=$(wait_window keva-window-test) || return 1
  box=$(wait_window "ERROR : Error") || return 1
  owner=$(xprop -id "$box" WM_TRANSIENT_FOR | sed -n 's/.*window id # //p')
  kill -TERM $pid
  ended $pid
  [ "$((owner))" = "$((main))" ] || { echo "box $box transient for '$owner', not the main window $main"; return 1; }
}

check_destroyed() {
  "$KEVA" "$GAME/main.c" > "$GAME/log" 2>&1 &
  pid=$!
  main=$(wait_window keva-window-test) || return 1
  sleep 2  # past the window's creation: the game is running
  "$TOOL" destroy "$main"
  ended $pid || { echo "ended with $?"; cat "$GAME/log"; return 1; }
  grep -q '^WindowWidth=' "$GAME/configure.cfg" || { echo "settings not written back"; return 1; }
}

# "x y w h" of the window $1 (its client area, on the screen).
geometry() {
  xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
                           /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print x, y, w, h}'
}

# Prints the geometry of window $1 once it is "$2" (within 15 s: a loaded
# machine may take a while to switch), or the last one seen.
settled_geometry() {
  local now
  for i in $(seq 1 150); do
    now=$(geometry "$1")
    [ "$now" = "$2" ] && break
    sleep 0.1
  done
  echo "$now"
}

# Full screen ($2: how it is entered) and back, three times, on window $1.
full_screen_round() {
  local id=$1 how=$2 start now
  start=$(geometry "$id")
  for i in 1 2 3; do
    if [ "$how" = maximise ]; then "$TOOL" maximise "$id"; else xdotool key --window "$id" alt+Return; fi
    now=$(settled_geometry "$id" "0 0 1280 800")
    [ "$now" = "0 0 1280 800" ] || { echo "$how $i: full screen is '$now', not the display"; return 1; }
    sleep 0.5  # the switch has finished before the next key
    xdotool key --window "$id" alt+Return
    now=$(settled_geometry "$id" "$start")
    [ "$now" = "$start" ] || { echo "$how $i: back at '$now', not '$start'"; return 1; }
    sleep 0.5
  done
}

# The legacy name of a Japanese caption (set by the script) is compound
# text, not UTF-8 labelled as Latin-1; an ASCII one stays a plain string.
check_legacy_name() {
  "$KEVA" "$GAME/main.c" > "$GAME/log" 2>&1 &
  pid=$!
  main=$(wait_window keva-window-test) || return 1
  ascii=$(xprop -id "$main" WM_NAME)
  for i in $(seq 1 100); do
    japanese=$(xprop -id "$main" WM_NAME)
    [ "$japanese" != "$ascii" ] && break
    sleep 0.1
  done
  kill -TERM $pid
  ended $pid
  case "$ascii" in 'WM_NAME(STRING) = "keva-window-test"') ;; *) echo "ASCII caption: $ascii"; return 1 ;; esac
  case "$japanese" in 'WM_NAME(COMPOUND_TEXT) = '*) ;; *) echo "Japanese caption: $japanese"; return 1 ;; esac
}

# Another program cuts the game off the display: it ends, and what the
# player set is written back all the same.
check_killed() {
  "$KEVA" "$GAME/main.c" > "$GAME/log" 2>&1 &
  pid=$!
  main=$(wait_window keva-window-test) || return 1
  sleep 2
  xdotool windowkill "$main"
  ended $pid
  [ $? -ne 125 ] || return 1
  grep -q '^WindowWidth=' "$GAME/configure.cfg" || { echo "settings not written back"; cat "$GAME/log"; return 1; }
}

# F8 shows the Debug Output window: a child of the main window, of fixed size
# (no maximise button).
check_debug_window() {
  "$KEVA" "$GAME/main.c" > "$GAME/log" 2>&1 &
  pid=$!
  main=$(wait_window keva-window-test) || return 1
  sleep 1
  xdotool key --window "$main" F8
  debug=$(wait_window "Debug Output") || return 1
  owner=$(xprop -id "$debug" WM_TRANSIENT_FOR | sed -n 's/.*window id # //p')
  hints=$(xprop -id "$debug" WM_NORMAL_HINTS)
  kill -TERM $pid
  ended $pid
  [ "$((owner))" = "$((main))" ] || { echo "Debug Output transient for '$owner', not the main window $main"; return 1; }
  min=$(sed -n 's/.*minimum size: //p' <<< "$hints")
  max=$(sed -n 's/.*maximum size: //p' <<< "$hints")
  [ -n "$min" ] && [ "$min" = "$max" ] || { echo "Debug Output resizable: $hints"; return 1; }
}

check_managed() {
  openbox > /dev/null 2>&1 &
  sleep 1
  "$KEVA" "$GAME/main.c" > "$GAME/log" 2>&1 &
  pid=$!
  main=$(wait_window keva-window-test) || return 1
  sleep 2  # framed and settled
  if grep -q '^Resize=1' "$GAME/configure.cfg"; then
    # The largest client area of 4:3 whose frame fits the display.
    read -r left right top bottom < <(xprop -id "$main" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
    read -r max_w max_h < <(xprop -id "$main" WM_NORMAL_HINTS | sed -n 's/.*maximum size: \([0-9]*\) by \([0-9]*\).*/\1 \2/p')
    want_h=$((800 - top - bottom))
    want_w=$(( (want_h * 4 * 2 + 3) / 6 ))
    [ "$max_w $max_h" = "$want_w $want_h" ] || { echo "maximum client $max_w x $max_h, not $want_w x $want_h"; return 1; }
  fi
  full_screen_round "$main" alt_enter || return 1
  full_screen_round "$main" maximise || return 1
  kill -TERM $pid
  ended $pid
}

session box_owner 'int main() { int z; z = 0; return 1 / z; }' ''
session legacy_name 'int main() { sleep(2000); caption("\x83\x65\x83\x58\x83\x67"); while (1) sleep(10); return 0; }' ''
session destroyed 'int main() { while (1) sleep(10); return 0; }' '[General]\nConfirmation=1\n'
if command -v xdotool > /dev/null 2>&1; then
  session debug_window 'int main() { while (1) sleep(10); return 0; }' '[General]\nDebugMode=1\n'
  session killed 'int main() { while (1) sleep(10); return 0; }' ''
else
  echo "xdotool is not installed: the Debug Output window check is skipped"
fi
if command -v openbox > /dev/null 2>&1 && command -v xdotool > /dev/null 2>&1; then
  for resize in 0 1; do
    session managed-resize$resize 'int main() { while (1) sleep(10); return 0; }' \
      "Resize=$resize\n[System]\nDirect3D=1\n[Screen]\nWidth=640\nHeight=480\nFixedAspectRatio=1\n"
  done
else
  echo "openbox or xdotool is not installed: the window manager checks are skipped"
fi
exit $((failures > 0))

#!/usr/bin/env bash
# The main window in a real X session (Xvfb): message boxes are transient
# for it, and a window destroyed by another program closes the game as the
# player would (settings written back) instead of ending it with an X error.
# Usage: window_session.sh KEVA KEVA_H X_DESTROY_WINDOW
set -u
keva=$(realpath "$1") header=$2 destroy=$(realpath "$3")
for tool in xvfb-run xwininfo xprop; do
  if ! command -v $tool >/dev/null 2>&1; then
    echo "$tool is not installed: skipped"
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
  KEVA="$keva" GAME="$dir/$name" DESTROY="$destroy" xvfb-run -a -s "-screen 0 1024x768x24" \
    timeout 60 bash -c "$(declare -f wait_window ended "check_$name"); check_$name" > "$dir/$name/result" 2>&1
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

# Waits for the game ($1: pid) to end by itself (within 10 s); its status.
ended() {
  for i in $(seq 1 100); do kill -0 $1 2>/dev/null || break; sleep 0.1; done
  if kill -0 $1 2>/dev/null; then echo "still running"; kill -KILL $1; return 1; fi
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
  "$DESTROY" "$main"
  ended $pid || { echo "ended with $?"; cat "$GAME/log"; return 1; }
  grep -q '^WindowWidth=' "$GAME/configure.cfg" || { echo "settings not written back"; return 1; }
}

session box_owner 'int main() { int z; z = 0; return 1 / z; }' ''
session destroyed 'int main() { while (1) sleep(10); return 0; }' '[General]\nConfirmation=1\n'
exit $((failures > 0))

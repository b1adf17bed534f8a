#!/usr/bin/env bash
# Ending a windowed game from outside, in a real window under Xvfb: SIGTERM
# and SIGINT close it as the player would, without the confirmation, also
# while a message box is up, and the settings are written back. No copy of
# the engine showing a box is left behind.
# Usage: stop_signals.sh KEVA KEVA_H
set -u
keva=$1 header=$2
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "xvfb-run is not installed: skipped"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

# name, signal, script: the window is up for a while, then the signal comes.
while IFS='|' read -r name signal script; do
  mkdir "$dir/$name"
  printf '[General]\nConfirmation=1\n' > "$dir/$name/configure.cfg"
  cp "$header" "$dir/$name/keva.h"
  printf '#include "keva.h"\n%s\n' "$script" > "$dir/$name/main.c"
  cat > "$dir/$name/run.sh" <<END
"$keva" "$dir/$name/main.c" > "$dir/$name/log" 2>&1 &
pid=\$!
sleep 3
kill -$signal \$pid
for i in \$(seq 1 100); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
if kill -0 \$pid 2>/dev/null; then echo "still running 10 s after SIG$signal"; kill -KILL \$pid; exit 1; fi
wait \$pid
END
  xvfb-run -a -s "-screen 0 800x600x24" timeout 60 bash "$dir/$name/run.sh" > "$dir/$name/result" 2>&1
  status=$?
  if [ $status -ne 0 ]; then
    echo "FAIL $name: ended with $status"; cat "$dir/$name/result" "$dir/$name/log"; failures=$((failures + 1))
  elif ! grep -q '^WindowWidth=' "$dir/$name/configure.cfg"; then
    echo "FAIL $name: settings not written back"; cat "$dir/$name/configure.cfg"; failures=$((failures + 1))
  elif pgrep -f "$dir/$name/main.c" >/dev/null; then
    echo "FAIL $name: a copy of the engine is left behind"; kill -KILL $(pgrep -f "$dir/$name/main.c"); failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
done <<'END'
running_term|TERM|int main() { while (1) sleep(10); return 0; }
running_int|INT|int main() { while (1) sleep(10); return 0; }
error_box_up|TERM|int main() { int z; z = 0; return 1 / z; }
END
# A second signal ends the engine at once, while the first one's shut-down
# still waits for a builtin that runs for many seconds.
mkdir "$dir/second"
cp "$header" "$dir/second/keva.h"
printf '#include "keva.h"\nint main() { while (1) crc16(0x10000, 0x7FFFFFFF); return 0; }\n' > "$dir/second/main.c"
cat > "$dir/second/run.sh" <<END
"$keva" "$dir/second/main.c" > "$dir/second/log" 2>&1 &
pid=\$!
sleep 3
kill -TERM \$pid
sleep 1
kill -TERM \$pid
for i in \$(seq 1 50); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
if kill -0 \$pid 2>/dev/null; then echo "still running 5 s after the second SIGTERM"; kill -KILL \$pid; exit 1; fi
wait \$pid
END
xvfb-run -a -s "-screen 0 800x600x24" timeout 60 bash "$dir/second/run.sh" > "$dir/second/result" 2>&1
status=$?
if [ $status -ne 143 ]; then
  echo "FAIL second_signal: ended with $status, not 143"; cat "$dir/second/result"; failures=$((failures + 1))
else
  echo "ok   second_signal"
fi
exit $((failures > 0))

#!/usr/bin/env bash
# The headless runner's exit statuses and messages, on small scripts.
set -u
keva=$1
header=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$header" "$dir/keva.h"
failures=0

check() {  # name, expected status, script text, [expected stderr text]
  local name=$1 want=$2 text=$3 message=${4:-}
  printf '%s\n' "$text" > "$dir/$name.c"
  "$keva" --headless --timeout "${TIMEOUT:-20}" "$dir/$name.c" > "$dir/$name.out" 2> "$dir/$name.err"
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL $name: exit status $got, expected $want"; cat "$dir/$name.err"; failures=$((failures + 1))
  elif [ -n "$message" ] && ! grep -qF "$message" "$dir/$name.err"; then
    echo "FAIL $name: stderr lacks '$message':"; cat "$dir/$name.err"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

check returns_seven 7 'int main() { return 7; }'
check exit_is_zero 0 '#include "keva.h"
int main() { exit(); return 3; }'
check runtime_error 1 'int main() { int z; z = 0; return 1 / z; }' 'ERROR : Error: ０で除算しました'
check compile_error 1 'int main() { return undefined_name; }' '定義されていない'
check failure_stops_threads 1 '#include "keva.h"
int spin(int x) { while (1) ; }
int main() { int z; thd_begin(spin, 0, 0, 0); z = 0; return 1 / z; }'
TIMEOUT=0.3 check timeout 124 'int main() { while (1) ; }'
# One builtin that runs for many seconds does not hold the end of the run.
started=$(date +%s)
TIMEOUT=1 check timeout_in_a_builtin 124 '#include "keva.h"
int main() { crc16(0x10000, 0x7FFFFFFF); crc16(0x10000, 0x7FFFFFFF); return 0; }'
if [ $(( $(date +%s) - started )) -gt 8 ]; then
  echo "FAIL timeout_in_a_builtin ended $(( $(date +%s) - started )) s after its start"; failures=$((failures + 1))
fi

# log_out writes one line per call to standard output.
check log_out 0 '#include "keva.h"
int main() { log_out("%d + %d = %d", 2, 3, 5); log_out("%s", "second"); return 0; }'
if [ "$(cat "$dir/log_out.out")" != "$(printf '2 + 3 = 5\nsecond')" ]; then
  echo "FAIL log_out printed:"; cat "$dir/log_out.out"; failures=$((failures + 1))
fi

# Error level 0 silences the boxes; the script still stops, and the run still
# reports the failure in its exit status (exit() alone stays 0).
printf '[General]\nError=0\n' > "$dir/configure.cfg"
check silenced_error 1 'int main() { int z; z = 0; return 1 / z; }'
if [ -s "$dir/silenced_error.err" ]; then echo "FAIL silenced_error printed:"; cat "$dir/silenced_error.err"; failures=$((failures + 1)); fi
check silenced_bad_trap 1 "$(for i in $(seq 0 317); do printf '#trap\nint t%d();\n' "$i"; done)
int main() { t317(); return 0; }"
check silenced_exit 0 '#include "keva.h"
int main() { exit(); return 3; }'
printf '[General]\nError=0\nDebugMode=1\n' > "$dir/configure.cfg"
check silenced_argument_count 1 '#include "keva.h"
int main() { int n; n = abs(1, 2); return 0; }'
rm "$dir/configure.cfg"

"$keva" --headless "$dir/missing.c" 2> /dev/null
[ $? = 2 ] && echo "ok   missing_path" || { echo "FAIL missing_path"; failures=$((failures + 1)); }

echo "$((14 - failures)) passed, $failures failed"
[ "$failures" = 0 ]

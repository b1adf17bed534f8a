#!/usr/bin/env bash
# An engine killed (SIGKILL) at 20 random moments while a script rewrites the
# system file, a compressed file (pack_save) and a configuration value (ini_)
# in a loop: every time, each file holds one whole version, old or new, never
# a torn or mixed one, and the configuration keeps all its other lines.
set -u
keva=$1
header=$2
pack=$3
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
mkdir -p "$dir/kill"
cp "$header" "$dir/kill/keva.h"
cat > "$dir/kill.cfg" <<'CFG'
[General]
Error=1
[Kill]
Round=0
Keep=this line stays
CFG
cat > "$dir/kill/main.c" <<'SCRIPT'
#include "keva.h"
int main() {
  char *buf;
  int k;
  buf = malloc(262144);
  memset(buf, 0, 262144);
  sysfile("sys.sav", buf, 262144);
  for (k = 1; ; k++) {
    memset(buf, k & 255, 262144);
    if (sysio(1) != 1) return 10;
    if (pack_save("data.pak", buf, 262144) != 1) return 11;
    if (ini_seti("Kill", "Round", k) != 1) return 12;
  }
  return 0;
}
SCRIPT
failures=0
fail() { echo "FAIL round $1: $2"; failures=$((failures + 1)); }
one_value() {  # file: true when it is 262144 bytes of one value
  [ "$(stat -c %s "$1" 2>/dev/null)" = 262144 ] && [ "$(od -An -v -tu1 "$1" | tr -s ' ' '\n' | sed '/^$/d' | sort -u | wc -l)" = 1 ]
}
for round in $(seq 20); do
  "$keva" --headless --timeout 60 "$dir/kill.cfg" > "$dir/out" 2>&1 &
  pid=$!
  for i in $(seq 600); do [ -f "$dir/data.pak" ] && break; sleep 0.05; done  # up to 30 s on a loaded machine
  sleep "0.$(( (RANDOM % 90) + 5 ))"
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=
  one_value "$dir/sys.sav" || fail "$round" "system file torn"
  if "$pack" expand "$dir/data.pak" "$dir/expanded" > /dev/null 2>&1; then
    one_value "$dir/expanded" || fail "$round" "compressed file holds a mixed version"
  else
    fail "$round" "compressed file does not expand"
  fi
  grep -qx 'Keep=this line stays' "$dir/kill.cfg" || fail "$round" "configuration lost a line"
  grep -qE '^Round=[0-9]+$' "$dir/kill.cfg" || fail "$round" "configuration value torn"
  grep -qx 'Error=1' "$dir/kill.cfg" || fail "$round" "configuration lost a line"
done
echo "20 kills: $failures failures"
[ $failures = 0 ]

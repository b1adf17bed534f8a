#!/usr/bin/env bash
# The system file across engine runs: a save written when the first run ends
# is loaded by the second; and an engine killed while it saves a large system
# file again and again leaves the old or the new save, never a torn one.
set -u
keva=$1
header=$2
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
cp "$header" "$dir/keva.h"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

run() {  # name, script text: runs it headless and returns its exit status
  printf '%s\n' "$2" > "$dir/$1.c"
  "$keva" --headless --timeout "${TIMEOUT:-30}" "$dir/$1.c" > "$dir/$1.out" 2> "$dir/$1.err"
}

# First run: no save yet (sysfile reports 0 but keeps the registration); the
# buffer is filled and the script ends; the engine writes it when it stops.
run first '#include "keva.h"
int main() {
  char save[64];
  int i;
  if (sysfile("Save\\system.dat", save, 64) != 0) return 10;
  for (i = 0; i < 64; i++) save[i] = i + 1;
  return 0;
}'
[ $? = 0 ] || { fail "first run"; cat "$dir/first.err"; }
[ -f "$dir/Save/system.dat" ] && [ "$(stat -c %s "$dir/Save/system.dat")" = 64 ] || fail "no 64-byte save after the first run"

# Second run: the save loads (under another case) and is changed; the third
# run sees the change.
run second '#include "keva.h"
int main() {
  char save[64];
  int i;
  if (sysfile("SAVE\\SYSTEM.DAT", save, 64) != 1) return 20;
  for (i = 0; i < 64; i++) if (save[i] != i + 1) return 21;
  save[0] = 99;
  return 0;
}'
[ $? = 0 ] || { fail "second run: status $?"; cat "$dir/second.err"; }
run third '#include "keva.h"
int main() {
  char save[64];
  if (sysfile("save/system.dat", save, 64) != 1) return 30;
  if (save[0] != 99 || save[63] != 64) return 31;
  return 0;
}'
[ $? = 0 ] || { fail "third run"; cat "$dir/third.err"; }
[ $failures = 0 ] && echo "ok   save round trip over three runs"

# Killed while saving: a 4 MiB system file rewritten with one byte value after
# another, the engine killed at three moments.
printf '%s\n' '#include "keva.h"
int main() {
  char *buf;
  int k;
  buf = malloc(4194304);
  memset(buf, 0, 4194304);
  sysfile("big.sav", buf, 4194304);
  for (k = 1; ; k++) {
    memset(buf, k & 255, 4194304);
    sysio(1);
  }
  return 0;
}' > "$dir/big.c"
for delay in 0.3 0.7 1.1; do
  rm -f "$dir/big.sav"
  "$keva" --headless --timeout 60 "$dir/big.c" > /dev/null 2>&1 &
  pid=$!
  for i in $(seq 300); do [ -f "$dir/big.sav" ] && break; sleep 0.1; done  # up to 30 s on a loaded machine
  sleep "$delay"
  kill -9 "$pid"
  wait "$pid" 2>/dev/null
  pid=
  size=$(stat -c %s "$dir/big.sav" 2>/dev/null || echo missing)
  if [ "$size" != 4194304 ]; then fail "killed after $delay s: save size $size"; continue; fi
  first=$(head -c 1 "$dir/big.sav" | od -An -tu1 | tr -d ' ')
  head -c 4194304 /dev/zero | tr '\0' "$(printf "\\$(printf %03o "$first")")" > "$dir/expected"
  if cmp -s "$dir/big.sav" "$dir/expected"; then
    echo "ok   killed after $delay s: a whole save of byte $first"
  else
    fail "killed after $delay s: the save mixes two writes"
  fi
done
# The next save removes the temporary files the killed engines left behind.
run tidy '#include "keva.h"
int main() {
  char buf[16];
  sysfile("big.sav", buf, 16);
  return sysio(1) == 1 ? 0 : 1;
}'
[ $? = 0 ] || fail "save after the kills"
left=$(ls -A "$dir" | grep -c '^\.big\.sav\.new-')
[ "$left" = 0 ] && echo "ok   no temporary file left" || fail "$left temporary files left behind"
exit $((failures > 0))

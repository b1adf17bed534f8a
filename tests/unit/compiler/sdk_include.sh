#!/usr/bin/env bash
# An included file that the game folder lacks comes from the engine's own SDK
# folder: sdk/ beside the program (a build tree) or share/keva/sdk/ beside the
# program's folder (an installed engine); the game's own copy comes first.
set -u
keva=$1
header=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

run() {  # name, expected status, program, script folder
  local name=$1 want=$2 program=$3 folder=$4
  "$program" --headless --timeout 20 "$folder/main.c" > "$dir/$name.out" 2>&1
  local got=$?
  if [ "$got" = "$want" ]; then echo "ok   $name"; else
    echo "FAIL $name: exit status $got, expected $want"; cat "$dir/$name.out"; failures=$((failures + 1)); fi
}

mkdir -p "$dir/game" "$dir/own" "$dir/prefix/bin" "$dir/prefix/share/keva/sdk" "$dir/bare/bin"
printf '#include "keva.h"\nint main() { return abs(-7); }\n' > "$dir/game/main.c"
run build_tree 7 "$keva" "$dir/game"

# an installed engine: only its share folder has the header
cp "$keva" "$dir/prefix/bin/keva"
cp "$header" "$dir/prefix/share/keva/sdk/keva.h"
run installed 7 "$dir/prefix/bin/keva" "$dir/game"

# the game's own header is used before the engine's
cp "$dir/game/main.c" "$dir/own/main.c"
printf 'int abs(int n) { return 40 + n; }\n' > "$dir/own/keva.h"
run own_copy_first 33 "$dir/prefix/bin/keva" "$dir/own"

# no SDK anywhere: the include fails as before
cp "$keva" "$dir/bare/bin/keva"
run no_sdk 1 "$dir/bare/bin/keva" "$dir/game"
grep -q 'ファイルのオープンに失敗しました' "$dir/no_sdk.out" || { echo "FAIL no_sdk message"; cat "$dir/no_sdk.out"; failures=$((failures + 1)); }

[ "$failures" = 0 ]

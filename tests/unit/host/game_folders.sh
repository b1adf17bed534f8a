#!/usr/bin/env bash
# Games laid out as they come from Windows start unchanged: a game in a folder
# with a Japanese name (UTF-8, with a space) started by its program, its
# folder and its configuration file; a folder holding the game and a settings
# tool; a folder where no program fits.
set -u
keva=$(realpath "$1")
header=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

run() {  # name, expected status, expected stderr text (or ""), keva arguments...
  local name=$1 want=$2 text=$3
  shift 3
  "$keva" --headless --timeout 20 "$@" > "$dir/$name.out" 2> "$dir/$name.err"
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL $name: exit status $got, expected $want"; cat "$dir/$name.err"; failures=$((failures + 1))
  elif [ -n "$text" ] && ! grep -qF "$text" "$dir/$name.err"; then
    echo "FAIL $name: stderr lacks '$text':"; cat "$dir/$name.err"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

# ゲーム テスト/ゲーム.exe, ゲーム.cfg and the scripts in ゲーム/; the folder's
# name ends in a byte that reads as a Shift_JIS lead byte.
game="$dir/ゲーム テスト"
mkdir -p "$game/ゲーム/データ"
: > "$game/ゲーム.exe"
printf '[Screen]\nWidth=320\n' > "$game/ゲーム.cfg"
cp "$header" "$game/ゲーム/keva.h"
printf 'int main() { return 7; }\n' > "$game/ゲーム/データ/数.c"
# the main script calls データ\数.c by its Shift_JIS name
printf '#include "keva.h"\nint main() { return call("\x83\x66\x81\x5b\x83\x5e\\\\\x90\x94.c"); }\n' > "$game/ゲーム/main.c"
run by_program 7 "" "$game/ゲーム.exe"
run by_folder 7 "" "$game"
run by_folder_slash 7 "" "$game/"
run by_configuration 7 "" "$game/ゲーム.cfg"
(cd "$dir" && "$keva" --headless --timeout 20 "ゲーム テスト" > /dev/null 2>&1)
[ $? = 7 ] && echo "ok   relative_folder" || { echo "FAIL relative_folder"; failures=$((failures + 1)); }

# the game and its settings tool: the one with a script folder runs, and keva says so
two="$dir/two"
mkdir -p "$two/Game"
: > "$two/Game.exe"
: > "$two/Config.exe"
printf 'int main() { return 5; }\n' > "$two/Game/main.c"
run several_programs 5 "running Game.exe, which has its script folder Game/" "$two"

# nothing fits: keva says what it looked for
none="$dir/none"
mkdir -p "$none"
: > "$none/a.exe"
: > "$none/b.exe"
run no_program_fits 2 "looked for NAME/, NAME.bin and NAME.cfg" "$none"

[ "$failures" = 0 ]

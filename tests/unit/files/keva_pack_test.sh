#!/usr/bin/env bash
# keva-pack from the command line: round trips, refusals and exit statuses.
set -u
pack=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
check() {  # check DESCRIPTION COMMAND...: the command must succeed
  if ! "${@:2}" >/dev/null 2>"$work/err"; then echo "FAIL: $1"; cat "$work/err"; failures=$((failures + 1)); fi
}
refuse() {  # refuse DESCRIPTION PATTERN COMMAND...: exit 1 with PATTERN on stderr
  "${@:3}" >/dev/null 2>"$work/err"
  local rc=$?
  if [ $rc -ne 1 ] || ! grep -q -- "$2" "$work/err"; then
    echo "FAIL: $1 (exit $rc)"; cat "$work/err"; failures=$((failures + 1))
  fi
}

mkdir -p src/Sub/表 src/empty
printf 'hello\n' > src/a.txt
seq 1 30000 > src/Sub/Nums.txt
: > src/Sub/zero.dat
printf 'memo' > src/Sub/表/メモ.txt

check "help" "$pack" --help
check "create" "$pack" create plain.bin src
check "create compressed" "$pack" create --compress --seed 0x1234 packed.bin src
"$pack" list plain.bin > list.txt
check "list names members with backslashes" grep -q 'Sub\\Nums.txt' list.txt
check "list converts names to UTF-8" grep -q 'Sub\\表\\メモ.txt' list.txt
check "extract" "$pack" extract plain.bin out1
# the table is in the Windows order: `\` and `_` before digits before letters
mkdir -p order/bg order/bg2 order/b_
: > order/bg/x.bmp; : > order/bg2/y.bmp; : > order/b_/z.bmp; : > order/B1.bmp
check "create in Windows order" "$pack" create order.bin order
"$pack" list order.bin | tail -n +2 | awk '{print $NF}' > order.txt
check "listed in Windows order" diff order.txt <(printf '%s\n' 'b_\z.bmp' 'B1.bmp' 'bg\x.bmp' 'bg2\y.bmp')
check "extracted tree matches" diff -r src/Sub out1/Sub
check "extract expanded" "$pack" extract --expand packed.bin out2
check "expanded tree matches" diff -r src/Sub out2/Sub
check "archives are reproducible" "$pack" create plain2.bin src
check "same bytes twice" cmp plain.bin plain2.bin
check "compress" "$pack" compress src/Sub/Nums.txt nums.kev
check "expand" "$pack" expand nums.kev nums.txt
check "expanded file matches" cmp nums.txt src/Sub/Nums.txt

head -c 200 nums.kev > cut.kev
refuse "truncated compressed file" "cut.kev: truncated" "$pack" expand cut.kev never.txt
refuse "plain file is not compressed" "not a compressed file" "$pack" expand src/a.txt never.txt
head -c 30 plain.bin > cut.bin
refuse "truncated archive" "cut.bin: truncated" "$pack" list cut.bin
refuse "not an archive" "not an archive" "$pack" extract src/a.txt never
refuse "missing input" "missing.bin: cannot open" "$pack" list missing.bin
refuse "missing directory" "nodir: not a directory" "$pack" create never.bin nodir
refuse "unknown command" "unknown command" "$pack" frobnicate
refuse "bad seed" "--seed" "$pack" create --seed x never.bin src
refuse "wrong arguments" "wrong number" "$pack" compress one
[ -e never.txt ] || [ -e never.bin ] || [ -e never ] && { echo "FAIL: a refused command left output"; failures=$((failures + 1)); }
ls | grep -q '\.tmp-' && { echo "FAIL: temporary files left behind"; failures=$((failures + 1)); }

[ $failures -eq 0 ] && echo "keva-pack: all checks passed"
exit $((failures > 0))

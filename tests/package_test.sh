#!/bin/sh
# Builds the board's .deb, checks what it holds, and runs the packaged executable on the
# simulated board.
# usage: package_test.sh BUILD-DIR -- SIMBOARD-COMMAND... -- EMULATOR...
set -eu
build=$1; shift 2
simboard=""; while [ "$1" != -- ]; do simboard="$simboard $1"; shift; done; shift
emulator="$*"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
set -- "$work"/out/*.deb
[ $# = 1 ] || fail "expected one .deb, found: $*"
deb=$1
[ "$(basename "$deb")" = battery-voltage_1.0.0_armhf.deb ] || fail "named $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Architecture)" = armhf ] || fail "architecture $(dpkg-deb -f "$deb" Architecture)"
[ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "depends on $(dpkg-deb -f "$deb" Depends)"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/battery-voltage ./usr/share/man/man1/battery-voltage.1.gz " ] ||
    fail "holds: $files"

dpkg-deb -x "$deb" "$work/root"
tool=$work/root/usr/bin/battery-voltage
[ -x "$tool" ] || fail "not executable"
readelf -S "$tool" | grep -q '\.symtab' && fail "not stripped"
zcat "$work/root/usr/share/man/man1/battery-voltage.1.gz" | grep -q '^\.SH EXIT STATUS' ||
    fail "man page"

# The packaged binary on the board: ten exact lines and status 0.
status=0
$simboard --reading 4095 -- $emulator "$tool" >"$work/out.txt" 2>"$work/err.txt" || status=$?
expected=$(for i in 1 2 3 4 5 6 7 8 9 10; do echo "Battery voltage is: 4095"; done)
[ "$status" = 0 ] || fail "exit status $status"
[ "$(cat "$work/out.txt")" = "$expected" ] && [ "$(wc -l <"$work/out.txt")" = 10 ] ||
    fail "output: $(cat "$work/out.txt")"
[ ! -s "$work/err.txt" ] || fail "standard error: $(cat "$work/err.txt")"
echo "ok: $(basename "$deb")"

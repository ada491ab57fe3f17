#!/bin/sh
# SPDX-License-Identifier: MIT
# What the hardening flags leave in an executable: RELRO always; for this machine's
# (dynamic) builds also PIE and immediate binding.
# usage: hardening_test.sh static|dynamic EXECUTABLE
set -u
kind=$1 bin=$2 failed=0
expect() { # expect WHAT PATTERN TEXT
    printf '%s\n' "$3" | grep -Eq "$2" || { echo "FAIL: $bin: $1"; failed=1; }
}
segments=$(readelf -lW "$bin")
expect "read-only relocations (RELRO)" 'GNU_RELRO' "$segments"
if [ "$kind" = dynamic ]; then
    expect "position-independent (PIE)" 'Type: +DYN' "$(readelf -h "$bin")"
    expect "immediate binding (BIND_NOW)" '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' "$(readelf -d "$bin")"
fi
[ "$failed" = 0 ] && echo "ok: $bin is hardened"
exit "$failed"

#!/bin/sh
# SPDX-License-Identifier: MIT
# Where the kernel fetch keeps its cache, for each way the environment can name it: the
# rule that the emulated board follows too.
# usage: cache_dir_test.sh SOURCE-DIR
set -eu
fetch=$1/tools/emuboard/fetch.sh
home=$(getent passwd "$(id -u)" | cut -d: -f6)
failed=0
# case EXPECTED VAR=VALUE...: the cache directory with exactly these variables set.
expect() {
    expected=$1; shift
    got=$(env -u EMUBOARD_CACHE -u XDG_CACHE_HOME -u HOME "$@" sh "$fetch" --where 2>&1) ||
        got="failed: $got"
    if [ "$got" != "$expected" ]; then
        echo "FAIL: with $*: expected $expected, got $got"
        failed=1
    fi
}
expect /c/emu EMUBOARD_CACHE=/c/emu XDG_CACHE_HOME=/x HOME=/h
expect /x/battery-voltage/emuboard EMUBOARD_CACHE= XDG_CACHE_HOME=/x HOME=/h
expect /h/.cache/battery-voltage/emuboard XDG_CACHE_HOME=relative HOME=/h
expect /h/.cache/battery-voltage/emuboard XDG_CACHE_HOME= HOME=/h
expect "$home/.cache/battery-voltage/emuboard" HOME=
expect "$home/.cache/battery-voltage/emuboard"
[ "$failed" = 0 ] && echo "ok: the cache directory, six ways"
exit "$failed"

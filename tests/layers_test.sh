#!/bin/sh
# SPDX-License-Identifier: MIT
# The folders of tools/ are layers: common, then rtl, then the two boards (simboard and
# emuboard, which know nothing of each other); bench/ and tests/ stand on all of them.
# CMake keeps each #include within the folders of the targets that a target links, but it
# links any target to any other, across or up, even in a cycle. So this holds the links:
# each target_link_libraries of a target of tools/ names only targets of its own folder or
# of a layer below. Fails, naming the line, on one that points up or across, and on a
# target of tools/ that it does not know.
# usage: layers_test.sh CMAKELISTS
set -eu
awk '
function folder(t) {
    if (t == "common" || t == "board-stamp") return "common"
    if (t == "adc_rtl" || t == "cosim") return "rtl"
    if (t == "sandbox" || t == "simboard") return "simboard"
    if (t == "emuboard" || t == "emuboard-cli") return "emuboard"
    return ""
}
function rank(f) { return f == "common" ? 0 : f == "rtl" ? 1 : 2 }
function check(call, line,    w, n, i, mine, theirs) {
    gsub(/[()]/, " ", call)
    n = split(call, w, /[ \t]+/)
    for (i = 1; i <= n && w[i] != "target_link_libraries"; i++) {}
    mine = folder(w[++i])
    if (mine == "")
        return
    for (i++; i <= n; i++) {
        theirs = folder(w[i])
        if (theirs != "" && theirs != mine && rank(theirs) >= rank(mine)) {
            printf "%s:%d: %s (tools/%s) links %s (tools/%s), a layer above or beside\n",
                FILENAME, line, w[3], mine, w[i], theirs
            bad = 1
        }
    }
}
/^[ \t]*add_(library|executable)\(/ {
    t = $0; sub(/^[ \t]*add_(library|executable)\(/, "", t); sub(/[ \t].*/, "", t)
    src = $0
    if (src ~ /tools\// && folder(t) == "") {
        printf "%s:%d: %s is built from tools/ but has no layer here\n", FILENAME, NR, t
        bad = 1
    }
}
/^[ \t]*target_link_libraries\(/ { call = ""; start = NR; open = 1 }
open { call = call " " $0; if (index($0, ")")) { open = 0; check(call, start) } }
END { exit bad }
' "$1"

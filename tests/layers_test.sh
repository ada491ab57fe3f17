#!/bin/sh
# SPDX-License-Identifier: MIT
# The folders of tools/ are layers, and an #include only ever points down: common, then rtl,
# then the two boards (simboard and emuboard, which know nothing of each other); bench/ and
# tests/ stand on all of them. Fails, naming the line, on any include of a header from a
# layer above the file's own or beside it. Headers are included by name, so each name is
# looked up in the folders of tools/.
# usage: layers_test.sh SOURCE-DIR
set -eu
cd "$1"
rank() {
    case $1 in
    tools/common) echo 0 ;;
    tools/rtl) echo 1 ;;
    tools/simboard | tools/emuboard) echo 2 ;;
    *) echo 3 ;;
    esac
}
bad=0
for file in $(find tools bench tests -name '*.cpp' -o -name '*.h' | sort); do
    dir=${file%/*}
    mine=$(rank "$dir")
    grep -n '^#include "' "$file" | while IFS= read -r line; do
        name=${line#*\"}
        name=${name%%\"*}
        for home in tools/*/"$name"; do
            [ -f "$home" ] || continue
            theirs=${home%/*}
            if [ "$theirs" != "$dir" ] && [ "$(rank "$theirs")" -ge "$mine" ]; then
                echo "$file:${line%%:*}: includes $home, a layer above or beside $dir"
                exit 1
            fi
        done
    done || bad=1
done
exit $bad

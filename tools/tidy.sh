#!/bin/sh
# SPDX-License-Identifier: MIT
# clang-tidy over the given sources, with the build's compile commands, each source only
# when it may have changed since its last clean run: when its object file (which the build
# makes again whenever the source or any header it includes changes) or .clang-tidy is newer
# than that run's stamp. Run from the source tree, after the build.
# usage: tidy.sh BUILD-DIR SOURCE...
set -u
build=$1
shift
stamps=$build/tidy
mkdir -p "$stamps"
for src in "$@"; do
    obj=$(awk -v file="\"file\": \"$PWD/$src\"" '
        /"command":/ { command = $0 }
        index($0, file) {
            n = split(command, w, " ")
            for (i = 1; i < n; i++) if (w[i] == "-o") { print w[i + 1]; exit }
        }' "$build/compile_commands.json")
    stamp=$stamps/$(printf '%s' "$src" | tr / _).ok
    if [ -n "$obj" ] && [ -f "$stamp" ] && [ "$stamp" -nt "$build/$obj" ] &&
        [ "$stamp" -nt .clang-tidy ]; then
        continue
    fi
    printf '%s %s\n' "$src" "$stamp"
done |
    # clang-tidy also counts, on standard error, what it filtered out of system headers.
    xargs -r -P 2 -n 2 sh -c '
        out=$(clang-tidy -p "$0" --quiet "$1" 2>&1); status=$?
        printf "%s\n" "$out" | grep -v "^[0-9]* warnings\? generated\.$" | grep .
        [ "$status" = 0 ] && touch "$2"
        exit "$status"' "$build"

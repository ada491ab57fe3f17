#!/bin/sh
# SPDX-License-Identifier: MIT
# Prints the directory under which the project keeps what it fetches once: the emulated
# board's kernel (NAME emuboard) and the Debian 13 root (NAME debian13). The same rule as
# the emulated board's own: $XDG_CACHE_HOME if it is set and absolute, else $HOME/.cache,
# else the .cache of the home directory that the password database gives this user.
# usage: cache-dir.sh NAME
set -eu
[ $# = 1 ] || { echo "usage: cache-dir.sh NAME" >&2; exit 2; }
case ${XDG_CACHE_HOME:-} in
/*) base=$XDG_CACHE_HOME ;;
*)
    home=${HOME:-}
    if [ -z "$home" ]; then
        home=$(getent passwd "$(id -u)" | cut -d: -f6) || home=
    fi
    if [ -z "$home" ]; then
        echo "no cache directory: HOME is not set and user $(id -u) has no home" >&2
        exit 1
    fi
    base=$home/.cache
    ;;
esac
echo "$base/battery-voltage/$1"

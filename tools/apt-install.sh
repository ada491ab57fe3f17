#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs Debian packages, as root, with this machine's own apt. `apt-get update` is tried
# three times with a pause between. A mirror in the middle of a sync can fail one index
# ("File has unexpected size ... Mirror sync in progress?") while every package wanted is
# at hand in the others, so an update that still fails only warns, and the install goes on;
# if the install itself cannot, it says in one line what failed, the update's error too.
# usage: apt-install.sh PACKAGE...   (APT_PAUSE: seconds between tries, default 10)
set -eu
say() { echo "apt-install: $*" >&2; }
[ $# -gt 0 ] || { echo "usage: apt-install.sh PACKAGE..." >&2; exit 2; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# first_error: apt's first error in the log, else its first warning, else its last line.
first_error() {
    grep -E -m 1 '^(E|Error):' "$log" || grep -E -m 1 '^(W|Warning):' "$log" || tail -n 1 "$log"
}
# apt-get update counts an index it could not fetch as a warning; here it is a failure.
update() {
    apt-get -q update >"$log" 2>&1 &&
        ! grep -E -q '^(E|W|Error|Warning): (Failed to fetch|Some index files failed)' "$log"
}
update_error=
for try in 1 2 3; do
    update && break
    if [ $try = 3 ]; then
        update_error=$(first_error)
    else
        sleep "${APT_PAUSE:-10}"
    fi
done

if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" \
    >"$log" 2>&1; then
    why=$(first_error)
    say "could not install $*: $why${update_error:+ (apt-get update failed 3 times: $update_error)}"
    exit 1
fi
[ -z "$update_error" ] || say "apt-get update failed in part, the install went on: $update_error"

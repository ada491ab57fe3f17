#!/bin/sh
# SPDX-License-Identifier: MIT
# How battery-adc-status reaches the device, from strace of a run on the simulated board
# whose words stand still: sysfs before anything else; /dev/mem opened read-only and the
# block's one page mapped read-only; SIGBUS caught around each read of the words and given
# back its default after; the interval slept between the reads; and nothing else done with
# the device.
# usage: status_contract_test.sh SIMBOARD -- PROGRAM
set -u
simboard=$1 program=$3
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

# The block's identity and a count of 7 that never moves: verdict 5 after both reads.
"$simboard" --reading 0 -- sh -c '
    put() { printf "$2" | dd of=/dev/mem bs=1 seek=$(($1)) conv=notrunc status=none; }
    put 0xFF241004 "\007" && put 0xFF24103C "\001\104\101\102" &&
    exec strace -o "$0" -e trace=openat,mmap,munmap,mprotect,close,rt_sigaction,clock_nanosleep,write,exit_group "$1"
' "$work/trace" "$program" >"$work/out" 2>&1
status=$?
awk '
    /^openat\(AT_FDCWD, "\/sys\/class\// { started = 1 }
    !started { next }
    /^openat\(/ { split($0, a, "\""); f = $0; sub(/.*", /, "", f); sub(/\).*/, "", f)
                  print "open " a[2] " " f; if (a[2] == "/dev/mem") { mem = $NF } ; next }
    /^mmap\(/ && index($0, ", " mem ", ") { sub(/ = .*/, ""); print; next }
    /^close\(/ && $0 ~ "^close\\(" mem "\\)" { print "close mem"; next }
    /^(munmap|mprotect)\(/ { print; next }
    /^rt_sigaction\(SIGBUS, \{sa_handler=SIG_DFL/ { print "SIGBUS default"; next }
    /^rt_sigaction\(SIGBUS, \{sa_handler=/ { print "SIGBUS caught"; next }
    /^rt_sigaction\(/ { print; next }
    /^clock_nanosleep\(/ { print "sleep"; next }
    /^write\(1,/ { print "write"; next }
    /^exit_group\(/ { sub(/ *=.*/, ""); print }
' "$work/trace" >"$work/calls"
expected='open /sys/class/fpga_manager O_RDONLY|O_CLOEXEC|O_DIRECTORY
open /sys/class/fpga_bridge O_RDONLY|O_CLOEXEC|O_DIRECTORY
open /dev/mem O_RDONLY|O_SYNC
mmap(NULL, 4096, PROT_READ, MAP_SHARED, 3, 0xff241000)
close mem
SIGBUS caught
SIGBUS default
sleep
SIGBUS caught
SIGBUS default
write
exit_group(5)'
if [ "$status" != 5 ] || [ "$(cat "$work/calls")" != "$expected" ]; then
    echo "FAIL: status $status; the calls differ from the contract:"
    printf '%s\n' "$expected" | diff -u - "$work/calls"
    cat "$work/out"
    exit 1
fi
echo "ok: battery-adc-status keeps its device contract"

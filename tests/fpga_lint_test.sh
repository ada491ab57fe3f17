#!/bin/sh
# SPDX-License-Identifier: MIT
# Verilator's lint with every warning finds nothing in the block, with the parameters that
# the cases use; and a parameter out of its range fails elaboration with a message that
# names it. Usage: fpga_lint_test.sh FPGA_DIR
command -v verilator >/dev/null || { echo "verilator is missing: apt-get install verilator"; exit 1; }
# Newer Verilator (Debian 13's) reports on every run unless told not to; older ones neither
# report nor know the option.
quiet=
verilator --quiet-stats --version >/dev/null 2>&1 && quiet=--quiet-stats
status=0
for params in "" "-GCLOCK_HZ=100000000 -GBATTERY_CHANNEL=6" "-GCLOCK_HZ=200000000 -GBATTERY_CHANNEL=5" \
    "-GCLOCK_HZ=73000000 -GBATTERY_CHANNEL=3 -GACQUISITION_NS=240" "-GBATTERY_CHANNEL=2 -GBATTERY_ONLY=1" \
    "-GCLOCK_HZ=200000000 -GACQUISITION_NS=1000000 -GWAKE_MS=2000" "-GWAKE_MS=0"; do
    if ! verilator --lint-only -Wall $quiet $params "$1/battery_adc.v"; then
        echo "verilator --lint-only -Wall $params: not clean"
        status=1
    fi
done
[ $status -eq 0 ] && echo "verilator --lint-only -Wall: clean"
# PARAMETER=VALUE out of range: elaboration fails, naming PARAMETER.
for bad in BATTERY_CHANNEL=8 BATTERY_CHANNEL=-1 CLOCK_HZ=25000000 CLOCK_HZ=200000001 \
    ACQUISITION_NS=239 ACQUISITION_NS=1000001 BATTERY_ONLY=2 WAKE_MS=-1 WAKE_MS=2001; do
    if out=$(verilator --lint-only -Wall $quiet -G$bad "$1/battery_adc.v" 2>&1); then
        echo "verilator: $bad elaborated"
        status=1
    elif ! echo "$out" | grep -q "${bad%%=*}_must_be"; then
        echo "verilator: $bad failed without naming ${bad%%=*}:"
        echo "$out" | head -5
        status=1
    fi
done
[ $status -eq 0 ] && echo "verilator: each parameter out of range fails, naming it"
exit $status

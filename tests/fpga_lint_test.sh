#!/bin/sh
# SPDX-License-Identifier: MIT
# Verilator's lint with every warning finds nothing in the block, with the parameters that
# the cases use. Usage: fpga_lint_test.sh FPGA_DIR
command -v verilator >/dev/null || { echo "verilator is missing: apt-get install verilator"; exit 1; }
set -e
# Newer Verilator (Debian 13's) reports on every run unless told not to; older ones neither
# report nor know the option.
quiet=
verilator --quiet-stats --version >/dev/null 2>&1 && quiet=--quiet-stats
for params in "" "-GCLOCK_HZ=100000000 -GBATTERY_CHANNEL=6" "-GCLOCK_HZ=25000000 -GBATTERY_CHANNEL=3"; do
    verilator --lint-only -Wall $quiet $params "$1/battery_adc.v"
done
echo "verilator --lint-only -Wall: clean"

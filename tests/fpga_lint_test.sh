#!/bin/sh
# SPDX-License-Identifier: MIT
# Verilator's lint with every warning finds nothing in the block, with the parameters that
# the cases use. Usage: fpga_lint_test.sh FPGA_DIR
command -v verilator >/dev/null || { echo "verilator is missing: apt-get install verilator"; exit 1; }
set -e
verilator --lint-only -Wall "$1/battery_adc.v"
verilator --lint-only -Wall -GCLOCK_HZ=100000000 -GBATTERY_CHANNEL=6 "$1/battery_adc.v"
verilator --lint-only -Wall -GCLOCK_HZ=25000000 -GBATTERY_CHANNEL=3 "$1/battery_adc.v"
echo "verilator --lint-only -Wall: clean"

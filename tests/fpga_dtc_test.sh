#!/bin/sh
# SPDX-License-Identifier: MIT
# dtc compiles the device-tree overlays without a word (with the one check off that the
# kernel's own build turns off too), and the block's compatible is the one the
# component file gives sopc2dts. Usage: fpga_dtc_test.sh FPGA_DIR
command -v dtc >/dev/null || { echo "dtc is missing: apt-get install device-tree-compiler"; exit 1; }
for dtso in battery_adc.dtso battery_adc_load.dtso; do
    out=$(dtc -@ -Wno-avoid_unnecessary_addr_size -I dts -O dtb -o /dev/null "$1/$dtso" 2>&1) ||
        { echo "$dtso: $out"; exit 1; }
    [ -z "$out" ] || { echo "dtc warns on $dtso:"; echo "$out"; exit 1; }
done
compatible=$(sed -n 's/.*embeddedsw.dts.compatible \(.*\)$/\1/p' "$1/battery_adc_hw.tcl")
grep -q "compatible = \"$compatible\";" "$1/battery_adc.dtso" ||
    { echo "the overlay's compatible is not $compatible"; exit 1; }
echo "dtc: battery_adc.dtso and battery_adc_load.dtso clean; compatible $compatible"

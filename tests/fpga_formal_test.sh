#!/bin/sh
# SPDX-License-Identifier: MIT
# The formal proof of the block (fpga/formal/prove.sh) at the settings with the smallest
# counts, 50 MHz and ACQUISITION_NS = 240, within make check's time: every property by pdr
# for all time where it converges in 2 s, the others by bmc3 towards 420 half-clock steps
# (the reset wait and a whole frame), as deep as 6 s take it. Then
# each planted fault, made here by sed on a copy of the block, must fail the property named
# for it. docs/fpga-interface.md ("The formal proof") says what each proves.
# Usage: fpga_formal_test.sh FPGA_DIR WORK_DIR [FORMAL_DIR]
# (FPGA_DIR holds the block, battery_adc.v; FORMAL_DIR the proof, by default FPGA_DIR/formal.)
set -u
fpga=$(cd "$1" && pwd)
work=$2
prove=$(cd "${3:-$fpga/formal}" && pwd)/prove.sh
small="CLOCK_HZ=50000000 ACQUISITION_NS=240 BATTERY_CHANNEL=5"
for tool in yosys yosys-abc timeout; do
    command -v $tool >/dev/null || { echo "$tool is missing: apt-get install yosys"; exit 1; }
done
rm -rf "$work" && mkdir -p "$work" || exit 1
status=0

# With FORMAL_DEEP=1 (make formal-deep): only the planted fault that fails too deep for
# make check, SDO taken on the edge that raises SCK, 20 ns after the fall at 50 MHz, where
# the bit is not yet valid: word 0 reads noise once a code is published.
if [ "${FORMAL_DEEP:-0}" = 1 ]; then
    deep=1
else
    deep=0
fi
if [ $deep = 0 ]; then
    echo "== the block, $small"
    sh "$prove" -p "$small" -t 2 -d 420 -b 6 "$fpga/battery_adc.v" "$work/block" ||
        { echo "the proof failed"; status=1; }
fi

# plant NAME PROPERTY DEPTH PDR SED [PARAMS]: the block with SED applied must fail
# PROPERTY (bmc3 to DEPTH steps first, then pdr for PDR seconds).
plant() {
    name=$1 property=$2 depth=$3 pdr=$4 edit=$5 params=${6:-}
    copy=$work/$name.v
    sed -e "$edit" "$fpga/battery_adc.v" >"$copy"
    if cmp -s "$copy" "$fpga/battery_adc.v"; then
        echo "planted fault $name: the edit changed nothing; fix its sed"
        status=1
        return
    fi
    echo "== planted fault $name: must fail $property"
    sh "$prove" -p "$small $params" -o "$property" -B -d "$depth" -b 60 -t "$pdr" "$copy" \
        "$work/$name" >"$work/$name.out"
    cat "$work/$name.out"
    if ! grep -q "^FAIL *$property " "$work/$name.out"; then
        echo "planted fault $name was not caught by $property"
        status=1
    fi
}
if [ $deep = 1 ]; then
    plant sdo_at_sck_rise word0_battery_code 0 900 \
        's/SDO_HALVES = 2 \* HALF_SCK + halves_in(124);/SDO_HALVES = 2 * HALF_SCK;/'
    exit $status
fi
plant read_changes_count word1_count 12 2 \
    's|^\( *\)// SDO: a bit SDO_CLOCKS|\1if (avs_read) count <= count + 1'"'"'b1;\n&|'
plant write_changes_channel word11to15_constants 12 2 \
    's|^    // Even frames ask|    reg [2:0] wchan = BATTERY[2:0];\n    always @(posedge clk) if (avs_write) wchan <= avs_writedata[2:0];\n&|; s|: BATTERY\[2:0\];|: wchan;|; s|{29'"'"'d0, BATTERY\[2:0\]}|{29'"'"'d0, wchan}|'
plant no_initial_values idle_at_power_up 4 2 \
    's/^\( *reg [^=]*[a-z_]\) = [^;]*;/\1;/; s/^\( *output reg [^=]*[a-z_]\) = [^,]*,/\1,/
     /^    initial begin/,/^    end/d' NEVER_RESET=1
plant convst_20ns convst_high_margin 170 10 's/halves_in(300)/halves_in(200)/'
exit $status

#!/bin/sh
# SPDX-License-Identifier: MIT
# The formal proof of the block (fpga/formal/prove.sh) at the settings with the smallest
# counts, 50 MHz and ACQUISITION_NS = 240, on input 5: every property and the block's own
# invariants proven together for all time by k-induction (pins_ignore_bus by scorr), and
# every cover reached. Then at 73 MHz, 240 ns, on input 2 with WAKE_MS = 1, where the hold
# after the 12th SCK fall outlasts the acquisition (HOLD_BINDS) and CONVST and SDO use no
# falling edge: the same, the covers left to make formal-deep. Then each planted fault, made
# here by sed on a copy of the block, must fail the property named for it.
# docs/fpga-interface.md ("The formal proof") says what each proves.
# Usage: fpga_formal_test.sh FPGA_DIR WORK_DIR [FORMAL_DIR]
# (FPGA_DIR holds the block, battery_adc.v; FORMAL_DIR the proof, by default FPGA_DIR/formal.)
set -u
fpga=$(cd "$1" && pwd)
work=$2
prove=$(cd "${3:-$fpga/formal}" && pwd)/prove.sh
small="CLOCK_HZ=50000000 ACQUISITION_NS=240 BATTERY_CHANNEL=5"
live="CLOCK_HZ=73000000 ACQUISITION_NS=240 BATTERY_CHANNEL=2"
for tool in yosys yosys-abc timeout; do
    command -v $tool >/dev/null || { echo "$tool is missing: apt-get install yosys"; exit 1; }
done
rm -rf "$work" && mkdir -p "$work" || exit 1
status=0

echo "== the block, $small"
sh "$prove" -p "$small" -b 60 "$fpga/battery_adc.v" "$work/block" ||
    { echo "the proof failed"; status=1; }
# With the wait for the converter's reference after a reset at its shortest, 1 ms: proven,
# but no witness here (146,000 steps of wait; make formal-deep walks the covers at 73 MHz
# with no wait, and past the wait at 50 MHz).
echo "== the block, $live WAKE_MS=1"
sh "$prove" -p "$live WAKE_MS=1" -b 60 -c 0 "$fpga/battery_adc.v" "$work/live" ||
    { echo "the proof at 73 MHz with WAKE_MS=1 failed"; status=1; }

# plant NAME PROPERTY ENGINE SED [SETTING]: the block with SED applied must fail PROPERTY,
# at SETTING (by default $small). ENGINE is "bmc DEPTH PDR" (bmc3 to DEPTH steps, then pdr
# for PDR seconds) for a failure within a few clocks, or "walk STEPS [CLOCKS]" (a random
# walk of legal inputs through the property's cone, walk.awk, with a reset at one clock in
# CLOCKS) for one that needs a code published first, which bmc3 would take minutes to
# reach, or "reads STEPS" (the same walk reading word 0 at every clock) for one that only a
# read at the right clock shows. No trace is written (-n): a fault caught needs none.
plant() {
    name=$1 property=$2 engine=$3 edit=$4 setting=${5:-$small}
    copy=$work/$name.v
    sed -e "$edit" "$fpga/battery_adc.v" >"$copy"
    if cmp -s "$copy" "$fpga/battery_adc.v"; then
        echo "planted fault $name: the edit changed nothing; fix its sed"
        status=1
        return
    fi
    echo "== planted fault $name: must fail $property"
    set -- $engine
    case $1 in
    bmc) how="-B -d $2 -b 60 -t $3" ;;
    reads) how="-w $2 -R" ;;
    *) how="-w $2 ${3:+-r $3}" ;;
    esac
    # shellcheck disable=SC2086
    sh "$prove" -p "$setting" -o "$property" -n $how "$copy" "$work/$name" >"$work/$name.out"
    cat "$work/$name.out"
    if ! grep -q "^FAIL *$property " "$work/$name.out"; then
        echo "planted fault $name was not caught by $property"
        status=1
    fi
}
plant read_changes_count word1_count "bmc 12 2" \
    's|^\( *\)// SDO: a bit SDO_CLOCKS|\1if (avs_read) count <= count + 1'"'"'b1;\n&|'
plant write_changes_channel word11to15_constants "bmc 12 2" \
    's|^    // Even frames ask|    reg [2:0] wchan = BATTERY[2:0];\n    always @(posedge clk) if (avs_write) wchan <= avs_writedata[2:0];\n&|; s|: BATTERY\[2:0\];|: wchan;|; s|{29'"'"'d0, BATTERY\[2:0\]}|{29'"'"'d0, wchan}|'
plant no_initial_values idle_at_power_up "bmc 4 2" \
    's/^\( *reg [^=]*[a-z_]\) = [^;]*;/\1;/; s/^\( *output reg [^=]*[a-z_]\) = [^,]*,/\1,/
     /^    initial begin/,/^    end/d' "$small NEVER_RESET=1"
plant convst_20ns convst_high_margin "walk 2000" 's/halves_in(300)/halves_in(200)/'
# The data path: each needs a code published, near step 600.
plant filed_under_sent_channel word0_battery_code "walk 20000" \
    's/if (conv_channel == c\[2:0\]) begin/if (sent_channel == c[2:0]) begin/'
plant published_a_frame_late word0_battery_code "walk 20000" \
    's/^    integer c;/    reg [11:0] late_code = 12'"'"'d0;\n    reg [2:0] late_channel = 3'"'"'d0;\n    reg late_known = 1'"'"'b0;\n&/
     s/if (conv_channel == c\[2:0\]) begin/if (late_known \&\& late_channel == c[2:0]) begin/
     s/codes\[c\*12+:12\] <= last_result;/codes[c*12+:12] <= late_code;/
     s/^\( *\)count <= count + 1.b1;/&\n\1late_code <= last_result;\n\1late_channel <= conv_channel;\n\1late_known <= 1'"'"'b1;/'
plant dropped_while_read word1_count "walk 20000" \
    's/if (bits == 4.d11 \&\& conv_known) begin/if (bits == 4'"'"'d11 \&\& conv_known \&\& !avs_read) begin/'
plant published_only_while_read word0_battery_code "walk 20000" \
    's/if (bits == 4.d11 \&\& conv_known) begin/if (bits == 4'"'"'d11 \&\& conv_known \&\& avs_read) begin/'
# SDO taken on the edge that raises SCK, 20 ns after the fall at 50 MHz, before the bit is
# valid: word 0 reads noise once a code is published.
plant sdo_at_sck_rise word0_battery_code "walk 20000" \
    's/SDO_HALVES = 2 \* HALF_SCK + halves_in(124);/SDO_HALVES = 2 * HALF_SCK;/'
# The second CONVST after a reset with no wait for the reference (near step 380).
plant no_wake_wait convst_after_wake "walk 2000" \
    's/wire awake = wake == WAKE_TURNS\[WW-1:0\] || !conv_known;/wire awake = 1'"'"'b1;/' "$small WAKE_MS=1"
plant word13_off_by_one word13_frame_clocks "walk 20000" \
    's/4.d13: word = FRAME_CLOCKS;/4'"'"'d13: word = FRAME_CLOCKS + 1;/'
# Word 0's code left old: even frames ask for input 0, not the battery's (5), which is then
# converted once in 16 frames (the third CONVST after power-up converts input 0 again).
plant battery_once_in_16_frames battery_every_two_frames "walk 2000" \
    's/slot\[3:1\] : BATTERY\[2:0\];/slot[3:1] : 3'"'"'d0;/'
# Odd frames ask for inputs 1, 3, 5 and 7 only (slot[2:0]), so 0, 2, 4 and 6 are never
# converted.
plant odd_frames_half_the_inputs every_input_in_16_frames "walk 20000" \
    's/slot\[0\] \&\& !ONLY ? slot\[3:1\] :/slot[0] \&\& !ONLY ? slot[2:0] :/'
# The acquisition a clock longer than the documented frame: word 13 follows it, but word 0's
# code is a clock older than the documented latency just before each battery code is filed.
plant acquisition_a_clock_long word0_age "reads 4000" \
    's/ACQ_CLOCKS = clocks_for(ACQ_NS);/ACQ_CLOCKS = clocks_for(ACQ_NS) + 1;/'
# tHCONVST one clock short where it binds: 27 ns at 73 MHz, inside the datasheet's 20 ns and
# the pins' 5 ns, short of the block's 20 ns and a clock.
plant hold_one_clock_short convst_hold_margin "walk 2000" \
    's/timer <= HOLD_CLOCKS\[TW-1:0\] - 1'"'"'b1;/timer <= HOLD_CLOCKS[TW-1:0] - 2'"'"'d2;/' "$live"
# Words 1 and 10 kept honest: word 1 counting the result thrown away after power-up, and a
# reset that leaves word 10 or word 1 as it was (the walk resets at one clock in 2000, or in
# 1000: a code must be published before the reset).
plant count_of_thrown_away word1_count "walk 2000" \
    's/^\( *\)if (bits == 4.d11 \&\& conv_known) begin/\1if (bits == 4'"'"'d11 \&\& !conv_known) count <= count + 1'"'"'b1;\n&/'
plant reset_keeps_fresh word10_fresh "walk 40000 2000" '/^ *fresh <= 8.d0;$/d'
plant reset_keeps_count word1_count "walk 20000 1000" '/^ *count <= 32.d0;$/d'
exit $status

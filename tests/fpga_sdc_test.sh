#!/bin/sh
# SPDX-License-Identifier: MIT
# The timing constraints against the RTL, as far as this machine can check them without
# Quartus: tclsh reads battery_adc.sdc with the timing analyser's commands stubbed by a
# design made from what Yosys reads of battery_adc.v at that CLOCK_HZ (its ports, as the
# top level's pins of the same name in capitals, and its flip-flops with their clock edge,
# deep in a Platform Designer system's hierarchy, or in the top level itself). At 50,
# 100 and 200 MHz, and with pins of other names:
#  - every pin, register and clock the file names exists, and each constraint names one;
#  - output delays go to the design's outputs, the input delay to its input;
#  - SCK's divide-by, the multicycles and the falling-edge exceptions are the RTL's counts
#    as Yosys elaborates them (HALF_SCK, SDO_HALVES, CONVST_HALVES);
#  - the SDO window the delays state, with the FPGA's share of the budget each way, holds
#    the half-clock at which the RTL takes SDO.
# Usage: fpga_sdc_test.sh FPGA_DIR
. "$(dirname "$0")/fpga_tcl_setup.sh"

# run MHZ [PINS [HIER]]: the design at MHZ, the block at HIER (default: inside a Platform
# Designer system), the constraints read with battery_adc_pins = PINS.
run() {
    hz=$(($1 * 1000000))
    # The RTL's localparams at this clock: Yosys's AST after it has evaluated them.
    sed "s/\(parameter integer CLOCK_HZ *= *\)[0-9_]*/\1$hz/" "$dir/battery_adc.v" >"$tmp/rtl.v"
    yosys -p "read_verilog -dump_ast2 $tmp/rtl.v" 2>&1 | awk '
        function value(bits, i, v) { for (i = 1; i <= length(bits); i++) v = 2 * v + substr(bits, i, 1); return v }
        /AST_(LOCAL)?PARAM/ && match($0, /str=.\\[A-Z_]+/) {
            name = substr($0, RSTART + 6, RLENGTH - 6); want = 1; next }
        want && /AST_CONSTANT/ && match($0, /bits=.[01]+/) {
            print "set rtl(" name ") " value(substr($0, RSTART + 6, RLENGTH - 6)) }
        { want = 0 }' | sort -u >"$tmp/params.tcl"
    grep -qx "set rtl(CLOCK_HZ) $hz" "$tmp/params.tcl" ||
        { echo "$1 MHz: Yosys did not elaborate battery_adc.v at CLOCK_HZ = $hz"; return 1; }
    # Its ports and its flip-flops, each with the clock edge that it takes.
    (cd "$tmp" && yosys -q -p "read_verilog rtl.v; hierarchy -top battery_adc; proc; opt_clean; \
        write_rtlil rtl.il" >/dev/null) || { echo "yosys cannot read battery_adc.v"; return 1; }
    awk '$1 == "wire" && ($2 == "width" ? $4 : $2) ~ /^(input|output)$/ {
            name = $NF; sub(/^\\/, "", name); print "set rtl_port(" name ") " ($2 == "width" ? $4 : $2) }
        $1 == "cell" && $2 ~ /dff/ { d = 1; edge = "rise"; q = ""; next }
        d && $2 == "\\CLK_POLARITY" { if ($3 ~ /0$/) edge = "fall" }
        d && $1 == "connect" && $2 == "\\Q" { q = $0 }
        d && $1 == "end" { n = split(q, t, " ")
            for (i = 3; i <= n; i++) if (t[i] ~ /^\\/) print "set rtl_reg(" substr(t[i], 2) ") " edge
            d = 0 }' "$tmp/rtl.il" | sort -u >"$tmp/design.tcl"

    tclsh >"$tmp/sdc" 2>&1 <<TCL
source $tmp/params.tcl
source $tmp/design.tcl
set pins [list $2]
if {[llength \$pins]} { set battery_adc_pins \$pins }
set hier {${3:-soc_system:u0|battery_adc:battery_adc_0}}
# The top level's pins: each port of the block's conduit, under the name given or in capitals.
array set pin_of {}
foreach {p name} \$pins { set pin_of(adc_\$p) \$name }
foreach p [array names rtl_port adc_*] {
    set name [expr {[info exists pin_of(\$p)] ? \$pin_of(\$p) : [string toupper \$p]}]
    set port(\$name) \$rtl_port(\$p)
}
# The analyser gives a period to the picosecond: 6.666 ns at 150 MHz.
set clock(sys_clk) [expr {floor(1e6 / $1) / 1000.0}]
set failed 0
proc fail {what} { puts "FAIL \$what"; set ::failed 1 }

# opts ARGS: an array of ARGS's options; flags are 1; the last word is the object.
proc opts {name args} {
    upvar 1 \$name o
    for {set i 0} {\$i < [llength \$args] - 1} {incr i} {
        set key [lindex \$args \$i]
        if {\$key in {-clock_fall -add_delay -nowarn -compatibility_mode -setup -hold -start -end}} {
            set o(\$key) 1
        } else {
            set o(\$key) [lindex \$args [incr i]]
        }
    }
}
# A collection is a list of object names.
proc get_collection_size {c} { llength \$c }
proc get_ports {args} {
    set name [lindex \$args end]
    set found [lsort [array names ::port \$name]]
    if {![llength \$found]} { puts "looked for pin \$name" }
    return \$found
}
proc get_registers {args} {
    set found {}
    foreach r [array names ::rtl_reg] {
        if {[string match [lindex \$args end] "\$::hier|\$r"]} { lappend found "\$::hier|\$r" }
    }
    return [lsort \$found]
}
proc get_pins {args} {
    set found {}
    foreach r [array names ::rtl_reg] {
        if {[string match [lindex \$args end] "\$::hier|\$r|clk"]} { lappend found "\$::hier|\$r|clk" }
    }
    return [lsort \$found]
}
proc get_clocks {args} { array names ::clock [lindex \$args end] }
proc create_generated_clock {args} {
    opts o {*}\$args
    set target [lindex \$args end]
    if {[llength \$o(-source)] != 1 || [llength \$target] != 1} { fail "clock \$o(-name) on \$target from \$o(-source)" }
    set ::clock(\$o(-name)) [expr {\$::clock(sys_clk) * \$o(-divide_by)}]
    set ::source(\$o(-name)) \$o(-source)
    puts "clock \$o(-name) divide_by \$o(-divide_by) source \$o(-source) target \$target"
}
proc remove_clock {name} { unset ::clock(\$name) }
proc get_clock_info {what c} {
    switch -- \$what {
        -period { return \$::clock(\$c) }
        -master_clock { return sys_clk }
    }
}
proc post_message {args} { fail "message: [lindex \$args end]" }
proc check_to {what to} {
    if {[llength \$to] != 1} { fail "\$what names [llength \$to] objects: \$to" }
}
proc set_output_delay {args} {
    opts o {*}\$args
    set to [lindex \$args end]
    check_to "output delay" \$to
    if {[lsearch -exact [array names ::clock] \$o(-clock)] < 0} { fail "output delay on \$to: no clock \$o(-clock)" }
    if {\$::port(\$to) ne "output"} { fail "output delay on \$::port(\$to) \$to" }
    set m [expr {[info exists o(-max)] ? "max \$o(-max)" : "min \$o(-min)"}]
    puts "output \$to \$o(-clock) \$m"
}
proc set_input_delay {args} {
    opts o {*}\$args
    set to [lindex \$args end]
    check_to "input delay" \$to
    if {[lsearch -exact [array names ::clock] \$o(-clock)] < 0} { fail "input delay on \$to: no clock \$o(-clock)" }
    if {\$::port(\$to) ne "input"} { fail "input delay on \$::port(\$to) \$to" }
    set m [expr {[info exists o(-max)] ? "max \$o(-max)" : "min \$o(-min)"}]
    set edge [expr {[lsearch \$args -clock_fall] >= 0 ? "fall" : "rise"}]
    puts "input \$to \$o(-clock) \$edge \$m"
}
proc set_multicycle_path {args} {
    set to any
    foreach {key value} [lrange \$args 0 end-1] {
        switch -- \$key { -from { set from \$value } -to { set to \$value } }
    }
    check_to "multicycle from" \$from
    puts "multicycle [lrange \$args end-2 end] from \$from to \$to"
}
proc set_max_delay {args} { opts o {*}\$args; check_to "max delay from" \$o(-from); check_to "max delay to" \$o(-to)
    puts "max_delay \$o(-from) \$o(-to) [lindex \$args end]" }
proc set_min_delay {args} { opts o {*}\$args; check_to "min delay from" \$o(-from); check_to "min delay to" \$o(-to)
    puts "min_delay \$o(-from) \$o(-to) [lindex \$args end]" }

if {[catch {source $dir/battery_adc.sdc} err]} { fail "battery_adc.sdc: \$err" }

TCL
    # The checks read the log of the commands, so they run in a second tclsh.
    if grep -q '^FAIL' "$tmp/sdc"; then cat "$tmp/sdc"; return 1; fi
    CHECK_MHZ=$1 PINS="$2" HIER="${3:-soc_system:u0|battery_adc:battery_adc_0}" tclsh "$tmp/check.tcl" "$tmp/params.tcl" "$tmp/design.tcl" "$tmp/sdc"
}

cat >"$tmp/check.tcl" <<'TCL'
lassign $argv params design log
source $params
source $design
set f [open $log]; set lines [split [string trim [read $f]] \n]; close $f
set T [expr {1000.0 / $env(CHECK_MHZ)}]
set n $rtl(HALF_SCK)
array set pin {convst ADC_CONVST sck ADC_SCK sdi ADC_SDI sdo ADC_SDO}
array set pin $env(PINS)
set hier $env(HIER)
set failed 0
proc fail {what} { puts "$::env(CHECK_MHZ) MHz: $what"; set ::failed 1 }
proc find {pattern} { lsearch -all -inline -glob $::lines $pattern }

# SCK: a clock generated at its pin from SCK's own flip-flop, clk divided by two phases.
set c [find "clock battery_adc_sck *"]
if {[llength $c] != 1} {
    fail "no generated clock battery_adc_sck"
} else {
    lassign [lindex $c 0] - - - divide - source - target
    if {$divide != 2 * $n} { fail "SCK divides clk by $divide; the RTL by [expr {2 * $n}] (HALF_SCK $n)" }
    if {$source ne "$hier|adc_sck|clk"} { fail "SCK's source is $source, not adc_sck's clock" }
    if {$target ne $pin(sck)} { fail "SCK's clock is on $target, not $pin(sck)" }
}
# Each output has its delays, max and min; SDO its input delay, after SCK's fall.
foreach {p clock} [list convst sys_clk sck sys_clk sdi battery_adc_sck] {
    foreach m {max min} {
        if {![llength [find "output $pin($p) $clock $m *"]]} { fail "no $m output delay on $pin($p) from $clock" }
    }
}
foreach m {max min} {
    set d [find "input $pin(sdo) battery_adc_sck fall $m *"]
    if {[llength $d] != 1} { fail "no $m input delay on $pin(sdo) from SCK's fall"; continue }
    set in($m) [lindex $d 0 end]
}

# SDO: taken SDO_HALVES half-clocks after the clk edge E that makes SCK fall.
set halves $rtl(SDO_HALVES)
if {[llength [find "multicycle -setup -end [expr {($halves + 1) / 2}] from $pin(sdo) to any"]] != 1} {
    fail "SDO's setup multicycle is not ($halves + 1) / 2 = [expr {($halves + 1) / 2}] (SDO_HALVES $halves): [find {multicycle -setup -end *}]"
}
if {[llength [find "multicycle -hold -end [expr {2 * $n - 1}] from $pin(sdo) to any"]] != 1} {
    fail "SDO's hold multicycle is not 2 x HALF_SCK - 1 = [expr {2 * $n - 1}]: [find {multicycle -hold -end *}]"
}
set edge [expr {$halves % 2 ? "fall" : "rise"}]
set takers {}
foreach r [array names rtl_reg] { if {$rtl_reg($r) eq "fall"} { lappend takers $r } }
if {$edge eq "fall" && [lsearch -glob $takers *sdo*] < 0} {
    fail "SDO_HALVES $halves is odd, and the RTL has no falling-edge flip-flop for SDO"
}
# SDI: set as SCK falls, taken as it rises half an SCK period later.
if {[llength [find "multicycle -setup -start $n from $hier|adc_sdi to $pin(sdi)"]] != 1} {
    fail "SDI's setup multicycle is not HALF_SCK = $n: [find {multicycle -setup -start *}]"
}
if {[llength [find "multicycle -hold -start [expr {2 * $n - 1}] from $hier|adc_sdi to $pin(sdi)"]] != 1} {
    fail "SDI's hold multicycle is not 2 x HALF_SCK - 1: [find {multicycle -hold -start *}]"
}
# CONVST: an odd CONVST_HALVES ends on a falling-edge flip-flop, whose path to the pin
# gets a whole clock from its own edge; an even one has no such flip-flop to name.
set late [find "max_delay *"]
if {$rtl(CONVST_HALVES) % 2} {
    if {[llength $late] != 1} {
        fail "CONVST_HALVES $rtl(CONVST_HALVES) is odd, and no max delay from its falling-edge flip-flop"
    } else {
        lassign [lindex $late 0] - from to value
        set r [string range $from [string length "$hier|"] end]
        if {![info exists rtl_reg($r)] || $rtl_reg($r) ne "fall"} { fail "$from is no falling-edge flip-flop" }
        if {$to ne $pin(convst) || abs($value - $T) > 0.001} { fail "max delay $from to $to is $value, not $T" }
        if {![llength [find "min_delay $from $pin(convst) 0"]]} { fail "no min delay from $from" }
    }
} elseif {[llength $late]} {
    fail "CONVST_HALVES $rtl(CONVST_HALVES) is even, and the file names a falling-edge path: $late"
}
# The SDO window the input delays state, with the FPGA's share of the budget (5 ns less
# the trace each way) on each side, holds the half-clock at which the RTL takes it: after
# the latest arrival, before the bit moves again one SCK period later.
if {[info exists in(max)] && [info exists in(min)]} {
    set take [expr {$halves * $T / 2}]
    set share [expr {5.0 - 1.0}] ;# the budget less the file's default trace
    set first [expr {$in(max) + 2 * $share}]
    set last [expr {2 * $n * $T + $in(min)}]
    if {!($first < $take && $take < $last)} {
        fail "SDO is taken at $take ns, outside its window $first ns to $last ns"
    } else {
        puts [format "%3d MHz: SCK clk/%d, SDO taken at %.1f ns in %.1f..%.1f ns (margins %.1f/%.1f), CONVST %d half-clocks" \
            $env(CHECK_MHZ) [expr {2 * $n}] $take $first $last [expr {$take - $first}] [expr {$last - $take}] $rtl(CONVST_HALVES)]
    }
}
exit $failed
TCL

status=0
for mhz in 50 100 150 200; do
    run $mhz "" || status=1
done
# Pins named by the project, not the defaults; the block in the top level itself.
run 50 "convst CONV sck SCLK sdi MOSI sdo MISO" || status=1
run 200 "" "battery_adc:adc" || status=1
[ $status = 0 ] && echo "battery_adc.sdc matches battery_adc.v at 50, 100, 150 and 200 MHz"
exit $status

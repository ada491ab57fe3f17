#!/bin/sh
# SPDX-License-Identifier: MIT
# The timing constraints against the RTL, as far as this machine can check them without
# Quartus. battery_adc_hw.tcl runs with Platform Designer's commands stubbed, and its
# synthesis callback writes battery_adc.sdc for an instance's CLOCK_HZ. tclsh then reads
# that file with the timing analyser's commands stubbed by a design made from what Yosys
# reads of battery_adc.v at that CLOCK_HZ: its ports, as top-level pins of the same name in
# capitals (or as the project names them), its flip-flops inside a Platform Designer
# system (or in the top level), and the project's clock at the block's clk, at the rate
# the case gives. The stubs answer as the analyser would: a generated clock gets the
# master that reaches its source pin, or is not created; a period is given to the
# picosecond. At 50, 73, 100, 150 and 200 MHz:
#  - every pin, register and clock the file names exists, and each constraint names one;
#  - SCK is a clock generated at its pin from SCK's flip-flop, clk divided by the RTL's
#    2 x HALF_SCK; CONVST is held to SCK's pin, within the budget less the traces' spread;
#  - each delay on SDI and SDO is the value, with the sign, that the converter's figures and
#    the traces make (by default and as a project sets them), never under its min;
#  - the multicycles are the RTL's HALF_SCK and SDO_HALVES as Yosys elaborates them, and the
#    SDO window the delays state, with the FPGA's share of the budget, holds the half-clock
#    at which the RTL takes SDO.
# Then the faults: each planted in a copy of the generated file, or in the design around
# it, must fail, and the file must stop with an error where it cannot find what it needs.
# tclsh battery_adc_hw.tcl CLOCK_HZ, outside Platform Designer, must write the same file.
# Usage: fpga_sdc_test.sh FPGA_DIR
. "$(dirname "$0")/fpga_tcl_setup.sh"

# rtl MHZ: the RTL at MHZ as Yosys reads it, in $tmp/MHZ: its localparams (params.tcl),
# its ports and its flip-flops with the clock edge each takes (design.tcl).
rtl() {
    d=$tmp/$1 hz=$(($1 * 1000000))
    mkdir -p "$d"
    sed "s/\(parameter integer CLOCK_HZ *= *\)[0-9_]*/\1$hz/" "$dir/battery_adc.v" >"$d/rtl.v"
    yosys -p "read_verilog -dump_ast2 $d/rtl.v" 2>&1 | awk '
        function value(bits, i, v) { for (i = 1; i <= length(bits); i++) v = 2 * v + substr(bits, i, 1); return v }
        /AST_(LOCAL)?PARAM/ && match($0, /str=.\\[A-Z_]+/) {
            name = substr($0, RSTART + 6, RLENGTH - 6); want = 1; next }
        want && /AST_CONSTANT/ && match($0, /bits=.[01]+/) {
            print "set rtl(" name ") " value(substr($0, RSTART + 6, RLENGTH - 6)) }
        { want = 0 }' | sort -u >"$d/params.tcl"
    grep -qx "set rtl(CLOCK_HZ) $hz" "$d/params.tcl" ||
        { echo "$1 MHz: Yosys did not elaborate battery_adc.v at CLOCK_HZ = $hz"; return 1; }
    # Any other Verilog beside the block is a model of a primitive it instantiates.
    models=$(for f in "$dir"/*.v; do [ "${f##*/}" = battery_adc.v ] || printf '%s ' "$f"; done)
    (cd "$d" && yosys -q -p "read_verilog rtl.v $models; hierarchy -top battery_adc; proc; \
        opt_clean; write_rtlil rtl.il" >/dev/null) || { echo "yosys cannot read battery_adc.v"; return 1; }
    awk '$1 == "module" { block = $2 == "\\battery_adc" }
        !block { next }
        $1 == "wire" && ($2 == "width" ? $4 : $2) ~ /^(input|output)$/ {
            name = $NF; sub(/^\\/, "", name); print "set rtl_port(" name ") " ($2 == "width" ? $4 : $2) }
        $1 == "cell" && $2 ~ /dff/ { d = 1; edge = "rise"; q = ""; next }
        d && $2 == "\\CLK_POLARITY" { if ($3 ~ /0$/) edge = "fall" }
        d && $1 == "connect" && $2 == "\\Q" { q = $0 }
        d && $1 == "end" { n = split(q, t, " ")
            for (i = 3; i <= n; i++) if (t[i] ~ /^\\/) print "set rtl_reg(" substr(t[i], 2) ") " edge
            d = 0 }' "$d/rtl.il" | sort -u >"$d/design.tcl"
    # What Platform Designer's generation writes for an instance at this CLOCK_HZ.
    tclsh >"$d/generate.log" 2>&1 <<TCL || { cat "$d/generate.log"; return 1; }
rename package tcl_package
proc package {args} {
    if {[lrange \$args 0 2] eq {require -exact qsys}} { return 16.1 }
    uplevel 1 [list tcl_package {*}\$args]
}
proc add_parameter {name type default} { set ::parameter(\$name) \$default }
proc get_parameter_value {name} { return \$::parameter(\$name) }
proc add_fileset {name type callback args} { set ::callback(\$name) \$callback }
proc add_fileset_file {name type source contents args} {
    if {\$source eq "TEXT"} { set f [open $d/\$name w]; puts -nonewline \$f \$contents; close \$f }
}
foreach cmd {set_module_property set_parameter_property add_interface set_interface_property
             add_interface_port set_interface_assignment set_module_assignment
             set_fileset_property} { proc \$cmd args {} }
source $dir/battery_adc_hw.tcl
set parameter(CLOCK_HZ) $hz
\$callback(QUARTUS_SYNTH) battery_adc
TCL
    [ -s "$d/battery_adc.sdc" ] || { echo "$1 MHz: the synthesis callback wrote no battery_adc.sdc"; return 1; }
}

# The timing analyser's commands, as stubs that log what the file asks for.
cat >"$tmp/analyser.tcl" <<'TCL'
source $rtl_dir/params.tcl
source $rtl_dir/design.tcl
set failed 0
proc fail {what} { puts "FAIL $what"; set ::failed 1 }
# The top level's pins: each port of the block's conduit, under the name given or in capitals.
array set pin_of {}
foreach {p name} $pins { set pin_of(adc_$p) $name }
foreach p [array names rtl_port adc_*] {
    set name [expr {[info exists pin_of($p)] ? $pin_of($p) : [string toupper $p]}]
    set port($name) $rtl_port($p)
}
# The project's clock at the block's clk, its period to the picosecond (6.666 ns at 150 MHz).
if {$clock_mhz ne "none"} { set clock(sys_clk) [expr {floor(1e6 / $clock_mhz) / 1000.0}] }

# opts NAME ARGS: an array of ARGS's options; flags are 1; the last word is the object.
proc opts {name args} {
    upvar 1 $name o
    for {set i 0} {$i < [llength $args] - 1} {incr i} {
        set key [lindex $args $i]
        if {$key in {-clock_fall -add_delay -nowarn -compatibility_mode -setup -hold -start -end}} {
            set o($key) 1
        } else {
            set o($key) [lindex $args [incr i]]
        }
    }
}
# A collection is a list of object names.
proc get_collection_size {c} { llength $c }
proc get_ports {args} { lsort [array names ::port [lindex $args end]] }
proc get_pins {args} {
    set found {}
    foreach r [array names ::rtl_reg] {
        if {[string match [lindex $args end] "$::hier|$r|clk"]} { lappend found "$::hier|$r|clk" }
    }
    return [lsort $found]
}
proc get_clocks {args} { array names ::clock [lindex $args end] }
# A generated clock's master is the clock that reaches its source, a flip-flop's clock pin
# in the block; with none, the analyser warns and creates no clock.
proc create_generated_clock {args} {
    opts o {*}$args
    set target [lindex $args end]
    if {[llength $o(-source)] != 1 || [llength $target] != 1} { fail "clock $o(-name) on $target from $o(-source)" }
    set reg [regsub {\|clk$} [string range $o(-source) [string length "$::hier|"] end] {}]
    if {![info exists ::clock(sys_clk)] || ![string match "$::hier|*|clk" $o(-source)] ||
            ![info exists ::rtl_reg($reg)]} {
        puts "warning: the master clock for $o(-name) could not be derived; not created"
        return
    }
    set ::clock($o(-name)) [expr {$::clock(sys_clk) * $o(-divide_by)}]
    set ::master($o(-name)) sys_clk
    puts "clock $o(-name) divide_by $o(-divide_by) source $o(-source) target $target"
}
proc get_clock_info {what c} {
    switch -- $what {
        -period { return $::clock($c) }
        -master_clock { return $::master($c) }
    }
}
proc post_message {args} { opts o {*}$args; puts "$o(-type): [lindex $args end]" }
proc check_to {what to} {
    if {[llength $to] != 1} { fail "$what names [llength $to] objects: $to" }
}
proc delay {kind args} {
    opts o {*}$args
    set to [lindex $args end]
    check_to "$kind delay" $to
    if {![info exists ::clock($o(-clock))]} { fail "$kind delay on $to: no clock $o(-clock)" }
    if {$::port($to) ne "${kind}put"} { fail "$kind delay on $::port($to) $to" }
    set m [expr {[info exists o(-max)] ? "max $o(-max)" : "min $o(-min)"}]
    set edge [expr {[info exists o(-clock_fall)] ? "fall" : "rise"}]
    puts "$kind $to $o(-clock) $edge $m"
}
proc set_output_delay {args} { delay out {*}$args }
proc set_input_delay {args} { delay in {*}$args }
proc set_multicycle_path {args} {
    opts o {*}$args
    set from [expr {[info exists o(-from)] ? $o(-from) : "any"}]
    set to [expr {[info exists o(-to)] ? $o(-to) : "any"}]
    if {$from ne "any"} { check_to "multicycle from" $from }
    if {$to ne "any"} { check_to "multicycle to" $to }
    puts "multicycle [lrange $args end-2 end] from $from to $to"
}
proc path_delay {kind args} {
    opts o {*}$args
    if {[info exists o(-from)]} { fail "$kind delay from $o(-from): CONVST is bounded whatever drives it" }
    check_to "$kind delay to" $o(-to)
    puts "${kind}_delay $o(-to) [lindex $args end]"
}
proc set_max_delay {args} { path_delay max {*}$args }
proc set_min_delay {args} { path_delay min {*}$args }

if {[catch {source $sdc} err]} { puts "stopped: $err" }
TCL

# The log against the RTL's numbers.
cat >"$tmp/check.tcl" <<'TCL'
lassign $argv rtl_dir log mhz pins hier trace
source $rtl_dir/params.tcl
source $rtl_dir/design.tcl
set f [open $log]; set lines [split [string trim [read $f]] \n]; close $f
set T [expr {1000.0 / $mhz}]
set n $rtl(HALF_SCK)
array set pin {convst ADC_CONVST sck ADC_SCK sdi ADC_SDI sdo ADC_SDO}
array set pin $pins
set failed 0
proc fail {what} { puts "$::mhz MHz: $what"; set ::failed 1 }
proc find {pattern} { lsearch -all -inline -glob $::lines $pattern }
foreach line [find "FAIL *"] { fail [string range $line 5 end] }
foreach line [concat [find "stopped: *"] [find "error: *"] [find "warning: *"]] { fail $line }

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
# Every delay is from SCK at its pin: SDI's and CONVST's out, SDO's in, from SCK's fall.
foreach {kind p edge} {out convst rise out sdi rise in sdo fall} {
    foreach m {max min} {
        set d [find "$kind $pin($p) battery_adc_sck $edge $m *"]
        if {[llength $d] != 1} { fail "not one $m ${kind}put delay on $pin($p) from SCK"; continue }
        set delay($p,$m) [lindex $d 0 end]
    }
}
if {[llength [find "out $pin(sck) *"]] || [llength [find "* sys_clk *"]]} {
    fail "a delay from the clock's source, not from SCK at its pin: [find {out *}]"
}
# Each delay's value, from the converter's figures and the board's budget as
# docs/fpga-interface.md ("Timing constraints") states them, never from the file: tDO 10.8
# and tHDO 4.0 ns (datasheet), SDI's setup and hold 5.0 ns each (assumed), the traces each
# way (min max, by default 0.0 1.0), and 5 ns each way for the FPGA's pins and the board.
lassign [expr {[llength $trace] ? $trace : {0.0 1.0}}] tmin tmax
set budget 5.0
set spread [expr {$tmax - $tmin}]
# KEY NAME WANTED SIGN HOW: a delay, what it must be, and whether it adds to the path (+)
# or is a hold's allowance (-).
foreach {key name want sign how} [list \
    sdo,max "SDO's max input delay" [expr {$tmax + 10.8 + $tmax}] + "trace + tDO 10.8 + trace" \
    sdo,min "SDO's min input delay" [expr {$tmin + 4.0 + $tmin}] + "trace + tHDO 4.0 + trace" \
    sdi,max "SDI's max output delay" [expr {5.0 + $spread}] + "tSU 5.0 + the traces' spread" \
    sdi,min "SDI's min output delay" [expr {-5.0 - $spread}] - "-(tH 5.0 + the traces' spread)"] {
    if {![info exists delay($key)]} continue
    set got $delay($key)
    if {$got == 0 || ($got > 0) != ($sign eq "+")} {
        fail "$name is $got ns: its sign is wrong, it must be [format %+.1f $want] ns ($how)"
    } elseif {abs($got - $want) > 1e-9} {
        fail "$name is $got ns, not [format %.1f $want] ns ($how)"
    }
}
# CONVST: within the budget less the traces' spread (5 - 1 ns by default) of SCK's pin
# either way, less than the clock that the RTL's waits keep for that skew.
set skew [expr {$budget - $spread}]
if {[info exists delay(convst,max)] && ($delay(convst,max) != 0 || $delay(convst,min) != 0)} {
    fail "CONVST's output delays are $delay(convst,max) and $delay(convst,min), not 0: the skew is the max and min delay"
}
set max [find "max_delay $pin(convst) *"]
set min [find "min_delay $pin(convst) *"]
if {[llength $max] != 1 || abs([lindex $max 0 end] - $skew) > 1e-9 ||
        [llength $min] != 1 || abs([lindex $min 0 end] + $skew) > 1e-9} {
    fail "CONVST is not held within $skew ns of SCK's pin: $max $min"
} elseif {[lindex $max 0 end] < [lindex $min 0 end]} {
    fail "$pin(convst)'s max delay [lindex $max 0 end] ns is under its min [lindex $min 0 end] ns"
} elseif {$skew >= $T} {
    fail "CONVST's skew of $skew ns is not inside the clock ($T ns) that the RTL keeps for it"
}
foreach m {max min} { if {[llength [set $m]] == 1} { set delay(path,$m) [lindex [set $m] 0 end] } }
# A max under its min is no window at all.
foreach p {convst sdi sdo path} {
    if {[info exists delay($p,max)] && [info exists delay($p,min)] && $delay($p,max) < $delay($p,min)} {
        set what [expr {$p eq "path" ? "$pin(convst)'s max path delay" : "$pin($p)'s max delay"}]
        fail "$what $delay($p,max) ns is under its min $delay($p,min) ns"
    }
}
# SDI: set as SCK falls, taken as it rises half an SCK period later.
if {[llength [find "multicycle -setup -start $n from any to $pin(sdi)"]] != 1} {
    fail "SDI's setup multicycle is not HALF_SCK = $n: [find {multicycle -setup -start *}]"
}
if {[llength [find "multicycle -hold -start [expr {2 * $n - 1}] from any to $pin(sdi)"]] != 1} {
    fail "SDI's hold multicycle is not 2 x HALF_SCK - 1: [find {multicycle -hold -start *}]"
}
# SDO: taken SDO_HALVES half-clocks after the clk edge E that makes SCK fall.
set halves $rtl(SDO_HALVES)
if {[llength [find "multicycle -setup -end [expr {($halves + 1) / 2}] from $pin(sdo) to any"]] != 1} {
    fail "SDO's setup multicycle is not ($halves + 1) / 2 = [expr {($halves + 1) / 2}] (SDO_HALVES $halves): [find {multicycle -setup -end *}]"
}
if {[llength [find "multicycle -hold -end [expr {2 * $n - 1}] from $pin(sdo) to any"]] != 1} {
    fail "SDO's hold multicycle is not 2 x HALF_SCK - 1 = [expr {2 * $n - 1}]: [find {multicycle -hold -end *}]"
}
set takers {}
foreach r [array names rtl_reg] { if {$rtl_reg($r) eq "fall"} { lappend takers $r } }
if {$halves % 2 && [lsearch -glob $takers *sdo*] < 0} {
    fail "SDO_HALVES $halves is odd, and the RTL has no falling-edge flip-flop for SDO"
}
# The SDO window the input delays state, with the FPGA's share of the budget (5 ns less
# the trace each way) on each side, holds the half-clock at which the RTL takes it: after
# the latest arrival, before the bit moves again one SCK period later.
if {[info exists delay(sdo,max)] && [info exists delay(sdo,min)]} {
    set take [expr {$halves * $T / 2}]
    set share [expr {$budget - $tmax}]
    set first [expr {$delay(sdo,max) + 2 * $share}]
    set last [expr {2 * $n * $T + $delay(sdo,min)}]
    if {!($first < $take && $take < $last)} {
        fail "SDO is taken at $take ns, outside its window $first ns to $last ns"
    } elseif {!$failed} {
        puts [format "%3d MHz: SCK clk/%d, CONVST within %.1f ns of SCK, SDI out %.1f/%.1f ns, SDO in %.1f/%.1f ns, taken at %.1f ns in %.1f..%.1f ns (margins %.1f/%.1f)" \
            $mhz [expr {2 * $n}] $skew $delay(sdi,max) $delay(sdi,min) $delay(sdo,max) $delay(sdo,min) \
            $take $first $last [expr {$take - $first}] [expr {$last - $take}]]
    }
}
exit $failed
TCL

# analyse MHZ [SDC [CLOCK_MHZ [PINS [HIER [TRACE]]]]]: the file (by default the one
# generated at MHZ) read against the RTL at MHZ, with the project's clock at CLOCK_MHZ
# (default MHZ; none: no clock), pins named PINS, the block at HIER (default: in a Platform
# Designer system) and the project's traces TRACE ("MIN MAX" in ns; default the file's).
analyse() {
    mhz=$1 sdc=${2:-$tmp/$1/battery_adc.sdc} clock_mhz=${3:-$1} pins=$4
    hier=${5:-soc_system:u0|battery_adc:battery_adc_0} trace=${6:-}
    tclsh >"$tmp/log" 2>&1 <<TCL
set rtl_dir $tmp/$mhz
set sdc $sdc
set clock_mhz {$clock_mhz}
set pins {$pins}
if {[llength \$pins]} { set battery_adc_pins \$pins }
if {[llength {$trace}]} { set battery_adc_trace {$trace} }
set hier {$hier}
source $tmp/analyser.tcl
TCL
    tclsh "$tmp/check.tcl" "$tmp/$mhz" "$tmp/log" "$mhz" "$pins" "$hier" "$trace"
}

status=0
for mhz in 50 73 100 150 200; do
    rtl $mhz && analyse $mhz || status=1
done
# Outside Platform Designer, tclsh writes the same file; a clock out of range is refused.
tclsh "$dir/battery_adc_hw.tcl" 73000000 | cmp -s - "$tmp/73/battery_adc.sdc" ||
    { echo "tclsh battery_adc_hw.tcl 73000000 does not write what generation writes"; status=1; }
tclsh "$dir/battery_adc_hw.tcl" 25000000 >/dev/null 2>&1
[ $? = 2 ] || { echo "tclsh battery_adc_hw.tcl 25000000 does not fail with status 2"; status=1; }
# Pins named by the project, not the defaults; the block in the top level itself.
analyse 50 "" "" "convst CONV sck SCLK sdi MOSI sdo MISO" || status=1
analyse 200 "" "" "" "battery_adc:adc" || status=1
# The project's own traces: every delay follows them.
analyse 100 "" "" "" "" "0.5 2.0" || status=1

# plant NAME MHZ SED_EXPRESSION: a copy of the file generated at MHZ, changed by the
# expression, which must still apply.
plant() {
    sed "$3" "$tmp/$2/battery_adc.sdc" >"$tmp/$1.sdc"
    ! cmp -s "$tmp/$1.sdc" "$tmp/$2/battery_adc.sdc" || { echo "planted $1: $3 changes nothing"; status=1; }
}
# must_fail WHAT PATTERN ANALYSE-ARGUMENTS: the case fails, and says PATTERN.
must_fail() {
    what=$1 pattern=$2
    shift 2
    fails_saying "$what" "$pattern" analyse "$@"
}
plant no_sck_clock 50 '/create_generated_clock/d'
must_fail "no generated clock" "stopped: .*no clock reaches" 50 "$tmp/no_sck_clock.sdc"
plant sdo_multicycle 50 's/(\$sdo_halves + 1) \/ 2/($sdo_halves + 3) \/ 2/'
must_fail "an SDO multicycle one long" "SDO's setup multicycle" 50 "$tmp/sdo_multicycle.sdc"
plant sdi_multicycle 200 's/-setup -start \$half_sck/-setup -start [expr {$half_sck + 1}]/'
must_fail "an SDI multicycle one long" "SDI's setup multicycle" 200 "$tmp/sdi_multicycle.sdc"
plant half_sck 100 's/variable half_sck 2/variable half_sck 1/'
must_fail "SCK's divider for 50 MHz at 100 MHz" "SCK divides clk by 2" 100 "$tmp/half_sck.sdc"
plant clock_hz 50 's/variable clock_hz 50000000/variable clock_hz 51000000/'
must_fail "CLOCK_HZ changed in the file" "stopped: .*CLOCK_HZ = 51000000 (19.608 ns).*20.0 ns" 50 "$tmp/clock_hz.sdc"
plant clock_pin 50 's/adc_sck|clk"/adc_sck|clock"/'
must_fail "a clock pin that is not there" "stopped: .*not one clock pin" 50 "$tmp/clock_pin.sdc"
plant pin 50 's/sdo ADC_SDO}/sdo ADC_MISO}/'
must_fail "a pin that is not there" "stopped: .*no pin ADC_MISO for the converter's SDO" 50 "$tmp/pin.sdc"
plant skew 200 's/set skew \[expr {\$budget/set skew [expr {1.0 + $budget/'
must_fail "CONVST 5 ns from SCK" "CONVST is not held within 4.0 ns" 200 "$tmp/skew.sdc"
plant from_source 50 's/set_output_delay -clock battery_adc_sck -max 0/set_output_delay -clock sys_clk -max 16/'
must_fail "CONVST from the clock's source" "a delay from the clock's source" 50 "$tmp/from_source.sdc"
plant tdo 50 's/variable tDO 10.8/variable tDO 1.0/'
must_fail "tDO 1.0 ns, not 10.8" "SDO's max input delay is 3.0 ns, not 12.8 ns" 50 "$tmp/tdo.sdc"
plant sdo_swapped 100 's/-max $sdo_max/-max $sdo_min/; s/-min $sdo_min/-min $sdo_max/'
must_fail "SDO's max and min input delays swapped" "ADC_SDO's max delay 4.0 ns is under its min 12.8 ns" 100 "$tmp/sdo_swapped.sdc"
plant sdi_min_sign 73 's/set sdi_min \[expr {\(.*\)}\]/set sdi_min [expr {-(\1)}]/'
must_fail "SDI's min output delay with its sign flipped" "SDI's min output delay is 6.0 ns: its sign is wrong" 73 "$tmp/sdi_min_sign.sdc"
plant sdi_max 200 's/set sdi_max \[expr {[^]]*}\]/set sdi_max -5/'
must_fail "SDI's max output delay -5 ns" "SDI's max output delay is -5 ns: its sign is wrong" 200 "$tmp/sdi_max.sdc"
plant trace_default 150 's/battery_adc_trace {0.0 1.0}\]/battery_adc_trace {0.0 0.0}]/'
must_fail "no traces by default" "SDI's max output delay is 5.0 ns, not 6.0 ns" 150 "$tmp/trace_default.sdc"
plant trace_ignored 100 's/lassign \[setting battery_adc_trace {0.0 1.0}\]/lassign {0.0 1.0}/'
must_fail "the project's traces ignored" "SDO's max input delay is 12.8 ns, not 14.8 ns" 100 "$tmp/trace_ignored.sdc" "" "" "" "0.5 2.0"
# The design around the file: no clock at the block's clk; a clock other than CLOCK_HZ.
must_fail "no clock at the block" "stopped: .*no clock reaches \*battery_adc:\*|adc_sck|clk, the block's clk" 50 "" none
must_fail "a 100 MHz clock at a 50 MHz instance" "stopped: .*CLOCK_HZ = 50000000 (20.000 ns), but the block's clock sys_clk has a period of 10.0 ns" 50 "" 100
must_fail "a clock 0.2% fast at a 50 MHz instance" "stopped: .*CLOCK_HZ = 50000000 (20.000 ns), but the block's clock sys_clk has a period of 19.96 ns" 50 "" 50.1
must_fail "the block not where the pattern looks" "stopped: .*not one clock pin" 50 "" "" "" "battery_adc_0"
[ $status = 0 ] && echo "battery_adc.sdc, as generated, matches battery_adc.v at 50, 73, 100, 150 and 200 MHz"
exit $status

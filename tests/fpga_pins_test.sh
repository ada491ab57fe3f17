#!/bin/sh
# SPDX-License-Identifier: MIT
# The top level's lines (fpga/battery_adc_top.vh) and the pins' template
# (fpga/battery_adc_pins.qsf) against what they must match: the conduit's ports as
# battery_adc_hw.tcl declares them, under the name add_battery_adc.tcl exports them as
# (Platform Designer names an exported conduit's ports EXPORT_ROLE); and the pins that
# the generated battery_adc.sdc looks for by default. The snippet wires every conduit port
# to its pin, each pin declared in the direction of its port; Verilator lints a top level
# made of the snippet around a system with exactly those ports. The template places the
# same four pins and no other, each at a placeholder for the board's manual, each with
# its I/O standard, FAST_INPUT_REGISTER on the input (SDO) alone, and no weak pull-up on
# CONVST. Planted in copies, each of these fails by name: a pin renamed in the template,
# FAST_INPUT_REGISTER on SDI, SDO wired to SDI's pin, SDO declared an output, a real pin
# location, and the script exporting the conduit under another name.
# Usage: fpga_pins_test.sh FPGA_DIR
. "$(dirname "$0")/fpga_tcl_setup.sh"
command -v verilator >/dev/null || { echo "verilator is missing: apt-get install verilator"; exit 1; }

# The conduit's ports: "ROLE DIRECTION" for each, from the component.
tclsh >"$tmp/conduit" <<TCL || { cat "$tmp/conduit"; exit 1; }
rename package tcl_package
proc package {args} {
    if {[lrange \$args 0 2] eq {require -exact qsys}} { return 16.1 }
    uplevel 1 [list tcl_package {*}\$args]
}
proc add_interface_port {iface port role dir width} {
    if {\$iface eq "adc"} { puts "\$role [string tolower \$dir]" }
}
foreach cmd {set_module_property add_parameter set_parameter_property add_interface
             set_interface_property set_interface_assignment set_module_assignment add_fileset
             set_fileset_property add_fileset_file} { proc \$cmd args {} }
source $dir/battery_adc_hw.tcl
TCL

cat >"$tmp/check.tcl" <<'TCL'
lassign $argv conduit script sdc snippet qsf
proc slurp {file} { set f [open $file]; set text [read $f]; close $f; return $text }
set failed 0
proc fail {what} { puts $what; set ::failed 1 }
foreach {role dir} [slurp $conduit] { set direction($role) $dir }
regexp {battery_adc_setting battery_adc_export (\S+)\]} [slurp $script] - export
regexp {array set pin \{([^\}]*)\}} [slurp $sdc] - pins
array set pin $pins
# The snippet: its port declarations and its connections.
foreach {- dir name} [regexp -all -inline -line {^\s*(input|output)\s+wire\s+(\w+),} [slurp $snippet]] {
    set declared($name) $dir
}
foreach {- port name} [regexp -all -inline -line {^\s*\.(\w+)\s*\((\w+)\),} [slurp $snippet]] {
    set wired($port) $name
}
foreach role [lsort [array names direction]] {
    set port ${export}_$role
    if {![info exists pin($role)]} { fail "battery_adc.sdc looks for no pin for $role"; continue }
    if {![info exists wired($port)]} { fail "the snippet wires no $port (the conduit's $role)"; continue }
    if {$wired($port) ne $pin($role)} { fail "the snippet wires $port to $wired($port), not $pin($role)" }
    if {![info exists declared($pin($role))]} {
        fail "the snippet declares no pin $pin($role)"
    } elseif {$declared($pin($role)) ne $direction($role)} {
        fail "the snippet declares $pin($role) an $declared($pin($role)), not an $direction($role) as $role is"
    }
    set want($pin($role)) $direction($role)
}
foreach port [array names wired] { if {![regexp "^${export}_(.*)" $port - role] || ![info exists direction($role)]} { fail "the snippet wires $port, which the system has not" } }
foreach name [array names declared] { if {![info exists want($name)]} { fail "the snippet declares $name, which no port needs" } }
# The template: every assignment is to one of the four pins.
set assignments {}
foreach line [split [slurp $qsf] \n] {
    if {[regexp {^set_location_assignment (\S+) -to (\S+)$} $line - where name]} {
        lappend assignments [list $name LOCATION $where]
    } elseif {[regexp {^set_instance_assignment -name (\S+) (\S+|"[^"]*") -to (\S+)$} $line - key value name]} {
        lappend assignments [list $name $key [string trim $value \"]]
    } elseif {[regexp {^set_} $line]} {
        fail "the template has a line it should not: $line"
    }
}
foreach a $assignments {
    if {![info exists want([lindex $a 0])]} { fail "the template assigns [lrange $a 1 end] to [lindex $a 0], no pin of the converter" }
}
proc assigned {name key} {
    lmap a $::assignments { if {[lrange $a 0 1] eq [list $name $key]} { lindex $a 2 } else continue }
}
foreach name [lsort [array names want]] {
    set where [assigned $name LOCATION]
    if {$where ne "PIN_FROM_THE_BOARD_MANUAL"} { fail "the template places $name at '$where', not at a place left to the board's manual" }
    if {[llength [assigned $name IO_STANDARD]] != 1} { fail "the template gives $name no one I/O standard" }
    set fast [assigned $name FAST_INPUT_REGISTER]
    if {$want($name) eq "input" && $fast ne "ON"} { fail "the template asks no FAST_INPUT_REGISTER for $name, the input" }
    if {$want($name) ne "input" && $fast ne ""} { fail "the template asks FAST_INPUT_REGISTER for $name, an output" }
}
if {[assigned $pin(convst) WEAK_PULL_UP_RESISTOR] ne "OFF"} { fail "the template leaves CONVST's weak pull-up on" }
if {!$failed} { puts "$export's ports [lsort [array names wired]] to [lsort [array names want]]; template places those four" }
# A top level of the snippet around a system with exactly the conduit's ports, for Verilator.
set f [open [file dirname $conduit]/top.v w]
puts $f "module soc_system ([join [lmap role [array names direction] { string cat "$direction($role) wire ${export}_$role" }] {, }]);"
foreach role [array names direction] { if {$direction($role) eq "output"} { puts $f "assign ${export}_$role = 1'b0;" } }
puts $f "endmodule"
regexp {In the top module's port list:\n(.*?)\n\n// In the system's instance:\n(.*?)\n*$} [slurp $snippet] - ports wiring
puts $f "module top (\n$ports\n    input wire unused);\nsoc_system u0 (\n[string trimright [string trim $wiring] ,]\n);\nendmodule"
close $f
exit $failed
TCL

# check SCRIPT SNIPPET QSF: the files against each other and the component; then the lint.
check() {
    tclsh "$dir/battery_adc_hw.tcl" 50000000 >"$tmp/battery_adc.sdc" &&
        tclsh "$tmp/check.tcl" "$tmp/conduit" "$1" "$tmp/battery_adc.sdc" "$2" "$3" || return 1
    out=$(verilator --lint-only -Wall -Wno-UNUSEDSIGNAL -Wno-DECLFILENAME --top-module top "$tmp/top.v" 2>&1) ||
        { echo "the snippet does not make a top level Verilator accepts:"; echo "$out" | head -5; return 1; }
}

status=0
check "$dir/add_battery_adc.tcl" "$dir/battery_adc_top.vh" "$dir/battery_adc_pins.qsf" || status=1

# plant NAME FILE SED PATTERN: a copy of FILE, changed, fails and says PATTERN.
plant() {
    sed "$3" "$dir/$2" >"$tmp/$1.${2##*.}"
    if cmp -s "$tmp/$1.${2##*.}" "$dir/$2"; then echo "planted $1: $3 changes nothing"; status=1; return; fi
    set -- "$1" "$2" "$3" "$4" "$dir/add_battery_adc.tcl" "$dir/battery_adc_top.vh" "$dir/battery_adc_pins.qsf"
    case $2 in
    *.tcl) set -- "$@" "$tmp/$1.tcl" "$6" "$7" ;;
    *.vh) set -- "$@" "$5" "$tmp/$1.vh" "$7" ;;
    *) set -- "$@" "$5" "$6" "$tmp/$1.qsf" ;;
    esac
    what=$1 pattern=$4
    shift 7
    fails_saying "$what" "$pattern" check "$@"
}
plant pin_renamed battery_adc_pins.qsf 's/-to ADC_SDO$/-to ADC_MISO/' "assigns .* to ADC_MISO, no pin of the converter"
plant fast_on_sdi battery_adc_pins.qsf 's/FAST_INPUT_REGISTER ON -to ADC_SDO/FAST_INPUT_REGISTER ON -to ADC_SDI/' "asks FAST_INPUT_REGISTER for ADC_SDI, an output"
plant placed battery_adc_pins.qsf 's/PIN_FROM_THE_BOARD_MANUAL -to ADC_CONVST/PIN_AB12 -to ADC_CONVST/' "places ADC_CONVST at 'PIN_AB12'"
plant pull_up battery_adc_pins.qsf '/WEAK_PULL_UP_RESISTOR/d' "leaves CONVST's weak pull-up on"
plant sdo_to_sdi battery_adc_top.vh 's/(ADC_SDO)/(ADC_SDI)/' "wires adc_sdo to ADC_SDI, not ADC_SDO"
plant sdo_output battery_adc_top.vh 's/input  wire ADC_SDO/output wire ADC_SDO/' "declares ADC_SDO an output, not an input"
plant export add_battery_adc.tcl 's/battery_adc_export adc\]/battery_adc_export converter]/' "wires no converter_convst"
[ $status = 0 ] && echo "battery_adc_top.vh and battery_adc_pins.qsf match the component and battery_adc.sdc"
exit $status

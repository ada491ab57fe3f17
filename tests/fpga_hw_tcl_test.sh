#!/bin/sh
# SPDX-License-Identifier: MIT
# The Platform Designer component file against the RTL, as far as this machine can check
# it without Quartus: tclsh runs battery_adc_hw.tcl with Platform Designer's commands
# stubbed to print what they declare; Yosys reads the ports of battery_adc.v. Interfaces,
# ports, directions, widths and HDL parameters must agree, the Avalon slave must have read
# latency 1 and no waitrequest, and the reset must be synchronous.
# Usage: fpga_hw_tcl_test.sh FPGA_DIR
for tool in tclsh yosys; do
    command -v $tool >/dev/null || { echo "$tool is missing: apt-get install tcl yosys"; exit 1; }
done
dir=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# What the component declares.
tclsh >"$tmp/tcl" <<TCL || { cat "$tmp/tcl"; exit 1; }
rename package tcl_package
proc package {args} {
    if {[lrange \$args 0 1] eq {require -exact} && [lindex \$args 2] eq {qsys}} { return 16.1 }
    uplevel 1 [list tcl_package {*}\$args]
}
proc add_interface {name type dir} { puts "interface \$name \$type \$dir" }
proc add_interface_port {iface port role dir width} {
    puts "port \$port [string tolower \$dir] \$width \$iface \$role"
}
proc set_interface_property {iface key value} { puts "property \$iface \$key \$value" }
proc add_parameter {name type default} { puts "parameter \$name" }
proc set_parameter_property {name key value} { puts "parameter \$name \$key \$value" }
proc set_fileset_property {set key value} { puts "fileset \$set \$key \$value" }
proc add_fileset_file {name type how path args} { puts "file \$path" }
proc set_module_assignment {key value} { puts "assignment \$key \$value" }
foreach cmd {set_module_property add_fileset set_interface_assignment} { proc \$cmd args {} }
source "$dir/battery_adc_hw.tcl"
TCL

# What the RTL has: "port NAME DIRECTION WIDTH" from Yosys's RTLIL, and its parameters.
(cd "$tmp" && yosys -q -p "read_verilog $dir/battery_adc.v; hierarchy -top battery_adc; \
    write_rtlil rtl.il" >/dev/null) || { echo "yosys cannot read battery_adc.v"; exit 1; }
awk '$1 == "wire" && ($2 == "width" ? $4 : $2) ~ /^(input|output|inout)$/ {
        width = $2 == "width" ? $3 : 1; dir = $2 == "width" ? $4 : $2
        name = $NF; sub(/^\\/, "", name); print "port", name, dir, width }' \
    "$tmp/rtl.il" | sort >"$tmp/rtl_ports"
sed -n 's/^ *parameter integer \([A-Z_]*\).*/\1/p' "$dir/battery_adc.v" | sort >"$tmp/rtl_params"

status=0
check() { # check WHAT EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        printf '%s differs.\n  RTL or expected:\n%s\n  component:\n%s\n' "$1" "$2" "$3"
        status=1
    fi
}
check "ports, directions, widths" "$(cat "$tmp/rtl_ports")" \
    "$(awk '$1 == "port" { print $1, $2, $3, $4 }' "$tmp/tcl" | sort)"
check "HDL parameters" "$(cat "$tmp/rtl_params")" \
    "$(awk '$1 == "parameter" && $3 == "HDL_PARAMETER" && $4 == "true" { print $2 }' "$tmp/tcl" | sort)"
check "interfaces" "interface adc conduit end
interface avs avalon end
interface clock clock end
interface reset reset end" "$(grep '^interface' "$tmp/tcl" | sort)"
check "ports' interfaces and roles" "adc_convst adc convst
adc_sck adc sck
adc_sdi adc sdi
adc_sdo adc sdo
avs_address avs address
avs_read avs read
avs_readdata avs readdata
avs_write avs write
avs_writedata avs writedata
clk clock clk
reset reset reset" "$(awk '$1 == "port" { print $2, $5, $6 }' "$tmp/tcl" | sort)"
for line in "property avs readLatency 1" "property avs addressUnits WORDS" \
    "property avs associatedClock clock" "property avs associatedReset reset" \
    "property reset synchronousEdges BOTH" "property reset associatedClock clock" \
    "fileset QUARTUS_SYNTH TOP_LEVEL battery_adc" "file battery_adc.v" \
    "parameter CLOCK_HZ SYSTEM_INFO CLOCK_RATE clock"; do
    grep -qx "$line" "$tmp/tcl" || { echo "missing: $line"; status=1; }
done
for key in vendor name group compatible; do
    grep -q "^assignment embeddedsw.dts.$key " "$tmp/tcl" || { echo "no embeddedsw.dts.$key"; status=1; }
done
[ $status = 0 ] && echo "battery_adc_hw.tcl matches battery_adc.v:" && grep '^port' "$tmp/tcl"
exit $status

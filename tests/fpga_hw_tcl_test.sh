#!/bin/sh
# SPDX-License-Identifier: MIT
# The Platform Designer component file against the RTL, as far as this machine can check
# it without Quartus: tclsh runs battery_adc_hw.tcl with Platform Designer's commands
# stubbed to print what they declare; Yosys reads the ports of battery_adc.v. Interfaces,
# ports, directions, widths and HDL parameters must agree, the Avalon slave must have read
# latency 1 and no waitrequest, and the reset must be synchronous. Each parameter's default
# is the RTL's, and its allowed range is the one the RTL elaborates: Yosys builds the block
# at each end of the range and fails one step outside it. Generation adds the RTL and writes
# the timing constraints for the instance (fpga_sdc checks what they say).
# Usage: fpga_hw_tcl_test.sh FPGA_DIR
. "$(dirname "$0")/fpga_tcl_setup.sh"

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
proc add_parameter {name type default} {
    puts "parameter \$name"; puts "default \$name \$default"; set ::default(\$name) \$default
}
proc set_parameter_property {name key value} { puts "parameter \$name \$key \$value" }
proc set_fileset_property {set key value} { puts "fileset \$set \$key \$value" }
proc add_fileset {name type callback args} { set ::callback(\$name) \$callback }
proc add_fileset_file {name type how path args} { puts "file \$name"; puts "file \$type \$name \$how" }
proc get_parameter_value {name} { return \$::default(\$name) }
proc set_module_assignment {key value} { puts "assignment \$key \$value" }
foreach cmd {set_module_property set_interface_assignment} { proc \$cmd args {} }
source "$dir/battery_adc_hw.tcl"
# What generation adds: the RTL, and the constraints written for the instance.
\$callback(QUARTUS_SYNTH) battery_adc
TCL

# What the RTL has: "port NAME DIRECTION WIDTH" from Yosys's RTLIL, and its parameters.
(cd "$tmp" && yosys -q -p "read_verilog $dir/battery_adc.v; hierarchy -top battery_adc; \
    write_rtlil rtl.il" >/dev/null) || { echo "yosys cannot read battery_adc.v"; exit 1; }
# The block's own ports: not those of a primitive's model beside it in the file.
awk '$1 == "module" { block = $2 == "\\battery_adc" }
    block && $1 == "wire" && ($2 == "width" ? $4 : $2) ~ /^(input|output|inout)$/ {
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
    "fileset QUARTUS_SYNTH TOP_LEVEL battery_adc" "file battery_adc.v" "file VERILOG battery_adc.v PATH" "file SDC battery_adc.sdc TEXT" \
    "parameter CLOCK_HZ SYSTEM_INFO CLOCK_RATE clock"; do
    grep -qx "$line" "$tmp/tcl" || { echo "missing: $line"; status=1; }
done
for key in vendor name group compatible; do
    grep -q "^assignment embeddedsw.dts.$key " "$tmp/tcl" || { echo "no embeddedsw.dts.$key"; status=1; }
done

# Defaults: the RTL's, as Yosys evaluates them.
yosys -p "read_verilog -dump_ast2 $dir/battery_adc.v" 2>&1 | awk '
    function value(bits, i, v) { for (i = 1; i <= length(bits); i++) v = 2 * v + substr(bits, i, 1); return v }
    /AST_PARAMETER/ && match($0, /str=.\\[A-Z_]+/) { name = substr($0, RSTART + 6, RLENGTH - 6); want = 1; next }
    want && /AST_CONSTANT/ && match($0, /bits=.[01]+/) { print "default", name, value(substr($0, RSTART + 6, RLENGTH - 6)) }
    { want = 0 }' | sort -u >"$tmp/rtl_defaults"
check "parameters' defaults" "$(cat "$tmp/rtl_defaults")" "$(grep '^default' "$tmp/tcl" | sort)"

# Ranges: each end elaborates, one step beyond it does not.
elaborates() { # elaborates PARAMETER VALUE
    (cd "$tmp" && yosys -q -p "read_verilog $dir/battery_adc.v; hierarchy -check -top battery_adc \
        -chparam $1 $2" </dev/null >/dev/null 2>&1)
}
grep '^parameter [A-Z_]* ALLOWED_RANGES ' "$tmp/tcl" | while read -r _ name _ range; do
    lo=${range%%:*} hi=${range##*:}
    for v in $lo $hi; do
        elaborates "$name" "$v" || { echo "$name = $v is allowed, but the RTL does not elaborate"; exit 1; }
    done
    for v in $((lo - 1)) $((hi + 1)); do
        ! elaborates "$name" "$v" || { echo "$name = $v is outside $range, and the RTL elaborates"; exit 1; }
    done
    echo "range $name $range"
done >"$tmp/ranges" || { cat "$tmp/ranges"; status=1; }
check "parameters with a range" "$(cat "$tmp/rtl_params")" "$(awk '$1 == "range" { print $2 }' "$tmp/ranges" | sort)"
[ $status = 0 ] && echo "battery_adc_hw.tcl matches battery_adc.v:" && grep -hE '^(port|range|default)' "$tmp/tcl" "$tmp/ranges"
exit $status

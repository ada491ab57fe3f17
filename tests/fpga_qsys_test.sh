#!/bin/sh
# SPDX-License-Identifier: MIT
# fpga/add_battery_adc.tcl, the qsys-script that adds the block to an existing system, run
# in tclsh against a stub of Platform Designer's system scripting: the commands it uses,
# answering as their documentation says (an instance, interface or connection that is not
# there is an error), over a system held in a small text file. The block's interfaces and
# parameters are what battery_adc_hw.tcl declares. The saved system must then hold the
# block on the HPS's h2f_lw_axi_master at 0x41000, locked; its clock and reset from the
# names given; its conduit exported; its parameters as given, within their ranges; and
# everything that was there before. Planted in copies of the script, a wrong address, the
# heavy bridge, each connection missing, the export missing and the parameters ignored
# must each fail by name; a system without the instances named must stop the script
# before it changes anything. Usage: fpga_qsys_test.sh FPGA_DIR
. "$(dirname "$0")/fpga_tcl_setup.sh"

# The component: its type, interfaces and parameters, from battery_adc_hw.tcl.
tclsh >"$tmp/component.tcl" <<TCL || { cat "$tmp/component.tcl"; exit 1; }
rename package tcl_package
proc package {args} {
    if {[lrange \$args 0 2] eq {require -exact qsys}} { return 16.1 }
    uplevel 1 [list tcl_package {*}\$args]
}
proc set_module_property {key value} { if {\$key eq "NAME"} { puts "set component(type) \$value" } }
proc add_interface {name type dir} { puts "set component(interface,\$name) {\$type \$dir}" }
proc add_parameter {name type default} { puts "set component(parameter,\$name) \$default" }
proc set_parameter_property {name key value} {
    if {\$key eq "ALLOWED_RANGES"} { puts "set component(range,\$name) {[split \$value :]}" }
}
foreach cmd {set_interface_property add_interface_port set_interface_assignment set_module_assignment
             add_fileset set_fileset_property add_fileset_file} { proc \$cmd args {} }
source $dir/battery_adc_hw.tcl
TCL

# The stub, its state in globals of its own. A system file is a list of lines: instance NAME TYPE {IFACE {TYPE DIR} ...},
# connection FROM TO {PARAM VALUE ...}, locked INSTANCE.IFACE, export NAME TYPE DIR OF.
cat >"$tmp/qsys.tcl" <<'TCL'
source $component_file
rename package tcl_package
proc package {args} {
    if {[lrange $args 0 2] eq {require -exact qsys}} { return [lindex $args 3] }
    uplevel 1 [list tcl_package {*}$args]
}
proc load_system {file} {
    set f [open $file]; set ::stub_system [split [string trim [read $f]] \n]; close $f
    set ::stub_loaded $file
}
proc lines {kind} { lsearch -all -inline -index 0 $::stub_system $kind }
proc get_instances {} { lmap line [lines instance] { lindex $line 1 } }
proc interface {endpoint} {
    lassign [split $endpoint .] inst iface
    foreach line [lines instance] {
        if {[lindex $line 1] eq $inst} {
            set ifaces [lindex $line 3]
            if {[dict exists $ifaces $iface]} { return [dict get $ifaces $iface] }
            error "$inst has no interface $iface"
        }
    }
    error "no instance $inst"
}
proc add_instance {name type args} {
    if {$name in [get_instances]} { error "an instance $name exists already" }
    if {$type ne $::component(type)} { error "no component $type" }
    set ifaces {}
    foreach key [array names ::component interface,*] {
        dict set ifaces [string range $key 10 end] $::component($key)
    }
    lappend ::stub_system [list instance $name $type $ifaces]
    foreach key [array names ::component parameter,*] {
        lappend ::stub_system [list parameter $name [string range $key 10 end] $::component($key)]
    }
}
proc set_instance_parameter_value {inst param value} {
    foreach i [lsearch -all -index 0 $::stub_system parameter] {
        if {[lrange [lindex $::stub_system $i] 1 2] eq [list $inst $param]} {
            lset ::stub_system $i 3 $value
            return
        }
    }
    error "$inst has no parameter $param"
}
proc add_connection {from to args} {
    lassign [interface $from] ftype fdir
    lassign [interface $to] ttype tdir
    if {$fdir ne "start" || $tdir ne "end" ||
            !($ftype eq $ttype || ($ftype eq "axi" && $ttype eq "avalon"))} {
        error "cannot connect $from ($ftype $fdir) to $to ($ttype $tdir)"
    }
    foreach line [lines connection] {
        if {[lrange $line 1 2] eq [list $from $to]} { error "$from and $to are connected already" }
    }
    lappend ::stub_system [list connection $from $to {}]
}
proc set_connection_parameter_value {connection param value} {
    lassign [split $connection /] from to
    foreach i [lsearch -all -index 0 $::stub_system connection] {
        if {[lrange [lindex $::stub_system $i] 1 2] eq [list $from $to]} {
            lset ::stub_system $i 3 [dict replace [lindex $::stub_system $i 3] $param $value]
            return
        }
    }
    error "no connection $connection"
}
proc lock_avalon_base_address {endpoint} {
    if {[interface $endpoint] ne {avalon end}} { error "$endpoint is no Avalon slave" }
    lappend ::stub_system [list locked $endpoint]
}
proc add_interface {name type dir} {
    if {[lsearch -index 1 [lines export] $name] >= 0} { error "an interface $name exists already" }
    lappend ::stub_system [list export $name $type $dir {}]
}
proc set_interface_property {name key value} {
    set i [lsearch -index 1 $::stub_system $name]
    if {$i < 0 || [lindex $::stub_system $i 0] ne "export"} { error "no interface $name" }
    if {$key ne "EXPORT_OF"} { error "no property $key" }
    if {[interface $value] ne [lrange [lindex $::stub_system $i] 2 3]} { error "$value is not [lrange [lindex $::stub_system $i] 2 3]" }
    lset ::stub_system $i 4 $value
}
proc save_system {args} {
    set file [expr {[llength $args] ? [lindex $args 0] : $::stub_loaded}]
    set f [open $file w]; puts $f [join $::stub_system \n]; close $f
}
TCL

# The system the script is run on: a clock source, the HPS and a slave already on the
# lightweight bridge, under the names given (HPS, clock instance).
reference() { # reference FILE HPS CLOCK
    cat >"$1" <<EOF
instance $3 clock_source {clk_in {clock end} clk_in_reset {reset end} clk {clock start} clk_reset {reset start}}
instance $2 altera_hps {h2f_lw_axi_clock {clock end} h2f_lw_axi_master {axi start} h2f_axi_clock {clock end} h2f_axi_master {axi start} h2f_reset {reset start}}
instance sysid_qsys altera_avalon_sysid_qsys {clk {clock end} reset {reset end} control_slave {avalon end}}
connection $3.clk $2.h2f_lw_axi_clock {}
connection $3.clk sysid_qsys.clk {}
connection $3.clk_reset sysid_qsys.reset {}
connection $2.h2f_lw_axi_master sysid_qsys.control_slave {baseAddress 0x00010000}
export clk clock end $3.clk_in
EOF
}

# What the saved system must hold: the block on the lightweight bridge at 0x41000, locked,
# clocked and reset from the names given, its conduit exported, its parameters as given.
cat >"$tmp/check.tcl" <<'TCL'
lassign $argv component_file before after settings
source $component_file
eval $settings
foreach {var setting default} {hps battery_adc_hps hps_0 clock battery_adc_clock clk_0.clk
        reset battery_adc_reset clk_0.clk_reset name battery_adc_name battery_adc_0
        export battery_adc_export adc params battery_adc_params {}} {
    set $var [expr {[info exists $setting] ? [set $setting] : $default}]
}
proc read_lines {file} { set f [open $file]; set l [split [string trim [read $f]] \n]; close $f; return $l }
set system [read_lines $after]
set failed 0
proc fail {what} { puts $what; set ::failed 1 }
proc has {line} { expr {[lsearch -exact $::system $line] >= 0} }
foreach line [read_lines $before] { if {![has $line]} { fail "lost from the system: $line" } }
set blocks [lsearch -all -inline -index 2 [lsearch -all -inline -index 0 $system instance] $component(type)]
if {[llength $blocks] != 1 || [lindex $blocks 0 1] ne $name} { fail "not one $component(type), $name: $blocks" }
foreach {from to what} [list $clock $name.clock "clock" $reset $name.reset "reset" \
        $hps.h2f_lw_axi_master $name.avs "lightweight bridge"] {
    set found [lsearch -all -inline -index 2 [lsearch -all -inline -index 0 $system connection] $to]
    set conn [lindex $found 0 3]
    if {[llength $found] != 1 || [lindex $found 0 1] ne $from} {
        fail "$name's $what: not connected from $from, but from '[lmap c $found { lindex $c 1 }]'"
    } elseif {$what eq "lightweight bridge" && (![dict exists $conn baseAddress] ||
            ![string is integer -strict [dict get $conn baseAddress]] || [dict get $conn baseAddress] != 0x41000)} {
        fail "$name.avs at '[dict get [dict merge {baseAddress {}} $conn] baseAddress]', not 0x41000"
    }
}
if {![has [list locked $name.avs]]} { fail "$name.avs's base address is not locked" }
if {![has [list export $export conduit end $name.adc]]} { fail "$name.adc is not exported as $export" }
foreach line [lsearch -all -inline -index 1 [lsearch -all -inline -index 0 $system parameter] $name] {
    lassign $line - - param value
    set want [expr {[dict exists $params $param] ? [dict get $params $param] : $component(parameter,$param)}]
    if {$value != $want} { fail "$name's $param is $value, not $want" }
    lassign $component(range,$param) lo hi
    if {$value < $lo || $value > $hi} { fail "$name's $param $value is outside $lo to $hi" }
}
if {!$failed} {
    puts "$name at 0x41000 of $hps.h2f_lw_axi_master, clock $clock, reset $reset, exported as $export, [expr {[llength $params] ? $params : "the defaults"}]"
}
exit $failed
TCL

# add SCRIPT HPS CLOCK SETTINGS...: the script run as qsys-script runs it, the --cmd
# settings (Tcl) first, on a fresh reference system whose HPS and clock source have the
# names given; then the check of what it saved.
add() {
    script=$1 hps=$2 clk=$3
    shift 3
    reference "$tmp/before.qsys" "$hps" "$clk"
    cp "$tmp/before.qsys" "$tmp/soc_system.qsys"
    settings="set battery_adc_system $tmp/soc_system.qsys; $*"
    cat >"$tmp/run.tcl" <<TCL
set component_file $tmp/component.tcl
source $tmp/qsys.tcl
$settings
source $script
TCL
    (cd "$tmp" && tclsh run.tcl) >"$tmp/run.log" 2>&1 || { cat "$tmp/run.log"; return 1; }
    tclsh "$tmp/check.tcl" "$tmp/component.tcl" "$tmp/before.qsys" "$tmp/soc_system.qsys" "$*"
}

status=0
script=$dir/add_battery_adc.tcl
(add "$script" hps_0 clk_0) || status=1
(add "$script" soc_hps sys_clk "set battery_adc_hps soc_hps; set battery_adc_clock sys_clk.clk" \
    "; set battery_adc_reset sys_clk.clk_reset; set battery_adc_name adc0; set battery_adc_export battery" \
    "; set battery_adc_params {BATTERY_CHANNEL 3 WAKE_MS 0 ACQUISITION_NS 240 BATTERY_ONLY 1}") || status=1

# A system without the HPS or the clock named: the script stops, naming it, and the system
# file is as it was.
for missing in "battery_adc_hps soc_hps HPS" "battery_adc_clock pll_0.outclk0 clock"; do
    set -- $missing
    if out=$(add "$script" hps_0 clk_0 "set $1 $2"); then
        echo "ran on a system without $2"; status=1
    elif ! echo "$out" | grep -q "add_battery_adc.tcl: .* has no instance ${2%%.*} for the $3"; then
        printf 'without %s, not the line that names it but:\n%s\n' "$2" "$out"; status=1
    elif ! cmp -s "$tmp/before.qsys" "$tmp/soc_system.qsys"; then
        echo "without $2: the system changed"; status=1
    else
        echo "stops without $2: $(echo "$out" | grep -m1 'has no instance')"
    fi
done

# Planted in copies of the script: each must fail, and say PATTERN.
plant() { # plant NAME SED PATTERN [SETTINGS]
    sed "$2" "$script" >"$tmp/$1.tcl"
    if cmp -s "$tmp/$1.tcl" "$script"; then echo "planted $1: $2 changes nothing"; status=1; return; fi
    if out=$(add "$tmp/$1.tcl" hps_0 clk_0 "${4:-}"); then
        echo "passed with $1"; status=1
    elif ! echo "$out" | grep -q "$3"; then
        printf 'with %s, not "%s" but:\n%s\n' "$1" "$3" "$out"; status=1
    else
        echo "fails with $1: $(echo "$out" | grep -m1 "$3")"
    fi
}
plant address 's/baseAddress 0x00041000/baseAddress 0x00040000/' "avs at '0x00040000', not 0x41000"
plant heavy_bridge 's/h2f_lw_axi_master/h2f_axi_master/' "lightweight bridge: not connected from hps_0.h2f_lw_axi_master"
plant no_clock '/add_connection $clock/d' "battery_adc_0's clock: not connected from clk_0.clk, but from ''"
plant no_reset '/add_connection $reset/d' "battery_adc_0's reset: not connected from clk_0.clk_reset, but from ''"
plant no_bridge '/add_connection $master/d' "no connection hps_0.h2f_lw_axi_master/battery_adc_0.avs"
plant not_locked '/lock_avalon_base_address/d' "base address is not locked"
plant no_export '/EXPORT_OF/d' "battery_adc_0.adc is not exported as adc"
plant params_ignored '/set_instance_parameter_value/d' "battery_adc_0's BATTERY_CHANNEL is 0, not 5" \
    "set battery_adc_params {BATTERY_CHANNEL 5}"
[ $status = 0 ] && echo "add_battery_adc.tcl: the block on the lightweight bridge at 0x41000, as named"
exit $status

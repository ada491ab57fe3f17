# SPDX-License-Identifier: MIT
# Adds battery_adc to an existing Platform Designer system (the board's reference design's,
# say) with qsys-script: the block on the HPS's lightweight bridge at 0x41000 (physical
# 0xFF241000), its clock and reset from the system's clock source, its conduit to the
# converter exported. docs/bring-up.md has the whole path; from the Quartus project's folder:
#
#   qsys-script --search-path='PATH/fpga,$' --script=PATH/fpga/add_battery_adc.tcl \
#       --cmd="set battery_adc_system soc_system.qsys"
#
# Each setting may be given the same way, before the script runs (--cmd="set NAME VALUE; ..."):
#   battery_adc_system   the system file to change (soc_system.qsys)
#   battery_adc_hps      the HPS instance, whose h2f_lw_axi_master the block answers (hps_0)
#   battery_adc_clock    the clock output that runs the block, 50 MHz to 200 MHz (clk_0.clk)
#   battery_adc_reset    the reset output for it (clk_0.clk_reset)
#   battery_adc_name     the new instance (battery_adc_0)
#   battery_adc_export   the exported conduit (adc): the system's ports adc_convst, adc_sck,
#                        adc_sdi and adc_sdo, as fpga/battery_adc_top.vh wires them
#   battery_adc_params   the block's parameters as NAME VALUE ... (none: the defaults), of
#                        BATTERY_CHANNEL, ACQUISITION_NS, BATTERY_ONLY, WAKE_MS; CLOCK_HZ
#                        comes from the clock connected
# It stops, naming it, where the system lacks what it needs, and changes nothing then.
package require -exact qsys 16.1

proc battery_adc_setting {name default} {
    if {[info exists ::$name]} { return [set ::$name] }
    return $default
}

set system [battery_adc_setting battery_adc_system soc_system.qsys]
set hps [battery_adc_setting battery_adc_hps hps_0]
set clock [battery_adc_setting battery_adc_clock clk_0.clk]
set reset [battery_adc_setting battery_adc_reset clk_0.clk_reset]
set name [battery_adc_setting battery_adc_name battery_adc_0]
set export [battery_adc_setting battery_adc_export adc]
set params [battery_adc_setting battery_adc_params {}]

load_system $system
# What must be there, and what must not, before anything is added.
set instances [get_instances]
foreach {what instance} [list "HPS (battery_adc_hps)" $hps "clock (battery_adc_clock)" \
        [lindex [split $clock .] 0] "reset (battery_adc_reset)" [lindex [split $reset .] 0]] {
    if {$instance ni $instances} {
        error "add_battery_adc.tcl: $system has no instance $instance for the $what"
    }
}
if {$name in $instances} { error "add_battery_adc.tcl: $system already has an instance $name" }

add_instance $name battery_adc
foreach {param value} $params { set_instance_parameter_value $name $param $value }
add_connection $clock $name.clock
add_connection $reset $name.reset
# The lightweight bridge's window starts at 0xFF200000; battery-voltage reads 0xFF241000.
set master $hps.h2f_lw_axi_master
add_connection $master $name.avs
set_connection_parameter_value $master/$name.avs baseAddress 0x00041000
lock_avalon_base_address $name.avs
add_interface $export conduit end
set_interface_property $export EXPORT_OF $name.adc
save_system $system
puts "add_battery_adc.tcl: $name at 0x00041000 of $master, clocked by $clock, conduit exported as $export"

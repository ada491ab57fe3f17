# SPDX-License-Identifier: MIT
# Platform Designer component for battery_adc.v: a clock, a synchronous reset, an Avalon-MM
# slave of 16 words (read latency 1, no waitrequest) and a conduit to the converter's pins.
# Put it at 0x41000 of h2f_lw_axi_master; docs/fpga-interface.md says how. When Platform
# Designer generates the system, it writes the timing constraints for the converter's pins,
# battery_adc.sdc, from this instance's own parameters.
#
# Outside Platform Designer, for a design that instantiates battery_adc.v itself:
#   tclsh battery_adc_hw.tcl CLOCK_HZ > battery_adc.sdc

# The RTL's counts at CLOCK_HZ, with its own integer formulas: each SCK phase in clocks
# (HALF_SCK), and the half-clock after the clk edge that makes SCK fall at which the block
# takes the next SDO bit (SDO_HALVES).
proc battery_adc_counts {clock_hz} {
    set half_sck [expr {($clock_hz + 49999999) / 50000000}]
    set sdo_halves [expr {2 * $half_sck + ($clock_hz * 2 * 124 + 5000000000) / 10000000000}]
    return [list $half_sck $sdo_halves]
}

# The constraints for an instance at CLOCK_HZ: its numbers, then the procedure that applies
# them, which is the same for every instance.
proc battery_adc_sdc {clock_hz} {
    lassign [battery_adc_counts $clock_hz] half_sck sdo_halves
    set numbers [format {# SPDX-License-Identifier: MIT
# Timing constraints for battery_adc and the converter's four pins, for Quartus's timing
# analyser. Written by battery_adc_hw.tcl for an instance with CLOCK_HZ = %1$d: SCK's
# phases HALF_SCK = %2$d clocks, SDO taken SDO_HALVES = %3$d half-clocks after the clk edge
# that makes SCK fall. Do not edit: change the instance's parameters and generate again.
# docs/fpga-interface.md ("Timing constraints") derives every number.
namespace eval battery_adc {
    variable clock_hz %1$d
    variable half_sck %2$d
    variable sdo_halves %3$d
}
} $clock_hz $half_sck $sdo_halves]
    return $numbers[battery_adc_sdc_body]
}

proc battery_adc_sdc_body {} {
    return {
# Before this file is read, a project may set:
#   battery_adc_instance   the block's instance, as a pattern (default *battery_adc:*)
#   battery_adc_pins       the top-level pins: a list of convst NAME sck NAME sdi NAME
#                          sdo NAME (default ADC_CONVST, ADC_SCK, ADC_SDI, ADC_SDO)
#   battery_adc_trace      the board's traces between the FPGA's pins and the converter's,
#                          each way, as {min max} in ns (default {0.0 1.0})
# Every time below is relative to SCK at its pin, so the clock's way to the block and the
# pins' own delays are the analyser's to measure, never assumed.

namespace eval battery_adc {
    # The converter's datasheet (LTC2308-class), in ns.
    variable tDO 10.8   ;# SDO valid after SCK falls, at most
    variable tHDO 4.0   ;# SDO holds the old bit after SCK falls, at least
    # SDI's setup before and hold after SCK rises: not among the facts the RTL is built on;
    # these are assumed, and far inside the half SCK period that SDI has either side.
    variable tSUDI 5.0
    variable tHDI 5.0
    # The board budget the RTL is built on: each way between a clk edge and the converter's
    # pin, the FPGA's pins and the board add 0 ns to 5 ns.
    variable budget 5.0
}

proc battery_adc::setting {name default} {
    if {[info exists ::$name]} { return [set ::$name] }
    return $default
}

# What the constraints need and cannot find stops them, as an error that names it.
proc battery_adc::stop {what} {
    post_message -type error "battery_adc.sdc: $what"
    error "battery_adc.sdc: $what"
}

proc battery_adc::constrain {} {
    variable clock_hz
    variable half_sck
    variable sdo_halves
    variable tDO
    variable tHDO
    variable tSUDI
    variable tHDI
    variable budget

    set inst [setting battery_adc_instance {*battery_adc:*}]
    array set pin {convst ADC_CONVST sck ADC_SCK sdi ADC_SDI sdo ADC_SDO}
    array set pin [setting battery_adc_pins {}]
    lassign [setting battery_adc_trace {0.0 1.0}] trace_min trace_max

    foreach p {convst sck sdi sdo} {
        set port($p) [get_ports -nowarn $pin($p)]
        if {[get_collection_size $port($p)] != 1} {
            set what "no pin $pin($p) for the converter's [string toupper $p]"
            stop "$what; set battery_adc_pins to the converter's pins"
        }
    }
    set sck_clk [get_pins -nowarn -compatibility_mode "$inst|adc_sck|clk"]
    if {[get_collection_size $sck_clk] != 1} {
        set what "not one clock pin $inst|adc_sck|clk (SCK's flip-flop in one battery_adc)"
        stop "$what; set battery_adc_instance to the block's instance"
    }

    # SCK at its pin: clk divided by two phases of half_sck clocks each, its rise at a
    # rising edge of clk, so every SCK fall is a rising edge of clk (E below). Its latency
    # at the pin is the clock's way to the block, the flip-flop and the output.
    set divide [expr {2 * $half_sck}]
    create_generated_clock -name battery_adc_sck -source $sck_clk -divide_by $divide $port(sck)
    set sck [get_clocks -nowarn battery_adc_sck]
    if {[get_collection_size $sck] != 1} {
        set what "no clock reaches $inst|adc_sck|clk, the block's clk"
        stop "$what; define it (create_clock, derive_pll_clocks) in an .sdc read before this one"
    }
    set master [get_clock_info -master_clock $sck]
    if {$master eq {}} { stop "battery_adc_sck has no master clock" }
    # The period to the picosecond, as the analyser gives it.
    set period [get_clock_info -period [get_clocks $master]]
    set want [expr {1e9 / $clock_hz}]
    if {abs($period - $want) > 0.002} {
        set what [format "CLOCK_HZ = %d (%.3f ns)" $clock_hz $want]
        append what ", but the block's clock $master has a period of $period ns"
        stop "$what; give Platform Designer the clock's true rate and generate the system again"
    }

    # CONVST, SCK and SDI leave from I/O registers clocked by clk, so their delays from a
    # clk edge to the pin differ only by the pins' own. CONVST is held within the budget,
    # less the traces' spread, of SCK's pin for the same clk edge, either way: the waits
    # the RTL counts from one to the other keep a clock (5 ns or more) for that skew.
    set skew [expr {$budget - ($trace_max - $trace_min)}]
    set_output_delay -clock battery_adc_sck -max 0 $port(convst)
    set_output_delay -clock battery_adc_sck -min 0 $port(convst)
    set_max_delay -to $port(convst) $skew
    set_min_delay -to $port(convst) [expr {-$skew}]

    # SDI: set as SCK falls (the same clk edge E), taken by the converter as SCK rises,
    # half_sck clocks later; the bit before it was taken half_sck clocks before E.
    set sdi_max [expr {$tSUDI + $trace_max - $trace_min}]
    set sdi_min [expr {$trace_min - $trace_max - $tHDI}]
    set_output_delay -clock battery_adc_sck -max $sdi_max $port(sdi)
    set_output_delay -clock battery_adc_sck -min $sdi_min $port(sdi)
    set_multicycle_path -to $port(sdi) -setup -start $half_sck
    set_multicycle_path -to $port(sdi) -hold -start [expr {2 * $half_sck - 1}]

    # SDO: moved by the SCK fall, valid from tDO after it at the converter to tHDO after the
    # next fall; the traces each way come on top. The block takes it sdo_halves half-clocks
    # after E: on a falling edge when that is odd, else on a rising edge, (sdo_halves + 1) / 2
    # clock periods of clk after E either way. The bit before it was taken one SCK period
    # (2 x half_sck clocks) earlier.
    set sdo_max [expr {$trace_max + $tDO + $trace_max}]
    set sdo_min [expr {$trace_min + $tHDO + $trace_min}]
    set_input_delay -clock battery_adc_sck -clock_fall -max $sdo_max $port(sdo)
    set_input_delay -clock battery_adc_sck -clock_fall -min $sdo_min $port(sdo)
    set_multicycle_path -from $port(sdo) -setup -end [expr {($sdo_halves + 1) / 2}]
    set_multicycle_path -from $port(sdo) -hold -end [expr {2 * $half_sck - 1}]
}

battery_adc::constrain
}
}

if {[catch {package require -exact qsys 16.1}]} {
    # tclsh, not Platform Designer: the constraints for the CLOCK_HZ given.
    lassign $argv hz
    if {[llength $argv] != 1 || ![string is digit -strict $hz] || $hz < 50000000 ||
            $hz > 200000000} {
        if {[llength $argv] == 1} {
            puts stderr "battery_adc_hw.tcl: CLOCK_HZ '$hz' is not 50000000 to 200000000"
        }
        puts stderr "usage: tclsh battery_adc_hw.tcl CLOCK_HZ > battery_adc.sdc"
        exit 2
    }
    puts -nonewline [battery_adc_sdc $hz]
    exit 0
}

set_module_property NAME battery_adc
set_module_property VERSION 1.0
set_module_property DISPLAY_NAME "Battery ADC (LTC2308-class converter)"
set_module_property DESCRIPTION "Reads a 12-bit 8-channel serial SAR converter; word 0 is the battery channel's code"
set_module_property GROUP "Interface Protocols/Serial"
set_module_property AUTHOR "battery-voltage authors"
set_module_property INSTANTIATE_IN_SYSTEM_MODULE true
set_module_property EDITABLE false
set_module_property REPORT_TO_TALKBACK false
set_module_property ALLOW_GREYBOX_GENERATION false

add_fileset QUARTUS_SYNTH QUARTUS_SYNTH battery_adc_synth ""
set_fileset_property QUARTUS_SYNTH TOP_LEVEL battery_adc
add_fileset SIM_VERILOG SIM_VERILOG "" ""
set_fileset_property SIM_VERILOG TOP_LEVEL battery_adc
add_fileset_file battery_adc.v VERILOG PATH battery_adc.v

# Synthesis: the RTL, and the timing constraints written for this instance's clock. The
# system's .qip lists both, so Quartus reads the constraints with the project's own.
proc battery_adc_synth {output_name} {
    add_fileset_file battery_adc.v VERILOG PATH battery_adc.v TOP_LEVEL_FILE
    add_fileset_file battery_adc.sdc SDC TEXT [battery_adc_sdc [get_parameter_value CLOCK_HZ]]
}

# The clock's rate comes from the system, so SCK and the converter's times follow it.
add_parameter CLOCK_HZ INTEGER 50000000
set_parameter_property CLOCK_HZ DISPLAY_NAME "Clock frequency (Hz)"
set_parameter_property CLOCK_HZ SYSTEM_INFO {CLOCK_RATE clock}
set_parameter_property CLOCK_HZ HDL_PARAMETER true
set_parameter_property CLOCK_HZ ALLOWED_RANGES 50000000:200000000
set_parameter_property CLOCK_HZ DESCRIPTION "The clock's frequency, 50 MHz to 200 MHz; SCK, CONVST and every wait follow it"
add_parameter BATTERY_CHANNEL INTEGER 0
set_parameter_property BATTERY_CHANNEL DISPLAY_NAME "Converter input of the battery (word 0)"
set_parameter_property BATTERY_CHANNEL HDL_PARAMETER true
set_parameter_property BATTERY_CHANNEL ALLOWED_RANGES 0:7
set_parameter_property BATTERY_CHANNEL DESCRIPTION "The converter's input, 0 to 7, that the battery is wired to; word 0 shows its code"
add_parameter ACQUISITION_NS INTEGER 6000
set_parameter_property ACQUISITION_NS DISPLAY_NAME "Acquisition time (ns)"
set_parameter_property ACQUISITION_NS DESCRIPTION "The time the converter's input settles before each conversion, from the 7th SCK rise (where the converter's tACQ counts from) to the next CONVST: 240 ns (the converter's minimum) to 1 ms. 6000 settles a 10 kOhm source to half an LSB"
set_parameter_property ACQUISITION_NS UNITS Nanoseconds
set_parameter_property ACQUISITION_NS HDL_PARAMETER true
set_parameter_property ACQUISITION_NS ALLOWED_RANGES 240:1000000
add_parameter BATTERY_ONLY INTEGER 0
set_parameter_property BATTERY_ONLY DISPLAY_NAME "Convert the battery's input only"
set_parameter_property BATTERY_ONLY DESCRIPTION "1: every conversion is of the battery's input, so no other input's charge carries over; words 2 to 9 then show only the battery's input. 0: every other conversion goes round the eight inputs"
set_parameter_property BATTERY_ONLY DISPLAY_HINT boolean
set_parameter_property BATTERY_ONLY HDL_PARAMETER true
set_parameter_property BATTERY_ONLY ALLOWED_RANGES 0:1
add_parameter WAKE_MS INTEGER 400
set_parameter_property WAKE_MS DISPLAY_NAME "Converter's reference wake-up (ms)"
set_parameter_property WAKE_MS DESCRIPTION "After a reset, the wait from the first word sent (SLP = 0) to the next conversion, for the converter's reference to wake from the sleep that the pins' pull-ups may latch during configuration: 0 to 2000 ms. 400 is twice the datasheet's tREFWAKE (200 ms with 10 uF on REFCOMP and 2.2 uF on VREF)"
set_parameter_property WAKE_MS UNITS Milliseconds
set_parameter_property WAKE_MS HDL_PARAMETER true
set_parameter_property WAKE_MS ALLOWED_RANGES 0:2000

add_interface clock clock end
set_interface_property clock clockRate 0
add_interface_port clock clk clk Input 1

add_interface reset reset end
set_interface_property reset associatedClock clock
set_interface_property reset synchronousEdges BOTH
add_interface_port reset reset reset Input 1

add_interface avs avalon end
set_interface_property avs addressUnits WORDS
set_interface_property avs associatedClock clock
set_interface_property avs associatedReset reset
set_interface_property avs bitsPerSymbol 8
set_interface_property avs explicitAddressSpan 0
set_interface_property avs readLatency 1
set_interface_property avs readWaitTime 0
set_interface_property avs writeWaitTime 0
set_interface_property avs maximumPendingReadTransactions 0
set_interface_property avs timingUnits Cycles
add_interface_port avs avs_address address Input 4
add_interface_port avs avs_read read Input 1
add_interface_port avs avs_write write Input 1
add_interface_port avs avs_writedata writedata Input 32
add_interface_port avs avs_readdata readdata Output 32
set_interface_assignment avs embeddedsw.configuration.isFlash 0
set_interface_assignment avs embeddedsw.configuration.isMemoryDevice 0
set_interface_assignment avs embeddedsw.configuration.isPrintableDevice 0

# Export it and wire each signal to the converter's pin of the same name.
add_interface adc conduit end
set_interface_property adc associatedClock clock
set_interface_property adc associatedReset reset
add_interface_port adc adc_convst convst Output 1
add_interface_port adc adc_sck sck Output 1
add_interface_port adc adc_sdi sdi Output 1
add_interface_port adc adc_sdo sdo Input 1

# The device tree node that sopc2dts writes for it; fpga/battery_adc.dtso is the same by hand.
set_module_assignment embeddedsw.dts.vendor battery-voltage
set_module_assignment embeddedsw.dts.name battery-adc
set_module_assignment embeddedsw.dts.group adc
set_module_assignment embeddedsw.dts.compatible battery-voltage,battery-adc-1.0

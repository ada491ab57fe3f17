# SPDX-License-Identifier: MIT
# Timing constraints for battery_adc.v and the converter's four pins, for Quartus's timing
# analyser. docs/fpga-interface.md derives every number.
#
# The block sits inside a Platform Designer system, so its registers are found by the
# entity's name anywhere in the hierarchy. Before this file is read, a project may set:
#   battery_adc_instance   the block's instance, as a pattern (default *battery_adc:*)
#   battery_adc_pins       the top-level pins: a list of convst NAME sck NAME sdi NAME
#                          sdo NAME (default ADC_CONVST, ADC_SCK, ADC_SDI, ADC_SDO)
#   battery_adc_clock      the name of the clock that drives the block's clk (by default,
#                          the clock that reaches SCK's flip-flop)
#   battery_adc_clock_hz   the block's CLOCK_HZ (by default, the clock's frequency from its
#                          period, to the nearest 100 kHz)
#   battery_adc_trace      the board's traces between the FPGA's pins and the converter's,
#                          each way, as {min max} in ns (default {0.0 1.0})
#
# The RTL derives its counts from CLOCK_HZ; this file cannot read the parameter, so it
# derives the same counts, with the RTL's formulas, from the period of the clock that
# reaches clk. A CLOCK_HZ that is not that clock's frequency is wrong for the RTL too.

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
    variable budget_min 0.0
    variable budget_max 5.0
}

proc battery_adc::setting {name default} {
    if {[info exists ::$name]} { return [set ::$name] }
    return $default
}

# The RTL's counts at a clock of period ns: each SCK phase in clocks (HALF_SCK), CONVST's
# high time in half-clocks (CONVST_HALVES), and the half-clock after the clk edge that
# makes SCK fall at which the next SDO bit is taken (SDO_HALVES).
proc battery_adc::counts {period} {
    # A period is given to the picosecond (6.666 ns at 150 MHz): its frequency, to the
    # nearest 100 kHz, is the clock's, unless the project names CLOCK_HZ itself.
    set hz [setting battery_adc_clock_hz [expr {wide(round(1e4 / $period)) * 100000}]]
    set half_sck [expr {($hz + 49999999) / 50000000}]
    set convst_halves [expr {($hz * 2 * 300 + 5000000000) / 10000000000}]
    set sdo_halves [expr {2 * $half_sck + ($hz * 2 * 124 + 5000000000) / 10000000000}]
    return [list $half_sck $convst_halves $sdo_halves]
}

proc battery_adc::constrain {} {
    variable tDO
    variable tHDO
    variable tSUDI
    variable tHDI
    variable budget_min
    variable budget_max

    set inst [setting battery_adc_instance {*battery_adc:*}]
    array set pin {convst ADC_CONVST sck ADC_SCK sdi ADC_SDI sdo ADC_SDO}
    array set pin [setting battery_adc_pins {}]
    lassign [setting battery_adc_trace {0.0 1.0}] trace_min trace_max

    foreach p {convst sck sdi sdo} {
        set port($p) [get_ports -nowarn $pin($p)]
        if {[get_collection_size $port($p)] != 1} {
            post_message -type critical_warning "battery_adc.sdc: no pin $pin($p) ($p); set\
                battery_adc_pins to the converter's pins"
            return
        }
    }
    set sck_reg [get_registers -nowarn "$inst|adc_sck"]
    if {[get_collection_size $sck_reg] != 1} {
        post_message -type critical_warning "battery_adc.sdc: not one register $inst|adc_sck;\
            set battery_adc_instance to the block's instance"
        return
    }
    set sck_clk [get_pins -nowarn -compatibility_mode "$inst|adc_sck|clk"]
    if {[get_collection_size $sck_clk] != 1} {
        post_message -type critical_warning "battery_adc.sdc: no clock pin $inst|adc_sck|clk"
        return
    }

    # The clock that reaches clk: named, or the master of a clock generated from SCK's
    # flip-flop, which the analyser finds itself.
    set clock [setting battery_adc_clock {}]
    if {$clock eq {}} {
        create_generated_clock -name battery_adc_probe -source $sck_clk -divide_by 2 $port(sck)
        set clock [get_clock_info -master_clock [get_clocks battery_adc_probe]]
        remove_clock battery_adc_probe
    }
    if {$clock eq {} || [get_collection_size [get_clocks -nowarn $clock]] != 1} {
        post_message -type critical_warning "battery_adc.sdc: no clock reaches $inst|adc_sck;\
            set battery_adc_clock to the clock that drives the block's clk"
        return
    }
    set period [get_clock_info -period [get_clocks $clock]]
    lassign [counts $period] half_sck convst_halves sdo_halves

    # SCK at its pin: clk divided by two phases of half_sck clocks each, its rise at a
    # rising edge of clk. Every SCK fall is a rising edge of clk (E below).
    create_generated_clock -name battery_adc_sck -source $sck_clk \
        -divide_by [expr {2 * $half_sck}] $port(sck)

    # CONVST and SCK: at the converter within the budget of their clk edge. The FPGA's
    # part, which the analyser measures, is the budget less the board's trace.
    set out_max [expr {$period - ($budget_max - $trace_max)}]
    set out_min [expr {$trace_min - $budget_min}]
    foreach p {convst sck} {
        set_output_delay -clock $clock -max $out_max $port($p)
        set_output_delay -clock $clock -min $out_min $port($p)
    }
    # CONVST's fall comes from a falling-edge flip-flop when its high time is an odd
    # number of half-clocks: launched by a falling edge, it is held to the same window from
    # that edge as the rise is from its rising edge.
    if {$convst_halves % 2 == 1} {
        set late [get_registers -nowarn "$inst|*convst_late"]
        set_max_delay -from $late -to $port(convst) $period
        set_min_delay -from $late -to $port(convst) 0
    }

    # SDI: set as SCK falls (the same clk edge E), taken by the converter as SCK rises,
    # half_sck clocks later; the bit before it was taken half_sck clocks before E.
    set_output_delay -clock battery_adc_sck -max [expr {$tSUDI + $trace_max - $trace_min}] \
        $port(sdi)
    set_output_delay -clock battery_adc_sck -min [expr {$trace_min - $trace_max - $tHDI}] \
        $port(sdi)
    set sdi_reg [get_registers -nowarn "$inst|adc_sdi"]
    set_multicycle_path -from $sdi_reg -to $port(sdi) -setup -start $half_sck
    set_multicycle_path -from $sdi_reg -to $port(sdi) -hold -start [expr {2 * $half_sck - 1}]

    # SDO: moved by the SCK fall, valid from tDO after it at the converter to tHDO after the
    # next fall; the traces each way come on top. The block takes it sdo_halves half-clocks
    # after E: on a falling edge when that is odd (a falling-edge flip-flop), else on a
    # rising edge, (sdo_halves + 1) / 2 clock periods of clk after E either way. The bit
    # before it was taken one SCK period (2 x half_sck clocks) earlier.
    set_input_delay -clock battery_adc_sck -clock_fall \
        -max [expr {$trace_max + $tDO + $trace_max}] $port(sdo)
    set_input_delay -clock battery_adc_sck -clock_fall \
        -min [expr {$trace_min + $tHDO + $trace_min}] $port(sdo)
    set_multicycle_path -from $port(sdo) -setup -end [expr {($sdo_halves + 1) / 2}]
    set_multicycle_path -from $port(sdo) -hold -end [expr {2 * $half_sck - 1}]
}

battery_adc::constrain

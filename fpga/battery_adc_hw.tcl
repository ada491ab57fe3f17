# SPDX-License-Identifier: MIT
# Platform Designer component for battery_adc.v: a clock, a synchronous reset, an Avalon-MM
# slave of 16 words (read latency 1, no waitrequest) and a conduit to the converter's pins.
# Put it at 0x41000 of h2f_lw_axi_master; docs/fpga-interface.md says how. The timing
# constraints for the converter's pins, battery_adc.sdc, come with it.

package require -exact qsys 16.1

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

add_fileset QUARTUS_SYNTH QUARTUS_SYNTH "" ""
set_fileset_property QUARTUS_SYNTH TOP_LEVEL battery_adc
add_fileset_file battery_adc.v VERILOG PATH battery_adc.v TOP_LEVEL_FILE
add_fileset_file battery_adc.sdc SDC PATH battery_adc.sdc
add_fileset SIM_VERILOG SIM_VERILOG "" ""
set_fileset_property SIM_VERILOG TOP_LEVEL battery_adc
add_fileset_file battery_adc.v VERILOG PATH battery_adc.v

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

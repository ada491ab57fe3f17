// SPDX-License-Identifier: MIT
// The top level's lines for battery_adc: the converter's four pins, and the system's
// exported conduit (add_battery_adc.tcl exports it as `adc`) wired to them. Copy the first
// part into the top module's port list and the second into the Platform Designer system's
// instance (soc_system u0 (...) in the board's reference design). The pins' names are the
// ones the timing constraints look for (battery_adc.sdc; with other names, set
// battery_adc_pins) and that battery_adc_pins.qsf places; docs/bring-up.md has the rest.

// In the top module's port list:
    output wire ADC_CONVST,   // CONVST: starts a conversion
    output wire ADC_SCK,      // SCK: the serial clock, 25 MHz at most
    output wire ADC_SDI,      // SDI: the configuration word, into the converter
    input  wire ADC_SDO,      // SDO: the result, out of the converter

// In the system's instance:
    .adc_convst (ADC_CONVST),
    .adc_sck    (ADC_SCK),
    .adc_sdi    (ADC_SDI),
    .adc_sdo    (ADC_SDO),

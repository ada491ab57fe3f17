# SPDX-License-Identifier: MIT
# The FPGA block, fpga/battery_adc.v (FPGA_DIR): its cases under Verilator, the faults
# planted in copies of it, its lint, its synthesis for Cyclone V, its Platform Designer
# component and its device-tree fragment.
# The 50 MHz design with the defaults is the top level's adc_rtl, and with the wait for the
# converter's reference included, its adc_rtl_wake (Vadc50wake). The others: 100 MHz;
# 200 MHz, the fastest clock the block allows; 73 MHz, an odd clock, at the shortest
# acquisition; and 50 MHz in the battery-only mode, each with no wait for the converter's
# reference (WAKE_MS = 0), which would make each reset 0.4 s. Name, CLOCK_HZ,
# BATTERY_CHANNEL, ACQUISITION_NS, BATTERY_ONLY, WAKE_MS.
function(adc_design name source hz channel acquisition only wake)
  add_library(adc_rtl_${name} STATIC)
  verilate(adc_rtl_${name} SOURCES ${source} TOP_MODULE battery_adc PREFIX Vadc${name}
           DIRECTORY ${CMAKE_BINARY_DIR}/verilated/Vadc${name}
           VERILATOR_ARGS -GCLOCK_HZ=${hz} -GBATTERY_CHANNEL=${channel}
                          -GACQUISITION_NS=${acquisition} -GBATTERY_ONLY=${only} -GWAKE_MS=${wake}
                          ${VERILATOR_QUIET})
  get_target_property(adc_rtl_includes adc_rtl_${name} INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(adc_rtl_${name} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
                                                   "${adc_rtl_includes}")
endfunction()

foreach(design IN ITEMS "100;100000000;6;6000;0;0" "200;200000000;5;6000;0;0" "73;73000000;3;240;0;0"
                        "50only;50000000;2;6000;1;0")
  list(GET design 0 name)
  list(REMOVE_AT design 0)
  adc_design(${name} ${FPGA_DIR}/battery_adc.v ${design})
endforeach()

add_executable(adc_test adc_test.cpp)
target_include_directories(adc_test PRIVATE ${CMAKE_SOURCE_DIR}/tools/rtl)
target_link_libraries(adc_test PRIVATE adc_rtl adc_rtl_100 adc_rtl_200 adc_rtl_73 adc_rtl_50only
                                       adc_rtl_wake GTest::gtest_main)
target_compile_options(adc_test PRIVATE ${warnings})
gtest_discover_tests(adc_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

# Faults planted in copies of the block in the build tree, each made by a text replacement
# when CMake configures (again whenever the block changes), each of which a case must catch
# (adc_fault_test.cpp). A replacement that no longer finds its text stops the configuration,
# so a fault cannot quietly stop being planted. All at 50 MHz with the defaults, and no wait for
# the converter's reference but where the fault is in that wait.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${FPGA_DIR}/battery_adc.v)
file(READ ${FPGA_DIR}/battery_adc.v adc_source)
function(adc_fault name from to)
  set(wake 0)
  if(name MATCHES "wake")
    set(wake 400)
  endif()
  if(from STREQUAL "REGEX")
    string(REGEX REPLACE "${to}" "${ARGV3}" faulty "${adc_source}")
  else()
    string(REPLACE "${from}" "${to}" faulty "${adc_source}")
  endif()
  if(faulty STREQUAL adc_source)
    message(FATAL_ERROR "the planted fault ${name} no longer applies to battery_adc.v")
  endif()
  file(WRITE ${CMAKE_BINARY_DIR}/faults/${name}.v "${faulty}")
  adc_design(_${name} ${CMAKE_BINARY_DIR}/faults/${name}.v 50000000 0 6000 0 ${wake})
endfunction()
# CONVST high for 20 ns, the datasheet's minimum, with no margin.
adc_fault(convst20 "CONVST_HALVES = halves_in(300)" "CONVST_HALVES = halves_in(200)")
# SDO taken on the edge that raises SCK, before the bit is valid at the pins.
adc_fault(sdo_at_rise "SDO_HALVES = 2 * HALF_SCK + halves_in(124)" "SDO_HALVES = 2 * HALF_SCK")
# Acquisition an SCK phase short: counted from the 6th fall instead of the 7th rise.
adc_fault(acq_short "ACQ_CLOCKS = clocks_for(ACQ_NS)" "ACQ_CLOCKS = clocks_for(ACQ_NS) - HALF_SCK")
# A code published only in a clock with a read on the bus, and one dropped in such a clock.
adc_fault(publish_on_read "if (bits == 4'd11 && conv_known) begin"
          "if (bits == 4'd11 && conv_known && avs_read) begin")
adc_fault(drop_on_read "if (bits == 4'd11 && conv_known) begin"
          "if (bits == 4'd11 && conv_known && !avs_read) begin")
# No wait for the converter's reference after a reset: the next conversion comes an
# acquisition after the word that wakes it.
adc_fault(no_wake "timer == 0 && awake" "timer == 0")
# No initial values: every register 0 at power-up, as the simulator starts them.
adc_fault(no_init REGEX "(reg[^=;\n]*) = [^;,\n]*" "\\1")

add_executable(adc_fault_test adc_fault_test.cpp)
target_include_directories(adc_fault_test PRIVATE ${CMAKE_SOURCE_DIR}/tools/rtl)
target_link_libraries(adc_fault_test PRIVATE adc_rtl__convst20 adc_rtl__sdo_at_rise adc_rtl__acq_short
                                             adc_rtl__no_init adc_rtl__publish_on_read
                                             adc_rtl__drop_on_read adc_rtl__no_wake GTest::gtest_main)
target_compile_options(adc_fault_test PRIVATE ${warnings})
gtest_discover_tests(adc_fault_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

add_test(NAME fpga_lint COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_lint_test.sh ${FPGA_DIR})
add_test(NAME fpga_synth COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_synth_test.sh ${FPGA_DIR})
add_test(NAME fpga_hw_tcl COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_hw_tcl_test.sh ${FPGA_DIR})
add_test(NAME fpga_dtc COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_dtc_test.sh ${FPGA_DIR})
# The bring-up files (docs/bring-up.md): the qsys-script that adds the block to a system, run
# against a stub of Platform Designer's commands; the top level's lines and the pins'
# template against the component and the timing constraints.
add_test(NAME fpga_qsys COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_qsys_test.sh ${FPGA_DIR})
add_test(NAME fpga_pins COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_pins_test.sh ${FPGA_DIR})

# The board files: the timing constraints against the RTL at 50, 100 and 200 MHz, and the
# device-tree overlay applied to the Cyclone V device trees of Debian's armhf kernel, which
# the emulated board's cache keeps (make emuboard-kernel fetches them).
add_test(NAME fpga_sdc COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_sdc_test.sh ${FPGA_DIR})
add_test(NAME fpga_overlay COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_overlay_test.sh ${FPGA_DIR}
                                   ${CMAKE_SOURCE_DIR}/tools/emuboard/fetch.sh)

# The formal proof of the block at 50 MHz with the shortest acquisition, its covers, at
# 73 MHz where the hold after the read-out binds, and its planted faults (fpga/formal/,
# docs/fpga-interface.md "The formal proof"). make formal-deep proves it at the defaults and
# in the battery-only mode, outside the suite. It takes about a minute and a half with the
# cores to itself, two minutes at load average 4 and four and a half at 6 to 8; the limit
# leaves room for a busier machine, so that only a proof that does not end fails here.
add_test(NAME fpga_formal COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_formal_test.sh ${FPGA_DIR}
                                  ${CMAKE_CURRENT_BINARY_DIR}/fpga_formal
                                  ${CMAKE_SOURCE_DIR}/fpga/formal)
set_tests_properties(fpga_formal PROPERTIES TIMEOUT 900 PROCESSORS 2)

# SPDX-License-Identifier: MIT
# The FPGA block, fpga/battery_adc.v (FPGA_DIR): its cases under Verilator at 50 MHz,
# 100 MHz and 25 MHz, its lint, its synthesis for Cyclone V, its Platform Designer component
# and its device-tree fragment.
# The 50 MHz design is the top level's adc_rtl. 25 MHz is the slowest clock the block
# allows, where CONVST's one clock is its longest, 40 ns: MHz, CLOCK_HZ, BATTERY_CHANNEL.
foreach(design IN ITEMS "100;100000000;6" "25;25000000;3")
  list(GET design 0 mhz)
  list(GET design 1 hz)
  list(GET design 2 channel)
  add_library(adc_rtl_${mhz} STATIC)
  verilate(adc_rtl_${mhz} SOURCES ${FPGA_DIR}/battery_adc.v TOP_MODULE battery_adc
           PREFIX Vadc${mhz} DIRECTORY ${CMAKE_BINARY_DIR}/verilated/Vadc${mhz}
           VERILATOR_ARGS -GCLOCK_HZ=${hz} -GBATTERY_CHANNEL=${channel} ${VERILATOR_QUIET})
  get_target_property(adc_rtl_includes adc_rtl_${mhz} INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(adc_rtl_${mhz} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
                                                  "${adc_rtl_includes}")
endforeach()

add_executable(adc_test adc_test.cpp)
target_include_directories(adc_test PRIVATE ${CMAKE_SOURCE_DIR}/tools/rtl)
target_link_libraries(adc_test PRIVATE adc_rtl adc_rtl_100 adc_rtl_25 GTest::gtest_main)
target_compile_options(adc_test PRIVATE ${warnings})
gtest_discover_tests(adc_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

add_test(NAME fpga_lint COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_lint_test.sh ${FPGA_DIR})
add_test(NAME fpga_synth COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_synth_test.sh ${FPGA_DIR})
add_test(NAME fpga_hw_tcl COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_hw_tcl_test.sh ${FPGA_DIR})
add_test(NAME fpga_dtc COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_dtc_test.sh ${FPGA_DIR})

# The formal proof of the block at 50 MHz with the shortest acquisition, and its planted
# faults (fpga/formal/, docs/fpga-interface.md "The formal proof"). make formal-deep runs it
# deeper, outside the suite.
add_test(NAME fpga_formal COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_formal_test.sh ${FPGA_DIR}
                                  ${CMAKE_CURRENT_BINARY_DIR}/fpga_formal)
set_tests_properties(fpga_formal PROPERTIES TIMEOUT 300 PROCESSORS 2)

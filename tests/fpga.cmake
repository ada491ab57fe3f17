# SPDX-License-Identifier: MIT
# The FPGA block, fpga/battery_adc.v: its cases under Verilator at 50 MHz and 100 MHz, its
# lint, its synthesis for Cyclone V, its Platform Designer component and its device-tree
# fragment.
# FPGA_DIR points the tests at another copy of the design, to watch a planted fault fail.
set(FPGA_DIR ${CMAKE_SOURCE_DIR}/fpga CACHE PATH "The FPGA design under test")

find_package(verilator QUIET)
if(verilator_FOUND)
  # Verilator's C++ is built with its own flags, not with our warnings. Its lint is
  # fpga_lint, so that a design planted with a fault still builds and fails a case.
  add_library(adc_rtl STATIC)
  verilate(adc_rtl SOURCES ${FPGA_DIR}/battery_adc.v TOP_MODULE battery_adc PREFIX Vadc50
           DIRECTORY ${CMAKE_BINARY_DIR}/verilated/Vadc50
           VERILATOR_ARGS -GCLOCK_HZ=50000000)
  verilate(adc_rtl SOURCES ${FPGA_DIR}/battery_adc.v TOP_MODULE battery_adc PREFIX Vadc100
           DIRECTORY ${CMAKE_BINARY_DIR}/verilated/Vadc100
           VERILATOR_ARGS -GCLOCK_HZ=100000000 -GBATTERY_CHANNEL=6)
  get_target_property(adc_rtl_includes adc_rtl INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(adc_rtl PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
                                           "${adc_rtl_includes}")

  add_executable(adc_test adc_test.cpp)
  target_link_libraries(adc_test PRIVATE adc_rtl GTest::gtest_main)
  target_compile_options(adc_test PRIVATE ${warnings})
  gtest_discover_tests(adc_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
else()
  add_test(NAME fpga_bench COMMAND sh -c "echo 'verilator is missing: apt-get install verilator'; exit 1")
endif()

add_test(NAME fpga_lint COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_lint_test.sh ${FPGA_DIR})
add_test(NAME fpga_synth COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_synth_test.sh ${FPGA_DIR})
add_test(NAME fpga_hw_tcl COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_hw_tcl_test.sh ${FPGA_DIR})
add_test(NAME fpga_dtc COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_dtc_test.sh ${FPGA_DIR})

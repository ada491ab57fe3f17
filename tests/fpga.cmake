# SPDX-License-Identifier: MIT
# The FPGA block, fpga/battery_adc.v (FPGA_DIR): its cases under Verilator at 50 MHz and
# 100 MHz, its lint, its synthesis for Cyclone V, its Platform Designer component and its
# device-tree fragment.
add_library(adc_rtl_100 STATIC)
verilate(adc_rtl_100 SOURCES ${FPGA_DIR}/battery_adc.v TOP_MODULE battery_adc PREFIX Vadc100
         DIRECTORY ${CMAKE_BINARY_DIR}/verilated/Vadc100
         VERILATOR_ARGS -GCLOCK_HZ=100000000 -GBATTERY_CHANNEL=6 ${VERILATOR_QUIET})
get_target_property(adc_rtl_includes adc_rtl_100 INTERFACE_INCLUDE_DIRECTORIES)
set_target_properties(adc_rtl_100 PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
                                             "${adc_rtl_includes}")

add_executable(adc_test adc_test.cpp)
target_include_directories(adc_test PRIVATE ${CMAKE_SOURCE_DIR}/tools/rtl)
target_link_libraries(adc_test PRIVATE adc_rtl adc_rtl_100 GTest::gtest_main)
target_compile_options(adc_test PRIVATE ${warnings})
gtest_discover_tests(adc_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

add_test(NAME fpga_lint COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_lint_test.sh ${FPGA_DIR})
add_test(NAME fpga_synth COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_synth_test.sh ${FPGA_DIR})
add_test(NAME fpga_hw_tcl COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_hw_tcl_test.sh ${FPGA_DIR})
add_test(NAME fpga_dtc COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fpga_dtc_test.sh ${FPGA_DIR})

// SPDX-License-Identifier: MIT
// What a line of the tool must say when the FPGA design plays the register: the code that
// the discharging battery gave through the front end and the converter at about the moment
// the line came.
#pragma once

#include "cosim.h"

#include <gtest/gtest.h>

#include <string>

// From the load to the line's arrival here: the write and the pipe, or the emulated board's
// console port and its relay, on a loaded machine.
inline constexpr double travel_s = 0.1;
// The emulated board's: its emulated processor passes a line through the launcher and the
// console port at a pace the host's load sets (over 0.1 s seen under make check). A line a pass
// old, the fault this check is for, is a second late, still far outside it.
inline constexpr double emulated_travel_s = 0.3;

// `line` came `at` seconds after the battery started: it must show a code the battery gave
// within the sampling window and the travel before that, give or take one code.
inline testing::AssertionResult shows_battery(const std::string &line, double at,
                                              double travel = travel_s) {
    const std::string label = "Battery voltage is: ";
    if (line.rfind(label, 0) != 0)
        return testing::AssertionFailure() << "not a reading: " << line;
    const unsigned newest = rtl::code_for(rtl::discharging_volts(at));
    const unsigned oldest = rtl::code_for(rtl::discharging_volts(at - rtl::window_s - travel));
    const std::string shown = line.substr(label.size());
    for (unsigned code = newest - 1; code <= oldest + 1; ++code)
        if (shown == std::to_string(code))
            return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the line " << at << " s after the battery's start shows "
                                       << shown << ", not " << newest - 1 << " to " << oldest + 1;
}

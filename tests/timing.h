// SPDX-License-Identifier: MIT
// Timing bounds shared by the suites. Times are taken from the tool's own exec, as
// board-stamp sees it: the sandbox's or the emulated board's start, and the load of
// other cases, stay outside. A misplaced one-second sleep adds at least a second to any of
// them; what a bound leaves below that is room for the runtime's, the sanitizer's or the
// emulator's start.
#pragma once

#include "process.h"

#include <cstdio>
#include <string>

using common::seconds;

inline constexpr double no_pause = 0.9; // s
// Lines one second apart: a missing sleep or flush brings two lines together, a longer
// period drives them apart.
inline constexpr double shortest_gap = 0.5, longest_gap = 1.45; // s

// Shown with `ctest -V`: what each bound was held against in this run.
inline void measured(const std::string &what, double s) {
    std::printf("[ measured ] %s: %.3f s\n", what.c_str(), s);
}

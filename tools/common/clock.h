// SPDX-License-Identifier: MIT
// The one clock: CLOCK_MONOTONIC, comparable across the processes of a machine, so that a
// test or the benchmark can time a command from the exec that the launcher stamped.
#pragma once

#include <chrono>
#include <cstdint>

namespace common {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline std::int64_t nanoseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

inline Clock::time_point time_point(std::int64_t ns) {
    return Clock::time_point(std::chrono::nanoseconds(ns));
}

inline double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace common

// SPDX-License-Identifier: MIT
// What the block's cases and its planted faults both check: the designs as tests/fpga.cmake
// builds them, and the block's own margins at the pins as the converter's model saw them.
#pragma once

#include "adc_bench.h"

#include <algorithm>
#include <cstdint>
#include <string>

// A verilated design and its parameters as tests/fpga.cmake builds it, its frame's length in
// clocks, the bound from a change at the battery input to word 0 that docs/fpga-interface.md
// states for it (ps), and the margins with which it takes SDO inside its window (ps).
template <class TopT, std::int64_t Hz, unsigned Battery, unsigned AcqNs, bool Only, unsigned Frame,
          std::int64_t LatencyPs, std::int64_t SetupPs, std::int64_t HoldPs>
struct Design {
    using Top = TopT;
    static constexpr std::int64_t clock_hz = Hz;
    static constexpr unsigned battery = Battery, acquisition_ns = AcqNs, frame_clocks = Frame;
    static constexpr bool battery_only = Only;
    static constexpr std::int64_t latency_bound = LatencyPs;
    static constexpr std::int64_t setup_margin = SetupPs, hold_margin = HoldPs;
    static constexpr std::uint32_t settings = (Only ? 0x80000000U : 0U) | AcqNs;
};

// The margins the block keeps at its pins beyond the datasheet's, as named failures, or ""
// when it keeps them all: CONVST high 25 ns to 35 ns, SCK phases of 20 ns or more, the
// acquisition from the 7th SCK rise at least ACQUISITION_NS and a clock, and CONVST low at
// least tHCONVST (20 ns) and a clock after the last SCK fall.
inline std::string margin_failures(const Adc::Seen &seen, unsigned acquisition_ns,
                                   std::int64_t period) {
    std::string failures;
    auto ns = [](std::int64_t ps) { // ps >= 0
        return std::to_string(ps / 1000) + "." + std::to_string(1000 + (ps % 1000)).substr(1) +
               " ns";
    };
    if (seen.convst_min < 25'000 || seen.convst_max > 35'000)
        failures += "CONVST high for " + ns(seen.convst_min) + " to " + ns(seen.convst_max) +
                    ", outside 25 ns to 35 ns; ";
    if (seen.sck_high_min < 20'000 || seen.sck_low_min < 20'000)
        failures +=
            "SCK phase of " + ns(std::min(seen.sck_high_min, seen.sck_low_min)) + ", under 20 ns; ";
    if (seen.acquisition_min < (std::int64_t{acquisition_ns} * 1000) + period)
        failures +=
            "acquisition of " + ns(seen.acquisition_min) + ", under ACQUISITION_NS and a clock; ";
    if (seen.hold_min < 20'000 + period)
        failures += "CONVST rose " + ns(seen.hold_min) +
                    " after an SCK fall, under tHCONVST (20 ns) and a clock; ";
    return failures;
}

// Codes on the battery input, each held four frames, against word 0: "" when it showed
// each, else what it showed instead.
template <class Top>
std::string battery_readings(Bench<Top> &bench, Adc &adc, unsigned battery, unsigned frame) {
    std::string wrong;
    for (unsigned code : {0U, 1U, 2048U, 4095U, 1365U, 2730U, 0x555U, 0xAAAU}) {
        adc.set_code(battery, code);
        bench.clocks(4 * std::int64_t{frame});
        const auto read = bench.read(0);
        if (read != code)
            wrong += "word 0 read " + std::to_string(read) + " for " + std::to_string(code) + "; ";
    }
    return wrong;
}

// The same codes, each read back by a poller that reads word 0 on every clock of the four
// frames: "" when the last read showed each, else what it showed instead.
template <class Top>
std::string polled_readings(Bench<Top> &bench, Adc &adc, unsigned battery, unsigned frame) {
    std::string wrong;
    for (unsigned code : {1U, 4095U, 0x555U, 0xAAAU}) {
        adc.set_code(battery, code);
        std::uint32_t read = 0;
        for (unsigned n = 0; n < 4 * frame; ++n)
            read = bench.read(0);
        if (read != code)
            wrong += "polled word 0 read " + std::to_string(read) + " for " + std::to_string(code) +
                     "; ";
    }
    return wrong;
}

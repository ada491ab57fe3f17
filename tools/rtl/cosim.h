// SPDX-License-Identifier: MIT
// The register played by the FPGA design itself: battery_adc under Verilator, driving the
// converter's model, whose battery input comes through the board's front end from a battery
// model. The block's sixteen words, read over its Avalon slave, are what lands at 0xFF241000
// to 0xFF24103C in the board's memory.
//
// The block, with its default settings, runs slower than real time, as fast as this machine
// lets it: every millisecond of wall time it runs a burst of 1024 clocks (20.48 us at
// 50 MHz: two and a half frames of 7.90 us, and one or two conversions of the battery
// channel, which 9 frames in 16 convert), with the battery's voltage as it is at the start
// of that burst, and reads word 0 now and then through it. At the end of the burst it reads
// all sixteen words, back to back, and those that changed go to memory. A change at the
// battery input reaches word 0 within 17.9 us, less than a burst, so a reading in memory is
// the battery as it was at the start of the burst that ended with it: at most a millisecond
// of wall time before, 5 ms with room for the scheduler (the sampling window).
#pragma once

#include "board.h"
#include "clock.h"
#include "failure.h"
#include "options.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class Adc;

namespace rtl {

// The battery channel's code for `volts` at the battery: the front end maps 0.4 V to 3.4 V
// onto the converter's 0 to 4.095 V (volts = code / 4095 * 3.0 + 0.4), and the converter
// gives the nearest code, 0 below its range and 4095 above.
unsigned code_for(double volts);

// The discharging battery, `t` seconds after it started: simboard's curve, in volts. It
// loses a few codes' worth a second, each change half-way through a second.
double discharging_volts(double t);

// A burst's clocks, the sixteen reads at its end aside.
inline constexpr unsigned burst_clocks = 1024;

// The sampling window: a reading in memory is the battery as it was at most this long ago.
inline constexpr double window_s = 0.005;

// What the other seven inputs of the converter see, in codes: each its own, and all above
// what the discharging battery gives.
unsigned other_input(unsigned channel);

class Cosim {
  public:
    // Starts the block, the converter and the battery; the block's words go to `board`'s
    // register. A failure (a write to the board) ends the co-simulation, and goes to
    // `failure`.
    Cosim(common::Board &board, common::RtlOptions settings, common::Failure &failure);
    ~Cosim();
    Cosim(const Cosim &) = delete;
    Cosim &operator=(const Cosim &) = delete;

    // The block runs from its construction, as a configured FPGA would before the tool
    // starts; a board whose command starts later says so here. The battery starts to
    // discharge again, and a design whose converter the configuration leaves asleep
    // (Converter::asleep) is loaded now, as by a user who loads it and then runs the command.
    // It returns once the block's words of a burst run since are in memory, so that a
    // command never reads the unconfigured FPGA's words.
    void command_starts();
    // When the battery started to discharge: when the block started, or command_starts().
    [[nodiscard]] common::Clock::time_point started() const {
        return common::time_point(started_ns_);
    }
    [[nodiscard]] std::uint64_t clocks() const { return clocks_; }
    [[nodiscard]] std::uint64_t battery_conversions() const { return conversions_; }
    // What the boards say of the design at the end of a run.
    [[nodiscard]] std::string summary() const {
        return "the FPGA design ran " + std::to_string(clocks()) +
               " clocks and converted the battery " + std::to_string(battery_conversions()) +
               " times";
    }
    // Every breach of the converter's datasheet that its model saw, or "".
    [[nodiscard]] std::string breaches() const;

    // Runs bursts back to back, with no pause between them, for the benchmark.
    void flat_out() { flat_out_ = true; }

  private:
    void run(common::Board &board, common::RtlOptions settings);
    template <class Top> void serve(common::Board &board, common::RtlOptions settings, Adc &adc);

    std::atomic<std::int64_t> started_ns_;
    std::atomic<bool> done_ = false, flat_out_ = false, configured_ = false;
    std::atomic<std::uint64_t> bursts_ = 0; // whose words are in memory
    std::atomic<std::uint64_t> clocks_ = 0, conversions_ = 0;
    mutable std::mutex mutex_;
    std::string breaches_;
    std::thread thread_;
};

} // namespace rtl

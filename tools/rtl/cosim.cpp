// SPDX-License-Identifier: MIT
#include "cosim.h"

#include "Vadc50.h"
#include "adc_bench.h"

#include <algorithm>
#include <cmath>

namespace rtl {

namespace {

constexpr unsigned battery_channel = 0; // the block's default BATTERY_CHANNEL
constexpr std::int64_t clock_hz = 50'000'000;
constexpr unsigned burst = 1024; // clocks

} // namespace

unsigned code_for(double volts) {
    double code = std::round((volts - 0.4) / 3.0 * 4095.0);
    return static_cast<unsigned>(std::clamp(code, 0.0, 4095.0));
}

double discharging_volts(double t) {
    auto second = static_cast<unsigned>(std::max(0.0, t + 0.5));
    return (common::discharged(second) / 4095.0 * 3.0) + 0.4;
}

unsigned other_input(unsigned channel) {
    return 4000 + (10 * channel); // above the discharging battery, which starts at 3900
}

Cosim::Cosim(common::Board &board, common::RtlOptions settings, common::Failure &failure)
    : started_ns_(common::nanoseconds(common::Clock::now())) {
    thread_ = std::thread([this, &board, settings, &failure] {
        try {
            run(board, settings);
        } catch (const std::exception &e) {
            failure.fail(std::string("the FPGA design's co-simulation: ") + e.what());
        }
    });
}

Cosim::~Cosim() {
    done_ = true;
    thread_.join();
}

std::string Cosim::breaches() const {
    std::lock_guard lock(mutex_);
    return breaches_;
}

void Cosim::run(common::Board &board, common::RtlOptions settings) {
    Adc adc;
    for (unsigned c = 0; c < 8; ++c)
        adc.set_code(c, other_input(c));
    Bench<Vadc50> bench(adc, clock_hz);
    std::uint32_t in_memory = 0;
    board.set_reading(in_memory);
    auto next = common::Clock::now();
    while (!done_) {
        double t = common::seconds(common::Clock::now() - started());
        adc.set_code(battery_channel, code_for(settings.volts.value_or(discharging_volts(t))));
        bench.hold_reset(settings.fpga_reset);
        bench.clocks(burst);
        bench.forget_seen();
        std::uint32_t word0 = bench.read(0);
        if (word0 != in_memory)
            board.set_reading(in_memory = word0);
        clocks_ += burst + 1;
        conversions_ = adc.conversions(battery_channel);
        if (!adc.breaches().empty()) {
            std::lock_guard lock(mutex_);
            breaches_ = adc.breaches();
        }
        // A burst a millisecond; one that ran late is not made up for.
        next = std::max(next + std::chrono::milliseconds(1), common::Clock::now());
        if (!flat_out_)
            std::this_thread::sleep_until(next);
    }
}

} // namespace rtl

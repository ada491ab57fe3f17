// SPDX-License-Identifier: MIT
#include "cosim.h"

#include "Vadc50.h"
#include "Vadc50wake.h"
#include "adc_bench.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace rtl {

namespace {

constexpr unsigned battery_channel = 0; // the block's default BATTERY_CHANNEL
constexpr std::int64_t clock_hz = 50'000'000;

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
        done_ = true; // ended: no command waits for its words
    });
}

Cosim::~Cosim() {
    done_ = true;
    thread_.join();
}

void Cosim::command_starts() {
    started_ns_ = common::nanoseconds(common::Clock::now());
    configured_ = true;
    // The burst under way may have begun before: the one after it began after.
    const std::uint64_t from = bursts_;
    while (bursts_ < from + 2 && !done_)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

std::string Cosim::breaches() const {
    std::lock_guard lock(mutex_);
    return breaches_;
}

void Cosim::run(common::Board &board, common::RtlOptions settings) {
    Adc adc;
    for (unsigned c = 0; c < 8; ++c)
        adc.set_code(c, other_input(c));
    switch (settings.converter) {
    case common::Converter::working:
        serve<Vadc50>(board, settings, adc);
        break;
    case common::Converter::sdo_low:
    case common::Converter::sdo_high:
        adc.stick_sdo(settings.converter == common::Converter::sdo_high);
        serve<Vadc50>(board, settings, adc);
        break;
    case common::Converter::asleep:
        // The design with its wait for the reference, loaded as the command starts: until
        // then the FPGA is not configured, and its block does not run.
        while (!configured_ && !done_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        adc.configured_with_pins_high();
        serve<Vadc50wake>(board, settings, adc);
        break;
    }
}

template <class Top>
void Cosim::serve(common::Board &board, common::RtlOptions settings, Adc &adc) {
    // Configuration leaves the block as a reset would, with no reset; the others start
    // from one, as the boards' designs always have.
    const auto start = settings.converter == common::Converter::asleep
                           ? Bench<Top>::Start::configured
                           : Bench<Top>::Start::reset;
    Bench<Top> bench(adc, clock_hz, start);
    std::vector<unsigned> addresses(common::block_words);
    std::iota(addresses.begin(), addresses.end(), 0U);
    std::vector<std::uint32_t> in_memory(common::block_words, 0);
    board.set_words(in_memory);
    auto next = common::Clock::now();
    while (!done_) {
        double t = common::seconds(common::Clock::now() - started());
        adc.set_code(battery_channel, code_for(settings.volts.value_or(discharging_volts(t))));
        bench.hold_reset(settings.fpga_reset);
        bench.clocks(burst_clocks);
        bench.forget_seen();
        std::vector<std::uint32_t> words = bench.read_each(addresses);
        if (words != in_memory)
            board.set_words(in_memory = std::move(words));
        ++bursts_;
        clocks_ += burst_clocks + common::block_words;
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

// SPDX-License-Identifier: MIT
// The block under Verilator against the converter model, stepped at both edges of the clock
// in picoseconds, and a small Avalon-MM master: reads that take their answer at latency 1,
// writes, and a record of every change seen in word 0.
//
// At each edge the block takes SDO as the model says the FPGA's input has it at that
// instant, then the model is stepped with the pins as the edge leaves them.
#pragma once

#include "adc_model.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>
#include <verilated.h>

template <class Top> class Bench {
  public:
    enum class Start : std::uint8_t { reset, configured };
    // The block from a two-clock reset, or as configuration leaves it, with no reset.
    Bench(Adc &adc, std::int64_t clock_hz, Start start = Start::reset)
        : adc_(adc), period_((1'000'000'000'000 + (clock_hz / 2)) / clock_hz) {
        top_->clk = 0;
        top_->eval();
        if (start == Start::reset)
            reset(2);
    }
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;
    Bench(Bench &&) = delete;
    Bench &operator=(Bench &&) = delete;
    ~Bench() { top_->final(); }

    [[nodiscard]] std::int64_t now() const { return now_; } // ps, the last rising edge
    [[nodiscard]] std::int64_t period() const { return period_; }

    // Clocks go by while word 0 is read on each, as the tool's poller would.
    void clocks(std::int64_t n) {
        for (; n > 0; --n)
            read(0);
    }
    void run_for(std::chrono::nanoseconds d) { clocks(d.count() * 1000 / period_); }
    void run_to_convst() {
        while (top_->adc_convst != 0)
            read(0);
        while (top_->adc_convst == 0)
            read(0);
    }
    void reset(unsigned n) {
        hold_reset(true);
        clocks(n);
        hold_reset(false);
    }
    void hold_reset(bool held) { top_->reset = held ? 1 : 0; }

    // Reads back to back, one a clock; each answer is taken just after the edge that
    // sampled its read.
    std::vector<std::uint32_t> read_each(const std::vector<unsigned> &addresses) {
        std::vector<std::uint32_t> answers;
        for (unsigned address : addresses) {
            top_->avs_address = address & 15U;
            top_->avs_read = 1;
            tick();
            answers.push_back(top_->avs_readdata);
            if (address == 0 && (seen_.empty() || seen_.back() != answers.back()))
                seen_.push_back(answers.back());
        }
        top_->avs_read = 0;
        return answers;
    }
    std::uint32_t read(unsigned address) { return read_each({address}).front(); }

    void write(unsigned address, std::uint32_t data) {
        top_->avs_address = address & 15U;
        top_->avs_writedata = data;
        top_->avs_write = 1;
        tick();
        top_->avs_write = 0;
    }

    // Word 0's successive values, from the last forget_seen() or the start.
    [[nodiscard]] const std::vector<std::uint32_t> &seen() const { return seen_; }
    void forget_seen() { seen_.clear(); }

    [[nodiscard]] unsigned pins() const {
        return (top_->adc_convst != 0 ? 4U : 0U) | (top_->adc_sck != 0 ? 2U : 0U) |
               (top_->adc_sdi != 0 ? 1U : 0U);
    }

  private:
    // A rising edge a period after the last, then the falling edge half a period later.
    void tick() {
        now_ += period_;
        edge(now_, true);
        edge(now_ + (period_ / 2), false);
    }
    void edge(std::int64_t t, bool rising) {
        top_->adc_sdo = adc_.sdo(t) ? 1 : 0;
        top_->clk = rising ? 1 : 0;
        top_->eval();
        adc_.step(t, top_->adc_convst != 0, top_->adc_sck != 0, top_->adc_sdi != 0);
    }

    Adc &adc_;
    std::int64_t period_, now_ = 0;
    std::unique_ptr<VerilatedContext> context_ = std::make_unique<VerilatedContext>();
    std::unique_ptr<Top> top_ = std::make_unique<Top>(context_.get());
    std::vector<std::uint32_t> seen_;
};

// SPDX-License-Identifier: MIT
// The block under Verilator against the converter model, stepped at both edges of the clock
// in picoseconds, and a small Avalon-MM master: reads that take their answer at latency 1,
// writes, and a record of every change seen in word 0. Between a case's own accesses the bus
// is idle but for a read of word 0 now and then, spaced at random: a few clocks apart or
// many frames apart, as the tool and other pollers read it, never on every clock.
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

    // Clocks go by with the bus idle but for a read of word 0 now and then, at random.
    void clocks(std::int64_t n) {
        for (; n > 0; --n) {
            if (--until_read_ > 0) {
                tick();
                continue;
            }
            read(0);
            until_read_ = gap();
        }
    }
    // Clocks go by with word 0 read on each, as a poller that never lets go of the bus.
    void poll(std::int64_t n) {
        for (; n > 0; --n)
            read(0);
    }
    // Clocks go by with the bus idle: no access at all.
    void idle(std::int64_t n) {
        for (; n > 0; --n)
            tick();
    }
    void run_for(std::chrono::nanoseconds d) { clocks(d.count() * 1000 / period_); }
    void run_to_convst() {
        while (top_->adc_convst != 0)
            clocks(1);
        while (top_->adc_convst == 0)
            clocks(1);
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

    // A number drawn at random, the same sequence for every bench (xorshift64).
    std::uint64_t random() {
        random_ ^= random_ << 13U;
        random_ ^= random_ >> 7U;
        random_ ^= random_ << 17U;
        return random_;
    }

  private:
    // Clocks to the next background read: 1 to 2^k clocks, k drawn from 0 to 13, so most
    // reads come a few clocks apart and some up to 8192 clocks (tens of frames) apart.
    std::int64_t gap() {
        const auto k = random() % 14U;
        return 1 + static_cast<std::int64_t>(random() % (std::uint64_t{1} << k));
    }
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
    std::uint64_t random_ = 0x2545F4914F6CDD1DULL;
    std::int64_t until_read_ = 1;
    std::unique_ptr<VerilatedContext> context_ = std::make_unique<VerilatedContext>();
    std::unique_ptr<Top> top_ = std::make_unique<Top>(context_.get());
    std::vector<std::uint32_t> seen_;
};

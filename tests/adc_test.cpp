// SPDX-License-Identifier: MIT
// The FPGA block against the converter model, at three clock rates and battery channels.
// The model fails a case on any breach of the converter's timing (TearDown); the cases
// check what word 0 and the other words show.
#include "Vadc100.h"
#include "Vadc25.h"
#include "Vadc50.h"
#include "adc_bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <set>

using std::chrono::microseconds;
using words = std::vector<std::uint32_t>;

// A verilated design, its clock and its battery channel, as tests/fpga.cmake builds it,
// its frame's length in clocks, and the bound from a change at the battery input to word 0
// that docs/fpga-interface.md states for it, in ps.
template <class TopT, std::int64_t Hz, unsigned Battery, unsigned Frame, std::int64_t LatencyPs>
struct Design {
    using Top = TopT;
    static constexpr std::int64_t clock_hz = Hz;
    static constexpr unsigned battery = Battery, frame_clocks = Frame;
    static constexpr std::int64_t latency_bound = LatencyPs;
};
struct At50MHz : Design<Vadc50, 50'000'000, 0, 118, 7'000'000> {};
struct At100MHz : Design<Vadc100, 100'000'000, 6, 234, 7'000'000> {};
struct At25MHz : Design<Vadc25, 25'000'000, 3, 72, 8'500'000> {}; // CONVST's longest, 40 ns

template <class T> class AdcBlock : public testing::Test {
  protected:
    AdcBlock() {
        for (unsigned c = 0; c < 8; ++c)
            adc.set_code(c, other(c));
    }
    void TearDown() override { EXPECT_EQ(adc.breaches(), ""); }
    static unsigned other(unsigned c) { return 100 + (10 * c); } // no battery code below
    static words all_addresses() {
        words a(16);
        std::iota(a.begin(), a.end(), 0U);
        return a;
    }
    static constexpr unsigned battery = T::battery;
    Adc adc;
    Bench<typename T::Top> bench{adc, T::clock_hz};
};
using Clocks = testing::Types<At50MHz, At100MHz, At25MHz>;
TYPED_TEST_SUITE(AdcBlock, Clocks);

TYPED_TEST(AdcBlock, WordZeroShowsTheBatteryChannelOnly) {
    words codes = {0, 1, 2048, 4095};
    for (unsigned k = 0; k <= 15; ++k)
        codes.push_back(273 * k); // a ramp to full scale
    words expected = {0};
    for (auto code : codes) {
        this->adc.set_code(this->battery, code);
        this->bench.run_for(microseconds(10));
        EXPECT_EQ(this->bench.read(0), code);
        if (expected.back() != code)
            expected.push_back(code);
    }
    EXPECT_EQ(this->bench.seen(), expected); // no other channel, no unrequested result
    this->bench.run_for(microseconds(50));   // each input has been read in that time
    for (unsigned c = 0; c < 8; ++c)
        EXPECT_EQ(this->bench.read(2 + c), c == this->battery ? 4095 : this->other(c));
}

TYPED_TEST(AdcBlock, WordZeroReadsZeroUntilTheFirstRealResult) {
    this->adc.set_code(this->battery, 4095);
    this->bench.run_for(microseconds(20));
    EXPECT_EQ(this->bench.seen(), (words{0, 4095}));
}

TYPED_TEST(AdcBlock, StepReachesWordZeroWithinTheBound) {
    std::uint32_t code = 1000;
    this->adc.set_code(this->battery, code);
    this->bench.run_for(microseconds(10));
    std::int64_t worst = 0;
    const std::int64_t bound = TypeParam::latency_bound;
    for (unsigned lag = 0; lag < 2 * TypeParam::frame_clocks; ++lag) { // every phase
        this->bench.clocks(lag);
        code = 4000 - code;
        this->adc.set_code(this->battery, code);
        const auto start = this->bench.now();
        while (this->bench.read(0) != code && this->bench.now() - start < 4 * bound) {
        }
        worst = std::max(worst, this->bench.now() - start);
    }
    std::printf("[ measured ] slowest step to word 0: %.2f us\n", double(worst) / 1e6);
    EXPECT_LE(worst, bound);
}

TYPED_TEST(AdcBlock, ResetInAnyPhaseOfAFrame) {
    std::set<std::string> phases;
    for (unsigned lag = 0; lag < TypeParam::frame_clocks; ++lag) {
        this->adc.set_code(this->battery, 1000);
        this->bench.run_for(microseconds(10));
        this->bench.run_to_convst();
        this->bench.clocks(lag);
        const auto phase = this->adc.phase();
        phases.insert(phase);
        SCOPED_TRACE("a reset " + phase + ", " + std::to_string(lag) + " clocks after CONVST");
        this->adc.set_code(this->battery, 3000); // 1000 after the reset would be stale
        this->bench.forget_seen();
        this->bench.reset(2);
        this->bench.run_for(microseconds(10));
        ASSERT_EQ(this->bench.seen(), (words{0, 3000}));
        ASSERT_EQ(this->adc.breaches(), "");
    }
    EXPECT_EQ(phases, (std::set<std::string>{"during a conversion", "mid configuration word",
                                             "mid read-out", "between frames"}));
}

TYPED_TEST(AdcBlock, EveryAddressAnswersAtLatencyOneBackToBack) {
    this->adc.set_code(this->battery, 1000);
    this->bench.run_for(microseconds(50));
    const std::uint32_t first_count = this->bench.read(1);
    std::uint32_t count = first_count;
    for (unsigned round = 0; round < 300; ++round) {
        if (round % 40 == 0)
            this->adc.set_code(this->battery, round % 80 == 0 ? 3000 : 1000);
        auto w = this->bench.read_each(this->all_addresses());
        ASSERT_TRUE(w[0] == 1000 || w[0] == 3000) << w[0];
        ASSERT_GE(w[1], count);
        count = w[1];
        for (unsigned c = 0; c < 8; ++c)
            ASSERT_TRUE(c == this->battery ? w[2 + c] == 1000 || w[2 + c] == 3000
                                           : w[2 + c] == this->other(c))
                << "word " << 2 + c << " read " << w[2 + c];
        ASSERT_EQ(words(w.begin() + 10, w.end()), (words{0xFF, TypeParam::clock_hz, this->battery,
                                                         TypeParam::frame_clocks, 0, 0x42414401}));
    }
    EXPECT_GT(count, first_count + 10); // the words changed while they were read
}

TYPED_TEST(AdcBlock, WritesChangeNothing) {
    Adc quiet_adc;
    for (unsigned c = 0; c < 8; ++c)
        quiet_adc.set_code(c, this->other(c));
    Bench<typename TypeParam::Top> quiet{quiet_adc, TypeParam::clock_hz};
    const std::uint32_t data[] = {0xFFFFFFFF, 0, 0xA5A5A5A5, 0xFFF};
    for (unsigned n = 0; n < 20 * TypeParam::frame_clocks; ++n) {
        this->bench.write(n % 16, data[(n / 16) % 4]);
        quiet.clocks(1);
        ASSERT_EQ(this->bench.pins(), quiet.pins()) << "at clock " << n;
    }
    EXPECT_EQ(this->bench.read_each(this->all_addresses()), quiet.read_each(this->all_addresses()));
    EXPECT_EQ(quiet_adc.breaches(), "");
}

TYPED_TEST(AdcBlock, LongRunWithoutBreach) {
    words expected = {0};
    for (unsigned step = 0; step < 100; ++step) {
        for (unsigned c = 0; c < 8; ++c) {
            unsigned code = (41 * step + 512 * c) % 4096;
            code += code == Adc::unrequested ? 1 : 0;
            this->adc.set_code(c, code);
            if (c == this->battery && expected.back() != code)
                expected.push_back(code);
        }
        this->bench.run_for(microseconds(30));
    }
    EXPECT_EQ(this->bench.seen(), expected);
    const auto frames =
        this->bench.now() / (TypeParam::frame_clocks * 1'000'000'000'000 / TypeParam::clock_hz);
    const auto count = std::int64_t{this->bench.read(1)};
    EXPECT_LE(count, frames); // every frame after the first after reset publishes
    EXPECT_GE(count, frames - 3);
}

// SPDX-License-Identifier: MIT
// The FPGA block against the converter model, at the lowest, the highest and two other
// clocks, and in its battery-only mode; then the model itself, driven directly with wrong
// timing, so that every breach it can report is seen to fire. The model fails a block's case
// on any breach of the converter's datasheet, and the case on any of the block's own margins
// at the pins (TearDown); the cases check what the words show.
#include "Vadc100.h"
#include "Vadc200.h"
#include "Vadc50.h"
#include "Vadc50only.h"
#include "Vadc50wake.h"
#include "Vadc73.h"
#include "adc_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <numeric>
#include <ostream>
#include <set>

using std::chrono::microseconds;
using words = std::vector<std::uint32_t>;

// Clock, battery channel, ACQUISITION_NS, BATTERY_ONLY, frame, latency bound, SDO margins.
struct At50MHz : Design<Vadc50, 50'000'000, 0, 6000, false, 395, 18'000'000, 9'200, 14'000> {};
struct At100MHz : Design<Vadc100, 100'000'000, 6, 6000, false, 788, 18'000'000, 9'200, 14'000> {};
struct At200MHz : Design<Vadc200, 200'000'000, 5, 6000, false, 1574, 18'000'000, 11'700, 11'500> {};
// An odd clock, whose period is no whole number of ns, at the shortest acquisition.
struct At73MHz : Design<Vadc73, 73'000'000, 3, 240, false, 169, 7'000'000, 20'297, 17'699> {};
struct BatteryOnly : Design<Vadc50only, 50'000'000, 2, 6000, true, 395, 10'500'000, 9'200, 14'000> {
};

template <class T> class AdcBlock : public testing::Test {
  protected:
    AdcBlock() {
        for (unsigned c = 0; c < 8; ++c)
            adc.set_code(c, other(c));
    }
    void TearDown() override {
        EXPECT_EQ(adc.breaches(), "");
        EXPECT_EQ(margin_failures(adc.seen(), T::acquisition_ns, bench.period()), "");
    }
    static unsigned other(unsigned c) { return 100 + (10 * c); } // no battery code below
    // What word 2 + c shows once every input has been converted.
    static unsigned shown(unsigned c, unsigned battery_code) {
        if (c == T::battery)
            return battery_code;
        return T::battery_only ? 0 : other(c);
    }
    static unsigned fresh() { return T::battery_only ? 1U << T::battery : 0xFFU; }
    static words all_addresses() {
        words a(16);
        std::iota(a.begin(), a.end(), 0U);
        return a;
    }
    void frames(std::int64_t n) { bench.clocks(n * T::frame_clocks); }
    static constexpr unsigned battery = T::battery;
    Adc adc;
    Bench<typename T::Top> bench{adc, T::clock_hz};
};
using Designs = testing::Types<At50MHz, At100MHz, At200MHz, At73MHz, BatteryOnly>;
TYPED_TEST_SUITE(AdcBlock, Designs);

TYPED_TEST(AdcBlock, WordZeroShowsTheBatteryChannelOnly) {
    words codes = {0, 1, 2048, 4095};
    for (unsigned k = 0; k <= 15; ++k)
        codes.push_back(273 * k); // a ramp to full scale
    words expected = {0};
    for (auto code : codes) {
        this->adc.set_code(this->battery, code);
        this->frames(4);
        EXPECT_EQ(this->bench.read(0), code);
        if (expected.back() != code)
            expected.push_back(code);
    }
    EXPECT_EQ(this->bench.seen(), expected); // no other channel, no unrequested result
    this->frames(18);                        // each input has been read in that time
    for (unsigned c = 0; c < 8; ++c)
        EXPECT_EQ(this->bench.read(2 + c), this->shown(c, 4095)) << "input " << c;
    EXPECT_EQ(this->bench.read(10), this->fresh());
}

TYPED_TEST(AdcBlock, WordZeroReadsZeroUntilTheFirstRealResult) {
    this->adc.set_code(this->battery, 4095);
    this->bench.poll(6 * TypeParam::frame_clocks);
    EXPECT_EQ(this->bench.seen(), (words{0, 4095}));
}

// As a configured FPGA whose reset never comes: the converter may be converting, the pins
// are idle until a whole tCONV has gone, and every word but the constants reads 0 until
// the first real result.
TYPED_TEST(AdcBlock, PowerUpWithoutResetBehavesAsAfterReset) {
    Adc cold_adc;
    cold_adc.converting_until(1'600'000);
    for (unsigned c = 0; c < 8; ++c)
        cold_adc.set_code(c, c == this->battery ? 4000 : this->other(c));
    Bench<typename TypeParam::Top> cold{cold_adc, TypeParam::clock_hz,
                                        Bench<typename TypeParam::Top>::Start::configured};
    const auto first = cold.read_each(this->all_addresses());
    EXPECT_EQ(first, (words{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, TypeParam::clock_hz, this->battery,
                            TypeParam::frame_clocks, TypeParam::settings, 0x42414401}));
    while (cold.pins() == 0 && cold.now() < 20'000'000)
        cold.clocks(1);
    EXPECT_GE(cold_adc.seen().first_convst, 1'600'000);
    EXPECT_EQ(cold.pins(), 4U) << "CONVST first";
    cold.poll(6 * TypeParam::frame_clocks);
    EXPECT_EQ(cold.seen(), (words{0, 4000}));
    EXPECT_EQ(cold_adc.breaches(), "");
    EXPECT_EQ(margin_failures(cold_adc.seen(), TypeParam::acquisition_ns, cold.period()), "");
}

TYPED_TEST(AdcBlock, StepReachesWordZeroWithinTheBound) {
    std::uint32_t code = 1000;
    this->adc.set_code(this->battery, code);
    this->frames(4);
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

// As the tool reads: one read now and then, N frames apart at any phase of the frame, the
// bus idle between. The battery's code changes at random moments; each read must show a code
// that the input held at some moment within the documented bound before the read.
TYPED_TEST(AdcBlock, ReadsFramesApartSeeEachNewCodeWithinTheBound) {
    struct Held {
        std::int64_t from; // ps
        std::uint32_t code;
    };
    std::uint32_t code = 1000;
    this->adc.set_code(this->battery, code);
    this->frames(6);
    std::vector<Held> held = {{0, code}};
    const auto frame = std::uint64_t{TypeParam::frame_clocks};
    unsigned changes = 0;
    for (const unsigned apart : {1U, 5U, 40U}) {
        for (unsigned n = 0; n < (apart > 5 ? 12U : 30U); ++n) {
            const auto wait = (apart * frame / 2) + (this->bench.random() % (apart * frame));
            const auto change_at = this->bench.random() % wait;
            this->bench.idle(static_cast<std::int64_t>(change_at));
            if (this->bench.random() % 2 == 0) {
                code = 200 + ((++changes * 397) % 3800);
                this->adc.set_code(this->battery, code);
                held.push_back({this->bench.now(), code});
            }
            this->bench.idle(static_cast<std::int64_t>(wait - change_at));
            const auto t = this->bench.now() + this->bench.period(); // the edge that reads
            const auto got = this->bench.read(0);
            // The codes held at some moment from t - bound to t.
            std::set<std::uint32_t> allowed;
            for (std::size_t i = 0; i < held.size(); ++i)
                if (i + 1 == held.size() || held[i + 1].from > t - TypeParam::latency_bound)
                    allowed.insert(held[i].code);
            ASSERT_EQ(allowed.count(got), 1U)
                << "read " << n << ", " << apart << " frames apart, at " << t / 1000
                << " ns: " << got << ", the input holding " << code;
        }
    }
    EXPECT_GT(changes, 20U);
}

TYPED_TEST(AdcBlock, ResetInAnyPhaseOfAFrame) {
    std::set<std::string> phases;
    // Every clock of a frame, or about 400 phases spread over it at the longer frames.
    const unsigned stride = std::max(1U, TypeParam::frame_clocks / 400);
    for (unsigned lag = 0; lag < TypeParam::frame_clocks; lag += stride) {
        this->adc.set_code(this->battery, 1000);
        this->frames(4);
        this->bench.run_to_convst();
        this->bench.clocks(lag);
        const auto phase = this->adc.phase();
        phases.insert(phase);
        SCOPED_TRACE("a reset " + phase + ", " + std::to_string(lag) + " clocks after CONVST");
        this->adc.set_code(this->battery, 3000); // 1000 after the reset would be stale
        this->bench.forget_seen();
        this->bench.reset(2);
        this->bench.poll(4 * TypeParam::frame_clocks);
        ASSERT_EQ(this->bench.seen(), (words{0, 3000}));
        ASSERT_EQ(this->adc.breaches(), "");
    }
    EXPECT_EQ(phases, (std::set<std::string>{"during a conversion", "mid configuration word",
                                             "mid read-out", "between frames"}));
}

TYPED_TEST(AdcBlock, EveryAddressAnswersAtLatencyOneBackToBack) {
    this->adc.set_code(this->battery, 1000);
    this->frames(20);
    const std::uint32_t first_count = this->bench.read(1);
    std::uint32_t count = first_count;
    for (unsigned round = 0; round < 300 * TypeParam::frame_clocks / 118; ++round) {
        if (round % 40 == 0)
            this->adc.set_code(this->battery, round % 80 == 0 ? 3000 : 1000);
        auto w = this->bench.read_each(this->all_addresses());
        ASSERT_TRUE(w[0] == 1000 || w[0] == 3000) << w[0];
        ASSERT_GE(w[1], count);
        count = w[1];
        for (unsigned c = 0; c < 8; ++c)
            ASSERT_TRUE(c == this->battery ? w[2 + c] == 1000 || w[2 + c] == 3000
                                           : w[2 + c] == this->shown(c, 0))
                << "word " << 2 + c << " read " << w[2 + c];
        ASSERT_EQ(words(w.begin() + 10, w.end()),
                  (words{this->fresh(), TypeParam::clock_hz, this->battery, TypeParam::frame_clocks,
                         TypeParam::settings, 0x42414401}));
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
        this->frames(4);
        ASSERT_EQ(this->bench.read(0), expected.back()) << "step " << step;
    }
    // The reads at random between saw only those codes, in their order.
    const auto &seen = this->bench.seen();
    auto at = expected.begin();
    for (auto value : seen) {
        at = std::find(at, expected.end(), value);
        ASSERT_NE(at, expected.end()) << value << " out of turn";
    }
    const auto frames = this->bench.now() / (TypeParam::frame_clocks * this->bench.period());
    const auto count = std::int64_t{this->bench.read(1)};
    EXPECT_LE(count, frames); // every frame after the first after reset publishes
    EXPECT_GE(count, frames - 3);
    // Every conversion the block asked for was of the battery's input, or in turn of each.
    const auto asked = this->adc.conversions(this->battery);
    if (TypeParam::battery_only)
        EXPECT_EQ(asked, this->adc.conversions() - 1); // all but the first, unrequested
    else
        EXPECT_NEAR(double(asked) / double(this->adc.conversions()), 9.0 / 16.0, 0.02);
}

// SDO's window narrowed by the margins the docs state, less 0.1 ns: the block still reads
// every code, so it takes each bit at least that far inside the window the pins allow.
TYPED_TEST(AdcBlock, SdoTakenInsideItsWindowWithMargin) {
    Adc::Window narrow;
    narrow.valid += TypeParam::setup_margin - 100;
    narrow.hold -= TypeParam::hold_margin - 100;
    this->adc.set_window(narrow);
    this->frames(2);
    EXPECT_EQ(battery_readings(this->bench, this->adc, this->battery, TypeParam::frame_clocks), "");
    this->frames(18);
    for (unsigned c = 0; c < 8; ++c)
        EXPECT_EQ(this->bench.read(2 + c), this->shown(c, 0xAAA)) << "input " << c;
}

// The converter as the FPGA's configuration leaves it, asleep, at the default wait for its
// reference (0.4 s): after the configuration and after a reset, no wrong code ever reaches
// word 0, the first code comes once the reference is up, and it is the battery's.
TEST(AdcAsleep, NoWrongCodeReachesWordZero) {
    using Top = Vadc50wake;
    for (const auto start : {Bench<Top>::Start::configured, Bench<Top>::Start::reset}) {
        Adc adc;
        adc.configured_with_pins_high();
        for (unsigned c = 0; c < 8; ++c)
            adc.set_code(c, c == 0 ? 3000 : 100 + c);
        Bench<Top> bench{adc, 50'000'000, start};
        std::int64_t first_code = 0;
        while (bench.now() < 500'000'000'000 && first_code == 0) {
            bench.clocks(1000);
            if (bench.read(0) != 0)
                first_code = bench.now();
        }
        bench.clocks(100'000);
        EXPECT_EQ(bench.seen(), (words{0, 3000}));
        EXPECT_FALSE(adc.asleep());
        EXPECT_GE(first_code, adc.awake_at());
        EXPECT_LE(first_code, 410'000'000'000); // 0.4 s and some frames
        EXPECT_EQ(bench.read(14), 0x19001770U); // WAKE_MS 400, ACQUISITION_NS 6000
        EXPECT_EQ(adc.breaches(), "");
        EXPECT_EQ(margin_failures(adc.seen(), 6000, bench.period()), "");
    }
}

namespace {

// The model itself, driven with frames whose timing is set here, one wrong thing a row: it
// must name that breach. A model that missed one would pass a block that breaks it.
struct Frame {
    std::int64_t convst_high = 30'000;  // ps
    std::int64_t first_sck = 1'700'000; // from CONVST's rise to SCK's first rise
    std::int64_t sck_high = 20'000, sck_low = 20'000;
    std::int64_t acquisition = 300'000; // from the 6th SCK fall to the next CONVST
    std::int64_t sdi_delay = 0;         // from SCK's fall to SDI's change
    unsigned cycles = 12;               // SCK cycles a frame
    unsigned word = 0b100010;           // input 0, single-ended, unipolar, no sleep
};

// Three frames with this timing; the first CONVST at 1 us. Each pin's changes are made in
// time order, those at the same instant in one step.
void drive(Adc &adc, const Frame &f) {
    struct Change {
        std::int64_t t;
        unsigned pin; // CONVST, SCK, SDI
        bool level;
    };
    std::vector<Change> changes;
    std::int64_t t = 1'000'000;
    for (unsigned n = 0; n < 3; ++n) {
        changes.push_back({t, 0, true});
        changes.push_back({t + f.convst_high, 0, false});
        std::int64_t edge = t + f.first_sck - f.sck_low; // where SCK last fell
        std::int64_t sixth_fall = 0;
        for (unsigned k = 0; k < f.cycles; ++k) {
            const bool bit = k < 6 && ((f.word >> (5 - k)) & 1U) != 0;
            changes.push_back({edge + f.sdi_delay, 2, bit});
            changes.push_back({edge += f.sck_low, 1, true});
            changes.push_back({edge += f.sck_high, 1, false});
            if (k == 5)
                sixth_fall = edge;
        }
        t = std::max(sixth_fall + f.acquisition, edge + 1000);
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change &a, const Change &b) { return a.t < b.t; });
    std::array<bool, 3> pins{};
    for (std::size_t i = 0; i < changes.size(); ++i) {
        pins.at(changes[i].pin) = changes[i].level;
        if (i + 1 == changes.size() || changes[i + 1].t != changes[i].t)
            adc.step(changes[i].t, pins[0], pins[1], pins[2]);
    }
}

struct Breach {
    const char *name;
    std::function<void(Frame &)> wrong;
};

// gtest names a row by its breach, not by its bytes.
void PrintTo(const Breach &row, std::ostream *os) {
    *os << row.name;
}

class ModelBreach : public testing::TestWithParam<Breach> {};

TEST_P(ModelBreach, IsReportedByName) {
    Adc adc;
    Frame frame;
    GetParam().wrong(frame);
    drive(adc, frame);
    EXPECT_NE(adc.breaches().find(GetParam().name), std::string::npos)
        << "expected \"" << GetParam().name << "\", got \"" << adc.breaches() << '"';
}

INSTANTIATE_TEST_SUITE_P(
    EveryOne, ModelBreach,
    testing::Values(
        Breach{"conversion restarted before its end", [](Frame &f) { f.first_sck = 300'000; }},
        Breach{"CONVST high for less than 20 ns", [](Frame &f) { f.convst_high = 19'900; }},
        Breach{"CONVST fell more than 40 ns into a conversion",
               [](Frame &f) { f.convst_high = 40'100; }},
        Breach{"CONVST high at the end of a conversion (nap)",
               [](Frame &f) { f.convst_high = 1'650'000; }},
        Breach{"SCK during a conversion", [](Frame &f) { f.first_sck = 1'599'000; }},
        Breach{"SCK high for less than 12.5 ns", [](Frame &f) { f.sck_high = 12'400; }},
        Breach{"SCK low for less than 12.5 ns", [](Frame &f) { f.sck_low = 12'400; }},
        Breach{"SDI moved while SCK was high or as it rose",
               [](Frame &f) { f.sdi_delay = 25'000; }},
        Breach{"SDI moved while SCK was high or as it rose",
               [](Frame &f) { f.sdi_delay = 20'000; }},
        // 250 ns from the 6th rise is 230 ns from the 6th fall, which counts when no 7th
        // rise comes.
        Breach{"acquisition shorter than 240 ns",
               [](Frame &f) {
                   f.cycles = 6;
                   f.acquisition = 230'000;
               }},
        // 250 ns from the 6th fall is 230 ns from the 7th rise, which counts; the last fall
        // 40 ns before CONVST.
        Breach{"acquisition shorter than 240 ns",
               [](Frame &f) {
                   f.sck_high = 15'000;
                   f.acquisition = 250'000;
               }},
        // 15 ns from the 12th fall, 565 ns from the 7th rise.
        Breach{"CONVST rose less than 20 ns after the last SCK fall",
               [](Frame &f) {
                   f.sck_high = f.sck_low = 50'000;
                   f.acquisition = 615'000;
               }},
        Breach{"configuration word with UNI = 0", [](Frame &f) { f.word = 0b100000; }},
        Breach{"configuration word with SLP = 1", [](Frame &f) { f.word = 0b100011; }}),
    [](const testing::TestParamInfo<Breach> &row) {
        std::string name = std::to_string(row.index) + "_";
        for (const char *c = row.param.name; *c != '\0'; ++c)
            name += std::isalnum(static_cast<unsigned char>(*c)) != 0 ? *c : '_';
        return name;
    });

TEST(ModelBreach, NoneForALegalFrame) {
    Adc adc;
    drive(adc, Frame{});
    EXPECT_EQ(adc.breaches(), "");
}

// SDO as the FPGA's input has it: the old bit until 4 ns after the fall that moves it,
// changing bits until 20.8 ns, then the new bit.
TEST(ModelSdo, HoldsThenChangesThenSettles) {
    Adc adc;
    adc.set_code(0, 0b101010101010);
    drive(adc, Frame{}); // the last frame converts input 0, whose word the one before sent
    // The third frame's conversion is read out by a fourth frame's SCK, 40 ns a phase.
    bool sdi = false;
    std::int64_t now = 100'000'000;
    adc.step(now, true, false, sdi);
    adc.step(now + 30'000, false, false, sdi);
    now += 1'700'000;
    const unsigned word = 0b100010; // input 0, as the frames above ask for it
    sdi = true;
    adc.step(now, false, false, sdi);
    ASSERT_EQ(adc.sdo(now), true) << "the MSB, once the conversion is over";
    unsigned expected_bit = 1;
    for (unsigned k = 1; k < 12; ++k) {
        adc.step(now += 40'000, false, true, sdi);
        sdi = k < 6 && ((word >> (5 - k)) & 1U) != 0;
        adc.step(now += 40'000, false, false, sdi); // a fall: bit k comes
        EXPECT_EQ(adc.sdo(now + 3'900), expected_bit != 0) << "held, bit " << k;
        std::set<bool> undefined;
        for (std::int64_t d = 4'000; d < 20'800; d += 100)
            undefined.insert(adc.sdo(now + d));
        EXPECT_EQ(undefined.size(), 2U) << "changing, bit " << k;
        expected_bit ^= 1U;
        EXPECT_EQ(adc.sdo(now + 20'800), expected_bit != 0) << "valid, bit " << k;
    }
    EXPECT_EQ(adc.breaches(), "");
}

} // namespace

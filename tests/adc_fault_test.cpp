// SPDX-License-Identifier: MIT
// Faults planted in copies of the block (tests/fpga.cmake makes them), each caught by the
// check that exists for it, by name: the cases' checks are seen to fail on a block that is
// wrong in just the way each one guards against. All at 50 MHz with the defaults.
#include "Vadc_acq_short.h"
#include "Vadc_convst20.h"
#include "Vadc_drop_on_read.h"
#include "Vadc_no_init.h"
#include "Vadc_no_wake.h"
#include "Vadc_publish_on_read.h"
#include "Vadc_sdo_at_rise.h"
#include "adc_checks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

constexpr std::int64_t hz = 50'000'000;
constexpr unsigned frame = 395, acquisition_ns = 6000;

testing::AssertionResult names(const std::string &failures, const std::string &name) {
    if (failures.find(name) != std::string::npos) {
        std::printf("[ caught   ] %s\n", failures.c_str());
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "expected \"" << name << "\", got \"" << failures << '"';
}

template <class Top> std::string run(Adc &adc, typename Bench<Top>::Start start) {
    Bench<Top> bench{adc, hz, start};
    adc.set_code(0, 1000);
    const auto readings = battery_readings(bench, adc, 0, frame);
    const auto polled = polled_readings(bench, adc, 0, frame);
    return adc.breaches() + margin_failures(adc.seen(), acquisition_ns, bench.period()) + readings +
           polled;
}

} // namespace

// CONVST high 20 ns: the datasheet's minimum, which the model accepts; the margin does not.
TEST(PlantedFault, ConvstOf20ns) {
    Adc adc;
    EXPECT_TRUE(names(run<Vadc_convst20>(adc, Bench<Vadc_convst20>::Start::reset),
                      "CONVST high for 20.000 ns to 20.000 ns, outside 25 ns to 35 ns"));
}

// SDO taken as SCK rises, 20 ns after the fall: inside the changing bits, so word 0 is wrong.
TEST(PlantedFault, SdoTakenAsSckRises) {
    Adc adc;
    EXPECT_TRUE(
        names(run<Vadc_sdo_at_rise>(adc, Bench<Vadc_sdo_at_rise>::Start::reset), "word 0 read"));
}

// Acquisition an SCK phase short: long enough counted from the 6th fall, not from the 7th
// rise, where the datasheet and the model count it.
TEST(PlantedFault, AcquisitionHalfAnSckPeriodShort) {
    Adc adc;
    EXPECT_TRUE(names(run<Vadc_acq_short>(adc, Bench<Vadc_acq_short>::Start::reset),
                      "acquisition of 6000.000 ns, under ACQUISITION_NS and a clock"));
}

// No initial values, and no reset: CONVST at the first clock, while the part may still be
// converting.
TEST(PlantedFault, NoInitialValuesWithoutReset) {
    Adc adc;
    adc.converting_until(1'600'000);
    EXPECT_TRUE(names(run<Vadc_no_init>(adc, Bench<Vadc_no_init>::Start::configured),
                      "conversion restarted before its end"));
}

// A code published only in a clock with a read on the bus: a poller that reads on every clock
// sees every code, the tool's reads, frames apart, almost none.
TEST(PlantedFault, PublishOnlyWhileAReadIsOnTheBus) {
    Adc adc;
    EXPECT_TRUE(names(run<Vadc_publish_on_read>(adc, Bench<Vadc_publish_on_read>::Start::reset),
                      "word 0 read 0 for 1;"));
}

// A code dropped in a clock with a read on the bus: the tool's reads seldom meet one, a
// poller's always do.
TEST(PlantedFault, DropACodeWhileAReadIsOnTheBus) {
    Adc adc;
    EXPECT_TRUE(names(run<Vadc_drop_on_read>(adc, Bench<Vadc_drop_on_read>::Start::reset),
                      "polled word 0 read"));
}

// No wait for the reference after the word that wakes the converter: the codes converted while
// it charges, which no input has, reach word 0.
TEST(PlantedFault, NoWaitForTheReferenceToWake) {
    Adc adc;
    adc.configured_with_pins_high();
    EXPECT_TRUE(names(run<Vadc_no_wake>(adc, Bench<Vadc_no_wake>::Start::configured),
                      "word 0 read " + std::to_string(Adc::waking) + " for 0;"));
}

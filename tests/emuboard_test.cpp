// SPDX-License-Identifier: MIT
// The board's binary on the emulated board: Debian's ARMv7 kernel with a real /dev/mem, so
// the kernel's own answers stand behind each case. Times come from the guest's clock, from
// the tool's own exec.

#include "chain.h"
#include "lines.h"
#include "machine.h"
#include "timing.h"
#include "words.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <thread>

namespace {

emuboard::Run run_on(const emuboard::Options &options) {
    emuboard::Machine machine(options);
    return machine.wait();
}

double run_time(const emuboard::Run &run) {
    double s = seconds(std::chrono::nanoseconds(run.report.ended_ns - run.report.started_ns));
    measured("start to exit", s);
    return s;
}

TEST(EmulatedBoard, TenReadingsOfTheRegisterOneSecondApart) {
    // Both ends of 32 bits, the top bit alone, and codes wider than 12 bits.
    const std::array<std::uint32_t, 10> readings{0,     4294967295, 2147483648, 4095, 1,
                                                 65536, 3000,       16777216,   255,  1234567890};
    emuboard::Machine machine(emuboard::Options{});
    ASSERT_TRUE(machine.board());
    machine.board()->set_reading(readings[0]);
    std::string expected;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        expected += line(readings[i]);
        // The tool sleeps a second after each line: the next pass must see this write.
        auto deadline = common::Clock::now() + std::chrono::seconds(120);
        while (machine.output().size() < expected.size() && common::Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(machine.output(), expected) << "line " << i + 1;
        if (i + 1 < readings.size())
            machine.board()->set_reading(readings[i + 1]);
    }
    emuboard::Run run = machine.wait();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");

    const auto &at = run.report.lines_ns;
    ASSERT_EQ(at.size(), 10U);
    double first = seconds(std::chrono::nanoseconds(at[0] - run.report.started_ns));
    measured("first line after the start", first);
    EXPECT_LT(first, no_pause);
    for (std::size_t i = 1; i < at.size(); ++i) {
        double gap = seconds(std::chrono::nanoseconds(at[i] - at[i - 1]));
        measured("line " + std::to_string(i + 1) + " after the one before", gap);
        EXPECT_TRUE(gap > shortest_gap && gap < longest_gap)
            << "line " << i + 1 << " came " << gap << " s after the one before";
    }
    double span = seconds(std::chrono::nanoseconds(at[9] - at[0]));
    measured("tenth line after the first", span);
    EXPECT_TRUE(span > 8.5 && span < 10.5) << "nine periods took " << span << " s";
    double tail = seconds(std::chrono::nanoseconds(run.report.ended_ns - at[9]));
    measured("exit after the tenth line", tail);
    EXPECT_TRUE(tail > shortest_gap && tail < longest_gap) << "exit came " << tail << " s after";
}

// The kernel's own refusals end the run at once, with the tool's one line.
void expect_refusal(const emuboard::Options &options, const std::string &line) {
    auto run = run_on(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, line);
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run_time(run), no_pause);
}

TEST(EmulatedBoard, WithoutCapSysRawioTheOpenFails) {
    // /dev/mem is open to all: the kernel's capability check is what refuses.
    emuboard::Options options;
    options.unprivileged = true;
    expect_refusal(options, "Unable to open /dev/mem\n");
}

TEST(EmulatedBoard, TheKernelRefusesToMapSystemRam) {
    emuboard::Options options;
    options.memory = emuboard::Memory::ram;
    expect_refusal(options, "Unable to map /dev/mem\n");
}

// The whole chain on a real ARM kernel: the battery, the front end, the converter,
// battery_adc under Verilator, its word 0 in the guest's memory at 0xFF241000, /dev/mem, the
// tool, the line. Lines are timed here as they come out of the guest.
// (The block's sixteen words, live, are read in the converter's cases below: a shell before
// the tool would move its reads towards the battery's steps, which these lines are timed by.)
TEST(EmulatedBoard, WithTheRtlBehindTheRegisterEachLineIsTheBatteryAsItWas) {
    emuboard::Machine machine(emuboard::Options{});
    ASSERT_TRUE(machine.board());
    common::Failure failure;
    rtl::Cosim cosim(*machine.board(), {}, failure);
    auto deadline = common::Clock::now() + std::chrono::seconds(120);
    while (!machine.started() && common::Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cosim.command_starts();
    std::size_t seen = 0;
    for (int i = 0; i < 10 && common::Clock::now() < deadline; ++i) {
        std::string out;
        while ((out = machine.output()).find('\n', seen) == std::string::npos &&
               common::Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        double at = seconds(common::Clock::now() - cosim.started());
        std::size_t end = out.find('\n', seen);
        ASSERT_NE(end, std::string::npos) << "line " << i + 1 << " never came";
        EXPECT_TRUE(shows_battery(out.substr(seen, end - seen), at, emulated_travel_s));
        seen = end + 1;
    }
    emuboard::Run run = machine.wait();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(cosim.breaches(), "");
    EXPECT_EQ(failure.what(), std::nullopt);
}

std::vector<std::string> emuboard(const std::vector<std::string> &options,
                                  const std::string &script) {
    return on_board("emuboard", options, script);
}

// Through emuboard's own command line: the FPGA design held in reset reads 0, every word of
// it, as an unconfigured block would; it ran all along, and converted nothing.
TEST(EmulatedBoard, TheBlockHeldInResetReadsZero) {
    common::Process run(emuboard({"--rtl", "--fpga-reset"}, "battery-voltage && take"),
                        common::Spawn{common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(180)), 0);
    EXPECT_EQ(run.output().substr(0, ten_lines(0).size()), ten_lines(0));
    const std::vector<Read> reads = reads_in(run.output());
    ASSERT_EQ(reads.size(), 1U) << run.output();
    EXPECT_EQ(reads[0].words, Words(16, 0));
    EXPECT_EQ(run.errors().rfind("emuboard: booting linux-image-", 0), 0U) << run.errors();
    const CosimCounts counts = cosim_counts(run.errors(), "emuboard");
    ASSERT_TRUE(counts.said) << run.errors();
    EXPECT_GT(counts.clocks, 0U);
    EXPECT_EQ(counts.conversions, 0U);
}

// The command's words reach the guest as they were given: spaces, quotes and empty words.
TEST(EmulatedBoard, TheCommandsWordsReachTheGuestIntact) {
    common::Process run({common::next_to_self("emuboard"), "--", "sh", "-c", "printf '%s|' \"$@\"",
                         "x", "a b", "c'd", "", "\"e\" $f", "--reading"},
                        common::Spawn{common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(180)), 0) << run.errors();
    EXPECT_EQ(run.output(), "a b|c'd||\"e\" $f|--reading|");
}

TEST(EmulatedBoard, NothingBehindTheWindowIsABusError) {
    emuboard::Options options;
    options.memory = emuboard::Memory::none;
    auto run = run_on(options);
    EXPECT_EQ(run.status, 128 + SIGBUS);
    EXPECT_EQ(run.out, ""); // no reading line, and no value made up
    EXPECT_EQ(run.err, "");
}

TEST(EmulatedBoard, OutputOnDevFullFailsTheRunAfterTenPasses) {
    emuboard::Options options;
    options.output_full = true;
    auto run = run_on(options);
    EXPECT_EQ(run.status, 1);
    double took = run_time(run);
    EXPECT_TRUE(took > 9.9 && took < 11.5) << "the run took " << took << " s";
    EXPECT_EQ(run.err, "");
}

// The bring-up faults, a boot each, as the words, a load or the sysfs tree show them. The
// simulated board's cases hold the others (--design none, --sysfs unconfigured), which take
// the same ways through the emulated board as these.
std::vector<Fault> some_faults() {
    std::vector<Fault> some;
    for (const auto &fault : faults())
        if (fault.name == "SdoLow" || fault.name == "SdoHigh" ||
            fault.name == "DesignOtherSysfsReady" || fault.name == "SysfsBridgeDisabled")
            some.push_back(fault);
    return some;
}

class EmulatedBoardFault : public testing::TestWithParam<Fault> {};

TEST_P(EmulatedBoardFault, ShowsAsTheWordsTheLoadsAndTheTreeShowIt) {
    const Fault &fault = GetParam();
    common::Process run(emuboard(fault.options, script(fault)), {common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(180)),
              fault.shows == Shows::bus_error ? 128 + SIGBUS : 0)
        << run.errors();
    expect_shows(fault, run.output());
    // The boot's line, the design's, and no breach of the converter's datasheet.
    if (fault.options[0] == "--converter") {
        EXPECT_TRUE(cosim_counts(run.errors(), "emuboard").said) << run.errors();
        EXPECT_EQ(std::count(run.errors().begin(), run.errors().end(), '\n'), 2) << run.errors();
    }
}

INSTANTIATE_TEST_SUITE_P(Register, EmulatedBoardFault, testing::ValuesIn(some_faults()),
                         [](const auto &fault) { return fault.param.name; });

// The converter that the FPGA's configuration leaves asleep, the configuration made as the
// command starts, after the boot; and no breach of the converter's datasheet.
TEST(EmulatedBoard, AConverterLeftAsleepWaitsThenConverts) {
    common::Process run(emuboard({"--converter", "asleep"}, until_counting()),
                        {common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(230)), 0) << run.errors();
    expect_wait_then_codes(run.output());
    const CosimCounts counts = cosim_counts(run.errors(), "emuboard");
    EXPECT_TRUE(counts.said) << run.errors();
    EXPECT_GT(counts.conversions, 0U);
    EXPECT_EQ(std::count(run.errors().begin(), run.errors().end(), '\n'), 2) << run.errors();
}

} // namespace

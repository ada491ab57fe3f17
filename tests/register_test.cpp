// SPDX-License-Identifier: MIT
// The register on the simulated board, through simboard's command line: the block's sixteen
// words as it answers them under --rtl, each bring-up fault as the words, a load or the
// sysfs tree show it, and the board's programs found by name. The words are read by the
// command, through the sandbox's /dev/mem; times are the command's own.

#include "lines.h"
#include "process.h"
#include "words.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using common::Process;

// simboard with `options`, running `script` in sh after the reader's functions.
std::vector<std::string> simboard(const std::vector<std::string> &options,
                                  const std::string &script) {
    std::vector<std::string> argv{common::next_to_self("simboard")};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--", "sh", "-c", reader(false) + script});
    return argv;
}

std::vector<Fault> faults() {
    return {
        {"Rtl", {"--rtl"}, twice, 0, [](const std::string &out) { expect_converting(out, {}); }},
        {"FpgaReset",
         {"--rtl", "--fpga-reset"},
         twice,
         0,
         [](const std::string &out) {
             const std::vector<Read> reads = reads_in(out);
             ASSERT_EQ(reads.size(), 2U) << out;
             for (const auto &read : reads)
                 EXPECT_EQ(read.words, Words(16, 0)) << "read at " << read.at << " s";
         }},
        {"SdoLow",
         {"--converter", "sdo-low"},
         twice,
         0,
         [](const std::string &out) { expect_converting(out, stuck(0)); }},
        {"SdoHigh",
         {"--converter", "sdo-high"},
         twice,
         0,
         [](const std::string &out) { expect_converting(out, stuck(4095)); }},
        {"DesignOther", {"--design", "other"}, "take\n", 0, expect_other_design},
        // dd reads nothing where the image ends; the tool's load is a bus error.
        {"DesignNone",
         {"--design", "none"},
         "take; battery-voltage\n",
         128 + SIGBUS,
         [](const std::string &out) {
             EXPECT_EQ(out.rfind("read ", 0), 0U) << out;
             EXPECT_EQ(out.substr(out.find('\n') + 1), "");
         }},
        {"SysfsReady",
         {"--sysfs", "ready"},
         "tree; take\n",
         0,
         [](const std::string &out) {
             EXPECT_EQ(out.substr(0, out.find("read ")), tree_shows("operating", "enabled"));
             const std::vector<Read> reads = reads_in(out);
             ASSERT_EQ(reads.size(), 1U) << out;
             // The board as without --sysfs: word 0 the discharging battery's, and no other.
             EXPECT_EQ(reads[0].words.size(), 16U);
             EXPECT_EQ(reads[0].words[0], 3900U);
             EXPECT_EQ(Words(reads[0].words.begin() + 1, reads[0].words.end()), Words(15, 0));
         }},
        {"SysfsUnconfigured",
         {"--sysfs", "unconfigured"},
         "tree; battery-voltage\n",
         128 + SIGBUS,
         [](const std::string &out) { EXPECT_EQ(out, tree_shows("write init", "enabled")); }},
        {"SysfsBridgeDisabled",
         {"--sysfs", "bridge-disabled"},
         "tree; battery-voltage\n",
         128 + SIGBUS,
         [](const std::string &out) { EXPECT_EQ(out, tree_shows("operating", "disabled")); }},
        {"NoSysfs",
         {},
         "[ -e /sys/class/fpga_manager ] || [ -e /sys/class/fpga_bridge ] || echo none\n",
         0,
         [](const std::string &out) { EXPECT_EQ(out, "none\n"); }},
    };
}

class SimulatedBoardFault : public testing::TestWithParam<Fault> {};

TEST_P(SimulatedBoardFault, ShowsAsTheWordsAndTheLoadsShowIt) {
    const Fault &fault = GetParam();
    Process run(simboard(fault.options, fault.script), {common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(30)), fault.status) << run.errors();
    fault.check(run.output());
    // The design's one line at the end, and no breach of the converter's datasheet.
    if (!fault.options.empty() &&
        (fault.options[0] == "--rtl" || fault.options[0] == "--converter")) {
        EXPECT_TRUE(cosim_counts(run.errors(), "simboard").said) << run.errors();
        EXPECT_EQ(run.errors().find('\n'), run.errors().size() - 1) << run.errors();
    }
}

INSTANTIATE_TEST_SUITE_P(Register, SimulatedBoardFault, testing::ValuesIn(faults()),
                         [](const auto &fault) { return fault.param.name; });

// The converter that the FPGA's configuration leaves asleep, and no breach of its datasheet.
TEST(SimulatedBoardAsleep, TheCountStaysZeroThroughTheWaitThenCodesCome) {
    Process run(simboard({"--converter", "asleep"}, until_counting), {common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(120)), 0) << run.errors();
    expect_wait_then_codes(run.output());
    const CosimCounts counts = cosim_counts(run.errors(), "simboard");
    EXPECT_TRUE(counts.said) << run.errors();
    EXPECT_GT(counts.conversions, 0U);
    EXPECT_EQ(run.errors().find('\n'), run.errors().size() - 1) << "a breach? " << run.errors();
}

// The board's programs by name, as on the emulated board: a folder of them first on the
// command's PATH, and the PATH it was given after it.
TEST(SimulatedBoardPath, TheBoardsProgramsComeFirst) {
    Process run({common::next_to_self("simboard"), "--", "sh", "-c",
                 R"(echo "${PATH#*:}"; ls "${PATH%%:*}"; battery-voltage | head -n 1)"},
                {common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(30)), 0) << run.errors();
    std::string programs;
    for (const char *name : {"battery-adc-status", "battery-voltage"})
        if (access(common::next_to_self(name).c_str(), X_OK) == 0)
            programs += std::string(name) + "\n";
    const char *path = std::getenv("PATH");
    EXPECT_EQ(run.output(), std::string(path ? path : "/bin:/usr/bin") + "\n" + programs +
                                "Battery voltage is: 3900\n");
}

} // namespace

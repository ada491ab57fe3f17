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

std::vector<std::string> simboard(const std::vector<std::string> &options,
                                  const std::string &script) {
    return on_board("simboard", options, script);
}

class SimulatedBoardFault : public testing::TestWithParam<Fault> {};

TEST_P(SimulatedBoardFault, ShowsAsTheWordsTheLoadsAndTheTreeShowIt) {
    const Fault &fault = GetParam();
    Process run(simboard(fault.options, script(fault)), {common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(30)),
              fault.shows == Shows::bus_error ? 128 + SIGBUS : 0)
        << run.errors();
    expect_shows(fault, run.output());
    // The design's one line at the end, and no breach of the converter's datasheet.
    if (fault.options[0] == "--rtl" || fault.options[0] == "--converter") {
        EXPECT_TRUE(cosim_counts(run.errors(), "simboard").said) << run.errors();
        EXPECT_EQ(run.errors().find('\n'), run.errors().size() - 1) << run.errors();
    }
}

INSTANTIATE_TEST_SUITE_P(Register, SimulatedBoardFault, testing::ValuesIn(faults()),
                         [](const auto &fault) { return fault.param.name; });

// The converter that the FPGA's configuration leaves asleep, and no breach of its datasheet.
TEST(SimulatedBoardAsleep, TheCountStaysZeroThroughTheWaitThenCodesCome) {
    Process run(simboard({"--converter", "asleep"}, until_counting()), {common::environment()});
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
    Process run({common::next_to_self("simboard"), "--reading", "7", "--", "sh", "-c",
                 R"(echo "${PATH#*:}"; ls "${PATH%%:*}"; battery-voltage | head -n 1)"},
                {common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(30)), 0) << run.errors();
    std::string programs;
    for (const char *name : {"battery-adc-status", "battery-voltage"})
        if (access(common::next_to_self(name).c_str(), X_OK) == 0)
            programs += std::string(name) + "\n";
    const char *path = std::getenv("PATH");
    EXPECT_EQ(run.output(), std::string(path ? path : "/bin:/usr/bin") + "\n" + programs +
                                "Battery voltage is: 7\n");
}

} // namespace

// SPDX-License-Identifier: MIT
// The built tool, run on the simulated board: exact output bytes, exit status and timing.

#include "board.h"
#include "process.h"
#include "timing.h"
#include "tool_command.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <string>

using simboard::Device;

namespace {

std::string line(std::uint32_t reading) {
    return "Battery voltage is: " + std::to_string(reading) + "\n";
}

std::string ten_lines(std::uint32_t reading) {
    std::string all;
    for (int i = 0; i < 10; ++i)
        all += line(reading);
    return all;
}

// The parameter is the command that starts the tool: the host binary, or the board's
// binary behind an emulator.
class Sampler : public testing::TestWithParam<std::vector<std::string>> {
  protected:
    Process start(Device device = Device::image, Process::Output output = Process::Output::pipe,
                  const std::vector<std::string> &args = {},
                  const std::vector<std::string> &env = simboard::environment()) {
        auto command = GetParam();
        command.insert(command.end(), args.begin(), args.end());
        return {[&](int report_fd) {
                    return board.sandbox(simboard::stamped(launcher_command(), report_fd, command),
                                         device);
                },
                env, output};
    }

    // Seconds from the tool's exec to its exit.
    static double run_time(const Process &run) {
        if (!run.exec_at() || !run.exit_at()) {
            ADD_FAILURE() << "the launcher did not report";
            return -1;
        }
        double s = seconds(*run.exit_at() - *run.exec_at());
        measured("start to exit", s);
        return s;
    }

    simboard::Board board;
};

TEST_P(Sampler, EachLineShowsTheRegisterAsReadInThatPass) {
    // Both ends of the range, the top bit alone (a signed print would go negative), and
    // codes wider than 12 bits (nothing is masked or scaled).
    const std::array<std::uint32_t, 10> readings{4095, 0,   4294967295, 1,        2147483648,
                                                 3000, 255, 65536,      16777216, 1234567890};
    board.set_reading(readings[0]);
    Process run = start();
    std::string expected;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        auto got = run.next_line();
        ASSERT_TRUE(got) << "line " << i + 1 << " never came; output so far: " << run.output();
        // The tool sleeps a second after each line: the next pass must see this write.
        if (i + 1 < readings.size())
            board.set_reading(readings[i + 1]);
        expected += line(readings[i]);
    }
    EXPECT_EQ(run.exit_status(), 0);
    EXPECT_EQ(run.output(), expected);
    EXPECT_EQ(run.errors(), "");
}

TEST_P(Sampler, LinesReachAPipeAsTheyAreWritten) {
    board.set_reading(2048);
    Process run = start();
    std::vector<Clock::time_point> arrivals;
    for (int i = 0; i < 10; ++i) {
        auto got = run.next_line();
        ASSERT_TRUE(got) << "line " << i + 1 << " never came";
        arrivals.push_back(got->at);
    }
    EXPECT_EQ(run.exit_status(), 0);
    EXPECT_EQ(run.output(), ten_lines(2048));
    ASSERT_TRUE(run.exec_at() && run.exit_at()) << "the launcher did not report";

    double first = seconds(arrivals[0] - *run.exec_at());
    measured("first line after the start", first);
    EXPECT_LT(first, no_pause) << "the first line came " << first << " s after the start";
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        double gap = seconds(arrivals[i] - arrivals[i - 1]);
        measured("line " + std::to_string(i + 1) + " after the one before", gap);
        EXPECT_TRUE(gap > shortest_gap && gap < longest_gap)
            << "line " << i + 1 << " came " << gap << " s after the one before";
    }
    // Nine periods: a late wake-up or two cannot hide a longer period here.
    double span = seconds(arrivals[9] - arrivals[0]);
    measured("tenth line after the first", span);
    EXPECT_TRUE(span > 8.5 && span < 10.5) << "nine periods took " << span << " s";
    double tail = seconds(*run.exit_at() - arrivals[9]);
    measured("exit after the tenth line", tail);
    EXPECT_TRUE(tail > shortest_gap && tail < longest_gap)
        << "exit came " << tail << " s after the tenth line";
}

TEST_P(Sampler, ArgumentsAndEnvironmentChangeNothing) {
    board.set_reading(1234567); // digit grouping would show here
    Process with_args = start(Device::image, Process::Output::pipe,
                              {"--help", "-v", "-n", "3", "/dev/null", "", "Battery voltage is: 7"},
                              {"LANG=de_DE.UTF-8", "LC_ALL=de_DE.UTF-8", "LC_NUMERIC=en_IN.UTF-8",
                               "POSIXLY_CORRECT=1", "TZ=Asia/Kolkata", "MALLOC_PERTURB_=165"});
    Process bare = start(Device::image, Process::Output::pipe, {}, {});
    for (Process *run : {&with_args, &bare}) {
        EXPECT_EQ(run->exit_status(), 0);
        EXPECT_EQ(run->output(), ten_lines(1234567));
        EXPECT_EQ(run->errors(), "");
    }
}

TEST_P(Sampler, ADeviceThatCannotBeOpenedEndsTheRunAtOnce) {
    board.set_reading(3000);
    for (Device device : {Device::absent, Device::forbidden}) {
        SCOPED_TRACE(device == Device::absent ? "no /dev/mem" : "/dev/mem not permitted");
        Process run = start(device);
        EXPECT_EQ(run.exit_status(), 1);
        EXPECT_EQ(run.output(), "Unable to open /dev/mem\n");
        EXPECT_EQ(run.errors(), "");
        EXPECT_LT(run_time(run), no_pause);
    }
}

TEST_P(Sampler, ADeviceThatCannotBeMappedEndsTheRunAtOnce) {
    Process run = start(Device::unmappable);
    EXPECT_EQ(run.exit_status(), 1);
    EXPECT_EQ(run.output(), "Unable to map /dev/mem\n");
    EXPECT_EQ(run.errors(), "");
    EXPECT_LT(run_time(run), no_pause);
}

TEST_P(Sampler, LostOutputFailsTheRunAfterAllTenPasses) {
    board.set_reading(3000);
    Process full = start(Device::image, Process::Output::full);
    Process closed = start(Device::image, Process::Output::closed);
    for (Process *run : {&full, &closed}) {
        SCOPED_TRACE(run == &full ? "standard output on /dev/full" : "standard output closed");
        EXPECT_EQ(run->exit_status(), 1);
        double took = run_time(*run);
        EXPECT_TRUE(took > 9.9 && took < 11.5) << "the run took " << took << " s";
        EXPECT_EQ(run->errors(), "");
    }
}

TEST_P(Sampler, AReaderThatGoesAwayEndsTheRun) {
    board.set_reading(3000);
    Process run = start();
    auto first = run.next_line();
    ASSERT_TRUE(first);
    run.close_output(); // as `battery-voltage | head -n 1` does
    EXPECT_EQ(run.exit_status(), 128 + SIGPIPE);
    ASSERT_TRUE(run.exit_at());
    EXPECT_LT(seconds(*run.exit_at() - first->at), 2.0);
    EXPECT_EQ(run.output(), line(3000));
}

TEST_P(Sampler, AnImageTooShortForTheRegisterEndsByABusError) {
    // Ending where the register would start, and ending long before the window: the
    // mapping succeeds, the load faults, and no reading is made up.
    for (std::uint64_t size : {simboard::register_address, std::uint64_t{4096}}) {
        SCOPED_TRACE("an image of " + std::to_string(size) + " bytes");
        simboard::Board short_board(size);
        Process run([&](int) { return short_board.sandbox(GetParam()); }, simboard::environment());
        EXPECT_EQ(run.exit_status(), 128 + SIGBUS);
        EXPECT_EQ(run.output(), "");
    }
}

TEST_P(Sampler, SignalsKeepTheirDefaultAction) {
    board.set_reading(3000);
    Process interrupted = start();
    Process terminated = start();
    for (auto [run, sig] : {std::pair{&interrupted, SIGINT}, std::pair{&terminated, SIGTERM}}) {
        SCOPED_TRACE(strsignal(sig));
        ASSERT_TRUE(run->next_line());
        auto sent = Clock::now();
        run->signal_command(sig);
        EXPECT_EQ(run->exit_status(), 128 + sig);
        ASSERT_TRUE(run->exit_at());
        double took = seconds(*run->exit_at() - sent);
        measured("signal to exit", took);
        EXPECT_LT(took, no_pause);
        EXPECT_EQ(run->output(), line(3000));
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, Sampler, testing::Values(tool_command()),
                         [](const auto &) { return std::string(tool_name); });

} // namespace

// SPDX-License-Identifier: MIT
// The built tool, run on the simulated board: exact output bytes, exit status and timing.

#include "board.h"
#include "chain.h"
#include "lines.h"
#include "process.h"
#include "report.h"
#include "sandbox.h"
#include "timing.h"
#include "variants.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

using common::Clock;
using common::Process;
using simboard::Device;

namespace {

// Where the tool's standard output goes; `lines`: a pipe through the launcher, which stamps
// each line as it comes.
enum class Output : std::uint8_t { pipe, lines, full, closed };

common::Report report_of(const Process &run) {
    return common::parse_report(run.reported());
}

// The stamped command's own exec and exit, as board-stamp reported them.
Clock::time_point exec_at(const Process &run) {
    EXPECT_TRUE(report_of(run).stamped) << "the launcher did not report";
    return common::time_point(report_of(run).started_ns);
}
Clock::time_point exit_at(const Process &run) {
    EXPECT_TRUE(report_of(run).stamped) << "the launcher did not report";
    return common::time_point(report_of(run).ended_ns);
}

// Seconds of the tool's own from its exec to an event at `at_ns`, by which it had waited
// `waited_ns` for a processor: the machine's load stays outside, a sleep does not.
double own_seconds(const Process &run, std::int64_t at_ns, std::int64_t waited_ns) {
    return static_cast<double>(at_ns - report_of(run).started_ns - waited_ns) / 1e9;
}

// The environment of a case that times the tool's exit. The sanitized build checks for
// leaks at exit in a tracer process of its own, whose wait for a processor the launcher
// cannot see (1.5 s at a load of 10 on 2 cores), so there the check is off; every other
// case checks for leaks.
std::vector<std::string> exit_timed() {
    std::vector<std::string> env;
    for (const auto &e : common::environment())
        if (e.rfind("ASAN_OPTIONS=", 0) != 0)
            env.push_back(e);
    env.emplace_back("ASAN_OPTIONS=detect_leaks=0");
    return env;
}

// Signals the tool alone: bubblewrap runs its sandbox's first process (the init of its PID
// namespace), which runs the launcher as its one child, and the launcher runs the tool, the
// last of the line.
void signal_tool(const Process &run, int sig) {
    pid_t tool = run.pid();
    for (;;) {
        std::ifstream children("/proc/" + std::to_string(tool) + "/task/" + std::to_string(tool) +
                               "/children");
        pid_t child = 0;
        if (!(children >> child))
            break;
        tool = child;
    }
    ASSERT_NE(tool, run.pid()) << "the sandbox has no command running";
    kill(tool, sig);
}

// The parameter is the way the tool runs: this machine's build, the sanitized build, or
// the board's binary under qemu-arm.
class Sampler : public testing::TestWithParam<Variant> {
  protected:
    // The tool on the board under the stamping launcher, in a process group of its own, so
    // that a run cut short by a failed case can be killed whole.
    Process start(Device device = Device::image, Output output = Output::pipe,
                  const std::vector<std::string> &args = {},
                  const std::vector<std::string> &env = common::environment()) {
        std::vector<std::string> command{launcher, "3"};
        if (output == Output::lines)
            command.insert(command.begin() + 1, "--lines");
        command.insert(command.end(), GetParam().command.begin(), GetParam().command.end());
        command.insert(command.end(), args.begin(), args.end());
        common::Spawn how{env};
        if (output == Output::closed)
            how.out = common::closed;
        if (output == Output::full)
            how.out = full_.get();
        how.own_group = true;
        how.report = true;
        return {simboard::sandbox(board, command, device), how};
    }

    // Seconds of the tool's own from its exec to its exit.
    static double run_time(const Process &run) {
        if (!report_of(run).stamped) {
            ADD_FAILURE() << "the launcher did not report";
            return -1;
        }
        double s = own_seconds(run, report_of(run).ended_ns, report_of(run).waited_ns);
        measured("start to exit", s);
        measured("meanwhile, waiting for a processor", seconds(exit_at(run) - exec_at(run)) - s);
        return s;
    }

    common::Board board;

  private:
    struct Descriptor {
        int fd;
        ~Descriptor() { close(fd); }
        Descriptor(const Descriptor &) = delete;
        Descriptor &operator=(const Descriptor &) = delete;
        [[nodiscard]] int get() const { return fd; }
    };
    Descriptor full_{open("/dev/full", O_WRONLY | O_CLOEXEC)};
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
        if (!got)
            FAIL() << "line " << i + 1 << " never came; output so far: " << run.output();
        // The tool sleeps a second after each line: the next pass must see this write.
        if (i + 1 < readings.size())
            board.set_reading(readings[i + 1]);
        expected += line(readings[i]);
    }
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.output(), expected);
    EXPECT_EQ(run.errors(), "");
}

TEST_P(Sampler, LinesReachAPipeAsTheyAreWritten) {
    board.set_reading(2048);
    Process run = start(Device::image, Output::lines, {}, exit_timed());
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.output(), ten_lines(2048));
    const common::Report r = report_of(run);
    ASSERT_TRUE(r.stamped) << "the launcher did not report";
    ASSERT_EQ(r.lines_ns.size(), 10U);
    ASSERT_EQ(r.lines_waited_ns.size(), 10U);
    // Each line as the launcher saw it come, on the tool's own time.
    std::vector<double> at;
    at.reserve(10);
    for (std::size_t i = 0; i < 10; ++i)
        at.push_back(own_seconds(run, r.lines_ns[i], r.lines_waited_ns[i]));
    measured("waited for a processor in all", static_cast<double>(r.waited_ns) / 1e9);

    measured("first line after the start", at[0]);
    EXPECT_LT(at[0], no_pause) << "the first line came " << at[0] << " s after the start";
    for (std::size_t i = 1; i < at.size(); ++i) {
        double gap = at[i] - at[i - 1];
        measured("line " + std::to_string(i + 1) + " after the one before", gap);
        EXPECT_TRUE(gap > shortest_gap && gap < longest_gap)
            << "line " << i + 1 << " came " << gap << " s after the one before";
    }
    // Nine periods: a late wake-up or two cannot hide a longer period here.
    double span = at[9] - at[0];
    measured("tenth line after the first", span);
    EXPECT_TRUE(span > 8.5 && span < 10.5) << "nine periods took " << span << " s";
    double tail = own_seconds(run, r.ended_ns, r.waited_ns) - at[9];
    measured("exit after the tenth line", tail);
    EXPECT_TRUE(tail > shortest_gap && tail < longest_gap)
        << "exit came " << tail << " s after the tenth line";
}

TEST_P(Sampler, ArgumentsAndEnvironmentChangeNothing) {
    // Locales that group digits, as a tool that took its locale from the environment would
    // print 1.234.567 or 12,34,567; the locales are real, as printf's own grouping shows.
    const std::string locales = std::string("LOCPATH=") + locale_dir;
    for (auto [locale, grouped] : {std::pair{"LC_ALL=de_DE.UTF-8", "1.234.567"},
                                   std::pair{"LC_NUMERIC=en_IN.UTF-8", "12,34,567"}}) {
        Process printf({"printf", "%'d", "1234567"}, {{locales, locale}});
        printf.wait();
        ASSERT_EQ(printf.output(), grouped) << "the locale " << locale << " is not there";
    }
    board.set_reading(1234567);
    Process with_args = start(Device::image, Output::pipe,
                              {"--help", "-v", "-n", "3", "/dev/null", "", "Battery voltage is: 7"},
                              {locales, "LANG=de_DE.UTF-8", "LC_ALL=de_DE.UTF-8",
                               "POSIXLY_CORRECT=1", "TZ=Asia/Kolkata", "MALLOC_PERTURB_=165"});
    Process numeric = start(Device::image, Output::pipe, {}, {locales, "LC_NUMERIC=en_IN.UTF-8"});
    Process bare = start(Device::image, Output::pipe, {}, {});
    for (Process *run : {&with_args, &numeric, &bare}) {
        EXPECT_EQ(run->wait(), 0);
        EXPECT_EQ(run->output(), ten_lines(1234567));
        EXPECT_EQ(run->errors(), "");
    }
}

TEST_P(Sampler, ADeviceThatCannotBeOpenedEndsTheRunAtOnce) {
    board.set_reading(3000);
    for (Device device : {Device::absent, Device::forbidden}) {
        SCOPED_TRACE(device == Device::absent ? "no /dev/mem" : "/dev/mem not permitted");
        Process run = start(device, Output::pipe, {}, exit_timed());
        EXPECT_EQ(run.wait(), 1);
        EXPECT_EQ(run.output(), "Unable to open /dev/mem\n");
        EXPECT_EQ(run.errors(), "");
        EXPECT_LT(run_time(run), no_pause);
    }
}

TEST_P(Sampler, ADeviceThatCannotBeMappedEndsTheRunAtOnce) {
    Process run = start(Device::unmappable, Output::pipe, {}, exit_timed());
    EXPECT_EQ(run.wait(), 1);
    EXPECT_EQ(run.output(), "Unable to map /dev/mem\n");
    EXPECT_EQ(run.errors(), "");
    EXPECT_LT(run_time(run), no_pause);
}

TEST_P(Sampler, LostOutputFailsTheRunAfterAllTenPasses) {
    board.set_reading(3000);
    Process full = start(Device::image, Output::full, {}, exit_timed());
    Process closed = start(Device::image, Output::closed, {}, exit_timed());
    for (Process *run : {&full, &closed}) {
        SCOPED_TRACE(run == &full ? "standard output on /dev/full" : "standard output closed");
        EXPECT_EQ(run->wait(), 1);
        double took = run_time(*run);
        EXPECT_TRUE(took > 9.9 && took < 11.5) << "the run took " << took << " s";
        EXPECT_EQ(run->errors(), "");
    }
}

TEST_P(Sampler, AReaderThatGoesAwayEndsTheRun) {
    board.set_reading(3000);
    Process run = start();
    auto first = run.next_line();
    if (!first)
        FAIL();
    run.close_output(); // as `battery-voltage | head -n 1` does
    EXPECT_EQ(run.wait(), 128 + SIGPIPE);
    ASSERT_TRUE(report_of(run).stamped);
    EXPECT_LT(seconds(exit_at(run) - first->at), 2.0);
    EXPECT_EQ(run.output(), line(3000));
}

TEST_P(Sampler, AnImageTooShortForTheRegisterEndsByABusError) {
    // Ending where the register would start, and ending long before the window: the
    // mapping succeeds, the load faults, and no reading is made up.
    for (std::uint64_t size : {common::register_address, std::uint64_t{4096}}) {
        SCOPED_TRACE("an image of " + std::to_string(size) + " bytes");
        common::Board short_board(size);
        Process run(simboard::sandbox(short_board, GetParam().command), {common::environment()});
        EXPECT_EQ(run.wait(), 128 + SIGBUS);
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
        signal_tool(*run, sig);
        EXPECT_EQ(run->wait(), 128 + sig);
        ASSERT_TRUE(report_of(*run).stamped);
        double took = seconds(exit_at(*run) - sent);
        measured("signal to exit", took);
        EXPECT_LT(took, no_pause);
        EXPECT_EQ(run->output(), line(3000));
    }
}

// The FPGA design plays the register: the battery through the front end, the converter and
// battery_adc under Verilator to word 0, read at 0xFF241000.
TEST_P(Sampler, WithTheRtlBehindTheRegisterEachLineIsTheBatteryAsItWas) {
    common::Failure failure;
    rtl::Cosim cosim(board, {}, failure);
    Process run = start(Device::image, Output::lines);
    EXPECT_EQ(run.wait(), 0);
    // Each line as the launcher saw it come.
    const common::Report r = report_of(run);
    ASSERT_EQ(r.lines_ns.size(), 10U);
    ASSERT_EQ(run.lines().size(), 10U);
    for (std::size_t i = 0; i < 10; ++i)
        EXPECT_TRUE(shows_battery(run.lines()[i].text,
                                  seconds(common::time_point(r.lines_ns[i]) - cosim.started())));
    EXPECT_EQ(run.errors(), "");
    EXPECT_EQ(cosim.breaches(), "");
    EXPECT_EQ(failure.what(), std::nullopt);
}

// The block ran all along and was held: its clocks went on, and it converted nothing.
TEST_P(Sampler, TheBlockHeldInResetReadsZero) {
    common::Failure failure;
    common::RtlOptions held;
    held.fpga_reset = true;
    rtl::Cosim cosim(board, held, failure);
    Process run = start();
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.output(), ten_lines(0));
    EXPECT_GT(cosim.clocks(), 0U);
    EXPECT_EQ(cosim.battery_conversions(), 0U);
    EXPECT_EQ(cosim.breaches(), "");
    EXPECT_EQ(failure.what(), std::nullopt);
}

// The same through simboard's own command line, with the battery held: codes worked out by
// hand from volts = code / 4095 * 3.0 + 0.4, and the ends of what the front end can show;
// and the block held in reset, which runs its clocks and converts nothing.
TEST(SimboardCommandLine, HeldVoltsGiveTheirCodesThroughTheRtl) {
    struct Case {
        std::vector<std::string> options;
        std::uint32_t code;
    };
    const std::vector<Case> cases{{{"--volts", "2.4"}, 2730},
                                  {{"--volts", "1.4"}, 1365},
                                  {{"--volts", "9"}, 4095},
                                  {{"--volts=-1"}, 0},
                                  {{"--fpga-reset"}, 0}};
    const std::vector<std::string> tool = variants().front().command;
    std::vector<std::unique_ptr<Process>> runs;
    for (const auto &c : cases) {
        std::vector<std::string> command{common::next_to_self("simboard"), "--rtl"};
        command.insert(command.end(), c.options.begin(), c.options.end());
        command.emplace_back("--");
        command.insert(command.end(), tool.begin(), tool.end());
        runs.push_back(std::make_unique<Process>(command, common::Spawn{common::environment()}));
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].options.back());
        EXPECT_EQ(runs[i]->wait(), 0);
        EXPECT_EQ(runs[i]->output(), ten_lines(cases[i].code));
        const CosimCounts counts = cosim_counts(runs[i]->errors(), "simboard");
        ASSERT_TRUE(counts.said) << runs[i]->errors();
        EXPECT_GT(counts.clocks, 0U);
        if (cases[i].options.back() == "--fpga-reset")
            EXPECT_EQ(counts.conversions, 0U);
        else
            EXPECT_GT(counts.conversions, 0U);
        EXPECT_EQ(runs[i]->errors().find('\n'), runs[i]->errors().size() - 1)
            << "more than the one line: " << runs[i]->errors();
    }
}

// A co-simulation that cannot write the register (an image whose first byte stands above
// it) goes to the board's Failure, which stops the command, rather than ending the process.
TEST(BoardFailure, ACoSimulationThatCannotWriteStopsTheCommand) {
    common::Board board(4096, common::register_address + 4096);
    common::Failure failure;
    Process run({"sleep", "30"}, common::Spawn{common::environment()});
    common::Failure::Stopping stopping(failure, [&run] { run.kill(); });
    rtl::Cosim cosim(board, {}, failure);
    EXPECT_EQ(run.wait(std::chrono::seconds(10)), 128 + SIGKILL);
    const std::optional<std::string> what = failure.what();
    if (!what)
        FAIL() << "the command was stopped, but no failure was named";
    EXPECT_EQ(what->rfind("the FPGA design's co-simulation: write the register", 0), 0U) << *what;
}

INSTANTIATE_TEST_SUITE_P(Tool, Sampler, testing::ValuesIn(variants()),
                         [](const auto &variant) { return variant.param.name; });

} // namespace

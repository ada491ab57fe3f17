// SPDX-License-Identifier: MIT
// battery-adc-status, the built program, from the outside: each verdict that the boards'
// faults give, with its exit status, its exact lines where the words are known and its keys;
// on the simulated board for each way of running it, and on the emulated board, by name in
// the guest; and its time from its own start.

#include "board.h"
#include "cosim.h"
#include "process.h"
#include "report.h"
#include "sandbox.h"
#include "timing.h"
#include "variants.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using common::Process;
using simboard::Device;

namespace {

std::string no_sysfs() {
    return "FPGA manager: none in sysfs, not checked\n"
           "lightweight bridge: none named lwhps2fpga in sysfs, not checked\n";
}

// From its own start the program answers within its interval and this: room for the
// sanitizer's and qemu-arm's start (0.15 s at most, measured), below the pause a fault adds.
constexpr double answer_s = 0.25;

// Each verdict as a fault of the boards gives it: the options, the status, the verdict's
// word, and the whole output, or its last line alone where the rest is a block's report.
struct Verdict {
    std::vector<std::string> options;
    int status;
    std::string word, out;
    bool whole = true;
};
std::vector<Verdict> verdicts() {
    const std::string ready = "FPGA manager fpga0: operating\nlightweight bridge br0: enabled\n";
    return {
        {{"--rtl", "--volts", "2.4", "--sysfs", "ready"},
         0,
         "healthy",
         "healthy: the block answers, converts, and its codes move\n",
         false},
        {{"--sysfs", "unconfigured"},
         3,
         "unconfigured",
         "the FPGA is not configured: the FPGA manager fpga0 is in state 'write init', not "
         "'operating'; no load made\n"},
        {{"--sysfs", "bridge-disabled"},
         3,
         "bridge-disabled",
         "the lightweight HPS-to-FPGA bridge br0 (lwhps2fpga) is 'disabled', not 'enabled'; no "
         "load made\n"},
        {{"--design", "other", "--sysfs", "ready"},
         5,
         "no-block",
         ready + "0xFF241000: 0xFF241000 0xFF241004 0xFF241008 0xFF24100C 0xFF241010 0xFF241014 "
                 "0xFF241018 0xFF24101C\n0xFF241020: 0xFF241020 0xFF241024 0xFF241028 0xFF24102C "
                 "0xFF241030 0xFF241034 0xFF241038 0xFF24103C\nno battery_adc block at "
                 "0xFF241000: another design's words, word 15 reads 0xFF24103C, not 0x42414401\n"},
        {{"--design", "none"},
         5,
         "no-block",
         no_sysfs() + "no battery_adc block at 0xFF241000: the load from 0xFF241000 ended in a "
                      "bus error, nothing answered\n"},
        {{"--rtl", "--fpga-reset"},
         6,
         "in-reset",
         no_sysfs() + "the block is held in reset: every word reads 0\n"},
        {{"--converter", "asleep"},
         7,
         "waking",
         "waiting for the converter's reference: the count stood at 0 over 100 ms (the block "
         "waits 400 ms after a reset or a configuration)\n",
         false},
        {{"--converter", "sdo-low"},
         8,
         "converter-silent",
         "the converter does not answer: the count moves, but every code reads 0 (SDO stuck "
         "low)\n",
         false},
        {{"--converter", "sdo-high", "--sysfs", "ready"},
         8,
         "converter-silent",
         "the converter does not answer: the count moves, but every code reads 4095 (SDO stuck "
         "high)\n",
         false},
    };
}

// The value of `name` in the --keys form.
std::string key(const std::string &keys, const std::string &name) {
    const auto at = ("\n" + keys).find("\n" + name + "=");
    return at == std::string::npos
               ? "(none)"
               : keys.substr(at + name.size() + 1, keys.find('\n', at) - at - name.size() - 1);
}

std::string last_line(const std::string &out) {
    const auto at = out.rfind('\n', out.size() < 2 ? 0 : out.size() - 2);
    return at == std::string::npos ? out : out.substr(at + 1);
}

// A run's output for people and for scripts, against the verdict.
void expect_verdict(const Verdict &v, const std::string &people, const std::string &keys) {
    EXPECT_EQ(v.whole ? people : last_line(people), v.out);
    EXPECT_EQ(key(keys, "verdict"), v.word);
    EXPECT_EQ(key(keys, "reason") + "\n", last_line(v.out));
    EXPECT_EQ(key(keys, "status"), std::to_string(v.status));
}

class Status : public testing::TestWithParam<Variant> {
  protected:
    // The program on the board under the stamping launcher.
    Process start(const std::vector<std::string> &args = {}, Device device = Device::image,
                  int out = common::piped) {
        std::vector<std::string> command{launcher, "3"};
        command.insert(command.end(), GetParam().command.begin(), GetParam().command.end());
        command.insert(command.end(), args.begin(), args.end());
        common::Spawn how{common::environment()};
        how.out = out;
        how.report = true;
        return {simboard::sandbox(board, command, device), how};
    }

    // Seconds of its own from its exec to its exit, less its wait for a processor.
    static double own_time(const Process &run) {
        const common::Report r = common::parse_report(run.reported());
        EXPECT_TRUE(r.stamped) << "the launcher did not report";
        const double s = static_cast<double>(r.ended_ns - r.started_ns - r.waited_ns) / 1e9;
        measured("start to exit", s);
        return s;
    }

    common::Board board;
};

// Through simboard's own command line, its faults one after another.
TEST_P(Status, EachVerdictOfTheBoardsFaults) {
    for (const auto &v : verdicts()) {
        SCOPED_TRACE(v.options.back());
        std::string forms[2];
        for (const std::string form : {"", "--keys"}) {
            std::vector<std::string> command{common::next_to_self("simboard")};
            command.insert(command.end(), v.options.begin(), v.options.end());
            command.emplace_back("--");
            command.insert(command.end(), GetParam().command.begin(), GetParam().command.end());
            if (!form.empty())
                command.push_back(form);
            Process run(command, common::Spawn{common::environment()});
            EXPECT_EQ(run.wait(), v.status);
            forms[form.empty() ? 0 : 1] = run.output();
        }
        expect_verdict(v, forms[0], forms[1]);
    }
}

// The settings to the byte; the rate, the count's over the interval; and the interval and
// little more from its own start. The interval is longer than a 32-bit count of nanoseconds
// holds, as the board's time_t and long are.
TEST_P(Status, AHealthyBlocksSettingsRateAndTime) {
    common::Failure failure;
    const rtl::Cosim cosim(board, {}, failure);
    Process run = start({"--keys", "--interval=2500"});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_NE(run.output().find("id=1111573505\nversion=1\nclock_hz=50000000\nbattery_channel=0\n"
                                "frame_clocks=395\nframe_ns=7900\nacquisition_ns=6000\nwake_ms="
                                "0\nbattery_only=0\n"),
              std::string::npos)
        << run.output();
    const auto number = [&run](const char *name) { return std::stod(key(run.output(), name)); };
    const double counted =
        (number("count_after") - number("count_before")) * 1e9 / number("interval_ns");
    EXPECT_TRUE(counted > 0 && std::abs(number("rate") - counted) < 1) << run.output();
    const double took = own_time(run);
    EXPECT_TRUE(number("interval_ns") >= 2.5e9 && number("interval_ns") < took * 1e9)
        << run.output();
    EXPECT_TRUE(took >= 2.5 && took < 2.5 + answer_s) << "the run took " << took << " s";
}

// A count that stands still at a value other than 0, which no fault of the boards plays: a
// live block converts, or reads 0 in reset; these words are a copy.
TEST_P(Status, ACountThatStandsStillIsNoLiveBlock) {
    board.set_words({2730, 1234, 2730, 0, 0, 0, 0, 0, 0, 0, 1, 50000000, 0, 395, 0, 0x42414401});
    Process run = start();
    EXPECT_EQ(run.wait(), 5);
    EXPECT_EQ(last_line(run.output()), "no live battery_adc block at 0xFF241000: its count stood "
                                       "at 1234 over 100 ms, so these words are a copy, not the "
                                       "block\n");
}

// What the kernel refuses is a verdict, said at once.
TEST_P(Status, WhatTheDeviceRefusesIsAVerdict) {
    for (const auto &[device, verdict] :
         {std::pair{Device::absent, "cannot open /dev/mem: No such file or directory"},
          {Device::forbidden, "cannot open /dev/mem: Permission denied"},
          {Device::unmappable, "cannot map /dev/mem at 0xFF241000: No such device"}}) {
        Process run = start({}, device);
        EXPECT_EQ(run.wait(), 4);
        EXPECT_EQ(run.output(), no_sysfs() + verdict + "\n");
        EXPECT_LT(own_time(run), answer_s);
    }
}

TEST_P(Status, AMistakeInTheOptionsIsOneLine) {
    const std::string range = "' is not a number of milliseconds from 10 to 10000";
    for (const auto &[args, mistake] :
         {std::pair{std::vector<std::string>{"--interval", "9"}, "--interval: '9" + range},
          {{"--interval=+50"}, "--interval: '+50" + range},
          {{"--interval"}, "--interval: needs a value"},
          {{"--keys=yes"}, "--keys: takes no value"},
          {{"now"}, "now: no such option"}}) {
        Process run = start(args);
        EXPECT_EQ(run.wait(), 2);
        EXPECT_EQ(run.output() + run.errors(),
                  "battery-adc-status: " + mistake +
                      "\nTry 'battery-adc-status --help' for more information.\n");
    }
}

// A report that cannot be written fails the run, whatever its verdict.
TEST_P(Status, LostOutputIsStatusOne) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    for (int out : {full, common::closed})
        for (const char *args : {"--keys", "--help", "--interval=10"})
            EXPECT_EQ(start({args}, Device::image, out).wait(), 1);
    close(full);
}

INSTANTIATE_TEST_SUITE_P(Status, Status, testing::ValuesIn(status_variants()),
                         [](const auto &variant) { return variant.param.name; });

// On the emulated board, by name in the guest: a boot for each fault, in which the program
// runs for people, for scripts, onto /dev/full and with a mistake; "status N" after each.
class StatusOnTheEmulatedBoard : public testing::TestWithParam<Verdict> {};

TEST_P(StatusOnTheEmulatedBoard, EachVerdictOfTheBoardsFaults) {
    std::vector<std::string> command{common::next_to_self("emuboard")};
    command.insert(command.end(), GetParam().options.begin(), GetParam().options.end());
    const std::string script = "battery-adc-status; echo status $?; battery-adc-status --keys; "
                               "echo status $?; battery-adc-status >/dev/full; echo status $?; "
                               "battery-adc-status --interval 5 2>&1; echo status $?";
    command.insert(command.end(), {"--", "sh", "-c", script});
    Process run(command, common::Spawn{common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(180)), 0) << run.errors();
    const std::string status = "status " + std::to_string(GetParam().status) + "\n";
    const std::string &out = run.output();
    const auto people = out.find(status);
    const auto keys = out.find(status, people + 1);
    ASSERT_NE(keys, std::string::npos) << out;
    expect_verdict(GetParam(), out.substr(0, people),
                   out.substr(people + status.size(), keys - people - status.size()));
    EXPECT_EQ(out.substr(keys + status.size()),
              "status 1\nbattery-adc-status: --interval: '5' is not a number of milliseconds "
              "from 10 to 10000\nTry 'battery-adc-status --help' for more information.\n"
              "status 2\n");
}

INSTANTIATE_TEST_SUITE_P(Fault, StatusOnTheEmulatedBoard, testing::ValuesIn(verdicts()));

// The kernel's own refusals: the map of System RAM, and the open without CAP_SYS_RAWIO (as
// nobody, /dev/mem open to all, as emuboard --unprivileged does it).
TEST(StatusOnTheEmulatedBoardsKernel, WhatTheKernelRefusesIsAVerdict) {
    const std::string script = "battery-adc-status; echo status $?; chmod 0666 /dev/mem; "
                               "su -s /bin/sh -c 'battery-adc-status; echo status $?' nobody";
    Process run({common::next_to_self("emuboard"), "--memory", "ram", "--", "sh", "-c", script},
                common::Spawn{common::environment()});
    EXPECT_EQ(run.wait(std::chrono::seconds(180)), 0) << run.errors();
    EXPECT_EQ(run.output(), no_sysfs() +
                                "cannot map /dev/mem at 0xFF241000: Operation not "
                                "permitted\nstatus 4\n" +
                                no_sysfs() +
                                "cannot open /dev/mem: Operation not permitted\nstatus 4\n");
}

} // namespace

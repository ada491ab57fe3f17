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

#include <array>
#include <atomic>
#include <cctype>
#include <string>
#include <thread>

using common::Process;
using simboard::Device;

namespace {

std::string no_sysfs() {
    return "FPGA manager: none in sysfs, not checked\n"
           "lightweight bridge: none named lwhps2fpga in sysfs, not checked\n";
}
std::string ready() {
    return "FPGA manager fpga0: operating\nlightweight bridge br0: enabled\n";
}

// From its own start the program answers within its interval and this: room for the
// sanitizer's and qemu-arm's start (0.15 s at most, measured), below the pause a fault adds.
constexpr double answer_s = 0.25;

std::string channel_line(unsigned c, unsigned code) {
    const std::string shown = std::to_string(code);
    return "channel " + std::to_string(c) + ": " + shown + ", " + shown +
           " mV at the converter's input\n";
}

// The block behind --rtl, to the byte but for the count's line (see steady()): its
// settings, the battery held at 2.4 V (2730), and the other inputs as the co-simulation
// gives them.
std::string healthy_rtl() {
    std::string out = ready() +
                      "block: battery_adc version 1 (0x42414401)\nclock: 50000000 Hz\n"
                      "battery channel: 0\nframe: 395 clocks, 7900 ns\nacquisition: 6000 ns\n"
                      "wake-up wait: 0 ms\nbattery-only mode: off\nconversions\n"
                      "fresh channels: 0 1 2 3 4 5 6 7\n"
                      "battery: 2730 (word 0, what battery-voltage prints), 2730 mV\n";
    for (unsigned c = 0; c < 8; ++c)
        out += channel_line(c, c == 0 ? 2730 : rtl::other_input(c));
    return out + "healthy: the block answers, converts, and its codes move\n";
}

// Each verdict as a fault of the boards gives it: the options, the status, the verdict's
// word, and the whole output (masked by steady()), or its last line alone where the rest is
// the healthy block's.
struct Verdict {
    std::vector<std::string> options;
    int status;
    std::string word, out;
    bool whole = true;
};
std::vector<Verdict> verdicts() {
    return {
        {{"--rtl", "--volts", "2.4", "--sysfs", "ready"}, 0, "healthy", healthy_rtl()},
        {{"--sysfs", "unconfigured"},
         3,
         "unconfigured",
         "the FPGA is not configured: the FPGA manager fpga0 is in state 'write init', not "
         "'operating'; no load made\n"},
        {{"--sysfs", "bridge-disabled"},
         3,
         "bridge-disabled",
         "the lightweight HPS-to-FPGA bridge br0 (lwhps2fpga) is 'disabled', not 'enabled'; no "
         "load "
         "made\n"},
        {{"--design", "other", "--sysfs", "ready"},
         5,
         "no-block",
         ready() +
             "0xFF241000: 0xFF241000 0xFF241004 0xFF241008 0xFF24100C 0xFF241010 0xFF241014 "
             "0xFF241018 0xFF24101C\n0xFF241020: 0xFF241020 0xFF241024 0xFF241028 0xFF24102C "
             "0xFF241030 0xFF241034 0xFF241038 0xFF24103C\nno battery_adc block at 0xFF241000: "
             "another design's words, word 15 reads 0xFF24103C, not 0x42414401\n"},
        {{"--design", "none"},
         5,
         "no-block",
         no_sysfs() + "no battery_adc block at 0xFF241000: the load from 0xFF241000 ended in a bus "
                      "error, nothing answered\n"},
        {{"--rtl", "--fpga-reset"},
         6,
         "in-reset",
         no_sysfs() + "the block is held in reset: every word reads 0\n"},
        {{"--converter", "asleep"},
         7,
         "waking",
         "waiting for the converter's reference: the count stood at 0 over 100 ms (the block waits "
         "400 ms after a reset or a configuration)\n",
         false},
        {{"--converter", "sdo-low"},
         8,
         "converter-silent",
         "the converter does not answer: the count moves, but every code reads 0 (SDO stuck low)\n",
         false},
        {{"--converter", "sdo-high", "--sysfs", "ready"},
         8,
         "converter-silent",
         "the converter does not answer: the count moves, but every code reads 4095 (SDO stuck "
         "high)\n",
         false},
    };
}

// The line that says the count and the rates, which change from run to run, as "conversions".
std::string steady(std::string output) {
    const auto at = output.find("\nconversions: ");
    if (at != std::string::npos)
        output.replace(at + 1, output.find('\n', at + 1) - at - 1, "conversions");
    return output;
}

// The value of `name` in the --keys form.
std::string key(const std::string &output, const std::string &name) {
    const auto at = ("\n" + output).find("\n" + name + "=");
    return at == std::string::npos
               ? "(none)"
               : output.substr(at + name.size() + 1, output.find('\n', at) - at - name.size() - 1);
}

// A run's output for people and for scripts, against the verdict.
void expect_verdict(const Verdict &v, const std::string &people, const std::string &keys) {
    if (v.whole)
        EXPECT_EQ(steady(people), v.out);
    else
        EXPECT_EQ(people.substr(people.rfind('\n', people.size() - 2) + 1), v.out);
    EXPECT_EQ(key(keys, "verdict"), v.word);
    EXPECT_EQ(key(keys, "reason") + "\n", v.out.substr(v.out.rfind('\n', v.out.size() - 2) + 1));
    EXPECT_EQ(key(keys, "status"), std::to_string(v.status));
}

using Words = std::array<std::uint32_t, 16>;

// The words of a block at the defaults at 50 MHz, every channel at 2730, its count `count`.
Words block(std::uint32_t count) {
    return {2730, count, 2730, 2730,     2730, 2730, 2730,       2730,
            2730, 2730,  0xFF, 50000000, 0,    395,  0x19001770, 0x42414401};
}

// Writes `words` from word `first` on at 0xFF241000 of the board's memory, little-endian.
void put(const common::Board &board, const Words &words, std::size_t first = 0) {
    std::string bytes;
    for (std::size_t i = first; i < words.size(); ++i)
        for (int bit = 0; bit < 32; bit += 8)
            bytes += static_cast<char>((words[i] >> bit) & 0xFF);
    const int fd = open(board.image().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(),
                     static_cast<off_t>(common::register_address + 4 * first)),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
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
        for (int k = 0; k < 2; ++k) {
            std::vector<std::string> command{common::next_to_self("simboard")};
            command.insert(command.end(), v.options.begin(), v.options.end());
            command.emplace_back("--");
            command.insert(command.end(), GetParam().command.begin(), GetParam().command.end());
            if (k == 1)
                command.emplace_back("--keys");
            Process run(command, common::Spawn{common::environment()});
            EXPECT_EQ(run.wait(), v.status);
            forms[k] = run.output();
        }
        expect_verdict(v, forms[0], forms[1]);
    }
}

// A count that stands still at a value other than 0: a live block converts, or reads 0 in
// reset; these words are a copy. No fault of the boards plays it.
TEST_P(Status, ACountThatStandsStillIsNoLiveBlock) {
    put(board, block(1234));
    Process run = start();
    EXPECT_EQ(run.wait(), 5);
    const std::string out = run.output();
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1),
              "no live battery_adc block at 0xFF241000: its count stood at 1234 over 100 ms, so "
              "these words are a copy, not the block\n");
}

// The rate is the count's over the measured interval, and the run takes that interval and
// little more, from its own start. The count here is the milliseconds since the block
// started, written about every millisecond, so the rate is a thousand a second however late
// the writes come on a loaded machine.
TEST_P(Status, TheRateIsMeasuredOverTheInterval) {
    put(board, block(0));
    std::atomic<bool> stop{false};
    std::thread converting([this, &stop] {
        const auto start = common::Clock::now();
        Words words = block(0);
        for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            words[1] = static_cast<std::uint32_t>((common::Clock::now() - start) /
                                                  std::chrono::milliseconds(1));
            put(board, words, 1);
        }
    });
    Process run = start({"--keys", "--interval=1000"});
    EXPECT_EQ(run.wait(), 0);
    stop = true;
    converting.join();
    const double took = own_time(run);
    EXPECT_TRUE(took >= 1.0 && took < 1.0 + answer_s) << "the run took " << took << " s";
    const double rate = std::stod(key(run.output(), "rate"));
    EXPECT_TRUE(rate > 800 && rate < 1200) << rate << " a second";
}

// What the kernel refuses is a verdict, said at once.
TEST_P(Status, WhatTheDeviceRefusesIsAVerdict) {
    const std::vector<std::pair<Device, std::string>> cases{
        {Device::absent, "cannot open /dev/mem: No such file or directory"},
        {Device::forbidden, "cannot open /dev/mem: Permission denied"},
        {Device::unmappable, "cannot map /dev/mem at 0xFF241000: No such device"},
    };
    for (const auto &[device, verdict] : cases) {
        SCOPED_TRACE(verdict);
        Process run = start({}, device);
        EXPECT_EQ(run.wait(), 4);
        EXPECT_EQ(run.output(), no_sysfs() + verdict + "\n");
        EXPECT_LT(own_time(run), answer_s);
    }
}

TEST_P(Status, AMistakeInTheOptionsIsOneLine) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--interval", "9"}, "--interval: '9' is not a number of milliseconds from 10 to 10000"},
        {{"--interval=10001"},
         "--interval: '10001' is not a number of milliseconds from 10 to 10000"},
        {{"--interval", "+50"},
         "--interval: '+50' is not a number of milliseconds from 10 to 10000"},
        {{"--interval"}, "--interval: needs a value"},
        {{"--keys=yes"}, "--keys: takes no value"},
        {{"--key"}, "--key: no such option"},
        {{"now"}, "now: no such option"},
    };
    for (const auto &[args, mistake] : cases) {
        Process run = start(args);
        EXPECT_EQ(run.wait(), 2);
        EXPECT_EQ(run.output(), "");
        EXPECT_EQ(run.errors(), "battery-adc-status: " + mistake +
                                    "\nTry 'battery-adc-status --help' for more information.\n");
        EXPECT_LT(own_time(run), answer_s);
    }
}

// A report that cannot be written fails the run, whatever its verdict.
TEST_P(Status, LostOutputIsStatusOne) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    for (int out : {full, common::closed})
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{}, {"--keys"}, {"--help"}}) {
            Process run = start(args, Device::image, out);
            EXPECT_EQ(run.wait(), 1);
        }
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

INSTANTIATE_TEST_SUITE_P(Fault, StatusOnTheEmulatedBoard, testing::ValuesIn(verdicts()),
                         [](const auto &v) {
                             std::string name = "Status" + std::to_string(v.param.status);
                             for (const auto &o : v.param.options)
                                 for (char c : o)
                                     if (std::isalnum(static_cast<unsigned char>(c)))
                                         name += c;
                             return name;
                         });

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

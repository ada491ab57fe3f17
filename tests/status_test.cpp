// SPDX-License-Identifier: MIT
// battery-adc-status, the built program, from the outside: each verdict with its exit status
// and its exact lines where the words are known, the --keys form, and its time from its own
// start; on the simulated board for each way of running it, and on the emulated board.

#include "board.h"
#include "machine.h"
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
#include <csignal>
#include <string>
#include <thread>

using common::Process;
using simboard::Device;

namespace {

using Words = std::array<std::uint32_t, 16>;

// What a kernel without an FPGA manager or bridges in sysfs gets, as this machine is.
const std::string no_sysfs = "FPGA manager: none in sysfs, not checked\n"
                             "lightweight bridge: none named lwhps2fpga in sysfs, not checked\n";

// From its own start the program answers within the interval and this: room for the
// sanitizer's and qemu-arm's start (0.15 s at most, measured), below any pause a fault adds.
constexpr double answer_s = 0.25;

// A block at its defaults at 50 MHz, the battery on channel 0, every channel with a code.
Words block(std::uint32_t count, std::uint32_t low_codes, std::uint32_t high_codes) {
    return {low_codes,  count,      low_codes,  low_codes,  low_codes, low_codes,
            high_codes, high_codes, high_codes, high_codes, 0xFF,      50000000,
            0,          395,        0x19001770, 0x42414401};
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

// A block that converts: while this lives, its count is the milliseconds since it started,
// written about every millisecond, so that the rate is a thousand a second however late the
// writes come on a loaded machine.
class Converting {
  public:
    Converting(const common::Board &board, Words words)
        : thread_([this, &board, words]() mutable {
              const auto start = common::Clock::now();
              for (; !stop_; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
                  words[1] = static_cast<std::uint32_t>((common::Clock::now() - start) /
                                                        std::chrono::milliseconds(1));
                  put(board, words, 1);
              }
          }) {}
    ~Converting() {
        stop_ = true;
        thread_.join();
    }
    Converting(const Converting &) = delete;
    Converting &operator=(const Converting &) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The line that says the count and the rates, which change from run to run, as "conversions".
std::string steady(std::string output) {
    const auto at = output.find("\nconversions: ");
    if (at != std::string::npos)
        output.replace(at + 1, output.find('\n', at + 1) - at - 1, "conversions");
    return output;
}

std::string last_line(const std::string &output) {
    const auto end = output.rfind('\n');
    const auto start = end == 0 || end == std::string::npos ? 0 : output.rfind('\n', end - 1) + 1;
    return output.substr(start, end == std::string::npos ? end : end - start);
}

// The value of `key` in the --keys form.
std::string key(const std::string &output, const std::string &name) {
    const auto at = output.find("\n" + name + "=");
    return at == std::string::npos ? "(none)"
                                   : output.substr(at + name.size() + 2, output.find('\n', at + 1) -
                                                                             at - name.size() - 2);
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

TEST_P(Status, EachVerdictOfTheBlocksWords) {
    struct Case {
        Words words;
        bool converting;
        int status;
        std::string verdict;
    };
    const std::vector<Case> cases{
        {{}, false, 6, "the block is held in reset: every word reads 0"},
        {block(0, 0, 0), false, 7,
         "waiting for the converter's reference: the count stood at 0 over 100 ms (the block "
         "waits 400 ms after a reset or a configuration)"},
        {block(1234, 2730, 100), false, 5,
         "no live battery_adc block at 0xFF241000: its count stood at 1234 over 100 ms, so these "
         "words are a copy, not the block"},
        {block(1, 0, 0), true, 8,
         "the converter does not answer: the count moves, but every code reads 0 (SDO stuck low)"},
        {block(1, 4095, 4095), true, 8,
         "the converter does not answer: the count moves, but every code reads 4095 (SDO stuck "
         "high)"},
        {block(1, 4095, 0), true, 0, "healthy: the block answers, converts, and its codes move"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.verdict);
        put(board, c.words);
        std::optional<Converting> converting;
        if (c.converting)
            converting.emplace(board, c.words);
        Process run = start();
        EXPECT_EQ(run.wait(), c.status);
        EXPECT_EQ(last_line(run.output()), c.verdict);
        EXPECT_EQ(run.errors(), "");
    }
}

// Every fact of a healthy block to the byte, but the count's, for people and for scripts.
TEST_P(Status, AHealthyBlockInBothForms) {
    put(board, block(7, 2730, 1234));
    const Converting converting(board, block(7, 2730, 1234));
    Process people = start();
    Process keys = start({"--keys"});
    EXPECT_EQ(people.wait(), 0);
    EXPECT_EQ(steady(people.output()),
              no_sysfs + "block: battery_adc version 1 (0x42414401)\nclock: 50000000 Hz\n"
                         "battery channel: 0\nframe: 395 clocks, 7900 ns\nacquisition: 6000 ns\n"
                         "wake-up wait: 400 ms\nbattery-only mode: off\nconversions\n"
                         "fresh channels: 0 1 2 3 4 5 6 7\n"
                         "battery: 2730 (word 0, what battery-voltage prints), 2730 mV\n"
                         "channel 0: 2730, 2730 mV at the converter's input\n"
                         "channel 1: 2730, 2730 mV at the converter's input\n"
                         "channel 2: 2730, 2730 mV at the converter's input\n"
                         "channel 3: 2730, 2730 mV at the converter's input\n"
                         "channel 4: 1234, 1234 mV at the converter's input\n"
                         "channel 5: 1234, 1234 mV at the converter's input\n"
                         "channel 6: 1234, 1234 mV at the converter's input\n"
                         "channel 7: 1234, 1234 mV at the converter's input\n"
                         "healthy: the block answers, converts, and its codes move\n");
    EXPECT_EQ(keys.wait(), 0);
    std::string expected = "fpga_manager=\nfpga_state=\nbridge=\nbridge_state=\nid=1111573505\n"
                           "version=1\nclock_hz=50000000\nbattery_channel=0\nframe_clocks=395\n"
                           "frame_ns=7900\nacquisition_ns=6000\nwake_ms=400\nbattery_only=0\n";
    for (const char *name : {"count_before", "count_after", "interval_ns", "rate"})
        expected += std::string(name) + "=" + key(keys.output(), name) + "\n";
    expected += "promised_rate=126582\nfresh=255\nbattery_code=2730\n";
    for (int c = 0; c < 8; ++c)
        for (const char *what : {"_code=", "_mv="})
            expected += "channel" + std::to_string(c) + what + (c < 4 ? "2730\n" : "1234\n");
    EXPECT_EQ(keys.output(), expected + "verdict=healthy\nreason=healthy: the block answers, "
                                        "converts, and its codes move\nstatus=0\n");
}

// The rate is the count's over the measured interval, and the run takes that interval and
// little more, from its own start.
TEST_P(Status, TheRateIsMeasuredOverTheInterval) {
    put(board, block(7, 2730, 1234));
    const Converting converting(board, block(7, 2730, 1234));
    Process run = start({"--keys", "--interval=1000"});
    EXPECT_EQ(run.wait(), 0);
    const double took = own_time(run);
    EXPECT_TRUE(took >= 1.0 && took < 1.0 + answer_s) << "the run took " << took << " s";
    // A thousand a second, give or take a late write at either end.
    const double rate = std::stod(key(run.output(), "rate"));
    EXPECT_TRUE(rate > 800 && rate < 1200) << rate << " a second";
}

// What the kernel or the bus refuses is a verdict, said at once.
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
        EXPECT_EQ(run.output(), no_sysfs + verdict + "\n");
        EXPECT_LT(own_time(run), answer_s);
    }
    // An image that ends where the block would start: the map succeeds, the load faults.
    common::Board short_board(common::register_address);
    Process run(simboard::sandbox(short_board, GetParam().command), {common::environment()});
    EXPECT_EQ(run.wait(), 5);
    EXPECT_EQ(run.output(), no_sysfs + "no battery_adc block at 0xFF241000: the load from "
                                       "0xFF241000 ended in a bus error, nothing answered\n");
}

TEST_P(Status, OtherWordsArePrinted) {
    put(board, Words{4095, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x42414402});
    Process run = start();
    EXPECT_EQ(run.wait(), 5);
    EXPECT_EQ(run.output(),
              no_sysfs +
                  "0xFF241000: 0x00000FFF 0x00000001 0x00000002 0x00000003 0x00000004 0x00000005 "
                  "0x00000006 0x00000007\n0xFF241020: 0x00000008 0x00000009 0x0000000A 0x0000000B "
                  "0x0000000C 0x0000000D 0x0000000E 0x42414402\nno battery_adc block at "
                  "0xFF241000: another design's words, word 15 reads 0x42414402, not 0x42414401\n");
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

// In the emulated board's guest, by name, several runs in one boot; "status N" after each.
emuboard::Run on_emuboard(emuboard::Options options, const std::string &script) {
    options.command = {"sh", "-c", script};
    emuboard::Machine machine(options);
    return machine.wait();
}

TEST(StatusOnTheEmulatedBoard, OtherWordsLostOutputAndAMistake) {
    emuboard::Options options;
    options.command = {"sh", "-c",
                       "battery-adc-status; echo status $?; battery-adc-status >/dev/full; "
                       "echo status $?; battery-adc-status >&-; echo status $?; "
                       "battery-adc-status --interval 5; echo status $?"};
    emuboard::Machine machine(options);
    ASSERT_TRUE(machine.board());
    machine.board()->set_reading(4095);
    const emuboard::Run run = machine.wait();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              no_sysfs +
                  "0xFF241000: 0x00000FFF 0x00000000 0x00000000 0x00000000 0x00000000 0x00000000 "
                  "0x00000000 0x00000000\n0xFF241020: 0x00000000 0x00000000 0x00000000 0x00000000 "
                  "0x00000000 0x00000000 0x00000000 0x00000000\nno battery_adc block at "
                  "0xFF241000: another design's words, word 15 reads 0x00000000, not "
                  "0x42414401\nstatus 5\nstatus 1\nstatus 1\nstatus 2\n");
    EXPECT_EQ(run.err, "battery-adc-status: --interval: '5' is not a number of milliseconds from "
                       "10 to 10000\nTry 'battery-adc-status --help' for more information.\n");
}

// The kernel's own refusals: the map of System RAM, and the open without CAP_SYS_RAWIO (as
// nobody, /dev/mem open to all, as emuboard --unprivileged does it).
TEST(StatusOnTheEmulatedBoard, WhatTheKernelRefusesIsAVerdict) {
    emuboard::Options options;
    options.memory = emuboard::Memory::ram;
    const emuboard::Run run =
        on_emuboard(options, "battery-adc-status; echo status $?; chmod 0666 /dev/mem; "
                             "su -s /bin/sh -c 'battery-adc-status; echo status $?' nobody");
    EXPECT_EQ(run.out, no_sysfs +
                           "cannot map /dev/mem at 0xFF241000: Operation not permitted\n"
                           "status 4\n" +
                           no_sysfs + "cannot open /dev/mem: Operation not permitted\nstatus 4\n");
}

// Nothing behind the window: the kernel's bus error is caught, and is a verdict.
TEST(StatusOnTheEmulatedBoard, ABusErrorIsAVerdict) {
    emuboard::Options options;
    options.memory = emuboard::Memory::none;
    options.command = {"battery-adc-status"};
    emuboard::Machine machine(options);
    const emuboard::Run run = machine.wait();
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.out, no_sysfs + "no battery_adc block at 0xFF241000: the load from 0xFF241000 "
                                  "ended in a bus error, nothing answered\n");
    EXPECT_EQ(run.err, "");
}

} // namespace

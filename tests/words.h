// SPDX-License-Identifier: MIT
// The block's sixteen words as a command on either board reads them through /dev/mem, and
// what the block answers there as it converts, held in reset, or with a converter that does
// not answer.
#pragma once

#include "cosim.h"
#include "timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

using Words = std::vector<std::uint32_t>;

// Shell functions for a command on a board: `words` prints the sixteen words at 0xFF241000
// as hex numbers and `count` word 1 in decimal; `take` prints a line "read CS", CS the
// centiseconds since the command started (/proc/uptime, the board's own clock, read with no
// process started, so that a command after them starts as soon), and then the words; `tree` each
// file of the FPGA manager and its bridges as "PATH: CONTENT", then "read-only" if the manager's
// state cannot be written. The simulated board reads its /dev/mem with dd and od; the emulated one
// maps it with BusyBox's devmem, since its kernel refuses to read() /dev/mem above its own memory.
inline std::string reader(bool emulated) {
    const std::string words =
        emulated ? "words() { for i in $(seq 0 15); do devmem $((0xFF241000 + 4 * i)) 32; done; }\n"
                   "count() { echo $(($(devmem 0xFF241004 32))); }\n"
                 : "words() { dd if=/dev/mem bs=4 skip=$((0xFF241000 / 4)) count=16 2>/dev/null "
                   "| od -An -tx4 -v; }\n"
                   "count() { dd if=/dev/mem bs=4 skip=$((0xFF241004 / 4)) count=1 2>/dev/null "
                   "| od -An -tu4 | tr -d ' '; }\n";
    return words + "cs() { read -r u _ </proc/uptime; echo \"${u%.*}${u#*.}\"; }\n"
                   "read -r u _ </proc/uptime; start=${u%.*}${u#*.}\n"
                   "take() { echo \"read $(($(cs) - start))\"; words; }\n"
                   "tree() {\n"
                   "    for f in /sys/class/fpga_manager/*/* /sys/class/fpga_bridge/*/*; do\n"
                   "        echo \"$f: $(cat \"$f\")\"\n"
                   "    done\n"
                   "    (echo operating >/sys/class/fpga_manager/fpga0/state) 2>/dev/null ||\n"
                   "        echo read-only\n"
                   "}\n";
}

// One read of the sixteen words, and when it was taken, in seconds from the command's start.
struct Read {
    double at = 0;
    Words words;
};

// The reads in a command's output, in order: after each "read CS", the hex numbers up to the
// next; anything else, before or after them, is left out.
inline std::vector<Read> reads_in(const std::string &output) {
    std::vector<Read> reads;
    std::istringstream in(output);
    for (std::string token; in >> token;) {
        if (token == "read" && in >> token) {
            reads.push_back({std::strtod(token.c_str(), nullptr) / 100, {}});
            continue;
        }
        char *end = nullptr;
        const unsigned long word = std::strtoul(token.c_str(), &end, 16);
        if (!reads.empty() && reads.back().words.size() < 16 && *end == '\0' &&
            end != token.c_str())
            reads.back().words.push_back(static_cast<std::uint32_t>(word));
    }
    return reads;
}

// Words 11 to 15 of the boards' block (50 MHz, input 0 for the battery, 6 us of
// acquisition): its clock, its battery input, its frame's clocks, its settings (word 14:
// with no wait for the converter's reference, or the default 400 ms) and its identity.
inline constexpr std::uint32_t no_wait = 0x00001770, default_wait = 0x19001770;
inline Words constants(std::uint32_t settings) {
    return {50'000'000, 0, 395, settings, 0x42414401};
}

// What the block answers as it converts, the count (word 1) aside: word 0 and input 0's
// code (word 2) the battery's, from `battery_low` to `battery_high`; each other input's code
// (words 3 to 9) `others`, or what the converter's model gives that input if that is 0
// with a working converter; every input fresh (word 10); and the constants.
struct Converting {
    unsigned battery_low = 0, battery_high = 4095;
    std::optional<unsigned> others; // the same code on every input
    std::uint32_t settings = no_wait;
};

inline testing::AssertionResult answers(const Words &w, const Converting &expected) {
    if (w.size() != 16)
        return testing::AssertionFailure() << w.size() << " words read, not 16";
    if (w[0] < expected.battery_low || w[0] > expected.battery_high)
        return testing::AssertionFailure()
               << "word 0 is " << w[0] << ", not " << expected.battery_low << " to "
               << expected.battery_high;
    if (w[2] != w[0])
        return testing::AssertionFailure() << "word 2 (input 0) is " << w[2] << ", word 0 " << w[0];
    for (unsigned c = 1; c < 8; ++c) {
        const unsigned code = expected.others.value_or(rtl::other_input(c));
        if (w[2 + c] != code)
            return testing::AssertionFailure() << "word " << 2 + c << " (input " << c << ") is "
                                               << w[2 + c] << ", not " << code;
    }
    if (w[10] != 0xFF)
        return testing::AssertionFailure() << "word 10 (fresh inputs) is " << w[10] << ", not 255";
    if (Words(w.begin() + 11, w.end()) != constants(expected.settings))
        return testing::AssertionFailure() << "words 11 to 15 are not the block's constants";
    return testing::AssertionSuccess();
}

// The count (word 1) went on between two reads.
inline testing::AssertionResult counting(const Read &before, const Read &after) {
    if (before.words.size() != 16 || after.words.size() != 16)
        return testing::AssertionFailure() << "a read is short";
    if (after.words[1] <= before.words[1])
        return testing::AssertionFailure()
               << "the count read " << before.words[1] << " at " << before.at << " s and "
               << after.words[1] << " at " << after.at << " s";
    return testing::AssertionSuccess();
}

// The battery's codes, discharging from about the command's start to `at` seconds after it,
// on the command's clock: word 0 read then shows one of them, give or take one code. The
// battery starts as the board starts the command, a little before the command's own start:
// half a second more allows for it.
inline Converting discharging(double at, std::uint32_t settings = no_wait) {
    Converting c;
    c.battery_low = rtl::code_for(rtl::discharging_volts(at + 0.5)) - 1;
    c.battery_high = rtl::code_for(rtl::discharging_volts(0)) + 1;
    c.settings = settings;
    return c;
}

// What `tree` prints on a board whose FPGA manager is in `state` and whose lightweight bridge
// is `lightweight` ("enabled" or "disabled"; the other two are enabled): each file as the
// kernel shows it, then "read-only" if the state could not be written.
inline std::string tree_shows(const std::string &state, const std::string &lightweight) {
    return "/sys/class/fpga_manager/fpga0/name: Altera SOCFPGA FPGA Manager\n"
           "/sys/class/fpga_manager/fpga0/state: " +
           state +
           "\n"
           "/sys/class/fpga_bridge/br0/name: lwhps2fpga\n"
           "/sys/class/fpga_bridge/br0/state: " +
           lightweight +
           "\n"
           "/sys/class/fpga_bridge/br1/name: hps2fpga\n"
           "/sys/class/fpga_bridge/br1/state: enabled\n"
           "/sys/class/fpga_bridge/br2/name: fpga2hps\n"
           "/sys/class/fpga_bridge/br2/state: enabled\n"
           "read-only\n";
}

// Two reads of a live block, a fifth of a second apart, once every input has a code.
inline constexpr const char *twice = "sleep 0.5; take; sleep 0.2; take\n";

// Two reads of a block that converts, as `as` says (a working converter, with no `others`:
// the battery as it discharged until each read), and the count moving between them.
inline void expect_converting(const std::string &output, const Converting &as) {
    const std::vector<Read> reads = reads_in(output);
    ASSERT_EQ(reads.size(), 2U) << output;
    for (const auto &read : reads)
        EXPECT_TRUE(answers(read.words, as.others ? as : discharging(read.at)))
            << "read at " << read.at << " s";
    EXPECT_TRUE(counting(reads[0], reads[1]));
}

// A converter that does not answer: every code read as `code`.
inline Converting stuck(unsigned code) {
    Converting c;
    c.battery_low = c.battery_high = code;
    c.others = code;
    return c;
}

// One read of another design's on-chip memory: each word its own address.
inline void expect_other_design(const std::string &output) {
    const std::vector<Read> reads = reads_in(output);
    ASSERT_EQ(reads.size(), 1U) << output;
    Words own;
    for (std::uint32_t address = 0xFF241000; address < 0xFF241040; address += 4)
        own.push_back(address);
    EXPECT_EQ(reads[0].words, own);
}

// Reads every half second while the count is 0 (90 s at most), then as `twice` does.
inline constexpr const char *until_counting =
    "while [ \"$(count)\" -eq 0 ] && [ $(($(cs) - start)) -lt 9000 ]; do\n"
    "    take; sleep 0.5\n"
    "done\n"
    "sleep 0.5; take; sleep 0.2; take\n";

// The converter that the FPGA's configuration, as the command started, left asleep: the
// block waits 0.4 s of its own time for the reference (about 20 s at a burst of 20 us a
// millisecond), every word but the constants reading 0, and then it converts.
inline void expect_wait_then_codes(const std::string &output) {
    const std::vector<Read> reads = reads_in(output);
    ASSERT_GE(reads.size(), 3U) << output;
    Words waiting(11, 0);
    const Words settings = constants(default_wait);
    waiting.insert(waiting.end(), settings.begin(), settings.end());
    double waited = 0;
    for (std::size_t i = 0; i + 2 < reads.size(); ++i)
        if (reads[i].words.size() == 16 && reads[i].words[1] == 0) {
            EXPECT_EQ(reads[i].words, waiting) << "read at " << reads[i].at << " s";
            waited = reads[i].at;
        }
    // 20 s at the co-simulation's pace, more on a busy machine; with no wait, milliseconds.
    measured("the count still 0", waited);
    EXPECT_GT(waited, 15.0);
    const Read &first = reads[reads.size() - 2];
    const Read &second = reads.back();
    EXPECT_TRUE(answers(first.words, discharging(first.at, default_wait)));
    EXPECT_TRUE(answers(second.words, discharging(second.at, default_wait)));
    EXPECT_TRUE(counting(first, second));
}

// A case of a fault on a board: its options, the command's script (after the reader's
// functions), its status, and what its output must show.
struct Fault {
    std::string name;
    std::vector<std::string> options;
    std::string script;
    int status;
    std::function<void(const std::string &output)> check;
};
// A case is named by its name, not its bytes, in a failure's message.
inline void PrintTo(const Fault &fault, std::ostream *os) {
    *os << fault.name;
}

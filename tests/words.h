// SPDX-License-Identifier: MIT
// The block's sixteen words as a command on either board reads them through /dev/mem, and
// what the block answers there as it converts, held in reset, or with a converter that does
// not answer.
#pragma once

#include "cosim.h"
#include "process.h"
#include "timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
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
                   "        [ -e \"$f\" ] && echo \"$f: $(cat \"$f\")\"\n"
                   "    done\n"
                   "    [ -e /sys/class/fpga_manager ] || return 0\n"
                   "    (echo operating >/sys/class/fpga_manager/fpga0/state) 2>/dev/null ||\n"
                   "        echo read-only\n"
                   "}\n";
}

// `board` (simboard or emuboard) with `options`, running `script` in sh after the reader's
// functions.
inline std::vector<std::string> on_board(const std::string &board,
                                         const std::vector<std::string> &options,
                                         const std::string &script) {
    std::vector<std::string> argv{common::next_to_self(board)};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--", "sh", "-c", reader(board == "emuboard") + script});
    return argv;
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

// Word 14, the block's settings: with no wait for the converter's reference (the boards'
// --rtl), or with the default 400 ms (--converter asleep).
inline constexpr std::uint32_t no_wait = 0x00001770, default_wait = 0x19001770;

// The battery's code as `read` shows it in word `n` (0, or 2 for input 0): that word if it
// is one of the codes the discharging battery gave from the command's start to the read,
// give or take one; else the code at the read, which it then fails. The battery starts as
// the board starts the command, before the command's own start: on the emulated board, as
// the guest says it is ready, and on a loaded machine the command's shell has been seen to
// start 0.9 s later, so two seconds more allow for it. Words read one by one (devmem's) may
// each show another of those codes.
inline std::uint32_t battery_code(const Read &read, std::size_t n) {
    const unsigned oldest = rtl::code_for(rtl::discharging_volts(0)) + 1;
    const unsigned newest = rtl::code_for(rtl::discharging_volts(read.at + 2)) - 1;
    const std::uint32_t word = read.words.size() > n ? read.words[n] : 0;
    return word >= newest && word <= oldest ? word : rtl::code_for(rtl::discharging_volts(read.at));
}

// What the boards' block (50 MHz, input 0 the battery's, 6 us of acquisition) answers as it
// converts, its count (word 1) as read: the battery's code in word 0 and in input 0's word
// (`code`, or as the discharging battery gave it), each other input's code (`code`, or the
// converter model's), every input fresh, its clock, battery input, frame's clocks, settings
// and identity.
inline Words converting(const Read &read, std::optional<unsigned> code,
                        std::uint32_t settings = no_wait) {
    Words w{code.value_or(battery_code(read, 0)), read.words.size() > 1 ? read.words[1] : 0,
            code.value_or(battery_code(read, 2))};
    for (unsigned c = 1; c < 8; ++c)
        w.push_back(code.value_or(rtl::other_input(c)));
    w.insert(w.end(), {0xFF, 50'000'000, 0, 395, settings, 0x42414401});
    return w;
}

// Two reads of a block that converts, and its count moving between them.
inline void expect_converting(const std::vector<Read> &reads, std::optional<unsigned> code,
                              std::uint32_t settings = no_wait) {
    ASSERT_EQ(reads.size(), 2U);
    for (const auto &read : reads)
        EXPECT_EQ(read.words, converting(read, code, settings)) << "read at " << read.at << " s";
    EXPECT_GT(reads[1].words[1], reads[0].words[1]) << "the count stood still";
}

// What a fault shows at the register's address: a block that converts (two reads, a fifth
// of a second apart, once every input has a code), one in reset (all 0, twice), another
// design's on-chip memory (each word its own address), the board's word 0 alone (the
// discharging battery, no design), or a bus error where nothing answers.
enum class Shows : std::uint8_t { converting, reset, other_design, word0, bus_error };

// A case of a fault: the board's options, what it shows, every code where the converter
// does not answer, and the sysfs tree that `tree` prints before it (none without --sysfs).
struct Fault {
    std::string name;
    std::vector<std::string> options;
    Shows shows;
    // Given for GCC, which warns of a member left out of an aggregate's initializer without
    // one; clang-tidy 19 takes them for redundant.
    std::optional<unsigned> code = {}; // NOLINT(readability-redundant-member-init)
    std::string tree = {};             // NOLINT(readability-redundant-member-init)
};
// A case is named by its name, not its bytes, in a failure's message.
inline void PrintTo(const Fault &fault, std::ostream *os) {
    *os << fault.name;
}

// What `tree` prints for an FPGA manager in `state` and a lightweight bridge `lightweight`
// (the other two enabled): each file as the kernel shows it, and the tree read-only.
inline std::string tree_shows(const std::string &state, const std::string &lightweight) {
    std::string shown = "/sys/class/fpga_manager/fpga0/name: Altera SOCFPGA FPGA Manager\n"
                        "/sys/class/fpga_manager/fpga0/state: " +
                        state + "\n/sys/class/fpga_bridge/br0/name: lwhps2fpga\n";
    shown += "/sys/class/fpga_bridge/br0/state: " + lightweight + "\n";
    return shown + "/sys/class/fpga_bridge/br1/name: hps2fpga\n"
                   "/sys/class/fpga_bridge/br1/state: enabled\n"
                   "/sys/class/fpga_bridge/br2/name: fpga2hps\n"
                   "/sys/class/fpga_bridge/br2/state: enabled\n"
                   "read-only\n";
}

inline std::vector<Fault> faults() {
    return {
        {"Rtl", {"--rtl"}, Shows::converting},
        {"FpgaReset", {"--rtl", "--fpga-reset"}, Shows::reset},
        {"SdoLow", {"--converter", "sdo-low"}, Shows::converting, 0},
        {"SdoHigh", {"--converter", "sdo-high"}, Shows::converting, 4095},
        {"DesignOther", {"--design", "other"}, Shows::other_design},
        {"DesignNone", {"--design", "none"}, Shows::bus_error},
        {"SysfsReady", {"--sysfs", "ready"}, Shows::word0, {}, tree_shows("operating", "enabled")},
        {"DesignOtherSysfsReady",
         {"--design", "other", "--sysfs", "ready"},
         Shows::other_design,
         {},
         tree_shows("operating", "enabled")},
        {"SysfsUnconfigured",
         {"--sysfs", "unconfigured"},
         Shows::bus_error,
         {},
         tree_shows("write init", "enabled")},
        {"SysfsBridgeDisabled",
         {"--sysfs", "bridge-disabled"},
         Shows::bus_error,
         {},
         tree_shows("operating", "disabled")}};
}

// Two reads of a live block, a fifth of a second apart, once every input has a code.
inline constexpr const char *twice = "sleep 0.5; take; sleep 0.2; take\n";

// The command for a fault: the tree, then its reads, or the tool's load where nothing
// answers (its status 128 + SIGBUS, which the command's is).
inline std::string script(const Fault &fault) {
    switch (fault.shows) {
    case Shows::converting:
    case Shows::reset:
        return std::string("tree; ") + twice;
    case Shows::other_design:
    case Shows::word0:
        return "tree; take\n";
    case Shows::bus_error:
        break;
    }
    return "tree; battery-voltage\n";
}

inline void expect_shows(const Fault &fault, const std::string &output) {
    EXPECT_EQ(output.substr(0, output.find("read ")), fault.tree);
    const std::vector<Read> reads = reads_in(output);
    Words own;
    for (std::uint32_t address = 0xFF241000; address < 0xFF241040; address += 4)
        own.push_back(address);
    switch (fault.shows) {
    case Shows::converting:
        expect_converting(reads, fault.code);
        break;
    case Shows::reset:
        ASSERT_EQ(reads.size(), 2U) << output;
        EXPECT_EQ(reads[0].words, Words(16, 0));
        EXPECT_EQ(reads[1].words, Words(16, 0));
        break;
    case Shows::other_design:
        ASSERT_EQ(reads.size(), 1U) << output;
        EXPECT_EQ(reads[0].words, own);
        break;
    case Shows::word0:
        ASSERT_EQ(reads.size(), 1U) << output;
        own.assign(16, 0);
        own[0] = battery_code(reads[0], 0);
        EXPECT_EQ(reads[0].words, own);
        break;
    case Shows::bus_error:
        EXPECT_EQ(reads.size(), 0U) << output;
        break;
    }
}

// The converter that the FPGA's configuration, as the command starts, leaves asleep: reads
// every half second while the count is 0 (90 s at most), then two reads as above. The block
// waits 0.4 s of its own time for the reference (about 20 s at a burst of 20 us a
// millisecond, more on a busy machine; with no wait, milliseconds), every word but the
// constants reading 0; then it converts.
inline std::string until_counting() {
    return std::string("while [ \"$(count)\" -eq 0 ] && [ $(($(cs) - start)) -lt 9000 ]; do\n"
                       "    take; sleep 0.5\n"
                       "done\n") +
           twice;
}

inline void expect_wait_then_codes(const std::string &output) {
    std::vector<Read> reads = reads_in(output);
    ASSERT_GE(reads.size(), 3U) << output;
    Words waiting = converting({}, 0, default_wait);
    waiting[10] = 0;
    double waited = 0;
    // A read in the wait has no input fresh (word 10, read after the codes and the count); one
    // word by word (devmem's) may straddle the first code, its count 0 and its later words not.
    for (std::size_t i = 0; i + 2 < reads.size(); ++i)
        if (reads[i].words.size() == 16 && reads[i].words[10] == 0) {
            EXPECT_EQ(reads[i].words, waiting) << "read at " << reads[i].at << " s";
            waited = reads[i].at;
        }
    measured("the count still 0", waited);
    EXPECT_GT(waited, 15.0);
    expect_converting(std::vector<Read>(reads.end() - 2, reads.end()), {}, default_wait);
}
